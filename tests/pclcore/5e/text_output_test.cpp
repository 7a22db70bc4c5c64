#include "pclcore/5e/text_output.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "bare_instance.h"
#include "job_fixture.h"
#include "kvplat/engine_fonts.h"
#include "kvplat/engine_objects.h"
#include "kvplat/fault.h"
#include "kvplat/spooler.h"
#include "pclcore/5e/brushes.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/hpgl_paths.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/soft_fonts.h"
#include "support/engine_owned.h"
#include "support/test_printer.h"
#include "support/test_root.h"
#include "tools/pcldump/pcl_decoder.h"

namespace {

using namespace std::literals;
using kv5e::PclPdev;
using kvset::DmField;
namespace eng = kvplat::engine;
namespace pcl = kvtools::pcl;

constexpr LONG kPageWidth = 4800;
constexpr LONG kPageHeight = 6400;
constexpr MIX kCopyPen = 0x0D0D;  // R2_COPYPEN for both mix halves
constexpr SIZEL k600{600, 600};
constexpr FLOATOBJ_XFORM kIdentity{1, 0, 0, 1, 0, 0};
const std::string ESC = "\x1B";

// ---- owned engine objects ---------------------------------------------------------------

struct FontDeleter {
  void operator()(FONTOBJ* f) const { eng::DeleteFontObject(f); }
};
using Font = std::unique_ptr<FONTOBJ, FontDeleter>;
struct StringDeleter {
  void operator()(STROBJ* s) const { eng::DeleteStringObject(s); }
};
using String = std::unique_ptr<STROBJ, StringDeleter>;
using kvtest::Brush;
using kvtest::Clip;

// A font of `face` with an em of `em` pixels at 600 dpi, turned by
// `escapement` tenths of a degree.
Font Realize(std::u16string_view face, LONG em, LONG escapement = 0, BYTE charSet = 0,
             LONG weight = 400) {
  LOGFONTW logical{};
  logical.lfHeight = -em;
  logical.lfWeight = weight;
  logical.lfEscapement = escapement;
  logical.lfOrientation = escapement;
  logical.lfCharSet = charSet;
  for (std::size_t i = 0; i < face.size() && i + 1 < LF_FACESIZE; ++i) logical.lfFaceName[i] = face[i];
  return Font(eng::CreateFontObject(logical, k600, kIdentity));
}

String Text(FONTOBJ* font, std::u16string_view text, POINTL origin,
            std::vector<LONG> advances = {}) {
  return String(eng::CreateStringObject(
      font, std::span<const WCHAR>(reinterpret_cast<const WCHAR*>(text.data()), text.size()), false,
      origin, advances));
}

Brush SolidBrush(ULONG color) {
  eng::BrushSetup setup;
  setup.solidColor = color;
  return Brush(eng::CreateBrush(setup));
}

Clip ClipOf(std::initializer_list<RECTL> rects) {
  std::vector<RECTL> list(rects);
  return Clip(eng::CreateClipFromRects(list));
}

bool HaveFont(std::u16string_view family, const char* file) {
  eng::ResolvedFace face;
  return eng::ResolveFace(family, 400, false, &face) && face.standsFor &&
         face.path.find(file) != std::string::npos;
}

// ---- reading the stream -------------------------------------------------------------------

// What a text call printed, in order: PCL characters as "P<c>", label
// characters as "L<c>", pen-up moves as "M<x>,<y>" (device y), PCL cursor
// moves as "X<x>", "Y<y>", HP-GL/2 instructions of interest by name with
// their parameters. Soft-font downloads are left out.
std::vector<std::string> Script(const std::string& stream) {
  std::vector<std::string> script;
  const auto commands = pcl::Decode(stream);
  for (const pcl::Command& c : commands) {
    switch (c.kind) {
      case pcl::Kind::Text:
        if (c.name == "text") {
          for (char ch : c.text) script.push_back("P" + std::string(1, ch));
        } else {
          script.push_back("P<" + c.name + ">");
        }
        break;
      case pcl::Kind::Hpgl:
        if (c.name == "LB") {
          for (char ch : c.text) {
            if (ch != '\x03') script.push_back("L" + std::string(1, ch));
          }
        } else if (c.name == "PE") {
          for (const pcl::PeOp& op : c.pe) {
            if (op.type == pcl::PeOp::Type::Move && op.absolute) {
              script.push_back("M" + std::to_string(op.x) + "," + std::to_string(kPageHeight - op.y));
            }
          }
        } else if (c.name == "IW" || c.name == "DI" || c.name == "LM" || c.name == "SD" ||
                   c.name == "SB" || c.name == "FI") {
          std::string line = c.name;
          for (std::size_t i = 0; i < c.params.size(); ++i) line += (i ? "," : "") + c.params[i];
          script.push_back(line);
        }
        break;
      case pcl::Kind::Pcl: {
        const std::string key = pcl::Key(c);
        if (key == "ESC *p#X") script.push_back("X" + c.value_text);
        if (key == "ESC *p#Y") script.push_back("Y" + c.value_text);
        if (key == "ESC &a#P" || key == "ESC &t#P" || key == "ESC &d#D" || c.name == "ESC &d@") {
          script.push_back(c.name);
        }
        break;
      }
      default:
        break;
    }
  }
  return script;
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
  return text;
}

// Characters of the script printed one way ('P' or 'L').
std::string Printed(const std::vector<std::string>& script, char how) {
  std::string text;
  for (const std::string& item : script) {
    if (item.size() == 2 && item[0] == how) text += item[1];
  }
  return text;
}

// ---- a device instance writing to a spooler job ----------------------------------------------

class TextOutputTest : public kvtest::BareInstanceTest {
 protected:
  void SetUp() override {
    MakeInstance(u"Text");
    if (HasFatalFailure()) return;
    PclPdev* pdev = pdev_.get();
    Set(DmField("dmPrintQuality"), 600);
    Set(DmField("scalePercent"), 100);
    Set(DmField("trueTypeDownload"), 1);
    Set(DmField("trueTypeMethod"), 0);
    Set(DmField("absolutePositioning"), 1);
    pdev->cxSurface = kPageWidth;
    pdev->cySurface = kPageHeight;
    pdev->surfaceGeometry.printableHeight = kPageHeight;
    kv5e::ResetHpglState(pdev->hpglState);
    kv5e::ResetOutputBuffer(pdev);
    surface_.dhpdev = reinterpret_cast<DHPDEV>(pdev);
    surface_.iType = STYPE_DEVICE;
    surface_.sizlBitmap = SIZEL{kPageWidth, kPageHeight};
    black_ = SolidBrush(0x000000);
    white_ = SolidBrush(0xFFFFFF);
  }
  kv5e::TextState& text() { return pdev_->hpglState.text; }

