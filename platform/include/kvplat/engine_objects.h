// The graphics engine's drawing objects as the graphics libraries see them
// (paths, clip regions, brushes, colour translation, transforms, line
// attributes, engine bitmaps) with their PATHOBJ_/CLIPOBJ_/BRUSHOBJ_/
// XLATEOBJ_/XFORMOBJ_ services and the Eng* drawing services, plus the host
// side that the GDI drawing layer uses to make these objects for one call and
// to draw on the library's behalf when it refuses a call.
//
// Every public record is a plain struct; the engine keeps its own state in a
// larger record that starts with the public one, so a pointer to the public
// record is all a library ever holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "kvplat/engine.h"

struct HBITMAP__;
using HBITMAP = HBITMAP__*;

using FLOATL = float;
using FLOAT = float;
using MIX = ULONG;
using ROP4 = ULONG;

// ---- geometry -----------------------------------------------------------------
struct RECTFX {
  FIX xLeft;
  FIX yTop;
  FIX xRight;
  FIX yBottom;
};
static_assert(sizeof(RECTFX) == 16);

// FLOATOBJ is a plain float on 64-bit systems.
using FLOATOBJ = float;

union FLOAT_LONG {
  FLOATL e;
  LONG l;
};
static_assert(sizeof(FLOAT_LONG) == 4);

// ---- paths --------------------------------------------------------------------
struct PATHOBJ {
  FLONG fl;
  ULONG cCurves;
};
static_assert(sizeof(PATHOBJ) == 8);

inline constexpr FLONG PO_BEZIERS = 0x1;
inline constexpr FLONG PO_ELLIPSE = 0x2;
inline constexpr FLONG PO_ALL_INTEGERS = 0x4;
inline constexpr FLONG PO_ENUM_AS_INTEGERS = 0x8;

struct PATHDATA {
  FLONG flags;
  ULONG count;
  POINTFIX* pptfx;
};
static_assert(offsetof(PATHDATA, pptfx) == 8 && sizeof(PATHDATA) == 16);

inline constexpr FLONG PD_BEGINSUBPATH = 0x01;
inline constexpr FLONG PD_ENDSUBPATH = 0x02;
inline constexpr FLONG PD_RESETSTYLE = 0x04;
inline constexpr FLONG PD_CLOSEFIGURE = 0x08;
inline constexpr FLONG PD_BEZIERS = 0x10;

// Fill modes of DrvFillPath.
inline constexpr FLONG FP_ALTERNATEMODE = 1;
inline constexpr FLONG FP_WINDINGMODE = 2;

// One run of pixels along a line: indices counted in pixels along the line's
// major axis from its first end point.
struct RUN {
  LONG iStart;
  LONG iStop;
};
struct CLIPLINE {
  POINTFIX ptfxA;
  POINTFIX ptfxB;
  LONG lStyleState;
  ULONG c;
  RUN arun[1];
};
static_assert(offsetof(CLIPLINE, c) == 20 && offsetof(CLIPLINE, arun) == 24);
static_assert(sizeof(CLIPLINE) == 32);

// ---- clip regions -------------------------------------------------------------
struct CLIPOBJ {
  ULONG iUniq;
  RECTL rclBounds;
  BYTE iDComplexity;
  BYTE iFComplexity;
  BYTE iMode;
  BYTE fjOptions;
};
static_assert(offsetof(CLIPOBJ, iDComplexity) == 20 && sizeof(CLIPOBJ) == 24);

inline constexpr BYTE DC_TRIVIAL = 0;
inline constexpr BYTE DC_RECT = 1;
inline constexpr BYTE DC_COMPLEX = 3;
inline constexpr BYTE FC_RECT = 1;
inline constexpr BYTE FC_RECT4 = 2;
inline constexpr BYTE FC_COMPLEX = 3;
inline constexpr BYTE TC_RECTANGLES = 0;
inline constexpr BYTE TC_PATHOBJ = 2;
inline constexpr BYTE OC_BANK_CLIP = 1;

