#include "pclcore/5e/hpgl_paths.h"

#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_owned.h"

#include "kvplat/engine_objects.h"
#include "pclcore/5e/brushes.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"
#include "platform/engine/objects_internal.h"
#include "support/test_root.h"
#include "tools/pcldump/pcl_decoder.h"

namespace {

using kv5e::PclPdev;
using kvset::DmField;
namespace eng = kvplat::engine;
namespace pcl = kvtools::pcl;

constexpr LONG kPageHeight = 6600;
constexpr MIX kCopyPen = 0x0D0D;  // R2_COPYPEN for both mix halves

std::string Bytes(std::initializer_list<int> values) {
  std::string text;
  for (int v : values) text.push_back(static_cast<char>(v));
  return text;
}

std::string Pair(std::int64_t dx, std::int64_t dy) {
  BYTE buffer[16];
  const int length = kv5e::EncodePePair(dx, dy, buffer);
  return std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length));
}

std::string Move(LONG x, LONG y) { return "PE=<" + Pair(x, kPageHeight - y) + ";"; }

POINTFIX Fix(LONG x, LONG y) { return POINTFIX{eng::ToFix(x), eng::ToFix(y)}; }

// Owned engine objects.
using kvtest::Path;
using kvtest::Clip;
using kvtest::Brush;

// A path of polylines in pixels: each figure starts with a move.
Path Polylines(const std::vector<std::vector<POINTL>>& figures, bool close = false) {
  Path path(EngCreatePath());
  for (const auto& figure : figures) {
    PATHOBJ_bMoveTo(path.get(), Fix(figure[0].x, figure[0].y));
    std::vector<POINTFIX> rest;
    for (std::size_t i = 1; i < figure.size(); ++i) rest.push_back(Fix(figure[i].x, figure[i].y));
    if (!rest.empty()) PATHOBJ_bPolyLineTo(path.get(), rest.data(), static_cast<ULONG>(rest.size()));
    if (close) PATHOBJ_bCloseFigure(path.get());
  }
  return path;
}

Brush SolidBrush(ULONG color) {
  eng::BrushSetup setup;
  setup.solidColor = color;
  return Brush(eng::CreateBrush(setup));
}

// Absolute device points drawn by the PE commands of a stream: moves are
// absolute, draws relative, y flipped back against the page height.
using Points = std::vector<std::pair<LONG, LONG>>;

Points AsPoints(const std::vector<POINTL>& points) {
  Points result;
  for (const POINTL& p : points) result.emplace_back(p.x, p.y);
  return result;
}

Points DecodedPoints(const std::string& stream) {
  Points points;
  std::int64_t x = 0, y = 0;
  const std::string framed = std::string("\x1B%1B") + stream;
  for (const pcl::Command& command : pcl::Decode(framed)) {
    for (const pcl::PeOp& op : command.pe) {
      if (op.type != pcl::PeOp::Type::Move && op.type != pcl::PeOp::Type::Draw) continue;
      if (op.absolute) {
        x = op.x;
        y = op.y;
      } else {
        x += op.x;
        y += op.y;
      }
      points.emplace_back(static_cast<LONG>(x), static_cast<LONG>(kPageHeight - y));
    }
  }
  return points;
}

// A device instance made by hand, in HP-GL/2 with every cache reset; what it
// writes stays in its output buffer.
class HpglPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pdev_ = std::make_unique<PclPdev>();
    PclPdev* pdev = pdev_.get();
    pdev->magicHead = pdev->magicTail = kv5e::kPdevMagic;
    kv5e::SetDm(pdev, DmField("dmPrintQuality"), 300);
    kv5e::SetDm(pdev, DmField("scalePercent"), 100);
    pdev->surfaceGeometry.printableHeight = kPageHeight;
    pdev->cxSurface = 5100;
    pdev->cySurface = kPageHeight;
    pdev->hpglState.bInHpgl2 = 1;
    kv5e::ResetHpglState(pdev->hpglState);
    kv5e::ResetOutputBuffer(pdev);
    surface_.dhpdev = reinterpret_cast<DHPDEV>(pdev);
    surface_.iType = STYPE_DEVICE;
    surface_.sizlBitmap = SIZEL{5100, kPageHeight};
    attrs_.elWidth.l = 0;
  }
  void TearDown() override { kv5e::ResetHpglState(pdev_->hpglState); }

  PclPdev* pdev() { return pdev_.get(); }
  // What was written since the last call.
  std::string Take() {
    std::string text(reinterpret_cast<const char*>(pdev_->outBuffer), pdev_->outFill);
    kv5e::ResetOutputBuffer(pdev_.get());
    return text;
  }
  BOOL Stroke(PATHOBJ* path, BRUSHOBJ* brush, CLIPOBJ* clip = nullptr, MIX mix = kCopyPen) {
    return kv5e::DrvStrokePath(&surface_, path, clip, nullptr, brush, nullptr, &attrs_, mix);
  }
  BOOL Fill(PATHOBJ* path, BRUSHOBJ* brush, CLIPOBJ* clip = nullptr, FLONG options = FP_ALTERNATEMODE,
            POINTL* origin = nullptr) {
    return kv5e::DrvFillPath(&surface_, path, clip, brush, origin, kCopyPen, options);
  }

  kvtest::TempRoot root_;
  std::unique_ptr<PclPdev> pdev_;
  SURFOBJ surface_{};
  LINEATTRS attrs_{};
};

