#include "bench/pipeline/micro_stages.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "bench/pipeline/cpu_stats.h"
#include "platform/compression_session.h"
#include "platform/linux/openh264/openh264_session.h"
#include "platform/linux/x11/nv12_converter.h"
#include "platform/linux/x264/x264_session.h"
#include "video/annexb_writer.h"
#include "video/rate_control.h"

namespace qx::bench {

namespace {

using Steady = std::chrono::steady_clock;

double msSince(Steady::time_point start) {
  return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

void measureGrab(const std::string& display, int serverPid, int grabs, StageFigures& f) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c)) throw std::runtime_error("cannot connect to " + display);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  SharedPixels shm(static_cast<std::size_t>(screen->width_in_pixels) * screen->height_in_pixels * 4);
  const xcb_shm_seg_t seg = xcb_generate_id(c);
  if (xcb_generic_error_t* e =
          xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<std::uint32_t>(shm.id()), 0))) {
    std::free(e);
    xcb_disconnect(c);
    throw std::runtime_error("the X server refused the shared memory (MIT-SHM)");
  }
  shm.release();
  const double serverBefore = processCpuSeconds(serverPid);
  const auto start = Steady::now();
  for (int i = 0; i < grabs; ++i) {
    std::free(
        xcb_shm_get_image_reply(c,
                                xcb_shm_get_image(c, screen->root, 0, 0, screen->width_in_pixels,
                                                  screen->height_in_pixels, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0),
                                nullptr));
  }
  f.grabWallMs = msSince(start) / grabs;
  f.grabServerMs = (processCpuSeconds(serverPid) - serverBefore) * 1000.0 / grabs;
  xcb_shm_detach(c, seg);
  xcb_disconnect(c);
}

// The properties the helper's encoder sets on a low-latency session.
void configure(CompressionSession& session, int fps, std::int64_t bitrate) {
  namespace k = session_key;
  const rate_control::DataRateLimits limits = rate_control::limitsFor(bitrate, 0);
  (void)session.setProperty(k::kRealTime, true);
  (void)session.setProperty(k::kProfileLevel, std::string(session_value::kProfileConstrainedHighAutoLevel));
  (void)session.setProperty(k::kAllowFrameReordering, false);
  (void)session.setProperty(k::kColorPrimaries, std::string(session_value::kITU_R_709_2));
  (void)session.setProperty(k::kTransferFunction, std::string(session_value::kITU_R_709_2));
  (void)session.setProperty(k::kYCbCrMatrix, std::string(session_value::kITU_R_709_2));
  (void)session.setProperty(k::kExpectedFrameRate, static_cast<std::int64_t>(fps));
  (void)session.setProperty(k::kAverageBitRate, bitrate);
  (void)session.setProperty(k::kDataRateLimits,
                            std::vector<PropertyNumber>{limits.windowBytes, 0.25, limits.peakBytes, 1.0});
  (void)session.setProperty(k::kMaxAllowedFrameQP, rate_control::kMaxFrameQP);
}

