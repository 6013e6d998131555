#include "server/stream_framing.h"

namespace qx::server {

namespace {

constexpr int nalTypeIdr = 5;
constexpr int nalTypeDelimiter = 9;

}  // namespace

std::size_t lengthBeforeTrailingDelimiter(std::string_view unit) {
  constexpr std::string_view startCode("\0\0\1", 3);
  if (unit.size() < 5 || unit.substr(unit.size() - 5, 3) != startCode ||
      (static_cast<unsigned char>(unit[unit.size() - 2]) & 0x1F) != nalTypeDelimiter)
    return unit.size();
  std::size_t end = unit.size() - 5;
  if (end > 0 && unit[end - 1] == 0) --end;  // the four-byte form
  return end;
}

std::vector<AccessUnit> AccessUnitSplitter::push(std::string_view bytes) {
  std::vector<AccessUnit> units;
  pending_.append(bytes);
  std::size_t unitStart = 0;
  std::size_t i = scanFrom_;
  // Looks for the 3-byte start code; a 4-byte one contains it.
  while (i + 3 <= pending_.size()) {
    if (pending_[i] != 0 || pending_[i + 1] != 0 || pending_[i + 2] != 1) {
      ++i;
      continue;
    }
    if (i + 3 >= pending_.size()) break;  // NAL header not here yet
    int type = static_cast<unsigned char>(pending_[i + 3]) & 0x1F;
    if (type == nalTypeIdr) keyframe_ = true;
    if (type == nalTypeDelimiter) {
      if (i + 4 >= pending_.size()) break;  // delimiter payload not here yet
      std::size_t end = i + 5;
      units.push_back({std::make_shared<const std::string>(pending_, unitStart, end - unitStart), keyframe_});
      keyframe_ = false;
      unitStart = end;
      i = end;
      continue;
    }
    i += 3;
  }
  pending_.erase(0, unitStart);
  i -= unitStart;
  // Resume where a start code may begin that the next bytes complete.
  scanFrom_ = std::min(i, pending_.size() >= 2 ? pending_.size() - 2 : 0);
  if (pending_.size() > maxPending) {
    discarded_ += pending_.size();
    pending_.clear();
    scanFrom_ = 0;
    keyframe_ = false;
  }
  return units;
}

std::vector<std::shared_ptr<const std::string>> OpusFrameSplitter::push(std::string_view bytes) {
  std::vector<std::shared_ptr<const std::string>> frames;
  pending_.append(bytes);
  std::size_t offset = 0;
  while (pending_.size() - offset >= 2) {
    std::size_t length = (static_cast<std::size_t>(static_cast<unsigned char>(pending_[offset])) << 8) |
                         static_cast<unsigned char>(pending_[offset + 1]);
    if (pending_.size() - offset < 2 + length) break;
    frames.push_back(std::make_shared<const std::string>(pending_, offset, 2 + length));
    offset += 2 + length;
  }
  pending_.erase(0, offset);
  return frames;
}

bool SendQueue::push(std::shared_ptr<const std::string> buffer) {
  if (!buffers_.empty() && bytes_ + buffer->size() > maxBytes_) return false;
  bytes_ += buffer->size();
  buffers_.push_back(std::move(buffer));
  return true;
}

void SendQueue::pop() {
  bytes_ -= buffers_.front()->size();
  buffers_.pop_front();
}

}  // namespace qx::server
