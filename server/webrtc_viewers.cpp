#include "server/webrtc_viewers.h"

#include "server/sdp_offer.h"
#include "server/server_io.h"

#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include <sys/random.h>
#include <algorithm>
#include <array>
#include <chrono>

namespace qx::server {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Before answering, every webrtcbin sink pad needs caps (otherwise the answer
// lacks the retransmission SSRC and later sessions show no picture); the
// first keyframe brings them.
constexpr auto capsWait = 2s;
constexpr auto capsPoll = 50ms;
// Queued in a viewer's pipeline before old buffers are dropped.
constexpr guint64 maxQueuedBytes = 8u << 20;
constexpr GstClockTime opusFrame = 20 * GST_MSECOND;
// The ICE state does not notice a browser that vanished (consent checks are
// off in this libnice setup); the browser's RTCP reports, about one a second,
// do. Without one for this long the link counts as down.
constexpr auto rtcpSilence = 3s;
constexpr auto livenessPoll = 1s;

// Writes the playout-delay extension (minimum and maximum 0) into an RTP
// packet: the browser then shows each picture once decoded instead of
// holding it for a smooth playout it estimates from frame sizes, which on a
// still desktop (small frames, an old large one) grew past 70 ms.
gboolean addPlayoutDelay(GstBuffer** buffer, guint, gpointer id) {
  *buffer = gst_buffer_make_writable(*buffer);
  GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
  if (gst_rtp_buffer_map(*buffer, GST_MAP_READWRITE, &rtp)) {
    static constexpr guint8 zero[3] = {0, 0, 0};
    gst_rtp_buffer_add_extension_onebyte_header(&rtp, static_cast<guint8>(GPOINTER_TO_INT(id)), zero, sizeof zero);
    gst_rtp_buffer_unmap(&rtp);
  }
  return TRUE;
}

std::string randomLocation() {
  std::array<unsigned char, 16> bytes{};
  std::size_t got = 0;
  while (got < bytes.size()) {
    auto n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string text = "/whep/";
  for (auto byte : bytes) {
    text.push_back(hex[byte >> 4]);
    text.push_back(hex[byte & 15]);
  }
  return text;
}

// A buffer that shares the bytes of an access unit or audio frame instead of
// copying them for each viewer.
GstBuffer* sharedBuffer(const std::shared_ptr<const std::string>& bytes, std::size_t offset,
                        std::size_t end = std::string::npos) {
  end = std::min(end, bytes->size());
  auto* keep = new std::shared_ptr<const std::string>(bytes);
  // GStreamer's wrapped memory is never written through this pointer here:
  // the buffer is read-only once pushed.
  auto* data = const_cast<char*>(bytes->data());  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  return gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, data, bytes->size(), offset, end - offset, keep,
                                     [](gpointer p) { delete static_cast<std::shared_ptr<const std::string>*>(p); });
}

}  // namespace

class WebrtcViewer : public std::enable_shared_from_this<WebrtcViewer> {
 public:
  WebrtcViewer(WebrtcViewers& owner, std::string location, std::uint64_t id, OfferedMedia media,
               std::string streamProfile)
      : owner_(owner),
        location_(std::move(location)),
        id_(id),
        media_(std::move(media)),
        streamProfile_(std::move(streamProfile)),
        timer_(owner.io()),
        liveness_(owner.io()) {}
  ~WebrtcViewer() {
    try {
      teardown();
    } catch (...) {  // NOLINT(bugprone-empty-catch): nothing is left to tell at this point
    }
  }
  WebrtcViewer(const WebrtcViewer&) = delete;
  WebrtcViewer& operator=(const WebrtcViewer&) = delete;

  bool start(std::string offer, WebrtcViewers::Answer answer);
  void video(const AccessUnit& unit);
  void audio(const std::shared_ptr<const std::string>& frame);
  void teardown();

 private:
  // What a GStreamer thread needs to reach the viewer on the io_context
  // thread: the viewer may be gone by then.
  struct Mail {
    asio::io_context* io;
    std::weak_ptr<WebrtcViewer> viewer;
  };
  template <typename F>
  static void post(gpointer mail, F f) {
    auto* m = static_cast<Mail*>(mail);
    asio::post(*m->io, [viewer = m->viewer, f = std::move(f)]() mutable {
      if (auto self = viewer.lock()) f(*self);
    });
  }
  gpointer mail() { return new Mail{&owner_.io(), weak_from_this()}; }
  static void freeMail(gpointer mail, GClosure* = nullptr) { delete static_cast<Mail*>(mail); }
  template <typename Handler>
  void connect(gpointer object, const char* signal, Handler handler) {
    g_signal_connect_data(object, signal, G_CALLBACK(handler), mail(), freeMail, GConnectFlags{});
  }
  GstPromise* promise(void (WebrtcViewer::*next)(GstPromise*));

