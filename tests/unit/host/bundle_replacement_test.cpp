// The bundle replacement on the real file system, with every step made to
// fail or to "crash" in turn: a failure always leaves the old bundle, and
// after a crash the desktop entries' command starts a complete old or new
// one. The copy's modes are normalised; start-up removes only its leftovers.

#include "host/BundleReplacement.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>

#include "host/DesktopEntry.h"
#include "platform/linux/host/posix_bundle_files.h"
#include "tests/fakes/fake_update_services.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::host {
namespace {

namespace fs = std::filesystem;

void writeExecutable(const fs::path& path, const std::string& content, bool executable) {
  std::ofstream(path) << content;
  ::chmod(path.c_str(), executable ? 0755 : 0644);
}

// Old and new differ in contents, executable bits, links and file count.
void makeBundle(const fs::path& at, bool newer) {
  fs::create_directories(at / "Contents/MacOS");
  fs::create_directories(at / "Contents/Resources");
  std::ofstream(at / "Contents/Info.plist") << (newer ? "1.3.0" : "1.2.0");
  writeExecutable(at / "Contents/MacOS/QuorvexHost", "#!/bin/sh\nexit 0\n", true);
  writeExecutable(at / "Contents/MacOS/tool", newer ? "new" : "old", newer);
  fs::create_symlink(newer ? "MacOS/tool" : "Info.plist", at / "Contents/current");
  if (newer) std::ofstream(at / "Contents/Resources/extra") << "x";
}

// Every entry below `root`: kind, contents or target, executable bit.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(root, ec))) return {{"", "missing"}};
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string name = it->path().lexically_relative(root).string();
    if (it->is_symlink()) {
      entries[name] = "link " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      entries[name] = "dir";
    } else {
      const bool exec = (it->status().permissions() & fs::perms::owner_exec) != fs::perms::none;
      entries[name] = qx::test::readFile(it->path().string()) + (exec ? " +x" : "");
    }
  }
  return entries;
}

struct Scene {
  Scene() {
    makeBundle(bundle, false);
    makeBundle(download, true);
    old = snapshot(bundle);
    fresh = snapshot(download);
  }
  std::vector<std::string> leftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(bundle.parent_path()))
      if (entry.path() != bundle) found.push_back(entry.path().filename().string());
    return found;
  }

  qx::test::TempDir dir;
  fs::path bundle = fs::path(dir.path()) / "apps/Quorvex Host.app";
  fs::path download = fs::path(dir.path()) / "cache/Quorvex Host.app";
  std::map<std::string, std::string> old, fresh;
  PosixBundleFiles real;
  fake::StepBundleFiles files{real};
};

// The number of steps a replacement takes when nothing goes wrong.
int stepCount(bool exchangeUnsupported) {
  Scene s;
  s.files.exchangeUnsupported = exchangeUnsupported;
  EXPECT_FALSE(replaceBundle(s.files, s.bundle, s.download));
  EXPECT_EQ(snapshot(s.bundle), s.fresh);
  EXPECT_TRUE(s.leftovers().empty());
  return static_cast<int>(s.files.steps.size());
}

TEST(BundleReplacement, EachFailingStepLeavesTheOldBundleOrOnlyALeftover) {
  for (const bool fallback : {false, true}) {
    const int steps = stepCount(fallback);
    for (int k = 1; k <= steps; ++k) {
      Scene s;
      s.files.exchangeUnsupported = fallback;
      s.files.failAt = k;
      const std::error_code ec = replaceBundle(s.files, s.bundle, s.download);
      const std::string step = s.files.steps.at(static_cast<std::size_t>(k - 1));
      SCOPED_TRACE((fallback ? "renames, " : "exchange, ") + step);
      if (ec) {
        EXPECT_EQ(snapshot(s.bundle), s.old);
        EXPECT_TRUE(s.leftovers().empty());
      } else {
        // Only removing a copy may fail unnoticed; start-up cleans it.
        EXPECT_EQ(step.rfind("remove ", 0), 0u);
        EXPECT_EQ(snapshot(s.bundle), s.fresh);
      }
    }
  }
}

