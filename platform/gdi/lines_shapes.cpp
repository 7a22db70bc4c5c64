// Lines and shapes: each call builds its figure as a device path (ellipses,
// arcs and rounded corners as Beziers, as GDI does) and either adds it to the
// path being recorded or draws it with the DC's pen and brush.
//
// Boxes (Rectangle, Ellipse, RoundRect, Arc, Pie, Chord) follow Windows: in
// GM_COMPATIBLE the box is mapped to device pixels first and its right and
// bottom edges are left out; in GM_ADVANCED the box is taken whole in logical
// units and every point of the figure goes through the transform.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "gdi/drawing.h"
#include "kvplat/kernel.h"

namespace kvplat::gdi {
namespace {

constexpr double kKappa = 0.5522847498307936;  // Bezier quarter circle

// A figure in "box space" (device pixels for compatible boxes, else logical
// units) before it becomes a device path.
struct Figure {
  std::vector<double> xy;
  std::vector<BYTE> types;
  void Add(double x, double y, BYTE type) {
    xy.push_back(x);
    xy.push_back(y);
    types.push_back(type);
  }
  void Move(double x, double y) { Add(x, y, PT_MOVETO); }
  void Line(double x, double y) { Add(x, y, PT_LINETO); }
  void Bezier(double x1, double y1, double x2, double y2, double x3, double y3) {
    Add(x1, y1, PT_BEZIERTO);
    Add(x2, y2, PT_BEZIERTO);
    Add(x3, y3, PT_BEZIERTO);
  }
  void Close() {
    if (!types.empty()) types.back() |= PT_CLOSEFIGURE;
  }
  // Appends the arc of the ellipse (cx, cy, rx, ry) from angle a0 to a1
  // (radians, counterclockwise on a y-down surface when a1 > a0), in pieces
  // of at most a quarter turn.
  void Arc(double cx, double cy, double rx, double ry, double a0, double a1) {
    const double sweep = a1 - a0;
    const int pieces = std::max(1, static_cast<int>(std::ceil(std::fabs(sweep) / (std::numbers::pi / 2) - 1e-9)));
    const double step = sweep / pieces;
    const double k = 4.0 / 3.0 * std::tan(step / 4);
    for (int i = 0; i < pieces; ++i) {
      const double t0 = a0 + step * i, t1 = t0 + step;
      const double x0 = cx + rx * std::cos(t0), y0 = cy - ry * std::sin(t0);
      const double x1 = cx + rx * std::cos(t1), y1 = cy - ry * std::sin(t1);
      const double dx0 = -rx * std::sin(t0), dy0 = -ry * std::cos(t0);
      const double dx1 = -rx * std::sin(t1), dy1 = -ry * std::cos(t1);
      Bezier(x0 + k * dx0, y0 + k * dy0, x1 - k * dx1, y1 - k * dy1, x1, y1);
    }
  }
};

// The box of a box call in box space, and how box space maps to the device.
struct Box {
  double l, t, r, b;
  bool device;  // box space is device pixels (GM_COMPATIBLE)
};

bool MakeBox(const DC& dc, int left, int top, int right, int bottom, Box* box) {
  const DrawState& s = dc.draw;
  const Matrix m = DeviceMatrix(s);
  if (s.graphicsMode == GM_COMPATIBLE) {
    RECTL d;
    if (!ToDeviceRect(s, m, RECTL{left, top, right, bottom}, &d)) return false;
    // The right and bottom edges are not part of the shape.
    *box = Box{double(d.left), double(d.top), double(std::max(d.left, d.right - 1)),
               double(std::max(d.top, d.bottom - 1)), true};
  } else {
    *box = Box{double(std::min(left, right)), double(std::min(top, bottom)),
               double(std::max(left, right)), double(std::max(top, bottom)), false};
  }
  // An inside-frame pen keeps its whole width within the box.
  const PenData& pen = CurrentPen(s);
  if (pen.style == PS_INSIDEFRAME && pen.width > 1) {
    double half = box->device ? DeviceWidth(m, pen.width) / 2 : pen.width / 2.0;
    half = std::min({half, (box->r - box->l) / 2, (box->b - box->t) / 2});
    box->l += half;
    box->t += half;
    box->r -= half;
    box->b -= half;
  }
  return true;
}

// A point in box space as a device point.
bool BoxPoint(const DC& dc, const Box& box, double x, double y, POINTFIX* out) {
  if (box.device) {
    if (!(std::fabs(x) <= kMaxDeviceCoordinate) || !(std::fabs(y) <= kMaxDeviceCoordinate)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    *out = POINTFIX{static_cast<FIX>(std::lround(x * 16)), static_cast<FIX>(std::lround(y * 16))};
    return true;
  }
  return ToDeviceFix(dc.draw, DeviceMatrix(dc.draw), x, y, out);
}

bool ToRecorded(const DC& dc, const Box& box, const Figure& f, RecordedPath* out) {
  for (std::size_t i = 0; i < f.types.size(); ++i) {
    POINTFIX p;
    if (!BoxPoint(dc, box, f.xy[2 * i], f.xy[2 * i + 1], &p)) return false;
    out->points.push_back(p);
    out->types.push_back(f.types[i]);
  }
  return true;
}

// Adds the figure to the path being recorded, or draws it.
BOOL Emit(DC& dc, RecordedPath& figure, bool stroke, bool fill, const POINTFIX* line = nullptr) {
  RecordedPath& recording = dc.draw.path;
  if (recording.state == PathState::Open) {
    recording.points.insert(recording.points.end(), figure.points.begin(), figure.points.end());
    recording.types.insert(recording.types.end(), figure.types.begin(), figure.types.end());
    return TRUE;
  }
  if (!ReadyForOutput(dc)) return FALSE;
  SetLastError(ERROR_SUCCESS);
  PATHOBJ* path = BuildPath(figure);
  if (path == nullptr) return GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? FALSE : TRUE;
  const BOOL ok = DrawDevicePath(dc, path, stroke, fill, line);
  EngDeletePath(path);
  return ok;
}

BOOL EmitFigure(DC& dc, const Box& box, const Figure& f, bool stroke, bool fill) {
  RecordedPath figure;
  if (!ToRecorded(dc, box, f, &figure)) return FALSE;
  return Emit(dc, figure, stroke, fill);
}

BOOL Invalid() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// Device points of logical ones.
bool DevicePoints(const DC& dc, const POINT* points, std::size_t count, std::vector<POINTFIX>* out) {
  const Matrix m = DeviceMatrix(dc.draw);
  out->resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!ToDeviceFix(dc.draw, m, points[i].x, points[i].y, &(*out)[i])) return false;
  }
  return true;
}

bool CurrentDevicePoint(const DC& dc, POINTFIX* out) {
  return ToDeviceFix(dc.draw, DeviceMatrix(dc.draw), dc.draw.currentPosition.x,
                     dc.draw.currentPosition.y, out);
}

// Starts a figure at the current position unless the recording continues one there.
void StartAtCurrent(const DC& dc, RecordedPath& figure, POINTFIX from) {
  const RecordedPath& recording = dc.draw.path;
  const bool continues = recording.state == PathState::Open && !recording.types.empty() &&
                         !(recording.types.back() & PT_CLOSEFIGURE) &&
                         recording.points.back().x == from.x && recording.points.back().y == from.y;
  if (!continues) PathMoveTo(figure, from);
}

enum class ArcKind { Arc, Pie, Chord };

BOOL ArcShape(HDC hdc, int left, int top, int right, int bottom, int xs, int ys, int xe, int ye,
              ArcKind kind) {
  DcCall call(hdc);
  if (!call) return FALSE;
  Box box;
  if (!MakeBox(*call, left, top, right, bottom, &box)) return FALSE;
  // The radial points in box space.
  double sx = xs, sy = ys, ex = xe, ey = ye;
  if (box.device) {
    POINTFIX a, b;
    const Matrix m = DeviceMatrix(call->draw);
    if (!ToDeviceFix(call->draw, m, xs, ys, &a) || !ToDeviceFix(call->draw, m, xe, ye, &b)) {
      return FALSE;
    }
    sx = a.x / 16.0;
    sy = a.y / 16.0;
    ex = b.x / 16.0;
    ey = b.y / 16.0;
  }
  const double cx = (box.l + box.r) / 2, cy = (box.t + box.b) / 2;
  const double rx = (box.r - box.l) / 2, ry = (box.b - box.t) / 2;
  auto angle = [&](double x, double y) {
    return std::atan2(-(y - cy) / (ry > 0 ? ry : 1), (x - cx) / (rx > 0 ? rx : 1));
  };
  const double a0 = angle(sx, sy);
  double sweep = angle(ex, ey) - a0;
  if (call->draw.arcDirection == AD_COUNTERCLOCKWISE) {
    while (sweep <= 1e-12) sweep += 2 * std::numbers::pi;
  } else {
    while (sweep >= -1e-12) sweep -= 2 * std::numbers::pi;
  }
  Figure f;
  f.Move(cx + rx * std::cos(a0), cy - ry * std::sin(a0));
  f.Arc(cx, cy, rx, ry, a0, a0 + sweep);
  if (kind == ArcKind::Pie) f.Line(cx, cy);
  if (kind != ArcKind::Arc) f.Close();
  return EmitFigure(*call, box, f, true, kind != ArcKind::Arc);
}

}  // namespace

}  // namespace kvplat::gdi

