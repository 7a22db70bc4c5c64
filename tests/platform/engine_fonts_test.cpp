// Realized fonts and strings of glyphs on the machine's fonts: face
// resolution, metrics, the font transform, glyph bitmaps and outlines, the
// font file image, glyph positions, and what bad requests get.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/engine_fonts.h"
#include "kvplat/fault.h"
#include "kvplat/kernel.h"

namespace {

using namespace std::literals;
using kvplat::engine::CreateFontObject;
using kvplat::engine::CreateStringObject;
using kvplat::engine::ResolvedFace;
using kvplat::engine::ResolveFace;

struct FontDeleter {
  void operator()(FONTOBJ* f) const { kvplat::engine::DeleteFontObject(f); }
};
using FontPtr = std::unique_ptr<FONTOBJ, FontDeleter>;
struct StringDeleter {
  void operator()(STROBJ* s) const { kvplat::engine::DeleteStringObject(s); }
};
using StringPtr = std::unique_ptr<STROBJ, StringDeleter>;

constexpr SIZEL k600{600, 600};
constexpr FLOATOBJ_XFORM kIdentity{1, 0, 0, 1, 0, 0};
// Arial's advances of "Hello" (design units of a 2048 em), which its
// metric-compatible stand-in shares.
constexpr double kHelloUnits = 1479 + 1139 + 455 + 455 + 1139;

LOGFONTW Logical(std::u16string_view face, LONG height, LONG weight = 400, bool italic = false,
                 LONG escapement = 0) {
  LOGFONTW font{};
  font.lfHeight = height;
  font.lfWeight = weight;
  font.lfItalic = italic ? 1 : 0;
  font.lfEscapement = escapement;
  font.lfOrientation = escapement;
  font.lfCharSet = 1;
  for (std::size_t i = 0; i < face.size() && i + 1 < LF_FACESIZE; ++i) font.lfFaceName[i] = face[i];
  return font;
}

FontPtr Realize(std::u16string_view face, LONG height, LONG weight = 400, bool italic = false,
                LONG escapement = 0) {
  return FontPtr(CreateFontObject(Logical(face, height, weight, italic, escapement), k600, kIdentity));
}

std::u16string Name(const IFIMETRICS* ifi, PTRDIFF offset) {
  return std::u16string(
      reinterpret_cast<const char16_t*>(reinterpret_cast<const unsigned char*>(ifi) + offset));
}

std::string FileName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

class EngineFonts : public ::testing::Test {
 protected:
  void SetUp() override {
    ResolvedFace face;
    if (!ResolveFace(u"Liberation Sans", 400, false, &face) ||
        FileName(face.path).find("LiberationSans") == std::string::npos) {
      GTEST_SKIP() << "fonts-liberation is not installed";
    }
  }
  void TearDown() override { kvplat::fault::ClearAll(); }
};

// ---- resolving faces

TEST_F(EngineFonts, WindowsNamesResolveToTheirLiberationStandIns) {
  struct Case {
    std::u16string_view name;
    LONG weight;
    bool italic;
    const char* file;
  };
  const Case cases[] = {
      {u"Arial", 400, false, "LiberationSans-Regular.ttf"},
      {u"Arial", 700, false, "LiberationSans-Bold.ttf"},
      {u"Arial", 700, true, "LiberationSans-BoldItalic.ttf"},
      {u"Times New Roman", 400, false, "LiberationSerif-Regular.ttf"},
      {u"Times New Roman", 400, true, "LiberationSerif-Italic.ttf"},
      {u"Courier New", 400, false, "LiberationMono-Regular.ttf"},
      {u"courier new", 0, false, "LiberationMono-Regular.ttf"},
  };
  for (const Case& c : cases) {
    ResolvedFace face;
    ASSERT_TRUE(ResolveFace(c.name, c.weight, c.italic, &face));
    EXPECT_EQ(FileName(face.path), c.file);
    EXPECT_EQ(face.index, 0);
    EXPECT_TRUE(face.standsFor);
  }
}

TEST_F(EngineFonts, UnknownFaceFallsBackToTheDefaultSansFace) {
  ResolvedFace fallback, sans;
  ASSERT_TRUE(ResolveFace(u"Zq No Such Face", 400, false, &fallback));
  ASSERT_TRUE(ResolveFace(u"", 400, false, &sans));
  EXPECT_FALSE(fallback.standsFor);
  EXPECT_EQ(fallback.path, sans.path);

  // The realized font is named for the face it really is.
  FontPtr font = Realize(u"Zq No Such Face", -100);
  ASSERT_NE(font, nullptr);
  IFIMETRICS* ifi = FONTOBJ_pifi(font.get());
  ASSERT_NE(ifi, nullptr);
  EXPECT_EQ(Name(ifi, ifi->dpwszFamilyName), sans.family);
}

// ---- metrics and transform

TEST_F(EngineFonts, MetricsCarryTheNameAskedForAndTheFacesDesign) {
  struct Case {
    std::u16string_view name;
    LONG weight;
    std::u16string_view face;
    bool fixed;
  };
  const Case cases[] = {
      {u"Arial", 400, u"Arial", false},
      {u"Arial", 700, u"Arial Bold", false},
      {u"Times New Roman", 400, u"Times New Roman", false},
      {u"Courier New", 400, u"Courier New", true},
  };
  for (const Case& c : cases) {
    FontPtr font = Realize(c.name, -100, c.weight);
    ASSERT_NE(font, nullptr);
    IFIMETRICS* ifi = FONTOBJ_pifi(font.get());
    ASSERT_NE(ifi, nullptr);
    EXPECT_EQ(ifi->fwdUnitsPerEm, 2048);
    EXPECT_EQ(Name(ifi, ifi->dpwszFamilyName), c.name);
    EXPECT_EQ(Name(ifi, ifi->dpwszFaceName), c.face);
    EXPECT_EQ((ifi->jWinPitchAndFamily & 1) != 0, c.fixed);
    EXPECT_EQ((ifi->flInfo & FM_INFO_CONSTANT_WIDTH) != 0, c.fixed);
    EXPECT_EQ(ifi->usWinWeight, c.weight);
    EXPECT_GT(ifi->rclFontBox.top, 0);
    EXPECT_LT(ifi->rclFontBox.bottom, 0);
    EXPECT_GE(ifi->cjThis, sizeof(IFIMETRICS));
    EXPECT_EQ(font->flFontType & (FO_SIM_BOLD | FO_SIM_ITALIC), 0u);
    EXPECT_EQ(font->flFontType & FO_TYPE_TRUETYPE, FO_TYPE_TRUETYPE);
    EXPECT_EQ(font->ulStyleSize, 12u);  // 100 pixels at 600 dpi
  }
}

TEST_F(EngineFonts, TransformFollowsHeightWidthAndEscapement) {
  struct Case {
    LOGFONTW font;
    FLOATOBJ_XFORM mapping;
    float m11, m12, m21, m22;
  };
  const float k = 100.0f / 2048;
  // At a 2048-pixel em one design unit is one pixel: twice the average width.
  FontPtr plain = Realize(u"Arial", -2048);
  ASSERT_NE(plain, nullptr);
  LOGFONTW wide = Logical(u"Arial", -2048);
  wide.lfWidth = 2 * FONTOBJ_pifi(plain.get())->fwdAveCharWidth;
  LOGFONTW cell = Logical(u"Arial", 100);  // cell height: ascent 1854 + descent 434
  const Case cases[] = {
      {Logical(u"Arial", -100), kIdentity, k, 0, 0, k},
      {Logical(u"Arial", -100, 400, false, 900), kIdentity, 0, -k, k, 0},
      {Logical(u"Arial", -100, 400, false, 1800), kIdentity, -k, 0, 0, -k},
      {Logical(u"Arial", -100, 400, false, -900), kIdentity, 0, k, -k, 0},
      {Logical(u"Arial", -50), FLOATOBJ_XFORM{2, 0, 0, -2, 0, 0}, k, 0, 0, k},
      {wide, kIdentity, 2, 0, 0, 1},
      {cell, kIdentity, 100.0f / 2288, 0, 0, 100.0f / 2288},
  };
  for (const Case& c : cases) {
    FontPtr font(CreateFontObject(c.font, k600, c.mapping));
    ASSERT_NE(font, nullptr);
    XFORML m{};
    XFORMOBJ* xo = FONTOBJ_pxoGetXform(font.get());
    ASSERT_NE(XFORMOBJ_iGetXform(xo, &m), DDI_ERROR);
    EXPECT_NEAR(m.eM11, c.m11, 1e-3) << c.font.lfEscapement;
    EXPECT_NEAR(m.eM12, c.m12, 1e-3) << c.font.lfEscapement;
    EXPECT_NEAR(m.eM21, c.m21, 1e-3) << c.font.lfEscapement;
    EXPECT_NEAR(m.eM22, c.m22, 1e-3) << c.font.lfEscapement;
  }
}

// ---- glyphs

HGLYPH GlyphOf(FONTOBJ* font, char16_t c) {
  StringPtr str(CreateStringObject(font, std::u16string_view(&c, 1), false, POINTL{0, 0}));
  return str != nullptr && str->cGlyphs == 1 ? str->pgp[0].hg : 0;
}

TEST_F(EngineFonts, GlyphBitmapsHoldTheInkAboveTheBaseline) {
  FontPtr font = Realize(u"Arial", -100);
  ASSERT_NE(font, nullptr);
  HGLYPH a = GlyphOf(font.get(), u'A');
  ASSERT_NE(a, 0u);
  GLYPHDATA* data = nullptr;
  ASSERT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_GLYPHBITS, 1, &a, reinterpret_cast<PVOID*>(&data)), 1u);
  ASSERT_NE(data, nullptr);
  GLYPHBITS* bits = data->gdf.pgb;
  ASSERT_NE(bits, nullptr);
  // Cap height 1409 of 2048: about 69 pixels tall, sitting on the baseline.
  EXPECT_NEAR(bits->sizlBitmap.cy, 69, 2);
  EXPECT_NEAR(bits->ptlOrigin.y, -69, 2);
  EXPECT_GT(bits->sizlBitmap.cx, 50);
  LONG stride = (bits->sizlBitmap.cx + 7) / 8;
  int set = 0;
  for (LONG i = 0; i < stride * bits->sizlBitmap.cy; ++i) set += __builtin_popcount(bits->aj[i]);
  EXPECT_GT(set, 500);
  EXPECT_EQ(data->hg, a);
  EXPECT_NEAR(data->fxD / 16.0, 1366 * 100.0 / 2048, 0.1);
  EXPECT_GT(data->fxInkTop, 0);

  HGLYPH space = GlyphOf(font.get(), u' ');
  ASSERT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_GLYPHBITS, 1, &space, reinterpret_cast<PVOID*>(&data)), 1u);
  EXPECT_TRUE(data->gdf.pgb->sizlBitmap.cx == 0 || data->gdf.pgb->sizlBitmap.cy == 0);
  EXPECT_GT(data->fxD, 0);
}

