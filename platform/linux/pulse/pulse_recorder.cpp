#include "platform/linux/pulse/pulse_recorder.h"

#include <pulse/pulseaudio.h>
#include <atomic>
#include <ctime>

namespace qx {

namespace pulse {

// Every libpulse object of one recording, created and destroyed under the
// mainloop lock. Callbacks reach it through their userdata pointer.
struct Session {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  bool loopRunning = false;

  PulseRecorder::BufferFn onBuffer;
  PulseRecorder::FailureFn onFailure;
  AudioFormat format;
  std::size_t frameBytes = 0;
  bool recording = false;            // start() finished: failures go to onFailure
  std::atomic<bool> failed = false;  // onFailure already called

  // Replies of the introspection calls, filled on the loop thread.
  std::string defaultSink;
  std::string monitorSource;
  pa_sample_spec sinkSpec{};
  pa_channel_map sinkMap{};
  bool sinkFound = false;

  ~Session() {
    if (loop == nullptr) return;
    if (loopRunning) pa_threaded_mainloop_lock(loop);
    if (stream != nullptr) {
      pa_stream_set_read_callback(stream, nullptr, nullptr);
      pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
    }
    if (context != nullptr) {
      pa_context_set_state_callback(context, nullptr, nullptr);
      pa_context_set_subscribe_callback(context, nullptr, nullptr);
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    if (loopRunning) {
      pa_threaded_mainloop_unlock(loop);
      pa_threaded_mainloop_stop(loop);
    }
    pa_threaded_mainloop_free(loop);
  }

  PlatformError error(const std::string& what) const {
    int code = context != nullptr ? pa_context_errno(context) : PA_ERR_INTERNAL;
    return PlatformError{kPulseErrorDomain, code, what + ": " + pa_strerror(code)};
  }

  void fail(const std::string& what) {
    if (!recording || failed.exchange(true)) return;
    if (onFailure) onFailure(error(what));
  }

  // Waits (lock held) until the operation has finished; false if it could not be issued.
  bool await(pa_operation* op) {
    if (op == nullptr) return false;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
    pa_operation_unref(op);
    return true;
  }
};

namespace {

std::int64_t monotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void contextState(pa_context* c, void* userdata) {
  auto* s = static_cast<Session*>(userdata);
  pa_context_state_t state = pa_context_get_state(c);
  if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) s->fail("connection to the sound server lost");
  pa_threaded_mainloop_signal(s->loop, 0);
}

void streamState(pa_stream* st, void* userdata) {
  auto* s = static_cast<Session*>(userdata);
  pa_stream_state_t state = pa_stream_get_state(st);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) s->fail("system audio recording stopped");
  pa_threaded_mainloop_signal(s->loop, 0);
}

void serverInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* s = static_cast<Session*>(userdata);
  if (info != nullptr && info->default_sink_name != nullptr) s->defaultSink = info->default_sink_name;
  pa_threaded_mainloop_signal(s->loop, 0);
}

void sinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* s = static_cast<Session*>(userdata);
  if (eol == 0 && info != nullptr && info->monitor_source_name != nullptr) {
    s->monitorSource = info->monitor_source_name;
    s->sinkSpec = info->sample_spec;
    s->sinkMap = info->channel_map;
    s->sinkFound = true;
  }
  pa_threaded_mainloop_signal(s->loop, 0);
}

void streamRead(pa_stream* st, std::size_t, void* userdata) {
  auto* s = static_cast<Session*>(userdata);
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(st, &data, &bytes) < 0 || bytes == 0) return;
    // data is null for a hole in the recording: nothing to deliver, and the
    // muxer sees the gap.
    std::size_t frames = s->frameBytes > 0 ? bytes / s->frameBytes : 0;
    if (data != nullptr && frames > 0 && !s->failed.load() && s->onBuffer) {
      auto buffer = std::make_shared<AudioBuffer>();
      buffer->format = s->format;
      buffer->frameCount = static_cast<int>(frames);
      const auto* p = static_cast<const std::uint8_t*>(data);
      buffer->planes.emplace_back(p, p + frames * s->frameBytes);
      buffer->presentationTime = MediaTime::fromHostNanos(monotonicNanos());
      s->onBuffer(std::move(buffer));
    }
    pa_stream_drop(st);
  }
}

// Our sample formats that Pulse can deliver as they are; anything else
// (24-bit, big-endian, A-law) is asked for as float.
std::optional<SampleFormat> nativeFormat(pa_sample_format_t f) {
  switch (f) {
    case PA_SAMPLE_U8: return SampleFormat::u8;
    case PA_SAMPLE_S16NE: return SampleFormat::s16;
    case PA_SAMPLE_S32NE: return SampleFormat::s32;
    case PA_SAMPLE_FLOAT32NE: return SampleFormat::f32;
    default: return std::nullopt;
  }
}

// Creates the recording stream of the sink found last and connects it to
// that sink's monitor (asynchronously: streamState follows it). Loop thread or
// mainloop lock held.
bool openStream(Session& s) {
  pa_sample_spec sampleSpec = s.sinkSpec;
  std::optional<SampleFormat> format = nativeFormat(sampleSpec.format);
  if (!format) {
    sampleSpec.format = PA_SAMPLE_FLOAT32NE;
    format = SampleFormat::f32;
  }
  s.format = AudioFormat{*format, static_cast<int>(sampleSpec.rate), static_cast<int>(sampleSpec.channels), true};
  s.frameBytes = pa_frame_size(&sampleSpec);

  s.stream = pa_stream_new(s.context, "system audio", &sampleSpec, &s.sinkMap);
  if (s.stream == nullptr) return false;
  pa_stream_set_state_callback(s.stream, streamState, &s);
  pa_stream_set_read_callback(s.stream, streamRead, &s);
  // 10 ms fragments: small enough that 20-ms Opus frames never wait long.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(10'000, &sampleSpec));
  return pa_stream_connect_record(s.stream, s.monitorSource.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) == 0;
}

