#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/audio_source.h"
#include "platform/capture_service.h"

namespace qx::x11 {

struct StreamShared;

// One running capture of one monitor: owns the thread "qv-capture" and its
// pacing; the ScreenGrabber on that thread does the X work, and the injected
// audio source records while the stream runs. See X11CaptureService.
class X11CaptureStream final : public CaptureStream, public std::enable_shared_from_this<X11CaptureStream> {
 public:
  // `audio` may be null (no audio outputs then); it must outlive the stream.
  X11CaptureStream(std::string displayName, ContentFilter filter, StreamConfiguration config,
                   std::weak_ptr<StreamDelegate> delegate, AudioSource* audio);
  ~X11CaptureStream() override;
  X11CaptureStream(const X11CaptureStream&) = delete;
  X11CaptureStream& operator=(const X11CaptureStream&) = delete;

  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               TaskRunner queue) override;
  void startCapture(std::function<void(std::optional<PlatformError>)> completion) override;

  struct Output {
    std::weak_ptr<StreamOutput> receiver;
    TaskRunner queue;
  };

 private:
  // Everything the thread needs, its own copies.
  struct Run {
    std::weak_ptr<X11CaptureStream> self;
    std::shared_ptr<StreamShared> shared;
    std::string displayName;
    ContentFilter filter;
    StreamConfiguration config;
    std::weak_ptr<StreamDelegate> delegate;
    AudioSource* audio;
    std::optional<Output> screen;
    std::optional<Output> audioOutput;
  };
  static void run(const Run& r, const std::function<void(std::optional<PlatformError>)>& completion);

  const std::string displayName_;
  const ContentFilter filter_;
  const StreamConfiguration config_;
  const std::weak_ptr<StreamDelegate> delegate_;
  AudioSource* const audio_;
  const std::shared_ptr<StreamShared> shared_;
  std::mutex mutex_;
  bool started_ = false;               // guarded by mutex_
  std::optional<Output> screen_;       // guarded by mutex_; read once by the thread's start
  std::optional<Output> audioOutput_;  // guarded by mutex_; read once by the thread's start
  std::thread thread_;
};

}  // namespace qx::x11
