// The host's scanner over arbitrary lines of server output, with restarts of
// the server in between.

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "HostCore/HostOutputScanner.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  qx::HostOutputScanner scanner;
  while (input.remaining_bytes() > 0) {
    if (input.ConsumeIntegralInRange(0, 15) == 0) {
      scanner.hostStarted();
      QX_FUZZ_CHECK(scanner.connectedClients() == 0);
      QX_FUZZ_CHECK(!scanner.problem().has_value());
    }
    const std::string line = input.ConsumeRandomLengthString(256);
    scanner.scan(line);
    QX_FUZZ_CHECK(scanner.connectedClients() >= 0);
    // A request is handed out once.
    if (scanner.takeUpdateRequest()) QX_FUZZ_CHECK(!scanner.takeUpdateRequest().has_value());
  }
  return 0;
}
