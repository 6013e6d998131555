// The helper's command line: argument vectors cut from the input at NUL bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "capture/options.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args;
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\0', start), input.size());
    args.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  const qx::Options options = qx::parseArgs(args);
  QX_FUZZ_CHECK(options.fps >= 1);
  QX_FUZZ_CHECK(options.maxWidth >= 0);
  QX_FUZZ_CHECK(options.display >= 0);
  bool listed = false;
  for (const std::string& arg : args) {
    listed |= arg == qx::kListDisplaysFlag;
    (void)qx::parseBitrate(arg);  // never fails, whatever the text
  }
  QX_FUZZ_CHECK(qx::wantsDisplayList(args) == listed);
  // Parsing depends on nothing but the arguments.
  QX_FUZZ_CHECK(qx::parseArgs(args) == options);
  return 0;
}
