// Restart back-off, log rotation and local addresses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "HostCore/LocalAddress.h"
#include "HostCore/LogRotation.h"
#include "HostCore/RestartBackoff.h"
#include "tests/support/temp_dir.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

// The kind with that raw value; absent outside 0..2.
std::optional<LocalAddress::Kind> kindFromRaw(std::int64_t raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<LocalAddress::Kind>(raw);
}

TEST(RestartBackoff, ShortRunsDoubleUpToTheCap) {
  RestartBackoff b;
  for (double expected : {1.0, 2.0, 4.0, 8.0, 16.0, 30.0, 30.0}) EXPECT_EQ(b.nextDelay(5), expected);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(b.nextDelay(0), 30.0);
}

TEST(RestartBackoff, HealthyRunRestartsTheSequence) {
  RestartBackoff b;
  EXPECT_EQ(b.nextDelay(1), 1.0);
  EXPECT_EQ(b.nextDelay(1), 2.0);
  EXPECT_EQ(b.nextDelay(1), 4.0);
  EXPECT_EQ(b.nextDelay(60.0), 1.0);
  EXPECT_EQ(b.nextDelay(1), 2.0);
  EXPECT_EQ(b.nextDelay(59.999), 4.0);
  EXPECT_EQ(b.nextDelay(3600), 1.0);
  EXPECT_EQ(b.nextDelay(std::nan("")), 2.0);  // an unknown run time is not healthy
}

TEST(RestartBackoff, ResetForgetsFailures) {
  RestartBackoff b;
  b.nextDelay(1);
  b.nextDelay(1);
  b.nextDelay(1);
  b.reset();
  EXPECT_EQ(b.nextDelay(1), 1.0);
  EXPECT_EQ(b.nextDelay(1), 2.0);
}

void writeBytes(const fs::path& path, std::size_t n, char fill) {
  std::ofstream out(path, std::ios::binary);
  out << std::string(n, fill);
}

TEST(LogRotation, RotatesOnlyAboveTheLimitIntoOneBackup) {
  test::TempDir dir;
  const fs::path log = fs::path(dir.path()) / "host.log";
  const fs::path backup = fs::path(dir.path()) / "host.log.1";

  EXPECT_FALSE(LogRotation::rotateIfNeeded(log, LogRotation::maxBytes));  // missing

  writeBytes(log, 10485760, 'a');
  EXPECT_FALSE(LogRotation::rotateIfNeeded(log, LogRotation::maxBytes));
  EXPECT_TRUE(fs::exists(log));
  EXPECT_FALSE(fs::exists(backup));

  writeBytes(backup, 3, 'o');  // an older backup is replaced
  writeBytes(log, 10485761, 'b');
  EXPECT_TRUE(LogRotation::rotateIfNeeded(log, LogRotation::maxBytes));
  EXPECT_FALSE(fs::exists(log));
  EXPECT_EQ(fs::file_size(backup), 10485761u);

  writeBytes(log, 5, 'c');
  EXPECT_FALSE(LogRotation::rotateIfNeeded(log, 5));
  EXPECT_TRUE(LogRotation::rotateIfNeeded(log, 4));
  EXPECT_EQ(test::readFile(backup.string()), "ccccc");
  EXPECT_FALSE(fs::exists(fs::path(dir.path()) / "host.log.1.1"));
}

TEST(LogRotation, FailuresLeaveTheLogInPlace) {
  test::TempDir dir;
  const fs::path log = fs::path(dir.path()) / "host.log";
  // A backup that cannot be deleted (a non-empty directory) blocks the rename.
  fs::create_directories(fs::path(dir.path()) / "host.log.1" / "keep");
  writeBytes(log, 10, 'x');
  EXPECT_FALSE(LogRotation::rotateIfNeeded(log, 1));
  EXPECT_EQ(test::readFile(log.string()), std::string(10, 'x'));
  // A directory has no file size to read.
  EXPECT_FALSE(LogRotation::rotateIfNeeded(fs::path(dir.path()), -1));
}

