// A device's install request file and the version rules: a request the host
// writes reads back within its age limit; version order is a strict order.

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "HostCore/HostVersion.h"
#include "HostCore/UpdateRequest.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // Seconds since 1970, from the distant past to centuries ahead.
  const double now = input.ConsumeFloatingPointInRange<double>(-1e10, 1e10);
  const std::string a = input.ConsumeRandomLengthString(64);
  const std::string b = input.ConsumeRandomLengthString(64);
  const std::string bytes = input.ConsumeRemainingBytesAsString();

  if (const auto version = qx::UpdateRequest::version(bytes, now)) QX_FUZZ_CHECK(qx::HostVersion::parse(*version));
  if (qx::HostVersion::parse(a)) QX_FUZZ_CHECK(qx::UpdateRequest::version(qx::UpdateRequest::encode(a, now), now) == a);

  QX_FUZZ_CHECK(!(qx::HostVersion::isNewer(a, b) && qx::HostVersion::isNewer(b, a)));
  QX_FUZZ_CHECK(!qx::HostVersion::isNewer(a, a));
  return 0;
}
