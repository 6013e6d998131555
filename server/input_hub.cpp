#include "server/input_hub.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

#include "capture/displays.h"
#include "capture/options.h"
#include "platform/linux/x11/x11_display_service.h"
#include "platform/linux/x11/x11_input.h"
#include "server/input/input_message.h"
#include "server/input/keysyms.h"
#include "server/input/pointer_mapping.h"
#include "server/input/viewer_state.h"

namespace qx::server {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using input::ViewerMessage;

constexpr double kEventsPerSecond = 1000;
constexpr double kEventBurst = 200;
// Long enough for every client to have read a borrowed key's symbol.
constexpr auto kSpareRest = 500ms;
// The monitor layout may change while viewers watch; the helper restarts then.
constexpr auto kMonitorRefresh = 2s;
// Pointer shapes beyond this are not sent (XFIXES allows up to 64K on a side).
constexpr int kMaxCursorSide = 256;

std::string sessionBlocksInput() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* type = std::getenv("XDG_SESSION_TYPE");
  if ((wayland != nullptr && *wayland != '\0') || (type != nullptr && std::string_view(type) == "wayland")) {
    return "wayland";
  }
  return {};
}

// What the io thread keeps: the viewers' send functions and limits, and the
// latest pointer messages for viewers who join later.
struct Viewers {
  struct Entry {
    InputHub::Send send;
    input::RateLimiter limit;
  };
  std::map<std::uint64_t, Entry> entries;
  std::string cursor;
  std::string shape;

  void sendTo(std::uint64_t viewer, const std::string& json) {
    const auto it = entries.find(viewer);
    if (it != entries.end() && it->second.send) it->second.send(json);
  }
  void broadcast(const std::string& json) {
    for (auto& [id, entry] : entries) {
      if (entry.send) entry.send(json);
    }
  }
};

struct Command {
  enum class Kind { join, message, leave, stop } kind = Kind::stop;
  std::uint64_t viewer = 0;
  std::optional<ViewerMessage> message;
};

