#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::test {
namespace {

namespace fs = std::filesystem;

RunResult tool(std::vector<std::string> args) {
  Process::Options options;
  options.args = {buildPath("tools/quorvex-bundle")};
  options.args.insert(options.args.end(), args.begin(), args.end());
  return run(options);
}

class BundleTool : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(app / "Contents/MacOS");
    writeFile(app / "Contents/MacOS/QuorvexHost", "#!/bin/sh\n");
    fs::permissions(app / "Contents/MacOS/QuorvexHost", fs::perms(0755));
    writeFile(app / "Contents/Info.plist",
              "<plist><dict><key>CFBundleShortVersionString</key><string>1.4</string></dict></plist>\n");
  }

  TempDir dir;
  fs::path app = fs::path(dir.path()) / "Quorvex Host.app";
  std::string pub = dir.file("key.pub");
  std::string sec = dir.file("key.sec");
};

TEST_F(BundleTool, KeygenSignVerify) {
  auto made = tool({"keygen", pub, sec});
  ASSERT_EQ(made.status, 0) << made.err;
  struct stat st {};
  ASSERT_EQ(::stat(sec.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(tool({"keygen", pub, dir.file("other.sec")}).status, 0) << "an existing key file was replaced";

  auto signedBundle = tool({"sign", "--key", sec, app});
  ASSERT_EQ(signedBundle.status, 0) << signedBundle.err;
  auto verified = tool({"verify", "--key", pub, "--version", "1.4", app});
  EXPECT_EQ(verified.status, 0) << verified.err;

  auto wrongVersion = tool({"verify", "--key", pub, "--version", "1.4.0", app});
  EXPECT_EQ(wrongVersion.status, 1);
  EXPECT_EQ(wrongVersion.err, "The update's version doesn't match the manifest\n");

  writeFile(app / "Contents/MacOS/QuorvexHost", "#!/bin/sh\nexit 1\n");
  auto tampered = tool({"verify", "--key", pub, app});
  EXPECT_EQ(tampered.status, 1);
  EXPECT_EQ(tampered.err, "The update's signature is invalid (-10)\n");
}

// minisign signs with our secret key, and what it signs verifies with our public key.
TEST_F(BundleTool, MinisignUsesOurKeys) {
  std::string minisign = findOnPath("minisign");
  if (minisign.empty()) GTEST_SKIP() << "minisign is not installed (scripts/deps.sh installs it)";
  ASSERT_EQ(tool({"keygen", pub, sec}).status, 0);
  std::string file = dir.file("message");
  writeFile(file, "hello");
  Process::Options options;
  options.args = {minisign, "-S", "-s", sec, "-m", file};
  auto signature = run(options);
  ASSERT_EQ(signature.status, 0) << signature.err;
  options.args = {minisign, "-Vm", file, "-p", pub};
  auto verified = run(options);
  EXPECT_EQ(verified.status, 0) << verified.err;
}

// Without --key the build's pinned key decides: the committed test key, or
// none at all, which refuses everything.
TEST_F(BundleTool, VerifyDefaultsToThePinnedKey) {
  std::string testPub = sourcePath("tests/keys/TEST-ONLY-update-key.pub");
  ASSERT_EQ(tool({"sign", "--key", sourcePath("tests/keys/TEST-ONLY-update-key.sec"), app}).status, 0);
  auto pinned = tool({"pinned-key-id"});
  auto testKey = tool({"key-id", testPub});
  ASSERT_EQ(testKey.status, 0) << testKey.err;
  EXPECT_EQ(testKey.out, "9D6D180606CDAD3C\n");
  auto verified = tool({"verify", app});
  if (pinned.status != 0) {
    EXPECT_EQ(verified.err, "The update's signature is invalid (-1)\n");
  } else if (pinned.out == testKey.out) {
    EXPECT_EQ(verified.status, 0) << verified.err;
  } else {
    EXPECT_EQ(verified.err, "The update's signature is invalid (-4)\n");
  }
  EXPECT_EQ(verified.status == 0, pinned.status == 0 && pinned.out == testKey.out);
}

TEST_F(BundleTool, UsageErrors) {
  const std::vector<std::string> cases[] = {
      {},
      {"frobnicate"},
      {"keygen", pub},
      {"sign", app},
      {"sign", "--key"},
      {"verify"},
      {"verify", "--version"},
      {"verify", "--force", app},
      {"verify", app, app},
      {"pinned-key-id", "extra"},
  };
  for (const auto& args : cases) {
    auto result = tool(args);
    EXPECT_EQ(result.status, 2) << testing::PrintToString(args);
    EXPECT_NE(result.err.find("usage: quorvex-bundle"), std::string::npos) << result.err;
  }
  auto badKey = tool({"sign", "--key", sourcePath("tests/keys/TEST-ONLY-update-key.pub"), app});
  EXPECT_EQ(badKey.status, 1);
  EXPECT_NE(badKey.err.find("is not an unencrypted minisign secret key"), std::string::npos) << badKey.err;
}

}  // namespace
}  // namespace qx::test
