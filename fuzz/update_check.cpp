// The updater's report: whatever decodes is written back as one line that
// decodes equal, also after other output before it.

#include <string>
#include <string_view>

#include "HostCore/UpdateCheck.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view output(reinterpret_cast<const char*>(data), size);
  const auto report = qx::UpdateCheck::decode(output);
  if (!report) return 0;
  const std::string line = report->encode();
  QX_FUZZ_CHECK(qx::UpdateCheck::decode(line) == report);
  QX_FUZZ_CHECK(qx::UpdateCheck::decode("progress 50%\n" + line + "\n  \n") == report);
  (void)qx::notes(*report, true);
  (void)qx::notes(*report, false);
  return 0;
}
