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
#include <deque>
#include <limits>
#include <system_error>

#include "common/fd.h"
#include "common/text.h"

namespace qx::host {
namespace {

constexpr std::string_view kAlphabet = "abcdefghijkmnpqrstuvwxyz23456789";
constexpr std::size_t kTokenLength = 16;

// What the fallback file holds: nothing (no file), a token, or a file that
// exists but cannot be read, which must not pass for "no token".
struct FileToken {
  enum class State { missing, present, unreadable };
  State state = State::missing;
  std::string token;
};

FileToken readFileToken(const std::filesystem::path& file) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return {errno == ENOENT ? FileToken::State::missing : FileToken::State::unreadable, {}};
  std::string bytes;
  std::array<char, 512> buffer{};
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {FileToken::State::unreadable, {}};
    if (n == 0) break;
    bytes.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return {FileToken::State::present, replaceInvalidUtf8(bytes)};
}

// Temporary file beside the target, fsync, rename, fsync of the directory: a
// crash leaves either the old token or the new one, never a torn file.
bool writeFileAtomically(const std::filesystem::path& file, const std::string& token) {
  const std::filesystem::path dir = file.parent_path();
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);

  std::string temp = (dir / ".token-XXXXXX").string();
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));  // created with mode 0600
  if (!fd.valid()) return false;
  const bool ok =
      ::fchmod(fd.get(), 0600) == 0 && writeFully(fd.get(), token.data(), token.size()) && ::fsync(fd.get()) == 0;
  if (fd.close() != 0 || !ok || ::rename(temp.c_str(), file.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  if (const UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dirFd.valid()) {
    ::fsync(dirFd.get());
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

// The store's state, shared with the keyring's pending answers, which hold it
// weakly: an answer arriving after the store is gone does nothing.
struct TokenStore::Queue : std::enable_shared_from_this<TokenStore::Queue> {
  Queue(Keyring& k, std::filesystem::path f) : keyring(k), file(std::move(f)) {}

  // Runs waiting operations until one is still waiting for its keyring. An
  // operation that finishes inside its own call continues this loop instead
  // of nesting another.
  void pump() {
    if (pumping) return;
    pumping = true;
    while (!busy && !waiting.empty()) {
      Operation operation = std::move(waiting.front());
      waiting.pop_front();
      busy = true;
      operation(*this, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
          self->busy = false;
          self->pump();
        }
      });
    }
    pumping = false;
  }

  // Binds a keyring answer to this queue, weakly.
  template <class Answer>
  std::function<void(Answer)> weakly(std::function<void(Queue&, Answer)> then) {
    return [weak = weak_from_this(), then = std::move(then)](Answer answer) {
      if (auto self = weak.lock()) then(*self, std::move(answer));
    };
  }

  Keyring& keyring;
  std::filesystem::path file;
  std::deque<Operation> waiting;
  bool busy = false;
  bool pumping = false;
};

TokenStore::TokenStore(Keyring& keyring, std::filesystem::path fallbackFile)
    : queue_(std::make_shared<Queue>(keyring, std::move(fallbackFile))) {}

std::filesystem::path TokenStore::defaultFallbackFile() {
  // Beside the settings file (SettingsStore::defaultPath).
  const QDir config(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
  return config.absoluteFilePath(QStringLiteral("Quorvex/token")).toStdString();
}

void TokenStore::enqueue(Operation operation) {
  queue_->waiting.push_back(std::move(operation));
  queue_->pump();
}

void TokenStore::load(std::function<void(TokenRead)> done) {
  enqueue([done = std::move(done)](Queue& queue, std::function<void()> finished) mutable {
    queue.keyring.read(queue.weakly<Keyring::ReadResult>(
        [done = std::move(done), finished = std::move(finished)](Queue& q, const Keyring::ReadResult& item) {
          TokenRead read;
          const FileToken file = item.status == Keyring::Status::ok ? FileToken{} : readFileToken(q.file);
          if (item.status == Keyring::Status::ok) {
            read.token = replaceInvalidUtf8(item.secret);
          } else if (file.state == FileToken::State::present) {
            read.token = file.token;
          } else if (item.status == Keyring::Status::notFound && file.state == FileToken::State::missing) {
            // No item and no file: nothing was ever stored. A failing keyring
            // (or an unreadable file) says nothing about whether a token exists.
            read.token = std::string();
          } else {
            read.refused = item.status == Keyring::Status::refused;
          }
          if (done) done(std::move(read));
          finished();
        }));
  });
}

void TokenStore::save(std::string token, std::function<void(bool)> done) {
  enqueue([token = std::move(token), done = std::move(done)](Queue& queue, std::function<void()> finished) mutable {
    auto end = [done = std::move(done), finished = std::move(finished)](bool stored) {
      if (done) done(stored);
      finished();
    };
    auto answered = queue.weakly<Keyring::Status>([token, end](Queue& q, Keyring::Status status) {
      if (status == Keyring::Status::ok || status == Keyring::Status::notFound) {
        removeFile(q.file);
        end(true);
        return;
      }
      // The file takes the token; for "" an empty file records that no token
      // is wanted, since a failing keyring with no file reads as unknown.
      if (!writeFileAtomically(q.file, token)) {
        end(false);
        return;
      }
      if (token.empty()) {
        end(true);
        return;
      }
      // An older item would otherwise shadow the file once the keyring works
      // again; if this fails too, the item is as stale as it was.
      q.keyring.remove(q.weakly<Keyring::Status>([end](Queue&, Keyring::Status) { end(true); }));
    });
    if (token.empty()) {
      queue.keyring.remove(std::move(answered));
    } else {
      queue.keyring.write(token, std::move(answered));
    }
  });
}

void TokenStore::removeAll(std::function<void()> done) {
  enqueue([done = std::move(done)](Queue& queue, std::function<void()> finished) mutable {
    queue.keyring.remove(queue.weakly<Keyring::Status>(
        [done = std::move(done), finished = std::move(finished)](Queue& q, Keyring::Status) {
          removeFile(q.file);
          if (done) done();
          finished();
        }));
  });
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