TEST_F(EngineFonts, OutlineOfOIsTwoClosedFigures) {
  FontPtr font = Realize(u"Arial", -100);
  ASSERT_NE(font, nullptr);
  HGLYPH o = GlyphOf(font.get(), u'O');
  GLYPHDATA* data = nullptr;
  ASSERT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_PATHOBJ, 1, &o, reinterpret_cast<PVOID*>(&data)), 1u);
  PATHOBJ* path = data->gdf.ppo;
  ASSERT_NE(path, nullptr);
  int begun = 0, closed = 0;
  bool curves = false;
  PATHOBJ_vEnumStart(path);
  for (BOOL more = TRUE; more;) {
    PATHDATA pd{};
    more = PATHOBJ_bEnum(path, &pd);
    if (pd.flags & PD_BEGINSUBPATH) ++begun;
    if (pd.flags & PD_CLOSEFIGURE) ++closed;
    if (pd.flags & PD_BEZIERS) curves = true;
  }
  EXPECT_EQ(begun, 2);
  EXPECT_EQ(closed, 2);
  EXPECT_TRUE(curves);
  // The letter stands on the baseline, cap height high (y down, 28.4).
  RECTFX box{};
  PATHOBJ_vGetBounds(path, &box);
  EXPECT_NEAR(box.yTop / 16.0, -70, 3);
  EXPECT_NEAR(box.yBottom / 16.0, 1, 2);
}