// The first `warmUp` pictures are encoded untimed: the keyframe and the rate
// control settling are not what a running stream costs.
EncodeFigures measureEncode(const CompressionSessionFactory& factory, bool ltr,
                            const std::vector<PixelBufferRef>& pictures, std::size_t warmUp, int fps,
                            std::int64_t bitrate) {
  std::mutex m;
  std::condition_variable cv;
  int delivered = 0;
  std::size_t bytes = 0;
  CompressionSessionParams params;
  params.width = pictures.front()->width();
  params.height = pictures.front()->height();
  params.encoderRequest = EncoderRequest{.enableLowLatencyRateControl = true, .longTermReferences = ltr};
  params.output = [&](std::int32_t, const EncodedSample* sample) {
    std::lock_guard lock(m);
    ++delivered;
    if (sample && sample->data) bytes += sample->data->size();
    cv.notify_all();
  };
  auto created = factory(std::move(params));
  if (created.status != session_status::kOk || !created.session) throw std::runtime_error("encoder session refused");
  configure(*created.session, fps, bitrate);
  if (ltr) (void)created.session->setProperty(session_key::kEnableLTR, true);
  if (created.session->prepare() != session_status::kOk) throw std::runtime_error("encoder session did not open");
  // One frame at a time, as a real-time source gives them; the waiting thread
  // costs nothing, and its own CPU is taken out anyway.
  double wallMs = 0, cpuBefore = 0, ownBefore = 0;
  std::size_t bytesBefore = 0;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (i == warmUp) {
      cpuBefore = processCpuNow();
      ownBefore = threadCpuNow();
      std::lock_guard lock(m);
      bytesBefore = bytes;
    }
    const auto start = Steady::now();
    const auto pts = MediaTime::fromHostNanos(static_cast<std::int64_t>(i) * 1'000'000'000 / fps);
    created.session->encode(pictures[i], pts, std::nullopt);
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return delivered > static_cast<int>(i); });
    if (i >= warmUp) wallMs += msSince(start);
  }
  const double cpu = (processCpuNow() - cpuBefore) - (threadCpuNow() - ownBefore);
  created.session.reset();
  const auto timed = static_cast<double>(pictures.size() - warmUp);
  return {cpu * 1000.0 / timed, wallMs / timed, static_cast<double>(bytes - bytesBefore) / timed};
}

void measureWrite(std::size_t unitBytes, int writes, StageFigures& f) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::thread reader([fd = fds[0]] {
    std::vector<char> buf(1 << 20);
    while (read(fd, buf.data(), buf.size()) > 0) {
    }
  });
  std::vector<std::uint8_t> unit(std::max<std::size_t>(unitBytes, 8), 0x5a);
  std::copy(AnnexBWriter::aud.begin(), AnnexBWriter::aud.end(), unit.end() - 6);
  AnnexBWriter writer(fds[1]);
  double cpu = 0, wall = 0;
  for (int i = 0; i < writes; ++i) {
    // Units come a frame apart, so the reader has emptied the pipe before the
    // next; a short pause gives it that chance here too.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double cpuBefore = threadCpuNow();
    const auto start = Steady::now();
    writer.write(unit);
    wall += msSince(start);
    cpu += threadCpuNow() - cpuBefore;
  }
  close(fds[1]);
  reader.join();
  close(fds[0]);
  f.writeCpuMs = cpu * 1000.0 / writes;
  f.writeWallMs = wall / writes;
}

}  // namespace

StageFigures measureStages(const std::string& display, int serverPid, Content& content, int outWidth, int outHeight,
                           int fps, std::int64_t bitrate, int frames) {
  StageFigures f;
  f.frames = frames;
  measureGrab(display, serverPid, frames, f);

  // As long a start as the pipeline runs skip.
  const int warmUp = fps * 3 / 2;
  x11::Nv12Converter converter(content.width(), content.height(), outWidth, outHeight);
  if (!converter.ok()) throw std::runtime_error("the converter refused the sizes");
  std::vector<PixelBufferRef> pictures;
  double convertCpu = 0;
  for (int n = 0; n < warmUp + frames; ++n) {
    content.advanceTo(n);
    auto out = std::make_shared<PixelBuffer>(outWidth, outHeight);
    const double before = threadCpuNow();
    converter.convert(content.pixels(), content.stride(), *out);
    convertCpu += threadCpuNow() - before;
    pictures.push_back(std::move(out));
  }
  f.convertMs = convertCpu * 1000.0 / (warmUp + frames);

  f.openh264 = measureEncode(openh264SessionFactory(), true, pictures, static_cast<std::size_t>(warmUp), fps, bitrate);
  f.x264 = measureEncode(x264SessionFactory(), true, pictures, static_cast<std::size_t>(warmUp), fps, bitrate);
  measureWrite(static_cast<std::size_t>(f.openh264.accessUnitBytes), 300, f);
  return f;
}

}  // namespace qx::bench
