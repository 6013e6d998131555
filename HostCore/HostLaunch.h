#pragma once

// Builds the media server's argument list and environment from the settings.
// Pure functions; safe on any thread.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HostCore/HostSettings.h"

namespace qx::HostLaunch {

// Carries the access token to the server; absent when no token is stored.
inline constexpr std::string_view tokenEnv = "QUORVEX_HOST_TOKEN";
// Tells the server it runs under the host application; always "1".
inline constexpr std::string_view hostAppEnv = "QUORVEX_HOST_APP";

using Environment = std::map<std::string, std::string>;

// Wraps `text` so a shell-like word splitter keeps it as one word: in double
// quotes when it contains an apostrophe, else in apostrophes. Nothing inside is
// escaped, so a text holding both an apostrophe and a double quote cannot
// survive the round trip (see `isQuotable`).
std::string quoteForSplitArgs(std::string_view text);

// False when `quoteForSplitArgs` cannot represent `text` (it holds both an
// apostrophe and a double quote); the host refuses such a helper path.
bool isQuotable(std::string_view text);

// The server's arguments, without the program path: "--listen", listen,
// "--capture", "exec", "--capture-cmd", the capture command (quoted helper path
// followed by --fps, --bitrate, --max-width and --rc, the texts inserted
// verbatim), then "--capture-audio" when audio is on, "--update-url=" + URL
// when `updateURL` is present (an empty URL still gives the element), and
// "--ltr=false" when `ltr` is off.
std::vector<std::string> arguments(const HostSettings& settings, std::string_view screencap,
                                   const std::optional<std::string>& updateURL, bool ltr);

// `base` with `tokenEnv` set to `token` (removed when the token is empty, so an
// inherited value never reaches the server) and `hostAppEnv` set to "1".
Environment environment(Environment base, std::string_view token);

}  // namespace qx::HostLaunch
