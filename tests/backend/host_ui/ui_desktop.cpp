#include "tests/backend/host_ui/ui_desktop.h"

#include <unistd.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

namespace qx::test {
namespace {

using Connection = std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)>;

Connection connect(const std::string& display) {
  Connection c(xcb_connect(display.c_str(), nullptr), &xcb_disconnect);
  if (xcb_connection_has_error(c.get())) throw std::runtime_error("cannot connect to " + display);
  return c;
}

xcb_atom_t atom(xcb_connection_t* c, const std::string& name) {
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr),
      &std::free);
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

bool trayOwned(const std::string& display) {
  Connection c = connect(display);
  std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> reply(
      xcb_get_selection_owner_reply(c.get(), xcb_get_selection_owner(c.get(), atom(c.get(), "_NET_SYSTEM_TRAY_S0")),
                                    nullptr),
      &std::free);
  return reply && reply->owner != XCB_WINDOW_NONE;
}

}  // namespace

void runInOwnSessionBus(int argc, char** argv) {
  if (std::getenv("QX_OWN_SESSION_BUS")) return;
  ::setenv("QX_OWN_SESSION_BUS", "1", 1);
  const std::string tool = findOnPath("dbus-run-session");
  if (tool.empty()) {
    // No bus at all still keeps the machine's own out.
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    return;
  }
  std::vector<char*> args{const_cast<char*>(tool.c_str()), const_cast<char*>("--")};
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ::execv(tool.c_str(), args.data());
  throw std::runtime_error("cannot run dbus-run-session");
}

UiDesktop::UiDesktop(int width, int height) : x_(XServer::xvfb(width, height)) {
  ::setenv("DISPLAY", x_->display().c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  // No desktop of the machine's own may pick Qt's platform theme or tray.
  for (const char* name :
       {"WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "QT_QPA_PLATFORMTHEME"}) {
    ::unsetenv(name);
  }
}

UiDesktop::~UiDesktop() = default;

void UiDesktop::startTray() {
  if (tray_) return;
  const std::string trayer = findOnPath("trayer");
  if (trayer.empty()) throw std::runtime_error("trayer not installed");
  Process::Options options;
  options.args = {trayer, "--edge",        "top",   "--align",           "right", "--widthtype", "request", "--height",
                  "32",   "--SetDockType", "false", "--SetPartialStrut", "false"};
  options.pipeStdin = false;
  tray_ = std::make_unique<Process>(std::move(options));
  for (int i = 0; i < 200 && !trayOwned(display()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (!trayOwned(display())) throw std::runtime_error("trayer did not take the tray selection");
}

void UiDesktop::startWindowManager() {
  if (windowManager_) return;
  const std::string openbox = findOnPath("openbox");
  if (openbox.empty()) throw std::runtime_error("openbox not installed");
  Process::Options options;
  options.args = {openbox, "--sm-disable"};
  options.pipeStdin = false;
  windowManager_ = std::make_unique<Process>(std::move(options));
  // Running once it owns the screen's window-manager selection.
  for (int i = 0; i < 200; ++i) {
    Connection c = connect(display());
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> reply(
        xcb_get_selection_owner_reply(c.get(), xcb_get_selection_owner(c.get(), atom(c.get(), "WM_S0")), nullptr),
        &std::free);
    if (reply && reply->owner != XCB_WINDOW_NONE) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("openbox did not take the window-manager selection");
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() >= timeout.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

void spin(std::chrono::milliseconds time) {
  QEventLoop loop;
  QTimer::singleShot(time, &loop, &QEventLoop::quit);
  loop.exec();
}

void click(QPoint at, int button) {
  Process::Options options;
  // No --sync: it waits for a motion event, and there is none when the
  // pointer is already there.
  options.args = {
      findOnPath("xdotool"), "mousemove", std::to_string(at.x()), std::to_string(at.y()), "sleep", "0.1", "click",
      std::to_string(button)};
  const RunResult r = run(std::move(options));
  if (r.status != 0) throw std::runtime_error("xdotool failed: " + r.err);
}

void closeLikeWindowManager(unsigned long window) {
  Connection c = connect(std::getenv("DISPLAY"));
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = static_cast<xcb_window_t>(window);
  event.type = atom(c.get(), "WM_PROTOCOLS");
  event.data.data32[0] = atom(c.get(), "WM_DELETE_WINDOW");
  event.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(c.get(), 0, event.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  // A round trip: requests still queued when the connection closes may be dropped.
  std::free(xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr));
}

std::vector<std::uint32_t> windowProperty(unsigned long window, const std::string& name) {
  Connection c = connect(std::getenv("DISPLAY"));
  std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
      xcb_get_property_reply(c.get(),
                             xcb_get_property(c.get(), 0, static_cast<xcb_window_t>(window), atom(c.get(), name),
                                              XCB_GET_PROPERTY_TYPE_ANY, 0, 64),
                             nullptr),
      &std::free);
  if (!reply || reply->format != 32) return {};
  const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

std::string runBesideEventLoop(const std::vector<std::string>& args) {
  QProcess process;
  QStringList rest;
  for (std::size_t i = 1; i < args.size(); ++i) rest << QString::fromStdString(args[i]);
  process.start(QString::fromStdString(args[0]), rest);
  if (!waitUntil([&] { return process.state() == QProcess::NotRunning; })) process.kill();
  return process.readAllStandardOutput().toStdString();
}

std::string screenshot(const std::string& name, QRect area) {
  const std::string dir = buildPath("screenshots");
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/" + name + ".png";
  QScreen* screen = QGuiApplication::primaryScreen();
  const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  if (!shot.save(QString::fromStdString(path), "PNG")) throw std::runtime_error("cannot write " + path);
  return path;
}

}  // namespace qx::test
