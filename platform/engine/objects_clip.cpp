// Clip regions: banded rectangle sets made from rectangles or filled paths,
// the scanline fill rasterizer they share with the software renderer, the
// CLIPOBJ enumeration services and the clipped-line enumeration of paths.
#include <algorithm>
#include <vector>

#include "engine/objects_internal.h"

namespace kvplat::engine::detail {

namespace {

constexpr LONG kRowLimit = 1 << 20;  // rows considered when nothing bounds a fill

using Wide = __int128;

std::int64_t FloorDiv(Wide a, Wide b) {
  Wide q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return static_cast<std::int64_t>(q);
}
std::int64_t CeilDiv(Wide a, Wide b) { return -FloorDiv(-a, b); }

LONG ClampLong(std::int64_t v) {
  if (v > 0x3FFFFFFF) return 0x3FFFFFFF;
  if (v < -0x3FFFFFFF) return -0x3FFFFFFF;
  return static_cast<LONG>(v);
}

struct Edge {
  std::int64_t xTop, yTop, xBot, yBot;
  LONG rowStart, rowEnd;
  int dir;
};

struct Crossing {
  LONG x;  // first pixel whose centre lies right of the edge
  int dir;
};

// The band [first, end) of a region's rectangles that covers row y, if any.
bool BandAt(std::span<const RECTL> rects, LONG y, std::size_t* first, std::size_t* end) {
  auto it = std::upper_bound(rects.begin(), rects.end(), y,
                             [](LONG v, const RECTL& r) { return v < r.top; });
  if (it == rects.begin()) return false;
  std::size_t last = static_cast<std::size_t>(it - rects.begin()) - 1;
  if (y >= rects[last].bottom) return false;
  std::size_t f = last;
  while (f > 0 && rects[f - 1].top == rects[last].top) --f;
  *first = f;
  *end = last + 1;
  return true;
}

}  // namespace

Clip* AsClip(CLIPOBJ* object) {
  auto* clip = reinterpret_cast<Clip*>(object);
  return clip != nullptr && clip->magic == kClipMagic ? clip : nullptr;
}

std::span<const RECTL> Rects(Clip* clip) {
  return std::span<const RECTL>(clip->rects.Data(), clip->rects.Size());
}

bool RegionFromRects(const RECTL* rects, std::size_t count, Region* out) {
  out->Clear();
  EngArray<LONG> ys;
  for (std::size_t i = 0; i < count; ++i) {
    if (RectEmpty(rects[i])) continue;
    if (!ys.Push(rects[i].top) || !ys.Push(rects[i].bottom)) return false;
  }
  if (ys.Empty()) return true;
  std::sort(ys.begin(), ys.end());
  std::size_t unique = static_cast<std::size_t>(std::unique(ys.begin(), ys.end()) - ys.begin());
  EngArray<RECTL> band;
  std::size_t previousFirst = 0, previousCount = 0;
  for (std::size_t k = 0; k + 1 < unique; ++k) {
    LONG top = ys[k], bottom = ys[k + 1];
    band.Clear();
    for (std::size_t i = 0; i < count; ++i) {
      const RECTL& r = rects[i];
      if (RectEmpty(r) || r.top > top || r.bottom < bottom) continue;
      if (!band.Push(RECTL{r.left, top, r.right, bottom})) return false;
    }
    std::sort(band.begin(), band.end(),
              [](const RECTL& a, const RECTL& b) { return a.left < b.left; });
    // Merge overlapping and touching intervals.
    std::size_t merged = 0;
    for (std::size_t i = 0; i < band.Size(); ++i) {
      if (merged > 0 && band[i].left <= band[merged - 1].right) {
        band[merged - 1].right = std::max(band[merged - 1].right, band[i].right);
      } else {
        band[merged++] = band[i];
      }
    }
    if (merged == 0) {
      previousCount = 0;
      continue;
    }
    // Join with the band above when it has the same intervals and touches.
    bool same = previousCount == merged && (*out)[previousFirst].bottom == top;
    for (std::size_t i = 0; same && i < merged; ++i) {
      same = (*out)[previousFirst + i].left == band[i].left &&
             (*out)[previousFirst + i].right == band[i].right;
    }
    if (same) {
      for (std::size_t i = 0; i < merged; ++i) (*out)[previousFirst + i].bottom = bottom;
      continue;
    }
    previousFirst = out->Size();
    previousCount = merged;
    for (std::size_t i = 0; i < merged; ++i) {
      if (!out->Push(band[i])) return false;
    }
  }
  return true;
}

bool FillSpans(Path* path, FLONG fillMode, std::span<const RECTL> clipRects,
               const RECTL* clipBounds, SpanFn fn, void* context) {
  EngArray<Segment> segments;
  if (!PathSegments(path, true, &segments)) return false;
  EngArray<Edge> edges;
  LONG minRow = kRowLimit, maxRow = -kRowLimit;
  for (const Segment& s : segments) {
    if (s.a.y == s.b.y) continue;
    bool down = s.a.y < s.b.y;
    const POINTFIX& top = down ? s.a : s.b;
    const POINTFIX& bot = down ? s.b : s.a;
    Edge e{top.x, top.y, bot.x, bot.y, 0, 0, down ? 1 : -1};
    e.rowStart = ClampLong(CeilDiv(Wide(e.yTop) - 8, 16));
    e.rowEnd = ClampLong(CeilDiv(Wide(e.yBot) - 8, 16));
    if (e.rowStart >= e.rowEnd) continue;
    if (!edges.Push(e)) return false;
    minRow = std::min(minRow, e.rowStart);
    maxRow = std::max(maxRow, e.rowEnd);
  }
  if (edges.Empty()) return true;
  LONG firstRow = std::max(minRow, -kRowLimit), endRow = std::min(maxRow, kRowLimit);
  if (clipBounds != nullptr) {
    firstRow = std::max(firstRow, clipBounds->top);
    endRow = std::min(endRow, clipBounds->bottom);
  }
  if (firstRow >= endRow) return true;
  std::sort(edges.begin(), edges.end(),
            [](const Edge& a, const Edge& b) { return a.rowStart < b.rowStart; });

  EngArray<std::uint32_t> active;
  EngArray<Crossing> crossings;
  if (!active.Reserve(edges.Size()) || !crossings.Reserve(edges.Size())) return false;
  std::size_t nextEdge = 0;
  bool evenOdd = fillMode != FP_WINDINGMODE;
  for (LONG y = firstRow; y < endRow; ++y) {
    while (nextEdge < edges.Size() && edges[nextEdge].rowStart <= y) {
      if (edges[nextEdge].rowEnd > y) active.Push(static_cast<std::uint32_t>(nextEdge));
      ++nextEdge;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < active.Size(); ++i) {
      if (edges[active[i]].rowEnd > y) active[kept++] = active[i];
    }
    active.Resize(kept);
    if (active.Empty()) {
      if (nextEdge >= edges.Size()) break;
      if (edges[nextEdge].rowStart > y + 1) y = std::min(edges[nextEdge].rowStart, endRow) - 1;
      continue;
    }
    std::size_t bandFirst = 0, bandEnd = 0;
    if (!clipRects.empty() && !BandAt(clipRects, y, &bandFirst, &bandEnd)) continue;
    crossings.Clear();
    Wide cy = Wide(y) * 16 + 8;
    for (std::uint32_t index : active) {
      const Edge& e = edges[index];
      Wide den = e.yBot - e.yTop;
      Wide num = (cy - e.yTop) * (e.xBot - e.xTop);
      crossings.Push(Crossing{ClampLong(CeilDiv(num + (Wide(e.xTop) - 8) * den, den * 16)), e.dir});
    }
    // Nearly sorted from one row to the next: insertion sort.
    for (std::size_t i = 1; i < crossings.Size(); ++i) {
      Crossing c = crossings[i];
      std::size_t j = i;
      while (j > 0 && crossings[j - 1].x > c.x) {
        crossings[j] = crossings[j - 1];
        --j;
      }
      crossings[j] = c;
    }
    int winding = 0;
    LONG spanStart = 0;
    std::size_t clipIndex = bandFirst;
    for (const Crossing& c : crossings) {
      bool wasInside = evenOdd ? (winding & 1) != 0 : winding != 0;
      winding += evenOdd ? 1 : c.dir;
      bool inside = evenOdd ? (winding & 1) != 0 : winding != 0;
      if (!wasInside && inside) {
        spanStart = c.x;
      } else if (wasInside && !inside && c.x > spanStart) {
        LONG left = spanStart, right = c.x;
        if (clipRects.empty()) {
          fn(context, y, left, right);
          continue;
        }
        while (clipIndex < bandEnd && clipRects[clipIndex].right <= left) ++clipIndex;
        for (std::size_t k = clipIndex; k < bandEnd && clipRects[k].left < right; ++k) {
          LONG l = std::max(left, clipRects[k].left), r = std::min(right, clipRects[k].right);
          if (l < r) fn(context, y, l, r);
        }
      }
    }
  }
  return true;
}

void RowRegionBuilder::Flush() {
  if (row.Empty()) return;
  bool same = previousCount == row.Size() && !out->Empty() &&
              (*out)[previousFirst].bottom == rowY;
  for (std::size_t i = 0; same && i < row.Size(); ++i) {
    same = (*out)[previousFirst + i].left == row[i].left &&
           (*out)[previousFirst + i].right == row[i].right;
  }
  if (same) {
    for (std::size_t i = 0; i < row.Size(); ++i) (*out)[previousFirst + i].bottom = rowY + 1;
  } else {
    previousFirst = out->Size();
    previousCount = row.Size();
    for (const RECTL& r : row) ok = ok && out->Push(r);
  }
  row.Clear();
}

void RowRegionBuilder::Add(LONG y, LONG left, LONG right) {
  if (left >= right) return;
  if (!row.Empty() && rowY != y) Flush();
  rowY = y;
  if (!row.Empty() && row.Back().right == left) {
    row.Back().right = right;
  } else {
    ok = ok && row.Push(RECTL{left, y, right, y + 1});
  }
}

bool RowRegionBuilder::Finish() {
  Flush();
  return ok;
}

bool RegionFromPath(Path* path, FLONG fillMode, Region* out) {
  out->Clear();
  RowRegionBuilder builder(out);
  bool ok = FillSpans(
      path, fillMode, {}, nullptr,
      [](void* context, LONG y, LONG left, LONG right) {
        static_cast<RowRegionBuilder*>(context)->Add(y, left, right);
      },
      &builder);
  return builder.Finish() && ok;
}

namespace {

Clip* NewClip() { return NewObject<Clip>(); }

void SetComplexity(Clip* clip) {
  CLIPOBJ& o = clip->object;
  o.iMode = TC_RECTANGLES;
  if (clip->rects.Size() == 1) {
    o.iDComplexity = DC_RECT;
    o.iFComplexity = FC_RECT;
    o.rclBounds = clip->rects[0];
    return;
  }
  o.iDComplexity = DC_COMPLEX;
  o.iFComplexity = FC_COMPLEX;
  if (clip->rects.Empty()) {
    o.rclBounds = RECTL{0, 0, 0, 0};
    return;
  }
  RECTL b = clip->rects[0];
  for (const RECTL& r : clip->rects) {
    b.left = std::min(b.left, r.left);
    b.right = std::max(b.right, r.right);
  }
  b.bottom = clip->rects.Back().bottom;
  o.rclBounds = b;
}

ULONG g_clipUniq = 0;

}  // namespace

// ---- clipped lines ---------------------------------------------------------------

struct ClipLine {
  POINTFIX a, b;
  std::uint32_t firstRun;
  std::uint32_t runs;
};

struct ClipLineState {
  EngArray<ClipLine> lines;
  EngArray<RUN> runs;
  std::size_t line = 0;
  std::size_t run = 0;
  LONG styleState = 0;
};

void FreeClipLines(ClipLineState* state) { DeleteObject(state); }

namespace {

// The pixel of index i along a line: i whole pixels along the major axis
// from A, the minor axis following the line's slope (rounded like MulDiv).
struct LineWalk {
  bool xMajor;
  std::int64_t aMajor, aMinor, dMajor, dMinor;  // |dMajor| >= |dMinor|
  int sMajor, sMinor;
  void Pixel(std::int64_t i, LONG* x, LONG* y) const {
    std::int64_t major = aMajor + sMajor * i * 16;
    Wide num = Wide(i) * 16 * dMinor;
    std::int64_t off = dMajor == 0 ? 0 : FloorDiv(2 * num + dMajor, 2 * Wide(dMajor));  // round half up
    std::int64_t minor = aMinor + sMinor * off;
    std::int64_t px = FloorDiv(xMajor ? major : minor, 16);
    std::int64_t py = FloorDiv(xMajor ? minor : major, 16);
    *x = ClampLong(px);
    *y = ClampLong(py);
  }
};

LineWalk MakeWalk(const POINTFIX& a, const POINTFIX& b) {
  std::int64_t dx = std::int64_t(b.x) - a.x, dy = std::int64_t(b.y) - a.y;
  LineWalk w{};
  w.xMajor = (dx < 0 ? -dx : dx) >= (dy < 0 ? -dy : dy);
  std::int64_t dMaj = w.xMajor ? dx : dy, dMin = w.xMajor ? dy : dx;
  w.sMajor = dMaj < 0 ? -1 : 1;
  w.sMinor = dMin < 0 ? -1 : 1;
  w.dMajor = dMaj < 0 ? -dMaj : dMaj;
  w.dMinor = dMin < 0 ? -dMin : dMin;
  w.aMajor = w.xMajor ? a.x : a.y;
  w.aMinor = w.xMajor ? a.y : a.x;
  return w;
}

bool ContainsPixel(std::span<const RECTL> rects, LONG x, LONG y) {
  std::size_t first, end;
  if (!BandAt(rects, y, &first, &end)) return false;
  for (std::size_t k = first; k < end && rects[k].left <= x; ++k) {
    if (x < rects[k].right) return true;
  }
  return false;
}

bool AddClipLine(ClipLineState* st, const Segment& s, std::span<const RECTL> rects,
                 const RECTL& bounds, bool wholeBounds) {
  LineWalk w = MakeWalk(s.a, s.b);
  std::int64_t n = w.dMajor >> 4;  // the last pixel is not drawn
  if (n <= 0 || RectEmpty(bounds)) return true;
  // Indices whose major coordinate lies inside the bounds.
  std::int64_t lo16 = std::int64_t(w.xMajor ? bounds.left : bounds.top) * 16;
  std::int64_t hi16 = std::int64_t(w.xMajor ? bounds.right : bounds.bottom) * 16 - 1;
  std::int64_t first, last;
  if (w.sMajor > 0) {
    first = CeilDiv(lo16 - w.aMajor, 16);
    last = FloorDiv(hi16 - w.aMajor, 16);
  } else {
    first = CeilDiv(w.aMajor - hi16, 16);
    last = FloorDiv(w.aMajor - lo16, 16);
  }
  first = std::max<std::int64_t>(first, 0);
  last = std::min<std::int64_t>(last, n - 1);
  ClipLine line{s.a, s.b, static_cast<std::uint32_t>(st->runs.Size()), 0};
  bool inRun = false;
  RUN current{};
  for (std::int64_t i = first; i <= last; ++i) {
    LONG x, y;
    w.Pixel(i, &x, &y);
    bool inside = wholeBounds ? (x >= bounds.left && x < bounds.right && y >= bounds.top &&
                                 y < bounds.bottom)
                              : ContainsPixel(rects, x, y);
    if (inside && !inRun) {
      current.iStart = static_cast<LONG>(i);
      inRun = true;
    } else if (!inside && inRun) {
      current.iStop = static_cast<LONG>(i - 1);
      if (!st->runs.Push(current)) return false;
      ++line.runs;
      inRun = false;
    }
  }
  if (inRun) {
    current.iStop = static_cast<LONG>(last);
    if (!st->runs.Push(current)) return false;
    ++line.runs;
  }
  if (line.runs == 0) return true;
  return st->lines.Push(line);
}

}  // namespace

std::int64_t LinePixelCount(const POINTFIX& a, const POINTFIX& b) {
  return MakeWalk(a, b).dMajor >> 4;
}

void LinePixel(const POINTFIX& a, const POINTFIX& b, std::int64_t i, LONG* x, LONG* y) {
  MakeWalk(a, b).Pixel(i, x, y);
}

}  // namespace kvplat::engine::detail