using Kind = LocalAddress::Kind;

TEST(LocalAddressClassify, RangesAndExclusions) {
  const std::pair<const char*, std::optional<Kind>> cases[] = {
      {"100.64.0.1", Kind::tailnet},    {"100.127.255.255", Kind::tailnet},
      {"100.63.0.1", Kind::other},      {"100.128.0.1", Kind::other},
      {"10.0.0.5", Kind::lan},          {"172.16.0.1", Kind::lan},
      {"172.31.255.1", Kind::lan},      {"172.15.0.1", Kind::other},
      {"172.32.0.1", Kind::other},      {"192.168.1.20", Kind::lan},
      {"192.169.0.1", Kind::other},     {"8.8.8.8", Kind::other},
      {"169.1.2.3", Kind::other},       {"169.254.3.4", std::nullopt},
      {"127.0.0.1", std::nullopt},      {"127.255.0.9", std::nullopt},
      {"0.0.0.0", std::nullopt},        {"0.1.2.3", std::nullopt},
      {"10.0.0.5.7", std::nullopt},     {"10.0.0", std::nullopt},
      {"fe80::1", std::nullopt},        {"", std::nullopt},
      {"10.x.0.0.1", Kind::lan},        {"..10...0.0.1..", Kind::lan},
      {"10.256.0.0.1", Kind::lan},      {"300.1.2.3", std::nullopt},
      {"255.255.255.255", Kind::other},
  };
  for (const auto& [ip, kind] : cases) {
    SCOPED_TRACE(ip);
    EXPECT_EQ(LocalAddress::classify(ip), kind);
  }
}

TEST(LocalAddressKind, RawValuesAndOrder) {
  EXPECT_EQ(kindFromRaw(0), Kind::tailnet);
  EXPECT_EQ(kindFromRaw(1), Kind::lan);
  EXPECT_EQ(kindFromRaw(2), Kind::other);
  EXPECT_EQ(kindFromRaw(3), std::nullopt);
  EXPECT_EQ(kindFromRaw(-1), std::nullopt);
  EXPECT_LT(Kind::tailnet, Kind::lan);
  EXPECT_LT(Kind::lan, Kind::other);
}

TEST(LocalAddressRank, SortsStablyByKindAndDropsDuplicatesAndExcluded) {
  EXPECT_THAT(LocalAddress::rank({"127.0.0.1", "192.168.1.20", "100.101.102.103", "10.0.0.5"}),
              testing::ElementsAre(LocalAddress{"100.101.102.103", Kind::tailnet},
                                   LocalAddress{"192.168.1.20", Kind::lan}, LocalAddress{"10.0.0.5", Kind::lan}));
  EXPECT_THAT(LocalAddress::rank({"8.8.8.8", "169.254.3.4", "10.1.1.1", "0.0.0.0", "8.8.8.8", "10.1.1.1", "1.1.1.1"}),
              testing::ElementsAre(LocalAddress{"10.1.1.1", Kind::lan}, LocalAddress{"8.8.8.8", Kind::other},
                                   LocalAddress{"1.1.1.1", Kind::other}));
  EXPECT_TRUE(LocalAddress::rank({}).empty());
  EXPECT_TRUE(LocalAddress::rank({"127.0.0.1", "127.0.0.1"}).empty());
}

TEST(LocalAddressCurrent, ListsThisMachineRankedWithoutLoopback) {
  const auto addresses = LocalAddress::current();
  std::set<std::string> seen;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const auto& a = addresses[i];
    SCOPED_TRACE(a.ip);
    EXPECT_EQ(LocalAddress::classify(a.ip), a.kind);
    EXPECT_TRUE(seen.insert(a.ip).second);
    if (i > 0) {
      EXPECT_LE(addresses[i - 1].kind, a.kind);
    }
  }
}

}  // namespace
}  // namespace qx
