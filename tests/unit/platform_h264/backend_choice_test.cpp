// The policy that picks the H.264 backend for a session request.

#include "platform/linux/h264/backend_choice.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace qx {
namespace {

TEST(BackendChoice, ChoiceOfBackend) {
  std::vector<std::string> used;
  auto named = [&used](std::string name) {
    return [&used, name](CompressionSessionParams) {
      used.push_back(name);
      return CompressionSessionCreateResult{};
    };
  };
  for (const char* requested : {"", "x264", "openh264"}) {
    auto choose = chooseSessionFactory(requested, named("openh264"), named("x264"));
    for (auto request :
         {std::optional<EncoderRequest>{}, std::optional(EncoderRequest{.enableLowLatencyRateControl = true}),
          std::optional(EncoderRequest{.enableLowLatencyRateControl = false, .longTermReferences = true}),
          std::optional(EncoderRequest{.enableLowLatencyRateControl = true, .longTermReferences = true})}) {
      CompressionSessionParams p;
      p.encoderRequest = request;
      (void)choose(std::move(p));
    }
  }
  // x264 serves everything, unless OpenH264 is asked for by name: then it
  // serves the sessions with long-term references.
  EXPECT_EQ(used, (std::vector<std::string>{"x264", "x264", "x264", "x264", "x264", "x264", "x264", "x264", "x264",
                                            "x264", "x264", "openh264"}));
}

}  // namespace
}  // namespace qx
