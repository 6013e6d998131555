#include "capture/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "common/numbers.h"
#include "common/text.h"

namespace qx {

namespace {
constexpr std::string_view kAckPrefix = "ltr-ack ";
constexpr std::string_view kBitratePrefix = "bitrate ";
}  // namespace

std::optional<ControlCommand> parseControlLine(std::string_view line) {
  if (line == "idr") return KeyframeRequest{};
  if (line == "ltr-refresh") return RefreshRequest{};
  if (line.starts_with(kAckPrefix)) {
    // The token is taken exactly as sent; no trimming.
    if (auto token = parseDecimalInt64(line.substr(kAckPrefix.size()))) return AckRequest{*token};
    return std::nullopt;
  }
  if (line.starts_with(kBitratePrefix)) {
    const std::string number = trimHorizontalWhitespace(line.substr(kBitratePrefix.size()));
    if (auto bps = parseDecimalInt64(number)) return BitrateRequest{*bps};
    return std::nullopt;
  }
  return std::nullopt;
}

std::vector<std::string> LineSplitter::feed(std::string_view bytes) {
  std::vector<std::string> lines;
  while (!bytes.empty()) {
    const std::size_t lf = bytes.find('\n');
    const std::string_view part = bytes.substr(0, lf);
    bytes.remove_prefix(lf == std::string_view::npos ? bytes.size() : lf + 1);
    if (!discarding_) pending_.append(part);
    // A trailing CR may be the first half of the terminator, which does not count.
    const std::size_t limit = kMaxLine + (pending_.ends_with('\r') ? 1 : 0);
    if (pending_.size() > limit) {
      pending_.clear();
      discarding_ = true;
    }
    if (lf == std::string_view::npos) break;
    if (!discarding_) {
      if (pending_.ends_with('\r')) pending_.pop_back();
      lines.push_back(std::move(pending_));
    }
    pending_.clear();
    discarding_ = false;
  }
  return lines;
}

std::optional<std::string> LineSplitter::finish() {
  discarding_ = false;
  if (pending_.empty()) return std::nullopt;
  std::string last = std::move(pending_);
  pending_.clear();
  return last;
}

void applyControlCommand(const ControlCommand& command, VideoEncoderPort& encoder) {
  struct Visitor {
    VideoEncoderPort& encoder;
    void operator()(const KeyframeRequest&) const { encoder.requestKeyframe(); }
    void operator()(const RefreshRequest&) const { encoder.requestRefresh(); }
    void operator()(const AckRequest& r) const { encoder.acknowledge(r.token); }
    void operator()(const BitrateRequest& r) const { encoder.setBitrate(r.bitsPerSecond); }
  };
  std::visit(Visitor{encoder}, command);
}

ControlChannel::ControlChannel(int fd, std::shared_ptr<VideoEncoderPort> encoder, ExitFn exitProcess)
    : fd_(fd), encoder_(std::move(encoder)), exitProcess_(std::move(exitProcess)) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "control channel pipe");
  wakeRead_.reset(fds[0]);
  wakeWrite_.reset(fds[1]);
  thread_ = std::thread([this] { run(); });
}

ControlChannel::~ControlChannel() {
  // Any byte on the wake pipe tells the reader to leave without exiting.
  const char byte = 1;
  (void)writeFully(wakeWrite_.get(), &byte, 1);
  if (thread_.joinable()) thread_.join();
}

void ControlChannel::run() {
  LineSplitter splitter;
  char buffer[4096];
  auto apply = [this](const std::string& line) {
    if (auto command = parseControlLine(line)) applyControlCommand(*command, *encoder_);
  };
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;  // treated as end of input
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    for (const auto& line : splitter.feed(std::string_view(buffer, static_cast<std::size_t>(n)))) apply(line);
  }
  if (auto last = splitter.finish()) apply(*last);
  exitProcess_(0);
}

}  // namespace qx
