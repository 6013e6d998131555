#include "server/updates.h"
#include "HostCore/UpdateCheck.h"
#include "HostCore/UpdateRequest.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace qx::server {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

const auto quiet = [](std::string_view) {};

TEST(Manifest, ReadsRequiredAndOptionalMembers) {
  auto manifest =
      parseManifest(R"({"latest":"1.4.0","notes":{"en":"Fixes","zh":"修复"},"size":1234,"platform":"linux-x86_64",)"
                    R"("bundle":"Quorvex Host.app","extra":[1]})");
  ASSERT_TRUE(manifest.has_value());
  EXPECT_EQ(manifest->latest, "1.4.0");
  EXPECT_EQ(manifest->bundle, "Quorvex Host.app");
  EXPECT_EQ(manifest->size, 1234);
  EXPECT_EQ(manifest->platform, std::optional<std::string>("linux-x86_64"));
  ASSERT_TRUE(manifest->notes.has_value());
  EXPECT_EQ(manifest->notes->at("zh"), "修复");

  auto minimal = parseManifest(R"({"latest":"1.4","bundle":"a","notes":null,"size":null,"platform":null})");
  ASSERT_TRUE(minimal.has_value());
  EXPECT_FALSE(minimal->notes || minimal->size || minimal->platform);
}

TEST(Manifest, WrongShapesAreRefused) {
  for (const char* text :
       {"", "[]", "{}", R"({"latest":"1.4"})", R"({"bundle":"a"})", R"({"latest":1.4,"bundle":"a"})",
        R"({"latest":"1.4","bundle":"a","size":12.5})", R"({"latest":"1.4","bundle":"a","size":"12"})",
        R"({"latest":"1.4","bundle":"a","size":9223372036854775808})",
        R"({"latest":"1.4","bundle":"a","notes":{"en":1}})", R"({"latest":"1.4","bundle":"a","notes":"x"})",
        R"({"latest":"1.4","bundle":"a","platform":7})", R"({"latest":"1.4","bundle":"a"} trailing)"}) {
    EXPECT_FALSE(parseManifest(text).has_value()) << text;
  }
}

TEST(FeedPath, PlainPathsAndFileUrls) {
  EXPECT_EQ(feedPath("/srv/feed"), std::optional<std::string>("/srv/feed"));
  EXPECT_EQ(feedPath("relative/feed"), std::optional<std::string>("relative/feed"));
  EXPECT_EQ(feedPath("file:///srv/my%20feed"), std::optional<std::string>("/srv/my feed"));
  EXPECT_EQ(feedPath("file://localhost/srv/feed"), std::optional<std::string>("/srv/feed"));
  for (const char* url :
       {"", "https://example.invalid/feed", "file://otherhost/feed", "file:///a%2", "file:///a%00b", "file://"}) {
    EXPECT_FALSE(feedPath(url).has_value()) << url;
  }
}

TEST(SafeRelativePath, StaysInsideTheFeed) {
  EXPECT_TRUE(isSafeRelativePath("Quorvex Host.app"));
  EXPECT_TRUE(isSafeRelativePath("builds/1.4/Quorvex Host.app"));
  for (const char* path : {"", "/etc/passwd", "../x", "a/../../x", "a/./b", ".", "a//b", "a/"}) {
    EXPECT_FALSE(isSafeRelativePath(path)) << path;
  }
}

// A feed directory holding a manifest and an application bundle directory.
struct Feed {
  qx::test::TempDir dir;
  explicit Feed(const std::string& manifest) {
    qx::test::writeFile(dir.file("manifest.json"), manifest);
    fs::create_directories(dir.file("Quorvex Host.app/Contents/MacOS"));
    qx::test::writeFile(dir.file("Quorvex Host.app/Contents/Info.plist"), "plist");
    qx::test::writeFile(dir.file("Quorvex Host.app/Contents/MacOS/QuorvexHost"), "binary");
  }
};

const char* newerManifest =
    R"({"latest":"1.4.0","notes":{"en":"Fixes"},"size":10,"platform":"linux","bundle":"Quorvex Host.app"})";

