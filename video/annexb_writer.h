#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

namespace qx {

// Writes the H.264 Annex B stream, one whole access unit per call, to a file
// descriptor (standard output in the helper). The descriptor is borrowed:
// the writer never closes it.
//
// Thread-safe: each access unit is written under `lock_`, so two units never
// interleave. A write error other than EINTR ends the process at once with
// status 1 (the reader is gone; there is no stream left to keep). The process
// must ignore SIGPIPE for that to be reported rather than fatal by signal.
class AnnexBWriter {
 public:
  explicit AnnexBWriter(int fd);
  AnnexBWriter(const AnnexBWriter&) = delete;
  AnnexBWriter& operator=(const AnnexBWriter&) = delete;

  // Put in front of every NAL unit; always the 4-byte form.
  static constexpr std::array<std::uint8_t, 4> startCode{0x00, 0x00, 0x00, 0x01};
  // A complete access unit delimiter (primary_pic_type 7) with start code.
  // It closes every access unit so a reader knows a frame is complete at once.
  static constexpr std::array<std::uint8_t, 6> aud{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};

  // Writes all of `accessUnit`, continuing after partial writes and retrying
  // on EINTR; any other error calls _exit(1).
  void write(std::span<const std::uint8_t> accessUnit);

 private:
  std::mutex lock_;
  const int out_;
};

}  // namespace qx
