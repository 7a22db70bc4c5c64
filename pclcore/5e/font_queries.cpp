// Placeholder: the engine's font queries and resident font selection.
#include "pclcore/5e/device_fonts.h"

namespace kv5e {

const BYTE* DeviceFontResource(const PclPdev*, int) { return nullptr; }
const IFIMETRICS* DeviceFontMetrics(const PclPdev*, int) { return nullptr; }
std::uint16_t DeviceFontWidth(const BYTE*, BYTE) { return 0; }
std::int64_t IntegerHypot(std::int64_t, std::int64_t) { return 0; }
int PointSizeHundredths(int, int) { return 0; }
int FormatHundredths(int, char* text) { text[0] = 0; return 0; }
int FindDeviceFont(PclPdev*, FONTOBJ*) { return 0; }
BOOL SelectDeviceFont(PclPdev*, int, int, FONTOBJ*) { return FALSE; }
IFIMETRICS* DrvQueryFont(DHPDEV, ULONG_PTR, ULONG, ULONG_PTR*) { return nullptr; }
PVOID DrvQueryFontTree(DHPDEV, ULONG_PTR, ULONG, ULONG, ULONG_PTR*) { return nullptr; }
LONG DrvQueryFontData(DHPDEV, FONTOBJ*, ULONG, HGLYPH, GLYPHDATA*, PVOID, ULONG) {
  return static_cast<LONG>(FD_ERROR);
}
BOOL DrvQueryAdvanceWidths(DHPDEV, FONTOBJ*, ULONG, HGLYPH*, PVOID, ULONG) { return FALSE; }
ULONG DrvGetGlyphMode(DHPDEV, FONTOBJ*) { return FO_GLYPHBITS; }

}  // namespace kv5e
