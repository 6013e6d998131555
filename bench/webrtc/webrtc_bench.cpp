// WebRTC figures on one machine: quorvex-webrtc-server and quorvex-screencap
// from the build's bundle on an Xvfb screen (1920x1080 by default) with a null
// sound sink, watched by the viewer page in headless Chromium.
//   latency   glass to glass: the painter writes the wall-clock millisecond
//             (16 bits, black and white blocks) into the top-left corner of
//             the screen while random squares change the rest; the page reads
//             the number back from every decoded picture it presents
//   cpu       the server's CPU time per frame the viewer decoded, video and
//             audio, with 1 and with 4 viewers (3 more players in the page)
//   input     a pointer message sent on the page's data channel to the X
//             server's pointer reaching that position (polled with XCB); and
//             a click sent from the page to the clicked window's new colour
//             seen in a decoded picture (both on the page's clock), on the
//             busy screen and on a still one (the painter stopped): on a busy
//             screen the click waits for the helper's next frame, half a
//             frame interval on average, which the stamps never show
// Figures, not assertions: a table on standard output.
//
// bench_webrtc [--width W] [--height H] [--fps N] [--bitrate B] [--seconds S] [--ltr false]

#include <poll.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "HostCore/HostLaunch.h"
#include "HostCore/HostSettings.h"
#include "bench/pipeline/cpu_stats.h"
#include "tests/support/chromium.h"
#include "tests/support/process.h"
#include "tests/support/pulse_server.h"
#include "tests/support/x_painter.h"
#include "tests/support/x_server.h"

namespace {

using namespace std::chrono_literals;
using namespace qx::test;
using nlohmann::json;

const std::string token = "bench";
constexpr int stampBits = 16;

double wallMs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Summary {
  double median = 0, p90 = 0;
  std::size_t count = 0;
};
Summary summarize(std::vector<double> v) {
  Summary s;
  s.count = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.median = v[v.size() / 2];
  s.p90 = v[std::min(v.size() - 1, v.size() * 9 / 10)];
  return s;
}

// Random squares everywhere, then the current millisecond in the corner: bit i
// (most significant first) is block i of the first row, white for 1, the
// second row holds the complement.
XPainter::Round stampedContent(int block) {
  return [block, rng = std::mt19937(7)](const XPainter::Fill& fill, int w, int h) mutable {
    for (int i = 0; i < 20; ++i)
      fill(static_cast<int>(rng() % static_cast<unsigned>(w - 120)),
           2 * block + static_cast<int>(rng() % static_cast<unsigned>(h - 2 * block - 120)), 120, 120,
           rng() & 0xffffff);
    const auto stamp = static_cast<std::uint32_t>(static_cast<std::uint64_t>(wallMs()) & 0xffff);
    for (int i = 0; i < stampBits; ++i) {
      const bool one = ((stamp >> (stampBits - 1 - i)) & 1) != 0;
      fill(i * block, 0, block, block, one ? 0xffffff : 0);
      fill(i * block, block, block, block, one ? 0 : 0xffffff);
    }
  };
}

// In the page: reads the stamp from each presented picture; `latencies` collects
// presentation minus stamp in milliseconds (modulo 65536).
const std::string stampReader = R"((block) => {
  const video = document.getElementById('video');
  const canvas = document.createElement('canvas');
  canvas.width = 16 * block; canvas.height = 2 * block;
  const g = canvas.getContext('2d', {willReadFrequently: true});
  window.latencies = []; window.misreads = 0;
  const mean = (d, bx, by) => {
    let sum = 0, n = 0;
    const from = Math.floor(block / 4), to = Math.floor(3 * block / 4);
    for (let y = by * block + from; y < by * block + to; y += 2)
      for (let x = bx * block + from; x < bx * block + to; x += 2, n++) {
        const i = (y * canvas.width + x) * 4; sum += d[i] + d[i + 1] + d[i + 2];
      }
    return sum / n / 3;
  };
  const onFrame = (now) => {
    if (window.stampsDone) return;
    // Date.now(), not the time origin plus performance.now(): the browser fixes
    // its time origin once, and that sum drifted tens of milliseconds from the
    // wall clock the painter stamps with.
    const at = Date.now();
    g.drawImage(video, 0, 0, canvas.width, canvas.height, 0, 0, canvas.width, canvas.height);
    const d = g.getImageData(0, 0, canvas.width, canvas.height).data;
    let value = 0, ok = true;
    for (let i = 0; i < 16; i++) {
      const bit = mean(d, i, 0), complement = mean(d, i, 1);
      if (Math.abs(bit - complement) < 64) ok = false;
      value = value * 2 + (bit > complement ? 1 : 0);
    }
    if (ok) window.latencies.push(((Math.floor(at) - value) % 65536 + 65536) % 65536 + (at % 1));
    else window.misreads++;
    video.requestVideoFrameCallback(onFrame);
  };
  video.requestVideoFrameCallback(onFrame);
  return 1;
})";

