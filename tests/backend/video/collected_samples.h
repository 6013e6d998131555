#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/compression_session.h"

namespace qx::test {

// Everything a compression session delivers, and on which threads.
struct Collected {
  std::mutex m;
  std::condition_variable cv;
  std::vector<EncodedSample> samples;
  std::vector<std::thread::id> threads;
  int failures = 0;

  CompressionOutputCallback callback() {
    return [this](std::int32_t status, const EncodedSample* s) {
      std::lock_guard g(m);
      threads.push_back(std::this_thread::get_id());
      if (status != session_status::kOk || !s) {
        ++failures;
      } else {
        samples.push_back(*s);
      }
      cv.notify_all();
    };
  }
};

}  // namespace qx::test