using namespace kvplat::gdi;

KVAPI BOOL MoveToEx(HDC hdc, int x, int y, POINT* previous) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (previous != nullptr) *previous = call->draw.currentPosition;
  call->draw.currentPosition = POINTL{x, y};
  return TRUE;
}

KVAPI BOOL GetCurrentPositionEx(HDC hdc, POINT* point) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (point == nullptr) return Invalid();
  *point = call->draw.currentPosition;
  return TRUE;
}

KVAPI BOOL LineTo(HDC hdc, int x, int y) {
  DcCall call(hdc);
  if (!call) return FALSE;
  POINTFIX line[2];
  if (!CurrentDevicePoint(*call, &line[0]) ||
      !ToDeviceFix(call->draw, DeviceMatrix(call->draw), x, y, &line[1])) {
    return FALSE;
  }
  RecordedPath figure;
  StartAtCurrent(*call, figure, line[0]);
  PathLineTo(figure, line[1]);
  const BOOL ok = Emit(*call, figure, true, false, line);
  if (ok) call->draw.currentPosition = POINTL{x, y};
  return ok;
}

namespace {

// Straight segments through the points, closed and filled for a polygon.
BOOL PointsFigure(HDC hdc, const POINT* points, int count, bool polygon) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (points == nullptr || count < 2) return Invalid();
  std::vector<POINTFIX> p;
  if (!DevicePoints(*call, points, static_cast<std::size_t>(count), &p)) return FALSE;
  RecordedPath figure;
  PathMoveTo(figure, p[0]);
  for (std::size_t i = 1; i < p.size(); ++i) PathLineTo(figure, p[i]);
  if (polygon) PathClose(figure);
  return Emit(*call, figure, true, polygon);
}

}  // namespace