  // What was written since the last call (small amounts, still in the buffer).
  std::string Take() {
    std::string out(reinterpret_cast<const char*>(pdev_->outBuffer), pdev_->outFill);
    kv5e::ResetOutputBuffer(pdev_.get());
    return out;
  }
  // Runs `body` in a job of its own and returns what the port received.
  std::string Job(const std::function<void()>& body) {
    // A job of its own: the printer starts in PCL without the fonts of earlier jobs.
    pdev_->hpglState.bInHpgl2 = 0;
    kv5e::FreeSoftFonts(pdev_.get());
    return RunJob(body);
  }
  BOOL Draw(STROBJ* str, FONTOBJ* font, CLIPOBJ* clip = nullptr, RECTL* extra = nullptr,
            RECTL* opaque = nullptr, BRUSHOBJ* fore = nullptr, BRUSHOBJ* back = nullptr) {
    POINTL origin{0, 0};
    return kv5e::DrvTextOut(&surface_, str, font, clip, extra, opaque,
                            fore != nullptr ? fore : black_.get(), back, &origin, kCopyPen);
  }
  // The script of one call drawn in a job of its own.
  std::vector<std::string> DrawScript(STROBJ* str, FONTOBJ* font, CLIPOBJ* clip = nullptr) {
    const std::string stream = Job([&] { EXPECT_TRUE(Draw(str, font, clip)); });
    return Script(stream);
  }

