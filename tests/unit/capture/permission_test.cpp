#include "capture/permission.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/fake_display_service.h"

namespace qx {
namespace {

TEST(CheckCaptureAccess, GrantedLogsNothingAndAsksNothing) {
  test::FakeDisplayService fake;
  std::vector<std::string> lines;
  EXPECT_TRUE(checkCaptureAccess(fake, [&](std::string_view m) { lines.emplace_back(m); }));
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(fake.requestCalls(), 0);
}

TEST(CheckCaptureAccess, MissingLogsTheMessageOnceAndRequestsOnce) {
  test::FakeDisplayService fake;
  fake.setAccessGranted(false);
  std::vector<std::string> lines;
  EXPECT_FALSE(checkCaptureAccess(fake, [&](std::string_view m) { lines.emplace_back(m); }));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], kPermissionMissingMessage);
  // The host looks for these leading words.
  EXPECT_TRUE(lines[0].starts_with("Screen Recording permission missing: "));
  EXPECT_TRUE(lines[0].ends_with("然后重启 host。"));
  EXPECT_EQ(lines[0].find('\n'), std::string::npos);
  EXPECT_EQ(fake.requestCalls(), 1);
}

}  // namespace
}  // namespace qx