// The new default output's sink: record its monitor instead.
void followSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* s = static_cast<Session*>(userdata);
  if (eol != 0 || info == nullptr || info->monitor_source_name == nullptr || s->failed.load()) return;
  if (s->stream != nullptr) {
    pa_stream_set_read_callback(s->stream, nullptr, nullptr);
    pa_stream_set_state_callback(s->stream, nullptr, nullptr);
    pa_stream_disconnect(s->stream);
    pa_stream_unref(s->stream);
    s->stream = nullptr;
  }
  s->monitorSource = info->monitor_source_name;
  s->sinkSpec = info->sample_spec;
  s->sinkMap = info->channel_map;
  if (!openStream(*s)) s->fail("cannot record the new default output \"" + s->monitorSource + "\"");
}

void defaultMaybeChanged(pa_context* c, const pa_server_info* info, void* userdata) {
  auto* s = static_cast<Session*>(userdata);
  if (info == nullptr || info->default_sink_name == nullptr || s->defaultSink == info->default_sink_name) return;
  s->defaultSink = info->default_sink_name;
  pa_operation* op = pa_context_get_sink_info_by_name(c, info->default_sink_name, followSink, s);
  if (op != nullptr) pa_operation_unref(op);
}

void serverEvent(pa_context* c, pa_subscription_event_type_t type, std::uint32_t, void* userdata) {
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
  pa_operation* op = pa_context_get_server_info(c, defaultMaybeChanged, userdata);
  if (op != nullptr) pa_operation_unref(op);
}

}  // namespace

}  // namespace pulse

std::variant<std::unique_ptr<PulseRecorder>, PlatformError> PulseRecorder::start(BufferFn onBuffer,
                                                                                 FailureFn onFailure) {
  using namespace pulse;
  auto session = std::make_unique<Session>();
  Session& s = *session;
  s.onBuffer = std::move(onBuffer);
  s.onFailure = std::move(onFailure);

  s.loop = pa_threaded_mainloop_new();
  if (s.loop == nullptr) return PlatformError{kPulseErrorDomain, PA_ERR_INTERNAL, "cannot create the audio thread"};
  pa_threaded_mainloop_set_name(s.loop, "qv-pulse");
  s.context = pa_context_new(pa_threaded_mainloop_get_api(s.loop), "quorvex-screencap");
  if (s.context == nullptr)
    return PlatformError{kPulseErrorDomain, PA_ERR_INTERNAL, "cannot create a sound server context"};
  pa_context_set_state_callback(s.context, contextState, &s);
  // No autospawn: a missing server is a clear failure, not a surprise daemon.
  if (pa_context_connect(s.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return s.error("no sound server reachable");
  }
  if (pa_threaded_mainloop_start(s.loop) < 0) {
    return PlatformError{kPulseErrorDomain, PA_ERR_INTERNAL, "cannot start the audio thread"};
  }
  s.loopRunning = true;

  pa_threaded_mainloop_lock(s.loop);
  struct Unlock {
    pa_threaded_mainloop* loop;
    ~Unlock() { pa_threaded_mainloop_unlock(loop); }
  } unlock{s.loop};

  for (;;) {
    pa_context_state_t state = pa_context_get_state(s.context);
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) return s.error("no sound server reachable");
    pa_threaded_mainloop_wait(s.loop);
  }

  if (!s.await(pa_context_get_server_info(s.context, serverInfo, &s))) return s.error("cannot query the sound server");
  if (s.defaultSink.empty()) {
    return PlatformError{kPulseErrorDomain, PA_ERR_NOENTITY, "the sound server has no default output (sink)"};
  }
  if (!s.await(pa_context_get_sink_info_by_name(s.context, s.defaultSink.c_str(), sinkInfo, &s))) {
    return s.error("cannot query the default output");
  }
  if (!s.sinkFound) {
    return PlatformError{kPulseErrorDomain, PA_ERR_NOENTITY,
                         "the default output \"" + s.defaultSink + "\" has no monitor source"};
  }

  if (!openStream(s)) return s.error("cannot record \"" + s.monitorSource + "\"");
  for (;;) {
    pa_stream_state_t state = pa_stream_get_state(s.stream);
    if (state == PA_STREAM_READY) break;
    if (!PA_STREAM_IS_GOOD(state)) return s.error("cannot record \"" + s.monitorSource + "\"");
    pa_threaded_mainloop_wait(s.loop);
  }
  s.recording = true;
  // Told when the default output changes, to follow it.
  pa_context_set_subscribe_callback(s.context, serverEvent, &s);
  pa_operation* subscribed = pa_context_subscribe(s.context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr);
  if (subscribed != nullptr) pa_operation_unref(subscribed);

  auto recorder = std::unique_ptr<PulseRecorder>(new PulseRecorder());
  recorder->format_ = s.format;
  recorder->sourceName_ = s.monitorSource;
  recorder->session_ = std::move(session);
  return recorder;
}

PulseRecorder::~PulseRecorder() = default;

AudioRecorderStart pulseRecorderStart() {
  return [](AudioBufferFn onBuffer,
            AudioFailureFn onFailure) -> std::variant<std::unique_ptr<AudioRecording>, PlatformError> {
    auto started = PulseRecorder::start(std::move(onBuffer), std::move(onFailure));
    if (auto* error = std::get_if<PlatformError>(&started)) return *error;
    return std::unique_ptr<AudioRecording>(std::move(std::get<std::unique_ptr<PulseRecorder>>(started)));
  };
}

}  // namespace qx
