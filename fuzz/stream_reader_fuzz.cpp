// libFuzzer target: the reader and message skipping over arbitrary bytes. The
// first byte chooses how the rest is cut into receives; the streaming loop's
// result must be the same as with the bytes arriving whole. The same bytes are
// also read as a response.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rtsp/stream_reader.h"

namespace {

struct PieceStream : ByteStream {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t offset = 0;
  uint32_t seed = 0;  // 0: everything at once
  long long Receive(uint8_t* buffer, size_t capacity) override {
    if (offset >= size) return 0;
    size_t n = std::min(capacity, size - offset);
    if (seed) {
      seed = seed * 1103515245u + 12345u;
      n = std::min(n, size_t{1} + (seed >> 16) % 13);
    }
    std::memcpy(buffer, data + offset, n);
    offset += n;
    return static_cast<long long>(n);
  }
  long long Send(const uint8_t*, size_t size) override { return static_cast<long long>(size); }
};

std::string Trace(const uint8_t* data, size_t size, uint32_t seed) {
  PieceStream stream;
  stream.data = data;
  stream.size = size;
  stream.seed = seed;
  StreamReader reader;
  reader.stream = &stream;
  std::string trace;
  InterleavedFrame frame;
  for (StreamItem item; (item = ReadStreamItem(reader, frame)) != StreamItem::kClosed;) {
    if (item == StreamItem::kBroken) {
      trace += 'X';
      break;
    }
    trace += item == StreamItem::kFrame ? 'F' + std::to_string(frame.length) : std::string("M");
  }
  return trace + '@' + std::to_string(stream.offset - reader.Available());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t seed = data[0] + 1u;
  if (Trace(data + 1, size - 1, 0) != Trace(data + 1, size - 1, seed)) std::abort();

  PieceStream stream;
  stream.data = data + 1;
  stream.size = size - 1;
  stream.seed = seed;
  StreamReader reader;
  reader.stream = &stream;
  RtspResponse response;
  if (ReadResponse(reader, response)) {
    if (response.body.size() > kRtspMaxContentLength) std::abort();
    FindHeaderValue(response.headers, "Session");
  }
  return 0;
}
