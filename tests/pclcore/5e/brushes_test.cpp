#include "pclcore/5e/brushes.h"

#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_owned.h"

#include "kvplat/engine_objects.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"
#include "support/test_root.h"

namespace {

using kv5e::GrayTarget;
using kv5e::PclPdev;
using kvset::DmField;
namespace eng = kvplat::engine;

constexpr LONG kPageHeight = 6600;

std::string Header(int width, int height, int resolution) {
  const int values[] = {20, 0, 1, 0, height >> 8, height & 0xFF, width >> 8, width & 0xFF,
                        resolution >> 8, resolution & 0xFF, resolution >> 8, resolution & 0xFF};
  std::string header;
  for (int v : values) header.push_back(static_cast<char>(v));
  return header;
}

// A pattern download as the printer receives it.
std::string Download(int id, int width, int height, int resolution, const std::string& data) {
  return "\x1B*c" + std::to_string(id) + "g" + std::to_string(12 + data.size()) + "W" +
         Header(width, height, resolution) + data;
}

std::string AsText(std::span<const BYTE> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Dither of a uniform gray: one bit per dot, black where gray < threshold.
std::string UniformDither(int gray, int width, int height) {
  const int rowBytes = (width + 7) / 8;
  std::string data(static_cast<std::size_t>(rowBytes * height), '\0');
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (gray < kv5e::kThresholdMatrix[y % 16][x % 16]) {
        data[static_cast<std::size_t>(y * rowBytes + x / 8)] |= static_cast<char>(0x80 >> (x % 8));
      }
    }
  }
  return data;
}

using kvtest::Surface;
using kvtest::Xlate;
using kvtest::Brush;

class BrushesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pdev_ = std::make_unique<PclPdev>();
    PclPdev* pdev = pdev_.get();
    pdev->magicHead = pdev->magicTail = kv5e::kPdevMagic;
    kv5e::SetDm(pdev, DmField("dmPrintQuality"), 300);
    kv5e::SetDm(pdev, DmField("scalePercent"), 100);
    pdev->surfaceGeometry.printableHeight = kPageHeight;
    pdev->hpglState.bInHpgl2 = 1;
    kv5e::ResetHpglState(pdev->hpglState);
    kv5e::ResetOutputBuffer(pdev);
    target_.dhpdev = reinterpret_cast<DHPDEV>(pdev);
    target_.iType = STYPE_DEVICE;
  }
  void TearDown() override { kv5e::ResetHpglState(pdev_->hpglState); }

  PclPdev* pdev() { return pdev_.get(); }
  std::string Take() {
    std::string text(reinterpret_cast<const char*>(pdev_->outBuffer), pdev_->outFill);
    kv5e::ResetOutputBuffer(pdev_.get());
    return text;
  }
  Brush PatternBrush(SURFOBJ* pattern, XLATEOBJ* xlate, ULONG hatch = HS_DDI_MAX,
                     SURFOBJ* mask = nullptr) {
    eng::BrushSetup setup;
    setup.target = &target_;
    setup.pattern = pattern;
    setup.mask = mask;
    setup.xlate = xlate;
    setup.hatch = hatch;
    setup.realize = &kv5e::DrvRealizeBrush;
    return Brush(eng::CreateBrush(setup));
  }
  static Brush Solid(ULONG color) {
    eng::BrushSetup setup;
    setup.solidColor = color;
    return Brush(eng::CreateBrush(setup));
  }
  static Xlate ToDevice(ULONG format, std::span<const ULONG> colors = {}) {
    return Xlate(eng::CreateXlate(eng::FormatPalette(format, colors), eng::PaletteDesc{}));
  }
  // The data of the one pattern download in `written` ("" when there is none).
  static std::string DownloadedData(const std::string& written) {
    const std::size_t at = written.find("\x1B*c");
    if (at == std::string::npos) return "";
    const std::size_t g = written.find('g', at);
    const std::size_t w = written.find('W', g);
    const std::size_t size = std::stoul(written.substr(g + 1, w - g - 1));
    return written.substr(w + 1 + 12, size - 12);
  }

  kvtest::TempRoot root_;
  std::unique_ptr<PclPdev> pdev_;
  SURFOBJ target_{};
};

