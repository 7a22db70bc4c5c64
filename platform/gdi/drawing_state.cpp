// Drawing attributes of a DC (raster operation, background, fill and stretch
// modes, colours), its coordinate spaces (mapping mode, window and viewport,
// world transform) and SaveDC / RestoreDC.
#include <algorithm>
#include <cmath>
#include <utility>

#include "gdi/drawing.h"
#include "kvplat/kernel.h"

namespace kvplat::gdi {
namespace {

constexpr LONG kScreenDpi = 96;

// Logical units per inch of the fixed mapping modes (0: not fixed).
LONG UnitsPerInch(int mode) {
  switch (mode) {
    case MM_LOMETRIC: return 254;
    case MM_HIMETRIC: return 2540;
    case MM_LOENGLISH: return 100;
    case MM_HIENGLISH: return 1000;
    case MM_TWIPS: return 1440;
    default: return 0;
  }
}

bool Scalable(int mode) { return mode == MM_ISOTROPIC || mode == MM_ANISOTROPIC; }

// MM_ISOTROPIC: one logical unit is as long in y as in x; the viewport
// extent that would make it longer shrinks.
void KeepIsotropic(DrawState& s) {
  if (s.mapMode != MM_ISOTROPIC) return;
  const double sx = std::fabs(double(s.viewportExtent.cx) / s.windowExtent.cx);
  const double sy = std::fabs(double(s.viewportExtent.cy) / s.windowExtent.cy);
  if (sx > sy) {
    const double v = std::round(sy * std::fabs(double(s.windowExtent.cx)));
    s.viewportExtent.cx = static_cast<LONG>(s.viewportExtent.cx < 0 ? -v : v);
  } else if (sy > sx) {
    const double v = std::round(sx * std::fabs(double(s.windowExtent.cy)));
    s.viewportExtent.cy = static_cast<LONG>(s.viewportExtent.cy < 0 ? -v : v);
  }
  if (s.viewportExtent.cx == 0) s.viewportExtent.cx = 1;
  if (s.viewportExtent.cy == 0) s.viewportExtent.cy = 1;
}

void SetFixedExtents(const DC& dc, DrawState& s, int mode) {
  LONG dpiX, dpiY;
  DeviceResolution(dc, &dpiX, &dpiY);
  const LONG units = UnitsPerInch(mode);
  s.windowExtent = SIZEL{units, units};
  s.viewportExtent = SIZEL{dpiX, -dpiY};
}

Matrix Multiply(const Matrix& a, const Matrix& b) {  // a, then b
  Matrix r;
  r.m11 = a.m11 * b.m11 + a.m12 * b.m21;
  r.m12 = a.m11 * b.m12 + a.m12 * b.m22;
  r.m21 = a.m21 * b.m11 + a.m22 * b.m21;
  r.m22 = a.m21 * b.m12 + a.m22 * b.m22;
  r.dx = a.dx * b.m11 + a.dy * b.m21 + b.dx;
  r.dy = a.dx * b.m12 + a.dy * b.m22 + b.dy;
  return r;
}

Matrix FromXform(const XFORM& x) {
  return Matrix{x.eM11, x.eM12, x.eM21, x.eM22, x.eDx, x.eDy};
}

bool Usable(const Matrix& m) {
  const double det = m.m11 * m.m22 - m.m12 * m.m21;
  return std::isfinite(det) && std::isfinite(m.dx) && std::isfinite(m.dy) && std::fabs(det) > 1e-12;
}

int Fail0(DWORD error = ERROR_INVALID_PARAMETER) {
  SetLastError(error);
  return 0;
}

// Runs `f(DrawState&)` on the DC's state; `fail` when the handle is bad.
template <typename R, typename F>
R WithState(HDC hdc, R fail, F&& f) {
  DcCall call(hdc);
  if (!call) return fail;
  return f(*call, call->draw);
}

template <typename T>
void Give(T* out, const T& value) {
  if (out != nullptr) *out = value;
}

}  // namespace

void DeviceResolution(const DC& dc, LONG* x, LONG* y) {
  if (dc.kind == DcKind::Printer && dc.printer.device != nullptr) {
    *x = static_cast<LONG>(dc.printer.device->gdiInfo.ulLogPixelsX);
    *y = static_cast<LONG>(dc.printer.device->gdiInfo.ulLogPixelsY);
    if (*x <= 0) *x = kScreenDpi;
    if (*y <= 0) *y = kScreenDpi;
    return;
  }
  *x = *y = kScreenDpi;
}

SIZEL SurfaceSize(const DC& dc) {
  if (dc.kind == DcKind::Memory) {
    const Bitmap& b = dc.memory.bitmap->bitmap();
    return SIZEL{b.Width(), b.Height()};
  }
  if (dc.printer.device == nullptr) return SIZEL{0, 0};
  const GDIINFO& g = dc.printer.device->gdiInfo;
  return SIZEL{static_cast<LONG>(g.ulHorzRes), static_cast<LONG>(g.ulVertRes)};
}

int MemoryDeviceCaps(const DC& dc, int index) {
  const Bitmap& b = dc.memory.bitmap->bitmap();
  switch (index) {
    case TECHNOLOGY: return static_cast<int>(DT_RASDISPLAY);
    case HORZRES: return b.Width();
    case VERTRES: return b.Height();
    case HORZSIZE: return static_cast<int>(b.Width() * 254 / (kScreenDpi * 10));
    case VERTSIZE: return static_cast<int>(b.Height() * 254 / (kScreenDpi * 10));
    case BITSPIXEL: return static_cast<int>(engine::BitsPerPixel(b.Format()));
    case PLANES: return 1;
    case LOGPIXELSX:
    case LOGPIXELSY: return kScreenDpi;
    case NUMCOLORS: return b.Format() <= BMF_8BPP ? 1 << engine::BitsPerPixel(b.Format()) : -1;
    case RASTERCAPS:
      return RC_BITBLT | RC_BITMAP64 | RC_DI_BITMAP | RC_DIBTODEV | RC_STRETCHBLT | RC_STRETCHDIB;
    case CLIPCAPS: return CP_RECTANGLE;
    case ASPECTX:
    case ASPECTY: return 36;
    case ASPECTXY: return 51;
    default: return 0;
  }
}

Matrix DeviceMatrix(const DrawState& s) {
  const double sx = double(s.viewportExtent.cx) / s.windowExtent.cx;
  const double sy = double(s.viewportExtent.cy) / s.windowExtent.cy;
  Matrix page{sx, 0, 0, sy, s.viewportOrigin.x - s.windowOrigin.x * sx,
              s.viewportOrigin.y - s.windowOrigin.y * sy};
  return Multiply(s.world, page);
}

bool Invert(const Matrix& m, Matrix* inverse) {
  const double det = m.m11 * m.m22 - m.m12 * m.m21;
  if (!std::isfinite(det) || det == 0) return false;
  Matrix r;
  r.m11 = m.m22 / det;
  r.m12 = -m.m12 / det;
  r.m21 = -m.m21 / det;
  r.m22 = m.m11 / det;
  r.dx = -(m.dx * r.m11 + m.dy * r.m21);
  r.dy = -(m.dx * r.m12 + m.dy * r.m22);
  *inverse = r;
  return true;
}

bool AxisAligned(const Matrix& m) { return m.m12 == 0 && m.m21 == 0; }

bool ToDeviceFix(const DrawState& s, const Matrix& m, double x, double y, POINTFIX* out) {
  const double dx = x * m.m11 + y * m.m21 + m.dx;
  const double dy = x * m.m12 + y * m.m22 + m.dy;
  if (!(std::fabs(dx) <= kMaxDeviceCoordinate) || !(std::fabs(dy) <= kMaxDeviceCoordinate)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (s.graphicsMode == GM_COMPATIBLE) {
    out->x = static_cast<FIX>(std::lround(dx)) * 16;
    out->y = static_cast<FIX>(std::lround(dy)) * 16;
  } else {
    out->x = static_cast<FIX>(std::lround(dx * 16));
    out->y = static_cast<FIX>(std::lround(dy * 16));
  }
  return true;
}

bool ToDeviceRect(const DrawState& s, const Matrix& m, const RECTL& r, RECTL* out) {
  POINTFIX a, b;
  if (!ToDeviceFix(s, m, r.left, r.top, &a) || !ToDeviceFix(s, m, r.right, r.bottom, &b)) {
    return false;
  }
  const LONG ax = (a.x + 8) >> 4, ay = (a.y + 8) >> 4, bx = (b.x + 8) >> 4, by = (b.y + 8) >> 4;
  *out = RECTL{std::min(ax, bx), std::min(ay, by), std::max(ax, bx), std::max(ay, by)};
  return true;
}

double DeviceWidth(const Matrix& m, LONG width) {
  const double scale = std::sqrt(std::fabs(m.m11 * m.m22 - m.m12 * m.m21));
  const double w = width * scale;
  return w < 1 ? 1 : w;
}

}  // namespace kvplat::gdi

using namespace kvplat::gdi;

// ---- attributes -------------------------------------------------------------------
KVAPI int SetROP2(HDC hdc, int rop2) {
  return WithState(hdc, 0, [&](DC&, DrawState& s) {
    if (rop2 < R2_BLACK || rop2 > R2_WHITE) return Fail0();
    return std::exchange(s.rop2, rop2);
  });
}
KVAPI int GetROP2(HDC hdc) { return WithState(hdc, 0, [](DC&, DrawState& s) { return s.rop2; }); }

KVAPI int SetBkMode(HDC hdc, int mode) {
  return WithState(hdc, 0, [&](DC&, DrawState& s) {
    if (mode != TRANSPARENT && mode != OPAQUE) return Fail0();
    return std::exchange(s.bkMode, mode);
  });
}
KVAPI int GetBkMode(HDC hdc) { return WithState(hdc, 0, [](DC&, DrawState& s) { return s.bkMode; }); }

KVAPI int SetPolyFillMode(HDC hdc, int mode) {
  return WithState(hdc, 0, [&](DC&, DrawState& s) {
    if (mode != ALTERNATE && mode != WINDING) return Fail0();
    return std::exchange(s.polyFillMode, mode);
  });
}
KVAPI int GetPolyFillMode(HDC hdc) {
  return WithState(hdc, 0, [](DC&, DrawState& s) { return s.polyFillMode; });
}

KVAPI int SetStretchBltMode(HDC hdc, int mode) {
  return WithState(hdc, 0, [&](DC&, DrawState& s) {
    if (mode < BLACKONWHITE || mode > HALFTONE) return Fail0();
    return std::exchange(s.stretchMode, mode);
  });
}

KVAPI COLORREF SetBkColor(HDC hdc, COLORREF color) {
  return WithState(hdc, CLR_INVALID, [&](DC&, DrawState& s) {
    return std::exchange(s.backgroundColor, color & 0xFFFFFF);
  });
}
KVAPI COLORREF GetBkColor(HDC hdc) {
  return WithState(hdc, CLR_INVALID, [](DC&, DrawState& s) { return s.backgroundColor; });
}
KVAPI COLORREF SetTextColor(HDC hdc, COLORREF color) {
  return WithState(hdc, CLR_INVALID, [&](DC&, DrawState& s) {
    return std::exchange(s.textColor, color & 0xFFFFFF);
  });
}
KVAPI COLORREF GetTextColor(HDC hdc) {
  return WithState(hdc, CLR_INVALID, [](DC&, DrawState& s) { return s.textColor; });
}

KVAPI BOOL SetBrushOrgEx(HDC hdc, int x, int y, POINT* previous) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) {
    Give(previous, s.brushOrigin);
    s.brushOrigin = POINTL{x, y};
    return TRUE;
  });
}

