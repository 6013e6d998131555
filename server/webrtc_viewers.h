#pragma once

#include "server/input_hub.h"
#include "server/stream_framing.h"
#include "server/viewer_rules.h"

#include <utility>  // Boost 1.74 asio uses std::exchange without including it

#include <boost/asio/io_context.hpp>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::server {

class WebrtcViewer;

// The WebRTC viewers: one GStreamer pipeline (appsrc -> RTP payloader ->
// webrtcbin) per viewer, fed with the helper's access units and Opus packets.
// Every method runs on the server's io_context thread; GStreamer's signals and
// promises arrive on its own threads and are posted here.
class WebrtcViewers {
 public:
  static constexpr std::size_t maxViewers = 4;

  struct Config {
    std::vector<std::string> iceAddresses;  // the only local addresses ICE uses
    std::pair<int, int> udpPorts;
    std::string defaultProfile;  // until the helper's first SPS tells the real one
    bool tokenRequired = false;
    bool audio = false;  // the helper sends audio
  };

  // HTTP status, the session's location (201 only) and the body: the SDP
  // answer, or a one-line reason.
  using Answer = std::function<void(int status, std::string location, std::string body)>;

  WebrtcViewers(boost::asio::io_context& io, Config config, std::function<bool(const std::string&)> sendControl,
                std::function<void()> countChanged, InputHub* input);
  ~WebrtcViewers();
  WebrtcViewers(const WebrtcViewers&) = delete;
  WebrtcViewers& operator=(const WebrtcViewers&) = delete;

  // False (with a line printed) when GStreamer lacks the elements: every
  // offer is then answered 503. GStreamer must be initialised.
  static bool available();

  std::size_t count() const { return viewers_.size(); }
  // Checks the offer and answers once ICE gathering is complete.
  void offer(std::string_view sdp, Answer answer);
  // Ends the session at `location`; false when there is none.
  bool end(std::string_view location);
  void endAll();

  void video(const AccessUnit& unit);
  void audio(const std::shared_ptr<const std::string>& frame);  // with its 2-byte length

  // Used by the viewers.
  boost::asio::io_context& io() { return io_; }
  const Config& config() const { return config_; }
  InputHub* input() const { return input_; }
  void keyframeRequested();
  void ended(const std::string& location);

 private:
  boost::asio::io_context& io_;
  Config config_;
  std::function<bool(const std::string&)> sendControl_;
  std::function<void()> countChanged_;
  InputHub* input_;
  std::optional<std::string> streamProfile_;
  KeyframeRequests keyframes_;
  std::uint64_t nextViewer_ = 1;
  std::map<std::string, std::shared_ptr<WebrtcViewer>, std::less<>> viewers_;
};

}  // namespace qx::server