// ---- encodings -----------------------------------------------------------------------

TEST(PeEncoding, HandWorkedDigits) {
  struct Case {
    std::int64_t dx, dy;
    std::string bytes;
  };
  const Case cases[] = {
      {0, 0, Bytes({191, 191})},
      {-1, 31, Bytes({194, 253})},
      {100, -2, Bytes({71, 194, 196})},
      {10, 6580, Bytes({211, 103, 76, 194})},
      {89, 0, Bytes({113, 193, 191})},
      {32, -32, Bytes({63, 192, 64, 192})},  // 64 and 65 take a second digit
  };
  for (const Case& c : cases) EXPECT_EQ(Pair(c.dx, c.dy), c.bytes) << c.dx << "," << c.dy;
}

TEST(PeEncoding, DecoderReadsBackEveryMagnitude) {
  const std::int64_t values[] = {0,      1,       -1,       31,       32,        -32,
                                 1000,   -4095,   65535,    -65536,   1 << 20,   -(1 << 27),
                                 INT32_MAX, INT32_MIN, 123456789, -987654321};
  std::string stream = "\x1B%1BPE";
  for (std::int64_t v : values) stream += Pair(v, v / 2);
  stream += ";";
  const auto commands = pcl::Decode(stream);
  const pcl::Command* pe = pcl::FindFirst(commands, "PE");
  ASSERT_NE(pe, nullptr);
  EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);
  ASSERT_EQ(pe->pe.size(), std::size(values));
  for (std::size_t i = 0; i < std::size(values); ++i) {
    EXPECT_EQ(pe->pe[i].x, values[i]);
    EXPECT_EQ(pe->pe[i].y, values[i] / 2);
  }
}

TEST_F(HpglPathsTest, MoveIsAnAbsolutePenUpPairWithYFlipped) {
  ASSERT_EQ(kv5e::WritePeMove(pdev(), 10, 20), 1);
  const std::string written = Take();
  EXPECT_EQ(written, "PE=<" + Bytes({211, 103, 76, 194}) + ";");
  const auto commands = pcl::Decode("\x1B%1B" + written);
  const pcl::Command* pe = pcl::FindFirst(commands, "PE");
  ASSERT_NE(pe, nullptr);
  EXPECT_EQ(pcl::ToText(*pe), "PE move abs 10,6580") << pcl::Dump(commands);
}

// ---- path emission --------------------------------------------------------------------

TEST_F(HpglPathsTest, LongPolylineRestartsPeEvery1024Points) {
  std::vector<POINTL> figure{{100, 100}};
  for (int i = 1; i <= 1025; ++i) figure.push_back({100 + i, 100 + (i % 2)});
  Path path = Polylines({figure});
  ASSERT_TRUE(kv5e::DrvCommonPath(pdev(), path.get(), true));
  const std::string written = Take();

  std::string expected = Move(100, 100) + "PE";
  for (int i = 1; i <= 1025; ++i) {
    if (i == 1025) expected += ";PE";
    expected += Pair(1, (i % 2 == 1) ? -1 : 1);
  }
  expected += ";";
  EXPECT_EQ(written, expected);
  EXPECT_EQ(DecodedPoints(written), AsPoints(figure));
}

TEST_F(HpglPathsTest, ClosedFigureGetsTheClosingPairOnlyWhenItEndsElsewhere) {
  struct Case {
    std::vector<POINTL> figure;
    std::string pairs;
  };
  const Case cases[] = {
      // Ends on its start: no closing pair.
      {{{10, 10}, {20, 10}, {20, 20}, {10, 10}}, Pair(10, 0) + Pair(0, -10) + Pair(-10, 10)},
      // Ends elsewhere: the pair back to the start.
      {{{10, 10}, {20, 10}, {20, 20}}, Pair(10, 0) + Pair(0, -10) + Pair(-10, 10)},
  };
  for (const Case& c : cases) {
    Path path = Polylines({c.figure}, true);
    ASSERT_TRUE(kv5e::DrvCommonPath(pdev(), path.get(), true));
    EXPECT_EQ(Take(), Move(10, 10) + "PE" + c.pairs + ";") << c.figure.size();
  }
  // An open figure is not closed.
  Path open = Polylines({{{10, 10}, {20, 10}, {20, 20}}});
  ASSERT_TRUE(kv5e::DrvCommonPath(pdev(), open.get(), true));
  EXPECT_EQ(Take(), Move(10, 10) + "PE" + Pair(10, 0) + Pair(0, -10) + ";");
}