  void configureIce();
  void addPlayoutDelayExtension(int id);
  void waitForCaps(Clock::time_point until);
  void negotiate();
  void remoteSet(GstPromise* promise);
  void answerCreated(GstPromise* promise);
  void gatheringChanged();
  void sendAnswer();
  void iceChanged();
  void channelArrived(GstWebRTCDataChannel* channel);
  void channelOpened();
  void armTimer();
  void checkLiveness();
  void updateLink();
  void fail(const std::string& why);
  void finish(int status, std::string body);

  WebrtcViewers& owner_;
  std::string location_;
  std::uint64_t id_;
  OfferedMedia media_;
  std::string streamProfile_;
  asio::steady_timer timer_;
  asio::steady_timer liveness_;
  Clock::time_point lastRtcp_{};
  bool iceUp_ = false;
  bool iceDown_ = false;
  std::string offer_;
  WebrtcViewers::Answer answer_;

  GstElement* pipeline_ = nullptr;
  GstElement* webrtc_ = nullptr;
  GstElement* videoSrc_ = nullptr;
  GstElement* audioSrc_ = nullptr;
  GstWebRTCDataChannel* channel_ = nullptr;
  bool channelOpen_ = false;
  bool negotiating_ = false;
  bool answered_ = false;
  bool waitingForKeyframe_ = true;
  GstClockTime nextAudioPts_ = GST_CLOCK_TIME_NONE;
  std::optional<ViewerLifetime> lifetime_;
};

GstPromise* WebrtcViewer::promise(void (WebrtcViewer::*next)(GstPromise*)) {
  struct Call {
    Mail mail;
    void (WebrtcViewer::*next)(GstPromise*);
  };
  auto* call = new Call{{&owner_.io(), weak_from_this()}, next};
  return gst_promise_new_with_change_func(
      [](GstPromise* done, gpointer data) {
        auto* c = static_cast<Call*>(data);
        gst_promise_ref(done);
        asio::post(*c->mail.io, [viewer = c->mail.viewer, next = c->next, done] {
          if (auto self = viewer.lock()) ((*self).*next)(done);
          gst_promise_unref(done);
        });
      },
      call, [](gpointer data) { delete static_cast<Call*>(data); });
}

bool WebrtcViewer::start(std::string offer, WebrtcViewers::Answer answer) {
  offer_ = std::move(offer);
  answer_ = std::move(answer);
  const auto& signalled = media_.offeredProfile;
  std::string caps = "application/x-rtp,profile-level-id=(string)" + signalled;
  if (auto name = profileName(signalled); !name.empty()) caps += ",profile=(string)" + name;
  std::string description =
      "webrtcbin name=webrtc bundle-policy=max-bundle "
      "appsrc name=video is-live=true do-timestamp=true format=time "
      "caps=video/x-h264,stream-format=byte-stream,alignment=au "
      "! h264parse ! rtph264pay config-interval=-1 aggregate-mode=zero-latency pt=" +
      std::to_string(media_.videoPayloadType) + " ! capssetter name=videocaps caps=\"" + caps + "\" ! webrtc. ";
  if (media_.opusPayloadType) {
    description +=
        "appsrc name=audio is-live=true format=time caps=audio/x-opus,rate=48000,channels=2,channel-mapping-family=0 "
        "! rtpopuspay pt=" +
        std::to_string(*media_.opusPayloadType) + " ! webrtc. ";
  }
  GError* error = nullptr;
  pipeline_ = gst_parse_launch(description.c_str(), &error);
  if (!pipeline_ || error) {
    logLine(std::string("cannot build a WebRTC pipeline: ") + (error ? error->message : "unknown error"));
    if (error) g_error_free(error);
    return false;
  }
  webrtc_ = gst_bin_get_by_name(GST_BIN(pipeline_), "webrtc");
  videoSrc_ = gst_bin_get_by_name(GST_BIN(pipeline_), "video");
  audioSrc_ = gst_bin_get_by_name(GST_BIN(pipeline_), "audio");
  for (auto* src : {videoSrc_, audioSrc_}) {
    if (src) g_object_set(src, "max-bytes", maxQueuedBytes, "leaky-type", 2, nullptr);
  }
  // Separate stream ids: with one, the browser syncs video to audio and
  // video latency creeps up.
  GstIterator* pads = gst_element_iterate_sink_pads(webrtc_);
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(pads, &item) == GST_ITERATOR_OK) {
    auto* pad = GST_PAD(g_value_get_object(&item));
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(pad, "transceiver", &transceiver, nullptr);
    if (transceiver) {
      g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "do-nack", TRUE, nullptr);
      gst_object_unref(transceiver);
    }
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(pads);

