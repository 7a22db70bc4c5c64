// The graphics engine's font objects as the graphics libraries see them: a
// realized font (FONTOBJ) with its metrics, transform, glyph images, outlines
// and TrueType file image, and a string of positioned glyphs (STROBJ), plus
// the host side the GDI text layer uses to realize a logical font on the
// machine's own fonts (fontconfig finds the file, FreeType reads it) and to
// lay out a run of text.
//
// Notional space is the font's design space with y pointing down (the
// ascender is at negative y); the font transform maps it to device pixels
// (y down) with the row-vector convention of XFORMOBJ.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "kvplat/engine.h"
#include "kvplat/engine_objects.h"

// ---- realized fonts --------------------------------------------------------------
struct FONTOBJ {
  ULONG iUniq;       // changes whenever a different realization is made
  ULONG iFace;       // 1-based face number in its file (collections)
  ULONG cxMax;       // widest glyph advance, pixels
  FLONG flFontType;  // FO_TYPE_* and FO_SIM_* bits
  ULONG_PTR iTTUniq;
  ULONG_PTR iFile;
  SIZEL sizLogResPpi;
  ULONG ulStyleSize;  // em height in points at the device resolution
  PVOID pvConsumer;
  PVOID pvProducer;
};
static_assert(offsetof(FONTOBJ, iTTUniq) == 16 && offsetof(FONTOBJ, sizLogResPpi) == 32);
static_assert(offsetof(FONTOBJ, ulStyleSize) == 40 && offsetof(FONTOBJ, pvConsumer) == 48);
static_assert(sizeof(FONTOBJ) == 64);

inline constexpr FLONG FO_TYPE_RASTER = 0x1;
inline constexpr FLONG FO_TYPE_DEVICE = 0x2;
inline constexpr FLONG FO_TYPE_TRUETYPE = 0x4;
inline constexpr FLONG FO_TYPE_OPENTYPE = 0x8;
inline constexpr FLONG FO_SIM_BOLD = 0x2000;
inline constexpr FLONG FO_SIM_ITALIC = 0x4000;
inline constexpr FLONG FO_EM_HEIGHT = 0x8000;
inline constexpr FLONG FO_CFF = 0x100000;
inline constexpr FLONG FO_POSTSCRIPT = 0x200000;
inline constexpr FLONG FO_DBCS_FONT = 0x1000000;

// FONTOBJ_cGetGlyphs modes (also DrvGetGlyphMode answers).
inline constexpr ULONG FO_HGLYPHS = 0;
inline constexpr ULONG FO_GLYPHBITS = 1;
inline constexpr ULONG FO_PATHOBJ = 2;

// DrvQueryFontData modes and its error value.
inline constexpr ULONG QFD_GLYPHANDBITMAP = 1;
inline constexpr ULONG QFD_GLYPHANDOUTLINE = 2;
inline constexpr ULONG QFD_MAXEXTENTS = 3;
inline constexpr ULONG FD_ERROR = 0xFFFFFFFF;

// A glyph image: 1 bit per pixel, rows top-down, each row padded to whole
// bytes (most significant bit leftmost). ptlOrigin is the offset of the
// top-left pixel from the glyph's origin on the baseline.
struct GLYPHBITS {
  POINTL ptlOrigin;
  SIZEL sizlBitmap;
  BYTE aj[1];
};
static_assert(offsetof(GLYPHBITS, aj) == 16 && sizeof(GLYPHBITS) == 20);

union GLYPHDEF {
  GLYPHBITS* pgb;
  PATHOBJ* ppo;
};
static_assert(sizeof(GLYPHDEF) == 8);

// Metrics of one realized glyph. Distances are 28.4 device units along the
// baseline (fxD, fxA, fxAB) and across it (fxInkTop up, fxInkBottom down as a
// negative value); ptqD is the advance vector in 32.32 device units.
struct GLYPHDATA {
  GLYPHDEF gdf;
  HGLYPH hg;
  FIX fxD;
  FIX fxA;
  FIX fxAB;
  FIX fxInkTop;
  FIX fxInkBottom;
  RECTL rclInk;
  POINTQF ptqD;
};
static_assert(offsetof(GLYPHDATA, hg) == 8 && offsetof(GLYPHDATA, rclInk) == 32);
static_assert(offsetof(GLYPHDATA, ptqD) == 48 && sizeof(GLYPHDATA) == 64);

