// Clip regions: rectangle enumeration in each direction, the region as a
// path, regions from filled paths, and what bad input gives.
#include <cmath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_owned.h"

#include "kvplat/engine_objects.h"
#include "kvplat/fault.h"

namespace {

using kvplat::engine::ToFix;

using ClipPtr = kvtest::Clip;
using PathPtr = kvtest::Path;

bool operator==(const RECTL& a, const RECTL& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// Three bands: two rectangles, one full row, two rectangles.
ClipPtr ThreeBands() {
  const RECTL rects[] = {{0, 0, 10, 10},  {20, 0, 30, 10}, {0, 10, 15, 20},
                         {10, 10, 30, 20}, {5, 20, 10, 30}, {15, 20, 25, 30}};
  return ClipPtr(kvplat::engine::CreateClipFromRects(rects));
}

std::vector<RECTL> EnumOneByOne(CLIPOBJ* clip, ULONG direction) {
  std::vector<RECTL> out;
  ENUMRECTS er{};
  BOOL more;
  int guard = 0;
  do {
    more = CLIPOBJ_bEnum(clip, sizeof(er), reinterpret_cast<ULONG*>(&er));
    EXPECT_LE(er.c, 1u);
    if (er.c == 1) out.push_back(er.arcl[0]);
  } while (more && ++guard < 100);
  (void)direction;
  return out;
}

TEST(EngineClip, RectanglesComeInTheRequestedOrder) {
  ClipPtr clip = ThreeBands();
  ASSERT_NE(clip, nullptr);
  EXPECT_EQ(clip->iDComplexity, DC_COMPLEX);
  EXPECT_TRUE((clip->rclBounds == RECTL{0, 0, 30, 30}));
  const RECTL a{0, 0, 10, 10}, b{20, 0, 30, 10}, c{0, 10, 30, 20}, d{5, 20, 10, 30},
      e{15, 20, 25, 30};
  struct Case {
    ULONG direction;
    std::vector<RECTL> order;
  };
  const Case cases[] = {
      {CD_RIGHTDOWN, {a, b, c, d, e}}, {CD_LEFTDOWN, {b, a, c, e, d}},
      {CD_RIGHTUP, {d, e, c, a, b}},   {CD_LEFTUP, {e, d, c, b, a}},
      {CD_ANY, {a, b, c, d, e}},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(CLIPOBJ_cEnumStart(clip.get(), FALSE, CT_RECTANGLES, k.direction, 64), 5u);
    std::vector<RECTL> got = EnumOneByOne(clip.get(), k.direction);
    ASSERT_EQ(got.size(), k.order.size()) << "direction " << k.direction;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_TRUE(got[i] == k.order[i]) << "direction " << k.direction << " rect " << i;
    }
  }
  // More than the limit: the count is not given, the enumeration still works.
  EXPECT_EQ(CLIPOBJ_cEnumStart(clip.get(), TRUE, CT_RECTANGLES, CD_RIGHTDOWN, 2), 0xFFFFFFFFu);
  struct {
    ULONG c;
    RECTL r[3];
  } big{};
  EXPECT_TRUE(CLIPOBJ_bEnum(clip.get(), sizeof(big), reinterpret_cast<ULONG*>(&big)));
  EXPECT_EQ(big.c, 3u);
  EXPECT_FALSE(CLIPOBJ_bEnum(clip.get(), sizeof(big), reinterpret_cast<ULONG*>(&big)));
  EXPECT_EQ(big.c, 2u);
  // A buffer too small for a rectangle ends the enumeration.
  CLIPOBJ_cEnumStart(clip.get(), TRUE, CT_RECTANGLES, CD_RIGHTDOWN, 64);
  ULONG small[2] = {};
  EXPECT_FALSE(CLIPOBJ_bEnum(clip.get(), sizeof(small), small));
  EXPECT_EQ(small[0], 0u);
  // Only rectangles can be enumerated.
  EXPECT_EQ(CLIPOBJ_cEnumStart(clip.get(), TRUE, 7, CD_RIGHTDOWN, 64), 0u);
  ENUMRECTS er{};
  EXPECT_FALSE(CLIPOBJ_bEnum(clip.get(), sizeof(er), reinterpret_cast<ULONG*>(&er)));
  EXPECT_EQ(er.c, 0u);
}

TEST(EngineClip, ComplexityFollowsWhatTheRegionHolds) {
  const RECTL one[] = {{5, 6, 7, 8}, {5, 6, 6, 7}};  // the second lies inside the first
  ClipPtr rect(kvplat::engine::CreateClipFromRects(one));
  EXPECT_EQ(rect->iDComplexity, DC_RECT);
  EXPECT_TRUE((rect->rclBounds == RECTL{5, 6, 7, 8}));
  // Empty, zero-size and negative rectangles give an empty region.
  const RECTL none[] = {{5, 5, 5, 9}, {9, 9, 3, 3}, {0, 0, 0, 0}};
  ClipPtr empty(kvplat::engine::CreateClipFromRects(none));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(CLIPOBJ_cEnumStart(empty.get(), TRUE, CT_RECTANGLES, CD_ANY, 10), 0u);
  ENUMRECTS er{};
  EXPECT_FALSE(CLIPOBJ_bEnum(empty.get(), sizeof(er), reinterpret_cast<ULONG*>(&er)));
  EXPECT_EQ(er.c, 0u);
  // Huge rectangles are kept as they are, without pixel-sized work.
  const RECTL huge[] = {{-0x40000000, -0x40000000, 0x3FFFFFFF, 0x3FFFFFFF}};
  ClipPtr all(kvplat::engine::CreateClipFromRects(huge));
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(all->iDComplexity, DC_RECT);
  ClipPtr cut(kvplat::engine::IntersectClip(all.get(), RECTL{0, 0, 100, 50}));
  EXPECT_TRUE((cut->rclBounds == RECTL{0, 0, 100, 50}));
  // Allocation failure is a null result.
  kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0, 1);
  EXPECT_EQ(kvplat::engine::CreateClipFromRects(one), nullptr);
  kvplat::fault::ClearAll();
  EXPECT_EQ(CLIPOBJ_ppoGetPath(nullptr), nullptr);
}

