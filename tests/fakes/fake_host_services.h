#pragma once

// Fakes of the host controller's services: a manual clock that is also the
// scheduler (work runs only when the test advances time or drains the posted
// queue), a launcher that records launches and ends processes on demand, and
// a permission probe with setters.

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/HostServices.h"

namespace qx::host::fake {

class ManualClock final : public TimeSource, public Scheduler {
 public:
  TimePoint now() const override { return now_; }

  std::shared_ptr<ScheduledWork> after(std::chrono::milliseconds delay, std::function<void()> work) override {
    return add(delay, std::chrono::milliseconds(0), std::move(work));
  }
  std::shared_ptr<ScheduledWork> every(std::chrono::milliseconds interval, std::function<void()> work) override {
    return add(interval, interval, std::move(work));
  }
  void post(std::function<void()> work) override { posted_.push_back(std::move(work)); }

  // Runs everything posted so far, and what that posts in turn.
  void drain() {
    while (!posted_.empty()) {
      auto work = std::move(posted_.front());
      posted_.erase(posted_.begin());
      work();
    }
  }

  // Moves time forward, running due work in deadline order (posted work first).
  void advance(std::chrono::duration<double> by) {
    const TimePoint end = now_ + std::chrono::duration_cast<Clock::duration>(by);
    drain();
    for (;;) {
      auto due =
          std::min_element(items_.begin(), items_.end(), [](const auto& a, const auto& b) { return a->at < b->at; });
      if (due == items_.end() || (*due)->at > end) break;
      std::shared_ptr<Item> item = *due;
      now_ = std::max(now_, item->at);
      if (item->period.count() > 0) {
        item->at += item->period;
      } else {
        items_.erase(due);
      }
      item->work();
      drain();
    }
    now_ = end;
  }

  // Pending one-shot and repeating work.
  std::size_t pending() const { return items_.size(); }

 private:
  struct Item : ScheduledWork {
    ManualClock* owner = nullptr;
    TimePoint at;
    std::chrono::milliseconds period{0};
    std::function<void()> work;
    void cancel() override {
      auto& list = owner->items_;
      list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& i) { return i.get() == this; }),
                 list.end());
    }
  };

  std::shared_ptr<ScheduledWork> add(std::chrono::milliseconds delay, std::chrono::milliseconds period,
                                     std::function<void()> work) {
    auto item = std::make_shared<Item>();
    item->owner = this;
    item->at = now_ + delay;
    item->period = period;
    item->work = std::move(work);
    items_.push_back(item);
    return item;
  }

  TimePoint now_{};
  std::vector<std::shared_ptr<Item>> items_;
  std::vector<std::function<void()>> posted_;
};

class FakeServerProcess final : public ServerProcess {
 public:
  bool isRunning() const override { return running; }
  void terminate() override {
    ++terminations;
    if (exitsOnTerminate) running = false;
  }
  void kill() override {
    ++kills;
    running = false;
  }
  bool waitForFinished(std::chrono::milliseconds) override {
    ++waits;
    return !running;
  }
  std::int64_t pid() const override { return 4242; }

  bool running = true;
  bool exitsOnTerminate = true;
  int terminations = 0;
  int kills = 0;
  int waits = 0;
};

class FakeLauncher final : public ProcessLauncher {
 public:
  struct Launch {
    LaunchRequest request;
    Callbacks callbacks;
    std::shared_ptr<FakeServerProcess> process;
  };

  LaunchResult launch(const LaunchRequest& request, Callbacks callbacks) override {
    if (!failWith.empty()) return failWith;
    auto process = std::make_shared<FakeServerProcess>();
    launches.push_back({request, std::move(callbacks), process});
    return process;
  }
  void runAndWait(const std::string& program, const std::vector<std::string>& arguments) override {
    runs.push_back({program, arguments});
  }
  bool startDetached(const std::string& program, const std::vector<std::string>& arguments) override {
    detached.push_back({program, arguments});
    return true;
  }

  Launch& last() { return launches.back(); }
  // The last launched server prints `bytes`.
  void print(const std::string& bytes) { last().callbacks.output(bytes); }
  // Reports the end of launch `index` (default: the last), as the real
  // launcher does once the process is gone.
  void end(ProcessEnd how, std::size_t index = SIZE_MAX) {
    Launch& launch = index == SIZE_MAX ? last() : launches.at(index);
    launch.process->running = false;
    if (launch.callbacks.outputEnded) launch.callbacks.outputEnded();
    launch.callbacks.ended(*launch.process, how);
  }

  std::string failWith;  // non-empty: every launch fails with this text
  std::vector<Launch> launches;
  std::vector<std::pair<std::string, std::vector<std::string>>> runs;
  std::vector<std::pair<std::string, std::vector<std::string>>> detached;
};

class FakePermissionProbe final : public PermissionProbe {
 public:
  bool screenRecording() override {
    ++reads;
    return screen;
  }
  bool accessibility() override { return access; }
  bool screen = true;
  bool access = false;
  int reads = 0;
};

class FakeLoginItem final : public LoginItemService {
 public:
  bool enabled() override { return status; }
  std::optional<std::string> setEnabled(bool on) override {
    requests.push_back(on);
    if (error) return error;
    status = on && !approvalPending;
    return std::nullopt;
  }
  bool status = false;
  bool approvalPending = false;  // registering succeeds but the desktop does not enable it
  std::optional<std::string> error;
  std::vector<bool> requests;
};

class FakeSystemLog final : public SystemLog {
 public:
  void write(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

}  // namespace qx::host::fake
