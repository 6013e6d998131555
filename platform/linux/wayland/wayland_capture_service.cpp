#include "platform/linux/wayland/wayland_capture_service.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "common/log.h"
#include "platform/linux/wayland/portal_client.h"
#include "platform/linux/wayland/screencast_token.h"
#include "platform/linux/wayland/wayland_outputs.h"
#include "platform/linux/x11/configuration_check.h"
#include "platform/linux/x11/damage_region.h"
#include "platform/linux/x11/frame_pacer.h"
#include "platform/linux/x11/frame_pool.h"
#include "platform/linux/x11/nv12_converter.h"

// PipeWire's loop, pod and error macros expand to C-style casts, statement expressions and compound
// literals in this file.
#pragma GCC diagnostic ignored "-Wold-style-cast"
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#pragma clang diagnostic ignored "-Wc99-extensions"
#endif

namespace qx {

namespace {

using Clock = std::chrono::steady_clock;
using x11::DamageRegion;
using x11::frameInterval;
using x11::hostNanosNow;
using x11::PixelRect;

enum ErrorCode : std::int64_t {
  kNoCompositor = 1,
  kPortalUnavailable = 2,
  kPipeWireFailed = 3,
  kStreamEnded = 4,
  kSizeChanged = 5,
  kUnsupportedBuffers = 6,
  kAlreadyStarted = 7,
  kUnsupportedOutput = 8,
  kBadConfiguration = 9,
};

// A start with a stored token answers in a few tens of milliseconds; one that takes longer is the
// desktop showing its dialog because it no longer honours the token.
constexpr std::chrono::seconds kTokenStartTimeout{5};

PlatformError makeError(std::int64_t code, std::string description) {
  return PlatformError{kWaylandCaptureErrorDomain, code, std::move(description)};
}

PlatformError accessError(std::string description) {
  return PlatformError{kCaptureAccessErrorDomain, 1, std::move(description)};
}

void initPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

struct Output {
  std::weak_ptr<StreamOutput> receiver;
  TaskRunner queue;
};

class WaylandStream;

// Everything the PipeWire thread touches. Created by the starter, destroyed after the thread stopped.
struct Pipe {
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  pw_registry* registry = nullptr;
  spa_hook coreListener{};
  spa_hook registryListener{};
  spa_hook streamListener{};
  std::uint32_t node = 0;
  spa_source* timer = nullptr;

  // PipeWire thread only, below.
  WaylandStream* owner = nullptr;
  int srcWidth = 0, srcHeight = 0;
  bool negotiated = false;
  std::vector<std::uint8_t> mirror;  // the output's pixels, BGRx, srcWidth * 4 per row
  std::unique_ptr<DamageRegion> pending;
  std::unique_ptr<x11::Nv12Converter> converter;
  std::unique_ptr<x11::FramePool> pool;
  std::map<const PixelBuffer*, DamageRegion> stale;  // what each pool buffer misses
  std::unique_ptr<x11::FramePacer> pacer;
  std::optional<std::chrono::steady_clock::time_point> timerAt;  // when the timer fires, if armed
  bool stopped = false;
};

class WaylandStream final : public CaptureStream, public std::enable_shared_from_this<WaylandStream> {
 public:
  WaylandStream(wayland::PortalClient& portal, std::string display, AudioSource* audio, ContentFilter filter,
                StreamConfiguration config, std::weak_ptr<StreamDelegate> delegate)
      : portal_(portal),
        display_(std::move(display)),
        audio_(audio),
        filter_(filter),
        config_(config),
        delegate_(std::move(delegate)) {}

  ~WaylandStream() override { teardown(); }

  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               TaskRunner queue) override {
    std::lock_guard lock(mutex_);
    if (started_) return makeError(kAlreadyStarted, "outputs must be added before the stream starts");
    if (type != StreamOutputType::screen && !(type == StreamOutputType::audio && config_.capturesAudio))
      return makeError(kUnsupportedOutput, "this capture stream delivers no audio");
    if (!queue) return makeError(kBadConfiguration, "no queue given for the stream output");
    (type == StreamOutputType::screen ? screen_ : audioOutput_) = Output{std::move(output), std::move(queue)};
    return std::nullopt;
  }

