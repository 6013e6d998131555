#include "tests/support/chromium.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace qx::test {

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const char* const program = "/usr/bin/chromium";

std::string decodeBase64(const std::string& text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    int v = c >= 'A' && c <= 'Z'   ? c - 'A'
            : c >= 'a' && c <= 'z' ? c - 'a' + 26
            : c >= '0' && c <= '9' ? c - '0' + 52
            : c == '+'             ? 62
            : c == '/'             ? 63
                                   : -1;
    if (v < 0) continue;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return out;
}

// A close-on-exec copy at 10 or above, so the dup2 onto 3 and 4 in the child
// cannot overwrite the other end.
int highFd(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return copy;
}

}  // namespace

Chromium::Chromium(Options options) : profile_(std::make_unique<TempDir>()) {
  if (::access(program, X_OK) != 0) throw std::runtime_error("chromium is not installed");
  std::filesystem::create_directories(profile_->file("profile/Default"));
  json prefs = json::object();
  if (options.udpPortLow > 0)
    prefs["webrtc"]["udp_port_range"] = std::to_string(options.udpPortLow) + "-" + std::to_string(options.udpPortHigh);
  writeFile(profile_->file("profile/Default/Preferences"), prefs.dump());

  int commands[2], replies[2];
  if (::pipe(commands) != 0 || ::pipe(replies) != 0) throw std::runtime_error("pipe failed");
  const int childIn = highFd(commands[0]), childOut = highFd(replies[1]);
  toBrowser_ = highFd(commands[1]);
  fromBrowser_ = highFd(replies[0]);

  Process::Options o;
  o.pipeStdin = false;
  // The shell sends the browser's chatter to a file (nobody drains a pipe
  // between calls) and becomes the browser, so the pid is the browser's.
  o.args = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >\"$QX_CHROMIUM_LOG\" 2>&1", program, "--headless=new", "--no-sandbox",
            "--autoplay-policy=no-user-gesture-required", "--allow-loopback-in-peer-connection",
            "--use-fake-ui-for-media-stream", "--use-fake-device-for-media-stream",
            // Real host candidates instead of mDNS names, which the server cannot resolve.
            "--disable-features=WebRtcHideLocalIpsWithMdns,MediaRouter,Translate,OptimizationHints",
            // Only loopback is contacted: no updates, metrics or sync.
            "--disable-background-networking", "--disable-component-update", "--disable-sync", "--disable-default-apps",
            "--disable-extensions", "--no-first-run", "--no-default-browser-check", "--password-store=basic",
            "--disable-background-timer-throttling", "--disable-renderer-backgrounding", "--remote-debugging-pipe",
            "--user-data-dir=" + profile_->file("profile"), "about:blank"};
  o.setEnv = {{"QX_CHROMIUM_LOG", profile_->file("chromium.log")}};
  o.extraFds = {{3, childIn}, {4, childOut}};
  process_ = std::make_unique<Process>(o);
  ::close(childIn);
  ::close(childOut);

  const json targets = command("Target.getTargets", json::object(), {}, 20s);
  std::string target;
  for (const auto& t : targets.at("targetInfos"))
    if (t.at("type") == "page") target = t.at("targetId");
  if (target.empty()) target = command("Target.createTarget", {{"url", "about:blank"}}, {}, 10s).at("targetId");
  session_ = command("Target.attachToTarget", {{"targetId", target}, {"flatten", true}}, {}, 10s).at("sessionId");
  call("Runtime.enable");
  call("Page.enable");
}

Chromium::~Chromium() {
  if (toBrowser_ >= 0) {
    try {
      command("Browser.close", json::object(), {}, 3s);
    } catch (const std::exception&) {  // closing the pipes below ends it too
    }
    ::close(toBrowser_);
  }
  if (fromBrowser_ >= 0) ::close(fromBrowser_);
  process_->wait(5s);  // the Process kills it by its pid if it is still there
}

void Chromium::send(const json& message) {
  std::string text = message.dump();
  text += '\0';
  std::size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = ::write(toBrowser_, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("chromium's command pipe is closed");
    off += static_cast<std::size_t>(n);
  }
}

