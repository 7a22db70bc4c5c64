#include "pclcore/5e/device_fonts.h"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "job_fixture.h"
#include "kvplat/engine_fonts.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/output_channel.h"
#include "settings/byte_order.h"

namespace {

using kv5e::PclPdev;
using kvset::DmField;
namespace eng = kvplat::engine;

constexpr FLOATOBJ_XFORM kIdentity{1, 0, 0, 1, 0, 0};
constexpr SIZEL k300{300, 300};
constexpr int kArial = 37;
constexpr int kCourier = 32;
constexpr int kUnivers = 24;
constexpr int kLinePrinter = 46;

struct FontDeleter {
  void operator()(FONTOBJ* f) const { eng::DeleteFontObject(f); }
};
using FontPtr = std::unique_ptr<FONTOBJ, FontDeleter>;

LOGFONTW Logical(std::u16string_view face, LONG height, LONG escapement = 0) {
  LOGFONTW font{};
  font.lfHeight = height;
  font.lfWeight = 400;
  font.lfEscapement = escapement;
  font.lfOrientation = escapement;
  font.lfCharSet = 1;
  for (std::size_t i = 0; i < face.size() && i + 1 < LF_FACESIZE; ++i) font.lfFaceName[i] = face[i];
  return font;
}

// A realized font of em height `emPixels` at 300 dpi standing for device
// font `device` (the engine numbers device font objects by their face).
FontPtr DeviceFontObject(std::u16string_view face, int device, LONG emPixels, LONG escapement = 0) {
  FontPtr font(eng::CreateFontObject(Logical(face, -emPixels, escapement), k300, kIdentity));
  if (font) font->iFace = static_cast<ULONG>(device);
  return font;
}

// A font object carrying exactly `face` as its face name, with the given
// simulations.
FontPtr NamedFont(std::u16string_view face, FLONG simulations) {
  eng::ResolvedFace resolved;
  if (!eng::ResolveFace(u"Arial", 400, false, &resolved)) return nullptr;
  resolved.standsFor = true;
  FontPtr font(eng::CreateFontObjectForFace(Logical(face, -50), resolved, k300, kIdentity));
  if (font) font->flFontType = (font->flFontType & ~(FO_SIM_BOLD | FO_SIM_ITALIC)) | simulations;
  return font;
}

// A font object the engine knows nothing of: no metrics, no transform. The
// padding keeps the engine's look at it inside the object.
struct BareFont {
  FONTOBJ object{};
  BYTE padding[256]{};
};

std::u16string WideAt(const IFIMETRICS* ifi, PTRDIFF offset) {
  const auto* text = reinterpret_cast<const char16_t*>(reinterpret_cast<const BYTE*>(ifi) + offset);
  return std::u16string(text);
}

// ---- sizes and lengths -------------------------------------------------------------

TEST(PointSizes, HeightsRoundToThePrintersSteps) {
  struct Case {
    int pixels, dpi, hundredths;
    const char* text;
  };
  const Case cases[] = {
      {50, 300, 1200, "12.00"},  // exact
      {51, 300, 1225, "12.25"},  // 1224: within five of the next quarter, up
      {55, 300, 1325, "13.25"},  // 1320: five short of the next quarter, up
      {56, 300, 1325, "13.25"},  // 1344: six short, down at 300 dpi
      {101, 600, 1200, "12.00"},  // 1212: nearest quarter is below
      {102, 600, 1225, "12.25"},  // 1224: nearest quarter is above
      {50, 600, 600, "6.00"},     // no leading zero
      {1, 600, 0, "0.00"},
      {1, 300, 25, "0.25"},
      {0, 300, 0, "0.00"},
      {-5, 300, 0, "0.00"},
      {50, 0, 0, "0.00"},
  };
  for (const Case& c : cases) {
    const int hundredths = kv5e::PointSizeHundredths(c.pixels, c.dpi);
    EXPECT_EQ(hundredths, c.hundredths) << c.pixels << " px at " << c.dpi;
    char text[16];
    const int length = kv5e::FormatHundredths(hundredths, text);
    EXPECT_EQ(std::string(text, static_cast<std::size_t>(length)), c.text);
  }
  char text[16];
  EXPECT_EQ(kv5e::FormatHundredths(1666, text), 5);
  EXPECT_STREQ(text, "16.66");
  kv5e::FormatHundredths(2147483647, text);
  EXPECT_STREQ(text, "21474836.47");
}

// The length the driver defines: step up from |a| by the odd numbers until
// they cover b squared.
std::int64_t SteppedHypot(std::int64_t a, std::int64_t b) {
  a = a < 0 ? -a : a;
  b = b < 0 ? -b : b;
  if (a < b) std::swap(a, b);
  std::int64_t r = a;
  for (std::int64_t sum = 0, odd = 2 * a + 1; sum < b * b; odd += 2, ++r) sum += odd;
  return r;
}

TEST(IntegerHypot, AgreesWithTheSteppedSumAndStaysExactWhenLarge) {
  for (std::int64_t a = -40; a <= 40; ++a) {
    for (std::int64_t b = -40; b <= 40; ++b) {
      ASSERT_EQ(kv5e::IntegerHypot(a, b), SteppedHypot(a, b)) << a << "," << b;
    }
  }
  EXPECT_EQ(kv5e::IntegerHypot(3000, 4000), 5000);
  EXPECT_EQ(kv5e::IntegerHypot(0, -1600), 1600);
  EXPECT_EQ(kv5e::IntegerHypot(1, 1), 2);
  // Near the 32-bit limit of engine coordinates: the ceiling of the root.
  const std::int64_t big = 2147483647;
  EXPECT_EQ(kv5e::IntegerHypot(big, big), 3037000499);  // 3037000498.56...
  EXPECT_EQ(kv5e::IntegerHypot(big, 1), big + 1);
  EXPECT_EQ(kv5e::IntegerHypot(-big - 1, 0), big + 1);
  EXPECT_GT(kv5e::IntegerHypot(INT64_MIN, INT64_MIN), 0);
}

// ---- the library's fonts -------------------------------------------------------------

class DeviceFontsTest : public kvtest::JobFixture {
 protected:
  void SetUp() override {
    JobFixture::SetUp();
    ASSERT_TRUE(Enable({}));
    pdev_ = reinterpret_cast<PclPdev*>(device_->dhpdev);
    ASSERT_TRUE(kv5e::IsValidPdev(pdev_));
    dhpdev_ = device_->dhpdev;
    kv5e::SetDm(pdev_, DmField("dmPrintQuality"), 300);
    kv5e::ResetHpglState(pdev_->hpglState);
    kv5e::ResetOutputBuffer(pdev_);
  }
  void TearDown() override {
    if (pdev_ != nullptr) kv5e::ResetOutputBuffer(pdev_);
    JobFixture::TearDown();
  }

