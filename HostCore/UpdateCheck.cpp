#include "HostCore/UpdateCheck.h"

#include <vector>

#include "HostCore/JsonFields.h"
#include "common/text.h"

namespace qx {

UpdateCheck::UpdateCheck(std::string current_, std::optional<std::string> latest_, bool available_,
                         std::optional<std::string> error_)
    : current(std::move(current_)), latest(std::move(latest_)), available(available_), error(std::move(error_)) {}

namespace {

// Splits at every line terminator, dropping empty pieces. Works on UTF-8 that
// is already valid.
std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  const auto cut = [&](std::size_t end, std::size_t next) {
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = next;
    i = next;
  };
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == '\n' || b == '\v' || b == '\f' || b == '\r') {
      cut(i, i + 1);  // CR LF leaves an empty piece, which is dropped
    } else if (b == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
      cut(i, i + 2);  // U+0085
    } else if (b == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      cut(i, i + 3);  // U+2028, U+2029
    } else {
      ++i;
    }
  }
  cut(text.size(), text.size());
  return lines;
}

// Optional string member: missing or null is absent, any other non-string
// refuses the whole report.
bool readOptionalString(const nlohmann::json& object, const char* key, std::optional<std::string>& out) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

std::optional<UpdateCheck> fromJson(const nlohmann::json& object) {
  if (!object.is_object()) return std::nullopt;
  UpdateCheck r;
  const auto current = object.find("current");
  if (current == object.end() || !current->is_string()) return std::nullopt;
  r.current = current->get<std::string>();
  const auto available = object.find("available");
  if (available == object.end() || !available->is_boolean()) return std::nullopt;
  r.available = available->get<bool>();

  if (!readOptionalString(object, "platform", r.platform) || !readOptionalString(object, "latest", r.latest) ||
      !readOptionalString(object, "path", r.path) || !readOptionalString(object, "error", r.error))
    return std::nullopt;

  if (const auto size = object.find("size"); size != object.end() && !size->is_null()) {
    r.size = hostcore_json::exactInt64(*size);
    if (!r.size) return std::nullopt;
  }
  if (const auto notes = object.find("notes"); notes != object.end() && !notes->is_null()) {
    if (!notes->is_object()) return std::nullopt;
    std::map<std::string, std::string> map;
    for (const auto& [language, text] : notes->items()) {
      if (!text.is_string()) return std::nullopt;
      map.emplace(language, text.get<std::string>());
    }
    r.notes = std::move(map);
  }
  return r;
}

}  // namespace

std::optional<UpdateCheck> UpdateCheck::decode(std::string_view output) {
  const std::string text = replaceInvalidUtf8(output);
  std::optional<std::string_view> last;
  for (std::string_view line : splitLines(text))
    if (!trimHorizontalWhitespace(line).empty()) last = line;
  if (!last) return std::nullopt;
  const auto parsed = hostcore_json::parse(*last);
  if (!parsed) return std::nullopt;
  return fromJson(*parsed);
}

std::string UpdateCheck::encode() const {
  nlohmann::json object = {{"current", current}, {"available", available}};
  if (platform) object["platform"] = *platform;
  if (latest) object["latest"] = *latest;
  if (notes) object["notes"] = *notes;
  if (size) object["size"] = *size;
  if (path) object["path"] = *path;
  if (error) object["error"] = *error;
  return hostcore_json::dumpCompact(object);
}

std::optional<std::string> notes(const UpdateCheck& report, bool chinese) {
  if (!report.notes) return std::nullopt;
  const auto& map = *report.notes;
  auto it = map.find(chinese ? "zh" : "en");
  if (it == map.end()) it = map.find(chinese ? "en" : "zh");
  if (it == map.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

}  // namespace qx
