#include "pclcore/5e/raster_images.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_owned.h"

#include "bare_instance.h"
#include "kvplat/engine_objects.h"
#include "kvplat/fault.h"
#include "kvplat/spooler.h"
#include "pclcore/5e/brushes.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/hpgl_paths.h"
#include "pclcore/5e/output_channel.h"
#include "support/test_printer.h"
#include "support/test_root.h"
#include "tools/pcldump/pcl_decoder.h"

namespace {

using kv5e::PclPdev;
using kvset::DmField;
using Bytes = std::vector<BYTE>;
using Rows = std::vector<Bytes>;
namespace eng = kvplat::engine;
namespace pcl = kvtools::pcl;

constexpr LONG kPageWidth = 640;
constexpr LONG kPageHeight = 480;

// ---- owned engine objects ---------------------------------------------------------------
using kvtest::Surface;
using kvtest::Clip;
using kvtest::Brush;
using kvtest::Xlate;

Clip ClipOf(std::initializer_list<RECTL> rects) {
  std::vector<RECTL> list(rects);
  return Clip(eng::CreateClipFromRects(list));
}

Brush SolidBrush(ULONG color) {
  eng::BrushSetup setup;
  setup.solidColor = color;
  return Brush(eng::CreateBrush(setup));
}

// A colour table translation for indexed sources (what the engine gives).
struct TableXlate {
  std::vector<ULONG> colors;
  XLATEOBJ object{};
  explicit TableXlate(std::vector<ULONG> entries) : colors(std::move(entries)) {
    object.flXlate = XO_TABLE;
    object.cEntries = static_cast<ULONG>(colors.size());
    object.pulXlate = colors.data();
  }
};

int Gray(ULONG rgb) {  // 0x00BBGGRR
  return (3 * (rgb & 0xFF) + 6 * ((rgb >> 8) & 0xFF) + ((rgb >> 16) & 0xFF)) / 10;
}

// ---- what the printer prints ---------------------------------------------------------------

struct Printed {
  long x = 0, y = 0, width = 0, height = 0, method = 0;
  std::vector<std::uint64_t> rows;  // RowHash of each row as the printer holds it
  std::vector<std::string> heads;
};

std::vector<Printed> PrintedImages(const std::string& stream) {
  const auto commands = pcl::Decode(stream);
  EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);
  std::vector<Printed> images;
  long x = 0, y = 0, width = 0, height = 0, method = 0;
  for (const pcl::Command& c : commands) {
    if (c.kind == pcl::Kind::Pcl) {
      const std::string key = pcl::Key(c);
      const long value = static_cast<long>(c.value);
      if (key == "ESC *p#X") x = value;
      if (key == "ESC *p#Y") y = value;
      if (key == "ESC *r#S") width = value;
      if (key == "ESC *r#T") height = value;
      if (key == "ESC *b#M") {
        method = value;
        if (!images.empty()) images.back().method = value;
      }
      if (key == "ESC *r#A") images.push_back(Printed{x, y, width, height, method, {}, {}});
    } else if (c.kind == pcl::Kind::Data && c.name == "row" && !images.empty()) {
      for (std::uint32_t i = 0; i < c.rows.count; ++i) {
        images.back().rows.push_back(c.rows.hash);
        images.back().heads.push_back(c.rows.head);
      }
    }
  }
  return images;
}

std::string Hex(const Bytes& row) {
  std::ostringstream out;
  for (std::size_t i = 0; i < row.size() && i < 16; ++i) {
    static const char* digits = "0123456789abcdef";
    out << digits[row[i] >> 4] << digits[row[i] & 15];
  }
  return out.str();
}

// The image printed at (x, y) holds exactly `expected`.
void ExpectImage(const Printed& image, long x, long y, const Rows& expected, long width) {
  EXPECT_EQ(image.x, x);
  EXPECT_EQ(image.y, y);
  EXPECT_EQ(image.width, width);
  EXPECT_EQ(image.height, static_cast<long>(expected.size()));
  ASSERT_EQ(image.rows.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(image.rows[i], pcl::RowHash(expected[i]))
        << "row " << i << ": printed " << image.heads[i] << ", expected " << Hex(expected[i]);
  }
}

// ---- an independent reference of the dithered output -----------------------------------------

// Source pixels by their gray level; 8- and 24-bit sources are drawn run by
// run with the gray patterns, the others pixel by pixel with the matrix.
struct Picture {
  int cx = 0, cy = 0;
  std::function<int(int, int)> gray;
  bool runBased = false;
};

// Rows of `picture` (window at sx, sy) drawn into `dest`, as printed: ordered,
// mirrored when right < left, upside down when bottom < top.
Rows Reference(const Picture& picture, RECTL dest, int sx = 0, int sy = 0) {
  const bool mirrored = dest.right < dest.left;
  const bool upsideDown = dest.bottom < dest.top;
  if (mirrored) std::swap(dest.left, dest.right);
  if (upsideDown) std::swap(dest.top, dest.bottom);
  const long w = dest.right - dest.left, h = dest.bottom - dest.top;
  const long cx = picture.cx, cy = picture.cy;
  std::vector<long> column(w);
  if (picture.runBased && w < cx) {
    for (long u = 0; u < w; ++u) column[u] = u * cx / w;
  } else if (picture.runBased) {
    for (long i = 0; i < cx; ++i) {
      for (long u = i * w / cx; u < (i + 1) * w / cx; ++u) column[u] = i;
    }
  } else {
    for (long u = 0; u < w; ++u) column[u] = ((u + 1) * cx + w - 1) / w - 1;
  }
  Rows rows(h, Bytes((w + 7) / 8, 0));
  for (long y = 0; y < h; ++y) {
    long sourceRow = ((y + 1) * cy + h - 1) / h - 1;
    if (upsideDown) sourceRow = cy - 1 - sourceRow;
    const int r = static_cast<int>(((dest.top + y) % 16 + 16) % 16);
    for (long u = 0; u < w; ++u) {
      const int g = picture.gray(static_cast<int>(sx + column[u]), static_cast<int>(sy + sourceRow));
      const int m = kv5e::kThresholdMatrix[r][((dest.left + u) % 16 + 16) % 16];
      const bool black = picture.runBased ? m <= 255 - g : g < m;
      const long at = mirrored ? w - 1 - u : u;
      if (black) rows[y][at / 8] |= static_cast<BYTE>(0x80 >> (at % 8));
    }
  }
  return rows;
}

