#pragma once

// The file through which a connected device asks the host to install an
// update: the server writes it, then prints "[update] install requested ";
// the host reads it, deletes it, and installs only when `version` accepts it.
// Pure functions; safe on any thread.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qx::UpdateRequest {

// The longest, in seconds, a request may be off from the current time, in
// either direction.
inline constexpr double maxAge = 120.0;

// Location of the request file relative to the user's caches directory.
inline constexpr std::string_view relativePath = "com.quorvex.host/update-request.json";

// The user's caches folder, where the server writes the request file and the
// host reads it (and keeps its downloads): $XDG_CACHE_HOME when it is an
// absolute path, else $HOME/.cache when $HOME is one. Absent otherwise: a
// relative folder would depend on where each program was started. `getenv`
// is injected for tests.
std::optional<std::filesystem::path> cachesDirectory(const std::function<const char*(const char*)>& getenv);

// `cachesDirectory` with `relativePath` appended.
std::filesystem::path url(const std::filesystem::path& cachesDirectory);

// The request file's bytes: {"version": version, "at": at}, `at` in seconds
// since 1970-01-01 00:00 UTC.
std::string encode(std::string_view version, double at);

// The version a request file asks for, or absent when the bytes are not a
// JSON object with a string "version" and a number "at", the version does not
// parse as a version, or |now - at| exceeds `maxAge`. `now` is in seconds
// since 1970.
std::optional<std::string> version(std::string_view bytes, double now);

}  // namespace qx::UpdateRequest
