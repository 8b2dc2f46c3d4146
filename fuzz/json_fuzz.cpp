// Whatever the parser accepts, its serialized form parses again, and after one
// round the text no longer changes (the first round may drop NUL bytes from
// strings and round numbers to six digits), in both number formats.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/json.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void RoundTrip(const JsonValue& value, JsonNumbers numbers) {
  const std::string first = SerializeJson(value, numbers);
  JsonValue again;
  Check(ParseJson(first, again));
  const std::string second = SerializeJson(again, numbers);
  JsonValue third;
  Check(ParseJson(second, third));
  Check(SerializeJson(third, numbers) == second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  JsonValue value;
  if (!ParseJson(text, value)) return 0;
  RoundTrip(value, JsonNumbers::Short);
  RoundTrip(value, JsonNumbers::Exact);
  return 0;
}
