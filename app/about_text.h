#pragma once
#include <string>

// The four lines of Help > About, UTF-8.
std::string AboutText();
