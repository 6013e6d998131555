#pragma once

#include <string_view>

#include "common/log.h"
#include "platform/display_service.h"

namespace qx {

// The line written when screen capture is not allowed. The host looks for its
// leading words in the server's output.
extern const std::string_view kPermissionMissingMessage;

// True when screen capture is allowed. Otherwise logs the permission message,
// asks the platform once (ignoring the answer: the user must restart the host
// after granting) and returns false; the caller exits with status 2.
[[nodiscard]] bool checkCaptureAccess(DisplayService& displays, const LogFn& log);

}  // namespace qx
