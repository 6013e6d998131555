#include "signature/bundle_signature.h"

#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <utility>

#include "common/fd.h"

namespace qx::signature {
namespace {

using qx::UniqueFd;

constexpr std::string_view manifestHeader = "quorvex-bundle-manifest 1";
constexpr std::size_t maxManifestBytes = 16 << 20;
constexpr std::size_t maxSignatureBytes = 64 << 10;
constexpr std::size_t maxInfoPlistBytes = 1 << 20;
// Deeper trees and longer paths than any bundle needs are refused, so a
// hostile manifest cannot make the walk recurse without bound.
constexpr int maxDepth = 64;
constexpr std::size_t maxPathBytes = 4096;

UniqueFd openDirectoryAt(int dirfd, const char* name) {
  return UniqueFd(::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Regular files only, opened without following a link and without waiting
// (a FIFO that slipped in between lstat and open would block otherwise);
// the opened file must be the one lstat saw.
UniqueFd openRegularAt(int dirfd, const char* name, const struct stat& seen) {
  UniqueFd fd(::openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat now {};
  if (!fd.valid() || ::fstat(fd.get(), &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != seen.st_dev ||
      now.st_ino != seen.st_ino) {
    return UniqueFd();
  }
  return fd;
}

std::optional<std::string> readAll(int fd, std::size_t limit) {
  std::string out;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return out;
    if (out.size() + static_cast<std::size_t>(n) > limit) return std::nullopt;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

struct SmallFile {
  enum class State { ok, missing, unreadable };
  State state = State::unreadable;
  std::string content;
};

SmallFile readSmallFileAt(int dirfd, const char* name, std::size_t limit) {
  struct stat st {};
  if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return {errno == ENOENT ? SmallFile::State::missing : SmallFile::State::unreadable, {}};
  }
  if (!S_ISREG(st.st_mode)) return {};
  UniqueFd fd = openRegularAt(dirfd, name, st);
  if (!fd.valid()) return {};
  auto content = readAll(fd.get(), limit);
  if (!content) return {};
  return {SmallFile::State::ok, std::move(*content)};
}

// The names in a directory, without "." and "..", sorted bytewise.
std::optional<std::vector<std::string>> listDirectory(int dirfd) {
  int copy = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::nullopt;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(copy), ::closedir);
  if (!dir) {
    ::close(copy);
    return std::nullopt;
  }
  ::rewinddir(dir.get());
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) break;
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  if (errno != 0) return std::nullopt;
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> readLinkAt(int dirfd, const char* name) {
  std::string target(4096, '\0');
  ssize_t n = ::readlinkat(dirfd, name, target.data(), target.size());
  if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(n));
  return target;
}

std::string hex(const unsigned char* data, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

std::optional<std::string> sha256Of(int fd) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  unsigned char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    crypto_hash_sha256_update(&state, buffer, static_cast<unsigned long long>(n));
  }
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, digest);
  return hex(digest, sizeof digest);
}

bool executableBit(const struct stat& st) { return (st.st_mode & S_IXUSR) != 0; }

std::string joinPath(const std::string& prefix, const std::string& name) {
  return prefix.empty() ? name : prefix + "/" + name;
}

// What a link's target says about where it leads: only relative targets
// without ".." stay inside the bundle whatever links they pass through.
SignatureStatus linkTargetStatus(std::string_view target) {
  if (target.empty() || target.front() == '/') return SignatureStatus::linkAbsolute;
  while (!target.empty()) {
    auto slash = target.find('/');
    if (target.substr(0, slash) == "..") return SignatureStatus::linkThroughParent;
    if (slash == std::string_view::npos) break;
    target.remove_prefix(slash + 1);
  }
  return SignatureStatus::ok;
}

bool isBundlePath(std::string_view path) {
  if (path.empty() || path.size() > maxPathBytes || path.find('\0') != std::string_view::npos) return false;
  int depth = 0;
  for (;;) {
    auto slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (part.empty() || part == "." || part == ".." || ++depth > maxDepth) return false;
    if (slash == std::string_view::npos) return true;
    path.remove_prefix(slash + 1);
  }
}

bool insideSignatureDirectory(std::string_view path) {
  return path == signatureDirectory ||
         (path.starts_with(signatureDirectory) && path.size() > signatureDirectory.size() &&
          path[signatureDirectory.size()] == '/');
}

std::string percentEncode(std::string_view text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x21 || c > 0x7E || c == '%') {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = value(text[i + 1]);
    int low = value(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  // Only the one spelling formatManifest writes is accepted.
  if (percentEncode(out) != text) return std::nullopt;
  return out;
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    auto space = line.find(' ');
    fields.push_back(line.substr(0, space));
    if (space == std::string_view::npos) return fields;
    line.remove_prefix(space + 1);
  }
}

bool isSha256Hex(std::string_view text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::optional<ManifestEntry> parseEntry(std::string_view line) {
  auto fields = splitFields(line);
  if (fields.size() < 2) return std::nullopt;
  auto path = percentDecode(fields[1]);
  if (!path || !isBundlePath(*path)) return std::nullopt;
  ManifestEntry entry;
  entry.path = std::move(*path);
  if (fields[0] == "dir" && fields.size() == 2) {
    entry.kind = ManifestEntry::Kind::directory;
    return entry;
  }
  if (fields[0] == "file" && fields.size() == 4 && isSha256Hex(fields[2]) && (fields[3] == "x" || fields[3] == "-")) {
    entry.kind = ManifestEntry::Kind::file;
    entry.sha256 = fields[2];
    entry.executable = fields[3] == "x";
    return entry;
  }
  if (fields[0] == "link" && fields.size() == 3) {
    auto target = percentDecode(fields[2]);
    if (!target || target->size() > maxPathBytes || target->find('\0') != std::string::npos ||
        linkTargetStatus(*target) != SignatureStatus::ok) {
      return std::nullopt;
    }
    entry.kind = ManifestEntry::Kind::link;
    entry.target = std::move(*target);
    return entry;
  }
  return std::nullopt;
}

// --- One walk over the bundle, for signing and verifying ----------------

ScannedEntry stop(std::string path, SignatureStatus problem, std::string error) {
  return {{ManifestEntry::Kind::directory, std::move(path), {}, false, {}}, problem, false, std::move(error)};
}

// The signature directory holds the manifest and its signature, nothing else.
ScannedEntry signatureDirectoryEntry(int dirfd, const char* name) {
  ScannedEntry seen{{ManifestEntry::Kind::directory, std::string(signatureDirectory), {}, false, {}}, {}, true, {}};
  UniqueFd fd = openDirectoryAt(dirfd, name);
  auto names = fd.valid() ? listDirectory(fd.get()) : std::nullopt;
  if (!names) {
    seen.problem = SignatureStatus::unreadableEntry;
  } else if (std::any_of(names->begin(), names->end(),
                         [](const std::string& n) { return n != manifestName && n != manifestSignatureName; })) {
    seen.problem = SignatureStatus::entryAdded;
  }
  return seen;
}

// Appends what the directory holds to `scan`; false once it stopped.
bool walkDirectory(int dirfd, const std::string& prefix, int depth, std::vector<ScannedEntry>& scan) {
  // An entry this deep cannot be in a manifest (isBundlePath).
  if (depth > maxDepth) {
    scan.push_back(stop(prefix, SignatureStatus::entryAdded, "'" + prefix + "' lies too deep in the bundle"));
    return false;
  }
  auto names = listDirectory(dirfd);
  if (!names) {
    std::string shown = prefix.empty() ? std::string(".") : prefix;
    scan.push_back(stop(shown, SignatureStatus::unreadableEntry, "couldn't list '" + shown + "'"));
    return false;
  }
  for (const auto& name : *names) {
    std::string path = joinPath(prefix, name);
    if (path == signatureDirectory) {
      scan.push_back(signatureDirectoryEntry(dirfd, name.c_str()));
      continue;
    }
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      scan.push_back(stop(path, SignatureStatus::unreadableEntry, "couldn't inspect '" + path + "'"));
      return false;
    }
    ScannedEntry seen;
    seen.entry.path = path;
    if (S_ISLNK(st.st_mode)) {
      auto target = readLinkAt(dirfd, name.c_str());
      if (!target) {
        scan.push_back(stop(path, SignatureStatus::unreadableEntry, "couldn't read the link '" + path + "'"));
        return false;
      }
      if (auto status = linkTargetStatus(*target); status != SignatureStatus::ok) {
        scan.push_back(stop(path, status, "the link '" + path + "' points out of the bundle ('" + *target + "')"));
        return false;
      }
      seen.entry.kind = ManifestEntry::Kind::link;
      seen.entry.target = std::move(*target);
      scan.push_back(std::move(seen));
    } else if (S_ISREG(st.st_mode)) {
      seen.entry.kind = ManifestEntry::Kind::file;
      seen.entry.executable = executableBit(st);
      UniqueFd fd = openRegularAt(dirfd, name.c_str(), st);
      auto digest = fd.valid() ? sha256Of(fd.get()) : std::nullopt;
      if (!digest) {
        seen.problem = SignatureStatus::unreadableEntry;
        seen.error = "couldn't read '" + path + "'";
        scan.push_back(std::move(seen));
        return false;
      }
      seen.entry.sha256 = std::move(*digest);
      scan.push_back(std::move(seen));
    } else if (S_ISDIR(st.st_mode)) {
      seen.entry.kind = ManifestEntry::Kind::directory;
      UniqueFd sub = openDirectoryAt(dirfd, name.c_str());
      if (!sub.valid()) {
        seen.problem = SignatureStatus::unreadableEntry;
        seen.error = "couldn't open '" + path + "'";
        scan.push_back(std::move(seen));
        return false;
      }
      scan.push_back(std::move(seen));
      if (!walkDirectory(sub.get(), path, depth + 1, scan)) return false;
    } else {
      scan.push_back(
          stop(path, SignatureStatus::specialFile, "'" + path + "' is neither a file, a directory nor a link"));
      return false;
    }
  }
  return true;
}

std::vector<ScannedEntry> walkBundle(int root) {
  std::vector<ScannedEntry> scan;
  walkDirectory(root, "", 0, scan);
  return scan;
}

// One entry seen against what the manifest lists at its path (null: nothing).
// A file's content is compared only when it was read.
SignatureStatus compareEntry(const ScannedEntry& seen, const ManifestEntry* want) {
  const ManifestEntry& have = seen.entry;
  switch (have.kind) {
    case ManifestEntry::Kind::link:
      if (!want || want->kind != ManifestEntry::Kind::link) return SignatureStatus::linkAdded;
      if (want->target != have.target) return SignatureStatus::linkChanged;
      break;
    case ManifestEntry::Kind::file:
      if (!want) return SignatureStatus::entryAdded;
      if (want->kind != ManifestEntry::Kind::file) return SignatureStatus::kindChanged;
      if (want->executable != have.executable) return SignatureStatus::executableChanged;
      if (seen.problem == SignatureStatus::ok && want->sha256 != have.sha256) return SignatureStatus::fileChanged;
      break;
    case ManifestEntry::Kind::directory:
      if (!want) return SignatureStatus::entryAdded;
      if (want->kind != ManifestEntry::Kind::directory) return SignatureStatus::kindChanged;
      break;
  }
  return seen.problem;
}

BundleVerdict invalid(SignatureStatus status) { return {BundleVerdict::Step::invalid, status}; }
BundleVerdict unreadable() { return {BundleVerdict::Step::unreadable, SignatureStatus::ok}; }

// Opens a directory of the bundle on the way to the signature: absent is a
// missing signature, anything else that fails is unreadable.
std::variant<UniqueFd, BundleVerdict> openOnTheWay(int dirfd, const char* name) {
  UniqueFd fd = openDirectoryAt(dirfd, name);
  if (fd.valid()) return fd;
  if (errno == ENOENT || errno == ENOTDIR) return invalid(SignatureStatus::missingSignature);
  return unreadable();
}

BundleVerdict checkSignatureAndContent(int root, int contents, const PublicKey& pinned) {
  auto directory = openOnTheWay(contents, "_CodeSignature");
  if (auto* verdict = std::get_if<BundleVerdict>(&directory)) return *verdict;
  int signatures = std::get<UniqueFd>(directory).get();
  SmallFile manifestFile = readSmallFileAt(signatures, manifestName.data(), maxManifestBytes);
  SmallFile signatureFile = readSmallFileAt(signatures, manifestSignatureName.data(), maxSignatureBytes);
  if (manifestFile.state == SmallFile::State::unreadable || signatureFile.state == SmallFile::State::unreadable) {
    return unreadable();
  }
  if (manifestFile.state == SmallFile::State::missing || signatureFile.state == SmallFile::State::missing) {
    return invalid(SignatureStatus::missingSignature);
  }

  auto signature = parseSignature(signatureFile.content);
  if (!signature) return invalid(SignatureStatus::malformedSignature);
  switch (checkSignature(*signature, pinned, manifestFile.content)) {
    case SignatureCheck::ok: break;
    case SignatureCheck::otherKey: return invalid(SignatureStatus::otherKey);
    case SignatureCheck::badSignature: return invalid(SignatureStatus::badSignature);
    case SignatureCheck::badTrustedComment: return invalid(SignatureStatus::badTrustedComment);
  }

  auto manifest = parseManifest(manifestFile.content);
  if (!manifest || std::any_of(manifest->entries.begin(), manifest->entries.end(),
                               [](const ManifestEntry& e) { return insideSignatureDirectory(e.path); })) {
    return invalid(SignatureStatus::malformedManifest);
  }
  if (manifest->identifier != bundleIdentifier) return invalid(SignatureStatus::wrongIdentifier);
  if (manifest->team != signingTeam) return invalid(SignatureStatus::wrongTeam);

  if (auto status = compareScan(*manifest, walkBundle(root)); status != SignatureStatus::ok) return invalid(status);
  return {};
}

bool writeFileAt(int dirfd, const char* name, std::string_view content) {
  UniqueFd fd(::openat(dirfd, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  return fd.valid() && writeFully(fd.get(), content.data(), content.size()) && ::fsync(fd.get()) == 0;
}

std::string errnoText() { return std::strerror(errno); }

// Appends the UTF-8 encoding of a code point; false for values XML forbids.
bool appendUtf8(std::string& out, unsigned long cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return true;
}

// Character data with XML's predefined and numeric entities resolved.
std::optional<std::string> xmlText(std::string_view raw) {
  std::string out;
  while (!raw.empty()) {
    char c = raw.front();
    if (c == '<') return std::nullopt;
    if (c != '&') {
      out += c;
      raw.remove_prefix(1);
      continue;
    }
    auto semicolon = raw.find(';');
    if (semicolon == std::string_view::npos) return std::nullopt;
    std::string_view name = raw.substr(1, semicolon - 1);
    raw.remove_prefix(semicolon + 1);
    if (name == "amp") {
      out += '&';
    } else if (name == "lt") {
      out += '<';
    } else if (name == "gt") {
      out += '>';
    } else if (name == "quot") {
      out += '"';
    } else if (name == "apos") {
      out += '\'';
    } else if (name.size() > 1 && name.front() == '#') {
      bool hexadecimal = name[1] == 'x';
      std::string_view digits = name.substr(hexadecimal ? 2 : 1);
      if (digits.empty() || digits.size() > 8) return std::nullopt;
      unsigned long cp = 0;
      for (char d : digits) {
        int v = (d >= '0' && d <= '9')                  ? d - '0'
                : hexadecimal && (d >= 'a' && d <= 'f') ? d - 'a' + 10
                : hexadecimal && (d >= 'A' && d <= 'F') ? d - 'A' + 10
                                                        : -1;
        if (v < 0) return std::nullopt;
        cp = cp * (hexadecimal ? 16 : 10) + static_cast<unsigned long>(v);
      }
      if (!appendUtf8(out, cp)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace

std::string formatManifest(const Manifest& manifest) {
  std::string out;
  out += manifestHeader;
  out += "\nidentifier " + percentEncode(manifest.identifier) + "\nteam " + percentEncode(manifest.team) + "\n";
  for (const auto& entry : manifest.entries) {
    switch (entry.kind) {
      case ManifestEntry::Kind::directory: out += "dir " + percentEncode(entry.path); break;
      case ManifestEntry::Kind::file:
        out += "file " + percentEncode(entry.path) + " " + entry.sha256 + (entry.executable ? " x" : " -");
        break;
      case ManifestEntry::Kind::link: out += "link " + percentEncode(entry.path) + " " + percentEncode(entry.target);
    }
    out += '\n';
  }
  return out;
}

std::optional<Manifest> parseManifest(std::string_view text) {
  if (text.empty() || text.back() != '\n') return std::nullopt;
  text.remove_suffix(1);
  std::vector<std::string_view> all;
  for (;;) {
    auto cut = text.find('\n');
    all.push_back(text.substr(0, cut));
    if (cut == std::string_view::npos) break;
    text.remove_prefix(cut + 1);
  }
  if (all.size() < 3 || all[0] != manifestHeader || !all[1].starts_with("identifier ") ||
      !all[2].starts_with("team ")) {
    return std::nullopt;
  }
  auto identifier = percentDecode(all[1].substr(11));
  auto team = percentDecode(all[2].substr(5));
  if (!identifier || !team) return std::nullopt;
  Manifest manifest{std::move(*identifier), std::move(*team), {}};
  for (std::size_t i = 3; i < all.size(); ++i) {
    auto entry = parseEntry(all[i]);
    if (!entry) return std::nullopt;
    if (!manifest.entries.empty() && !(manifest.entries.back().path < entry->path)) return std::nullopt;
    manifest.entries.push_back(std::move(*entry));
  }
  return manifest;
}

BundleVerdict checkBundle(const std::filesystem::path& app, const std::optional<std::string>& expectedVersion,
                          const std::optional<PublicKey>& pinned) {
  // Without a key nothing can be trusted, whatever the bundle holds.
  if (!pinned) return invalid(SignatureStatus::noKeyPinned);
  UniqueFd root(::open(app.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.valid()) return unreadable();
  auto contents = openOnTheWay(root.get(), "Contents");
  if (auto* verdict = std::get_if<BundleVerdict>(&contents)) return *verdict;
  int contentsFd = std::get<UniqueFd>(contents).get();
  if (auto verdict = checkSignatureAndContent(root.get(), contentsFd, *pinned);
      verdict.step != BundleVerdict::Step::accepted) {
    return verdict;
  }
  if (expectedVersion) {
    SmallFile plist = readSmallFileAt(contentsFd, "Info.plist", maxInfoPlistBytes);
    auto version = plist.state == SmallFile::State::ok ? infoPlistVersion(plist.content) : std::nullopt;
    if (version != expectedVersion) return {BundleVerdict::Step::versionMismatch, SignatureStatus::ok};
  }
  return {};
}

SignatureStatus compareScan(const Manifest& manifest, const std::vector<ScannedEntry>& scan) {
  std::map<std::string_view, const ManifestEntry*> expected;
  for (const auto& entry : manifest.entries) expected.emplace(entry.path, &entry);
  std::size_t matched = 0;
  for (const auto& seen : scan) {
    // The signature directory is not listed in its own manifest.
    if (seen.entry.path == signatureDirectory) {
      if (seen.problem != SignatureStatus::ok) return seen.problem;
      continue;
    }
    if (!seen.described) return seen.problem;
    auto found = expected.find(seen.entry.path);
    if (auto status = compareEntry(seen, found == expected.end() ? nullptr : found->second);
        status != SignatureStatus::ok) {
      return status;
    }
    ++matched;
  }
  return matched == expected.size() ? SignatureStatus::ok : SignatureStatus::entryRemoved;
}

std::variant<Manifest, std::string> scanBundle(const std::filesystem::path& app) {
  UniqueFd root(::open(app.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.valid()) return "couldn't open the bundle " + app.string() + ": " + errnoText();
  Manifest manifest{std::string(bundleIdentifier), std::string(signingTeam), {}};
  for (auto& seen : walkBundle(root.get())) {
    // Its names are checked when the signature is written.
    if (seen.entry.path == signatureDirectory) continue;
    if (seen.problem != SignatureStatus::ok) return std::move(seen.error);
    manifest.entries.push_back(std::move(seen.entry));
  }
  // Sorted by the whole path, as the verifier expects ("a-b" before "a/c").
  std::sort(manifest.entries.begin(), manifest.entries.end(),
            [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; });
  return manifest;
}

std::optional<std::string> writeBundleSignature(const std::filesystem::path& app, const Manifest& manifest,
                                                const SecretKey& key) {
  std::string text = formatManifest(manifest);
  if (parseManifest(text) != manifest) return "the manifest has an entry that can't be signed";
  UniqueFd root(::open(app.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.valid()) return "couldn't open the bundle " + app.string() + ": " + errnoText();
  UniqueFd contents = openDirectoryAt(root.get(), "Contents");
  if (!contents.valid()) return "the bundle has no Contents directory";
  if (::mkdirat(contents.get(), "_CodeSignature", 0755) != 0 && errno != EEXIST) {
    return "couldn't create " + std::string(signatureDirectory) + ": " + errnoText();
  }
  UniqueFd signatures = openDirectoryAt(contents.get(), "_CodeSignature");
  auto names = signatures.valid() ? listDirectory(signatures.get()) : std::nullopt;
  if (!names) return "couldn't open " + std::string(signatureDirectory);
  for (const auto& name : *names) {
    if (name != manifestName && name != manifestSignatureName) {
      return std::string(signatureDirectory) + " holds '" + name + "', which the signature can't cover";
    }
  }
  Signature signature = sign(key, text, "timestamp:" + std::to_string(std::time(nullptr)) + "\tfile:manifest\thashed",
                             "signature from quorvex-bundle secret key " + keyIdText(key.id));
  if (!writeFileAt(signatures.get(), manifestName.data(), text) ||
      !writeFileAt(signatures.get(), manifestSignatureName.data(), signatureFile(signature))) {
    return "couldn't write into " + std::string(signatureDirectory) + ": " + errnoText();
  }
  return std::nullopt;
}

std::optional<std::string> signBundle(const std::filesystem::path& app, const SecretKey& key) {
  auto scanned = scanBundle(app);
  if (auto* error = std::get_if<std::string>(&scanned)) return *error;
  return writeBundleSignature(app, std::get<Manifest>(scanned), key);
}

std::string installedVersion(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text;
  std::array<char, 4096> buffer{};
  // read() turns a read error (a directory, say) into badbit, not an exception.
  while (text.size() <= maxInfoPlistBytes && in.read(buffer.data(), buffer.size()).gcount() > 0) {
    text.append(buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (!in.eof() || in.bad() || text.size() > maxInfoPlistBytes) return "dev";
  return infoPlistVersion(text).value_or("dev");
}

std::optional<std::string> infoPlistVersion(std::string_view xml) {
  return infoPlistString(xml, "CFBundleShortVersionString");
}

std::optional<std::string> infoPlistString(std::string_view xml, std::string_view name) {
  // Comments could hide a decoy key in front of the real one.
  std::string text;
  for (;;) {
    auto open = xml.find("<!--");
    text += xml.substr(0, open);
    if (open == std::string_view::npos) break;
    auto close = xml.find("-->", open + 4);
    if (close == std::string_view::npos) return std::nullopt;
    xml.remove_prefix(close + 3);
  }
  const std::string key = "<key>" + std::string(name) + "</key>";
  auto at = text.find(key);
  if (at == std::string::npos) return std::nullopt;
  std::string_view rest = std::string_view(text).substr(at + key.size());
  rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(" \t\r\n")));
  if (rest.starts_with("<string/>")) return std::string();
  constexpr std::string_view open = "<string>";
  if (!rest.starts_with(open)) return std::nullopt;
  rest.remove_prefix(open.size());
  auto end = rest.find("</string>");
  if (end == std::string_view::npos) return std::nullopt;
  return xmlText(rest.substr(0, end));
}

}  // namespace qx::signature