  void startCapture(std::function<void(std::optional<PlatformError>)> completion) override {
    {
      std::lock_guard lock(mutex_);
      if (started_) {
        std::thread([completion = std::move(completion)] {
          completion(makeError(kAlreadyStarted, "stream already started"));
        }).detach();
        return;
      }
      started_ = true;
    }
    // The portal answers in its own time; never block the caller.
    std::weak_ptr<WaylandStream> weak = weak_from_this();
    std::thread([weak, completion = std::move(completion)] {
      pthread_setname_np(pthread_self(), "qv-castcapture");
      auto self = weak.lock();
      if (!self) return completion(makeError(kStreamEnded, "the stream was released before it started"));
      auto error = self->start();
      if (error) {
        self->teardown();
        self.reset();
        return completion(std::move(error));
      }
      self.reset();
      completion(std::nullopt);
      if (auto again = weak.lock()) again->goLive();
    }).detach();
  }

  // PipeWire thread.
  void onFormat(const spa_pod* param);
  void onProcess();
  void onTimer();
  void fail(const PlatformError& error);

 private:
  std::optional<PlatformError> start();
  void goLive();
  void startAudio();
  void deliverNow();
  void scheduleDelivery();
  void teardown();

  wayland::PortalClient& portal_;
  const std::string display_;
  AudioSource* const audio_;
  const ContentFilter filter_;
  const StreamConfiguration config_;
  const std::weak_ptr<StreamDelegate> delegate_;

  std::mutex mutex_;
  bool started_ = false;                       // guarded by mutex_
  std::optional<Output> screen_;               // guarded by mutex_ until the start, then read only
  std::optional<Output> audioOutput_;          // likewise
  std::unique_ptr<AudioRecording> recording_;  // guarded by mutex_; set once live, released by teardown
  std::unique_ptr<Pipe> pipe_;                 // set by the starter, released by teardown
  std::atomic<bool> live_{false};              // frames may go out
  std::atomic<bool> failed_{false};
};

// --- PipeWire callbacks -------------------------------------------------------------------------

void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
  auto* pipe = static_cast<Pipe*>(data);
  if (id != PW_ID_CORE || !pipe->owner) return;
  pipe->owner->fail(
      makeError(kPipeWireFailed, std::string("PipeWire error: ") + (message ? message : spa_strerror(res))));
}

const pw_core_events kCoreEvents = [] {
  pw_core_events e{};
  e.version = PW_VERSION_CORE_EVENTS;
  e.error = onCoreError;
  return e;
}();

// The stream only pauses when its source vanishes (the portal backend died, the output went away);
// the node leaving the registry is what says so.
void onGlobalRemove(void* data, std::uint32_t id) {
  auto* pipe = static_cast<Pipe*>(data);
  if (id == pipe->node && pipe->owner) pipe->owner->fail(makeError(kStreamEnded, "the screen-cast source went away"));
}

const pw_registry_events kRegistryEvents = [] {
  pw_registry_events e{};
  e.version = PW_VERSION_REGISTRY_EVENTS;
  e.global_remove = onGlobalRemove;
  return e;
}();

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* pipe = static_cast<Pipe*>(data);
  if (!pipe->owner) return;
  if (state == PW_STREAM_STATE_ERROR)
    pipe->owner->fail(makeError(kPipeWireFailed, std::string("PipeWire stream error: ") + (error ? error : "unknown")));
  else if (state == PW_STREAM_STATE_UNCONNECTED)
    pipe->owner->fail(makeError(kStreamEnded, "the screen-cast stream ended"));
}

void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  auto* pipe = static_cast<Pipe*>(data);
  if (id == SPA_PARAM_Format && param && pipe->owner) pipe->owner->onFormat(param);
}

void onProcess(void* data) {
  auto* pipe = static_cast<Pipe*>(data);
  if (pipe->owner) pipe->owner->onProcess();
}

