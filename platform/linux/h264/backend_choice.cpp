#include "platform/linux/h264/backend_choice.h"

#include <utility>

namespace qx {

CompressionSessionFactory chooseSessionFactory(CompressionSessionFactory withLongTermReferences,
                                               CompressionSessionFactory fallback) {
  return [ltr = std::move(withLongTermReferences), other = std::move(fallback)](CompressionSessionParams params) {
    const bool wantsLtr = params.encoderRequest && params.encoderRequest->enableLowLatencyRateControl &&
                          params.encoderRequest->longTermReferences;
    return wantsLtr ? ltr(std::move(params)) : other(std::move(params));
  };
}

}  // namespace qx
