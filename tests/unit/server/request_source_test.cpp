#include "server/request_source.h"

#include <gtest/gtest.h>

namespace qx::server {
namespace {

using Header = std::optional<std::string_view>;

TEST(RequestSource, HostMustNameThisMachine) {
  const std::pair<Header, bool> cases[] = {
      {"127.0.0.1", true},
      {"192.168.1.20:8771", true},
      {"[::1]:8771", true},
      {"[fe80::1%25eth0]", true},
      {"localhost:8771", true},
      {"LocalHost", true},
      {"studio", true},
      {"Studio.local:8771", true},
      {std::nullopt, true},
      {"studio.example.com", false},
      {"attacker.example:8771", false},
      {"localhost.attacker.example", false},
      {"studio.local.attacker.example", false},
      {"127.0.0.1.nip.io", false},
      {"127.0.0.1:99999999", false},
      {"127.0.0.1:", false},
      {"[::1", false},
      {"[::1]x", false},
      {"[studio]", false},
      {"::1", false},
      {"999.0.0.1", false},
      {"", false},
  };
  for (const auto& [host, allowed] : cases) {
    EXPECT_EQ(requestSourceAllowed({host, std::nullopt}, "studio"), allowed) << host.value_or("(none)");
  }
  EXPECT_FALSE(requestSourceAllowed({"local", std::nullopt}, ""));
  EXPECT_FALSE(requestSourceAllowed({".local", std::nullopt}, ""));
}

TEST(RequestSource, OriginMustBeThePageOfThisHost) {
  const std::pair<Header, Header> allowed[] = {
      {"127.0.0.1:8771", std::nullopt},
      {"127.0.0.1:8771", "http://127.0.0.1:8771"},
      {"studio.local:8771", "HTTP://Studio.Local:8771"},
  };
  for (const auto& [host, origin] : allowed) EXPECT_TRUE(requestSourceAllowed({host, origin}, "studio")) << *origin;
  const std::pair<Header, Header> refused[] = {
      {"127.0.0.1:8771", "null"},
      {"127.0.0.1:8771", ""},
      {"127.0.0.1:8771", "http://127.0.0.1"},
      {"127.0.0.1:8771", "https://127.0.0.1:8771"},
      {"127.0.0.1:8771", "http://evil.example"},
      {"127.0.0.1:8771", "http://127.0.0.1:8771/"},
      {"localhost:8771", "http://127.0.0.1:8771"},
      {std::nullopt, "http://127.0.0.1:8771"},
  };
  for (const auto& [host, origin] : refused) EXPECT_FALSE(requestSourceAllowed({host, origin}, "studio")) << *origin;
}

}  // namespace
}  // namespace qx::server
