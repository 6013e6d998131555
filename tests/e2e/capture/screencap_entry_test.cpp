// The built quorvex-screencap as a process: listing mode, the permission
// check and the shape of its diagnostic lines.

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "capture/permission.h"
#include "tests/support/process.h"
#include "tests/support/x_server.h"

extern char** environ;

namespace qx {
namespace {

using test::Process;
using test::RunResult;

std::string helperPath() { return test::bundleProgram("quorvex-screencap"); }

RunResult runHelper(std::vector<std::string> args, const std::string& display,
                    std::map<std::string, std::string> env = {}) {
  Process::Options o;
  o.setEnv = std::move(env);
  o.args = {helperPath()};
  o.args.insert(o.args.end(), args.begin(), args.end());
  if (display.empty()) {
    o.unsetEnv = {"DISPLAY"};
  } else {
    o.setEnv["DISPLAY"] = display;
  }
  return test::run(std::move(o));
}

const std::string kPermissionLine = "quorvex-screencap: " + std::string(kPermissionMissingMessage) + "\n";

TEST(ScreencapListing, PrintsExactBytesAndExitsZero) {
  auto server = test::XServer::xvfb(1920, 1080);
  const RunResult r = runHelper({"--list-displays"}, server->display());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, R"([{"height":1080,"index":0,"name":"Display 1","primary":true,"width":1920}])");
  EXPECT_EQ(r.err, "");
}

TEST(ScreencapListing, FlagWinsWhereverItStands) {
  auto server = test::XServer::xvfb(800, 600);
  const std::string want = R"([{"height":600,"index":0,"name":"Display 1","primary":true,"width":800}])";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--fps", "10", "--list-displays"}, {"--fps", "--list-displays"}, {"--rc", "--list-displays", "x"}}) {
    const RunResult r = runHelper(args, server->display());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, want);
  }
}

TEST(ScreencapListing, WithoutAnXServerPrintsAnEmptyArray) {
  // No permission needed for listing: it still ends with status 0.
  const RunResult r = runHelper({"--list-displays"}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[]");
  EXPECT_EQ(r.err, "");
}

TEST(ScreencapListing, ClosedStandardOutputDoesNotKillIt) {
  // A pipe with no reader: the write fails with EPIPE instead of raising SIGPIPE.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::string path = helperPath();
  std::string flag = "--list-displays";
  char* argv[] = {path.data(), flag.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  ASSERT_EQ(rc, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ScreencapPermission, ADisplayNobodyAnswersIsAFailedStartNamingIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "quorvex-screencap: start failed: no X display: DISPLAY is not set\n"},
      {":65001", "quorvex-screencap: start failed: cannot reach X display \":65001\": no X server listens there\n"},
  };
  for (const auto& [display, line] : cases) {
    const RunResult r = runHelper({"--fps", "30", "--bitrate", "8M"}, display);
    EXPECT_EQ(r.status, 1) << display;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, line);
  }
}

TEST(ScreencapPermission, RefusedConnectionCountsAsMissing) {
  auto server = test::XServer::xvfbWithCookie(640, 480);
  const RunResult r = runHelper({}, server->display(), {{"XAUTHORITY", "/dev/null"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  // The server's own refusal text may come first (the X libraries print it).
  EXPECT_TRUE(r.err.ends_with(kPermissionLine)) << r.err;
}

}  // namespace
}  // namespace qx
