// Engine bitmaps and the engine's own drawing: fills, strokes, paints and
// blits rendered in software on bitmap surfaces, and handed to the driver
// (DrvBitBlt, DrvCopyBits) on device surfaces.
#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "engine/objects_internal.h"
#include "kvplat/fault.h"

namespace kvplat::engine {

using namespace detail;

namespace {

constexpr LONG kMaxDimension = 32767;
constexpr std::uint64_t kMaxBitmapBytes = std::uint64_t{1} << 30;

struct BitmapBits {
  void* bits;
  bool owned;
};
std::mutex g_bitmapLock;
std::unordered_map<HSURF, BitmapBits>& Bitmaps() {
  static auto* bitmaps = new std::unordered_map<HSURF, BitmapBits>;
  return *bitmaps;
}

SURFOBJ* MakeBitmap(SIZEL size, ULONG format, FLONG flags, ULONG stride, void* userBits) {
  ULONG need = StrideFor(format, size.cx);
  if (need == 0 || size.cy <= 0 || size.cy > kMaxDimension) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (userBits == nullptr || stride < need) stride = need;
  std::uint64_t bytes = std::uint64_t(stride) * std::uint64_t(size.cy);
  if (bytes > kMaxBitmapBytes) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* bits = userBits;
  if (bits == nullptr) {
    bits = EngAllocMem((flags & BMF_NOZEROINIT) ? 0 : FL_ZERO_MEMORY, static_cast<ULONG>(bytes),
                       kTag);
    if (bits == nullptr) return nullptr;
  }
  HSURF handle = EngCreateDeviceSurface(nullptr, size, format);
  SURFOBJ* so = handle ? EngLockSurface(handle) : nullptr;
  if (so == nullptr) {
    if (handle) EngDeleteSurface(handle);
    if (userBits == nullptr) EngFreeMem(bits);
    return nullptr;
  }
  {
    std::lock_guard lock(g_bitmapLock);
    Bitmaps()[handle] = BitmapBits{bits, userBits == nullptr};
  }
  so->dhsurf = nullptr;
  so->iType = STYPE_BITMAP;
  so->cjBits = static_cast<ULONG>(bytes);
  so->pvBits = bits;
  so->fjBitmap = static_cast<USHORT>(flags & (BMF_TOPDOWN | BMF_NOZEROINIT | BMF_DONTCACHE |
                                              BMF_USERMEM));
  if (flags & BMF_TOPDOWN) {
    so->pvScan0 = bits;
    so->lDelta = static_cast<LONG>(stride);
  } else {
    so->pvScan0 = static_cast<BYTE*>(bits) + std::uint64_t(stride) * (size.cy - 1);
    so->lDelta = -static_cast<LONG>(stride);
  }
  return so;
}

inline BYTE* Row(const SURFOBJ* so, LONG y) {
  return static_cast<BYTE*>(so->pvScan0) + std::ptrdiff_t(y) * so->lDelta;
}

bool IsBitmap(const SURFOBJ* so) {
  return so != nullptr && so->pvScan0 != nullptr && BitsPerPixel(so->iBitmapFormat) != 0 &&
         so->sizlBitmap.cx > 0 && so->sizlBitmap.cy > 0;
}

ULONG PixelMask(ULONG format) {
  ULONG bpp = BitsPerPixel(format);
  return bpp >= 32 ? 0xFFFFFFFF : (1u << bpp) - 1;
}

// A ternary raster operation applied bit by bit to pattern, source and
// destination values.
inline ULONG ApplyRop3(ULONG rop, ULONG p, ULONG s, ULONG d) {
  switch (rop) {
    case 0x00: return 0;
    case 0xFF: return 0xFFFFFFFF;
    case 0xCC: return s;
    case 0xF0: return p;
    case 0xAA: return d;
    case 0x33: return ~s;
    case 0x0F: return ~p;
    case 0x55: return ~d;
    case 0x66: return s ^ d;
    case 0x5A: return p ^ d;
    case 0x88: return s & d;
    case 0xEE: return s | d;
    case 0xC0: return p & s;
    case 0xA0: return p & d;
    case 0xFA: return p | d;
    case 0xBB: return ~s | d;
    default: break;
  }
  ULONG r = 0;
  for (int i = 0; i < 8; ++i) {
    if (!(rop & (1u << i))) continue;
    ULONG term = ((i & 4) ? p : ~p) & ((i & 2) ? s : ~s) & ((i & 1) ? d : ~d);
    r |= term;
  }
  return r;
}

bool UsesSource(ULONG rop) { return ((rop >> 2) & 0x33) != (rop & 0x33); }
bool UsesPattern(ULONG rop) { return ((rop >> 4) & 0x0F) != (rop & 0x0F); }
bool UsesDest(ULONG rop) { return ((rop >> 1) & 0x55) != (rop & 0x55); }

// The pixels of a clip on a surface, as rectangles: the surface's extent for
// no clip or a trivial one.
struct ClipArea {
  RECTL single{};
  std::span<const RECTL> rects;
  RECTL limit{};
  ClipArea(CLIPOBJ* pco, const SURFOBJ* so) {
    limit = SurfaceRect(so);
    Clip* clip = AsClip(pco);
    if (pco == nullptr || pco->iDComplexity == DC_TRIVIAL || clip == nullptr) {
      single = limit;
      rects = std::span<const RECTL>(&single, 1);
    } else if (pco->iDComplexity == DC_RECT) {
      single = Intersect(pco->rclBounds, limit);
      rects = std::span<const RECTL>(&single, 1);
    } else {
      rects = Rects(clip);
    }
  }
  template <typename F>
  void ForEach(const RECTL& area, F&& f) const {
    RECTL bound = Intersect(area, limit);
    if (RectEmpty(bound)) return;
    for (const RECTL& r : rects) {
      if (r.top >= bound.bottom) break;
      RECTL i = Intersect(r, bound);
      if (!RectEmpty(i)) f(i);
    }
  }
};

RECTL Ordered(const RECTL& r) {
  return RECTL{std::min(r.left, r.right), std::min(r.top, r.bottom), std::max(r.left, r.right),
               std::max(r.top, r.bottom)};
}

bool MaskBit(const SURFOBJ* mask, LONG x, LONG y) {
  if (mask == nullptr || x < 0 || y < 0 || x >= mask->sizlBitmap.cx || y >= mask->sizlBitmap.cy) {
    return false;
  }
  return (Row(mask, y)[x >> 3] >> (7 - (x & 7))) & 1;
}

// Fills the pixels [left, right) of row y with a brush under a raster operation.
void FillRow(SURFOBJ* so, LONG y, LONG left, LONG right, const BrushSource& brush, ULONG rop) {
  if (y < 0 || y >= so->sizlBitmap.cy) return;
  left = std::max<LONG>(left, 0);
  right = std::min(right, so->sizlBitmap.cx);
  if (left >= right) return;
  BYTE* row = Row(so, y);
  ULONG mask = PixelMask(so->iBitmapFormat);
  if (brush.solid && !UsesDest(rop)) {
    ULONG color = ApplyRop3(rop, brush.color, 0, 0) & mask;
    switch (so->iBitmapFormat) {
      case BMF_1BPP:
        for (LONG x = left; x < right; ++x) {
          BYTE bit = static_cast<BYTE>(0x80 >> (x & 7));
          row[x >> 3] = static_cast<BYTE>(color ? row[x >> 3] | bit : row[x >> 3] & ~bit);
        }
        return;
      case BMF_8BPP:
        std::memset(row + left, static_cast<int>(color), static_cast<std::size_t>(right - left));
        return;
      case BMF_24BPP:
        for (LONG x = left; x < right; ++x) {
          BYTE* p = row + 3 * std::ptrdiff_t(x);
          p[0] = static_cast<BYTE>(color);
          p[1] = static_cast<BYTE>(color >> 8);
          p[2] = static_cast<BYTE>(color >> 16);
        }
        return;
      case BMF_32BPP: {
        for (LONG x = left; x < right; ++x) std::memcpy(row + 4 * std::ptrdiff_t(x), &color, 4);
        return;
      }
      default:
        break;
    }
  }
  for (LONG x = left; x < right; ++x) {
    ULONG d = GetPixel(so, x, y);
    SetPixel(so, x, y, ApplyRop3(rop, brush.At(x, y), 0, d) & mask);
  }
}

// A temporary bitmap for drawing that goes to a device surface through
// DrvCopyBits; white, as the page is before anything is drawn on it.
SURFOBJ* WhiteBitmap(SIZEL size, ULONG format) {
  SURFOBJ* temp = CreateBitmapSurface(size, format, BMF_TOPDOWN);
  if (temp == nullptr) return nullptr;
  if (format == BMF_1BPP || format == BMF_4BPP || format == BMF_8BPP) {
    // Indexed: the index of white in the format's usual palette.
    PaletteDesc p = FormatPalette(format);
    ULONG white = RgbToPalette(p, 0xFFFFFF);
    BrushSource b;
    b.color = white;
    for (LONG y = 0; y < size.cy; ++y) FillRow(temp, y, 0, size.cx, b, kRopPatCopy);
  } else {
    std::memset(temp->pvBits, 0xFF, temp->cjBits);
  }
  return temp;
}

// Draws with `render` into a white bitmap of the destination rectangle and
// copies the pixels that `keep` admits (null: all) to the device surface
// through the driver's DrvCopyBits, clipped by the call's clip.
template <typename Render, typename Keep>
BOOL ThroughDevice(SURFOBJ* device, CLIPOBJ* pco, const RECTL& area, Render&& render,
                   Keep&& keep, bool restrict) {
  PFN_DrvCopyBits copy = DriverCopyBits(device);
  RECTL rect = Intersect(Ordered(area), SurfaceRect(device));
  if (copy == nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (RectEmpty(rect)) return TRUE;
  SIZEL size{rect.right - rect.left, rect.bottom - rect.top};
  SURFOBJ* temp = WhiteBitmap(size, device->iBitmapFormat);
  if (temp == nullptr) return FALSE;
  BOOL ok = render(temp, POINTL{rect.left, rect.top});
  CLIPOBJ* clip = nullptr;
  if (ok) {
    // The clip of the copy: the call's clip, narrowed to the kept pixels.
    Region region;
    auto inClip = [pco](LONG x, LONG y) {
      if (pco == nullptr || pco->iDComplexity == DC_TRIVIAL) return true;
      if (pco->iDComplexity == DC_RECT) {
        const RECTL& b = pco->rclBounds;
        return x >= b.left && x < b.right && y >= b.top && y < b.bottom;
      }
      return ClipContains(pco, x, y);
    };
    if (restrict) {
      RowRegionBuilder builder(&region);
      for (LONG y = rect.top; y < rect.bottom; ++y) {
        LONG runStart = 0;
        bool in = false;
        for (LONG x = rect.left; x <= rect.right; ++x) {
          bool k = x < rect.right && keep(x, y) && inClip(x, y);
          if (k && !in) runStart = x, in = true;
          if (!k && in) builder.Add(y, runStart, x), in = false;
        }
      }
      ok = builder.Finish() ? TRUE : FALSE;
      Clip* made = ok ? NewObject<Clip>() : nullptr;
      if (made != nullptr) {
        std::swap(made->rects, region);
        made->object.iDComplexity = made->rects.Size() == 1 ? DC_RECT : DC_COMPLEX;
        made->object.iFComplexity = made->rects.Size() == 1 ? FC_RECT : FC_COMPLEX;
        made->object.rclBounds = made->rects.Empty() ? RECTL{} : rect;
        if (made->rects.Size() == 1) made->object.rclBounds = made->rects[0];
        clip = &made->object;
      } else {
        ok = FALSE;
      }
    }
    if (ok && (clip == nullptr || !ClipRects(clip).empty())) {
      POINTL origin{0, 0};
      RECTL dest = rect;
      ok = copy(device, temp, clip ? clip : pco, nullptr, &dest, &origin);
    }
  }
  DeleteClip(clip);
  DeleteBitmapSurface(temp);
  return ok;
}

struct BlitArgs {
  SURFOBJ* src = nullptr;
  SURFOBJ* mask = nullptr;
  XLATEOBJ* xlate = nullptr;
  POINTL srcOrigin{};
  POINTL maskOrigin{};
  BrushSource brush;
  ULONG fg = 0, bg = 0;
};

// Software blit of the rectangle `rect` of `trg` (ordered) through a clip.
bool BlitBitmap(SURFOBJ* trg, CLIPOBJ* pco, const RECTL& rect, const BlitArgs& a) {
  bool source = UsesSource(a.fg) || UsesSource(a.bg);
  RECTL area = rect;
  SURFOBJ* src = a.src;
  SURFOBJ* copyOfSource = nullptr;
  POINTL srcOrigin = a.srcOrigin;
  if (source) {
    // Only the part whose source lies on the source surface.
    RECTL onSource{rect.left - srcOrigin.x, rect.top - srcOrigin.y,
                   rect.left - srcOrigin.x + src->sizlBitmap.cx,
                   rect.top - srcOrigin.y + src->sizlBitmap.cy};
    area = Intersect(area, onSource);
    if (RectEmpty(area)) return true;
    if (src->pvScan0 == trg->pvScan0) {
      // Overlapping copy within one surface: take the source first.
      SIZEL size{area.right - area.left, area.bottom - area.top};
      copyOfSource = CreateBitmapSurface(size, src->iBitmapFormat);
      if (copyOfSource == nullptr) return false;
      LONG sx = srcOrigin.x + (area.left - rect.left), sy = srcOrigin.y + (area.top - rect.top);
      ULONG bpp = BitsPerPixel(src->iBitmapFormat);
      for (LONG y = 0; y < size.cy; ++y) {
        if (bpp >= 8) {
          std::memcpy(Row(copyOfSource, y), Row(src, sy + y) + std::ptrdiff_t(sx) * (bpp / 8),
                      std::size_t(size.cx) * (bpp / 8));
        } else {
          for (LONG x = 0; x < size.cx; ++x) SetPixel(copyOfSource, x, y, GetPixel(src, sx + x, sy + y));
        }
      }
      src = copyOfSource;
      srcOrigin = POINTL{0, 0};
      // Map the target rectangle onto the copy.
      srcOrigin.x = -(area.left - rect.left);
      srcOrigin.y = -(area.top - rect.top);
    }
  }
  ULONG mask = PixelMask(trg->iBitmapFormat);
  bool fast = a.fg == kRopSrcCopy && a.bg == kRopSrcCopy && src != nullptr &&
              src->iBitmapFormat == trg->iBitmapFormat && BitsPerPixel(trg->iBitmapFormat) >= 8 &&
              (a.xlate == nullptr || (a.xlate->flXlate & XO_TRIVIAL));
  ClipArea clip(pco, trg);
  clip.ForEach(area, [&](const RECTL& r) {
    for (LONG y = r.top; y < r.bottom; ++y) {
      LONG sy = srcOrigin.y + (y - rect.top);
      if (fast) {
        ULONG bytes = BitsPerPixel(trg->iBitmapFormat) / 8;
        LONG sx = srcOrigin.x + (r.left - rect.left);
        std::memmove(Row(trg, y) + std::ptrdiff_t(r.left) * bytes,
                     Row(src, sy) + std::ptrdiff_t(sx) * bytes, std::size_t(r.right - r.left) * bytes);
        continue;
      }
      for (LONG x = r.left; x < r.right; ++x) {
        ULONG rop = a.fg;
        if (a.fg != a.bg) {
          rop = MaskBit(a.mask, a.maskOrigin.x + (x - rect.left), a.maskOrigin.y + (y - rect.top))
                    ? a.fg
                    : a.bg;
        }
        ULONG s = 0;
        if (source) {
          s = GetPixel(src, srcOrigin.x + (x - rect.left), sy);
          if (a.xlate != nullptr) s = XLATEOBJ_iXlate(a.xlate, s);
        }
        ULONG p = UsesPattern(rop) ? a.brush.At(x, y) : 0;
        ULONG d = UsesDest(rop) ? GetPixel(trg, x, y) : 0;
        SetPixel(trg, x, y, ApplyRop3(rop, p, s, d) & mask);
      }
    }
  });
  DeleteBitmapSurface(copyOfSource);
  return true;
}

struct StretchArgs {
  SURFOBJ* src;
  SURFOBJ* mask;
  XLATEOBJ* xlate;
  RECTL srcRect;  // ordered
  POINTL maskOrigin;
  bool flipX, flipY;
};

bool StretchBitmap(SURFOBJ* trg, CLIPOBJ* pco, const RECTL& dst, const StretchArgs& a) {
  std::int64_t w = dst.right - dst.left, h = dst.bottom - dst.top;
  std::int64_t sw = a.srcRect.right - a.srcRect.left, sh = a.srcRect.bottom - a.srcRect.top;
  if (w <= 0 || h <= 0 || sw <= 0 || sh <= 0) return true;
  ULONG mask = PixelMask(trg->iBitmapFormat);
  ClipArea clip(pco, trg);
  clip.ForEach(dst, [&](const RECTL& r) {
    for (LONG y = r.top; y < r.bottom; ++y) {
      std::int64_t j = ((y - dst.top) * 2 + 1) * sh / (2 * h);
      if (a.flipY) j = sh - 1 - j;
      LONG sy = static_cast<LONG>(a.srcRect.top + j);
      if (sy < 0 || sy >= a.src->sizlBitmap.cy) continue;
      for (LONG x = r.left; x < r.right; ++x) {
        std::int64_t i = ((x - dst.left) * 2 + 1) * sw / (2 * w);
        if (a.flipX) i = sw - 1 - i;
        LONG sx = static_cast<LONG>(a.srcRect.left + i);
        if (sx < 0 || sx >= a.src->sizlBitmap.cx) continue;
        if (a.mask != nullptr &&
            !MaskBit(a.mask, a.maskOrigin.x + LONG(i), a.maskOrigin.y + LONG(j))) {
          continue;
        }
        ULONG s = GetPixel(a.src, sx, sy);
        if (a.xlate != nullptr) s = XLATEOBJ_iXlate(a.xlate, s);
        SetPixel(trg, x, y, s & mask);
      }
    }
  });
  return true;
}

// A clip limited to a surface, made for one call (null clip: the surface).
struct SurfaceClip {
  CLIPOBJ* clip = nullptr;
  SurfaceClip(CLIPOBJ* pco, const SURFOBJ* so) {
    if (pco == nullptr || pco->iDComplexity == DC_TRIVIAL || AsClip(pco) == nullptr) {
      RECTL r = SurfaceRect(so);
      if (pco != nullptr && pco->iDComplexity == DC_RECT) r = Intersect(r, pco->rclBounds);
      clip = CreateClipFromRects(std::span<const RECTL>(&r, 1));
    } else {
      clip = IntersectClip(pco, SurfaceRect(so));
    }
  }
  ~SurfaceClip() { DeleteClip(clip); }
};

bool FillPathOnBitmap(SURFOBJ* so, PATHOBJ* ppo, CLIPOBJ* pco, const BrushSource& brush,
                      ULONG rop, FLONG mode) {
  SurfaceClip clip(pco, so);
  if (clip.clip == nullptr) return false;
  return ForEachFillSpan(ppo, mode, clip.clip, [&](LONG y, LONG left, LONG right) {
    FillRow(so, y, left, right, brush, rop);
  });
}

bool StrokeCosmetic(SURFOBJ* so, PATHOBJ* ppo, CLIPOBJ* pco, const BrushSource& brush, ULONG rop) {
  Path* path = AsPath(ppo);
  if (path == nullptr) return false;
  SurfaceClip clip(pco, so);
  if (clip.clip == nullptr) return false;
  PATHOBJ_vEnumStartClipLines(ppo, clip.clip, so, nullptr);
  CLIPLINE* line = static_cast<CLIPLINE*>(EngAllocMem(0, 432, kTag));
  if (line == nullptr) return false;
  BOOL more;
  do {
    more = PATHOBJ_bEnumClipLines(ppo, 432, line);
    for (ULONG k = 0; k < line->c; ++k) {
      for (LONG i = line->arun[k].iStart; i <= line->arun[k].iStop; ++i) {
        LONG x, y;
        LinePixel(line->ptfxA, line->ptfxB, i, &x, &y);
        FillRow(so, y, x, x + 1, brush, rop);
      }
    }
  } while (more);
  EngFreeMem(line);
  return true;
}

}  // namespace

ULONG BitsPerPixel(ULONG format) {
  switch (format) {
    case BMF_1BPP: return 1;
    case BMF_4BPP: return 4;
    case BMF_8BPP: return 8;
    case BMF_16BPP: return 16;
    case BMF_24BPP: return 24;
    case BMF_32BPP: return 32;
    default: return 0;
  }
}

ULONG StrideFor(ULONG format, LONG width) {
  ULONG bpp = BitsPerPixel(format);
  if (bpp == 0 || width <= 0 || width > kMaxDimension) return 0;
  return static_cast<ULONG>(((std::uint64_t(width) * bpp + 31) / 32) * 4);
}

SURFOBJ* CreateBitmapSurface(SIZEL size, ULONG format, FLONG flags) {
  return MakeBitmap(size, format, flags, 0, nullptr);
}

bool ReleaseBitmapBits(HSURF handle) {
  BitmapBits bits{};
  {
    std::lock_guard lock(g_bitmapLock);
    auto it = Bitmaps().find(handle);
    if (it == Bitmaps().end()) return false;
    bits = it->second;
    Bitmaps().erase(it);
  }
  if (bits.owned) EngFreeMem(bits.bits);
  return true;
}

void DeleteBitmapSurface(SURFOBJ* so) {
  if (so == nullptr) return;
  HSURF handle = so->hsurf;
  ReleaseBitmapBits(handle);
  EngUnlockSurface(so);
  EngDeleteSurface(handle);
}

ULONG GetPixel(const SURFOBJ* so, LONG x, LONG y) {
  if (!IsBitmap(so) || x < 0 || y < 0 || x >= so->sizlBitmap.cx || y >= so->sizlBitmap.cy) return 0;
  const BYTE* row = Row(so, y);
  switch (so->iBitmapFormat) {
    case BMF_1BPP: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case BMF_4BPP: return (x & 1) ? row[x >> 1] & 0x0F : row[x >> 1] >> 4;
    case BMF_8BPP: return row[x];
    case BMF_16BPP: return ULONG(row[2 * x]) | ULONG(row[2 * x + 1]) << 8;
    case BMF_24BPP: {
      const BYTE* p = row + 3 * std::ptrdiff_t(x);
      return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16;
    }
    case BMF_32BPP: {
      ULONG v;
      std::memcpy(&v, row + 4 * std::ptrdiff_t(x), 4);
      return v;
    }
    default: return 0;
  }
}

void SetPixel(SURFOBJ* so, LONG x, LONG y, ULONG color) {
  if (!IsBitmap(so) || x < 0 || y < 0 || x >= so->sizlBitmap.cx || y >= so->sizlBitmap.cy) return;
  BYTE* row = Row(so, y);
  switch (so->iBitmapFormat) {
    case BMF_1BPP: {
      BYTE bit = static_cast<BYTE>(0x80 >> (x & 7));
      row[x >> 3] = static_cast<BYTE>((color & 1) ? row[x >> 3] | bit : row[x >> 3] & ~bit);
      break;
    }
    case BMF_4BPP:
      row[x >> 1] = static_cast<BYTE>((x & 1) ? (row[x >> 1] & 0xF0) | (color & 0x0F)
                                              : (row[x >> 1] & 0x0F) | (color & 0x0F) << 4);
      break;
    case BMF_8BPP: row[x] = static_cast<BYTE>(color); break;
    case BMF_16BPP:
      row[2 * x] = static_cast<BYTE>(color);
      row[2 * x + 1] = static_cast<BYTE>(color >> 8);
      break;
    case BMF_24BPP: {
      BYTE* p = row + 3 * std::ptrdiff_t(x);
      p[0] = static_cast<BYTE>(color);
      p[1] = static_cast<BYTE>(color >> 8);
      p[2] = static_cast<BYTE>(color >> 16);
      break;
    }
    case BMF_32BPP: std::memcpy(row + 4 * std::ptrdiff_t(x), &color, 4); break;
    default: break;
  }
}

ULONG MixToRop3(ULONG r2) {
  // R2 code c (1..16) is the truth table c - 1 over pattern and destination.
  ULONG t = (r2 - 1) & 0xF;
  ULONG rop = 0;
  for (int p = 0; p < 2; ++p)
    for (int s = 0; s < 2; ++s)
      for (int d = 0; d < 2; ++d)
        if (t & (1u << (p * 2 + d))) rop |= 1u << (p * 4 + s * 2 + d);
  return rop;
}

ROP4 MixToRop4(MIX mix) {
  ULONG fg = mix & 0xFF, bg = (mix >> 8) & 0xFF;
  if (bg == 0) bg = fg;
  return MixToRop3(fg) | MixToRop3(bg) << 8;
}

}  // namespace kvplat::engine

using namespace kvplat::engine;
using namespace kvplat::engine::detail;

KVAPI HBITMAP EngCreateBitmap(SIZEL sizl, LONG lWidth, ULONG iFormat, FLONG fl, PVOID pvBits) {
  ULONG stride = lWidth > 0 ? static_cast<ULONG>(lWidth) : 0;
  if (pvBits != nullptr && stride < StrideFor(iFormat, sizl.cx)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SURFOBJ* so = kvplat::engine::MakeBitmap(sizl, iFormat, fl, stride, pvBits);
  if (so == nullptr) return nullptr;
  HSURF handle = so->hsurf;
  EngUnlockSurface(so);
  return reinterpret_cast<HBITMAP>(handle);
}

KVAPI BOOL EngBitBlt(SURFOBJ* psoTrg, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco,
                     XLATEOBJ* pxlo, RECTL* prclTrg, POINTL* pptlSrc, POINTL* pptlMask,
                     BRUSHOBJ* pbo, POINTL* pptlBrush, ROP4 rop4) {
  if (psoTrg == nullptr || prclTrg == nullptr || rop4 > 0xFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  BlitArgs a;
  a.fg = rop4 & 0xFF;
  a.bg = (rop4 >> 8) & 0xFF;
  bool source = UsesSource(a.fg) || UsesSource(a.bg);
  bool pattern = UsesPattern(a.fg) || UsesPattern(a.bg);
  if ((source && !IsBitmap(psoSrc)) || (a.fg != a.bg && !IsBitmap(psoMask)) ||
      (pattern && !BrushSourceOf(pbo, pptlBrush, &a.brush))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (source) a.src = psoSrc;
  if (a.fg != a.bg) a.mask = psoMask;
  a.xlate = pxlo;
  if (pptlSrc != nullptr) a.srcOrigin = *pptlSrc;
  if (pptlMask != nullptr) a.maskOrigin = *pptlMask;
  RECTL rect = Ordered(*prclTrg);
  if (IsBitmap(psoTrg)) return BlitBitmap(psoTrg, pco, rect, a) ? TRUE : FALSE;
  // A device surface: the driver draws what comes through DrvCopyBits. Where
  // the mask leaves the destination alone only the other pixels are copied.
  bool keepFg = a.bg == kRopDstCopy && a.fg != a.bg;
  bool keepBg = a.fg == kRopDstCopy && a.fg != a.bg;
  return ThroughDevice(
      psoTrg, pco, rect,
      [&](SURFOBJ* temp, POINTL origin) {
        BlitArgs moved = a;
        moved.brush.origin.x -= origin.x;
        moved.brush.origin.y -= origin.y;
        RECTL r{rect.left - origin.x, rect.top - origin.y, rect.right - origin.x,
                rect.bottom - origin.y};
        return BlitBitmap(temp, nullptr, r, moved) ? TRUE : FALSE;
      },
      [&](LONG x, LONG y) {
        bool bit = MaskBit(a.mask, a.maskOrigin.x + (x - rect.left), a.maskOrigin.y + (y - rect.top));
        return keepFg ? bit : !bit;
      },
      keepFg || keepBg);
}

KVAPI BOOL EngCopyBits(SURFOBJ* psoDst, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo,
                       RECTL* prclDst, POINTL* pptlSrc) {
  return EngBitBlt(psoDst, psoSrc, nullptr, pco, pxlo, prclDst, pptlSrc, nullptr, nullptr,
                   nullptr, Rop4(kRopSrcCopy));
}

KVAPI BOOL EngStretchBlt(SURFOBJ* psoDest, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco,
                         XLATEOBJ* pxlo, void* /*pca*/, POINTL* /*pptlHTOrg*/, RECTL* prclDest,
                         RECTL* prclSrc, POINTL* pptlMask, ULONG /*iMode*/) {
  if (psoDest == nullptr || !IsBitmap(psoSrc) || prclDest == nullptr || prclSrc == nullptr ||
      (psoMask != nullptr && !IsBitmap(psoMask))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  StretchArgs a{psoSrc, psoMask, pxlo, Ordered(*prclSrc), POINTL{0, 0}, false, false};
  if (pptlMask != nullptr) a.maskOrigin = *pptlMask;
  a.flipX = (prclDest->right < prclDest->left) != (prclSrc->right < prclSrc->left);
  a.flipY = (prclDest->bottom < prclDest->top) != (prclSrc->bottom < prclSrc->top);
  RECTL dst = Ordered(*prclDest);
  if (IsBitmap(psoDest)) return StretchBitmap(psoDest, pco, dst, a) ? TRUE : FALSE;
  // A device surface gets the stretched image through DrvCopyBits; the whole
  // destination rectangle is rendered so that the scaling stays the same.
  SIZEL size{dst.right - dst.left, dst.bottom - dst.top};
  if (size.cx <= 0 || size.cy <= 0) return TRUE;
  SURFOBJ* full = WhiteBitmap(size, psoDest->iBitmapFormat);
  if (full == nullptr) return FALSE;
  RECTL local{0, 0, size.cx, size.cy};
  StretchBitmap(full, nullptr, local, a);
  RECTL clipped = Intersect(dst, SurfaceRect(psoDest));
  BOOL ok = TRUE;
  if (!RectEmpty(clipped)) {
    PFN_DrvCopyBits copy = DriverCopyBits(psoDest);
    POINTL origin{clipped.left - dst.left, clipped.top - dst.top};
    ok = copy != nullptr ? copy(psoDest, full, pco, nullptr, &clipped, &origin) : FALSE;
  }
  DeleteBitmapSurface(full);
  return ok;
}

KVAPI BOOL EngEraseSurface(SURFOBJ* pso, RECTL* prcl, ULONG iColor) {
  if (pso == nullptr || prcl == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  RECTL rect = Intersect(Ordered(*prcl), SurfaceRect(pso));
  if (IsBitmap(pso)) {
    BrushSource b;
    b.color = iColor;
    for (LONG y = rect.top; y < rect.bottom; ++y) FillRow(pso, y, rect.left, rect.right, b, kRopPatCopy);
    return TRUE;
  }
  if (RectEmpty(rect)) return TRUE;
  PFN_DrvBitBlt blt = DriverBitBlt(pso);
  if (blt == nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  BRUSHOBJ* brush = CreateBrush(BrushSetup{iColor, pso});
  CLIPOBJ* clip = CreateClipFromRects(std::span<const RECTL>(&rect, 1));
  BOOL ok = FALSE;
  if (brush != nullptr && clip != nullptr) {
    POINTL origin{0, 0};
    ok = blt(pso, nullptr, nullptr, clip, nullptr, &rect, nullptr, nullptr, brush, &origin,
             Rop4(kRopPatCopy));
  }
  DeleteClip(clip);
  DeleteBrush(brush);
  return ok;
}

KVAPI BOOL EngPaint(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, POINTL* pptlBrushOrg, MIX mix) {
  if (pso == nullptr || pco == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ROP4 rop4 = MixToRop4(mix);
  ULONG rop = rop4 & 0xFF;
  BrushSource brush;
  if (UsesPattern(rop) && !BrushSourceOf(pbo, pptlBrushOrg, &brush)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (IsBitmap(pso)) {
    ClipArea area(pco, pso);
    area.ForEach(area.limit, [&](const RECTL& r) {
      for (LONG y = r.top; y < r.bottom; ++y) FillRow(pso, y, r.left, r.right, brush, rop);
    });
    return TRUE;
  }
  PFN_DrvBitBlt blt = DriverBitBlt(pso);
  if (blt == nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  RECTL bounds = Intersect(pco->rclBounds, SurfaceRect(pso));
  if (RectEmpty(bounds)) return TRUE;
  return blt(pso, nullptr, nullptr, pco, nullptr, &bounds, nullptr, nullptr, pbo, pptlBrushOrg,
             rop4);
}

KVAPI BOOL EngFillPath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, BRUSHOBJ* pbo,
                       POINTL* pptlBrushOrg, MIX mix, FLONG flOptions) {
  if (!IsBitmap(pso) || AsPath(ppo) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONG rop = MixToRop4(mix) & 0xFF;
  BrushSource brush;
  if (UsesPattern(rop) && !BrushSourceOf(pbo, pptlBrushOrg, &brush)) return FALSE;
  return FillPathOnBitmap(pso, ppo, pco, brush, rop, flOptions) ? TRUE : FALSE;
}

KVAPI BOOL EngStrokePath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, XFORMOBJ* pxo,
                         BRUSHOBJ* pbo, POINTL* pptlBrushOrg, LINEATTRS* plineattrs, MIX mix) {
  if (!IsBitmap(pso) || AsPath(ppo) == nullptr || plineattrs == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONG rop = MixToRop4(mix) & 0xFF;
  BrushSource brush;
  if (UsesPattern(rop) && !BrushSourceOf(pbo, pptlBrushOrg, &brush)) return FALSE;
  bool wide = (plineattrs->fl & LA_GEOMETRIC) || plineattrs->elWidth.l > 1 ||
              (plineattrs->pstyle != nullptr && plineattrs->cstyle > 0);
  if (!wide) return StrokeCosmetic(pso, ppo, pco, brush, rop) ? TRUE : FALSE;
  PATHOBJ* widened = WidenPath(ppo, plineattrs, pxo);
  if (widened == nullptr) return FALSE;
  bool ok = FillPathOnBitmap(pso, widened, pco, brush, rop, FP_WINDINGMODE);
  EngDeletePath(widened);
  return ok ? TRUE : FALSE;
}

KVAPI BOOL EngLineTo(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, LONG x1, LONG y1, LONG x2,
                     LONG y2, RECTL* /*prclBounds*/, MIX mix) {
  PATHOBJ* path = EngCreatePath();
  if (path == nullptr) return FALSE;
  POINTFIX end{ToFix(x2), ToFix(y2)};
  LINEATTRS attrs{};
  BOOL ok = PATHOBJ_bMoveTo(path, POINTFIX{ToFix(x1), ToFix(y1)}) &&
            PATHOBJ_bPolyLineTo(path, &end, 1) &&
            EngStrokePath(pso, path, pco, nullptr, pbo, nullptr, &attrs, mix);
  EngDeletePath(path);
  return ok;
}