TEST_F(EngineFonts, SimulatesStylesTheFaceLacks) {
  ResolvedFace face;
  if (!ResolveFace(u"IPAGothic", 700, true, &face) || face.family != u"IPAGothic") {
    GTEST_SKIP() << "no face without bold and italic variants";
  }
  FontPtr plain = Realize(u"IPAGothic", -100);
  FontPtr styled = Realize(u"IPAGothic", -100, 700, true);
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(styled, nullptr);
  EXPECT_EQ(plain->flFontType & (FO_SIM_BOLD | FO_SIM_ITALIC), 0u);
  EXPECT_EQ(styled->flFontType & (FO_SIM_BOLD | FO_SIM_ITALIC), FO_SIM_BOLD | FO_SIM_ITALIC);
  // Emboldened and slanted: more ink, wider than the plain glyph.
  auto inked = [](FONTOBJ* font, HGLYPH hg, LONG* width) {
    GLYPHDATA* data = nullptr;
    if (FONTOBJ_cGetGlyphs(font, FO_GLYPHBITS, 1, &hg, reinterpret_cast<PVOID*>(&data)) != 1) return -1;
    GLYPHBITS* bits = data->gdf.pgb;
    *width = bits->sizlBitmap.cx;
    int set = 0;
    for (LONG i = 0; i < (bits->sizlBitmap.cx + 7) / 8 * bits->sizlBitmap.cy; ++i) {
      set += __builtin_popcount(bits->aj[i]);
    }
    return set;
  };
  HGLYPH l = GlyphOf(plain.get(), u'H');
  LONG plainWidth = 0, styledWidth = 0;
  int plainInk = inked(plain.get(), l, &plainWidth);
  int styledInk = inked(styled.get(), l, &styledWidth);
  EXPECT_GT(styledInk, plainInk);
  EXPECT_GT(styledWidth, plainWidth + 10);
}

// ---- the font file

TEST_F(EngineFonts, TrueTypeFileImageIsTheWholeFile) {
  for (std::u16string_view name : {u"Arial", u"Times New Roman", u"Courier New"}) {
    FontPtr font = Realize(name, -100);
    ASSERT_NE(font, nullptr);
    ResolvedFace face;
    ASSERT_TRUE(ResolveFace(name, 400, false, &face));
    ULONG size = 0;
    auto* image = static_cast<const unsigned char*>(FONTOBJ_pvTrueTypeFontFile(font.get(), &size));
    ASSERT_NE(image, nullptr);
    std::error_code error;
    EXPECT_EQ(size, std::filesystem::file_size(face.path, error));
    ASSERT_GE(size, 4u);
    bool sfnt = std::memcmp(image, "\0\1\0\0", 4) == 0 || std::memcmp(image, "true", 4) == 0 ||
                std::memcmp(image, "ttcf", 4) == 0;
    EXPECT_TRUE(sfnt);
    EXPECT_EQ(font->iFace, 1u);
  }
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
  std::vector<unsigned char> bytes;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    unsigned char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    std::fclose(file);
  }
  return bytes;
}

