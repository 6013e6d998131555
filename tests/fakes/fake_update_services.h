#pragma once

// Fakes of the update flow's services: a settable wall clock, background work
// that runs only when the test says, an updater with scripted replies that
// records its command lines, alerts with scripted answers, and bundle file
// operations that fail or "crash" at a chosen step while delegating the rest
// to real ones.

#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/BundleReplacement.h"
#include "host/HostServices.h"
#include "host/UpdateServices.h"

namespace qx::host::fake {

class ManualWallClock final : public WallClock {
 public:
  WallTime now() const override { return at; }
  WallTime at = WallTime(std::chrono::seconds(1'700'000'000));
};

class FakeBackgroundWork final : public BackgroundWork {
 public:
  void run(std::function<Continuation()> job) override { jobs.push_back(std::move(job)); }
  // Runs the oldest job and then, as the main thread would, its continuation.
  void runNext() {
    auto job = std::move(jobs.front());
    jobs.pop_front();
    if (Continuation continuation = job()) continuation();
  }
  // Also what the jobs queue in turn.
  void runAll() {
    while (!jobs.empty()) runNext();
  }
  std::deque<std::function<Continuation()>> jobs;
};

class FakeUpdater {
 public:
  // For the command's sub-command ("check", "download"): what the run gives.
  std::map<std::string, UpdaterOutput> replies;
  std::vector<std::pair<std::string, std::vector<std::string>>> calls;

  UpdaterCommand command() {
    return [this](const std::string& program, const std::vector<std::string>& arguments) {
      calls.emplace_back(program, arguments);
      return replies[arguments.size() > 1 ? arguments[1] : ""];
    };
  }
};

class FakeAlerts final : public Alerts {
 public:
  Answer show(const Alert& alert) override {
    shown.push_back(alert);
    return {answer, false};
  }
  int answer = 0;
  std::vector<Alert> shown;
};

// Thrown at the step chosen with `crashAt`: the process "dies" there.
struct Crash {};

class StepBundleFiles final : public BundleFiles {
 public:
  explicit StepBundleFiles(BundleFiles& real) : real_(real) {}

  std::error_code makeDirectory(const std::filesystem::path& path) override {
    return step("mkdir", path, [&] { return real_.makeDirectory(path); });
  }
  std::error_code copyFile(const std::filesystem::path& from, const std::filesystem::path& to) override {
    return step("copy", to, [&] { return real_.copyFile(from, to); });
  }
  std::error_code makeLink(const std::filesystem::path& target, const std::filesystem::path& link) override {
    return step("link", link, [&] { return real_.makeLink(target, link); });
  }
  std::error_code syncDirectory(const std::filesystem::path& dir) override {
    return step("sync", dir, [&] { return real_.syncDirectory(dir); });
  }
  std::error_code exchange(const std::filesystem::path& a, const std::filesystem::path& b) override {
    if (exchangeUnsupported)
      return step("exchange", b, [] { return std::make_error_code(std::errc::invalid_argument); });
    return step("exchange", b, [&] { return real_.exchange(a, b); });
  }
  std::error_code rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    return step("rename", to, [&] { return real_.rename(from, to); });
  }
  std::error_code removeAll(const std::filesystem::path& path) override {
    return step("remove", path, [&] { return real_.removeAll(path); });
  }

  // Steps are counted from 1; 0 never fails.
  int failAt = 0;
  std::string failOn;  // the first step of this name ("exchange") fails
  int crashAt = 0;     // this step is done, then Crash is thrown
  // Runs the function before step `first` (what happens meanwhile on the main thread).
  std::pair<int, std::function<void()>> atStep;
  bool exchangeUnsupported = false;
  std::vector<std::string> steps;  // "op path", in order

 private:
  template <class Op>
  std::error_code step(const char* name, const std::filesystem::path& path, Op op) {
    steps.push_back(std::string(name) + " " + path.string());
    const int n = static_cast<int>(steps.size());
    if (n == atStep.first && atStep.second) atStep.second();
    if (n == failAt || name == failOn) {
      failOn.clear();
      return std::make_error_code(std::errc::io_error);
    }
    std::error_code ec = op();
    if (n == crashAt) throw Crash{};
    return ec;
  }

  BundleFiles& real_;
};

}  // namespace qx::host::fake
