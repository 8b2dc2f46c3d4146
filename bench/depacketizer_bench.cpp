// Throughput of the media path over the golden captures of tests/data and a
// long synthetic 1080p capture: the depacketizer alone, the reader plus
// depacketizer as the client runs them, and a plain memcpy of the same bytes
// for scale. Reported in bytes per second, with heap allocations per access
// unit (this binary counts every global operator new) and, from one untimed
// pass, the bytes copied per RTP payload byte.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "rtsp/depacketizer.h"
#include "rtsp/stream_reader.h"

// Every allocation of this program is counted; the product is not touched.
std::atomic<uint64_t> g_allocations{0};

void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) {
  return operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}

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

// A long synthetic 1080p H.264 capture as a camera sends it over RTSP: 25 fps,
// a 160 kB IDR picture every 2 s and 20 kB P pictures (about 4.5 Mbit/s), FU-A
// fragments of 1400-byte payloads, one RTSP keep-alive answer every 25 s.
Capture Synthetic1080p(int seconds) {
  Capture capture;
  capture.sdp.codec = 1;
  const uint8_t sets[] = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xAC,
                          0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80};
  capture.sdp.parameterSets.assign(sets, sets + sizeof sets);
  std::string& out = capture.bytes;
  uint32_t seed = 12345;
  uint16_t sequence = 0;
  auto packet = [&](const uint8_t* payload, size_t size, bool marker, uint32_t timestamp) {
    const size_t length = 12 + size;
    out += '$';
    out += '\0';
    out += static_cast<char>(length >> 8);
    out += static_cast<char>(length & 0xFF);
    const uint8_t header[12] = {0x80,
                                static_cast<uint8_t>(96 | (marker ? 0x80 : 0)),
                                static_cast<uint8_t>(sequence >> 8),
                                static_cast<uint8_t>(sequence),
                                static_cast<uint8_t>(timestamp >> 24),
                                static_cast<uint8_t>(timestamp >> 16),
                                static_cast<uint8_t>(timestamp >> 8),
                                static_cast<uint8_t>(timestamp),
                                0x12,
                                0x34,
                                0x56,
                                0x78};
    ++sequence;
    out.append(reinterpret_cast<const char*>(header), 12);
    out.append(reinterpret_cast<const char*>(payload), size);
  };
  std::vector<uint8_t> nal;
  std::vector<uint8_t> fragment(1400);
  const int frames = seconds * 25;
  for (int f = 0; f < frames; ++f) {
    const uint32_t timestamp = 90000u / 25u * static_cast<uint32_t>(f);
    const bool idr = f % 50 == 0;
    nal.resize(idr ? 160000 : 20000);
    nal[0] = idr ? 0x65 : 0x41;
    for (size_t i = 1; i < nal.size(); ++i) {
      seed = seed * 1664525u + 1013904223u;
      nal[i] = static_cast<uint8_t>(seed >> 24);
    }
    // FU-A: indicator, header with S/E, then up to 1398 bytes of the NAL body.
    const size_t body = 1398;
    for (size_t offset = 1; offset < nal.size(); offset += body) {
      const size_t n = std::min(body, nal.size() - offset);
      const bool start = offset == 1, end = offset + n == nal.size();
      fragment[0] = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
      fragment[1] = static_cast<uint8_t>((start ? 0x80 : 0) | (end ? 0x40 : 0) | (nal[0] & 0x1F));
      std::memcpy(fragment.data() + 2, nal.data() + offset, n);
      packet(fragment.data(), n + 2, end, timestamp);
    }
    if (f % (25 * 25) == 24) out += "RTSP/1.0 200 OK\r\nCSeq: 9\r\nSession: 1\r\n\r\n";
  }
  return capture;
}

const char* const kNames[] = {"golden_h264", "golden_h265", "golden_h264_aac",
                              "synthetic_1080p_60s"};

const Capture& Get(int64_t index) {
  static Capture captures[4] = {Load(kNames[0]), Load(kNames[1]), Load(kNames[2]),
                                Synthetic1080p(60)};
  return captures[index];
}

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

// One untimed pass that counts the bytes the client's path writes per RTP
// payload byte: the receive into the reader's queue (the copy out of the
// socket), the appends to the pending unit, the moves of pending when it grows,
// and the copy into the emitted unit. The emitted vector's own storage is
// checked to move to the receiver (its data pointer is compared).
size_t g_copiedBytes = 0;
const uint8_t* g_emittedData = nullptr;
bool g_unitMoved = true;

