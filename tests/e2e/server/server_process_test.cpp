// The built quorvex-webrtc-server, run as the host runs it, with the fake
// capture helper in place of quorvex-screencap.

#include "HostCore/HostLaunch.h"
#include "HostCore/UpdateCheck.h"
#include "HostCore/UpdateRequest.h"
#include "tests/e2e/server/http_client.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>
#include <iostream>
#include <sstream>

namespace qx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

Process::Options withArgs(std::vector<std::string> args) {
  Process::Options options;
  options.args = std::move(args);
  return options;
}

std::string serverPath() { return bundleProgram("quorvex-webrtc-server"); }
std::string fakePath() { return buildPath("tests/e2e/server/fake_screencap"); }

const std::string sps = std::string("\x00\x00\x00\x01\x67", 5);
const std::string idrSlice = std::string("\x00\x00\x00\x01\x65", 5);

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::size_t countOf(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// A running server with the fake helper; the capture command is built the
// way the host builds it (quoted helper path first).
class RunningServer {
 public:
  struct Config {
    std::vector<std::string> helperOptions;  // appended to the capture command
    std::vector<std::string> serverOptions;  // appended to the server's arguments
    std::map<std::string, std::string> env;
    std::string helperPath;  // default: the built fake
    int openFiles = 0;       // RLIMIT_NOFILE for the server; 0: inherited

    Config& helper(std::vector<std::string> v) {
      helperOptions = std::move(v);
      return *this;
    }
    Config& server(std::vector<std::string> v) {
      serverOptions = std::move(v);
      return *this;
    }
    Config& environment(std::map<std::string, std::string> v) {
      env = std::move(v);
      return *this;
    }
    Config& path(std::string v) {
      helperPath = std::move(v);
      return *this;
    }
    Config& openFileLimit(int v) {
      openFiles = v;
      return *this;
    }
  };

  RunningServer(const TempDir& dir, const Config& config) : record_(dir.file("stdin-lines.txt")) {
    std::string command = HostLaunch::quoteForSplitArgs(config.helperPath.empty() ? fakePath() : config.helperPath);
    command += " --record " + HostLaunch::quoteForSplitArgs(record_);
    command += " --pid-file " + HostLaunch::quoteForSplitArgs(dir.file("helper.pid"));
    for (const auto& option : config.helperOptions) command += " " + option;
    Process::Options options;
    options.args = {serverPath(), "--listen", "127.0.0.1:0", "--capture", "exec", "--capture-cmd", command};
    options.args.insert(options.args.end(), config.serverOptions.begin(), config.serverOptions.end());
    if (config.openFiles > 0) {
      // The shell sets the limit and becomes the server, so the pid is the server's.
      options.args.insert(
          options.args.begin(),
          {"/bin/sh", "-c", "ulimit -n " + std::to_string(config.openFiles) + " && exec \"$0\" \"$@\""});
    }
    options.setEnv = config.env;
    options.setEnv.emplace("QUORVEX_HOST_APP", "1");
    if (!config.env.count("QUORVEX_HOST_TOKEN")) options.unsetEnv.push_back("QUORVEX_HOST_TOKEN");
    process_ = std::make_unique<Process>(options);
    const std::string listening = "listening on 127.0.0.1:";
    process_->pumpUntil(
        [&] {
          auto at = process_->out().find(listening);
          return at != std::string::npos && process_->out().find('\n', at) != std::string::npos;
        },
        10s);
    if (auto at = process_->out().find(listening); at != std::string::npos) {
      port_ = std::atoi(process_->out().c_str() + at + listening.size());
    }
    helperPidFile_ = dir.file("helper.pid");
  }

  Process& process() { return *process_; }
  int port() const { return port_; }
  std::string recordedLines() const { return fs::exists(record_) ? readFile(record_) : std::string(); }
  int helperPid() const { return fs::exists(helperPidFile_) ? std::stoi(readFile(helperPidFile_)) : -1; }

  bool waitForOutput(const std::string& text, std::size_t occurrences = 1) {
    return process_->pumpUntil([&] { return countOf(process_->out(), text) >= occurrences; }, 10s);
  }
  bool waitForRecorded(const std::string& line) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (countOf(recordedLines(), line + "\n") > 0) return true;
      process_->pump(50ms);
    }
    return false;
  }

 private:
  std::string record_;
  std::string helperPidFile_;
  std::unique_ptr<Process> process_;
  int port_ = 0;
};

