#include "tests/e2e/server/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>

namespace qx::test {

namespace {

int connectLoopback(int port, int receiveBuffer) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string requestText(const std::string& method, const std::string& target,
                        const std::map<std::string, std::string>& headers, const std::string& body) {
  std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
  if (!body.empty() || method == "POST") text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "\r\n" + body;
  return text;
}

bool sendAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads into `buffer`; 0 on end of stream, -1 on error or deadline.
ssize_t readWithDeadline(int fd, std::string& buffer, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return -1;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return -1;
  char chunk[65536];
  ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
  if (n > 0) buffer.append(chunk, static_cast<std::size_t>(n));
  return n;
}

// Splits "HTTP/1.1 200 OK\r\nName: value\r\n\r\n" off the front of `buffer`.
bool parseHead(std::string& buffer, HttpResponse& response) {
  auto end = buffer.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  std::string head = buffer.substr(0, end);
  buffer.erase(0, end + 4);
  auto lineEnd = head.find("\r\n");
  std::string statusLine = head.substr(0, lineEnd);
  auto space = statusLine.find(' ');
  response.status = space == std::string::npos ? 0 : std::atoi(statusLine.c_str() + space + 1);
  std::size_t at = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
  while (at < head.size()) {
    auto next = head.find("\r\n", at);
    std::string line = head.substr(at, next == std::string::npos ? std::string::npos : next - at);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      auto value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      response.headers[name] = value;
    }
    if (next == std::string::npos) break;
    at = next + 2;
  }
  return true;
}

}  // namespace

std::optional<HttpResponse> httpRequest(int port, const std::string& method, const std::string& target,
                                        const std::map<std::string, std::string>& headers, const std::string& body,
                                        std::chrono::milliseconds timeout) {
  return httpExchange(port, requestText(method, target, headers, body), timeout);
}

int openConnection(int port) { return connectLoopback(port, 0); }

std::optional<HttpResponse> httpExchange(int port, const std::string& request, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int fd = connectLoopback(port, 0);
  if (fd < 0) return std::nullopt;
  std::optional<HttpResponse> result;
  if (sendAll(fd, request)) {
    std::string buffer;
    ssize_t n;
    while ((n = readWithDeadline(fd, buffer, deadline)) > 0) {
    }
    HttpResponse response;
    if (n == 0 && parseHead(buffer, response)) {
      response.body = buffer;
      result = response;
    }
  }
  ::close(fd);
  return result;
}

HttpStream::HttpStream(int port, const std::string& target, const std::map<std::string, std::string>& headers,
                       int receiveBuffer) {
  fd_ = connectLoopback(port, receiveBuffer);
  if (fd_ < 0 || !sendAll(fd_, requestText("GET", target, headers, {}))) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string buffer;
  HttpResponse head;
  while (!parseHead(buffer, head)) {
    if (readWithDeadline(fd_, buffer, deadline) <= 0) return;
  }
  status_ = head.status;
  body_ = buffer;
}

HttpStream::~HttpStream() { close(); }

bool HttpStream::send(const std::string& bytes) { return fd_ >= 0 && sendAll(fd_, bytes); }

void HttpStream::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool HttpStream::readSome(std::chrono::steady_clock::time_point deadline) {
  if (fd_ < 0 || ended_) return false;
  ssize_t n = readWithDeadline(fd_, body_, deadline);
  if (n == 0) ended_ = true;
  return n > 0;
}

bool HttpStream::readAtLeast(std::size_t bytes, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (body_.size() < bytes) {
    if (!readSome(deadline)) return false;
  }
  return true;
}

bool HttpStream::readToEnd(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!ended_) {
    if (!readSome(deadline) && !ended_) return false;
  }
  return true;
}

}  // namespace qx::test
