// Windows code page 1252, the default code page of the engine.
#pragma once

#include <cstdint>

namespace kvplat {

char16_t Cp1252ToUnicode(std::uint8_t code);
// '?' for characters the code page lacks.
std::uint8_t UnicodeToCp1252(char16_t ch);

}  // namespace kvplat