const pw_stream_events kStreamEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = onStateChanged;
  e.param_changed = onParamChanged;
  e.process = onProcess;
  return e;
}();

void onTimerFired(void* data, std::uint64_t) {
  auto* pipe = static_cast<Pipe*>(data);
  pipe->timerAt.reset();
  if (pipe->owner) pipe->owner->onTimer();
}

// --- start and stop -----------------------------------------------------------------------------

std::optional<PlatformError> WaylandStream::start() {
  if (auto reason = unsupportedConfiguration(config_, audio_ != nullptr)) return makeError(kBadConfiguration, *reason);
  const auto token = wayland::loadScreencastToken();
  if (!token) return accessError("no screen-cast permission is stored: allow screen recording in Quorvex Host");

  std::weak_ptr<WaylandStream> weak = weak_from_this();
  auto result = portal_.startScreenCast(token, kTokenStartTimeout, [weak] {
    if (auto self = weak.lock()) self->fail(accessError("the desktop ended the screen cast"));
  });
  if (auto* error = std::get_if<wayland::PortalClient::Error>(&result)) {
    if (error->failure == wayland::PortalClient::Failure::unavailable)
      return makeError(kPortalUnavailable, error->message);
    wayland::removeScreencastToken();
    return accessError(error->message);
  }
  auto grant = std::get<wayland::PortalClient::Grant>(std::move(result));
  if (!grant.restoreToken.empty() && !wayland::storeScreencastToken(grant.restoreToken))
    logErr("cannot store the screen-cast permission; the next start will need \"Allow…\" again");

  if (const auto outputs = wayland::listOutputs(display_)) {
    const auto granted = wayland::outputAt(*outputs, grant.x, grant.y, grant.width, grant.height);
    if (granted && wayland::outputId(granted->name) != filter_.display.displayID)
      logErr("the desktop granted output " + granted->name + " instead of display " +
             std::to_string(filter_.display.displayID) + "; capturing " + granted->name);
  }

  initPipeWire();
  auto pipe = std::make_unique<Pipe>();
  pipe->owner = this;
  pipe->pacer = std::make_unique<x11::FramePacer>(frameInterval(config_.minimumFrameInterval));
  pipe->loop = pw_thread_loop_new("qv-pipewire", nullptr);
  if (!pipe->loop) {
    ::close(grant.pipewireFd);
    return makeError(kPipeWireFailed, "cannot create the PipeWire loop");
  }
  pipe->context = pw_context_new(pw_thread_loop_get_loop(pipe->loop), nullptr, 0);
  pipe_ = std::move(pipe);
  Pipe& p = *pipe_;
  if (!p.context) {
    ::close(grant.pipewireFd);
    return makeError(kPipeWireFailed, "cannot create the PipeWire context");
  }
  if (pw_thread_loop_start(p.loop) < 0) {
    ::close(grant.pipewireFd);
    return makeError(kPipeWireFailed, "cannot start the PipeWire thread");
  }
  pw_thread_loop_lock(p.loop);
  p.core = pw_context_connect_fd(p.context, grant.pipewireFd, nullptr, 0);  // owns the descriptor now
  if (!p.core) {
    pw_thread_loop_unlock(p.loop);
    return makeError(kPipeWireFailed, "cannot connect to the screen cast's PipeWire remote");
  }
  pw_core_add_listener(p.core, &p.coreListener, &kCoreEvents, &p);
  p.node = grant.node;
  p.registry = pw_core_get_registry(p.core, PW_VERSION_REGISTRY, 0);
  if (p.registry) pw_registry_add_listener(p.registry, &p.registryListener, &kRegistryEvents, &p);
  p.timer = pw_loop_add_timer(pw_thread_loop_get_loop(p.loop), onTimerFired, &p);
  p.stream = pw_stream_new(p.core, "quorvex-screencap",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (!p.stream) {
    pw_thread_loop_unlock(p.loop);
    return makeError(kPipeWireFailed, "cannot create the PipeWire stream");
  }
  pw_stream_add_listener(p.stream, &p.streamListener, &kStreamEvents, &p);

  std::uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_rectangle defSize{1920, 1080}, minSize{1, 1}, maxSize{16384, 16384};
  const spa_fraction defRate{0, 1}, minRate{0, 1}, maxRate{1000, 1};
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
  const int rc = pw_stream_connect(
      p.stream, PW_DIRECTION_INPUT, grant.node,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
  pw_thread_loop_unlock(p.loop);
  if (rc < 0) return makeError(kPipeWireFailed, std::string("cannot connect the PipeWire stream: ") + spa_strerror(rc));
  return std::nullopt;
}

void WaylandStream::goLive() {
  live_ = true;
  startAudio();
  if (!pipe_) return;
  pw_thread_loop_lock(pipe_->loop);
  // Whatever arrived before the start completed goes out now.
  if (pipe_->pending && !pipe_->pending->empty()) scheduleDelivery();
  pw_thread_loop_unlock(pipe_->loop);
}

void WaylandStream::startAudio() {
  std::optional<Output> output;
  {
    std::lock_guard lock(mutex_);
    output = audioOutput_;
  }
  if (!output || !audio_) return;
  std::weak_ptr<WaylandStream> weak = weak_from_this();
  auto recording = audio_->start([weak, output = *output](std::shared_ptr<const AudioBuffer> buffer) {
    auto sample = std::make_shared<SampleBuffer>();
    sample->numSamples = buffer->frameCount;
    sample->presentationTime = buffer->presentationTime;
    sample->audioBuffer = std::move(buffer);
    output.queue([weak, receiver = output.receiver, sample] {
      auto self = weak.lock();
      auto out = receiver.lock();
      if (self && out && !self->failed_) out->didOutputSampleBuffer(*self, *sample, StreamOutputType::audio);
    });
  });
  std::lock_guard lock(mutex_);
  recording_ = std::move(recording);
}

void WaylandStream::teardown() {
  std::unique_ptr<AudioRecording> recording;
  {
    std::lock_guard lock(mutex_);
    recording = std::move(recording_);
  }
  recording.reset();
  std::unique_ptr<Pipe> pipe = std::move(pipe_);
  portal_.closeScreenCast();
  if (!pipe) return;
  const auto destroy = [](std::unique_ptr<Pipe> p) {
    if (p->loop) pw_thread_loop_stop(p->loop);
    if (p->stream) pw_stream_destroy(p->stream);
    if (p->registry) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(p->registry));
    if (p->core) pw_core_disconnect(p->core);
    if (p->context) pw_context_destroy(p->context);
    if (p->loop) pw_thread_loop_destroy(p->loop);
  };
  if (pipe->loop && pw_thread_loop_in_thread(pipe->loop)) {
    // Released from inside its own callback: the loop cannot stop itself.
    pipe->owner = nullptr;
    std::thread(destroy, std::move(pipe)).detach();
    return;
  }
  if (pipe->loop) {
    pw_thread_loop_lock(pipe->loop);
    pipe->owner = nullptr;
    pw_thread_loop_unlock(pipe->loop);
  }
  destroy(std::move(pipe));
}

void WaylandStream::fail(const PlatformError& error) {
  if (failed_.exchange(true)) return;
  live_ = false;
  // Called on the PipeWire or the portal thread; the delegate may release the stream at once.
  std::weak_ptr<WaylandStream> weak = weak_from_this();
  if (auto self = weak.lock()) {
    if (auto delegate = delegate_.lock()) delegate->didStopWithError(*self, error);
  }
}

// --- frames (PipeWire thread) -------------------------------------------------------------------

void WaylandStream::onFormat(const spa_pod* param) {
  Pipe& p = *pipe_;
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0)
    return fail(makeError(kUnsupportedBuffers, "unreadable video format"));
  const int w = static_cast<int>(info.size.width), h = static_cast<int>(info.size.height);
  if (p.negotiated && (w != p.srcWidth || h != p.srcHeight))
    return fail(makeError(kSizeChanged, "the output's size changed"));
  if (p.negotiated) return;
  p.negotiated = true;
  p.srcWidth = w, p.srcHeight = h;
  p.mirror.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 0);
  p.pending = std::make_unique<DamageRegion>(w, h);  // whole: nothing is known yet
  const int dstW = static_cast<int>(config_.width), dstH = static_cast<int>(config_.height);
  p.converter = std::make_unique<x11::Nv12Converter>(w, h, dstW, dstH);
  if (!p.converter->ok()) return fail(makeError(kBadConfiguration, "cannot scale to the capture size"));
  p.pool = std::make_unique<x11::FramePool>(static_cast<std::size_t>(std::max(1, config_.queueDepth)), dstW, dstH);

  // Shared memory only; damage rectangles so only what changed is copied and converted.
  std::uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[3];
  params[0] = static_cast<const spa_pod*>(
      spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
                                 SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(
      spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                 SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
                                 SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * 16, sizeof(spa_meta_region) * 1,
                                                          sizeof(spa_meta_region) * 16)));
  pw_stream_update_params(p.stream, params, 3);
}

