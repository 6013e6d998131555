// The host's output sink over arbitrary chunk boundaries: the log holds every
// byte, one line is delivered per line feed, and each line is the UTF-8
// reading of its bytes, cut at the line cap.

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/text.h"
#include "fuzz/check.h"
#include "host/OutputSink.h"

namespace {

const std::filesystem::path& logFile() {
  static const std::filesystem::path path = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "qx-fuzz-sink-XXXXXX").string();
    QX_FUZZ_CHECK(::mkdtemp(dir.data()) != nullptr);
    return std::filesystem::path(dir) / "host.log";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<std::string> chunks;
  std::string whole;
  while (input.remaining_bytes() > 0) {
    // A long run of one byte now and then reaches the line cap cheaply.
    if (input.ConsumeIntegralInRange(0, 63) == 0) {
      chunks.emplace_back(input.ConsumeIntegralInRange<std::size_t>(1, 70'000), input.ConsumeIntegral<char>());
    } else {
      chunks.push_back(input.ConsumeRandomLengthString(128));
      if (chunks.back().empty()) chunks.back() = "\n";
    }
    whole += chunks.back();
  }

  std::filesystem::remove(logFile());
  std::vector<std::string> lines;
  {
    qx::host::OutputSink sink(logFile(), [&](const std::string& line) { lines.push_back(line); });
    for (const std::string& chunk : chunks) sink.consume(chunk);
    sink.close();
  }

  std::ifstream log(logFile(), std::ios::binary);
  QX_FUZZ_CHECK(std::string(std::istreambuf_iterator<char>(log), {}) == whole);

  std::vector<std::string> expected;
  for (std::size_t start = 0, end; (end = whole.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string bytes = whole.substr(start, std::min(end - start, qx::host::OutputSink::maxLineBytes));
    expected.push_back(qx::replaceInvalidUtf8(bytes));
  }
  QX_FUZZ_CHECK(lines == expected);
  return 0;
}