// The part [left, right) x [top, bottom) (offsets into the rows) of an image.
Rows Crop(const Rows& rows, long left, long top, long right, long bottom) {
  Rows out;
  for (long y = top; y < bottom; ++y) {
    Bytes row((right - left + 7) / 8, 0);
    for (long x = left; x < right; ++x) {
      if (rows[y][x / 8] & (0x80 >> (x % 8))) row[(x - left) / 8] |= static_cast<BYTE>(0x80 >> ((x - left) % 8));
    }
    out.push_back(row);
  }
  return out;
}

// A bitmap of `format` whose pixel (x, y) is value(x, y).
Surface MakeBitmap(int cx, int cy, ULONG format, const std::function<ULONG(int, int)>& value,
                   FLONG flags = BMF_TOPDOWN) {
  Surface s(eng::CreateBitmapSurface(SIZEL{cx, cy}, format, flags));
  EXPECT_NE(s, nullptr);
  for (int y = 0; y < cy; ++y) {
    for (int x = 0; x < cx; ++x) eng::SetPixel(s.get(), x, y, value(x, y));
  }
  return s;
}

// Black and white: a one-bit bitmap whose index 1 is white.
Surface MonoBitmap(const std::vector<std::string>& art) {
  const int cx = static_cast<int>(art[0].size()), cy = static_cast<int>(art.size());
  return MakeBitmap(cx, cy, BMF_1BPP, [&](int x, int y) { return art[y][x] == '#' ? 0u : 1u; });
}

