// Paths as the drivers read them: records and flags, bounds, flattening,
// clipped-line runs through regions, and widened lines.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_owned.h"

#include "kvplat/engine_objects.h"
#include "kvplat/kernel.h"

namespace {

using kvplat::engine::ToFix;

using PathPtr = kvtest::Path;
using ClipPtr = kvtest::Clip;

struct Record {
  FLONG flags;
  std::vector<POINTFIX> points;
  BOOL more;
};

std::vector<Record> Records(PATHOBJ* path) {
  std::vector<Record> out;
  PATHOBJ_vEnumStart(path);
  for (int guard = 0; guard < 1000; ++guard) {
    PATHDATA data{};
    BOOL more = PATHOBJ_bEnum(path, &data);
    if (data.count == 0 && !more) break;
    out.push_back({data.flags, std::vector<POINTFIX>(data.pptfx, data.pptfx + data.count), more});
    if (!more) break;
  }
  return out;
}

TEST(EnginePath, RecordsCarrySubpathAndCurveFlags) {
  PathPtr path(EngCreatePath());
  ASSERT_NE(path, nullptr);
  POINTFIX lines[] = {{160, 0}, {160, 160}};
  POINTFIX curve[] = {{200, 200}, {240, 200}, {260, 170}};
  POINTFIX tail[] = {{0, 170}};
  ASSERT_TRUE(PATHOBJ_bMoveTo(path.get(), POINTFIX{0, 0}));
  ASSERT_TRUE(PATHOBJ_bPolyLineTo(path.get(), lines, 2));
  ASSERT_TRUE(PATHOBJ_bPolyBezierTo(path.get(), curve, 3));
  ASSERT_TRUE(PATHOBJ_bPolyLineTo(path.get(), tail, 1));
  ASSERT_TRUE(PATHOBJ_bCloseFigure(path.get()));
  POINTFIX second[] = {{-40, 500}};
  ASSERT_TRUE(PATHOBJ_bMoveTo(path.get(), POINTFIX{300, 300}));
  ASSERT_TRUE(PATHOBJ_bPolyBezierTo(path.get(), curve, 3));
  ASSERT_TRUE(PATHOBJ_bPolyLineTo(path.get(), second, 1));

  EXPECT_EQ(path->fl & PO_BEZIERS, PO_BEZIERS);
  std::vector<Record> r = Records(path.get());
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].flags, PD_BEGINSUBPATH);
  ASSERT_EQ(r[0].points.size(), 3u);  // the start point and two line points
  EXPECT_EQ(r[0].points[0].x, 0);
  EXPECT_EQ(r[0].points[2].y, 160);
  EXPECT_EQ(r[1].flags, PD_BEZIERS);
  EXPECT_EQ(r[1].points.size(), 3u);
  EXPECT_EQ(r[2].flags, PD_ENDSUBPATH | PD_CLOSEFIGURE);
  EXPECT_EQ(r[2].points.size(), 1u);
  EXPECT_EQ(r[3].flags, PD_BEGINSUBPATH | PD_BEZIERS);
  EXPECT_EQ(r[3].points.size(), 4u);  // start point, then one curve
  EXPECT_EQ(r[4].flags, PD_ENDSUBPATH);
  for (std::size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i].more, i + 1 < r.size() ? TRUE : FALSE);

  RECTFX bounds{};
  PATHOBJ_vGetBounds(path.get(), &bounds);
  EXPECT_EQ(bounds.xLeft, -40);
  EXPECT_EQ(bounds.yTop, 0);
  EXPECT_EQ(bounds.xRight, 300);
  EXPECT_EQ(bounds.yBottom, 500);

  // A second enumeration starts again from the first record.
  EXPECT_EQ(Records(path.get()).size(), 5u);
}

TEST(EnginePath, GarbageIsRefusedWithoutHarm) {
  PathPtr path(EngCreatePath());
  POINTFIX pts[4] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}};
  EXPECT_FALSE(PATHOBJ_bPolyLineTo(path.get(), pts, 2));  // no current point
  EXPECT_FALSE(PATHOBJ_bCloseFigure(path.get()));
  ASSERT_TRUE(PATHOBJ_bMoveTo(path.get(), POINTFIX{0, 0}));
  EXPECT_FALSE(PATHOBJ_bPolyBezierTo(path.get(), pts, 4));  // not a multiple of 3
  EXPECT_FALSE(PATHOBJ_bPolyBezierTo(path.get(), pts, 0));
  EXPECT_FALSE(PATHOBJ_bPolyLineTo(path.get(), nullptr, 3));
  EXPECT_FALSE(PATHOBJ_bPolyLineTo(path.get(), pts, 0));

  // Still empty: no records, empty bounds.
  PATHDATA data{};
  PATHOBJ_vEnumStart(path.get());
  EXPECT_FALSE(PATHOBJ_bEnum(path.get(), &data));
  EXPECT_EQ(data.count, 0u);
  RECTFX bounds{1, 1, 1, 1};
  PATHOBJ_vGetBounds(path.get(), &bounds);
  EXPECT_EQ(bounds.xRight, 0);
  EXPECT_EQ(kvplat::engine::FlattenPath(path.get()), nullptr);

  EXPECT_FALSE(PATHOBJ_bEnum(nullptr, &data));
  EngDeletePath(nullptr);
  CLIPLINE line{};
  PATHOBJ_vEnumStartClipLines(path.get(), nullptr, nullptr, nullptr);
  EXPECT_FALSE(PATHOBJ_bEnumClipLines(path.get(), sizeof(line), &line));
  EXPECT_EQ(line.c, 0u);
}