  if (media_.playoutDelayExtension) addPlayoutDelayExtension(*media_.playoutDelayExtension);

  // A keyframe request (PLI/FIR) reaches the source as an upstream event.
  GstPad* videoPad = gst_element_get_static_pad(videoSrc_, "src");
  gst_pad_add_probe(
      videoPad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM,
      [](GstPad*, GstPadProbeInfo* info, gpointer mail) {
        auto* event = GST_PAD_PROBE_INFO_EVENT(info);
        const auto* structure = gst_event_get_structure(event);
        if (structure && gst_structure_has_name(structure, "GstForceKeyUnit")) {
          post(mail, [](WebrtcViewer& self) { self.owner_.keyframeRequested(); });
        }
        return GST_PAD_PROBE_OK;
      },
      mail(), [](gpointer m) { freeMail(m); });
  gst_object_unref(videoPad);

  GstBus* bus = gst_element_get_bus(pipeline_);
  gst_bus_set_sync_handler(
      bus,
      [](GstBus*, GstMessage* message, gpointer mail) {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
          GError* err = nullptr;
          gst_message_parse_error(message, &err, nullptr);
          std::string text = err ? err->message : "unknown error";
          if (err) g_error_free(err);
          post(mail, [text](WebrtcViewer& self) { self.fail("WebRTC pipeline error: " + text); });
        }
        return GST_BUS_DROP;  // nobody pops the bus: keep it empty
      },
      mail(), [](gpointer m) { freeMail(m); });
  gst_object_unref(bus);

  configureIce();
  connect(
      webrtc_, "notify::ice-gathering-state",
      +[](GstElement*, GParamSpec*, gpointer m) { post(m, [](WebrtcViewer& s) { s.gatheringChanged(); }); });
  connect(
      webrtc_, "notify::ice-connection-state",
      +[](GstElement*, GParamSpec*, gpointer m) { post(m, [](WebrtcViewer& s) { s.iceChanged(); }); });
  connect(
      webrtc_, "on-data-channel", +[](GstElement*, GstWebRTCDataChannel* channel, gpointer m) {
        g_object_ref(channel);
        post(m, [channel](WebrtcViewer& s) { s.channelArrived(channel); });
      });
  if (GstElement* rtpbin = gst_bin_get_by_name(GST_BIN(webrtc_), "rtpbin")) {
    connect(
        rtpbin, "on-ssrc-active",
        +[](GstElement*, guint, guint, gpointer m) { post(m, [](WebrtcViewer& s) { s.lastRtcp_ = Clock::now(); }); });
    gst_object_unref(rtpbin);
  }
  if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    logLine("cannot start a WebRTC pipeline");
    return false;
  }
  owner_.keyframeRequested();
  waitForCaps(Clock::now() + capsWait);
  return true;
}

// Declared in the video caps, so the answer carries its a=extmap line, and
// written into every packet on the way to webrtcbin.
void WebrtcViewer::addPlayoutDelayExtension(int id) {
  GstElement* setter = gst_bin_get_by_name(GST_BIN(pipeline_), "videocaps");
  GstCaps* caps = nullptr;
  g_object_get(setter, "caps", &caps, nullptr);
  caps = gst_caps_make_writable(caps);
  gst_caps_set_simple(caps, ("extmap-" + std::to_string(id)).c_str(), G_TYPE_STRING, kPlayoutDelayUri, nullptr);
  g_object_set(setter, "caps", caps, nullptr);
  gst_caps_unref(caps);
  GstPad* pad = gst_element_get_static_pad(setter, "src");
  gst_pad_add_probe(
      pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
      [](GstPad*, GstPadProbeInfo* info, gpointer extension) {
        if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
          GstBufferList* list = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
          gst_buffer_list_foreach(list, addPlayoutDelay, extension);
          GST_PAD_PROBE_INFO_DATA(info) = list;
        } else {
          auto* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
          addPlayoutDelay(&buffer, 0, extension);
          GST_PAD_PROBE_INFO_DATA(info) = buffer;
        }
        return GST_PAD_PROBE_OK;
      },
      GINT_TO_POINTER(id), nullptr);
  gst_object_unref(pad);
  gst_object_unref(setter);
}

