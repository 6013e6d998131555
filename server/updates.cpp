#include "server/updates.h"

#include "HostCore/HostVersion.h"
#include "HostCore/UpdateRequest.h"
#include "server/http_rules.h"

#include <nlohmann/json.hpp>

#include <unistd.h>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace qx::server {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::optional<std::string> optionalString(const json& object, const char* key, bool& ok) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) {
    ok = false;
    return std::nullopt;
  }
  return it->get<std::string>();
}

std::optional<std::string> readSmallFile(const fs::path& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    data.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (data.size() > limit) return std::nullopt;
  }
  return data;
}

// The system's own limit on links followed in one lookup.
constexpr int maxLinkHops = 40;

fs::path under(const fs::path& root, const std::vector<fs::path>& parts) {
  fs::path path = root;
  for (const auto& part : parts) path /= part;
  return path;
}

// Follows the link at `link` (relative to `root`; its parent directories are
// real ones) one component at a time, never above `root`. True when every
// step stays inside and the target exists.
bool resolvesInside(const fs::path& root, const fs::path& link) {
  std::error_code ec;
  fs::path target = fs::read_symlink(root / link, ec);
  if (ec || target.is_absolute()) return false;
  const fs::path parent = link.parent_path();
  std::vector<fs::path> position(parent.begin(), parent.end());
  std::deque<fs::path> pending(target.begin(), target.end());
  int hops = 1;
  while (!pending.empty()) {
    fs::path part = pending.front();
    pending.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (position.empty()) return false;
      position.pop_back();
      continue;
    }
    position.push_back(part);
    const fs::path here = under(root, position);
    const auto status = fs::symlink_status(here, ec);
    if (ec || !fs::exists(status)) return false;
    if (fs::is_symlink(status)) {
      target = fs::read_symlink(here, ec);
      if (ec || target.is_absolute() || ++hops > maxLinkHops) return false;
      position.pop_back();
      pending.insert(pending.begin(), target.begin(), target.end());
    } else if (!pending.empty() && !fs::is_directory(status)) {
      return false;
    }
  }
  return true;
}

// Only the owner's execute bit is signed, so no other bit of the feed's modes
// (setuid, group or other write) is kept: folders 0755, files 0755 or 0644.
std::error_code normaliseModes(const fs::path& root) {
  std::error_code ec;
  auto normalise = [&](const fs::path& path, const fs::file_status& status) {
    const bool executable = (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
    if (fs::is_directory(status) || (fs::is_regular_file(status) && executable)) {
      fs::permissions(path, static_cast<fs::perms>(0755), ec);
    } else if (fs::is_regular_file(status)) {
      fs::permissions(path, static_cast<fs::perms>(0644), ec);
    }
  };
  const fs::file_status rootStatus = fs::symlink_status(root, ec);
  if (ec || !fs::is_directory(rootStatus)) return ec;  // a link is judged by linkLeavingTree
  normalise(root, rootStatus);
  for (fs::recursive_directory_iterator it(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::file_status status = it->symlink_status(ec);
    if (!ec) normalise(it->path(), status);
  }
  return ec;
}

}  // namespace

std::optional<std::string> linkLeavingTree(const fs::path& root) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(root, ec))) return std::string(".");
  if (!fs::is_directory(root, ec)) return std::nullopt;
  // Directory links are not descended into: they are checked as links.
  fs::recursive_directory_iterator it(root, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) continue;
    const fs::path relative = it->path().lexically_relative(root);
    if (!resolvesInside(root, relative)) return relative.string();
  }
  // A tree that cannot be read to its end cannot be vouched for.
  if (ec) return std::string(".");
  return std::nullopt;
}

std::optional<Manifest> parseManifest(std::string_view text) {
  json object = json::parse(text, nullptr, false);
  if (object.is_discarded() || !object.is_object()) return std::nullopt;
  Manifest manifest;
  bool ok = true;
  auto latest = optionalString(object, "latest", ok);
  auto bundle = optionalString(object, "bundle", ok);
  manifest.platform = optionalString(object, "platform", ok);
  if (!ok || !latest || !bundle) return std::nullopt;
  manifest.latest = *latest;
  manifest.bundle = *bundle;
  if (auto it = object.find("size"); it != object.end() && !it->is_null()) {
    if (it->is_number_integer() && !(it->is_number_unsigned() && it->get<std::uint64_t>() > INT64_MAX)) {
      manifest.size = it->get<std::int64_t>();
    } else {
      return std::nullopt;
    }
  }
  if (auto it = object.find("notes"); it != object.end() && !it->is_null()) {
    if (!it->is_object()) return std::nullopt;
    std::map<std::string, std::string> notes;
    for (const auto& [language, note] : it->items()) {
      if (!note.is_string()) return std::nullopt;
      notes[language] = note.get<std::string>();
    }
    manifest.notes = std::move(notes);
  }
  return manifest;
}

