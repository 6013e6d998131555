// Control-channel input fed in arbitrary chunks: the lines, and the commands
// read from them, never depend on where the reads happened to split.

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "capture/control_channel.h"
#include "fuzz/check.h"

namespace {

std::vector<std::string> splitAll(qx::LineSplitter& splitter, const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  for (const std::string& chunk : chunks)
    for (std::string& line : splitter.feed(chunk)) lines.push_back(std::move(line));
  if (auto last = splitter.finish()) lines.push_back(std::move(*last));
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<std::string> chunks;
  std::string whole;
  while (input.remaining_bytes() > 0) {
    chunks.push_back(input.ConsumeRandomLengthString(64));
    whole += chunks.back();
  }
  qx::LineSplitter chunked;
  qx::LineSplitter once;
  const std::vector<std::string> lines = splitAll(chunked, chunks);
  QX_FUZZ_CHECK(lines == splitAll(once, {whole}));
  for (const std::string& line : lines) {
    QX_FUZZ_CHECK(line.size() <= qx::LineSplitter::kMaxLine);
    QX_FUZZ_CHECK(line.find('\n') == std::string::npos);
    // "bitrate " takes any decimal integer; the encoder clamps it.
    if (const auto command = qx::parseControlLine(line); command && line.starts_with("idr"))
      QX_FUZZ_CHECK(line == "idr" && std::holds_alternative<qx::KeyframeRequest>(*command));
  }
  return 0;
}
