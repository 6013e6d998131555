#pragma once

// A minimal blocking HTTP/1.1 client over loopback for the server's process
// tests. Every read has a deadline, so a server that stops answering fails
// the test instead of hanging it.

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace qx::test {

struct HttpResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// Sends one request and reads the response to the end of the connection.
// Absent when the connection fails or the deadline passes.
std::optional<HttpResponse> httpRequest(int port, const std::string& method, const std::string& target,
                                        const std::map<std::string, std::string>& headers = {},
                                        const std::string& body = {},
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Sends `request` as it is (malformed ones included) and reads the response
// to the end of the connection. Absent as for httpRequest.
std::optional<HttpResponse> httpExchange(int port, const std::string& request,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A connected loopback socket that has sent nothing, or -1. The caller closes it.
int openConnection(int port);

// A streaming GET that stays open: the status and headers are read at
// construction, the body on demand.
class HttpStream {
 public:
  // `receiveBuffer` > 0 shrinks the socket's receive buffer (slow clients).
  HttpStream(int port, const std::string& target, const std::map<std::string, std::string>& headers = {},
             int receiveBuffer = 0);
  ~HttpStream();
  HttpStream(const HttpStream&) = delete;
  HttpStream& operator=(const HttpStream&) = delete;

  int status() const { return status_; }
  // Reads until at least `bytes` body bytes are buffered; false on end of
  // stream or deadline.
  bool readAtLeast(std::size_t bytes, std::chrono::milliseconds timeout);
  // Reads until the connection ends; false when the deadline passes first.
  bool readToEnd(std::chrono::milliseconds timeout);
  const std::string& body() const { return body_; }
  // Sends `bytes` on the open connection (a client that talks after its request).
  bool send(const std::string& bytes);
  void close();

 private:
  bool readSome(std::chrono::steady_clock::time_point deadline);
  int fd_ = -1;
  int status_ = 0;
  bool ended_ = false;
  std::string body_;
};

}  // namespace qx::test
