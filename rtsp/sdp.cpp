#include "rtsp/sdp.h"

#include <cctype>
#include <cstdlib>

namespace {

enum class Section { kNone, kVideo, kAudio };

bool StartsWith(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() && line.compare(0, prefix.size(), prefix) == 0;
}

bool Contains(std::string_view line, std::string_view text) {
  return line.find(text) != std::string_view::npos;
}

bool ContainsIgnoringCase(std::string_view line, std::string_view text) {
  if (text.size() > line.size()) return false;
  for (size_t i = 0; i + text.size() <= line.size(); ++i) {
    size_t k = 0;
    while (k < text.size() && std::tolower(static_cast<unsigned char>(line[i + k])) ==
                                  std::tolower(static_cast<unsigned char>(text[k]))) {
      ++k;
    }
    if (k == text.size()) return true;
  }
  return false;
}

// The value after the first occurrence of `key`, up to ';', ' ' or the end.
bool ParameterValue(std::string_view line, std::string_view key, std::string_view& value) {
  const size_t at = line.find(key);
  if (at == std::string_view::npos) return false;
  const size_t start = at + key.size();
  size_t end = line.find_first_of("; ", start);
  if (end == std::string_view::npos) end = line.size();
  value = line.substr(start, end - start);
  return true;
}

// Decimal integer with optional sign and leading digits, 0 without digits;
// saturates instead of overflowing.
int32_t ParseInt(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) value = int64_t{INT32_MAX} + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendParameterSet(std::string_view base64, std::vector<uint8_t>& out) {
  const std::vector<uint8_t> set = DecodeBase64(base64);
  if (set.empty()) return;
  static const uint8_t kStartCode[4] = {0, 0, 0, 1};
  out.insert(out.end(), kStartCode, kStartCode + 4);
  out.insert(out.end(), set.begin(), set.end());
}

void VideoLine(std::string_view line, SdpInfo& info) {
  if (StartsWith(line, "a=rtpmap:")) {
    if (Contains(line, "H265") || Contains(line, "h265")) {
      info.codec = 2;
    } else if (Contains(line, "H264") || Contains(line, "h264")) {
      info.codec = 1;
    }
  } else if (StartsWith(line, "a=control:")) {
    info.videoControl.assign(line.substr(10));
  } else if (StartsWith(line, "a=fmtp:")) {
    std::string_view value;
    for (std::string_view key : {"sprop-vps=", "sprop-sps=", "sprop-pps="}) {
      if (ParameterValue(line, key, value)) AppendParameterSet(value, info.parameterSets);
    }
    if (ParameterValue(line, "sprop-parameter-sets=", value)) {
      while (true) {
        const size_t comma = value.find(',');
        AppendParameterSet(value.substr(0, comma), info.parameterSets);
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
      }
    }
  }
}

void AudioLine(std::string_view line, SdpInfo& info, bool& audioIsAac) {
  if (StartsWith(line, "a=rtpmap:")) {
    // Servers write the encoding name in either case (GStreamer: MPEG4-GENERIC);
    // encoding names are case-insensitive (RFC 4566).
    audioIsAac = line.size() >= 13 && ContainsIgnoringCase(line, "mpeg4-generic");
    if (!audioIsAac) return;
    info.hasAudio = true;
    const size_t slash = line.find('/');
    if (slash == std::string_view::npos) return;
    info.audioClockRate = ParseInt(line.substr(slash + 1));
    const size_t second = line.find('/', slash + 1);
    info.audioChannels = second == std::string_view::npos ? 1 : ParseInt(line.substr(second + 1));
  } else if (!audioIsAac) {
    return;
  } else if (StartsWith(line, "a=control:")) {
    info.audioControl.assign(line.substr(10));
  } else if (StartsWith(line, "a=fmtp:")) {
    std::string_view value;
    if (!ParameterValue(line, "config=", value)) return;
    for (size_t i = 0; i + 1 < value.size(); i += 2) {
      const int high = HexDigit(value[i]);
      const int low = HexDigit(value[i + 1]);
      if (high >= 0 && low >= 0)
        info.audioSpecificConfig.push_back(static_cast<uint8_t>(high * 16 + low));
    }
  }
}

}  // namespace

bool ParseSdp(std::string_view text, SdpInfo& info) {
  Section section = Section::kNone;
  bool audioIsAac = false;
  while (true) {
    const size_t feed = text.find('\n');
    std::string_view line = text.substr(0, feed);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (StartsWith(line, "m=")) {
      if (StartsWith(line, "m=video")) {
        section = Section::kVideo;
      } else if (StartsWith(line, "m=audio")) {
        section = Section::kAudio;
        audioIsAac = false;
      } else {
        section = Section::kNone;
      }
    } else if (section == Section::kVideo) {
      VideoLine(line, info);
    } else if (section == Section::kAudio) {
      AudioLine(line, info, audioIsAac);
    }

    if (feed == std::string_view::npos) break;
    text.remove_prefix(feed + 1);
  }
  return info.codec != 0;
}
