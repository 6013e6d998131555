#pragma once

// What the user can set about the media server: listen address, audio switch
// and the video parameters handed through to the capture helper. A plain
// value; safe to copy between threads, not to share mutably.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qx {

// The one way a listen address can be unusable: no port, or a port outside
// 1..65535. Carries no text; callers choose the message.
enum class SettingsError { badListen };

struct HostSettings {
  // ":port" listens on every interface; "host:port" or "[v6]:port" on one.
  std::string listen = ":8771";
  bool audio = true;
  // The next four are not checked here: the capture helper applies its own
  // rules to them.
  std::int64_t fps = 30;
  std::string bitrate = "24M";
  std::int64_t maxWidth = 1920;  // 0 means no limit
  std::string rateControl = "vbr";

  // The number after the last ':' of `listen` (optional sign, ASCII digits,
  // fits int64). No range check: ":0" and ":70000" have ports.
  std::optional<std::int64_t> port() const;

  // The text before the last ':' with every leading and trailing '[' and ']'
  // removed; absent when there is no ':' or the host means every interface
  // ("", "0.0.0.0", "::").
  std::optional<std::string> bindHost() const;

  // `badListen` unless `port` is present and within 1..65535. The host part
  // is never examined.
  std::optional<SettingsError> validationError() const;

  // Compact JSON object with exactly the six members named like the fields.
  std::string toJson() const;

  // Reads the JSON form: all six members are required, of the right JSON type,
  // "fps" and "maxWidth" exact integers fitting int64 (30.0 and 3e1 read 30;
  // 29.97 fails). Unknown members are ignored. Never yields a partly defaulted
  // value: absent on any failure, with the reason in `error` when given.
  static std::optional<HostSettings> fromJson(std::string_view json, std::string* error = nullptr);

  // Texts compare by canonical Unicode equivalence, not byte for byte.
  friend bool operator==(const HostSettings& a, const HostSettings& b);
};

}  // namespace qx
