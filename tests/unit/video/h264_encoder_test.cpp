#include "video/h264_encoder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/fake_compression_session.h"
#include "tests/fakes/manual_dispatch.h"

namespace qx {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using fake::FakeCompressionSessionFactory;
using fake::makeSample;
namespace key = session_key;

// Collects what the encoder writes (a non-blocking pipe) and logs.
class Harness {
 public:
  Harness() {
    EXPECT_EQ(::pipe(fds_), 0);
    // Only the test's end: the writer must see a blocking descriptor, as
    // standard output is.
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    writer_ = std::make_unique<AnnexBWriter>(fds_[1]);
  }
  ~Harness() {
    encoder.reset();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }

  std::unique_ptr<H264Encoder> make(H264EncoderConfig config) {
    H264EncoderDeps deps;
    deps.makeSession = sessions.factory();
    deps.clock = &clock;
    deps.log = [this](std::string_view line) {
      std::lock_guard g(logMutex_);
      logs_.emplace_back(line);
    };
    return H264Encoder::create(config, *writer_, std::move(deps));
  }
  bool start(H264EncoderConfig config) {
    encoder = make(config);
    return encoder != nullptr;
  }

  Bytes drain() {
    Bytes out;
    std::uint8_t buf[4096];
    ssize_t n;
    while ((n = ::read(fds_[0], buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    return out;
  }
  std::vector<std::string> logs() {
    std::lock_guard g(logMutex_);
    return logs_;
  }
  std::vector<std::string> statsLines() {
    std::vector<std::string> out;
    for (const auto& l : logs()) {
      if (l.rfind("[stats]", 0) == 0) out.push_back(l);
    }
    return out;
  }

  void frame(std::int64_t pts) { encoder->encode(buffer_, MediaTime::fromHostNanos(pts)); }
  std::optional<FrameOptions> lastOptions() { return sessions.frames().back().options; }

  FakeCompressionSessionFactory sessions;
  fake::ManualClock clock;
  std::unique_ptr<H264Encoder> encoder;

 private:
  int fds_[2] = {-1, -1};
  std::unique_ptr<AnnexBWriter> writer_;
  std::mutex logMutex_;
  std::vector<std::string> logs_;
  PixelBufferRef buffer_ = std::make_shared<PixelBuffer>(16, 16);
};

H264EncoderConfig lowLatencyConfig(bool ltr) {
  return {.width = 1280,
          .height = 720,
          .fps = 30,
          .bitrate = 8'000'000,
          .rc = "vbr",
          .peakMax = 0,
          .lowLatency = true,
          .ltr = ltr};
}
H264EncoderConfig classicConfig() {
  auto c = lowLatencyConfig(false);
  c.lowLatency = false;
  return c;
}

const std::vector<std::string> kLowLatencyKeys{
    "RealTime",          "ProfileLevel", "AllowFrameReordering", "ColorPrimaries", "TransferFunction", "YCbCrMatrix",
    "ExpectedFrameRate", "EnableLTR",    "AverageBitRate",       "DataRateLimits", "MaxAllowedFrameQP"};
const std::vector<std::string> kClassicKeys{
    "RealTime",          "ProfileLevel",   "AllowFrameReordering", "ColorPrimaries",
    "TransferFunction",  "YCbCrMatrix",    "MaxKeyFrameInterval",  "MaxKeyFrameIntervalDuration",
    "ExpectedFrameRate", "AverageBitRate", "DataRateLimits",       "MaxAllowedFrameQP"};

FrameOptions keyframeOptions() {
  FrameOptions o;
  o.forceKeyframe = true;
  return o;
}
FrameOptions refreshOptions() {
  FrameOptions o;
  o.forceLTRRefresh = true;
  return o;
}
FrameOptions ackOptions(std::vector<std::int64_t> tokens) {
  FrameOptions o;
  o.acknowledgedTokens = std::move(tokens);
  return o;
}

// ---- construction paths and property order ----

TEST(EncoderConstruction, LowLatencyGrantedWithLtr) {
  Harness h;
  ASSERT_TRUE(h.start(lowLatencyConfig(true)));
  ASSERT_EQ(h.sessions.creates().size(), 1u);
  EXPECT_TRUE(h.sessions.creates()[0].encoderRequest.has_value());
  EXPECT_TRUE(h.sessions.creates()[0].encoderRequest->enableLowLatencyRateControl);
  EXPECT_EQ(h.sessions.creates()[0].width, 1280);
  EXPECT_EQ(h.sessions.keys(), kLowLatencyKeys);
  EXPECT_EQ(std::get<std::string>(*h.sessions.lastValue(key::kProfileLevel)), "H264_ConstrainedHigh_AutoLevel");
  EXPECT_EQ(std::get<std::int64_t>(*h.sessions.lastValue(key::kExpectedFrameRate)), 30);
  EXPECT_EQ(h.sessions.prepareCount(), 1);
  EXPECT_TRUE(h.encoder->lowLatency());
  EXPECT_TRUE(h.encoder->ltrEnabled());
  EXPECT_EQ(h.logs(), std::vector<std::string>{"encoder: low-latency rate control, LTR recovery on"});
}

TEST(EncoderConstruction, LtrRefusedOrNotRequested) {
  Harness refused;
  refused.sessions.refuseKey("EnableLTR");
  ASSERT_TRUE(refused.start(lowLatencyConfig(true)));
  EXPECT_FALSE(refused.encoder->ltrEnabled());
  EXPECT_EQ(refused.logs(), (std::vector<std::string>{"VT property EnableLTR rejected: -12900",
                                                      "encoder: low-latency rate control, LTR recovery off"}));

  Harness notAsked;
  ASSERT_TRUE(notAsked.start(lowLatencyConfig(false)));
  auto keys = kLowLatencyKeys;
  keys.erase(std::find(keys.begin(), keys.end(), "EnableLTR"));
  EXPECT_EQ(notAsked.sessions.keys(), keys);
  EXPECT_EQ(notAsked.logs().back(), "encoder: low-latency rate control, LTR recovery off");
}

TEST(EncoderConstruction, LowLatencyRefusedFallsBackToClassic) {
  Harness h;
  h.sessions.scriptCreate({{-12908, false}});
  ASSERT_TRUE(h.start(lowLatencyConfig(true)));
  const auto creates = h.sessions.creates();
  ASSERT_EQ(creates.size(), 2u);
  EXPECT_FALSE(creates[1].encoderRequest.has_value());
  EXPECT_EQ(h.sessions.keys(), kClassicKeys);  // no EnableLTR in classic mode
  EXPECT_EQ(std::get<std::string>(*h.sessions.lastValue(key::kProfileLevel)), "H264_High_AutoLevel");
  EXPECT_EQ(std::get<std::int64_t>(*h.sessions.lastValue(key::kMaxKeyFrameInterval)), 900);
  EXPECT_EQ(std::get<double>(*h.sessions.lastValue(key::kMaxKeyFrameIntervalDuration)), 30.0);
  EXPECT_FALSE(h.encoder->lowLatency());
  EXPECT_FALSE(h.encoder->ltrEnabled());
  EXPECT_EQ(h.logs(),
            (std::vector<std::string>{"low-latency rate control unavailable (-12908): using the classic encoder",
                                      "encoder: classic real-time, LTR recovery off"}));
}

TEST(EncoderConstruction, ClassicWhenNotRequested) {
  Harness h;
  ASSERT_TRUE(h.start(classicConfig()));
  ASSERT_EQ(h.sessions.creates().size(), 1u);
  EXPECT_FALSE(h.sessions.creates()[0].encoderRequest.has_value());
  EXPECT_EQ(h.sessions.keys(), kClassicKeys);
  EXPECT_EQ(h.logs(), std::vector<std::string>{"encoder: classic real-time, LTR recovery off"});
}

TEST(EncoderConstruction, FailurePaths) {
  Harness both;
  both.sessions.scriptCreate({{-12908, false}, {-12911, false}});
  EXPECT_FALSE(both.start(lowLatencyConfig(false)));
  EXPECT_EQ(both.logs(),
            (std::vector<std::string>{"low-latency rate control unavailable (-12908): using the classic encoder",
                                      "VTCompressionSessionCreate failed: -12911"}));

  // A low-latency session returned together with an error ends construction:
  // no classic attempt follows.
  Harness withSession;
  withSession.sessions.scriptCreate({{-12911, true}});
  EXPECT_FALSE(withSession.start(lowLatencyConfig(false)));
  EXPECT_EQ(withSession.sessions.creates().size(), 1u);
  EXPECT_FALSE(withSession.sessions.sessionAlive());
  EXPECT_EQ(withSession.logs(),
            (std::vector<std::string>{"low-latency rate control unavailable (-12911): using the classic encoder",
                                      "VTCompressionSessionCreate failed: -12911"}));

  Harness classicError;
  classicError.sessions.scriptCreate({{-12911, true}});
  EXPECT_FALSE(classicError.start(classicConfig()));
  EXPECT_EQ(classicError.logs(), std::vector<std::string>{"VTCompressionSessionCreate failed: -12911"});

  // Status 0 without a session is not a success either.
  Harness noSession;
  noSession.sessions.scriptCreate({{0, false}});
  EXPECT_FALSE(noSession.start(classicConfig()));
  EXPECT_EQ(noSession.logs().back(), "VTCompressionSessionCreate failed: 0");

  Harness prepare;
  prepare.sessions.setPrepareStatus(-12911);
  EXPECT_FALSE(prepare.start(classicConfig()));
  EXPECT_FALSE(prepare.sessions.sessionAlive());
  EXPECT_EQ(prepare.logs().back(), "VTCompressionSessionPrepareToEncodeFrames failed: -12911");

  Harness tooWide;
  auto c = classicConfig();
  c.width = std::int64_t{1} << 32;
  EXPECT_FALSE(tooWide.start(c));
  EXPECT_TRUE(tooWide.sessions.creates().empty());
}

TEST(EncoderConstruction, RejectedKeyReportedOnce) {
  Harness h;
  h.sessions.refuseKey("DataRateLimits", -12902);
  ASSERT_TRUE(h.start(classicConfig()));
  h.encoder->setBitrate(5'000'000);
  h.encoder->setBitrate(6'000'000);
  int count = 0;
  for (const auto& l : h.logs()) count += l == "VT property DataRateLimits rejected: -12902";
  EXPECT_EQ(count, 1);
}

// ---- rate control ----

TEST(EncoderRateControl, AverageModeSetsLimitsAndQpCeiling) {
  Harness h;
  ASSERT_TRUE(h.start(lowLatencyConfig(false)));
  h.sessions.clearRecords();
  h.encoder->setBitrate(20'000'000);
  EXPECT_EQ(h.sessions.keys(), (std::vector<std::string>{"AverageBitRate", "DataRateLimits", "MaxAllowedFrameQP"}));
  EXPECT_EQ(std::get<std::int64_t>(*h.sessions.lastValue(key::kAverageBitRate)), 20'000'000);
  const auto limits = std::get<std::vector<PropertyNumber>>(*h.sessions.lastValue(key::kDataRateLimits));
  EXPECT_EQ(limits, (std::vector<PropertyNumber>{std::int64_t{625'000}, 0.25, std::int64_t{5'000'000}, 1.0}));
  EXPECT_EQ(std::get<std::int64_t>(*h.sessions.lastValue(key::kMaxAllowedFrameQP)), 42);
  EXPECT_EQ(h.encoder->currentBitrate(), 20'000'000);

  h.encoder->setBitrate(500'000);
  EXPECT_EQ(h.encoder->currentBitrate(), 1'000'000);
  EXPECT_EQ(std::get<std::int64_t>(*h.sessions.lastValue(key::kAverageBitRate)), 1'000'000);
  h.encoder->setBitrate(80'000'000);
  EXPECT_EQ(std::get<std::int64_t>(*h.sessions.lastValue(key::kAverageBitRate)), 60'000'000);
}

TEST(EncoderRateControl, PeakFromConfiguration) {
  Harness h;
  auto c = classicConfig();
  c.peakMax = 12'000'000;
  ASSERT_TRUE(h.start(c));
  const auto limits = std::get<std::vector<PropertyNumber>>(*h.sessions.lastValue(key::kDataRateLimits));
  EXPECT_EQ(limits, (std::vector<PropertyNumber>{std::int64_t{250'000}, 0.25, std::int64_t{1'500'000}, 1.0}));
}

TEST(EncoderRateControl, ConstantBitRateModeSetsOnlyThatKeyAndNeverLogsIt) {
  Harness h;
  h.sessions.refuseKey("ConstantBitRate");
  auto c = lowLatencyConfig(false);
  c.rc = "cbr";
  // The construction bitrate is used as given, without the control-line clamp.
  c.bitrate = 500'000;
  ASSERT_TRUE(h.start(c));
  EXPECT_EQ(h.sessions.keys().back(), "ConstantBitRate");
  EXPECT_EQ(std::get<std::int64_t>(*h.sessions.lastValue(key::kConstantBitRate)), 500'000);
  EXPECT_FALSE(h.sessions.lastValue(key::kAverageBitRate).has_value());
  h.sessions.clearRecords();
  h.encoder->setBitrate(9'000'000);
  EXPECT_EQ(h.sessions.keys(), std::vector<std::string>{"ConstantBitRate"});
  for (const auto& l : h.logs()) EXPECT_EQ(l.find("ConstantBitRate"), std::string::npos) << l;
}

// ---- request state ----

TEST(EncoderRequests, KeyframeRequestAppliesToOneFrame) {
  Harness h;
  ASSERT_TRUE(h.start(classicConfig()));
  EXPECT_FALSE(h.encoder->recoveryPending());
  h.encoder->requestKeyframe();
  h.encoder->requestKeyframe();  // several requests give one keyframe
  EXPECT_TRUE(h.encoder->recoveryPending());
  h.frame(1);
  EXPECT_EQ(h.lastOptions(), keyframeOptions());
  EXPECT_FALSE(h.encoder->recoveryPending());
  h.frame(2);
  EXPECT_FALSE(h.lastOptions().has_value());  // no options at all, not an empty set
}

TEST(EncoderRequests, ThirtySecondRuleOnlyInLowLatencyMode) {
  Harness low;
  ASSERT_TRUE(low.start(lowLatencyConfig(false)));
  low.clock.advance(29'999ms);
  low.frame(1);
  EXPECT_FALSE(low.lastOptions().has_value());
  low.clock.advance(1ms);
  low.frame(2);
  EXPECT_EQ(low.lastOptions(), keyframeOptions());
  low.frame(3);
  EXPECT_FALSE(low.lastOptions().has_value());
  // A keyframe that comes out restarts the count.
  low.clock.advance(20s);
  low.sessions.emit(makeSample(3, {{0x65}}, true));
  low.clock.advance(20s);
  low.frame(4);
  EXPECT_FALSE(low.lastOptions().has_value());
  low.clock.advance(10s);
  low.frame(5);
  EXPECT_TRUE(low.lastOptions().has_value());

  Harness classic;
  ASSERT_TRUE(classic.start(classicConfig()));
  classic.clock.advance(120s);
  classic.frame(1);
  EXPECT_FALSE(classic.lastOptions().has_value());
}

TEST(EncoderRequests, AcknowledgementsGoOutOnceInOrder) {
  Harness h;
  ASSERT_TRUE(h.start(lowLatencyConfig(true)));
  h.encoder->acknowledge(5);
  h.encoder->acknowledge(7);
  h.frame(1);
  EXPECT_EQ(h.lastOptions(), ackOptions({5, 7}));
  h.frame(2);
  EXPECT_FALSE(h.lastOptions().has_value());
}

TEST(EncoderRequests, AcknowledgementsSentEvenWithLtrOff) {
  Harness h;
  ASSERT_TRUE(h.start(classicConfig()));
  h.encoder->acknowledge(-3);
  h.frame(1);
  EXPECT_EQ(h.lastOptions(), ackOptions({-3}));
}

TEST(EncoderRequests, RefreshAndKeyframeTogetherSendOnlyKeyframe) {
  Harness h;
  ASSERT_TRUE(h.start(lowLatencyConfig(true)));
  h.encoder->requestRefresh();
  EXPECT_TRUE(h.encoder->recoveryPending());
  h.encoder->requestKeyframe();
  h.frame(10);
  EXPECT_EQ(h.lastOptions(), keyframeOptions());
  EXPECT_FALSE(h.encoder->recoveryPending());
  // refreshPTS was not set: frame 10 coming out as a non-keyframe is unmarked.
  h.sessions.emit(makeSample(10, {{0x41}}, false));
  EXPECT_EQ(h.drain(), (Bytes{0, 0, 0, 1, 0x41, 0, 0, 0, 1, 0x09, 0xF0}));
}

TEST(EncoderRequests, RefreshWithLtrOffBecomesKeyframe) {
  Harness h;
  h.sessions.refuseKey("EnableLTR");
  ASSERT_TRUE(h.start(lowLatencyConfig(true)));
  h.encoder->requestRefresh();
  h.frame(1);
  EXPECT_EQ(h.lastOptions(), keyframeOptions());
}

// ---- access units through the encoder ----

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
const Bytes kSc{0, 0, 0, 1};
const Bytes kAud{0, 0, 0, 1, 0x09, 0xF0};
const Bytes kSps{0x67, 0x64, 0x00, 0x28};
const Bytes kPps{0x68, 0xEE, 0x3C, 0x80};

Bytes seiText(const std::string& text) {
  Bytes b{0, 0, 0, 1, 0x06, 0x05, static_cast<std::uint8_t>(16 + text.size())};
  const std::string id = "QuorvexLTRmeta01";
  b.insert(b.end(), id.begin(), id.end());
  b.insert(b.end(), text.begin(), text.end());
  b.push_back(0x80);
  return b;
}

TEST(EncoderOutput, KeyframeWithTwoSlices) {
  Harness h;
  ASSERT_TRUE(h.start(classicConfig()));
  h.sessions.emit(makeSample(1, {{0x65, 0x01}, {0x65, 0x02}}, true));
  EXPECT_EQ(h.drain(), cat({kSc, kSps, kSc, kPps, kSc, {0x65, 0x01}, kSc, {0x65, 0x02}, kAud}));
}

TEST(EncoderOutput, MalformedAndUnusableSamples) {
  Harness h;
  ASSERT_TRUE(h.start(classicConfig()));
  auto s = makeSample(1, {{0x41, 0x01}}, false);
  s.data->insert(s.data->end(), {0, 0, 0, 0, 0x41});  // a zero length stops the scan
  h.sessions.emit(s);
  EXPECT_EQ(h.drain(), cat({kSc, {0x41, 0x01}, kAud}));

  auto notReady = makeSample(2, {{0x41}}, false);
  notReady.dataReady = false;
  h.sessions.emit(notReady);
  auto noData = makeSample(3, {{0x41}}, false);
  noData.data.reset();
  h.sessions.emit(noData);
  h.sessions.emit(nullptr);
  const auto ok = makeSample(4, {{0x41}}, false);
  h.sessions.emit(&ok, -12911);  // an error status drops the frame too
  EXPECT_TRUE(h.drain().empty());
}

TEST(EncoderOutput, LtrSeiGoesFirstForTokensAndRefreshFrames) {
  Harness h;
  ASSERT_TRUE(h.start(lowLatencyConfig(true)));
  h.sessions.emit(makeSample(1, {{0x41}}, false, 12));
  EXPECT_EQ(h.drain(), cat({seiText("ltr=12"), kSc, {0x41}, kAud}));

  h.encoder->requestRefresh();
  h.frame(2);
  EXPECT_EQ(h.lastOptions(), refreshOptions());
  EXPECT_FALSE(h.encoder->recoveryPending());
  h.sessions.emit(makeSample(1, {{0x41}}, false));  // another frame: unmarked
  EXPECT_EQ(h.drain(), cat({kSc, {0x41}, kAud}));
  h.sessions.emit(makeSample(2, {{0x41}}, false, 3));
  EXPECT_EQ(h.drain(), cat({seiText("ltr=3 refresh"), kSc, {0x41}, kAud}));
  h.sessions.emit(makeSample(2, {{0x41}}, false));  // the refresh is consumed once
  EXPECT_EQ(h.drain(), cat({kSc, {0x41}, kAud}));
}

TEST(EncoderOutput, RefreshFrameThatComesOutAsKeyframe) {
  Harness h;
  ASSERT_TRUE(h.start(lowLatencyConfig(true)));
  h.encoder->requestRefresh();
  h.frame(5);
  h.sessions.emit(makeSample(5, {{0x65}}, true, -4));
  EXPECT_EQ(h.drain(), cat({seiText("ltr=-4"), kSc, kSps, kSc, kPps, kSc, {0x65}, kAud}));
}

TEST(EncoderOutput, NewerRefreshReplacesOlderOne) {
  Harness h;
  ASSERT_TRUE(h.start(lowLatencyConfig(true)));
  h.encoder->requestRefresh();
  h.frame(1);
  h.encoder->requestRefresh();
  h.frame(2);
  h.sessions.emit(makeSample(1, {{0x41}}, false));
  EXPECT_EQ(h.drain(), cat({kSc, {0x41}, kAud}));
  h.sessions.emit(makeSample(2, {{0x41}}, false));
  EXPECT_EQ(h.drain(), cat({seiText("refresh"), kSc, {0x41}, kAud}));
}

TEST(EncoderOutput, NoSeiWithLtrOff) {
  Harness h;
  ASSERT_TRUE(h.start(lowLatencyConfig(false)));
  h.sessions.emit(makeSample(1, {{0x41}}, false, 12));
  EXPECT_EQ(h.drain(), cat({kSc, {0x41}, kAud}));
}

// ---- statistics ----

// A non-keyframe sample whose access unit is exactly `bytes` long.
EncodedSample unitOf(std::int64_t pts, std::size_t bytes, bool keyframe) {
  const std::size_t overhead = 4 + 6 + (keyframe ? 2 * (4 + 4) : 0);
  return makeSample(pts, {Bytes(bytes - overhead, 0x41)}, keyframe);
}

TEST(EncoderStats, WindowPrintsOnFirstUnitAfterOneSecond) {
  Harness h;
  ASSERT_TRUE(h.start(lowLatencyConfig(false)));
  h.frame(1);
  h.clock.advance(10ms);
  h.sessions.emit(unitOf(1, 10'240, true));
  h.frame(2);
  h.clock.advance(989ms);
  h.sessions.emit(unitOf(2, 2'048, false));  // 0.999 s: no line yet
  EXPECT_TRUE(h.statsLines().empty());
  h.clock.advance(251ms);
  h.sessions.emit(unitOf(3, 512, false));  // never submitted: no latency
  ASSERT_EQ(h.statsLines().size(), 1u);
  EXPECT_EQ(h.statsLines()[0],
            "[stats] out=81kbps fps=2 avg=4.2KB max=10.0KB idr=1 idr_kb=10.0 target=8000kbps enc_ms=499.5/989.0");

  // After a two-second pause the next unit averages over the whole pause.
  h.encoder->setBitrate(2'000'000);
  h.clock.advance(2s);
  h.sessions.emit(unitOf(4, 4'000, false));
  ASSERT_EQ(h.statsLines().size(), 2u);
  EXPECT_EQ(h.statsLines()[1],
            "[stats] out=16kbps fps=0 avg=3.9KB max=3.9KB idr=0 idr_kb=0.0 target=2000kbps enc_ms=0.0/0.0");
}

TEST(EncoderStats, SubmissionMapKeepsSixtyFiveEntries) {
  Harness kept;
  ASSERT_TRUE(kept.start(classicConfig()));
  for (int pts = 1; pts <= 65; ++pts) kept.frame(pts);
  kept.clock.advance(1500ms);
  kept.sessions.emit(unitOf(1, 1000, false));
  ASSERT_EQ(kept.statsLines().size(), 1u);
  EXPECT_NE(kept.statsLines()[0].find("enc_ms=1500.0/1500.0"), std::string::npos) << kept.statsLines()[0];

  Harness emptied;
  ASSERT_TRUE(emptied.start(classicConfig()));
  for (int pts = 1; pts <= 66; ++pts) emptied.frame(pts);
  emptied.clock.advance(1500ms);
  emptied.sessions.emit(unitOf(1, 1000, false));
  ASSERT_EQ(emptied.statsLines().size(), 1u);
  EXPECT_NE(emptied.statsLines()[0].find("enc_ms=0.0/0.0"), std::string::npos) << emptied.statsLines()[0];
}

// ---- threads ----

// Requests from the control thread, frames from the sample queue and output
// on the session thread at once: every token goes out exactly once, in order.
TEST(EncoderThreads, ConcurrentRequestsFramesAndOutput) {
  Harness h;
  ASSERT_TRUE(h.start(lowLatencyConfig(true)));
  constexpr int kTokens = 400;
  std::atomic<bool> done{false};
  std::thread control([&] {
    for (int i = 0; i < kTokens; ++i) {
      h.encoder->acknowledge(i);
      if (i % 50 == 0) h.encoder->requestRefresh();
      if (i % 70 == 0) h.encoder->requestKeyframe();
      if (i % 90 == 0) h.encoder->setBitrate(2'000'000 + i);
    }
    done = true;
  });
  std::thread output([&] {
    for (int i = 0; i < 300; ++i) {
      h.sessions.emit(makeSample(i, {{0x41}}, i % 30 == 0, i));
      h.drain();
    }
  });
  std::int64_t pts = 0;
  while (!done.load()) {
    h.frame(++pts);
    (void)h.encoder->recoveryPending();
  }
  control.join();
  output.join();
  h.frame(++pts);  // collects whatever came after the last frame
  std::vector<std::int64_t> tokens;
  for (const auto& f : h.sessions.frames()) {
    if (f.options)
      tokens.insert(tokens.end(), f.options->acknowledgedTokens.begin(), f.options->acknowledgedTokens.end());
  }
  ASSERT_EQ(tokens.size(), static_cast<std::size_t>(kTokens));
  for (int i = 0; i < kTokens; ++i) EXPECT_EQ(tokens[static_cast<std::size_t>(i)], i);
}

}  // namespace
}  // namespace qx