  // What was written since the last call.
  std::string Take() {
    std::string text(reinterpret_cast<const char*>(pdev_->outBuffer), pdev_->outFill);
    kv5e::ResetOutputBuffer(pdev_);
    return text;
  }
  std::string Select(int index, int height, FONTOBJ* font = nullptr) {
    EXPECT_TRUE(kv5e::SelectDeviceFont(pdev_, index, height, font)) << index;
    return Take();
  }

  IFIMETRICS* QueryFont(ULONG face) {
    return Entry<PFN_DrvQueryFont>(INDEX_DrvQueryFont)(dhpdev_, 0, face, nullptr);
  }
  PVOID QueryTree(ULONG face, ULONG mode, DHPDEV dhpdev = nullptr) {
    return Entry<PFN_DrvQueryFontTree>(INDEX_DrvQueryFontTree)(dhpdev ? dhpdev : dhpdev_, 0, face,
                                                               mode, nullptr);
  }
  LONG QueryData(FONTOBJ* font, ULONG mode, HGLYPH hg, GLYPHDATA* glyph, PVOID pv, ULONG size,
                 DHPDEV dhpdev = nullptr) {
    return Entry<PFN_DrvQueryFontData>(INDEX_DrvQueryFontData)(dhpdev ? dhpdev : dhpdev_, font,
                                                               mode, hg, glyph, pv, size);
  }
  BOOL QueryWidths(FONTOBJ* font, ULONG mode, std::vector<HGLYPH> glyphs, std::vector<USHORT>* widths,
                   DHPDEV dhpdev = nullptr) {
    widths->assign(glyphs.size(), 0xBEEF);
    return Entry<PFN_DrvQueryAdvanceWidths>(INDEX_DrvQueryAdvanceWidths)(
        dhpdev ? dhpdev : dhpdev_, font, mode, glyphs.data(), widths->data(),
        static_cast<ULONG>(glyphs.size()));
  }