TEST(GrayPatterns, EveryLevelHasTheDotsTheMatrixGivesIt) {
  EXPECT_EQ(kv5e::GrayLevel(0x00808080), 128);
  EXPECT_EQ(kv5e::GrayLevel(0x00FFFFFF), 255);
  EXPECT_EQ(kv5e::GrayLevel(0x000000FF), 76);   // red
  EXPECT_EQ(kv5e::GrayLevel(0x0000FF00), 153);  // green
  EXPECT_EQ(kv5e::GrayLevel(0x00FF0000), 25);   // blue
  for (int k = 0; k < 256; ++k) {
    int dots = 0;
    const auto pattern = kv5e::GrayPattern(k);
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        const bool black = (pattern[static_cast<std::size_t>(y * 2 + x / 8)] >> (7 - x % 8)) & 1;
        EXPECT_EQ(black, kv5e::kThresholdMatrix[y][x] <= k) << k << " " << x << "," << y;
        dots += black;
      }
    }
    // Values 1..255 occur once, 128 twice.
    EXPECT_EQ(dots, k + (k >= 128 ? 1 : 0)) << k;
  }
}

TEST_F(BrushesTest, BlackAndWhiteNeverDownloadAPattern) {
  struct Case {
    int gray;
    GrayTarget target;
    std::uint8_t startInHpgl2;
    std::string expected;
  };
  const Case cases[] = {
      {0, GrayTarget::Fill, 1, "FT"},
      {255, GrayTarget::Fill, 1, "FT10,0"},
      {0, GrayTarget::Pen, 1, "SV"},
      {255, GrayTarget::Pen, 0, "\x1B%1BSV1,0"},
      {255, GrayTarget::PclPattern, 1, "\x1B%1A\x1B*v1T"},
      {0, GrayTarget::PclPattern, 0, "\x1B*v0T"},
  };
  for (const Case& c : cases) {
    kv5e::ResetHpglState(pdev()->hpglState);
    pdev()->hpglState.bInHpgl2 = c.startInHpgl2;
    kv5e::SelectGray(pdev(), c.gray, c.target);
    EXPECT_EQ(Take(), c.expected) << c.gray << " " << static_cast<int>(c.target);
  }
}

TEST_F(BrushesTest, GrayLevelDownloadsItsPatternOncePerPage) {
  const std::string pattern127 = AsText(kv5e::GrayPattern(127));
  const std::string download = Download(383, 16, 16, 300, pattern127);
  ASSERT_EQ(download.size(), std::string("\x1B*c383g44W").size() + 44);
  Brush gray = Solid(0x00808080);
  ASSERT_TRUE(kv5e::SelectHpglBrush(pdev(), gray.get(), nullptr, false));
  EXPECT_EQ(Take(), "\x1B%1A" + download + "\x1B%1BFT22,383");
  ASSERT_TRUE(kv5e::SelectHpglBrush(pdev(), gray.get(), nullptr, false));
  EXPECT_EQ(Take(), "");
  ASSERT_TRUE(kv5e::SelectHpglBrush(pdev(), gray.get(), nullptr, true));
  EXPECT_EQ(Take(), "SV22,383");
  kv5e::SelectPclBrush(pdev(), gray.get());
  EXPECT_EQ(Take(), "\x1B%1A\x1B*c383G\x1B*v4T");
  // A new page downloads it again.
  kv5e::ResetHpglState(pdev()->hpglState);
  kv5e::SelectPclBrush(pdev(), gray.get());
  EXPECT_EQ(Take(), download + "\x1B*v4T");
}

TEST_F(BrushesTest, EveryGrayLevelSelectsItsOwnFill) {
  for (int gray = 0; gray < 256; ++gray) {
    kv5e::ResetHpglState(pdev()->hpglState);
    kv5e::SelectGray(pdev(), gray, GrayTarget::Fill);
    const std::string written = Take();
    if (gray == 0) {
      EXPECT_EQ(written, "FT");
    } else if (gray == 255) {
      EXPECT_EQ(written, "FT10,0");
    } else {
      const int id = 511 - gray;
      EXPECT_EQ(written, "\x1B%1A" + Download(id, 16, 16, 300, AsText(kv5e::GrayPattern(255 - gray))) +
                             "\x1B%1BFT22," + std::to_string(id))
          << gray;
    }
  }
}

