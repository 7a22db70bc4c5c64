// Paths: building, record enumeration, bounds, flattening of Beziers and
// widening of geometric lines into fill paths.
#include <algorithm>
#include <cmath>

#include "engine/objects_internal.h"

namespace kvplat::engine::detail {

Path* AsPath(PATHOBJ* object) {
  auto* path = reinterpret_cast<Path*>(object);
  return path != nullptr && path->magic == kPathMagic ? path : nullptr;
}

Path* NewPath() { return NewObject<Path>(); }

namespace {

// A Bezier flattened to within a quarter of a pixel (4 units of 28.4).
constexpr double kFlattenTolerance = 4.0;
constexpr int kMaxCurveSteps = 1024;

int CurveSteps(const POINTFIX* p) {
  auto second = [](const POINTFIX& a, const POINTFIX& b, const POINTFIX& c) {
    double x = double(a.x) - 2.0 * b.x + c.x;
    double y = double(a.y) - 2.0 * b.y + c.y;
    return std::sqrt(x * x + y * y);
  };
  double l = std::max(second(p[0], p[1], p[2]), second(p[1], p[2], p[3]));
  double n = std::ceil(std::sqrt(0.75 * l / kFlattenTolerance));
  if (!(n >= 1.0)) return 1;
  return n > kMaxCurveSteps ? kMaxCurveSteps : static_cast<int>(n);
}

FIX RoundFix(double v) {
  if (v > 2147483647.0) return 2147483647;
  if (v < -2147483648.0) return static_cast<FIX>(-2147483647 - 1);
  return static_cast<FIX>(std::lround(v));
}

// Appends the points of a flattened cubic after its start point p[0].
bool FlattenCurve(const POINTFIX* p, EngArray<POINTFIX>* out) {
  int n = CurveSteps(p);
  for (int i = 1; i <= n; ++i) {
    if (i == n) {
      if (!out->Push(p[3])) return false;
      break;
    }
    double t = double(i) / n, u = 1.0 - t;
    double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
    POINTFIX q{RoundFix(a * p[0].x + b * p[1].x + c * p[2].x + d * p[3].x),
               RoundFix(a * p[0].y + b * p[1].y + c * p[2].y + d * p[3].y)};
    if (!out->Push(q)) return false;
  }
  return true;
}

}  // namespace

// Polylines of a path: Beziers flattened; one entry per subpath.
struct Polyline {
  std::uint32_t first;
  std::uint32_t count;
  bool closed;
};

bool PathPolylines(Path* path, EngArray<POINTFIX>* points, EngArray<Polyline>* lines) {
  for (const Subpath& sub : path->subpaths) {
    Polyline line{static_cast<std::uint32_t>(points->Size()), 0, sub.closed};
    for (std::uint32_t r = 0; r < sub.records; ++r) {
      const PathRecord& rec = path->records[sub.firstRecord + r];
      const POINTFIX* pts = path->points.Data() + rec.first;
      std::uint32_t count = rec.count;
      if (r == 0) {
        if (!points->Push(pts[0])) return false;
        ++pts;
        --count;
      }
      if (rec.flags & PD_BEZIERS) {
        if (count % 3 != 0) return false;
        for (std::uint32_t i = 0; i < count; i += 3) {
          POINTFIX curve[4] = {points->Back(), pts[i], pts[i + 1], pts[i + 2]};
          if (!FlattenCurve(curve, points)) return false;
        }
      } else {
        for (std::uint32_t i = 0; i < count; ++i) {
          if (!points->Push(pts[i])) return false;
        }
      }
    }
    line.count = static_cast<std::uint32_t>(points->Size()) - line.first;
    if (line.count > 0 && !lines->Push(line)) return false;
  }
  return true;
}

bool PathSegments(Path* path, bool closeFigures, EngArray<Segment>* out) {
  EngArray<POINTFIX> points;
  EngArray<Polyline> lines;
  if (!PathPolylines(path, &points, &lines)) return false;
  for (const Polyline& line : lines) {
    const POINTFIX* p = points.Data() + line.first;
    for (std::uint32_t i = 1; i < line.count; ++i) {
      if (!out->Push(Segment{p[i - 1], p[i]})) return false;
    }
    bool close = closeFigures || line.closed;
    if (close && line.count > 1 &&
        (p[line.count - 1].x != p[0].x || p[line.count - 1].y != p[0].y)) {
      if (!out->Push(Segment{p[line.count - 1], p[0]})) return false;
    }
  }
  return true;
}

namespace {

// Starts a subpath at the current point when none is open.
bool EnsureOpen(Path* path) {
  if (path->open) return true;
  if (!path->haveCurrent) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  Subpath sub{static_cast<std::uint32_t>(path->records.Size()), 0, false};
  if (!path->subpaths.Push(sub)) return false;
  if (!path->points.Push(path->current)) {
    path->subpaths.PopBack();
    return false;
  }
  path->open = true;
  return true;
}

bool AddSegments(Path* path, const POINTFIX* pts, ULONG count, FLONG kind) {
  if (pts == nullptr || count == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!path->points.Reserve(path->points.Size() + count + 1)) return false;
  if (!EnsureOpen(path)) return false;
  Subpath& sub = path->subpaths.Back();
  bool extend = false;
  if (sub.records > 0) {
    PathRecord& last = path->records.Back();
    extend = (last.flags & PD_BEZIERS) == kind;
  }
  std::uint32_t first = static_cast<std::uint32_t>(path->points.Size());
  if (extend) {
    path->records.Back().count += count;
  } else {
    PathRecord rec{kind, first, count,
                   static_cast<std::uint32_t>(path->subpaths.Size() - 1)};
    if (sub.records == 0) {  // the first record carries the start point
      rec.first -= 1;
      rec.count += 1;
    }
    if (!path->records.Push(rec)) return false;
    ++sub.records;
  }
  for (ULONG i = 0; i < count; ++i) path->points.Push(pts[i]);
  path->current = pts[count - 1];
  path->haveCurrent = true;
  if (kind == PD_BEZIERS) {
    path->object.fl |= PO_BEZIERS;
    path->object.cCurves += count / 3;
  } else {
    path->object.cCurves += count;
  }
  return true;
}

}  // namespace

Path::~Path() { FreeClipLines(clipLines); }

}  // namespace kvplat::engine::detail