TEST(ServerArguments, ErrorsPrintUsageAndFail) {
  const std::vector<std::vector<std::string>> cases = {
      {"--listen", ":0", "--capture", "exec", "--capture-cmd", "x", "--bogus"},
      {"--listen", ":0", "--capture", "exec"},
      {"--listen", ":0", "--capture", "exec", "--capture-cmd", "x", "--ltr=perhaps"},
      {"update", "frobnicate"},
  };
  for (const auto& args : cases) {
    Process::Options options;
    options.args = {serverPath()};
    options.args.insert(options.args.end(), args.begin(), args.end());
    auto result = run(options, 10s);
    EXPECT_NE(result.status, 0) << args.back();
    EXPECT_THAT(result.err, HasSubstr("usage: quorvex-webrtc-server")) << args.back();
  }
}

TEST(ServerArguments, BadListenAddressOrHelperFailsWithoutServing) {
  auto badListen = run(withArgs({serverPath(), "--listen", "8771", "--capture", "exec", "--capture-cmd", "x"}), 10s);
  EXPECT_NE(badListen.status, 0);
  EXPECT_THAT(badListen.out, HasSubstr("invalid listen address"));

  auto missingHelper = run(withArgs({serverPath(), "--listen", "127.0.0.1:0", "--capture", "exec", "--capture-cmd",
                                     "/nonexistent/quorvex-screencap --fps 30"}),
                           10s);
  EXPECT_NE(missingHelper.status, 0);
  EXPECT_THAT(missingHelper.out, HasSubstr("/nonexistent/quorvex-screencap"));
}

TEST(ServerListen, PortInUseIsReportedInLowerCase) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  std::string listen = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  TempDir dir;
  auto result = run(withArgs({serverPath(), "--listen", listen, "--capture", "exec", "--capture-cmd",
                              HostLaunch::quoteForSplitArgs(fakePath()) + " --pid-file " + dir.file("pid")}),
                    10s);
  ::close(fd);
  EXPECT_NE(result.status, 0);
  EXPECT_THAT(result.out, HasSubstr("address already in use"));
  EXPECT_FALSE(fs::exists(dir.file("pid"))) << "the helper must not start when the server cannot listen";
}

TEST(ServerHelper, EnvironmentReachesTheHelperWithoutTheToken) {
  TempDir dir;
  RunningServer server(
      dir, RunningServer::Config()
               .helper({"--env-file", HostLaunch::quoteForSplitArgs(dir.file("env.txt"))})
               .environment({{"QUORVEX_HOST_TOKEN", "secret"}, {"DISPLAY", ":42"}, {"XDG_RUNTIME_DIR", dir.path()}}));
  ASSERT_GT(server.port(), 0) << server.process().out();
  ASSERT_TRUE(server.process().pumpUntil([&] { return fs::exists(dir.file("env.txt")); }, 10s));
  server.process().pump(200ms);
  auto env = splitLines(readFile(dir.file("env.txt")));
  const std::vector<std::string> kept = {"DISPLAY=:42", "XDG_RUNTIME_DIR=" + dir.path(), "QUORVEX_HOST_APP=1"};
  EXPECT_THAT(env, ::testing::IsSupersetOf(kept));
  EXPECT_THAT(env, ::testing::Not(::testing::Contains(::testing::StartsWith("QUORVEX_HOST_TOKEN="))));
}

