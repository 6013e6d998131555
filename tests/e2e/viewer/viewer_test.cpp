// The viewer page in headless Chromium against the real server and capture
// helper from the bundle, on a 640x360 Xvfb display with a null sound sink.
// One browser, one server for the whole suite: the tests run in order.

#include "HostCore/HostLaunch.h"
#include "HostCore/HostSettings.h"
#include "tests/support/chromium.h"
#include "tests/support/process.h"
#include "tests/support/pulse_server.h"
#include "tests/support/x_painter.h"
#include "tests/support/x_server.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <atomic>
#include <filesystem>
#include <thread>

namespace qx::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string token = "correct horse battery staple";
constexpr int width = 640, height = 360;
// The four quarters of the screen, each one flat colour, read back from the decoded picture.
constexpr std::uint32_t quarters[4] = {0xd02818, 0x20b040, 0x2848e0, 0xf0f0f0};

// A one-page web server on another loopback port: a second origin for the WHEP rules.
class OtherOrigin {
 public:
  OtherOrigin() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), size);
    ::listen(fd_, 8);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      const std::string page =
          "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 25\r\nConnection: close\r\n\r\n"
          "<!doctype html><p>other</p>";
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        char request[4096];
        // A speculative connection that never sends would hold up the real one behind it.
        pollfd c{client, POLLIN, 0};
        if (::poll(&c, 1, 200) > 0 && ::read(client, request, sizeof request) > 0)
          ::write(client, page.data(), page.size());
        ::close(client);
      }
    });
  }
  ~OtherOrigin() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// In the page: one WHEP viewer as any standard player makes it; resolves to the POST's status.
const std::string whepPlayer = R"(
window.whep = async (url, token) => {
  const pc = new RTCPeerConnection();
  pc.createDataChannel('input');
  pc.addTransceiver('video', {direction: 'recvonly'});
  pc.addTransceiver('audio', {direction: 'recvonly'});
  await pc.setLocalDescription(await pc.createOffer());
  while (pc.iceGatheringState !== 'complete') await new Promise(r => setTimeout(r, 20));
  const res = await fetch(url, {method: 'POST', body: pc.localDescription.sdp,
      headers: {'Content-Type': 'application/sdp', 'Authorization': 'Bearer ' + token}});
  if (res.status === 201) await pc.setRemoteDescription({type: 'answer', sdp: await res.text()});
  (window.peers = window.peers || []).push({pc, location: res.headers.get('Location'), base: url});
  return res.status;
};
window.inbound = async (pc) => {
  const kinds = {};
  (await pc.getStats()).forEach(s => { if (s.type === 'inbound-rtp') kinds[s.kind] = s; });
  return JSON.parse(JSON.stringify(kinds));
};
window.closePeers = async (token) => {
  const statuses = [];
  for (const p of window.peers || []) {
    if (p.location) statuses.push((await fetch(new URL(p.location, new URL(p.base, location.href)),
        {method: 'DELETE', headers: {'Authorization': 'Bearer ' + token}})).status);
    p.pc.close();
  }
  window.peers = [];
  return statuses;
};
1)";

class ViewerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    x = XServer::xvfb(width, height);
    sound = PulseServer::start();
    painter = std::make_unique<XPainter>(
        x->display(),
        [n = 0u](const XPainter::Fill& fill, int w, int h) mutable {
          for (int i = 0; i < 4; ++i) fill(i % 2 * w / 2, i / 2 * h / 2, w / 2, h / 2, quarters[i]);
          fill(0, 0, 16, 16, ++n * 0x1f3d5b);  // keeps frames coming; outside what is read back
        },
        33ms);
    startServer("127.0.0.1:0");
    browser = std::make_unique<Chromium>(Chromium::Options{42100, 42199});
  }
  static void startServer(const std::string& listen, const std::string& serverToken = token) {
    HostSettings settings;
    settings.listen = listen;
    settings.bitrate = "2M";
    Process::Options o;
    o.args = HostLaunch::arguments(settings, bundleProgram("quorvex-screencap"), std::nullopt, true);
    o.args.insert(o.args.begin(), bundleProgram("quorvex-webrtc-server"));
    o.setEnv = sound->clientEnv();
    o.setEnv.insert({{"DISPLAY", x->display()},
                     {"QUORVEX_HOST_TOKEN", serverToken},
                     {"QUORVEX_HOST_APP", "1"},
                     {"QUORVEX_WEBRTC_PORTS", "42300-42399"}});
    server = std::make_unique<Process>(o);
    const std::string listening = "listening on 127.0.0.1:";
    server->pumpUntil([&] { return server->out().find('\n', server->out().find(listening)) != std::string::npos; },
                      10s);
    const auto at = server->out().find(listening);
    ASSERT_NE(at, std::string::npos) << server->out() << server->err();
    origin = "http://127.0.0.1:" + std::to_string(std::atoi(server->out().c_str() + at + listening.size()));
  }
  static void TearDownTestSuite() {
    browser.reset();
    server.reset();
    painter.reset();
    sound.reset();
    x.reset();
  }
  void TearDown() override {
    server->pump(0ms);  // its pipes never fill up
    if (HasFailure() && browser) std::cerr << "page console:\n" << browser->console() << "server:\n" << server->err();
  }

  // Opens the viewer with `stored` as the remembered token ("" for none).
  static void open(const std::string& stored) {
    browser->navigate(origin + "/");
    browser->evaluate(stored.empty() ? "localStorage.clear(), 1"
                                     : "localStorage.setItem('quorvex.token', " + json(stored).dump() + "), 1");
    load(origin + "/?again");
  }
  static void load(const std::string& url) {
    browser->navigate(url);
    browser->evaluate(whepPlayer);
  }
  static json viewerStats() { return browser->evaluate("inbound(qxViewer.pc)"); }
  static bool decoding(int frames = 10) {
    return browser->waitFor("qxViewer.pc && inbound(qxViewer.pc).then(k => k.video && k.video.framesDecoded >= " +
                                std::to_string(frames) + ")",
                            20s);
  }

  static inline std::unique_ptr<XServer> x;
  static inline std::unique_ptr<PulseServer> sound;
  static inline std::unique_ptr<XPainter> painter;
  static inline std::unique_ptr<Process> server;
  static inline std::unique_ptr<Chromium> browser;
  static inline std::string origin;
};

