#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qx::server {

// Options of the supervised server run.
struct ServeOptions {
  std::string listen = ":8771";
  std::string captureCommand;  // the helper's command line, split later
  bool captureAudio = false;
  std::optional<std::string> updateURL;  // present but empty: automatic checks off
  bool ltr = true;
  std::size_t maxClientBuffer = 8u << 20;  // bytes queued per client before it is dropped
};

// Options of an updater run ("update check" / "update download").
struct UpdateOptions {
  bool download = false;
  std::optional<std::string> url;
  std::string dir;  // download only; never empty then
};

struct HelpRequest {};

struct CommandLineError {
  std::string message;
};

using CommandLine = std::variant<ServeOptions, UpdateOptions, HelpRequest, CommandLineError>;

// Parses the arguments after the program name. Options taking a value accept
// both "--name value" and "--name=value".
CommandLine parseCommandLine(const std::vector<std::string>& args);

// The one-line usage text printed with argument errors (no line feed).
std::string usageLine();

// The helper's argument vector: the capture command split into words, then
// "--audio-fd" and the descriptor when audio is on, then "--ltr" "false" when
// long-term references are off. Absent when the command does not split (open
// quote) or is empty.
std::optional<std::vector<std::string>> helperArguments(const ServeOptions& options, std::optional<int> audioFd);

// The helper's environment: the server's own ("NAME=value" entries, ended by
// a null pointer) less "QUORVEX_HOST_TOKEN", the clients' secret, which the
// helper has no use for. Everything else stays: its display and sound
// libraries need DISPLAY, XAUTHORITY, XDG_RUNTIME_DIR and the like.
std::vector<std::string> helperEnvironment(const char* const* serverEnvironment);

}  // namespace qx::server
