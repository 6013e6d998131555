#pragma once

// Decoding the helper's H.264 Annex B output in tests and benches, with two
// independent decoders, so a stream can be checked picture by picture.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qx::test::h264 {

// One decoded picture, I420 with tightly packed planes (no row padding):
// y is width x height, u and v are ceil(width/2) x ceil(height/2).
struct Frame {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> y;
  std::vector<std::uint8_t> u;
  std::vector<std::uint8_t> v;

  bool operator==(const Frame&) const = default;
};

// The complete access units at the front of `bytes`. Each one ends with its
// access unit delimiter; bytes after the last delimiter are not returned, so
// the sizes of the units add up to the number of bytes consumed.
std::vector<std::string> splitAccessUnits(std::string_view bytes);

// NAL unit types (nal_unit_type, 0..31) of an Annex B byte string, in order.
std::vector<int> nalTypes(std::string_view bytes);

// The text of the long-term-reference SEI ("QuorvexLTRmeta01" user data) in
// an access unit, e.g. "ltr=7", "refresh"; nullopt when there is none.
std::optional<std::string> ltrSeiText(std::string_view accessUnit);

// libavcodec, single-threaded, fed one access unit at a time and flushed at
// the end. Undecodable input is skipped, as a player would, so a damaged
// stream gives fewer or concealed frames rather than an error.
std::vector<Frame> decodeWithLibavcodec(std::span<const std::string> accessUnits);

// OpenH264's decoder, DecodeFrameNoDelay per access unit, with slice-copy
// error concealment so it keeps producing pictures across a loss, as a
// player would. Same treatment of undecodable input.
std::vector<Frame> decodeWithOpenH264(std::span<const std::string> accessUnits);

}  // namespace qx::test::h264
