// One drawing call, delivered to whoever draws on the DC's surface.
//
// Memory DCs: the engine renders into the selected bitmap (EngFillPath,
// EngStrokePath, EngBitBlt, EngStretchBlt).
//
// Printer DCs: the graphics library gets the call when its surface hooks it
// (DrvStrokePath, DrvFillPath, DrvStrokeAndFillPath, DrvLineTo, DrvPaint,
// DrvBitBlt, DrvStretchBlt, DrvCopyBits). When it refuses, the engine falls
// back as Windows does, trying the library again with simpler requests
// before drawing on its behalf:
//   curves     Beziers flattened into lines, then the same call again;
//   clips      a complex clip split into its rectangles, one call each;
//   lines      geometric (and styled) lines widened into an area to fill;
//   areas      the filled pixels as a clip region, painted with DrvPaint or
//              DrvBitBlt, and last the engine's own rendering handed over
//              through DrvCopyBits.
// A call that nobody draws fails (FALSE): nothing is silently lost.
#include <algorithm>
#include <limits>
#include <optional>
#include <cmath>
#include <cstring>

#include "gdi/drawing.h"
#include "kvplat/kernel.h"

namespace kvplat::gdi {
namespace {

using StrokePathFn = BOOL (*)(SURFOBJ*, PATHOBJ*, CLIPOBJ*, XFORMOBJ*, BRUSHOBJ*, POINTL*,
                              LINEATTRS*, MIX);
using FillPathFn = BOOL (*)(SURFOBJ*, PATHOBJ*, CLIPOBJ*, BRUSHOBJ*, POINTL*, MIX, FLONG);
using StrokeAndFillPathFn = BOOL (*)(SURFOBJ*, PATHOBJ*, CLIPOBJ*, XFORMOBJ*, BRUSHOBJ*,
                                     LINEATTRS*, BRUSHOBJ*, POINTL*, MIX, FLONG);
using LineToFn = BOOL (*)(SURFOBJ*, CLIPOBJ*, BRUSHOBJ*, LONG, LONG, LONG, LONG, RECTL*, MIX);
using PaintFn = BOOL (*)(SURFOBJ*, CLIPOBJ*, BRUSHOBJ*, POINTL*, MIX);
using StretchBltFn = BOOL (*)(SURFOBJ*, SURFOBJ*, SURFOBJ*, CLIPOBJ*, XLATEOBJ*, void*, POINTL*,
                              RECTL*, RECTL*, POINTL*, ULONG);

// Style units of a cosmetic line on a display-like memory DC, in pixels.
constexpr LONG kScreenStylePixels = 3;
constexpr FLOATL kMiterLimit = 10.0f;

thread_local DriverCallCounts t_counts{};
thread_local PFN t_overrides[INDEX_LAST + 1]{};

// ---- the surface of one call ------------------------------------------------------
struct Target {
  DC& dc;
  bool printer = false;
  SURFOBJ* surface = nullptr;  // the bitmap, or the device surface locked for the call
  FLONG hooks = 0;
  engine::PaletteDesc palette;
  std::vector<RECTL> clipRects;  // the DC's clip on the surface
  CLIPOBJ* clip = nullptr;       // the same as the engine's object
  bool empty = false;            // nothing of the surface is inside the clip
  POINTL brushOrigin{};

  explicit Target(DC& d) : dc(d) {}
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;
  ~Target() {
    engine::DeleteClip(clip);
    if (printer && surface != nullptr) EngUnlockSurface(surface);
  }

