// Strings of the library's own string table, read from its resource module.
#pragma once

#include <cstdint>

#include "kvplat/wintypes.h"

namespace kv5e {

// Ids of the strings the driver core reads.
inline constexpr unsigned kStrFontCount = 259;
inline constexpr unsigned kStrAllFonts = 260;
inline constexpr unsigned kStrExtraFontCount = 261;
inline constexpr unsigned kStrStoreNamePattern = 802;
inline constexpr unsigned kStrSpareNamePattern = 803;
inline constexpr unsigned kStrRequiredFolder = 886;
inline constexpr unsigned kStrFontSelectionBase = 1000;  // + font number
inline constexpr unsigned kStrFontNameBase = 2000;       // + font number

// Copies string `id` into buffer (capacity characters, NUL-terminated, cut to
// fit) and returns its full length, or -1 when the string is missing.
int LoadDriverString(HANDLE module, unsigned id, WCHAR* buffer, int capacity);
// The decimal value of a string's leading digits (0 when none); -1 when missing.
int LoadDriverNumber(HANDLE module, unsigned id);

}  // namespace kv5e
