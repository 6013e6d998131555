#pragma once
// The outputs of a Wayland compositor, as the display list needs them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::wayland {

struct Output {
  std::string name;    // e.g. "HDMI-A-1"; stable while the output exists
  std::int32_t x = 0;  // logical position in the compositor's space
  std::int32_t y = 0;
  std::int32_t logicalWidth = 0;
  std::int32_t logicalHeight = 0;
  std::int32_t pixelWidth = 0;  // the current mode, unrotated
  std::int32_t pixelHeight = 0;
};

// A display id for an output name: the same name always gives the same id, never 0.
std::uint32_t outputId(std::string_view name);

// Screen order: left to right, then top to bottom (as the X11 monitors).
void sortOutputs(std::vector<Output>& outputs);

// The output granted by a screen cast whose stream sits at (x, y) with size (width, height):
// the one at that position, preferring the one of that logical size. Absent when none is there.
std::optional<Output> outputAt(const std::vector<Output>& outputs, std::int32_t x, std::int32_t y, std::int32_t width,
                               std::int32_t height);

// Asks the compositor named by `display` (empty: $WAYLAND_DISPLAY) for its outputs, sorted.
// Absent when it cannot be reached. Opens and closes a connection of its own; any thread.
std::optional<std::vector<Output>> listOutputs(const std::string& display = {});

}  // namespace qx::wayland
