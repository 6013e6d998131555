// A viewer's data-channel messages: whatever arrives, a message that parses
// is within the bounds the injector relies on, and costs at least one event.

#include <cmath>
#include <string_view>
#include <variant>

#include "fuzz/check.h"
#include "server/input/input_message.h"
#include "server/input/keysyms.h"

namespace {

bool unit(double v) { return std::isfinite(v) && v >= 0.0 && v <= 1.0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qx::server::input;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto message = parseViewerMessage(text);
  if (!message) return 0;
  QX_FUZZ_CHECK(size <= kMaxMessageBytes);
  QX_FUZZ_CHECK(eventCost(*message) >= 1);
  if (const auto* m = std::get_if<PointerMove>(&*message)) QX_FUZZ_CHECK(unit(m->x) && unit(m->y));
  if (const auto* b = std::get_if<ButtonEvent>(&*message)) {
    QX_FUZZ_CHECK(b->button >= 0 && b->button <= 2);
    if (b->at) QX_FUZZ_CHECK(unit(b->at->x) && unit(b->at->y));
  }
  if (const auto* w = std::get_if<WheelEvent>(&*message)) {
    QX_FUZZ_CHECK(std::abs(w->dx) <= kMaxWheelSteps && std::abs(w->dy) <= kMaxWheelSteps);
  }
  if (const auto* k = std::get_if<KeyEvent>(&*message)) {
    QX_FUZZ_CHECK(!k->key.empty() && k->key.size() <= kMaxKeyBytes && k->code.size() <= kMaxKeyBytes);
    (void)keysymForDomKey(k->key, k->code);
  }
  if (const auto* t = std::get_if<TextEvent>(&*message)) {
    QX_FUZZ_CHECK(t->text.size() <= kMaxTextChars);
    for (char32_t c : t->text) {
      QX_FUZZ_CHECK(c <= 0x10ffff);
      (void)keysymForCharacter(c);
    }
  }
  return 0;
}
