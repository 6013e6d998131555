#pragma once

// Which displays the helper knows, in which order, which one it captures, how
// big that is in pixels, and the JSON listing. The order is shared by the
// listing and the `display` option: entry N of the list is what "--display N"
// captures.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/display_service.h"

namespace qx {

struct PixelSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// The platform's active displays (count, then fill) with the main display
// moved to the front; the others keep their relative order. Empty when the
// platform fails or has no display.
std::vector<DisplayID> orderedDisplayIDs(DisplayService& displays);

// The display a capture uses: the ordered entry at `display` (clamped into the
// list), or the main display when the list is empty; if the capture service
// does not offer that one, the main display, else its first display. Absent
// only when `offered` is empty.
std::optional<ShareableDisplay> chooseCaptureDisplay(std::int64_t display, std::span<const DisplayID> ordered,
                                                     DisplayID mainDisplay, std::span<const ShareableDisplay> offered);

// The pixel size of the display's current mode, turned to the orientation of
// its point size; the point size when the mode is unavailable or has a zero
// dimension.
PixelSize displayPixelSize(DisplayService& displays, const ShareableDisplay& display);

// The listing: a compact JSON array with one object per ordered display, keys
// "height", "index", "name", "primary", "width" in that order, no line feed.
// "[]" when there are no displays or serialisation fails.
std::string displayListJson(DisplayService& displays);

// Writes displayListJson to standard output in one write and ends the process
// with status 0, also when the write fails. Call from the main thread before
// any other thread exists.
[[noreturn]] void listDisplaysAndExit(DisplayService& displays);

}  // namespace qx
