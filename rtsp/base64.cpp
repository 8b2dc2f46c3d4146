#include "rtsp/base64.h"

#include <array>

namespace {

constexpr uint8_t kSkip = 0xFF;

constexpr std::array<uint8_t, 256> MakeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kSkip;
  for (int i = 0; i < 26; ++i) {
    table['A' + i] = static_cast<uint8_t>(i);
    table['a' + i] = static_cast<uint8_t>(26 + i);
  }
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<uint8_t>(52 + i);
  table['+'] = 62;
  table['/'] = 63;
  return table;
}

constexpr std::array<uint8_t, 256> kTable = MakeTable();

}  // namespace

std::vector<uint8_t> DecodeBase64(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 3 / 4);
  uint32_t accumulator = 0;
  int bits = 0;
  for (char c : text) {
    const uint8_t value = kTable[static_cast<uint8_t>(c)];
    if (value == kSkip) continue;
    accumulator = (accumulator << 6) | value;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>((accumulator >> bits) & 0xFF));
    }
  }
  return out;
}