  kvtest::TempRoot root_;
  SURFOBJ surface_{};
  Brush black_, white_;
};

// Tests that draw with the machine's fonts.
class TextRunTest : public TextOutputTest {
 protected:
  void SetUp() override {
    if (!HaveFont(u"Liberation Sans", "LiberationSans")) GTEST_SKIP() << "fonts-liberation missing";
    TextOutputTest::SetUp();
  }
};

// ---- angles and direction vectors ------------------------------------------------------------

TEST(TextGeometry, DirectionVectorsFollowTheSineTable) {
  struct Case {
    int tenths, length, run, rise;
  };
  const Case cases[] = {
      {0, 1000, 1000, 0},    {3600, 1000, 1000, 0},  {900, 1000, 0, 1000},
      {1800, 1000, -1000, 0}, {2700, 1000, 0, -1000}, {-900, 1000, 0, -1000},
      {400, 1000, 766, 643},  {305, 1000, 862, 508},  {1350, 1000, -707, 707},
      {2250, 100, -71, -71},  {3150, 1000, 707, -707}, {4500, 1000, 0, 1000},
      {450, 0, 0, 0},
  };
  for (const Case& c : cases) {
    int run = 12345, rise = 12345;
    kv5e::DirectionVector(c.tenths, c.length, &run, &rise);
    EXPECT_EQ(run, c.run) << c.tenths;
    EXPECT_EQ(rise, c.rise) << c.tenths;
  }
}

TEST(TextGeometry, TextAngleIsTheEscapementInWholeDegrees) {
  if (!HaveFont(u"Liberation Sans", "LiberationSans")) GTEST_SKIP() << "fonts-liberation missing";
  struct Case {
    LONG escapement;
    int degrees;
  };
  for (const Case& c : {Case{0, 0}, Case{900, 90}, Case{1800, 180}, Case{2700, 270},
                        Case{370, 37}, Case{3150, 315}, Case{1234, 123}, Case{3590, 359}}) {
    Font font = Realize(u"Liberation Sans", 200, c.escapement);
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(kv5e::TextAngle(nullptr, font.get()), c.degrees) << c.escapement;
  }
  EXPECT_EQ(kv5e::TextAngle(nullptr, nullptr), 0);
}

// ---- label state, wide characters, rectangles -------------------------------------------------

TEST_F(TextOutputTest, LabelDirectionGoesOutOnlyWhenItChanges) {
  text().scalable = 1;
  kv5e::SetLabelDirection(pdev(), 90);
  EXPECT_EQ(Take(), ESC + "%1BDI0,1000");
  kv5e::SetLabelDirection(pdev(), 90);
  EXPECT_EQ(Take(), "");
  kv5e::SetLabelDirection(pdev(), 40);
  EXPECT_EQ(Take(), "DI766,643");
  // A font that cannot turn gets the default direction once.
  text().scalable = 0;
  kv5e::SetLabelDirection(pdev(), 40);
  EXPECT_EQ(Take(), "DI;");
  kv5e::SetLabelDirection(pdev(), 90);
  EXPECT_EQ(Take(), "");
  EXPECT_EQ(text().labelDirection, 0);
}

TEST_F(TextOutputTest, LabelFontCarriesTheSelectionInForce) {
  struct Case {
    std::uint8_t scalable, sizeKind;
    int sizeValue, symbolSet, typeface, weight, style;
    std::string expected;
  };
  const Case cases[] = {
      {1, 1, 1200, 629, 16385, 0, 0, "SB;SD1,629,2,1,4,12.00,5,0,6,0,7,16385FI16385;"},
      {1, 2, 1000, 629, 4099, 3, 1, "SB;SD1,629,2,0,3,10.00,5,1,6,3,7,4099FI4099;"},
      {0, 1, 625, 619, 1001, 0, 0, "SB1;SD1,619,2,1,4,6.25,5,0,6,0,7,1001FI1001;"},
      {0, 0, 0, 293, 16386, 0, 0, "SB1;SD1,293,5,0,6,0,7,16386FI16386;"},
  };
  for (const Case& c : cases) {
    pdev()->hpglState.bInHpgl2 = 1;
    text().scalable = c.scalable;
    text().sizeKind = c.sizeKind;
    text().sizeValue = c.sizeValue;
    text().symbolSet = c.symbolSet;
    text().typeface = c.typeface;
    text().strokeWeight = c.weight;
    text().style = c.style;
    text().labelFontState = 1;
    kv5e::DefineLabelFont(pdev());
    EXPECT_EQ(Take(), c.expected);
    EXPECT_EQ(text().labelFontState, 2);
  }
}

TEST_F(TextOutputTest, WideCharactersByRunKind) {
  struct Case {
    int charSet;
    std::uint8_t notAnsi, rawCodes;
    std::uint32_t code;
    std::string expected;
  };
  const Case cases[] = {
      // Shift-JIS: single-byte codes above 127 step out of the double-byte parsing.
      {128, 0, 0, 0xB1, ESC + "&t0P\xB1" + ESC + "&t31P"},
      {129, 0, 0, 0xC0, ESC + "&t0P\xC0" + ESC + "&t38P"},
      {128, 0, 0, 'A', "A"},
      {128, 0, 0, 0x82A0, "\x82\xA0"},
      {128, 0, 0, 13, ESC + "&p1X\r"},
      // Not-ANSI runs: their own codes, two bytes when raw.
      {3, 1, 0, 0xE9, "\xE9"},
      {3, 1, 1, 0x8141, "\x81\x41"},
      {3, 1, 1, 'A', std::string("\0A", 2)},
  };
  for (const Case& c : cases) {
    text().charSet = static_cast<std::uint8_t>(c.charSet);
    text().doubleByte = c.notAnsi ? 0 : 1;
    text().notAnsi = c.notAnsi;
    text().rawCodes = c.rawCodes;
    kv5e::WriteWideChar(pdev(), c.code);
    EXPECT_EQ(Take(), c.expected) << c.code;
  }
}

TEST_F(TextOutputTest, RectanglesAreFilledWithinTheClipAndThePage) {
  const RECTL rect{10, 20, 110, 30};
  kv5e::FillTextRectangle(pdev(), kCopyPen, black_.get(), rect, nullptr, true);
  EXPECT_EQ(Take(), ESC + "*v0N" + ESC + "*v1O" + ESC + "*l240O" + ESC + "*v0T" + ESC +
                        "*p10x20Y" + ESC + "*c101a11b5P");

  Clip single = ClipOf({{50, 0, 80, 100}});
  kv5e::FillTextRectangle(pdev(), kCopyPen, black_.get(), rect, single.get(), false);
  EXPECT_EQ(Take(), ESC + "*p50x20Y" + ESC + "*c31a11b5P");

  Clip two = ClipOf({{0, 0, 40, 25}, {60, 25, 200, 100}});
  kv5e::FillTextRectangle(pdev(), kCopyPen, black_.get(), rect, two.get(), false);
  EXPECT_EQ(Take(), ESC + "*p10x20Y" + ESC + "*c31a6b5P" + ESC + "*p60x25Y" + ESC + "*c51a6b5P");

  // Nothing of it on the page; half of it on the page.
  kv5e::FillTextRectangle(pdev(), kCopyPen, black_.get(), RECTL{-50, 10, -10, 20}, nullptr, false);
  EXPECT_EQ(Take(), "");
  kv5e::FillTextRectangle(pdev(), kCopyPen, black_.get(), RECTL{kPageWidth - 5, 10, kPageWidth + 500, 20},
                          nullptr, false);
  EXPECT_EQ(Take(), ESC + "*p4795x10Y" + ESC + "*c6a11b5P");
}

// ---- DrvTextOut: arguments, rectangles, graphics text -----------------------------------------

TEST_F(TextRunTest, BadCallsFailAndEmptyRunsStillFillTheirRectangles) {
  Font font = Realize(u"Liberation Sans", 100);
  String empty = Text(font.get(), u"", {100, 200});
  ASSERT_NE(empty, nullptr);
  POINTL origin{0, 0};
  EXPECT_FALSE(kv5e::DrvTextOut(nullptr, empty.get(), font.get(), nullptr, nullptr, nullptr,
                                black_.get(), nullptr, &origin, kCopyPen));
  EXPECT_FALSE(kv5e::DrvTextOut(&surface_, nullptr, font.get(), nullptr, nullptr, nullptr,
                                black_.get(), nullptr, &origin, kCopyPen));
  SURFOBJ stranger = surface_;
  stranger.dhpdev = nullptr;
  EXPECT_FALSE(kv5e::DrvTextOut(&stranger, empty.get(), font.get(), nullptr, nullptr, nullptr,
                                black_.get(), nullptr, &origin, kCopyPen));
  EXPECT_EQ(Take(), "");

  RECTL opaque{100, 100, 200, 150};
  RECTL extra[] = {{100, 210, 200, 215}, {100, 180, 200, 184}, {0, 0, 0, 0}};
  EXPECT_TRUE(Draw(empty.get(), font.get(), nullptr, extra, &opaque, black_.get(), white_.get()));
  const std::string out = Take();
  EXPECT_NE(out.find(ESC + "*p100x100Y" + ESC + "*c101a51b5P"), std::string::npos) << out;
  // The underline and the strike-out, with the print model and brush once.
  EXPECT_NE(out.find(ESC + "*v0T" + ESC + "*p100x210Y" + ESC + "*c101a6b5P" + ESC +
                     "*p100x180Y" + ESC + "*c101a5b5P"),
            std::string::npos)
      << out;
  EXPECT_EQ(kvtest::Count(out, "5P"), 3);

  // Missing brushes draw nothing of what they would fill.
  POINTL o{0, 0};
  EXPECT_TRUE(kv5e::DrvTextOut(&surface_, empty.get(), font.get(), nullptr, extra, &opaque,
                               nullptr, nullptr, &o, kCopyPen));
  EXPECT_EQ(kvtest::Count(Take(), "5P"), 0);
}

TEST_F(TextRunTest, GraphicsTextSendsEachGlyphAsARasterImage) {
  Set(DmField("trueTypeMethod"), 2);
  Font font = Realize(u"Liberation Sans", 60);
  String str = Text(font.get(), u"Hi !", {300, 400});
  const std::string stream = Job([&] { EXPECT_TRUE(Draw(str.get(), font.get())); });
  const auto commands = pcl::Decode(stream);
  EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);
  // Three glyphs with ink; the space has none.
  EXPECT_EQ(pcl::Count(commands, "ESC *r1A"), 3u);
  EXPECT_EQ(pcl::Count(commands, "ESC *rC"), 3u);
  EXPECT_EQ(pcl::Count(commands, "ESC &t#P"), 0u) << "no PCL text";
  EXPECT_EQ(pcl::Count(commands, "LB"), 0u);
  // The rows are the glyph bitmaps themselves.
  std::size_t rows = 0, ink = 0;
  for (const pcl::RasterRows& r : pcl::Rows(commands)) rows += r.count, ink += r.ink;
  EXPECT_GT(rows, 60u);
  EXPECT_GT(ink, 500u);
}