Rows ArtRows(const std::vector<std::string>& art) {
  Rows rows;
  for (const std::string& line : art) {
    Bytes row((line.size() + 7) / 8, 0);
    for (std::size_t x = 0; x < line.size(); ++x) {
      if (line[x] == '#') row[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
    }
    rows.push_back(row);
  }
  return rows;
}

// ---- fixture: a device instance writing to a spooler job on a file port -----------------------

class RasterImagesTest : public kvtest::BareInstanceTest {
 protected:
  void SetUp() override {
    MakeInstance(u"Images");
    if (HasFatalFailure()) return;
    PclPdev* pdev = pdev_.get();
    kv5e::SetDm(pdev, DmField("dmPrintQuality"), 300);
    kv5e::SetDm(pdev, DmField("scalePercent"), 100);
    SetPage(kPageWidth, kPageHeight);
    kv5e::ResetHpglState(pdev->hpglState);
    kv5e::ResetOutputBuffer(pdev);
    surface_.dhpdev = reinterpret_cast<DHPDEV>(pdev);
    surface_.iType = STYPE_DEVICE;
    mono_.flXlate = XO_TABLE;
    mono_.cEntries = 2;
    mono_.pulXlate = monoColors_;
  }
  void SetPage(LONG width, LONG height) {
    pdev_->cxSurface = static_cast<std::uint32_t>(width);
    pdev_->cySurface = static_cast<std::uint32_t>(height);
    pdev_->surfaceGeometry.printableHeight = static_cast<std::uint16_t>(height);
    surface_.sizlBitmap = SIZEL{width, height};
  }

  // Runs `body` in a job of its own and returns what the port received.
  std::string Job(const std::function<void()>& body) { return RunJob(body); }
  // Raster images written by one call.
  std::vector<Printed> Draw(const std::function<BOOL()>& call, BOOL expected = TRUE) {
    const std::string stream = Job([&] { EXPECT_EQ(call(), expected); });
    return PrintedImages(stream);
  }
  BOOL Copy(SURFOBJ* source, RECTL dest, POINTL origin = {0, 0}, CLIPOBJ* clip = nullptr,
            XLATEOBJ* xlate = nullptr) {
    return kv5e::DrvCopyBits(&surface_, source, clip, xlate, &dest, &origin);
  }
  BOOL Stretch(SURFOBJ* source, RECTL dest, RECTL from, CLIPOBJ* clip = nullptr,
               XLATEOBJ* xlate = nullptr) {
    return kv5e::DrvStretchBlt(&surface_, source, nullptr, clip, xlate, nullptr, nullptr, &dest,
                               &from, nullptr, COLORONCOLOR);
  }
  BOOL Blt(RECTL target, ROP4 rop4, BRUSHOBJ* brush = nullptr, CLIPOBJ* clip = nullptr,
           SURFOBJ* source = nullptr, POINTL* brushOrigin = nullptr) {
    POINTL origin{0, 0};
    return kv5e::DrvBitBlt(&surface_, source, nullptr, clip, source ? &mono_ : nullptr, &target,
                           &origin, nullptr, brush, brushOrigin, rop4);
  }

  kvtest::TempRoot root_;
  SURFOBJ surface_{};
  ULONG monoColors_[2] = {0x000000, 0xFFFFFF};
  XLATEOBJ mono_{};  // black and white
};

// ---- raster operation classes, page classes, print model -------------------------------------

TEST(RasterOperations, SourceAndPatternUse) {
  const int sourceless[] = {0, 5, 10, 15, 80, 85, 90, 95, 160, 165, 170, 175, 240, 245, 250, 255};
  int count = 0;
  for (int rop = 0; rop < 256; ++rop) {
    const bool listed = std::find(std::begin(sourceless), std::end(sourceless), rop) !=
                        std::end(sourceless);
    EXPECT_EQ(kv5e::RopUsesSource(rop), !listed) << rop;
    count += kv5e::RopUsesSource(rop) ? 0 : 1;
  }
  EXPECT_EQ(count, 16);
  struct Case {
    int rop;
    bool pattern;
  };
  for (const Case& c : {Case{0x00, false}, Case{0xAA, false}, Case{0xCC, false},
                        Case{0xFF, false}, Case{0x33, false}, Case{0xF0, true},
                        Case{0x5A, true}, Case{0xB8, true}, Case{0x0F, true}}) {
    EXPECT_EQ(kv5e::RopUsesPattern(c.rop), c.pattern) << c.rop;
  }
}

TEST_F(RasterImagesTest, ClampToPageClasses) {
  struct Case {
    RECTL rect;
    int pageClass;
    RECTL clamped;
  };
  const Case cases[] = {
      {{10, 20, 110, 220}, 1, {10, 20, 110, 220}},
      {{110, 220, 10, 20}, 1, {10, 20, 110, 220}},  // ordered first
      {{0, 0, kPageWidth, kPageHeight}, 1, {0, 0, kPageWidth, kPageHeight}},
      {{-5, 20, 110, 220}, 2, {0, 20, 110, 220}},
      {{10, -1, 110, 220}, 2, {0 + 10, 0, 110, 220}},
      {{10, 20, kPageWidth + 1, 220}, 2, {10, 20, kPageWidth, 220}},
      {{10, 20, 110, kPageHeight + 9}, 2, {10, 20, 110, kPageHeight}},
      {{-100000000, -100000000, 100000000, 100000000}, 2, {0, 0, kPageWidth, kPageHeight}},
      {{-50, 20, -1, 220}, 0, {0, 0, 0, 0}},
      {{kPageWidth, 20, kPageWidth + 50, 220}, 0, {0, 0, 0, 0}},
      {{10, 20, 10, 220}, 0, {0, 0, 0, 0}},  // no width
  };
  for (const Case& c : cases) {
    RECTL clamped{1, 1, 1, 1};
    EXPECT_EQ(kv5e::ClampToPage(pdev(), c.rect, &clamped), c.pageClass)
        << c.rect.left << "," << c.rect.top << "," << c.rect.right << "," << c.rect.bottom;
    if (c.pageClass != 0) {
      EXPECT_EQ(clamped.left, c.clamped.left);
      EXPECT_EQ(clamped.top, c.clamped.top);
      EXPECT_EQ(clamped.right, c.clamped.right);
      EXPECT_EQ(clamped.bottom, c.clamped.bottom);
    }
  }
}

TEST_F(RasterImagesTest, PrintModelGoesOutOnlyWhenItChanges) {
  pdev()->hpglState.bInHpgl2 = 1;
  const std::string stream = Job([&] {
    kv5e::SetPclPrintModel(pdev(), 1, 1, 204);
    kv5e::SetPclPrintModel(pdev(), 1, 1, 204);
    kv5e::SetPclPrintModel(pdev(), 1, 1, 0);
    // The HP-GL/2 merge control shares the cache with the logical operation.
    kv5e::SetMergeRop(pdev(), 160);
    kv5e::SetPclPrintModel(pdev(), 1, 1, 160);
    kv5e::SetPclPrintModel(pdev(), 1, 1, 204);
  });
  EXPECT_EQ(stream, "\x1B%1A\x1B*v1N\x1B*v1O\x1B*l204O\x1B*l0O\x1B%1BMC1,160\x1B%1A\x1B*l204O");
}

// ---- source-less fills ---------------------------------------------------------------------------

TEST_F(RasterImagesTest, BlacknessWithoutClipIsAPclRectangle) {
  pdev()->hpglState.bInHpgl2 = 1;
  pdev()->hpglState.iTransparencyMode = 1;
  const std::string stream = Job([&] { EXPECT_TRUE(Blt({10, 20, 40, 60}, 0x0000)); });
  EXPECT_EQ(stream, "\x1B%1A\x1B*v1N\x1B*v1O\x1B*l0O\x1B*p10x20Y\x1B*c31a41B\x1B*c5P");
  // The same again: the print model is known.
  const std::string again = Job([&] { EXPECT_TRUE(Blt({10, 20, 40, 60}, 0x0000)); });
  EXPECT_EQ(again, "\x1B*p10x20Y\x1B*c31a41B\x1B*c5P");
}

TEST_F(RasterImagesTest, RectanglePositionFollowsTheCellOrigin) {
  pdev()->hpglState.iTransparencyMode = 1;
  pdev()->layoutCells.originX = 300;
  pdev()->layoutCells.originY = 50;
  std::string stream = Job([&] { EXPECT_TRUE(Blt({10, 20, 40, 60}, 0x0000)); });
  EXPECT_NE(stream.find("\x1B*p310x70Y\x1B*c31a41B"), std::string::npos) << stream;
  Set(DmField("absolutePositioning"), 1);
  stream = Job([&] { EXPECT_TRUE(Blt({10, 20, 40, 60}, 0x0000)); });
  EXPECT_EQ(stream, "\x1B*p10x20Y\x1B*c31a41B\x1B*c5P");
}

TEST_F(RasterImagesTest, PatternCopyWithGrayBrushIsAnHpglRectangle) {
  Brush gray = SolidBrush(0x808080);  // gray 128: pattern 127, identifier 383
  const std::string stream = Job([&] { EXPECT_TRUE(Blt({10, 20, 40, 60}, 0xF0F0, gray.get())); });
  const std::string fill = "PU10," + std::to_string(kPageHeight - 20) + "RR30,-40";
  ASSERT_GE(stream.size(), 10u);
  EXPECT_EQ(stream.rfind("\x1B%1BMC1,240", 0), 0u) << stream;
  const std::size_t fillType = stream.find("FT22,383");
  const std::size_t rectangle = stream.find(fill);
  ASSERT_NE(fillType, std::string::npos) << stream;
  ASSERT_NE(rectangle, std::string::npos) << stream;
  EXPECT_LT(fillType, rectangle);
  EXPECT_EQ(stream.substr(rectangle), fill + "TR0");  // the first fill of the page ends opaque
  EXPECT_EQ(stream.find("TR1"), std::string::npos);
}

TEST_F(RasterImagesTest, PatternOverUnchangedBackgroundIsBracketedByTransparency) {
  Brush gray = SolidBrush(0x404040);
  Clip clip = ClipOf({{0, 0, 100, 100}});
  const std::string fill = "PU10," + std::to_string(kPageHeight - 20) + "RR30,-40";
  for (int round = 0; round < 2; ++round) {
    const std::string stream =
        Job([&] { EXPECT_TRUE(Blt({10, 20, 40, 60}, 0xAAF0, gray.get(), clip.get())); });
    const std::size_t tr1 = stream.find("TR1");
    ASSERT_NE(tr1, std::string::npos) << stream;
    EXPECT_LT(tr1, stream.find("FT")) << stream;
    EXPECT_EQ(stream.substr(stream.size() - fill.size() - 3), fill + "TR0") << stream;
    EXPECT_EQ(pdev()->hpglState.iTransparencyMode, 1);
  }
  // An opaque pattern copy leaves the transparency alone once it is off.
  const std::string opaque =
      Job([&] { EXPECT_TRUE(Blt({10, 20, 40, 60}, 0xF0F0, gray.get(), clip.get())); });
  EXPECT_EQ(opaque.find("TR"), std::string::npos) << opaque;
}

TEST_F(RasterImagesTest, RectangularClipCutsTheFill) {
  pdev()->hpglState.iTransparencyMode = 1;
  Set(DmField("absolutePositioning"), 1);
  Clip clip = ClipOf({{30, 0, 400, 50}});
  const std::string stream = Job([&] { EXPECT_TRUE(Blt({10, 20, 40, 60}, 0x0000, nullptr, clip.get())); });
  EXPECT_NE(stream.find("\x1B*p30x20Y\x1B*c11a31B\x1B*c5P"), std::string::npos) << stream;
}

// Absolute device points of the PE commands of a stream.
std::vector<std::pair<LONG, LONG>> PolygonPoints(const std::string& stream) {
  std::vector<std::pair<LONG, LONG>> points;
  std::int64_t x = 0, y = 0;
  for (const pcl::Command& command : pcl::Decode(stream)) {
    for (const pcl::PeOp& op : command.pe) {
      if (op.type != pcl::PeOp::Type::Move && op.type != pcl::PeOp::Type::Draw) continue;
      x = op.absolute ? op.x : x + op.x;
      y = op.absolute ? op.y : y + op.y;
      points.emplace_back(static_cast<LONG>(x), static_cast<LONG>(kPageHeight - y));
    }
  }
  return points;
}

TEST_F(RasterImagesTest, ComplexClipRectanglesMergeIntoPolygons) {
  pdev()->hpglState.iTransparencyMode = 1;
  using Points = std::vector<std::pair<LONG, LONG>>;
  struct Case {
    const char* name;
    std::vector<RECTL> rects;
    int polygons;
    Points points;  // move, then the vertices, then back to the first
    RECTL target = {0, 0, 200, 200};
  };
  const Case cases[] = {
      // The third rectangle keeps the region from joining the first two.
      {"two stacked rectangles of equal width",
       {{10, 10, 50, 20}, {10, 20, 50, 30}, {100, 20, 120, 30}},
       2,
       {{10, 10}, {50, 10}, {50, 30}, {10, 30}, {10, 10},
        {100, 20}, {120, 20}, {120, 30}, {100, 30}, {100, 20}}},
      {"one-pixel staircase becomes a diagonal",
       {{10, 10, 20, 11}, {11, 11, 21, 12}, {12, 12, 22, 13}},
       1,
       {{10, 10}, {20, 10}, {21, 11}, {22, 12}, {22, 13}, {12, 13}, {11, 12}, {10, 11}, {10, 10}}},
      {"wider rectangle below",
       {{20, 10, 30, 20}, {10, 20, 40, 25}},
       1,
       {{20, 10}, {30, 10}, {30, 20}, {40, 20}, {40, 25}, {10, 25}, {10, 20}, {20, 20}, {20, 10}}},
      {"rectangles apart",
       {{10, 10, 20, 20}, {40, 10, 50, 20}},
       2,
       {{10, 10}, {20, 10}, {20, 20}, {10, 20}, {10, 10},
        {40, 10}, {50, 10}, {50, 20}, {40, 20}, {40, 10}}},
      {"clip rectangles reaching past the target are cut to it",
       {{10, 10, 50, 20}, {200, 10, 220, 20}},
       1,
       {{10, 10}, {30, 10}, {30, 20}, {10, 20}, {10, 10}},
       {0, 0, 30, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clip clip(eng::CreateClipFromRects(c.rects));
    ASSERT_EQ(clip->iDComplexity, DC_COMPLEX);
    kv5e::ResetHpglState(pdev()->hpglState);
    pdev()->hpglState.iTransparencyMode = 1;
    pdev()->hpglState.bInHpgl2 = 0;
    const std::string stream =
        Job([&] { EXPECT_TRUE(Blt(c.target, 0x0000, nullptr, clip.get())); });
    EXPECT_EQ(stream.rfind("\x1B%1BMC1,0PE=<", 0), 0u) << stream;
    std::size_t fills = 0;
    for (std::size_t at = stream.find("PM2FP1"); at != std::string::npos;
         at = stream.find("PM2FP1", at + 1)) {
      ++fills;
    }
    EXPECT_EQ(fills, static_cast<std::size_t>(c.polygons));
    EXPECT_EQ(PolygonPoints(stream), c.points);
  }
}

TEST_F(RasterImagesTest, LongOutlinesRestartTheirPolygonEncoding) {
  pdev()->hpglState.iTransparencyMode = 1;
  // 600 one-pixel rows widening to the right by two dots each: two vertices a row.
  std::vector<RECTL> rects;
  for (LONG y = 0; y < 300; ++y) rects.push_back(RECTL{10, y, 20 + 2 * y, y + 1});
  Clip clip(eng::CreateClipFromRects(rects));
  const std::string stream =
      Job([&] { EXPECT_TRUE(Blt({0, 0, kPageWidth, kPageHeight}, 0x0000, nullptr, clip.get())); });
  EXPECT_NE(stream.find(";PE"), std::string::npos);
  const auto points = PolygonPoints(stream);
  ASSERT_GE(points.size(), 600u);
  EXPECT_EQ(points.front(), points.back());
  const auto commands = pcl::Decode(stream);
  for (const pcl::Command* pe : pcl::FindAll(commands, "PE")) {
    EXPECT_LE(pe->pe.size(), 512u + 1u);
  }
  EXPECT_EQ(pcl::Count(commands, "FP"), 1u);
}

// ---- images ----------------------------------------------------------------------------------

TEST_F(RasterImagesTest, OffPageDestinationsDrawNothing) {
  Surface bits = MonoBitmap({"##..", "..##"});
  const std::string stream = Job([&] {
    EXPECT_TRUE(Copy(bits.get(), {-10, 5, -6, 7}));
    EXPECT_TRUE(Stretch(bits.get(), {kPageWidth + 1, 0, kPageWidth + 20, 30}, {0, 0, 4, 2}));
    EXPECT_TRUE(Blt({0, kPageHeight, 40, kPageHeight + 10}, 0x0000));
    EXPECT_TRUE(Blt({0, kPageHeight, 40, kPageHeight + 10}, 0xCCCC, nullptr, nullptr, bits.get()));
    EXPECT_TRUE(Copy(bits.get(), {10, 10, 10, 12}));  // no width
  });
  EXPECT_EQ(stream, "");
}

TEST_F(RasterImagesTest, CopyOfBlackAndWhiteBitsIsExact) {
  const std::vector<std::string> art = {"#..#.###.#####..##", "..#####.....#...#.", "##########.......#"};
  Surface bits = MonoBitmap(art);
  Set(DmField("absolutePositioning"), 1);
  const auto images = Draw([&] { return Copy(bits.get(), {37, 11, 55, 14}, {0, 0}, nullptr, &mono_); });
  ASSERT_EQ(images.size(), 1u);
  ExpectImage(images[0], 37, 11, ArtRows(art), 18);
  // A source origin off the byte boundary.
  std::vector<std::string> shifted;
  for (const std::string& line : art) shifted.push_back(line.substr(3, 11));
  const auto part = Draw([&] { return Copy(bits.get(), {5, 6, 16, 9}, {3, 0}, nullptr, &mono_); });
  ASSERT_EQ(part.size(), 1u);
  ExpectImage(part[0], 5, 6, ArtRows(shifted), 11);
}

TEST_F(RasterImagesTest, StretchRepeatsOrSkipsRowsAndColumns) {
  Set(DmField("absolutePositioning"), 1);
  struct Case {
    const char* name;
    ULONG format;
    std::vector<std::string> art;
    RECTL dest;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"2x2 to 4x4, per pixel", BMF_1BPP, {"#.", ".#"}, {8, 8, 12, 12},
       {"##..", "##..", "..##", "..##"}},
      {"4x4 to 2x2 takes rows and columns 1 and 3", BMF_1BPP,
       {"....", ".#.#", "....", "...#"}, {8, 8, 10, 10}, {"##", ".#"}},
      {"2x2 to 4x4, run by run", BMF_8BPP, {"#.", ".#"}, {8, 8, 12, 12},
       {"##..", "##..", "..##", "..##"}},
      // Run by run a shrunk row takes columns 0 and 2; rows still 1 and 3.
      {"4x4 to 2x2, run by run", BMF_8BPP,
       {"....", "#.#.", "....", "..#."}, {8, 8, 10, 10}, {"##", ".#"}},
      {"3 to 7 columns, run by run", BMF_24BPP, {"#.#"}, {8, 8, 15, 9}, {"##..###"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int cx = static_cast<int>(c.art[0].size()), cy = static_cast<int>(c.art.size());
    Surface bits = MakeBitmap(cx, cy, c.format, [&](int x, int y) -> ULONG {
      const bool black = c.art[y][x] == '#';
      if (c.format == BMF_24BPP) return black ? 0 : 0xFFFFFF;
      return black ? 0 : 1;
    });
    XLATEOBJ* xlate = c.format == BMF_24BPP ? nullptr : &mono_;
    const auto images = Draw([&] { return Stretch(bits.get(), c.dest, {0, 0, cx, cy}, nullptr, xlate); });
    ASSERT_EQ(images.size(), 1u);
    ExpectImage(images[0], c.dest.left, c.dest.top, ArtRows(c.expected),
                c.dest.right - c.dest.left);
  }
}

TEST_F(RasterImagesTest, MirroredAndUpsideDownDestinations) {
  Set(DmField("absolutePositioning"), 1);
  const std::vector<std::string> art = {"##...#.#####.", "#..........##", ".#.#.#.#.#.#."};
  Surface bits = MonoBitmap(art);
  std::vector<std::string> mirrored, flipped(art.rbegin(), art.rend());
  for (const std::string& line : art) mirrored.emplace_back(line.rbegin(), line.rend());
  auto images = Draw([&] { return Stretch(bits.get(), {33, 5, 20, 8}, {0, 0, 13, 3}, nullptr, &mono_); });
  ASSERT_EQ(images.size(), 1u);
  ExpectImage(images[0], 20, 5, ArtRows(mirrored), 13);
  images = Draw([&] { return Stretch(bits.get(), {20, 8, 33, 5}, {0, 0, 13, 3}, nullptr, &mono_); });
  ASSERT_EQ(images.size(), 1u);
  ExpectImage(images[0], 20, 5, ArtRows(flipped), 13);
}

// Gray levels of a test picture: bands of levels that change every few
// pixels, so that runs and single pixels both occur.
int Level(int x, int y) {
  static const int levels[] = {0, 255, 128, 17, 200, 64, 254, 1, 90, 160, 33, 240};
  return levels[(x / 3 + (y / 2) * 5 + (x * y) % 4) % 12];
}

struct FormatCase {
  const char* name;
  ULONG format;
  int xlateKind;  // 0 none, 1 table, 2 engine translation (BGR or bit fields), 3 odd bit fields
};

TEST_F(RasterImagesTest, EveryFormatIsDitheredAlignedToThePage) {
  Set(DmField("absolutePositioning"), 1);
  const FormatCase formats[] = {
      {"1-bit", BMF_1BPP, 1},  {"4-bit", BMF_4BPP, 1},      {"8-bit", BMF_8BPP, 1},
      {"16-bit", BMF_16BPP, 2}, {"24-bit", BMF_24BPP, 0},   {"32-bit identity", BMF_32BPP, 0},
      {"32-bit BGR", BMF_32BPP, 2}, {"32-bit bit fields", BMF_32BPP, 3},
  };
  const ULONG device[] = {0};
  (void)device;
  const eng::PaletteDesc devicePalette{PAL_RGB, {}, 0, 0, 0};
  constexpr int cx = 29, cy = 13;
  for (const FormatCase& f : formats) {
    SCOPED_TRACE(f.name);
    // Indexed formats: a palette of gray-ish colours; index = position in the level list.
    std::vector<ULONG> palette;
    const int entries = f.format == BMF_1BPP ? 2 : f.format == BMF_4BPP ? 16 : 256;
    for (int i = 0; i < entries; ++i) {
      const int g = Level(i * 3, 0);
      palette.push_back(static_cast<ULONG>(g | ((g / 2) << 8) | ((255 - g) << 16)));
    }
    TableXlate table(palette);
    Xlate engineXlate;
    if (f.xlateKind == 2) {
      engineXlate.reset(eng::CreateXlate(eng::FormatPalette(f.format), devicePalette));
    } else if (f.xlateKind == 3) {
      const eng::PaletteDesc fields{PAL_BITFIELDS, {}, 0x3FF00000, 0x000FFC00, 0x000003FF};
      engineXlate.reset(eng::CreateXlate(fields, devicePalette));
    }
    XLATEOBJ* xlate = f.xlateKind == 1 ? &table.object : engineXlate.get();
    auto value = [&](int x, int y) -> ULONG {
      const int g = Level(x, y);
      switch (f.format) {
        case BMF_1BPP: return g > 127 ? 1 : 0;
        case BMF_4BPP: return static_cast<ULONG>((x + y) % 16);
        case BMF_8BPP: return static_cast<ULONG>((x / 2 + y * 7) % 256);
        case BMF_16BPP: return static_cast<ULONG>(((g >> 3) << 10) | ((x & 31) << 5) | (y & 31));
        case BMF_32BPP:
          if (f.xlateKind == 3) return static_cast<ULONG>((g << 22) | (x << 12) | (y << 2));
          return static_cast<ULONG>(g | ((255 - g) << 8) | (((x * 9) & 255) << 16) | 0xAB000000u);
        default: return static_cast<ULONG>(g | ((x * 7 & 255) << 8) | ((255 - g) << 16));
      }
    };
    Surface bits = MakeBitmap(cx, cy, f.format, value, f.format == BMF_8BPP ? 0 : BMF_TOPDOWN);
    Picture picture{cx, cy, nullptr, f.format == BMF_8BPP || f.format == BMF_24BPP};
    picture.gray = [&](int x, int y) -> int {
      const ULONG v = eng::GetPixel(bits.get(), x, y);
      switch (f.format) {
        case BMF_1BPP:
        case BMF_4BPP:
        case BMF_8BPP: return Gray(palette[v]);
        case BMF_24BPP: return static_cast<int>((3 * ((v >> 16) & 255) + 6 * ((v >> 8) & 255) + (v & 255)) / 10);
        case BMF_32BPP:
          if (f.xlateKind == 0) return Gray(v & 0xFFFFFF);
          if (f.xlateKind == 2) return static_cast<int>((3 * ((v >> 16) & 255) + 6 * ((v >> 8) & 255) + (v & 255)) / 10);
          return Gray(XLATEOBJ_iXlate(engineXlate.get(), v));
        default: return Gray(XLATEOBJ_iXlate(engineXlate.get(), v));
      }
    };
    struct Placement {
      RECTL dest;
      RECTL from;
    };
    const Placement placements[] = {
        {{13, 7, 13 + cx, 7 + cy}, {0, 0, cx, cy}},     // as it is, off the pattern grid
        {{5, 3, 5 + 71, 3 + 40}, {0, 0, cx, cy}},       // enlarged
        {{100, 21, 100 + 11, 21 + 5}, {0, 0, cx, cy}},  // shrunk
        {{64, 50, 64 + 20, 50 + 9}, {4, 2, 24, 11}},    // a window of the source
        {{90, 60, 31, 95}, {0, 0, cx, cy}},             // mirrored and enlarged
    };
    for (const Placement& p : placements) {
      const auto images = Draw([&] { return Stretch(bits.get(), p.dest, p.from, nullptr, xlate); });
      ASSERT_EQ(images.size(), 1u);
      Picture window = picture;
      window.cx = p.from.right - p.from.left;
      window.cy = p.from.bottom - p.from.top;
      const RECTL& d = p.dest;
      ExpectImage(images[0], std::min(d.left, d.right), std::min(d.top, d.bottom),
                  Reference(window, d, p.from.left, p.from.top), std::abs(d.right - d.left));
    }
  }
}

TEST_F(RasterImagesTest, CopyBitsWithOwnSizeMatchesFlatGrays) {
  Set(DmField("absolutePositioning"), 1);
  // Flat gray images: 8- and 24-bit take the gray patterns, the others the matrix.
  for (int g : {0, 1, 64, 127, 128, 200, 254, 255}) {
    SCOPED_TRACE(g);
    const ULONG rgb = static_cast<ULONG>(g | (g << 8) | (g << 16));
    Surface rgb24 = MakeBitmap(40, 20, BMF_24BPP, [&](int, int) { return rgb; });
    Surface rgb32 = MakeBitmap(40, 20, BMF_32BPP, [&](int, int) { return rgb; });
    for (SURFOBJ* s : {rgb24.get(), rgb32.get()}) {
      const bool runs = s == rgb24.get();
      const auto images = Draw([&] { return Copy(s, {3, 9, 43, 29}); });
      ASSERT_EQ(images.size(), 1u);
      Rows expected(20, Bytes(5, 0));
      for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 40; ++x) {
          const int m = kv5e::kThresholdMatrix[(9 + y) % 16][(3 + x) % 16];
          if (runs ? m <= 255 - g : g < m) expected[y][x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
        }
      }
      ExpectImage(images[0], 3, 9, expected, 40);
    }
  }
}

TEST_F(RasterImagesTest, EveryCompressionPrintsTheSameRows) {
  Set(DmField("absolutePositioning"), 1);
  constexpr int cx = 37, cy = 23;
  Surface bits = MakeBitmap(cx, cy, BMF_24BPP, [](int x, int y) {
    const int g = Level(x, y);
    return static_cast<ULONG>(g | (g << 8) | ((x < 10 ? 0 : g) << 16));
  });
  const RECTL dests[] = {{7, 3, 7 + 150, 3 + 90}, {150, 3, 7, 93}, {7, 93, 150, 3},
                         {7, 3, 7 + 150, 3 + 20}};
  for (const RECTL& dest : dests) {
    std::vector<std::uint64_t> plain;
    for (int compression : {0, 1, 2, 3, 4}) {
      SCOPED_TRACE(compression);
      Set(DmField("rasterCompression"), compression);
      const auto images = Draw([&] { return Stretch(bits.get(), dest, {0, 0, cx, cy}); });
      ASSERT_EQ(images.size(), 1u);
      EXPECT_EQ(images[0].method, compression == 0 ? 0 : 5);
      if (compression == 0) {
        plain = images[0].rows;
        EXPECT_EQ(plain.size(), static_cast<std::size_t>(std::abs(dest.bottom - dest.top)));
      } else {
        EXPECT_EQ(images[0].rows, plain);
      }
    }
  }
}

TEST_F(RasterImagesTest, ClippedOutputIsOneImagePerClipRectangle) {
  Set(DmField("absolutePositioning"), 1);
  constexpr int cx = 24, cy = 16;
  Surface bits = MakeBitmap(cx, cy, BMF_32BPP, [](int x, int y) {
    const int g = Level(x, y);
    return static_cast<ULONG>(g | (g << 8) | (g << 16));
  });
  const Picture picture{cx, cy, [&](int x, int y) { return Level(x, y); }, false};
  for (bool mirrored : {false, true}) {
    SCOPED_TRACE(mirrored);
    const RECTL dest = mirrored ? RECTL{120, 10, 20, 70} : RECTL{20, 10, 120, 70};
    const Rows whole = Reference(picture, dest);
    const std::vector<RECTL> rects = {{0, 0, 50, 30}, {70, 0, 300, 30}, {25, 30, 90, 45}};
    Clip clip(eng::CreateClipFromRects(rects));
    const auto images = Draw([&] { return Stretch(bits.get(), dest, {0, 0, cx, cy}, clip.get()); });
    ASSERT_EQ(images.size(), 3u);
    const RECTL visible[] = {{20, 10, 50, 30}, {70, 10, 120, 30}, {25, 30, 90, 45}};
    for (int i = 0; i < 3; ++i) {
      const RECTL& v = visible[i];
      ExpectImage(images[i], v.left, v.top, Crop(whole, v.left - 20, v.top - 10, v.right - 20, v.bottom - 10),
                  v.right - v.left);
    }
    // A rectangle clip that holds the whole image changes nothing.
    Clip around = ClipOf({{0, 0, 500, 300}});
    auto one = Draw([&] { return Stretch(bits.get(), dest, {0, 0, cx, cy}, around.get()); });
    ASSERT_EQ(one.size(), 1u);
    ExpectImage(one[0], 20, 10, whole, 100);
    // One that cuts it: the intersection only.
    Clip cut = ClipOf({{50, 20, 500, 300}});
    one = Draw([&] { return Stretch(bits.get(), dest, {0, 0, cx, cy}, cut.get()); });
    ASSERT_EQ(one.size(), 1u);
    ExpectImage(one[0], 50, 20, Crop(whole, 30, 10, 100, 60), 70);
  }
}

TEST_F(RasterImagesTest, ScaledUpJobsKeepImagesOnThePage) {
  Set(DmField("absolutePositioning"), 1);
  const std::vector<std::string> art = {"#.#.#.#.#.", ".#.#.#.#.#"};
  Surface bits = MonoBitmap(art);
  const RECTL dest{-4, 2, 6, 4};
  // At 100 % the image goes out whole, hanging over the edge.
  auto images = Draw([&] { return Copy(bits.get(), dest, {0, 0}, nullptr, &mono_); });
  ASSERT_EQ(images.size(), 1u);
  ExpectImage(images[0], -4, 2, ArtRows(art), 10);
  // Scaled up, only what lies on the page.
  Set(DmField("scalePercent"), 200);
  images = Draw([&] { return Copy(bits.get(), dest, {0, 0}, nullptr, &mono_); });
  ASSERT_EQ(images.size(), 1u);
  ExpectImage(images[0], 0, 2, Crop(ArtRows(art), 4, 0, 10, 2), 6);
  // Unless the page is fitted.
  Set(DmField("fitActive"), 1);
  images = Draw([&] { return Copy(bits.get(), dest, {0, 0}, nullptr, &mono_); });
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].x, -4);
}

TEST_F(RasterImagesTest, SourceOperationsThroughBitBlt) {
  Set(DmField("absolutePositioning"), 1);
  const std::vector<std::string> art = {"#..#", ".##."};
  Surface bits = MonoBitmap(art);
  std::string stream = Job([&] { EXPECT_TRUE(Blt({4, 4, 8, 6}, 0x6666, nullptr, nullptr, bits.get())); });
  EXPECT_NE(stream.find("\x1B*l102O"), std::string::npos);
  auto images = PrintedImages(stream);
  ASSERT_EQ(images.size(), 1u);
  ExpectImage(images[0], 4, 4, ArtRows(art), 4);
  // With a pattern: the brush becomes the PCL pattern before the image.
  Brush gray = SolidBrush(0x808080);
  stream = Job([&] { EXPECT_TRUE(Blt({4, 4, 8, 6}, 0xB8B8, gray.get(), nullptr, bits.get())); });
  const std::size_t pattern = stream.find("\x1B*c383g44W");
  ASSERT_NE(pattern, std::string::npos) << stream;
  EXPECT_LT(pattern, stream.find("\x1B*r1A"));
  EXPECT_NE(stream.find("\x1B*l184O"), std::string::npos);
  // A source operation without a source fails.
  stream = Job([&] { EXPECT_FALSE(Blt({4, 4, 8, 6}, 0xCCCC)); });
  EXPECT_EQ(stream.find("\x1B*r"), std::string::npos);
}

TEST_F(RasterImagesTest, ForcedColourDrawsWithItsOwnOperation) {
  pdev()->flags |= kv5e::kFlagForcedColour;
  Surface bits = MonoBitmap({"#."});
  const std::string stream = Job([&] { EXPECT_TRUE(Copy(bits.get(), {4, 4, 6, 5}, {0, 0}, nullptr, &mono_)); });
  EXPECT_NE(stream.find("\x1B*l160O"), std::string::npos) << stream;
}

TEST_F(RasterImagesTest, MaskedBlitsAreLeftToTheEngine) {
  // The engine draws a masked blit itself: on a bitmap target the result
  // equals EngBitBlt's own.
  Surface source = MakeBitmap(8, 4, BMF_24BPP, [](int x, int) { return x < 4 ? 0u : 0xFFFFFFu; });
  Surface mask = MakeBitmap(8, 4, BMF_1BPP, [](int x, int y) { return (x + y) % 2 ? 1u : 0u; });
  Surface viaDriver = MakeBitmap(8, 4, BMF_24BPP, [](int, int) { return 0x808080u; });
  Surface viaEngine = MakeBitmap(8, 4, BMF_24BPP, [](int, int) { return 0x808080u; });
  RECTL rect{0, 0, 8, 4};
  POINTL origin{0, 0};
  const ROP4 rop = 0xAACC;  // source where the mask is set, destination elsewhere
  EXPECT_TRUE(kv5e::DrvBitBlt(viaDriver.get(), source.get(), mask.get(), nullptr, nullptr, &rect,
                              &origin, &origin, nullptr, nullptr, rop));
  EXPECT_TRUE(EngBitBlt(viaEngine.get(), source.get(), mask.get(), nullptr, nullptr, &rect, &origin,
                        &origin, nullptr, nullptr, rop));
  int changed = 0;
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) {
      EXPECT_EQ(eng::GetPixel(viaDriver.get(), x, y), eng::GetPixel(viaEngine.get(), x, y));
      changed += eng::GetPixel(viaDriver.get(), x, y) != 0x808080u;
    }
  }
  EXPECT_GT(changed, 0);
  // Without a mask a ROP4 beyond 16 bits is refused.
  EXPECT_FALSE(Blt({0, 0, 8, 8}, 0x10000));
}