struct POINTE {
  FLOATL x;
  FLOATL y;
};
struct FD_XFORM {
  FLOATL eXX, eXY, eYX, eYY;
};
struct FD_DEVICEMETRICS {
  FLONG flRealizedType;
  POINTE pteBase;
  POINTE pteSide;
  LONG lD;
  FIX fxMaxAscender;
  FIX fxMaxDescender;
  POINTL ptlUnderline1;
  POINTL ptlStrikeOut;
  POINTL ptlULThickness;
  POINTL ptlSOThickness;
  ULONG cxMax;
  ULONG cyMax;
  ULONG cjGlyphMax;
  FD_XFORM fdxQuantized;
  LONG lNonLinearExtLeading;
  LONG lNonLinearIntLeading;
  LONG lNonLinearMaxCharWidth;
  LONG lNonLinearAvgCharWidth;
  LONG lMinA;
  LONG lMinC;
  LONG lMinD;
  LONG alReserved[1];
};
static_assert(offsetof(FD_DEVICEMETRICS, ptlUnderline1) == 32);
static_assert(offsetof(FD_DEVICEMETRICS, fdxQuantized) == 76);
static_assert(sizeof(FD_DEVICEMETRICS) == 124);

struct FONTINFO {
  ULONG cjThis;
  FLONG flCaps;
  ULONG cGlyphsSupported;
  ULONG cjMaxGlyph1;
  ULONG cjMaxGlyph4;
  ULONG cjMaxGlyph8;
  ULONG cjMaxGlyph32;
};
static_assert(sizeof(FONTINFO) == 28);
inline constexpr FLONG FO_DEVICE_FONT = 0x1;
inline constexpr FLONG FO_OUTLINE_CAPABLE = 0x2;

// ---- strings of glyphs ------------------------------------------------------------
// ptl is the glyph's origin on the baseline, device pixels.
struct GLYPHPOS {
  HGLYPH hg;
  GLYPHDEF* pgdf;
  POINTL ptl;
};
static_assert(offsetof(GLYPHPOS, pgdf) == 8 && offsetof(GLYPHPOS, ptl) == 16);
static_assert(sizeof(GLYPHPOS) == 24);

struct STROBJ {
  ULONG cGlyphs;
  FLONG flAccel;
  ULONG ulCharInc;    // fixed advance in pixels of a horizontal fixed-pitch run, else 0
  RECTL rclBkGround;  // right and bottom exclusive
  GLYPHPOS* pgp;
  LPWSTR pwszOrg;     // the text, one unit per glyph (glyph indices for glyph-index runs)
};
static_assert(offsetof(STROBJ, rclBkGround) == 12 && offsetof(STROBJ, pgp) == 32);
static_assert(sizeof(STROBJ) == 48);

inline constexpr FLONG SO_FLAG_DEFAULT_PLACEMENT = 0x0001;
inline constexpr FLONG SO_HORIZONTAL = 0x0002;
inline constexpr FLONG SO_VERTICAL = 0x0004;
inline constexpr FLONG SO_REVERSED = 0x0008;
inline constexpr FLONG SO_ZERO_BEARINGS = 0x0010;
inline constexpr FLONG SO_CHAR_INC_EQUAL_BM_BASE = 0x0020;
inline constexpr FLONG SO_MAXEXT_EQUAL_BM_SIDE = 0x0040;
inline constexpr FLONG SO_GLYPHINDEX_TEXTOUT = 0x0100;
inline constexpr FLONG SO_DXDY = 0x0400;