TEST_F(HpglPathsTest, FillOfTwoSubpathsIsFramedInPolygonMode) {
  Brush black = SolidBrush(0);
  Path path = Polylines({{{10, 10}, {50, 10}, {50, 50}}, {{100, 100}, {120, 100}, {120, 130}}}, true);
  const std::string body = Move(10, 10) + "PM0PE" + Pair(40, 0) + Pair(0, -40) + Pair(-40, 40) +
                           ";PM1" + Move(100, 100) + "PE" + Pair(20, 0) + Pair(0, -30) +
                           Pair(-20, 30) + ";PM2";
  ASSERT_TRUE(Fill(path.get(), black.get(), nullptr, FP_ALTERNATEMODE));
  EXPECT_EQ(Take(), "MC1,240FT" + body + "FP");
  // The same brush and mix again: only the polygon and the winding fill.
  ASSERT_TRUE(Fill(path.get(), black.get(), nullptr, FP_WINDINGMODE));
  EXPECT_EQ(Take(), body + "FP1");
  // A new page sends the state again.
  kv5e::ResetHpglState(pdev()->hpglState);
  ASSERT_TRUE(Fill(path.get(), black.get(), nullptr, FP_ALTERNATEMODE));
  EXPECT_EQ(Take(), "MC1,240FT" + body + "FP");
}

TEST_F(HpglPathsTest, CurvesGoOutAsRelativeBeziersJoinedAcrossRecords) {
  Path path(EngCreatePath());
  PATHOBJ_bMoveTo(path.get(), Fix(100, 100));
  POINTFIX curves[] = {Fix(110, 90), Fix(120, 90), Fix(130, 100),
                       Fix(140, 110), Fix(150, 110), Fix(160, 100),
                       Fix(170, 90), Fix(180, 90), Fix(190, 100)};
  ASSERT_TRUE(PATHOBJ_bPolyBezierTo(path.get(), curves, 9));
  // The engine hands long runs of curves over in several records: split the
  // record after the second curve.
  auto* inner = reinterpret_cast<eng::detail::Path*>(path.get());
  ASSERT_EQ(inner->records.Size(), 1u);
  inner->records[0].count = 7;
  ASSERT_TRUE(inner->records.Push(eng::detail::PathRecord{PD_BEZIERS, 7, 3, 0}));
  inner->subpaths[0].records = 2;

  ASSERT_TRUE(kv5e::DrvCommonPath(pdev(), path.get(), true));
  EXPECT_EQ(Take(), Move(100, 100) + "PDBR10,10,20,10,30,0,10,-10,20,-10,30,0,10,10,20,10,30,0");

  // After line points the "PE" is closed first; a new curve run is "BR".
  Path mixed(EngCreatePath());
  PATHOBJ_bMoveTo(mixed.get(), Fix(0, 0));
  POINTFIX line[] = {Fix(10, 0)};
  PATHOBJ_bPolyLineTo(mixed.get(), line, 1);
  POINTFIX one[] = {Fix(10, 10), Fix(20, 10), Fix(20, 20)};
  PATHOBJ_bPolyBezierTo(mixed.get(), one, 3);
  PATHOBJ_bPolyLineTo(mixed.get(), line, 1);
  PATHOBJ_bPolyBezierTo(mixed.get(), one, 3);
  ASSERT_TRUE(kv5e::DrvCommonPath(pdev(), mixed.get(), true));
  EXPECT_EQ(Take(), Move(0, 0) + "PE" + Pair(10, 0) + ";PDBR0,-10,10,-10,10,-20PE" +
                        Pair(-10, 20) + ";BR0,-10,10,-10,10,-20");
}

TEST_F(HpglPathsTest, BezierRecordOfBrokenLengthFailsAndClosesWhatIsOpen) {
  Brush black = SolidBrush(0);
  Path path(EngCreatePath());
  PATHOBJ_bMoveTo(path.get(), Fix(0, 0));
  POINTFIX curve[] = {Fix(10, 10), Fix(20, 10), Fix(20, 20)};
  ASSERT_TRUE(PATHOBJ_bPolyBezierTo(path.get(), curve, 3));
  reinterpret_cast<eng::detail::Path*>(path.get())->records[0].count = 3;  // two points after the start

  EXPECT_FALSE(Fill(path.get(), black.get()));
  // The move and polygon mode went out; polygon mode is left again so that
  // what the engine draws instead is not swallowed, and nothing is filled.
  EXPECT_EQ(Take(), "MC1,240FT" + Move(0, 0) + "PM0PM2");
  EXPECT_FALSE(Stroke(path.get(), black.get()));
  EXPECT_EQ(Take(), "PW0LTSV" + Move(0, 0));
}

