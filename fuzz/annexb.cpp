// Encoder output in length-prefixed form turned into Annex B: the units come
// out whole, in order, each behind a start code, and nothing after a bad length.

#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/check.h"
#include "video/access_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> before = {0xAA, 0xBB};
  std::vector<std::uint8_t> out = before;
  const std::size_t units = qx::access_unit::appendLengthPrefixedAsStartCodes({data, size}, out);

  // Walk the input the way its format says, and rebuild what must come out.
  std::vector<std::uint8_t> expected = before;
  std::size_t at = 0;
  std::size_t count = 0;
  while (size - at >= 4) {
    const std::uint32_t length =
        (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) | (data[at + 2] << 8) | data[at + 3];
    if (length == 0 || length > size - at - 4) break;
    expected.insert(expected.end(), {0, 0, 0, 1});
    expected.insert(expected.end(), data + at + 4, data + at + 4 + length);
    at += 4 + length;
    ++count;
  }
  QX_FUZZ_CHECK(units == count);
  QX_FUZZ_CHECK(out == expected);
  return 0;
}
