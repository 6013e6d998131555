#pragma once

#include <optional>
#include <string_view>

namespace qx::server {

// Where a request says it comes from: its Host header and, from a web page,
// its Origin header. Absent headers are absent, not empty.
struct RequestSource {
  std::optional<std::string_view> host;
  std::optional<std::string_view> origin;
};

// Whether a request may be served, so that a web page in the user's browser
// cannot drive the server: neither from another origin (any Origin that is not
// "http://" + Host, "null" included) nor through a name it rebound to this
// machine (a Host other than an IP literal, "localhost", `machineName` or
// `machineName` + ".local", port aside). Names compare without regard to
// case. A request without Host is served: browsers always send one.
bool requestSourceAllowed(const RequestSource& source, std::string_view machineName);

}  // namespace qx::server