TEST_F(RasterImagesTest, CopyFromADeviceSurfaceErasesToWhite) {
  Surface target = MakeBitmap(6, 6, BMF_24BPP, [](int, int) { return 0u; });
  SURFOBJ device{};
  device.iType = STYPE_DEVICE;
  RECTL rect{1, 1, 4, 4};
  POINTL origin{0, 0};
  EXPECT_TRUE(kv5e::DrvCopyBits(target.get(), &device, nullptr, nullptr, &rect, &origin));
  EXPECT_EQ(eng::GetPixel(target.get(), 2, 2) & 0xFFFFFF, 0xFFFFFFu);
  EXPECT_EQ(eng::GetPixel(target.get(), 0, 0), 0u);
  // Bits onto a surface that is not the device's: refused.
  Surface bits = MonoBitmap({"#."});
  EXPECT_FALSE(kv5e::DrvCopyBits(target.get(), bits.get(), nullptr, nullptr, &rect, &origin));
}

TEST_F(RasterImagesTest, GarbageInDrawsNothingOrFails) {
  Surface bits = MonoBitmap({"#.#.", ".#.#"});
  const std::string stream = Job([&] {
    // Source windows outside the bitmap, empty or negative.
    EXPECT_TRUE(Copy(bits.get(), {10, 10, 14, 12}, {4, 0}));
    EXPECT_TRUE(Copy(bits.get(), {10, 10, 14, 12}, {-4, 0}));
    EXPECT_TRUE(Copy(bits.get(), {10, 10, 14, 12}, {0, 2}));
    EXPECT_TRUE(Stretch(bits.get(), {10, 10, 14, 12}, {4, 2, 0, 0}));
    EXPECT_TRUE(Stretch(bits.get(), {10, 10, 14, 12}, {0, 0, 0, 2}));
    // A format that cannot be read.
    SURFOBJ odd = *bits.get();
    odd.iBitmapFormat = 9;
    EXPECT_TRUE(Copy(&odd, {10, 10, 14, 12}));
    // Rows shorter than the width say: refused.
    SURFOBJ narrow = *bits.get();
    narrow.sizlBitmap.cx = 100000;
    EXPECT_FALSE(Copy(&narrow, {10, 10, 14, 12}));
    SURFOBJ bitless = *bits.get();
    bitless.pvScan0 = nullptr;
    EXPECT_FALSE(Copy(&bitless, {10, 10, 14, 12}));
    EXPECT_FALSE(Copy(nullptr, {10, 10, 14, 12}));
  });
  EXPECT_EQ(stream.find("\x1B*r"), std::string::npos) << stream;
}

