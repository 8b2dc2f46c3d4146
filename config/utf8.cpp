#include "config/utf8.h"

namespace {

bool IsHighSurrogate(uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void AppendUnit(std::string& out, uint32_t unit) {
  if (unit != 0) AppendUtf8(out, unit);
}

}  // namespace

void AppendUtf8(std::string& out, uint32_t codePoint) {
  if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) codePoint = 0xFFFD;
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

void AppendUtf16Units(std::string& out, uint16_t first, int32_t second) {
  if (second >= 0 && IsHighSurrogate(first) && IsLowSurrogate(static_cast<uint32_t>(second))) {
    AppendUtf8(out,
               0x10000 + ((first - 0xD800u) << 10) + (static_cast<uint32_t>(second) - 0xDC00u));
    return;
  }
  AppendUnit(out, first);  // a lone surrogate turns into U+FFFD here
  if (second >= 0) AppendUnit(out, static_cast<uint32_t>(second) & 0xFFFF);
}
