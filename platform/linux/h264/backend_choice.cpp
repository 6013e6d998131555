#include "platform/linux/h264/backend_choice.h"

#include <utility>

namespace qx {

CompressionSessionFactory chooseSessionFactory(std::string_view requested, CompressionSessionFactory openh264,
                                               CompressionSessionFactory x264) {
  if (requested != "openh264") return x264;
  return [ltr = std::move(openh264), other = std::move(x264)](CompressionSessionParams params) {
    const bool wantsLtr = params.encoderRequest && params.encoderRequest->enableLowLatencyRateControl &&
                          params.encoderRequest->longTermReferences;
    return wantsLtr ? ltr(std::move(params)) : other(std::move(params));
  };
}

}  // namespace qx