TEST(ServerHelper, ArgumentsReachTheHelperThroughAPathWithSpacesAndApostrophes) {
  TempDir dir;
  fs::path odd = fs::path(dir.path()) / "it's my dir" / "quorvex screencap";
  fs::create_directories(odd.parent_path());
  fs::copy_file(fakePath(), odd);
  RunningServer server(dir, RunningServer::Config()
                                .helper({"--args-file", HostLaunch::quoteForSplitArgs(dir.file("args.txt")), "--fps",
                                         "30", "--bitrate", "24M"})
                                .server({"--capture-audio", "--update-url=", "--ltr=false"})
                                .path(odd.string()));
  ASSERT_GT(server.port(), 0) << server.process().out();
  ASSERT_TRUE(server.process().pumpUntil([&] { return fs::exists(dir.file("args.txt")); }, 10s));
  server.process().pump(200ms);
  auto args = splitLines(readFile(dir.file("args.txt")));
  const std::vector<std::string> expected = {"--record",    dir.file("stdin-lines.txt"),
                                             "--pid-file",  dir.file("helper.pid"),
                                             "--args-file", dir.file("args.txt"),
                                             "--fps",       "30",
                                             "--bitrate",   "24M",
                                             "--audio-fd",  "3",
                                             "--ltr",       "false"};
  EXPECT_EQ(args, expected);
}

TEST(ServerStream, NewClientStartsAtAFreshKeyframeAndIsCounted) {
  TempDir dir;
  // No periodic keyframes: only the first frame and those asked for by "idr".
  RunningServer server(dir, RunningServer::Config().helper({"--fps", "50", "--gop", "0"}));
  ASSERT_GT(server.port(), 0) << server.process().out();
  ASSERT_TRUE(server.waitForOutput("quorvex-screencap: capturing ")) << "helper stderr passes through";
  server.process().pump(300ms);  // the helper's first keyframe is gone by now

  HttpStream first(server.port(), "/stream.h264");
  ASSERT_EQ(first.status(), 200);
  ASSERT_TRUE(first.readAtLeast(4000, 10s));
  EXPECT_EQ(first.body().substr(0, sps.size()), sps) << "the stream must begin with a keyframe";
  EXPECT_NE(first.body().find(idrSlice), std::string::npos);
  EXPECT_TRUE(server.waitForRecorded("idr"));
  ASSERT_TRUE(server.waitForOutput("connected clients: 1"));

  {
    HttpStream second(server.port(), "/stream.h264");
    ASSERT_EQ(second.status(), 200);
    ASSERT_TRUE(second.readAtLeast(2000, 10s));
    EXPECT_EQ(second.body().substr(0, sps.size()), sps);
    ASSERT_TRUE(server.waitForOutput("connected clients: 2"));
  }
  ASSERT_TRUE(server.waitForOutput("connected clients: 1", 2)) << server.process().out();
  first.close();
  ASSERT_TRUE(server.waitForOutput("connected clients: 0")) << server.process().out();

  // Exactly one line per change, in order.
  std::vector<std::string> counts;
  for (const auto& line : splitLines(server.process().out())) {
    if (line.rfind("connected clients: ", 0) == 0) counts.push_back(line);
  }
  EXPECT_THAT(counts, ::testing::ElementsAre("connected clients: 1", "connected clients: 2", "connected clients: 1",
                                             "connected clients: 0"));
}

