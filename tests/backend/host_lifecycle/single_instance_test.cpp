// The single-instance guard with real processes: starts released together give
// one instance and hand the others over; a crashed instance's lock and socket
// do not block the next start; a live holder that does not answer is never
// joined by a second instance.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class SingleInstanceTest : public ::testing::Test {
 protected:
  std::unique_ptr<Process> probe(std::vector<std::string> args, std::map<std::string, std::string> env = {},
                                 std::vector<std::string> unset = {}) {
    Process::Options o;
    o.args = {buildPath("tests/backend/host_lifecycle/single_instance_probe")};
    o.args.insert(o.args.end(), args.begin(), args.end());
    o.setEnv = std::move(env);
    o.unsetEnv = std::move(unset);
    return std::make_unique<Process>(std::move(o));
  }

  // The first line the probe prints.
  static std::string outcome(Process& p) {
    p.pumpUntil([&] { return p.out().find('\n') != std::string::npos; }, 15s);
    return p.out().substr(0, p.out().find('\n'));
  }
  static std::size_t shows(const Process& p) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = p.out().find("show\n", at)) != std::string::npos; ++at) ++n;
    return n;
  }

  TempDir runtime;
};

TEST_F(SingleInstanceTest, StartsReleasedTogetherGiveOneInstance) {
  constexpr int starts = 4;
  for (int round = 0; round < 5; ++round) {
    std::vector<std::unique_ptr<Process>> probes;
    for (int i = 0; i < starts; ++i) probes.push_back(probe({runtime.path()}));
    for (auto& p : probes) p->writeStdin("go\n");

    std::vector<Process*> first;
    for (auto& p : probes) {
      const std::string o = outcome(*p);
      if (o == "first") {
        first.push_back(p.get());
      } else {
        EXPECT_EQ(o, "handed-over") << "round " << round;
        EXPECT_EQ(p->wait(5s), 0);
      }
    }
    ASSERT_EQ(first.size(), 1u) << "round " << round;
    first[0]->pumpUntil([&] { return shows(*first[0]) == starts - 1; }, 5s);
    EXPECT_EQ(shows(*first[0]), starts - 1u) << first[0]->out();

    first[0]->closeStdin();
    EXPECT_EQ(first[0]->wait(5s), 0);
    // The instance took its lock and socket with it.
    EXPECT_FALSE(fs::exists(runtime.file("com.quorvex.host.lock")));
    EXPECT_FALSE(fs::exists(runtime.file("com.quorvex.host.socket")));
  }
}

TEST_F(SingleInstanceTest, CrashedInstanceLeavesNothingThatBlocks) {
  auto crashed = probe({runtime.path()});
  crashed->writeStdin("go\n");
  ASSERT_EQ(outcome(*crashed), "first");
  crashed->signal(SIGKILL);
  crashed->wait(5s);
  ASSERT_TRUE(fs::exists(runtime.file("com.quorvex.host.lock")));
  ASSERT_TRUE(fs::exists(runtime.file("com.quorvex.host.socket")));

  auto next = probe({runtime.path()});
  next->writeStdin("go\n");
  ASSERT_EQ(outcome(*next), "first");
  auto later = probe({runtime.path()});
  later->writeStdin("go\n");
  EXPECT_EQ(outcome(*later), "handed-over");
  EXPECT_TRUE(next->pumpUntil([&] { return shows(*next) == 1; }, 5s)) << next->out();
}

TEST_F(SingleInstanceTest, LiveHolderThatDoesNotAnswerIsNotJoined) {
  auto holder = probe({"--hold-lock", runtime.path()});
  holder->writeStdin("go\n");
  ASSERT_EQ(outcome(*holder), "holding");
  auto start = probe({runtime.path(), "500"});
  start->writeStdin("go\n");
  EXPECT_EQ(outcome(*start), "no-answer");
  EXPECT_EQ(start->wait(5s), 0);
  EXPECT_TRUE(fs::exists(runtime.file("com.quorvex.host.lock")));
}

TEST_F(SingleInstanceTest, HolderStillComingUpGetsTheHandOver) {
  auto holder = probe({"--hold-lock", runtime.path()});
  holder->writeStdin("go\n");
  ASSERT_EQ(outcome(*holder), "holding");
  auto start = probe({runtime.path(), "10000"});
  start->writeStdin("go\n");
  // The start finds the lock taken and nobody listening, and keeps trying.
  EXPECT_FALSE(start->pumpUntil([&] { return !start->out().empty(); }, 500ms));
  holder->writeStdin("listen\n");
  EXPECT_EQ(outcome(*start), "handed-over");
  EXPECT_TRUE(holder->pumpUntil([&] { return shows(*holder) == 1; }, 5s)) << holder->out();
}

TEST_F(SingleInstanceTest, WithoutRuntimeDirectoryUsesAPrivateTemporaryFolder) {
  TempDir tmp;
  const std::map<std::string, std::string> env = {{"TMPDIR", tmp.path()}};
  auto first = probe({""}, env, {"XDG_RUNTIME_DIR"});
  first->writeStdin("go\n");
  ASSERT_EQ(outcome(*first), "first");
  auto second = probe({""}, env, {"XDG_RUNTIME_DIR"});
  second->writeStdin("go\n");
  EXPECT_EQ(outcome(*second), "handed-over");

  std::vector<fs::path> folders(fs::directory_iterator(tmp.path()), fs::directory_iterator());
  ASSERT_EQ(folders.size(), 1u);
  struct stat st = {};
  ASSERT_EQ(::stat(folders[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, ::getuid());
  EXPECT_TRUE(fs::exists(folders[0] / "com.quorvex.host.lock"));
}

}  // namespace
}  // namespace qx::test
