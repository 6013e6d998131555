// The stand-in server's rules for outside input: the listen address (never
// at odds with the host's settings), request routing and authorisation, the
// Host and Origin headers, control bodies, the capture command's words and
// its command line.

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "HostCore/HostSettings.h"
#include "fuzz/check.h"
#include "server/command_line.h"
#include "server/http_rules.h"
#include "server/listen_address.h"
#include "server/request_source.h"
#include "server/split_args.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string listen = input.ConsumeRandomLengthString(64);
  const std::string method = input.ConsumeRandomLengthString(16);
  const std::string target = input.ConsumeRandomLengthString(128);
  const std::string authorization = input.ConsumeRandomLengthString(64);
  const std::string token = input.ConsumeRandomLengthString(32);
  const bool audio = input.ConsumeBool();
  const std::string host = input.ConsumeRandomLengthString(64);
  const std::string origin = input.ConsumeRandomLengthString(64);
  const std::string rest = input.ConsumeRemainingBytesAsString();

  // The server serves exactly what the settings accept, and port 0 besides.
  qx::HostSettings settings;
  settings.listen = listen;
  const auto address = qx::server::parseListenAddress(listen);
  QX_FUZZ_CHECK(address.has_value() == (!settings.validationError() || settings.port() == 0));
  if (address) {
    QX_FUZZ_CHECK(address->port == settings.port());
    QX_FUZZ_CHECK(address->host == settings.bindHost().value_or(""));
    (void)qx::server::formatEndpoint(address->host, address->port);
  }

  const auto decision = qx::server::route(method, target, authorization, token, audio);
  QX_FUZZ_CHECK(decision.endpoint.has_value() == (decision.status == 200));
  // Nothing but the viewer page and CORS preflights is served to a client without the token.
  const bool open =
      decision.endpoint == qx::server::Endpoint::page || decision.endpoint == qx::server::Endpoint::preflight;
  if (!token.empty() && decision.status == 200 && !open)
    QX_FUZZ_CHECK(qx::server::carriesToken(target, authorization, token));
  QX_FUZZ_CHECK(qx::server::route(method, target, authorization, std::nullopt, audio).status != 401);
  QX_FUZZ_CHECK(qx::server::constantTimeEquals(token, token));

  // A page's request is served only from its own host, and only one naming
  // this machine.
  if (qx::server::requestSourceAllowed({host, origin}, "studio")) {
    QX_FUZZ_CHECK(origin.size() == host.size() + 7);
    QX_FUZZ_CHECK(qx::server::requestSourceAllowed({host, std::nullopt}, "studio"));
  }
  QX_FUZZ_CHECK(!qx::server::requestSourceAllowed({std::nullopt, origin}, "studio"));

  if (const auto decoded = qx::server::percentDecode(target)) QX_FUZZ_CHECK(decoded->size() <= target.size());
  (void)qx::server::queryParameter(target, "token");
  if (const auto line = qx::server::controlLine(rest)) QX_FUZZ_CHECK(line->find('\n') == std::string::npos);

  if (const auto words = qx::server::splitArgs(rest)) {
    (void)qx::server::parseCommandLine(*words);
  }
  return 0;
}