TEST(ServerStream, AudioStreamCarriesWholeLengthPrefixedPackets) {
  TempDir dir;
  RunningServer server(dir, RunningServer::Config().server({"--capture-audio"}));
  ASSERT_GT(server.port(), 0) << server.process().out();
  HttpStream audio(server.port(), "/audio.opus");
  ASSERT_EQ(audio.status(), 200);
  ASSERT_TRUE(audio.readAtLeast(200, 10s));
  const std::string& bytes = audio.body();
  std::size_t at = 0;
  int packets = 0;
  while (at + 2 <= bytes.size()) {
    std::size_t length = (static_cast<unsigned char>(bytes[at]) << 8) | static_cast<unsigned char>(bytes[at + 1]);
    if (at + 2 + length > bytes.size()) break;
    EXPECT_EQ(bytes.substr(at + 2, 12), "opus-packet-");
    at += 2 + length;
    ++packets;
  }
  EXPECT_GE(packets, 5);
  server.process().pump(200ms);
  // Audio listeners are not counted as devices.
  EXPECT_THAT(server.process().out(), ::testing::Not(HasSubstr("connected clients: 1")));
}

TEST(ServerStream, SlowClientIsDroppedWhileOthersKeepReceiving) {
  TempDir dir;
  // About 1 MB/s against a 1 MiB bound: a client that never reads is full
  // within a second or two, while a reader has a second of slack on a busy
  // machine.
  RunningServer server(dir, RunningServer::Config()
                                .helper({"--fps", "50", "--gop", "25", "--frame-bytes", "20000"})
                                .server({"--max-client-buffer=1048576"}));
  ASSERT_GT(server.port(), 0) << server.process().out();
  HttpStream slow(server.port(), "/stream.h264", {}, 4096);
  ASSERT_EQ(slow.status(), 200);
  HttpStream reader(server.port(), "/stream.h264");
  ASSERT_EQ(reader.status(), 200);
  ASSERT_TRUE(server.waitForOutput("connected clients: 2"));

  std::size_t target = 200'000;
  bool dropped = false;
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline && !(dropped && reader.body().size() >= target)) {
    ASSERT_TRUE(reader.readAtLeast(reader.body().size() + 1, 5s)) << "the reading client stalled";
    server.process().pump(1ms);
    if (!dropped && server.process().out().find("dropping a slow stream client") != std::string::npos) {
      dropped = true;
      target = reader.body().size() + 400'000;  // and the reader keeps going afterwards
    }
  }
  EXPECT_TRUE(dropped) << server.process().out();
  EXPECT_GE(reader.body().size(), target);
  EXPECT_TRUE(server.waitForOutput("connected clients: 1", 2)) << server.process().out();
}

TEST(ServerStream, AClientThatSendsDataIsDropped) {
  TempDir dir;
  RunningServer server(dir, RunningServer::Config());
  ASSERT_GT(server.port(), 0) << server.process().out();
  HttpStream talker(server.port(), "/stream.h264");
  ASSERT_TRUE(talker.readAtLeast(100, 10s));
  ASSERT_TRUE(talker.send(std::string(4096, 'x')));
  EXPECT_TRUE(talker.readToEnd(5s));
  EXPECT_TRUE(server.waitForOutput("connected clients: 0")) << server.process().out();
}

// A host busy for seconds reads none of the server's output meanwhile; an
// authorised client connecting and disconnecting fast used to fill the pipe
// and stall every client.
TEST(ServerOutput, ClientsAreServedWhileTheHostReadsNoOutput) {
  TempDir dir;
  const std::map<std::string, std::string> auth = {{"Authorization", "Bearer secret"}};
  RunningServer server(dir, RunningServer::Config().environment({{"QUORVEX_HOST_TOKEN", "secret"}}));
  ASSERT_GT(server.port(), 0) << server.process().out();
  HttpStream watcher(server.port(), "/stream.h264", auth);
  ASSERT_TRUE(server.waitForOutput("connected clients: 1"));

  // Two count lines a visit: 3000 visits are twice what the pipe holds.
  const int visits = 3000;
  const auto start = std::chrono::steady_clock::now();
  int served = 0;
  while (served < visits && HttpStream(server.port(), "/stream.h264", auth).status() == 200) ++served;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << "with the output unread: " << served << " visits in " << seconds << " s\n";
  EXPECT_EQ(served, visits);
  EXPECT_TRUE(watcher.readAtLeast(watcher.body().size() + 1000, 5s)) << "the watching client stalled";

  // Once the host reads again it sees the count as it is now.
  watcher.close();
  EXPECT_TRUE(server.waitForOutput("connected clients: 0")) << server.process().out();
}