void WebrtcViewer::configureIce() {
  GstWebRTCICE* ice = nullptr;
  g_object_get(webrtc_, "ice-agent", &ice, nullptr);
  if (!ice) return;
  const auto& config = owner_.config();
  g_object_set(ice, "min-rtp-port", static_cast<guint>(config.udpPorts.first), "max-rtp-port",
               static_cast<guint>(config.udpPorts.second), "ice-tcp", FALSE, nullptr);
  for (const auto& address : config.iceAddresses) {
    gboolean added = FALSE;
    g_signal_emit_by_name(ice, "add-local-ip-address", address.c_str(), &added);
  }
  gst_object_unref(ice);
}

void WebrtcViewer::waitForCaps(Clock::time_point until) {
  bool ready = true;
  GstIterator* pads = gst_element_iterate_sink_pads(webrtc_);
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(pads, &item) == GST_ITERATOR_OK) {
    ready = ready && gst_pad_has_current_caps(GST_PAD(g_value_get_object(&item)));
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(pads);
  if (ready || Clock::now() >= until) {
    negotiate();
    return;
  }
  timer_.expires_after(capsPoll);
  timer_.async_wait([weak = weak_from_this(), until](boost::system::error_code ec) {
    if (auto self = weak.lock(); self && !ec) self->waitForCaps(until);
  });
}

void WebrtcViewer::negotiate() {
  GstSDPMessage* sdp = nullptr;
  if (gst_sdp_message_new_from_text(offer_.c_str(), &sdp) != GST_SDP_OK) {
    finish(400, "the offer is not valid SDP\n");
    return;
  }
  negotiating_ = true;
  auto* description = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
  g_signal_emit_by_name(webrtc_, "set-remote-description", description, promise(&WebrtcViewer::remoteSet));
  gst_webrtc_session_description_free(description);
}

void WebrtcViewer::remoteSet(GstPromise* done) {
  if (gst_promise_wait(done) != GST_PROMISE_RESULT_REPLIED) {
    finish(400, "the offer was not accepted\n");
    return;
  }
  g_signal_emit_by_name(webrtc_, "create-answer", nullptr, promise(&WebrtcViewer::answerCreated));
}

void WebrtcViewer::answerCreated(GstPromise* done) {
  GstWebRTCSessionDescription* answer = nullptr;
  const GstStructure* reply =
      gst_promise_wait(done) == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(done) : nullptr;
  if (reply) gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
  if (!answer) {
    finish(400, "no answer to this offer\n");
    return;
  }
  g_signal_emit_by_name(webrtc_, "set-local-description", answer, nullptr);
  gst_webrtc_session_description_free(answer);
  gatheringChanged();
}

void WebrtcViewer::gatheringChanged() {
  if (!negotiating_ || answered_) return;
  GstWebRTCICEGatheringState state{};
  g_object_get(webrtc_, "ice-gathering-state", &state, nullptr);
  if (state == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) sendAnswer();
}

void WebrtcViewer::sendAnswer() {
  GstWebRTCSessionDescription* local = nullptr;
  g_object_get(webrtc_, "local-description", &local, nullptr);
  if (!local) return;  // set-local-description still running: its gathering notice follows
  gchar* text = gst_sdp_message_as_text(local->sdp);
  std::string sdp = text;
  g_free(text);
  gst_webrtc_session_description_free(local);
  answered_ = true;
  lifetime_.emplace(Clock::now());
  armTimer();
  checkLiveness();
  finish(201, std::move(sdp));
}

void WebrtcViewer::iceChanged() {
  GstWebRTCICEConnectionState state{};
  g_object_get(webrtc_, "ice-connection-state", &state, nullptr);
  iceUp_ = state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED || state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED;
  iceDown_ = state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED || state == GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED;
  if (iceUp_) lastRtcp_ = std::max(lastRtcp_, Clock::now());  // reports follow within a second
  if (lifetime_) updateLink();
}