KVAPI int SetArcDirection(HDC hdc, int direction) {
  return WithState(hdc, 0, [&](DC&, DrawState& s) {
    if (direction != AD_COUNTERCLOCKWISE && direction != AD_CLOCKWISE) return Fail0();
    return std::exchange(s.arcDirection, direction);
  });
}
KVAPI int GetArcDirection(HDC hdc) {
  return WithState(hdc, 0, [](DC&, DrawState& s) { return s.arcDirection; });
}

// ---- coordinate spaces ---------------------------------------------------------------
KVAPI int SetMapMode(HDC hdc, int mode) {
  return WithState(hdc, 0, [&](DC& dc, DrawState& s) {
    if (mode < MM_TEXT || mode > MM_ANISOTROPIC) return Fail0();
    const int previous = s.mapMode;
    if (mode == MM_TEXT) {
      s.windowExtent = SIZEL{1, 1};
      s.viewportExtent = SIZEL{1, 1};
    } else if (UnitsPerInch(mode) != 0) {
      SetFixedExtents(dc, s, mode);
    } else if (mode == MM_ISOTROPIC && previous != MM_ISOTROPIC && previous != MM_ANISOTROPIC) {
      SetFixedExtents(dc, s, MM_LOMETRIC);
    }
    s.mapMode = mode;
    KeepIsotropic(s);
    return previous;
  });
}
KVAPI int GetMapMode(HDC hdc) { return WithState(hdc, 0, [](DC&, DrawState& s) { return s.mapMode; }); }