TEST(RunUpdate, CheckReportsWhatTheFeedOffers) {
  Feed feed(newerManifest);
  std::vector<std::string> log;
  auto report = runUpdate(feed.dir.path(), "1.3.9", std::nullopt, [&](std::string_view l) { log.emplace_back(l); });
  EXPECT_TRUE(report.available);
  EXPECT_EQ(report.current, "1.3.9");
  EXPECT_EQ(report.latest, std::optional<std::string>("1.4.0"));
  EXPECT_EQ(report.size, 10);
  EXPECT_EQ(report.platform, std::optional<std::string>("linux"));
  EXPECT_FALSE(report.path || report.error);
  EXPECT_FALSE(log.empty());

  // The report the host reads back is the report printed.
  auto decoded = UpdateCheck::decode("[update] log line\n" + report.encode() + "\n\n");
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, report);

  EXPECT_FALSE(runUpdate(feed.dir.path(), "1.4", std::nullopt, quiet).available);   // equal
  EXPECT_FALSE(runUpdate(feed.dir.path(), "1.10", std::nullopt, quiet).available);  // newer installed
  EXPECT_TRUE(runUpdate("file://" + feed.dir.path(), "1.3", std::nullopt, quiet).available);
  EXPECT_TRUE(runUpdate(feed.dir.file("manifest.json"), "1.3", std::nullopt, quiet).available);
}

TEST(RunUpdate, ProblemsBecomeErrorsInTheReport) {
  struct Case {
    std::optional<std::string> url;
    const char* mentions;
  };
  qx::test::TempDir empty;
  Feed broken("{not json");
  const Case cases[] = {
      {std::nullopt, "no update source"},
      {std::string(), "no update source"},
      {std::string("https://example.invalid/"), "unsupported"},
      {empty.path(), "cannot read"},
      {broken.dir.path(), "malformed"},
  };
  for (const auto& c : cases) {
    auto report = runUpdate(c.url, "1.0", std::nullopt, quiet);
    EXPECT_FALSE(report.available);
    EXPECT_EQ(report.current, "1.0");
    ASSERT_TRUE(report.error.has_value());
    EXPECT_THAT(*report.error, HasSubstr(c.mentions));
  }
}

TEST(RunUpdate, DownloadCopiesTheBundleAndNamesIt) {
  Feed feed(newerManifest);
  qx::test::TempDir target;
  std::string dir = target.file("updates");  // created on demand
  fs::create_directories(dir + "/Quorvex Host.app/stale");
  auto report = runUpdate(feed.dir.path(), "1.3", dir, quiet);
  ASSERT_FALSE(report.error.has_value()) << *report.error;
  ASSERT_TRUE(report.path.has_value());
  EXPECT_EQ(*report.path, dir + "/Quorvex Host.app");
  EXPECT_EQ(qx::test::readFile(*report.path + "/Contents/MacOS/QuorvexHost"), "binary");
  EXPECT_FALSE(fs::exists(*report.path + "/stale"));  // leftovers of an earlier download are replaced
}

TEST(RunUpdate, DownloadKeepsOnlyTheOwnersExecuteBitOfEachMode) {
  Feed feed(newerManifest);
  struct Case {
    const char* path;
    unsigned feedMode, downloadedMode;
  };
  const std::vector<Case> cases = {
      {"Quorvex Host.app/Contents/MacOS/QuorvexHost", 04755, 0755},
      {"Quorvex Host.app/Contents/Info.plist", 0666, 0644},
      {"Quorvex Host.app/Contents/MacOS", 01777, 0755},
      {"Quorvex Host.app", 02775, 0755},
  };
  for (const Case& c : cases) ::chmod(feed.dir.file(c.path).c_str(), c.feedMode);
  qx::test::TempDir target;
  auto report = runUpdate(feed.dir.path(), "1.3", target.path(), quiet);
  ASSERT_FALSE(report.error.has_value()) << *report.error;
  for (const Case& c : cases) {
    struct stat st {};
    ASSERT_EQ(::stat(target.file(c.path).c_str(), &st), 0) << c.path;
    EXPECT_EQ(st.st_mode & 07777, c.downloadedMode) << c.path;
  }
}

TEST(RunUpdate, DownloadRefusesWhatItShouldNotFetch) {
  qx::test::TempDir target;
  struct Case {
    std::string manifest;
    std::string current;
    const char* mentions;
  };
  const Case cases[] = {
      {newerManifest, "1.4.0", "no newer version"},
      {R"({"latest":"2.0","bundle":"../outside"})", "1.0", "outside"},
      {R"({"latest":"2.0","bundle":"/etc"})", "1.0", "outside"},
      {R"({"latest":"2.0","bundle":"Missing.app"})", "1.0", "missing"},
      {R"({"latest":"2.0","bundle":"file.zip","size":3})", "1.0", "size"},
  };
  for (const auto& c : cases) {
    Feed feed(c.manifest);
    qx::test::writeFile(feed.dir.file("file.zip"), "four");
    auto report = runUpdate(feed.dir.path(), c.current, target.path(), quiet);
    EXPECT_FALSE(report.path.has_value()) << c.manifest;
    ASSERT_TRUE(report.error.has_value()) << c.manifest;
    EXPECT_THAT(*report.error, HasSubstr(c.mentions));
  }
  EXPECT_TRUE(fs::is_empty(target.path()));
}

