// End-to-end figures for 1080p30 moving content on Xvfb: quorvex-screencap
// against ffmpeg's x11grab + libx264 (ultrafast, zerolatency) at the same size
// and bitrate. For each pipeline: screen-change-to-stdout latency (median,
// p99), CPU per frame while the screen moves, CPU use on a still screen.
// The helper's CPU is split by thread: "qv-capture" does grab + conversion
// (the conversion share is timed separately at the same size), the rest is
// encoding and bookkeeping.

#include <dirent.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <xcb/xcb.h>

#include "platform/linux/x11/nv12_converter.h"
#include "tests/support/process.h"
#include "tests/support/x_server.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr int kBitrate = 8'000'000;

double ticksToSeconds(long long ticks) {
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// utime + stime of /proc/<pid>/task/<tid>/stat or /proc/<pid>/stat, and the comm.
bool readStat(const std::string& path, std::string& comm, long long& ticks) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return false;
  const auto open = line.find('('), close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return false;
  comm = line.substr(open + 1, close - open - 1);
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  ticks = utime + stime;
  return true;
}

// CPU seconds per thread name (threads of one name summed), and the total.
std::map<std::string, double> threadCpu(int pid) {
  std::map<std::string, double> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string comm;
      long long ticks = 0;
      if (readStat(dir + "/" + e->d_name + "/stat", comm, ticks)) out[comm] += ticksToSeconds(ticks);
    }
    closedir(d);
  }
  std::string comm;
  long long ticks = 0;
  if (readStat("/proc/" + std::to_string(pid) + "/stat", comm, ticks)) out["(total)"] = ticksToSeconds(ticks);
  return out;
}

// Paints the root window: a textured background once, then a moving box.
class Painter {
 public:
  explicit Painter(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, screen_->root, 0, nullptr);
    std::uint32_t seed = 7;
    for (int i = 0; i < 3000; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const int x = static_cast<int>(seed % kWidth), y = static_cast<int>((seed >> 11) % kHeight);
      fill(x, y, 8 + static_cast<int>(seed >> 27), 6 + static_cast<int>((seed >> 22) & 15), seed >> 8);
    }
    sync();
  }
  ~Painter() { xcb_disconnect(c_); }

  // One step of motion; returns once the server has drawn it.
  void step() {
    const int x = (step_ * 23) % (kWidth - 320), y = 200 + (step_ * 7) % 500;
    fill(lastX_, lastY_, 320, 240, 0x203040);
    fill(x, y, 320, 240, 0xf0c000u ^ static_cast<std::uint32_t>(step_ * 0x010305));
    fill(x + 40, y + 40, 100, 60, static_cast<std::uint32_t>(step_ * 0x0a0b0c));
    lastX_ = x;
    lastY_ = y;
    ++step_;
    sync();
  }

 private:
  void fill(int x, int y, int w, int h, std::uint32_t rgb) {
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t r{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w),
                            static_cast<std::uint16_t>(h)};
    xcb_poly_fill_rectangle(c_, screen_->root, gc_, 1, &r);
  }
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

  xcb_connection_t* c_;
  const xcb_screen_t* screen_;
  xcb_gcontext_t gc_ = 0;
  int step_ = 0;
  int lastX_ = 0, lastY_ = 0;
};

// Reads a child's stdout on its own thread, noting when each chunk arrived
// and counting coded pictures (slices that start a picture).
class StreamReader {
 public:
  explicit StreamReader(int fd) : fd_(fd), thread_([this] { run(); }) {}
  ~StreamReader() {
    done_ = true;
    thread_.join();
  }

  struct Chunk {
    SteadyClock::time_point at;
    std::size_t bytes;
  };
  std::vector<Chunk> chunks() {
    std::lock_guard lock(mutex_);
    return chunks_;
  }
  long long pictures() {
    std::lock_guard lock(mutex_);
    return pictures_;
  }

 private:
  void run() {
    std::vector<std::uint8_t> buf(1 << 20);
    while (!done_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = read(fd_, buf.data(), buf.size());
      if (n <= 0) break;
      const auto now = SteadyClock::now();
      std::lock_guard lock(mutex_);
      chunks_.push_back({now, static_cast<std::size_t>(n)});
      for (ssize_t i = 0; i < n; ++i) scan(buf[static_cast<std::size_t>(i)]);
    }
  }
  // Start codes 00 00 01, then the NAL header, then the first slice byte.
  void scan(std::uint8_t b) {
    if (state_ == 3) {
      nalType_ = b & 0x1f;
      state_ = 4;
      return;
    }
    if (state_ == 4) {
      // first_mb_in_slice == 0 is the single bit '1'.
      if ((nalType_ == 1 || nalType_ == 5) && (b & 0x80)) ++pictures_;
      state_ = 0;
    }
    if (b == 0) {
      zeros_ = std::min(zeros_ + 1, 3);
    } else {
      if (b == 1 && zeros_ >= 2) state_ = 3;
      zeros_ = 0;
    }
  }