KVAPI BOOL SetWindowExtEx(HDC hdc, int x, int y, SIZE* previous) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) -> BOOL {
    Give(previous, s.windowExtent);
    if (!Scalable(s.mapMode)) return TRUE;
    if (x == 0 || y == 0) return Fail0();
    s.windowExtent = SIZEL{x, y};
    KeepIsotropic(s);
    return TRUE;
  });
}

KVAPI BOOL SetViewportExtEx(HDC hdc, int x, int y, SIZE* previous) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) -> BOOL {
    Give(previous, s.viewportExtent);
    if (!Scalable(s.mapMode)) return TRUE;
    if (x == 0 || y == 0) return Fail0();
    s.viewportExtent = SIZEL{x, y};
    KeepIsotropic(s);
    return TRUE;
  });
}

KVAPI BOOL SetWindowOrgEx(HDC hdc, int x, int y, POINT* previous) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) {
    Give(previous, s.windowOrigin);
    s.windowOrigin = POINTL{x, y};
    return TRUE;
  });
}

KVAPI BOOL SetViewportOrgEx(HDC hdc, int x, int y, POINT* previous) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) {
    Give(previous, s.viewportOrigin);
    s.viewportOrigin = POINTL{x, y};
    return TRUE;
  });
}

KVAPI BOOL OffsetViewportOrgEx(HDC hdc, int x, int y, POINT* previous) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) {
    Give(previous, s.viewportOrigin);
    s.viewportOrigin.x += x;
    s.viewportOrigin.y += y;
    return TRUE;
  });
}

