#pragma once

#include <functional>
#include <string_view>

namespace qx {

// Receives one diagnostic message (without prefix or line feed). Classes that
// report take one of these so tests can collect the lines they write.
using LogFn = std::function<void(std::string_view message)>;

// Writes "quorvex-screencap: " + message + "\n" to standard error in one write
// call, so lines from different threads never interleave. A failed write is
// ignored: there is nowhere left to report it. Callable from any thread.
void logErr(std::string_view message);

// logErr wrapped as a LogFn.
LogFn stderrLog();

}  // namespace qx
