#pragma once

#include <cstdint>

namespace qx {

// A display the capture service can capture: a stable id and its size in points.
struct ShareableDisplay {
  std::uint32_t displayID = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

}  // namespace qx