TEST(ServerAuth, TokenIsRequiredAndCheckedWhenSet) {
  TempDir dir;
  RunningServer server(dir, RunningServer::Config().environment(
                                {{"QUORVEX_HOST_TOKEN", "tok en/1"}, {"XDG_CACHE_HOME", dir.file("cache")}}));
  ASSERT_GT(server.port(), 0) << server.process().out();

  const std::vector<std::pair<std::string, std::map<std::string, std::string>>> refused = {
      {"/stream.h264", {}},
      {"/stream.h264", {{"Authorization", "Bearer wrong"}}},
      {"/stream.h264?token=tok%20en", {}},
      {"/stream.h264", {{"Authorization", "tok en/1"}}},
  };
  for (const auto& [target, headers] : refused) {
    auto response = httpRequest(server.port(), "GET", target, headers);
    ASSERT_TRUE(response.has_value()) << target;
    EXPECT_EQ(response->status, 401) << target;
    EXPECT_EQ(response->body.find(sps), std::string::npos);
  }
  auto install = httpRequest(server.port(), "POST", "/update/install", {}, R"({"version":"1.2.3"})");
  ASSERT_TRUE(install.has_value());
  EXPECT_EQ(install->status, 401);
  auto control = httpRequest(server.port(), "POST", "/control", {}, "bitrate 1000000");
  ASSERT_TRUE(control.has_value());
  EXPECT_EQ(control->status, 401);
  EXPECT_FALSE(fs::exists(dir.file("cache")));

  HttpStream byHeader(server.port(), "/stream.h264", {{"Authorization", "Bearer tok en/1"}});
  EXPECT_EQ(byHeader.status(), 200);
  EXPECT_TRUE(byHeader.readAtLeast(100, 10s));
  HttpStream byQuery(server.port(), "/stream.h264?token=tok%20en%2F1");
  EXPECT_EQ(byQuery.status(), 200);
  EXPECT_TRUE(byQuery.readAtLeast(100, 10s));
  server.process().pump(200ms);
  EXPECT_EQ(server.recordedLines().find("bitrate"), std::string::npos);
}

TEST(ServerHttp, MalformedRequestsAreAnsweredBeforeClosing) {
  TempDir dir;
  RunningServer server(dir, RunningServer::Config());
  ASSERT_GT(server.port(), 0) << server.process().out();
  const std::string head = "POST /control HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  struct Case {
    const char* what;
    std::string request;
    int status;
  };
  const Case cases[] = {
      {"garbage request line", "\x01\x02 nonsense\r\n\r\n", 400},
      {"no version", "GET /\r\n\r\n", 400},
      {"header over the limit", "GET / HTTP/1.1\r\nX-Fill: " + std::string(20000, 'a') + "\r\n\r\n", 431},
      {"length, then chunked", head + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nidr\r\n0\r\n\r\n",
       400},
      {"chunked, then length", head + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n3\r\nidr\r\n0\r\n\r\n",
       400},
      {"another coding and length", head + "Transfer-Encoding: gzip\r\nContent-Length: 3\r\n\r\nidr", 400},
      {"body over the limit", head + "Content-Length: 70000\r\n\r\n" + std::string(70000, 'x'), 413},
  };
  for (const auto& c : cases) {
    auto response = httpExchange(server.port(), c.request);
    EXPECT_EQ(response.value_or(HttpResponse{}).status, c.status) << c.what << ": no answer is status 0";
  }
  server.process().pump(200ms);
  EXPECT_EQ(server.recordedLines(), "") << "nothing of an ambiguous body reaches the helper";
}

