#pragma once

// The error codes of the X11 capture backend, shared by its parts.

#include <cstdint>
#include <string>
#include <utility>

#include "platform/linux/x11/x11_capture_service.h"

namespace qx::x11 {

enum CaptureErrorCode : std::int64_t {
  kConnectFailed = 1,
  kExtensionMissing = 2,
  kDisplayGone = 3,
  kUnsupportedFormat = 4,
  kScreenChanged = 5,
  kConnectionBroken = 6,
  kGrabFailed = 7,
  kAlreadyStarted = 8,
  kUnsupportedOutput = 9,
  kSetupFailed = 10,
  kBadConfiguration = 11,
};

inline PlatformError captureError(std::int64_t code, std::string description) {
  return PlatformError{kX11CaptureErrorDomain, code, std::move(description)};
}

}  // namespace qx::x11
