#pragma once

// The updater run behind the update flow's UpdaterCommand: the media server
// executable started with posix_spawn, standard output on a pipe read to its
// end, standard error on the null device, standard input and the environment
// inherited. Blocking; safe on any thread (it touches no Qt state).

#include <string>
#include <vector>

#include "host/UpdateServices.h"

namespace qx::host {

UpdaterOutput runUpdaterProcess(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace qx::host
