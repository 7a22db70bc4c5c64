// Brushes and their realization by the driver, colour translation between
// palettes, and transforms.
#include <algorithm>
#include <array>
#include <cmath>

#include "engine/objects_internal.h"

namespace kvplat::engine::detail {

namespace {

constexpr std::uint32_t kBrushMagic = 0x48535242;  // "BRSH"
constexpr std::uint32_t kXlateMagic = 0x54414C58;  // "XLAT"
constexpr std::uint32_t kXformMagic = 0x4D524658;  // "XFRM"

}  // namespace

struct Brush {
  BRUSHOBJ object{};
  std::uint32_t magic = kBrushMagic;
  kvplat::engine::BrushSetup setup;
  PVOID allocated = nullptr;  // storage handed out by BRUSHOBJ_pvAllocRbrush
  bool realizing = false;
  ~Brush() { EngFreeMem(allocated); }
};

namespace {

Brush* AsBrush(BRUSHOBJ* object) {
  auto* brush = reinterpret_cast<Brush*>(object);
  return brush != nullptr && brush->magic == kBrushMagic ? brush : nullptr;
}

}  // namespace

ULONG BrushSource::At(LONG x, LONG y) const {
  if (solid || pattern == nullptr) return color;
  LONG cx = pattern->sizlBitmap.cx, cy = pattern->sizlBitmap.cy;
  LONG px = (x - origin.x) % cx, py = (y - origin.y) % cy;
  if (px < 0) px += cx;
  if (py < 0) py += cy;
  return kvplat::engine::GetPixel(pattern, px, py);
}

bool BrushSourceOf(BRUSHOBJ* object, const POINTL* origin, BrushSource* out) {
  *out = BrushSource{};
  if (object == nullptr) return false;
  if (origin != nullptr) out->origin = *origin;
  if (object->iSolidColor != kPatternBrushColor) {
    out->color = object->iSolidColor;
    return true;
  }
  Brush* brush = AsBrush(object);
  if (brush == nullptr || brush->setup.pattern == nullptr ||
      brush->setup.pattern->pvScan0 == nullptr || brush->setup.pattern->sizlBitmap.cx <= 0 ||
      brush->setup.pattern->sizlBitmap.cy <= 0) {
    return false;
  }
  out->solid = false;
  out->pattern = brush->setup.pattern;
  return true;
}

// ---- colour translation

struct Xlate {
  XLATEOBJ object{};
  std::uint32_t magic = kXlateMagic;
  ULONG srcMode = PAL_RGB, dstMode = PAL_RGB;
  EngArray<ULONG> srcColors, dstColors;
  FLONG srcMasks[3] = {}, dstMasks[3] = {};
  EngArray<ULONG> table;
  kvplat::engine::PaletteDesc Src() const {
    return {srcMode, std::span<const ULONG>(srcColors.Data(), srcColors.Size()), srcMasks[0],
            srcMasks[1], srcMasks[2]};
  }
  kvplat::engine::PaletteDesc Dst() const {
    return {dstMode, std::span<const ULONG>(dstColors.Data(), dstColors.Size()), dstMasks[0],
            dstMasks[1], dstMasks[2]};
  }
};

namespace {

Xlate* AsXlate(XLATEOBJ* object) {
  auto* x = reinterpret_cast<Xlate*>(object);
  return x != nullptr && x->magic == kXlateMagic ? x : nullptr;
}

int LowBit(FLONG mask) {
  if (mask == 0) return 0;
  int n = 0;
  while (!(mask & 1)) mask >>= 1, ++n;
  return n;
}
ULONG ExtractChannel(ULONG value, FLONG mask) {
  if (mask == 0) return 0;
  int shift = LowBit(mask);
  ULONG max = mask >> shift;
  ULONG v = (value & mask) >> shift;
  return max == 0 ? 0 : (v * 255 + max / 2) / max;
}
ULONG InsertChannel(ULONG byte, FLONG mask) {
  if (mask == 0) return 0;
  int shift = LowBit(mask);
  ULONG max = mask >> shift;
  return ((byte * max + 127) / 255) << shift;
}

// The 16 colours of the standard VGA palette, 0x00BBGGRR.
constexpr std::array<ULONG, 16> kVga16 = {
    0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000, 0x808080,
    0xC0C0C0, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};
constexpr std::array<ULONG, 2> kMono = {0x000000, 0xFFFFFF};

constexpr std::array<ULONG, 256> Make256() {
  std::array<ULONG, 256> p{};
  for (int i = 0; i < 16; ++i) p[i] = kVga16[i];
  int k = 16;
  for (int b = 0; b < 6; ++b)
    for (int g = 0; g < 6; ++g)
      for (int r = 0; r < 6; ++r) p[k++] = ULONG(r * 51) | ULONG(g * 51) << 8 | ULONG(b * 51) << 16;
  for (int i = 0; k < 256; ++i, ++k) {
    ULONG v = ULONG(8 + i * 10);
    p[k] = v | v << 8 | v << 16;
  }
  return p;
}
constexpr std::array<ULONG, 256> kPalette256 = Make256();

bool SamePalette(const kvplat::engine::PaletteDesc& a, const kvplat::engine::PaletteDesc& b) {
  if (a.mode != b.mode) return false;
  if (a.mode == PAL_BITFIELDS) return a.red == b.red && a.green == b.green && a.blue == b.blue;
  if (a.mode == PAL_INDEXED) {
    return a.colors.size() == b.colors.size() &&
           std::equal(a.colors.begin(), a.colors.end(), b.colors.begin());
  }
  return true;
}

bool Copy(std::span<const ULONG> from, EngArray<ULONG>* to) {
  if (from.size() > 65536) return false;
  if (!to->Resize(from.size())) return false;
  for (std::size_t i = 0; i < from.size(); ++i) (*to)[i] = from[i];
  return true;
}

}  // namespace

// ---- transforms

struct Xform {
  XFORMOBJ object{};
  std::uint32_t magic = kXformMagic;
  FLOATOBJ_XFORM m{};
};

namespace {
Xform* AsXform(XFORMOBJ* object) {
  auto* x = reinterpret_cast<Xform*>(object);
  return x != nullptr && x->magic == kXformMagic ? x : nullptr;
}
ULONG Complexity(const FLOATOBJ_XFORM& m) {
  bool unit = m.eM11 == 1.0f && m.eM22 == 1.0f && m.eM12 == 0.0f && m.eM21 == 0.0f;
  bool noOffset = m.eDx == 0.0f && m.eDy == 0.0f;
  if (unit) return noOffset ? GX_IDENTITY : GX_OFFSET;
  if (m.eM12 == 0.0f && m.eM21 == 0.0f) return GX_SCALE;
  return GX_GENERAL;
}
}  // namespace

bool XformMatrix(XFORMOBJ* object, FLOATOBJ_XFORM* out) {
  Xform* x = AsXform(object);
  if (x == nullptr) return false;
  *out = x->m;
  return true;
}

}  // namespace kvplat::engine::detail

