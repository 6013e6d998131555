#include "platform/linux/wayland/portal_client.h"

#include <libportal/portal.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

namespace qx::wayland {

// Everything that touches libportal runs on `thread`, inside `context`.
struct PortalClient::Impl {
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;
  XdpPortal* portal = nullptr;    // portal thread only
  XdpSession* session = nullptr;  // portal thread only
  gulong closedHandler = 0;       // portal thread only
  std::function<void()> closed;   // portal thread only
  int inhibitId = 0;              // portal thread only

  // Runs `fn` on the portal thread and waits for it.
  void run(const std::function<void()>& fn) {
    struct Call {
      const std::function<void()>* fn;
      std::mutex m;
      std::condition_variable cv;
      bool done = false;
    } call{&fn, {}, {}, false};
    g_main_context_invoke(
        context,
        [](gpointer data) -> gboolean {
          auto* c = static_cast<Call*>(data);
          (*c->fn)();
          std::lock_guard lock(c->m);
          c->done = true;
          c->cv.notify_one();
          return G_SOURCE_REMOVE;
        },
        &call);
    std::unique_lock lock(call.m);
    call.cv.wait(lock, [&] { return call.done; });
  }

  void dropSession() {
    if (!session) return;
    if (closedHandler) g_signal_handler_disconnect(session, closedHandler);
    closedHandler = 0;
    closed = nullptr;
    xdp_session_close(session);
    g_object_unref(session);
    session = nullptr;
  }
};

PortalClient::PortalClient() : impl_(std::make_unique<Impl>()) {
  impl_->context = g_main_context_new();
  impl_->loop = g_main_loop_new(impl_->context, FALSE);
  std::mutex m;
  std::condition_variable cv;
  bool ready = false;
  impl_->thread = std::thread([this, &m, &cv, &ready] {
    pthread_setname_np(pthread_self(), "qv-portal");
    g_main_context_push_thread_default(impl_->context);
    impl_->portal = xdp_portal_new();
    {
      std::lock_guard lock(m);
      ready = true;
      cv.notify_one();
    }
    g_main_loop_run(impl_->loop);
    impl_->dropSession();
    if (impl_->portal) g_object_unref(impl_->portal);
    g_main_context_pop_thread_default(impl_->context);
  });
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return ready; });
}

PortalClient::~PortalClient() {
  g_main_loop_quit(impl_->loop);
  impl_->thread.join();
  g_main_loop_unref(impl_->loop);
  g_main_context_unref(impl_->context);
}

namespace {

// The portal refuses a restore token it cannot read (not one it issued, or a
// damaged file) as an invalid argument: a refusal of that token, after which
// the user must allow again, not a portal that is away.
bool invalidArgument(const GError* error) {
  if (!error || !g_dbus_error_is_remote_error(error)) return false;
  gchar* name = g_dbus_error_get_remote_error(error);
  const bool invalid = name && std::string_view(name) == "org.freedesktop.portal.Error.InvalidArgument";
  g_free(name);
  return invalid;
}

struct StartCall {
  PortalClient::Impl* impl = nullptr;
  GCancellable* cancellable = nullptr;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  PortalClient::StartResult result;

