#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qx::server {

// What a viewer's SDP offer asks for, checked before it reaches the WebRTC
// stack (which aborts the whole process on offers it cannot match).
struct OfferedMedia {
  std::string mid;
  int videoPayloadType = 0;            // H.264, packetization-mode=1, 96..127
  std::string offeredProfile;          // its profile-level-id, six lower-case hex digits
  std::optional<int> opusPayloadType;  // absent: no audio section, or audio not received
  bool dataChannel = false;            // an m=application section (SCTP) is there
  // The video section's one-byte id (1..14) for the playout-delay header
  // extension, when offered: with it the sender asks the browser to show
  // each picture as soon as it is decoded.
  std::optional<int> playoutDelayExtension;
};

inline constexpr const char* kPlayoutDelayUri = "http://www.webrtc.org/experiments/rtp-hdrext/playout-delay";

struct OfferRefusal {
  std::string reason;  // one line, for the 400 answer
};

// Reads the offer and picks, among its H.264 formats (packetization-mode=1,
// payload type 96..127), the one closest to `streamProfile` (the stream's
// profile-level-id): the same profile and constraints first, then a profile
// whose decoders also decode the stream, then any. Opus is taken when offered
// with a payload type of 96..127.
std::variant<OfferedMedia, OfferRefusal> checkOffer(std::string_view sdp, std::string_view streamProfile);

// The profile-level-id of the first sequence parameter set in an Annex B
// access unit ("640c1f"), absent when it holds none.
std::optional<std::string> profileOfAccessUnit(std::string_view accessUnit);

// The profile name GStreamer's caps use for a profile-level-id, so the two
// never disagree; empty when there is no such name.
std::string profileName(std::string_view profileLevelId);

// "A-B" with 1024 <= A <= B <= 65535: the UDP ports WebRTC may use.
std::optional<std::pair<int, int>> parsePortRange(std::string_view text);

}  // namespace qx::server