  PclPdev* pdev_ = nullptr;
  DHPDEV dhpdev_ = nullptr;
};

TEST_F(DeviceFontsTest, AllSixtyTwoFontsLoadWithTheirNames) {
  ASSERT_EQ(pdev_->deviceFontCount, 62u);
  EXPECT_STREQ(pdev_->fontNames[0], "Wingdings");
  EXPECT_STREQ(pdev_->fontNames[38], "Arial Bold");
  EXPECT_STREQ(pdev_->fontNames[45], "Line Printer  0N");
  EXPECT_STREQ(pdev_->fontNames[46], "-3 \x0E\x1D");  // "ＭＳ 明朝" narrowed to its low bytes
  for (int i = 1; i <= 62; ++i) {
    const BYTE* resource = kv5e::DeviceFontResource(pdev_, i);
    ASSERT_NE(resource, nullptr) << i;
    EXPECT_TRUE(kv5e::IsSoundFontResource(resource, kvset::LoadU32LE(resource + 4))) << i;
    const IFIMETRICS* ifi = kv5e::DeviceFontMetrics(pdev_, i);
    EXPECT_EQ(ifi->ptlAspect.x, 300) << i;
    EXPECT_EQ(ifi->fwdUnitsPerEm, i == kLinePrinter ? 72 : 2048) << i;
  }
  EXPECT_EQ(kv5e::DeviceFontResource(pdev_, 0), nullptr);
  EXPECT_EQ(kv5e::DeviceFontResource(pdev_, 63), nullptr);
  EXPECT_EQ(kv5e::DeviceFontWidth(nullptr, 'A'), 0);
  EXPECT_EQ(kv5e::DeviceFontWidth(kv5e::DeviceFontResource(pdev_, kCourier), 'W'), 1229);
}

TEST_F(DeviceFontsTest, MalformedResourcesAreRefused) {
  const BYTE* real = kv5e::DeviceFontResource(pdev_, 1);
  const std::size_t size = kvset::LoadU32LE(real + 4);
  // An 8-aligned copy to break in different ways.
  std::vector<std::uint64_t> storage((size + 7) / 8 + 8);
  auto* copy = reinterpret_cast<BYTE*>(storage.data());
  auto fresh = [&] { std::memcpy(copy, real, size); };
  fresh();
  ASSERT_TRUE(kv5e::IsSoundFontResource(copy, size));
  const std::size_t ifi = kvset::LoadU32LE(copy + 12);

  struct Case {
    const char* what;
    std::size_t at;       // byte offset to overwrite with a 32-bit value
    std::uint32_t value;
    std::size_t length;   // the size handed over
  };
  const Case cases[] = {
      {"shorter than its widths", 0, 0, 300},
      {"claims more than it holds", 4, static_cast<std::uint32_t>(size + 1), size},
      {"truncated block", 4, static_cast<std::uint32_t>(size), size - 8},
      {"name outside", 8, static_cast<std::uint32_t>(size), size},
      {"metrics outside", 12, static_cast<std::uint32_t>(size - 100), size},
      {"metrics misaligned", 12, static_cast<std::uint32_t>(ifi + 4), size},
      {"metrics over the widths", 12, 64, size},
      {"block larger than the resource", ifi, 100000, size},
      {"face name outside the block", ifi + 24, 100000, size},
      {"odd family offset", ifi + 8, 217, size},
      {"kerning pairs without an offset", 16, 1, size},
  };
  for (const Case& c : cases) {
    fresh();
    if (c.at != 0 || c.value != 0) kvset::StoreU32LE(copy + c.at, c.value);
    EXPECT_FALSE(kv5e::IsSoundFontResource(copy, c.length)) << c.what;
  }
  // Kerning pairs that run past the end, and ones that fit.
  fresh();
  kvset::StoreU32LE(copy + 20, static_cast<std::uint32_t>(size - 12));
  kvset::StoreU32LE(copy + 16, 3);
  EXPECT_FALSE(kv5e::IsSoundFontResource(copy, size));
  kvset::StoreU32LE(copy + 16, 2);
  EXPECT_TRUE(kv5e::IsSoundFontResource(copy, size));
  // A font name running to the end without its terminator.
  fresh();
  kvset::StoreU32LE(copy + 8, static_cast<std::uint32_t>(size - 1));
  copy[size - 1] = 'x';
  EXPECT_FALSE(kv5e::IsSoundFontResource(copy, size));
  EXPECT_FALSE(kv5e::IsSoundFontResource(nullptr, size));
}

// ---- the engine's queries ------------------------------------------------------------

TEST_F(DeviceFontsTest, QueryFontHandsOverTheResourceMetrics) {
  const IFIMETRICS* wingdings = QueryFont(1);
  ASSERT_NE(wingdings, nullptr);
  EXPECT_EQ(WideAt(wingdings, wingdings->dpwszFamilyName), u"Wingdings (L$)");
  EXPECT_EQ(WideAt(wingdings, wingdings->dpwszFaceName), u"Wingdings");
  const IFIMETRICS* lp = QueryFont(kLinePrinter);
  ASSERT_NE(lp, nullptr);
  EXPECT_EQ(WideAt(lp, lp->dpwszFamilyName), u"LinePrinter");
  EXPECT_EQ(QueryFont(0), nullptr);
  EXPECT_EQ(QueryFont(63), nullptr);
  BYTE junk[sizeof(PclPdev)] = {};
  EXPECT_EQ(Entry<PFN_DrvQueryFont>(INDEX_DrvQueryFont)(reinterpret_cast<DHPDEV>(junk), 0, 1, nullptr),
            nullptr);
  EXPECT_EQ(Entry<PFN_DrvGetGlyphMode>(INDEX_DrvGetGlyphMode)(dhpdev_, nullptr), FO_GLYPHBITS);
}

TEST_F(DeviceFontsTest, FontTreeGivesTheSharedGlyphSetAndNoKerning) {
  const auto* set = static_cast<const FD_GLYPHSET*>(QueryTree(kArial, QFT_GLYPHSET));
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->cGlyphsSupported, 256u);
  EXPECT_EQ(QueryTree(1, QFT_GLYPHSET), set);  // one set for every font
  EXPECT_EQ(QueryTree(kArial, QFT_KERNPAIRS), nullptr);
  EXPECT_EQ(QueryTree(kArial, QFT_LIGATURES), nullptr);
  EXPECT_EQ(QueryTree(63, QFT_GLYPHSET), nullptr);
  BYTE junk[sizeof(PclPdev)] = {};
  EXPECT_EQ(QueryTree(1, QFT_GLYPHSET, reinterpret_cast<DHPDEV>(junk)), nullptr);
}