TEST_F(ViewerTest, AWrongTokenIsAskedForAgainAndGetsNoMedia) {
  open("wrong token");
  ASSERT_TRUE(browser->waitFor("!document.getElementById('login').hidden", 15s));
  EXPECT_EQ(browser->evaluate("document.getElementById('login-message').textContent"),
            "That token was not accepted. Type the token again.");
  EXPECT_EQ(browser->evaluate("whep('/whep', 'wrong token')"), 401);
  EXPECT_EQ(browser->evaluate("peers[0].location"), nullptr);
  browser->navigate(origin + "/?forgotten");  // the rejected token is not kept
  EXPECT_TRUE(browser->waitFor("!document.getElementById('login').hidden", 15s));
  EXPECT_EQ(browser->evaluate("document.getElementById('video').videoWidth"), 0);
}

TEST_F(ViewerTest, TheTypedTokenConnectsAndIsRemembered) {
  open("");
  ASSERT_TRUE(browser->waitFor("!document.getElementById('login').hidden", 15s));
  browser->evaluate("document.getElementById('token').value = " + json(token).dump() +
                    ", document.querySelector('#login button').click(), 1");
  ASSERT_TRUE(decoding()) << browser->console();
  load(origin + "/?reloaded");
  EXPECT_TRUE(decoding());
  EXPECT_TRUE(browser->evaluate("document.getElementById('login').hidden"));
}

TEST_F(ViewerTest, TheDecodedPictureIsTheDesktopWithSound) {
  open(token);
  ASSERT_TRUE(decoding(30));
  const json stats = viewerStats();
  EXPECT_EQ(stats["video"]["frameWidth"], width);
  EXPECT_EQ(stats["video"]["frameHeight"], height);
  // Ordinary frames are decoded too, not only a keyframe after each request.
  EXPECT_LT(stats["video"].value("keyFramesDecoded", 0) * 4, stats["video"].value("framesDecoded", 0)) << stats;
  EXPECT_GT(stats["audio"].value("packetsReceived", 0), 10);
  // The browser is asked to show each picture once decoded.
  EXPECT_NE(browser->evaluate("qxViewer.pc.remoteDescription.sdp").get<std::string>().find("rtp-hdrext/playout-delay"),
            std::string::npos);
  const json pixels = browser->evaluate(R"((() => {
    const v = document.getElementById('video'), c = document.createElement('canvas');
    c.width = v.videoWidth; c.height = v.videoHeight;
    const g = c.getContext('2d'); g.drawImage(v, 0, 0);
    return [[160, 90], [480, 90], [160, 270], [480, 270]].map(([x, y]) => Array.from(g.getImageData(x, y, 1, 1).data));
  })())");
  for (int i = 0; i < 4; ++i)
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(pixels[i][c].get<int>(), static_cast<int>(quarters[i] >> (16 - 8 * c) & 0xff), 24)
          << "quarter " << i << " channel " << c << ": " << pixels.dump();
}

