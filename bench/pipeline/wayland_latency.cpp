// The Wayland side of the pipeline bench, run inside a test desktop by wayland_bench.py:
//   wayland_latency draw desktop|motion TIMES
//       A fullscreen client drawing the bench's numbered frames (content.h) at 30 fps through
//       wl_shm until terminated; writes "frame committed_ns drawn_ns" to TIMES: when the commit
//       left the client, and when the compositor said it had drawn the output with it.
//   wayland_latency read PICTURES
//       Records standard input (H.264, Annex B) with arrival times until it ends, then writes
//       "arrived_ns frame bytes" per coded picture to PICTURES (frame -1: counter unreadable).
//   wayland_latency probe FD NODE PICTURES
//       A bare PipeWire consumer of a screen-cast node: "arrived_ns frame" per buffer, the counter
//       read from the raw pixels. Its latency is what the compositor and portal take before any
//       pipeline sees a frame.
// Times are CLOCK_MONOTONIC (steady_clock), the clock the script reads too.

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <wayland-client.h>

#include "bench/pipeline/content.h"
#include "bench/pipeline/stream_analysis.h"
#include "xdg-shell-client-protocol.h"

// PipeWire's pod macros expand to C-style casts and compound literals.
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wpedantic"

namespace qx::bench {
namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFps = 30, kBuffers = 3;

long long nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count();
}

volatile std::sig_atomic_t gStop = 0;

// --- draw -----------------------------------------------------------------------------------------

struct Client {
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wm = nullptr;
  FILE* times = nullptr;
  bool configured = false;
  int width = 0, height = 0;
  struct Slot {
    wl_buffer* buffer = nullptr;
    std::uint8_t* pixels = nullptr;
    bool busy = false;
    std::vector<Rect> stale;  // changed since this buffer was last drawn
  } slots[kBuffers];
};

