#pragma once
// The screen-cast portal's restore token, kept between runs so that restarts of the helper never ask
// the user again: "$XDG_STATE_HOME/Quorvex/screencast-token", the token's text alone, mode 0600.
#include <optional>
#include <string>

namespace qx::wayland {

// The file's path from the two variables' values (XDG_STATE_HOME when it is absolute, else
// HOME/.local/state); absent when neither gives an absolute folder.
std::optional<std::string> screencastTokenPath(const char* xdgStateHome, const char* home);

// The stored token from the environment's path; absent when none is stored or it cannot be read.
std::optional<std::string> loadScreencastToken();
// Replaces the stored token atomically (a temporary file beside it, fsynced, renamed). False on failure.
bool storeScreencastToken(const std::string& token);
void removeScreencastToken();

}  // namespace qx::wayland
