#pragma once
// A ByteStream that hands out prepared bytes in chosen pieces and records what
// is sent, for the RTSP reader and depacketizer tests.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "rtsp/byte_stream.h"

struct ScriptedStream : ByteStream {
  std::vector<std::string> pieces;  // what each receive returns, in order
  size_t next = 0;
  size_t offset = 0;             // into pieces[next], when capacity cut it
  size_t maxSend = SIZE_MAX;     // a send takes at most this many bytes
  long long failSendAfter = -1;  // sends allowed before every send fails (-1: never)
  std::string sent;

  long long Receive(uint8_t* buffer, size_t capacity) override {
    while (next < pieces.size() && offset == pieces[next].size()) {
      ++next;
      offset = 0;
    }
    if (next >= pieces.size()) return 0;
    const size_t n = std::min(capacity, pieces[next].size() - offset);
    std::memcpy(buffer, pieces[next].data() + offset, n);
    offset += n;
    return static_cast<long long>(n);
  }

  long long Send(const uint8_t* data, size_t size) override {
    if (failSendAfter == 0) return -1;
    if (failSendAfter > 0) --failSendAfter;
    const size_t n = std::min(size, maxSend);
    sent.append(reinterpret_cast<const char*>(data), n);
    return static_cast<long long>(n);
  }
};

// Ways of cutting one byte text into receives: whole, every byte, fixed sizes
// and seeded random sizes. Every one must give the same reads.
inline std::vector<std::vector<std::string>> Chunkings(std::string_view bytes) {
  std::vector<std::vector<std::string>> out;
  out.push_back({std::string(bytes)});
  for (size_t step : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1000}}) {
    std::vector<std::string> pieces;
    for (size_t i = 0; i < bytes.size(); i += step) pieces.emplace_back(bytes.substr(i, step));
    out.push_back(pieces);
  }
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 random(seed);
    std::vector<std::string> pieces;
    for (size_t i = 0; i < bytes.size();) {
      const size_t n = 1 + random() % (seed * 40);
      pieces.emplace_back(bytes.substr(i, n));
      i += n;
    }
    out.push_back(pieces);
  }
  return out;
}
