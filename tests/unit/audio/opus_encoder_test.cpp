#include "audio/opus_encoder.h"

#include <gtest/gtest.h>
#include <opus.h>

namespace qx {
namespace {

TEST(OpusEncoderTest, MuxerParametersGiveA96kbitEncoder) {
  auto created = OpusEncoder::create(48000, 2, 96000);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<OpusEncoder>>(created));
  auto& encoder = std::get<std::unique_ptr<OpusEncoder>>(created);
  ASSERT_NE(encoder->enc(), nullptr);
  EXPECT_EQ(encoder->sampleRate(), 48000);
  EXPECT_EQ(encoder->channels(), 2);

  opus_int32 bitrate = 0;
  ASSERT_EQ(opus_encoder_ctl(encoder->enc(), OPUS_GET_BITRATE(&bitrate)), OPUS_OK);
  EXPECT_EQ(bitrate, 96000);
  // Only the bitrate is set: the rest stays at the library's defaults.
  opus_int32 application = 0;
  ASSERT_EQ(opus_encoder_ctl(encoder->enc(), OPUS_GET_APPLICATION(&application)), OPUS_OK);
  EXPECT_EQ(application, OPUS_APPLICATION_AUDIO);
}

TEST(OpusEncoderTest, UnsupportedRateFailsWithTheLibraryCode) {
  auto created = OpusEncoder::create(44100, 2, 96000);
  ASSERT_TRUE(std::holds_alternative<AudioError>(created));
  const AudioError& error = std::get<AudioError>(created);
  EXPECT_EQ(error.domain, "quorvex-screencap.audio");
  EXPECT_EQ(error.code, -1);
  EXPECT_EQ(error.description, "opus_encoder_create failed: -1");
}

TEST(OpusEncoderTest, RefusedBitrateIsNotAnError) {
  // The library clamps or refuses odd bitrates; creation still succeeds.
  auto created = OpusEncoder::create(48000, 2, -5);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<OpusEncoder>>(created));
}

}  // namespace
}  // namespace qx
