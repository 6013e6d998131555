// The X11 display service against real X servers: Xorg with the dummy driver
// (RandR monitors can be defined there) and Xvfb.

#include "platform/linux/x11/x11_display_service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <xcb/xcb.h>

#include "capture/displays.h"
#include "tests/support/x_server.h"

namespace qx {
namespace {

using test::XServer;
using Ids = std::vector<DisplayID>;

// The atom the server uses for a monitor name, from a connection of our own.
DisplayID atomOf(const std::string& display, const std::string& name) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  DisplayID atom = 0;
  if (xcb_connection_has_error(c) == 0) {
    auto cookie = xcb_intern_atom(c, 1, static_cast<std::uint16_t>(name.size()), name.c_str());
    if (xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c, cookie, nullptr)) {
      atom = reply->atom;
      std::free(reply);
    }
  }
  xcb_disconnect(c);
  return atom;
}

void xrandr(const XServer& server, std::vector<std::string> args) {
  args.insert(args.begin(), "xrandr");
  const auto r = server.runClient(args);
  ASSERT_EQ(r.status, 0) << r.err;
}

// A 1824x768 screen with two monitors side by side: LEFT on the dummy output
// and RIGHT, primary, on no output. The server lists the primary first.
class TwoMonitors : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = XServer::dummyXorg(1824, 768);
    xrandr(*server_, {"--setmonitor", "LEFT", "1024/271x768/203+0+0", "DUMMY0"});
    xrandr(*server_, {"--setmonitor", "*RIGHT", "800/200x600/150+1024+0", "none"});
    left_ = atomOf(server_->display(), "LEFT");
    right_ = atomOf(server_->display(), "RIGHT");
    ASSERT_NE(left_, 0u);
    ASSERT_NE(right_, 0u);
  }

  std::unique_ptr<XServer> server_;
  DisplayID left_ = 0;
  DisplayID right_ = 0;
};

TEST_F(TwoMonitors, PlatformListIsInScreenOrderWithNameAtomsAsIds) {
  X11DisplayService service(server_->display());
  EXPECT_EQ(service.activeDisplayCount(), 2u);
  EXPECT_EQ(service.activeDisplayList(2), (Ids{left_, right_}));
  EXPECT_EQ(service.activeDisplayList(1), (Ids{left_}));
  EXPECT_EQ(service.mainDisplayID(), right_);
  EXPECT_EQ(service.pixelsWide(left_), 1024);
  EXPECT_EQ(service.pixelsHigh(left_), 768);
  EXPECT_EQ(service.pixelsWide(right_), 800);
  EXPECT_EQ(service.pixelsHigh(right_), 600);
  EXPECT_EQ(service.pixelsWide(12345), 0);
  EXPECT_TRUE(service.preflightCaptureAccess());
}

TEST_F(TwoMonitors, ListingPutsThePrimaryFirst) {
  X11DisplayService service(server_->display());
  EXPECT_EQ(orderedDisplayIDs(service), (Ids{right_, left_}));
  EXPECT_EQ(displayListJson(service), R"([{"height":600,"index":0,"name":"Display 1","primary":true,"width":800},)"
                                      R"({"height":768,"index":1,"name":"Display 2","primary":false,"width":1024}])");
}

TEST_F(TwoMonitors, DisplayOptionPicksFromTheListedOrder) {
  X11DisplayService service(server_->display());
  const auto ordered = orderedDisplayIDs(service);
  // As a capture service would offer them: in the server's order.
  const std::vector<ShareableDisplay> offered{{right_, 800, 600}, {left_, 1024, 768}};
  const DisplayID mainID = service.mainDisplayID();
  EXPECT_EQ(chooseCaptureDisplay(0, ordered, mainID, offered)->displayID, right_);
  EXPECT_EQ(chooseCaptureDisplay(1, ordered, mainID, offered)->displayID, left_);
  EXPECT_EQ(chooseCaptureDisplay(5, ordered, mainID, offered)->displayID, left_);
}