TEST_F(BrushesTest, AnchorCornerFollowsTheBrushOrigin) {
  Brush black = Solid(0);
  POINTL origin{5, 7};
  ASSERT_TRUE(kv5e::SelectHpglBrush(pdev(), black.get(), &origin, false));
  EXPECT_EQ(Take(), "AC5,6593FT");
  origin.y = 9;
  ASSERT_TRUE(kv5e::SelectHpglBrush(pdev(), black.get(), &origin, false));
  EXPECT_EQ(Take(), "AC5,6591");
  ASSERT_TRUE(kv5e::SelectHpglBrush(pdev(), black.get(), &origin, false));
  EXPECT_EQ(Take(), "");
}

TEST_F(BrushesTest, HatchesDownloadAs16By16PatternsFromTheirTable) {
  const std::uint16_t cross[16] = {0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0,
                                   0xFFFF, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0};
  std::string crossRows;
  for (std::uint16_t row : cross) {
    crossRows.push_back(static_cast<char>(row >> 8));
    crossRows.push_back(static_cast<char>(row & 0xFF));
  }
  Brush hatch = PatternBrush(nullptr, nullptr, HS_CROSS);
  ASSERT_TRUE(kv5e::SelectHpglBrush(pdev(), hatch.get(), nullptr, false));
  EXPECT_EQ(Take(), "\x1B%1A" + Download(104, 16, 16, 300, crossRows) +
                        "\x1B*c104G\x1B*v4T\x1B%1BFT22,104");
  EXPECT_EQ(pdev()->hpglState.iPen, -1);
  EXPECT_EQ(pdev()->hpglState.bPclPatternSet, 1);
  EXPECT_EQ(pdev()->hpglState.iLastPatternId, 104);

  // Every hatch, also with the engine's two-colour table; doubled neither at 600 dpi.
  kv5e::SetDm(pdev(), DmField("dmPrintQuality"), 600);
  const ULONG colors[2] = {0x00FFFFFF, 0x00000000};
  Xlate table = ToDevice(BMF_1BPP, colors);
  pdev()->hpglState.bInHpgl2 = 0;
  for (ULONG style = 0; style < HS_DDI_MAX; ++style) {
    Brush b = PatternBrush(nullptr, style % 2 ? table.get() : nullptr, style);
    kv5e::SelectPclBrush(pdev(), b.get());
    const std::string written = Take();
    EXPECT_EQ(written.substr(0, 10), "\x1B*c" + std::to_string(100 + style) + "g44W") << style;
    EXPECT_EQ(DownloadedData(written), AsText(kv5e::HatchPattern(static_cast<int>(style)))) << style;
  }
}

TEST_F(BrushesTest, OneBitPatternIsDoubledAt600Dpi) {
  const BYTE rows[8] = {0x81, 0x42, 0x24, 0x18, 0xF0, 0x0F, 0xAA, 0x55};
  Surface pattern(eng::CreateBitmapSurface(SIZEL{8, 8}, BMF_1BPP));
  ASSERT_NE(pattern, nullptr);
  for (int y = 0; y < 8; ++y) static_cast<BYTE*>(pattern->pvScan0)[y * pattern->lDelta] = rows[y];
  Xlate xlate = ToDevice(BMF_1BPP);  // 0 black, 1 white
  ASSERT_TRUE(xlate->flXlate & XO_TABLE);

  // 300 dpi: as drawn, with the set bits (white) left blank.
  Brush brush = PatternBrush(pattern.get(), xlate.get(), 7);
  kv5e::SelectPclBrush(pdev(), brush.get());
  std::string expected;
  for (BYTE row : rows) expected.push_back(static_cast<char>(~row));
  std::string written = Take();
  EXPECT_EQ(written, "\x1B%1A" + Download(7, 8, 8, 300, expected) + "\x1B*c7G\x1B*v4T");

  // 600 dpi: every bit and every row twice.
  kv5e::SetDm(pdev(), DmField("dmPrintQuality"), 600);
  Brush doubled = PatternBrush(pattern.get(), xlate.get(), 7);
  kv5e::SelectPclBrush(pdev(), doubled.get());
  std::string twice;
  for (BYTE row : rows) {
    std::uint16_t wide = 0;
    for (int bit = 0; bit < 8; ++bit) {
      if (!((row >> (7 - bit)) & 1)) wide |= static_cast<std::uint16_t>(0xC000 >> (2 * bit));
    }
    for (int copy = 0; copy < 2; ++copy) {
      twice.push_back(static_cast<char>(wide >> 8));
      twice.push_back(static_cast<char>(wide & 0xFF));
    }
  }
  written = Take();
  EXPECT_EQ(written.substr(0, written.find('W') + 13), "\x1B*c7g44W" + Header(16, 16, 600));
  EXPECT_EQ(DownloadedData(written), twice);
}

