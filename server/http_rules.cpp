#include "server/http_rules.h"

#include "common/numbers.h"

#include <cctype>

namespace qx::server {

namespace {

std::string_view pathOf(std::string_view target) {
  auto q = target.find('?');
  return q == std::string_view::npos ? target : target.substr(0, q);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = hexValue(text[i + 1]);
    int lo = hexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

bool constantTimeEquals(std::string_view expected, std::string_view given) {
  unsigned diff = expected.size() == given.size() ? 0u : 1u;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= static_cast<unsigned>(static_cast<unsigned char>(expected[i]) ^ g);
  }
  return diff == 0;
}

std::optional<std::string> queryParameter(std::string_view target, std::string_view name) {
  auto q = target.find('?');
  if (q == std::string_view::npos) return std::nullopt;
  std::string_view query = target.substr(q + 1);
  auto hash = query.find('#');
  if (hash != std::string_view::npos) query = query.substr(0, hash);
  while (!query.empty()) {
    auto amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    auto eq = pair.find('=');
    std::string_view key = pair.substr(0, eq);
    if (key != name) continue;
    return percentDecode(eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1));
  }
  return std::nullopt;
}

bool carriesToken(std::string_view target, std::string_view authorization, std::string_view token) {
  bool ok = false;
  constexpr std::string_view scheme = "Bearer ";
  if (authorization.size() > scheme.size() && equalsIgnoringCase(authorization.substr(0, scheme.size()), scheme)) {
    ok = constantTimeEquals(token, authorization.substr(scheme.size()));
  }
  if (auto given = queryParameter(target, "token")) {
    ok = constantTimeEquals(token, *given) || ok;
  }
  return ok;
}

std::optional<std::string> pageFile(std::string_view target) {
  std::string_view path = pathOf(target);
  if (path == "/") return std::string("index.html");
  if (path.size() < 2 || path[0] != '/' || path[1] == '.') return std::nullopt;
  std::string_view name = path.substr(1);
  for (char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '.' && c != '-' && c != '_') return std::nullopt;
  }
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  std::string_view extension = name.substr(dot + 1);
  for (std::string_view served : {"html", "css", "js", "svg", "png", "ico"}) {
    if (extension == served) return std::string(name);
  }
  return std::nullopt;
}

bool isSdpContentType(std::string_view contentType) {
  auto semicolon = contentType.find(';');
  std::string_view type = contentType.substr(0, semicolon);
  while (!type.empty() && type.back() == ' ') type.remove_suffix(1);
  return equalsIgnoringCase(type, "application/sdp");
}

RouteDecision route(std::string_view method, std::string_view target, std::string_view authorization,
                    const std::optional<std::string>& token, bool audioEnabled) {
  std::string_view path = pathOf(target);
  const bool whepPath = path == "/whep" || path.substr(0, 6) == "/whep/";
  if (method == "OPTIONS" && whepPath) return {200, Endpoint::preflight};
  if (method == "GET" && pageFile(target)) return {200, Endpoint::page};
  if (token && !token->empty() && !carriesToken(target, authorization, *token)) return {401, std::nullopt};
  if (path.substr(0, 6) == "/whep/" && path.size() > 6) {
    return method == "DELETE" ? RouteDecision{200, Endpoint::whepSession} : RouteDecision{405, std::nullopt};
  }
  struct Resource {
    std::string_view path;
    std::string_view method;
    Endpoint endpoint;
  };
  static constexpr Resource resources[] = {
      {"/", "GET", Endpoint::index},
      {"/stream.h264", "GET", Endpoint::stream},
      {"/audio.opus", "GET", Endpoint::audio},
      {"/control", "POST", Endpoint::control},
      {"/update/install", "POST", Endpoint::updateInstall},
      {"/whep", "POST", Endpoint::whep},
  };
  for (const auto& resource : resources) {
    if (path != resource.path) continue;
    if (method != resource.method) return {405, std::nullopt};
    if (resource.endpoint == Endpoint::audio && !audioEnabled) return {404, std::nullopt};
    return {200, resource.endpoint};
  }
  return {404, std::nullopt};
}

std::optional<std::string> controlLine(std::string_view body) {
  if (body.size() >= 2 && body.substr(body.size() - 2) == "\r\n") {
    body.remove_suffix(2);
  } else if (!body.empty() && body.back() == '\n') {
    body.remove_suffix(1);
  }
  if (body == "idr" || body == "ltr-refresh") return std::string(body);
  for (std::string_view prefix : {std::string_view("ltr-ack "), std::string_view("bitrate ")}) {
    if (body.substr(0, prefix.size()) != prefix) continue;
    auto number = parseDecimalInt64(body.substr(prefix.size()));
    if (!number) return std::nullopt;
    return std::string(prefix) + std::to_string(*number);
  }
  return std::nullopt;
}

}  // namespace qx::server
