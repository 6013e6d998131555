#include "HostCore/HostOutputScanner.h"

#include <algorithm>

#include "HostCore/UnicodeText.h"
#include "common/numbers.h"

namespace qx {

namespace {

constexpr std::string_view kUpdateMarker = "[update] install requested ";
constexpr std::string_view kPortInUse = "address already in use";
constexpr std::string_view kScreenRecordingDenied = "Screen Recording permission missing";
constexpr std::string_view kCapturing = "capturing ";
constexpr std::string_view kHelperName = "quorvex-screencap";
constexpr std::string_view kClientsMarker = "connected clients: ";

bool contains(std::string_view line, std::string_view text) { return line.find(text) != std::string_view::npos; }

// The leading characters of `text` for which `keep` holds, judged by each
// grapheme cluster's first scalar.
template <typename Pred>
std::string leadingRun(std::string_view text, Pred keep) {
  std::string run;
  for (const auto& g : hostcore_text::graphemes(text)) {
    if (!keep(g.first)) break;
    run += g.text;
  }
  return run;
}

bool isAsciiDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool HostOutputScanner::setProblem(Problem p) {
  const bool changed = problem_ != p;
  problem_ = p;
  return changed;
}

bool HostOutputScanner::scan(std::string_view line) {
  if (const auto at = line.find(kUpdateMarker); at != std::string_view::npos) {
    std::string token =
        leadingRun(line.substr(at + kUpdateMarker.size()), [](char32_t c) { return !hostcore_text::isWhiteSpace(c); });
    if (!token.empty()) {
      updateRequest_ = std::move(token);
      return true;
    }
  }
  if (contains(line, kPortInUse)) return setProblem(Problem::portInUse);
  if (contains(line, kScreenRecordingDenied)) return setProblem(Problem::screenRecordingDenied);
  if (contains(line, kCapturing) && contains(line, kHelperName)) {
    if (problem_ != Problem::screenRecordingDenied) return false;
    problem_.reset();
    return true;
  }
  const auto at = line.find(kClientsMarker);
  if (at == std::string_view::npos) return false;
  const std::string run = leadingRun(line.substr(at + kClientsMarker.size()), hostcore_text::isNumeric);
  // A run holding other numerals ("3五", Arabic-Indic digits) changes nothing.
  if (!isAsciiDigits(run)) return false;
  const auto count = parseDecimalInt64(run);
  if (!count || *count == connectedClients_) return false;
  connectedClients_ = *count;
  return true;
}

void HostOutputScanner::hostStarted() {
  problem_.reset();
  connectedClients_ = 0;
}

std::optional<std::string> HostOutputScanner::takeUpdateRequest() {
  std::optional<std::string> request = std::move(updateRequest_);
  updateRequest_.reset();
  return request;
}

}  // namespace qx