const std::string players = R"(
window.whep = async (token) => {
  const pc = new RTCPeerConnection();
  pc.createDataChannel('input');
  pc.addTransceiver('video', {direction: 'recvonly'});
  pc.addTransceiver('audio', {direction: 'recvonly'});
  await pc.setLocalDescription(await pc.createOffer());
  while (pc.iceGatheringState !== 'complete') await new Promise(r => setTimeout(r, 20));
  const res = await fetch('/whep', {method: 'POST', body: pc.localDescription.sdp,
      headers: {'Content-Type': 'application/sdp', 'Authorization': 'Bearer ' + token}});
  if (res.status === 201) await pc.setRemoteDescription({type: 'answer', sdp: await res.text()});
  (window.peers = window.peers || []).push(pc);
  pc.location = res.headers.get('Location');
  return res.status;
};
window.closePeers = async (token) => {
  for (const pc of window.peers || []) {
    await fetch(pc.location, {method: 'DELETE', headers: {'Authorization': 'Bearer ' + token}});
    pc.close();
  }
  window.peers = [];
  return 1;
};
window.videoStats = async (pc) => {
  let out = {};
  (await pc.getStats()).forEach(s => { if (s.type === 'inbound-rtp' && s.kind === 'video') out = {
    decoded: s.framesDecoded, received: s.framesReceived, dropped: s.framesDropped, keyframes: s.keyFramesDecoded,
    pli: s.pliCount, fir: s.firCount, nack: s.nackCount, lost: s.packetsLost, packets: s.packetsReceived,
    jitterBufferDelay: s.jitterBufferDelay, emitted: s.jitterBufferEmittedCount, decoder: s.decoderImplementation}; });
  return out;
};
// Per frame since the last call: what the browser's jitter buffer held and
// what decoding took, in milliseconds.
window.browserShare = async (pc) => {
  let cur = null;
  (await pc.getStats()).forEach(s => { if (s.type === 'inbound-rtp' && s.kind === 'video') cur = s; });
  const p = window.lastShare || {};
  window.lastShare = cur;
  const per = (k, n) => Math.round(1e4 * (cur[k] - (p[k] || 0)) / Math.max(1, cur[n] - (p[n] || 0))) / 10;
  return {held: per('jitterBufferDelay', 'jitterBufferEmittedCount'), target: per('jitterBufferTargetDelay',
          'jitterBufferEmittedCount'), decode: per('totalDecodeTime', 'framesDecoded')};
};
window.framesDecoded = async (pc) => {
  let frames = 0;
  (await pc.getStats()).forEach(s => { if (s.type === 'inbound-rtp' && s.kind === 'video') frames = s.framesDecoded; });
  return frames;
};
1)";

struct Args {
  int width = 1920, height = 1080, fps = 30, seconds = 10;
  std::string bitrate = "8M";
  bool ltr = true;  // the default path
};

