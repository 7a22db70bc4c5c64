// Text on the page: runs of resident or downloaded soft-font characters
// placed with PCL cursor commands, HP-GL/2 label characters for rotated or
// clipped runs, glyph bitmaps as raster graphics, and the opaque, underline
// and strike-out rectangles around them.
#pragma once

#include <cstdint>
#include <span>

#include "kvplat/engine_fonts.h"
#include "pclcore/5e/pcl_device.h"

namespace kv5e {

BOOL DrvTextOut(SURFOBJ* pso, STROBJ* pstro, FONTOBJ* pfo, CLIPOBJ* pco, RECTL* prclExtra,
                RECTL* prclOpaque, BRUSHOBJ* pboFore, BRUSHOBJ* pboOpaque, POINTL* pptlOrg,
                MIX mix);

// Escapement of a font in whole degrees, 0..359 (counter-clockwise on the page).
int TextAngle(PclPdev* pdev, FONTOBJ* font);
// The vector of `length` at `tenths` of a degree: run (x) and rise (y).
void DirectionVector(int tenths, int length, int* run, int* rise);

// Characters of one text run handled at a time; the position buffer holds
// their horizontal advances, then their vertical ones.
inline constexpr std::size_t kTextChunk = 1024;
inline constexpr std::size_t kTextPositionsBytes = 2 * kTextChunk * sizeof(std::int16_t);

// One text run as DrvTextOut hands it to DrawTextRun: the glyph positions
// and the run's characters (one per glyph) with what they are drawn with.
// `height` and `widthKey` are the em height and width in pixels.
struct TextRun {
  FONTOBJ* font = nullptr;
  STROBJ* string = nullptr;
  BRUSHOBJ* brush = nullptr;
  std::span<const GLYPHPOS> glyphs;
  std::span<const WCHAR> codes;
  MIX mix = 0;
  std::int32_t height = 0;
  std::int32_t widthKey = 0;
};

// The raster operation text and its rectangles are drawn with: the mix's
// foreground code, or the forced colour's.
std::uint8_t TextRop(const PclPdev* pdev, MIX mix);

// Fills an opaque, underline or strike-out rectangle (right and bottom
// exclusive) with the brush, cut to the clip and the page. `setUp` first
// selects the print model and the brush.
void FillTextRectangle(PclPdev* pdev, MIX mix, BRUSHOBJ* brush, const RECTL& rect, CLIPOBJ* clip,
                       bool setUp);
// The run's glyph bitmaps as PCL raster graphics. `opaqueRect` tells whether
// the call had a background rectangle. FALSE when the job is aborted.
BOOL DrawGraphicsText(PclPdev* pdev, STROBJ* string, FONTOBJ* font, CLIPOBJ* clip,
                      BRUSHOBJ* fore, BRUSHOBJ* opaque, bool opaqueRect, MIX mix);
// The run in the current font, PCL characters where they lie wholly inside
// `clipRect` (none: only the page bounds the run) and HP-GL/2 labels where
// they do not. FALSE when a buffer cannot be had or the job is aborted; a
// font that cannot be selected prints nothing and gives TRUE.
BOOL DrawTextRun(PclPdev* pdev, const TextRun& run, const RECTL* clipRect);
// Selects a resident font for the run (device fonts, or resident stand-ins
// when TrueType fonts are not downloaded) or downloads it as a soft font.
// `codes` are the run's characters (a raw-code run rewrites them).
BOOL SelectTextFont(PclPdev* pdev, FONTOBJ* font, STROBJ* string,
                    std::span<const GLYPHPOS> glyphs, std::int32_t height, std::int32_t widthKey,
                    std::span<WCHAR> codes);
// Label direction "DI" for a scalable font at `degrees`, "DI;" otherwise.
void SetLabelDirection(PclPdev* pdev, int degrees);
// Defines the HP-GL/2 label font from the font selection in force.
void DefineLabelFont(PclPdev* pdev);
// One character of a 16-bit run (PCL or label text).
void WriteWideChar(PclPdev* pdev, std::uint32_t code);

}  // namespace kv5e
