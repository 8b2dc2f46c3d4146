#pragma once
// Byte-level RTSP: sending a request text, a FIFO of received bytes with line,
// exact-count and in-place reads, reading one response, header lookup, and
// skipping an RTSP message met between interleaved frames.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rtsp/byte_stream.h"

constexpr size_t kRtspReceiveBlock = 8192;         // bytes asked for per receive
constexpr size_t kRtspMaxLine = 16384;             // longest line, trailing CRs not counted
constexpr size_t kRtspMaxContentLength = 1 << 20;  // larger bodies are refused
// A header block (the lines between a start line and its empty line) longer than
// either bound is refused: no camera sends more than a few dozen short lines, and
// a server that sends header lines without end would otherwise grow the collected
// headers while every byte it sends keeps the receive time-out from firing.
constexpr size_t kRtspMaxHeaderLines = 256;
constexpr size_t kRtspMaxHeaderBytes = 64 * 1024;  // the lines with one "\n" each

enum class LineResult { kOk, kClosed, kTooLong };

struct StreamReader {
  ByteStream* stream = nullptr;  // borrowed; the session owns the connection
  std::vector<uint8_t> buffer;   // storage; bytes [head, tail) are received, not consumed
  size_t head = 0;
  size_t tail = 0;

  size_t Available() const { return tail - head; }
  // One receive of up to kRtspReceiveBlock bytes appended to the queue.
  bool Fill();
  // One line without its line feed and trailing carriage returns.
  bool ReadLine(std::string& line);
  // As ReadLine, telling a closed connection from an over-long line.
  LineResult ReadLineResult(std::string& line);
  // Exactly n bytes (replacing `out`'s contents).
  bool ReadExact(size_t n, std::vector<uint8_t>& out);
  bool ReadByte(uint8_t& byte);
  // Exactly n bytes in place: `data` points into the queue and stays valid until
  // the next call on this reader. Spares the copy of media frames.
  bool ReadView(size_t n, const uint8_t*& data);
  // Drops exactly n bytes.
  bool Skip(size_t n);
};

// Sends the whole text with as many sends as needed; false when a send fails.
bool SendAll(ByteStream& stream, std::string_view text);

struct RtspResponse {
  int32_t status = 0;
  std::string headers;  // every header line followed by "\n", CRs removed
  std::string body;     // exactly Content-Length bytes
};

// Reads a status line ("RTSP/1.0 " and a code), the header lines and the body.
// Fails like a broken connection on a line or header block over its bound.
bool ReadResponse(StreamReader& reader, RtspResponse& response);

// The value of the first header line starting with `name` (ignoring case),
// with leading spaces and colons removed; empty when there is none.
std::string FindHeaderValue(std::string_view headers, std::string_view name);

// Consumes an RTSP message (a keep-alive answer or a server request) whose first
// byte `firstByte` has already been taken while streaming: the rest of its first
// line, its header lines and its Content-Length body. A line that is empty (a
// stray CR LF between frames) is taken alone. False when streaming must end: the
// connection failed, the first line is too long or holds binary bytes (the
// stream is out of step with its framing), the header block or the body is
// over its bound.
bool SkipRtspMessage(StreamReader& reader, uint8_t firstByte);

// What the interleaved stream after PLAY holds next.
enum class StreamItem {
  kFrame,    // a `$` frame: channel, and a view of its data valid until the next read
  kMessage,  // an RTSP message (keep-alive answer, server request), skipped
  kClosed,   // the bytes ran out or a read failed
  kBroken,   // a message could not be skipped: streaming must end
};

struct InterleavedFrame {
  uint8_t channel = 0;
  const uint8_t* data = nullptr;
  size_t length = 0;
};

// Reads one item of the streaming loop; fills frame for kFrame.
StreamItem ReadStreamItem(StreamReader& reader, InterleavedFrame& frame);