TEST_F(DeviceFontsTest, AdvanceWidthsScaleTheDesignWidths) {
  FontPtr arial = DeviceFontObject(u"Arial", kArial, 50);
  ASSERT_NE(arial, nullptr);
  const BYTE* resource = kv5e::DeviceFontResource(pdev_, kArial);
  std::vector<HGLYPH> glyphs;
  for (HGLYPH hg = 0; hg < 256; ++hg) glyphs.push_back(hg);
  glyphs.push_back(300);  // not a code of the set
  std::vector<USHORT> widths;
  ASSERT_TRUE(QueryWidths(arial.get(), QAW_GETWIDTHS, glyphs, &widths));
  // 'A' is 1366 of 2048 units: 33.35 pixels, 533.6 in 28.4, rounded to 528.
  EXPECT_EQ(widths['A'], 528);
  for (HGLYPH hg = 0; hg < 256; ++hg) {
    const double pixels = kv5e::DeviceFontWidth(resource, static_cast<BYTE>(hg)) * 50.0 / 2048;
    EXPECT_NEAR(widths[hg] / 16.0, pixels, 0.5) << hg;
    EXPECT_EQ(widths[hg] % 16, 0) << hg;
  }
  EXPECT_EQ(widths[256], 0);

  std::vector<USHORT> easy;
  ASSERT_TRUE(QueryWidths(arial.get(), QAW_GETEASYWIDTHS, {'A', 'i'}, &easy));
  EXPECT_EQ(easy[0], 528);
  EXPECT_EQ(easy[1], widths['i']);
  // Turning the baseline does not change the advances.
  FontPtr turned = DeviceFontObject(u"Arial", kArial, 50, 900);
  ASSERT_TRUE(QueryWidths(turned.get(), QAW_GETWIDTHS, {'A'}, &easy));
  EXPECT_EQ(easy[0], 528);
}

TEST_F(DeviceFontsTest, AdvanceWidthsRefuseWhatTheyCannotAnswer) {
  FontPtr arial = DeviceFontObject(u"Arial", kArial, 50);
  std::vector<USHORT> widths;
  EXPECT_FALSE(QueryWidths(arial.get(), 7, {'A'}, &widths));
  BareFont bare;
  bare.object.iFace = kArial;
  EXPECT_FALSE(QueryWidths(&bare.object, QAW_GETWIDTHS, {'A'}, &widths));
  EXPECT_EQ(widths[0], 0xBEEF);
  arial->iFace = 63;
  EXPECT_FALSE(QueryWidths(arial.get(), QAW_GETWIDTHS, {'A'}, &widths));
  EXPECT_FALSE(QueryWidths(nullptr, QAW_GETWIDTHS, {'A'}, &widths));
  arial->iFace = kArial;
  BYTE junk[sizeof(PclPdev)] = {};
  EXPECT_EQ(QueryWidths(arial.get(), QAW_GETWIDTHS, {'A'}, &widths, reinterpret_cast<DHPDEV>(junk)),
            static_cast<BOOL>(0xFFFFFFFF));
  EXPECT_EQ(widths[0], 0xBEEF);
}