TEST_F(HpglPathsTest, EmptyPathsDrawNothingAndFillNothing) {
  Brush black = SolidBrush(0);
  Path empty(EngCreatePath());
  EXPECT_TRUE(Fill(empty.get(), black.get()));
  EXPECT_EQ(Take(), "MC1,240FT");  // no "PM2FP" that would fill the previous polygon again
  EXPECT_TRUE(Stroke(empty.get(), black.get()));
  EXPECT_EQ(Take(), "PW0LTSV");
  // A lone move makes no figure.
  Path dot = Polylines({{{5, 5}}});
  EXPECT_TRUE(Stroke(dot.get(), black.get()));
  EXPECT_EQ(Take(), "");
}

TEST_F(HpglPathsTest, FillStartingJustLeftOfThePageClampsItsFirstMove) {
  Brush black = SolidBrush(0);
  // Bounds right (2 >> 0) + 1 == 3: a sliver at the left edge.
  Path path = Polylines({{{-1, 10}, {2, 10}, {2, 20}}}, true);
  ASSERT_TRUE(Fill(path.get(), black.get()));
  EXPECT_EQ(Take(), "MC1,240FT" + Move(0, 10) + "PM0PE" + Pair(3, 0) + Pair(0, -10) +
                        Pair(-3, 10) + ";PM2FP");
}

TEST_F(HpglPathsTest, ExtremeCoordinatesEncodeWithoutOverflow) {
  Brush black = SolidBrush(0);
  const FIX big = INT32_MAX, small = INT32_MIN;
  Path path(EngCreatePath());
  PATHOBJ_bMoveTo(path.get(), POINTFIX{small, small});
  POINTFIX far[] = {POINTFIX{big, big}, POINTFIX{small, big}};
  PATHOBJ_bPolyLineTo(path.get(), far, 2);
  ASSERT_TRUE(Stroke(path.get(), black.get()));
  const Points points = DecodedPoints(Take());
  const Points expected{{small >> 4, small >> 4}, {big >> 4, big >> 4}, {small >> 4, big >> 4}};
  EXPECT_EQ(points, expected);
}

// ---- attributes ------------------------------------------------------------------------

TEST_F(HpglPathsTest, MixesMapToMergeControlAndRepeatsAreCached) {
  struct Case {
    MIX mix;
    int rop;
  };
  const Case cases[] = {{0x0D0D, 240}, {0x0D, 240}, {0x0101, 0}, {0x1010, 255}, {0x0709, 160 & 90},
                        {0x0606, 85},  {0x0B0B, 170}, {0x0E0E, 245}};
  for (const Case& c : cases) EXPECT_EQ(kv5e::MixToMergeRop(c.mix), c.rop) << c.mix;

  kv5e::SetMergeControl(pdev(), 0x0D0D);
  EXPECT_EQ(Take(), "MC1,240");
  kv5e::SetMergeControl(pdev(), 0x0D0D);
  EXPECT_EQ(Take(), "");
  kv5e::SetMergeRop(pdev(), 160);
  EXPECT_EQ(Take(), "MC1,160");
  // From PCL the mode switch comes first.
  pdev()->hpglState.bInHpgl2 = 0;
  kv5e::SetMergeControl(pdev(), 0x0606);
  EXPECT_EQ(Take(), "\x1B%1BMC1,85");
}

TEST_F(HpglPathsTest, PenWidthInWholeMillimetres) {
  struct Case {
    int dpi;
    LONG width;
    std::string command;
  };
  const Case cases[] = {{300, 0, "PW0"},   {300, 11, "PW0"}, {300, 12, "PW1"}, {300, 120, "PW10"},
                        {600, 23, "PW0"},  {600, 24, "PW1"}, {600, 1200, "PW50"}};
  for (const Case& c : cases) {
    kv5e::ResetHpglState(pdev()->hpglState);
    kv5e::SetDm(pdev(), DmField("dmPrintQuality"), c.dpi);
    LINEATTRS attrs{};
    attrs.elWidth.l = c.width;
    ASSERT_TRUE(kv5e::SetLineAttributes(pdev(), &attrs));
    EXPECT_EQ(Take(), c.command + "LT") << c.dpi << " " << c.width;
    ASSERT_TRUE(kv5e::SetLineAttributes(pdev(), &attrs));
    EXPECT_EQ(Take(), "");
  }
  LINEATTRS geometric{};
  geometric.fl = LA_GEOMETRIC;
  EXPECT_FALSE(kv5e::SetLineAttributes(pdev(), &geometric));
  EXPECT_FALSE(kv5e::SetLineAttributes(pdev(), nullptr));
  EXPECT_EQ(Take(), "");
}

