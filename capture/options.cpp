#include "capture/options.h"

#include <algorithm>
#include <optional>

#include "common/numbers.h"
#include "common/text.h"

namespace qx {

namespace {

constexpr std::int64_t kDefaultBitrate = 8'000'000;

// NaN cannot come out of the number parser (it rejects "nan" and "inf"), but
// an overflowing exponent reads as an infinity; saturatingTruncate clamps both
// that and finite values beyond the range, and maps NaN to 0 should one appear.
std::int64_t scaled(std::string_view number, double factor) {
  const double value = parseDecimalDouble(number).value_or(0.0);
  return saturatingTruncate(value * factor);
}

bool parseBoolean(std::string_view text) { return !(text == "false" || text == "0"); }

}  // namespace

std::int64_t parseBitrate(std::string_view text) {
  const std::string t = toLowerFull(trimHorizontalWhitespace(text));
  const std::string_view s = t;
  if (s.ends_with('m')) return scaled(s.substr(0, s.size() - 1), 1'000'000.0);
  if (s.ends_with('k')) return scaled(s.substr(0, s.size() - 1), 1'000.0);
  if (s.empty()) return kDefaultBitrate;
  return parseDecimalInt64(s).value_or(kDefaultBitrate);
}

bool wantsDisplayList(std::span<const std::string> args) {
  return std::find(args.begin(), args.end(), kListDisplaysFlag) != args.end();
}

Options parseArgs(std::span<const std::string> args) {
  Options o;
  std::size_t i = 0;
  while (i < args.size()) {
    const std::string& name = args[i];
    if (i + 1 >= args.size()) break;  // an option standing last has no value; anything else is skipped anyway
    const std::string& value = args[i + 1];
    bool consumed = true;

    if (name == "--fps") {
      auto v = parseDecimalInt64(value);
      if (v) o.fps = std::max<std::int64_t>(*v, 1);
      consumed = v.has_value();
    } else if (name == "--bitrate") {
      o.bitrate = parseBitrate(value);
    } else if (name == "--max-width") {
      auto v = parseDecimalInt64(value);
      if (v) o.maxWidth = std::max<std::int64_t>(*v, 0);
      consumed = v.has_value();
    } else if (name == "--display") {
      auto v = parseDecimalInt64(value);
      if (v) o.display = std::max<std::int64_t>(*v, 0);
      consumed = v.has_value();
    } else if (name == "--rc") {
      o.rc = toLowerFull(value);
    } else if (name == "--audio-fd") {
      auto v = parseDecimalInt32(value);
      if (v) o.audioFD = *v;
      consumed = v.has_value();
    } else if (name == "--peak-max") {
      o.peakMax = parseBitrate(value);
    } else if (name == "--low-latency") {
      o.lowLatency = parseBoolean(value);
    } else if (name == "--ltr") {
      o.ltr = parseBoolean(value);
    } else {
      consumed = false;  // unknown: skip just this argument
    }
    i += consumed ? 2 : 1;
  }
  return o;
}

}  // namespace qx
