// End-to-end figures for quorvex-screencap against ffmpeg (x11grab + libx264
// ultrafast zerolatency) and GStreamer (ximagesrc + x264enc ultrafast
// zerolatency), all at 1920x1080, 30 fps, 8 Mbit/s, on pictures rendered in
// memory and put on an Xvfb screen with MIT-SHM:
//   desktop  a window moving over a busy background, text typed (partial puts)
//   motion   a textured pattern panning under four moving boxes (whole-screen puts)
//   4k       the same at 3840x2160, each pipeline scaling to 1920x1080
// Every source frame carries its number in the top-left corner; each
// pipeline's output is decoded, and every source frame is paired with its
// first appearance. Per pipeline: frames delivered per second, CPU per frame
// (the process plus what it adds to the X server), change-to-output latency
// (put on screen to the picture's last byte read from the pipe), luma SSIM
// against the source; for the helper its CPU by thread, and the stages timed
// one by one in this process with the product's classes.
//
// bench_pipeline --help for the options.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/pipeline/content.h"
#include "bench/pipeline/cpu_stats.h"
#include "bench/pipeline/micro_stages.h"
#include "bench/pipeline/screen_feeder.h"
#include "bench/pipeline/stream_analysis.h"
#include "tests/support/process.h"
#include "tests/support/x_server.h"

namespace qx::bench {

namespace {

using namespace std::chrono_literals;

constexpr int kOutWidth = 1920;
constexpr int kOutHeight = 1080;
constexpr int kFps = 30;
constexpr std::int64_t kBitrate = 8'000'000;
const double kNaN = std::nan("");

struct Mode {
  std::string name;
  int width;
  int height;
  ContentKind content;
};

enum class Kind { helper, ffmpeg, gstreamer };

struct Pipeline {
  std::string label;
  Kind kind;
  std::string program;
  std::vector<std::string> extraArgs;      // the helper's
  std::map<std::string, std::string> env;  // the helper's, beside DISPLAY
};

struct Settings {
  std::vector<Mode> modes;
  int seconds = 10;
  int rounds = 1;
  int stageFrames = 60;
  std::vector<Pipeline> pipelines;
};

// ffmpeg's scale filter converts RGB with BT.601 unless told otherwise;
// videoconvert picks BT.709 for HD sizes, as the helper uses.
Matrix matrixOf(Kind kind) { return kind == Kind::ffmpeg ? Matrix::bt601 : Matrix::bt709; }

std::vector<std::string> commandFor(const Pipeline& p, const Mode& mode, const std::string& display) {
  const bool scale = mode.width != kOutWidth || mode.height != kOutHeight;
  const std::string outSize = std::to_string(kOutWidth) + "x" + std::to_string(kOutHeight);
  switch (p.kind) {
    case Kind::helper: {
      std::vector<std::string> args = {p.program,
                                       "--fps",
                                       std::to_string(kFps),
                                       "--bitrate",
                                       std::to_string(kBitrate),
                                       "--max-width",
                                       std::to_string(kOutWidth)};
      args.insert(args.end(), p.extraArgs.begin(), p.extraArgs.end());
      return args;
    }
    case Kind::ffmpeg: {
      std::vector<std::string> args = {p.program,
                                       "-nostdin",
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
                                       std::to_string(mode.width) + "x" + std::to_string(mode.height),
                                       "-i",
                                       display};
      if (scale)
        args.insert(args.end(), {"-vf", "scale=" + std::to_string(kOutWidth) + ":" + std::to_string(kOutHeight)});
      args.insert(args.end(),
                  {"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-b:v", std::to_string(kBitrate),
                   "-pix_fmt", "yuv420p", "-flush_packets", "1", "-f", "h264", "-"});
      return args;
    }
    case Kind::gstreamer: {
      std::vector<std::string> args = {p.program,
                                       "-q",
                                       "ximagesrc",
                                       "use-damage=false",
                                       "show-pointer=false",
                                       "!",
                                       "video/x-raw,framerate=" + std::to_string(kFps) + "/1",
                                       "!"};
      // Scaling before the conversion: the cheaper order for it.
      if (scale) {
        args.insert(args.end(),
                    {"videoscale", "!",
                     "video/x-raw,width=" + std::to_string(kOutWidth) + ",height=" + std::to_string(kOutHeight), "!"});
      }
      args.insert(args.end(), {"videoconvert", "!", "x264enc", "speed-preset=ultrafast", "tune=zerolatency",
                               "bitrate=" + std::to_string(kBitrate / 1000), "!",
                               "video/x-h264,stream-format=byte-stream,alignment=au", "!", "fdsink", "fd=1"});
      return args;
    }
  }
  return {};
}

struct RunFigures {
  std::string problem;  // empty when the run worked
  double fps = kNaN, mbps = kNaN;
  double cpuMs = kNaN, processMs = kNaN, serverMs = kNaN;
  double latencyMedianMs = kNaN, latencyP99Ms = kNaN;
  double framesPut = kNaN, framesMatched = kNaN, unreadable = kNaN;
  double ssim = kNaN;
  std::map<std::string, double> threadMs;  // per frame, by thread name
  double stillProcessPct = kNaN, stillServerPct = kNaN;
  std::string comm;  // the process's command name, which x264's worker threads inherit
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return kNaN;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// Keeps the end of a child's standard error, for reporting why it failed.
class ErrorTail {
 public:
  explicit ErrorTail(int fd)
      : thread_([this, fd] {
          char buf[4096];
          while (!done_) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            text_.append(buf, static_cast<std::size_t>(n));
            if (text_.size() > 4000) text_.erase(0, text_.size() - 2000);
          }
        }) {}
  ~ErrorTail() { stop(); }
  std::string stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    return text_;
  }

