#include "HostCore/LogRotation.h"

#include <system_error>

namespace qx::LogRotation {

bool rotateIfNeeded(const std::filesystem::path& log, std::int64_t limitBytes) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(log, ec);
  if (ec) return false;
  // Negative limits rotate any file; sizes beyond int64 are always larger.
  if (limitBytes >= 0 && size <= static_cast<std::uintmax_t>(limitBytes)) return false;

  std::filesystem::path backup = log;
  backup += ".1";
  std::filesystem::remove(backup, ec);  // a missing backup is fine
  std::filesystem::rename(log, backup, ec);
  return !ec;
}

}  // namespace qx::LogRotation
