// The printer's resident fonts as the library carries them: a metrics
// resource (type 258), a PCL selection string and a typeface name each; the
// engine's font queries answered from them; matching a font by name and
// style, and selecting a resident font at a size.
#pragma once

#include <cstdint>

#include "kvplat/engine_fonts.h"
#include "pclcore/5e/pcl_device.h"

namespace kv5e {

inline constexpr int kFontMetricsType = 258;
inline constexpr std::size_t kFontNameSlot = 64;

// Layout of a metrics resource (little-endian): header, then 256 advance
// widths in design units, then the font name and the IFIMETRICS block with
// its strings at the offsets the header gives.
inline constexpr std::size_t kFontOffTotalSize = 4;
inline constexpr std::size_t kFontOffName = 8;
inline constexpr std::size_t kFontOffMetrics = 12;
inline constexpr std::size_t kFontOffKernCount = 16;
inline constexpr std::size_t kFontOffKernPairs = 20;
inline constexpr std::size_t kFontOffWidths = 80;
inline constexpr std::size_t kFontWidthsEnd = kFontOffWidths + 2 * 256;

// True when a metrics resource of `size` bytes holds together: every offset
// and string it names lies inside it and the IFIMETRICS block is aligned.
bool IsSoundFontResource(const BYTE* resource, std::size_t size);

// Fills the device font table of a new instance; FALSE when a resource or a
// name is missing or memory runs out.
BOOL LoadDeviceFonts(PclPdev* pdev);
void FreeDeviceFonts(PclPdev* pdev);

// The metrics resource of device font `index` (1-based) and its parts; null
// for an index outside the table.
const BYTE* DeviceFontResource(const PclPdev* pdev, int index);
const IFIMETRICS* DeviceFontMetrics(const PclPdev* pdev, int index);
// Advance width of an 8-bit code in the font's design units.
std::uint16_t DeviceFontWidth(const BYTE* resource, BYTE code);

// Length of the vector (a, b) by the driver's integer hypotenuse.
std::int64_t IntegerHypot(std::int64_t a, std::int64_t b);
// 28.4 rounding: (v + 8) with the low four bits cleared.
constexpr std::int64_t Round28_4(std::int64_t v) { return (v + 8) & ~std::int64_t{15}; }

// Height in pixels to hundredths of a point, rounded to the printer's steps
// (quarter points at 600 dpi).
int PointSizeHundredths(int heightPixels, int dpi);
// "12.00", "6.25": whole units, ".", two digits. Returns the length written
// (the buffer holds at least 16 bytes).
int FormatHundredths(int hundredths, char* text);

// The first device font (1..n) matching the font's face name and simulated
// style, or 0.
int FindDeviceFont(PclPdev* pdev, FONTOBJ* font);
// Writes the selection string of device font `index` at `heightPixels`
// unless that is the selection in force. FALSE when the string cannot be read.
BOOL SelectDeviceFont(PclPdev* pdev, int index, int heightPixels, FONTOBJ* font);

// ---- the engine's font queries
IFIMETRICS* DrvQueryFont(DHPDEV dhpdev, ULONG_PTR iFile, ULONG iFace, ULONG_PTR* pid);
PVOID DrvQueryFontTree(DHPDEV dhpdev, ULONG_PTR iFile, ULONG iFace, ULONG iMode, ULONG_PTR* pid);
LONG DrvQueryFontData(DHPDEV dhpdev, FONTOBJ* pfo, ULONG iMode, HGLYPH hg, GLYPHDATA* pgd,
                      PVOID pv, ULONG cjSize);
BOOL DrvQueryAdvanceWidths(DHPDEV dhpdev, FONTOBJ* pfo, ULONG iMode, HGLYPH* phg, PVOID pvWidths,
                           ULONG cGlyphs);
ULONG DrvGetGlyphMode(DHPDEV dhpdev, FONTOBJ* pfo);

}  // namespace kv5e