  int fd_;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::vector<Chunk> chunks_;
  long long pictures_ = 0;
  int zeros_ = 0, state_ = 0, nalType_ = 0;
  std::thread thread_;
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

struct Figures {
  double latencyMedianMs = 0, latencyP99Ms = 0;
  int latencySamples = 0, latencyMissed = 0;
  double cpuPerFrameMs = 0, framesPerSecond = 0;
  std::map<std::string, double> threadMsPerFrame;
  double stillCpuPercent = 0;
};

Figures measure(const std::string& label, qx::test::Process& child, int phaseSeconds, Painter& painter) {
  Figures f;
  StreamReader reader(child.stdoutFd());
  std::thread drainErr([&] {
    char b[4096];
    while (read(child.stderrFd(), b, sizeof b) > 0) {
    }
  });

  // Warm up with motion.
  for (int i = 0; i < kFps; ++i) {
    painter.step();
    std::this_thread::sleep_for(33ms);
  }

  // Latency: isolated changes, each far enough apart to be its own frame.
  // A chunk counts as the change's picture when it is larger than the still
  // screen's pictures (which code nothing).
  std::this_thread::sleep_for(500ms);
  std::vector<SteadyClock::time_point> changes;
  const int changeCount = phaseSeconds * 4;
  for (int i = 0; i < changeCount; ++i) {
    painter.step();
    changes.push_back(SteadyClock::now());
    std::this_thread::sleep_for(250ms);
  }
  std::this_thread::sleep_for(300ms);
  const auto chunks = reader.chunks();
  std::vector<double> latencies;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const auto end = i + 1 < changes.size() ? changes[i + 1] : SteadyClock::now();
    bool found = false;
    for (const auto& c : chunks) {
      if (c.at > changes[i] && c.at < end && c.bytes > 400) {
        latencies.push_back(std::chrono::duration<double, std::milli>(c.at - changes[i]).count());
        found = true;
        break;
      }
    }
    if (!found) ++f.latencyMissed;
  }
  f.latencySamples = static_cast<int>(latencies.size());
  f.latencyMedianMs = percentile(latencies, 0.5);
  f.latencyP99Ms = percentile(latencies, 0.99);

  // Motion at 30 frames per second: CPU per coded picture.
  const auto before = threadCpu(child.pid());
  const long long picturesBefore = reader.pictures();
  const auto start = SteadyClock::now();
  auto next = start;
  while (SteadyClock::now() - start < std::chrono::seconds(phaseSeconds)) {
    painter.step();
    next += std::chrono::microseconds(1'000'000 / kFps);
    std::this_thread::sleep_until(next);
  }
  const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
  std::this_thread::sleep_for(200ms);
  const auto after = threadCpu(child.pid());
  const double frames = static_cast<double>(reader.pictures() - picturesBefore);
  f.framesPerSecond = frames / elapsed;
  if (frames > 0) {
    f.cpuPerFrameMs = (after.at("(total)") - before.at("(total)")) * 1000.0 / frames;
    for (const auto& [name, seconds] : after) {
      if (name == "(total)") continue;
      const double was = before.count(name) ? before.at(name) : 0.0;
      f.threadMsPerFrame[name] = (seconds - was) * 1000.0 / frames;
    }
  }

  // Still screen.
  std::this_thread::sleep_for(1s);
  const auto stillBefore = threadCpu(child.pid());
  std::this_thread::sleep_for(std::chrono::seconds(phaseSeconds));
  const auto stillAfter = threadCpu(child.pid());
  f.stillCpuPercent = (stillAfter.at("(total)") - stillBefore.at("(total)")) * 100.0 / phaseSeconds;

  child.closeStdin();
  child.signal(SIGTERM);
  (void)child.wait(5s);
  drainErr.join();

  std::printf("\n%s\n", label.c_str());
  std::printf("  latency change->stdout   median %6.1f ms   p99 %6.1f ms   (%d changes, %d not seen)\n",
              f.latencyMedianMs, f.latencyP99Ms, f.latencySamples, f.latencyMissed);
  std::printf("  moving screen            %6.1f frames/s   CPU %6.2f ms per frame\n", f.framesPerSecond,
              f.cpuPerFrameMs);
  for (const auto& [name, ms] : f.threadMsPerFrame) {
    if (ms >= 0.05) std::printf("      thread %-16s %6.2f ms per frame\n", name.c_str(), ms);
  }
  std::printf("  still screen             CPU %5.2f %% of one core\n", f.stillCpuPercent);
  return f;
}

