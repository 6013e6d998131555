// HostSettings' JSON: whatever decodes, encodes to JSON that decodes to an
// equal value; the listen rules never contradict each other.

#include <string>
#include <string_view>

#include "HostCore/HostSettings.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto settings = qx::HostSettings::fromJson(json, &error);
  if (!settings) {
    QX_FUZZ_CHECK(!error.empty());
    return 0;
  }
  const std::string encoded = settings->toJson();
  const auto again = qx::HostSettings::fromJson(encoded);
  QX_FUZZ_CHECK(again.has_value());
  QX_FUZZ_CHECK(*again == *settings);
  QX_FUZZ_CHECK(again->toJson() == encoded);

  const auto port = settings->port();
  QX_FUZZ_CHECK(settings->validationError().has_value() == !(port && *port >= 1 && *port <= 65535));
  if (settings->listen.find(':') == std::string::npos) QX_FUZZ_CHECK(!port && !settings->bindHost());
  return 0;
}
