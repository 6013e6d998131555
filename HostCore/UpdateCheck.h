#pragma once

// The updater's report: the one-line JSON object the media server prints as
// the last non-blank line of an "update check" or "update download" run.
// A plain value; safe to copy between threads.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qx {

struct UpdateCheck {
  std::string current;                                      // version the updater considers installed
  std::optional<std::string> platform;                      // not interpreted here
  std::optional<std::string> latest;                        // newest version offered
  std::optional<std::map<std::string, std::string>> notes;  // release notes by language ("en", "zh")
  std::optional<std::int64_t> size;                         // not interpreted here
  bool available = false;                                   // the only thing the host decides on
  std::optional<std::string> path;                          // downloaded application, from a download run
  std::optional<std::string> error;                         // the updater's error message

  UpdateCheck() = default;
  // For reports the host makes up itself; platform, notes, size and path absent.
  UpdateCheck(std::string current, std::optional<std::string> latest, bool available, std::optional<std::string> error);

  // Reads the updater's whole standard output: invalid UTF-8 becomes U+FFFD,
  // the text is split at every line terminator (LF, VT, FF, CR, CR LF, U+0085,
  // U+2028, U+2029), and only the last line that is not blank after trimming
  // spaces and tabs is read as the report; earlier lines are never tried.
  // Absent when there is no such line or it is not a valid report.
  static std::optional<UpdateCheck> decode(std::string_view output);

  // The report as one compact JSON line, absent members left out, every line
  // terminator that `decode` splits at escaped inside strings; `decode` reads
  // it back equal.
  std::string encode() const;

  friend bool operator==(const UpdateCheck&, const UpdateCheck&) = default;
};

// The release notes to show: the "zh" entry when `chinese` (else "en"), the
// other language only when that key is missing. Absent when there are no
// notes, no entry, or the chosen entry is empty (an empty first choice is not
// replaced by the second).
std::optional<std::string> notes(const UpdateCheck& report, bool chinese);

}  // namespace qx