// CLIPOBJ_cEnumStart: what to enumerate and in which order.
inline constexpr ULONG CT_RECTANGLES = 0;
inline constexpr ULONG CD_RIGHTDOWN = 0;
inline constexpr ULONG CD_LEFTDOWN = 1;
inline constexpr ULONG CD_RIGHTUP = 2;
inline constexpr ULONG CD_LEFTUP = 3;
inline constexpr ULONG CD_ANY = 4;

struct ENUMRECTS {
  ULONG c;
  RECTL arcl[1];
};
static_assert(sizeof(ENUMRECTS) == 20);

// ---- brushes --------------------------------------------------------------------
struct BRUSHOBJ {
  ULONG iSolidColor;  // 0xFFFFFFFF for a pattern brush
  PVOID pvRbrush;
  FLONG flColorType;
};
static_assert(offsetof(BRUSHOBJ, pvRbrush) == 8 && sizeof(BRUSHOBJ) == 24);
inline constexpr ULONG kPatternBrushColor = 0xFFFFFFFF;

inline constexpr FLONG BR_DEVICE_ICM = 0x01;
inline constexpr FLONG BR_HOST_ICM = 0x02;
inline constexpr FLONG BR_CMYKCOLOR = 0x04;
inline constexpr FLONG BR_ORIGCOLOR = 0x08;

// Hatch styles of DrvRealizeBrush's iHatch (values 6 and up: a pattern brush).
inline constexpr ULONG HS_HORIZONTAL = 0;
inline constexpr ULONG HS_VERTICAL = 1;
inline constexpr ULONG HS_FDIAGONAL = 2;
inline constexpr ULONG HS_BDIAGONAL = 3;
inline constexpr ULONG HS_CROSS = 4;
inline constexpr ULONG HS_DIAGCROSS = 5;
inline constexpr ULONG HS_DDI_MAX = 6;

// ---- colour translation ---------------------------------------------------------
struct XLATEOBJ {
  ULONG iUniq;
  FLONG flXlate;
  USHORT iSrcType;
  USHORT iDstType;
  ULONG cEntries;
  ULONG* pulXlate;
};
static_assert(offsetof(XLATEOBJ, pulXlate) == 16 && sizeof(XLATEOBJ) == 24);

inline constexpr FLONG XO_TRIVIAL = 0x1;
inline constexpr FLONG XO_TABLE = 0x2;
inline constexpr FLONG XO_TO_MONO = 0x4;
inline constexpr FLONG XO_FROM_CMYK = 0x8;
inline constexpr ULONG XO_SRCPALETTE = 1;
inline constexpr ULONG XO_DESTPALETTE = 2;
inline constexpr ULONG XO_DESTDCPALETTE = 3;

// ---- transforms -------------------------------------------------------------------
struct XFORMOBJ {
  ULONG ulReserved;
};
struct XFORML {
  FLOATL eM11, eM12, eM21, eM22, eDx, eDy;
};
struct FLOATOBJ_XFORM {
  FLOATOBJ eM11, eM12, eM21, eM22, eDx, eDy;
};
static_assert(sizeof(XFORML) == 24 && sizeof(FLOATOBJ_XFORM) == 24);

inline constexpr ULONG GX_IDENTITY = 0;
inline constexpr ULONG GX_OFFSET = 1;
inline constexpr ULONG GX_SCALE = 2;
inline constexpr ULONG GX_GENERAL = 3;
inline constexpr ULONG DDI_ERROR = 0xFFFFFFFF;

// XFORMOBJ_bApplyXform modes.
inline constexpr ULONG XF_LTOL = 0;       // POINTL to POINTL
inline constexpr ULONG XF_INV_LTOL = 1;   // POINTL to POINTL, inverse
inline constexpr ULONG XF_LTOFX = 2;      // POINTL to POINTFIX
inline constexpr ULONG XF_INV_FXTOL = 3;  // POINTFIX to POINTL, inverse

