// Text on the page: runs of resident or downloaded soft-font characters
// placed with PCL cursor commands, HP-GL/2 label characters for rotated or
// clipped runs, glyph bitmaps as raster graphics, and the opaque, underline
// and strike-out rectangles around them.
#pragma once

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

}  // namespace kv5e