KVAPI BOOL OffsetWindowOrgEx(HDC hdc, int x, int y, POINT* previous) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) {
    Give(previous, s.windowOrigin);
    s.windowOrigin.x += x;
    s.windowOrigin.y += y;
    return TRUE;
  });
}

KVAPI BOOL GetWindowExtEx(HDC hdc, SIZE* size) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) { Give(size, s.windowExtent); return TRUE; });
}
KVAPI BOOL GetViewportExtEx(HDC hdc, SIZE* size) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) { Give(size, s.viewportExtent); return TRUE; });
}
KVAPI BOOL GetWindowOrgEx(HDC hdc, POINT* point) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) { Give(point, s.windowOrigin); return TRUE; });
}
KVAPI BOOL GetViewportOrgEx(HDC hdc, POINT* point) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) { Give(point, s.viewportOrigin); return TRUE; });
}

KVAPI int SetGraphicsMode(HDC hdc, int mode) {
  return WithState(hdc, 0, [&](DC&, DrawState& s) {
    if (mode != GM_COMPATIBLE && mode != GM_ADVANCED) return Fail0();
    if (mode == GM_COMPATIBLE) {
      const Matrix& w = s.world;
      if (w.m11 != 1 || w.m12 != 0 || w.m21 != 0 || w.m22 != 1 || w.dx != 0 || w.dy != 0) {
        return Fail0();
      }
    }
    return std::exchange(s.graphicsMode, mode);
  });
}
KVAPI int GetGraphicsMode(HDC hdc) {
  return WithState(hdc, 0, [](DC&, DrawState& s) { return s.graphicsMode; });
}

