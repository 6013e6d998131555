// The built quorvex-screencap with long-term references, losing frames on
// the way to the client: once the client has acknowledged a picture and asks
// for a refresh, everything from the refresh frame on decodes exactly as if
// nothing had been lost, with libavcodec and with OpenH264.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/h264_decode.h"
#include "tests/support/process.h"
#include "tests/support/x_painter.h"
#include "tests/support/x_server.h"

namespace qx {
namespace {

using namespace std::chrono_literals;
using test::Process;
using test::XServer;
using test::h264::Frame;

// A desktop that changes in every captured frame: a window sliding to and
// fro, and a terminal-like area where "glyphs" keep being typed. Painted
// faster than the 30 fps capture, so no frame repeats.
test::XPainter::Round desktop() {
  return [rng = std::mt19937(7), winX = 0, step = 7, col = 0, row = 0, first = true](const test::XPainter::Fill& fill,
                                                                                     int width, int height) mutable {
    constexpr std::uint32_t kBackground = 0x2F4F6F;
    constexpr int kWinW = 480, kWinH = 300, kWinY = 60;
    const int termX = 40, termY = kWinY + kWinH + 40, termW = width - 80, termH = height - termY - 40;
    if (first) {
      fill(0, 0, width, height, kBackground);
      fill(termX, termY, termW, termH, 0x101010);
      first = false;
    }
    fill(winX, kWinY, kWinW, kWinH, kBackground);
    if (winX + step < 0 || winX + step + kWinW > width) step = -step;
    winX += step;
    fill(winX, kWinY, kWinW, 24, 0x3A6FD8);
    fill(winX, kWinY + 24, kWinW, kWinH - 24, 0xF2F2F2);
    for (int line = 0; line < 12; ++line) {
      fill(winX + 16, kWinY + 40 + line * 20, 120 + (line * 53) % 300, 10, 0x404040);
    }
    for (int glyph = 0; glyph < 16; ++glyph) {
      if (rng() % 7 != 0) fill(termX + 8 + col * 9, termY + 8 + row * 16, 7, 11, 0x80FF80 ^ (rng() & 0x3F3F3F));
      if (++col * 9 + 16 > termW) {
        col = 0;
        if (++row * 16 + 24 > termH) {
          row = 0;
          fill(termX, termY, termW, termH, 0x101010);
        }
      }
    }
  };
}

// The helper and the access units it has written so far.
class Helper {
 public:
  Helper(const XServer& x, std::vector<std::string> args) {
    Process::Options o;
    o.args = {test::bundleProgram("quorvex-screencap")};
    o.args.insert(o.args.end(), args.begin(), args.end());
    o.setEnv["DISPLAY"] = x.display();
    process_ = std::make_unique<Process>(std::move(o));
  }

  Process& process() { return *process_; }
  const std::string& err() const { return process_->err(); }
  const std::vector<std::string>& units() const { return units_; }

  bool waitForLine(std::string_view text, std::chrono::milliseconds timeout) {
    return process_->pumpUntil([&] { return err().find(text) != std::string::npos; }, timeout);
  }
  // Reads access units until `enough` holds for the ones read so far.
  bool readUntil(const std::function<bool()>& enough, std::chrono::milliseconds timeout) {
    return process_->pumpUntil(
        [&] {
          collect();
          return enough();
        },
        timeout);
  }
  // Closes standard input and waits for the exit; the units written until then are kept.
  std::optional<int> stop() {
    process_->closeStdin();
    const auto status = process_->wait(15s);
    collect();
    return status;
  }

 private:
  void collect() {
    pending_ += process_->takeOut();
    std::size_t used = 0;
    for (auto& unit : test::h264::splitAccessUnits(pending_)) {
      used += unit.size();
      units_.push_back(std::move(unit));
    }
    pending_.erase(0, used);
  }

