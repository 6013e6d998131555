#pragma once

// The screen-capture service: lists the displays that can be captured and runs
// streams of one display that deliver encoder-ready frames (NV12, BT.709 video
// range, already scaled to the configured size) and, when asked, audio.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/display_service.h"
#include "platform/media.h"

namespace qx {

// An error reported by the platform: its domain, a code and the platform's own
// description (printed as is).
struct PlatformError {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
};

// Domain of errors that mean the user has not allowed (or has withdrawn) screen capture. Never
// retried: a new stream would only be refused again, or would capture behind the user's back.
inline constexpr const char* kCaptureAccessErrorDomain = "CaptureAccess";

// Runs one task on a serial queue (e.g. a SerialQueue's post). The stream calls
// it from its own thread for every delivery; the queue must outlive the stream
// and any task it was given.
using TaskRunner = std::function<void(std::function<void()> task)>;

// What the capture service can currently capture.
struct ShareableContent {
  std::vector<ShareableDisplay> displays;
};

// What a stream captures: one display, no excluded windows.
struct ContentFilter {
  ShareableDisplay display;
};

// "420v": 8-bit 4:2:0 bi-planar luma/chroma, video range.
inline constexpr std::uint32_t kPixelFormat420v = 875704438;

enum class ColorMatrix { itu601, itu709 };

struct StreamConfiguration {
  std::int64_t width = 0;
  std::int64_t height = 0;
  // Frames come at most this often; invalid or zero means no limit.
  MediaTime minimumFrameInterval = MediaTime::invalid();
  bool showsCursor = true;
  std::uint32_t pixelFormat = kPixelFormat420v;
  ColorMatrix colorMatrix = ColorMatrix::itu709;
  // Number of pixel buffers in the stream's pool. A frame held downstream
  // keeps its buffer; when all are held, captures are skipped.
  int queueDepth = 8;
  bool capturesAudio = false;
  int sampleRate = 48000;
  int channelCount = 2;
  bool excludesCurrentProcessAudio = false;
};

enum class StreamOutputType : int { screen = 0, audio = 1 };

// Raw values of the frame status attachment.
enum class FrameStatus : std::int64_t {
  complete = 0,  // a new picture
  idle = 1,      // nothing changed since the previous frame
  blank = 2,
  suspended = 3,
  started = 4,
  stopped = 5,
};

// One frame-info dictionary. Values are loosely typed, as the platform's are,
// so consumers must check the type of what they read.
using AttachmentValue = std::variant<std::int64_t, double, std::string>;
using FrameInfo = std::map<std::string, AttachmentValue, std::less<>>;
// Key of the frame status in a FrameInfo; its value is a FrameStatus raw value.
inline constexpr std::string_view kFrameInfoStatus = "status";

// One delivery of a stream output. Screen buffers carry `imageBuffer`, audio
// buffers carry `audioBuffer`; either may be null in a malformed buffer.
struct SampleBuffer {
  std::int64_t numSamples = 0;
  // Absent when the buffer has no attachments array at all.
  std::optional<std::vector<FrameInfo>> attachments;
  // Shared with the stream's pool: holding it keeps one pool slot busy. Never
  // written by the stream once delivered.
  PixelBufferRef imageBuffer;
  std::shared_ptr<const AudioBuffer> audioBuffer;
  // Host media clock (nanoseconds, same clock as MediaTime::fromHostNanos).
  MediaTime presentationTime = MediaTime::invalid();
};

class CaptureStream;

// Receives frames and audio. Called on the TaskRunner the output was added
// with, one call at a time per output type.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void didOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sample, StreamOutputType type) = 0;
};

// Told when the platform stops a running stream. Called at most once per
// stream, on a thread of the service's choosing (not an output queue). The
// stream delivers nothing after this call.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void didStopWithError(CaptureStream& stream, const PlatformError& error) = 0;
};

// One running capture of one display. Outputs and the delegate are held
// weakly: a receiver that is gone is simply skipped. Destroying the stream
// stops it; after the destructor returns it calls nothing more, except tasks
// already handed to a TaskRunner. The destructor may run on any thread,
// including inside a delegate or output callback of this same stream.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;

  // Adds a receiver for one output type, delivered on `queue`. Must be
  // called before startCapture. Fails for an unsupported type.
  [[nodiscard]] virtual std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                                     StreamOutputType type, TaskRunner queue) = 0;

  // Starts capturing. `completion` runs exactly once, on a thread of the
  // service's choosing and never inside this call, with the error if the
  // stream could not start. No frame is delivered before a successful
  // completion has returned; the first frame after a start is complete.
  virtual void startCapture(std::function<void(std::optional<PlatformError> error)> completion) = 0;
};

class CaptureService {
 public:
  virtual ~CaptureService() = default;

  // The displays that can be captured now. Blocks the caller briefly; any thread.
  [[nodiscard]] virtual std::variant<ShareableContent, PlatformError> shareableContent() = 0;

  // A stream of `filter`'s display (found again by its id when it starts)
  // with `configuration`. Nothing is captured until startCapture.
  [[nodiscard]] virtual std::shared_ptr<CaptureStream> createStream(const ContentFilter& filter,
                                                                    const StreamConfiguration& configuration,
                                                                    std::weak_ptr<StreamDelegate> delegate) = 0;
};

}  // namespace qx
