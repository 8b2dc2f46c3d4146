#include "console/stream_url.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::string ToPlainRtspUrl(std::string_view url) {
  while (!url.empty() && IsBlank(url.back())) url.remove_suffix(1);
  while (!url.empty() && IsBlank(url.front())) url.remove_prefix(1);
  constexpr std::string_view kSecure = "rtsps://";
  if (url.size() < kSecure.size() || url.substr(0, kSecure.size()) != kSecure)
    return std::string(url);

  std::string out = "rtsp://";
  out += url.substr(kSecure.size());
  const size_t query = out.find('?');
  if (query != std::string::npos) out.erase(query);
  const size_t port = out.find(":7441/");
  if (port != std::string::npos) out.replace(port, 6, ":7447/");
  return out;
}