using namespace kvplat::engine::detail;

KVAPI PATHOBJ* EngCreatePath() {
  Path* path = NewPath();
  return path ? &path->object : nullptr;
}

KVAPI void EngDeletePath(PATHOBJ* ppo) {
  Path* path = AsPath(ppo);
  if (path == nullptr) return;
  path->magic = 0;
  DeleteObject(path);
}

KVAPI BOOL PATHOBJ_bMoveTo(PATHOBJ* ppo, POINTFIX ptfx) {
  Path* path = AsPath(ppo);
  if (path == nullptr) return FALSE;
  path->open = false;
  path->current = ptfx;
  path->haveCurrent = true;
  return TRUE;
}

KVAPI BOOL PATHOBJ_bPolyLineTo(PATHOBJ* ppo, POINTFIX* pptfx, ULONG cptfx) {
  Path* path = AsPath(ppo);
  return path != nullptr && AddSegments(path, pptfx, cptfx, 0) ? TRUE : FALSE;
}

KVAPI BOOL PATHOBJ_bPolyBezierTo(PATHOBJ* ppo, POINTFIX* pptfx, ULONG cptfx) {
  Path* path = AsPath(ppo);
  if (path == nullptr || cptfx % 3 != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return AddSegments(path, pptfx, cptfx, PD_BEZIERS) ? TRUE : FALSE;
}

KVAPI BOOL PATHOBJ_bCloseFigure(PATHOBJ* ppo) {
  Path* path = AsPath(ppo);
  if (path == nullptr || !path->open) return FALSE;
  Subpath& sub = path->subpaths.Back();
  sub.closed = true;
  path->open = false;
  path->current = path->points[path->records[sub.firstRecord].first];
  return TRUE;
}

KVAPI void PATHOBJ_vEnumStart(PATHOBJ* ppo) {
  if (Path* path = AsPath(ppo)) path->enumNext = 0;
}

KVAPI BOOL PATHOBJ_bEnum(PATHOBJ* ppo, PATHDATA* ppd) {
  Path* path = AsPath(ppo);
  if (ppd == nullptr) return FALSE;
  *ppd = PATHDATA{};
  if (path == nullptr || path->enumNext >= path->records.Size()) return FALSE;
  std::size_t index = path->enumNext++;
  const PathRecord& rec = path->records[index];
  const Subpath& sub = path->subpaths[rec.subpath];
  FLONG flags = rec.flags & PD_BEZIERS;
  if (index == sub.firstRecord) flags |= PD_BEGINSUBPATH;
  if (index + 1 == sub.firstRecord + sub.records) {
    flags |= PD_ENDSUBPATH;
    if (sub.closed) flags |= PD_CLOSEFIGURE;
  }
  ppd->flags = flags;
  ppd->count = rec.count;
  ppd->pptfx = path->points.Data() + rec.first;
  return path->enumNext < path->records.Size() ? TRUE : FALSE;
}

KVAPI void PATHOBJ_vGetBounds(PATHOBJ* ppo, RECTFX* prectfx) {
  if (prectfx == nullptr) return;
  *prectfx = RECTFX{};
  Path* path = AsPath(ppo);
  if (path == nullptr || path->records.Empty()) return;
  bool first = true;
  for (const PathRecord& rec : path->records) {
    for (std::uint32_t i = 0; i < rec.count; ++i) {
      const POINTFIX& p = path->points[rec.first + i];
      if (first) {
        *prectfx = RECTFX{p.x, p.y, p.x, p.y};
        first = false;
        continue;
      }
      prectfx->xLeft = std::min(prectfx->xLeft, p.x);
      prectfx->yTop = std::min(prectfx->yTop, p.y);
      prectfx->xRight = std::max(prectfx->xRight, p.x);
      prectfx->yBottom = std::max(prectfx->yBottom, p.y);
    }
  }
}

namespace kvplat::engine {

namespace {

bool AppendPolygon(Path* path, const double* xy, int n) {
  // Every polygon of a widened line goes the same way round, so that the
  // winding fill of the whole is their union.
  double area = 0;
  for (int i = 0; i < n; ++i) {
    int j = (i + 1) % n;
    area += xy[2 * i] * xy[2 * j + 1] - xy[2 * j] * xy[2 * i + 1];
  }
  if (std::fabs(area) < 1e-9) return true;
  POINTFIX pts[520];
  if (n > 520) n = 520;
  for (int k = 0; k < n; ++k) {
    int i = area > 0 ? k : n - 1 - k;
    pts[k] = POINTFIX{detail::RoundFix(xy[2 * i]), detail::RoundFix(xy[2 * i + 1])};
  }
  if (!PATHOBJ_bMoveTo(&path->object, pts[0])) return false;
  if (!PATHOBJ_bPolyLineTo(&path->object, pts + 1, n - 1)) return false;
  return PATHOBJ_bCloseFigure(&path->object) != FALSE;
}

bool AppendCircle(Path* path, double cx, double cy, double r) {
  if (r <= 0) return true;
  int n = 8;
  if (r > 2.0) {
    double step = std::acos(1.0 - std::min(1.0, 2.0 / r));  // within 1/8 pixel
    n = static_cast<int>(std::ceil(2 * M_PI / step));
  }
  n = std::clamp(n, 8, 256);
  double xy[512];
  for (int i = 0; i < n; ++i) {
    double a = 2 * M_PI * i / n;
    xy[2 * i] = cx + r * std::cos(a);
    xy[2 * i + 1] = cy + r * std::sin(a);
  }
  return AppendPolygon(path, xy, n);
}

struct WidenContext {
  detail::Path* out;
  double half;  // half width, 28.4 units
  ULONG join;
  ULONG cap;
  double miterLimit;
};

struct Pt {
  double x, y;
};

bool Join(WidenContext& c, Pt prev, Pt v, Pt next) {
  if (c.join == JOIN_ROUND) return AppendCircle(c.out, v.x, v.y, c.half);
  double ax = v.x - prev.x, ay = v.y - prev.y, bx = next.x - v.x, by = next.y - v.y;
  double la = std::hypot(ax, ay), lb = std::hypot(bx, by);
  if (la == 0 || lb == 0) return true;
  ax /= la, ay /= la, bx /= lb, by /= lb;
  Pt na{-ay * c.half, ax * c.half}, nb{-by * c.half, bx * c.half};
  double cross = ax * by - ay * bx;
  double side = cross > 0 ? -1.0 : 1.0;  // the outer side of the turn
  Pt p1{v.x + side * na.x, v.y + side * na.y}, p2{v.x + side * nb.x, v.y + side * nb.y};
  if (c.join == JOIN_MITER) {
    double cosTheta = ax * bx + ay * by;  // angle between the directions
    double halfCos = std::sqrt(std::max(0.0, (1 + cosTheta) / 2));
    if (halfCos > 1e-6 && 1.0 / halfCos <= c.miterLimit) {
      double mx = na.x + nb.x, my = na.y + nb.y;
      double ml = std::hypot(mx, my);
      if (ml > 0) {
        double len = c.half / halfCos;
        Pt m{v.x + side * mx / ml * len, v.y + side * my / ml * len};
        double xy[8] = {v.x, v.y, p1.x, p1.y, m.x, m.y, p2.x, p2.y};
        return AppendPolygon(c.out, xy, 4);
      }
    }
  }
  double xy[6] = {v.x, v.y, p1.x, p1.y, p2.x, p2.y};
  return AppendPolygon(c.out, xy, 3);
}

// One open or closed polyline (consecutive duplicates removed) widened.
bool WidenPolyline(WidenContext& c, const Pt* p, int n, bool closed) {
  if (n == 1) {
    if (c.cap == ENDCAP_ROUND) return AppendCircle(c.out, p[0].x, p[0].y, c.half);
    if (c.cap == ENDCAP_SQUARE) {
      double xy[8] = {p[0].x - c.half, p[0].y - c.half, p[0].x + c.half, p[0].y - c.half,
                      p[0].x + c.half, p[0].y + c.half, p[0].x - c.half, p[0].y + c.half};
      return AppendPolygon(c.out, xy, 4);
    }
    return true;
  }
  int segments = closed ? n : n - 1;
  for (int i = 0; i < segments; ++i) {
    Pt a = p[i], b = p[(i + 1) % n];
    double dx = b.x - a.x, dy = b.y - a.y, len = std::hypot(dx, dy);
    if (len == 0) continue;
    dx /= len, dy /= len;
    double nx = -dy * c.half, ny = dx * c.half;
    double ex0 = 0, ey0 = 0, ex1 = 0, ey1 = 0;
    if (!closed && c.cap == ENDCAP_SQUARE) {
      if (i == 0) ex0 = -dx * c.half, ey0 = -dy * c.half;
      if (i == segments - 1) ex1 = dx * c.half, ey1 = dy * c.half;
    }
    double xy[8] = {a.x + ex0 + nx, a.y + ey0 + ny, b.x + ex1 + nx, b.y + ey1 + ny,
                    b.x + ex1 - nx, b.y + ey1 - ny, a.x + ex0 - nx, a.y + ey0 - ny};
    if (!AppendPolygon(c.out, xy, 4)) return false;
  }
  for (int i = closed ? 0 : 1; i < (closed ? n : n - 1); ++i) {
    if (!Join(c, p[(i + n - 1) % n], p[i], p[(i + 1) % n])) return false;
  }
  if (!closed && c.cap == ENDCAP_ROUND) {
    if (!AppendCircle(c.out, p[0].x, p[0].y, c.half)) return false;
    if (!AppendCircle(c.out, p[n - 1].x, p[n - 1].y, c.half)) return false;
  }
  return true;
}

}  // namespace

PATHOBJ* FlattenPath(PATHOBJ* ppo) {
  detail::Path* path = detail::AsPath(ppo);
  if (path == nullptr) return nullptr;
  detail::EngArray<POINTFIX> points;
  detail::EngArray<detail::Polyline> lines;
  if (!detail::PathPolylines(path, &points, &lines) || lines.Empty()) return nullptr;
  detail::Path* out = detail::NewPath();
  if (out == nullptr) return nullptr;
  for (const detail::Polyline& line : lines) {
    const POINTFIX* p = points.Data() + line.first;
    bool ok = PATHOBJ_bMoveTo(&out->object, p[0]) &&
              (line.count < 2 ||
               PATHOBJ_bPolyLineTo(&out->object, const_cast<POINTFIX*>(p + 1), line.count - 1)) &&
              (!line.closed || line.count < 2 || PATHOBJ_bCloseFigure(&out->object));
    if (!ok) {
      EngDeletePath(&out->object);
      return nullptr;
    }
  }
  return &out->object;
}

PATHOBJ* WidenPath(PATHOBJ* ppo, const LINEATTRS* attrs, XFORMOBJ* xform) {
  detail::Path* path = detail::AsPath(ppo);
  if (path == nullptr || attrs == nullptr) return nullptr;
  double scale = 1.0;
  FLOATOBJ_XFORM m{};
  if (xform != nullptr && detail::XformMatrix(xform, &m)) {
    scale = std::sqrt(std::fabs(double(m.eM11) * m.eM22 - double(m.eM12) * m.eM21));
  }
  double width;
  if (attrs->fl & LA_GEOMETRIC) {
    width = double(attrs->elWidth.e) * scale;
  } else {
    width = attrs->elWidth.l > 1 ? attrs->elWidth.l : 1;
  }
  if (!(width > 0) || width > 1e6) return nullptr;
  double miter = attrs->eMiterLimit >= 1.0f ? attrs->eMiterLimit : 10.0;

  detail::EngArray<POINTFIX> points;
  detail::EngArray<detail::Polyline> lines;
  if (!detail::PathPolylines(path, &points, &lines) || lines.Empty()) return nullptr;
  detail::Path* out = detail::NewPath();
  if (out == nullptr) return nullptr;
  WidenContext c{out, width * 16.0 / 2.0, attrs->iJoin, attrs->iEndCap, miter};

  // Dash lengths (28.4 units) of a style array, on and off in turn.
  double dashes[64];
  int dashCount = 0;
  if (attrs->pstyle != nullptr && attrs->cstyle > 0) {
    double styleScale = (attrs->fl & LA_GEOMETRIC) ? scale * 16.0 : width * 16.0;
    for (ULONG i = 0; i < attrs->cstyle && dashCount < 64; ++i) {
      double v = (attrs->fl & LA_GEOMETRIC) ? double(attrs->pstyle[i].e)
                                            : double(attrs->pstyle[i].l);
      dashes[dashCount++] = std::max(0.0, v * styleScale);
    }
    double total = 0;
    for (int i = 0; i < dashCount; ++i) total += dashes[i];
    if (!(total > 0)) dashCount = 0;
  }

  detail::EngArray<Pt> work;
  bool ok = true;
  for (const detail::Polyline& line : lines) {
    work.Clear();
    const POINTFIX* p = points.Data() + line.first;
    for (std::uint32_t i = 0; ok && i < line.count; ++i) {
      if (i > 0 && p[i].x == p[i - 1].x && p[i].y == p[i - 1].y) continue;
      ok = work.Push(Pt{double(p[i].x), double(p[i].y)});
    }
    if (!ok) break;
    int n = static_cast<int>(work.Size());
    bool closed = line.closed && n > 2;
    if (closed && work[0].x == work[n - 1].x && work[0].y == work[n - 1].y) --n;
    if (dashCount == 0) {
      ok = WidenPolyline(c, work.Data(), n, closed);
      if (!ok) break;
      continue;
    }
    // Styled: cut the polyline into dashes, each widened as an open line.
    int dash = (attrs->fl & LA_STARTGAP) ? 1 : 0;
    double left = dashes[dash % dashCount];
    detail::EngArray<Pt> piece;
    bool on = dash % 2 == 0;
    if (on) ok = piece.Push(work[0]);
    int segments = closed ? n : n - 1;
    for (int i = 0; ok && i < segments; ++i) {
      Pt a = work[i], b = work[(i + 1) % n];
      double len = std::hypot(b.x - a.x, b.y - a.y), pos = 0;
      while (ok && len - pos > left) {
        pos += left;
        Pt q{a.x + (b.x - a.x) * pos / len, a.y + (b.y - a.y) * pos / len};
        if (on) {
          ok = piece.Push(q) && WidenPolyline(c, piece.Data(), int(piece.Size()), false);
          piece.Clear();
        } else {
          ok = piece.Push(q);
        }
        on = !on;
        dash = (dash + 1) % dashCount;
        left = dashes[dash];
      }
      left -= len - pos;
      if (on && ok) ok = piece.Push(b);
    }
    if (ok && on && piece.Size() > 1) ok = WidenPolyline(c, piece.Data(), int(piece.Size()), false);
  }
  if (!ok || out->records.Empty()) {
    EngDeletePath(&out->object);
    return nullptr;
  }
  return &out->object;
}

bool AddRectangle(PATHOBJ* ppo, const RECTL& r) {
  if (detail::AsPath(ppo) == nullptr) return false;
  POINTFIX pts[3] = {{ToFix(r.right), ToFix(r.top)},
                     {ToFix(r.right), ToFix(r.bottom)},
                     {ToFix(r.left), ToFix(r.bottom)}};
  return PATHOBJ_bMoveTo(ppo, POINTFIX{ToFix(r.left), ToFix(r.top)}) &&
         PATHOBJ_bPolyLineTo(ppo, pts, 3) && PATHOBJ_bCloseFigure(ppo);
}

}  // namespace kvplat::engine