TEST_F(ViewerTest, AFifthViewerIsRefused) {
  open(token);
  ASSERT_TRUE(decoding(1));
  for (int i = 2; i <= 4; ++i) EXPECT_EQ(browser->evaluate("whep('/whep', " + json(token).dump() + ")"), 201) << i;
  EXPECT_EQ(browser->evaluate("whep('/whep', " + json(token).dump() + ")"), 503);
  EXPECT_EQ(browser->evaluate("closePeers(" + json(token).dump() + ")"), json::array({200, 200, 200}));
  EXPECT_EQ(browser->evaluate("whep('/whep', " + json(token).dump() + ")"), 201);  // the slots are free again
  browser->evaluate("closePeers(" + json(token).dump() + ")");
}

TEST_F(ViewerTest, AnotherOriginWithTheTokenIsAStandardWhepPlayer) {
  OtherOrigin other;
  load("http://127.0.0.1:" + std::to_string(other.port()) + "/");
  ASSERT_EQ(browser->evaluate("whep(" + json(origin + "/whep").dump() + ", " + json(token).dump() + ")"), 201);
  EXPECT_NE(browser->evaluate("peers[0].location"), nullptr);  // exposed to the other origin
  EXPECT_TRUE(browser->waitFor("inbound(peers[0].pc).then(k => k.video && k.video.framesDecoded > 5)", 20s));
  EXPECT_EQ(browser->evaluate("closePeers(" + json(token).dump() + ")"), json::array({200}));
}

TEST_F(ViewerTest, PhoneLayoutsShowThePictureAndTheStatistics) {
  struct Size {
    const char* name;
    int w, h;
  };
  for (const Size size : {Size{"portrait", 390, 844}, Size{"landscape", 844, 390}, Size{"desktop", 1280, 720}}) {
    SCOPED_TRACE(size.name);
    browser->setViewport(size.w, size.h, size.w < 1000);
    open(token);
    ASSERT_TRUE(decoding(1));
    // Tapped like a finger would: the button lies above the touch layer.
    const json button = browser->evaluate(
        "(r => [r.left + r.width / 2, r.top + r.height / "
        "2])(document.getElementById('stats-button').getBoundingClientRect())");
    const Chromium::Point at{button[0].get<double>(), button[1].get<double>()};
    if (size.w < 1000) {
      browser->touch("touchStart", {at});
      browser->touch("touchEnd", {});
    } else {
      browser->mouse("mousePressed", at, "left");
      browser->mouse("mouseReleased", at, "left");
    }
    ASSERT_TRUE(
        browser->waitFor("document.getElementById('stat-resolution').textContent === '640×360' && "
                         "document.getElementById('stat-fps').textContent !== '–' && "
                         // The helper's x264 codes what every browser offers: no warning about the profile.
                         "/^Constrained Baseline .*\\(42/.test(document.getElementById('stat-profile').textContent) && "
                         "document.getElementById('stat-mismatch').hidden",
                         10s))
        << browser->evaluate(
               "['resolution', 'fps', 'profile', 'mismatch'].map(k => "
               "document.getElementById('stat-' + k).textContent).join(' | ')");
    // The picture fills the viewport; the panel and the buttons lie inside it without overlapping.
    const json boxes = browser->evaluate(
        "['video', 'stats', 'controls'].map(id => { const r = document.getElementById(id).getBoundingClientRect();"
        " return [r.left, r.top, r.right, r.bottom]; })");
    EXPECT_EQ(boxes[0], json::array({0, 0, size.w, size.h}));
    for (int i : {1, 2}) {
      EXPECT_GE(boxes[i][0].get<double>(), 0);
      EXPECT_LE(boxes[i][2].get<double>(), size.w);
      EXPECT_LE(boxes[i][3].get<double>(), size.h);
    }
    EXPECT_LE(boxes[1][2].get<double>(), boxes[2][0].get<double>());
    std::filesystem::create_directories(buildPath("screenshots"));
    browser->screenshot(buildPath("screenshots/viewer-" + std::string(size.name) + ".png"));
  }
}

TEST_F(ViewerTest, TheViewerSaysItReconnectsAndDoesWhenTheServerComesBack) {
  open(token);
  ASSERT_TRUE(decoding(1));
  const std::string port = origin.substr(origin.rfind(':') + 1);
  server.reset();
  EXPECT_TRUE(browser->waitFor("/Reconnecting/.test(document.getElementById('status').textContent)", 30s));
  startServer("127.0.0.1:" + port, "");
  EXPECT_TRUE(browser->waitFor("qxViewer.connected && document.getElementById('status').textContent === ''", 30s));
  EXPECT_TRUE(decoding(1));
  // Back without a token: the page says what that means.
  EXPECT_TRUE(browser->waitFor("!document.getElementById('warning').hidden", 5s));
}