TEST_F(BrushesTest, EverySourceFormatDithersToTheGrayOfItsColour) {
  const ULONG color = 0x00C89664;  // R 100, G 150, B 200
  struct Case {
    ULONG format;
    SIZEL size;
  };
  const Case cases[] = {{BMF_4BPP, {16, 16}}, {BMF_8BPP, {16, 16}}, {BMF_16BPP, {16, 16}},
                        {BMF_24BPP, {16, 16}}, {BMF_32BPP, {16, 16}}, {BMF_4BPP, {5, 3}},
                        {BMF_24BPP, {7, 2}},  {BMF_8BPP, {1, 1}}};
  for (int convert = 0; convert < 2; ++convert) {
    kv5e::SetDm(pdev(), DmField("colorConvertMode"), convert);
    for (int dpi : {300, 600}) {
      kv5e::SetDm(pdev(), DmField("dmPrintQuality"), dpi);
      for (const Case& c : cases) {
        Surface pattern(eng::CreateBitmapSurface(c.size, c.format));
        ASSERT_NE(pattern, nullptr);
        const ULONG colors[16] = {0x00FFFFFF, color};
        const bool indexed = c.format == BMF_4BPP || c.format == BMF_8BPP;
        const eng::PaletteDesc source = eng::FormatPalette(c.format, colors);
        const ULONG pixel = indexed ? 1 : eng::RgbToPalette(source, color);
        for (LONG y = 0; y < c.size.cy; ++y) {
          for (LONG x = 0; x < c.size.cx; ++x) eng::SetPixel(pattern.get(), x, y, pixel);
        }
        Xlate xlate(eng::CreateXlate(source, eng::PaletteDesc{}));
        const int gray = kv5e::GrayLevel(XLATEOBJ_iXlate(xlate.get(), pixel));
        const int factor = dpi == 600 ? 2 : 1;
        Brush brush = PatternBrush(pattern.get(), xlate.get(), 9);
        kv5e::SelectPclBrush(pdev(), brush.get());
        const std::string written = Take();
        EXPECT_EQ(DownloadedData(written),
                  UniformDither(gray, c.size.cx * factor, c.size.cy * factor))
            << "format " << c.format << " " << c.size.cx << "x" << c.size.cy << " dpi " << dpi
            << " convert " << convert;
        EXPECT_NE(written.find(Header(c.size.cx * factor, c.size.cy * factor, dpi)), std::string::npos);
      }
    }
  }
}

TEST_F(BrushesTest, WhitePixelsAreNeverBlackAndBlackOnesAlways) {
  for (ULONG color : {0x00FFFFFFu, 0x00000000u}) {
    Surface pattern(eng::CreateBitmapSurface(SIZEL{16, 16}, BMF_24BPP));
    const eng::PaletteDesc source = eng::FormatPalette(BMF_24BPP);
    for (LONG y = 0; y < 16; ++y) {
      for (LONG x = 0; x < 16; ++x) eng::SetPixel(pattern.get(), x, y, eng::RgbToPalette(source, color));
    }
    Xlate xlate(eng::CreateXlate(source, eng::PaletteDesc{}));
    Brush brush = PatternBrush(pattern.get(), xlate.get(), 8);
    kv5e::SelectPclBrush(pdev(), brush.get());
    EXPECT_EQ(DownloadedData(Take()), std::string(32, color == 0 ? '\xFF' : '\0')) << color;
  }
}