TEST_F(DeviceFontsTest, GlyphDataGivesTheAdvanceAndTheBoxWithoutABitmap) {
  FontPtr arial = DeviceFontObject(u"Arial", kArial, 50);
  GLYPHDATA glyph;
  std::memset(&glyph, 0x5A, sizeof(glyph));
  EXPECT_EQ(QueryData(arial.get(), QFD_GLYPHANDBITMAP, 'A', &glyph, nullptr, 0), 0);
  EXPECT_EQ(glyph.hg, HGLYPH{'A'});
  EXPECT_EQ(glyph.fxD, 528);
  EXPECT_EQ(glyph.fxA, 0);
  EXPECT_EQ(glyph.fxAB, 528);
  // Box top 1798 is 43.9 pixels up; bottom -434 is 10.6 pixels down.
  EXPECT_EQ(glyph.fxInkTop, 704);
  EXPECT_EQ(glyph.fxInkBottom, -176);
  EXPECT_EQ(glyph.ptqD.x, std::int64_t{528} << 28);
  EXPECT_EQ(glyph.ptqD.y, 0);
  EXPECT_EQ(glyph.gdf.pgb, nullptr);

  // A baseline turned a quarter counter-clockwise advances up the page.
  FontPtr turned = DeviceFontObject(u"Arial", kArial, 50, 900);
  ASSERT_EQ(QueryData(turned.get(), QFD_GLYPHANDBITMAP, 'A', &glyph, nullptr, 0), 0);
  EXPECT_EQ(glyph.fxD, 528);
  EXPECT_EQ(glyph.ptqD.x, 0);
  EXPECT_EQ(glyph.ptqD.y, std::int64_t{-528} << 28);
  EXPECT_EQ(glyph.fxInkTop, 704);

  EXPECT_EQ(QueryData(arial.get(), QFD_GLYPHANDBITMAP, 'A', nullptr, nullptr, 0), 0);
}

TEST_F(DeviceFontsTest, MaxExtentsOfAProportionalAndAFixedPitchFont) {
  FontPtr arial = DeviceFontObject(u"Arial", kArial, 50);
  FD_DEVICEMETRICS m;
  std::memset(&m, 0x5A, sizeof(m));
  ASSERT_EQ(QueryData(arial.get(), QFD_MAXEXTENTS, 0, nullptr, &m, sizeof(m)), 124);
  EXPECT_FLOAT_EQ(m.pteBase.x, 1.0f);
  EXPECT_FLOAT_EQ(m.pteBase.y, 0.0f);
  EXPECT_FLOAT_EQ(m.pteSide.x, 0.0f);
  EXPECT_FLOAT_EQ(m.pteSide.y, -1.0f);
  EXPECT_EQ(m.cxMax, 51u);  // 2079 units: 50.8 pixels
  EXPECT_EQ(m.lD, 0);
  EXPECT_EQ(m.fxMaxAscender, 704);
  EXPECT_EQ(m.fxMaxDescender, 176);
  EXPECT_EQ(m.cyMax, 55u);
  EXPECT_GE(m.cjGlyphMax, 7u * 55u);
  // Underline 142 units below the baseline, strike-out 530 above, 150 thick.
  EXPECT_EQ(m.ptlUnderline1.x, 0);
  EXPECT_EQ(m.ptlUnderline1.y, 3);
  EXPECT_EQ(m.ptlStrikeOut.y, -13);
  EXPECT_EQ(m.ptlULThickness.y, 4);
  EXPECT_EQ(m.ptlSOThickness.y, 4);
  // A Swiss face 24 pixels per 1000 units: 4 pixels of leading less 2 inside the box.
  EXPECT_EQ(m.lNonLinearExtLeading, 32);
  EXPECT_EQ(m.lNonLinearIntLeading, 32);

  FontPtr courier = DeviceFontObject(u"Courier New", kCourier, 50);
  ASSERT_EQ(QueryData(courier.get(), QFD_MAXEXTENTS, 0, nullptr, &m, sizeof(m)), 124);
  EXPECT_EQ(m.cxMax, 30u);
  EXPECT_EQ(m.lD, 30);
  EXPECT_EQ(m.lNonLinearExtLeading, 0);
  EXPECT_EQ(m.lNonLinearIntLeading, 0);
  EXPECT_EQ(m.fxMaxAscender, 656);   // 1690 units
  EXPECT_EQ(m.fxMaxDescender, 544);  // 512 units and the rest of the em below the box

  // No buffer: only the size; a short buffer is not written.
  EXPECT_EQ(QueryData(arial.get(), QFD_MAXEXTENTS, 0, nullptr, nullptr, 0), 124);
  std::vector<BYTE> small(200, 0x77);
  EXPECT_EQ(QueryData(arial.get(), QFD_MAXEXTENTS, 0, nullptr, small.data(), 100),
            static_cast<LONG>(FD_ERROR));
  EXPECT_EQ(small[0], 0x77);
  EXPECT_EQ(small[123], 0x77);
}

