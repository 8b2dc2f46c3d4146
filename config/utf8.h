#pragma once
// UTF-8 output of code points and UTF-16 code units, without the platform.
#include <cstdint>
#include <string>

// Appends the UTF-8 form of a code point; surrogates and values above U+10FFFF
// become U+FFFD (EF BF BD).
void AppendUtf8(std::string& out, uint32_t codePoint);
// Appends one or two UTF-16 code units (pass second = -1 for none) as UTF-8, as the
// system's UTF-16 to UTF-8 conversion does: a high surrogate followed by a low one
// makes one code point, every unpaired surrogate becomes U+FFFD. A code unit of 0
// contributes nothing.
void AppendUtf16Units(std::string& out, uint16_t first, int32_t second);