using namespace kvplat::engine::detail;

KVAPI void PATHOBJ_vEnumStartClipLines(PATHOBJ* ppo, CLIPOBJ* pco, SURFOBJ* pso,
                                       LINEATTRS* pla) {
  Path* path = AsPath(ppo);
  if (path == nullptr) return;
  FreeClipLines(path->clipLines);
  path->clipLines = NewObject<ClipLineState>();
  ClipLineState* st = path->clipLines;
  if (st == nullptr) return;
  if (pla != nullptr) st->styleState = pla->elStyleState.l;
  EngArray<Segment> segments;
  if (!PathSegments(path, false, &segments)) return;
  Clip* clip = AsClip(pco);
  RECTL bounds{-0x3FFFFFFF, -0x3FFFFFFF, 0x3FFFFFFF, 0x3FFFFFFF};
  if (pso != nullptr) bounds = SurfaceRect(pso);
  bool whole = clip == nullptr || clip->object.iDComplexity != DC_COMPLEX;
  if (clip != nullptr) bounds = Intersect(bounds, clip->object.rclBounds);
  for (const Segment& s : segments) {
    if (!AddClipLine(st, s, clip ? Rects(clip) : std::span<const RECTL>(), bounds, whole)) {
      st->lines.Clear();
      return;
    }
  }
}