TEST_F(DeviceFontsTest, FontDataFailsWithoutTouchingOutputs) {
  FontPtr arial = DeviceFontObject(u"Arial", kArial, 50);
  GLYPHDATA glyph;
  std::memset(&glyph, 0x5A, sizeof(glyph));
  const GLYPHDATA before = glyph;
  const auto kError = static_cast<LONG>(FD_ERROR);
  BareFont bare;
  bare.object.iFace = kArial;
  EXPECT_EQ(QueryData(&bare.object, QFD_GLYPHANDBITMAP, 'A', &glyph, nullptr, 0), kError);
  FD_DEVICEMETRICS m{};
  EXPECT_EQ(QueryData(&bare.object, QFD_MAXEXTENTS, 0, nullptr, &m, sizeof(m)), kError);
  EXPECT_EQ(QueryData(arial.get(), QFD_GLYPHANDOUTLINE, 'A', &glyph, nullptr, 0), kError);
  EXPECT_EQ(QueryData(nullptr, QFD_GLYPHANDBITMAP, 'A', &glyph, nullptr, 0), kError);
  BYTE junk[sizeof(PclPdev)] = {};
  EXPECT_EQ(QueryData(arial.get(), QFD_GLYPHANDBITMAP, 'A', &glyph, nullptr, 0,
                      reinterpret_cast<DHPDEV>(junk)),
            kError);
  arial->iFace = 0;
  EXPECT_EQ(QueryData(arial.get(), QFD_GLYPHANDBITMAP, 'A', &glyph, nullptr, 0), kError);
  EXPECT_EQ(std::memcmp(&glyph, &before, sizeof(glyph)), 0);
  // A code beyond the set has no width but still a box.
  arial->iFace = kArial;
  ASSERT_EQ(QueryData(arial.get(), QFD_GLYPHANDBITMAP, 0x1234, &glyph, nullptr, 0), 0);
  EXPECT_EQ(glyph.fxD, 0);
  EXPECT_EQ(glyph.fxInkTop, 704);
}

// ---- matching by name and style ------------------------------------------------------

TEST_F(DeviceFontsTest, FindsFontsByNameAndSimulatedStyle) {
  struct Case {
    std::u16string_view face;
    FLONG simulations;
    int expected;
  };
  constexpr FLONG kBold = FO_SIM_BOLD, kItalic = FO_SIM_ITALIC;
  const Case cases[] = {
      {u"Arial", 0, 37},
      {u"Arial Bold", 0, 39},
      {u"Arial", kBold, 0},          // 37 has weight 0; "Arial Italic" keys on "Arial "
      {u"Arial Bold", kItalic, 0},   // 39 is bold, not italic
      {u"ARIAL BOLD ITALIC", 0, 40},
      {u"Times", 0, 0},              // "Times New Roman" keys on "Times "
      {u"Times New Roman", 0, 42},
      {u"Coronet", kItalic, 19},     // an italic face of its own
      {u"Coronet", kBold, 0},
      {u"Albertus Medium", kBold, 2},  // weight 1
      {u"Albertus", 0, 0},
      {u"Clarendon Condensed", kBold, 0},  // bold and condensed: not bold alone
      {u"Clarendon Condensed", kBold | kItalic, 36},
      {u"Line Printer", 0, 46},
      {u"Wingdings", 0, 1},
      {u"ＭＳ 明朝", 0, 47},
      {u"ＭＳ 明朝", kBold, 49},
      {u"ＭＳ 明朝", kBold | kItalic, 50},
      {u"ＭＳ Ｐゴシック", kItalic, 60},
      {u"Liberation Sans", 0, 0},
  };
  for (const Case& c : cases) {
    FontPtr font = NamedFont(c.face, c.simulations);
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(kv5e::FindDeviceFont(pdev_, font.get()), c.expected)
        << std::string(c.face.begin(), c.face.end()) << " sim " << c.simulations;
  }
}

TEST_F(DeviceFontsTest, FindToleratesLongNamesAndFontsWithoutMetrics) {
  const std::u16string longName(31, u'W');  // LOGFONTW keeps 31 characters
  FontPtr font = NamedFont(longName, 0);
  ASSERT_NE(font, nullptr);
  EXPECT_EQ(kv5e::FindDeviceFont(pdev_, font.get()), 0);
  // A face name with no terminator inside its block is read only up to the block's end.
  IFIMETRICS* ifi = FONTOBJ_pifi(font.get());
  const std::size_t units = (ifi->cjThis - static_cast<std::size_t>(ifi->dpwszFaceName)) / 2;
  auto* face = reinterpret_cast<char16_t*>(reinterpret_cast<BYTE*>(ifi) + ifi->dpwszFaceName);
  for (std::size_t i = 0; i < units; ++i) face[i] = u'W';
  EXPECT_EQ(kv5e::FindDeviceFont(pdev_, font.get()), 0);

  BareFont bare;
  EXPECT_EQ(kv5e::FindDeviceFont(pdev_, &bare.object), 0);
  EXPECT_EQ(kv5e::FindDeviceFont(pdev_, nullptr), 0);
  EXPECT_EQ(kv5e::FindDeviceFont(nullptr, font.get()), 0);
}