// ---- services the graphics libraries call -------------------------------------------
KVAPI IFIMETRICS* FONTOBJ_pifi(FONTOBJ* pfo);
KVAPI XFORMOBJ* FONTOBJ_pxoGetXform(FONTOBJ* pfo);
// One glyph per call: *ppvGlyph receives a GLYPHDATA (valid until the next
// call on the font) whose gdf holds the bitmap (FO_GLYPHBITS) or the outline
// path in device 28.4 units relative to the glyph origin (FO_PATHOBJ).
// A blank glyph (a space) has an empty bitmap (0 x 0) and an empty path.
// Returns the number of glyphs answered (1), 0 on failure or for a handle
// the face does not have.
KVAPI ULONG FONTOBJ_cGetGlyphs(FONTOBJ* pfo, ULONG iMode, ULONG cGlyph, HGLYPH* phg,
                               PVOID* ppvGlyph);
// The font file's bytes (a collection is handed over whole) and their count.
KVAPI PVOID FONTOBJ_pvTrueTypeFontFile(FONTOBJ* pfo, ULONG* pcjFile);
KVAPI void FONTOBJ_vGetInfo(FONTOBJ* pfo, ULONG cjSize, FONTINFO* pfi);
KVAPI void STROBJ_vEnumStart(STROBJ* pstro);
// Hands out the glyph positions (with their glyph bitmaps in pgdf) in
// batches; TRUE while more follow, FALSE with the last batch or on error
// (then *pc is 0).
KVAPI BOOL STROBJ_bEnum(STROBJ* pstro, ULONG* pc, GLYPHPOS** ppgpos);

// DrvQueryFontTree modes and DrvQueryAdvanceWidths modes.
inline constexpr ULONG QFT_LIGATURES = 1;
inline constexpr ULONG QFT_KERNPAIRS = 2;
inline constexpr ULONG QFT_GLYPHSET = 3;
inline constexpr ULONG QAW_GETWIDTHS = 0;
inline constexpr ULONG QAW_GETEASYWIDTHS = 1;

// ---- the font and text entry points of a graphics library ---------------------------
using PFN_DrvQueryFont = IFIMETRICS* (*)(DHPDEV dhpdev, ULONG_PTR iFile, ULONG iFace,
                                         ULONG_PTR* pid);
using PFN_DrvQueryFontTree = PVOID (*)(DHPDEV dhpdev, ULONG_PTR iFile, ULONG iFace, ULONG iMode,
                                       ULONG_PTR* pid);
using PFN_DrvQueryFontData = LONG (*)(DHPDEV dhpdev, FONTOBJ* pfo, ULONG iMode, HGLYPH hg,
                                      GLYPHDATA* pgd, PVOID pv, ULONG cjSize);
using PFN_DrvQueryAdvanceWidths = BOOL (*)(DHPDEV dhpdev, FONTOBJ* pfo, ULONG iMode, HGLYPH* phg,
                                           PVOID pvWidths, ULONG cGlyphs);
using PFN_DrvGetGlyphMode = ULONG (*)(DHPDEV dhpdev, FONTOBJ* pfo);
// prclExtra is an array of rectangles (underline, strike-out) ended by an
// all-zero one; prclOpaque the background to fill with pboOpaque.
using PFN_DrvTextOut = BOOL (*)(SURFOBJ* pso, STROBJ* pstro, FONTOBJ* pfo, CLIPOBJ* pco,
                                RECTL* prclExtra, RECTL* prclOpaque, BRUSHOBJ* pboFore,
                                BRUSHOBJ* pboOpaque, POINTL* pptlOrg, MIX mix);