// Records the clicks on the display without covering its pixels (an input-only window).
class ClickRecorder {
 public:
  explicit ClickRecorder(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    const xcb_window_t w = xcb_generate_id(c_);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_BUTTON_PRESS};
    xcb_create_window(c_, 0, w, root_, 0, 0, width, height, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c_, w);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
  }
  ~ClickRecorder() { xcb_disconnect(c_); }
  // "b<button>@<x>,<y>" for each press within `timeout`, until `count`.
  std::vector<std::string> presses(std::size_t count, std::chrono::milliseconds timeout = 5s) {
    std::vector<std::string> out;
    for (const auto end = std::chrono::steady_clock::now() + timeout;
         out.size() < count && std::chrono::steady_clock::now() < end;) {
      pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
      ::poll(&p, 1, 50);
      while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) {
        if ((e->response_type & 0x7f) == XCB_BUTTON_PRESS) {
          const auto* b = reinterpret_cast<xcb_button_press_event_t*>(e);
          out.push_back("b" + std::to_string(b->detail) + "@" + std::to_string(b->root_x) + "," +
                        std::to_string(b->root_y));
        }
        std::free(e);
      }
    }
    return out;
  }
  // The pointer's position and button/modifier mask: "x,y mask".
  std::string pointer() {
    auto* r = xcb_query_pointer_reply(c_, xcb_query_pointer(c_, root_), nullptr);
    const std::string out = std::to_string(r->root_x) + "," + std::to_string(r->root_y) + " " + std::to_string(r->mask);
    std::free(r);
    return out;
  }
  bool awaitPointer(const std::string& expected, std::chrono::milliseconds timeout = 5s) {
    for (const auto end = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < end;) {
      if (pointer() == expected) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

 private:
  xcb_connection_t* c_;
  xcb_window_t root_ = 0;
};

// 800x600 letterboxes the 640x360 picture to 800x450 from y = 75: display pixel (x, y) is centred at page
// ((x + 0.5) * 1.25, 75 + (y + 0.5) * 1.25).
TEST_F(ViewerTest, MouseAndTouchFromThePageLandWhereTheyShouldAndALeavingViewerHoldsNothing) {
  ClickRecorder recorder(x->display());
  const auto page = [](double dx, double dy) { return Chromium::Point{(dx + 0.5) * 1.25, 75 + (dy + 0.5) * 1.25}; };
  browser->setViewport(800, 600, false);
  open(token);
  ASSERT_TRUE(decoding(1));
  ASSERT_TRUE(browser->waitFor("!document.querySelector('.qx-keyboard-button').hidden", 20s)) << browser->console();

  browser->mouse("mouseMoved", page(160, 90));
  EXPECT_TRUE(recorder.awaitPointer("160,90 0"));
  // The server's pointer is drawn over the picture where the display has it.
  EXPECT_TRUE(
      browser->waitFor("(() => { const r = document.querySelector('.qx-cursor').getBoundingClientRect();"
                       " return r.width > 0 && r.left <= 200 && r.right >= 201 && r.top <= 188 &&"
                       " r.bottom >= 189; })()",
                       5s));
  std::filesystem::create_directories(buildPath("screenshots"));
  browser->screenshot(buildPath("screenshots/viewer-pointer.png"));
  browser->mouse("mousePressed", page(480, 270), "left");
  browser->mouse("mouseReleased", page(480, 270), "left");
  EXPECT_EQ(recorder.presses(1), std::vector<std::string>{"b1@480,270"});

  browser->setViewport(800, 600, true);
  browser->touch("touchStart", {page(320, 180)});  // tap
  browser->touch("touchEnd", {});
  browser->touch("touchStart", {page(80, 90)});  // long press
  std::this_thread::sleep_for(900ms);
  browser->touch("touchEnd", {});
  browser->touch("touchStart", {page(400, 300), page(440, 300)});  // two fingers 100 px up: two steps down
  browser->touch("touchMove", {page(400, 260), page(440, 260)});
  browser->touch("touchMove", {page(400, 220), page(440, 220)});
  browser->touch("touchEnd", {});
  browser->touch("touchStart", {page(160, 180)});  // drag
  browser->touch("touchMove", {page(200, 180)});
  browser->touch("touchMove", {page(240, 180)});
  EXPECT_EQ(recorder.presses(5),
            (std::vector<std::string>{"b1@320,180", "b3@80,90", "b5@420,300", "b5@420,300", "b1@160,180"}));
  EXPECT_TRUE(recorder.awaitPointer("240,180 256"));  // Button1Mask: still held

  browser->screenshot(buildPath("screenshots/viewer-touch.png"));
  // The page goes away mid-drag with Shift down: the server lets go of both.
  browser->key("keyDown", "Shift", "ShiftLeft");
  EXPECT_TRUE(recorder.awaitPointer("240,180 257"));
  browser->navigate("about:blank");
  EXPECT_TRUE(recorder.awaitPointer("240,180 0", 20s)) << recorder.pointer();
  browser->setViewport(800, 600, false);
}

}  // namespace
}  // namespace qx::test