// ---- selecting a resident font -----------------------------------------------------------

TEST_F(DeviceFontsTest, SelectionStringsCarryTheSize) {
  struct Case {
    int font, pixels, dpi;
    std::string bytes;
  };
  const Case cases[] = {
      {1, 50, 300, "\x1B(579L\x1B(s31402t0b0s12.00v1P"},
      {kUnivers, 50, 300, "\x1B(19U\x1B(s4148t0b0s12.00v1P"},
      {kUnivers, 51, 300, "\x1B(19U\x1B(s4148t0b0s12.25v1P"},
      {kUnivers, 101, 600, "\x1B(19U\x1B(s4148t0b0s12.00v1P"},
      {kUnivers, 102, 600, "\x1B(19U\x1B(s4148t0b0s12.25v1P"},
      {kUnivers, 50, 600, "\x1B(19U\x1B(s4148t0b0s6.00v1P"},
      {41, 50, 300, "\x1B(19M\x1B(s16686t0b0s12.00v1P"},
      {45, 50, 300, "\x1B(19U\x1B(s16901t3b1s12.00v1P"},
      {kLinePrinter, 50, 300, "\x1B(0N\x1B(s0t0b0s08.50v16.66h0P"},
      {62, 50, 300, "\x1B(19K\x1B(s30873t3b1s12.00v1P"},
  };
  for (const Case& c : cases) {
    kv5e::SetDm(pdev_, DmField("dmPrintQuality"), c.dpi);
    kv5e::ResetHpglState(pdev_->hpglState);
    EXPECT_EQ(Select(c.font, c.pixels), c.bytes) << c.font << " at " << c.pixels;
  }
}

TEST_F(DeviceFontsTest, CourierAtTenPitch) {
  const std::string expected = "\x1B(19U\x1B(s4099t0b0s10.00h0P";
  // 12 points at 300 dpi: an average character of 30 pixels.
  FontPtr courier = DeviceFontObject(u"Courier New", kCourier, 50);
  ASSERT_NE(courier, nullptr);
  EXPECT_EQ(Select(kCourier, 50, courier.get()), expected);
  const kv5e::TextState& text = pdev_->hpglState.text;
  EXPECT_EQ(text.sizeKind, 2);
  EXPECT_EQ(text.sizeValue, 1000);
  // Without a font object's metrics the font's own average width serves.
  kv5e::ResetHpglState(pdev_->hpglState);
  EXPECT_EQ(Select(kCourier, 50), expected);
  kv5e::ResetHpglState(pdev_->hpglState);
  BareFont bare;
  EXPECT_EQ(Select(kCourier, 50, &bare.object), expected);
  // 41 pixels: 24.6 pixels per character, 12.18 characters per inch.
  kv5e::ResetHpglState(pdev_->hpglState);
  FontPtr smaller = DeviceFontObject(u"Courier New", kCourier, 41);
  EXPECT_EQ(Select(kCourier, 41, smaller.get()), "\x1B(19U\x1B(s4099t0b0s12.18h0P");
}

TEST_F(DeviceFontsTest, SelectionFillsTheTextStateAndIsSentOnce) {
  pdev_->hpglState.bInHpgl2 = 1;
  pdev_->hpglState.text.softFontId = 7;
  pdev_->hpglState.text.softFontHeight = 120;
  EXPECT_EQ(Select(39, 50), "\x1B%1A\x1B(19U\x1B(s16602t3b0s12.00v1P");
  const kv5e::HpglState& state = pdev_->hpglState;
  EXPECT_EQ(state.lastFontIndex, 39);
  EXPECT_EQ(state.lastFontHeight, 50);
  EXPECT_EQ(state.text.sizeKind, 1);
  EXPECT_EQ(state.text.sizeValue, 1200);
  EXPECT_EQ(state.text.symbolSet, 629);
  EXPECT_EQ(state.text.typeface, 16602);
  EXPECT_EQ(state.text.strokeWeight, 3);
  EXPECT_EQ(state.text.style, 0);
  EXPECT_EQ(state.text.scalable, 1);
  EXPECT_EQ(state.text.labelFontState, 1);
  EXPECT_EQ(state.text.softFontId, 0);
  EXPECT_EQ(state.text.softFontHeight, 0);

  // The same font and height again: nothing; another height: again.
  EXPECT_EQ(Select(39, 50), "");
  EXPECT_EQ(Select(39, 100), "\x1B(19U\x1B(s16602t3b0s24.00v1P");
  EXPECT_EQ(Select(40, 100), "\x1B(19U\x1B(s16602t3b1s24.00v1P");
  // The page reset forgets the selection.
  kv5e::ResetHpglState(pdev_->hpglState);
  EXPECT_EQ(Select(40, 100), "\x1B(19U\x1B(s16602t3b1s24.00v1P");

  // Line Printer is fixed in size and not scalable.
  EXPECT_EQ(Select(kLinePrinter, 35), "\x1B(0N\x1B(s0t0b0s08.50v16.66h0P");
  EXPECT_EQ(state.text.scalable, 0);
  EXPECT_EQ(state.text.symbolSet, 14);  // 0 x 32 + 'N' - 64
  EXPECT_EQ(state.text.sizeKind, 2);
  EXPECT_EQ(state.text.sizeValue, 1666);
  // Wingdings' set.
  EXPECT_EQ(Select(1, 35).substr(0, 7), "\x1B(579L\x1B");
  EXPECT_EQ(state.text.symbolSet, 579 * 32 + 'L' - 64);
}

