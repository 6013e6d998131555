// Loaded (LD_PRELOAD) into the screen-cast portal backend on test machines without a GPU.
// The backend starts a cast only when a screencopy frame offered a DMA-BUF format besides the
// shared-memory one, and wlroots offers DMA-BUF only with a DRM device. This shim hands the backend
// a DMA-BUF offer made from the shared-memory format whenever the compositor gave none, so the
// backend goes on to negotiate shared-memory buffers with PipeWire. Test support only.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>
#include <wayland-client-core.h>

struct frame_listener {
  void (*buffer)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
  void (*flags)(void*, void*, uint32_t);
  void (*ready)(void*, void*, uint32_t, uint32_t, uint32_t);
  void (*failed)(void*, void*);
  void (*damage)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
  void (*linux_dmabuf)(void*, void*, uint32_t, uint32_t, uint32_t);
  void (*buffer_done)(void*, void*);
};

struct frame_state {
  void* proxy;
  const struct frame_listener* inner;
  int dmabuf_seen;
  uint32_t format, width, height;
};

// Frames live for one capture each; a small ring keyed by the proxy is plenty.
enum { kSlots = 64 };
static struct frame_state slots[kSlots];
static unsigned next_slot;

static struct frame_state* find(void* proxy) {
  for (unsigned i = 0; i < kSlots; ++i)
    if (slots[i].proxy == proxy) return &slots[i];
  return NULL;
}

// wl_shm's two basic codes differ from the DRM fourcc codes; the others are equal.
static uint32_t drm_format(uint32_t shm) {
  if (shm == 0) return 0x34325241; /* AR24 */
  if (shm == 1) return 0x34325258; /* XR24 */
  return shm;
}

static void on_buffer(void* d, void* f, uint32_t fmt, uint32_t w, uint32_t h, uint32_t stride) {
  struct frame_state* s = find(f);
  if (!s) return;
  s->format = fmt, s->width = w, s->height = h;
  if (s->inner->buffer) s->inner->buffer(d, f, fmt, w, h, stride);
}
static void on_flags(void* d, void* f, uint32_t flags) {
  struct frame_state* s = find(f);
  if (s && s->inner->flags) s->inner->flags(d, f, flags);
}
static void on_ready(void* d, void* f, uint32_t hi, uint32_t lo, uint32_t ns) {
  struct frame_state* s = find(f);
  if (s && s->inner->ready) s->inner->ready(d, f, hi, lo, ns);
}
static void on_failed(void* d, void* f) {
  struct frame_state* s = find(f);
  if (s && s->inner->failed) s->inner->failed(d, f);
}
static void on_damage(void* d, void* f, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  struct frame_state* s = find(f);
  if (s && s->inner->damage) s->inner->damage(d, f, x, y, w, h);
}
static void on_linux_dmabuf(void* d, void* f, uint32_t fmt, uint32_t w, uint32_t h) {
  struct frame_state* s = find(f);
  if (!s) return;
  s->dmabuf_seen = 1;
  if (s->inner->linux_dmabuf) s->inner->linux_dmabuf(d, f, fmt, w, h);
}
static void on_buffer_done(void* d, void* f) {
  struct frame_state* s = find(f);
  if (!s) return;
  if (!s->dmabuf_seen && s->inner->linux_dmabuf && s->width > 0)
    s->inner->linux_dmabuf(d, f, drm_format(s->format), s->width, s->height);
  if (s->inner->buffer_done) s->inner->buffer_done(d, f);
}

static const struct frame_listener wrapper = {on_buffer, on_flags,        on_ready,      on_failed,
                                              on_damage, on_linux_dmabuf, on_buffer_done};

int wl_proxy_add_listener(struct wl_proxy* proxy, void (**implementation)(void), void* data) {
  static int (*real)(struct wl_proxy*, void (**)(void), void*);
  if (!real) real = (int (*)(struct wl_proxy*, void (**)(void), void*))dlsym(RTLD_NEXT, "wl_proxy_add_listener");
  if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") != 0) return real(proxy, implementation, data);
  struct frame_state* s = find(proxy);
  if (!s) s = &slots[next_slot++ % kSlots];
  s->proxy = proxy;
  s->inner = (const struct frame_listener*)implementation;
  s->dmabuf_seen = 0;
  s->format = s->width = s->height = 0;
  return real(proxy, (void (**)(void)) & wrapper, data);
}
