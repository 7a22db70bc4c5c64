// Bitmaps on the printer: every source image, whatever its format, is scaled
// to its destination rectangle and reduced to one bit per pixel with a 16 x 16
// ordered dither aligned to the page, then sent as PCL raster graphics. Raster
// operations without a source become filled rectangles: PCL rectangular area
// fills, HP-GL/2 "RR" rectangles, or HP-GL/2 polygons built from the clip
// rectangles.
#pragma once

#include <cstdint>

#include "kvplat/engine_objects.h"
#include "pclcore/5e/pcl_device.h"

namespace kv5e {

// ---- raster operation classes (rop = the low byte of a ROP4)
// Sixteen operations ignore the source: 0, 5, 10, 15, 80, ..., 250, 255.
constexpr bool RopUsesSource(std::uint32_t rop) {
  return !(rop % 80 <= 15 && rop % 5 == 0);
}
constexpr bool RopUsesPattern(std::uint32_t rop) { return rop % 17 != 0; }

// The raster operation "destination unchanged" and the source copy.
inline constexpr std::uint8_t kRopKeepDestination = 170;
inline constexpr std::uint8_t kRopSourceCopy = 204;

// ---- page classes of a destination rectangle
inline constexpr int kClassOffPage = 0;     // nothing of it lies on the page
inline constexpr int kClassOnPage = 1;      // wholly on the page
inline constexpr int kClassPartlyOff = 2;   // reaches off the page
// Orders the rectangle, clamps it to the page (0, 0, cxSurface, cySurface)
// into *clamped and tells its class.
int ClampToPage(const PclPdev* pdev, const RECTL& rect, RECTL* clamped);

// ---- limits of the work images
// The direct path renders the whole destination into one image; beyond these
// sizes only the part on the page is rendered (through the clipped path).
inline constexpr std::int64_t kMaxWholeImageDots = 1 << 18;          // width or height
inline constexpr std::uint64_t kMaxWholeImageBytes = 64ull << 20;   // one-bit image
// A band of the clipped path's intermediate when the whole does not fit.
inline constexpr std::uint32_t kBandBytes = 1u << 20;

// ESC "*v#N", ESC "*v#O" and ESC "*l#O" for the values that differ from what
// the printer was last told (leaving HP-GL/2 first).
void SetPclPrintModel(PclPdev* pdev, std::uint8_t sourceTransparency,
                      std::uint8_t patternTransparency, std::uint8_t rop);

// A polygon of device-pixel vertices filled with the current fill type:
// move, "PM0", "PE" with relative pairs (at most 512 per "PE"), back to the
// first vertex, ";", "PM2", "FP1". The caller has entered HP-GL/2.
void EmitRegionPolygon(PclPdev* pdev, const POINTL* vertices, std::uint32_t count);

// The source-less path of DrvBitBlt: fills the clip (a rectangle, or the
// rectangles of a complex clip merged into polygons) with the brush (dropped
// when the operation does not use a pattern). `limit` bounds what is filled
// (the clamped target rectangle). TRUE unless the job was aborted.
BOOL FillRectangles(PclPdev* pdev, CLIPOBJ* clip, const RECTL& limit, BRUSHOBJ* brush,
                    POINTL* brushOrigin, std::uint8_t rop);

// The common raster path: the source window (origin, size) of `source` drawn
// into `destination` (right < left mirrors, bottom < top turns the image
// upside down), clipped by `clip`. `clamped` is the destination clamped to the
// page and `partlyOff` whether it reached off the page. FALSE when memory
// runs out or a write fails; a source format that cannot be read draws nothing.
BOOL BlitBitmap(PclPdev* pdev, CLIPOBJ* clip, SURFOBJ* source, std::int64_t cx, std::int64_t cy,
                POINTL origin, const RECTL& destination, XLATEOBJ* xlate, bool partlyOff,
                const RECTL& clamped);

// ---- the engine's bitmap calls
BOOL DrvCopyBits(SURFOBJ* psoDst, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo, RECTL* prclDest,
                 POINTL* pptlSrc);
BOOL DrvStretchBlt(SURFOBJ* psoDest, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco,
                   XLATEOBJ* pxlo, void* pca, POINTL* pptlHTOrg, RECTL* prclDest, RECTL* prclSrc,
                   POINTL* pptlMask, ULONG iMode);
BOOL DrvBitBlt(SURFOBJ* psoTrg, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco, XLATEOBJ* pxlo,
               RECTL* prclTrg, POINTL* pptlSrc, POINTL* pptlMask, BRUSHOBJ* pbo,
               POINTL* pptlBrush, ROP4 rop4);

}  // namespace kv5e