// Distance from a point to a segment.
double SegmentDistance(double px, double py, POINTFIX a, POINTFIX b) {
  double dx = b.x - a.x, dy = b.y - a.y;
  double len2 = dx * dx + dy * dy;
  double t = len2 == 0 ? 0 : ((px - a.x) * dx + (py - a.y) * dy) / len2;
  t = std::fmax(0, std::fmin(1, t));
  return std::hypot(px - (a.x + t * dx), py - (a.y + t * dy));
}

TEST(EnginePath, FlatteningStaysWithinAQuarterPixel) {
  struct Case {
    POINTFIX p[4];
  };
  const Case cases[] = {
      {{{0, 0}, {0, 1600}, {1600, 1600}, {1600, 0}}},
      {{{0, 0}, {16000, 0}, {0, 16000}, {16000, 16000}}},  // S shape, large
      {{{5, 5}, {6, 7}, {7, 6}, {9, 9}}},                  // tiny
  };
  for (const Case& c : cases) {
    PathPtr path(EngCreatePath());
    POINTFIX ctrl[3] = {c.p[1], c.p[2], c.p[3]};
    ASSERT_TRUE(PATHOBJ_bMoveTo(path.get(), c.p[0]));
    ASSERT_TRUE(PATHOBJ_bPolyBezierTo(path.get(), ctrl, 3));
    PathPtr flat(kvplat::engine::FlattenPath(path.get()));
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(flat->fl & PO_BEZIERS, 0u);
    std::vector<Record> r = Records(flat.get());
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].flags, PD_BEGINSUBPATH | PD_ENDSUBPATH);
    const std::vector<POINTFIX>& pts = r[0].points;
    ASSERT_GE(pts.size(), 2u);
    EXPECT_EQ(pts.front().x, c.p[0].x);
    EXPECT_EQ(pts.back().x, c.p[3].x);
    EXPECT_EQ(pts.back().y, c.p[3].y);
    EXPECT_LT(pts.size(), 2000u);
    for (int k = 0; k <= 2000; ++k) {
      double t = k / 2000.0, u = 1 - t;
      double x = u * u * u * c.p[0].x + 3 * u * u * t * c.p[1].x + 3 * u * t * t * c.p[2].x +
                 t * t * t * c.p[3].x;
      double y = u * u * u * c.p[0].y + 3 * u * u * t * c.p[1].y + 3 * u * t * t * c.p[2].y +
                 t * t * t * c.p[3].y;
      double best = 1e18;
      for (std::size_t i = 1; i < pts.size(); ++i) {
        best = std::fmin(best, SegmentDistance(x, y, pts[i - 1], pts[i]));
      }
      ASSERT_LE(best, 4.0 + 1.0) << "t=" << t;  // a quarter pixel, plus rounding
    }
  }
}

// A 40 x 40 pixel square at (8, 8) with a 20 x 20 hole in the middle.
ClipPtr SquareWithHole() {
  PathPtr path(EngCreatePath());
  kvplat::engine::AddRectangle(path.get(), RECTL{8, 8, 48, 48});
  kvplat::engine::AddRectangle(path.get(), RECTL{18, 18, 38, 38});
  return ClipPtr(kvplat::engine::CreateClipFromPath(path.get(), FP_ALTERNATEMODE));
}

bool InSquareWithHole(LONG x, LONG y) {
  bool outer = x >= 8 && x < 48 && y >= 8 && y < 48;
  bool hole = x >= 18 && x < 38 && y >= 18 && y < 38;
  return outer && !hole;
}

// The pixel of index i the way a driver turns a run back into points.
void DriverPixel(POINTFIX a, POINTFIX b, LONG i, LONG* x, LONG* y) {
  LONG dx = b.x - a.x, dy = b.y - a.y;
  bool xMajor = std::abs(dx) >= std::abs(dy);
  LONG dMajor = xMajor ? dx : dy, dMinor = xMajor ? dy : dx;
  LONG major = i * 16 * (dMajor < 0 ? -1 : 1);
  LONG minor = MulDiv(i * 16, std::abs(dMinor), std::abs(dMajor)) * (dMinor < 0 ? -1 : 1);
  *x = (a.x + (xMajor ? major : minor)) >> 4;
  *y = (a.y + (xMajor ? minor : major)) >> 4;
}

