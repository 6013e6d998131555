#include "platform/linux/x11/x11_capture_service.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "platform/linux/pulse/pulse_recorder.h"
#include "platform/linux/x11/damage_region.h"
#include "platform/linux/x11/frame_pacer.h"
#include "platform/linux/x11/frame_pool.h"
#include "platform/linux/x11/nv12_converter.h"
#include "platform/linux/x11/randr_monitors.h"
#include "platform/linux/x11/xcb_handles.h"

namespace qx {

namespace {

using Clock = std::chrono::steady_clock;
using x11::DamageRegion;
using x11::PixelRect;

enum ErrorCode : std::int64_t {
  kConnectFailed = 1,
  kExtensionMissing = 2,
  kDisplayGone = 3,
  kUnsupportedFormat = 4,
  kScreenChanged = 5,
  kConnectionBroken = 6,
  kGrabFailed = 7,
  kAlreadyStarted = 8,
  kUnsupportedOutput = 9,
  kSetupFailed = 10,
  kBadConfiguration = 11,
};

PlatformError makeError(std::int64_t code, std::string description) {
  return PlatformError{kX11CaptureErrorDomain, code, std::move(description)};
}

std::int64_t hostNanosNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::chrono::nanoseconds frameInterval(const MediaTime& t) {
  if (!t.isNumeric() || t.value <= 0) return std::chrono::nanoseconds(0);
  const double ns = static_cast<double>(t.value) * 1e9 / static_cast<double>(t.timescale);
  if (!(ns < 3.6e12)) return std::chrono::hours(1);
  return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

// An eventfd the owner writes to when the capture thread should wake up.
class WakeFd {
 public:
  WakeFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~WakeFd() {
    if (fd_ >= 0) close(fd_);
  }
  WakeFd(const WakeFd&) = delete;
  WakeFd& operator=(const WakeFd&) = delete;
  int fd() const { return fd_; }
  void signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
  }
  void drain() const {
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t n = read(fd_, &value, sizeof value);
  }

 private:
  int fd_;
};

// A System V shared memory segment attached here and to the X server, which
// writes grabs into it.
class ShmSegment {
 public:
  enum class Access { readOnly, readWrite };

  ShmSegment(xcb_connection_t* c, std::size_t size, Access access) : conn_(c) {
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return;
    void* addr = shmat(id, nullptr, access == Access::readOnly ? SHM_RDONLY : 0);
    if (addr == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      return;
    }
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    x11::XcbReply<xcb_generic_error_t> error(
        xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<std::uint32_t>(id), 0)));
    // Marked for removal at once: it disappears when both sides detach, even
    // if this process dies.
    shmctl(id, IPC_RMID, nullptr);
    if (error) {
      shmdt(addr);
      return;
    }
    addr_ = static_cast<std::uint8_t*>(addr);
    seg_ = seg;
  }
  ~ShmSegment() {
    if (!addr_) return;
    xcb_shm_detach(conn_, seg_);
    xcb_flush(conn_);
    shmdt(addr_);
  }
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  bool ok() const { return addr_ != nullptr; }
  xcb_shm_seg_t seg() const { return seg_; }
  std::uint8_t* data() const { return addr_; }

 private:
  xcb_connection_t* conn_;
  std::uint8_t* addr_ = nullptr;
  xcb_shm_seg_t seg_ = 0;
};

bool hasExtension(xcb_connection_t* c, xcb_extension_t* ext) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, ext);
  return data != nullptr && data->present != 0;
}

// The bits per pixel the server uses for `depth`, or 0.
int bitsPerPixel(xcb_connection_t* c, std::uint8_t depth) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == depth) return it.data->bits_per_pixel;
  }
  return 0;
}

}  // namespace