KVAPI BOOL Polyline(HDC hdc, const POINT* points, int count) {
  return PointsFigure(hdc, points, count, false);
}

KVAPI BOOL PolylineTo(HDC hdc, const POINT* points, DWORD count) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (points == nullptr || count == 0 || count > 0x1000000) return Invalid();
  std::vector<POINTFIX> p;
  POINTFIX from;
  if (!CurrentDevicePoint(*call, &from) || !DevicePoints(*call, points, count, &p)) return FALSE;
  RecordedPath figure;
  StartAtCurrent(*call, figure, from);
  for (const POINTFIX& q : p) PathLineTo(figure, q);
  const BOOL ok = Emit(*call, figure, true, false);
  if (ok) call->draw.currentPosition = points[count - 1];
  return ok;
}

KVAPI BOOL PolyBezier(HDC hdc, const POINT* points, DWORD count) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (points == nullptr || count < 4 || (count - 1) % 3 != 0 || count > 0x1000000) return Invalid();
  std::vector<POINTFIX> p;
  if (!DevicePoints(*call, points, count, &p)) return FALSE;
  RecordedPath figure;
  PathMoveTo(figure, p[0]);
  for (std::size_t i = 1; i + 2 < p.size(); i += 3) PathBezierTo(figure, p[i], p[i + 1], p[i + 2]);
  return Emit(*call, figure, true, false);
}