struct CollectedLine {
  POINTFIX a, b;
  std::vector<RUN> runs;
};

std::vector<CollectedLine> ClipLines(PATHOBJ* path, CLIPOBJ* clip, ULONG* buffers) {
  alignas(8) BYTE buffer[432];
  auto* line = reinterpret_cast<CLIPLINE*>(buffer);
  std::vector<CollectedLine> out;
  *buffers = 0;
  PATHOBJ_vEnumStartClipLines(path, clip, nullptr, nullptr);
  BOOL more;
  do {
    more = PATHOBJ_bEnumClipLines(path, sizeof(buffer), line);
    ++*buffers;
    EXPECT_LE(line->c, 51u);
    if (line->c == 0) continue;
    if (out.empty() || out.back().a.x != line->ptfxA.x || out.back().a.y != line->ptfxA.y ||
        out.back().b.x != line->ptfxB.x || out.back().b.y != line->ptfxB.y) {
      out.push_back({line->ptfxA, line->ptfxB, {}});
    }
    for (ULONG k = 0; k < line->c; ++k) out.back().runs.push_back(line->arun[k]);
  } while (more && *buffers < 10000);
  return out;
}

TEST(EngineClipLines, RunsThroughARegionWithAHoleMatchBruteForce) {
  ClipPtr clip = SquareWithHole();
  ASSERT_NE(clip, nullptr);
  EXPECT_EQ(clip->iDComplexity, DC_COMPLEX);
  struct Line {
    POINTFIX a, b;
  };
  const Line lines[] = {
      {{0, 400}, {960, 400}},        // horizontal through the hole
      {{960, 405}, {0, 405}},        // the same backwards
      {{20, 0}, {900, 930}},         // diagonal through the hole
      {{500, 0}, {420, 950}},        // steep, going left
      {{900, 901}, {17, 83}},        // up and left, fractional
      {{0, 100}, {2000, 120}},       // shallow
      {{300, 300}, {310, 305}},      // shorter than a pixel: nothing
  };
  PathPtr path(EngCreatePath());
  for (const Line& l : lines) {
    POINTFIX to = l.b;
    ASSERT_TRUE(PATHOBJ_bMoveTo(path.get(), l.a));
    ASSERT_TRUE(PATHOBJ_bPolyLineTo(path.get(), &to, 1));
  }
  ULONG buffers = 0;
  std::vector<CollectedLine> got = ClipLines(path.get(), clip.get(), &buffers);
  std::size_t next = 0;
  for (const Line& l : lines) {
    LONG dx = l.b.x - l.a.x, dy = l.b.y - l.a.y;
    LONG n = std::max(std::abs(dx), std::abs(dy)) >> 4;
    std::vector<LONG> expected;
    for (LONG i = 0; i < n; ++i) {
      LONG x, y;
      DriverPixel(l.a, l.b, i, &x, &y);
      if (InSquareWithHole(x, y)) expected.push_back(i);
    }
    if (expected.empty()) continue;
    ASSERT_LT(next, got.size());
    const CollectedLine& g = got[next++];
    EXPECT_EQ(g.a.x, l.a.x);
    EXPECT_EQ(g.b.y, l.b.y);
    std::vector<LONG> indices;
    LONG previousStop = -1;
    for (const RUN& run : g.runs) {
      EXPECT_LE(run.iStart, run.iStop);
      EXPECT_GT(run.iStart, previousStop + 1) << "runs in order of travel, separated";
      previousStop = run.iStop;
      for (LONG i = run.iStart; i <= run.iStop; ++i) indices.push_back(i);
    }
    EXPECT_EQ(indices, expected) << "line from " << l.a.x << "," << l.a.y;
  }
  EXPECT_EQ(next, got.size());
}