namespace {

struct Output {
  std::weak_ptr<StreamOutput> receiver;
  TaskRunner queue;
};

// State shared between a stream object and its capture thread. The thread
// keeps it alive, so the stream may be destroyed on that very thread.
struct StreamShared {
  WakeFd wake;
  std::atomic<bool> cancelled{false};  // the owner asked the thread to end
  std::atomic<bool> stopped{false};    // no more deliveries
  std::mutex audioMutex;
  std::optional<PlatformError> audioFailure;  // guarded by audioMutex; set by the sound server thread
};

class X11CaptureStream final : public CaptureStream, public std::enable_shared_from_this<X11CaptureStream> {
 public:
  X11CaptureStream(std::string displayName, ContentFilter filter, StreamConfiguration config,
                   std::weak_ptr<StreamDelegate> delegate)
      : displayName_(std::move(displayName)),
        filter_(filter),
        config_(config),
        delegate_(std::move(delegate)),
        shared_(std::make_shared<StreamShared>()) {}

  ~X11CaptureStream() override {
    shared_->stopped = true;
    shared_->cancelled = true;
    shared_->wake.signal();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // released from one of our own callbacks
    } else {
      thread_.join();
    }
  }

  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               TaskRunner queue) override {
    std::lock_guard lock(mutex_);
    if (started_) return makeError(kAlreadyStarted, "outputs must be added before the stream starts");
    if (type != StreamOutputType::screen && !(type == StreamOutputType::audio && config_.capturesAudio)) {
      return makeError(kUnsupportedOutput, "this capture stream delivers no audio");
    }
    if (!queue) return makeError(kBadConfiguration, "no queue given for the stream output");
    (type == StreamOutputType::screen ? screen_ : audio_) = Output{std::move(output), std::move(queue)};
    return std::nullopt;
  }

  void startCapture(std::function<void(std::optional<PlatformError>)> completion) override {
    std::lock_guard lock(mutex_);
    if (started_) {
      std::thread([done = std::move(completion)] {
        done(makeError(kAlreadyStarted, "stream already started"));
      }).detach();
      return;
    }
    started_ = true;
    thread_ = std::thread(&X11CaptureStream::run, weak_from_this(), shared_, displayName_, filter_, config_, delegate_,
                          screen_, audio_, std::move(completion));
  }

 private:
  // The thread's own copies of everything it needs (std::thread copies the arguments).
  static void run(std::weak_ptr<X11CaptureStream> self, std::shared_ptr<StreamShared> shared,
                  const std::string& displayName, ContentFilter filter, StreamConfiguration config,
                  std::weak_ptr<StreamDelegate> delegate, std::optional<Output> screen, std::optional<Output> audio,
                  const std::function<void(std::optional<PlatformError>)>& completion);

  const std::string displayName_;
  const ContentFilter filter_;
  const StreamConfiguration config_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const std::shared_ptr<StreamShared> shared_;
  std::mutex mutex_;
  bool started_ = false;          // guarded by mutex_
  std::optional<Output> screen_;  // guarded by mutex_; read once by the thread's start
  std::optional<Output> audio_;   // guarded by mutex_; read once by the thread's start
  std::thread thread_;
};