TEST_F(RasterImagesTest, HugeDestinationsAreRenderedOnlyOnThePage) {
  Set(DmField("absolutePositioning"), 1);
  Surface bits = MonoBitmap({"#.", ".#"});
  const RECTL huge{-1000000000, -1000000000, 1000000000, 1000000000};
  const auto images = Draw([&] { return Stretch(bits.get(), huge, {0, 0, 2, 2}, nullptr, &mono_); });
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].x, 0);
  EXPECT_EQ(images[0].y, 0);
  EXPECT_EQ(images[0].width, kPageWidth);
  EXPECT_EQ(images[0].height, kPageHeight);
  // The page lies inside the top-left source pixel (black).
  const Bytes black((kPageWidth + 7) / 8, 0xFF);
  EXPECT_EQ(images[0].rows.front(), pcl::RowHash(black));
}

TEST_F(RasterImagesTest, AllocationFailureEndsTheCall) {
  Surface bits = MonoBitmap({"#.#.", ".#.#"});
  const std::string stream = Job([&] {
    kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0);
    EXPECT_FALSE(Copy(bits.get(), {10, 10, 14, 12}, {0, 0}, nullptr, &mono_));
    Clip clip = ClipOf({{0, 0, 12, 100}, {0, 100, 200, 200}});
    kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0);
    EXPECT_FALSE(Copy(bits.get(), {10, 10, 14, 12}, {0, 0}, clip.get(), &mono_));
    kvplat::fault::ClearAll();
  });
  EXPECT_EQ(stream.find("\x1B*r1A"), std::string::npos) << stream;
  // What was said before the failure stays said.
  EXPECT_NE(stream.find("\x1B*l204O"), std::string::npos);
}