// A reported path must not lead outside the download directory through a
// link in the bundle, however the link gets there.
TEST(RunUpdate, DownloadRefusesLinksLeadingOutsideTheBundle) {
  using Links = std::vector<std::pair<std::string, std::string>>;  // path in the feed, target
  struct Case {
    const char* what;
    std::string bundle;
    Links links;
  };
  const Case cases[] = {
      {"absolute", "Quorvex Host.app", {{"Quorvex Host.app/Contents/MacOS/sh", "/bin/sh"}}},
      {"upwards", "Quorvex Host.app", {{"Quorvex Host.app/Contents/up", "../../.."}}},
      {"dot-dot after a link",
       "Quorvex Host.app",
       {{"Quorvex Host.app/Contents/MacOS/top", "../.."}, {"Quorvex Host.app/Contents/MacOS/out", "top/.."}}},
      {"dangling", "Quorvex Host.app", {{"Quorvex Host.app/Contents/gone", "Missing"}}},
      {"loop", "Quorvex Host.app", {{"Quorvex Host.app/a", "b"}, {"Quorvex Host.app/b", "a"}}},
      {"the bundle itself", "Link.app", {{"Link.app", "Quorvex Host.app"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Feed feed(R"({"latest":"2.0","bundle":")" + c.bundle + R"("})");
    for (const auto& [path, target] : c.links) fs::create_symlink(target, feed.dir.file(path));
    qx::test::TempDir downloads;
    auto report = runUpdate(feed.dir.path(), "1.0", downloads.path(), quiet);
    EXPECT_FALSE(report.path.has_value());
    ASSERT_TRUE(report.error.has_value());
    EXPECT_THAT(*report.error, HasSubstr("outside"));
    EXPECT_TRUE(fs::is_empty(downloads.path()));  // the copy is removed again
  }
}

TEST(RunUpdate, DownloadKeepsLinksThatStayInside) {
  Feed feed(newerManifest);
  fs::create_symlink("MacOS", feed.dir.file("Quorvex Host.app/Contents/Current"));
  fs::create_symlink("../Current/../Info.plist", feed.dir.file("Quorvex Host.app/Contents/MacOS/plist"));
  qx::test::TempDir downloads;
  auto report = runUpdate(feed.dir.path(), "1.3", downloads.path(), quiet);
  ASSERT_FALSE(report.error.has_value()) << *report.error;
  ASSERT_TRUE(report.path.has_value());
  EXPECT_EQ(fs::read_symlink(*report.path + "/Contents/Current"), "MacOS");
  EXPECT_EQ(qx::test::readFile(*report.path + "/Contents/Current/plist"), "plist");
}

TEST(InstallRequest, OnlyVersionsPassAndComeOutPlain) {
  EXPECT_EQ(installRequestVersion(R"({"version":"1.4.0"})"), std::optional<std::string>("1.4.0"));
  EXPECT_EQ(installRequestVersion(R"({"version":" 1.4 ","other":1})"), std::optional<std::string>("1.4"));
  for (const char* body : {"", "1.4.0", "{}", R"({"version":1.4})", R"({"version":"latest"})",
                           R"({"version":"1.4\n[update] install requested 9.9"})", R"({"version":"01.4"})",
                           R"({"version":"1.4 now"})", R"(["1.4"])"}) {
    EXPECT_FALSE(installRequestVersion(body).has_value()) << body;
  }
}

TEST(InstallRequest, FileIsWhatTheHostAccepts) {
  qx::test::TempDir caches;
  ASSERT_FALSE(writeUpdateRequest(caches.path(), "1.4.0", 1'700'000'000.5).has_value());
  auto path = UpdateRequest::url(caches.path());
  auto bytes = qx::test::readFile(path.string());
  EXPECT_EQ(UpdateRequest::version(bytes, 1'700'000'060.0), std::optional<std::string>("1.4.0"));
  EXPECT_FALSE(UpdateRequest::version(bytes, 1'700'000'200.0).has_value());
  // Written through a temporary file: nothing else is left in the directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);

  qx::test::writeFile(caches.file("not-a-dir"), "");
  EXPECT_TRUE(writeUpdateRequest(caches.file("not-a-dir"), "1.4.0", 0).has_value());
}

}  // namespace
}  // namespace qx::server
