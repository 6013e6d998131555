#include "host/OutputSink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "HostCore/LogRotation.h"
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

struct Step {
  std::string chunk;
  std::vector<std::string> linesSoFar;
};

struct CutCase {
  const char* name;
  std::vector<Step> steps;
};

TEST(OutputSink, CutsLinesAcrossChunksAndLogsEveryByte) {
  const std::vector<CutCase> cases = {
      {"line split over chunks",
       {{"con", {}}, {"nected clients: 2\nab", {"connected clients: 2"}}, {"c\n", {"connected clients: 2", "abc"}}}},
      {"empty line", {{"a\n\nb\n", {"a", "", "b"}}}},
      {"carriage return kept", {{"line\r\n", {"line\r"}}}},
      {"invalid byte", {{"x\xFFy\n", {"x\uFFFDy"}}}},
      {"sequence split over chunks", {{"caf\xC3", {}}, {"\xA9\n", {"caf\u00E9"}}}},
      {"final line never delivered", {{"done\nrest", {"done"}}}},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const fs::path log = dir.file("Quorvex/host.log");
    std::string all;
    {
      Sink s(log);
      for (const Step& step : c.steps) {
        s.sink.consume(step.chunk);
        all += step.chunk;
        EXPECT_THAT(s.lines, ElementsAreArray(step.linesSoFar));
      }
    }
    EXPECT_EQ(test::readFile(log), all);
  }
}

TEST(OutputSink, RotatesAnOversizedLogWhenOpening) {
  for (const std::int64_t size : {LogRotation::maxBytes, LogRotation::maxBytes + 1}) {
    test::TempDir dir;
    const fs::path log = dir.file("host.log");
    test::writeFile(log, "");
    fs::resize_file(log, static_cast<std::uintmax_t>(size));
    Sink s(log);
    const bool rotated = size > LogRotation::maxBytes;
    EXPECT_EQ(fs::exists(dir.file("host.log.1")), rotated) << size;
    EXPECT_EQ(fs::file_size(log), rotated ? 0u : static_cast<std::uintmax_t>(size)) << size;
  }
}

TEST(OutputSink, ChunkCrossingTheLimitEndsTheOldGeneration) {
  test::TempDir dir;
  const fs::path log = dir.file("host.log");
  test::writeFile(log, std::string(10485000, 'o'));
  Sink s(log);
  s.sink.consume(std::string(999, 'a') + "\n");
  EXPECT_EQ(fs::file_size(dir.file("host.log.1")), 10486000u);
  EXPECT_EQ(fs::file_size(log), 0u);
  s.sink.consume("next\n");
  EXPECT_EQ(test::readFile(log), "next\n");
  EXPECT_THAT(s.lines, ElementsAre(std::string(999, 'a'), "next"));
}

TEST(OutputSink, UnwritableLogStillDeliversLines) {
  test::TempDir dir;
  test::writeFile(dir.file("plain-file"), "");
  // A full disk, and a log whose directory cannot exist.
  for (const fs::path& log : {fs::path("/dev/full"), fs::path(dir.file("plain-file/host.log"))}) {
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
    Sink s(dir.file("host.log"));
    // Chunks smaller than the cap, so the cut happens inside one of them.
    const std::string stream = line + "\nnext\n";
    for (std::size_t at = 0; at < stream.size(); at += 30000)
      s.sink.consume(std::string_view(stream).substr(at, 30000));
    EXPECT_THAT(s.lines, ElementsAre(line.substr(0, cap), "next")) << length;
    EXPECT_EQ(test::readFile(dir.file("host.log")), stream) << length;
  }
}

}  // namespace
}  // namespace qx::host
