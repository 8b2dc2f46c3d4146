#pragma once
// Number text that reads and writes the same on every C runtime: the C library's
// strtod grammar (classic locale) and "%g", built on std::from_chars/to_chars.
#include <cstddef>
#include <string>
#include <string_view>

// Reads a number at the start of `text` the way strtod does: leading white space,
// an optional sign, then a decimal form (digits with an optional '.' and exponent;
// a leading '.' is fine), a hexadecimal form ("0x1.8p3"), "inf", "infinity" or
// "nan" with an optional "(chars)" (letters case-insensitive). Overflow gives an
// infinity, underflow zero. Returns how many characters were consumed; 0 means no
// number (and `out` is unchanged).
size_t ReadNumberText(std::string_view text, double& out);

// "%g": six significant digits, exponent form when "%g" chooses it; "nan", "inf".
std::string FormatNumberShort(double value);
// The shortest text that reads back as exactly the same double.
std::string FormatNumberExact(double value);
// If `value` is integral and fits a signed 64-bit integer, sets `out` to it.
bool NumberToInt64(double value, long long& out);
