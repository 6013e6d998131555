#pragma once

// Keeps the host log bounded: an oversized log is renamed to a single ".1"
// backup. Stateless; two rotations of the same file at once are not guarded
// against, so callers rotate from the one thread that writes the log.

#include <cstdint>
#include <filesystem>

namespace qx::LogRotation {

// 10 MiB: a log larger than this is rotated.
inline constexpr std::int64_t maxBytes = 10 * 1024 * 1024;

// Renames `log` to `log` + ".1" (replacing an older backup) when its size is
// strictly greater than `limitBytes`. Returns true only when it moved the log;
// a missing or unreadable file, a log of at most `limitBytes`, or a failed
// rename give false and leave the log where it was. Never throws. The caller
// creates a fresh log afterwards if it needs one.
bool rotateIfNeeded(const std::filesystem::path& log, std::int64_t limitBytes);

}  // namespace qx::LogRotation