KVAPI BOOL PATHOBJ_bEnumClipLines(PATHOBJ* ppo, ULONG cb, CLIPLINE* pcl) {
  Path* path = AsPath(ppo);
  if (pcl == nullptr || cb < sizeof(CLIPLINE)) return FALSE;
  pcl->c = 0;
  if (path == nullptr || path->clipLines == nullptr) return FALSE;
  ClipLineState* st = path->clipLines;
  if (st->line >= st->lines.Size()) return FALSE;
  const ClipLine& line = st->lines[st->line];
  pcl->ptfxA = line.a;
  pcl->ptfxB = line.b;
  pcl->lStyleState = st->styleState;
  std::size_t capacity = (cb - offsetof(CLIPLINE, arun)) / sizeof(RUN);
  std::size_t count = std::min<std::size_t>(capacity, line.runs - st->run);
  for (std::size_t i = 0; i < count; ++i) pcl->arun[i] = st->runs[line.firstRun + st->run + i];
  pcl->c = static_cast<ULONG>(count);
  st->run += count;
  if (st->run >= line.runs) {
    ++st->line;
    st->run = 0;
  }
  return st->line < st->lines.Size() ? TRUE : FALSE;
}

namespace {

// Moves an enumeration to the next band in its direction; false at the end.
bool NextBand(Clip* clip, bool first) {
  const Region& r = clip->rects;
  std::size_t n = r.Size();
  if (clip->down) {
    std::size_t start = first ? 0 : clip->bandEnd;
    if (start >= n) return false;
    std::size_t end = start + 1;
    while (end < n && r[end].top == r[start].top) ++end;
    clip->bandFirst = start;
    clip->bandEnd = end;
  } else {
    std::size_t end = first ? n : clip->bandFirst;
    if (end == 0) return false;
    std::size_t start = end - 1;
    while (start > 0 && r[start - 1].top == r[end - 1].top) --start;
    clip->bandFirst = start;
    clip->bandEnd = end;
  }
  clip->inBand = 0;
  return true;
}

}  // namespace

