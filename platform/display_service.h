#pragma once

// Display queries and the screen-capture permission, as the helper's display
// choice, listing and permission check need them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx {

// A display identifier: stable for as long as the display exists. 0 is never
// a valid display.
using DisplayID = std::uint32_t;

// A display the capture service can capture: a stable id and its size in points.
struct ShareableDisplay {
  std::uint32_t displayID = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// Pixel size of a display's current mode, unrotated: a display turned by a
// quarter reports its mode's own width and height, not the rotated ones.
struct DisplayModeSize {
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
};

// Implementations are callable from any thread and keep no per-call state, so
// two calls may run at once. The object must outlive every caller.
class DisplayService {
 public:
  virtual ~DisplayService() = default;

  // Number of active displays; absent when the platform call fails.
  virtual std::optional<std::uint32_t> activeDisplayCount() = 0;

  // Identifiers of the active displays in screen order, asking for at most
  // `maxCount`; absent when the platform call fails. Displays may come or go
  // between this and activeDisplayCount, so callers must not rely on the size
  // (a misbehaving platform may even return more than asked).
  virtual std::optional<std::vector<DisplayID>> activeDisplayList(std::uint32_t maxCount) = 0;

  // The main display's identifier; 0 when there is none.
  virtual DisplayID mainDisplayID() = 0;

  // Width and height in points of a display; 0 for an unknown display.
  virtual std::int64_t pixelsWide(DisplayID id) = 0;
  virtual std::int64_t pixelsHigh(DisplayID id) = 0;

  // The pixel size of the display's current mode; absent when the display has
  // no mode or is unknown.
  virtual std::optional<DisplayModeSize> currentModePixelSize(DisplayID id) = 0;

  // Why the display system cannot be reached at all (nothing answers where it
  // should be), naming the display; absent when it answers, whether or not it
  // lets us capture (that is preflightCaptureAccess). Never prompts.
  [[nodiscard]] virtual std::optional<std::string> unreachableReason() = 0;

  // True when screen capture is allowed right now. Never prompts.
  [[nodiscard]] virtual bool preflightCaptureAccess() = 0;

  // Asks for screen-capture access where the platform can prompt; returns
  // whether access is granted now.
  virtual bool requestCaptureAccess() = 0;
};

}  // namespace qx
