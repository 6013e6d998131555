#pragma once

#include "platform/compression_session.h"

namespace qx {

// The backend for a request: `withLongTermReferences` (OpenH264) when
// long-term references will be asked for from a low-latency session,
// `fallback` (x264) otherwise.
[[nodiscard]] CompressionSessionFactory chooseSessionFactory(CompressionSessionFactory withLongTermReferences,
                                                             CompressionSessionFactory fallback);

}  // namespace qx