TEST_F(BrushesTest, MaskIsAppliedOnlyWhereItHasBytes) {
  // An 8-bit source of value 3 (black) under a one-bit mask of a single byte
  // per row, 0x01: the first pixel becomes 1 (white), the others keep 3.
  Surface pattern(eng::CreateBitmapSurface(SIZEL{8, 8}, BMF_8BPP));
  Surface mask(eng::CreateBitmapSurface(SIZEL{8, 8}, BMF_1BPP));
  for (LONG y = 0; y < 8; ++y) {
    for (LONG x = 0; x < 8; ++x) eng::SetPixel(pattern.get(), x, y, 3);
    static_cast<BYTE*>(mask->pvScan0)[y * mask->lDelta] = 0x01;
  }
  const ULONG colors[4] = {0x00FFFFFF, 0x00FFFFFF, 0x00FFFFFF, 0x00000000};
  Xlate xlate = ToDevice(BMF_8BPP, colors);
  Brush brush = PatternBrush(pattern.get(), xlate.get(), 8, mask.get());
  kv5e::SelectPclBrush(pdev(), brush.get());
  EXPECT_EQ(DownloadedData(Take()), std::string(8, '\x7F'));
}

TEST_F(BrushesTest, UnreadableSourcesPrintWhiteAndAbsurdOnesAreRefused) {
  // A format the driver does not read: an empty (white) pattern of its size.
  std::vector<BYTE> bits(64, 0xFF);
  SURFOBJ odd{};
  odd.sizlBitmap = SIZEL{8, 8};
  odd.iBitmapFormat = 8;  // run-length encoded
  odd.pvScan0 = bits.data();
  odd.lDelta = 8;
  Brush oddBrush = PatternBrush(&odd, nullptr, 6);
  kv5e::SelectPclBrush(pdev(), oddBrush.get());
  EXPECT_EQ(Take(), "\x1B%1A" + Download(6, 8, 8, 300, std::string(8, '\0')) + "\x1B*c6G\x1B*v4T");

  // Far too large once doubled, or of no size: no realization, nothing written.
  kv5e::SetDm(pdev(), DmField("dmPrintQuality"), 600);
  SURFOBJ huge = odd;
  huge.sizlBitmap = SIZEL{30000, 30000};
  huge.iBitmapFormat = BMF_24BPP;
  SURFOBJ empty = odd;
  empty.sizlBitmap = SIZEL{-4, 8};
  for (SURFOBJ* source : {&huge, &empty}) {
    Brush brush = PatternBrush(source, nullptr, 6);
    EXPECT_EQ(BRUSHOBJ_pvGetRbrush(brush.get()), nullptr);
    EXPECT_FALSE(kv5e::SelectHpglBrush(pdev(), brush.get(), nullptr, false));
    kv5e::SelectPclBrush(pdev(), brush.get());
    EXPECT_EQ(Take(), "");
  }
  // Without a device instance behind the target.
  SURFOBJ stranger{};
  Brush b = Solid(0);
  EXPECT_FALSE(kv5e::DrvRealizeBrush(b.get(), &stranger, &odd, nullptr, nullptr, 6));
}

TEST_F(BrushesTest, ForcedColourTakesOverThePclPattern) {
  pdev()->flags |= kv5e::kFlagForcedColour;
  pdev()->watermarkColor = 0x00FFFFFF;
  Brush black = Solid(0);
  pdev()->hpglState.bInHpgl2 = 0;
  kv5e::SelectPclBrush(pdev(), black.get());
  EXPECT_EQ(Take(), "\x1B*v1T");
  // The HP-GL/2 selection keeps the brush's own colour.
  ASSERT_TRUE(kv5e::SelectHpglBrush(pdev(), black.get(), nullptr, true));
  EXPECT_EQ(Take(), "\x1B%1BSV");
}

}  // namespace
