// The checked-in metrics resources of the resident fonts (pclcore/5e/fonts) and
// the string table of kvsa5e.rc that goes with them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/engine.h"
#include "kvrc.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFontCount = 62;
constexpr std::size_t kWidthsOffset = 80;
constexpr std::size_t kNameOffset = 592;

std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(U16(b, at)) | (static_cast<std::uint32_t>(U16(b, at + 2)) << 16);
}
std::uint64_t U64(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint64_t>(U32(b, at)) | (static_cast<std::uint64_t>(U32(b, at + 4)) << 32);
}
std::int16_t I16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::int16_t>(U16(b, at));
}
std::int32_t I32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::int32_t>(U32(b, at));
}

// One font resource as read from the source tree, with accessors for the
// fields the driver reads.
struct FontFile {
  int index = 0;
  std::vector<std::uint8_t> bytes;
  std::size_t ifi = 0;

  std::uint16_t Width(int code) const { return U16(bytes, kWidthsOffset + 2 * code); }
  std::string Name() const {
    std::string s;
    for (std::size_t i = U32(bytes, 8); i < bytes.size() && bytes[i]; ++i) s.push_back(static_cast<char>(bytes[i]));
    return s;
  }
  std::size_t Field(std::size_t offset) const { return ifi + offset; }
  std::uint8_t Charset() const { return bytes.at(Field(offsetof(IFIMETRICS, jWinCharSet))); }
  std::uint8_t PitchFamily() const { return bytes.at(Field(offsetof(IFIMETRICS, jWinPitchAndFamily))); }
  int UnitsPerEm() const { return I16(bytes, Field(offsetof(IFIMETRICS, fwdUnitsPerEm))); }
  int AveWidth() const { return I16(bytes, Field(offsetof(IFIMETRICS, fwdAveCharWidth))); }
  int MaxInc() const { return I16(bytes, Field(offsetof(IFIMETRICS, fwdMaxCharInc))); }
  std::uint16_t Selection() const { return U16(bytes, Field(offsetof(IFIMETRICS, fsSelection))); }
  std::uint16_t Weight() const { return U16(bytes, Field(offsetof(IFIMETRICS, usWinWeight))); }
  std::int32_t BoxTop() const { return I32(bytes, Field(offsetof(IFIMETRICS, rclFontBox) + offsetof(RECTL, top))); }
  std::int32_t BoxBottom() const {
    return I32(bytes, Field(offsetof(IFIMETRICS, rclFontBox) + offsetof(RECTL, bottom)));
  }
  // A UTF-16 string of the block at a block-relative offset.
  std::u16string BlockString(std::size_t dp) const {
    std::u16string s;
    for (std::size_t at = ifi + dp; at + 1 < bytes.size() && U16(bytes, at); at += 2) s.push_back(U16(bytes, at));
    return s;
  }
};

std::vector<FontFile> LoadFonts() {
  std::vector<FontFile> fonts;
  for (int i = 1; i <= kFontCount; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "font%02d.bin", i);
    const fs::path path = fs::path(KV_SOURCE_DIR) / "pclcore" / "5e" / "fonts" / name;
    std::ifstream in(path, std::ios::binary);
    FontFile f;
    f.index = i;
    f.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    EXPECT_TRUE(in.good() || in.eof()) << path;
    if (f.bytes.size() >= 24) f.ifi = U32(f.bytes, 12);
    fonts.push_back(std::move(f));
  }
  return fonts;
}

class FontResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fonts_ = new std::vector<FontFile>(LoadFonts());
    compiled_ = new kvrc::Compiled;
    std::string error;
    scriptOk_ = kvrc::CompileFile(fs::path(KV_SOURCE_DIR) / "pclcore" / "5e" / "kvsa5e.rc", *compiled_, error);
    scriptError_ = error;
  }
  static void TearDownTestSuite() {
    delete fonts_;
    delete compiled_;
  }
  static std::string Selection(int font) {
    const auto s = kvrc::FindString(compiled_->resources, 1000 + font);
    return s ? std::string(s->begin(), s->end()) : std::string();
  }
  static std::vector<FontFile>* fonts_;
  static kvrc::Compiled* compiled_;
  static bool scriptOk_;
  static std::string scriptError_;
};
std::vector<FontFile>* FontResources::fonts_ = nullptr;
kvrc::Compiled* FontResources::compiled_ = nullptr;
bool FontResources::scriptOk_ = false;
std::string FontResources::scriptError_;