TEST_F(TextRunTest, GraphicsGlyphsAreCutToThePageAndTheClip) {
  Set(DmField("trueTypeMethod"), 2);
  Font font = Realize(u"Liberation Sans", 100);
  // An "M" hanging over the left edge of the page starts at x 0.
  String str = Text(font.get(), u"M", {-20, 400});
  std::string stream = Job([&] { EXPECT_TRUE(Draw(str.get(), font.get())); });
  auto commands = pcl::Decode(stream);
  const pcl::Command* move = pcl::FindFirst(commands, "ESC *p#X");
  ASSERT_NE(move, nullptr) << pcl::Dump(commands);
  EXPECT_EQ(move->value, 0);
  EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);

  // A clip cutting 3 columns of the glyph cuts a whole byte; one that misses it leaves nothing.
  str = Text(font.get(), u"M", {1000, 400});
  HGLYPH hg = str->pgp[0].hg;
  PVOID data = nullptr;
  ASSERT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_GLYPHBITS, 1, &hg, &data), 1u);
  const GLYPHBITS* bits = static_cast<GLYPHDATA*>(data)->gdf.pgb;
  const LONG left = 1000 + bits->ptlOrigin.x;
  const LONG width = bits->sizlBitmap.cx;
  Clip clip = ClipOf({{left + 3, 0, 3000, 3000}});
  stream = Job([&] { EXPECT_TRUE(Draw(str.get(), font.get(), clip.get())); });
  commands = pcl::Decode(stream);
  move = pcl::FindFirst(commands, "ESC *p#X");
  ASSERT_NE(move, nullptr) << pcl::Dump(commands);
  EXPECT_EQ(move->value, left + 8);
  const pcl::Command* cols = pcl::FindFirst(commands, "ESC *r#S");
  ASSERT_NE(cols, nullptr);
  EXPECT_EQ(cols->value, width - 8);

  Clip away = ClipOf({{0, 0, 500, 500}, {2000, 2000, 2100, 2100}});
  stream = Job([&] { EXPECT_TRUE(Draw(str.get(), font.get(), away.get())); });
  EXPECT_EQ(pcl::Count(pcl::Decode(stream), "ESC *r1A"), 0u);
}