TEST_F(HpglPathsTest, UserLineTypesAreDefinedOnceAndRecycledAfterEight) {
  LINEATTRS attrs{};
  attrs.elWidth.l = 0;
  FLOAT_LONG style[2];
  auto use = [&](LONG dash, LONG gap) {
    style[0].l = dash;
    style[1].l = gap;
    attrs.cstyle = 2;
    attrs.pstyle = style;
    EXPECT_TRUE(kv5e::SetLineAttributes(pdev(), &attrs));
    return Take();
  };
  // 300 dpi: 6 pixels per style unit; 50 + 10 units = 360 pixels = 30 mm.
  EXPECT_EQ(use(50, 10), "PW0UL1,300,60LT1,30,1");
  EXPECT_EQ(use(50, 10), "");
  EXPECT_EQ(use(20, 20), "UL2,120,120LT2,20,1");
  EXPECT_EQ(use(50, 10), "LT1,30,1");  // known: selected again, not defined again
  for (int i = 3; i <= 8; ++i) {
    EXPECT_EQ(use(i, 1), "UL" + std::to_string(i) + "," + std::to_string(6 * i) + ",6LT" +
                             std::to_string(i) + "," + std::to_string((6 * i + 6) * 2540 / 30000) + ",1");
  }
  // A ninth distinct pattern takes slot 1, a tenth slot 2.
  EXPECT_EQ(use(100, 100), "UL1,600,600LT1,101,1");
  EXPECT_EQ(use(200, 100), "UL2,1200,600LT2,152,1");
  // The pattern slot 1 held is gone: it is defined again, in slot 3.
  EXPECT_EQ(use(50, 10), "UL3,300,60LT3,30,1");
  // Solid again.
  attrs.pstyle = nullptr;
  attrs.cstyle = 0;
  EXPECT_TRUE(kv5e::SetLineAttributes(pdev(), &attrs));
  EXPECT_EQ(Take(), "LT");
  // A page later every definition is new.
  kv5e::ResetHpglState(pdev()->hpglState);
  EXPECT_EQ(use(50, 10), "PW0UL1,300,60LT1,30,1");
}

// ---- windows ------------------------------------------------------------------------------

TEST_F(HpglPathsTest, ClipWindowFollowsTheClipBoundsAndIsCached) {
  const RECTL area{100, 200, 300, 400};
  Clip rect(eng::CreateClipFromRects(std::span<const RECTL>(&area, 1)));
  ASSERT_EQ(rect->iDComplexity, DC_RECT);
  const RECTL big{0, 0, 1000, 1000};
  const RECTL inside{150, 250, 200, 300};
  kv5e::SetClipWindow(pdev(), rect.get(), &big);
  EXPECT_EQ(Take(), "IW100,6200,300,6400");
  kv5e::SetClipWindow(pdev(), rect.get(), &big);
  EXPECT_EQ(Take(), "");
  // An object inside the clip needs no window.
  kv5e::SetClipWindow(pdev(), rect.get(), &inside);
  EXPECT_EQ(Take(), "IW");
  kv5e::SetClipWindow(pdev(), rect.get(), &inside);
  EXPECT_EQ(Take(), "");
  // A clip off the page sends nothing.
  const RECTL off{6000, 0, 7000, 100};
  Clip away(eng::CreateClipFromRects(std::span<const RECTL>(&off, 1)));
  kv5e::SetClipWindow(pdev(), away.get(), nullptr);
  EXPECT_EQ(Take(), "");
  // A clip reaching past the page is cut to it.
  const RECTL wide{-50, -50, 9000, 100};
  Clip past(eng::CreateClipFromRects(std::span<const RECTL>(&wide, 1)));
  kv5e::SetClipWindow(pdev(), past.get(), nullptr);
  EXPECT_EQ(Take(), "IW0,6500,5100,6600");
}

TEST_F(HpglPathsTest, ScaledUpJobsDrawInsideThePageWindowAndSkipWhatIsOff) {
  kv5e::SetDm(pdev(), DmField("scalePercent"), 200);
  Brush black = SolidBrush(0);
  Path off = Polylines({{{6000, 10}, {6100, 10}}});
  EXPECT_TRUE(Stroke(off.get(), black.get()));
  EXPECT_EQ(Take(), "");
  Path on = Polylines({{{10, 10}, {20, 10}}});
  EXPECT_TRUE(Stroke(on.get(), black.get()));
  EXPECT_EQ(Take(), "IW0,0,5100,6600PW0LTMC1,240SV" + Move(10, 10) + "PE" + Pair(10, 0) + ";");
  EXPECT_TRUE(Stroke(on.get(), black.get()));
  EXPECT_EQ(Take(), Move(10, 10) + "PE" + Pair(10, 0) + ";");
  // A trivial clip sends the page window again.
  Clip all(eng::CreateTrivialClip(RECTL{0, 0, 5100, 6600}));
  EXPECT_TRUE(Stroke(on.get(), black.get(), all.get()));
  EXPECT_EQ(Take(), "IW0,0,5100,6600" + Move(10, 10) + "PE" + Pair(10, 0) + ";");
}

