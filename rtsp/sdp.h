#pragma once
// The few facts the client takes from a DESCRIBE body: video codec, control
// values, Annex-B parameter sets, and the AAC track description.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rtsp/base64.h"

struct SdpInfo {
  int32_t codec = 0;                         // 0 = no supported video, 1 = H.264, 2 = H.265
  std::string videoControl;                  // last "a=control:" value of a video section
  std::vector<uint8_t> parameterSets;        // each set preceded by 00 00 00 01, in order met
  bool hasAudio = false;                     // an audio section announced mpeg4-generic
  std::string audioControl;                  // last "a=control:" value of the AAC section
  int32_t audioClockRate = 0;                // Hz, from the AAC rtpmap line
  int32_t audioChannels = 0;                 // from the AAC rtpmap line, 1 when absent
  std::vector<uint8_t> audioSpecificConfig;  // from the hexadecimal "config=" parameter
};

// Fills `info` (which the caller starts empty). Never fails on malformed input;
// returns true exactly when a H.264 or H.265 video track was found (codec != 0).
bool ParseSdp(std::string_view text, SdpInfo& info);
