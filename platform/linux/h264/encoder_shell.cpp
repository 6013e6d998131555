#include "platform/linux/h264/encoder_shell.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace qx::h264 {

namespace {

using namespace session_status;

class EncoderShell final : public CompressionSession {
 public:
  EncoderShell(std::int32_t width, std::int32_t height, ShellOptions options, std::unique_ptr<EncodeStep> step)
      : width_(width), height_(height), options_(options), step_(std::move(step)) {}

  ~EncoderShell() override {
    {
      std::lock_guard g(m_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  std::int32_t setProperty(std::string_view key, const PropertyValue& value) override {
    std::lock_guard g(m_);
    if (auto own = step_->ownProperty(key, value, prepared_)) return *own;
    SessionSettings next = desired_;
    const std::int32_t status = applyProperty(next, key, value, prepared_);
    if (status != kOk) return status;
    desired_ = std::move(next);
    if (prepared_) {
      // Applied by the encoder thread before its next frame: no encoder may be
      // reconfigured in the middle of encoding one.
      settingsDirty_ = true;
      wake_.notify_all();
    }
    return kOk;
  }

  std::int32_t prepare() override {
    std::unique_lock lk(m_);
    if (prepared_) return openStatus_;
    prepared_ = true;
    const SessionSettings settings = desired_;
    lk.unlock();
    const std::int32_t status = step_->open(settings);
    lk.lock();
    openStatus_ = status;
    if (status == kOk) thread_ = std::thread([this] { run(); });
    return status;
  }

  std::int32_t encode(PixelBufferRef buffer, MediaTime pts, const std::optional<FrameOptions>& options) override {
    if (!buffer || buffer->width() != width_ || buffer->height() != height_) return kInvalidParameter;
    std::lock_guard g(m_);
    if (!prepared_ || openStatus_ != kOk || finished_) return kSessionInvalid;
    Job job{std::move(buffer), pts, options.value_or(FrameOptions{})};
    if (static_cast<int>(queue_.size()) >= options_.queueDepth) {
      // The newest picture is the one worth encoding; a request carried by the
      // frame it replaces must not be lost with it.
      mergeInto(job.options, std::move(queue_.front().options));
      queue_.pop_front();
    }
    queue_.push_back(std::move(job));
    wake_.notify_all();
    return kOk;
  }

  void completeFrames() override {
    std::unique_lock lk(m_);
    if (!thread_.joinable()) return;
    drainRequested_ = true;
    wake_.notify_all();
    done_.wait(lk, [&] { return !drainRequested_ || stop_; });
  }

 private:
  // Encoder thread: settings first, then frames, then a drain once the queue
  // is empty.
  void run() {
    pthread_setname_np(pthread_self(), options_.threadName);
    std::unique_lock lk(m_);
    for (;;) {
      wake_.wait(lk, [&] { return stop_ || settingsDirty_ || !queue_.empty() || drainRequested_; });
      if (stop_) break;
      if (settingsDirty_) {
        settingsDirty_ = false;
        const RateSettings rate = desired_.rate;
        lk.unlock();
        step_->reconfigure(rate);
        lk.lock();
        continue;
      }
      if (!queue_.empty()) {
        Job job = std::move(queue_.front());
        queue_.pop_front();
        lk.unlock();
        step_->encode(job);
        job.buffer.reset();
        lk.lock();
        continue;
      }
      lk.unlock();
      const bool ended = step_->drain();
      lk.lock();
      if (ended) finished_ = true;
      drainRequested_ = false;
      done_.notify_all();
    }
    done_.notify_all();
  }

  const std::int32_t width_;
  const std::int32_t height_;
  const ShellOptions options_;

  std::mutex m_;
  std::condition_variable wake_;
  std::condition_variable done_;
  SessionSettings desired_;        // m_
  bool prepared_ = false;          // m_
  std::int32_t openStatus_ = kOk;  // m_
  bool settingsDirty_ = false;     // m_
  bool drainRequested_ = false;    // m_
  bool finished_ = false;          // m_
  bool stop_ = false;              // m_
  std::deque<Job> queue_;          // m_

  // Its own state is the encoder thread's (and prepare's, before the thread
  // starts); ownProperty runs under m_.
  const std::unique_ptr<EncodeStep> step_;

  std::thread thread_;
};

}  // namespace

CompressionSessionFactory encoderShellFactory(ShellOptions options, EncodeStepMaker makeStep) {
  return [options, makeStep = std::move(makeStep)](CompressionSessionParams params) {
    CompressionSessionCreateResult result;
    if (params.width <= 0 || params.height <= 0 || params.width % 2 != 0 || params.height % 2 != 0 || !params.output) {
      result.status = kInvalidParameter;
      return result;
    }
    const std::int32_t width = params.width;
    const std::int32_t height = params.height;
    result.status = kOk;
    result.session = std::make_unique<EncoderShell>(width, height, options, makeStep(params));
    return result;
  };
}

}  // namespace qx::h264