KVAPI ULONG CLIPOBJ_cEnumStart(CLIPOBJ* pco, BOOL /*bAll*/, ULONG iType, ULONG iDirection,
                               ULONG cLimit) {
  Clip* clip = AsClip(pco);
  if (clip == nullptr) return 0;
  clip->enumerating = false;
  if (iType != CT_RECTANGLES || iDirection > CD_ANY) return 0;
  clip->down = iDirection == CD_RIGHTDOWN || iDirection == CD_LEFTDOWN || iDirection == CD_ANY;
  clip->right = iDirection == CD_RIGHTDOWN || iDirection == CD_RIGHTUP || iDirection == CD_ANY;
  clip->enumerating = NextBand(clip, true);
  ULONG count = static_cast<ULONG>(clip->rects.Size());
  return count <= cLimit ? count : 0xFFFFFFFF;
}

KVAPI BOOL CLIPOBJ_bEnum(CLIPOBJ* pco, ULONG cj, ULONG* pv) {
  Clip* clip = AsClip(pco);
  if (pv == nullptr || cj < sizeof(ULONG)) return FALSE;
  auto* out = reinterpret_cast<ENUMRECTS*>(pv);
  out->c = 0;
  if (clip == nullptr || cj < sizeof(ENUMRECTS) || !clip->enumerating) return FALSE;
  std::size_t capacity = (cj - offsetof(ENUMRECTS, arcl)) / sizeof(RECTL);
  while (out->c < capacity && clip->enumerating) {
    std::size_t len = clip->bandEnd - clip->bandFirst;
    std::size_t index = clip->right ? clip->bandFirst + clip->inBand
                                    : clip->bandEnd - 1 - clip->inBand;
    out->arcl[out->c++] = clip->rects[index];
    if (++clip->inBand >= len) clip->enumerating = NextBand(clip, false);
  }
  return clip->enumerating ? TRUE : FALSE;
}