std::optional<std::string> feedPath(std::string_view url) {
  if (url.empty()) return std::nullopt;
  constexpr std::string_view fileScheme = "file://";
  if (url.substr(0, fileScheme.size()) != fileScheme) {
    if (url.find("://") != std::string_view::npos) return std::nullopt;
    return std::string(url);
  }
  std::string_view rest = url.substr(fileScheme.size());
  auto slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") return std::nullopt;
  std::string_view encoded = rest.substr(slash);
  encoded = encoded.substr(0, encoded.find_first_of("?#"));
  auto path = percentDecode(encoded);
  // An escaped NUL would cut the path short when it reaches the system.
  if (!path || path->find('\0') != std::string::npos) return std::nullopt;
  return path;
}

bool isSafeRelativePath(std::string_view path) {
  if (path.empty() || path.front() == '/') return false;
  if (path.find('\0') != std::string_view::npos) return false;
  while (!path.empty()) {
    auto slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    path = path.substr(slash + 1);
  }
  return false;  // a trailing slash: the name would be empty
}

UpdateCheck runUpdate(const std::optional<std::string>& url, std::string_view current,
                      const std::optional<std::string>& downloadDir, const std::function<void(std::string_view)>& log) {
  UpdateCheck report;
  report.current = std::string(current);
  if (!url || url->empty()) {
    report.error = "no update source configured";
    return report;
  }
  auto location = feedPath(*url);
  if (!location) {
    report.error = "unsupported update URL: " + *url;
    return report;
  }
  std::error_code ec;
  fs::path feed = *location;
  fs::path manifestPath = feed / "manifest.json";
  if (fs::is_regular_file(feed, ec)) {
    manifestPath = feed;
    feed = feed.parent_path();
  }
  log("checking " + manifestPath.string());
  auto text = readSmallFile(manifestPath, 1u << 20);
  if (!text) {
    report.error = "cannot read " + manifestPath.string();
    return report;
  }
  auto manifest = parseManifest(*text);
  if (!manifest) {
    report.error = "malformed manifest " + manifestPath.string();
    return report;
  }
  report.platform = manifest->platform;
  report.latest = manifest->latest;
  report.notes = manifest->notes;
  report.size = manifest->size;
  report.available = HostVersion::isNewer(manifest->latest, current);
  log("latest " + manifest->latest + ", installed " + std::string(current));
  if (!downloadDir) return report;

  // Only a newer version is fetched, so a stale or tampered feed cannot
  // trigger a downgrade.
  if (!report.available) {
    report.error = "no newer version to download";
    return report;
  }
  if (!isSafeRelativePath(manifest->bundle)) {
    report.error = "manifest names a bundle outside the feed: " + manifest->bundle;
    return report;
  }
  fs::path source = feed / manifest->bundle;
  if (!fs::exists(source, ec)) {
    report.error = "bundle missing from the feed: " + manifest->bundle;
    return report;
  }
  if (manifest->size && fs::is_regular_file(source, ec)) {
    auto actual = fs::file_size(source, ec);
    if (ec || static_cast<std::int64_t>(actual) != *manifest->size) {
      report.error = "bundle size differs from the manifest";
      return report;
    }
  }
  fs::path target = fs::path(*downloadDir) / source.filename();
  log("downloading " + source.string() + " to " + target.string());
  fs::create_directories(*downloadDir, ec);
  if (ec) {
    report.error = "cannot create " + *downloadDir + ": " + ec.message();
    return report;
  }
  fs::remove_all(target, ec);
  // Links are copied as links and the copy is what gets checked, so what is
  // reported is what was vetted, whatever the feed does meanwhile.
  fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (!ec) ec = normaliseModes(target);
  if (ec) {
    report.error = "copy failed: " + ec.message();
    return report;
  }
  if (auto link = linkLeavingTree(target)) {
    fs::remove_all(target, ec);
    report.error = "bundle holds a link leading outside it or nowhere: " + *link;
    return report;
  }
  report.path = target.string();
  return report;
}

std::optional<std::string> installRequestVersion(std::string_view body) {
  json object = json::parse(body, nullptr, false);
  if (object.is_discarded() || !object.is_object()) return std::nullopt;
  auto it = object.find("version");
  if (it == object.end() || !it->is_string()) return std::nullopt;
  auto parts = HostVersion::parse(it->get<std::string>());
  if (!parts) return std::nullopt;
  std::string version;
  for (std::size_t i = 0; i < parts->size(); ++i) {
    if (i > 0) version += '.';
    version += std::to_string((*parts)[i]);
  }
  return version;
}

std::optional<std::string> writeUpdateRequest(const std::string& cachesDir, std::string_view version,
                                              double atSeconds) {
  std::error_code ec;
  fs::path target = UpdateRequest::url(cachesDir);
  fs::path dir = target.parent_path();
  fs::create_directories(dir, ec);
  if (ec) return "cannot create " + dir.string() + ": " + ec.message();
  fs::path temporary = dir / ("update-request.json.tmp" + std::to_string(::getpid()));
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << UpdateRequest::encode(version, atSeconds);
    out.flush();
    if (!out) {
      fs::remove(temporary, ec);
      return "cannot write " + temporary.string();
    }
  }
  fs::rename(temporary, target, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return "cannot rename to " + target.string() + ": " + ec.message();
  }
  return std::nullopt;
}

}  // namespace qx::server
