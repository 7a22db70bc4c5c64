// Text output and measurement of application GDI: runs are laid out on the
// DC's realized font (alignment, distances given per character, character
// extra and justification), handed to the device as strings of glyphs with
// their background, underline and strike-out, and measured in logical units.
#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "gdi/text.h"
#include "kvplat/kernel.h"

namespace kvplat::gdi {
namespace {

// Longest run taken in one call.
constexpr std::size_t kMaxRun = 1u << 24;

// Per-thread buffers of the layout (no allocation per call once grown).
struct Scratch {
  std::vector<double> along;  // device advance of each character along the baseline
  std::vector<double> up;     // and upwards across it (ETO_PDY)
  std::vector<POINTL> origins;
};
thread_local Scratch t_scratch;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The advances of a run in device pixels: distances the application gave
// (logical units), or the font's advances with the DC's character extra and
// justification. Returns whether the placement differs from the font's own.
bool Advance(const DC& dc, const RealizedFont& r, const Matrix& m, std::span<const WCHAR> text,
             bool glyphIndices, const INT* dx, bool pairs, Scratch& sc) {
  const std::size_t n = text.size();
  sc.along.resize(n);
  sc.up.assign(pairs ? n : 0, 0.0);
  const engine::FontMetrics& fm = r.metrics;
  const double along = PixelsPerUnit(m, fm.baseX, fm.baseY);
  if (dx != nullptr) {
    const double across = PixelsPerUnit(m, fm.downX, fm.downY);
    for (std::size_t i = 0; i < n; ++i) {
      sc.along[i] = (pairs ? dx[2 * i] : dx[i]) * along;
      if (pairs) sc.up[i] = dx[2 * i + 1] * across;
    }
    return true;
  }
  if (!engine::GlyphAdvances(r.font, text, glyphIndices, sc.along)) {
    std::fill(sc.along.begin(), sc.along.end(), 0.0);
  }
  bool custom = false;
  const DrawState& s = dc.draw;
  if (s.charExtra != 0) {
    const double extra = s.charExtra * along;
    for (double& a : sc.along) a += extra;
    custom = true;
  }
  if (s.breakCount > 0 && s.breakExtra != 0 && !glyphIndices) {
    const IFIMETRICS* ifi = FONTOBJ_pifi(r.font);
    const WCHAR breakChar = ifi != nullptr && ifi->wcBreakChar != 0 ? ifi->wcBreakChar : u' ';
    const int each = s.breakExtra / s.breakCount;
    const int rest = s.breakExtra % s.breakCount;
    int seen = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (text[i] != breakChar) continue;
      sc.along[i] += (each + (seen < rest ? 1 : 0)) * along;
      ++seen;
      custom = true;
    }
  }
  return custom;
}

double Sum(const std::vector<double>& v) {
  double total = 0;
  for (double a : v) total += a;
  return total;
}

LONG Round(double v) {
  return static_cast<LONG>(std::lround(std::clamp(v, -2147483647.0, 2147483647.0)));
}

POINTL RoundPoint(double x, double y) { return POINTL{Round(x), Round(y)}; }

// A logical rectangle on the device (the box around it when the map turns).
RECTL DeviceBox(const Matrix& m, const RECT& r) {
  double xs[4], ys[4];
  const double lx[4] = {double(r.left), double(r.right), double(r.right), double(r.left)};
  const double ly[4] = {double(r.top), double(r.top), double(r.bottom), double(r.bottom)};
  for (int i = 0; i < 4; ++i) {
    xs[i] = lx[i] * m.m11 + ly[i] * m.m21 + m.dx;
    ys[i] = lx[i] * m.m12 + ly[i] * m.m22 + m.dy;
  }
  return RECTL{Round(*std::min_element(xs, xs + 4)), Round(*std::min_element(ys, ys + 4)),
               Round(*std::max_element(xs, xs + 4)), Round(*std::max_element(ys, ys + 4))};
}

bool OnAxis(double x, double y) { return std::fabs(x) < 1e-9 || std::fabs(y) < 1e-9; }

bool Inside(const RECTL& inner, const RECTL& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

// A band across the run from `from` to `to` pixels below the baseline
// (negative: above), from the start point to the end point: a rectangle
// when the run lies along an axis, else a path.
struct Band {
  double sx, sy, ex, ey;  // start and end on the baseline
  double dx, dy;          // downward unit vector
};

RECTL BandRect(const Band& b, double offset, double thickness) {
  const double top = std::round(offset);
  const double bottom = top + std::max(1.0, std::round(thickness));
  const double x0 = std::round(b.sx), x1 = std::round(b.ex);
  const double y0 = std::round(b.sy), y1 = std::round(b.ey);
  // Along the run: between the rounded ends; across: the rounded band.
  double left, right, upper, lower;
  if (std::fabs(b.dx) < 1e-9) {  // horizontal run
    left = std::min(x0, x1), right = std::max(x0, x1);
    const double a = y0 + b.dy * top, c = y0 + b.dy * bottom;
    upper = std::min(a, c), lower = std::max(a, c);
  } else {  // vertical run
    upper = std::min(y0, y1), lower = std::max(y0, y1);
    const double a = x0 + b.dx * top, c = x0 + b.dx * bottom;
    left = std::min(a, c), right = std::max(a, c);
  }
  if (right <= left) right = left + 1;
  if (lower <= upper) lower = upper + 1;
  return RECTL{Round(left), Round(upper), Round(right), Round(lower)};
}

bool AddBand(PATHOBJ* path, const Band& b, double offset, double thickness) {
  const double t = std::max(1.0, thickness);
  auto fix = [](double x, double y) {
    return POINTFIX{static_cast<FIX>(std::lround(x * 16)), static_cast<FIX>(std::lround(y * 16))};
  };
  POINTFIX p[3] = {fix(b.ex + b.dx * offset, b.ey + b.dy * offset),
                   fix(b.ex + b.dx * (offset + t), b.ey + b.dy * (offset + t)),
                   fix(b.sx + b.dx * (offset + t), b.sy + b.dy * (offset + t))};
  return PATHOBJ_bMoveTo(path, fix(b.sx + b.dx * offset, b.sy + b.dy * offset)) &&
         PATHOBJ_bPolyLineTo(path, p, 3) && PATHOBJ_bCloseFigure(path);
}

struct PathHolder {
  PATHOBJ* path = nullptr;
  ~PathHolder() {
    if (path != nullptr) EngDeletePath(path);
  }
};

struct StringHolder {
  STROBJ* str = nullptr;
  ~StringHolder() { engine::DeleteStringObject(str); }
};

// Fills the background of a run that lies off the page's axes: its cells
// turned with it (a box around them would cover the neighbours).
bool TurnedBackground(const Band& b, const engine::FontMetrics& fm, PATHOBJ** out) {
  *out = EngCreatePath();
  if (*out == nullptr) return false;
  return AddBand(*out, b, -fm.ascent, fm.ascent + fm.descent);
}

BOOL DrawRun(HDC hdc, int x, int y, UINT options, const RECT* rect, LPCWSTR text, UINT count,
              const INT* dx) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (text == nullptr && count > 0) return Fail(ERROR_INVALID_PARAMETER);
  if (count > kMaxRun) return Fail(ERROR_INVALID_PARAMETER);
  DC& dc = *call;
  const DrawState& s = dc.draw;
  const bool opaqueRect = rect != nullptr && (options & ETO_OPAQUE) != 0;
  const bool clipRect = rect != nullptr && (options & ETO_CLIPPED) != 0;
  if (count == 0 && !opaqueRect) return TRUE;
  if (!ReadyForOutput(dc)) return FALSE;
  const Matrix m = DeviceMatrix(s);
  const RECTL box = rect != nullptr ? DeviceBox(m, *rect) : RECTL{};
  if (count == 0) {
    // Only the rectangle: the usual way of filling one with the background colour.
    const BrushData background{BS_SOLID, s.backgroundColor, 0, nullptr};
    return PaintDeviceRects(dc, std::span<const RECTL>(&box, 1), &background, kRopPatCopy);
  }
  RealizedFont* r = RealizeFont(dc);
  if (r == nullptr) return FALSE;
  const engine::FontMetrics& fm = r->metrics;
  const std::span<const WCHAR> run(text, count);
  const bool glyphIndices = (options & ETO_GLYPH_INDEX) != 0;
  const bool pairs = dx != nullptr && (options & ETO_PDY) != 0;
  Scratch& sc = t_scratch;
  const bool custom = Advance(dc, *r, m, run, glyphIndices, dx, pairs, sc);
  const double width = Sum(sc.along);

  // The reference point and where the run starts from it.
  const bool updateCp = (s.textAlign & TA_UPDATECP) != 0;
  const double lx = updateCp ? s.currentPosition.x : x;
  const double ly = updateCp ? s.currentPosition.y : y;
  double rx = lx * m.m11 + ly * m.m21 + m.dx;
  double ry = lx * m.m12 + ly * m.m22 + m.dy;
  if (!(std::fabs(rx) <= kMaxDeviceCoordinate) || !(std::fabs(ry) <= kMaxDeviceCoordinate)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (s.graphicsMode == GM_COMPATIBLE) rx = std::round(rx), ry = std::round(ry);
  const UINT horizontal = s.textAlign & TA_CENTER;
  const UINT vertical = s.textAlign & TA_BASELINE;
  const double shift = horizontal == TA_CENTER ? width / 2 : horizontal == TA_RIGHT ? width : 0;
  const double drop = vertical == TA_BASELINE ? 0
                      : vertical == TA_BOTTOM ? -std::round(fm.descent)
                                              : std::round(fm.ascent);
  const double ox = rx - shift * fm.baseX + drop * fm.downX;
  const double oy = ry - shift * fm.baseY + drop * fm.downY;

  StringHolder str;
  if (!custom) {
    str.str = engine::CreateStringObject(r->font, run, glyphIndices, RoundPoint(ox, oy));
  } else {
    sc.origins.resize(count);
    double a = 0, u = 0;
    for (std::size_t i = 0; i < count; ++i) {
      sc.origins[i] = RoundPoint(ox + a * fm.baseX - u * fm.downX, oy + a * fm.baseY - u * fm.downY);
      a += sc.along[i];
      if (pairs) u += sc.up[i];
    }
    const POINTL end = RoundPoint(ox + a * fm.baseX - u * fm.downX, oy + a * fm.baseY - u * fm.downY);
    str.str = engine::CreateStringObjectAt(r->font, run, glyphIndices, sc.origins, end,
                                           pairs ? SO_DXDY : 0);
  }
  if (str.str == nullptr) return FALSE;

  const bool axis = OnAxis(fm.baseX, fm.baseY);
  const Band band{ox, oy, ox + width * fm.baseX, oy + width * fm.baseY, fm.downX, fm.downY};
  // Underline and strike-out.
  RECTL extra[3] = {};
  int extras = 0;
  PathHolder strokes;
  const bool underline = r->logical.lfUnderline != 0, strikeOut = r->logical.lfStrikeOut != 0;
  if (underline || strikeOut) {
    if (axis) {
      if (underline) extra[extras++] = BandRect(band, fm.underlineOffset, fm.underlineThickness);
      if (strikeOut) extra[extras++] = BandRect(band, fm.strikeoutOffset, fm.strikeoutThickness);
    } else {
      strokes.path = EngCreatePath();
      if (strokes.path == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
      if ((underline && !AddBand(strokes.path, band, fm.underlineOffset, fm.underlineThickness)) ||
          (strikeOut && !AddBand(strokes.path, band, fm.strikeoutOffset, fm.strikeoutThickness))) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
      }
    }
  }

  // The background: the rectangle asked for, and in OPAQUE mode the text's cells.
  DeviceText out;
  out.str = str.str;
  out.font = r->font;
  out.extra = extras > 0 ? extra : nullptr;
  out.extraPath = strokes.path;
  out.fore = s.textColor;
  out.back = s.backgroundColor;
  out.clipRect = clipRect ? &box : nullptr;
  PathHolder turned;
  RECTL cells = str.str->rclBkGround;
  const bool opaqueCells = s.bkMode == OPAQUE;
  if (opaqueRect) {
    if (opaqueCells && !clipRect && !Inside(cells, box)) {
      const BrushData background{BS_SOLID, s.backgroundColor, 0, nullptr};
      if (!PaintDeviceRects(dc, std::span<const RECTL>(&box, 1), &background, kRopPatCopy)) {
        return FALSE;
      }
    } else {
      out.opaque = &box;
    }
  }
  if (opaqueCells && out.opaque == nullptr) {
    if (axis) {
      out.opaque = &cells;
    } else {
      if (!TurnedBackground(band, fm, &turned.path)) return Fail(ERROR_NOT_ENOUGH_MEMORY);
      out.opaquePath = turned.path;
    }
  }
  if (!DrawDeviceText(dc, out)) return FALSE;

  if (updateCp && horizontal != TA_CENTER) {
    Matrix inverse;
    if (Invert(m, &inverse)) {
      // The position moves to where the run ends: along the baseline and,
      // with ETO_PDY, across it by the offsets' sum.
      const double sign = horizontal == TA_RIGHT ? -1 : 1;
      const double rise = pairs ? Sum(sc.up) : 0;
      const double vx = sign * (width * fm.baseX - rise * fm.downX);
      const double vy = sign * (width * fm.baseY - rise * fm.downY);
      dc.draw.currentPosition = POINTL{Round(lx + vx * inverse.m11 + vy * inverse.m21),
                                       Round(ly + vx * inverse.m12 + vy * inverse.m22)};
    }
  }
  return TRUE;
}

// The extent of a run in logical units and, when `prefixes` is given, the
// extent of each of its prefixes.
BOOL Measure(HDC hdc, LPCWSTR text, int count, int* prefixes, int maxExtent, int* fit, SIZE* size) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (count < 0 || (text == nullptr && count > 0) || size == nullptr ||
      static_cast<std::size_t>(count) > kMaxRun) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  DC& dc = *call;
  RealizedFont* r = RealizeFont(dc);
  if (r == nullptr) return FALSE;
  const Matrix m = DeviceMatrix(dc.draw);
  Scratch& sc = t_scratch;
  Advance(dc, *r, m, std::span<const WCHAR>(text, static_cast<std::size_t>(count)), false, nullptr,
          false, sc);
  const double along = PixelsPerUnit(m, r->metrics.baseX, r->metrics.baseY);
  double total = 0;
  int fits = 0;
  for (int i = 0; i < count; ++i) {
    total += sc.along[static_cast<std::size_t>(i)];
    const LONG extent = Round(total / along);
    if (prefixes != nullptr) prefixes[i] = extent;
    if (extent <= maxExtent && fits == i) fits = i + 1;
  }
  if (fit != nullptr) *fit = fits;
  TEXTMETRICW tm;
  TextMetricsOf(dc, *r, &tm);
  *size = SIZE{Round(total / along), tm.tmHeight};
  return TRUE;
}

}  // namespace
}  // namespace kvplat::gdi

using namespace kvplat::gdi;

KVAPI BOOL TextOutW(HDC hdc, int x, int y, LPCWSTR text, int count) {
  if (count < 0) {
    if (!DcCall(hdc)) return FALSE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return DrawRun(hdc, x, y, 0, nullptr, text, static_cast<UINT>(count), nullptr);
}

KVAPI BOOL ExtTextOutW(HDC hdc, int x, int y, UINT options, const RECT* rect, LPCWSTR text,
                       UINT count, const INT* dx) {
  return DrawRun(hdc, x, y, options, rect, text, count, dx);
}

KVAPI BOOL GetTextExtentPoint32W(HDC hdc, LPCWSTR text, int count, SIZE* size) {
  return Measure(hdc, text, count, nullptr, 0, nullptr, size);
}

KVAPI BOOL GetTextExtentPointW(HDC hdc, LPCWSTR text, int count, SIZE* size) {
  return Measure(hdc, text, count, nullptr, 0, nullptr, size);
}

KVAPI BOOL GetTextExtentExPointW(HDC hdc, LPCWSTR text, int count, int maxExtent, int* fit,
                                 int* dx, SIZE* size) {
  return Measure(hdc, text, count, dx, maxExtent, fit, size);
}
