#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qx::server {

// The server's resources.
enum class Endpoint {
  index,
  stream,
  audio,
  control,
  updateInstall,
  page,         // the viewer page's files: "/" and "/<name>.<html|css|js|svg|png|ico>"
  preflight,    // OPTIONS on /whep or a session location
  whep,         // POST /whep: a viewer's offer
  whepSession,  // DELETE /whep/<id>: the viewer leaves
};

// What to do with one request: serve `endpoint` when status is 200,
// otherwise answer with the status alone.
struct RouteDecision {
  int status = 404;
  std::optional<Endpoint> endpoint;

  bool operator==(const RouteDecision&) const = default;
};

// The viewer page's files and CORS preflights are served to everyone (a
// browser sends neither the token with them). For the rest authorisation comes
// first (every path, so nothing leaks without the token), then the path (query
// ignored) and the method. `token` absent or empty means
// every client is let in. `authorization` is the Authorization header value,
// empty when missing.
RouteDecision route(std::string_view method, std::string_view target, std::string_view authorization,
                    const std::optional<std::string>& token, bool audioEnabled);

// True when the request carries `token` as "Authorization: Bearer <token>" or
// as the query parameter "token" (percent-decoded).
bool carriesToken(std::string_view target, std::string_view authorization, std::string_view token);

// Equality whose running time depends only on the length of `expected`, so
// a client cannot find the token byte by byte by timing the answers.
bool constantTimeEquals(std::string_view expected, std::string_view given);

// Decodes %XX escapes ('+' stays '+'). Absent when an escape is cut short or
// not hexadecimal.
std::optional<std::string> percentDecode(std::string_view text);

// The value of query parameter `name` in a request target, percent-decoded
// ('+' stays '+'). Absent when missing or badly encoded.
std::optional<std::string> queryParameter(std::string_view target, std::string_view name);

// Checks a POST /control body and returns the one control line to forward to
// the helper (without line feed): "idr", "ltr-refresh", "ltr-ack N" or
// "bitrate N" with N a decimal integer. One trailing line feed or carriage
// return + line feed is allowed; anything else is absent, so a client can
// never put a second line on the helper's input.
std::optional<std::string> controlLine(std::string_view body);

// The file name a page request asks for ("index.html" for "/"); absent for
// paths that are not page files.
std::optional<std::string> pageFile(std::string_view target);

// True for "application/sdp", with parameters or not, in any case.
bool isSdpContentType(std::string_view contentType);

}  // namespace qx::server
