#include "HostCore/HostSettings.h"

#include "HostCore/JsonFields.h"
#include "HostCore/UnicodeText.h"
#include "common/numbers.h"

namespace qx {

std::optional<std::int64_t> HostSettings::port() const {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::string_view after = std::string_view(listen).substr(colon + 1);
  if (after.empty()) return std::nullopt;
  return parseDecimalInt64(after);
}

std::optional<std::string> HostSettings::bindHost() const {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string_view host = std::string_view(listen).substr(0, colon);
  const auto isBracket = [](char c) { return c == '[' || c == ']'; };
  while (!host.empty() && isBracket(host.front())) host.remove_prefix(1);
  while (!host.empty() && isBracket(host.back())) host.remove_suffix(1);
  if (host.empty() || host == "0.0.0.0" || host == "::") return std::nullopt;
  return std::string(host);
}

std::optional<SettingsError> HostSettings::validationError() const {
  const auto p = port();
  if (!p || *p < 1 || *p > 65535) return SettingsError::badListen;
  return std::nullopt;
}

std::string HostSettings::toJson() const {
  nlohmann::json object = {
      {"listen", listen},   {"audio", audio},       {"fps", fps},
      {"bitrate", bitrate}, {"maxWidth", maxWidth}, {"rateControl", rateControl},
  };
  return hostcore_json::dumpCompact(object);
}

namespace {

bool fail(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
  return false;
}

bool readString(const nlohmann::json& object, const char* key, std::string& out, std::string* error) {
  const auto it = object.find(key);
  if (it == object.end()) return fail(error, std::string("missing \"") + key + "\"");
  if (!it->is_string()) return fail(error, std::string("\"") + key + "\" is not a string");
  out = it->get<std::string>();
  return true;
}

bool readInt(const nlohmann::json& object, const char* key, std::int64_t& out, std::string* error) {
  const auto it = object.find(key);
  if (it == object.end()) return fail(error, std::string("missing \"") + key + "\"");
  const auto value = hostcore_json::exactInt64(*it);
  if (!value) return fail(error, std::string("\"") + key + "\" is not an integer that fits 64 bits");
  out = *value;
  return true;
}

}  // namespace

std::optional<HostSettings> HostSettings::fromJson(std::string_view json, std::string* error) {
  const auto parsed = hostcore_json::parse(json);
  if (!parsed) {
    fail(error, "not valid JSON");
    return std::nullopt;
  }
  if (!parsed->is_object()) {
    fail(error, "not a JSON object");
    return std::nullopt;
  }
  const nlohmann::json& object = *parsed;
  HostSettings s;
  if (!readString(object, "listen", s.listen, error)) return std::nullopt;
  const auto audio = object.find("audio");
  if (audio == object.end() || !audio->is_boolean()) {
    fail(error, audio == object.end() ? "missing \"audio\"" : "\"audio\" is not true or false");
    return std::nullopt;
  }
  s.audio = audio->get<bool>();
  if (!readInt(object, "fps", s.fps, error)) return std::nullopt;
  if (!readString(object, "bitrate", s.bitrate, error)) return std::nullopt;
  if (!readInt(object, "maxWidth", s.maxWidth, error)) return std::nullopt;
  if (!readString(object, "rateControl", s.rateControl, error)) return std::nullopt;
  return s;
}

bool operator==(const HostSettings& a, const HostSettings& b) {
  return a.audio == b.audio && a.fps == b.fps && a.maxWidth == b.maxWidth &&
         hostcore_text::canonicallyEqual(a.listen, b.listen) && hostcore_text::canonicallyEqual(a.bitrate, b.bitrate) &&
         hostcore_text::canonicallyEqual(a.rateControl, b.rateControl);
}

}  // namespace qx