TEST_F(TextRunTest, WhiteGraphicsTextWithoutBackgroundTurnsLightGray) {
  Set(DmField("trueTypeMethod"), 2);
  Font font = Realize(u"Liberation Sans", 60);
  String str = Text(font.get(), u"W", {300, 400});
  // No background rectangle: the lightest gray pattern (gray 254, pattern 257).
  std::string stream = Job([&] {
    EXPECT_TRUE(Draw(str.get(), font.get(), nullptr, nullptr, nullptr, white_.get(), white_.get()));
  });
  auto commands = pcl::Decode(stream);
  EXPECT_NE(pcl::FindFirst(commands, "ESC *c257G"), nullptr) << pcl::Dump(commands);
  EXPECT_EQ(pcl::FindFirst(commands, "ESC *v1T"), nullptr);

  // With a background the white stays white.
  kv5e::ResetHpglState(pdev()->hpglState);
  RECTL opaque{0, 0, 10, 10};
  stream = Job([&] {
    EXPECT_TRUE(Draw(str.get(), font.get(), nullptr, nullptr, &opaque, white_.get(), white_.get()));
  });
  commands = pcl::Decode(stream);
  EXPECT_EQ(pcl::FindFirst(commands, "ESC *c257G"), nullptr);
  EXPECT_EQ(pcl::Count(commands, "ESC *v1T"), 2u) << "background, then the text";
}

TEST_F(TextRunTest, ForcedColourDrawsGraphicsTextWithItsOwnOperation) {
  pdev()->flags |= kv5e::kFlagForcedColour;
  pdev()->watermarkColor = 0x808080;
  Font font = Realize(u"Liberation Sans", 60);
  String str = Text(font.get(), u"A", {300, 400});
  const std::string stream = Job([&] { EXPECT_TRUE(Draw(str.get(), font.get())); });
  const auto commands = pcl::Decode(stream);
  EXPECT_NE(pcl::FindFirst(commands, "ESC *l160O"), nullptr) << pcl::Dump(commands);
  EXPECT_EQ(pcl::Count(commands, "ESC *r1A"), 1u);
}

// ---- text runs ---------------------------------------------------------------------------------

TEST_F(TextRunTest, RunInsidePageAndClipIsPlainPcl) {
  Font font = Realize(u"Liberation Sans", 100);
  String str = Text(font.get(), u"Hello", {600, 1000});
  Clip clip = ClipOf({{0, 0, 3000, 3000}});
  const auto script = DrawScript(str.get(), font.get(), clip.get());
  EXPECT_EQ(Printed(script, 'P'), "Hello") << Join(script);
  EXPECT_EQ(Printed(script, 'L'), "");
  for (const std::string& item : script) {
    EXPECT_NE(item.substr(0, 2), "IW") << Join(script);
    EXPECT_NE(item[0], 'M') << Join(script);
  }
  // The first character is placed with the cursor, the others by their own x.
  std::vector<std::string> xs;
  for (const std::string& item : script) {
    if (item[0] == 'X') xs.push_back(item);
  }
  ASSERT_EQ(xs.size(), 5u) << Join(script);
  EXPECT_EQ(xs[0], "X600");
  for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(xs[i], "X" + std::to_string(str->pgp[i].ptl.x));
  EXPECT_NE(pdev()->textPositions, nullptr) << "kept for the next run";
}

