// Desktop entry escapes and Exec quoting: every path a bundle can live at is
// written so that a desktop reads back exactly that path; malformed Exec lines
// and entry files read as absent.

#include "host/DesktopEntry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qx::host::desktop {
namespace {

using ::testing::ElementsAre;
using Words = std::vector<std::string>;

TEST(DesktopEntry, ExecWordQuotesAndEscapesReservedCharacters) {
  struct Case {
    std::string argument;
    std::optional<std::string> written;  // as it stands in the file
  };
  const std::vector<Case> cases = {
      {"/opt/q/QuorvexHost", "/opt/q/QuorvexHost"},
      {"/home/u/My Apps/Quorvex Host.app/QuorvexHost", "\"/home/u/My Apps/Quorvex Host.app/QuorvexHost\""},
      {"/a/it's", "\"/a/it's\""},
      {"/a/\"q\"", "\"/a/\\\\\"q\\\\\"\""},
      {"/a/$HOME", "\"/a/\\\\$HOME\""},
      {"/a/`id`", "\"/a/\\\\`id\\\\`\""},
      {"/a\\b", "\"/a\\\\\\\\b\""},  // four backslashes in the file
      {"/a/100%", "/a/100%%"},
      {"/a/100% b", "\"/a/100%% b\""},
      {"/a/~x;y&z|w", "\"/a/~x;y&z|w\""},
      {"/a/(b)*?#<>", "\"/a/(b)*?#<>\""},
      {"/a\tb", "\"/a\\tb\""},
      {"/a\nb", "\"/a\\nb\""},
      {"/home/u/下载/QuorvexHost", "/home/u/下载/QuorvexHost"},
      {"", "\"\""},
      {"/a/\x01", std::nullopt},
      {"/a/\x7f", std::nullopt},
      {"/a/\xff", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(execWord(c.argument), c.written) << c.argument;
    if (!c.written) continue;
    // Read back as a desktop does, next to a plain second word.
    const std::optional<std::string> value = execValue({c.argument, "--x"});
    ASSERT_TRUE(value) << c.argument;
    EXPECT_EQ(parseExec(*value), (Words{c.argument, "--x"})) << *value;
  }
  EXPECT_EQ(execValue({}), std::nullopt);
  EXPECT_EQ(execValue({"/ok", "/a/\x01"}), std::nullopt);
}

TEST(DesktopEntry, ParseExecFollowsTheDesktopRules) {
  struct Case {
    std::string value;
    std::optional<Words> words;
  };
  const std::vector<Case> cases = {
      {"prog", Words{"prog"}},
      {"  prog   a  ", Words{"prog", "a"}},
      {"prog %U", Words{"prog"}},
      {"prog %f %i --x", Words{"prog", "--x"}},
      {"prog %%U", Words{"prog", "%U"}},
      {"prog \"\"", Words{"prog", ""}},
      {"\"a b\"c", Words{"a bc"}},
      {"\\sprog", Words{"prog"}},
      {"", std::nullopt},
      {"%U", std::nullopt},
      {"\"prog", std::nullopt},      // unclosed quote
      {"prog $HOME", std::nullopt},  // reserved outside quotes
      {"prog it's", std::nullopt},
      {"prog a%U", std::nullopt},     // field code inside a word
      {"prog \"%U\"", std::nullopt},  // field code inside quotes
      {"prog %x", std::nullopt},      // no such field code
      {"prog %", std::nullopt},
      {"prog \\q", std::nullopt},     // no such string escape
      {"\"a\\\\qb\"", std::nullopt},  // no such escape inside quotes
      {"prog \\", std::nullopt},      // escape at the end
      {"\"a\\\\\\\\b\"", Words{"a\\b"}},
      {"\"a\\\\$b %%\"", Words{"a$b %"}},
  };
  for (const Case& c : cases) EXPECT_EQ(parseExec(c.value), c.words) << c.value;
}

TEST(DesktopEntry, ParseEntryReadsOnlyWellFormedFiles) {
  const std::string good =
      "# written by the host\n"
      "\n"
      "[Desktop Entry]\r\n"
      "Type=Application\n"
      "Name = Quorvex Host\n"
      "Name[zh_CN]=Quorvex Host\n"
      "Exec=\"/a b/QuorvexHost\"\n"
      "[Desktop Action x]\n"
      "Exec=other\n";
  const auto entry = parseEntry(good);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->at("Name"), "Quorvex Host");
  EXPECT_EQ(entry->at("Exec"), "\"/a b/QuorvexHost\"");
  EXPECT_EQ(entry->at("Type"), "Application");
  EXPECT_EQ(entry->size(), 4u);

  for (const std::string bad : {
           "",
           "# only a comment\n",
           "Type=Application\n[Desktop Entry]\n",
           "[Other]\nType=Application\n[Desktop Entry]\nExec=x\n",
           "[Desktop Entry]\nExec=x\nExec=y\n",
           "[Desktop Entry]\nnot a key line\n",
           "[Desktop Entry]\nEx ec=x\n",
           "[Desktop Entry]\nName[=x\n",
           "[Desktop Entry\nExec=x\n",
           "[Desktop Entry]\nName=\xff\n",
       }) {
    EXPECT_EQ(parseEntry(bad), std::nullopt) << bad;
  }
  // A key may repeat in another group.
  EXPECT_TRUE(parseEntry("[Desktop Entry]\nExec=x\n[Desktop Action a]\nExec=y\n"));
}

TEST(DesktopEntry, PercentPathsStartThroughTheShell) {
  EXPECT_EQ(launchCommand("/a%b/Q.app", {"--x"}).front(), "/bin/sh");
  struct Case {
    std::string exec;
    bool startsIt;
  };
  const std::string program = "/x/100%/Quorvex Host.app/Contents/MacOS/QuorvexHost";
  const std::vector<Case> cases = {
      {*execValue(launchCommand("/x/100%/Quorvex Host.app")), true},
      {*execValue(launchCommand("/x/100%/Quorvex Host.app", {"--flag"})), true},
      {*execValue(launchCommand("/x/100%/Other.app")), false},
      {*execValue({"/bin/sh", "-c", "exec \"$0\"", program}), true},  // the older form
      {*execValue({program}), true},
      {*execValue({program, "--flag"}), true},
      {*execValue({"/bin/sh", "-c", "other", program}), false},
      {*execValue({"/x/100%/Quorvex Host.app/Contents/MacOS/../MacOS/QuorvexHost"}), true},
      {*execValue({"/y/Quorvex Host.app/Contents/MacOS/QuorvexHost"}), false},
      {"\"unclosed", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(execStarts("[Desktop Entry]\nExec=" + c.exec + "\n", program), c.startsIt) << c.exec;
  }
  EXPECT_FALSE(execStarts("[Desktop Entry]\nName=x\n", program));
}

TEST(DesktopEntry, ExecIsReplacedAndEveryOtherLineKept) {
  const std::string head = "# note\n[Desktop Entry]\nName=Q\n";
  const std::string tail = "Hidden=true\n[Other Group]\nExec=other\n";
  EXPECT_EQ(withExec(head + "Exec=old\n" + tail, "new"), head + "Exec=new\n" + tail);
  EXPECT_EQ(withExec(head + "Exec = old", "new"), head + "Exec=new");
  EXPECT_EQ(withExec(head + tail, "new"), std::nullopt);
}

TEST(DesktopEntry, StringEscapesRoundTrip) {
  for (const std::string text : {" lead", "a\\b", "t\tn\nr\r", "plain"}) {
    EXPECT_EQ(unescapeString(escapeString(text)), text) << text;
  }
  EXPECT_EQ(escapeString(" a b"), "\\sa b");
}

}  // namespace
}  // namespace qx::host::desktop
