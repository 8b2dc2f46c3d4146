// Throughput of the media path over the golden captures of tests/data: the
// depacketizer alone, the reader plus depacketizer as the client runs them, and
// a plain memcpy of the same bytes for scale. Reported in bytes per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "rtsp/depacketizer.h"
#include "rtsp/stream_reader.h"

namespace {

struct Capture {
  SdpInfo sdp;
  std::string bytes;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Capture Load(const char* name) {
  std::string dir = __FILE__;
  dir = dir.substr(0, dir.find_last_of("/\\")) + "/../tests/data/";
  Capture capture;
  ParseSdp(ReadFile(dir + name + ".sdp"), capture.sdp);
  capture.bytes = ReadFile(dir + name + ".rtsp");
  return capture;
}

const char* const kNames[] = {"golden_h264", "golden_h265", "golden_h264_aac"};

// Memory standing in for a socket: receives of up to 8192 bytes, copied out
// as recv would.
struct MemoryStream : ByteStream {
  const std::string* bytes = nullptr;
  size_t offset = 0;
  long long Receive(uint8_t* buffer, size_t capacity) override {
    const size_t n = std::min(capacity, bytes->size() - offset);
    std::memcpy(buffer, bytes->data() + offset, n);
    offset += n;
    return static_cast<long long>(n);
  }
  long long Send(const uint8_t*, size_t size) override { return static_cast<long long>(size); }
};

size_t unitsTaken = 0;

const AccessUnitCallback kTakeUnit = [](std::vector<uint8_t>&& unit, int64_t time) {
  ++unitsTaken;
  std::vector<uint8_t> taken = std::move(unit);
  benchmark::DoNotOptimize(taken.data());
  benchmark::DoNotOptimize(time);
};
const AudioFrameCallback kTakeAudio = [](const uint8_t* data, unsigned size) {
  benchmark::DoNotOptimize(data);
  benchmark::DoNotOptimize(size);
};

struct FrameRef {
  uint8_t channel;
  size_t offset;
  size_t length;
};

// Where the capture's interleaved frames lie, found once with the reader.
std::vector<FrameRef> IndexFrames(const std::string& bytes) {
  MemoryStream stream;
  stream.bytes = &bytes;
  StreamReader reader;
  reader.stream = &stream;
  std::vector<FrameRef> frames;
  size_t consumed = 0;  // bytes taken from the reader so far
  uint8_t first = 0;
  while (reader.ReadByte(first)) {
    if (first != '$') {
      if (!SkipRtspMessage(reader, first)) break;
      consumed = stream.offset - reader.Available();
      continue;
    }
    const uint8_t* header = nullptr;
    if (!reader.ReadView(3, header)) break;
    const FrameRef frame{header[0], consumed + 4, size_t{header[1]} << 8 | header[2]};
    if (!reader.Skip(frame.length)) break;
    frames.push_back(frame);
    consumed = stream.offset - reader.Available();
  }
  return frames;
}

// Frames straight from memory into HandleInterleavedFrame.
void BM_Depacketize(benchmark::State& state) {
  const Capture capture = Load(kNames[state.range(0)]);
  state.SetLabel(kNames[state.range(0)]);
  const std::vector<FrameRef> frames = IndexFrames(capture.bytes);
  const auto* data = reinterpret_cast<const uint8_t*>(capture.bytes.data());
  MediaState media;
  unitsTaken = 0;
  for (auto _ : state) {
    ResetMediaState(media, capture.sdp, capture.sdp.hasAudio);
    for (const FrameRef& frame : frames) {
      HandleInterleavedFrame(media, frame.channel, data + frame.offset, frame.length, kTakeUnit,
                             kTakeAudio);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * capture.bytes.size()));
  state.counters["frames"] = static_cast<double>(frames.size());
  state.counters["units"] = static_cast<double>(unitsTaken) / static_cast<double>(state.iterations());
}

// The client's streaming loop: reader receives, in-place frame views, skipping.
void BM_ReaderAndDepacketize(benchmark::State& state) {
  const Capture capture = Load(kNames[state.range(0)]);
  state.SetLabel(kNames[state.range(0)]);
  MediaState media;
  for (auto _ : state) {
    MemoryStream stream;
    stream.bytes = &capture.bytes;
    StreamReader reader;
    reader.stream = &stream;
    ResetMediaState(media, capture.sdp, capture.sdp.hasAudio);
    uint8_t first = 0;
    while (reader.ReadByte(first)) {
      if (first != '$') {
        if (!SkipRtspMessage(reader, first)) break;
        continue;
      }
      const uint8_t* header = nullptr;
      const uint8_t* frame = nullptr;
      if (!reader.ReadView(3, header)) break;
      const size_t length = size_t{header[1]} << 8 | header[2];
      const uint8_t channel = header[0];
      if (!reader.ReadView(length, frame)) break;
      HandleInterleavedFrame(media, channel, frame, length, kTakeUnit, kTakeAudio);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * capture.bytes.size()));
}

void BM_Memcpy(benchmark::State& state) {
  const Capture capture = Load(kNames[state.range(0)]);
  state.SetLabel(kNames[state.range(0)]);
  std::vector<char> target(capture.bytes.size());
  for (auto _ : state) {
    std::memcpy(target.data(), capture.bytes.data(), capture.bytes.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * capture.bytes.size()));
}

}  // namespace

BENCHMARK(BM_Depacketize)->DenseRange(0, 2);
BENCHMARK(BM_ReaderAndDepacketize)->DenseRange(0, 2);
BENCHMARK(BM_Memcpy)->DenseRange(0, 2);
BENCHMARK_MAIN();