  bool Open() {
    const SIZEL size = SurfaceSize(dc);
    const RECTL whole{0, 0, size.cx, size.cy};
    if (dc.kind == DcKind::Memory) {
      surface = dc.memory.bitmap->bitmap().surface;
    } else {
      printer = true;
      surface = EngLockSurface(dc.printer.device->surface);
      hooks = dc.printer.device->hooks;
    }
    if (surface == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    palette = TargetPalette(dc);
    brushOrigin = dc.draw.brushOrigin;
    if (dc.draw.clipped) {
      const RECTL one[1] = {whole};
      clipRects = CombineRegions(dc.draw.clip, std::vector<RECTL>(one, one + 1), RGN_AND);
      empty = clipRects.empty();
      clip = engine::CreateClipFromRects(clipRects);
    } else {
      clipRects.assign(1, whole);
      empty = whole.right <= 0 || whole.bottom <= 0;
      clip = engine::CreateTrivialClip(whole);
    }
    if (clip == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    return true;
  }
  SURFOBJ* Bitmap() const { return printer ? nullptr : surface; }
};

PFN Entry(const Target& t, ULONG index) {
  if (index <= INDEX_LAST && t_overrides[index] != nullptr) return t_overrides[index];
  return engine::DriverFunction(t.dc.printer.driver, index);
}

bool Count(ULONG index, BOOL result) {
  ++t_counts.calls[index];
  if (!result) ++t_counts.refused[index];
  return result != FALSE;
}

BOOL Lost() {
  ++t_counts.lost;
  if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

// ---- brushes for one call ------------------------------------------------------------
// The 8 x 8 hatch patterns: whether (x, y) is on a hatch line.
bool HatchBit(ULONG hatch, LONG x, LONG y) {
  switch (hatch) {
    case HS_HORIZONTAL: return y == 4;
    case HS_VERTICAL: return x == 4;
    case HS_FDIAGONAL: return x == y;
    case HS_BDIAGONAL: return x + y == 7;
    case HS_CROSS: return x == 4 || y == 4;
    case HS_DIAGCROSS: return x == y || x + y == 7;
    default: return false;
  }
}

LONG Mod8(LONG v) { return ((v % 8) + 8) % 8; }

// A BRUSHOBJ with the pattern and mask surfaces it refers to.
struct CallBrush {
  BRUSHOBJ* object = nullptr;
  SURFOBJ* pattern = nullptr;
  SURFOBJ* mask = nullptr;
  ULONG hatch = HS_DDI_MAX;
  bool none = false;  // BS_NULL: nothing to paint
  CallBrush() = default;
  CallBrush(const CallBrush&) = delete;
  CallBrush& operator=(const CallBrush&) = delete;
  ~CallBrush() {
    engine::DeleteBrush(object);
    engine::DeleteBitmapSurface(pattern);
    engine::DeleteBitmapSurface(mask);
  }
};

ULONG TargetColor(const Target& t, COLORREF rgb) {
  return engine::RgbToPalette(t.palette, rgb & 0xFFFFFF);
}

// Realizes `brush` for the target; false when memory runs out.
bool MakeBrush(const Target& t, const BrushData& brush, CallBrush* out) {
  engine::BrushSetup setup;
  setup.target = t.surface;
  if (brush.style == BS_NULL) {
    out->none = true;
    return true;
  }
  if (brush.style == BS_SOLID) {
    setup.solidColor = TargetColor(t, brush.color);
    out->object = engine::CreateBrush(setup);
    return out->object != nullptr;
  }
  const ULONG format = t.surface->iBitmapFormat;
  if (brush.style == BS_HATCHED) {
    out->pattern = engine::CreateBitmapSurface(SIZEL{8, 8}, format, BMF_TOPDOWN);
    out->mask = engine::CreateBitmapSurface(SIZEL{8, 8}, BMF_1BPP, BMF_TOPDOWN);
    if (out->pattern == nullptr || out->mask == nullptr) return false;
    const ULONG fg = TargetColor(t, brush.color);
    const ULONG bg = TargetColor(t, t.dc.draw.backgroundColor);
    for (LONG y = 0; y < 8; ++y) {
      for (LONG x = 0; x < 8; ++x) {
        const bool on = HatchBit(brush.hatch, x, y);
        engine::SetPixel(out->pattern, x, y, on ? fg : bg);
        engine::SetPixel(out->mask, x, y, on ? 1 : 0);
      }
    }
    out->hatch = brush.hatch;
    setup.hatch = brush.hatch;
  } else {
    // A pattern brush in the target's colours; a monochrome bitmap that is
    // not a DIB paints 0 bits in the text colour and 1 bits in the background.
    const gdi::Bitmap& from = *brush.pattern;
    out->pattern = engine::CreateBitmapSurface(SIZEL{from.Width(), from.Height()}, format,
                                               BMF_TOPDOWN);
    if (out->pattern == nullptr) return false;
    Palette mono;
    engine::PaletteDesc source = from.palette.Desc();
    if (!from.dib && from.Format() == BMF_1BPP) {
      mono.mode = PAL_INDEXED;
      mono.colors = {t.dc.draw.textColor & 0xFFFFFF, t.dc.draw.backgroundColor & 0xFFFFFF};
      source = mono.Desc();
    }
    for (LONG y = 0; y < from.Height(); ++y) {
      for (LONG x = 0; x < from.Width(); ++x) {
        const ULONG rgb = engine::PaletteToRgb(source, engine::GetPixel(from.surface, x, y));
        engine::SetPixel(out->pattern, x, y, TargetColor(t, rgb));
      }
    }
  }
  setup.pattern = out->pattern;
  setup.mask = out->mask;
  if (t.printer) setup.realize = engine::DriverRealizeBrush(t.surface);
  out->object = engine::CreateBrush(setup);
  return out->object != nullptr;
}

// An R2 code (1..16) of a ternary raster operation that uses only the
// pattern and the destination.
ULONG Rop3ToR2(ULONG rop3) {
  for (ULONG r2 = 1; r2 <= 16; ++r2) {
    if (engine::MixToRop3(r2) == rop3) return r2;
  }
  return R2_COPYPEN;
}

// ---- areas -------------------------------------------------------------------------------
bool TransparentHatch(const Target& t, const BrushData& brush) {
  return brush.style == BS_HATCHED && t.dc.draw.bkMode == TRANSPARENT;
}

// Paints the pixels of `region` (inside the clip already) with a brush:
// DrvPaint, DrvBitBlt, then the engine. A transparent hatch paints only the
// hatch lines (a mask with the destination kept elsewhere).
BOOL PaintRegion(Target& t, const std::vector<RECTL>& region, const BrushData& brush,
                 ULONG rop3) {
  if (region.empty()) return TRUE;
  CLIPOBJ* clip = engine::CreateClipFromRects(region);
  if (clip == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  RECTL bounds = clip->rclBounds;
  CallBrush b;
  SURFOBJ* mask = nullptr;
  BOOL ok = FALSE;
  const bool transparent = TransparentHatch(t, brush);
  BrushData solid = brush;
  if (transparent) solid = BrushData{BS_SOLID, brush.color, 0, nullptr};
  if (!MakeBrush(t, solid, &b)) {
    engine::DeleteClip(clip);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (b.none) {
    engine::DeleteClip(clip);
    return TRUE;
  }
  POINTL origin = t.brushOrigin;
  POINTL maskOrigin{0, 0};
  ROP4 rop4 = Rop4(rop3);
  const MIX mix = Rop3ToR2(rop3) | (Rop3ToR2(rop3) << 8);
  if (transparent) {
    // The hatch lines over the bounds; the rest keeps the destination.
    mask = engine::CreateBitmapSurface(SIZEL{bounds.right - bounds.left, bounds.bottom - bounds.top},
                                       BMF_1BPP, BMF_TOPDOWN);
    if (mask == nullptr) {
      engine::DeleteClip(clip);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    for (LONG y = bounds.top; y < bounds.bottom; ++y) {
      for (LONG x = bounds.left; x < bounds.right; ++x) {
        if (HatchBit(brush.hatch, Mod8(x - origin.x), Mod8(y - origin.y))) {
          engine::SetPixel(mask, x - bounds.left, y - bounds.top, 1);
        }
      }
    }
    rop4 = (rop3 & 0xFF) | (kRopDstCopy << 8);
  }
  if (t.printer) {
    if (!transparent && (t.hooks & HOOK_PAINT)) {
      auto paint = reinterpret_cast<PaintFn>(Entry(t, INDEX_DrvPaint));
      if (paint != nullptr && Count(INDEX_DrvPaint, paint(t.surface, clip, b.object, &origin, mix))) {
        ok = TRUE;
      }
    }
    if (!ok && (t.hooks & HOOK_BITBLT)) {
      auto blt = reinterpret_cast<PFN_DrvBitBlt>(Entry(t, INDEX_DrvBitBlt));
      if (blt != nullptr &&
          Count(INDEX_DrvBitBlt, blt(t.surface, nullptr, mask, clip, nullptr, &bounds, nullptr,
                                     mask ? &maskOrigin : nullptr, b.object, &origin, rop4))) {
        ok = TRUE;
      }
    }
    if (!ok) {
      ++t_counts.engineRenderings;
      ok = EngBitBlt(t.surface, nullptr, mask, clip, nullptr, &bounds, nullptr,
                     mask ? &maskOrigin : nullptr, b.object, &origin, rop4);
      if (!ok) ok = Lost();
    }
  } else {
    ok = EngBitBlt(t.surface, nullptr, mask, clip, nullptr, &bounds, nullptr,
                   mask ? &maskOrigin : nullptr, b.object, &origin, rop4);
  }
  engine::DeleteBitmapSurface(mask);
  engine::DeleteClip(clip);
  return ok;
}

// The pixels a path fills, inside the target's clip.
bool FillRegion(Target& t, PATHOBJ* path, FLONG mode, std::vector<RECTL>* out) {
  std::vector<RECTL> region;
  if (!RegionFromPath(path, mode, &region)) {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  *out = CombineRegions(region, t.clipRects, RGN_AND);
  return true;
}

// ---- asking the library, with the engine's simplifications -------------------------
bool HasBeziers(PATHOBJ* path) { return path != nullptr && (path->fl & PO_BEZIERS) != 0; }

// Calls `call(path, clip)` on the library; when refused: with the path
// flattened, then (when `splitClip`) once per rectangle of a complex clip.
// Returns true when everything was drawn; else `rest` holds the clip
// rectangles still to draw and `*flat` the flattened path (owned by the
// caller) when one was made.
template <typename Call>
bool AskLibrary(Target& t, ULONG index, PATHOBJ* path, Call&& call, std::vector<RECTL>* rest,
                PATHOBJ** flat, bool splitClip = true) {
  *rest = t.clipRects;
  if (Count(index, call(path, t.clip))) return true;
  if (HasBeziers(path)) {
    *flat = engine::FlattenPath(path);
    if (*flat != nullptr) {
      path = *flat;
      if (Count(index, call(path, t.clip))) return true;
    }
  }
  if (!splitClip || t.clip->iDComplexity != DC_COMPLEX || t.clipRects.size() < 2) return false;
  std::vector<RECTL> failed;
  for (const RECTL& r : t.clipRects) {
    CLIPOBJ* one = engine::CreateClipFromRects(std::span<const RECTL>(&r, 1));
    const bool done = one != nullptr && Count(index, call(path, one));
    engine::DeleteClip(one);
    if (!done) failed.push_back(r);
  }
  *rest = std::move(failed);
  return rest->empty();
}

// A target narrowed to some of its clip rectangles, for the rest of a call.
struct NarrowedClip {
  Target& t;
  std::vector<RECTL> savedRects;
  CLIPOBJ* savedClip;
  NarrowedClip(Target& target, std::vector<RECTL> rects) : t(target), savedClip(target.clip) {
    savedRects = std::move(t.clipRects);
    t.clipRects = std::move(rects);
    t.clip = engine::CreateClipFromRects(t.clipRects);
  }
  ~NarrowedClip() {
    engine::DeleteClip(t.clip);
    t.clip = savedClip;
    t.clipRects = std::move(savedRects);
  }
  bool ok() const { return t.clip != nullptr; }
};

struct OwnedPath {
  PATHOBJ* path = nullptr;
  ~OwnedPath() {
    if (path != nullptr) EngDeletePath(path);
  }
};

MIX MixOf(const DrawState& s) {
  return static_cast<MIX>(s.rop2) | (static_cast<MIX>(s.rop2) << 8);
}

FLONG FillModeOf(const DrawState& s) {
  return s.polyFillMode == WINDING ? FP_WINDINGMODE : FP_ALTERNATEMODE;
}

// Fills a device path with a brush.
BOOL FillWith(Target& t, PATHOBJ* path, const BrushData& brush, FLONG mode) {
  if (brush.style == BS_NULL) return TRUE;
  const MIX mix = MixOf(t.dc.draw);
  const ULONG rop3 = engine::MixToRop3(static_cast<ULONG>(t.dc.draw.rop2));
  const bool transparent = TransparentHatch(t, brush);
  if (!t.printer && !transparent) {
    CallBrush b;
    if (!MakeBrush(t, brush, &b)) return FALSE;
    POINTL origin = t.brushOrigin;
    return EngFillPath(t.surface, path, t.clip, b.object, &origin, mix, mode);
  }
  OwnedPath flat;
  std::vector<RECTL> rest = t.clipRects;
  if (t.printer && !transparent && (t.hooks & HOOK_FILLPATH)) {
    auto fill = reinterpret_cast<FillPathFn>(Entry(t, INDEX_DrvFillPath));
    CallBrush b;
    if (fill != nullptr && MakeBrush(t, brush, &b)) {
      POINTL origin = t.brushOrigin;
      auto call = [&](PATHOBJ* p, CLIPOBJ* c) {
        return fill(t.surface, p, c, b.object, &origin, mix, mode);
      };
      // A fill refused under a complex clip is not split by the clip's
      // rectangles (each would repeat the whole path): the area it covers is
      // painted once as a region below.
      if (AskLibrary(t, INDEX_DrvFillPath, path, call, &rest, &flat.path, false)) return TRUE;
    }
  }
  NarrowedClip narrowed(t, std::move(rest));
  if (!narrowed.ok()) return FALSE;
  std::vector<RECTL> region;
  if (!FillRegion(t, flat.path ? flat.path : path, mode, &region)) return FALSE;
  return PaintRegion(t, region, brush, rop3);
}

// ---- lines ----------------------------------------------------------------------------------
// Line attributes of a pen for one call: what the library gets (cosmetic
// styles in style units) and what the engine draws with (in pixels).
struct PenAttrs {
  LINEATTRS library{};
  LINEATTRS engine{};
  FLOAT_LONG libraryStyle[16]{};
  FLOAT_LONG engineStyle[16]{};
  bool styled = false;
};

ULONG StyleArray(DWORD style, const std::vector<DWORD>& user, DWORD out[16]) {
  static constexpr DWORD kDash[] = {6, 2}, kDot[] = {1, 1}, kDashDot[] = {3, 2, 1, 2},
                         kDashDotDot[] = {3, 1, 1, 1, 1, 1};
  std::span<const DWORD> s;
  switch (style) {
    case PS_DASH: s = kDash; break;
    case PS_DOT: s = kDot; break;
    case PS_DASHDOT: s = kDashDot; break;
    case PS_DASHDOTDOT: s = kDashDotDot; break;
    case PS_ALTERNATE: s = kDot; break;
    case PS_USERSTYLE: s = std::span<const DWORD>(user.data(), std::min<std::size_t>(user.size(), 16)); break;
    default: return 0;
  }
  std::copy(s.begin(), s.end(), out);
  return static_cast<ULONG>(s.size());
}

// Pixels per style unit of cosmetic lines on the target.
double StylePixels(const Target& t) {
  if (!t.printer) return kScreenStylePixels;
  const GDIINFO& g = t.dc.printer.device->gdiInfo;
  if (g.xStyleStep <= 0 || g.denStyleStep <= 0) return 1;
  return double(g.denStyleStep) / g.xStyleStep;
}

void MakePenAttrs(const Target& t, const PenData& pen, double deviceWidth, PenAttrs* a) {
  DWORD style[16];
  const ULONG count = StyleArray(pen.style, pen.userStyle, style);
  a->styled = count > 0;
  const bool geometric = pen.geometric && deviceWidth > 1;
  if (geometric) {
    a->library.fl = LA_GEOMETRIC;
    a->library.elWidth.e = static_cast<FLOATL>(deviceWidth);
    a->library.iJoin = pen.join;
    a->library.iEndCap = pen.endCap;
    a->library.eMiterLimit = kMiterLimit;
    // Standard styles are multiples of the width; a user style is in logical units.
    const double unit = pen.style == PS_USERSTYLE ? deviceWidth / std::max<LONG>(pen.width, 1)
                                                  : deviceWidth;
    for (ULONG i = 0; i < count; ++i) {
      a->libraryStyle[i].e = static_cast<FLOATL>(style[i] * unit);
    }
    a->engine = a->library;
    std::copy(a->libraryStyle, a->libraryStyle + count, a->engineStyle);
  } else {
    a->library.fl = pen.style == PS_ALTERNATE ? LA_ALTERNATE : 0;
    a->library.elWidth.l = 1;
    a->library.iJoin = JOIN_ROUND;
    a->library.iEndCap = ENDCAP_ROUND;
    a->library.eMiterLimit = kMiterLimit;
    a->engine = a->library;
    a->engine.fl = 0;
    const double pixels = pen.style == PS_ALTERNATE ? 1 : StylePixels(t);
    for (ULONG i = 0; i < count; ++i) {
      a->libraryStyle[i].l = static_cast<LONG>(style[i]);
      a->engineStyle[i].l = static_cast<LONG>(std::lround(style[i] * pixels));
    }
  }
  if (count > 0) {
    a->library.fl |= LA_STYLED;
    a->library.cstyle = count;
    a->library.pstyle = a->libraryStyle;
    a->engine.cstyle = count;
    a->engine.pstyle = a->engineStyle;
  }
}

// A copy of a path moved by (dx, dy) in 28.4; null when memory runs out.
PATHOBJ* MovedPath(PATHOBJ* path, FIX dx, FIX dy) {
  PATHOBJ* out = EngCreatePath();
  if (out == nullptr) return nullptr;
  std::vector<POINTFIX> points;
  PATHDATA data{};
  bool ok = true;
  PATHOBJ_vEnumStart(path);
  BOOL more;
  do {
    more = PATHOBJ_bEnum(path, &data);
    points.assign(data.pptfx, data.pptfx + data.count);
    for (POINTFIX& p : points) p.x += dx, p.y += dy;
    std::size_t first = 0;
    if (!points.empty() && (data.flags & PD_BEGINSUBPATH)) {
      ok = ok && PATHOBJ_bMoveTo(out, points[0]);
      first = 1;
    }
    if (points.size() > first) {
      const ULONG n = static_cast<ULONG>(points.size() - first);
      ok = ok && ((data.flags & PD_BEZIERS) ? PATHOBJ_bPolyBezierTo(out, points.data() + first, n)
                                            : PATHOBJ_bPolyLineTo(out, points.data() + first, n));
    }
    if (data.flags & PD_CLOSEFIGURE) ok = ok && PATHOBJ_bCloseFigure(out);
  } while (more && ok);
  if (!ok) {
    EngDeletePath(out);
    return nullptr;
  }
  return out;
}

// The area a line covers: geometric lines around their points; cosmetic
// ones a pixel wide over the pixels they pass through (the pixel whose
// corner a point names), with flat ends.
PATHOBJ* WidenedLine(PATHOBJ* path, const LINEATTRS& attrs) {
  if (attrs.fl & LA_GEOMETRIC) return engine::WidenPath(path, &attrs, nullptr);
  PATHOBJ* moved = MovedPath(path, 8, 8);
  if (moved == nullptr) return nullptr;
  LINEATTRS flat = attrs;
  flat.iEndCap = ENDCAP_BUTT;
  flat.iJoin = JOIN_MITER;
  PATHOBJ* widened = engine::WidenPath(moved, &flat, nullptr);
  EngDeletePath(moved);
  return widened;
}

struct OwnedXform {
  XFORMOBJ* xform = engine::CreateXform(FLOATOBJ_XFORM{1, 0, 0, 1, 0, 0});
  ~OwnedXform() { engine::DeleteXform(xform); }
};

// Strokes a device path with line attributes and a brush.
BOOL StrokeWith(Target& t, PATHOBJ* path, PenAttrs& a, const BrushData& brush,
                const POINTFIX* line) {
  const MIX mix = MixOf(t.dc.draw);
  CallBrush b;
  if (!MakeBrush(t, brush, &b)) return FALSE;
  if (b.none) return TRUE;
  POINTL origin = t.brushOrigin;
  if (!t.printer) {
    if ((a.engine.fl & LA_GEOMETRIC) || a.engine.cstyle == 0) {
      return EngStrokePath(t.surface, path, t.clip, nullptr, b.object, &origin, &a.engine, mix);
    }
    PATHOBJ* dashes = WidenedLine(path, a.engine);
    if (dashes == nullptr) return TRUE;
    const BOOL ok = FillWith(t, dashes, brush, FP_WINDINGMODE);
    EngDeletePath(dashes);
    return ok;
  }
  OwnedXform identity;
  OwnedPath flat;
  std::vector<RECTL> rest = t.clipRects;
  bool done = false;
  // A one-pixel solid line between whole pixels: DrvLineTo first.
  if (line != nullptr && !(a.library.fl & LA_GEOMETRIC) && a.library.cstyle == 0 &&
      !(a.library.fl & LA_ALTERNATE) && (t.hooks & HOOK_LINETO) && brush.style == BS_SOLID &&
      (line[0].x | line[0].y | line[1].x | line[1].y) % 16 == 0) {
    auto lineTo = reinterpret_cast<LineToFn>(Entry(t, INDEX_DrvLineTo));
    if (lineTo != nullptr) {
      RECTL bounds{std::min(line[0].x, line[1].x) / 16, std::min(line[0].y, line[1].y) / 16,
                   std::max(line[0].x, line[1].x) / 16 + 1, std::max(line[0].y, line[1].y) / 16 + 1};
      done = Count(INDEX_DrvLineTo, lineTo(t.surface, t.clip, b.object, line[0].x / 16,
                                           line[0].y / 16, line[1].x / 16, line[1].y / 16,
                                           &bounds, mix));
    }
  }
  if (!done && (t.hooks & HOOK_STROKEPATH)) {
    auto stroke = reinterpret_cast<StrokePathFn>(Entry(t, INDEX_DrvStrokePath));
    if (stroke != nullptr) {
      auto call = [&](PATHOBJ* p, CLIPOBJ* c) {
        return stroke(t.surface, p, c, identity.xform, b.object, &origin, &a.library, mix);
      };
      done = AskLibrary(t, INDEX_DrvStrokePath, path, call, &rest, &flat.path);
    }
  }
  if (done) return TRUE;
  // Refused: the line becomes the area it covers, filled.
  NarrowedClip narrowed(t, std::move(rest));
  if (!narrowed.ok()) return FALSE;
  PATHOBJ* widened = WidenedLine(flat.path ? flat.path : path, a.engine);
  if (widened == nullptr) return TRUE;  // nothing to draw (an empty path)
  const BOOL ok = FillWith(t, widened, brush, FP_WINDINGMODE);
  EngDeletePath(widened);
  return ok;
}

// Strokes with the DC's pen; styled lines get their gaps in the background
// colour first when the background mode is OPAQUE.
BOOL StrokeWithPen(Target& t, PATHOBJ* path, const POINTFIX* line) {
  const PenData& pen = CurrentPen(t.dc.draw);
  if (pen.style == PS_NULL || pen.brush.style == BS_NULL) return TRUE;
  const double width = pen.width <= 1 && !pen.geometric
                           ? 1.0
                           : DeviceWidth(DeviceMatrix(t.dc.draw), pen.width);
  PenAttrs a;
  MakePenAttrs(t, pen, width, &a);
  if (a.styled && t.dc.draw.bkMode == OPAQUE) {
    PenAttrs gaps = a;
    gaps.library.cstyle = gaps.engine.cstyle = 0;
    gaps.library.pstyle = gaps.engine.pstyle = nullptr;
    gaps.library.fl &= ~(LA_STYLED | LA_ALTERNATE);
    gaps.engine.fl &= ~(LA_STYLED | LA_ALTERNATE);
    gaps.styled = false;
    const BrushData background{BS_SOLID, t.dc.draw.backgroundColor, 0, nullptr};
    if (!StrokeWith(t, path, gaps, background, nullptr)) return FALSE;
  }
  return StrokeWith(t, path, a, pen.brush, line);
}

}  // namespace

engine::PaletteDesc TargetPalette(const DC& dc) {
  if (dc.kind == DcKind::Memory) return dc.memory.bitmap->bitmap().palette.Desc();
  engine::PaletteDesc device;
  device.mode = PAL_RGB;  // the printer libraries take 0x00BBGGRR colours
  return device;
}

bool ReadyForOutput(DC& dc) {
  if (dc.kind == DcKind::Memory) return true;
  switch (dc.printer.doc) {
    case DocState::InPage: return dc.printer.device != nullptr;
    case DocState::None: SetLastError(ERROR_SPL_NO_STARTDOC); return false;
    case DocState::Started: SetLastError(ERROR_INVALID_PRINTER_STATE); return false;
    case DocState::Failed: SetLastError(ERROR_PRINT_CANCELLED); return false;
  }
  return false;
}

BOOL DrawDevicePath(DC& dc, PATHOBJ* path, bool stroke, bool fill, const POINTFIX* line) {
  if (path == nullptr) return TRUE;
  Target t(dc);
  if (!t.Open()) return FALSE;
  if (t.empty) return TRUE;
  SetLastError(ERROR_SUCCESS);
  const BrushData& brush = CurrentBrush(dc.draw);
  const PenData& pen = CurrentPen(dc.draw);
  fill = fill && brush.style != BS_NULL;
  stroke = stroke && pen.style != PS_NULL && pen.brush.style != BS_NULL;
  const FLONG mode = FillModeOf(dc.draw);
  // Both at once when the library takes them together (solid outline, no gaps to paint).
  if (fill && stroke && t.printer && (t.hooks & HOOK_STROKEANDFILLPATH) &&
      !TransparentHatch(t, brush) &&
      !(pen.style >= PS_DASH && pen.style <= PS_DASHDOTDOT && dc.draw.bkMode == OPAQUE)) {
    auto both = reinterpret_cast<StrokeAndFillPathFn>(Entry(t, INDEX_DrvStrokeAndFillPath));
    const double width = pen.width <= 1 && !pen.geometric
                             ? 1.0
                             : DeviceWidth(DeviceMatrix(dc.draw), pen.width);
    PenAttrs a;
    MakePenAttrs(t, pen, width, &a);
    CallBrush fillBrush, lineBrush;
    if (both != nullptr && !a.styled && MakeBrush(t, brush, &fillBrush) &&
        MakeBrush(t, pen.brush, &lineBrush)) {
      OwnedXform identity;
      POINTL origin = t.brushOrigin;
      const MIX mix = MixOf(dc.draw);
      OwnedPath flat;
      std::vector<RECTL> rest;
      auto call = [&](PATHOBJ* p, CLIPOBJ* c) {
        return both(t.surface, p, c, identity.xform, lineBrush.object, &a.library,
                    fillBrush.object, &origin, mix, mode);
      };
      // Refused under a complex clip, the fill and the outline go their own
      // ways below rather than once per clip rectangle.
      if (AskLibrary(t, INDEX_DrvStrokeAndFillPath, path, call, &rest, &flat.path, false)) {
        return TRUE;
      }
    }
  }
  if (fill && !FillWith(t, path, brush, mode)) return FALSE;
  if (stroke && !StrokeWithPen(t, path, line)) return FALSE;
  return TRUE;
}

BOOL PaintDeviceRects(DC& dc, std::span<const RECTL> rects, const BrushData* brush, ULONG rop3) {
  Target t(dc);
  if (!t.Open()) return FALSE;
  if (t.empty) return TRUE;
  SetLastError(ERROR_SUCCESS);
  const std::vector<RECTL> area = NormalizeRects(rects);
  const std::vector<RECTL> region = CombineRegions(area, t.clipRects, RGN_AND);
  const bool usesPattern = ((rop3 >> 4) & 0x0F) != (rop3 & 0x0F);
  if (!usesPattern) {
    const BrushData none{BS_SOLID, 0, 0, nullptr};
    return PaintRegion(t, region, none, rop3);
  }
  if (brush == nullptr || brush->style == BS_NULL) return TRUE;
  return PaintRegion(t, region, *brush, rop3);
}

BOOL BlitToDevice(DC& dc, const BlitSource& source, const RECTL& dst, const RECTL& src,
                  bool flipX, bool flipY, ULONG rop3) {
  Target t(dc);
  if (!t.Open()) return FALSE;
  if (t.empty || dst.left >= dst.right || dst.top >= dst.bottom) return TRUE;
  SetLastError(ERROR_SUCCESS);
  XLATEOBJ* xlate = engine::CreateXlate(source.palette, t.palette);
  if (xlate == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  struct XlateHolder {
    XLATEOBJ* x;
    ~XlateHolder() { engine::DeleteXlate(x); }
  } holdXlate{xlate};
  const bool unscaled = !flipX && !flipY && dst.right - dst.left == src.right - src.left &&
                        dst.bottom - dst.top == src.bottom - src.top;
  SURFOBJ* from = source.surface;
  XLATEOBJ* fromXlate = xlate;
  RECTL fromRect = src;
  SURFOBJ* stretched = nullptr;
  struct TempHolder {
    SURFOBJ** s;
    ~TempHolder() { engine::DeleteBitmapSurface(*s); }
  } holdTemp{&stretched};

  if (rop3 == kRopSrcCopy && !unscaled) {
    RECTL target = dst;
    if (flipX) std::swap(target.left, target.right);
    if (flipY) std::swap(target.top, target.bottom);
    RECTL srcRect = src;
    if (t.printer) {
      POINTL htOrigin{0, 0};
      if (t.hooks & HOOK_STRETCHBLT) {
        auto stretch = reinterpret_cast<StretchBltFn>(Entry(t, INDEX_DrvStretchBlt));
        if (stretch != nullptr &&
            Count(INDEX_DrvStretchBlt, stretch(t.surface, from, nullptr, t.clip, xlate, nullptr,
                                               &htOrigin, &target, &srcRect, nullptr,
                                               COLORONCOLOR))) {
          return TRUE;
        }
      }
      ++t_counts.engineRenderings;
      if (EngStretchBlt(t.surface, from, nullptr, t.clip, xlate, nullptr, &htOrigin, &target,
                        &srcRect, nullptr, COLORONCOLOR)) {
        return TRUE;
      }
      return Lost();
    }
    return EngStretchBlt(t.surface, from, nullptr, t.clip, xlate, nullptr, nullptr, &target,
                         &srcRect, nullptr, COLORONCOLOR);
  }
  if (!unscaled) {
    // Other raster operations on a scaled or mirrored source: the source is
    // first stretched into the target's format, then combined 1:1.
    const SIZEL size{dst.right - dst.left, dst.bottom - dst.top};
    stretched = engine::CreateBitmapSurface(size, t.surface->iBitmapFormat, BMF_TOPDOWN);
    if (stretched == nullptr) return FALSE;
    RECTL target{0, 0, size.cx, size.cy};
    if (flipX) std::swap(target.left, target.right);
    if (flipY) std::swap(target.top, target.bottom);
    RECTL srcRect = src;
    if (!EngStretchBlt(stretched, from, nullptr, nullptr, xlate, nullptr, nullptr, &target,
                       &srcRect, nullptr, COLORONCOLOR)) {
      return FALSE;
    }
    from = stretched;
    fromXlate = nullptr;
    fromRect = RECTL{0, 0, size.cx, size.cy};
  }
  const bool usesPattern = ((rop3 >> 4) & 0x0F) != (rop3 & 0x0F);
  CallBrush b;
  if (usesPattern && !MakeBrush(t, CurrentBrush(dc.draw), &b)) return FALSE;
  if (usesPattern && b.none) return TRUE;
  POINTL origin = t.brushOrigin;
  POINTL srcPoint{fromRect.left, fromRect.top};
  RECTL target = dst;
  const ROP4 rop4 = Rop4(rop3);
  if (!t.printer) {
    return EngBitBlt(t.surface, from, nullptr, t.clip, fromXlate, &target, &srcPoint, nullptr,
                     b.object, &origin, rop4);
  }
  if (rop3 == kRopSrcCopy && (t.hooks & HOOK_COPYBITS)) {
    auto copy = reinterpret_cast<PFN_DrvCopyBits>(Entry(t, INDEX_DrvCopyBits));
    if (copy != nullptr &&
        Count(INDEX_DrvCopyBits, copy(t.surface, from, t.clip, fromXlate, &target, &srcPoint))) {
      return TRUE;
    }
  }
  if (t.hooks & HOOK_BITBLT) {
    auto blt = reinterpret_cast<PFN_DrvBitBlt>(Entry(t, INDEX_DrvBitBlt));
    if (blt != nullptr &&
        Count(INDEX_DrvBitBlt, blt(t.surface, from, nullptr, t.clip, fromXlate, &target, &srcPoint,
                                   nullptr, b.object, &origin, rop4))) {
      return TRUE;
    }
  }
  ++t_counts.engineRenderings;
  if (EngBitBlt(t.surface, from, nullptr, t.clip, fromXlate, &target, &srcPoint, nullptr,
                b.object, &origin, rop4)) {
    return TRUE;
  }
  return Lost();
}

// ---- text --------------------------------------------------------------------------------
namespace {

// ORs a glyph image into a 1-bit mask whose top-left pixel is at `at`.
void OrGlyph(SURFOBJ* mask, const GLYPHBITS* bits, POINTL topLeft, const RECTL& bounds) {
  const LONG width = bits->sizlBitmap.cx, height = bits->sizlBitmap.cy;
  const LONG stride = (width + 7) / 8;
  for (LONG row = 0; row < height; ++row) {
    const LONG y = topLeft.y + row;
    if (y < bounds.top || y >= bounds.bottom) continue;
    const BYTE* from = bits->aj + row * stride;
    for (LONG byte = 0; byte < stride; ++byte) {
      const BYTE v = from[byte];
      if (v == 0) continue;
      for (int bit = 0; bit < 8; ++bit) {
        if (!(v & (0x80 >> bit))) continue;
        const LONG x = topLeft.x + byte * 8 + bit;
        if (x >= bounds.left && x < bounds.right && byte * 8 + bit < width) {
          engine::SetPixel(mask, x - bounds.left, y - bounds.top, 1);
        }
      }
    }
  }
}

// Visits the glyph images of a string with their top-left pixels.
template <typename F>
void ForEachGlyphImage(STROBJ* str, F&& f) {
  STROBJ_vEnumStart(str);
  BOOL more;
  do {
    ULONG count = 0;
    GLYPHPOS* positions = nullptr;
    more = STROBJ_bEnum(str, &count, &positions);
    for (ULONG i = 0; i < count; ++i) {
      const GLYPHPOS& gp = positions[i];
      if (gp.pgdf == nullptr || gp.pgdf->pgb == nullptr) continue;
      const GLYPHBITS* bits = gp.pgdf->pgb;
      if (bits->sizlBitmap.cx <= 0 || bits->sizlBitmap.cy <= 0) continue;
      // Positions far off any page are held at 2^30, where sums cannot overflow.
      const auto near = [](std::int64_t v) {
        return static_cast<LONG>(std::clamp<std::int64_t>(v, -(1 << 30), 1 << 30));
      };
      f(bits, POINTL{near(std::int64_t{gp.ptl.x} + bits->ptlOrigin.x),
                     near(std::int64_t{gp.ptl.y} + bits->ptlOrigin.y)});
    }
  } while (more);
}

// The engine's drawing of a string: its glyph images gathered in a mask
// and painted with the text brush where the mask is set, through the
// library's DrvBitBlt or, last, its DrvCopyBits.
BOOL DrawGlyphImages(Target& t, STROBJ* str, const CallBrush& brush) {
  RECTL clipBounds = t.clipRects.empty() ? RECTL{} : RegionBounds(t.clipRects);
  LONG left = std::numeric_limits<LONG>::max(), top = left;
  LONG right = std::numeric_limits<LONG>::min(), bottom = right;
  ForEachGlyphImage(str, [&](const GLYPHBITS* bits, POINTL at) {
    left = std::min(left, at.x);
    top = std::min(top, at.y);
    right = std::max(right, at.x + bits->sizlBitmap.cx);
    bottom = std::max(bottom, at.y + bits->sizlBitmap.cy);
  });
  RECTL bounds{std::max(left, clipBounds.left), std::max(top, clipBounds.top),
               std::min(right, clipBounds.right), std::min(bottom, clipBounds.bottom)};
  if (bounds.left >= bounds.right || bounds.top >= bounds.bottom || brush.none) return TRUE;
  SURFOBJ* mask = engine::CreateBitmapSurface(
      SIZEL{bounds.right - bounds.left, bounds.bottom - bounds.top}, BMF_1BPP, BMF_TOPDOWN);
  if (mask == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  ForEachGlyphImage(str, [&](const GLYPHBITS* bits, POINTL at) { OrGlyph(mask, bits, at, bounds); });
  POINTL maskOrigin{0, 0};
  POINTL origin = t.brushOrigin;
  const ROP4 rop4 = kRopPatCopy | (kRopDstCopy << 8);  // the text colour where the mask is set
  BOOL ok = FALSE;
  if (t.printer) {
    if (t.hooks & HOOK_BITBLT) {
      auto blt = reinterpret_cast<PFN_DrvBitBlt>(Entry(t, INDEX_DrvBitBlt));
      ok = blt != nullptr &&
           Count(INDEX_DrvBitBlt, blt(t.surface, nullptr, mask, t.clip, nullptr, &bounds, nullptr,
                                      &maskOrigin, brush.object, &origin, rop4));
    }
    if (!ok) {
      ++t_counts.engineRenderings;
      ok = EngBitBlt(t.surface, nullptr, mask, t.clip, nullptr, &bounds, nullptr, &maskOrigin,
                     brush.object, &origin, rop4);
      if (!ok) ok = Lost();
    }
  } else {
    ok = EngBitBlt(t.surface, nullptr, mask, t.clip, nullptr, &bounds, nullptr, &maskOrigin,
                   brush.object, &origin, rop4);
  }
  engine::DeleteBitmapSurface(mask);
  return ok;
}

// Rectangles ended by an all-zero one.
std::span<const RECTL> ExtraRects(const RECTL* extra) {
  std::size_t n = 0;
  if (extra != nullptr) {
    while (extra[n].left != 0 || extra[n].top != 0 || extra[n].right != 0 || extra[n].bottom != 0) ++n;
  }
  return std::span<const RECTL>(extra, n);
}

}  // namespace

BOOL DrawDeviceText(DC& dc, const DeviceText& text) {
  if (text.str == nullptr || text.font == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Target t(dc);
  if (!t.Open()) return FALSE;
  SetLastError(ERROR_SUCCESS);
  std::optional<NarrowedClip> narrowed;
  if (text.clipRect != nullptr) {
    const RECTL one[1] = {*text.clipRect};
    narrowed.emplace(t, CombineRegions(t.clipRects, NormalizeRects(one), RGN_AND));
    if (!narrowed->ok()) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
  }
  if (t.empty || t.clipRects.empty()) return TRUE;
  const BrushData foreData{BS_SOLID, text.fore & 0xFFFFFF, 0, nullptr};
  const BrushData backData{BS_SOLID, text.back & 0xFFFFFF, 0, nullptr};
  CallBrush fore, back;
  if (!MakeBrush(t, foreData, &fore) || (text.opaque != nullptr && !MakeBrush(t, backData, &back))) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (text.opaquePath != nullptr && !FillWith(t, text.opaquePath, backData, FP_WINDINGMODE)) {
    return FALSE;
  }
  // Text is drawn in its colours whatever the DC's ROP2.
  const MIX mix = R2_COPYPEN | (R2_COPYPEN << 8);
  if (t.printer && (t.hooks & HOOK_TEXTOUT)) {
    auto textOut = reinterpret_cast<PFN_DrvTextOut>(Entry(t, INDEX_DrvTextOut));
    if (textOut != nullptr) {
      RECTL opaque = text.opaque != nullptr ? *text.opaque : RECTL{};
      POINTL origin = t.brushOrigin;
      STROBJ_vEnumStart(text.str);
      if (Count(INDEX_DrvTextOut,
                textOut(t.surface, text.str, text.font, t.clip, text.extra,
                        text.opaque != nullptr ? &opaque : nullptr, fore.object,
                        text.opaque != nullptr ? back.object : nullptr, &origin, mix))) {
        // Strokes off the page's axes are no rectangles: filled as areas.
        if (text.extraPath != nullptr) return FillWith(t, text.extraPath, foreData, FP_WINDINGMODE);
        return TRUE;
      }
    }
  }
  // The engine draws: the background box, the glyph images, the strokes.
  if (text.opaque != nullptr) {
    const RECTL one[1] = {*text.opaque};
    const std::vector<RECTL> region = CombineRegions(NormalizeRects(one), t.clipRects, RGN_AND);
    if (!PaintRegion(t, region, backData, kRopPatCopy)) return FALSE;
  }
  if (!DrawGlyphImages(t, text.str, fore)) return FALSE;
  const std::span<const RECTL> extra = ExtraRects(text.extra);
  if (!extra.empty()) {
    const std::vector<RECTL> region = CombineRegions(NormalizeRects(extra), t.clipRects, RGN_AND);
    if (!PaintRegion(t, region, foreData, kRopPatCopy)) return FALSE;
  }
  if (text.extraPath != nullptr && !FillWith(t, text.extraPath, foreData, FP_WINDINGMODE)) {
    return FALSE;
  }
  return TRUE;
}

void OverrideDriverEntry(ULONG index, PFN function) {
  if (index <= INDEX_LAST) t_overrides[index] = function;
}

DriverCallCounts CurrentDriverCallCounts() { return t_counts; }
void ResetDriverCallCounts() { t_counts = DriverCallCounts{}; }

}  // namespace kvplat::gdi