TEST_F(TextRunTest, TurnedRunCutOnItsLeftIsPrintedAsLabels) {
  Font font = Realize(u"Liberation Sans", 100, 900);
  String str = Text(font.get(), u"Up", {1000, 2000});
  const RECTL& bk = str->rclBkGround;
  Clip clip = ClipOf({{bk.left + 10, 0, 4000, 4000}});
  const auto script = DrawScript(str.get(), font.get(), clip.get());
  const std::string joined = Join(script);
  ASSERT_TRUE(text().scalable) << "an outline soft font: " << joined;
  const std::string expected = "DI0,1000";
  const auto di = std::find(script.begin(), script.end(), expected);
  ASSERT_NE(di, script.end()) << joined;
  const auto move = std::find(di, script.end(), "M1000,2000");
  ASSERT_NE(move, script.end()) << joined;
  EXPECT_EQ(Printed(std::vector<std::string>(move, script.end()), 'L'), "Up") << joined;
  EXPECT_EQ(Printed(script, 'P'), "");
}

TEST_F(TextRunTest, TurnedPclCharactersCarryThePrintDirection) {
  Font font = Realize(u"Liberation Sans", 100, 900);
  String str = Text(font.get(), u"Up", {1000, 2000});
  const auto script = DrawScript(str.get(), font.get());
  const std::string joined = Join(script);
  ASSERT_TRUE(text().scalable) << joined;
  EXPECT_EQ(Printed(script, 'L'), "") << joined;
  // The first character from the cursor, the second by its own y; each one
  // printed turned, the direction set back after it.
  const auto first = std::find(script.begin(), script.end(), "X1000");
  ASSERT_NE(first, script.end()) << joined;
  const std::vector<std::string> expected = {
      "X1000", "Y2000", "ESC &a90P", "PU", "ESC &a0P",
      "Y" + std::to_string(str->pgp[1].ptl.y), "ESC &a90P", "Pp", "ESC &a0P"};
  ASSERT_GE(script.end() - first, static_cast<std::ptrdiff_t>(expected.size())) << joined;
  EXPECT_EQ(std::vector<std::string>(first, first + expected.size()), expected) << joined;
}

TEST_F(TextRunTest, PlainRunSwitchesToLabelsForACharacterReachingOut) {
  Font font = Realize(u"Liberation Sans", 100);
  // The "W" is wider than the room the run gives it: its glyph reaches past
  // the background, so it is drawn as a label inside the window.
  String str = Text(font.get(), u"AW", {600, 1000}, {60, 10});
  const auto script = DrawScript(str.get(), font.get());
  const std::string joined = Join(script);
  EXPECT_EQ(Printed(script, 'P'), "A") << joined;
  EXPECT_EQ(Printed(script, 'L'), "W") << joined;
  const auto a = std::find(script.begin(), script.end(), "PA");
  ASSERT_NE(a, script.end()) << joined;
  const RECTL& bk = str->rclBkGround;
  const std::string window = "IW" + std::to_string(bk.left) + "," +
                             std::to_string(kPageHeight - bk.bottom) + "," +
                             std::to_string(bk.right) + "," + std::to_string(kPageHeight - bk.top);
  const auto iw = std::find(a, script.end(), window);
  ASSERT_NE(iw, script.end()) << joined;
  const auto move = std::find(iw, script.end(), "M660,1000");
  ASSERT_NE(move, script.end()) << joined;
  EXPECT_EQ(*(move + 1), "LW");
}

TEST_F(TextRunTest, RunCutOnItsRightTurnsToLabelsAtTheEdgeAndStopsBeyondIt) {
  Font font = Realize(u"Liberation Sans", 100);
  // Characters 50 pixels apart from x 1000; the clip ends inside "C".
  String str = Text(font.get(), u"ABCDEF", {1000, 1000}, {50, 50, 50, 50, 50, 50});
  Clip clip = ClipOf({{0, 0, 1125, 3000}});
  const auto script = DrawScript(str.get(), font.get(), clip.get());
  const std::string joined = Join(script);
  EXPECT_EQ(Printed(script, 'P'), "AB") << joined;
  EXPECT_EQ(Printed(script, 'L'), "C") << joined;
  EXPECT_NE(std::find(script.begin(), script.end(), "M1100,1000"), script.end()) << joined;
  // The window is the visible part of the background.
  const RECTL& bk = str->rclBkGround;
  const std::string window = "IW" + std::to_string(bk.left) + "," +
                             std::to_string(kPageHeight - bk.bottom) + ",1125," +
                             std::to_string(kPageHeight - bk.top);
  EXPECT_NE(std::find(script.begin(), script.end(), window), script.end()) << joined;
}

// Letters of a long run: character i is 'A' + i % 26.
std::string Letters(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text.push_back(static_cast<char>('A' + i % 26));
  return text;
}