TEST_F(FontResources, HeadersAndBlocksAreConsistent) {
  for (const FontFile& f : *fonts_) {
    SCOPED_TRACE("font " + std::to_string(f.index));
    const auto& b = f.bytes;
    ASSERT_GE(b.size(), kNameOffset + sizeof(IFIMETRICS));
    EXPECT_EQ(U16(b, 0), 0);
    EXPECT_EQ(U16(b, 2), 1);
    EXPECT_EQ(U32(b, 4), b.size());
    EXPECT_EQ(U32(b, 8), kNameOffset);
    EXPECT_EQ(U32(b, 16), 0u);  // no kerning pairs
    EXPECT_EQ(U32(b, 20), 0u);
    // The block is used in place and holds 64-bit offsets: 8-byte aligned,
    // after the name, and it ends the resource together with its strings.
    EXPECT_EQ(f.ifi % 8, 0u);
    EXPECT_GT(f.ifi, kNameOffset + f.Name().size());
    const std::uint32_t cjThis = U32(b, f.ifi + offsetof(IFIMETRICS, cjThis));
    EXPECT_EQ(f.ifi + cjThis, b.size());
    for (std::size_t dp : {offsetof(IFIMETRICS, dpwszFamilyName), offsetof(IFIMETRICS, dpwszStyleName),
                           offsetof(IFIMETRICS, dpwszFaceName), offsetof(IFIMETRICS, dpwszUniqueName)}) {
      const std::uint64_t at = U64(b, f.ifi + dp);
      EXPECT_GE(at, sizeof(IFIMETRICS));
      EXPECT_LT(at + 2, cjThis);
      EXPECT_EQ(at % 2, 0u);
      EXPECT_FALSE(f.BlockString(at).empty());
    }
    // The family name is the resource's font name.
    const std::string name = f.Name();
    EXPECT_EQ(f.BlockString(U64(b, f.ifi + offsetof(IFIMETRICS, dpwszFamilyName))),
              std::u16string(name.begin(), name.end()));
    EXPECT_EQ(U32(b, f.ifi + offsetof(IFIMETRICS, cKerningPairs)), 0u);
    EXPECT_EQ(I32(b, f.ifi + offsetof(IFIMETRICS, ptlAspect) + offsetof(POINTL, x)), 300);
    EXPECT_EQ(I32(b, f.ifi + offsetof(IFIMETRICS, ptlAspect) + offsetof(POINTL, y)), 300);
    EXPECT_EQ(f.UnitsPerEm(), f.index == 46 ? 72 : 2048);

    // Widths: none below 32, none above the maximum increment; the metrics
    // the driver reads are usable.
    int widest = 0;
    for (int code = 0; code < 256; ++code) {
      if (code < 32) {
        EXPECT_EQ(f.Width(code), 0) << code;
      }
      widest = std::max<int>(widest, f.Width(code));
    }
    EXPECT_GT(f.Width('A'), 0);
    EXPECT_LE(widest, f.MaxInc());
    EXPECT_GT(f.AveWidth(), 0);
    EXPECT_GT(f.BoxTop(), 0);
    EXPECT_LT(f.BoxBottom(), 0);
    EXPECT_GT(I16(b, f.ifi + offsetof(IFIMETRICS, fwdUnderscoreSize)), 0);
    EXPECT_LT(I16(b, f.ifi + offsetof(IFIMETRICS, fwdUnderscorePosition)), 0);
    EXPECT_GT(I16(b, f.ifi + offsetof(IFIMETRICS, fwdStrikeoutPosition)), 0);
  }
}

TEST_F(FontResources, KnownFonts) {
  const auto& fonts = *fonts_;
  EXPECT_EQ(fonts[0].Name(), "Wingdings (L$)");
  EXPECT_EQ(fonts[0].Charset(), 2);
  EXPECT_EQ(fonts[40].Name(), "Symbol (M$)");
  EXPECT_EQ(fonts[40].Charset(), 2);
  EXPECT_EQ(fonts[31].Name(), "Courier (W1)");
  EXPECT_EQ(fonts[45].Name(), "LinePrinter");
  for (int i = 47; i <= 62; ++i) EXPECT_EQ(fonts[i - 1].Charset(), 128) << i;
  EXPECT_EQ(fonts[36].Charset(), 0);  // Arial

  // Fixed-pitch Latin fonts: every character advances the same.
  for (int i : {7, 32, 33, 34, 35, 46}) {
    const FontFile& f = fonts[i - 1];
    EXPECT_EQ(f.PitchFamily() & 1, 1) << i;
    for (int code = 32; code < 256; ++code) {
      if (f.Width(code)) {
        EXPECT_EQ(f.Width(code), f.AveWidth()) << i << " code " << code;
      }
    }
    EXPECT_EQ(f.MaxInc(), f.AveWidth()) << i;
  }
  // Line Printer: 16.66 characters per inch at 8.5 points, 72 units per em.
  EXPECT_EQ(fonts[45].AveWidth(), 37);
  // Proportional: Arial's 'i' is narrower than its 'W'.
  EXPECT_EQ(fonts[36].PitchFamily() & 1, 0);
  EXPECT_LT(fonts[36].Width('i'), fonts[36].Width('W'));
  // Shift-JIS fonts carry single-byte codes only: lead bytes have no width,
  // half-width katakana do.
  EXPECT_EQ(fonts[54].Width(0x81), 0);
  EXPECT_GT(fonts[54].Width(0xB1), 0);
}

