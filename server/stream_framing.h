#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qx::server {

// One complete H.264 access unit from the helper, shared by every client
// queue it is sent to.
struct AccessUnit {
  std::shared_ptr<const std::string> bytes;
  bool keyframe = false;  // holds an IDR slice: a new client may start here
};

// The length of `unit` without the access unit delimiter that ends it (and the
// delimiter's start code). RTP packetisers and decoders read a delimiter as
// the start of the next picture, so a trailing one must not reach them.
std::size_t lengthBeforeTrailingDelimiter(std::string_view unit);

// Cuts the helper's Annex B stream into access units. The helper ends every
// access unit with an access unit delimiter (00 00 00 01 09 xx), so a unit is
// complete as soon as its delimiter's payload byte has arrived; nothing waits
// for the next frame. Not thread-safe; one per stream.
class AccessUnitSplitter {
 public:
  // Bytes buffered without a delimiter before they are thrown away, so a
  // stream without delimiters cannot grow the buffer without bound.
  static constexpr std::size_t maxPending = 32u << 20;

  // Appends `bytes` and returns the access units completed by them, in order.
  std::vector<AccessUnit> push(std::string_view bytes);

  std::size_t pendingBytes() const { return pending_.size(); }
  std::size_t discardedBytes() const { return discarded_; }

 private:
  std::string pending_;
  std::size_t scanFrom_ = 0;
  bool keyframe_ = false;
  std::size_t discarded_ = 0;
};

// Cuts the helper's audio stream (2-byte big-endian length, then that many
// bytes of Opus packet) into whole frames, length prefix included, so every
// client starts at a packet boundary.
class OpusFrameSplitter {
 public:
  std::vector<std::shared_ptr<const std::string>> push(std::string_view bytes);

 private:
  std::string pending_;
};

// The bytes waiting to be sent to one client. Bounded so a slow client is
// dropped instead of holding memory or stalling the others: `push` refuses
// when the bound would be passed. A buffer is always accepted into an empty
// queue, so one unit larger than the bound does not cut every client off.
class SendQueue {
 public:
  explicit SendQueue(std::size_t maxBytes) : maxBytes_(maxBytes) {}

  [[nodiscard]] bool push(std::shared_ptr<const std::string> buffer);
  bool empty() const { return buffers_.empty(); }
  const std::shared_ptr<const std::string>& front() const { return buffers_.front(); }
  void pop();
  std::size_t bytes() const { return bytes_; }

 private:
  std::size_t maxBytes_;
  std::size_t bytes_ = 0;
  std::deque<std::shared_ptr<const std::string>> buffers_;
};

}  // namespace qx::server
