#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSettings>
#include <set>
#include <string>
#include <vector>

#include "host/Permissions.h"
#include "host/SettingsStore.h"
#include "host/TokenStore.h"
#include "tests/fakes/fake_keyring.h"
#include "tests/support/temp_dir.h"

namespace qx::host {
namespace {

using ::testing::ElementsAre;

QString iniIn(const test::TempDir& dir) { return QString::fromStdString(dir.file("Quorvex/QuorvexHost.conf")); }

TEST(SettingsStore, FreshAccountReadsDefaults) {
  test::TempDir dir;
  const SettingsStore store(iniIn(dir));
  EXPECT_EQ(store.load(), HostSettings{});
  EXPECT_FALSE(store.configured());
  EXPECT_TRUE(store.autoCheckUpdates());
  EXPECT_TRUE(store.ltr());
  EXPECT_EQ(store.updateURLOverride(), std::nullopt);
}

TEST(SettingsStore, SavedJsonReadsBackByteForByte) {
  test::TempDir dir;
  SettingsStore store(iniIn(dir));
  HostSettings settings;
  settings.listen = "[::1]:9000";
  settings.bitrate = "8M, \"quoted\"; #not a comment @ é 中";
  settings.rateControl = "=cbr\\";
  store.save(settings);
  EXPECT_EQ(store.load(), settings);
  EXPECT_EQ(QSettings(store.path(), QSettings::IniFormat).value("hostSettings").toString().toStdString(),
            settings.toJson());
  EXPECT_TRUE(store.configured());
}

struct IniCase {
  const char* ini;
  bool configured;
  bool autoCheckUpdates;
  bool ltr;
  std::optional<std::string> updateURL;
  bool defaultSettings;
};

TEST(SettingsStore, TypedReadsAreDecidedByTheStoredText) {
  const auto none = std::nullopt;
  const std::vector<IniCase> cases = {
      {"configured=true\nautoCheckUpdates=false\nltr=false\nupdateURL=https://u.example/feed\n", true, false, false,
       "https://u.example/feed", true},
      {"configured=yes\nautoCheckUpdates=no\nltr=no\nupdateURL=\n", false, true, true, none, true},
      {"configured=1\nautoCheckUpdates=0\nltr=FALSE\nupdateURL=\"\"\n", false, true, true, none, true},
      {"updateURL=a,b\n", false, true, true, none, true},  // a list, not text
      {"updateURL=\"a,b\"\n", false, true, true, "a,b", true},
      // JSON without "rateControl" gives the full defaults; with it, the stored values.
      {R"(hostSettings="{\"listen\":\":9000\",\"audio\":false,\"fps\":60,\"bitrate\":\"8M\",\"maxWidth\":1280}")",
       false, true, true, none, true},
      {R"(hostSettings="{\"listen\":\":9000\",\"audio\":false,\"fps\":60,\"bitrate\":\"8M\",\"maxWidth\":1280,)"
       R"(\"rateControl\":\"cbr\"}")",
       false, true, true, none, false},
  };
  for (const IniCase& c : cases) {
    SCOPED_TRACE(c.ini);
    test::TempDir dir;
    test::writeFile(dir.file("QuorvexHost.conf"), std::string("[General]\n") + c.ini + "\n");
    const SettingsStore store(QString::fromStdString(dir.file("QuorvexHost.conf")));
    EXPECT_EQ(store.configured(), c.configured);
    EXPECT_EQ(store.autoCheckUpdates(), c.autoCheckUpdates);
    EXPECT_EQ(store.ltr(), c.ltr);
    EXPECT_EQ(store.updateURLOverride(), c.updateURL);
    EXPECT_EQ(store.load() == HostSettings{}, c.defaultSettings);
  }
}

struct PermissionsHarness {
  explicit PermissionsHarness(const QString& ini)
      : settings(ini),
        permissions(settings,
                    {[this] { events.emplace_back("prompt screen"); }, [this] { events.emplace_back("prompt input"); },
                     [this](const std::string& anchor) { events.push_back("page " + anchor); }}) {}
  std::vector<std::string> events;
  SettingsStore settings;
  Permissions permissions;
};

TEST(Permissions, FirstRequestPromptsLaterOnesOpenThePageEachKindOnItsOwn) {
  test::TempDir dir;
  PermissionsHarness h(iniIn(dir));
  h.permissions.requestAccessibility();
  h.permissions.requestScreenRecording();
  h.permissions.requestScreenRecording();
  h.permissions.requestAccessibility();
  EXPECT_THAT(h.events,
              ElementsAre("prompt input", "prompt screen", "page Privacy_ScreenCapture", "page Privacy_Accessibility"));
}

TEST(Permissions, FlagSetFromOutsideOpensThePageFirst) {
  test::TempDir dir;
  test::writeFile(dir.file("QuorvexHost.conf"), "[General]\naskedScreenRecording=true\n");
  PermissionsHarness h(QString::fromStdString(dir.file("QuorvexHost.conf")));
  h.permissions.requestScreenRecording();
  EXPECT_THAT(h.events, ElementsAre("page Privacy_ScreenCapture"));
}

TEST(Permissions, MissingDesktopHooksStillSetTheFlags) {
  test::TempDir dir;
  SettingsStore settings(iniIn(dir));
  Permissions permissions(settings, {});
  permissions.requestScreenRecording();
  permissions.requestScreenRecording();
  EXPECT_TRUE(settings.flag("askedScreenRecording"));
  EXPECT_FALSE(settings.flag("askedAccessibility"));
}

struct LoadCase {
  const char* name;
  bool failing;
  std::optional<std::string> item;
  std::optional<std::string> file;
  std::optional<std::string> expected;
};

TEST(TokenStore, LoadPrefersTheItemAndNeverReadsAFailingKeyringAsNoToken) {
  const std::vector<LoadCase> cases = {
      {"item wins", false, "k", "f", "k"},
      {"nothing stored", false, std::nullopt, std::nullopt, ""},
      {"no item, file", false, std::nullopt, "f", "f"},
      {"failing, file", true, std::nullopt, "f", "f"},
      {"failing, empty file", true, std::nullopt, "", ""},
      {"failing, no file", true, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    fake::FakeKeyring keyring;
    keyring.item = c.item;
    keyring.failing = c.failing;
    if (c.file) test::writeFile(dir.file("token"), *c.file);
    EXPECT_EQ(TokenStore(keyring, dir.file("token")).load(), c.expected);
  }
}

TEST(TokenStore, SavesInTheKeyringAndRemovesTheFile) {
  test::TempDir dir;
  fake::FakeKeyring keyring;
  TokenStore tokens(keyring, dir.file("token"));
  test::writeFile(dir.file("token"), "old");
  for (const std::string token : {"abc", ""}) {
    EXPECT_TRUE(tokens.save(token));
    EXPECT_EQ(tokens.load(), token);
    EXPECT_FALSE(std::filesystem::exists(dir.file("token")));
  }
  EXPECT_EQ(keyring.item, std::nullopt);
}

TEST(TokenStore, FailingKeyringGetsAPrivateFileInstead) {
  test::TempDir dir;
  fake::FakeKeyring keyring;
  keyring.failing = true;
  TokenStore tokens(keyring, dir.file("Quorvex/token"));
  for (const std::string token : {"first", "second", ""}) {
    ASSERT_TRUE(tokens.save(token));
    EXPECT_EQ(test::readFile(dir.file("Quorvex/token")), token);
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("Quorvex/token").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(tokens.load(), token);
  }
  using Entries = std::filesystem::directory_iterator;
  EXPECT_EQ(std::distance(Entries(dir.file("Quorvex")), Entries()), 1);  // no temporary file left behind
  keyring.failing = false;
  ASSERT_TRUE(tokens.save("back"));
  EXPECT_EQ(keyring.item, "back");
  EXPECT_FALSE(std::filesystem::exists(dir.file("Quorvex/token")));
}

TEST(TokenStore, RandomTokensUseTheWholeAlphabetAndNothingElse) {
  const std::string alphabet = "abcdefghijkmnpqrstuvwxyz23456789";
  std::set<char> seen;
  std::set<std::string> tokens;
  for (int i = 0; i < 200; ++i) {
    const std::string token = TokenStore::random();
    ASSERT_EQ(token.size(), 16u);
    ASSERT_EQ(token.find_first_not_of(alphabet), std::string::npos) << token;
    seen.insert(token.begin(), token.end());
    tokens.insert(token);
  }
  EXPECT_EQ(seen.size(), alphabet.size());
  EXPECT_EQ(tokens.size(), 200u);
}

}  // namespace
}  // namespace qx::host
