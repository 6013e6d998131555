#pragma once

#include <climits>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/capture_service.h"
#include "platform/dispatch.h"

namespace qx::fake {

// A scripted capture service. Display lists change at chosen clock times;
// stream starts succeed or fail as queued and complete only when the test
// calls completeStarts(); stops and frames are delivered on demand, frames
// through the TaskRunner the output was added with. Thread-safe; callbacks
// run without the lock held.
class FakeCaptureService final : public CaptureService {
 public:
  explicit FakeCaptureService(const Clock& clock) : clock_(clock) {}

  class Stream final : public CaptureStream, public std::enable_shared_from_this<Stream> {
   public:
    Stream(FakeCaptureService& owner, ContentFilter filter, StreamConfiguration config,
           std::weak_ptr<StreamDelegate> delegate)
        : owner_(owner), filter_(std::move(filter)), config_(std::move(config)), delegate_(std::move(delegate)) {}

    std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                                 TaskRunner queue) override {
      std::lock_guard lock(owner_.mutex_);
      if (owner_.addOutputError_) return owner_.addOutputError_;
      outputs_.push_back({std::move(output), type, std::move(queue)});
      return std::nullopt;
    }

    void startCapture(std::function<void(std::optional<PlatformError>)> completion) override {
      std::lock_guard lock(owner_.mutex_);
      std::optional<PlatformError> outcome;
      if (!owner_.startOutcomes_.empty()) {
        outcome = owner_.startOutcomes_.front();
        owner_.startOutcomes_.pop_front();
      }
      owner_.pendingStarts_.push_back({weak_from_this(), std::move(completion), outcome});
    }

    const ContentFilter& filter() const { return filter_; }
    const StreamConfiguration& config() const { return config_; }
    bool started() const {
      std::lock_guard lock(owner_.mutex_);
      return started_;
    }
    std::vector<StreamOutputType> outputTypes() const {
      std::lock_guard lock(owner_.mutex_);
      std::vector<StreamOutputType> types;
      for (const auto& o : outputs_) types.push_back(o.type);
      return types;
    }

    // Hands a sample to every output of `type`, through its queue.
    void deliver(const SampleBuffer& sample, StreamOutputType type) {
      std::vector<Output> outputs;
      {
        std::lock_guard lock(owner_.mutex_);
        outputs = outputs_;
      }
      for (auto& o : outputs) {
        if (o.type != type) continue;
        o.queue([self = this, weak = o.output, sample, type] {
          if (auto out = weak.lock()) out->didOutputSampleBuffer(*self, sample, type);
        });
      }
    }

    // Tells the delegate the stream stopped.
    void stop(const PlatformError& error) {
      if (auto d = delegate_.lock()) d->didStopWithError(*this, error);
    }

   private:
    friend class FakeCaptureService;
    struct Output {
      std::weak_ptr<StreamOutput> output;
      StreamOutputType type;
      TaskRunner queue;
    };
    FakeCaptureService& owner_;
    ContentFilter filter_;
    StreamConfiguration config_;
    std::weak_ptr<StreamDelegate> delegate_;
    std::vector<Output> outputs_;  // owner_.mutex_
    bool started_ = false;         // owner_.mutex_
  };

  // From host time `fromNanos` on, the service offers `displays`.
  void setDisplaysFrom(std::int64_t fromNanos, std::vector<ShareableDisplay> displays) {
    std::lock_guard lock(mutex_);
    schedule_.push_back({fromNanos, std::move(displays)});
  }
  void setDisplays(std::vector<ShareableDisplay> displays) { setDisplaysFrom(clock_.hostNanos(), std::move(displays)); }
  void setContentError(std::optional<PlatformError> error) {
    std::lock_guard lock(mutex_);
    contentError_ = std::move(error);
  }
  void setAddOutputError(std::optional<PlatformError> error) {
    std::lock_guard lock(mutex_);
    addOutputError_ = std::move(error);
  }
  // The next starts end with these outcomes in order (nothing = success);
  // starts beyond the queue succeed.
  void queueStartOutcome(std::optional<PlatformError> outcome) {
    std::lock_guard lock(mutex_);
    startOutcomes_.push_back(std::move(outcome));
  }

  // Runs the completions of every start requested so far. Returns how many.
  int completeStarts() {
    std::vector<PendingStart> starts;
    {
      std::lock_guard lock(mutex_);
      starts.swap(pendingStarts_);
      for (auto& s : starts)
        if (auto stream = s.stream.lock(); stream && !s.outcome) stream->started_ = true;
    }
    for (auto& s : starts) s.completion(s.outcome);
    return static_cast<int>(starts.size());
  }

  int contentFetches() const {
    std::lock_guard lock(mutex_);
    return fetches_;
  }
  std::size_t streamCount() const {
    std::lock_guard lock(mutex_);
    return streams_.size();
  }
  // The most recently created stream, while something still holds it.
  std::shared_ptr<Stream> lastStream() const {
    std::lock_guard lock(mutex_);
    return streams_.empty() ? nullptr : streams_.back().lock();
  }
  std::shared_ptr<Stream> stream(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < streams_.size() ? streams_[index].lock() : nullptr;
  }

  std::variant<ShareableContent, PlatformError> shareableContent() override {
    std::lock_guard lock(mutex_);
    ++fetches_;
    if (contentError_) return *contentError_;
    ShareableContent content;
    const std::int64_t now = clock_.hostNanos();
    std::int64_t best = INT64_MIN;
    for (const auto& s : schedule_)
      if (s.from <= now && s.from >= best) {
        best = s.from;
        content.displays = s.displays;
      }
    return content;
  }

  std::shared_ptr<CaptureStream> createStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamDelegate> delegate) override {
    auto stream = std::make_shared<Stream>(*this, filter, configuration, std::move(delegate));
    std::lock_guard lock(mutex_);
    streams_.push_back(stream);
    return stream;
  }

 private:
  struct Scheduled {
    std::int64_t from;
    std::vector<ShareableDisplay> displays;
  };
  struct PendingStart {
    std::weak_ptr<Stream> stream;
    std::function<void(std::optional<PlatformError>)> completion;
    std::optional<PlatformError> outcome;
  };

  const Clock& clock_;
  mutable std::mutex mutex_;
  std::vector<Scheduled> schedule_;
  std::optional<PlatformError> contentError_;
  std::optional<PlatformError> addOutputError_;
  std::deque<std::optional<PlatformError>> startOutcomes_;
  std::vector<PendingStart> pendingStarts_;
  std::vector<std::weak_ptr<Stream>> streams_;
  int fetches_ = 0;
};

// A screen sample as a stream delivers it, with the given status and host time.
inline SampleBuffer screenSample(PixelBufferRef pixels, std::int64_t status, std::int64_t hostNanos) {
  SampleBuffer s;
  s.numSamples = 1;
  s.attachments = std::vector<FrameInfo>{FrameInfo{{std::string(kFrameInfoStatus), AttachmentValue{status}}}};
  s.imageBuffer = std::move(pixels);
  s.presentationTime = MediaTime::fromHostNanos(hostNanos);
  return s;
}

}  // namespace qx::fake
