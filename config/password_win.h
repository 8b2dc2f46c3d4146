#pragma once
// The console password, protected for the current Windows user and kept as
// Base64 text. Every failure gives an empty string.
#include <string>
#include <string_view>

std::string ProtectPassword(std::string_view password);
std::string UnprotectPassword(std::string_view stored);
// Standard Base64 (padding, no line breaks) through crypt32.
std::string Base64Encode(std::string_view bytes);
std::string Base64Decode(std::string_view text);
