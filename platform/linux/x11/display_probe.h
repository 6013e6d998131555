#pragma once

#include <string>

namespace qx::x11 {

// The display a connection to `displayName` uses: the name itself, or the
// DISPLAY environment variable when it is empty ("" when that is unset too).
std::string displayInUse(const std::string& displayName);

// Whether an X server listens where a connection to `displayName` (empty: the
// DISPLAY environment variable) would go: the local socket /tmp/.X11-unix/X<n>
// or its abstract-namespace twin, or TCP port 6000 + n for a host name. Says
// nothing about whether that server would accept us; xcb reports "nobody
// there" and "refused" alike, this tells them apart. Blocks for at most 3 s.
bool displayListens(const std::string& displayName);

}  // namespace qx::x11