// Everything one running capture holds on the X server.
class Grabber {
 public:
  // Fails with the reason the stream cannot start.
  static std::variant<std::unique_ptr<Grabber>, PlatformError> open(const std::string& displayName, DisplayID displayID,
                                                                    const StreamConfiguration& config) {
    auto g = std::unique_ptr<Grabber>(new Grabber(displayName));
    xcb_connection_t* c = g->conn_.get();
    if (!g->conn_.ok()) {
      return makeError(kConnectFailed, "cannot connect to X display \"" + displayName + "\"");
    }
    if (!hasExtension(c, &xcb_shm_id) || !hasExtension(c, &xcb_damage_id) || !hasExtension(c, &xcb_randr_id)) {
      return makeError(kExtensionMissing, "the X server lacks MIT-SHM, DAMAGE or RANDR");
    }
    const auto monitors = x11::queryMonitors(g->conn_, false);
    if (!monitors) return makeError(kExtensionMissing, "the X server does not list RandR monitors");
    const x11::Monitor* found = nullptr;
    for (const auto& m : *monitors) {
      if (m.id == displayID) found = &m;
    }
    if (!found) return makeError(kDisplayGone, "display " + std::to_string(displayID) + " is no longer connected");
    g->monitor_ = *found;
    if (g->monitor_.width <= 0 || g->monitor_.height <= 0) {
      return makeError(kDisplayGone, "display " + std::to_string(displayID) + " has no area");
    }

    const xcb_screen_t* screen = g->conn_.screen();
    if (bitsPerPixel(c, screen->root_depth) != 32 || xcb_get_setup(c)->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST ||
        (screen->root_depth != 24 && screen->root_depth != 32)) {
      return makeError(kUnsupportedFormat, "the X screen is not 32-bit BGRX");
    }

    g->dstWidth_ = static_cast<int>(config.width > 0 ? config.width : g->monitor_.width);
    g->dstHeight_ = static_cast<int>(config.height > 0 ? config.height : g->monitor_.height);
    if (g->dstWidth_ <= 0 || g->dstHeight_ <= 0 || g->dstWidth_ > 16384 || g->dstHeight_ > 16384) {
      return makeError(kBadConfiguration, "unusable capture size");
    }

    x11::XcbReply<xcb_damage_query_version_reply_t> damageVersion(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (!damageVersion) return makeError(kExtensionMissing, "the X server refused DAMAGE");
    const auto bytes = static_cast<std::size_t>(g->monitor_.width) * static_cast<std::size_t>(g->monitor_.height) * 4;
    g->mirror_ = std::make_unique<ShmSegment>(c, bytes, ShmSegment::Access::readWrite);
    // Partial grabs land here first; never more than half the screen at once.
    g->scratch_ = std::make_unique<ShmSegment>(c, bytes / 2 + 4, ShmSegment::Access::readOnly);
    if (!g->mirror_->ok() || !g->scratch_->ok()) {
      return makeError(kSetupFailed, "cannot share memory with the X server (MIT-SHM)");
    }
    g->sinceGrab_ = DamageRegion(static_cast<int>(g->monitor_.width), static_cast<int>(g->monitor_.height));

    g->damage_ = xcb_generate_id(c);
    // Every damaged rectangle is reported, so changes on other monitors can
    // be told apart from ours; raw reports need no repair requests.
    xcb_damage_create(c, g->damage_, screen->root, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
    xcb_randr_select_input(c, screen->root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
    // A round trip so the requests above are known to have reached the server.
    x11::XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!focus) return makeError(kConnectionBroken, "X connection broken");

    g->damageEvent_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
    g->randrEvent_ = xcb_get_extension_data(c, &xcb_randr_id)->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY;

    g->converter_ = std::make_unique<x11::Nv12Converter>(
        static_cast<int>(g->monitor_.width), static_cast<int>(g->monitor_.height), g->dstWidth_, g->dstHeight_);
    if (!g->converter_->ok()) return makeError(kBadConfiguration, "cannot scale to the capture size");
    g->pool_ = std::make_unique<x11::FramePool>(static_cast<std::size_t>(std::max(config.queueDepth, 1)), g->dstWidth_,
                                                g->dstHeight_);
    return g;
  }

  ~Grabber() {
    if (damage_ != 0 && conn_.ok()) {
      xcb_damage_destroy(conn_.get(), damage_);
      xcb_flush(conn_.get());
    }
  }

  int fd() const { return xcb_get_file_descriptor(conn_.get()); }

  // Reads queued events; returns the reason to stop, if any.
  std::optional<PlatformError> drainEvents(bool& damaged) {
    xcb_connection_t* c = conn_.get();
    while (xcb_generic_event_t* raw = xcb_poll_for_event(c)) {
      x11::XcbReply<xcb_generic_event_t> event(raw);
      const int type = event->response_type & 0x7f;
      if (type == damageEvent_) {
        const xcb_rectangle_t& area = reinterpret_cast<const xcb_damage_notify_event_t*>(raw)->area;
        const PixelRect onMonitor =
            x11::intersection({area.x - monitor_.x, area.y - monitor_.y, area.width, area.height},
                              {0, 0, static_cast<int>(monitor_.width), static_cast<int>(monitor_.height)});
        if (!onMonitor.empty()) {
          damaged = true;
          sinceGrab_.add(onMonitor);
          for (auto& [buffer, region] : stale_) region.add(onMonitor);
        }
      }
      if (type == randrEvent_) return makeError(kScreenChanged, "X screen configuration changed");
    }
    if (xcb_connection_has_error(c) != 0) return makeError(kConnectionBroken, "X connection broken");
    return std::nullopt;
  }

  void flush() { xcb_flush(conn_.get()); }

  PixelBufferRef acquireBuffer() { return pool_->acquire(); }

  // Brings the screen's copy up to date and refreshes `out` from it, in both
  // cases only where something changed; returns the reason to stop on failure.
  std::optional<PlatformError> grab(PixelBuffer& out) {
    if (auto error = updateMirror()) return error;
    const int stride = static_cast<int>(monitor_.width) * 4;
    DamageRegion& region = staleRegionOf(out);
    const PixelRect all{0, 0, dstWidth_, dstHeight_};
    std::vector<PixelRect> targets;
    for (const PixelRect& r : region.rects()) targets.push_back(region.whole() ? all : converter_->destinationFor(r));
    if (std::find(targets.begin(), targets.end(), all) != targets.end()) {
      converter_->convert(mirror_->data(), stride, out);
    } else {
      for (const PixelRect& r : targets) converter_->convertRect(mirror_->data(), stride, out, r);
    }
    region.clear();
    return std::nullopt;
  }

 private:
  explicit Grabber(const std::string& displayName) : conn_(displayName) {}

  // What changed since `buffer` was last filled: each pool buffer is still
  // referenced downstream after it is handed on, so it cannot simply follow
  // the latest frame. A buffer not seen before was never filled.
  DamageRegion& staleRegionOf(const PixelBuffer& buffer) {
    for (auto& [b, region] : stale_) {
      if (b == &buffer) return region;
    }
    return stale_
        .emplace_back(&buffer, DamageRegion(static_cast<int>(monitor_.width), static_cast<int>(monitor_.height)))
        .second;
  }

  // Grabs what changed since the last grab into the mirror. Every request is
  // sent before the first reply is awaited: one round trip however many
  // rectangles. Full-width bands go straight into place; other rectangles
  // land packed in the scratch segment and are copied.
  std::optional<PlatformError> updateMirror() {
    xcb_connection_t* c = conn_.get();
    const int width = static_cast<int>(monitor_.width);
    const std::size_t stride = static_cast<std::size_t>(width) * 4;
    struct Pending {
      PixelRect rect;
      bool scratch;
      std::size_t offset;
      xcb_shm_get_image_cookie_t cookie;
    };
    std::vector<Pending> pending;
    std::size_t scratchUsed = 0;
    for (const PixelRect& r : sinceGrab_.rects()) {
      Pending p{r, r.width != width, 0, {}};
      if (p.scratch) {
        p.offset = scratchUsed;
        scratchUsed += static_cast<std::size_t>(r.width) * static_cast<std::size_t>(r.height) * 4;
      } else {
        p.offset = static_cast<std::size_t>(r.y) * stride;
      }
      p.cookie = xcb_shm_get_image(c, conn_.screen()->root, static_cast<std::int16_t>(monitor_.x + r.x),
                                   static_cast<std::int16_t>(monitor_.y + r.y), static_cast<std::uint16_t>(r.width),
                                   static_cast<std::uint16_t>(r.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                   p.scratch ? scratch_->seg() : mirror_->seg(), static_cast<std::uint32_t>(p.offset));
      pending.push_back(p);
    }
    sinceGrab_.clear();
    std::optional<PlatformError> failure;
    for (const Pending& p : pending) {
      xcb_generic_error_t* rawError = nullptr;
      x11::XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(c, p.cookie, &rawError));
      x11::XcbReply<xcb_generic_error_t> error(rawError);
      if (failure) continue;  // collect every reply, so none is left queued
      if (!reply) {
        if (xcb_connection_has_error(c) != 0) {
          failure = makeError(kConnectionBroken, "X connection broken");
        } else if (error && error->error_code == XCB_MATCH) {
          // The rectangle left the screen: the screen shrank under us.
          failure = makeError(kScreenChanged, "X screen configuration changed");
        } else {
          failure = makeError(kGrabFailed,
                              "X screen grab failed (X error " + std::to_string(error ? error->error_code : 0) + ")");
        }
        continue;
      }
      if (!p.scratch) continue;
      const std::size_t rowBytes = static_cast<std::size_t>(p.rect.width) * 4;
      const std::uint8_t* from = scratch_->data() + p.offset;
      std::uint8_t* to =
          mirror_->data() + static_cast<std::size_t>(p.rect.y) * stride + static_cast<std::size_t>(p.rect.x) * 4;
      for (int row = 0; row < p.rect.height; ++row, from += rowBytes, to += stride) std::memcpy(to, from, rowBytes);
    }
    return failure;
  }

  x11::XcbConnection conn_;
  x11::Monitor monitor_;
  int dstWidth_ = 0;
  int dstHeight_ = 0;
  std::unique_ptr<ShmSegment> mirror_;   // the monitor as last grabbed
  std::unique_ptr<ShmSegment> scratch_;  // partial grabs on their way into the mirror
  DamageRegion sinceGrab_{0, 0};         // changed on screen since the mirror was updated
  std::vector<std::pair<const PixelBuffer*, DamageRegion>> stale_;
  xcb_damage_damage_t damage_ = 0;
  int damageEvent_ = -1;
  int randrEvent_ = -1;
  std::unique_ptr<x11::Nv12Converter> converter_;
  std::unique_ptr<x11::FramePool> pool_;
};

void X11CaptureStream::run(std::weak_ptr<X11CaptureStream> self, std::shared_ptr<StreamShared> shared,
                           const std::string& displayName, ContentFilter filter, StreamConfiguration config,
                           std::weak_ptr<StreamDelegate> delegate, std::optional<Output> screen,
                           std::optional<Output> audio,
                           const std::function<void(std::optional<PlatformError>)>& completion) {
  pthread_setname_np(pthread_self(), "qv-capture");

  auto opened = Grabber::open(displayName, filter.display.displayID, config);
  if (auto* error = std::get_if<PlatformError>(&opened)) {
    shared->stopped = true;
    completion(*error);
    return;
  }
  std::unique_ptr<Grabber> grabber = std::move(std::get<std::unique_ptr<Grabber>>(opened));

  // System audio: the default sink's monitor, in its own format, handed to the
  // audio output's queue. Destroyed (joined) before this thread returns.
  std::unique_ptr<PulseRecorder> recorder;
  if (audio) {
    auto started = PulseRecorder::start(
        [self, shared, output = *audio](std::shared_ptr<const AudioBuffer> buffer) {
          if (shared->stopped) return;
          auto sample = std::make_shared<SampleBuffer>();
          sample->numSamples = buffer->frameCount;
          sample->presentationTime = buffer->presentationTime;
          sample->audioBuffer = std::move(buffer);
          output.queue([self, shared, receiver = output.receiver, sample] {
            if (shared->stopped) return;
            std::shared_ptr<X11CaptureStream> stream = self.lock();
            std::shared_ptr<StreamOutput> out = receiver.lock();
            if (stream && out) out->didOutputSampleBuffer(*stream, *sample, StreamOutputType::audio);
          });
        },
        [shared](const PlatformError& error) {
          {
            std::lock_guard lock(shared->audioMutex);
            shared->audioFailure = error;
          }
          shared->wake.signal();
        });
    if (auto* error = std::get_if<PlatformError>(&started)) {
      grabber.reset();
      shared->stopped = true;
      completion(*error);
      return;
    }
    recorder = std::move(std::get<std::unique_ptr<PulseRecorder>>(started));
  }
  completion(std::nullopt);

  const auto interval = frameInterval(config.minimumFrameInterval);
  // While every buffer is held downstream, look again this often.
  const auto poolRetry = std::max<std::chrono::nanoseconds>(interval, std::chrono::milliseconds(5));
  bool damaged = true;  // the first frame after a start is grabbed whatever DAMAGE says
  x11::FramePacer pacer(interval);
  // When the damage not yet grabbed began and when it was last added to.
  Clock::time_point firstDamage = Clock::time_point::min();
  Clock::time_point lastDamage = Clock::time_point::min();
  Clock::time_point retryAt{};

  auto stopWith = [&](const PlatformError& error) {
    shared->stopped = true;
    if (shared->cancelled) return;
    std::shared_ptr<X11CaptureStream> stream = self.lock();
    std::shared_ptr<StreamDelegate> receiver = delegate.lock();
    if (stream && receiver) receiver->didStopWithError(*stream, error);
    // `stream` may hold the last reference: its destructor detaches us.
  };

  while (!shared->cancelled) {
    std::optional<PlatformError> audioFailure;
    {
      std::lock_guard lock(shared->audioMutex);
      audioFailure = shared->audioFailure;
    }
    if (audioFailure) {
      recorder.reset();
      grabber.reset();
      stopWith(*audioFailure);
      return;
    }
    bool fresh = false;
    if (auto error = grabber->drainEvents(fresh)) {
      grabber.reset();
      stopWith(*error);
      return;
    }
    const auto now = Clock::now();
    if (fresh) {
      if (!damaged) firstDamage = now;
      lastDamage = now;
      damaged = true;
    }
    std::optional<Clock::time_point> wakeAt;
    if (damaged) {
      const auto due = std::max({pacer.earliest(), retryAt, x11::damageSettledAt(firstDamage, lastDamage)});
      if (now >= due) {
        PixelBufferRef buffer = grabber->acquireBuffer();
        if (!buffer) {
          retryAt = now + poolRetry;
          continue;
        }
        const std::int64_t grabbedAt = hostNanosNow();
        if (auto error = grabber->grab(*buffer)) {
          buffer.reset();
          grabber.reset();
          stopWith(*error);
          return;
        }
        pacer.grabbed(now);
        damaged = false;
        if (screen && !shared->stopped) {
          auto sample = std::make_shared<SampleBuffer>();
          sample->numSamples = 1;
          sample->attachments = std::vector<FrameInfo>{
              FrameInfo{{std::string(kFrameInfoStatus), static_cast<std::int64_t>(FrameStatus::complete)}}};
          sample->imageBuffer = std::move(buffer);
          sample->presentationTime = MediaTime::fromHostNanos(grabbedAt);
          screen->queue([self, shared, receiver = screen->receiver, sample] {
            if (shared->stopped) return;
            std::shared_ptr<X11CaptureStream> stream = self.lock();
            std::shared_ptr<StreamOutput> output = receiver.lock();
            if (stream && output) output->didOutputSampleBuffer(*stream, *sample, StreamOutputType::screen);
          });
        }
        continue;  // replies may have queued events: drain before sleeping
      }
      wakeAt = due;
    }

    grabber->flush();
    pollfd fds[2] = {{grabber->fd(), POLLIN, 0}, {shared->wake.fd(), POLLIN, 0}};
    // Nanoseconds: pacing and settling work below a millisecond.
    timespec timeout{};
    if (wakeAt) {
      const auto left = std::clamp<std::chrono::nanoseconds>(*wakeAt - Clock::now(), std::chrono::nanoseconds(0),
                                                             std::chrono::seconds(60));
      timeout.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
    }
    const int n = ppoll(fds, 2, wakeAt ? &timeout : nullptr, nullptr);
    if (n > 0 && (fds[1].revents & POLLIN)) shared->wake.drain();
    if (n > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fds[0].revents & POLLIN)) {
      grabber.reset();
      stopWith(makeError(kConnectionBroken, "X connection broken"));
      return;
    }
  }
}

}  // namespace

X11CaptureService::X11CaptureService(std::string displayName) : displayName_(std::move(displayName)) {}

X11CaptureService::~X11CaptureService() = default;

std::variant<ShareableContent, PlatformError> X11CaptureService::shareableContent() {
  std::lock_guard lock(mutex_);
  if (!connection_ || !connection_->ok()) connection_ = std::make_unique<x11::XcbConnection>(displayName_);
  if (!connection_->ok()) return makeError(kConnectFailed, "cannot connect to the X server");
  const auto monitors = x11::queryMonitors(*connection_, false);
  if (!monitors) return makeError(kExtensionMissing, "the X server does not list RandR monitors");
  ShareableContent content;
  for (const auto& m : *monitors) content.displays.push_back(ShareableDisplay{m.id, m.width, m.height});
  return content;
}

std::shared_ptr<CaptureStream> X11CaptureService::createStream(const ContentFilter& filter,
                                                               const StreamConfiguration& configuration,
                                                               std::weak_ptr<StreamDelegate> delegate) {
  return std::make_shared<X11CaptureStream>(displayName_, filter, configuration, std::move(delegate));
}

}  // namespace qx
