#include "video/access_unit.h"

#include <string>

#include "video/annexb_writer.h"

namespace qx::access_unit {

std::size_t appendLengthPrefixedAsStartCodes(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
  std::size_t count = 0;
  std::size_t offset = 0;
  const std::size_t length = data.size();
  while (length - offset >= 4) {
    const std::uint64_t n = (std::uint64_t{data[offset]} << 24) | (std::uint64_t{data[offset + 1]} << 16) |
                            (std::uint64_t{data[offset + 2]} << 8) | std::uint64_t{data[offset + 3]};
    // Compared without adding to offset, so a huge length cannot wrap.
    if (n == 0 || n > length - offset - 4) break;
    out.insert(out.end(), AnnexBWriter::startCode.begin(), AnnexBWriter::startCode.end());
    const auto begin = data.begin() + static_cast<std::ptrdiff_t>(offset + 4);
    out.insert(out.end(), begin, begin + static_cast<std::ptrdiff_t>(n));
    offset += 4 + static_cast<std::size_t>(n);
    ++count;
  }
  return count;
}

bool isKeyframe(const EncodedSample& sample) { return !sample.notSync.value_or(false); }

std::vector<std::vector<std::uint8_t>> parameterSets(const EncodedSample& sample) {
  std::vector<std::vector<std::uint8_t>> sets;
  if (!sample.parameterSets) return sets;
  for (const auto& set : *sample.parameterSets) {
    if (!set.empty()) sets.push_back(set);
  }
  return sets;
}

std::vector<std::uint8_t> ltrSEI(std::optional<std::int64_t> token, bool refresh) {
  std::string text;
  if (token) text = "ltr=" + std::to_string(*token);
  if (refresh) text += text.empty() ? "refresh" : " refresh";
  static constexpr char kUuid[] = "QuorvexLTRmeta01";
  std::vector<std::uint8_t> sei{0x00, 0x00, 0x00, 0x01, 0x06, 0x05};
  // At most 16 + 32 bytes, so one size byte always suffices.
  sei.push_back(static_cast<std::uint8_t>(16 + text.size()));
  sei.insert(sei.end(), kUuid, kUuid + 16);
  sei.insert(sei.end(), text.begin(), text.end());
  sei.push_back(0x80);
  return sei;
}

void appendFrame(const EncodedSample& sample, bool keyframe, std::span<const std::uint8_t> data,
                 std::vector<std::uint8_t>& out) {
  if (keyframe) {
    for (const auto& set : parameterSets(sample)) {
      out.insert(out.end(), AnnexBWriter::startCode.begin(), AnnexBWriter::startCode.end());
      out.insert(out.end(), set.begin(), set.end());
    }
  }
  appendLengthPrefixedAsStartCodes(data, out);
  out.insert(out.end(), AnnexBWriter::aud.begin(), AnnexBWriter::aud.end());
}

}  // namespace qx::access_unit
