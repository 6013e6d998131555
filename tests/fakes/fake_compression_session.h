#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/compression_session.h"

namespace qx::fake {

// A scriptable compression-session factory. Each create call consumes the
// next scripted answer (default: success). Sessions record every property and
// every frame; the test emits encoded samples on demand through the output
// callback of the live session, on the thread that calls emit().
// Thread-safe.
class FakeCompressionSessionFactory {
 public:
  struct Answer {
    std::int32_t status = session_status::kOk;
    bool returnSession = true;
  };
  struct CreateCall {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::optional<EncoderRequest> encoderRequest;
  };
  struct Property {
    std::string key;
    PropertyValue value;
    std::int32_t status = 0;
  };
  struct Frame {
    PixelBufferRef buffer;
    MediaTime pts;
    std::optional<FrameOptions> options;
  };

  FakeCompressionSessionFactory() : state_(std::make_shared<State>()) {}

  // Answers for the coming create calls, in order; later calls succeed.
  void scriptCreate(std::vector<Answer> answers) {
    std::lock_guard g(state_->m);
    state_->answers = std::move(answers);
  }
  // Every later setProperty of `key` answers `status`.
  void refuseKey(std::string key, std::int32_t status = session_status::kPropertyNotSupported) {
    std::lock_guard g(state_->m);
    state_->refused[std::move(key)] = status;
  }
  void acceptKey(const std::string& key) {
    std::lock_guard g(state_->m);
    state_->refused.erase(key);
  }
  void setPrepareStatus(std::int32_t status) {
    std::lock_guard g(state_->m);
    state_->prepareStatus = status;
  }
  // encode() answers this status (the frame is still recorded).
  void setEncodeStatus(std::int32_t status) {
    std::lock_guard g(state_->m);
    state_->encodeStatus = status;
  }

  CompressionSessionFactory factory() {
    return [state = state_](CompressionSessionParams params) {
      std::lock_guard g(state->m);
      state->creates.push_back({params.width, params.height, params.encoderRequest});
      Answer answer;
      if (!state->answers.empty()) {
        answer = state->answers.front();
        state->answers.erase(state->answers.begin());
      }
      CompressionSessionCreateResult result;
      result.status = answer.status;
      if (answer.returnSession) {
        state->output = std::move(params.output);
        state->alive = true;
        result.session = std::make_unique<Session>(state);
      }
      return result;
    };
  }

  std::vector<CreateCall> creates() const { return locked(&State::creates); }
  std::vector<Property> properties() const { return locked(&State::properties); }
  std::vector<Frame> frames() const { return locked(&State::frames); }
  int prepareCount() const {
    std::lock_guard g(state_->m);
    return state_->prepareCount;
  }
  bool sessionAlive() const {
    std::lock_guard g(state_->m);
    return state_->alive;
  }
  // Keys set so far, in order (for checking the configuration sequence).
  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    for (const auto& p : properties()) out.push_back(p.key);
    return out;
  }
  // The last value set for `key`, if any.
  std::optional<PropertyValue> lastValue(std::string_view key) const {
    std::optional<PropertyValue> v;
    for (const auto& p : properties()) {
      if (p.key == key) v = p.value;
    }
    return v;
  }
  void clearRecords() {
    std::lock_guard g(state_->m);
    state_->properties.clear();
    state_->frames.clear();
  }

  // Delivers one sample (or a dropped frame when `sample` is null) through
  // the live session's callback on the calling thread. False when no session
  // is alive.
  bool emit(const EncodedSample* sample, std::int32_t status = session_status::kOk) {
    CompressionOutputCallback cb;
    {
      std::lock_guard g(state_->m);
      if (!state_->alive) return false;
      cb = state_->output;
    }
    cb(status, sample);
    return true;
  }
  bool emit(const EncodedSample& sample) { return emit(&sample); }

 private:
  struct State {
    mutable std::mutex m;
    std::vector<Answer> answers;
    std::map<std::string, std::int32_t, std::less<>> refused;
    std::int32_t prepareStatus = session_status::kOk;
    std::int32_t encodeStatus = session_status::kOk;
    std::vector<CreateCall> creates;
    std::vector<Property> properties;
    std::vector<Frame> frames;
    int prepareCount = 0;
    bool alive = false;
    CompressionOutputCallback output;
  };

  class Session final : public CompressionSession {
   public:
    explicit Session(std::shared_ptr<State> state) : state_(std::move(state)) {}
    ~Session() override {
      std::lock_guard g(state_->m);
      state_->alive = false;
      state_->output = nullptr;
    }
    std::int32_t setProperty(std::string_view key, const PropertyValue& value) override {
      std::lock_guard g(state_->m);
      std::int32_t status = session_status::kOk;
      if (auto it = state_->refused.find(key); it != state_->refused.end()) status = it->second;
      state_->properties.push_back({std::string(key), value, status});
      return status;
    }
    std::int32_t prepare() override {
      std::lock_guard g(state_->m);
      ++state_->prepareCount;
      return state_->prepareStatus;
    }
    std::int32_t encode(PixelBufferRef buffer, MediaTime pts, const std::optional<FrameOptions>& options) override {
      std::lock_guard g(state_->m);
      state_->frames.push_back({std::move(buffer), pts, options});
      return state_->encodeStatus;
    }
    void completeFrames() override {}

   private:
    std::shared_ptr<State> state_;
  };

  template <class T>
  T locked(T State::*member) const {
    std::lock_guard g(state_->m);
    return (*state_).*member;
  }

  std::shared_ptr<State> state_;
};

// Joins NAL units into the 4-byte big-endian length-prefixed form a session
// delivers.
inline std::vector<std::uint8_t> lengthPrefixed(const std::vector<std::vector<std::uint8_t>>& nals) {
  std::vector<std::uint8_t> out;
  for (const auto& nal : nals) {
    const auto n = static_cast<std::uint32_t>(nal.size());
    out.push_back(static_cast<std::uint8_t>(n >> 24));
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
}

// A sample with the given NAL units at presentation-time value `pts`.
inline EncodedSample makeSample(std::int64_t pts, const std::vector<std::vector<std::uint8_t>>& nals, bool keyframe,
                                std::optional<std::int64_t> token = std::nullopt) {
  EncodedSample s;
  s.data = lengthPrefixed(nals);
  s.notSync = !keyframe;
  s.ltrToken = token;
  s.parameterSets = std::vector<std::vector<std::uint8_t>>{{0x67, 0x64, 0x00, 0x28}, {0x68, 0xEE, 0x3C, 0x80}};
  s.presentationTime = MediaTime::fromHostNanos(pts);
  return s;
}

}  // namespace qx::fake