void PutBe32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}
std::uint32_t Be32(const std::vector<unsigned char>& bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
         std::uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

// A TrueType collection of whole fonts: each font's table offsets are moved
// to count from the start of the collection.
std::vector<unsigned char> Collection(const std::vector<std::vector<unsigned char>>& fonts) {
  std::size_t header = 12 + 4 * fonts.size();
  std::vector<unsigned char> out(header);
  std::memcpy(out.data(), "ttcf", 4);
  PutBe32(out, 4, 0x00010000);
  PutBe32(out, 8, static_cast<std::uint32_t>(fonts.size()));
  for (std::size_t i = 0; i < fonts.size(); ++i) {
    std::size_t base = out.size();
    PutBe32(out, 12 + 4 * i, static_cast<std::uint32_t>(base));
    std::vector<unsigned char> font = fonts[i];
    std::size_t tables = std::size_t{font[4]} << 8 | font[5];
    for (std::size_t t = 0; t < tables; ++t) {
      std::size_t record = 12 + 16 * t + 8;
      PutBe32(font, record, Be32(font, record) + static_cast<std::uint32_t>(base));
    }
    font.resize((font.size() + 3) & ~std::size_t{3});
    out.insert(out.end(), font.begin(), font.end());
  }
  return out;
}

TEST_F(EngineFonts, CollectionsHandOverTheWholeFileAndTheirFaceNumber) {
  ResolvedFace sans, mono;
  ASSERT_TRUE(ResolveFace(u"Arial", 400, false, &sans));
  ASSERT_TRUE(ResolveFace(u"Courier New", 400, false, &mono));
  std::vector<unsigned char> bytes = Collection({ReadBytes(sans.path), ReadBytes(mono.path)});
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("kv_fonts_" + std::to_string(::getpid()) + ".ttc");
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
  }
  ResolvedFace second;
  second.path = path.string();
  second.index = 1;
  FontPtr font(kvplat::engine::CreateFontObjectForFace(Logical(u"Courier New", -100), second, k600,
                                                       kIdentity));
  std::filesystem::remove(path);  // the face keeps the file's bytes
  ASSERT_NE(font, nullptr);
  EXPECT_EQ(font->iFace, 2u);
  IFIMETRICS* ifi = FONTOBJ_pifi(font.get());
  EXPECT_EQ(Name(ifi, ifi->dpwszFamilyName), u"Liberation Mono");
  EXPECT_NE(ifi->jWinPitchAndFamily & 1, 0);
  ULONG size = 0;
  auto* image = static_cast<const unsigned char*>(FONTOBJ_pvTrueTypeFontFile(font.get(), &size));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(size, bytes.size());
  EXPECT_EQ(std::memcmp(image, "ttcf", 4), 0);
  HGLYPH a = GlyphOf(font.get(), u'A');
  GLYPHDATA* data = nullptr;
  ASSERT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_GLYPHBITS, 1, &a, reinterpret_cast<PVOID*>(&data)), 1u);
  EXPECT_NEAR(data->fxD / 16.0, 60, 0.1);  // the fixed pitch of the second face

  // A face number the file does not have is refused.
  second.index = 2;
  EXPECT_EQ(kvplat::engine::CreateFontObjectForFace(Logical(u"x", -100), second, k600, kIdentity),
            nullptr);
}

// A symbol font's character map is its own (platform 3, encoding 0): its
// characters are found through it, at their codes or at 0xF000 and above.
TEST_F(EngineFonts, SymbolFontsMapTheirCharacters) {
  ResolvedFace sans;
  ASSERT_TRUE(ResolveFace(u"Liberation Sans", 400, false, &sans));
  std::vector<unsigned char> bytes = ReadBytes(sans.path);
  ASSERT_GT(bytes.size(), 12u);
  auto u16 = [&](std::size_t at) { return static_cast<unsigned>(bytes[at] << 8 | bytes[at + 1]); };
  auto u32 = [&](std::size_t at) { return static_cast<std::size_t>(u16(at)) << 16 | u16(at + 2); };
  std::size_t cmap = 0;
  for (unsigned t = 0; t < u16(4); ++t) {
    const std::size_t entry = 12 + 16 * static_cast<std::size_t>(t);
    if (std::memcmp(&bytes[entry], "cmap", 4) == 0) cmap = u32(entry + 8);
  }
  ASSERT_NE(cmap, 0u);
  // Every encoding record becomes a Windows symbol one.
  for (unsigned r = 0; r < u16(cmap + 2); ++r) {
    const std::size_t record = cmap + 4 + 8 * static_cast<std::size_t>(r);
    bytes[record] = 0, bytes[record + 1] = 3, bytes[record + 2] = 0, bytes[record + 3] = 0;
  }
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("kv_symbol_" + std::to_string(::getpid()) + ".ttf");
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
  }
  ResolvedFace symbol;
  symbol.path = path.string();
  FontPtr font(kvplat::engine::CreateFontObjectForFace(Logical(u"Symbolic", -100), symbol, k600,
                                                       kIdentity));
  std::filesystem::remove(path);
  ASSERT_NE(font, nullptr);
  EXPECT_NE(GlyphOf(font.get(), u'A'), 0u);
}