TEST_F(TwoMonitors, ModeOnlyForAMonitorThatIsItsOutput) {
  X11DisplayService service(server_->display());
  // LEFT covers exactly the dummy output's CRTC; RIGHT has no output.
  ASSERT_TRUE(service.currentModePixelSize(left_).has_value());
  EXPECT_EQ(service.currentModePixelSize(left_)->pixelWidth, 1024);
  EXPECT_EQ(service.currentModePixelSize(left_)->pixelHeight, 768);
  EXPECT_FALSE(service.currentModePixelSize(right_).has_value());
  EXPECT_EQ(displayPixelSize(service, {right_, 800, 600}), (PixelSize{800, 600}));

  // Once the output's mode no longer matches the monitor's rectangle the mode
  // says nothing about the monitor.
  xrandr(*server_, {"--output", "DUMMY0", "--mode", "800x600"});
  EXPECT_FALSE(service.currentModePixelSize(left_).has_value());
  EXPECT_EQ(displayPixelSize(service, {left_, 1024, 768}), (PixelSize{1024, 768}));
}

TEST_F(TwoMonitors, ChangesShowUpWithoutReconnecting) {
  X11DisplayService service(server_->display());
  ASSERT_EQ(service.activeDisplayCount(), 2u);
  xrandr(*server_, {"--delmonitor", "RIGHT"});
  // With no primary monitor left, the first in screen order is the main one.
  EXPECT_EQ(service.activeDisplayCount(), 1u);
  EXPECT_EQ(service.mainDisplayID(), left_);
  EXPECT_EQ(service.pixelsWide(right_), 0);
}

TEST(X11DisplayServiceOrder, LeftToRightThenTopToBottom) {
  auto server = XServer::dummyXorg(1824, 768);
  // Defined in an order that matches neither the result nor the names; B is
  // primary, so the server lists it first.
  xrandr(*server, {"--setmonitor", "A", "600/100x400/100+0+0", "DUMMY0"});
  xrandr(*server, {"--setmonitor", "C", "400/100x300/100+600+0", "none"});
  xrandr(*server, {"--setmonitor", "*B", "600/100x300/100+0+400", "none"});
  X11DisplayService service(server->display());
  const DisplayID a = atomOf(server->display(), "A");
  const DisplayID b = atomOf(server->display(), "B");
  const DisplayID c = atomOf(server->display(), "C");
  EXPECT_EQ(service.activeDisplayList(10), (Ids{a, b, c}));
  EXPECT_EQ(service.mainDisplayID(), b);
  EXPECT_EQ(orderedDisplayIDs(service), (Ids{b, a, c}));
}

TEST(X11DisplayServiceXvfb, OneScreenMonitorWithItsMode) {
  auto server = XServer::xvfb(1280, 720);
  X11DisplayService service(server->display());
  const auto ids = orderedDisplayIDs(service);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(service.mainDisplayID(), ids[0]);
  const auto mode = service.currentModePixelSize(ids[0]);
  ASSERT_TRUE(mode.has_value());
  EXPECT_EQ(mode->pixelWidth, 1280);
  EXPECT_EQ(mode->pixelHeight, 720);
  EXPECT_EQ(displayListJson(service), R"([{"height":720,"index":0,"name":"Display 1","primary":true,"width":1280}])");
}

TEST(X11DisplayServiceNoServer, EverythingFailsQuietly) {
  // A display number nobody serves: the connection is refused.
  X11DisplayService service(":65000");
  EXPECT_FALSE(service.preflightCaptureAccess());
  EXPECT_FALSE(service.requestCaptureAccess());
  EXPECT_FALSE(service.activeDisplayCount().has_value());
  EXPECT_FALSE(service.activeDisplayList(4).has_value());
  EXPECT_EQ(service.mainDisplayID(), 0u);
  EXPECT_FALSE(service.currentModePixelSize(1).has_value());
  EXPECT_EQ(displayListJson(service), "[]");
}

}  // namespace
}  // namespace qx