void WaylandStream::onProcess() {
  Pipe& p = *pipe_;
  if (!p.negotiated) return;
  // Only the newest buffer matters; older ones still count for their damage.
  pw_buffer* newest = nullptr;
  bool wholeFromOlder = false;
  std::vector<PixelRect> olderDamage;
  while (pw_buffer* b = pw_stream_dequeue_buffer(p.stream)) {
    if (newest) {
      auto* region = static_cast<spa_meta_region*>(
          spa_buffer_find_meta_data(newest->buffer, SPA_META_VideoDamage, sizeof(spa_meta_region)));
      if (!region) wholeFromOlder = true;
      for (; region && spa_meta_region_is_valid(region); ++region)
        olderDamage.push_back({region->region.position.x, region->region.position.y,
                               static_cast<int>(region->region.size.width),
                               static_cast<int>(region->region.size.height)});
      pw_stream_queue_buffer(p.stream, newest);
    }
    newest = b;
  }
  if (!newest) return;
  spa_buffer* buf = newest->buffer;
  spa_data& d = buf->datas[0];
  if (d.type == SPA_DATA_DmaBuf) {
    pw_stream_queue_buffer(p.stream, newest);
    return fail(makeError(kUnsupportedBuffers,
                          "the desktop offers the screen only as DMA-BUF, which this version cannot import"));
  }
  const auto* header =
      static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)));
  const bool corrupted =
      (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
  if (!d.data || d.chunk->size == 0 || corrupted) {
    pw_stream_queue_buffer(p.stream, newest);
    return;
  }
  const int stride = d.chunk->stride > 0 ? d.chunk->stride : p.srcWidth * 4;
  if (static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(p.srcHeight) > d.maxsize ||
      stride < p.srcWidth * 4) {
    pw_stream_queue_buffer(p.stream, newest);
    return fail(makeError(kUnsupportedBuffers, "the screen-cast buffer is smaller than its picture"));
  }
  const auto* src = static_cast<const std::uint8_t*>(d.data) + d.chunk->offset;
  DamageRegion changed(p.srcWidth, p.srcHeight);
  changed.clear();
  auto* region =
      static_cast<spa_meta_region*>(spa_buffer_find_meta_data(buf, SPA_META_VideoDamage, sizeof(spa_meta_region)));
  if (!region || wholeFromOlder) {
    changed.addWhole();
  } else {
    for (; spa_meta_region_is_valid(region); ++region)
      changed.add({region->region.position.x, region->region.position.y, static_cast<int>(region->region.size.width),
                   static_cast<int>(region->region.size.height)});
    for (const PixelRect& r : olderDamage) changed.add(r);
  }
  const std::size_t rowBytes = static_cast<std::size_t>(p.srcWidth) * 4;
  for (const PixelRect& r : changed.rects()) {
    for (int y = r.y; y < r.bottom(); ++y) {
      const std::size_t from =
          static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) + static_cast<std::size_t>(r.x) * 4;
      const std::size_t to = static_cast<std::size_t>(y) * rowBytes + static_cast<std::size_t>(r.x) * 4;
      std::memcpy(p.mirror.data() + to, src + from, static_cast<std::size_t>(r.width) * 4);
    }
    p.pending->add(r);
  }
  pw_stream_queue_buffer(p.stream, newest);
  if (!p.pending->empty() && live_) scheduleDelivery();
}