  std::unique_ptr<Process> process_;
  std::string pending_;
  std::vector<std::string> units_;
};

std::optional<std::int64_t> ltrToken(const std::string& unit) {
  const auto text = test::h264::ltrSeiText(unit);
  if (!text || !text->starts_with("ltr=")) return std::nullopt;
  char* end = nullptr;
  const long long token = std::strtoll(text->c_str() + 4, &end, 10);
  if (end == text->c_str() + 4 || (*end != '\0' && *end != ' ')) return std::nullopt;
  return token;
}

bool isRefresh(const std::string& unit) {
  const auto text = test::h264::ltrSeiText(unit);
  return text && (*text == "refresh" || text->ends_with(" refresh"));
}

std::vector<std::string> slice(const std::vector<std::string>& units, std::size_t from, std::size_t to) {
  return {units.begin() + static_cast<std::ptrdiff_t>(from), units.begin() + static_cast<std::ptrdiff_t>(to)};
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Positions, counted from the end, among the last `n` frames where the two
// decodes differ; every position when `decoded` has fewer than `n` frames.
std::vector<std::size_t> differingTail(const std::vector<Frame>& decoded, const std::vector<Frame>& reference,
                                       std::size_t n) {
  std::vector<std::size_t> differing;
  for (std::size_t back = 1; back <= n; ++back) {
    if (back > decoded.size() || back > reference.size() ||
        decoded[decoded.size() - back] != reference[reference.size() - back]) {
      differing.push_back(back);
    }
  }
  return differing;
}

TEST(LtrLoss, RefreshAfterLostFramesDecodesLikeTheLosslessStream) {
  auto x = XServer::xvfb(1280, 720);
  test::XPainter painter(x->display(), desktop(), 15ms);
  Helper h(*x, {"--fps", "30"});
  ASSERT_TRUE(h.waitForLine("LTR recovery ", 20s)) << h.err();
  ASSERT_THAT(h.err(), ::testing::HasSubstr("quorvex-screencap: encoder: low-latency rate control, LTR recovery on"))
      << "the helper must run with long-term references on by default";

  // The first picture that carries a token is the one the client acknowledges.
  std::size_t acked = 0;
  std::optional<std::int64_t> token;
  ASSERT_TRUE(h.readUntil(
      [&] {
        for (; acked < h.units().size(); ++acked) {
          if ((token = ltrToken(h.units()[acked]))) return true;
        }
        return false;
      },
      15s))
      << "no access unit with an ltr=<token> SEI among " << h.units().size();
  h.process().writeStdin("ltr-ack " + std::to_string(*token) + "\n");

  // The frames between the acknowledged one and the refresh are the lost
  // ones: a few, so the acknowledged picture is still held when the request
  // arrives (the helper keeps 16).
  ASSERT_TRUE(h.readUntil([&] { return h.units().size() >= acked + 6; }, 15s)) << h.units().size() << " units";
  const std::size_t asked = h.units().size();
  h.process().writeStdin("ltr-refresh\n");
  std::size_t refresh = asked;
  ASSERT_TRUE(h.readUntil(
      [&] {
        for (; refresh < h.units().size(); ++refresh) {
          if (isRefresh(h.units()[refresh])) return true;
        }
        return false;
      },
      15s))
      << "no access unit with a refresh SEI after the request";
  ASSERT_TRUE(h.readUntil([&] { return h.units().size() >= refresh + 21; }, 20s)) << h.units().size() << " units";
  ASSERT_EQ(h.stop(), std::optional<int>(0)) << h.err();

  const std::vector<std::string>& all = h.units();
  // A keyframe would repair anything; the point is a P picture that needs none of the lost ones.
  const std::vector<int> types = test::h264::nalTypes(all[refresh]);
  EXPECT_THAT(types, ::testing::Contains(1)) << "refresh access unit has no non-IDR slice";
  EXPECT_THAT(types, ::testing::Not(::testing::Contains(5))) << "refresh access unit is an IDR";

  const auto head = slice(all, 0, acked + 1);
  const auto lossy = concat(head, slice(all, refresh, all.size()));
  const auto refreshLost = concat(head, slice(all, refresh + 1, all.size()));
  const std::size_t recovered = all.size() - refresh;

  using Decode = std::vector<Frame> (*)(std::span<const std::string>);
  for (const auto& [name, decode] : {std::pair<const char*, Decode>{"libavcodec", test::h264::decodeWithLibavcodec},
                                     std::pair<const char*, Decode>{"OpenH264", test::h264::decodeWithOpenH264}}) {
    SCOPED_TRACE(name);
    const std::vector<Frame> reference = decode(all);
    ASSERT_EQ(reference.size(), all.size()) << "lossless stream: one frame per access unit";
    const std::vector<Frame> afterLoss = decode(lossy);
    ASSERT_GE(afterLoss.size(), recovered);
    EXPECT_THAT(differingTail(afterLoss, reference, recovered), ::testing::IsEmpty())
        << "frames (counted from the end) that differ from the lossless decode; " << acked + 1
        << " units kept, then units " << refresh << ".." << all.size() - 1;
    // Without the refresh frame the same comparison must find differences.
    EXPECT_THAT(differingTail(decode(refreshLost), reference, recovered - 1), ::testing::Not(::testing::IsEmpty()))
        << "losing the refresh frame too went unnoticed";
  }
}

}  // namespace
}  // namespace qx