KVAPI BOOL PolyBezierTo(HDC hdc, const POINT* points, DWORD count) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (points == nullptr || count < 3 || count % 3 != 0 || count > 0x1000000) return Invalid();
  std::vector<POINTFIX> p;
  POINTFIX from;
  if (!CurrentDevicePoint(*call, &from) || !DevicePoints(*call, points, count, &p)) return FALSE;
  RecordedPath figure;
  StartAtCurrent(*call, figure, from);
  for (std::size_t i = 0; i + 2 < p.size(); i += 3) PathBezierTo(figure, p[i], p[i + 1], p[i + 2]);
  const BOOL ok = Emit(*call, figure, true, false);
  if (ok) call->draw.currentPosition = points[count - 1];
  return ok;
}

KVAPI BOOL Polygon(HDC hdc, const POINT* points, int count) {
  return PointsFigure(hdc, points, count, true);
}

KVAPI BOOL PolyPolygon(HDC hdc, const POINT* points, const INT* counts, int polygons) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (points == nullptr || counts == nullptr || polygons <= 0) return Invalid();
  std::size_t total = 0;
  for (int i = 0; i < polygons; ++i) {
    if (counts[i] < 2) return Invalid();
    total += static_cast<std::size_t>(counts[i]);
    if (total > 0x1000000) return Invalid();
  }
  std::vector<POINTFIX> p;
  if (!DevicePoints(*call, points, total, &p)) return FALSE;
  RecordedPath figure;
  std::size_t at = 0;
  for (int i = 0; i < polygons; ++i) {
    PathMoveTo(figure, p[at]);
    for (int j = 1; j < counts[i]; ++j) PathLineTo(figure, p[at + static_cast<std::size_t>(j)]);
    PathClose(figure);
    at += static_cast<std::size_t>(counts[i]);
  }
  return Emit(*call, figure, true, true);
}

KVAPI BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom) {
  DcCall call(hdc);
  if (!call) return FALSE;
  Box box;
  if (!MakeBox(*call, left, top, right, bottom, &box)) return FALSE;
  Figure f;
  f.Move(box.l, box.t);
  f.Line(box.r, box.t);
  f.Line(box.r, box.b);
  f.Line(box.l, box.b);
  f.Close();
  return EmitFigure(*call, box, f, true, true);
}

KVAPI BOOL Ellipse(HDC hdc, int left, int top, int right, int bottom) {
  DcCall call(hdc);
  if (!call) return FALSE;
  Box box;
  if (!MakeBox(*call, left, top, right, bottom, &box)) return FALSE;
  const double cx = (box.l + box.r) / 2, cy = (box.t + box.b) / 2;
  const double rx = (box.r - box.l) / 2, ry = (box.b - box.t) / 2;
  Figure f;
  f.Move(cx + rx, cy);
  f.Bezier(cx + rx, cy - kKappa * ry, cx + kKappa * rx, cy - ry, cx, cy - ry);
  f.Bezier(cx - kKappa * rx, cy - ry, cx - rx, cy - kKappa * ry, cx - rx, cy);
  f.Bezier(cx - rx, cy + kKappa * ry, cx - kKappa * rx, cy + ry, cx, cy + ry);
  f.Bezier(cx + kKappa * rx, cy + ry, cx + rx, cy + kKappa * ry, cx + rx, cy);
  f.Close();
  return EmitFigure(*call, box, f, true, true);
}

KVAPI BOOL RoundRect(HDC hdc, int left, int top, int right, int bottom, int width, int height) {
  DcCall call(hdc);
  if (!call) return FALSE;
  Box box;
  if (!MakeBox(*call, left, top, right, bottom, &box)) return FALSE;
  // Corner ellipse radii in box space.
  double rw = std::fabs(double(width)) / 2, rh = std::fabs(double(height)) / 2;
  if (box.device) {
    const Matrix m = DeviceMatrix(call->draw);
    rw *= std::fabs(m.m11);
    rh *= std::fabs(m.m22);
  }
  rw = std::min(rw, (box.r - box.l) / 2);
  rh = std::min(rh, (box.b - box.t) / 2);
  Figure f;
  if (rw <= 0 || rh <= 0) {
    f.Move(box.l, box.t);
    f.Line(box.r, box.t);
    f.Line(box.r, box.b);
    f.Line(box.l, box.b);
  } else {
    const double pi = std::numbers::pi;
    f.Move(box.l + rw, box.t);
    f.Line(box.r - rw, box.t);
    f.Arc(box.r - rw, box.t + rh, rw, rh, pi / 2, 0);
    f.Line(box.r, box.b - rh);
    f.Arc(box.r - rw, box.b - rh, rw, rh, 0, -pi / 2);
    f.Line(box.l + rw, box.b);
    f.Arc(box.l + rw, box.b - rh, rw, rh, -pi / 2, -pi);
    f.Line(box.l, box.t + rh);
    f.Arc(box.l + rw, box.t + rh, rw, rh, pi, pi / 2);
  }
  f.Close();
  return EmitFigure(*call, box, f, true, true);
}

