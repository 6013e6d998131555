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

// The fake keyring answers inside each call, so the store's answers come at once.
std::optional<std::string> loaded(TokenStore& tokens) {
  std::optional<TokenRead> read;
  tokens.load([&](TokenRead r) { read = std::move(r); });
  EXPECT_TRUE(read.has_value());
  return read ? read->token : std::nullopt;
}

bool saved(TokenStore& tokens, const std::string& token) {
  std::optional<bool> stored;
  tokens.save(token, [&](bool ok) { stored = ok; });
  return stored.value_or(false);
}

QString iniIn(const test::TempDir& dir) { return QString::fromStdString(dir.file("Quorvex/QuorvexHost.conf")); }

TEST(SettingsStore, SavedJsonReadsBackByteForByte) {
  test::TempDir dir;
  SettingsStore store(iniIn(dir));
  HostSettings settings;
  settings.bitrate = "8M, \"quoted\"; #not a comment @ é 中";
  settings.rateControl = "=cbr\\";
  store.save(settings);
  EXPECT_EQ(store.load(), settings);
  EXPECT_EQ(QSettings(store.path(), QSettings::IniFormat).value("hostSettings").toString().toStdString(),
            settings.toJson());
  EXPECT_TRUE(store.configured());
}

TEST(SettingsStore, TypedReadsAreDecidedByTheStoredText) {
  struct Case {
    const char* ini;  // null: no file at all
    bool configured, autoCheckUpdates, ltr;
    std::optional<std::string> updateURL;
    bool defaultSettings;
  };
  const auto none = std::nullopt;
  const std::vector<Case> cases = {
      {nullptr, false, true, true, none, true},
      {"configured=true\nautoCheckUpdates=false\nltr=false\nupdateURL=https://u.example/feed", true, false, false,
       "https://u.example/feed", true},
      {"configured=yes\nautoCheckUpdates=no\nltr=no\nupdateURL=", false, true, true, none, true},
      {"configured=1\nautoCheckUpdates=0\nltr=FALSE\nupdateURL=\"\"", false, true, true, none, true},
      {"updateURL=a,b", false, true, true, none, true},  // a list, not text
      {"updateURL=\"a,b\"", false, true, true, "a,b", true},
      // Without "rateControl" the full defaults; complete, the stored values.
      {R"(hostSettings="{\"listen\":\":9000\",\"audio\":false,\"fps\":60,\"bitrate\":\"8M\",\"maxWidth\":1280}")",
       false, true, true, none, true},
      {R"(hostSettings="{\"listen\":\":9000\",\"audio\":false,\"fps\":60,\"bitrate\":\"8M\",\"maxWidth\":1280,)"
       R"(\"rateControl\":\"cbr\"}")",
       false, true, true, none, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini ? c.ini : "no file");
    test::TempDir dir;
    if (c.ini) test::writeFile(dir.file("QuorvexHost.conf"), std::string("[General]\n") + c.ini + "\n");
    const SettingsStore store(QString::fromStdString(dir.file("QuorvexHost.conf")));
    EXPECT_EQ(store.configured(), c.configured);
    EXPECT_EQ(store.autoCheckUpdates(), c.autoCheckUpdates);
    EXPECT_EQ(store.ltr(), c.ltr);
    EXPECT_EQ(store.updateURLOverride(), c.updateURL);
    EXPECT_EQ(store.load() == HostSettings{}, c.defaultSettings);
  }
}

TEST(Permissions, FirstRequestOfEachKindPromptsLaterOnesOpenThePage) {
  test::TempDir dir;
  SettingsStore settings(iniIn(dir));
  settings.setFlag("askedAccessibility", true);  // as if set from outside
  std::vector<std::string> events;
  Permissions permissions(settings,
                          {[&] { events.emplace_back("prompt screen"); }, [&] { events.emplace_back("prompt input"); },
                           [&](const std::string& anchor) { events.push_back("page " + anchor); }});
  permissions.requestAccessibility();
  permissions.requestScreenRecording();
  permissions.requestScreenRecording();
  EXPECT_THAT(events, ElementsAre("page Privacy_Accessibility", "prompt screen", "page Privacy_ScreenCapture"));
}

TEST(TokenStore, LoadPrefersTheItemAndNeverReadsAFailingKeyringAsNoToken) {
  struct Case {
    bool failing;
    std::optional<std::string> item, file, expected;
  };
  const auto none = std::nullopt;
  for (const Case& c : std::vector<Case>{{false, "k", "f", "k"},
                                         {false, none, none, ""},
                                         {false, none, "f", "f"},
                                         {true, none, "f", "f"},
                                         {true, none, "", ""},
                                         {true, none, none, none}}) {
    test::TempDir dir;
    fake::FakeKeyring keyring;
    keyring.item = c.item;
    keyring.failing = c.failing;
    if (c.file) test::writeFile(dir.file("token"), *c.file);
    TokenStore tokens(keyring, dir.file("token"));
    EXPECT_EQ(loaded(tokens), c.expected) << c.failing << c.file.value_or("(none)");
  }
}

TEST(TokenStore, SavesInTheKeyringWhileItWorksElseInAPrivateFile) {
  test::TempDir dir;
  const std::string file = dir.file("Quorvex/token");
  fake::FakeKeyring keyring;
  TokenStore tokens(keyring, file);
  for (const bool failing : {false, true, false}) {
    keyring.failing = failing;
    for (const std::string token : {"first", ""}) {
      ASSERT_TRUE(saved(tokens, token));
      EXPECT_EQ(loaded(tokens), token);
      struct stat info {};
      EXPECT_EQ(::stat(file.c_str(), &info) == 0 && (info.st_mode & 0777) == 0600, failing) << token;
    }
  }
  EXPECT_EQ(keyring.item, std::nullopt);
  using Entries = std::filesystem::directory_iterator;
  EXPECT_EQ(std::distance(Entries(dir.file("Quorvex")), Entries()), 0);  // no temporary file left behind
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
