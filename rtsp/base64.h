#pragma once
// Base64 decoding of the parameter sets carried in SDP fmtp lines.
#include <cstdint>
#include <string_view>
#include <vector>

// Decodes the standard alphabet (A-Z a-z 0-9 + /). Every other byte ('=' padding,
// white space, commas) is skipped; leftover bits shorter than a byte are dropped.
std::vector<uint8_t> DecodeBase64(std::string_view text);