TEST_F(RasterImagesTest, ShortMemoryRendersClippedImagesInBands) {
  Set(DmField("absolutePositioning"), 1);
  SetPage(4000, 2600);
  Surface bits = MakeBitmap(50, 50, BMF_1BPP, [](int x, int y) { return (x * 7 + y * 3) % 5 ? 1u : 0u; });
  Clip clip = ClipOf({{0, 0, 4000, 2500}});
  const RECTL dest{0, 0, 4000, 2600};
  const auto whole = Draw([&] { return Stretch(bits.get(), dest, {0, 0, 50, 50}, clip.get(), &mono_); });
  ASSERT_EQ(whole.size(), 1u);
  // The intermediate image (500 bytes a row, 2500 rows) cannot be had: bands
  // of 1 MiB.
  kv5e::FreeRasterBuffers(pdev()->raster);
  const auto banded = Draw([&] {
    kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 1, 1);
    return Stretch(bits.get(), dest, {0, 0, 50, 50}, clip.get(), &mono_);
  });
  ASSERT_EQ(banded.size(), 2u);
  const long band = 1048576 / 500 + 1;
  EXPECT_EQ(banded[0].y, 0);
  EXPECT_EQ(banded[0].height, band);
  EXPECT_EQ(banded[1].y, band);
  EXPECT_EQ(banded[1].height, 2500 - band);
  std::vector<std::uint64_t> rows = banded[0].rows;
  rows.insert(rows.end(), banded[1].rows.begin(), banded[1].rows.end());
  EXPECT_EQ(rows, whole[0].rows);
}