using namespace kvplat::engine::detail;

// ---- brush services ----------------------------------------------------------------

KVAPI PVOID BRUSHOBJ_pvAllocRbrush(BRUSHOBJ* pbo, ULONG cj) {
  Brush* brush = AsBrush(pbo);
  if (brush == nullptr || cj == 0 || cj > (1u << 30)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  PVOID block = EngAllocMem(FL_ZERO_MEMORY, cj, kTag);
  if (block == nullptr) return nullptr;
  // A realization being replaced is freed here; the last one with the brush.
  if (brush->object.pvRbrush == brush->allocated) brush->object.pvRbrush = nullptr;
  EngFreeMem(brush->allocated);
  brush->allocated = block;
  return block;
}

KVAPI PVOID BRUSHOBJ_pvGetRbrush(BRUSHOBJ* pbo) {
  Brush* brush = AsBrush(pbo);
  if (brush == nullptr) return pbo != nullptr ? pbo->pvRbrush : nullptr;
  if (brush->object.pvRbrush != nullptr) return brush->object.pvRbrush;
  if (brush->realizing || brush->setup.realize == nullptr ||
      brush->object.iSolidColor != kPatternBrushColor) {
    return nullptr;
  }
  brush->realizing = true;
  BOOL ok = brush->setup.realize(&brush->object, brush->setup.target, brush->setup.pattern,
                                 brush->setup.mask, brush->setup.xlate, brush->setup.hatch);
  brush->realizing = false;
  if (!ok || brush->allocated == nullptr) {
    EngFreeMem(brush->allocated);
    brush->allocated = nullptr;
    brush->object.pvRbrush = nullptr;
    return nullptr;
  }
  brush->object.pvRbrush = brush->allocated;
  return brush->object.pvRbrush;
}

KVAPI ULONG BRUSHOBJ_ulGetBrushColor(BRUSHOBJ* pbo) {
  return pbo != nullptr ? pbo->iSolidColor : kPatternBrushColor;
}

// ---- colour translation services ------------------------------------------------------

KVAPI ULONG XLATEOBJ_iXlate(XLATEOBJ* pxlo, ULONG iColor) {
  if (pxlo == nullptr) return iColor;
  if (pxlo->flXlate & XO_TRIVIAL) return iColor;
  if (pxlo->flXlate & XO_TABLE) {
    return pxlo->pulXlate != nullptr && iColor < pxlo->cEntries ? pxlo->pulXlate[iColor] : 0;
  }
  Xlate* x = AsXlate(pxlo);
  if (x == nullptr) return iColor;
  return kvplat::engine::RgbToPalette(x->Dst(), kvplat::engine::PaletteToRgb(x->Src(), iColor));
}

KVAPI ULONG XLATEOBJ_cGetPalette(XLATEOBJ* pxlo, ULONG iPal, ULONG cPal, ULONG* pPal) {
  Xlate* x = AsXlate(pxlo);
  if (x == nullptr) return 0;
  kvplat::engine::PaletteDesc desc = iPal == XO_SRCPALETTE ? x->Src() : x->Dst();
  if (iPal != XO_SRCPALETTE && iPal != XO_DESTPALETTE && iPal != XO_DESTDCPALETTE) return 0;
  std::array<ULONG, 3> masks = {desc.red, desc.green, desc.blue};
  std::span<const ULONG> entries = desc.mode == PAL_INDEXED ? desc.colors
                                   : desc.mode == PAL_BITFIELDS ? std::span<const ULONG>(masks)
                                                                : std::span<const ULONG>();
  if (pPal == nullptr) return static_cast<ULONG>(entries.size());
  ULONG n = std::min<ULONG>(cPal, static_cast<ULONG>(entries.size()));
  for (ULONG i = 0; i < n; ++i) pPal[i] = entries[i];
  return n;
}

// ---- transform services ------------------------------------------------------------------

KVAPI ULONG XFORMOBJ_iGetXform(XFORMOBJ* pxo, XFORML* pxform) {
  Xform* x = AsXform(pxo);
  if (x == nullptr) return DDI_ERROR;
  if (pxform != nullptr) {
    *pxform = XFORML{x->m.eM11, x->m.eM12, x->m.eM21, x->m.eM22, x->m.eDx, x->m.eDy};
  }
  return Complexity(x->m);
}

KVAPI ULONG XFORMOBJ_iGetFloatObjXform(XFORMOBJ* pxo, FLOATOBJ_XFORM* pxfo) {
  Xform* x = AsXform(pxo);
  if (x == nullptr) return DDI_ERROR;
  if (pxfo != nullptr) *pxfo = x->m;
  return Complexity(x->m);
}

KVAPI BOOL XFORMOBJ_bApplyXform(XFORMOBJ* pxo, ULONG iMode, ULONG cPoints, PVOID pvIn,
                                PVOID pvOut) {
  Xform* x = AsXform(pxo);
  if (x == nullptr || pvIn == nullptr || pvOut == nullptr || iMode > XF_INV_FXTOL) return FALSE;
  const FLOATOBJ_XFORM& m = x->m;
  double a = m.eM11, b = m.eM12, c = m.eM21, d = m.eM22, dx = m.eDx, dy = m.eDy;
  bool inverse = iMode == XF_INV_LTOL || iMode == XF_INV_FXTOL;
  double ia = 0, ib = 0, ic = 0, id = 0;
  if (inverse) {
    double det = a * d - b * c;
    if (det == 0 || !std::isfinite(det)) return FALSE;
    ia = d / det, ib = -b / det, ic = -c / det, id = a / det;
  }
  auto toLong = [](double v, LONG* out) {
    if (!(v >= -2147483648.0 && v <= 2147483647.0)) return false;
    *out = static_cast<LONG>(std::lround(v));
    return true;
  };
  // Points are read before the output is written, so in and out may be the same.
  const auto* in = static_cast<const POINTL*>(pvIn);
  auto* out = static_cast<POINTL*>(pvOut);
  for (ULONG i = 0; i < cPoints; ++i) {
    double px = in[i].x, py = in[i].y;
    if (iMode == XF_INV_FXTOL) px /= 16.0, py /= 16.0;
    double rx, ry;
    if (inverse) {
      px -= dx, py -= dy;
      rx = px * ia + py * ic;
      ry = px * ib + py * id;
    } else {
      rx = px * a + py * c + dx;
      ry = px * b + py * d + dy;
    }
    if (iMode == XF_LTOFX) rx *= 16.0, ry *= 16.0;
    POINTL r;
    if (!toLong(rx, &r.x) || !toLong(ry, &r.y)) return FALSE;
    out[i] = r;
  }
  return TRUE;
}

// ---- host side ---------------------------------------------------------------------------

namespace kvplat::engine {

BRUSHOBJ* CreateBrush(const BrushSetup& setup) {
  Brush* brush = NewObject<Brush>();
  if (brush == nullptr) return nullptr;
  brush->setup = setup;
  brush->object.iSolidColor = setup.solidColor;
  brush->object.flColorType = setup.colorType;
  return &brush->object;
}

void DeleteBrush(BRUSHOBJ* pbo) {
  Brush* brush = AsBrush(pbo);
  if (brush == nullptr) return;
  brush->magic = 0;
  DeleteObject(brush);
}

PFN FindDriverFunction(std::span<const DRVFN> table, ULONG index) {
  for (const DRVFN& f : table) {
    if (f.iFunc == index) return f.pfn;
  }
  return nullptr;
}

namespace {
PFN SurfaceFunction(const SURFOBJ* target, ULONG index) {
  if (target == nullptr) return nullptr;
  Device* device = DeviceFromHdev(target->hdev);
  return device != nullptr ? DriverFunction(device->driver, index) : nullptr;
}
}  // namespace

PFN_DrvRealizeBrush DriverRealizeBrush(const SURFOBJ* target) {
  return reinterpret_cast<PFN_DrvRealizeBrush>(SurfaceFunction(target, INDEX_DrvRealizeBrush));
}
PFN_DrvBitBlt DriverBitBlt(const SURFOBJ* target) {
  if (target == nullptr) return nullptr;
  Device* device = DeviceFromHdev(target->hdev);
  if (device == nullptr || !(device->hooks & HOOK_BITBLT)) return nullptr;
  return reinterpret_cast<PFN_DrvBitBlt>(DriverFunction(device->driver, INDEX_DrvBitBlt));
}
PFN_DrvCopyBits DriverCopyBits(const SURFOBJ* target) {
  return reinterpret_cast<PFN_DrvCopyBits>(SurfaceFunction(target, INDEX_DrvCopyBits));
}

ULONG PaletteToRgb(const PaletteDesc& p, ULONG color) {
  switch (p.mode) {
    case PAL_INDEXED:
      return color < p.colors.size() ? p.colors[color] & 0xFFFFFF : 0;
    case PAL_BGR:
      return ((color >> 16) & 0xFF) | (color & 0xFF00) | ((color & 0xFF) << 16);
    case PAL_BITFIELDS:
      return ExtractChannel(color, p.red) | ExtractChannel(color, p.green) << 8 |
             ExtractChannel(color, p.blue) << 16;
    default:
      return color & 0xFFFFFF;
  }
}

ULONG RgbToPalette(const PaletteDesc& p, ULONG rgb) {
  ULONG r = rgb & 0xFF, g = (rgb >> 8) & 0xFF, b = (rgb >> 16) & 0xFF;
  switch (p.mode) {
    case PAL_INDEXED: {
      ULONG best = 0;
      long bestDistance = -1;
      for (std::size_t i = 0; i < p.colors.size(); ++i) {
        ULONG c = p.colors[i];
        long dr = long(c & 0xFF) - long(r), dg = long((c >> 8) & 0xFF) - long(g),
             db = long((c >> 16) & 0xFF) - long(b);
        long distance = dr * dr + dg * dg + db * db;
        if (bestDistance < 0 || distance < bestDistance) {
          bestDistance = distance;
          best = static_cast<ULONG>(i);
          if (distance == 0) break;
        }
      }
      return best;
    }
    case PAL_BGR:
      return b | g << 8 | r << 16;
    case PAL_BITFIELDS:
      return InsertChannel(r, p.red) | InsertChannel(g, p.green) | InsertChannel(b, p.blue);
    default:
      return rgb & 0xFFFFFF;
  }
}

PaletteDesc FormatPalette(ULONG format, std::span<const ULONG> colors) {
  PaletteDesc p;
  switch (format) {
    case BMF_1BPP:
    case BMF_4BPP:
    case BMF_8BPP:
      p.mode = PAL_INDEXED;
      if (!colors.empty()) {
        p.colors = colors;
      } else if (format == BMF_1BPP) {
        p.colors = kMono;
      } else if (format == BMF_4BPP) {
        p.colors = kVga16;
      } else {
        p.colors = kPalette256;
      }
      break;
    case BMF_16BPP:
      p.mode = PAL_BITFIELDS;
      p.red = 0x7C00, p.green = 0x03E0, p.blue = 0x001F;
      break;
    default:
      p.mode = PAL_BGR;
      break;
  }
  return p;
}

XLATEOBJ* CreateXlate(const PaletteDesc& source, const PaletteDesc& destination) {
  Xlate* x = NewObject<Xlate>();
  if (x == nullptr) return nullptr;
  x->srcMode = source.mode;
  x->dstMode = destination.mode;
  x->srcMasks[0] = source.red, x->srcMasks[1] = source.green, x->srcMasks[2] = source.blue;
  x->dstMasks[0] = destination.red, x->dstMasks[1] = destination.green,
  x->dstMasks[2] = destination.blue;
  if (!Copy(source.colors, &x->srcColors) || !Copy(destination.colors, &x->dstColors)) {
    DeleteObject(x);
    return nullptr;
  }
  x->object.iSrcType = static_cast<USHORT>(source.mode);
  x->object.iDstType = static_cast<USHORT>(destination.mode);
  if (SamePalette(source, destination)) {
    x->object.flXlate = XO_TRIVIAL;
  } else if (source.mode == PAL_INDEXED) {
    if (!x->table.Resize(source.colors.size())) {
      DeleteObject(x);
      return nullptr;
    }
    for (std::size_t i = 0; i < source.colors.size(); ++i) {
      x->table[i] = RgbToPalette(x->Dst(), source.colors[i] & 0xFFFFFF);
    }
    x->object.flXlate = XO_TABLE;
    x->object.cEntries = static_cast<ULONG>(x->table.Size());
    x->object.pulXlate = x->table.Data();
  }
  if (destination.mode == PAL_INDEXED && destination.colors.size() == 2) {
    x->object.flXlate |= XO_TO_MONO;
  }
  return &x->object;
}

void DeleteXlate(XLATEOBJ* pxlo) {
  Xlate* x = AsXlate(pxlo);
  if (x == nullptr) return;
  x->magic = 0;
  DeleteObject(x);
}

XFORMOBJ* CreateXform(const FLOATOBJ_XFORM& matrix) {
  Xform* x = NewObject<Xform>();
  if (x == nullptr) return nullptr;
  x->m = matrix;
  return &x->object;
}

void DeleteXform(XFORMOBJ* pxo) {
  Xform* x = AsXform(pxo);
  if (x == nullptr) return;
  x->magic = 0;
  DeleteObject(x);
}

}  // namespace kvplat::engine
