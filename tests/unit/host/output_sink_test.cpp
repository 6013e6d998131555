#include "host/OutputSink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace qx::host {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
namespace fs = std::filesystem;

struct Sink {
  explicit Sink(const fs::path& log) : sink(log, [this](const std::string& line) { lines.push_back(line); }) {}
  std::vector<std::string> lines;
  OutputSink sink;
};

TEST(OutputSink, CutsLinesAcrossChunksAndLogsEveryByte) {
  // Each step: a chunk, and every line delivered once it is consumed.
  using Steps = std::vector<std::pair<std::string, std::vector<std::string>>>;
  const std::vector<Steps> cases = {
      {{"con", {}}, {"nected clients: 2\nab", {"connected clients: 2"}}, {"c\n", {"connected clients: 2", "abc"}}},
      {{"a\n\nb\n", {"a", "", "b"}}},
      {{"line\r\n", {"line\r"}}},
      {{"x\xFFy\n", {"x\uFFFDy"}}},
      {{"caf\xC3", {}}, {"\xA9\n", {"caf\u00E9"}}},
      {{"done\nrest", {"done"}}},
  };
  for (const Steps& steps : cases) {
    SCOPED_TRACE(steps.front().first);
    test::TempDir dir;
    std::string all;
    {
      Sink s(dir.file("Quorvex/host.log"));
      for (const auto& [chunk, lines] : steps) {
        s.sink.consume(chunk);
        all += chunk;
        EXPECT_THAT(s.lines, ElementsAreArray(lines));
      }
    }
    EXPECT_EQ(test::readFile(dir.file("Quorvex/host.log")), all);
  }
}

TEST(OutputSink, RotatesPastTenMebibytesOnOpenAndAfterTheCrossingChunk) {
  test::TempDir dir;
  const std::string log = dir.file("host.log");
  for (const std::uintmax_t size : {10485760u, 10485761u}) {
    test::writeFile(log, "");
    fs::resize_file(log, size);
    Sink s(log);
    EXPECT_EQ(fs::exists(log + ".1"), size == 10485761u);
    EXPECT_EQ(fs::file_size(log), size == 10485761u ? 0u : size);
  }
  test::writeFile(log, std::string(10485000, 'o'));
  Sink s(log);
  s.sink.consume(std::string(1000, '\n'));
  EXPECT_EQ(fs::file_size(log + ".1"), 10486000u);
  s.sink.consume("next\n");
  EXPECT_EQ(test::readFile(log), "next\n");
}

TEST(OutputSink, UnwritableLogStillDeliversLines) {
  test::TempDir dir;
  test::writeFile(dir.file("plain-file"), "");
  // A full disk, and a log whose directory cannot exist.
  for (const std::string& log : {std::string("/dev/full"), dir.file("plain-file/host.log")}) {
    Sink s(log);
    s.sink.consume("one\ntw");
    s.sink.consume("o\n");
    EXPECT_THAT(s.lines, ElementsAre("one", "two")) << log;
  }
}

TEST(OutputSink, LongLinesAreCutAtTheCapButLoggedWhole) {
  constexpr std::size_t cap = OutputSink::maxLineBytes;
  for (const std::size_t length : {cap, cap + 1, 3 * cap}) {
    test::TempDir dir;
    const std::string line(length, 'x');
    const std::string stream = line + "\nnext\n";
    Sink s(dir.file("host.log"));
    // Chunks smaller than the cap, so the cut falls inside one of them.
    for (std::size_t at = 0; at < stream.size(); at += 30000)
      s.sink.consume(std::string_view(stream).substr(at, 30000));
    EXPECT_THAT(s.lines, ElementsAre(line.substr(0, cap), "next")) << length;
    EXPECT_EQ(test::readFile(dir.file("host.log")), stream) << length;
  }
}

}  // namespace
}  // namespace qx::host
