#include "config/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// White space of the C locale's isspace.
bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool StartsWithNoCase(std::string_view text, size_t pos, std::string_view word) {
  if (text.size() - pos < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (Lower(text[pos + i]) != word[i]) return false;
  }
  return true;
}

// Length of a mantissa (digits with at most one '.', at least one digit) at `pos`.
size_t MantissaLength(std::string_view text, size_t pos, bool hex) {
  size_t i = pos;
  size_t digits = 0;
  auto digit = [hex](char c) { return hex ? IsHexDigit(c) : IsDigit(c); };
  while (i < text.size() && digit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && digit(text[i])) ++i, ++digits;
  }
  return digits == 0 ? 0 : i - pos;
}

// Length of an exponent ("e-12", "p+3") at `pos`, 0 when there is none.
size_t ExponentLength(std::string_view text, size_t pos, char marker) {
  if (pos >= text.size() || Lower(text[pos]) != marker) return 0;
  size_t i = pos + 1;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i >= text.size() || !IsDigit(text[i])) return 0;
  while (i < text.size() && IsDigit(text[i])) ++i;
  return i - pos;
}

// Whether an out-of-range conversion overflowed (true) or underflowed (false):
// the power of the first nonzero digit, in bits (hex, 4 per digit) or decimal
// digits (1 per digit), plus the exponent, is positive for an overflow.
bool Overflowed(std::string_view mantissa, std::string_view exponent, long long digitScale) {
  const size_t point = mantissa.find('.');
  const long long intDigits =
      static_cast<long long>(point == std::string_view::npos ? mantissa.size() : point);
  long long index = 0;  // index of the first nonzero digit among all digits
  for (char c : mantissa) {
    if (c == '.') continue;
    if (c != '0') break;
    ++index;
  }
  long long exp = 0;
  bool negative = false;
  for (char c : exponent) {
    if (c == '-') negative = true;
    if (IsDigit(c) && exp < 1000000000) exp = exp * 10 + (c - '0');
  }
  return (intDigits - 1 - index) * digitScale + (negative ? -exp : exp) > 0;
}

}  // namespace

size_t ReadNumberText(std::string_view text, double& out) {
  size_t pos = 0;
  while (pos < text.size() && IsCSpace(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  const double sign = negative ? -1.0 : 1.0;

  if (StartsWithNoCase(text, pos, "inf")) {
    const size_t length = StartsWithNoCase(text, pos, "infinity") ? 8 : 3;
    out = sign * std::numeric_limits<double>::infinity();
    return pos + length;
  }
  if (StartsWithNoCase(text, pos, "nan")) {
    size_t end = pos + 3;
    if (end < text.size() && text[end] == '(') {
      size_t i = end + 1;
      while (i < text.size() &&
             (IsDigit(text[i]) || (Lower(text[i]) >= 'a' && Lower(text[i]) <= 'z') ||
              text[i] == '_')) {
        ++i;
      }
      if (i < text.size() && text[i] == ')') end = i + 1;
    }
    out = std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
    return end;
  }

  // Hexadecimal: "0x" followed by a hex mantissa; otherwise "0x" reads as 0.
  if (pos + 2 < text.size() && text[pos] == '0' && Lower(text[pos + 1]) == 'x') {
    const size_t start = pos + 2;
    const size_t mantissa = MantissaLength(text, start, true);
    if (mantissa > 0) {
      const size_t exponent = ExponentLength(text, start + mantissa, 'p');
      const std::string_view body = text.substr(start, mantissa + exponent);
      double value = 0.0;
      const auto result =
          std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::hex);
      if (result.ec == std::errc::result_out_of_range) {
        const bool over = Overflowed(body.substr(0, mantissa), body.substr(mantissa), 4);
        value = over ? std::numeric_limits<double>::infinity() : 0.0;
      } else if (result.ec != std::errc() || result.ptr != body.data() + body.size()) {
        return 0;
      }
      out = sign * value;
      return start + mantissa + exponent;
    }
  }

  const size_t mantissa = MantissaLength(text, pos, false);
  if (mantissa == 0) return 0;
  const size_t exponent = ExponentLength(text, pos + mantissa, 'e');
  const std::string_view body = text.substr(pos, mantissa + exponent);
  double value = 0.0;
  const auto result =
      std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    const bool over = Overflowed(body.substr(0, mantissa), body.substr(mantissa), 1);
    value = over ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (result.ec != std::errc() || result.ptr != body.data() + body.size()) {
    return 0;
  }
  out = sign * value;
  return pos + mantissa + exponent;
}

std::string FormatNumberShort(double value) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
  return std::string(buffer, result.ptr);
}

std::string FormatNumberExact(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

bool NumberToInt64(double value, long long& out) {
  // Range check first: converting a double outside the range of the integer is undefined.
  if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) return false;
  const long long truncated = static_cast<long long>(value);
  if (static_cast<double>(truncated) != value) return false;
  out = truncated;
  return true;
}
