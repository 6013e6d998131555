#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/compression_session.h"

namespace qx::test {

// Wraps a real session factory so a test or benchmark can wait for output:
// counts the frames the session delivers (and failures) and lets the
// caller drain it.
// Only one session at a time. Thread-safe.
class CountingSessions {
 public:
  explicit CountingSessions(CompressionSessionFactory inner) : inner_(std::move(inner)) {}

  CompressionSessionFactory factory() {
    return [this](CompressionSessionParams params) {
      CompressionOutputCallback downstream = std::move(params.output);
      params.output = [this, downstream](std::int32_t status, const EncodedSample* sample) {
        downstream(status, sample);
        std::lock_guard g(m_);
        ++delivered_;
        if (status != session_status::kOk || !sample) ++failed_;
        cv_.notify_all();
      };
      auto result = inner_(std::move(params));
      if (result.session) result.session = std::make_unique<Session>(std::move(result.session), this);
      return result;
    };
  }

  // Waits until at least `n` frames came out; false on time-out.
  bool waitForOutputs(std::int64_t n, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, timeout, [&] { return delivered_ >= n; });
  }
  std::int64_t delivered() {
    std::lock_guard g(m_);
    return delivered_;
  }
  // Of those, the ones that reported an error or came without a sample.
  std::int64_t failed() {
    std::lock_guard g(m_);
    return failed_;
  }
  // Drains the live session (after which a session that had frames held
  // back takes no more).
  void completeFrames() {
    CompressionSession* s = nullptr;
    {
      std::lock_guard g(m_);
      s = live_;
    }
    if (s) s->completeFrames();
  }

 private:
  class Session final : public CompressionSession {
   public:
    Session(std::unique_ptr<CompressionSession> inner, CountingSessions* owner)
        : inner_(std::move(inner)), owner_(owner) {
      std::lock_guard g(owner_->m_);
      owner_->live_ = inner_.get();
    }
    ~Session() override {
      {
        std::lock_guard g(owner_->m_);
        owner_->live_ = nullptr;
      }
      inner_.reset();
    }
    std::int32_t setProperty(std::string_view key, const PropertyValue& value) override {
      return inner_->setProperty(key, value);
    }
    std::int32_t prepare() override { return inner_->prepare(); }
    std::int32_t encode(PixelBufferRef buffer, MediaTime pts, const std::optional<FrameOptions>& options) override {
      return inner_->encode(std::move(buffer), pts, options);
    }
    void completeFrames() override { inner_->completeFrames(); }

   private:
    std::unique_ptr<CompressionSession> inner_;
    CountingSessions* owner_;
  };

  CompressionSessionFactory inner_;
  std::mutex m_;
  std::condition_variable cv_;
  std::int64_t delivered_ = 0;
  std::int64_t failed_ = 0;
  CompressionSession* live_ = nullptr;
};

}  // namespace qx::test