namespace {

// Adds one closed outline for a chain of rectangles, each starting where the
// one before ends and overlapping it: down the right edges, up the left ones.
bool AddChainOutline(PATHOBJ* path, const std::vector<RECTL>& chain) {
  std::vector<POINTFIX> points;
  points.reserve(chain.size() * 4);
  auto add = [&](LONG x, LONG y) {
    const POINTFIX p{x << 4, y << 4};
    // Points on a straight run add nothing.
    const std::size_t n = points.size();
    if (n >= 2 && ((points[n - 2].x == points[n - 1].x && points[n - 1].x == p.x) ||
                   (points[n - 2].y == points[n - 1].y && points[n - 1].y == p.y))) {
      points[n - 1] = p;
      return;
    }
    if (n >= 1 && points[n - 1].x == p.x && points[n - 1].y == p.y) return;
    points.push_back(p);
  };
  // From the top-left corner: along the top, down the right edges, back
  // along the bottom and up the left edges.
  add(chain.front().left, chain.front().top);
  for (const RECTL& r : chain) {
    add(r.right, r.top);
    add(r.right, r.bottom);
  }
  for (auto r = chain.rbegin(); r != chain.rend(); ++r) {
    add(r->left, r->bottom);
    add(r->left, r->top);
  }
  if (points.size() > 1 && points.back().x == points.front().x &&
      points.back().y == points.front().y) {
    points.pop_back();  // closing the figure comes back to the start
  }
  if (points.size() < 3) return true;
  return PATHOBJ_bMoveTo(path, points[0]) &&
         PATHOBJ_bPolyLineTo(path, points.data() + 1, static_cast<ULONG>(points.size() - 1)) &&
         PATHOBJ_bCloseFigure(path);
}

}  // namespace