// ---- the drawing calls ----------------------------------------------------------------------

TEST_F(HpglPathsTest, StrokeThroughAComplexClipDrawsOnlyTheRunsItAllows) {
  Brush black = SolidBrush(0);
  const RECTL rects[] = {{0, 0, 100, 1000}, {200, 0, 300, 1000}};
  Clip clip(eng::CreateClipFromRects(rects));
  ASSERT_EQ(clip->iDComplexity, DC_COMPLEX);
  Path line = Polylines({{{0, 100}, {400, 100}}});
  ASSERT_TRUE(Stroke(line.get(), black.get(), clip.get()));
  const std::string written = Take();
  ASSERT_EQ(written.rfind("PW0LTMC1,240SV", 0), 0u) << written;
  const std::string runs = written.substr(std::string("PW0LTMC1,240SV").size());
  EXPECT_EQ(runs, Move(0, 100) + "PE" + Pair(99, 0) + ";" + Move(200, 100) + "PE" + Pair(99, 0) + ";");

  // A slanted line: every run starts and ends inside the clip, on the line.
  Path slanted = Polylines({{{0, 0}, {400, 200}}});
  ASSERT_TRUE(Stroke(slanted.get(), black.get(), clip.get()));
  const Points points = DecodedPoints(Take());
  ASSERT_EQ(points.size(), 4u);
  for (const auto& [x, y] : points) {
    EXPECT_TRUE(eng::ClipContains(clip.get(), x, y)) << x << "," << y;
    EXPECT_LE(std::abs(y - x / 2), 1) << x << "," << y;
  }
  EXPECT_EQ(points[0].first, 0);
  EXPECT_EQ(points[2].first, 200);

  // Curves and geometric lines are left to the engine.
  Path curve(EngCreatePath());
  PATHOBJ_bMoveTo(curve.get(), Fix(0, 0));
  POINTFIX c[] = {Fix(10, 10), Fix(20, 10), Fix(20, 20)};
  PATHOBJ_bPolyBezierTo(curve.get(), c, 3);
  EXPECT_FALSE(Stroke(curve.get(), black.get(), clip.get()));
  EXPECT_EQ(Take(), "");
}

TEST_F(HpglPathsTest, FillRefusesComplexClipsAndMissingBrushesWithoutOutput) {
  Brush black = SolidBrush(0);
  const RECTL rects[] = {{0, 0, 100, 100}, {200, 0, 300, 100}};
  Clip clip(eng::CreateClipFromRects(rects));
  Path path = Polylines({{{10, 10}, {50, 10}, {50, 50}}}, true);
  EXPECT_FALSE(Fill(path.get(), black.get(), clip.get()));
  EXPECT_FALSE(Fill(path.get(), nullptr));
  EXPECT_FALSE(Stroke(path.get(), nullptr));
  LINEATTRS geometric{};
  geometric.fl = LA_GEOMETRIC;
  EXPECT_FALSE(kv5e::DrvStrokePath(&surface_, path.get(), nullptr, nullptr, black.get(), nullptr,
                                   &geometric, kCopyPen));
  EXPECT_FALSE(kv5e::DrvStrokeAndFillPath(&surface_, path.get(), clip.get(), nullptr, black.get(),
                                          &attrs_, black.get(), nullptr, kCopyPen, FP_ALTERNATEMODE));
  EXPECT_EQ(Take(), "");
  // A rectangular clip always sets a window for a fill.
  const RECTL area{0, 0, 1000, 1000};
  Clip rect(eng::CreateClipFromRects(std::span<const RECTL>(&area, 1)));
  ASSERT_TRUE(Fill(path.get(), black.get(), rect.get()));
  EXPECT_EQ(Take().substr(0, 30), "MC1,240FTIW0,5600,1000,6600" + Move(10, 10).substr(0, 3));
}

TEST_F(HpglPathsTest, StrokeAndFillFillsThenEdgesWithThePen) {
  Brush gray = SolidBrush(0x00FFFFFF);
  Brush black = SolidBrush(0);
  Path path = Polylines({{{10, 10}, {50, 10}, {50, 50}}}, true);
  ASSERT_TRUE(kv5e::DrvStrokeAndFillPath(&surface_, path.get(), nullptr, nullptr, black.get(),
                                         &attrs_, gray.get(), nullptr, kCopyPen, FP_WINDINGMODE));
  EXPECT_EQ(Take(), "PW0LTMC1,240" + Move(10, 10) + "PM0PE" + Pair(40, 0) + Pair(0, -40) +
                        Pair(-40, 40) + ";PM2FT10,0FP1SVEP");
  // Without a fill brush the polygon is sent but neither filled nor edged.
  EXPECT_FALSE(kv5e::DrvStrokeAndFillPath(&surface_, path.get(), nullptr, nullptr, black.get(),
                                          &attrs_, nullptr, nullptr, kCopyPen, FP_WINDINGMODE));
  EXPECT_EQ(Take().find("FP"), std::string::npos);
}