void WebrtcViewer::updateLink() {
  auto now = Clock::now();
  auto link = ViewerLifetime::Link::pending;
  if (iceDown_ || (iceUp_ && now - lastRtcp_ > rtcpSilence)) {
    link = ViewerLifetime::Link::down;
  } else if (iceUp_) {
    link = ViewerLifetime::Link::up;
  }
  lifetime_->link(link, now);
  armTimer();
}

void WebrtcViewer::checkLiveness() {
  liveness_.expires_after(livenessPoll);
  liveness_.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
    auto self = weak.lock();
    if (ec || !self || !self->lifetime_) return;
    self->updateLink();
    self->checkLiveness();
  });
}

void WebrtcViewer::armTimer() {
  if (!lifetime_) return;
  if (lifetime_->deadline() == Clock::time_point::max()) {
    timer_.cancel();
    return;
  }
  timer_.expires_at(lifetime_->deadline());
  timer_.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
    auto self = weak.lock();
    if (ec || !self || !self->lifetime_ || !self->lifetime_->expired(Clock::now())) return;
    self->owner_.ended(self->location_);
  });
}

void WebrtcViewer::channelArrived(GstWebRTCDataChannel* channel) {
  gchar* label = nullptr;
  g_object_get(channel, "label", &label, nullptr);
  bool input = label && std::string_view(label) == "input";
  g_free(label);
  if (!input || channel_) {
    g_object_unref(channel);
    return;
  }
  channel_ = channel;
  connect(
      channel_, "on-open",
      +[](GstWebRTCDataChannel*, gpointer m) { post(m, [](WebrtcViewer& s) { s.channelOpened(); }); });
  connect(
      channel_, "on-message-string", +[](GstWebRTCDataChannel*, gchar* text, gpointer m) {
        post(m, [message = std::string(text ? text : "")](WebrtcViewer& s) {
          if (s.channelOpen_ && s.owner_.input()) s.owner_.input()->message(s.id_, message);
        });
      });
  GstWebRTCDataChannelState state{};
  g_object_get(channel_, "ready-state", &state, nullptr);
  if (state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) channelOpened();
}

void WebrtcViewer::channelOpened() {
  if (channelOpen_ || !channel_) return;
  channelOpen_ = true;
  nlohmann::json session = {{"type", "session"},
                            {"streamProfile", streamProfile_},
                            {"signalledProfile", media_.offeredProfile},
                            {"tokenRequired", owner_.config().tokenRequired}};
  gst_webrtc_data_channel_send_string(channel_, session.dump().c_str());
  if (auto* input = owner_.input()) {
    input->viewerJoined(id_, [weak = weak_from_this()](const std::string& json) {
      auto self = weak.lock();
      if (self && self->channel_) gst_webrtc_data_channel_send_string(self->channel_, json.c_str());
    });
  }
}

void WebrtcViewer::video(const AccessUnit& unit) {
  if (!videoSrc_) return;
  if (waitingForKeyframe_) {
    if (!unit.keyframe) return;
    waitingForKeyframe_ = false;
  }
  gst_app_src_push_buffer(GST_APP_SRC(videoSrc_),
                          sharedBuffer(unit.bytes, 0, lengthBeforeTrailingDelimiter(*unit.bytes)));
}

void WebrtcViewer::audio(const std::shared_ptr<const std::string>& frame) {
  if (!audioSrc_ || frame->size() <= 2) return;
  // The helper's packets come in bursts: spaced 20 ms apart instead, and
  // moved back to the clock when they drift too far from it.
  GstClockTime now = 0;
  if (GstClock* clock = gst_element_get_clock(pipeline_)) {
    now = gst_clock_get_time(clock) - gst_element_get_base_time(pipeline_);
    gst_object_unref(clock);
  }
  GstClockTime pts = nextAudioPts_;
  if (pts == GST_CLOCK_TIME_NONE || pts + 200 * GST_MSECOND < now || pts > now + 200 * GST_MSECOND) pts = now;
  nextAudioPts_ = pts + opusFrame;
  GstBuffer* buffer = sharedBuffer(frame, 2);
  GST_BUFFER_PTS(buffer) = pts;
  GST_BUFFER_DURATION(buffer) = opusFrame;
  gst_app_src_push_buffer(GST_APP_SRC(audioSrc_), buffer);
}