// The region as a path. Rectangles that continue each other downwards become
// one outline (a circle is one polygon, not one rectangle per scan line); the
// outlines never overlap, so either fill mode fills exactly the region.
KVAPI PATHOBJ* CLIPOBJ_ppoGetPath(CLIPOBJ* pco) {
  Clip* clip = AsClip(pco);
  if (clip == nullptr) return nullptr;
  Path* path = NewPath();
  if (path == nullptr) return nullptr;
  std::vector<RECTL> chain;
  bool ok = true;
  for (const RECTL& r : clip->rects) {
    if (!chain.empty()) {
      const RECTL& p = chain.back();
      const bool continues = p.bottom == r.top && r.left < p.right && p.left < r.right;
      if (!continues) {
        ok = ok && AddChainOutline(&path->object, chain);
        chain.clear();
      }
    }
    chain.push_back(r);
  }
  if (!chain.empty()) ok = ok && AddChainOutline(&path->object, chain);
  if (!ok) {
    EngDeletePath(&path->object);
    return nullptr;
  }
  return &path->object;
}

namespace kvplat::engine {

CLIPOBJ* CreateTrivialClip(const RECTL& bounds) {
  Clip* clip = NewClip();
  if (clip == nullptr) return nullptr;
  clip->object.iUniq = ++g_clipUniq;
  clip->object.iDComplexity = DC_TRIVIAL;
  clip->object.iFComplexity = FC_RECT;
  clip->object.rclBounds = bounds;
  if (!RectEmpty(bounds) && !clip->rects.Push(bounds)) {
    DeleteObject(clip);
    return nullptr;
  }
  return &clip->object;
}

CLIPOBJ* CreateClipFromRects(std::span<const RECTL> rects) {
  Clip* clip = NewClip();
  if (clip == nullptr) return nullptr;
  if (!RegionFromRects(rects.data(), rects.size(), &clip->rects)) {
    DeleteObject(clip);
    return nullptr;
  }
  clip->object.iUniq = ++g_clipUniq;
  SetComplexity(clip);
  return &clip->object;
}

CLIPOBJ* CreateClipFromPath(PATHOBJ* ppo, FLONG fillMode) {
  Path* path = AsPath(ppo);
  if (path == nullptr) return nullptr;
  Clip* clip = NewClip();
  if (clip == nullptr) return nullptr;
  if (!RegionFromPath(path, fillMode, &clip->rects)) {
    DeleteObject(clip);
    return nullptr;
  }
  clip->object.iUniq = ++g_clipUniq;
  SetComplexity(clip);
  return &clip->object;
}

CLIPOBJ* IntersectClip(CLIPOBJ* pco, const RECTL& rect) {
  Clip* source = AsClip(pco);
  if (source == nullptr) return CreateClipFromRects(std::span<const RECTL>(&rect, 1));
  Region cut;
  for (const RECTL& r : source->rects) {
    RECTL i = Intersect(r, rect);
    if (!RectEmpty(i) && !cut.Push(i)) return nullptr;
  }
  return CreateClipFromRects(std::span<const RECTL>(cut.Data(), cut.Size()));
}

void DeleteClip(CLIPOBJ* pco) {
  Clip* clip = AsClip(pco);
  if (clip == nullptr) return;
  clip->magic = 0;
  DeleteObject(clip);
}

std::span<const RECTL> ClipRects(CLIPOBJ* pco) {
  Clip* clip = AsClip(pco);
  return clip ? Rects(clip) : std::span<const RECTL>();
}

bool ClipContains(CLIPOBJ* pco, LONG x, LONG y) {
  Clip* clip = AsClip(pco);
  return clip != nullptr && ContainsPixel(Rects(clip), x, y);
}

bool EnumerateFillSpans(PATHOBJ* ppo, FLONG fillMode, CLIPOBJ* pco, SpanFn fn, void* context) {
  Path* path = AsPath(ppo);
  if (path == nullptr || fn == nullptr) return false;
  Clip* clip = AsClip(pco);
  if (clip == nullptr) return FillSpans(path, fillMode, {}, nullptr, fn, context);
  if (clip->rects.Empty()) return true;
  return FillSpans(path, fillMode, Rects(clip), &clip->object.rclBounds, fn, context);
}

}  // namespace kvplat::engine
