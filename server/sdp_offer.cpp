#include "server/sdp_offer.h"

#include "common/numbers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>

namespace qx::server {

namespace {

// More sections than any browser offers for one video, one audio and one
// data channel; bounds the work an offer can cause.
constexpr std::size_t maxSections = 32;

std::string lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::optional<int> payloadType(std::string_view text) {
  auto value = parseDecimalInt64(text);
  if (!value || *value < 0 || *value > 127) return std::nullopt;
  return static_cast<int>(*value);
}

bool isHexProfile(std::string_view text) {
  return text.size() == 6 &&
         std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

struct Section {
  std::string kind;  // "video", "audio", "application"
  std::string proto;
  bool portZero = false;
  std::string mid;
  std::string direction;
  std::vector<int> formats;
  std::map<int, std::string> rtpmap;                       // lower case "h264/90000"
  std::map<int, std::map<std::string, std::string>> fmtp;  // lower-case keys
  std::map<std::string, int> extmap;                       // header extension URI to its id
};

struct ParsedOffer {
  std::vector<Section> sections;
  std::string sessionDirection = "sendrecv";
  bool iceUfrag = false;
  bool icePwd = false;
  bool fingerprint = false;
};

std::optional<ParsedOffer> parse(std::string_view sdp, std::string& error) {
  ParsedOffer offer;
  bool first = true;
  for (auto raw : split(sdp, '\n')) {
    auto line = trim(raw);
    if (line.empty()) continue;
    if (first) {
      if (line != "v=0") {
        error = "not an SDP offer (it must begin with v=0)";
        return std::nullopt;
      }
      first = false;
      continue;
    }
    if (line.size() < 2 || line[1] != '=') {
      error = "malformed SDP line";
      return std::nullopt;
    }
    char type = line[0];
    auto value = line.substr(2);
    Section* section = offer.sections.empty() ? nullptr : &offer.sections.back();
    if (type == 'm') {
      if (offer.sections.size() == maxSections) {
        error = "too many media sections";
        return std::nullopt;
      }
      auto words = split(value, ' ');
      if (words.size() < 4) {
        error = "malformed m= line";
        return std::nullopt;
      }
      Section next;
      next.kind = lower(words[0]);
      next.portZero = words[1] == "0";
      next.proto = std::string(words[2]);
      for (std::size_t i = 3; i < words.size(); ++i) {
        if (auto pt = payloadType(words[i])) next.formats.push_back(*pt);
      }
      offer.sections.push_back(std::move(next));
      continue;
    }
    if (type != 'a') continue;
    auto colon = value.find(':');
    auto name = value.substr(0, colon);
    auto rest = colon == std::string_view::npos ? std::string_view{} : value.substr(colon + 1);
    if (name == "ice-ufrag") offer.iceUfrag = !rest.empty();
    if (name == "ice-pwd") offer.icePwd = !rest.empty();
    if (name == "fingerprint") offer.fingerprint = !rest.empty();
    if (name == "sendrecv" || name == "recvonly" || name == "sendonly" || name == "inactive") {
      (section ? section->direction : offer.sessionDirection) = std::string(name);
    }
    if (!section) continue;
    if (name == "mid") section->mid = std::string(rest);
    if (name == "extmap") {
      // "<id>[/<direction>] <uri> [<attributes>]"
      const auto words = split(rest, ' ');
      if (words.size() >= 2) {
        if (auto id = parseDecimalInt64(words[0].substr(0, words[0].find('/')))) {
          section->extmap[std::string(words[1])] = static_cast<int>(std::clamp<std::int64_t>(*id, 0, 4096));
        }
      }
    }
    if (name == "rtpmap" || name == "fmtp") {
      auto space = rest.find(' ');
      auto pt = payloadType(rest.substr(0, space));
      if (!pt || space == std::string_view::npos) continue;
      auto parameters = trim(rest.substr(space + 1));
      if (name == "rtpmap") {
        section->rtpmap[*pt] = lower(parameters);
        continue;
      }
      auto& map = section->fmtp[*pt];
      for (auto pair : split(parameters, ';')) {
        auto eq = pair.find('=');
        if (eq == std::string_view::npos) continue;
        map[lower(trim(pair.substr(0, eq)))] = std::string(trim(pair.substr(eq + 1)));
      }
    }
  }
  if (first) {
    error = "empty offer";
    return std::nullopt;
  }
  return offer;
}

bool receives(const Section& section, const ParsedOffer& offer) {
  if (section.portZero) return false;
  const auto& direction = section.direction.empty() ? offer.sessionDirection : section.direction;
  return direction == "sendrecv" || direction == "recvonly";
}

int profileIdc(std::string_view profile) { return std::stoi(std::string(profile.substr(0, 2)), nullptr, 16); }

// Higher is closer: decoders of the preferred profiles also decode the stream.
int closeness(std::string_view offered, std::string_view stream) {
  int streamIdc = profileIdc(stream);
  std::array<int, 3> order{streamIdc, 77, streamIdc == 66 ? 100 : 66};
  int score = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (profileIdc(offered) == order[i]) {
      score = static_cast<int>(order.size() - i) * 1000;
      break;
    }
  }
  // The same profile, whichever compatible constraint flags an encoder set
  // (x264 codes Constrained Baseline as 42c0, browsers offer it as 42e0).
  if (score > 0 && profileName(offered) == profileName(stream) && !profileName(stream).empty()) score += 500;
  return score + std::stoi(std::string(offered.substr(4, 2)), nullptr, 16);
}

}  // namespace

std::variant<OfferedMedia, OfferRefusal> checkOffer(std::string_view sdp, std::string_view streamProfile) {
  std::string error;
  auto offer = parse(sdp, error);
  if (!offer) return OfferRefusal{error};
  if (!offer->iceUfrag || !offer->icePwd || !offer->fingerprint) {
    return OfferRefusal{"the offer lacks ICE credentials or a DTLS fingerprint"};
  }
  const std::string stream = lower(streamProfile);
  OfferedMedia media;
  const Section* video = nullptr;
  int bestScore = -1;
  for (const auto& section : offer->sections) {
    if (section.kind == "application") {
      media.dataChannel = media.dataChannel || section.proto.find("SCTP") != std::string::npos;
      continue;
    }
    if (!receives(section, *offer)) continue;
    if (section.kind == "audio" && !media.opusPayloadType) {
      for (int pt : section.formats) {
        auto map = section.rtpmap.find(pt);
        if (pt >= 96 && map != section.rtpmap.end() && map->second == "opus/48000/2") {
          media.opusPayloadType = pt;
          if (section.mid.empty()) return OfferRefusal{"the audio section has no a=mid"};
          break;
        }
      }
    }
    if (section.kind != "video" || video) continue;
    for (int pt : section.formats) {
      auto map = section.rtpmap.find(pt);
      if (pt < 96 || map == section.rtpmap.end() || map->second != "h264/90000") continue;
      auto fmtp = section.fmtp.find(pt);
      if (fmtp == section.fmtp.end()) continue;
      auto mode = fmtp->second.find("packetization-mode");
      if (mode == fmtp->second.end() || mode->second != "1") continue;
      auto id = fmtp->second.find("profile-level-id");
      std::string profile = id == fmtp->second.end() ? "420010" : lower(id->second);
      if (!isHexProfile(profile)) continue;
      int score = profile == stream ? 1'000'000 : isHexProfile(stream) ? closeness(profile, stream) : 0;
      if (score > bestScore) {
        bestScore = score;
        media.videoPayloadType = pt;
        media.offeredProfile = profile;
        video = &section;
      }
    }
  }
  if (!video) {
    return OfferRefusal{"the offer receives no H.264 video with packetization-mode=1 and a payload type of 96-127"};
  }
  if (video->mid.empty()) return OfferRefusal{"the video section has no a=mid"};
  media.mid = video->mid;
  if (const auto it = video->extmap.find(kPlayoutDelayUri);
      it != video->extmap.end() && it->second >= 1 && it->second <= 14) {
    media.playoutDelayExtension = it->second;
  }
  return media;
}

std::optional<std::string> profileOfAccessUnit(std::string_view unit) {
  for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
    if (unit[i] != 0 || unit[i + 1] != 0 || unit[i + 2] != 1) continue;
    if ((static_cast<unsigned char>(unit[i + 3]) & 0x1f) != 7) continue;
    if (i + 7 > unit.size()) return std::nullopt;
    static constexpr char hex[] = "0123456789abcdef";
    std::string profile;
    for (std::size_t k = i + 4; k < i + 7; ++k) {
      auto byte = static_cast<unsigned char>(unit[k]);
      profile.push_back(hex[byte >> 4]);
      profile.push_back(hex[byte & 15]);
    }
    return profile;
  }
  return std::nullopt;
}

std::string profileName(std::string_view id) {
  if (!isHexProfile(id)) return {};
  auto text = lower(id);
  int idc = profileIdc(text);
  int constraints = std::stoi(text.substr(2, 2), nullptr, 16);
  switch (idc) {
    case 66: return (constraints & 0x40) != 0 ? "constrained-baseline" : "baseline";
    case 77: return "main";
    case 100: return (constraints & 0x0c) == 0x0c ? "constrained-high" : "high";
    case 244: return "high-4:4:4";
    default: return {};
  }
}

std::optional<std::pair<int, int>> parsePortRange(std::string_view text) {
  auto dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  auto low = parseDecimalInt64(text.substr(0, dash));
  auto high = parseDecimalInt64(text.substr(dash + 1));
  if (!low || !high || *low < 1024 || *high > 65535 || *low > *high) return std::nullopt;
  return std::pair<int, int>(static_cast<int>(*low), static_cast<int>(*high));
}

}  // namespace qx::server