// ---- line attributes -----------------------------------------------------------------
struct LINEATTRS {
  FLONG fl;
  ULONG iJoin;
  ULONG iEndCap;
  FLOAT_LONG elWidth;
  FLOATL eMiterLimit;
  ULONG cstyle;
  FLOAT_LONG* pstyle;
  FLOAT_LONG elStyleState;
};
static_assert(offsetof(LINEATTRS, pstyle) == 24 && sizeof(LINEATTRS) == 40);

inline constexpr FLONG LA_GEOMETRIC = 0x1;
inline constexpr FLONG LA_ALTERNATE = 0x2;
inline constexpr FLONG LA_STARTGAP = 0x4;
inline constexpr FLONG LA_STYLED = 0x8;
inline constexpr ULONG JOIN_ROUND = 0;
inline constexpr ULONG JOIN_BEVEL = 1;
inline constexpr ULONG JOIN_MITER = 2;
inline constexpr ULONG ENDCAP_ROUND = 0;
inline constexpr ULONG ENDCAP_SQUARE = 1;
inline constexpr ULONG ENDCAP_BUTT = 2;

// ---- bitmaps ----------------------------------------------------------------------------
inline constexpr FLONG BMF_TOPDOWN = 0x01;
inline constexpr FLONG BMF_NOZEROINIT = 0x02;
inline constexpr FLONG BMF_DONTCACHE = 0x04;
inline constexpr FLONG BMF_USERMEM = 0x08;
inline constexpr USHORT STYPE_DEVBITMAP = 3;

// Ternary raster operations used by name.
inline constexpr ULONG kRopBlackness = 0x00;
inline constexpr ULONG kRopNotSrcCopy = 0x33;
inline constexpr ULONG kRopSrcInvert = 0x66;
inline constexpr ULONG kRopSrcAnd = 0x88;
inline constexpr ULONG kRopDstCopy = 0xAA;
inline constexpr ULONG kRopSrcCopy = 0xCC;
inline constexpr ULONG kRopSrcPaint = 0xEE;
inline constexpr ULONG kRopPatCopy = 0xF0;
inline constexpr ULONG kRopPatInvert = 0x5A;
inline constexpr ULONG kRopDstInvert = 0x55;
inline constexpr ULONG kRopWhiteness = 0xFF;
// A ROP4 with the same operation for both mask states.
constexpr ROP4 Rop4(ULONG rop3) { return (rop3 & 0xFF) | ((rop3 & 0xFF) << 8); }
// Stretch modes.
inline constexpr ULONG COLORONCOLOR = 3;

// Driver entry points the engine calls back into.
using PFN_DrvRealizeBrush = BOOL (*)(BRUSHOBJ* pbo, SURFOBJ* psoTarget, SURFOBJ* psoPattern,
                                     SURFOBJ* psoMask, XLATEOBJ* pxlo, ULONG iHatch);
using PFN_DrvBitBlt = BOOL (*)(SURFOBJ* psoTrg, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco,
                               XLATEOBJ* pxlo, RECTL* prclTrg, POINTL* pptlSrc, POINTL* pptlMask,
                               BRUSHOBJ* pbo, POINTL* pptlBrush, ROP4 rop4);
using PFN_DrvCopyBits = BOOL (*)(SURFOBJ* psoDst, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo,
                                 RECTL* prclDst, POINTL* pptlSrc);