// Thread "qv-input": owns the X connection, injects, watches the pointer.
class InputThread {
 public:
  InputThread(boost::asio::io_context& io, std::weak_ptr<Viewers> viewers, std::int64_t display, std::int64_t fps)
      : io_(io),
        viewers_(std::move(viewers)),
        display_(display),
        pollInterval_(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / static_cast<double>(std::clamp<std::int64_t>(fps, 10, 120))))),
        blocked_(sessionBlocksInput()),
        wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        thread_([this] { run(); }) {}

  ~InputThread() {
    push(Command{Command::Kind::stop, 0, std::nullopt});
    thread_.join();
    if (wake_ >= 0) close(wake_);
  }
  InputThread(const InputThread&) = delete;
  InputThread& operator=(const InputThread&) = delete;

  void push(Command command) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(command));
    }
    const std::uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
  }

 private:
  // Runs `f(Viewers&)` on the io thread, unless the hub is gone by then.
  template <class F>
  void toViewers(F f) {
    boost::asio::post(io_, [weak = viewers_, f = std::move(f)]() mutable {
      if (auto viewers = weak.lock()) f(*viewers);
    });
  }

  void run() {
    pthread_setname_np(pthread_self(), "qv-input");
    for (;;) {
      std::deque<Command> batch;
      {
        std::lock_guard lock(mutex_);
        batch.swap(queue_);
      }
      for (auto& command : batch) {
        if (command.kind == Command::Kind::stop) return shutdown();
        handle(command);
      }
      const auto now = Clock::now();
      std::optional<Clock::time_point> spareDue;
      if (x_) {
        x_->handleEvents();
        if (!held_.empty()) watchPointer(now);
        spareDue = x_->restoreSpares(now, std::chrono::duration_cast<std::chrono::milliseconds>(kSpareRest), false);
        x_->flush();
      }
      sleepUntilWork(now, spareDue);
    }
  }

  void sleepUntilWork(Clock::time_point now, std::optional<Clock::time_point> spareDue) {
    int timeout = -1;
    std::optional<Clock::time_point> due = spareDue;
    if (x_ && !held_.empty()) due = std::min(due.value_or(now + pollInterval_), now + pollInterval_);
    if (due) timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*due - now).count());
    pollfd fds[2] = {{wake_, POLLIN, 0}, {x_ ? x_->fd() : -1, POLLIN, 0}};
    poll(fds, 2, std::max(timeout, -1));
    std::uint64_t count = 0;
    (void)!read(wake_, &count, sizeof count);
  }

  // Connects at a viewer's arrival (again after the X server went away) and
  // finds the monitor the helper captures.
  std::string prepare() {
    if (!blocked_.empty()) return blocked_;
    if (!x_ || !x_->ok()) {
      x_.reset();
      displays_.reset();
      auto opened = x11::X11Input::open({});
      if (auto* unavailable = std::get_if<x11::X11Input::Unavailable>(&opened)) {
        return *unavailable == x11::X11Input::Unavailable::noXtest ? "no-xtest" : "no-display";
      }
      x_ = std::move(std::get<std::unique_ptr<x11::X11Input>>(opened));
      displays_ = std::make_unique<X11DisplayService>();
      lastPointer_.reset();
    }
    if (!refreshMonitor()) return "no-display";
    return {};
  }

  // The helper's rule: the ordered list's entry at --display, else the main display, else the first.
  bool refreshMonitor() {
    monitorCheckedAt_ = Clock::now();
    const auto monitors = x_->monitors();
    if (!monitors || monitors->empty()) return false;
    std::vector<ShareableDisplay> offered;
    for (const auto& m : *monitors) offered.push_back(ShareableDisplay{m.id, m.width, m.height});
    const auto ordered = orderedDisplayIDs(*displays_);
    const auto chosen = chooseCaptureDisplay(display_, ordered, displays_->mainDisplayID(), offered);
    if (!chosen) return false;
    const auto it = std::find_if(monitors->begin(), monitors->end(),
                                 [&](const x11::InputMonitor& m) { return m.id == chosen->displayID; });
    const input::MonitorRect rect{it->x, it->y, std::max(1, it->width), std::max(1, it->height)};
    const bool resized = monitor_ && (monitor_->width != rect.width || monitor_->height != rect.height);
    monitor_ = rect;
    if (resized) {
      toViewers([json = input::inputStatusJson(true, "", rect.width, rect.height)](Viewers& v) { v.broadcast(json); });
    }
    return true;
  }

  void handle(Command& command) {
    switch (command.kind) {
      case Command::Kind::join: return join(command.viewer);
      case Command::Kind::leave: return leave(command.viewer);
      case Command::Kind::message:
        if (const auto it = held_.find(command.viewer); it != held_.end() && x_ && monitor_) {
          std::visit([&](auto& m) { inject(it->second, m); }, *command.message);
        }
        return;
      case Command::Kind::stop: return;
    }
  }

  void join(std::uint64_t viewer) {
    const std::string reason = prepare();
    const bool available = reason.empty();
    if (available) held_.try_emplace(viewer);
    const std::int64_t width = available ? monitor_->width : 0;
    const std::int64_t height = available ? monitor_->height : 0;
    if (available) lastPointer_.reset();  // the newcomer gets the position at once
    toViewers([viewer, json = input::inputStatusJson(available, reason, width, height), available](Viewers& v) {
      v.sendTo(viewer, json);
      if (available && !v.shape.empty()) v.sendTo(viewer, v.shape);
    });
  }

  // Releases what this viewer holds unless another viewer holds it too.
  void leave(std::uint64_t viewer) {
    const auto it = held_.find(viewer);
    if (it == held_.end()) return;
    const input::HeldInputs held = std::move(it->second);
    held_.erase(it);
    if (!x_) return;
    for (int b : held.buttons()) {
      if (std::none_of(held_.begin(), held_.end(), [b](const auto& o) { return o.second.holdsButton(b); })) {
        x_->button(b + 1, false);
      }
    }
    for (std::uint32_t k : held.pressed()) {
      if (std::none_of(held_.begin(), held_.end(), [k](const auto& o) { return o.second.holdsPressed(k); })) {
        x_->keyUp(static_cast<std::uint8_t>(k));
      }
    }
  }

  void moveTo(const input::PointerMove& m) {
    const auto p = input::toRoot(*monitor_, m.x, m.y);
    x_->moveTo(p.x, p.y);
  }

  void inject(input::HeldInputs&, const input::PointerMove& m) { moveTo(m); }

  void inject(input::HeldInputs& held, const input::ButtonEvent& e) {
    if (e.at) moveTo(*e.at);
    if (e.down) {
      held.buttonDown(e.button);
      x_->button(e.button + 1, true);
    } else if (held.buttonUp(e.button)) {
      x_->button(e.button + 1, false);
    }
  }

  void inject(input::HeldInputs&, const input::WheelEvent& e) {
    const auto steps = [this](int count, int negative, int positive) {
      for (int i = 0; i < std::abs(count); ++i) {
        x_->button(count < 0 ? negative : positive, true);
        x_->button(count < 0 ? negative : positive, false);
      }
    };
    steps(e.dy, 4, 5);
    steps(e.dx, 6, 7);
  }

  void inject(input::HeldInputs& held, const input::KeyEvent& e) {
    // Phones leave `code` empty; the key name is then all that ties down and up.
    const std::string& id = e.code.empty() ? e.key : e.code;
    if (!e.down) {
      const std::uint32_t pressed = held.keyUp(id);
      if (pressed != 0 && std::none_of(held_.begin(), held_.end(),
                                       [pressed](const auto& o) { return o.second.holdsPressed(pressed); })) {
        x_->keyUp(static_cast<std::uint8_t>(pressed));
      }
      return;
    }
    // The X server repeats held keys itself; the browser's repeats would double them.
    if (held.holdsCode(id)) return;
    const std::uint8_t keycode = x_->keyDown(input::keysymForDomKey(e.key, e.code));
    if (keycode != 0) held.keyDown(id, keycode);
  }

  void inject(input::HeldInputs&, const input::TextEvent& e) {
    for (char32_t c : e.text) {
      if (const auto keysym = input::keysymForCharacter(c)) x_->type(keysym);
    }
  }

  void watchPointer(Clock::time_point now) {
    if (!x_->ok()) return;
    if (now - monitorCheckedAt_ >= kMonitorRefresh && !refreshMonitor()) return;
    if (x_->takeCursorChanged()) {
      if (auto image = x_->cursorImage(); image && image->width <= kMaxCursorSide && image->height <= kMaxCursorSide) {
        const std::string rgba = input::straightRgba(image->argb);
        toViewers([json = input::cursorShapeJson(image->width, image->height, image->hotX, image->hotY,
                                                 input::base64(rgba))](Viewers& v) {
          v.shape = json;
          v.broadcast(json);
        });
      }
    }
    const auto p = x_->pointer();
    if (!p || !monitor_) return;
    const input::RootPoint root{p->x, p->y};
    if (lastPointer_ && *lastPointer_ == root) return;
    lastPointer_ = root;
    const auto rel = input::relativeOf(*monitor_, root);
    toViewers([json = input::cursorJson(rel.x, rel.y, rel.inside)](Viewers& v) {
      v.cursor = json;
      v.broadcast(json);
    });
  }

  void shutdown() {
    std::vector<std::uint64_t> ids;
    for (const auto& [id, h] : held_) ids.push_back(id);
    for (auto id : ids) leave(id);
    x_.reset();  // gives borrowed keycodes back
  }

  boost::asio::io_context& io_;
  std::weak_ptr<Viewers> viewers_;
  const std::int64_t display_;
  const Clock::duration pollInterval_;
  const std::string blocked_;
  std::unique_ptr<x11::X11Input> x_;
  std::unique_ptr<X11DisplayService> displays_;
  std::optional<input::MonitorRect> monitor_;
  Clock::time_point monitorCheckedAt_{};
  std::optional<input::RootPoint> lastPointer_;
  std::map<std::uint64_t, input::HeldInputs> held_;  // the viewers with input
  std::mutex mutex_;
  std::deque<Command> queue_;  // guarded by mutex_
  int wake_ = -1;
  std::thread thread_;  // last: starts once everything above exists
};