// Images too large to keep are handed over as rendered, by both ways of
// asking for them, and alike.
TEST_F(EngineFonts, LargeGlyphImagesComeAlikeBothWays) {
  FontPtr font = Realize(u"Arial", -1000);
  ASSERT_NE(font, nullptr);
  const HGLYPH w = GlyphOf(font.get(), u'W');
  HGLYPH handle = w;
  GLYPHDATA* data = nullptr;
  ASSERT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_GLYPHBITS, 1, &handle, reinterpret_cast<PVOID*>(&data)), 1u);
  const GLYPHBITS* bits = data->gdf.pgb;
  ASSERT_NE(bits, nullptr);
  const std::size_t bytes = (bits->sizlBitmap.cx + 7) / 8 * std::size_t(bits->sizlBitmap.cy);
  ASSERT_GT(bytes, 32u * 1024u);  // larger than what a font keeps
  const std::vector<BYTE> image(bits->aj, bits->aj + bytes);
  const SIZEL size = bits->sizlBitmap;

  StringPtr str(CreateStringObject(font.get(), std::u16string_view(u"WW"), false, POINTL{0, 0}));
  ASSERT_NE(str, nullptr);
  STROBJ_vEnumStart(str.get());
  ULONG count = 0;
  GLYPHPOS* positions = nullptr;
  STROBJ_bEnum(str.get(), &count, &positions);
  ASSERT_EQ(count, 2u);
  for (ULONG i = 0; i < count; ++i) {
    ASSERT_NE(positions[i].pgdf, nullptr);
    const GLYPHBITS* each = positions[i].pgdf->pgb;
    ASSERT_NE(each, nullptr);
    EXPECT_EQ(each->sizlBitmap.cx, size.cx);
    EXPECT_EQ(each->sizlBitmap.cy, size.cy);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), each->aj));
  }
}

TEST_F(EngineFonts, FarGlyphPositionsAreHeldNotWrapped) {
  FontPtr font = Realize(u"Arial", -100);
  ASSERT_NE(font, nullptr);
  const LONG advances[] = {2147483000, 2147483000, 10};
  StringPtr str(CreateStringObject(font.get(), std::u16string_view(u"ABC"), false, POINTL{0, 0},
                                   advances));
  ASSERT_NE(str, nullptr);
  EXPECT_GT(str->pgp[1].ptl.x, 2147482000);
  EXPECT_EQ(str->pgp[2].ptl.x, 2147483647);
}

TEST_F(EngineFonts, FontInfoSizesTheLargestGlyph) {
  FontPtr font = Realize(u"Arial", -100);
  FONTINFO info{};
  FONTOBJ_vGetInfo(font.get(), sizeof(info), &info);
  EXPECT_EQ(info.cjThis, sizeof(FONTINFO));
  EXPECT_EQ(info.flCaps & FO_DEVICE_FONT, 0u);
  EXPECT_GT(info.cGlyphsSupported, 200u);
  // Every glyph image fits the announced size.
  HGLYPH w = GlyphOf(font.get(), u'W');
  GLYPHDATA* data = nullptr;
  ASSERT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_GLYPHBITS, 1, &w, reinterpret_cast<PVOID*>(&data)), 1u);
  const SIZEL& size = data->gdf.pgb->sizlBitmap;
  EXPECT_LE(16u + (size.cx + 7) / 8 * size.cy, info.cjMaxGlyph1);
  EXPECT_LT(info.cjMaxGlyph1, info.cjMaxGlyph8);
}

// ---- strings

std::vector<GLYPHPOS> Enumerate(STROBJ* str, int* batches) {
  std::vector<GLYPHPOS> out;
  STROBJ_vEnumStart(str);
  *batches = 0;
  for (BOOL more = TRUE; more;) {
    ULONG count = 0;
    GLYPHPOS* pos = nullptr;
    more = STROBJ_bEnum(str, &count, &pos);
    ++*batches;
    for (ULONG i = 0; i < count; ++i) out.push_back(pos[i]);
    if (*batches > 1000) break;
  }
  return out;
}