TEST_F(HpglPathsTest, LineToDrawsOnePixelShortFromTheLeftEnd) {
  Brush black = SolidBrush(0);
  ASSERT_TRUE(kv5e::DrvLineTo(&surface_, nullptr, black.get(), 100, 50, 10, 50, nullptr, kCopyPen));
  EXPECT_EQ(Take(), "MC1,240SVPW0LT" + Move(10, 50) + "PE" + Bytes({113, 193, 191}) + ";");
  // Pen and line type stay set; a vertical line keeps its x.
  ASSERT_TRUE(kv5e::DrvLineTo(&surface_, nullptr, black.get(), 30, 10, 30, 90, nullptr, kCopyPen));
  EXPECT_EQ(Take(), Move(30, 10) + "PE" + Pair(0, -80) + ";");
  EXPECT_FALSE(kv5e::DrvLineTo(&surface_, nullptr, nullptr, 0, 0, 10, 10, nullptr, kCopyPen));
  EXPECT_EQ(Take(), "");
}

TEST_F(HpglPathsTest, LineToClipsToRectanglesAndJoinsTouchingParts) {
  Brush black = SolidBrush(0);
  kv5e::DrvLineTo(&surface_, nullptr, black.get(), 0, 0, 1, 0, nullptr, kCopyPen);
  Take();
  // One rectangle: the segment is cut at its (inclusive) edges.
  const RECTL area{20, 0, 60, 100};
  Clip rect(eng::CreateClipFromRects(std::span<const RECTL>(&area, 1)));
  ASSERT_TRUE(kv5e::DrvLineTo(&surface_, rect.get(), black.get(), 0, 50, 100, 50, nullptr, kCopyPen));
  EXPECT_EQ(Take(), Move(20, 50) + "PE" + Pair(39, 0) + ";");
  // Nothing visible: nothing drawn.
  ASSERT_TRUE(kv5e::DrvLineTo(&surface_, rect.get(), black.get(), 0, 500, 100, 500, nullptr, kCopyPen));
  EXPECT_EQ(Take(), "");

  // Bands of a complex clip: parts that meet are one line, a gap starts a new one.
  const RECTL bands[] = {{0, 0, 50, 10}, {0, 10, 50, 20}, {0, 30, 50, 40}};
  Clip complex(eng::CreateClipFromRects(bands));
  ASSERT_EQ(complex->iDComplexity, DC_COMPLEX);
  ASSERT_TRUE(kv5e::DrvLineTo(&surface_, complex.get(), black.get(), 5, 0, 5, 40, nullptr, kCopyPen));
  EXPECT_EQ(Take(), Move(5, 0) + "PE" + Pair(0, -20) + ";" + Move(5, 30) + "PE" + Pair(0, -10) + ";");
}

TEST(ClipSegment, EdgesAreInclusiveAndOutsideSegmentsDrop) {
  const RECTL r{10, 10, 20, 20};
  struct Case {
    LONG x1, y1, x2, y2;
    bool visible;
    LONG cx1, cy1, cx2, cy2;
  };
  const Case cases[] = {
      {0, 15, 30, 15, true, 10, 15, 20, 15},     // horizontal through
      {15, 0, 15, 30, true, 15, 10, 15, 20},     // vertical through
      {15, 0, 15, 5, false, 0, 0, 0, 0},         // vertical, wholly above
      {0, 25, 30, 25, false, 0, 0, 0, 0},        // horizontal below
      {5, 5, 25, 25, true, 10, 10, 20, 20},      // diagonal corner to corner
      {25, 5, 5, 25, true, 20, 10, 10, 20},      // ends ordered by ascending y
      {0, 0, 5, 30, false, 0, 0, 0, 0},          // wholly left
      {20, 20, 20, 20, true, 20, 20, 20, 20},    // a point on the corner
      {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, true, 10, 10, 20, 20},
  };
  for (const Case& c : cases) {
    LONG x1 = c.x1, y1 = c.y1, x2 = c.x2, y2 = c.y2;
    const bool visible = kv5e::ClipSegmentToRect(r, &x1, &y1, &x2, &y2);
    EXPECT_EQ(visible, c.visible) << c.x1 << "," << c.y1 << " " << c.x2 << "," << c.y2;
    if (visible && c.visible) {
      EXPECT_EQ((std::vector<LONG>{x1, y1, x2, y2}), (std::vector<LONG>{c.cx1, c.cy1, c.cx2, c.cy2}));
    }
  }
}