json Chromium::receive(int id, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    for (auto end = buffer_.find('\0'); end != std::string::npos; end = buffer_.find('\0')) {
      json message = json::parse(buffer_.substr(0, end), nullptr, false);
      buffer_.erase(0, end + 1);
      if (message.is_discarded()) continue;
      if (message.value("id", 0) == id) return message;
      if (message.contains("method")) noteEvent(message);
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("chromium did not answer in time");
    pollfd p{fromBrowser_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[65536];
    const ssize_t n = ::read(fromBrowser_, chunk, sizeof chunk);
    if (n == 0 || (n < 0 && errno != EINTR)) throw std::runtime_error("chromium closed its pipe:\n" + log());
    if (n > 0) buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

json Chromium::command(const std::string& method, const json& params, const std::string& session,
                       std::chrono::milliseconds timeout) {
  const int id = nextId_++;
  json message = {{"id", id}, {"method", method}, {"params", params}};
  if (!session.empty()) message["sessionId"] = session;
  send(message);
  json reply = receive(id, std::chrono::steady_clock::now() + timeout);
  if (reply.contains("error")) throw std::runtime_error(method + " failed: " + reply["error"].dump());
  return reply.value("result", json::object());
}

json Chromium::call(const std::string& method, const json& params, std::chrono::milliseconds timeout) {
  return command(method, params, session_, timeout);
}

void Chromium::noteEvent(const json& event) {
  const std::string method = event.value("method", "");
  const json& params = event.contains("params") ? event["params"] : json::object();
  if (method == "Runtime.consoleAPICalled") {
    console_ += params.value("type", "log") + ":";
    for (const auto& arg : params.value("args", json::array()))
      console_ += " " + (arg.contains("value") ? arg["value"].dump() : arg.value("description", "?"));
    console_ += "\n";
  } else if (method == "Runtime.exceptionThrown") {
    const json& details = params.value("exceptionDetails", json::object());
    console_ +=
        "exception: " + details.value("exception", json::object()).value("description", details.value("text", "")) +
        "\n";
  }
}

void Chromium::navigate(const std::string& url) {
  const json result = call("Page.navigate", {{"url", url}}, 20s);
  if (result.contains("errorText")) throw std::runtime_error("navigation to " + url + " failed: " + result.dump());
  if (!waitFor("location.href === " + json(url).dump() + " && document.readyState === 'complete'", 20s))
    throw std::runtime_error(url + " did not load");
}

json Chromium::evaluate(const std::string& expression, std::chrono::milliseconds timeout) {
  const json result =
      call("Runtime.evaluate", {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}}, timeout);
  if (result.contains("exceptionDetails")) {
    const json& details = result["exceptionDetails"];
    throw std::runtime_error(
        "exception in the page: " +
        details.value("exception", json::object()).value("description", details.value("text", "")));
  }
  return result.at("result").value("value", json());
}

bool Chromium::waitFor(const std::string& expression, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    try {
      const json value = evaluate("(async () => !!(await (" + expression + ")))()", 5s);
      if (value.is_boolean() && value.get<bool>()) return true;
    } catch (const std::runtime_error&) {  // a page being replaced, or not ready yet
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

void Chromium::setViewport(int width, int height, bool mobile) {
  call("Emulation.setDeviceMetricsOverride",
       {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", mobile}});
  call("Emulation.setTouchEmulationEnabled", {{"enabled", mobile}, {"maxTouchPoints", 5}});
}

void Chromium::touch(const std::string& type, const std::vector<Point>& fingers) {
  json points = json::array();
  for (std::size_t i = 0; i < fingers.size(); ++i)
    points.push_back({{"x", fingers[i].x}, {"y", fingers[i].y}, {"id", static_cast<int>(i)}});
  call("Input.dispatchTouchEvent", {{"type", type}, {"touchPoints", points}});
}

void Chromium::mouse(const std::string& type, Point at, const std::string& button) {
  const bool click = type != "mouseMoved";
  call("Input.dispatchMouseEvent",
       {{"type", type}, {"x", at.x}, {"y", at.y}, {"button", button}, {"clickCount", click ? 1 : 0}});
}

void Chromium::key(const std::string& type, const std::string& key, const std::string& code, const std::string& text) {
  json params = {{"type", type}, {"key", key}, {"code", code}};
  if (!text.empty()) params["text"] = text;
  call("Input.dispatchKeyEvent", params);
}

void Chromium::screenshot(const std::string& path) {
  const json shot = call("Page.captureScreenshot", {{"format", "png"}}, 20s);
  std::ofstream(path, std::ios::binary) << decodeBase64(shot.at("data").get<std::string>());
}

std::string Chromium::log() const {
  const std::string text = readFile(profile_->file("chromium.log"));
  return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

}  // namespace qx::test
