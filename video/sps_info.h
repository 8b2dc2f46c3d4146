// Reading the picture size and cropping window from an H.264 or H.265
// sequence parameter set. Bounded: every read is checked against the NAL
// unit's end, so hostile input yields "not valid", never a read past the end.
#pragma once

#include <cstddef>
#include <cstdint>

struct VisibleArea {
  uint32_t x = 0, y = 0, width = 0, height = 0;
};

struct SpsInfo {
  bool valid = false;
  uint32_t codedWidth = 0;  // decoded picture size, before cropping
  uint32_t codedHeight = 0;
  VisibleArea visible;  // the cropping window inside it
};

// nal: one NAL unit without start code, header byte(s) included.
bool ParseH264Sps(const uint8_t* nal, size_t size, SpsInfo* out);
bool ParseH265Sps(const uint8_t* nal, size_t size, SpsInfo* out);

// Scans an Annex-B access unit, up to its first slice, for a sequence
// parameter set of the codec (2 = H.265, else H.264) and parses the last
// valid one. False when none.
bool FindSpsInAccessUnit(const uint8_t* data, size_t size, int codec, SpsInfo* out);

// The area to show of a decoded picture of frameWidth x frameHeight: the
// decoder's display aperture when it gave one that fits, else the SPS
// cropping when the SPS describes a picture of exactly this frame size,
// else the whole frame.
VisibleArea ChooseVisibleArea(uint32_t frameWidth, uint32_t frameHeight,
                              const VisibleArea* aperture, const SpsInfo& sps);