KVAPI BOOL Arc(HDC hdc, int left, int top, int right, int bottom, int xStart, int yStart, int xEnd,
               int yEnd) {
  return ArcShape(hdc, left, top, right, bottom, xStart, yStart, xEnd, yEnd, ArcKind::Arc);
}

KVAPI BOOL Pie(HDC hdc, int left, int top, int right, int bottom, int xStart, int yStart, int xEnd,
               int yEnd) {
  return ArcShape(hdc, left, top, right, bottom, xStart, yStart, xEnd, yEnd, ArcKind::Pie);
}

KVAPI BOOL Chord(HDC hdc, int left, int top, int right, int bottom, int xStart, int yStart,
                 int xEnd, int yEnd) {
  return ArcShape(hdc, left, top, right, bottom, xStart, yStart, xEnd, yEnd, ArcKind::Chord);
}

namespace {

// The device rectangles of a logical rectangle (right and bottom edges out).
bool RectPixels(const DC& dc, const RECT& r, RECTL* out) {
  const Matrix m = DeviceMatrix(dc.draw);
  return ToDeviceRect(dc.draw, m, r, out);
}

}  // namespace

KVAPI int FillRect(HDC hdc, const RECT* rect, HBRUSH brush) {
  DcCall call(hdc);
  if (!call) return 0;
  auto b = FindObject(brush, ObjectKind::Brush);
  if (b == nullptr) return 0;
  if (rect == nullptr) return Invalid();
  const Matrix m = DeviceMatrix(call->draw);
  if (!AxisAligned(m)) {
    // A turned rectangle: its corners as a polygon, painted with the brush.
    std::vector<RECTL> pixels;
    RecordedPath p;
    const double xs[4] = {double(rect->left), double(rect->right), double(rect->right),
                          double(rect->left)};
    const double ys[4] = {double(rect->top), double(rect->top), double(rect->bottom),
                          double(rect->bottom)};
    for (int i = 0; i < 4; ++i) {
      POINTFIX f;
      if (!ToDeviceFix(call->draw, m, xs[i], ys[i], &f)) return 0;
      if (i == 0) PathMoveTo(p, f);
      else PathLineTo(p, f);
    }
    PathClose(p);
    PATHOBJ* path = BuildPath(p);
    if (path != nullptr) {
      RegionFromPath(path, FP_WINDINGMODE, &pixels);
      EngDeletePath(path);
    }
    if (!ReadyForOutput(*call)) return 0;
    return PaintDeviceRects(*call, pixels, &b->brush, kRopPatCopy);
  }
  RECTL d;
  if (!RectPixels(*call, *rect, &d)) return 0;
  if (d.left == d.right || d.top == d.bottom) return 1;
  if (!ReadyForOutput(*call)) return 0;
  return PaintDeviceRects(*call, std::span<const RECTL>(&d, 1), &b->brush, kRopPatCopy);
}

KVAPI int FrameRect(HDC hdc, const RECT* rect, HBRUSH brush) {
  DcCall call(hdc);
  if (!call) return 0;
  auto b = FindObject(brush, ObjectKind::Brush);
  if (b == nullptr) return 0;
  if (rect == nullptr) return Invalid();
  RECTL d;
  if (!RectPixels(*call, *rect, &d)) return 0;
  if (d.left == d.right || d.top == d.bottom) return 1;
  if (!ReadyForOutput(*call)) return 0;
  const RECTL sides[4] = {{d.left, d.top, d.right, d.top + 1},
                          {d.left, d.bottom - 1, d.right, d.bottom},
                          {d.left, d.top, d.left + 1, d.bottom},
                          {d.right - 1, d.top, d.right, d.bottom}};
  return PaintDeviceRects(*call, sides, &b->brush, kRopPatCopy);
}
