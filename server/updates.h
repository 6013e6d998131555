#pragma once

#include "HostCore/UpdateCheck.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qx::server {

// The feed's "manifest.json": {"latest", "notes", "size", "platform",
// "bundle"}. "latest" and "bundle" are required strings; the others may be
// missing or null.
struct Manifest {
  std::string latest;
  std::optional<std::map<std::string, std::string>> notes;
  std::optional<std::int64_t> size;
  std::optional<std::string> platform;
  std::string bundle;  // path of the offered application, relative to the feed
};

std::optional<Manifest> parseManifest(std::string_view json);

// The local directory a feed URL names: a plain path, or a file:// URL
// (host empty or "localhost", path percent-decoded). Absent for other
// schemes and for an empty URL.
std::optional<std::string> feedPath(std::string_view url);

// True for a relative path without "." or ".." components, so a manifest can
// only name files inside its own feed.
bool isSafeRelativePath(std::string_view path);

// The first symbolic link in the tree at `root` (`root` itself included) that
// leads outside the tree or nowhere, as a path relative to `root`; absent when
// every link resolves inside. Links are followed as the system would (a link
// through a link, ".." after a link), each step checked; an absolute target
// counts as outside, since a copy of the tree would still point at the
// original place.
std::optional<std::string> linkLeavingTree(const std::filesystem::path& root);

// One updater run against a local feed: "check" reports what the feed offers
// (`available` when its "latest" is newer than `current`); "download" also
// copies the offered bundle into `downloadDir` and reports its "path", unless
// the bundle holds a link leading outside it (`linkLeavingTree`). Never
// throws; problems end up in the report's "error". `log` receives progress
// lines (without line feed).
UpdateCheck runUpdate(const std::optional<std::string>& url, std::string_view current,
                      const std::optional<std::string>& downloadDir, const std::function<void(std::string_view)>& log);

// A device's install request: the body {"version": V} with V a version;
// returns V as its components joined by "." (surrounding blanks dropped), so
// what is printed and stored is always a plain version. Absent otherwise.
std::optional<std::string> installRequestVersion(std::string_view body);

// Writes the request file under `cachesDir` (creating its directory) through
// a temporary file and a rename, so the host never reads half a file. Returns
// the error text on failure.
[[nodiscard]] std::optional<std::string> writeUpdateRequest(const std::string& cachesDir, std::string_view version,
                                                            double atSeconds);

}  // namespace qx::server
