// quorvex-screencap: captures one display as H.264 on standard output.

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/retrying_audio_source.h"
#include "capture/audio_port.h"
#include "capture/capture_engine.h"
#include "capture/displays.h"
#include "capture/h264_encoder_port.h"
#include "capture/muxer_audio_sink.h"
#include "capture/options.h"
#include "capture/permission.h"
#include "capture/session_kind.h"
#include "common/log.h"
#include "platform/linux/asio/asio_dispatch.h"
#include "platform/linux/h264/backend_choice.h"
#include "platform/linux/openh264/openh264_session.h"
#include "platform/linux/pulse/pulse_recorder.h"
#include "platform/linux/pulse/swr_converter.h"
#include "platform/linux/wayland/portal_client.h"
#include "platform/linux/wayland/wayland_capture_service.h"
#include "platform/linux/wayland/wayland_display_power.h"
#include "platform/linux/wayland/wayland_display_service.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "platform/linux/x11/x11_display_power.h"
#include "platform/linux/x11/x11_display_service.h"
#include "platform/linux/x264/x264_session.h"
#include "video/annexb_writer.h"

int main(int argc, char** argv) {
  // A closed standard output or audio descriptor must show up as a write
  // error, not kill us.
  std::signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const bool wayland =
      qx::sessionKind(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE")) == qx::SessionKind::wayland;
  static std::unique_ptr<qx::DisplayService> displays;
  if (wayland)
    displays = std::make_unique<qx::WaylandDisplayService>();
  else
    displays = std::make_unique<qx::X11DisplayService>();
  if (qx::wantsDisplayList(args)) qx::listDisplaysAndExit(*displays);

  const qx::Options options = qx::parseArgs(args);

  // Nothing there at all is a failed start; a display that refused us is a
  // missing permission.
  if (auto unreachable = displays->unreachableReason()) {
    qx::logErr("start failed: " + *unreachable);
    return 1;
  }
  if (!qx::checkCaptureAccess(*displays, qx::stderrLog())) return 2;

  // Everything below lives until the process ends; nothing is torn down, the
  // process leaves through _exit from whichever thread decides it is over.
  static qx::SystemClock clock;
  static qx::AsioQueueFactory queues;
  // System audio on the sound server, kept trying while it is away; every
  // capture backend records through it.
  static qx::RetryingAudioSource audio(qx::pulseRecorderStart(), queues, qx::stderrLog());
  static std::unique_ptr<qx::wayland::PortalClient> portal;
  static std::unique_ptr<qx::CaptureService> capture;
  static std::unique_ptr<qx::DisplayPowerService> power;
  if (wayland) {
    portal = std::make_unique<qx::wayland::PortalClient>();
    capture = std::make_unique<qx::WaylandCaptureService>(*portal, std::string(), &audio);
    power = std::make_unique<qx::WaylandDisplayPowerService>(*portal);
  } else {
    capture = std::make_unique<qx::X11CaptureService>(std::string(), &audio);
    power = std::make_unique<qx::X11DisplayPowerService>();
  }
  static qx::AnnexBWriter writer(STDOUT_FILENO);
  static qx::SwrConverterFactory converters;

  qx::H264EncoderDeps encoderDeps;
  const char* backend = std::getenv("QX_H264_BACKEND");
  encoderDeps.makeSession =
      qx::chooseSessionFactory(backend ? backend : "", qx::openh264SessionFactory(), qx::x264SessionFactory());
  encoderDeps.clock = &clock;
  encoderDeps.log = qx::stderrLog();

  static const std::shared_ptr<qx::CaptureEngine> engine = qx::CaptureEngine::create(qx::CaptureEngine::Deps{
      *capture, *displays, *power, clock, queues, qx::h264EncoderFactory(writer, std::move(encoderDeps)),
      qx::muxingAudioSinkFactory(converters, queues, clock, qx::stderrLog()), STDIN_FILENO,
      [](int status) { _exit(status); }, qx::stderrLog()});

  // The start may block for seconds (waking the display, waiting for the
  // display list); the main thread only waits.
  std::thread([&options] {
    engine->start(options, [](std::optional<qx::PlatformError> error) {
      if (!error) return;
      qx::logErr("start failed: " + error->description);
      if (error->domain == qx::kCaptureAccessErrorDomain) {
        qx::logErr(std::string(qx::kPermissionMissingMessage));
        _exit(2);
      }
      _exit(1);
    });
  }).detach();

  for (;;) pause();
}
