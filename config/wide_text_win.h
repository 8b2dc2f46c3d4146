#pragma once
// UTF-8 (inside the program) <-> UTF-16 (at every Windows call), converted with
// the system's UTF-8 code page. Invalid input becomes U+FFFD as the system does.
#include <string>
#include <string_view>

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);
