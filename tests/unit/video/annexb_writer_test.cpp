#include "video/annexb_writer.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <csignal>
#include <cstdint>
#include <thread>
#include <vector>

namespace qx {
namespace {

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
};

TEST(AnnexBWriter, WritesWholeUnitsWithoutInterleaving) {
  Pipe p;
  AnnexBWriter writer(p.fds[1]);
  // Units larger than the pipe buffer force partial writes; two writers must
  // still produce whole units back to back.
  const std::vector<std::uint8_t> a(200'000, 0xAA);
  const std::vector<std::uint8_t> b(200'000, 0xBB);
  std::vector<std::uint8_t> got;
  std::thread reader([&] {
    std::uint8_t buf[65536];
    while (got.size() < a.size() + b.size()) {
      const ssize_t n = ::read(p.fds[0], buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
  });
  std::thread wa([&] { writer.write(a); });
  std::thread wb([&] { writer.write(b); });
  wa.join();
  wb.join();
  reader.join();
  ASSERT_EQ(got.size(), a.size() + b.size());
  const std::uint8_t first = got.front();
  const std::uint8_t second = first == 0xAA ? 0xBB : 0xAA;
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i], i < a.size() ? first : second) << "at " << i;
  }
}

TEST(AnnexBWriterDeathTest, ClosedReaderEndsProcessWithNonZeroStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto writeToClosedPipe = [] {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (::pipe(fds) != 0) ::_exit(99);
    ::close(fds[0]);
    AnnexBWriter writer(fds[1]);
    const std::uint8_t unit[] = {0, 0, 0, 1, 0x09, 0xF0};
    writer.write(unit);
    ::_exit(0);
  };
  EXPECT_EXIT(writeToClosedPipe(), ::testing::ExitedWithCode(1), "");
}

TEST(AnnexBWriterDeathTest, InvalidDescriptorEndsProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto writeToBadDescriptor = [] {
    AnnexBWriter writer(-1);
    const std::uint8_t unit[] = {0, 0, 0, 1, 0x09, 0xF0};
    writer.write(unit);
    ::_exit(0);
  };
  EXPECT_EXIT(writeToBadDescriptor(), ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace qx