double conversionMsPerFrame() {
  std::vector<std::uint8_t> src(static_cast<std::size_t>(kWidth) * kHeight * 4, 0x40);
  qx::x11::Nv12Converter converter(kWidth, kHeight, kWidth, kHeight);
  qx::PixelBuffer out(kWidth, kHeight);
  std::vector<double> ms;
  for (int i = 0; i < 40; ++i) {
    timespec a{}, b{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    converter.convert(src.data(), kWidth * 4, out);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    ms.push_back(static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6);
  }
  return percentile(ms, 0.5);
}

Figures runHelper(const qx::test::XServer& server, int phaseSeconds, Painter& painter) {
  qx::test::Process::Options options;
  options.args = {qx::test::bundleProgram("quorvex-screencap"),
                  "--fps",
                  std::to_string(kFps),
                  "--bitrate",
                  std::to_string(kBitrate),
                  "--max-width",
                  std::to_string(kWidth)};
  options.setEnv = {{"DISPLAY", server.display()}};
  qx::test::Process helper(options);
  return measure("quorvex-screencap", helper, phaseSeconds, painter);
}

Figures runFfmpeg(const qx::test::XServer& server, int phaseSeconds, Painter& painter) {
  qx::test::Process::Options options;
  options.args = {qx::test::findOnPath("ffmpeg"),
                  "-hide_banner",
                  "-loglevel",
                  "error",
                  "-f",
                  "x11grab",
                  "-draw_mouse",
                  "0",
                  "-framerate",
                  std::to_string(kFps),
                  "-video_size",
                  std::to_string(kWidth) + "x" + std::to_string(kHeight),
                  "-i",
                  server.display(),
                  "-c:v",
                  "libx264",
                  "-preset",
                  "ultrafast",
                  "-tune",
                  "zerolatency",
                  "-b:v",
                  std::to_string(kBitrate),
                  "-pix_fmt",
                  "yuv420p",
                  "-flush_packets",
                  "1",
                  "-f",
                  "h264",
                  "-"};
  qx::test::Process ffmpeg(options);
  return measure("ffmpeg x11grab + libx264 ultrafast zerolatency", ffmpeg, phaseSeconds, painter);
}

double medianOf(const std::vector<Figures>& runs, double Figures::*field) {
  std::vector<double> v;
  for (const auto& f : runs) v.push_back(f.*field);
  std::sort(v.begin(), v.end());
  if (v.empty()) return 0;
  const std::size_t mid = v.size() / 2;
  return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

}  // namespace

// Usage: bench_pipeline [seconds-per-phase (10)] [rounds (2)]. The two
// pipelines alternate, so load from elsewhere hits both alike; the summary
// takes the median over rounds.
int main(int argc, char** argv) {
  const int phaseSeconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;
  auto server = qx::test::XServer::xvfb(kWidth, kHeight);
  Painter painter(server->display());

  std::vector<Figures> ours, theirs;
  for (int round = 0; round < rounds; ++round) {
    std::printf("\n--- round %d of %d ---", round + 1, rounds);
    ours.push_back(runHelper(*server, phaseSeconds, painter));
    theirs.push_back(runFfmpeg(*server, phaseSeconds, painter));
  }

  const double convertMs = conversionMsPerFrame();
  std::vector<double> captureMs;
  for (const auto& f : ours)
    captureMs.push_back(f.threadMsPerFrame.count("qv-capture") ? f.threadMsPerFrame.at("qv-capture") : 0);
  std::sort(captureMs.begin(), captureMs.end());
  const double capture = captureMs.size() % 2
                             ? captureMs[captureMs.size() / 2]
                             : (captureMs[captureMs.size() / 2 - 1] + captureMs[captureMs.size() / 2]) / 2;
  const double oursCpu = medianOf(ours, &Figures::cpuPerFrameMs), theirsCpu = medianOf(theirs, &Figures::cpuPerFrameMs);
  std::printf("\nSummary (median of %d rounds)\n", rounds);
  std::printf(
      "  quorvex-screencap: latency median %.1f ms, p99 %.1f ms; CPU %.2f ms per frame "
      "(grab %.2f, convert %.2f timed apart, encode and the rest %.2f); still %.2f %% of a core\n",
      medianOf(ours, &Figures::latencyMedianMs), medianOf(ours, &Figures::latencyP99Ms), oursCpu,
      std::max(0.0, capture - convertMs), convertMs, oursCpu - capture, medianOf(ours, &Figures::stillCpuPercent));
  std::printf(
      "  ffmpeg:            latency median %.1f ms, p99 %.1f ms; CPU %.2f ms per frame; still %.2f %% of a core\n",
      medianOf(theirs, &Figures::latencyMedianMs), medianOf(theirs, &Figures::latencyP99Ms), theirsCpu,
      medianOf(theirs, &Figures::stillCpuPercent));
  if (theirsCpu > 0) std::printf("  ratio CPU per frame quorvex/ffmpeg %.2f\n", oursCpu / theirsCpu);
  const double theirsStill = medianOf(theirs, &Figures::stillCpuPercent);
  if (theirsStill > 0) {
    std::printf("  still-screen CPU quorvex/ffmpeg %.1f %%\n",
                100.0 * medianOf(ours, &Figures::stillCpuPercent) / theirsStill);
  }
  return 0;
}
