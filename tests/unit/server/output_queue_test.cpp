#include "server/output_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qx::server {
namespace {

std::vector<std::string> drain(OutputQueue& queue) {
  std::vector<std::string> lines;
  while (auto line = queue.take()) lines.push_back(*line);
  return lines;
}

TEST(OutputQueue, LinesTheHostReactsTo) {
  const std::pair<const char*, bool> cases[] = {
      {"connected clients: 3", true},
      {"[update] install requested 1.2.3", true},
      {"quorvex-webrtc-server: cannot listen on :8771: address already in use", true},
      {"quorvex-screencap: Screen Recording permission missing: System Settings", true},
      {"quorvex-screencap: capturing display 1 1920x1080 at 30 fps", true},
      {"quorvex-screencap: stats fps=30 kbps=2000", false},
      {"quorvex-webrtc-server: dropping a slow stream client", false},
      {"connected clients 3", false},
  };
  for (const auto& [line, kept] : cases) EXPECT_EQ(hostReactsTo(line), kept) << line;
}

TEST(OutputQueue, OverTheBoundOrdinaryLinesAreDroppedAndCountedOnceThereIsRoom) {
  OutputQueue queue(20);
  for (int i = 0; i < 5; ++i) queue.push("line " + std::to_string(i));  // 6 bytes each: three fit
  EXPECT_EQ(drain(queue),
            (std::vector<std::string>{"line 0\n", "line 1\n", "line 2\n",
                                      "quorvex-webrtc-server: output is not being read; 2 lines dropped\n"}));
  EXPECT_FALSE(queue.take()) << "the count is said once";

  // A line that fits after the gap comes after the count.
  for (int i = 0; i < 4; ++i) queue.push("line " + std::to_string(i));
  (void)queue.take();
  (void)queue.take();
  queue.push("later");
  EXPECT_EQ(drain(queue),
            (std::vector<std::string>{"line 2\n", "quorvex-webrtc-server: output is not being read; 1 lines dropped\n",
                                      "later\n"}));
}

TEST(OutputQueue, LinesTheHostReactsToAreKeptPastTheBound) {
  OutputQueue queue(12);
  queue.push("filler 0123");
  queue.push("[update] install requested 1.2.3");
  queue.push("quorvex-screencap: capturing display 1");
  queue.push("ordinary");
  EXPECT_EQ(drain(queue),
            (std::vector<std::string>{"filler 0123\n", "[update] install requested 1.2.3\n",
                                      "quorvex-screencap: capturing display 1\n",
                                      "quorvex-webrtc-server: output is not being read; 1 lines dropped\n"}));
}

TEST(OutputQueue, OnlyTheNewestWaitingClientCountIsWritten) {
  OutputQueue queue(1000);
  queue.push("connected clients: 1");
  queue.push("a");
  queue.push("connected clients: 0");
  queue.push("connected clients: 1");
  queue.push("b");
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"a\n", "connected clients: 1\n", "b\n"}));
  // A count already taken for writing is not waiting any more.
  queue.push("connected clients: 2");
  (void)queue.take();
  queue.push("connected clients: 3");
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"connected clients: 3\n"}));
}

}  // namespace
}  // namespace qx::server