// ---- the host side ----------------------------------------------------------------------
namespace kvplat::engine {

// A face as fontconfig resolves a name, weight and slant: the file, the face
// in it (0-based, for collections) and what the face is. `standsFor` is true
// when the face carries the requested name or is fontconfig's
// metric-compatible stand-in for it ("Arial" gives Liberation Sans); false
// when the request fell back to the default face.
struct ResolvedFace {
  std::string path;
  LONG index = 0;
  std::u16string family;  // the face's own family name
  LONG weight = 400;      // FW_* scale
  bool italic = false;
  bool standsFor = false;
};
// Weights are FW_* values (0 means normal). An empty or unknown name resolves
// to the default sans-serif face. False only when no font can be found at all.
bool ResolveFace(std::u16string_view faceName, LONG weight, bool italic, ResolvedFace* out);

// Default em size for a logical font of height 0, in points; the largest em
// size realized, in device pixels (larger requests are capped to it).
inline constexpr LONG kDefaultPointSize = 12;
inline constexpr LONG kMaxEmPixels = 16384;

// Realizes a logical font at a device resolution. `mapping` maps logical
// units to device pixels; its scales along x and y size the font (lfHeight
// and lfWidth are logical units). lfHeight < 0 is the em height, > 0 the cell
// height (ascent + descent), 0 the default size; lfWidth 0 keeps the face's
// proportions. lfEscapement (tenths of a degree, counter-clockwise on the
// page) turns the baseline. Bold and italic are simulated when the face
// found lacks them. Null on failure (last error set).
FONTOBJ* CreateFontObject(const LOGFONTW& font, SIZEL dpi, const FLOATOBJ_XFORM& mapping);
// The same on a face already found (a file and the face in it), for fonts
// that fontconfig does not know of; `face.standsFor` decides whether the
// realized font carries lfFaceName or the face's own family name.
FONTOBJ* CreateFontObjectForFace(const LOGFONTW& font, const ResolvedFace& face, SIZEL dpi,
                                 const FLOATOBJ_XFORM& mapping);
// Deletes a font object; the string objects made on it must be gone first.
void DeleteFontObject(FONTOBJ* font);

// A string of glyphs: `text` is UTF-16 (one glyph per unit; pass a view of a
// string literal, not the array with its terminator) or, with
// `glyphIndices`, the face's glyph indices. Glyph origins start at `origin`
// (device pixels, on the baseline) and follow the escapement by the glyphs'
// advances or, when `advances` is given (one per glyph, device pixels along
// the baseline), by those. Null for a bad font or when memory runs out; an
// empty text gives an empty string.
STROBJ* CreateStringObject(FONTOBJ* font, std::span<const WCHAR> text, bool glyphIndices,
                           POINTL origin, std::span<const LONG> advances = {});
void DeleteStringObject(STROBJ* str);
// A string whose glyph origins the caller placed (spacing, justification,
// distances given per character): one origin per glyph and the run's end
// point (for the background box). `accel` adds SO_* flags (SO_DXDY); the
// string does not claim default placement.
STROBJ* CreateStringObjectAt(FONTOBJ* font, std::span<const WCHAR> text, bool glyphIndices,
                             std::span<const POINTL> origins, POINTL end, FLONG accel = 0);

// What text layout needs of a realized font, in device pixels (unrounded):
// the baseline's and the glyphs' downward unit vectors, the Windows cell
// (ascent above, descent below the baseline), the em, the line gap beyond
// the cell, widths along the baseline, and the underline and strike-out
// strokes as the offset of their top edge below the baseline (negative:
// above) and their thickness.
struct FontMetrics {
  double baseX = 1, baseY = 0;
  double downX = 0, downY = 1;
  double ascent = 0, descent = 0, em = 0, externalLeading = 0;
  double averageWidth = 0, maxWidth = 0;
  double underlineOffset = 0, underlineThickness = 1;
  double strikeoutOffset = 0, strikeoutThickness = 1;
  double boldPixels = 0;
  bool fixedPitch = false;
};
bool RealizedMetrics(FONTOBJ* font, FontMetrics* metrics);

// The advance of a run along the baseline (cx, pixels, rounded) and the font's
// cell height (cy, ascent + descent in pixels).
bool TextExtent(FONTOBJ* font, std::span<const WCHAR> text, bool glyphIndices, SIZEL* extent);
// The font's advances in device pixels along the baseline, unrounded (whole
// pixels for fixed-pitch fonts, as the string objects place them).
bool GlyphAdvances(FONTOBJ* font, std::span<const WCHAR> text, bool glyphIndices,
                   std::span<double> advances);

}  // namespace kvplat::engine