TEST(EngineClip, RegionAsAPathFillsTheSamePixels) {
  ClipPtr clip = ThreeBands();
  PathPtr path(CLIPOBJ_ppoGetPath(clip.get()));
  ASSERT_NE(path, nullptr);
  RECTFX bounds{};
  PATHOBJ_vGetBounds(path.get(), &bounds);
  EXPECT_EQ(bounds.xLeft, 0);
  EXPECT_EQ(bounds.yBottom, ToFix(30));
  for (FLONG mode : {FP_ALTERNATEMODE, FP_WINDINGMODE}) {
    std::vector<int> covered(40 * 40, 0);
    ASSERT_TRUE(kvplat::engine::ForEachFillSpan(path.get(), mode, nullptr,
                                                [&](LONG y, LONG l, LONG r) {
                                                  for (LONG x = l; x < r; ++x) {
                                                    ASSERT_TRUE(x >= 0 && x < 40 && y >= 0 && y < 40);
                                                    ++covered[y * 40 + x];
                                                  }
                                                }));
    for (LONG y = 0; y < 40; ++y) {
      for (LONG x = 0; x < 40; ++x) {
        EXPECT_EQ(covered[y * 40 + x], kvplat::engine::ClipContains(clip.get(), x, y) ? 1 : 0)
            << x << "," << y;
      }
    }
  }
}

TEST(EngineClip, RegionOfAFilledPathFollowsTheFillMode) {
  // A five-pointed star: the middle is outside with the alternate rule.
  const double pi = 3.14159265358979;
  POINTFIX star[5];
  for (int i = 0; i < 5; ++i) {
    double a = -pi / 2 + i * 4 * pi / 5;
    star[i] = POINTFIX{static_cast<FIX>(ToFix(50) + 700 * std::cos(a)) + 3,
                       static_cast<FIX>(ToFix(50) + 700 * std::sin(a)) + 5};
  }
  PathPtr path(EngCreatePath());
  ASSERT_TRUE(PATHOBJ_bMoveTo(path.get(), star[0]));
  ASSERT_TRUE(PATHOBJ_bPolyLineTo(path.get(), star + 1, 4));
  ASSERT_TRUE(PATHOBJ_bCloseFigure(path.get()));
  ClipPtr alternate(kvplat::engine::CreateClipFromPath(path.get(), FP_ALTERNATEMODE));
  ClipPtr winding(kvplat::engine::CreateClipFromPath(path.get(), FP_WINDINGMODE));
  ASSERT_NE(alternate, nullptr);
  ASSERT_NE(winding, nullptr);
  EXPECT_FALSE(kvplat::engine::ClipContains(alternate.get(), 50, 50));
  EXPECT_TRUE(kvplat::engine::ClipContains(winding.get(), 50, 50));
  // Bands are ordered and rectangles of a band do not overlap.
  std::span<const RECTL> rects = kvplat::engine::ClipRects(winding.get());
  for (std::size_t i = 1; i < rects.size(); ++i) {
    if (rects[i].top == rects[i - 1].top) {
      EXPECT_EQ(rects[i].bottom, rects[i - 1].bottom);
      EXPECT_GT(rects[i].left, rects[i - 1].right);
    } else {
      EXPECT_GE(rects[i].top, rects[i - 1].bottom);
    }
  }
}

}  // namespace
