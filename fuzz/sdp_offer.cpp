// A viewer's SDP offer: whatever it holds, the check either refuses it with a
// reason or names a format the WebRTC stack accepts (H.264 with a dynamic
// payload type, a six-digit profile), so nothing it passes on can abort it.

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <variant>

#include "fuzz/check.h"
#include "server/sdp_offer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string stream = input.ConsumeRandomLengthString(8);
  const std::string sdp = input.ConsumeRemainingBytesAsString();

  const auto result = qx::server::checkOffer(sdp, stream);
  if (const auto* refusal = std::get_if<qx::server::OfferRefusal>(&result)) {
    QX_FUZZ_CHECK(!refusal->reason.empty() && refusal->reason.find('\n') == std::string::npos);
  } else {
    const auto& media = std::get<qx::server::OfferedMedia>(result);
    QX_FUZZ_CHECK(media.videoPayloadType >= 96 && media.videoPayloadType <= 127);
    QX_FUZZ_CHECK(media.offeredProfile.size() == 6);
    QX_FUZZ_CHECK(!media.mid.empty());
    if (media.opusPayloadType) QX_FUZZ_CHECK(*media.opusPayloadType >= 96 && *media.opusPayloadType <= 127);
    (void)qx::server::profileName(media.offeredProfile);
  }
  if (const auto profile = qx::server::profileOfAccessUnit(sdp)) QX_FUZZ_CHECK(profile->size() == 6);
  (void)qx::server::parsePortRange(stream);
  return 0;
}