TEST_F(DeviceFontsTest, EastEuropeanTextTakesTheLatin2Set) {
  FontPtr font = DeviceFontObject(u"Arial", kArial, 50);
  ASSERT_NE(font, nullptr);
  FONTOBJ_pifi(font.get())->jWinCharSet = 238;
  EXPECT_EQ(Select(kUnivers, 50, font.get()), "\x1B(9E\x1B(s4148t0b0s12.00v1P");
  EXPECT_EQ(pdev_->hpglState.text.symbolSet, 293);
  // Sets other than Windows Latin 1 stay as they are.
  EXPECT_EQ(Select(1, 50, font.get()), "\x1B(579L\x1B(s31402t0b0s12.00v1P");
  EXPECT_EQ(Select(41, 50, font.get()), "\x1B(19M\x1B(s16686t0b0s12.00v1P");
  // Other character sets keep "19U".
  FONTOBJ_pifi(font.get())->jWinCharSet = 0;
  EXPECT_EQ(Select(kUnivers, 50, font.get()), "\x1B(19U\x1B(s4148t0b0s12.00v1P");
  EXPECT_EQ(pdev_->hpglState.text.symbolSet, 629);
  // The same font at the same size changes set with the text, and back.
  FONTOBJ_pifi(font.get())->jWinCharSet = 238;
  EXPECT_EQ(Select(kUnivers, 50, font.get()), "\x1B(9E\x1B(s4148t0b0s12.00v1P");
  EXPECT_EQ(Select(kUnivers, 50, font.get()), "");
  FONTOBJ_pifi(font.get())->jWinCharSet = 0;
  EXPECT_EQ(Select(kUnivers, 50, font.get()), "\x1B(19U\x1B(s4148t0b0s12.00v1P");
}

// A job that turned the text path for a vertical font cannot count on the
// printer's path after the page reset: resident fonts put it back.
TEST_F(DeviceFontsTest, ResidentFontsPutTheTextPathBack) {
  kv5e::TextState& text = pdev_->hpglState.text;
  text.verticalPath = 1;
  text.verticalPathUsed = 1;
  kv5e::ResetHpglState(pdev_->hpglState);
  EXPECT_EQ(text.verticalPath, 2);
  EXPECT_EQ(Select(kUnivers, 50, nullptr), "\x1B&c0T\x1B(19U\x1B(s4148t0b0s12.00v1P");
  EXPECT_EQ(text.verticalPath, 0);
  // A job that never turned it sends nothing for it.
  text.verticalPathUsed = 0;
  kv5e::ResetHpglState(pdev_->hpglState);
  EXPECT_EQ(Select(kUnivers, 50, nullptr), "\x1B(19U\x1B(s4148t0b0s12.00v1P");
}

TEST_F(DeviceFontsTest, NothingIsWrittenForFontsOutsideTheTable) {
  pdev_->hpglState.bInHpgl2 = 1;
  EXPECT_FALSE(kv5e::SelectDeviceFont(pdev_, 0, 50, nullptr));
  EXPECT_FALSE(kv5e::SelectDeviceFont(pdev_, 63, 50, nullptr));
  EXPECT_FALSE(kv5e::SelectDeviceFont(pdev_, -1, -1, nullptr));
  // A selection string the library cannot read.
  const HANDLE module = pdev_->resourceModule;
  pdev_->resourceModule = nullptr;
  EXPECT_FALSE(kv5e::SelectDeviceFont(pdev_, kArial, 50, nullptr));
  pdev_->resourceModule = module;
  EXPECT_EQ(Take(), "");
  EXPECT_EQ(pdev_->hpglState.bInHpgl2, 1);
  EXPECT_EQ(pdev_->hpglState.lastFontIndex, -1);
}

}  // namespace