void WebrtcViewer::fail(const std::string& why) {
  logLine(why);
  if (!answered_) {
    finish(500, "cannot set up the session\n");
    return;
  }
  owner_.ended(location_);
}

// Answers the offer once; a refusal also ends the session.
void WebrtcViewer::finish(int status, std::string body) {
  auto answer = std::move(answer_);
  answer_ = nullptr;
  if (answer) answer(status, status == 201 ? location_ : std::string(), std::move(body));
  if (status != 201) owner_.ended(location_);
}

void WebrtcViewer::teardown() {
  timer_.cancel();
  liveness_.cancel();
  if (channelOpen_ && owner_.input()) owner_.input()->viewerLeft(id_);
  channelOpen_ = false;
  if (pipeline_) gst_element_set_state(pipeline_, GST_STATE_NULL);
  for (auto** element : {&videoSrc_, &audioSrc_, &webrtc_, &pipeline_}) {
    if (*element) gst_object_unref(*element);
    *element = nullptr;
  }
  if (channel_) g_object_unref(channel_);
  channel_ = nullptr;
  if (answer_) finish(503, "the server is stopping\n");
}

WebrtcViewers::WebrtcViewers(asio::io_context& io, Config config, std::function<bool(const std::string&)> sendControl,
                             std::function<void()> countChanged, InputHub* input)
    : io_(io),
      config_(std::move(config)),
      sendControl_(std::move(sendControl)),
      countChanged_(std::move(countChanged)),
      input_(input) {}

WebrtcViewers::~WebrtcViewers() {
  try {
    endAll();
  } catch (...) {  // NOLINT(bugprone-empty-catch): nothing is left to tell at this point
  }
}

bool WebrtcViewers::available() {
  for (const char* name : {"webrtcbin", "appsrc", "h264parse", "rtph264pay", "rtpopuspay", "capssetter"}) {
    GstElementFactory* factory = gst_element_factory_find(name);
    if (!factory) {
      logLine(std::string("WebRTC viewers unavailable: GStreamer element ") + name + " is missing");
      return false;
    }
    gst_object_unref(factory);
  }
  return true;
}

void WebrtcViewers::offer(std::string_view sdp, Answer answer) {
  // GStreamer starts with the first viewer, so a server used only by stream
  // clients never loads it (nor writes its registry cache).
  static const bool ready = [] {
    gst_init(nullptr, nullptr);
    return available();
  }();
  if (!ready) {
    answer(503, {}, "WebRTC is not available on this server\n");
    return;
  }
  if (viewers_.size() >= maxViewers) {
    answer(503, {}, "too many viewers\n");
    return;
  }
  std::string stream = streamProfile_.value_or(config_.defaultProfile);
  auto checked = checkOffer(sdp, stream);
  if (auto* refusal = std::get_if<OfferRefusal>(&checked)) {
    answer(400, {}, refusal->reason + "\n");
    return;
  }
  auto media = std::get<OfferedMedia>(std::move(checked));
  if (!config_.audio) media.opusPayloadType.reset();
  auto location = randomLocation();
  auto viewer = std::make_shared<WebrtcViewer>(*this, location, nextViewer_++, std::move(media), stream);
  viewers_.emplace(location, viewer);
  countChanged_();
  if (!viewer->start(std::string(sdp), std::move(answer))) ended(location);
}

bool WebrtcViewers::end(std::string_view location) {
  auto it = viewers_.find(location);
  if (it == viewers_.end()) return false;
  ended(it->first);
  return true;
}

void WebrtcViewers::ended(const std::string& location) {
  auto it = viewers_.find(location);
  if (it == viewers_.end()) return;
  auto viewer = std::move(it->second);
  viewers_.erase(it);
  viewer->teardown();
  countChanged_();
}

void WebrtcViewers::endAll() {
  while (!viewers_.empty()) ended(viewers_.begin()->first);
}

void WebrtcViewers::keyframeRequested() {
  if (keyframes_.request()) (void)sendControl_("idr");
}

void WebrtcViewers::video(const AccessUnit& unit) {
  keyframes_.frameArrived();
  if (unit.keyframe) {
    if (auto profile = profileOfAccessUnit(*unit.bytes)) streamProfile_ = profile;
  }
  for (auto& [location, viewer] : viewers_) viewer->video(unit);
}

void WebrtcViewers::audio(const std::shared_ptr<const std::string>& frame) {
  for (auto& [location, viewer] : viewers_) viewer->audio(frame);
}

}  // namespace qx::server