TEST_F(TextRunTest, CharactersBeforeTheLeftEdgeAreSkippedButNotTheLastOfAChunk) {
  Font font = Realize(u"Liberation Sans", 100);
  // 1100 characters 4 pixels apart from x 0: two chunks, 0..1023 and 1024..1099.
  std::u16string letters;
  for (char c : Letters(0, 1100)) letters.push_back(static_cast<char16_t>(c));
  String str = Text(font.get(), letters, {0, 1000}, std::vector<LONG>(1100, 4));

  // The clip starts inside character 1050: the first chunk ends before it,
  // yet its last character is written (as a label: it lies outside).
  Clip late = ClipOf({{4202, 0, kPageWidth, 3000}});
  auto script = DrawScript(str.get(), font.get(), late.get());
  std::string joined = Join(script);
  EXPECT_EQ(Printed(script, 'L'), "J" + Letters(1050, 1100)) << joined;
  EXPECT_EQ(Printed(script, 'P'), "") << joined;
  EXPECT_NE(std::find(script.begin(), script.end(), "M4092,1000"), script.end()) << joined;
  EXPECT_NE(std::find(script.begin(), script.end(), "M4200,1000"), script.end()) << joined;

  // The clip starts inside character 1000: labels from there to the end of
  // its chunk, then PCL characters from a cursor placed at character 1024
  // (the last one reaches beyond the background with its glyph: a label).
  kv5e::ResetHpglState(pdev()->hpglState);
  Clip early = ClipOf({{4002, 0, kPageWidth, 3000}});
  script = DrawScript(str.get(), font.get(), early.get());
  joined = Join(script);
  EXPECT_EQ(Printed(script, 'L'), Letters(1000, 1024) + "H") << joined;
  EXPECT_EQ(Printed(script, 'P'), Letters(1024, 1099)) << joined;
  const auto first = std::find(script.begin(), script.end(), "X4096");
  ASSERT_NE(first, script.end()) << joined;
  ASSERT_LT(first + 2, script.end());
  EXPECT_EQ(*(first + 1), "Y1000");
  EXPECT_EQ(*(first + 2), "PK");
}

TEST_F(TextRunTest, RunAt37DegreesIsLabelledAt40) {
  Font font = Realize(u"Liberation Sans", 100, 370);
  String str = Text(font.get(), u"Tilt", {1000, 3000});
  const auto script = DrawScript(str.get(), font.get());
  const std::string joined = Join(script);
  EXPECT_NE(std::find(script.begin(), script.end(), "DI766,643"), script.end()) << joined;
  EXPECT_EQ(Printed(script, 'L'), "Tilt") << joined;
  EXPECT_EQ(Printed(script, 'P'), "");
  EXPECT_NE(std::find(script.begin(), script.end(), "M1000,3000"), script.end()) << joined;
}

TEST_F(TextRunTest, ControlCodesInPclRunsAreSentAsTransparentData) {
  Font font = Realize(u"Liberation Sans", 100);
  String str = Text(font.get(), u"A\rB", {600, 1000});
  const std::string stream = Job([&] { EXPECT_TRUE(Draw(str.get(), font.get())); });
  EXPECT_NE(stream.find(ESC + "&p1X\r"), std::string::npos);
  const auto script = Script(stream);
  EXPECT_EQ(Printed(script, 'L'), "") << Join(script);
}

TEST_F(TextRunTest, ParsingMethodIsSentOncePerCharacterSet) {
  if (!HaveFont(u"IPAMincho", "")) GTEST_SKIP() << "no Japanese font";
  Font font = Realize(u"IPAMincho", 100, 0, 128);
  ASSERT_NE(font, nullptr);
  ASSERT_EQ(FONTOBJ_pifi(font.get())->jWinCharSet, 128);
  String first = Text(font.get(), u"AB", {600, 1000});
  String second = Text(font.get(), u"CD", {600, 1200});
  Font latin = Realize(u"Liberation Sans", 100);
  String third = Text(latin.get(), u"EF", {600, 1400});
  const std::string stream = Job([&] {
    EXPECT_TRUE(Draw(first.get(), font.get()));
    EXPECT_TRUE(Draw(second.get(), font.get()));
    EXPECT_TRUE(Draw(third.get(), latin.get()));
  });
  const auto commands = pcl::Decode(stream);
  EXPECT_EQ(pcl::Count(commands, "ESC &t31P"), 1u) << pcl::Dump(commands);
  EXPECT_EQ(pcl::Count(commands, "ESC &t0P"), 1u);
  const auto script = Script(stream);
  EXPECT_EQ(Printed(script, 'P'), "ABCDEF") << Join(script);
}

TEST_F(TextRunTest, OddRunsDoNotUpsetTheDriver) {
  Font font = Realize(u"Liberation Sans", 100);
  // Far off the page: nothing printed.
  String away = Text(font.get(), u"Gone", {100000, 100000});
  // Positions that go back and forth are placed where they are.
  String back = Text(font.get(), u"abcde", {100, 1000}, {3000, -2900, 50, 3000, 50});
  // Advances too long for 16 bits, starting far left of the page.
  String huge = Text(font.get(), u"xyz", {-2000000000, 1500}, {1000000000, 1000000000, 10});
  std::vector<std::string> script;
  const std::string stream = Job([&] {
    EXPECT_TRUE(Draw(away.get(), font.get()));
    EXPECT_TRUE(Draw(back.get(), font.get()));
    EXPECT_TRUE(Draw(huge.get(), font.get()));
  });
  const auto commands = pcl::Decode(stream);
  EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);
  script = Script(stream);
  const std::string joined = Join(script);
  EXPECT_EQ(joined.find("PG"), std::string::npos) << joined;
  const auto a = std::find(script.begin(), script.end(), "Pa");
  ASSERT_NE(a, script.end()) << joined;
  EXPECT_EQ(*(a - 2), "X100") << joined;
  EXPECT_NE(std::find(a, script.end(), "X3100"), script.end()) << joined;
  EXPECT_NE(std::find(a, script.end(), "X200"), script.end()) << joined;
  EXPECT_NE(std::find(a, script.end(), "X250"), script.end()) << joined;
}

