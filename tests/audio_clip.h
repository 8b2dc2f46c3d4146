// Reading the committed AAC test clips (ADTS files made with ffmpeg, see
// tests/data/audio/README.md) into raw frames.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct AacClip {
  std::vector<std::vector<uint8_t>> frames;     // raw AAC frames
  std::vector<std::array<uint8_t, 7>> headers;  // their ADTS headers as written
};

inline AacClip LoadAdtsClip(const std::string& name) {
  AacClip clip;
  std::ifstream in(std::string(TAVIK_SOURCE_DIR) + "/tests/data/audio/" + name, std::ios::binary);
  const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  size_t pos = 0;
  while (pos + 7 <= b.size() && b[pos] == 0xFF && (b[pos + 1] & 0xF0) == 0xF0) {
    const size_t length =
        ((b[pos + 3] & 0x03u) << 11) | (size_t{b[pos + 4]} << 3) | (b[pos + 5] >> 5);
    const size_t header = (b[pos + 1] & 0x01) ? 7 : 9;
    if (length <= header || pos + length > b.size()) break;
    std::array<uint8_t, 7> h;
    for (size_t i = 0; i < 7; ++i) h[i] = b[pos + i];
    clip.headers.push_back(h);
    clip.frames.emplace_back(b.begin() + static_cast<long>(pos + header),
                             b.begin() + static_cast<long>(pos + length));
    pos += length;
  }
  return clip;
}