Args parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--width")
      a.width = std::stoi(v);
    else if (k == "--height")
      a.height = std::stoi(v);
    else if (k == "--fps")
      a.fps = std::stoi(v);
    else if (k == "--bitrate")
      a.bitrate = v;
    else if (k == "--seconds")
      a.seconds = std::stoi(v);
    else if (k == "--ltr")
      a.ltr = v != "false";
  }
  return a;
}

// The server's CPU milliseconds per frame the first viewer decoded, over `seconds`.
double cpuPerFrame(Chromium& browser, int serverPid, int seconds) {
  const double cpu0 = qx::bench::processCpuSeconds(serverPid);
  const int frames0 = browser.evaluate("framesDecoded(qxViewer.pc)").get<int>();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = qx::bench::processCpuSeconds(serverPid) - cpu0;
  const int frames = browser.evaluate("framesDecoded(qxViewer.pc)").get<int>() - frames0;
  std::printf("  (%d frames in %d s)\n", frames, seconds);
  std::printf("  %s\n", browser.evaluate("videoStats(qxViewer.pc)").dump().c_str());
  return frames > 0 ? cpu * 1e3 / frames : 0;
}

// Message sent on the data channel (the page's wall clock) to the X pointer at
// the position, polled from another connection (this process's wall clock).
std::vector<double> inputLatencies(Chromium& browser, const std::string& display, int width, int height) {
  std::vector<double> out;
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  std::mt19937 rng(3);
  for (int i = 0; i < 60; ++i) {
    const int x = static_cast<int>(rng() % static_cast<unsigned>(width - 40)) + 20;
    const int y = static_cast<int>(rng() % static_cast<unsigned>(height - 40)) + 20;
    std::atomic<double> seen{0};
    std::thread poll([&] {
      const auto deadline = std::chrono::steady_clock::now() + 2s;
      while (std::chrono::steady_clock::now() < deadline) {
        auto* r = xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr);
        const bool there = r && std::abs(r->root_x - x) <= 1 && std::abs(r->root_y - y) <= 1;
        std::free(r);
        if (there) {
          seen = wallMs();
          return;
        }
      }
    });
    const double sent = browser
                            .evaluate("(() => { qxViewer.channel.send(JSON.stringify({type: 'pointer', x: " +
                                      std::to_string((x + 0.5) / width) + ", y: " + std::to_string((y + 0.5) / height) +
                                      "})); return Date.now(); })()")
                            .get<double>();
    poll.join();
    if (seen > 0) out.push_back(seen - sent);
    std::this_thread::sleep_for(30ms);
  }
  xcb_disconnect(c);
  return out;
}

// A window that turns from black to white or back on each click, above the
// painter's squares (which draw on the root window, so they never cover it).
class ClickToggle {
 public:
  ClickToggle(const std::string& display, int x, int y, int size)
      : c_(xcb_connect(display.c_str(), nullptr)), size_(size) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    const std::uint32_t values[] = {screen->black_pixel, 1, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(size), static_cast<std::uint16_t>(size),
                      0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, window_, 0, nullptr);
    xcb_map_window(c_, window_);
    xcb_flush(c_);
    thread_ = std::thread([this] { run(); });
  }
  ~ClickToggle() {
    stop_ = true;
    thread_.join();
    xcb_disconnect(c_);
  }
  ClickToggle(const ClickToggle&) = delete;
  ClickToggle& operator=(const ClickToggle&) = delete;

 private:
  void run() {
    while (!stop_) {
      pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
      ::poll(&p, 1, 50);
      while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) {
        if ((e->response_type & 0x7f) == XCB_BUTTON_PRESS) white_ = !white_;
        std::free(e);
        const std::uint32_t colour = white_ ? 0xffffff : 0;
        xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t r{0, 0, static_cast<std::uint16_t>(size_), static_cast<std::uint16_t>(size_)};
        xcb_poly_fill_rectangle(c_, window_, gc_, 1, &r);
        xcb_flush(c_);
      }
    }
  }

  xcb_connection_t* c_;
  int size_;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  bool white_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// In the page: clicks at (x, y) of the picture (0..1) and resolves to the