TEST(EngineClipLines, ManyRunsContinueInTheNextBuffer) {
  std::vector<RECTL> stripes;
  for (LONG i = 0; i < 60; ++i) stripes.push_back(RECTL{2 * i, 0, 2 * i + 1, 10});
  ClipPtr clip(kvplat::engine::CreateClipFromRects(stripes));
  PathPtr path(EngCreatePath());
  POINTFIX to{ToFix(200), ToFix(5)};
  ASSERT_TRUE(PATHOBJ_bMoveTo(path.get(), POINTFIX{0, ToFix(5)}));
  ASSERT_TRUE(PATHOBJ_bPolyLineTo(path.get(), &to, 1));

  alignas(8) BYTE buffer[432];
  auto* line = reinterpret_cast<CLIPLINE*>(buffer);
  PATHOBJ_vEnumStartClipLines(path.get(), clip.get(), nullptr, nullptr);
  EXPECT_TRUE(PATHOBJ_bEnumClipLines(path.get(), sizeof(buffer), line));
  EXPECT_EQ(line->c, 51u);
  EXPECT_EQ(line->arun[0].iStart, 0);
  EXPECT_EQ(line->arun[50].iStop, 100);
  EXPECT_FALSE(PATHOBJ_bEnumClipLines(path.get(), sizeof(buffer), line));
  EXPECT_EQ(line->c, 9u);
  EXPECT_EQ(line->arun[8].iStart, 118);
  // A buffer too small for one run gives nothing.
  PATHOBJ_vEnumStartClipLines(path.get(), clip.get(), nullptr, nullptr);
  EXPECT_FALSE(PATHOBJ_bEnumClipLines(path.get(), 20, line));
}

TEST(EngineWiden, WidenedPolylineCoversTheLineAndNothingFarFromIt) {
  PathPtr path(EngCreatePath());
  POINTFIX pts[] = {{ToFix(50), ToFix(10)}, {ToFix(50), ToFix(40)}, {ToFix(20), ToFix(55)}};
  ASSERT_TRUE(PATHOBJ_bMoveTo(path.get(), POINTFIX{ToFix(10), ToFix(10)}));
  ASSERT_TRUE(PATHOBJ_bPolyLineTo(path.get(), pts, 3));
  LINEATTRS attrs{};
  attrs.fl = LA_GEOMETRIC;
  attrs.iJoin = JOIN_ROUND;
  attrs.iEndCap = ENDCAP_ROUND;
  attrs.elWidth.e = 8.0f;
  PathPtr wide(kvplat::engine::WidenPath(path.get(), &attrs, nullptr));
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wide->fl & PO_BEZIERS, 0u);

  SURFOBJ* bitmap = kvplat::engine::CreateBitmapSurface(SIZEL{80, 80}, BMF_1BPP);
  ASSERT_NE(bitmap, nullptr);
  BRUSHOBJ black{1, nullptr, 0};
  ASSERT_TRUE(EngFillPath(bitmap, wide.get(), nullptr, &black, nullptr, 0x0D0D, FP_WINDINGMODE));
  POINTFIX line[] = {{ToFix(10), ToFix(10)}, pts[0], pts[1], pts[2]};
  for (LONG y = 0; y < 80; ++y) {
    for (LONG x = 0; x < 80; ++x) {
      double cx = x * 16 + 8, cy = y * 16 + 8, d = 1e18;
      for (int i = 1; i < 4; ++i) d = std::fmin(d, SegmentDistance(cx, cy, line[i - 1], line[i]));
      ULONG pixel = kvplat::engine::GetPixel(bitmap, x, y);
      if (d <= 16 * 3.5) {
        EXPECT_EQ(pixel, 1u) << x << "," << y;
      }
      if (d >= 16 * 4.5) {
        EXPECT_EQ(pixel, 0u) << x << "," << y;
      }
    }
  }
  // The same through EngStrokePath, and a styled line leaves gaps.
  SURFOBJ* stroked = kvplat::engine::CreateBitmapSurface(SIZEL{80, 80}, BMF_1BPP);
  ASSERT_TRUE(EngStrokePath(stroked, path.get(), nullptr, nullptr, &black, nullptr, &attrs, 0x0D0D));
  EXPECT_EQ(std::memcmp(stroked->pvBits, bitmap->pvBits, bitmap->cjBits), 0);
  FLOAT_LONG style[2];
  style[0].e = 2.0f;
  style[1].e = 2.0f;
  attrs.pstyle = style;
  attrs.cstyle = 2;
  attrs.iEndCap = ENDCAP_BUTT;
  std::memset(stroked->pvBits, 0, stroked->cjBits);
  ASSERT_TRUE(EngStrokePath(stroked, path.get(), nullptr, nullptr, &black, nullptr, &attrs, 0x0D0D));
  int on = 0, off = 0;
  for (LONG x = 12; x < 46; ++x) (kvplat::engine::GetPixel(stroked, x, 10) ? on : off)++;
  EXPECT_GT(on, 10);
  EXPECT_GT(off, 10);

  kvplat::engine::DeleteBitmapSurface(stroked);
  kvplat::engine::DeleteBitmapSurface(bitmap);

  // Nothing to widen, or no width.
  PathPtr empty(EngCreatePath());
  EXPECT_EQ(kvplat::engine::WidenPath(empty.get(), &attrs, nullptr), nullptr);
  attrs.elWidth.e = -1.0f;
  EXPECT_EQ(kvplat::engine::WidenPath(path.get(), &attrs, nullptr), nullptr);
}

}  // namespace