TEST(ServerControl, ForwardsKnownLinesAndRefusesTheRest) {
  TempDir dir;
  RunningServer server(dir, RunningServer::Config());
  ASSERT_GT(server.port(), 0) << server.process().out();
  // Neither a web page nor a name rebound to this machine drives the helper.
  auto fromPage = httpRequest(server.port(), "POST", "/control", {{"Origin", "http://page.example"}}, "bitrate 1");
  EXPECT_EQ(fromPage.value_or(HttpResponse{}).status, 403);
  auto rebound = httpExchange(server.port(),
                              "POST /control HTTP/1.1\r\nHost: page.example:8771\r\n"
                              "Content-Length: 9\r\n\r\nbitrate 1");
  EXPECT_EQ(rebound.value_or(HttpResponse{}).status, 403);
  for (const char* body : {"ltr-refresh", "ltr-ack 42\n", "bitrate 5000000\r\n"}) {
    auto response = httpRequest(server.port(), "POST", "/control", {}, body);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->status, 204) << body;
  }
  for (const char* body : {"bitrate 6m", "idr\nbitrate 1", "quit", ""}) {
    auto response = httpRequest(server.port(), "POST", "/control", {}, body);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->status, 400) << body;
  }
  auto wrongMethod = httpRequest(server.port(), "GET", "/control");
  ASSERT_TRUE(wrongMethod.has_value());
  EXPECT_EQ(wrongMethod->status, 405);
  ASSERT_TRUE(server.waitForRecorded("bitrate 5000000"));
  EXPECT_EQ(server.recordedLines(), "ltr-refresh\nltr-ack 42\nbitrate 5000000\n");
}

TEST(ServerControl, LinesTheHelperDoesNotReadAreRefused) {
  TempDir dir;
  RunningServer server(dir, RunningServer::Config().helper({"--ignore-input", "1"}));
  ASSERT_GT(server.port(), 0) << server.process().out();
  // A page of pipe and the server's own queue take a few hundred lines.
  int accepted = 0;
  std::optional<HttpResponse> response;
  while (accepted < 2000) {
    response = httpRequest(server.port(), "POST", "/control", {}, "ltr-ack 9223372036854775807");
    if (!response || response->status != 204) break;
    ++accepted;
  }
  EXPECT_EQ(response.value_or(HttpResponse{}).status, 503) << "after " << accepted << " lines";
}

TEST(ServerUpdateInstall, WritesTheRequestFileBeforePrintingTheLine) {
  TempDir dir;
  std::string caches = dir.file("caches");
  RunningServer server(dir, RunningServer::Config().environment({{"XDG_CACHE_HOME", caches}}));
  ASSERT_GT(server.port(), 0) << server.process().out();
  std::string requestFile = UpdateRequest::url(caches).string();

  for (const char* body : {R"({"version":"latest"})", R"({"version":"1.2\n[update] install requested 9.9"})",
                           R"({"v":"1.2"})", "not json"}) {
    auto response = httpRequest(server.port(), "POST", "/update/install", {}, body);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->status, 400) << body;
  }
  EXPECT_FALSE(fs::exists(requestFile));

  // Watch the output and check the file the moment the line shows up.
  auto pending = std::async(std::launch::async, [&] {
    return httpRequest(server.port(), "POST", "/update/install", {}, R"({"version":"1.4.0"})");
  });
  bool fileWasThere = false;
  ASSERT_TRUE(server.process().pumpUntil(
      [&] {
        if (server.process().out().find("[update] install requested ") == std::string::npos) return false;
        fileWasThere = fs::exists(requestFile);
        return true;
      },
      10s));
  EXPECT_TRUE(fileWasThere);
  auto response = pending.get();
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->status, 202);
  auto now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_EQ(UpdateRequest::version(readFile(requestFile), now), std::optional<std::string>("1.4.0"));
  EXPECT_THAT(server.process().out(), HasSubstr("\n[update] install requested 1.4.0\n"));
  EXPECT_EQ(countOf(server.process().out(), "[update] install requested"), 1u);
}

