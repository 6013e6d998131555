#include "host/TokenStore.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QStandardPaths>
#include <array>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <system_error>

#include "common/text.h"

namespace qx::host {
namespace {

constexpr std::string_view kAlphabet = "abcdefghijkmnpqrstuvwxyz23456789";
constexpr std::size_t kTokenLength = 16;

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// What the fallback file holds: nothing (no file), a token, or a file that
// exists but cannot be read, which must not pass for "no token".
struct FileToken {
  enum class State { missing, present, unreadable };
  State state = State::missing;
  std::string token;
};

FileToken readFileToken(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {errno == ENOENT ? FileToken::State::missing : FileToken::State::unreadable, {}};
  std::string bytes;
  std::array<char, 512> buffer{};
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return {FileToken::State::unreadable, {}};
    }
    if (n == 0) break;
    bytes.append(buffer.data(), static_cast<std::size_t>(n));
  }
  ::close(fd);
  return {FileToken::State::present, replaceInvalidUtf8(bytes)};
}

// Temporary file beside the target, fsync, rename, fsync of the directory: a
// crash leaves either the old token or the new one, never a torn file.
bool writeFileAtomically(const std::filesystem::path& file, const std::string& token) {
  const std::filesystem::path dir = file.parent_path();
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);

  std::string temp = (dir / ".token-XXXXXX").string();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // created with mode 0600
  if (fd < 0) return false;
  const bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, token) && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !ok || ::rename(temp.c_str(), file.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  if (const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

void removeFile(const std::filesystem::path& file) {
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

std::uint64_t secureRandom64() {
  std::uint64_t value = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&value);
  std::size_t got = 0;
  while (got < sizeof value) {
    const ssize_t n = ::getrandom(bytes + got, sizeof value - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "getrandom");
    got += static_cast<std::size_t>(n);
  }
  return value;
}

}  // namespace

TokenStore::TokenStore(Keyring& keyring, std::filesystem::path fallbackFile)
    : keyring_(keyring), file_(std::move(fallbackFile)) {}

std::filesystem::path TokenStore::defaultFallbackFile() {
  // Beside the settings file (SettingsStore::defaultPath).
  const QDir config(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
  return config.absoluteFilePath(QStringLiteral("Quorvex/token")).toStdString();
}

std::optional<std::string> TokenStore::load() {
  const Keyring::ReadResult item = keyring_.read();
  if (item.status == Keyring::Status::ok) return replaceInvalidUtf8(item.secret);

  const FileToken file = readFileToken(file_);
  if (file.state == FileToken::State::present) return file.token;
  // No item and no file: nothing was ever stored. A failing keyring (or an
  // unreadable file) says nothing about whether a token exists.
  if (item.status == Keyring::Status::notFound && file.state == FileToken::State::missing) return std::string();
  return std::nullopt;
}

bool TokenStore::save(const std::string& token) {
  const Keyring::Status status = token.empty() ? keyring_.remove() : keyring_.write(token);
  if (status != Keyring::Status::failed) {
    removeFile(file_);
    return true;
  }
  // The file takes the token; for "" an empty file records that no token is
  // wanted, since a failing keyring with no file reads as unknown.
  if (!writeFileAtomically(file_, token)) return false;
  // An older item would otherwise shadow the file once the keyring works
  // again; if this fails too, the item is as stale as it was.
  if (!token.empty()) keyring_.remove();
  return true;
}

void TokenStore::removeAll() {
  keyring_.remove();
  removeFile(file_);
}

std::string TokenStore::random() {
  constexpr std::uint64_t n = kAlphabet.size();
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  // Values at or above the largest multiple of n would favour the first
  // characters; they are drawn again. (Zero such values for n = 32.)
  constexpr std::uint64_t excess = (max % n + 1) % n;  // 2^64 mod n
  std::string token;
  token.reserve(kTokenLength);
  while (token.size() < kTokenLength) {
    const std::uint64_t value = secureRandom64();
    if (excess != 0 && value > max - excess) continue;
    token.push_back(kAlphabet[value % n]);
  }
  return token;
}

}  // namespace qx::host
