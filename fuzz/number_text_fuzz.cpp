// The number reader and the "%g" writer against the C library they stand in for
// (glibc, classic locale): same characters consumed, same value, same text.
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/number_text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool SameDouble(double a, double b) {
  if (std::isnan(a) || std::isnan(b))
    return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated for strtod

  double ours = 0.0;
  const size_t used = ReadNumberText(text, ours);
  char* end = nullptr;
  const double theirs = std::strtod(text.c_str(), &end);
  const size_t theirsUsed = static_cast<size_t>(end - text.c_str());
  if (theirsUsed <= text.size() && std::memchr(text.data(), '\0', theirsUsed) == nullptr) {
    Check(used == theirsUsed);
    if (used > 0) Check(SameDouble(ours, theirs));
  }

  if (size >= sizeof(double)) {
    double value;
    std::memcpy(&value, data, sizeof value);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    Check(FormatNumberShort(value) == buffer);
    const std::string exact = FormatNumberExact(value);
    double back = 0.0;
    Check(ReadNumberText(exact, back) == exact.size());
    Check(std::isnan(value) ? std::isnan(back) : SameDouble(back, value));
  }
  return 0;
}