// The metrics agree with the selection strings: stroke weight, style and the
// fixed-pitch size form.
TEST_F(FontResources, StylesAgreeWithSelectionStrings) {
  ASSERT_TRUE(scriptOk_) << scriptError_;
  for (const FontFile& f : *fonts_) {
    SCOPED_TRACE("font " + std::to_string(f.index));
    const std::string sel = Selection(f.index);
    const std::size_t t = sel.find('t', 3);
    ASSERT_NE(t, std::string::npos) << sel;
    const char weight = sel.at(t + 1);
    const char style = sel.at(sel.find('b', t) + 1);
    const bool italic = style == '1' || style == '5';
    EXPECT_EQ((f.Selection() & FM_SEL_ITALIC) != 0, italic);
    if (weight == '0') {
      EXPECT_LE(f.Weight(), 500);
    }
    if (weight >= '3') {
      EXPECT_GE(f.Weight(), 700);
      EXPECT_NE(f.Selection() & FM_SEL_BOLD, 0);
    }
    if (f.Charset() != 128) {
      EXPECT_EQ((f.PitchFamily() & 1) != 0, sel.find("h0P") != std::string::npos) << sel;
    }
  }
}

TEST_F(FontResources, ScriptCarriesStringsAndAllMetrics) {
  ASSERT_TRUE(scriptOk_) << scriptError_;
  const auto& res = compiled_->resources;
  struct Case {
    std::uint32_t id;
    std::u16string text;
  };
  const Case cases[] = {
      {259, u"62"},
      {260, u"1"},
      {261, u"16"},
      {802, u"QV5EXXXX.XXX"},
      {803, u"QV5EXXXX.MAK"},
      {886, u"\\Lumetra 5E"},
      {1001, u"\x1B(579L\x1B(s31402t0b0s#HEIGHTv1P"},
      {1024, u"\x1B(19U\x1B(s4148t0b0s#HEIGHTv1P"},
      {1029, u"\x1B(19U\x1B(s4148t0b5s#HEIGHTv1P"},
      {1032, u"\x1B(19U\x1B(s4099t0b0s#PITCHh0P"},
      {1036, u"\x1B(19U\x1B(s4140t3b4s#HEIGHTv1P"},
      {1041, u"\x1B(19M\x1B(s16686t0b0s#HEIGHTv1P"},
      {1046, u"\x1B(0N\x1B(s0t0b0s08.50v16.66h0P"},
      {1050, u"\x1B(19K\x1B(s28752t3b1s#HEIGHTv1P"},
      {1062, u"\x1B(19K\x1B(s30873t3b1s#HEIGHTv1P"},
      {2001, u"Wingdings"},
      {2003, u"Albertus Extra Bold"},
      {2031, u"Univers Condensed Bold Italic"},
      {2045, u"Times New Roman Bold Italic"},
      {2046, u"Line Printer  0N"},
      {2047, u"\uFF2D\uFF33 \u660E\u671D"},
      {2050, u"\uFF2D\uFF33 \u660E\u671D"},
      {2054, u"\uFF2D\uFF33 \uFF30\u660E\u671D"},
      {2058, u"\uFF2D\uFF33 \u30B4\u30B7\u30C3\u30AF"},
      {2062, u"\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF"},
  };
  for (const Case& c : cases) EXPECT_EQ(kvrc::FindString(res, c.id), c.text) << c.id;
  for (int i = 1; i <= kFontCount; ++i) {
    EXPECT_TRUE(kvrc::FindString(res, 1000 + i).has_value()) << i;
    EXPECT_TRUE(kvrc::FindString(res, 2000 + i).has_value()) << i;
    const kvrc::Resource* metrics = kvrc::FindResource(res, 258, i);
    ASSERT_NE(metrics, nullptr) << i;
    EXPECT_EQ(metrics->data, (*fonts_)[i - 1].bytes) << i;
  }
  EXPECT_FALSE(kvrc::FindString(res, 1063).has_value());
  EXPECT_EQ(kvrc::FindResource(res, 258, 63), nullptr);
}

}  // namespace