TEST(ServerLifetime, EndsWhenTheHelperEnds) {
  TempDir dir;
  RunningServer server(dir,
                       RunningServer::Config().helper(
                           {"--exit-after-frames", "20", "--exit-status", "3", "--stderr-line",
                            HostLaunch::quoteForSplitArgs("quorvex-screencap: Screen Recording permission missing")}));
  auto status = server.process().wait(10s);
  ASSERT_TRUE(status.has_value()) << server.process().out();
  EXPECT_NE(*status, 0);
  const auto& out = server.process().out();
  EXPECT_THAT(out, HasSubstr("\nquorvex-screencap: Screen Recording permission missing\n"));
  EXPECT_THAT(out, HasSubstr("\nquorvex-screencap: fake helper done after 20 frames\n"));
  EXPECT_THAT(out, HasSubstr("capture helper exited with status 3"));
}

TEST(ServerLifetime, SigtermStopsTheServerAndItsHelper) {
  TempDir dir;
  RunningServer server(dir, RunningServer::Config());
  ASSERT_GT(server.port(), 0) << server.process().out();
  ASSERT_TRUE(server.process().pumpUntil([&] { return server.helperPid() > 0; }, 10s));
  int helper = server.helperPid();
  HttpStream client(server.port(), "/stream.h264");
  ASSERT_TRUE(client.readAtLeast(100, 10s));

  server.process().signal(SIGTERM);
  auto status = server.process().wait(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  EXPECT_TRUE(client.readToEnd(5s)) << "clients are disconnected";
  // The server reaped its helper, so the process is gone.
  EXPECT_EQ(::kill(helper, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

// User plus system time of a running process, from /proc/<pid>/stat.
double cpuSeconds(int pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // after the command name: field 3 on
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  long user = 0, system = 0;
  fields >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// More idle connections than descriptors: the old accept loop spun on the
// failing accept for as long as they stayed.
TEST(ServerLimits, IdleConnectionsAtTheLimitNeitherSpinNorLockOut) {
  TempDir dir;
  RunningServer server(dir, RunningServer::Config().environment({{"QUORVEX_HOST_TOKEN", "secret"}}).openFileLimit(40));
  ASSERT_GT(server.port(), 0) << server.process().out();
  std::vector<int> idle;
  for (int i = 0; i < 60; ++i) idle.push_back(openConnection(server.port()));
  ASSERT_THAT(idle, ::testing::Each(::testing::Ge(0)));
  // A client that sends its request is served at once, not after the idle
  // ones' deadline.
  auto prompt = httpRequest(server.port(), "GET", "/", {{"Authorization", "Bearer secret"}}, {}, 2s);
  EXPECT_EQ(prompt.value_or(HttpResponse{}).status, 200);

  const double cpuBefore = cpuSeconds(server.process().pid());
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + 5s;
  while (std::chrono::steady_clock::now() < end) {
    server.process().pump(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()));
  }
  const double cpu = cpuSeconds(server.process().pid()) - cpuBefore;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << "server CPU with 60 idle connections at 40 descriptors: " << 100.0 * cpu / wall << " % of a core\n";
  EXPECT_LT(cpu / wall, 0.05);

  // The oldest ones made room for the newer and were closed (or, past the
  // cap, told so) at once.
  int refused = 0;
  for (int fd : idle) {
    char buffer[64] = {};
    auto n = ::recv(fd, buffer, sizeof buffer - 1, MSG_DONTWAIT);
    refused += n == 0 || (n > 0 && std::string(buffer).rfind("HTTP/1.1 503 ", 0) == 0) ? 1 : 0;
  }
  EXPECT_GT(refused, 0);

  for (int fd : idle) ::close(fd);
  std::optional<HttpResponse> served;
  ASSERT_TRUE(server.process().pumpUntil(
      [&] {
        served = httpRequest(server.port(), "GET", "/", {{"Authorization", "Bearer secret"}});
        return served && served->status == 200;
      },
      10s))
      << (served ? served->status : 0);
  EXPECT_FALSE(served->body.empty());  // the viewer page, or the list of endpoints without it
  EXPECT_THAT(server.process().out(), ::testing::Not(HasSubstr("cannot accept")));
}

// An updater run as the host makes it: stdout read to its end, report last.
UpdateCheck updaterReport(const std::string& program, std::vector<std::string> args) {
  args.insert(args.begin(), program);
  auto result = run(withArgs(args), 20s);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  auto report = UpdateCheck::decode(result.out);
  EXPECT_TRUE(report.has_value()) << result.out;
  return report.value_or(UpdateCheck{});
}

struct UpdateFeed {
  TempDir dir;
  UpdateFeed() {
    writeFile(dir.file("manifest.json"),
              R"({"latest":"99.1.0","notes":{"en":"Faster","zh":"更快"},"size":4096,"platform":"linux-x86_64",)"
              R"("bundle":"Quorvex Host.app"})");
    fs::create_directories(dir.file("Quorvex Host.app/Contents/MacOS"));
    writeFile(dir.file("Quorvex Host.app/Contents/Info.plist"),
              "<plist><dict><key>CFBundleShortVersionString</key><string>99.1.0</string></dict></plist>");
  }
};

TEST(ServerUpdater, CheckAgainstALocalFeed) {
  UpdateFeed feed;
  auto report = updaterReport(serverPath(), {"update", "check", "--url", "file://" + feed.dir.path()});
  EXPECT_TRUE(report.available);
  EXPECT_EQ(report.latest, std::optional<std::string>("99.1.0"));
  EXPECT_EQ(report.size, 4096);
  EXPECT_EQ(notes(report, true), std::optional<std::string>("更快"));
  EXPECT_FALSE(report.error.has_value());

  auto noFeed = updaterReport(serverPath(), {"update", "check"});
  EXPECT_FALSE(noFeed.available);
  EXPECT_TRUE(noFeed.error.has_value());
  EXPECT_FALSE(noFeed.current.empty());
}

TEST(ServerUpdater, CurrentVersionComesFromTheBundleAroundTheExecutable) {
  UpdateFeed feed;
  TempDir bundle;
  fs::path macos = fs::path(bundle.path()) / "Quorvex Host.app" / "Contents" / "MacOS";
  fs::create_directories(macos);
  fs::copy_file(serverPath(), macos / "quorvex-webrtc-server");
  writeFile((macos.parent_path() / "Info.plist").string(),
            "<plist><dict><key>CFBundleShortVersionString</key>\n  <string>99.1.0</string></dict></plist>");
  auto report =
      updaterReport((macos / "quorvex-webrtc-server").string(), {"update", "check", "--url", feed.dir.path()});
  EXPECT_EQ(report.current, "99.1.0");
  EXPECT_FALSE(report.available);
}

TEST(ServerUpdater, DownloadCopiesTheBundleAndReportsItsPath) {
  UpdateFeed feed;
  TempDir target;
  std::string downloads = target.file("com.quorvex.host/updates");
  auto report = updaterReport(serverPath(), {"update", "download", "--dir", downloads, "--url", feed.dir.path()});
  ASSERT_FALSE(report.error.has_value()) << *report.error;
  ASSERT_TRUE(report.path.has_value());
  EXPECT_EQ(fs::path(*report.path).parent_path(), fs::path(downloads));
  EXPECT_THAT(readFile(*report.path + "/Contents/Info.plist"), HasSubstr("99.1.0"));
  EXPECT_EQ(report.latest, std::optional<std::string>("99.1.0"));
}

}  // namespace
}  // namespace qx::test
