// Stands in for the capture helper in the server's process tests: writes a
// known Annex B stream (every access unit closed by a delimiter, keyframes
// with parameter sets), records what arrives on standard input, and talks on
// standard error like the real helper.
//
// Options of its own (every other argument is accepted and ignored, like the
// capture options the host passes):
//   --record FILE         append every standard-input line to FILE
//   --args-file FILE      write every argument, one per line, to FILE
//   --env-file FILE       write every environment entry, one per line, to FILE
//   --pid-file FILE       write the process id to FILE
//   --fps N               frames per second (default 30)
//   --gop N               keyframe every N frames; 0: only the first and on "idr"
//   --frame-bytes N       size of each slice payload (default 200)
//   --exit-after-frames N exit with --exit-status after N frames
//   --exit-status N       (default 0)
//   --stderr-line TEXT    one more standard-error line at start
//   --audio-fd N          also write one length-prefixed audio packet per frame to N
//   --ignore-input 1      never read standard input, and shrink its pipe to a page
//
// Slice payloads read "frame=<n>;" padded with 'x', never containing a zero
// byte, so tests can tell frames apart and no payload looks like a start code.

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::atomic<bool> keyframeRequested{false};

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string nal(unsigned char header, const std::string& payload) {
  std::string out("\x00\x00\x00\x01", 4);
  out.push_back(static_cast<char>(header));
  out += payload;
  return out;
}

std::string accessUnit(long frame, bool keyframe, std::size_t payloadBytes) {
  std::string payload = "frame=" + std::to_string(frame) + ";";
  if (payload.size() < payloadBytes) payload.append(payloadBytes - payload.size(), 'x');
  std::string unit;
  if (keyframe) {
    unit += nal(0x67, "SPS");
    unit += nal(0x68, "PPS");
    unit += nal(0x65, payload);
  } else {
    unit += nal(0x41, payload);
  }
  unit += std::string("\x00\x00\x00\x01\x09\xF0", 6);
  return unit;
}

long numberArg(const char* text) { return std::strtol(text, nullptr, 10); }

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::string recordPath;
  long fps = 30;
  long gop = 0;
  std::size_t frameBytes = 200;
  long exitAfter = -1;
  int exitStatus = 0;
  int audioFd = -1;
  bool ignoreInput = false;
  std::vector<std::string> extraLines;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) continue;
    if (arg == "--record") {
      recordPath = value;
    } else if (arg == "--args-file") {
      std::ofstream out(value);
      for (int j = 1; j < argc; ++j) out << argv[j] << '\n';
    } else if (arg == "--env-file") {
      std::ofstream out(value);
      for (char** entry = environ; *entry != nullptr; ++entry) out << *entry << '\n';
    } else if (arg == "--pid-file") {
      std::ofstream(value) << ::getpid() << '\n';
    } else if (arg == "--fps") {
      fps = std::max(1L, numberArg(value));
    } else if (arg == "--gop") {
      gop = numberArg(value);
    } else if (arg == "--frame-bytes") {
      frameBytes = static_cast<std::size_t>(std::max(16L, numberArg(value)));
    } else if (arg == "--exit-after-frames") {
      exitAfter = numberArg(value);
    } else if (arg == "--exit-status") {
      exitStatus = static_cast<int>(numberArg(value));
    } else if (arg == "--stderr-line") {
      extraLines.push_back(value);
    } else if (arg == "--audio-fd") {
      audioFd = static_cast<int>(numberArg(value));
    } else if (arg == "--ignore-input") {
      ignoreInput = numberArg(value) != 0;
    }
  }

  std::cerr << "quorvex-screencap: capturing display 1 (fake) 640x360 at " << fps << " fps" << std::endl;
  for (const auto& line : extraLines) std::cerr << line << std::endl;

  // Control lines are recorded as they come; end of input ends the helper
  // with status 0, as the real one does.
  if (ignoreInput) ::fcntl(STDIN_FILENO, F_SETPIPE_SZ, 4096);
  std::thread reader([recordPath, ignoreInput] {
    if (ignoreInput) return;
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!recordPath.empty()) {
        std::ofstream out(recordPath, std::ios::app);
        out << line << '\n';
      }
      if (line == "idr") keyframeRequested = true;
    }
    std::fflush(nullptr);
    ::_exit(0);
  });
  reader.detach();

  auto period = std::chrono::microseconds(1000000 / fps);
  auto next = std::chrono::steady_clock::now();
  for (long frame = 0;; ++frame) {
    if (exitAfter >= 0 && frame >= exitAfter) {
      std::cerr << "quorvex-screencap: fake helper done after " << frame << " frames" << std::endl;
      ::_exit(exitStatus);
    }
    bool keyframe = frame == 0 || (gop > 0 && frame % gop == 0) || keyframeRequested.exchange(false);
    if (!writeAll(STDOUT_FILENO, accessUnit(frame, keyframe, frameBytes))) ::_exit(1);
    if (audioFd >= 0) {
      std::string packet = "opus-packet-" + std::to_string(frame);
      std::string framed;
      framed.push_back(static_cast<char>(packet.size() >> 8));
      framed.push_back(static_cast<char>(packet.size() & 0xFF));
      framed += packet;
      if (!writeAll(audioFd, framed)) ::_exit(1);
    }
    next += period;
    std::this_thread::sleep_until(next);
  }
}
