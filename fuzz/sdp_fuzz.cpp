// libFuzzer target: SDP text into ParseSdp.
#include <cstdlib>
#include <string_view>

#include "rtsp/sdp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  SdpInfo info;
  const bool found = ParseSdp(text, info);
  if (found != (info.codec != 0)) std::abort();
  const auto& sets = info.parameterSets;
  if (!sets.empty() &&
      (sets.size() < 5 || sets[0] != 0 || sets[1] != 0 || sets[2] != 0 || sets[3] != 1)) {
    std::abort();
  }
  if (DecodeBase64(text).size() > size) std::abort();
  return 0;
}
