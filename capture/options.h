#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qx {

// The helper's command line, filled once by parseArgs.
//
// Values are kept as given (printed as given); code that turns them into
// narrower or derived quantities clamps or saturates there: `fps` clamps to
// the signed 32-bit range where it becomes a timescale or a frame count, and
// bitrates go through saturating arithmetic (2 x bitrate and the like).
struct Options {
  std::int64_t fps = 30;             // never below 1
  std::int64_t bitrate = 8'000'000;  // bits per second
  std::int64_t maxWidth = 1920;      // 0: no limit; never below 0
  std::int64_t display = 0;          // index into the ordered display list; never below 0
  std::string rc = "vbr";            // lower-cased
  std::int32_t audioFD = -1;         // negative: no audio
  std::int64_t peakMax = 0;          // bits per second; 0: none
  bool lowLatency = true;
  bool ltr = true;

  friend bool operator==(const Options&, const Options&) = default;
};

inline constexpr std::string_view kListDisplaysFlag = "--list-displays";

// The bitrate notation: "<number>m" (x 1000000), "<number>k" (x 1000), a plain
// decimal integer, or anything else for 8000000; surrounding horizontal white
// space is ignored and letters may be in any case (Unicode lower-casing). A
// plain integer that does not fit 64 bits is not a decimal integer, so it
// reads as 8000000. Never fails. Scaled values truncate toward zero: one below
// 1 in magnitude (e.g. "0.0…01m" with hundreds of zeros) reads as 0, one beyond
// the signed 64-bit range (e.g. "1e300m") saturates, and a scaled number that
// does not parse reads as 0.
std::int64_t parseBitrate(std::string_view text);

// Parses the arguments after the program path. Unknown arguments are skipped,
// an option standing last is ignored, a rejected value is examined as the next
// argument, later occurrences override earlier ones. Never fails.
Options parseArgs(std::span<const std::string> args);

// True when any argument equals "--list-displays", wherever it stands.
bool wantsDisplayList(std::span<const std::string> args);

}  // namespace qx
