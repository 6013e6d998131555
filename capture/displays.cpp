#include "capture/displays.h"

#include <unistd.h>
#include <algorithm>

#include <nlohmann/json.hpp>

#include "common/fd.h"

namespace qx {

std::vector<DisplayID> orderedDisplayIDs(DisplayService& displays) {
  const auto count = displays.activeDisplayCount();
  if (!count || *count == 0) return {};
  auto ids = displays.activeDisplayList(*count);
  if (!ids) return {};
  if (ids->size() > *count) ids->resize(*count);

  const DisplayID mainID = displays.mainDisplayID();
  auto it = std::find(ids->begin(), ids->end(), mainID);
  if (it != ids->end()) std::rotate(ids->begin(), it, it + 1);
  return std::move(*ids);
}

std::optional<ShareableDisplay> chooseCaptureDisplay(std::int64_t display, std::span<const DisplayID> ordered,
                                                     DisplayID mainDisplay, std::span<const ShareableDisplay> offered) {
  DisplayID wanted = mainDisplay;
  if (!ordered.empty()) {
    const auto last = static_cast<std::int64_t>(ordered.size()) - 1;
    wanted = ordered[static_cast<std::size_t>(std::clamp<std::int64_t>(display, 0, last))];
  }
  auto byID = [&](DisplayID id) {
    return std::find_if(offered.begin(), offered.end(), [id](const ShareableDisplay& d) { return d.displayID == id; });
  };
  if (auto it = byID(wanted); it != offered.end()) return *it;
  if (auto it = byID(mainDisplay); it != offered.end()) return *it;
  if (!offered.empty()) return offered.front();
  return std::nullopt;
}

PixelSize displayPixelSize(DisplayService& displays, const ShareableDisplay& display) {
  const auto mode = displays.currentModePixelSize(display.displayID);
  if (!mode || mode->pixelWidth <= 0 || mode->pixelHeight <= 0) return {display.width, display.height};
  PixelSize size{mode->pixelWidth, mode->pixelHeight};
  // A quarter-turned display reports its mode unrotated; follow the points.
  const bool modeLandscape = size.height < size.width;
  const bool pointsLandscape = display.height < display.width;
  if (modeLandscape != pointsLandscape) std::swap(size.width, size.height);
  return size;
}

std::string displayListJson(DisplayService& displays) {
  const DisplayID mainID = displays.mainDisplayID();
  const auto ids = orderedDisplayIDs(displays);
  try {
    auto list = nlohmann::json::array();
    for (std::size_t i = 0; i < ids.size(); ++i) {
      list.push_back({
          {"height", displays.pixelsHigh(ids[i])},
          {"index", i},
          {"name", "Display " + std::to_string(i + 1)},
          {"primary", ids[i] == mainID},
          {"width", displays.pixelsWide(ids[i])},
      });
    }
    // nlohmann's object keeps its keys sorted; dump() without indent is compact.
    return list.dump();
  } catch (const nlohmann::json::exception&) {
    return "[]";
  }
}

void listDisplaysAndExit(DisplayService& displays) {
  const std::string json = displayListJson(displays);
  // Nothing is left to tell about a failed write: the status stays 0.
  (void)writeFully(STDOUT_FILENO, json.data(), json.size());
  ::_exit(0);
}

}  // namespace qx
