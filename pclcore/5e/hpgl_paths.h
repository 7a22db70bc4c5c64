// Paths as HP-GL/2: strokes, fills and clip-region paints become polyline
// encoded ("PE") commands, curves become relative Beziers ("BR"), and the
// printer state behind them (merge control, pen width, line types, input
// window) goes out only when it changes within the page.
#pragma once

#include <cstdint>

#include "kvplat/engine_objects.h"
#include "pclcore/5e/pcl_device.h"

namespace kv5e {

// Merge control used for everything drawn in forced-colour mode.
inline constexpr std::uint8_t kForcedColourRop = 160;
// Points in one "PE" command before it is restarted.
inline constexpr int kPePointsPerCommand = 1024;
// Dash entries a user line type may have; longer style arrays are left to the engine.
inline constexpr std::uint32_t kMaxStyleEntries = 1024;

// ---- encodings
// Base-64 PE digits of one number (at most 6 bytes), and of a pair (at most 12).
int EncodePeNumber(std::int64_t value, BYTE* out);
int EncodePePair(std::int64_t dx, std::int64_t dy, BYTE* out);
// "PE=<" with the absolute point (x, cyPage - y) and ";": a pen-up move.
int WritePeMove(PclPdev* pdev, std::int64_t x, std::int64_t y);

// The raster operation a GDI mix gives: foreground AND background.
std::uint8_t MixToMergeRop(MIX mix);
int SetMergeControl(PclPdev* pdev, MIX mix);
int SetMergeRop(PclPdev* pdev, std::uint8_t rop);

// Input windows. The caller has entered HP-GL/2.
void SetPageWindow(PclPdev* pdev);
void ResetClipWindow(PclPdev* pdev);
void SetClipWindow(PclPdev* pdev, const CLIPOBJ* clip, const RECTL* objectRect);

// Pen width and line type of a cosmetic line; FALSE for absent or geometric
// attributes.
BOOL SetLineAttributes(PclPdev* pdev, const LINEATTRS* attrs);

// Writes the path, in polygon mode unless `strokeOnly`. FALSE for a curve
// record whose point count is not a multiple of 3 (what was open is closed so
// that later drawing is not swallowed by it). `polygonWritten` (may be null)
// tells whether a polygon was started, so that the caller fills or edges it.
BOOL DrvCommonPath(PclPdev* pdev, PATHOBJ* ppo, bool strokeOnly, bool* polygonWritten = nullptr);

// Clips the segment to the rectangle, whose four edges are inclusive; false
// when nothing is left. The ends come back ordered by ascending y.
bool ClipSegmentToRect(const RECTL& rect, LONG* x1, LONG* y1, LONG* x2, LONG* y2);

// ---- the engine's drawing calls
BOOL DrvStrokePath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, XFORMOBJ* pxo, BRUSHOBJ* pbo,
                   POINTL* pptlBrushOrg, LINEATTRS* plineattrs, MIX mix);
BOOL DrvFillPath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, BRUSHOBJ* pbo, POINTL* pptlBrushOrg,
                 MIX mix, FLONG flOptions);
BOOL DrvStrokeAndFillPath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, XFORMOBJ* pxo,
                          BRUSHOBJ* pboStroke, LINEATTRS* plineattrs, BRUSHOBJ* pboFill,
                          POINTL* pptlBrushOrg, MIX mixFill, FLONG flOptions);
BOOL DrvPaint(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, POINTL* pptlBrushOrg, MIX mix);
BOOL DrvLineTo(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, LONG x1, LONG y1, LONG x2, LONG y2,
               RECTL* prclBounds, MIX mix);

}  // namespace kv5e