TEST_F(TextRunTest, GraphicsTextOverrideForcesLabels) {
  Set(DmField("trueTypeMethod"), 2);
  pdev()->graphicsTextOverride = 2;
  Font font = Realize(u"Liberation Sans", 100);
  String str = Text(font.get(), u"Hi", {600, 1000});
  const std::string stream = Job([&] { EXPECT_TRUE(Draw(str.get(), font.get())); });
  const auto script = Script(stream);
  EXPECT_EQ(Printed(script, 'L'), "Hi") << Join(script);
  EXPECT_EQ(pcl::Count(pcl::Decode(stream), "ESC *r1A"), 0u);
}

// ---- resident fonts in place of TrueType fonts (a whole device) ---------------------------------

class ResidentTextTest : public kvtest::JobFixture {};

TEST_F(ResidentTextTest, ArialIsPrintedInTheResidentArialWhenFontsAreNotDownloaded) {
  if (!HaveFont(u"Arial", "Liberation")) GTEST_SKIP() << "no stand-in for Arial";
  ASSERT_TRUE(Enable({"reverseOrder=0"}));
  auto* pdev = reinterpret_cast<PclPdev*>(surface_->dhpdev);
  kv5e::SetDm(pdev, DmField("trueTypeDownload"), 0);
  Font font = Realize(u"Arial", 100);
  String str = Text(font.get(), u"Resident", {600, 1000});
  Brush black = SolidBrush(0);
  ASSERT_TRUE(StartDoc(u"Resident"));
  ASSERT_TRUE(StartPage());
  POINTL origin{0, 0};
  auto textOut = Entry<PFN_DrvTextOut>(INDEX_DrvTextOut);
  EXPECT_TRUE(textOut(surface_, str.get(), font.get(), nullptr, nullptr, nullptr, black.get(),
                      nullptr, &origin, kCopyPen));
  ASSERT_TRUE(SendPage());
  ASSERT_TRUE(EndDoc());
  const std::string stream = Delivered();
  EXPECT_NE(stream.find(ESC + "(19U" + ESC + "(s16602t0b0s"), std::string::npos);
  EXPECT_EQ(stream.find(ESC + ")s"), std::string::npos) << "no soft font";
  EXPECT_NE(Printed(Script(stream), 'P').find("Resident"), std::string::npos);
}


// The same resident font at the same size serves runs of any angle: a run
// that turns to labels sends its own direction, whatever an earlier run left.
TEST_F(ResidentTextTest, LabelsOfALaterRunTakeTheirOwnDirection) {
  if (!HaveFont(u"Arial", "Liberation")) GTEST_SKIP() << "no stand-in for Arial";
  ASSERT_TRUE(Enable({"reverseOrder=0"}));
  auto* pdev = reinterpret_cast<PclPdev*>(surface_->dhpdev);
  kv5e::SetDm(pdev, DmField("trueTypeDownload"), 0);
  Font turned = Realize(u"Arial", 100, 900);
  String up = Text(turned.get(), u"Up", {1000, 2000});
  const RECTL& bk = up->rclBkGround;
  Clip cut = ClipOf({{bk.left + 10, 0, 4000, 4000}});
  Font level = Realize(u"Arial", 100);
  // The "W" reaches past the room the run gives it: a label in a plain run.
  String aw = Text(level.get(), u"AW", {600, 3000}, {60, 10});
  Brush black = SolidBrush(0);
  ASSERT_TRUE(StartDoc(u"Angles"));
  ASSERT_TRUE(StartPage());
  POINTL origin{0, 0};
  auto textOut = Entry<PFN_DrvTextOut>(INDEX_DrvTextOut);
  EXPECT_TRUE(textOut(surface_, up.get(), turned.get(), cut.get(), nullptr, nullptr, black.get(),
                      nullptr, &origin, kCopyPen));
  EXPECT_TRUE(textOut(surface_, aw.get(), level.get(), nullptr, nullptr, nullptr, black.get(),
                      nullptr, &origin, kCopyPen));
  ASSERT_TRUE(SendPage());
  ASSERT_TRUE(EndDoc());
  const std::vector<std::string> script = Script(Delivered());
  const std::string joined = Join(script);
  const auto first = std::find(script.begin(), script.end(), "DI0,1000");
  ASSERT_NE(first, script.end()) << joined;
  const auto second = std::find(first, script.end(), "DI1000,0");
  ASSERT_NE(second, script.end()) << joined;
  EXPECT_EQ(Printed(std::vector<std::string>(second, script.end()), 'L'), "W") << joined;
}

}  // namespace