KVAPI BOOL SetWorldTransform(HDC hdc, const XFORM* xform) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) -> BOOL {
    if (xform == nullptr || s.graphicsMode != GM_ADVANCED) return Fail0();
    const Matrix m = FromXform(*xform);
    if (!Usable(m)) return Fail0();
    s.world = m;
    return TRUE;
  });
}

KVAPI BOOL ModifyWorldTransform(HDC hdc, const XFORM* xform, DWORD mode) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) -> BOOL {
    if (s.graphicsMode != GM_ADVANCED) return Fail0();
    Matrix m;
    switch (mode) {
      case MWT_IDENTITY: break;
      case MWT_LEFTMULTIPLY:
        if (xform == nullptr) return Fail0();
        m = Multiply(FromXform(*xform), s.world);
        break;
      case MWT_RIGHTMULTIPLY:
        if (xform == nullptr) return Fail0();
        m = Multiply(s.world, FromXform(*xform));
        break;
      default: return Fail0();
    }
    if (!Usable(m)) return Fail0();
    s.world = m;
    return TRUE;
  });
}

KVAPI BOOL GetWorldTransform(HDC hdc, XFORM* xform) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) -> BOOL {
    if (xform == nullptr) return Fail0();
    const Matrix& w = s.world;
    *xform = XFORM{FLOAT(w.m11), FLOAT(w.m12), FLOAT(w.m21), FLOAT(w.m22), FLOAT(w.dx), FLOAT(w.dy)};
    return TRUE;
  });
}

KVAPI BOOL LPtoDP(HDC hdc, POINT* points, int count) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) -> BOOL {
    if (count < 0 || (points == nullptr && count > 0)) return Fail0();
    const Matrix m = DeviceMatrix(s);
    for (int i = 0; i < count; ++i) {
      const double x = points[i].x, y = points[i].y;
      const double dx = x * m.m11 + y * m.m21 + m.dx, dy = x * m.m12 + y * m.m22 + m.dy;
      if (!(std::fabs(dx) < 2147483647.0) || !(std::fabs(dy) < 2147483647.0)) return Fail0();
      points[i] = POINTL{static_cast<LONG>(std::lround(dx)), static_cast<LONG>(std::lround(dy))};
    }
    return TRUE;
  });
}

KVAPI BOOL DPtoLP(HDC hdc, POINT* points, int count) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) -> BOOL {
    if (count < 0 || (points == nullptr && count > 0)) return Fail0();
    Matrix m;
    if (!Invert(DeviceMatrix(s), &m)) return Fail0();
    for (int i = 0; i < count; ++i) {
      const double x = points[i].x, y = points[i].y;
      const double lx = x * m.m11 + y * m.m21 + m.dx, ly = x * m.m12 + y * m.m22 + m.dy;
      if (!(std::fabs(lx) < 2147483647.0) || !(std::fabs(ly) < 2147483647.0)) return Fail0();
      points[i] = POINTL{static_cast<LONG>(std::lround(lx)), static_cast<LONG>(std::lround(ly))};
    }
    return TRUE;
  });
}

// ---- saving state ----------------------------------------------------------------------
KVAPI int SaveDC(HDC hdc) {
  DcCall call(hdc);
  if (!call) return 0;
  if (call->saved.size() >= 0xFFFF) return Fail0(ERROR_NOT_ENOUGH_MEMORY);
  call->saved.push_back(call->draw);
  return static_cast<int>(call->saved.size());
}

KVAPI BOOL RestoreDC(HDC hdc, int saved) {
  DcCall call(hdc);
  if (!call) return FALSE;
  const int levels = static_cast<int>(call->saved.size());
  const int level = saved < 0 ? levels + 1 + saved : saved;
  if (saved == 0 || level < 1 || level > levels) return Fail0();
  call->draw = std::move(call->saved[static_cast<std::size_t>(level - 1)]);
  call->saved.resize(static_cast<std::size_t>(level - 1));
  return TRUE;
}
