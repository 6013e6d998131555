#include "server/output_queue.h"

#include <algorithm>
#include <array>

namespace qx::server {

namespace {

constexpr std::string_view clientCount = "connected clients: ";

bool isClientCount(std::string_view line) { return line.substr(0, clientCount.size()) == clientCount; }

}  // namespace

bool hostReactsTo(std::string_view line) {
  static constexpr std::array<std::string_view, 5> anywhere = {clientCount, "[update] install requested ",
                                                               "address already in use",
                                                               "Screen Recording permission missing", "capturing "};
  return std::any_of(anywhere.begin(), anywhere.end(),
                     [&](std::string_view text) { return line.find(text) != std::string_view::npos; });
}

void OutputQueue::push(std::string line) {
  if (isClientCount(line)) {
    // Only the newest count matters to the host.
    auto stale = std::find_if(lines_.begin(), lines_.end(), [](const std::string& l) { return isClientCount(l); });
    if (stale != lines_.end()) {
      bytes_ -= stale->size();
      lines_.erase(stale);
    }
  }
  if (bytes_ + line.size() > maxBytes_ && !hostReactsTo(line)) {
    ++dropped_;
    return;
  }
  noteDropped();
  append(std::move(line));
}

std::optional<std::string> OutputQueue::take() {
  if (lines_.empty()) noteDropped();
  if (lines_.empty()) return std::nullopt;
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  bytes_ -= line.size();
  line.push_back('\n');
  return line;
}

void OutputQueue::append(std::string line) {
  bytes_ += line.size();
  lines_.push_back(std::move(line));
}

// Said with the first line queued after the gap (or when the queue runs dry), so it stands where the gap
// is; one short line past the bound is no matter.
void OutputQueue::noteDropped() {
  if (dropped_ == 0) return;
  std::string notice =
      "quorvex-webrtc-server: output is not being read; " + std::to_string(dropped_) + " lines dropped";
  dropped_ = 0;
  append(std::move(notice));
}

}  // namespace qx::server
