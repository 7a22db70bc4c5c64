// Pens and brushes: CreatePen, ExtCreatePen and the brush constructors. The
// objects are plain descriptions; each drawing call turns them into the
// engine's LINEATTRS and BRUSHOBJ for the surface it draws on.
#include "gdi/drawing.h"
#include "kvplat/kernel.h"

namespace kvplat::gdi {
namespace {

HGDIOBJ Register(std::shared_ptr<GdiObject> object) { return RegisterObject(std::move(object)); }

template <typename Handle>
Handle Invalid() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

constexpr ULONG kEndCaps[] = {ENDCAP_ROUND, ENDCAP_SQUARE, ENDCAP_BUTT};
constexpr ULONG kJoins[] = {JOIN_ROUND, JOIN_BEVEL, JOIN_MITER};

// A brush description from a LOGBRUSH; false for a style or hatch we do not know.
bool BrushFromLog(const LOGBRUSH& log, BrushData* out) {
  *out = BrushData{};
  out->style = log.lbStyle;
  out->color = log.lbColor & 0xFFFFFF;
  switch (log.lbStyle) {
    case BS_SOLID:
    case BS_NULL: return true;
    case BS_HATCHED:
      if (log.lbHatch >= HS_DDI_MAX) return false;
      out->hatch = static_cast<ULONG>(log.lbHatch);
      return true;
    case BS_PATTERN: {
      auto object = FindObject(reinterpret_cast<HGDIOBJ>(log.lbHatch), ObjectKind::Bitmap);
      if (object == nullptr) return false;
      out->pattern = CopyBitmap(*object->bitmap);
      return out->pattern != nullptr;
    }
    case BS_DIBPATTERN:
    case BS_DIBPATTERNPT: {
      // lbHatch: the packed DIB (for BS_DIBPATTERN a global handle, which is
      // its address here); lbColor: DIB_RGB_COLORS or DIB_PAL_COLORS.
      const auto* info = reinterpret_cast<const BITMAPINFO*>(log.lbHatch);
      if (info == nullptr) return false;
      out->pattern = BitmapFromDib(info, nullptr, log.lbColor);
      out->style = BS_DIBPATTERN;
      out->color = 0;
      return out->pattern != nullptr;
    }
    default: return false;
  }
}

}  // namespace

const PenData& CurrentPen(const DrawState& state) {
  static const PenData black{};
  return state.pen ? state.pen->pen : black;
}

const BrushData& CurrentBrush(const DrawState& state) {
  static const BrushData white{BS_SOLID, 0xFFFFFF, 0, nullptr};
  return state.brush ? state.brush->brush : white;
}

}  // namespace kvplat::gdi

using namespace kvplat::gdi;

KVAPI HPEN CreatePen(int style, int width, COLORREF color) {
  DWORD kind = static_cast<DWORD>(style);
  if (kind > PS_INSIDEFRAME) return Invalid<HPEN>();
  auto o = std::make_shared<GdiObject>();
  o->kind = ObjectKind::Pen;
  PenData& pen = o->pen;
  pen.width = width < 0 ? 0 : width;
  // Pens wider than a pixel draw solid, with round ends and joins.
  if (pen.width > 1 && kind != PS_NULL && kind != PS_INSIDEFRAME) kind = PS_SOLID;
  pen.style = kind;
  pen.geometric = pen.width > 1;
  pen.brush.color = color & 0xFFFFFF;
  return static_cast<HPEN>(Register(std::move(o)));
}

KVAPI HPEN ExtCreatePen(DWORD style, DWORD width, const LOGBRUSH* brush, DWORD styleCount,
                        const DWORD* styles) {
  const DWORD kind = style & PS_STYLE_MASK;
  const DWORD type = style & PS_TYPE_MASK;
  const DWORD cap = (style & PS_ENDCAP_MASK) >> 8;
  const DWORD join = (style & PS_JOIN_MASK) >> 12;
  if (brush == nullptr || kind > PS_ALTERNATE || (type != PS_COSMETIC && type != PS_GEOMETRIC) ||
      cap > 2 || join > 2 || (style & ~(PS_STYLE_MASK | PS_ENDCAP_MASK | PS_JOIN_MASK |
                                        PS_TYPE_MASK)) != 0) {
    return Invalid<HPEN>();
  }
  auto o = std::make_shared<GdiObject>();
  o->kind = ObjectKind::Pen;
  PenData& pen = o->pen;
  pen.extended = true;
  pen.style = kind;
  pen.geometric = type == PS_GEOMETRIC;
  if (width > 0x7FFFFFF) return Invalid<HPEN>();
  pen.width = static_cast<LONG>(width);
  pen.endCap = kEndCaps[cap];
  pen.join = kJoins[join];
  if (!BrushFromLog(*brush, &pen.brush)) return Invalid<HPEN>();
  if (pen.geometric) {
    if (kind == PS_ALTERNATE) return Invalid<HPEN>();
  } else {
    // Cosmetic pens: one pixel, one colour, no caps or joins of their own.
    if (width != 1 || (brush->lbStyle != BS_SOLID && brush->lbStyle != BS_NULL) ||
        (style & (PS_ENDCAP_MASK | PS_JOIN_MASK)) != 0 || kind == PS_INSIDEFRAME) {
      return Invalid<HPEN>();
    }
  }
  if (kind == PS_USERSTYLE) {
    if (styles == nullptr || styleCount == 0 || styleCount > 16) return Invalid<HPEN>();
    bool any = false;
    for (DWORD i = 0; i < styleCount; ++i) {
      if (styles[i] > 0xFFFF) return Invalid<HPEN>();
      any = any || styles[i] != 0;
    }
    if (!any) return Invalid<HPEN>();
    pen.userStyle.assign(styles, styles + styleCount);
  } else if (styleCount != 0 || styles != nullptr) {
    return Invalid<HPEN>();
  }
  if (brush->lbStyle == BS_NULL) pen.style = PS_NULL;
  return static_cast<HPEN>(Register(std::move(o)));
}

KVAPI HBRUSH CreateSolidBrush(COLORREF color) {
  LOGBRUSH log{BS_SOLID, color, 0};
  return CreateBrushIndirect(&log);
}

KVAPI HBRUSH CreateHatchBrush(int hatch, COLORREF color) {
  if (hatch < 0) return Invalid<HBRUSH>();
  LOGBRUSH log{BS_HATCHED, color, static_cast<ULONG_PTR>(hatch)};
  return CreateBrushIndirect(&log);
}

KVAPI HBRUSH CreatePatternBrush(HBITMAP bitmap) {
  if (FindObject(bitmap, ObjectKind::Bitmap) == nullptr) return nullptr;
  LOGBRUSH log{BS_PATTERN, 0, reinterpret_cast<ULONG_PTR>(bitmap)};
  return CreateBrushIndirect(&log);
}

KVAPI HBRUSH CreateDIBPatternBrushPt(const void* packedDib, UINT usage) {
  if (packedDib == nullptr) return Invalid<HBRUSH>();
  LOGBRUSH log{BS_DIBPATTERNPT, usage, reinterpret_cast<ULONG_PTR>(packedDib)};
  return CreateBrushIndirect(&log);
}

KVAPI HBRUSH CreateBrushIndirect(const LOGBRUSH* brush) {
  if (brush == nullptr) return Invalid<HBRUSH>();
  auto o = std::make_shared<GdiObject>();
  o->kind = ObjectKind::Brush;
  SetLastError(ERROR_SUCCESS);
  if (!BrushFromLog(*brush, &o->brush)) {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return static_cast<HBRUSH>(Register(std::move(o)));
}