  void finish(PortalClient::StartResult r) {
    std::lock_guard lock(m);
    result = std::move(r);
    done = true;
    cv.notify_one();
  }
  void fail(GError* error, const char* what) {
    PortalClient::Error e;
    e.failure = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
                        g_error_matches(error, G_IO_ERROR, G_IO_ERROR_FAILED) || invalidArgument(error)
                    ? PortalClient::Failure::refused
                    : PortalClient::Failure::unavailable;
    e.message = std::string(what) + ": " + (error ? error->message : "unknown error");
    if (error) g_error_free(error);
    finish(e);
  }
};

void onStarted(GObject* source, GAsyncResult* result, gpointer data) {
  auto* call = static_cast<StartCall*>(data);
  GError* error = nullptr;
  if (!xdp_session_start_finish(XDP_SESSION(source), result, &error))
    return call->fail(error, "screen cast not started");
  PortalClient::Grant grant;
  XdpSession* session = call->impl->session;
  if (char* token = xdp_session_get_restore_token(session)) {
    grant.restoreToken = token;
    g_free(token);
  }
  GVariant* streams = xdp_session_get_streams(session);
  bool found = false;
  if (streams) {
    GVariantIter it;
    g_variant_iter_init(&it, streams);
    guint32 node = 0;
    GVariant* props = nullptr;
    if (g_variant_iter_next(&it, "(u@a{sv})", &node, &props)) {
      found = true;
      grant.node = node;
      g_variant_lookup(props, "position", "(ii)", &grant.x, &grant.y);
      g_variant_lookup(props, "size", "(ii)", &grant.width, &grant.height);
      g_variant_unref(props);
    }
  }
  if (!found) return call->finish(PortalClient::Error{PortalClient::Failure::refused, "the screen cast has no stream"});
  grant.pipewireFd = xdp_session_open_pipewire_remote(session);
  if (grant.pipewireFd < 0)
    return call->finish(PortalClient::Error{PortalClient::Failure::unavailable, "cannot open the PipeWire remote"});
  call->finish(grant);
}

void onCreated(GObject* source, GAsyncResult* result, gpointer data) {
  auto* call = static_cast<StartCall*>(data);
  GError* error = nullptr;
  XdpSession* session = xdp_portal_create_screencast_session_finish(XDP_PORTAL(source), result, &error);
  if (!session) return call->fail(error, "screen cast session not created");
  call->impl->session = session;
  call->impl->closedHandler = g_signal_connect(session, "closed", G_CALLBACK(+[](XdpSession*, gpointer impl) {
                                                 auto* self = static_cast<PortalClient::Impl*>(impl);
                                                 if (self->closed) self->closed();
                                               }),
                                               call->impl);
  xdp_session_start(session, nullptr, call->cancellable, onStarted, call);
}

}  // namespace

PortalClient::StartResult PortalClient::startScreenCast(const std::optional<std::string>& restoreToken,
                                                        std::optional<std::chrono::milliseconds> timeout,
                                                        std::function<void()> closed) {
  closeScreenCast();
  StartCall call;
  call.impl = impl_.get();
  call.cancellable = g_cancellable_new();
  impl_->run([&] {
    impl_->closed = std::move(closed);
    xdp_portal_create_screencast_session(impl_->portal, XDP_OUTPUT_MONITOR, XDP_SCREENCAST_FLAG_NONE,
                                         XDP_CURSOR_MODE_HIDDEN, XDP_PERSIST_MODE_PERSISTENT,
                                         restoreToken ? restoreToken->c_str() : nullptr, call.cancellable, onCreated,
                                         &call);
  });
  std::unique_lock lock(call.m);
  const auto answered = [&] { return call.done; };
  if (timeout) {
    if (!call.cv.wait_for(lock, *timeout, answered)) {
      lock.unlock();
      impl_->run([&] { g_cancellable_cancel(call.cancellable); });
      lock.lock();
      call.cv.wait(lock, answered);
      if (auto* grant = std::get_if<Grant>(&call.result)) ::close(grant->pipewireFd);
      call.result = Error{Failure::refused, "the desktop did not answer the screen cast in time"};
    }
  } else {
    call.cv.wait(lock, answered);
  }
  lock.unlock();
  g_object_unref(call.cancellable);
  if (std::holds_alternative<Error>(call.result)) closeScreenCast();
  return call.result;
}

void PortalClient::closeScreenCast() {
  impl_->run([this] { impl_->dropSession(); });
}

bool PortalClient::inhibitIdle(const std::string& reason) {
  struct Call {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    int id = 0;
  } call;
  impl_->run([&] {
    xdp_portal_session_inhibit(
        impl_->portal, nullptr, reason.c_str(), XDP_INHIBIT_FLAG_IDLE, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto* c = static_cast<Call*>(data);
          GError* error = nullptr;
          const int id = xdp_portal_session_inhibit_finish(XDP_PORTAL(source), result, &error);
          if (error) g_error_free(error);
          std::lock_guard lock(c->m);
          c->id = id;
          c->done = true;
          c->cv.notify_one();
        },
        &call);
  });
  std::unique_lock lock(call.m);
  call.cv.wait(lock, [&] { return call.done; });
  if (call.id > 0) impl_->inhibitId = call.id;
  return call.id > 0;
}

}  // namespace qx::wayland