void WaylandStream::scheduleDelivery() {
  Pipe& p = *pipe_;
  const auto now = Clock::now();
  // The compositor paces its buffers itself.
  const auto at = p.pacer->deliveryFor(now);
  if (at <= now) return deliverNow();
  if (p.timerAt && *p.timerAt <= at) return;
  const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(at - now);
  timespec value{static_cast<time_t>(wait.count() / 1'000'000'000), static_cast<long>(wait.count() % 1'000'000'000)};
  pw_loop_update_timer(pw_thread_loop_get_loop(p.loop), p.timer, &value, nullptr, false);
  p.timerAt = at;
}

void WaylandStream::onTimer() {
  if (pipe_ && pipe_->pending && !pipe_->pending->empty() && live_) scheduleDelivery();
}

void WaylandStream::deliverNow() {
  Pipe& p = *pipe_;
  PixelBufferRef frame = p.pool->acquire();
  if (!frame) return;  // every buffer is held downstream: the next change or timer tries again
  for (auto& [buffer, stale] : p.stale)
    for (const PixelRect& r : p.pending->rects()) stale.add(r);
  auto [it, fresh] = p.stale.try_emplace(frame.get(), p.srcWidth, p.srcHeight);  // a new buffer is wholly stale
  for (const PixelRect& r : it->second.rects())
    p.converter->convertRect(p.mirror.data(), p.srcWidth * 4, *frame, p.converter->destinationFor(r));
  it->second.clear();
  p.pending->clear();
  p.pacer->grabbed(Clock::now());

  auto sample = std::make_shared<SampleBuffer>();
  sample->numSamples = 1;
  sample->attachments = std::vector<FrameInfo>{
      FrameInfo{{std::string(kFrameInfoStatus), static_cast<std::int64_t>(FrameStatus::complete)}}};
  sample->imageBuffer = std::move(frame);
  sample->presentationTime = MediaTime::fromHostNanos(hostNanosNow());
  Output output;
  {
    std::lock_guard lock(mutex_);
    if (!screen_) return;
    output = *screen_;
  }
  std::weak_ptr<WaylandStream> weak = weak_from_this();
  output.queue([weak, receiver = output.receiver, sample] {
    auto self = weak.lock();
    auto out = receiver.lock();
    if (self && out && !self->failed_) out->didOutputSampleBuffer(*self, *sample, StreamOutputType::screen);
  });
}

}  // namespace

WaylandCaptureService::WaylandCaptureService(wayland::PortalClient& portal, std::string display, AudioSource* audio)
    : portal_(portal), display_(std::move(display)), audio_(audio) {}

WaylandCaptureService::~WaylandCaptureService() = default;

std::variant<ShareableContent, PlatformError> WaylandCaptureService::shareableContent() {
  const auto outputs = wayland::listOutputs(display_);
  if (!outputs) return makeError(kNoCompositor, "cannot connect to the Wayland display");
  ShareableContent content;
  for (const auto& o : *outputs)
    content.displays.push_back(ShareableDisplay{wayland::outputId(o.name), o.logicalWidth, o.logicalHeight});
  return content;
}

std::shared_ptr<CaptureStream> WaylandCaptureService::createStream(const ContentFilter& filter,
                                                                   const StreamConfiguration& configuration,
                                                                   std::weak_ptr<StreamDelegate> delegate) {
  return std::make_shared<WaylandStream>(portal_, display_, audio_, filter, configuration, std::move(delegate));
}

}  // namespace qx