TEST_F(EngineFonts, HelloAdvancesByTheFacesScaledWidths) {
  FontPtr font = Realize(u"Arial", -100);  // 12 points at 600 dpi
  ASSERT_NE(font, nullptr);
  std::u16string_view hello = u"Hello";
  double advances[5]{};
  ASSERT_TRUE(kvplat::engine::GlyphAdvances(font.get(), hello, false, advances));
  double sum = 0;
  for (double a : advances) sum += a;
  EXPECT_NEAR(sum, kHelloUnits * 100 / 2048, 1.0);

  StringPtr str(CreateStringObject(font.get(), hello, false, POINTL{1000, 2000}));
  ASSERT_NE(str, nullptr);
  ASSERT_EQ(str->cGlyphs, 5u);
  EXPECT_EQ(str->flAccel & (SO_FLAG_DEFAULT_PLACEMENT | SO_HORIZONTAL),
            SO_FLAG_DEFAULT_PLACEMENT | SO_HORIZONTAL);
  EXPECT_EQ(str->ulCharInc, 0u);
  EXPECT_EQ(std::u16string_view(str->pwszOrg, 5), hello);
  int batches = 0;
  std::vector<GLYPHPOS> pos = Enumerate(str.get(), &batches);
  ASSERT_EQ(pos.size(), 5u);
  EXPECT_EQ(pos[0].ptl.x, 1000);
  double pen = 1000;
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_NEAR(pos[i].ptl.x, pen, 0.5);
    EXPECT_EQ(pos[i].ptl.y, 2000);
    ASSERT_NE(pos[i].pgdf, nullptr);
    EXPECT_GT(pos[i].pgdf->pgb->sizlBitmap.cx, 0);
    pen += advances[i];
  }
  // The background covers the cell from the pen start to its end.
  EXPECT_EQ(str->rclBkGround.left, 1000);
  EXPECT_NEAR(str->rclBkGround.right, pen, 1);
  EXPECT_NEAR(str->rclBkGround.top, 2000 - 1854 * 100 / 2048.0, 1);
  EXPECT_NEAR(str->rclBkGround.bottom, 2000 + 434 * 100 / 2048.0, 1);

  SIZEL extent{};
  ASSERT_TRUE(kvplat::engine::TextExtent(font.get(), hello, false, &extent));
  EXPECT_NEAR(extent.cx, sum, 0.5);
  EXPECT_NEAR(extent.cy, 2288 * 100 / 2048.0, 0.5);
}

TEST_F(EngineFonts, FixedPitchRunsHaveOneCharacterIncrement) {
  FontPtr font = Realize(u"Courier New", -100);
  StringPtr str(CreateStringObject(font.get(), u"iW.m"sv, false, POINTL{0, 500}));
  ASSERT_NE(str, nullptr);
  // 1229 of 2048 units: 60 pixels, the same for every glyph.
  EXPECT_EQ(str->ulCharInc, 60u);
  for (ULONG i = 0; i < 4; ++i) EXPECT_EQ(str->pgp[i].ptl.x, static_cast<LONG>(60 * i));
}

TEST_F(EngineFonts, PositionsFollowGivenAdvances) {
  FontPtr font = Realize(u"Arial", -100);
  const LONG dx[] = {10, 200, -30, 7};
  StringPtr str(CreateStringObject(font.get(), u"Hell"sv, false, POINTL{50, 60}, dx));
  ASSERT_NE(str, nullptr);
  EXPECT_EQ(str->flAccel & SO_FLAG_DEFAULT_PLACEMENT, 0u);
  const LONG expected[] = {50, 60, 260, 230};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(str->pgp[i].ptl.x, expected[i]);
    EXPECT_EQ(str->pgp[i].ptl.y, 60);
  }
  // Too few advances for the text is refused.
  EXPECT_EQ(CreateStringObject(font.get(), u"Hello"sv, false, POINTL{0, 0}, dx), nullptr);
}

TEST_F(EngineFonts, EscapementTurnsThePositions) {
  struct Case {
    LONG escapement;
    FLONG flags;
    int dx, dy;  // signs of the step from glyph to glyph
  };
  const Case cases[] = {
      {900, SO_VERTICAL | SO_REVERSED, 0, -1},
      {1800, SO_HORIZONTAL | SO_REVERSED, -1, 0},
      {2700, SO_VERTICAL, 0, 1},
      {450, 0, 1, -1},
  };
  for (const Case& c : cases) {
    FontPtr font = Realize(u"Arial", -100, 400, false, c.escapement);
    ASSERT_NE(font, nullptr);
    StringPtr str(CreateStringObject(font.get(), u"Hello"sv, false, POINTL{3000, 3000}));
    ASSERT_NE(str, nullptr);
    EXPECT_EQ(str->flAccel & (SO_HORIZONTAL | SO_VERTICAL | SO_REVERSED), c.flags) << c.escapement;
    for (int i = 0; i + 1 < 5; ++i) {
      LONG sx = str->pgp[i + 1].ptl.x - str->pgp[i].ptl.x;
      LONG sy = str->pgp[i + 1].ptl.y - str->pgp[i].ptl.y;
      EXPECT_EQ((sx > 0) - (sx < 0), c.dx) << c.escapement << " glyph " << i;
      EXPECT_EQ((sy > 0) - (sy < 0), c.dy) << c.escapement << " glyph " << i;
    }
    double run = std::hypot(str->pgp[4].ptl.x - 3000.0, str->pgp[4].ptl.y - 3000.0);
    EXPECT_NEAR(run, (kHelloUnits - 1139) * 100 / 2048, 1.5) << c.escapement;
    // The background rectangle holds every glyph origin.
    for (int i = 0; i < 5; ++i) {
      EXPECT_GE(str->pgp[i].ptl.x, str->rclBkGround.left);
      EXPECT_LE(str->pgp[i].ptl.x, str->rclBkGround.right);
      EXPECT_GE(str->pgp[i].ptl.y, str->rclBkGround.top);
      EXPECT_LE(str->pgp[i].ptl.y, str->rclBkGround.bottom);
    }
  }
  // At 90 degrees the glyph images are turned too: 'H' lies on its side, its
  // cap height (about 69 pixels) across the page, left of a baseline going up.
  FontPtr up = Realize(u"Arial", -100, 400, false, 900);
  HGLYPH h = GlyphOf(up.get(), u'H');
  GLYPHDATA* data = nullptr;
  ASSERT_EQ(FONTOBJ_cGetGlyphs(up.get(), FO_GLYPHBITS, 1, &h, reinterpret_cast<PVOID*>(&data)), 1u);
  EXPECT_NEAR(data->gdf.pgb->sizlBitmap.cx, 69, 2);
  EXPECT_NEAR(data->gdf.pgb->ptlOrigin.x, -69, 2);
  EXPECT_LT(data->gdf.pgb->ptlOrigin.y, -50);  // the glyph's advance runs up the page
  EXPECT_NEAR(data->fxD / 16.0, 1479 * 100 / 2048.0, 0.1);
}

