#include "capture/muxer_audio_sink.h"

#include "audio/audio_muxer.h"

namespace qx {

namespace {

class MuxerAudioSink final : public AudioSink {
 public:
  explicit MuxerAudioSink(std::unique_ptr<AudioMuxer> muxer) : muxer_(std::move(muxer)) {}
  void ingest(const SampleBuffer& sample) override { muxer_->ingest(sample); }

 private:
  std::unique_ptr<AudioMuxer> muxer_;
};

}  // namespace

AudioSinkFactory muxingAudioSinkFactory(AudioConverterFactory& converters, QueueFactory& queues, const Clock& clock,
                                        LogFn log) {
  return [&converters, &queues, &clock,
          log = std::move(log)](int fd) -> std::variant<std::shared_ptr<AudioSink>, PlatformError> {
    auto muxer = std::make_unique<AudioMuxer>(fd, converters, queues, clock, log);
    if (auto error = muxer->start()) return PlatformError{error->domain, error->code, error->description};
    return std::make_shared<MuxerAudioSink>(std::move(muxer));
  };
}

}  // namespace qx
