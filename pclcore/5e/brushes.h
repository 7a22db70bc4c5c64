// Brushes on a monochrome printer: solid colours become one of 256 gray
// levels drawn with 16 x 16 user-defined patterns, hatches and pattern
// brushes are dithered to one bit per pixel and downloaded as PCL patterns.
// A brush becomes either HP-GL/2 state (pen screen "SV" or fill type "FT"
// with the anchor corner "AC") or the PCL current pattern.
#pragma once

#include <cstdint>
#include <span>

#include "kvplat/engine_objects.h"
#include "pclcore/5e/pcl_device.h"

namespace kv5e {

// Pixel formats of a realized brush.
inline constexpr std::uint32_t kBrushFormatNone = 0;  // a source format we do not read
inline constexpr std::uint32_t kBrushFormat1 = 1;
inline constexpr std::uint32_t kBrushFormat4 = 2;
inline constexpr std::uint32_t kBrushFormat8 = 3;
inline constexpr std::uint32_t kBrushFormat24 = 5;  // R, G, B bytes per pixel

// Set in RealizedBrush::flags (above the surface's 16-bit fjBitmap) when the
// palette holds one gray byte per entry instead of four-byte colours.
inline constexpr std::uint32_t kBrushGrayPalette = 0x10000;

// Identifier of a hatch brush's pattern: 100 + hatch style.
inline constexpr std::int32_t kHatchPatternBase = 100;
// Identifier of gray pattern k: k + 256.
inline constexpr std::int32_t kGrayPatternBase = 256;

// The largest realization we make; anything bigger is refused.
inline constexpr std::uint32_t kMaxRealizedBrushBytes = 64u << 20;

// The realization kept with an engine brush (engine memory, freed with the
// brush). Pixel rows follow the header without gaps between rows; the palette
// lies at paletteOffset bytes from the start of the record.
struct RealizedBrush {
  std::int32_t width;
  std::int32_t height;
  std::uint32_t format;
  std::uint32_t flags;
  std::uint32_t paletteCount;
  std::uint32_t paletteOffset;
  std::int32_t patternId;
  // pixel rows, then the palette
};
static_assert(sizeof(RealizedBrush) == 28);

// Bytes in one pixel row of a realized brush.
std::uint32_t BrushRowBytes(const RealizedBrush& brush);
inline const BYTE* BrushPixels(const RealizedBrush* brush) {
  return reinterpret_cast<const BYTE*>(brush + 1);
}

// (3 R + 6 G + B) / 10 of a 0x00BBGGRR colour: 0 black, 255 white.
constexpr int GrayLevel(std::uint32_t color) {
  const int r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
  return (3 * r + 6 * g + b) / 10;
}

// The 16 x 16 threshold matrix; a pixel of gray g is black when g < value.
inline constexpr std::uint8_t kThresholdMatrix[16][16] = {
    {242, 219, 124, 68, 12, 20, 100, 227, 240, 221, 126, 70, 14, 22, 102, 229},
    {194, 186, 131, 76, 84, 92, 139, 200, 192, 184, 133, 78, 86, 94, 141, 202},
    {43, 35, 146, 163, 171, 179, 152, 49, 41, 33, 144, 165, 173, 181, 154, 51},
    {3, 27, 107, 234, 251, 208, 113, 57, 1, 25, 105, 232, 253, 210, 115, 59},
    {11, 19, 99, 226, 246, 216, 121, 65, 9, 17, 97, 224, 247, 218, 123, 67},
    {83, 91, 138, 206, 198, 190, 128, 73, 81, 89, 136, 207, 199, 191, 130, 75},
    {170, 178, 158, 55, 47, 39, 150, 160, 168, 176, 159, 56, 48, 40, 151, 162},
    {250, 214, 119, 63, 7, 31, 111, 238, 248, 215, 120, 64, 8, 32, 112, 239},
    {244, 222, 127, 71, 15, 23, 103, 230, 241, 223, 128, 72, 16, 24, 104, 231},
    {196, 188, 134, 79, 87, 95, 142, 201, 193, 185, 135, 80, 88, 96, 143, 204},
    {45, 37, 148, 166, 174, 182, 153, 50, 42, 34, 145, 167, 175, 183, 156, 53},
    {5, 29, 109, 236, 254, 209, 114, 58, 2, 26, 106, 233, 255, 212, 117, 61},
    {13, 21, 101, 228, 243, 217, 122, 66, 10, 18, 98, 225, 245, 220, 125, 69},
    {85, 93, 140, 203, 195, 187, 129, 74, 82, 90, 137, 205, 197, 189, 132, 77},
    {172, 180, 155, 52, 44, 36, 147, 161, 169, 177, 157, 54, 46, 38, 149, 164},
    {252, 211, 116, 60, 4, 28, 108, 235, 249, 213, 118, 62, 6, 30, 110, 237},
};

// Gray pattern k (32 bytes: 16 rows of two bytes, leftmost dot in the high bit).
std::span<const BYTE, 32> GrayPattern(int k);
// Hatch style 0..5 as 16 rows of two bytes.
std::span<const BYTE, 32> HatchPattern(int hatch);

// Where a gray level goes.
enum class GrayTarget : int { PclPattern = 0, Pen = 1, Fill = 2 };

BOOL DrvRealizeBrush(BRUSHOBJ* pbo, SURFOBJ* psoTarget, SURFOBJ* psoPattern, SURFOBJ* psoMask,
                     XLATEOBJ* pxlo, ULONG iHatch);

// Dithers a realized brush into `out`: ceil(width / 8) bytes per row, leftmost
// pixel in the high bit, 1 = black. `out` must be zeroed and hold height rows.
void DitherPattern(const RealizedBrush& brush, std::span<BYTE> out);
// Downloads the brush as a PCL user-defined pattern (leaving HP-GL/2) and
// returns its identifier, also kept as the last pattern sent.
std::int32_t DownloadPattern(PclPdev* pdev, const RealizedBrush& brush);
// Selects gray level g (0..255) as the PCL pattern, pen screen or fill type.
int SelectGray(PclPdev* pdev, int gray, GrayTarget target);
// The brush as the HP-GL/2 pen (`forPen`) or fill, with its anchor corner
// when an origin is given. FALSE for a pattern brush without realization.
BOOL SelectHpglBrush(PclPdev* pdev, BRUSHOBJ* brush, const POINTL* origin, bool forPen);
// The brush (or the forced colour) as the PCL current pattern.
void SelectPclBrush(PclPdev* pdev, BRUSHOBJ* brush);

}  // namespace kv5e
