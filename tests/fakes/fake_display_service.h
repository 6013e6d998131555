#pragma once

// A scripted display service: displays in platform order, the main display,
// per-call failures and call counters. Not thread-safe; tests use it from one
// thread.

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/display_service.h"

namespace qx::test {

class FakeDisplayService final : public DisplayService {
 public:
  struct Display {
    DisplayID id = 0;
    std::int64_t pointsWide = 0;
    std::int64_t pointsHigh = 0;
    std::optional<DisplayModeSize> mode;
  };

  // Displays in the order the platform reports them.
  void setDisplays(std::vector<Display> displays) { displays_ = std::move(displays); }
  void addDisplay(DisplayID id, std::int64_t w, std::int64_t h, std::optional<DisplayModeSize> mode = std::nullopt) {
    displays_.push_back({id, w, h, mode});
  }
  void setMainDisplay(DisplayID id) { main_ = id; }
  void setCountFails(bool fails) { countFails_ = fails; }
  void setListFails(bool fails) { listFails_ = fails; }
  // Makes the count report this instead of the number of displays, as when
  // displays come or go between the two calls.
  void setReportedCount(std::optional<std::uint32_t> count) { reportedCount_ = count; }
  // Makes the fill return every display, ignoring how many were asked for.
  void setListIgnoresMax(bool ignores) { listIgnoresMax_ = ignores; }
  void setAccessGranted(bool granted) { granted_ = granted; }

  int requestCalls() const { return requestCalls_; }
  int preflightCalls() const { return preflightCalls_; }
  std::optional<std::uint32_t> lastListMax() const { return lastListMax_; }

  std::optional<std::uint32_t> activeDisplayCount() override {
    if (countFails_) return std::nullopt;
    if (reportedCount_) return reportedCount_;
    return static_cast<std::uint32_t>(displays_.size());
  }

  std::optional<std::vector<DisplayID>> activeDisplayList(std::uint32_t maxCount) override {
    lastListMax_ = maxCount;
    if (listFails_) return std::nullopt;
    std::vector<DisplayID> ids;
    for (const auto& d : displays_) {
      if (!listIgnoresMax_ && ids.size() >= maxCount) break;
      ids.push_back(d.id);
    }
    return ids;
  }

  DisplayID mainDisplayID() override { return main_; }

  std::int64_t pixelsWide(DisplayID id) override {
    const Display* d = find(id);
    return d ? d->pointsWide : 0;
  }
  std::int64_t pixelsHigh(DisplayID id) override {
    const Display* d = find(id);
    return d ? d->pointsHigh : 0;
  }
  std::optional<DisplayModeSize> currentModePixelSize(DisplayID id) override {
    const Display* d = find(id);
    return d ? d->mode : std::nullopt;
  }

  // The fake display system always answers.
  std::optional<std::string> unreachableReason() override { return std::nullopt; }
  bool preflightCaptureAccess() override {
    ++preflightCalls_;
    return granted_;
  }
  bool requestCaptureAccess() override {
    ++requestCalls_;
    return granted_;
  }

 private:
  const Display* find(DisplayID id) const {
    for (const auto& d : displays_)
      if (d.id == id) return &d;
    return nullptr;
  }

  std::vector<Display> displays_;
  DisplayID main_ = 0;
  bool countFails_ = false;
  bool listFails_ = false;
  std::optional<std::uint32_t> reportedCount_;
  bool listIgnoresMax_ = false;
  bool granted_ = true;
  int requestCalls_ = 0;
  int preflightCalls_ = 0;
  std::optional<std::uint32_t> lastListMax_;
};

}  // namespace qx::test