TEST(BundleReplacement, ACrashAtAnyStepLeavesACompleteBundle) {
  for (const bool fallback : {false, true}) {
    const int steps = stepCount(fallback);
    for (int k = 1; k <= steps; ++k) {
      Scene s;
      s.files.exchangeUnsupported = fallback;
      s.files.crashAt = k;
      EXPECT_THROW(replaceBundle(s.files, s.bundle, s.download), fake::Crash);
      SCOPED_TRACE((fallback ? "renames, " : "exchange, ") + s.files.steps.back());
      // What the menu entry or the login item runs next, then the started
      // host's cleanup; nothing of the interrupted process runs again.
      qx::test::Process::Options start;
      start.args = desktop::launchCommand(s.bundle);
      EXPECT_EQ(qx::test::run(start).status, 0);
      const auto now = snapshot(s.bundle);
      EXPECT_TRUE(now == s.old || now == s.fresh);

      PosixBundleFiles real;
      removeReplacementLeftovers(real, s.bundle);
      EXPECT_TRUE(s.leftovers().empty());
      EXPECT_EQ(snapshot(s.bundle), now);
    }
  }
}

TEST(BundleReplacement, InstalledModesAreNormalisedWhateverTheDownloadsAndTheUmask) {
  struct Case {
    const char* path;
    mode_t download, installed;
  };
  const std::vector<Case> cases = {
      {"", 0777, 0755},
      {"Contents/MacOS", 0777, 0755},
      {"Contents/Resources", 01770, 0755},
      {"Contents/MacOS/QuorvexHost", 04755, 0755},
      {"Contents/MacOS/tool", 02777, 0755},
      {"Contents/Info.plist", 0666, 0644},
      {"Contents/Resources/extra", 04644, 0644},
  };
  for (const mode_t umask : {0000, 0077}) {
    Scene s;
    for (const Case& c : cases) ::chmod((s.download / c.path).c_str(), c.download);
    const mode_t previous = ::umask(umask);
    const std::error_code ec = replaceBundle(s.files, s.bundle, s.download);
    ::umask(previous);
    ASSERT_FALSE(ec) << ec.message();
    for (const Case& c : cases) {
      struct stat st = {};
      ASSERT_EQ(::lstat((s.bundle / c.path).c_str(), &st), 0) << c.path;
      EXPECT_EQ(st.st_mode & 07777, c.installed) << c.path << " umask " << umask;
    }
  }
}

TEST(BundleReplacement, StartUpRemovesOnlyTheReplacementsLeftovers) {
  Scene s;
  for (const char* name : {".Quorvex Host.app.new", ".Quorvex Host.app.old", ".Quorvex Host.app.mine"})
    fs::create_directories(s.bundle.parent_path() / name / "Contents");
  removeReplacementLeftovers(s.real, s.bundle);
  EXPECT_EQ(s.leftovers(), std::vector<std::string>{".Quorvex Host.app.mine"});
}

TEST(BundleReplacement, SyncsEveryDirectoryAndTheParentAroundTheExchange) {
  Scene s;
  ASSERT_FALSE(replaceBundle(s.files, s.bundle, s.download));
  const std::vector<std::string>& steps = s.files.steps;
  const std::string parent = "sync " + s.bundle.parent_path().string();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].rfind("mkdir ", 0) == 0) {
      const std::string sync = "sync " + steps[i].substr(6);
      EXPECT_NE(std::find(steps.begin() + static_cast<long>(i), steps.end(), sync), steps.end()) << steps[i];
    }
    if (steps[i].rfind("exchange ", 0) == 0) {
      ASSERT_GT(i, 0u);
      EXPECT_EQ(steps[i - 1], parent);
      EXPECT_EQ(steps.at(i + 1), parent);
    }
  }
}

}  // namespace
}  // namespace qx::host