class X11InputHub final : public InputHub {
 public:
  X11InputHub(boost::asio::io_context& io, const Options& options)
      : viewers_(std::make_shared<Viewers>()), thread_(io, viewers_, options.display, options.fps) {}

  void viewerJoined(std::uint64_t viewer, Send send) override {
    viewers_->entries.insert_or_assign(
        viewer, Viewers::Entry{std::move(send), input::RateLimiter(kEventsPerSecond, kEventBurst, Clock::now())});
    thread_.push(Command{Command::Kind::join, viewer, std::nullopt});
  }

  void message(std::uint64_t viewer, std::string_view json) override {
    const auto it = viewers_->entries.find(viewer);
    if (it == viewers_->entries.end()) return;
    auto parsed = input::parseViewerMessage(json);
    if (!parsed || !it->second.limit.allow(input::eventCost(*parsed), Clock::now())) return;
    thread_.push(Command{Command::Kind::message, viewer, std::move(parsed)});
  }

  void viewerLeft(std::uint64_t viewer) override {
    if (viewers_->entries.erase(viewer) == 0) return;
    thread_.push(Command{Command::Kind::leave, viewer, std::nullopt});
  }

 private:
  std::shared_ptr<Viewers> viewers_;
  InputThread thread_;
};

}  // namespace

std::unique_ptr<InputHub> InputHub::create(boost::asio::io_context& io, std::vector<std::string> captureArgs) {
  // Unknown words (the program's path) are skipped, as the helper does.
  return std::make_unique<X11InputHub>(io, parseArgs(captureArgs));
}

}  // namespace qx::server