// ---- services the graphics libraries call -------------------------------------------------
// Paths.
KVAPI PATHOBJ* EngCreatePath();
KVAPI void EngDeletePath(PATHOBJ* ppo);
KVAPI void PATHOBJ_vEnumStart(PATHOBJ* ppo);
KVAPI BOOL PATHOBJ_bEnum(PATHOBJ* ppo, PATHDATA* ppd);
KVAPI void PATHOBJ_vGetBounds(PATHOBJ* ppo, RECTFX* prectfx);
KVAPI BOOL PATHOBJ_bMoveTo(PATHOBJ* ppo, POINTFIX ptfx);
KVAPI BOOL PATHOBJ_bPolyLineTo(PATHOBJ* ppo, POINTFIX* pptfx, ULONG cptfx);
KVAPI BOOL PATHOBJ_bPolyBezierTo(PATHOBJ* ppo, POINTFIX* pptfx, ULONG cptfx);
KVAPI BOOL PATHOBJ_bCloseFigure(PATHOBJ* ppo);
KVAPI void PATHOBJ_vEnumStartClipLines(PATHOBJ* ppo, CLIPOBJ* pco, SURFOBJ* pso,
                                       LINEATTRS* pla);
KVAPI BOOL PATHOBJ_bEnumClipLines(PATHOBJ* ppo, ULONG cb, CLIPLINE* pcl);
// Clip regions.
KVAPI ULONG CLIPOBJ_cEnumStart(CLIPOBJ* pco, BOOL bAll, ULONG iType, ULONG iDirection,
                               ULONG cLimit);
KVAPI BOOL CLIPOBJ_bEnum(CLIPOBJ* pco, ULONG cj, ULONG* pv);
KVAPI PATHOBJ* CLIPOBJ_ppoGetPath(CLIPOBJ* pco);
// Brushes.
KVAPI PVOID BRUSHOBJ_pvAllocRbrush(BRUSHOBJ* pbo, ULONG cj);
KVAPI PVOID BRUSHOBJ_pvGetRbrush(BRUSHOBJ* pbo);
KVAPI ULONG BRUSHOBJ_ulGetBrushColor(BRUSHOBJ* pbo);
// Colour translation.
KVAPI ULONG XLATEOBJ_iXlate(XLATEOBJ* pxlo, ULONG iColor);
KVAPI ULONG XLATEOBJ_cGetPalette(XLATEOBJ* pxlo, ULONG iPal, ULONG cPal, ULONG* pPal);
// Transforms.
KVAPI ULONG XFORMOBJ_iGetXform(XFORMOBJ* pxo, XFORML* pxform);
KVAPI ULONG XFORMOBJ_iGetFloatObjXform(XFORMOBJ* pxo, FLOATOBJ_XFORM* pxfo);
KVAPI BOOL XFORMOBJ_bApplyXform(XFORMOBJ* pxo, ULONG iMode, ULONG cPoints, PVOID pvIn,
                                PVOID pvOut);
// Bitmaps (lock them with EngLockSurface, delete them with EngDeleteSurface).
KVAPI HBITMAP EngCreateBitmap(SIZEL sizl, LONG lWidth, ULONG iFormat, FLONG fl, PVOID pvBits);
// Drawing on the library's behalf.
KVAPI BOOL EngBitBlt(SURFOBJ* psoTrg, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco,
                     XLATEOBJ* pxlo, RECTL* prclTrg, POINTL* pptlSrc, POINTL* pptlMask,
                     BRUSHOBJ* pbo, POINTL* pptlBrush, ROP4 rop4);
KVAPI BOOL EngCopyBits(SURFOBJ* psoDst, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo,
                       RECTL* prclDst, POINTL* pptlSrc);
KVAPI BOOL EngStretchBlt(SURFOBJ* psoDest, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco,
                         XLATEOBJ* pxlo, void* pca, POINTL* pptlHTOrg, RECTL* prclDest,
                         RECTL* prclSrc, POINTL* pptlMask, ULONG iMode);
KVAPI BOOL EngEraseSurface(SURFOBJ* pso, RECTL* prcl, ULONG iColor);
KVAPI BOOL EngPaint(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, POINTL* pptlBrushOrg, MIX mix);
KVAPI BOOL EngFillPath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, BRUSHOBJ* pbo,
                       POINTL* pptlBrushOrg, MIX mix, FLONG flOptions);