 private:
  std::atomic<bool> done_{false};
  std::string text_;
  std::thread thread_;
};

struct ModeContext {
  const Mode& mode;
  const test::XServer& server;
  ScreenFeeder& feeder;
  Content& reference;
  std::map<Matrix, std::unique_ptr<ReferenceLuma>> luma;
  double serverBaselineCores = 0;  // X server CPU seconds per second with only the content being put
  int seconds = 10;
  bool still = false;
};

RunFigures runPipeline(const Pipeline& p, ModeContext& ctx) {
  RunFigures f;
  test::Process::Options options;
  options.args = commandFor(p, ctx.mode, ctx.server.display());
  options.setEnv = p.env;
  options.setEnv["DISPLAY"] = ctx.server.display();
  test::Process child(options);
  OutputRecorder output(child.stdoutFd());
  ErrorTail errors(child.stderrFd());
  const int serverPid = ctx.feeder.serverPid();

  auto finish = [&] {
    output.stop();
    child.closeStdin();
    child.signal(SIGTERM);
    std::string err = errors.stop();
    if (!child.wait(5s)) {
      child.signal(SIGKILL);
      (void)child.wait(2s);
    }
    return err;
  };

  if (!test::waitFor([&] { return output.bytesSoFar() > 0; }, 10s)) {
    const std::string err = finish();
    f.problem = "no output within 10 s" + (err.empty() ? std::string() : ": " + err.substr(0, 300));
    return f;
  }
  std::this_thread::sleep_for(1500ms);  // past the encoder's start and the first keyframe
  f.comm = commandName(child.pid());

  const auto threadsBefore = threadCpuSeconds(child.pid());
  const double processBefore = processCpuSeconds(child.pid()), serverBefore = processCpuSeconds(serverPid);
  const auto from = Steady::now();
  std::this_thread::sleep_for(std::chrono::seconds(ctx.seconds));
  const auto to = Steady::now();
  const auto threadsAfter = threadCpuSeconds(child.pid());
  const double processAfter = processCpuSeconds(child.pid()), serverAfter = processCpuSeconds(serverPid);
  // Frames put just before the end may still be on their way.
  std::this_thread::sleep_for(700ms);

  if (ctx.still) {
    ctx.feeder.pause();
    std::this_thread::sleep_for(1s);
    const double pBefore = processCpuSeconds(child.pid()), sBefore = processCpuSeconds(serverPid);
    std::this_thread::sleep_for(std::chrono::seconds(ctx.seconds));
    f.stillProcessPct = (processCpuSeconds(child.pid()) - pBefore) * 100.0 / ctx.seconds;
    f.stillServerPct = (processCpuSeconds(serverPid) - sBefore) * 100.0 / ctx.seconds;
    ctx.feeder.resume();
  }
  const std::string err = finish();
  // The helper's own "[stats]" lines, for example, when asked for.
  if (std::getenv("QX_BENCH_STDERR") != nullptr)
    std::fprintf(stderr, "%s stderr tail:\n%s\n", p.label.c_str(), err.c_str());

  const Window window{from, to};
  auto& luma = ctx.luma[matrixOf(p.kind)];
  if (!luma) {
    luma = std::make_unique<ReferenceLuma>(ctx.mode.width, ctx.mode.height, kOutWidth, kOutHeight, matrixOf(p.kind));
  }
  const StreamFigures s = analyse(output, ctx.feeder, window, ctx.reference, *luma, kOutWidth, kOutHeight);
  if (s.pictures == 0) {
    f.problem = "no pictures in the measured window" + (err.empty() ? std::string() : ": " + err.substr(0, 300));
    return f;
  }
  const double frames = s.pictures;
  f.fps = frames / window.seconds();
  f.mbps = static_cast<double>(s.bytes) * 8.0 / window.seconds() / 1e6;
  f.processMs = (processAfter - processBefore) * 1000.0 / frames;
  f.serverMs = ((serverAfter - serverBefore) - ctx.serverBaselineCores * window.seconds()) * 1000.0 / frames;
  f.cpuMs = f.processMs + f.serverMs;
  for (const auto& [name, seconds] : threadsAfter) {
    const double was = threadsBefore.count(name) ? threadsBefore.at(name) : 0.0;
    f.threadMs[name] = (seconds - was) * 1000.0 / frames;
  }
  f.latencyMedianMs = percentile(s.latenciesMs, 0.5);
  f.latencyP99Ms = percentile(s.latenciesMs, 0.99);
  f.framesPut = s.framesPut;
  f.framesMatched = s.framesMatched;
  f.unreadable = s.unreadable;
  if (s.ssimFrames > 0) f.ssim = s.ssim;
  return f;
}

double medianOf(std::vector<double> v) {
  v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
  if (v.empty()) return kNaN;
  std::sort(v.begin(), v.end());
  const std::size_t mid = v.size() / 2;
  return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

// Field by field over the rounds that worked.
RunFigures medianRun(const std::vector<RunFigures>& runs) {
  std::vector<const RunFigures*> good;
  for (const auto& r : runs) {
    if (r.problem.empty()) good.push_back(&r);
  }
  RunFigures m;
  m.comm = runs.empty() ? std::string() : runs.front().comm;
  if (good.empty()) {
    m.problem = runs.empty() ? "not run" : runs.back().problem;
    return m;
  }
  auto field = [&](double RunFigures::*member) {
    std::vector<double> v;
    for (const RunFigures* r : good) v.push_back(r->*member);
    m.*member = medianOf(v);
  };
  for (auto member :
       {&RunFigures::fps, &RunFigures::mbps, &RunFigures::cpuMs, &RunFigures::processMs, &RunFigures::serverMs,
        &RunFigures::latencyMedianMs, &RunFigures::latencyP99Ms, &RunFigures::framesPut, &RunFigures::framesMatched,
        &RunFigures::unreadable, &RunFigures::ssim, &RunFigures::stillProcessPct, &RunFigures::stillServerPct}) {
    field(member);
  }
  std::map<std::string, std::vector<double>> threads;
  for (const RunFigures* r : good) {
    for (const auto& [name, ms] : r->threadMs) threads[name].push_back(ms);
  }
  for (auto& [name, v] : threads) m.threadMs[name] = medianOf(v);
  return m;
}

struct ModeResult {
  Mode mode;
  int rounds = 0;
  int seconds = 0;
  double contentFps = kNaN;
  double serverBaselinePct = kNaN;
  std::vector<std::pair<Pipeline, RunFigures>> runs;  // medians
  std::optional<StageFigures> stages;
  std::string stagesProblem;
};

ModeResult runMode(const Mode& mode, const Settings& settings) {
  ModeResult result;
  result.mode = mode;
  result.rounds = settings.rounds;
  result.seconds = settings.seconds;
  std::fprintf(stderr, "%s: starting Xvfb %dx%d and rendering the content\n", mode.name.c_str(), mode.width,
               mode.height);
  auto server = test::XServer::xvfb(mode.width, mode.height);
  auto content = makeContent(mode.content, mode.width, mode.height);
  auto reference = makeContent(mode.content, mode.width, mode.height);
  ScreenFeeder feeder(server->display(), *content, kFps);
  ModeContext ctx{mode, *server, feeder, *reference, {}, 0.0, settings.seconds, mode.content == ContentKind::desktop};

  // The X server's own cost of the content, to take out of each pipeline's share.
  std::this_thread::sleep_for(1s);
  {
    const double before = processCpuSeconds(feeder.serverPid());
    const auto from = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(settings.seconds));
    const auto to = Steady::now();
    const double span = std::chrono::duration<double>(to - from).count();
    ctx.serverBaselineCores = (processCpuSeconds(feeder.serverPid()) - before) / span;
    result.serverBaselinePct = ctx.serverBaselineCores * 100.0;
    result.contentFps = feeder.framesPutBetween(from, to) / span;
  }

  std::vector<std::vector<RunFigures>> runs(settings.pipelines.size());
  for (int round = 0; round < settings.rounds; ++round) {
    // Rotating the order, so load from elsewhere falls on every pipeline alike.
    for (std::size_t k = 0; k < settings.pipelines.size(); ++k) {
      const std::size_t i = (k + static_cast<std::size_t>(round)) % settings.pipelines.size();
      const Pipeline& p = settings.pipelines[i];
      std::fprintf(stderr, "%s: round %d, %s\n", mode.name.c_str(), round + 1, p.label.c_str());
      RunFigures r = runPipeline(p, ctx);
      if (!r.problem.empty()) std::fprintf(stderr, "  %s: %s\n", p.label.c_str(), r.problem.c_str());
      runs[i].push_back(std::move(r));
    }
  }
  for (std::size_t i = 0; i < settings.pipelines.size(); ++i) {
    result.runs.emplace_back(settings.pipelines[i], medianRun(runs[i]));
  }

  std::fprintf(stderr, "%s: timing the stages in-process\n", mode.name.c_str());
  feeder.pause();
  try {
    auto stageContent = makeContent(mode.content, mode.width, mode.height);
    result.stages = measureStages(server->display(), feeder.serverPid(), *stageContent, kOutWidth, kOutHeight, kFps,
                                  kBitrate, settings.stageFrames);
  } catch (const std::exception& e) {
    result.stagesProblem = e.what();
  }
  return result;
}

std::string fixed(double v, int decimals, int width) {
  char buf[64];
  if (std::isnan(v)) {
    std::snprintf(buf, sizeof buf, "%*s", width, "-");
  } else {
    std::snprintf(buf, sizeof buf, "%*.*f", width, decimals, v);
  }
  return buf;
}

// Encoding is the session thread plus x264's worker threads, which carry the
// name of the thread that opened the encoder.
struct ThreadStages {
  double capture = 0, handOff = 0, encode = 0, other = 0;
  std::string otherNames;
};
ThreadStages groupThreads(const std::map<std::string, double>& threads, const std::string& helperComm) {
  ThreadStages t;
  for (const auto& [name, ms] : threads) {
    if (std::isnan(ms)) continue;
    if (name == "qv-capture") {
      t.capture += ms;
    } else if (name == "qv-sample") {
      t.handOff += ms;
    } else if (name == "qx-x264" || name == "qx-openh264" || name == helperComm) {
      t.encode += ms;
    } else {
      t.other += ms;
      if (ms >= 0.005) t.otherNames += (t.otherNames.empty() ? "" : ", ") + name + " " + fixed(ms, 2, 0);
    }
  }
  return t;
}

void printMode(const ModeResult& r) {
  const Mode& m = r.mode;
  std::printf("\n== %s: %s %dx%d source -> %dx%d, %d fps, %.0f Mbit/s; %d s per run, %d round%s ==\n", m.name.c_str(),
              contentName(m.content), m.width, m.height, kOutWidth, kOutHeight, kFps, kBitrate / 1e6, r.seconds,
              r.rounds, r.rounds == 1 ? "" : "s (medians)");
  std::printf("content put at %.1f frames/s; the X server alone putting it: %.1f %% of a core\n", r.contentFps,
              r.serverBaselinePct);
  const bool still = m.content == ContentKind::desktop;
  std::printf("%-12s %7s %6s  %8s %16s  %7s %7s %9s  %6s%s\n", "pipeline", "fps", "Mbit/s", "CPU ms/f", "(process + X)",
              "lat med", "p99 ms", "seen", "SSIM", still ? "  still %core (proc + X)" : "");
  for (const auto& [p, f] : r.runs) {
    if (!f.problem.empty()) {
      std::printf("%-12s failed: %s\n", p.label.c_str(), f.problem.c_str());
      continue;
    }
    char seen[32];
    std::snprintf(seen, sizeof seen, "%.0f/%.0f", f.framesMatched, f.framesPut);
    std::printf("%-12s %7s %6s  %8s %7s + %6s  %7s %7s %9s  %6s", p.label.c_str(), fixed(f.fps, 1, 7).c_str(),
                fixed(f.mbps, 2, 6).c_str(), fixed(f.cpuMs, 2, 8).c_str(), fixed(f.processMs, 2, 7).c_str(),
                fixed(f.serverMs, 2, 6).c_str(), fixed(f.latencyMedianMs, 1, 7).c_str(),
                fixed(f.latencyP99Ms, 1, 7).c_str(), seen, fixed(f.ssim, 4, 6).c_str());
    if (still) {
      std::printf("  %5s + %5s", fixed(f.stillProcessPct, 2, 5).c_str(), fixed(f.stillServerPct, 2, 5).c_str());
    }
    if (f.unreadable > 0) std::printf("  (%.0f pictures without a readable counter)", f.unreadable);
    std::printf("\n");
  }
  for (const auto& [p, f] : r.runs) {
    if (p.kind != Kind::helper || !f.problem.empty()) continue;
    std::string ratios;
    for (const auto& [q, g] : r.runs) {
      if (q.kind == Kind::helper || !g.problem.empty() || !(g.cpuMs > 0)) continue;
      ratios += (ratios.empty() ? "" : ", ") + p.label + "/" + q.label + " " + fixed(f.cpuMs / g.cpuMs, 2, 0);
    }
    if (!ratios.empty()) std::printf("CPU per frame %s\n", ratios.c_str());
    const ThreadStages t = groupThreads(f.threadMs, f.comm);
    std::printf(
        "%s by thread, ms/frame: grab+convert (qv-capture) %.2f, hand-off (qv-sample) %.2f, encode+write (qx-openh264 "
        "or qx-x264, and the encoder's threads, named %s) %.2f, other %.2f%s%s%s\n",
        p.label.c_str(), t.capture, t.handOff, f.comm.c_str(), t.encode, t.other, t.otherNames.empty() ? "" : " (",
        t.otherNames.c_str(), t.otherNames.empty() ? "" : ")");
  }
  if (r.stages) {
    const StageFigures& s = *r.stages;
    std::printf(
        "stages in-process at %dx%d -> %dx%d, %d frames, ms/frame: grab %.2f wall (X server CPU %.2f), convert %.2f, "
        "encode on OpenH264 with long-term references %.2f CPU (%.2f wall, %.1f KB), on x264 with recovery (default) "
        "%.2f CPU (%.2f wall, %.1f KB), write %.3f CPU (%.3f wall)\n",
        m.width, m.height, kOutWidth, kOutHeight, s.frames, s.grabWallMs, s.grabServerMs, s.convertMs, s.openh264.cpuMs,
        s.openh264.wallMs, s.openh264.accessUnitBytes / 1024.0, s.x264.cpuMs, s.x264.wallMs,
        s.x264.accessUnitBytes / 1024.0, s.writeCpuMs, s.writeWallMs);
  } else {
    std::printf("stages in-process: failed: %s\n", r.stagesProblem.c_str());
  }
}

std::string defaultHelper() {
  if (std::getenv("QX_BUILD_DIR")) return test::bundleProgram("quorvex-screencap");
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  // The bench sits in <build>/bench/pipeline, the helper in the build tree's bundle.
  return (exe.parent_path().parent_path().parent_path() / "Quorvex Host.app/Contents/MacOS/quorvex-screencap").string();
}

std::vector<std::string> splitWords(const std::string& text, char separator) {
  std::vector<std::string> words;
  std::stringstream in(text);
  std::string word;
  while (std::getline(in, word, separator)) {
    if (!word.empty()) words.push_back(word);
  }
  return words;
}

void usage() {
  std::printf(
      "usage: bench_pipeline [options]\n"
      "  --mode desktop|motion|4k|all   (all)\n"
      "  --seconds N                    measured seconds per run, the X server's baseline, the still screen (10)\n"
      "  --rounds N                     runs of each pipeline, medians reported (1)\n"
      "  --helper [LABEL=]PATH          the helper to run; repeat to compare builds (the one built beside this bench)\n"
      "  --helper-args \"ARGS\"           appended to every helper's command line (none: the default path, "
      "x264\n"
      "                                 with loss recovery)\n"
      "  --beside LIST                  also run each helper as openh264 (QX_H264_BACKEND=openh264, long-term\n"
      "                                 references on OpenH264) and/or ltr-off (\"--ltr false\"), labelled "
      "LABEL-openh264,\n"
      "                                 LABEL-ltr-off; none for neither (openh264)\n"
      "  --peers LIST                   ffmpeg,gstreamer or none (ffmpeg,gstreamer)\n"
      "  --source4k motion|desktop      content of the 4k mode (motion)\n"
      "  --stage-frames N               frames for the in-process stage timings (60)\n");
}

std::optional<Settings> parse(int argc, char** argv) {
  Settings s;
  std::string mode = "all", peers = "ffmpeg,gstreamer", helperArgs, source4k = "motion";
  std::string beside = "openh264";
  std::vector<std::string> helpers;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "--mode") {
      mode = value();
    } else if (a == "--seconds") {
      s.seconds = std::max(1, std::atoi(value().c_str()));
    } else if (a == "--rounds") {
      s.rounds = std::max(1, std::atoi(value().c_str()));
    } else if (a == "--helper") {
      helpers.push_back(value());
    } else if (a == "--helper-args") {
      helperArgs = value();
    } else if (a == "--beside") {
      beside = value();
    } else if (a == "--peers") {
      peers = value();
    } else if (a == "--source4k") {
      source4k = value();
    } else if (a == "--stage-frames") {
      s.stageFrames = std::max(2, std::atoi(value().c_str()));
    } else {
      usage();
      return std::nullopt;
    }
  }
  const ContentKind kind4k = source4k == "desktop" ? ContentKind::desktop : ContentKind::motion;
  const std::vector<Mode> all = {{"desktop", 1920, 1080, ContentKind::desktop},
                                 {"motion", 1920, 1080, ContentKind::motion},
                                 {"4k", 3840, 2160, kind4k}};
  for (const Mode& m : all) {
    if (mode == "all" || mode == m.name) s.modes.push_back(m);
  }
  if (s.modes.empty()) throw std::runtime_error("unknown mode " + mode);

  if (helpers.empty()) helpers.push_back(defaultHelper());
  for (std::size_t i = 0; i < helpers.size(); ++i) {
    const auto eq = helpers[i].find('=');
    Pipeline p{helpers.size() == 1 ? "qx" : "qx" + std::to_string(i + 1),
               Kind::helper,
               helpers[i],
               splitWords(helperArgs, ' '),
               {}};
    if (eq != std::string::npos && helpers[i].find('/') > eq) {
      p.label = helpers[i].substr(0, eq);
      p.program = helpers[i].substr(eq + 1);
    }
    if (access(p.program.c_str(), X_OK) != 0) throw std::runtime_error("no helper at " + p.program);
    s.pipelines.push_back(p);
    for (const std::string& other : splitWords(beside, ',')) {
      Pipeline x = p;
      x.label += "-" + other;
      if (other == "openh264") {
        x.env["QX_H264_BACKEND"] = "openh264";
      } else if (other == "ltr-off") {
        x.extraArgs.insert(x.extraArgs.end(), {"--ltr", "false"});
      } else if (other != "none") {
        throw std::runtime_error("unknown --beside " + other);
      } else {
        continue;
      }
      s.pipelines.push_back(x);
    }
  }
  for (const std::string& peer : splitWords(peers, ',')) {
    if (peer == "none") continue;
    const bool ffmpeg = peer == "ffmpeg";
    if (!ffmpeg && peer != "gstreamer") throw std::runtime_error("unknown peer " + peer);
    const std::string program = test::findOnPath(ffmpeg ? "ffmpeg" : "gst-launch-1.0");
    if (program.empty()) {
      std::fprintf(stderr, "%s is not installed; left out\n", peer.c_str());
      continue;
    }
    s.pipelines.push_back({peer, ffmpeg ? Kind::ffmpeg : Kind::gstreamer, program, {}, {}});
  }
  return s;
}

}  // namespace

}  // namespace qx::bench

int main(int argc, char** argv) {
  using namespace qx::bench;
  try {
    const std::optional<Settings> settings = parse(argc, argv);
    if (!settings) return 2;
    for (const Pipeline& p : settings->pipelines) {
      std::string command;
      for (const std::string& a : commandFor(p, settings->modes.front(), ":N")) command += a + " ";
      std::fprintf(stderr, "%s: %s\n", p.label.c_str(), command.c_str());
    }
    std::vector<ModeResult> results;
    for (const Mode& m : settings->modes) results.push_back(runMode(m, *settings));
    std::printf(
        "fps: pictures out per second. CPU ms/f: the process's CPU plus what it added to the X server's, per "
        "picture out.\n"
        "lat: source frame on screen to the last byte of its picture read from the pipe. seen: source frames put "
        "in the\n"
        "window that came out. SSIM: luma against the source in the pipeline's matrix, counter blocks left out.\n");
    for (const ModeResult& r : results) printMode(r);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_pipeline: %s\n", e.what());
    return 1;
  }
}