TEST_F(EngineFonts, LongStringsEnumerateInBatches) {
  FontPtr font = Realize(u"Arial", -40);
  std::u16string text(100, u'x');
  StringPtr str(CreateStringObject(font.get(), text, false, POINTL{0, 100}));
  ASSERT_NE(str, nullptr);
  int batches = 0;
  std::vector<GLYPHPOS> pos = Enumerate(str.get(), &batches);
  ASSERT_EQ(pos.size(), 100u);
  EXPECT_GT(batches, 1);
  for (std::size_t i = 1; i < pos.size(); ++i) EXPECT_GT(pos[i].ptl.x, pos[i - 1].ptl.x);
  // Enumerating again starts over.
  std::vector<GLYPHPOS> again = Enumerate(str.get(), &batches);
  EXPECT_EQ(again.size(), 100u);
}

TEST_F(EngineFonts, GlyphIndexRunsKeepTheirIndices) {
  FontPtr font = Realize(u"Arial", -100);
  HGLYPH a = GlyphOf(font.get(), u'A');
  const WCHAR indices[] = {static_cast<WCHAR>(a), static_cast<WCHAR>(a)};
  StringPtr str(CreateStringObject(font.get(), indices, true, POINTL{0, 0}));
  ASSERT_NE(str, nullptr);
  EXPECT_NE(str->flAccel & SO_GLYPHINDEX_TEXTOUT, 0u);
  EXPECT_EQ(str->pgp[1].hg, a);
  EXPECT_EQ(str->pgp[1].ptl.x, std::lround(1366 * 100 / 2048.0));
}

// ---- bad input

TEST_F(EngineFonts, SizesOutOfRangeAreMadeSensible) {
  FontPtr zero = Realize(u"Arial", 0);
  ASSERT_NE(zero, nullptr);
  EXPECT_EQ(zero->ulStyleSize, static_cast<ULONG>(kvplat::engine::kDefaultPointSize));

  for (LONG height : {-2000000000, 2000000000}) {
    LOGFONTW huge = Logical(u"Arial", height);
    huge.lfWidth = 2000000000;
    FontPtr font(CreateFontObject(huge, k600, kIdentity));
    ASSERT_NE(font, nullptr);
    XFORML m{};
    XFORMOBJ_iGetXform(FONTOBJ_pxoGetXform(font.get()), &m);
    EXPECT_LE(m.eM22 * 2048, kvplat::engine::kMaxEmPixels + 1);
    EXPECT_LE(m.eM11 * 2048, kvplat::engine::kMaxEmPixels + 1);
    StringPtr str(CreateStringObject(font.get(), u"Hi"sv, false, POINTL{0, 0}));
    EXPECT_NE(str, nullptr);
  }
  // A mapping that collapses an axis cannot size a font.
  EXPECT_EQ(CreateFontObject(Logical(u"Arial", -10), k600, FLOATOBJ_XFORM{1, 0, 0, 0, 0, 0}),
            nullptr);
  EXPECT_EQ(CreateFontObject(Logical(u"Arial", -10), SIZEL{0, 600}, kIdentity), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(EngineFonts, NullAndForeignObjectsAreRefused) {
  EXPECT_EQ(FONTOBJ_pifi(nullptr), nullptr);
  EXPECT_EQ(FONTOBJ_pxoGetXform(nullptr), nullptr);
  HGLYPH hg = 1;
  PVOID glyph = nullptr;
  EXPECT_EQ(FONTOBJ_cGetGlyphs(nullptr, FO_GLYPHBITS, 1, &hg, &glyph), 0u);
  ULONG size = 77;
  EXPECT_EQ(FONTOBJ_pvTrueTypeFontFile(nullptr, &size), nullptr);
  EXPECT_EQ(size, 0u);
  FONTINFO info{};
  FONTOBJ_vGetInfo(nullptr, sizeof(info), &info);
  EXPECT_EQ(info.cjThis, 0u);
  ULONG count = 5;
  GLYPHPOS* pos = nullptr;
  STROBJ_vEnumStart(nullptr);
  EXPECT_FALSE(STROBJ_bEnum(nullptr, &count, &pos));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(CreateStringObject(nullptr, u"x"sv, false, POINTL{0, 0}), nullptr);
  kvplat::engine::DeleteFontObject(nullptr);
  kvplat::engine::DeleteStringObject(nullptr);

  // A string object is not a font object, and glyph handles must exist.
  FontPtr font = Realize(u"Arial", -100);
  StringPtr str(CreateStringObject(font.get(), u"x"sv, false, POINTL{0, 0}));
  EXPECT_EQ(FONTOBJ_pifi(reinterpret_cast<FONTOBJ*>(str.get())), nullptr);
  HGLYPH missing = 0xFFFFFF;
  EXPECT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_GLYPHBITS, 1, &missing, &glyph), 0u);
  EXPECT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_HGLYPHS, 1, &hg, &glyph), 0u);
  EXPECT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_GLYPHBITS, 0, &hg, &glyph), 0u);

  // An empty string is a string of no glyphs.
  StringPtr empty(CreateStringObject(font.get(), std::u16string_view(), false, POINTL{0, 0}));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->cGlyphs, 0u);
  int batches = 0;
  EXPECT_TRUE(Enumerate(empty.get(), &batches).empty());
}

