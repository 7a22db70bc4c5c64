// Regions (banded rectangles in device pixels), the DC's clip, and paths
// recorded between BeginPath and EndPath.
#include <algorithm>
#include <cmath>

#include "gdi/drawing.h"
#include "kvplat/kernel.h"

namespace kvplat::gdi {
namespace {

using Interval = std::pair<LONG, LONG>;

// The x intervals of a banded region's band that covers row y0 (`at` walks
// forward through the region as y0 grows).
void BandAt(const std::vector<RECTL>& region, LONG y0, std::size_t* at,
            std::vector<Interval>* out) {
  out->clear();
  while (*at < region.size() && region[*at].bottom <= y0) ++*at;
  for (std::size_t j = *at; j < region.size() && region[j].top <= y0; ++j) {
    if (region[j].bottom > y0) out->emplace_back(region[j].left, region[j].right);
  }
}

bool Keep(int mode, bool a, bool b) {
  switch (mode) {
    case RGN_AND: return a && b;
    case RGN_OR: return a || b;
    case RGN_XOR: return a != b;
    case RGN_DIFF: return a && !b;
    default: return a;
  }
}

void CombineIntervals(const std::vector<Interval>& a, const std::vector<Interval>& b, int mode,
                      std::vector<LONG>* xs, std::vector<Interval>* out) {
  out->clear();
  xs->clear();
  for (const Interval& i : a) xs->push_back(i.first), xs->push_back(i.second);
  for (const Interval& i : b) xs->push_back(i.first), xs->push_back(i.second);
  std::sort(xs->begin(), xs->end());
  xs->erase(std::unique(xs->begin(), xs->end()), xs->end());
  std::size_t ia = 0, ib = 0;
  for (std::size_t k = 0; k + 1 < xs->size(); ++k) {
    const LONG x0 = (*xs)[k], x1 = (*xs)[k + 1];
    while (ia < a.size() && a[ia].second <= x0) ++ia;
    while (ib < b.size() && b[ib].second <= x0) ++ib;
    const bool inA = ia < a.size() && a[ia].first <= x0;
    const bool inB = ib < b.size() && b[ib].first <= x0;
    if (!Keep(mode, inA, inB)) continue;
    if (!out->empty() && out->back().second == x0) {
      out->back().second = x1;
    } else {
      out->emplace_back(x0, x1);
    }
  }
}

// The region of a rectangle list that the engine normalizes into bands.
template <typename F>
auto WithClip(CLIPOBJ* clip, F&& f) {
  auto result = f(clip);
  engine::DeleteClip(clip);
  return result;
}

std::vector<RECTL> Offset(std::vector<RECTL> region, LONG x, LONG y) {
  for (RECTL& r : region) {
    r.left += x;
    r.right += x;
    r.top += y;
    r.bottom += y;
  }
  return region;
}

HRGN NewRegion(std::vector<RECTL> rects) {
  auto o = std::make_shared<GdiObject>();
  o->kind = ObjectKind::Region;
  o->region = std::move(rects);
  return static_cast<HRGN>(RegisterObject(std::move(o)));
}

int Fail(DWORD error = ERROR_INVALID_PARAMETER) {
  SetLastError(error);
  return ERROR;
}

// The path of a closed polygon of device points (whole pixels).
PATHOBJ* PolygonPath(const POINT* points, int count) {
  RecordedPath p;
  for (int i = 0; i < count; ++i) {
    const POINTFIX f{points[i].x * 16, points[i].y * 16};
    if (i == 0) PathMoveTo(p, f);
    else PathLineTo(p, f);
  }
  PathClose(p);
  return BuildPath(p);
}

bool InRange(LONG v) { return v >= -0x7FFFFFF && v <= 0x7FFFFFF; }

// The DC's clip, or the whole surface when there is none.
std::vector<RECTL> ClipOrSurface(const DC& dc) {
  if (dc.draw.clipped) return dc.draw.clip;
  const SIZEL size = SurfaceSize(dc);
  const RECTL whole{0, 0, size.cx, size.cy};
  return NormalizeRects(std::span<const RECTL>(&whole, 1));
}

// Combines `region` into the DC's clip.
int ApplyClip(DC& dc, const std::vector<RECTL>* region, int mode) {
  DrawState& s = dc.draw;
  if (mode == RGN_COPY) {
    if (region == nullptr) {
      s.clipped = false;
      s.clip.clear();
      return SIMPLEREGION;
    }
    s.clip = *region;
  } else {
    if (region == nullptr || mode < RGN_AND || mode > RGN_DIFF) return Fail();
    s.clip = CombineRegions(ClipOrSurface(dc), *region, mode);
  }
  s.clipped = true;
  return RegionType(s.clip);
}

// A logical rectangle as device pixels: a rectangle when the map keeps axes,
// else the polygon of its corners.
bool LogicalRectRegion(const DC& dc, int l, int t, int r, int b, std::vector<RECTL>* out) {
  const Matrix m = DeviceMatrix(dc.draw);
  if (AxisAligned(m)) {
    RECTL d;
    if (!ToDeviceRect(dc.draw, m, RECTL{l, t, r, b}, &d)) return false;
    *out = NormalizeRects(std::span<const RECTL>(&d, 1));
    return true;
  }
  RecordedPath p;
  const double xs[4] = {double(l), double(r), double(r), double(l)};
  const double ys[4] = {double(t), double(t), double(b), double(b)};
  for (int i = 0; i < 4; ++i) {
    POINTFIX f;
    if (!ToDeviceFix(dc.draw, m, xs[i], ys[i], &f)) return false;
    if (i == 0) PathMoveTo(p, f);
    else PathLineTo(p, f);
  }
  PathClose(p);
  PATHOBJ* path = BuildPath(p);
  if (path == nullptr) {
    out->clear();
    return true;
  }
  const bool ok = RegionFromPath(path, FP_WINDINGMODE, out);
  EngDeletePath(path);
  return ok;
}

// Takes the DC's ended path; false (ERROR_INVALID_PARAMETER) when none is ended.
bool TakePath(DC& dc, RecordedPath* out) {
  if (dc.draw.path.state != PathState::Closed) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *out = std::move(dc.draw.path);
  dc.draw.path = RecordedPath{};
  return true;
}

bool RegionOfPath(const DC& dc, const RecordedPath& recorded, std::vector<RECTL>* out) {
  PATHOBJ* path = BuildPath(recorded);
  if (path == nullptr) {
    out->clear();
    return true;
  }
  const bool ok = RegionFromPath(
      path, dc.draw.polyFillMode == WINDING ? FP_WINDINGMODE : FP_ALTERNATEMODE, out);
  EngDeletePath(path);
  return ok;
}

}  // namespace

std::vector<RECTL> NormalizeRects(std::span<const RECTL> rects) {
  std::vector<RECTL> kept;
  kept.reserve(rects.size());
  for (const RECTL& r : rects) {
    if (r.left < r.right && r.top < r.bottom) kept.push_back(r);
  }
  if (kept.size() <= 1) return kept;
  return WithClip(engine::CreateClipFromRects(kept), [](CLIPOBJ* clip) {
    std::vector<RECTL> out;
    if (clip != nullptr) {
      const auto rects = engine::ClipRects(clip);
      out.assign(rects.begin(), rects.end());
    }
    return out;
  });
}

std::vector<RECTL> CombineRegions(const std::vector<RECTL>& a, const std::vector<RECTL>& b,
                                  int mode) {
  if (mode == RGN_COPY) return a;
  std::vector<LONG> ys;
  ys.reserve(2 * (a.size() + b.size()));
  for (const RECTL& r : a) ys.push_back(r.top), ys.push_back(r.bottom);
  for (const RECTL& r : b) ys.push_back(r.top), ys.push_back(r.bottom);
  std::sort(ys.begin(), ys.end());
  ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
  std::vector<RECTL> out;
  std::vector<Interval> ia, ib, row, previous;
  std::vector<LONG> xs;
  std::size_t atA = 0, atB = 0, previousFirst = 0;
  LONG previousBottom = 0;
  for (std::size_t k = 0; k + 1 < ys.size(); ++k) {
    const LONG y0 = ys[k], y1 = ys[k + 1];
    BandAt(a, y0, &atA, &ia);
    BandAt(b, y0, &atB, &ib);
    CombineIntervals(ia, ib, mode, &xs, &row);
    if (row.empty()) {
      previous.clear();
      continue;
    }
    if (!previous.empty() && previousBottom == y0 && row == previous) {
      for (std::size_t i = previousFirst; i < out.size(); ++i) out[i].bottom = y1;
    } else {
      previousFirst = out.size();
      for (const Interval& i : row) out.push_back(RECTL{i.first, y0, i.second, y1});
      previous = row;
    }
    previousBottom = y1;
  }
  return out;
}

int RegionType(const std::vector<RECTL>& region) {
  if (region.empty()) return NULLREGION;
  return region.size() == 1 ? SIMPLEREGION : COMPLEXREGION;
}

RECTL RegionBounds(const std::vector<RECTL>& region) {
  if (region.empty()) return RECTL{0, 0, 0, 0};
  RECTL b = region.front();
  for (const RECTL& r : region) {
    b.left = std::min(b.left, r.left);
    b.top = std::min(b.top, r.top);
    b.right = std::max(b.right, r.right);
    b.bottom = std::max(b.bottom, r.bottom);
  }
  return b;
}

bool RegionFromPath(PATHOBJ* path, FLONG fillMode, std::vector<RECTL>* out) {
  out->clear();
  CLIPOBJ* clip = engine::CreateClipFromPath(path, fillMode);
  if (clip == nullptr) return false;
  if (clip->iDComplexity != DC_TRIVIAL) {
    const auto rects = engine::ClipRects(clip);
    out->assign(rects.begin(), rects.end());
  }
  engine::DeleteClip(clip);
  return true;
}

// ---- recorded paths ------------------------------------------------------------------
void PathMoveTo(RecordedPath& path, POINTFIX p) {
  // A move right after a move replaces it.
  if (!path.types.empty() && path.types.back() == PT_MOVETO) {
    path.points.back() = p;
    return;
  }
  path.points.push_back(p);
  path.types.push_back(PT_MOVETO);
}

void PathLineTo(RecordedPath& path, POINTFIX p) {
  path.points.push_back(p);
  path.types.push_back(PT_LINETO);
}

void PathBezierTo(RecordedPath& path, POINTFIX c1, POINTFIX c2, POINTFIX p) {
  for (POINTFIX q : {c1, c2, p}) {
    path.points.push_back(q);
    path.types.push_back(PT_BEZIERTO);
  }
}

void PathClose(RecordedPath& path) {
  if (!path.types.empty() && path.types.back() != PT_MOVETO) path.types.back() |= PT_CLOSEFIGURE;
}

PATHOBJ* BuildPath(const RecordedPath& recorded) {
  const std::size_t n = recorded.points.size();
  bool drawn = false;
  for (BYTE t : recorded.types) drawn = drawn || (t & ~PT_CLOSEFIGURE) != PT_MOVETO;
  if (!drawn) return nullptr;
  PATHOBJ* path = EngCreatePath();
  if (path == nullptr) return nullptr;
  std::vector<POINTFIX> run;
  bool ok = true;
  for (std::size_t i = 0; ok && i < n;) {
    const BYTE kind = recorded.types[i] & ~PT_CLOSEFIGURE;
    if (kind == PT_MOVETO) {
      ok = PATHOBJ_bMoveTo(path, recorded.points[i]) != FALSE;
      ++i;
      continue;
    }
    // A run of one kind up to a figure's close.
    run.clear();
    std::size_t j = i;
    while (j < n && (recorded.types[j] & ~PT_CLOSEFIGURE) == kind) {
      run.push_back(recorded.points[j]);
      if (recorded.types[j] & PT_CLOSEFIGURE) {
        ++j;
        break;
      }
      ++j;
    }
    if (kind == PT_BEZIERTO) {
      const ULONG whole = static_cast<ULONG>(run.size() / 3 * 3);
      if (whole > 0) ok = PATHOBJ_bPolyBezierTo(path, run.data(), whole) != FALSE;
    } else {
      ok = PATHOBJ_bPolyLineTo(path, run.data(), static_cast<ULONG>(run.size())) != FALSE;
    }
    if (ok && (recorded.types[j - 1] & PT_CLOSEFIGURE)) ok = PATHOBJ_bCloseFigure(path) != FALSE;
    i = j;
  }
  if (!ok) {
    EngDeletePath(path);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return path;
}

}  // namespace kvplat::gdi

using namespace kvplat::gdi;

// ---- region objects --------------------------------------------------------------------
KVAPI HRGN CreateRectRgn(int left, int top, int right, int bottom) {
  if (!InRange(left) || !InRange(top) || !InRange(right) || !InRange(bottom)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const RECTL r{std::min(left, right), std::min(top, bottom), std::max(left, right),
                std::max(top, bottom)};
  return NewRegion(NormalizeRects(std::span<const RECTL>(&r, 1)));
}

KVAPI HRGN CreateRectRgnIndirect(const RECT* rect) {
  if (rect == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateRectRgn(rect->left, rect->top, rect->right, rect->bottom);
}

KVAPI HRGN CreatePolygonRgn(const POINT* points, int count, int mode) {
  if (points == nullptr || count < 3 || (mode != ALTERNATE && mode != WINDING)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  for (int i = 0; i < count; ++i) {
    if (!InRange(points[i].x) || !InRange(points[i].y)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  }
  PATHOBJ* path = PolygonPath(points, count);
  std::vector<RECTL> region;
  const bool ok = path != nullptr &&
                  RegionFromPath(path, mode == WINDING ? FP_WINDINGMODE : FP_ALTERNATEMODE, &region);
  if (path != nullptr) EngDeletePath(path);
  if (!ok) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return NewRegion(std::move(region));
}

KVAPI HRGN CreateEllipticRgn(int left, int top, int right, int bottom) {
  if (!InRange(left) || !InRange(top) || !InRange(right) || !InRange(bottom)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const double l = std::min(left, right), r = std::max(left, right);
  const double t = std::min(top, bottom), b = std::max(top, bottom);
  const double cx = (l + r) / 2, cy = (t + b) / 2, rx = (r - l) / 2, ry = (b - t) / 2;
  constexpr double k = 0.5522847498307936;
  auto fix = [](double x, double y) {
    return POINTFIX{static_cast<FIX>(std::lround(x * 16)), static_cast<FIX>(std::lround(y * 16))};
  };
  RecordedPath p;
  PathMoveTo(p, fix(cx + rx, cy));
  PathBezierTo(p, fix(cx + rx, cy + k * ry), fix(cx + k * rx, cy + ry), fix(cx, cy + ry));
  PathBezierTo(p, fix(cx - k * rx, cy + ry), fix(cx - rx, cy + k * ry), fix(cx - rx, cy));
  PathBezierTo(p, fix(cx - rx, cy - k * ry), fix(cx - k * rx, cy - ry), fix(cx, cy - ry));
  PathBezierTo(p, fix(cx + k * rx, cy - ry), fix(cx + rx, cy - k * ry), fix(cx + rx, cy));
  PathClose(p);
  std::vector<RECTL> region;
  PATHOBJ* path = BuildPath(p);
  if (path != nullptr) {
    RegionFromPath(path, FP_WINDINGMODE, &region);
    EngDeletePath(path);
  }
  return NewRegion(std::move(region));
}

KVAPI int CombineRgn(HRGN destination, HRGN source1, HRGN source2, int mode) {
  auto dst = FindObject(destination, ObjectKind::Region);
  auto a = FindObject(source1, ObjectKind::Region);
  if (dst == nullptr || a == nullptr) return ERROR;
  if (mode < RGN_AND || mode > RGN_COPY) return Fail();
  if (mode == RGN_COPY) {
    dst->region = a->region;
    return RegionType(dst->region);
  }
  auto b = FindObject(source2, ObjectKind::Region);
  if (b == nullptr) return ERROR;
  // Operands may be the destination itself: combine into a new list first.
  std::vector<RECTL> result = CombineRegions(a->region, b->region, mode);
  dst->region = std::move(result);
  return RegionType(dst->region);
}

KVAPI int OffsetRgn(HRGN handle, int x, int y) {
  auto o = FindObject(handle, ObjectKind::Region);
  if (o == nullptr) return ERROR;
  const RECTL b = RegionBounds(o->region);
  if (!o->region.empty() &&
      (!InRange(b.left + std::int64_t{x}) || !InRange(b.right + std::int64_t{x}) ||
       !InRange(b.top + std::int64_t{y}) || !InRange(b.bottom + std::int64_t{y}))) {
    return Fail();
  }
  o->region = Offset(std::move(o->region), x, y);
  return RegionType(o->region);
}

KVAPI int GetRgnBox(HRGN handle, RECT* box) {
  auto o = FindObject(handle, ObjectKind::Region);
  if (o == nullptr) return ERROR;
  if (box == nullptr) return Fail();
  *box = RegionBounds(o->region);
  return RegionType(o->region);
}

KVAPI BOOL PtInRegion(HRGN handle, int x, int y) {
  auto o = FindObject(handle, ObjectKind::Region);
  if (o == nullptr) return FALSE;
  for (const RECTL& r : o->region) {
    if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) return TRUE;
  }
  return FALSE;
}

KVAPI BOOL EqualRgn(HRGN a, HRGN b) {
  auto ra = FindObject(a, ObjectKind::Region);
  auto rb = FindObject(b, ObjectKind::Region);
  if (ra == nullptr || rb == nullptr) return FALSE;
  return CombineRegions(ra->region, rb->region, RGN_XOR).empty() ? TRUE : FALSE;
}

// ---- the clip ---------------------------------------------------------------------------
KVAPI int SelectClipRgn(HDC hdc, HRGN region) { return ExtSelectClipRgn(hdc, region, RGN_COPY); }

KVAPI int ExtSelectClipRgn(HDC hdc, HRGN region, int mode) {
  DcCall call(hdc);
  if (!call) return ERROR;
  if (region == nullptr) {
    if (mode != RGN_COPY) return Fail();
    return ApplyClip(*call, nullptr, RGN_COPY);
  }
  auto o = FindObject(region, ObjectKind::Region);
  if (o == nullptr) return ERROR;
  if (mode < RGN_AND || mode > RGN_COPY) return Fail();
  const std::vector<RECTL> rects = o->region;
  return ApplyClip(*call, &rects, mode);
}

KVAPI int IntersectClipRect(HDC hdc, int left, int top, int right, int bottom) {
  DcCall call(hdc);
  if (!call) return ERROR;
  std::vector<RECTL> region;
  if (!LogicalRectRegion(*call, left, top, right, bottom, &region)) return ERROR;
  return ApplyClip(*call, &region, RGN_AND);
}

KVAPI int ExcludeClipRect(HDC hdc, int left, int top, int right, int bottom) {
  DcCall call(hdc);
  if (!call) return ERROR;
  std::vector<RECTL> region;
  if (!LogicalRectRegion(*call, left, top, right, bottom, &region)) return ERROR;
  return ApplyClip(*call, &region, RGN_DIFF);
}

KVAPI int GetClipBox(HDC hdc, RECT* box) {
  DcCall call(hdc);
  if (!call) return ERROR;
  if (box == nullptr) return Fail();
  const std::vector<RECTL> clip = ClipOrSurface(*call);
  const RECTL b = RegionBounds(clip);
  Matrix inverse;
  if (!Invert(DeviceMatrix(call->draw), &inverse)) return Fail();
  const double xs[2] = {double(b.left), double(b.right)}, ys[2] = {double(b.top), double(b.bottom)};
  double minX = 0, minY = 0, maxX = 0, maxY = 0;
  for (int i = 0; i < 4; ++i) {
    const double x = xs[i & 1], y = ys[i >> 1];
    const double lx = x * inverse.m11 + y * inverse.m21 + inverse.dx;
    const double ly = x * inverse.m12 + y * inverse.m22 + inverse.dy;
    if (i == 0 || lx < minX) minX = lx;
    if (i == 0 || lx > maxX) maxX = lx;
    if (i == 0 || ly < minY) minY = ly;
    if (i == 0 || ly > maxY) maxY = ly;
  }
  auto clampL = [](double v) { return static_cast<LONG>(std::clamp(std::lround(v), -0x7FFFFFFL, 0x7FFFFFFL)); };
  *box = RECTL{clampL(minX), clampL(minY), clampL(maxX), clampL(maxY)};
  return RegionType(clip);
}

KVAPI BOOL FillRgn(HDC hdc, HRGN region, HBRUSH brush) {
  DcCall call(hdc);
  if (!call) return FALSE;
  auto r = FindObject(region, ObjectKind::Region);
  auto b = FindObject(brush, ObjectKind::Brush);
  if (r == nullptr || b == nullptr) return FALSE;
  if (!ReadyForOutput(*call)) return FALSE;
  // The region's rectangles are logical: mapped one by one.
  std::vector<RECTL> device;
  device.reserve(r->region.size());
  for (const RECTL& rect : r->region) {
    std::vector<RECTL> piece;
    if (!LogicalRectRegion(*call, rect.left, rect.top, rect.right, rect.bottom, &piece)) {
      return FALSE;
    }
    device.insert(device.end(), piece.begin(), piece.end());
  }
  const ULONG rop3 = kvplat::engine::MixToRop3(static_cast<ULONG>(call->draw.rop2));
  return PaintDeviceRects(*call, device, &b->brush, rop3);
}

KVAPI BOOL PaintRgn(HDC hdc, HRGN region) {
  HGDIOBJ brush = GetCurrentObject(hdc, OBJ_BRUSH);
  if (brush == nullptr) return FALSE;
  return FillRgn(hdc, region, static_cast<HBRUSH>(brush));
}

// ---- paths -------------------------------------------------------------------------------
KVAPI BOOL BeginPath(HDC hdc) {
  DcCall call(hdc);
  if (!call) return FALSE;
  call->draw.path = RecordedPath{};
  call->draw.path.state = PathState::Open;
  return TRUE;
}

KVAPI BOOL EndPath(HDC hdc) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (call->draw.path.state != PathState::Open) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  call->draw.path.state = PathState::Closed;
  return TRUE;
}

KVAPI BOOL AbortPath(HDC hdc) {
  DcCall call(hdc);
  if (!call) return FALSE;
  call->draw.path = RecordedPath{};
  return TRUE;
}

KVAPI BOOL CloseFigure(HDC hdc) {
  DcCall call(hdc);
  if (!call) return FALSE;
  RecordedPath& p = call->draw.path;
  if (p.state != PathState::Open || p.types.empty() || p.types.back() == PT_MOVETO ||
      (p.types.back() & PT_CLOSEFIGURE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  PathClose(p);
  return TRUE;
}

namespace {

BOOL DrawRecorded(HDC hdc, bool stroke, bool fill) {
  DcCall call(hdc);
  if (!call) return FALSE;
  RecordedPath recorded;
  if (!TakePath(*call, &recorded)) return FALSE;
  if (!ReadyForOutput(*call)) return FALSE;
  if (fill) {
    // A filled path closes its figures.
    for (std::size_t i = 0; i < recorded.types.size(); ++i) {
      const bool last = i + 1 == recorded.types.size() || recorded.types[i + 1] == PT_MOVETO;
      if (last && recorded.types[i] != PT_MOVETO) recorded.types[i] |= PT_CLOSEFIGURE;
    }
  }
  SetLastError(ERROR_SUCCESS);
  PATHOBJ* path = BuildPath(recorded);
  if (path == nullptr) return GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? FALSE : TRUE;
  const BOOL ok = DrawDevicePath(*call, path, stroke, fill);
  EngDeletePath(path);
  return ok;
}

}  // namespace

KVAPI BOOL StrokePath(HDC hdc) { return DrawRecorded(hdc, true, false); }
KVAPI BOOL FillPath(HDC hdc) { return DrawRecorded(hdc, false, true); }
KVAPI BOOL StrokeAndFillPath(HDC hdc) { return DrawRecorded(hdc, true, true); }

KVAPI BOOL SelectClipPath(HDC hdc, int mode) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (mode < RGN_AND || mode > RGN_COPY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  RecordedPath recorded;
  if (!TakePath(*call, &recorded)) return FALSE;
  std::vector<RECTL> region;
  if (!RegionOfPath(*call, recorded, &region)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return ApplyClip(*call, &region, mode) != ERROR ? TRUE : FALSE;
}

KVAPI HRGN PathToRegion(HDC hdc) {
  DcCall call(hdc);
  if (!call) return nullptr;
  RecordedPath recorded;
  if (!TakePath(*call, &recorded)) return nullptr;
  std::vector<RECTL> region;
  if (!RegionOfPath(*call, recorded, &region)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return NewRegion(std::move(region));
}
