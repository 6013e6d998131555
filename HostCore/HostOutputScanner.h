#pragma once

// Reads the media server's output line by line and keeps what the host shows
// or acts on: a known problem, the number of connected devices and a pending
// device update request. A plain value without locking; its owner serialises
// access.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qx {

class HostOutputScanner {
 public:
  enum class Problem { portInUse, screenRecordingDenied };

  // Scans one line (without its line feed). Returns true when `problem` or
  // `connectedClients` changed or an update request was recorded. The first
  // rule that matches decides: an update request ("[update] install requested "
  // and a non-empty token up to the next white space), "address already in
  // use", "Screen Recording permission missing", a capture start ("capturing "
  // with "quorvex-screencap", which clears only `screenRecordingDenied`), and
  // "connected clients: " followed by an ASCII decimal count fitting int64.
  // Matches are exact and case-sensitive; white space and numeric are judged on
  // whole characters (grapheme clusters) by their first scalar.
  bool scan(std::string_view line);

  // A new server process was launched: clears the problem and the count, keeps
  // a pending update request.
  void hostStarted();

  // Returns the pending update request once and clears it.
  std::optional<std::string> takeUpdateRequest();

  std::optional<Problem> problem() const { return problem_; }
  std::int64_t connectedClients() const { return connectedClients_; }
  const std::optional<std::string>& updateRequest() const { return updateRequest_; }

 private:
  bool setProblem(Problem p);

  std::optional<Problem> problem_;
  std::int64_t connectedClients_ = 0;
  std::optional<std::string> updateRequest_;
};

}  // namespace qx
