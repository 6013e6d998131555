#pragma once

#include <string_view>

#include "platform/compression_session.h"

namespace qx {

// The helper's H.264 backend: x264 for every session, loss recovery
// included, unless `requested` is "openh264" (the helper reads
// QX_H264_BACKEND): then OpenH264, with long-term references of its own,
// serves the sessions that ask for them. It costs more per frame; it stays
// as the measured alternative and a way back for a receiver that does not
// take x264's deep reference buffer.
[[nodiscard]] CompressionSessionFactory chooseSessionFactory(std::string_view requested,
                                                             CompressionSessionFactory openh264,
                                                             CompressionSessionFactory x264);

}  // namespace qx