void onGlobal(void* data, wl_registry* reg, std::uint32_t name, const char* iface, std::uint32_t) {
  auto* c = static_cast<Client*>(data);
  const std::string_view i(iface);
  if (i == wl_compositor_interface.name)
    c->compositor = static_cast<wl_compositor*>(wl_registry_bind(reg, name, &wl_compositor_interface, 4));
  else if (i == wl_shm_interface.name)
    c->shm = static_cast<wl_shm*>(wl_registry_bind(reg, name, &wl_shm_interface, 1));
  else if (i == xdg_wm_base_interface.name)
    c->wm = static_cast<xdg_wm_base*>(wl_registry_bind(reg, name, &xdg_wm_base_interface, 1));
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistry{onGlobal, onGlobalRemove};

void onPing(void*, xdg_wm_base* wm, std::uint32_t serial) { xdg_wm_base_pong(wm, serial); }
const xdg_wm_base_listener kWm{onPing};

void onSurfaceConfigure(void* data, xdg_surface* s, std::uint32_t serial) {
  static_cast<Client*>(data)->configured = true;
  xdg_surface_ack_configure(s, serial);
}
const xdg_surface_listener kSurface{onSurfaceConfigure};

void onToplevelConfigure(void* data, xdg_toplevel*, std::int32_t w, std::int32_t h, wl_array*) {
  auto* c = static_cast<Client*>(data);
  if (w > 0 && h > 0) c->width = w, c->height = h;
}
void onToplevelClose(void*, xdg_toplevel*) { gStop = 1; }
const xdg_toplevel_listener kToplevel{onToplevelConfigure, onToplevelClose, nullptr, nullptr};

void onRelease(void* data, wl_buffer*) { static_cast<Client::Slot*>(data)->busy = false; }
const wl_buffer_listener kBuffer{onRelease};

// One frame's commit on its way to the screen.
struct Shown {
  Client* client;
  int frame;
  long long committed;
};

// The compositor answers a frame callback once it has drawn the output with the commit: the time
// of the answer is when the frame was on screen (the headless backend sends no presentation times).
void onDrawn(void* data, wl_callback* cb, std::uint32_t) {
  auto* s = static_cast<Shown*>(data);
  std::fprintf(s->client->times, "%d %lld %lld\n", s->frame, s->committed, nowNs());
  std::fflush(s->client->times);
  wl_callback_destroy(cb);
  delete s;
}
const wl_callback_listener kDrawn{onDrawn};

// Waits for events until `deadline_ns` (or for one batch when it has passed).
bool pump(wl_display* d, long long deadlineNs) {
  while (wl_display_prepare_read(d) != 0) wl_display_dispatch_pending(d);
  wl_display_flush(d);
  pollfd p{wl_display_get_fd(d), POLLIN, 0};
  const long long wait = (deadlineNs - nowNs()) / 1'000'000;
  if (poll(&p, 1, static_cast<int>(std::max(0LL, wait))) > 0) {
    if (wl_display_read_events(d) < 0) return false;
  } else {
    wl_display_cancel_read(d);
  }
  return wl_display_dispatch_pending(d) >= 0;
}

int draw(ContentKind kind, const char* timesPath) {
  wl_display* d = wl_display_connect(nullptr);
  if (!d) return std::fprintf(stderr, "draw: no Wayland display\n"), 1;
  Client c;
  wl_registry_add_listener(wl_display_get_registry(d), &kRegistry, &c);
  wl_display_roundtrip(d);
  if (!c.compositor || !c.shm || !c.wm) return std::fprintf(stderr, "draw: compositor lacks xdg-shell or wl_shm\n"), 1;
  xdg_wm_base_add_listener(c.wm, &kWm, nullptr);
  wl_surface* surface = wl_compositor_create_surface(c.compositor);
  xdg_surface* xs = xdg_wm_base_get_xdg_surface(c.wm, surface);
  xdg_surface_add_listener(xs, &kSurface, &c);
  xdg_toplevel* top = xdg_surface_get_toplevel(xs);
  xdg_toplevel_add_listener(top, &kToplevel, &c);
  xdg_toplevel_set_title(top, "qx-bench-frames");
  xdg_toplevel_set_fullscreen(top, nullptr);
  wl_surface_commit(surface);
  while (!c.configured && wl_display_dispatch(d) >= 0) {
  }
  if (c.width > 0 && (c.width != kWidth || c.height != kHeight))
    std::fprintf(stderr, "draw: the compositor asked for %dx%d; drawing %dx%d\n", c.width, c.height, kWidth, kHeight);

  const std::size_t frameBytes = static_cast<std::size_t>(kWidth) * kHeight * 4;
  const int fd = memfd_create("qx-bench-frames", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(frameBytes * kBuffers)) != 0) return 1;
  auto* mem =
      static_cast<std::uint8_t*>(mmap(nullptr, frameBytes * kBuffers, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  if (mem == MAP_FAILED) return 1;
  wl_shm_pool* pool = wl_shm_create_pool(c.shm, fd, static_cast<std::int32_t>(frameBytes * kBuffers));
  for (int i = 0; i < kBuffers; ++i) {
    Client::Slot& s = c.slots[i];
    s.buffer = wl_shm_pool_create_buffer(pool, static_cast<std::int32_t>(frameBytes * i), kWidth, kHeight, kWidth * 4,
                                         WL_SHM_FORMAT_XRGB8888);
    s.pixels = mem + frameBytes * i;
    s.stale = {{0, 0, kWidth, kHeight}};
    wl_buffer_add_listener(s.buffer, &kBuffer, &s);
  }

  c.times = std::fopen(timesPath, "w");
  if (!c.times) return std::fprintf(stderr, "draw: cannot write %s\n", timesPath), 1;
  auto content = makeContent(kind, kWidth, kHeight);
  const long long period = 1'000'000'000LL / kFps;
  long long next = nowNs();
  for (int n = 0; !gStop; ++n) {
    const std::vector<Rect> changed = content->advanceTo(n);
    for (auto& s : c.slots) s.stale.insert(s.stale.end(), changed.begin(), changed.end());
    Client::Slot* slot = nullptr;
    while (!gStop) {
      for (auto& s : c.slots)
        if (!s.busy) slot = &s;
      if (slot || !pump(d, nowNs() + 5'000'000)) break;
    }
    if (!slot) break;
    for (const Rect& r : slot->stale) {
      for (int y = r.y; y < r.bottom(); ++y)
        std::memcpy(slot->pixels + (static_cast<std::size_t>(y) * kWidth + r.x) * 4,
                    content->pixels() + static_cast<std::ptrdiff_t>(y) * content->stride() + r.x * 4,
                    static_cast<std::size_t>(r.width) * 4);
      wl_surface_damage_buffer(surface, r.x, r.y, r.width, r.height);
    }
    slot->stale.clear();
    slot->busy = true;
    wl_surface_attach(surface, slot->buffer, 0, 0);
    auto* shown = new Shown{&c, n, 0};
    wl_callback_add_listener(wl_surface_frame(surface), &kDrawn, shown);
    wl_surface_commit(surface);
    wl_display_flush(d);
    shown->committed = nowNs();
    next += period;
    while (!gStop && nowNs() < next)
      if (!pump(d, next)) gStop = 1;
  }
  std::fclose(c.times);
  wl_display_disconnect(d);
  return 0;
}

// --- read -----------------------------------------------------------------------------------------

int read(const char* picturesPath) {
  std::string bytes;
  std::vector<OutputRecorder::Arrival> arrivals;
  std::vector<char> buf(1 << 20);
  for (;;) {
    const ssize_t n = ::read(0, buf.data(), buf.size());
    if (n <= 0) break;
    const auto at = Steady::now();
    bytes.append(buf.data(), static_cast<std::size_t>(n));
    arrivals.push_back({bytes.size(), at});
  }
  FILE* out = std::fopen(picturesPath, "w");
  if (!out) return 1;
  if (!bytes.empty()) {
    LumaDecoder decoder;
    for (const Picture& p : splitPictures(bytes, arrivals)) {
      int frame = -1;
      decoder.decode(std::string_view(bytes).substr(p.begin, p.end - p.begin),
                     [&](const std::uint8_t* y, int stride, int width, int height) {
                       frame = frame_counter::read(y, stride, width, height).value_or(-1);
                     });
      std::fprintf(out, "%lld %d %zu\n",
                   static_cast<long long>(
                       std::chrono::duration_cast<std::chrono::nanoseconds>(p.arrived.time_since_epoch()).count()),
                   frame, p.end - p.begin);
    }
  }
  std::fclose(out);
  return 0;
}

// --- probe ----------------------------------------------------------------------------------------

struct Probe {
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  int width = 0;
  FILE* out = nullptr;
  std::vector<std::uint8_t> luma;
};

void onParam(void* data, std::uint32_t id, const spa_pod* param) {
  auto* p = static_cast<Probe*>(data);
  spa_video_info_raw info{};
  if (id == SPA_PARAM_Format && param && spa_format_video_raw_parse(param, &info) >= 0)
    p->width = static_cast<int>(info.size.width);
}

void onProcess(void* data) {
  auto* p = static_cast<Probe*>(data);
  pw_buffer* b = pw_stream_dequeue_buffer(p->stream);
  if (!b) return;
  const long long at = nowNs();
  const spa_data& d = b->buffer->datas[0];
  const Rect area = frame_counter::area(p->width);
  if (d.data && d.chunk->size > 0 && p->width > 0) {
    const int stride = d.chunk->stride > 0 ? d.chunk->stride : p->width * 4;
    const auto* src = static_cast<const std::uint8_t*>(d.data) + d.chunk->offset;
    p->luma.resize(static_cast<std::size_t>(area.width) * area.height);
    for (int y = 0; y < area.height; ++y)
      for (int x = 0; x < area.width; ++x) {
        const std::uint8_t* px = src + static_cast<std::ptrdiff_t>(y) * stride + x * 4;  // B, G, R, X
        p->luma[static_cast<std::size_t>(y) * area.width + x] =
            static_cast<std::uint8_t>((25 * px[0] + 129 * px[1] + 66 * px[2] + 128) / 256 + 16);
      }
    const int frame = frame_counter::read(p->luma.data(), area.width, p->width, area.height).value_or(-1);
    std::fprintf(p->out, "%lld %d\n", at, frame);
  }
  pw_stream_queue_buffer(p->stream, b);
}

void onSignal(void* data, int) { pw_main_loop_quit(static_cast<Probe*>(data)->loop); }

int probe(int fd, std::uint32_t node, const char* picturesPath) {
  pw_init(nullptr, nullptr);
  Probe p;
  p.out = std::fopen(picturesPath, "w");
  if (!p.out) return 1;
  p.loop = pw_main_loop_new(nullptr);
  pw_loop_add_signal(pw_main_loop_get_loop(p.loop), SIGTERM, onSignal, &p);
  pw_context* context = pw_context_new(pw_main_loop_get_loop(p.loop), nullptr, 0);
  pw_core* core = pw_context_connect_fd(context, fd, nullptr, 0);
  if (!core) return std::fprintf(stderr, "probe: cannot connect to PipeWire\n"), 1;
  p.stream = pw_stream_new(core, "qx-bench-probe", pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", nullptr));
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.param_changed = onParam;
  events.process = onProcess;
  spa_hook hook{};
  pw_stream_add_listener(p.stream, &hook, &events, &p);
  std::uint8_t buffer[512];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_rectangle def{1920, 1080}, min{1, 1}, max{16384, 16384};
  const spa_fraction rate{0, 1}, minRate{0, 1}, maxRate{1000, 1};
  const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&def, &min, &max), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate)))};
  pw_stream_connect(p.stream, PW_DIRECTION_INPUT, node,
                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
  pw_main_loop_run(p.loop);
  std::fclose(p.out);
  pw_stream_destroy(p.stream);
  pw_core_disconnect(core);
  pw_context_destroy(context);
  pw_main_loop_destroy(p.loop);
  return 0;
}

}  // namespace
}  // namespace qx::bench

int main(int argc, char** argv) {
  using namespace qx::bench;
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "draw" && argc == 4) {
    std::signal(SIGTERM, [](int) { gStop = 1; });
    return draw(std::string_view(argv[2]) == "motion" ? ContentKind::motion : ContentKind::desktop, argv[3]);
  }
  if (mode == "read" && argc == 3) return read(argv[2]);
  if (mode == "probe" && argc == 5)
    return probe(std::stoi(argv[2]), static_cast<std::uint32_t>(std::stoul(argv[3])), argv[4]);
  std::fprintf(stderr, "usage: wayland_latency draw desktop|motion TIMES | read PICTURES | probe FD NODE PICTURES\n");
  return 64;
}