// milliseconds until a presented picture shows the pixel (px, py) moved
// halfway between dark and light (a busy encoder brings a flat change in over
// a few frames), or -1 after two seconds.
const std::string clickEffect = R"(
window.clickEffect = (x, y, px, py) => new Promise(resolve => {
  const video = document.getElementById('video');
  const canvas = document.createElement('canvas');
  canvas.width = 1; canvas.height = 1;
  const g = canvas.getContext('2d', {willReadFrequently: true});
  const level = () => { g.drawImage(video, px, py, 1, 1, 0, 0, 1, 1); return g.getImageData(0, 0, 1, 1).data[1]; };
  const before = level();
  const sent = performance.now();
  for (const down of [true, false])
    qxViewer.channel.send(JSON.stringify({type: 'button', button: 0, down, x, y}));
  const onFrame = () => {
    if (Math.abs(level() - before) > 64) return resolve(performance.now() - sent);
    if (performance.now() - sent > 2000) return resolve(-1);
    video.requestVideoFrameCallback(onFrame);
  };
  video.requestVideoFrameCallback(onFrame);
});
1)";

std::vector<double> clickLatencies(Chromium& browser, int width, int height) {
  const int size = 96, left = width - 2 * size, top = height - 2 * size;
  std::vector<double> out;
  browser.evaluate(clickEffect);
  for (int i = 0; i < 30; ++i) {
    const double cx = left + size / 2.0, cy = top + size / 2.0;
    const double ms =
        browser
            .evaluate("clickEffect(" + std::to_string(cx / width) + ", " + std::to_string(cy / height) + ", " +
                      std::to_string(static_cast<int>(cx)) + ", " + std::to_string(static_cast<int>(cy)) + ")")
            .get<double>();
    if (ms >= 0) out.push_back(ms);
    std::this_thread::sleep_for(100ms);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const Args args = parse(argc, argv);
  const int block = 32 * args.width / 1920;
  auto x = XServer::xvfb(args.width, args.height);
  auto sound = PulseServer::start();
  std::optional<XPainter> painter;
  painter.emplace(x->display(), stampedContent(block), 4ms);

  qx::HostSettings settings;
  settings.listen = "127.0.0.1:0";
  settings.fps = args.fps;
  settings.bitrate = args.bitrate;
  settings.maxWidth = args.width;
  Process::Options o;
  o.args = qx::HostLaunch::arguments(settings, bundleProgram("quorvex-screencap"), std::nullopt, args.ltr);
  o.args.insert(o.args.begin(), bundleProgram("quorvex-webrtc-server"));
  o.setEnv = sound->clientEnv();
  o.setEnv.insert({{"DISPLAY", x->display()},
                   {"QUORVEX_HOST_TOKEN", token},
                   {"QUORVEX_HOST_APP", "1"},
                   {"QUORVEX_WEBRTC_PORTS", "42400-42499"}});
  Process server(o);
  const std::string listening = "listening on 127.0.0.1:";
  server.pumpUntil([&] { return server.out().find('\n', server.out().find(listening)) != std::string::npos; }, 10s);
  const auto at = server.out().find(listening);
  if (at == std::string::npos) {
    std::fprintf(stderr, "the server did not start:\n%s\n", server.err().c_str());
    return 1;
  }
  const std::string origin =
      "http://127.0.0.1:" + std::to_string(std::atoi(server.out().c_str() + at + listening.size()));

  Chromium browser({42200, 42299});
  browser.setViewport(1280, 720, false);
  browser.navigate(origin + "/");
  browser.evaluate("localStorage.setItem('quorvex.token', '" + token + "'), 1");
  const double offered = wallMs();
  browser.navigate(origin + "/?bench");
  browser.evaluate(players);
  if (!browser.waitFor("qxViewer.pc && framesDecoded(qxViewer.pc).then(f => f > 0)", 30s)) {
    std::fprintf(stderr, "no picture:\n%s\n%s\n", browser.console().c_str(), server.err().c_str());
    return 1;
  }
  const double firstFrame = wallMs() - offered;
  std::this_thread::sleep_for(2s);

  std::printf("bench_webrtc: %dx%d, %d fps, %s, %s, %d s per figure\n", args.width, args.height, args.fps,
              args.bitrate.c_str(), args.ltr ? "long-term references (default)" : "--ltr false", args.seconds);
  browser.evaluate("(" + stampReader + ")(" + std::to_string(block) + ")");
  std::this_thread::sleep_for(std::chrono::seconds(args.seconds));
  const auto latencies = browser.evaluate("latencies").get<std::vector<double>>();
  const int misreads = browser.evaluate("misreads").get<int>();
  browser.evaluate("window.stampsDone = true, 1");  // each reading costs the page a picture conversion
  const Summary glass = summarize(latencies);

  // Input first, with one viewer, as a phone would: four decoders on two
  // cores leave the browser's jitter buffer holding more for a while after.
  const Summary input = summarize(inputLatencies(browser, x->display(), args.width, args.height));
  Summary busyClicks, stillClicks;
  {
    ClickToggle toggle(x->display(), args.width - 192, args.height - 192, 96);
    std::this_thread::sleep_for(500ms);
    browser.evaluate("browserShare(qxViewer.pc)");
    busyClicks = summarize(clickLatencies(browser, args.width, args.height));
    std::printf("clicks, busy screen: browser %s\n", browser.evaluate("browserShare(qxViewer.pc)").dump().c_str());
    // A still desktop, where a click is the only change: the helper grabs at
    // once instead of at its next frame of a busy screen.
    painter.reset();
    std::this_thread::sleep_for(500ms);
    browser.evaluate("browserShare(qxViewer.pc)");
    stillClicks = summarize(clickLatencies(browser, args.width, args.height));
    std::printf("clicks, still screen: browser %s\n", browser.evaluate("browserShare(qxViewer.pc)").dump().c_str());
    painter.emplace(x->display(), stampedContent(block), 4ms);
  }

  std::printf("cpu, 1 viewer:\n");
  const double cpu1 = cpuPerFrame(browser, server.pid(), args.seconds);
  for (int i = 0; i < 3; ++i) browser.evaluate("whep('" + token + "')");
  browser.waitFor("Promise.all(peers.map(framesDecoded)).then(f => f.every(n => n > 0))", 20s);
  std::printf("cpu, 4 viewers:\n");
  const double cpu4 = cpuPerFrame(browser, server.pid(), args.seconds);
  browser.evaluate("closePeers('" + token + "')");

  std::printf("\n%-44s %10s %10s %8s\n", "figure", "median", "p90", "samples");
  std::printf("%-44s %10.1f %10s %8s\n", "offer to first decoded frame (ms)", firstFrame, "", "1");
  std::printf("%-44s %10.1f %10.1f %8zu\n", "glass to glass (ms)", glass.median, glass.p90, glass.count);
  std::printf("%-44s %10s %10s %8d\n", "  pictures whose stamp was unreadable", "", "", misreads);
  std::printf("%-44s %10.2f %10s %8s\n", "server CPU per frame, 1 viewer (ms)", cpu1, "", "");
  std::printf("%-44s %10.2f %10s %8s\n", "server CPU per frame, 4 viewers (ms)", cpu4, "", "");
  std::printf("%-44s %10.2f %10.2f %8zu\n", "input message to X pointer moved (ms)", input.median, input.p90,
              input.count);
  std::printf("%-44s %10.2f %10.2f %8zu\n", "click to its effect, busy screen (ms)", busyClicks.median, busyClicks.p90,
              busyClicks.count);
  std::printf("%-44s %10.2f %10.2f %8zu\n", "click to its effect, still screen (ms)", stillClicks.median,
              stillClicks.p90, stillClicks.count);
  return 0;
}