TEST_F(RasterImagesTest, AbortedJobsAndBadDevicesDrawNothing) {
  Surface bits = MonoBitmap({"#."});
  const std::string stream = Job([&] {
    pdev()->flags |= kv5e::kFlagAborted;
    EXPECT_FALSE(Copy(bits.get(), {4, 4, 6, 5}));
    EXPECT_FALSE(Stretch(bits.get(), {4, 4, 6, 5}, {0, 0, 2, 1}));
    EXPECT_FALSE(Blt({4, 4, 6, 5}, 0x0000));
    EXPECT_FALSE(Blt({4, 4, 6, 5}, 0xCCCC, nullptr, nullptr, bits.get()));
    pdev()->flags &= ~kv5e::kFlagAborted;
    pdev()->magicTail = 0;
    EXPECT_FALSE(Copy(bits.get(), {4, 4, 6, 5}));
    EXPECT_FALSE(Blt({4, 4, 6, 5}, 0x0000));
    pdev()->magicTail = kv5e::kPdevMagic;
  });
  EXPECT_EQ(stream, "");
  // A write that fails aborts the job and the call reports it.
  Surface big = MakeBitmap(200, 200, BMF_1BPP, [](int x, int y) { return (x + y) % 3 ? 1u : 0u; });
  Job([&] {
    kvplat::fault::FailAfter(kvplat::fault::Point::WritePrinter, 100);
    EXPECT_FALSE(Copy(big.get(), {0, 0, 200, 200}, {0, 0}, nullptr, &mono_));
    EXPECT_TRUE(pdev()->flags & kv5e::kFlagAborted);
  });
}

}  // namespace
