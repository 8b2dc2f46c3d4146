// Stream address conversion over arbitrary text: an address that is not in the
// rtsps:// form comes back only trimmed; one that is comes back as rtsp:// with
// no query, never longer than it went in.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "console/stream_url.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view url(reinterpret_cast<const char*>(data), size);
  const std::string plain = ToPlainRtspUrl(url);
  const std::string_view trimmed = Trimmed(url);
  Check(plain.size() <= trimmed.size());
  if (trimmed.substr(0, 8) != "rtsps://") {
    Check(plain == trimmed);
    return 0;
  }
  Check(plain.substr(0, 7) == "rtsp://");
  Check(plain.find('?') == std::string::npos);
  Check(plain.find(":7441/") == std::string::npos ||
        trimmed.find(":7441/") != trimmed.rfind(":7441/"));
  // A converted address is already plain: a second pass leaves it unchanged
  // apart from trimming what the query cut exposed.
  Check(ToPlainRtspUrl(plain) == Trimmed(plain));
  return 0;
}
