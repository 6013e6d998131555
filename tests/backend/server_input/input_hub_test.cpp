// The input hub on a real X server: a viewer's messages move the pointer on
// the monitor the helper captures, click, scroll and type into a window that
// records what it gets, and a viewer who leaves leaves nothing held down.

#include <gtest/gtest.h>
#include <poll.h>
#include <xcb/xcb.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "server/input_hub.h"
#include "tests/support/process.h"
#include "tests/support/x_server.h"

namespace qx::server {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr int kShiftAndRight = int{XCB_MOD_MASK_SHIFT} | int{XCB_BUTTON_MASK_3};

// A window over the right half that records the buttons and keysyms it receives.
class Recorder {
 public:
  explicit Recorder(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    window_ = xcb_generate_id(c_);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_KEY_PRESS};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, root_, 512, 0, 512, 768, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c_, window_);
    xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
  }
  ~Recorder() { xcb_disconnect(c_); }

  // Button presses as "b<button>@<rootX>,<rootY>", key presses but modifiers as "k<keysym in hex>".
  std::vector<std::string> events(std::size_t count, std::chrono::milliseconds timeout = 3s) {
    std::vector<std::string> out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{xcb_get_file_descriptor(c_), POLLIN, 0};
      poll(&fd, 1, 50);
      while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) {
        if ((e->response_type & 0x7f) == XCB_BUTTON_PRESS) {
          auto* b = reinterpret_cast<xcb_button_press_event_t*>(e);
          out.push_back("b" + std::to_string(b->detail) + "@" + std::to_string(b->root_x) + "," +
                        std::to_string(b->root_y));
        } else if ((e->response_type & 0x7f) == XCB_KEY_PRESS) {
          auto* k = reinterpret_cast<xcb_key_press_event_t*>(e);
          const std::uint32_t keysym = keysymOf(k->detail, (k->state & XCB_MOD_MASK_SHIFT) != 0 ? 1 : 0);
          if (keysym < 0xffe1 || keysym > 0xffee) out.push_back("k" + hex(keysym));  // not the Shift around "A"
        }
        std::free(e);
      }
    }
    return out;
  }

  // Whether the pointer's button/modifier mask, of the bits in `bits`, becomes `expected`
  // (Xorg applies synthetic buttons with some delay).
  bool awaitMask(int bits, int expected) {
    for (const auto deadline = std::chrono::steady_clock::now() + 2s; std::chrono::steady_clock::now() < deadline;) {
      if ((std::get<2>(pointer()) & bits) == expected) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // The pointer's root position and the button/modifier mask.
  std::tuple<int, int, int> pointer() {
    auto* p = xcb_query_pointer_reply(c_, xcb_query_pointer(c_, root_), nullptr);
    std::tuple<int, int, int> out{p->root_x, p->root_y, p->mask};
    std::free(p);
    return out;
  }

 private:
  // Looked up when the event arrives, while a borrowed keycode still carries its character.
  std::uint32_t keysymOf(std::uint8_t keycode, int column) {
    auto* m = xcb_get_keyboard_mapping_reply(c_, xcb_get_keyboard_mapping(c_, keycode, 1), nullptr);
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(m);
    const std::uint32_t s = syms[column] != 0 ? syms[column] : syms[0];
    std::free(m);
    return s;
  }
  static std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
  }

  xcb_connection_t* c_;
  xcb_window_t root_ = 0;
  xcb_window_t window_ = 0;
};

struct Viewer {
  std::vector<json> received;
  // Runs the io_context until a message of `type` satisfying `accept` arrived.
  bool await(boost::asio::io_context& io, const std::string& type, const std::function<bool(const json&)>& accept) {
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    for (std::size_t seen = 0; std::chrono::steady_clock::now() < deadline;) {
      io.restart();
      io.run_for(20ms);
      for (; seen < received.size(); ++seen) {
        if (received[seen]["type"] == type && accept(received[seen])) return true;
      }
    }
    return false;
  }
};

TEST(InputHubOnXorg, InjectsOnTheCapturedMonitorAndReleasesWhatALeavingViewerHeld) {
  if (test::findOnPath("xrandr").empty()) GTEST_SKIP() << "xrandr not installed";
  auto server = test::XServer::dummyXorg(1024, 768);
  // The helper lists the output's own monitor first (primary), then left to right: "--display 2" is the right half.
  ASSERT_EQ(server->runClient({"xrandr", "--setmonitor", "QXLEFT", "512/135x768/203+0+0", "none"}).status, 0);
  ASSERT_EQ(server->runClient({"xrandr", "--setmonitor", "QXRIGHT", "512/135x768/203+512+0", "none"}).status, 0);
  setenv("DISPLAY", server->display().c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("XDG_SESSION_TYPE");
  Recorder recorder(server->display());

  boost::asio::io_context io;
  auto hub = InputHub::create(io, {"quorvex-screencap", "--fps", "60", "--display", "2"});
  Viewer viewer;
  hub->viewerJoined(7, [&](std::string m) { viewer.received.push_back(json::parse(m)); });
  ASSERT_TRUE(viewer.await(io, "input", [](const json& m) { return m["available"] == true; })) << server->state();
  EXPECT_EQ(viewer.received.front()["width"], 512);
  EXPECT_EQ(viewer.received.front()["height"], 768);

  hub->message(7, R"({"type":"pointer","x":0.5,"y":0.25})");
  EXPECT_TRUE(viewer.await(io, "cursor", [](const json& m) { return m["x"] == 0.501 && m["visible"] == true; }));
  EXPECT_EQ(std::get<0>(recorder.pointer()), 768);
  EXPECT_EQ(std::get<1>(recorder.pointer()), 192);
  EXPECT_TRUE(viewer.await(io, "cursor-shape", [](const json& m) {
    return m["rgba"].get<std::string>().size() ==
           (m["width"].get<std::size_t>() * m["height"].get<std::size_t>() * 4 + 2) / 3 * 4;
  }));

  hub->message(7, R"({"type":"button","button":0,"down":true,"x":0.25,"y":1})");
  hub->message(7, R"({"type":"button","button":0,"down":false})");
  hub->message(7, R"({"type":"wheel","dx":-1,"dy":2})");
  hub->message(7, R"({"type":"key","key":"A","code":"KeyA","down":true})");
  hub->message(7, R"({"type":"key","key":"A","code":"KeyA","down":false})");
  hub->message(7, R"({"type":"text","text":"你!"})");
  hub->message(7, R"({"type":"pointer","x":2,"y":0})");  // out of range: dropped
  io.restart();
  io.run_for(50ms);
  EXPECT_EQ(recorder.events(7), (std::vector<std::string>{"b1@640,767", "b5@640,767", "b5@640,767", "b6@640,767", "k41",
                                                          "k1004f60", "k21"}));

  hub->message(7, R"({"type":"key","key":"Shift","code":"ShiftLeft","down":true})");
  hub->message(7, R"({"type":"button","button":2,"down":true})");
  EXPECT_TRUE(recorder.awaitMask(kShiftAndRight, kShiftAndRight));
  hub->viewerLeft(7);
  EXPECT_TRUE(recorder.awaitMask(kShiftAndRight, 0));
  hub.reset();
}

TEST(InputHub, NoInputInAWaylandSession) {
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  boost::asio::io_context io;
  auto hub = InputHub::create(io, {});
  Viewer viewer;
  hub->viewerJoined(1, [&](std::string m) { viewer.received.push_back(json::parse(m)); });
  EXPECT_TRUE(
      viewer.await(io, "input", [](const json& m) { return m["available"] == false && m["reason"] == "wayland"; }));
  unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
}  // namespace qx::server