KVAPI BOOL EngStrokePath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, XFORMOBJ* pxo,
                         BRUSHOBJ* pbo, POINTL* pptlBrushOrg, LINEATTRS* plineattrs, MIX mix);
KVAPI BOOL EngLineTo(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, LONG x1, LONG y1, LONG x2,
                     LONG y2, RECTL* prclBounds, MIX mix);

// ---- the host side ---------------------------------------------------------------------------
namespace kvplat::engine {

// Pixels per 28.4 unit and back.
constexpr FIX ToFix(LONG pixels) { return static_cast<FIX>(pixels * 16); }

// Bits per pixel of a BMF_* format (0 for anything else), and the byte width
// of a row of `width` pixels padded to 4 bytes (0 when out of range).
ULONG BitsPerPixel(ULONG format);
ULONG StrideFor(ULONG format, LONG width);

// ---- paths
// Copies of a path: Beziers flattened into lines within a quarter of a pixel;
// a path widened with geometric line attributes (width, joins, end caps and
// style array, in device units after `xform`, which may be null) into a path
// to fill with the winding rule. Null on failure or for a path with nothing in it.
PATHOBJ* FlattenPath(PATHOBJ* path);
PATHOBJ* WidenPath(PATHOBJ* path, const LINEATTRS* attrs, XFORMOBJ* xform);
// Path of a rectangle (pixels), clockwise and closed.
bool AddRectangle(PATHOBJ* path, const RECTL& rect);

// ---- clip regions
// A clip region for one drawing call: a set of pixels kept as non-overlapping
// rectangles in bands (top to bottom, left to right). Made from rectangles
// (their union), from a filled path, or trivial (everything). Complexity and
// bounds are set from what the region holds: one rectangle is DC_RECT, none
// or several DC_COMPLEX (an empty region has empty bounds).
CLIPOBJ* CreateTrivialClip(const RECTL& bounds);
CLIPOBJ* CreateClipFromRects(std::span<const RECTL> rects);
CLIPOBJ* CreateClipFromPath(PATHOBJ* path, FLONG fillMode);
// The intersection of a clip with a rectangle (for instance a surface's
// extent); a trivial clip becomes that rectangle.
CLIPOBJ* IntersectClip(CLIPOBJ* clip, const RECTL& rect);
void DeleteClip(CLIPOBJ* clip);
// The rectangles of a clip top to bottom, left to right (a trivial clip gives
// its bounds).
std::span<const RECTL> ClipRects(CLIPOBJ* clip);
bool ClipContains(CLIPOBJ* clip, LONG x, LONG y);

// ---- brushes
// A brush for one drawing call. A solid brush carries its colour in the
// target's format. A pattern brush (iSolidColor 0xFFFFFFFF) keeps what the
// driver's DrvRealizeBrush gets when it is asked for a realization: the
// pattern and mask surfaces, the translation and the hatch index (below
// HS_DDI_MAX for hatch brushes). `pattern` in the target's format also lets
// the engine paint the brush itself. The realization is asked for through
// `realize` (normally DriverRealizeBrush of the target's device) and freed
// with the brush.
struct BrushSetup {
  ULONG solidColor = kPatternBrushColor;
  SURFOBJ* target = nullptr;
  SURFOBJ* pattern = nullptr;
  SURFOBJ* mask = nullptr;
  XLATEOBJ* xlate = nullptr;
  ULONG hatch = HS_DDI_MAX;
  FLONG colorType = 0;
  PFN_DrvRealizeBrush realize = nullptr;
};
BRUSHOBJ* CreateBrush(const BrushSetup& setup);
void DeleteBrush(BRUSHOBJ* brush);
// The entry points of a device's graphics library that the engine calls
// back into: from the device a surface is associated with, or from a DRVFN
// table as DrvEnableDriver hands it over.
PFN_DrvRealizeBrush DriverRealizeBrush(const SURFOBJ* target);
PFN_DrvBitBlt DriverBitBlt(const SURFOBJ* target);
PFN_DrvCopyBits DriverCopyBits(const SURFOBJ* target);
PFN FindDriverFunction(std::span<const DRVFN> table, ULONG index);

// ---- colour translation
// A palette as the engine describes a surface's colours: PAL_INDEXED with
// its entries (0x00BBGGRR), PAL_RGB (0x00BBGGRR), PAL_BGR (0x00RRGGBB) or
// PAL_BITFIELDS with its three masks.
struct PaletteDesc {
  ULONG mode = PAL_RGB;
  std::span<const ULONG> colors;
  FLONG red = 0, green = 0, blue = 0;
};
// A translation from one palette to another. An indexed source gets a table
// (XO_TABLE) of the destination colours of its entries; identical palettes
// are XO_TRIVIAL. Indexed destinations take the nearest entry.
XLATEOBJ* CreateXlate(const PaletteDesc& source, const PaletteDesc& destination);
void DeleteXlate(XLATEOBJ* xlate);
// The usual palette of a bitmap format: 1/4/8-bit get `colors` (an empty
// span gives black and white for 1-bit, the 16 or 256 system colours
// otherwise), 16-bit 5-5-5 bit fields, 24- and 32-bit PAL_BGR.
PaletteDesc FormatPalette(ULONG format, std::span<const ULONG> colors = {});
// 0x00BBGGRR of a colour of a palette, and back (nearest entry for indexed).
ULONG PaletteToRgb(const PaletteDesc& palette, ULONG color);
ULONG RgbToPalette(const PaletteDesc& palette, ULONG rgb);

// ---- transforms
XFORMOBJ* CreateXform(const FLOATOBJ_XFORM& matrix);
void DeleteXform(XFORMOBJ* xform);

// ---- bitmaps
// An engine bitmap as a locked SURFOBJ (STYPE_BITMAP); bits zeroed unless
// BMF_NOZEROINIT. Null for a bad format, a size that is not positive or
// above 32767 x 32767 pixels / 1 GiB, or when memory runs out.
SURFOBJ* CreateBitmapSurface(SIZEL size, ULONG format, FLONG flags = BMF_TOPDOWN);
// Frees a bitmap made by EngCreateBitmap or CreateBitmapSurface with its bits.
void DeleteBitmapSurface(SURFOBJ* surface);
// Releases the bits of a bitmap whose surface record EngDeleteSurface is
// about to delete (false when the handle is not an engine bitmap).
bool ReleaseBitmapBits(HSURF surface);
// Pixel access in the surface's own format (out of range: 0 / nothing).
ULONG GetPixel(const SURFOBJ* surface, LONG x, LONG y);
void SetPixel(SURFOBJ* surface, LONG x, LONG y, ULONG color);

// ---- software rendering on bitmap surfaces
// R2 mix codes (1..16) to ternary raster operations on pattern and destination.
ULONG MixToRop3(ULONG r2);
ROP4 MixToRop4(MIX mix);
// Calls `span(y, left, right)` (right exclusive) for each run of pixels of a
// filled path inside `clip` (null: unclipped), row by row. A pixel belongs to
// the fill when its centre lies inside (top-left rule on edges). Returns
// false when the path cannot be read or memory runs out.
template <typename F>
bool ForEachFillSpan(PATHOBJ* path, FLONG fillMode, CLIPOBJ* clip, F&& span);
using SpanFn = void (*)(void* context, LONG y, LONG left, LONG right);
bool EnumerateFillSpans(PATHOBJ* path, FLONG fillMode, CLIPOBJ* clip, SpanFn fn,
                        void* context);

}  // namespace kvplat::engine

template <typename F>
bool kvplat::engine::ForEachFillSpan(PATHOBJ* path, FLONG fillMode, CLIPOBJ* clip, F&& span) {
  return EnumerateFillSpans(
      path, fillMode, clip,
      [](void* context, LONG y, LONG left, LONG right) {
        (*static_cast<std::remove_reference_t<F>*>(context))(y, left, right);
      },
      &span);
}