double CopiesPerPayloadByte(const Capture& capture, const std::vector<FrameRef>& frames) {
  const auto* data = reinterpret_cast<const uint8_t*>(capture.bytes.data());
  size_t payloadBytes = 0;
  size_t copied = capture.bytes.size();  // the socket receive into the queue
  MediaState media;
  ResetMediaState(media, capture.sdp, capture.sdp.hasAudio);
  g_copiedBytes = 0;
  const AccessUnitCallback count = [](std::vector<uint8_t>&& unit, int64_t) {
    g_copiedBytes += unit.size();
    const uint8_t* before = unit.data();
    std::vector<uint8_t> taken = std::move(unit);
    g_unitMoved = g_unitMoved && taken.data() == before;
  };
  for (const FrameRef& frame : frames) {
    RtpPacket packet;
    if ((frame.channel == 0 || frame.channel == 2) &&
        ParseRtpPacket(data + frame.offset, frame.length, packet)) {
      payloadBytes += packet.payloadSize;
    }
    const size_t sizeBefore = media.pending.size();
    const size_t capacityBefore = media.pending.capacity();
    const size_t emittedBefore = g_copiedBytes;
    HandleInterleavedFrame(media, frame.channel, data + frame.offset, frame.length, count,
                           kTakeAudio);
    if (media.pending.capacity() != capacityBefore) copied += sizeBefore;  // regrowth move
    if (g_copiedBytes != emittedBefore) {
      copied += g_copiedBytes - emittedBefore;               // emission copy
      copied += g_copiedBytes - emittedBefore - sizeBefore;  // appended by the marked packet
    } else if (media.pending.size() > sizeBefore) {
      copied += media.pending.size() - sizeBefore;
    }
  }
  if (!g_unitMoved) return -1;
  return payloadBytes ? static_cast<double>(copied) / static_cast<double>(payloadBytes) : 0;
}

// Frames straight from memory into HandleInterleavedFrame.
void BM_Depacketize(benchmark::State& state) {
  const Capture& capture = Get(state.range(0));
  state.SetLabel(kNames[state.range(0)]);
  const std::vector<FrameRef> frames = IndexFrames(capture.bytes);
  const auto* data = reinterpret_cast<const uint8_t*>(capture.bytes.data());
  MediaState media;
  unitsTaken = 0;
  const uint64_t allocationsBefore = g_allocations.load();
  for (auto _ : state) {
    ResetMediaState(media, capture.sdp, capture.sdp.hasAudio);
    for (const FrameRef& frame : frames) {
      HandleInterleavedFrame(media, frame.channel, data + frame.offset, frame.length, kTakeUnit,
                             kTakeAudio);
    }
  }
  const double allocations = static_cast<double>(g_allocations.load() - allocationsBefore);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * capture.bytes.size()));
  state.counters["frames"] = static_cast<double>(frames.size());
  state.counters["units"] =
      static_cast<double>(unitsTaken) / static_cast<double>(state.iterations());
  state.counters["allocs_per_unit"] =
      unitsTaken ? allocations / static_cast<double>(unitsTaken) : 0;
  state.counters["copies_per_byte"] = CopiesPerPayloadByte(capture, frames);
}

// The client's streaming loop: reader receives, in-place frame views, skipping.
void BM_ReaderAndDepacketize(benchmark::State& state) {
  const Capture& capture = Get(state.range(0));
  state.SetLabel(kNames[state.range(0)]);
  MediaState media;
  unitsTaken = 0;
  const uint64_t allocationsBefore = g_allocations.load();
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
  const double allocations = static_cast<double>(g_allocations.load() - allocationsBefore);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * capture.bytes.size()));
  state.counters["allocs_per_unit"] =
      unitsTaken ? allocations / static_cast<double>(unitsTaken) : 0;
}

void BM_Memcpy(benchmark::State& state) {
  const Capture& capture = Get(state.range(0));
  state.SetLabel(kNames[state.range(0)]);
  std::vector<char> target(capture.bytes.size());
  for (auto _ : state) {
    std::memcpy(target.data(), capture.bytes.data(), capture.bytes.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * capture.bytes.size()));
}

}  // namespace

BENCHMARK(BM_Depacketize)->DenseRange(0, 3);
BENCHMARK(BM_ReaderAndDepacketize)->DenseRange(0, 3);
BENCHMARK(BM_Memcpy)->DenseRange(0, 3);
BENCHMARK_MAIN();