TEST_F(EngineFonts, AllocationFailuresFailCleanly) {
  FontPtr font = Realize(u"Arial", -100);
  ASSERT_NE(font, nullptr);
  for (std::uint64_t pass = 0; pass < 4; ++pass) {
    kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, pass, 1);
    FontPtr other = Realize(u"Times New Roman", -100);
    kvplat::fault::ClearAll();
    if (other != nullptr) {
      EXPECT_NE(FONTOBJ_pifi(other.get()), nullptr);
    }
  }
  kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0, 1);
  EXPECT_EQ(CreateStringObject(font.get(), u"Hello"sv, false, POINTL{0, 0}), nullptr);
  kvplat::fault::ClearAll();
  // The font keeps working afterwards.
  HGLYPH a = GlyphOf(font.get(), u'A');
  PVOID glyph = nullptr;
  EXPECT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_GLYPHBITS, 1, &a, &glyph), 1u);
}

// A library keeps what it made for a realization (a printer's soft font) by
// its unique value: the same font made again keeps it, any difference in
// size, angle, simulation or name makes another.
TEST_F(EngineFonts, SameRealizationKeepsItsUniqueValue) {
  FontPtr first = Realize(u"Arial", -100);
  ASSERT_NE(first, nullptr);
  const ULONG uniq = first->iUniq;
  first.reset();
  FontPtr again = Realize(u"Arial", -100);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->iUniq, uniq);
  FontPtr twin = Realize(u"Arial", -100);
  EXPECT_EQ(twin->iUniq, uniq);
  const FontPtr others[] = {Realize(u"Arial", -101), Realize(u"Arial", -100, 700),
                            Realize(u"Arial", -100, 400, true), Realize(u"Arial", -100, 400, false, 900),
                            Realize(u"Liberation Sans", -100)};
  for (const FontPtr& other : others) {
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other->iUniq, uniq);
  }
}

TEST_F(EngineFonts, FontsShareTheirFaceAndOutliveEachOther) {
  FontPtr first = Realize(u"Arial", -100);
  FontPtr second = Realize(u"Arial", -30);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->iFile, second->iFile);
  EXPECT_NE(first->iUniq, second->iUniq);
  ULONG size1 = 0, size2 = 0;
  EXPECT_EQ(FONTOBJ_pvTrueTypeFontFile(first.get(), &size1),
            FONTOBJ_pvTrueTypeFontFile(second.get(), &size2));
  // Each keeps its own size on the shared face.
  HGLYPH a = GlyphOf(first.get(), u'A');
  GLYPHDATA* big = nullptr;
  GLYPHDATA* small = nullptr;
  ASSERT_EQ(FONTOBJ_cGetGlyphs(first.get(), FO_GLYPHBITS, 1, &a, reinterpret_cast<PVOID*>(&big)), 1u);
  LONG bigHeight = big->gdf.pgb->sizlBitmap.cy;
  ASSERT_EQ(FONTOBJ_cGetGlyphs(second.get(), FO_GLYPHBITS, 1, &a, reinterpret_cast<PVOID*>(&small)), 1u);
  EXPECT_NEAR(bigHeight, 69, 2);
  EXPECT_NEAR(small->gdf.pgb->sizlBitmap.cy, 21, 2);
  first.reset();
  ASSERT_EQ(FONTOBJ_cGetGlyphs(second.get(), FO_GLYPHBITS, 1, &a, reinterpret_cast<PVOID*>(&small)), 1u);
  EXPECT_NEAR(small->gdf.pgb->sizlBitmap.cy, 21, 2);
}

}  // namespace