TEST_F(HpglPathsTest, PaintFillsTheClipRegionUnlessTheEngineDidIt) {
  Brush gray = SolidBrush(0x00808080);
  const RECTL area{10, 10, 20, 30};
  Clip clip(eng::CreateClipFromRects(std::span<const RECTL>(&area, 1)));
  pdev()->hpglState.bPclPatternSet = 1;
  ASSERT_TRUE(kv5e::DrvPaint(&surface_, clip.get(), gray.get(), nullptr, kCopyPen));
  const std::string written = Take();
  const std::string head = "\x1B%1A\x1B*v0T\x1B%1BMC1,240IW10,6570,20,6590SP2" + Move(10, 10) + "PM0PE";
  ASSERT_EQ(written.substr(0, head.size()), head);
  EXPECT_NE(written.find("PM2\x1B%1A\x1B*c383g44W"), std::string::npos);
  EXPECT_EQ(written.substr(written.size() - 14), "\x1B%1BFT22,383FP");
  EXPECT_EQ(pdev()->hpglState.bPclPatternSet, 0);
  EXPECT_EQ(pdev()->hpglState.iPen, 2);

  // On a bitmap the engine paints by itself: nothing to send.
  SURFOBJ* bitmap = eng::CreateBitmapSurface(SIZEL{64, 64}, BMF_24BPP);
  ASSERT_NE(bitmap, nullptr);
  bitmap->dhpdev = surface_.dhpdev;
  EXPECT_TRUE(kv5e::DrvPaint(bitmap, clip.get(), gray.get(), nullptr, kCopyPen));
  EXPECT_EQ(Take(), "");
  eng::DeleteBitmapSurface(bitmap);

  EXPECT_FALSE(kv5e::DrvPaint(&surface_, nullptr, gray.get(), nullptr, kCopyPen));
  EXPECT_EQ(Take(), "");
}

TEST_F(HpglPathsTest, ForcedColourFillsWithTheWatermarkColourAndFixedMerge) {
  pdev()->flags |= kv5e::kFlagForcedColour;
  pdev()->watermarkColor = 0x00808080;
  Brush black = SolidBrush(0);
  Path path = Polylines({{{10, 10}, {50, 10}, {50, 50}}}, true);
  ASSERT_TRUE(Fill(path.get(), black.get()));
  const std::string fill = Take();
  EXPECT_EQ(fill.rfind("MC1,160\x1B%1A\x1B*c383g44W", 0), 0u);
  EXPECT_NE(fill.find("\x1B%1BFT22,383"), std::string::npos);
  // Pens keep their own colour; the merge stays at 160 whatever the mix.
  ASSERT_TRUE(Stroke(path.get(), black.get(), nullptr, 0x0606));
  EXPECT_EQ(Take().substr(0, 5), "PW0LT");
  ASSERT_TRUE(Stroke(path.get(), black.get(), nullptr, 0x0606));
  EXPECT_EQ(Take().substr(0, 4), "PE=<");
  EXPECT_EQ(pdev()->hpglState.iMergeRop, 160);
  EXPECT_EQ(pdev()->hpglState.iScreenKey, 0);
}

TEST_F(HpglPathsTest, AbortedOrInvalidDevicesDrawNothing) {
  Brush black = SolidBrush(0);
  Path path = Polylines({{{10, 10}, {50, 10}}});
  pdev()->flags |= kv5e::kFlagAborted;
  EXPECT_FALSE(Stroke(path.get(), black.get()));
  EXPECT_FALSE(Fill(path.get(), black.get()));
  EXPECT_FALSE(kv5e::DrvLineTo(&surface_, nullptr, black.get(), 0, 0, 5, 5, nullptr, kCopyPen));
  EXPECT_EQ(Take(), "");
  pdev()->flags &= ~kv5e::kFlagAborted;
  pdev()->magicTail = 0;
  EXPECT_FALSE(Stroke(path.get(), black.get()));
  pdev()->magicTail = kv5e::kPdevMagic;
  EXPECT_EQ(Take(), "");
}

TEST_F(HpglPathsTest, RandomPolygonsRoundTripThroughTheDecoder) {
  Brush black = SolidBrush(0);
  std::uint32_t seed = 12345;
  auto next = [&](int range) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<LONG>((seed >> 8) % static_cast<std::uint32_t>(range));
  };
  for (int round = 0; round < 20; ++round) {
    std::vector<POINTL> figure;
    const int count = 2 + next(40);
    for (int i = 0; i < count; ++i) figure.push_back({next(5000), next(6500)});
    Path path = Polylines({figure});
    ASSERT_TRUE(kv5e::DrvCommonPath(pdev(), path.get(), true));
    EXPECT_EQ(DecodedPoints(Take()), AsPoints(figure)) << round;
  }
}

}  // namespace
