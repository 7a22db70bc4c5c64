// The PCL renderer used to look at what the PCL 5e library prints: raster
// graphics in every compression method, rectangle fills, outline soft fonts
// built from a real TrueType font (compared with FreeType drawing the same
// text), bitmap soft fonts, HP-GL/2 shapes and labels, and damaged streams.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include FT_TRUETYPE_TAGS_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/run_tool.h"
#include "support/test_root.h"
#include "tools/pclrender/pcl_render.h"
#include "tools/pcldump/pcl_decoder.h"

namespace {

namespace pr = kvpclrender;

constexpr char kEsc = '\x1B';
// A job as the library starts it: reset, 600 dpi, A4 portrait.
const std::string kStart = std::string("\x1B%-12345X@PJL SET RESOLUTION=600\n@PJL ENTER LANGUAGE=PCL\r\n") +
                           "\x1B" "E\x1B&u600D\x1B*t600R\x1B&l26a0O\x1B&l1E";

std::string Esc(const std::string& body) { return kEsc + body; }

struct Box {
  int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;  // inclusive
  bool Empty() const { return right < left; }
};

Box InkBox(const pr::Page& page, int x0 = 0, int y0 = 0, int x1 = -1, int y1 = -1) {
  if (x1 < 0) x1 = page.width - 1;
  if (y1 < 0) y1 = page.height - 1;
  Box box;
  for (int y = y0; y <= y1; ++y) {
    for (int x = x0; x <= x1; ++x) {
      if (!page.Black(x, y)) continue;
      box.left = std::min(box.left, x);
      box.right = std::max(box.right, x);
      box.top = std::min(box.top, y);
      box.bottom = std::max(box.bottom, y);
    }
  }
  return box;
}

int BlackCount(const pr::Page& page) {
  return static_cast<int>(std::count_if(page.gray.begin(), page.gray.end(), [](std::uint8_t v) { return v < 128; }));
}

void Put16(std::string& s, unsigned v) {
  s += static_cast<char>((v >> 8) & 0xFF);
  s += static_cast<char>(v & 0xFF);
}
void Put32(std::string& s, std::uint32_t v) {
  Put16(s, v >> 16);
  Put16(s, v & 0xFFFF);
}

// ---- raster --------------------------------------------------------------------

// A 16 x 4 picture: rows 0xF00F, 0x0FF0, 0xF00F (the seed row again), 0xAAAA.
constexpr std::uint8_t kRows[4][2] = {{0xF0, 0x0F}, {0x0F, 0xF0}, {0xF0, 0x0F}, {0xAA, 0xAA}};

std::string RasterBlock(int method) {
  std::string s = Esc("*p100x200Y") + Esc("*r16s4T") + Esc("*r1A") + Esc("*b" + std::to_string(method) + "M");
  auto row = [&](const std::string& data) { s += Esc("*b" + std::to_string(data.size()) + "W") + data; };
  switch (method) {
    case 0:
      for (const auto& r : kRows) row(std::string{char(r[0]), char(r[1])});
      break;
    case 1:  // (count - 1, byte) pairs
      for (const auto& r : kRows) row(std::string{0, char(r[0]), 0, char(r[1])});
      break;
    case 2:  // a literal run, a repeat run
      row(std::string{1, char(0xF0), 0x0F});
      row(std::string{1, 0x0F, char(0xF0)});
      row(std::string{0, char(0xF0), 0, 0x0F});
      row(std::string{char(0xFF), char(0xAA)});  // -1: the byte twice
      break;
    case 3:  // changes against the seed row
      row(std::string{0x20, char(0xF0), 0x0F});
      row(std::string{0x20, 0x0F, char(0xF0)});
      row(std::string{0x20, char(0xF0), 0x0F});
      row(std::string{0x00, char(0xAA), 0x00, char(0xAA)});  // byte 0, then byte 1 (offset 0 after it)
      break;
    case 5: {  // adaptive: unencoded, delta, unencoded and PackBits entries
      std::string block;
      block += std::string{0, 0, 2, char(0xF0), 0x0F};
      block += std::string{3, 0, 3, 0x20, 0x0F, char(0xF0)};
      block += std::string{0, 0, 2, char(0xF0), 0x0F};
      block += std::string{2, 0, 2, char(0xFF), char(0xAA)};
      row(block);
      break;
    }
  }
  return s + Esc("*rC");
}

TEST(PclRenderTest, RasterRowsDecodeInEveryCompressionMethod) {
  for (int method : {0, 1, 2, 3, 5}) {
    SCOPED_TRACE("method " + std::to_string(method));
    const auto pages = pr::RenderAll(kStart + RasterBlock(method) + "\f");
    ASSERT_EQ(pages.size(), 1u);
    const pr::Page& page = pages[0];
    EXPECT_EQ(page.dpi, 600);
    EXPECT_NEAR(page.width, 4961, 1);  // A4 at 600 dpi
    EXPECT_NEAR(page.height, 7016, 1);
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 16; ++x) {
        const bool expected = (kRows[y][x / 8] >> (7 - x % 8)) & 1;
        EXPECT_EQ(page.Black(page.originX + 100 + x, page.originY + 200 + y), expected) << x << "," << y;
      }
    }
    EXPECT_EQ(BlackCount(page), 8 + 8 + 8 + 8);
  }
}

TEST(PclRenderTest, RasterAtLowerResolutionIsScaledAndSkipRowsMoveDown) {
  const std::string job = kStart + Esc("*t300R") + Esc("*p0x0Y") + Esc("*r8s3T") + Esc("*r1A") + Esc("*b0M") +
                          Esc("*b1W") + "\x80" + Esc("*b1Y") + Esc("*b1W") + "\x80" + Esc("*rC") + "\f";
  const auto pages = pr::RenderAll(job);
  ASSERT_EQ(pages.size(), 1u);
  const pr::Page& p = pages[0];
  // Each 300-dpi pixel is a 2 x 2 block; the skipped row leaves two dot rows white.
  const Box box = InkBox(p);
  EXPECT_EQ(box.left, p.originX);
  EXPECT_EQ(box.top, p.originY);
  EXPECT_EQ(box.right, p.originX + 1);
  EXPECT_EQ(box.bottom, p.originY + 5);
  EXPECT_FALSE(p.Black(p.originX, p.originY + 2));
  EXPECT_EQ(BlackCount(p), 8);
}

// ---- rectangles ----------------------------------------------------------------

TEST(PclRenderTest, RectangleFillsBlackShadeAndErase) {
  const std::string job = kStart + Esc("*p1000x1000Y") + Esc("*c200a100b0P") +   // black
                          Esc("*p1050x1020Y") + Esc("*c20a10b1P") +              // erased inside it
                          Esc("*p2000x1000Y") + Esc("*c720h72v50g2P") +          // 1 inch x 0.1 inch, 50 %
                          "\f";
  const auto pages = pr::RenderAll(job);
  ASSERT_EQ(pages.size(), 1u);
  const pr::Page& p = pages[0];
  const Box black = InkBox(p, 0, 0, p.originX + 1500, -1);
  EXPECT_EQ(black.left, p.originX + 1000);
  EXPECT_EQ(black.top, p.originY + 1000);
  EXPECT_EQ(black.right, p.originX + 1199);
  EXPECT_EQ(black.bottom, p.originY + 1099);
  EXPECT_FALSE(p.Black(p.originX + 1055, p.originY + 1025));
  EXPECT_TRUE(p.Black(p.originX + 1045, p.originY + 1025));
  const Box shade = InkBox(p, p.originX + 1500, 0, -1, -1);
  EXPECT_NEAR(shade.right - shade.left + 1, 600, 1);
  EXPECT_NEAR(shade.bottom - shade.top + 1, 60, 1);
  const int shaded = BlackCount(p) - (200 * 100 - 20 * 10);
  EXPECT_NEAR(shaded, 600 * 60 / 2, 600);
}

// ---- outline soft fonts ----------------------------------------------------------

std::string FontFile(const char* family) {
  FcInit();
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family));
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  std::string file;
  FcChar8* path = nullptr;
  if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch) {
    file = reinterpret_cast<const char*>(path);
  }
  if (match != nullptr) FcPatternDestroy(match);
  FcPatternDestroy(pattern);
  return file;
}

// A TrueType font opened with FreeType, its tables readable.
class TrueTypeFont {
 public:
  explicit TrueTypeFont(const std::string& file) {
    if (FT_Init_FreeType(&library_) != 0) return;
    if (file.empty() || FT_New_Face(library_, file.c_str(), 0, &face_) != 0) face_ = nullptr;
  }
  ~TrueTypeFont() {
    if (face_ != nullptr) FT_Done_Face(face_);
    if (library_ != nullptr) FT_Done_FreeType(library_);
  }
  FT_Face face() const { return face_; }
  bool IsTrueType() const {
    FT_ULong length = 0;
    return face_ != nullptr && FT_Load_Sfnt_Table(face_, TTAG_glyf, 0, nullptr, &length) == 0 && length > 0;
  }

  std::string Table(FT_ULong tag) const {
    FT_ULong length = 0;
    if (FT_Load_Sfnt_Table(face_, tag, 0, nullptr, &length) != 0) return {};
    std::string data(length, '\0');
    FT_Load_Sfnt_Table(face_, tag, 0, reinterpret_cast<FT_Byte*>(data.data()), &length);
    return data;
  }
  static unsigned Be16(const std::string& d, std::size_t at) {
    return at + 2 <= d.size() ? (std::uint8_t(d[at]) << 8 | std::uint8_t(d[at + 1])) : 0;
  }
  static std::uint32_t Be32(const std::string& d, std::size_t at) {
    return std::uint32_t(Be16(d, at)) << 16 | Be16(d, at + 2);
  }

  // The format 15 header with its "GT" segment and end segment, as the
  // library writes it; `pitch` is the width of the space in design units.
  std::string Format15Header(unsigned pitch = 0) const {
    static constexpr FT_ULong kTags[] = {TTAG_cvt, TTAG_fpgm, TTAG_head, TTAG_hhea, TTAG_hmtx, TTAG_maxp, TTAG_prep};
    std::vector<std::string> tables;
    for (FT_ULong tag : kTags) tables.push_back(Table(tag));
    const std::size_t entries = 8;
    std::string gt;
    Put32(gt, 0x00010000);
    Put16(gt, entries);
    Put16(gt, 128);
    Put16(gt, 3);
    Put16(gt, 0);
    Put32(gt, 0x67646972);  // gdir
    Put32(gt, 0);
    Put32(gt, 0);
    Put32(gt, 0);
    std::size_t offset = 12 + 16 * entries;
    for (std::size_t k = 0; k < tables.size(); ++k) {
      Put32(gt, static_cast<std::uint32_t>(kTags[k]));
      Put32(gt, 0);
      Put32(gt, tables[k].empty() ? 0 : static_cast<std::uint32_t>(offset));
      Put32(gt, static_cast<std::uint32_t>(tables[k].size()));
      offset += (tables[k].size() + 3) & ~std::size_t{3};
    }
    for (const std::string& t : tables) {
      gt += t;
      gt.append((4 - t.size() % 4) % 4, '\0');
    }
    std::string header(72, '\0');
    header[1] = 72;
    header[2] = 15;
    header[3] = 2;
    header[13] = 1;
    header[15] = 1;
    header[16] = char(pitch >> 8);
    header[17] = char(pitch & 0xFF);
    header[39] = char(255);
    const std::string head = Table(TTAG_head);
    const unsigned upem = Be16(head, 18);
    header[64] = char(upem >> 8);
    header[65] = char(upem & 0xFF);
    header[70] = 1;
    std::string segments = "GT";
    Put16(segments, static_cast<unsigned>(gt.size()));
    segments += gt;
    segments += "\xFF\xFF";
    Put16(segments, 0);
    segments += '\0';
    unsigned sum = 0;
    for (std::size_t k = 64; k < 72; ++k) sum += std::uint8_t(header[k]);
    for (char c : segments) sum += std::uint8_t(c);
    segments += static_cast<char>((256 - sum % 256) % 256);
    return header + segments;
  }

  std::string GlyphData(unsigned glyph) const {
    const std::string head = Table(TTAG_head), loca = Table(TTAG_loca), glyf = Table(TTAG_glyf);
    const bool longOffsets = Be16(head, 50) != 0;
    std::uint32_t from, to;
    if (longOffsets) {
      from = Be32(loca, 4 * glyph), to = Be32(loca, 4 * glyph + 4);
    } else {
      from = 2 * Be16(loca, 2 * glyph), to = 2 * Be16(loca, 2 * glyph + 2);
    }
    if (to <= from || to > glyf.size()) return {};
    return glyf.substr(from, to - from);
  }

  // ESC "*c#E" and ESC "(s#W" for the glyph under `code`, then its components as 65535.
  std::string Character(unsigned code, unsigned glyph) const {
    const std::string data = GlyphData(glyph);
    if (data.empty()) return {};
    std::string s = Esc("*c" + std::to_string(code) + "E") + Esc("(s" + std::to_string(data.size() + 10) + "W");
    std::string body{15, 0, 2, 15};
    Put16(body, static_cast<unsigned>(data.size() + 4));
    Put16(body, glyph);
    body += data;
    body += '\0';
    unsigned sum = 0;
    for (std::size_t k = 4; k < body.size(); ++k) sum += std::uint8_t(body[k]);
    body += static_cast<char>((256 - sum % 256) % 256);
    s += body;
    if (static_cast<std::int16_t>(Be16(data, 0)) < 0) {
      std::size_t at = 10;
      for (;;) {
        const unsigned flags = Be16(data, at), component = Be16(data, at + 2);
        s += Character(65535, component);
        at += 4 + ((flags & 1) ? 4 : 2) + ((flags & 8) ? 2 : (flags & 0x40) ? 4 : (flags & 0x80) ? 8 : 0);
        if (!(flags & 0x20) || at >= data.size()) break;
      }
    }
    return s;
  }

  unsigned GlyphOf(char32_t c) const { return FT_Get_Char_Index(face_, c); }

  // FreeType draws `text` on a white page like `like`, baseline start at (x, y) (page pixels).
  pr::Page Draw(const std::u32string& text, double points, int dpi, double x, double y, const pr::Page& like) const {
    pr::Page page = like;
    std::fill(page.gray.begin(), page.gray.end(), 255);
    FT_Set_Char_Size(face_, 0, std::lround(points * 64), dpi, dpi);
    for (char32_t c : text) {
      if (FT_Load_Glyph(face_, GlyphOf(c), FT_LOAD_NO_BITMAP) != 0) continue;
      FT_Render_Glyph(face_->glyph, FT_RENDER_MODE_NORMAL);
      const FT_Bitmap& b = face_->glyph->bitmap;
      const long bx = std::lround(x) + face_->glyph->bitmap_left, by = std::lround(y) - face_->glyph->bitmap_top;
      for (unsigned r = 0; r < b.rows; ++r) {
        for (unsigned col = 0; col < b.width; ++col) {
          const long px = bx + col, py = by + r;
          if (px < 0 || py < 0 || px >= page.width || py >= page.height) continue;
          std::uint8_t& v = page.gray[std::size_t(py) * page.width + px];
          v = std::min<std::uint8_t>(v, 255 - b.buffer[r * b.pitch + col]);
        }
      }
      x += face_->glyph->linearHoriAdvance / 65536.0;
    }
    return page;
  }

 private:
  FT_Library library_ = nullptr;
  FT_Face face_ = nullptr;
};

// Share of the black pixels of either page that are black in both.
double Overlap(const pr::Page& a, const pr::Page& b) {
  int both = 0, either = 0;
  for (std::size_t k = 0; k < a.gray.size() && k < b.gray.size(); ++k) {
    const bool x = a.gray[k] < 128, y = b.gray[k] < 128;
    both += x && y;
    either += x || y;
  }
  return either == 0 ? 0 : double(both) / either;
}

class OutlineSoftFontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    font_ = std::make_unique<TrueTypeFont>(FontFile("Liberation Sans"));
    if (!font_->IsTrueType()) GTEST_SKIP() << "Liberation Sans (TrueType) is not installed";
  }
  // Downloads `text` into font 16385 (code = the character) and selects it at `points`.
  std::string Download(const std::u32string& text, double points, unsigned pitch = 0) const {
    const std::string header = font_->Format15Header(pitch);
    std::string s = Esc("*c16385D") + Esc(")s" + std::to_string(header.size()) + "W") + header;
    for (char32_t c : text) s += font_->Character(static_cast<unsigned>(c), font_->GlyphOf(c));
    char size[32];
    std::snprintf(size, sizeof size, "%.2f", points);
    return s + Esc("*c16385D") + Esc("(16385X") + Esc(std::string("(s") + size + "V");
  }
  std::unique_ptr<TrueTypeFont> font_;
};

TEST_F(OutlineSoftFontTest, TextMatchesFreeTypeDrawingTheFontDirectly) {
  // "\u00E9" is a composite glyph in Liberation Sans: its parts come as code 65535.
  const std::u32string text = U"Hig\u00E9xW";
  const std::string job = kStart + Download(text, 24) + Esc("*p600x900Y") + "Hig\xE9xW" + "\f";
  const auto pages = pr::RenderAll(job);
  ASSERT_EQ(pages.size(), 1u);
  const pr::Page& page = pages[0];
  const pr::Page expected = font_->Draw(text, 24, 600, page.originX + 600, page.originY + 900, page);
  const Box got = InkBox(page), want = InkBox(expected);
  ASSERT_FALSE(want.Empty());
  ASSERT_FALSE(got.Empty());
  EXPECT_NEAR(got.left, want.left, 2);
  EXPECT_NEAR(got.right, want.right, 2);
  EXPECT_NEAR(got.top, want.top, 2);
  EXPECT_NEAR(got.bottom, want.bottom, 2);
  EXPECT_GT(Overlap(page, expected), 0.9);
  // 24 points at 600 dpi: a capital H is about 0.72 of the em (200 dots) tall.
  const Box h = InkBox(page, 0, 0, page.originX + 600 + 100, -1);
  EXPECT_NEAR(h.bottom - h.top + 1, 138, 4);
  EXPECT_EQ(h.bottom, page.originY + 900 - 1);
}

TEST_F(OutlineSoftFontTest, PrintDirectionTurnsTheCharactersAndTheirAdvance) {
  const std::string job = kStart + Download(U"HH", 24) + Esc("*p1000x2000Y") + Esc("&a90P") + "HH" +
                          Esc("&a0P") + Esc("*p1000x3000Y") + "HH" + "\f";
  const auto pages = pr::RenderAll(job);
  ASSERT_EQ(pages.size(), 1u);
  const pr::Page& p = pages[0];
  const Box up = InkBox(p, 0, 0, -1, p.originY + 2500);
  const Box across = InkBox(p, 0, p.originY + 2500, -1, -1);
  ASSERT_FALSE(up.Empty());
  ASSERT_FALSE(across.Empty());
  // Turned a quarter counter-clockwise: the run goes up the page from the
  // cursor, its letters standing left of the baseline.
  EXPECT_NEAR(up.right - up.left, across.bottom - across.top, 2);
  EXPECT_NEAR(up.bottom - up.top, across.right - across.left, 2);
  EXPECT_LE(up.right, p.originX + 1000);
  EXPECT_LE(up.bottom, p.originY + 2000);
  EXPECT_GT(up.bottom, p.originY + 2000 - 30);
}

TEST_F(OutlineSoftFontTest, LabelsUseTheSoftFontAtThePenAndAreClippedToTheWindow) {
  // The library's HP-GL/2 set-up: user units are dots, y up from the picture frame's bottom.
  const std::string frame = Esc("*c5906x8210Y") + Esc("*p0x0Y") + Esc("*c0T");
  auto pe = [](long x, long y) {
    std::string s = "PE=<";
    for (long v : {x, y}) {
      std::uint64_t u = v >= 0 ? std::uint64_t(v) * 2 : std::uint64_t(-v) * 2 + 1;
      while (u >= 64) {
        s += char(u % 64 + 63);
        u >>= 6;
      }
      s += char(u + 191);
    }
    return s + ";";
  };
  const long cyPage = 6842;  // frame height in dots, as the frame above gives it
  const std::string hpgl = Esc("%0B") + "INTR0IP0,0,1016,1016SC0,600,0,600" + "SD1,629,2,1,4,24.00FI16385;" +
                           pe(600, cyPage - 900) + "LBHig" + "\x03";
  const std::string clipped = "IW600," + std::to_string(cyPage - 2000) + ",640," + std::to_string(cyPage - 1800) +
                              pe(600, cyPage - 1900) + "LBHig\x03" + "IW;";
  const std::string job = kStart + frame + Download(U"Hig", 24) + hpgl + clipped + Esc("%0A") + "\f";
  const auto pages = pr::RenderAll(job);
  ASSERT_EQ(pages.size(), 1u);
  const pr::Page& p = pages[0];
  const Box label = InkBox(p, 0, 0, -1, p.originY + 1000);
  const pr::Page expected = font_->Draw(U"Hig", 24, 600, p.originX + 600, p.originY + 900, p);
  const Box want = InkBox(expected);
  EXPECT_NEAR(label.left, want.left, 2);
  EXPECT_NEAR(label.right, want.right, 2);
  EXPECT_NEAR(label.top, want.top, 2);
  EXPECT_NEAR(label.bottom, want.bottom, 2);
  // The second label is cut to the window: 40 dots of its "H" show.
  const Box second = InkBox(p, 0, p.originY + 1001, -1, -1);
  ASSERT_FALSE(second.Empty());
  EXPECT_GE(second.left, p.originX + 600);
  EXPECT_LE(second.right, p.originX + 640);
  EXPECT_EQ(second.bottom, p.originY + 1900 - 1);
}

// The library never downloads the space of an outline font: the printer
// moves by the header's pitch, the space's width in design units. Runs of a
// fixed-pitch font (and label runs placed once) rely on it.
TEST_F(OutlineSoftFontTest, UndownloadedSpaceMovesByTheHeadersPitch) {
  FT_Face face = font_->face();
  ASSERT_EQ(FT_Load_Glyph(face, font_->GlyphOf(U' '), FT_LOAD_NO_SCALE), 0);
  const auto spaceUnits = static_cast<unsigned>(face->glyph->advance.x);
  const double em = 72.0 * 600 / 72;  // 72 points at 600 dpi
  const double spaceWidth = em * spaceUnits / face->units_per_EM;
  ASSERT_GT(std::abs(spaceWidth - em / 4), 10) << "the face's space must differ from a quarter em";

  const std::string frame = Esc("*c5906x8210Y") + Esc("*p0x0Y") + Esc("*c0T");
  const long cyPage = 6842;
  struct Case {
    const char* name;
    unsigned pitch;
    bool label;
    double space;  // the expected move of the space, dots
  };
  const Case cases[] = {
      {"PCL characters", spaceUnits, false, spaceWidth},
      {"label", spaceUnits, true, spaceWidth},
      {"no pitch in the header", 0, false, em / 4},
  };
  for (const Case& c : cases) {
    std::string job = kStart + frame + Download(U"H", 72, c.pitch);
    if (c.label) {
      // Pen at (600, 900) on the page: "PE=<" absolute, y up from the frame's bottom.
      std::string pe = "PE=<";
      for (long v : {600L, cyPage - 900}) {
        std::uint64_t u = std::uint64_t(v) * 2;
        while (u >= 64) {
          pe += char(u % 64 + 63);
          u >>= 6;
        }
        pe += char(u + 191);
      }
      job += Esc("%0B") + "INTR0IP0,0,1016,1016SC0,600,0,600SD1,629,2,1,4,72.00FI16385;" + pe + ";" +
             "LBH H\x03" + Esc("%0A");
    } else {
      job += Esc("*p600x900Y") + "H H";
    }
    const auto pages = pr::RenderAll(job + "\f");
    ASSERT_EQ(pages.size(), 1u) << c.name;
    const pr::Page& p = pages[0];
    // FreeType draws the two H where the space's width puts them.
    const pr::Page first = font_->Draw(U"H", 72, 600, p.originX + 600, p.originY + 900, p);
    const double hAdvance = [&] {
      FT_Load_Glyph(face, font_->GlyphOf(U'H'), FT_LOAD_NO_SCALE);
      return em * face->glyph->advance.x / face->units_per_EM;
    }();
    const pr::Page second = font_->Draw(U"H", 72, 600, p.originX + 600 + hAdvance + c.space, p.originY + 900, p);
    const Box got = InkBox(p), want = InkBox(second);
    ASSERT_FALSE(got.Empty()) << c.name;
    EXPECT_EQ(got.left, InkBox(first).left) << c.name;
    EXPECT_NEAR(got.right, want.right, 2) << c.name;
  }
}

// Text printed through the whole stack (kvprint: GDI, engine, the PCL 5e
// library) lands where the stream's cursor moves put it, at the size asked
// for, with the glyphs of the application's font.
TEST_F(OutlineSoftFontTest, LibraryTextRendersAtItsPositionsAndSize) {
  const std::string dir = kvtest::MakeTempDir("kvrender-");
  {
    std::ofstream text(dir + "/line.txt");
    text << "Hello World HHHH\n";
  }
  const kvtest::Outcome run =
      kvtest::RunTool("kvprint", dir + "/root",
                      "'" + dir + "/line.txt' --font 'Liberation Sans' --size 24 --numbers none "
                      "-o paper=A4 -o dpi=600 -o truetype=outline --output '" + dir + "/job.prn'");
  ASSERT_EQ(run.status, 0) << run.output;
  std::ifstream in(dir + "/job.prn", std::ios::binary);
  const std::string stream((std::istreambuf_iterator<char>(in)), {});
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);

  const auto pages = pr::RenderAll(stream);
  ASSERT_EQ(pages.size(), 1u);
  const pr::Page& page = pages[0];
  // Each character where the stream's cursor stood when it was sent.
  pr::Page expected = page;
  std::fill(expected.gray.begin(), expected.gray.end(), 255);
  long x = 0, y = 0;
  int characters = 0;
  for (const auto& c : kvtools::pcl::Decode(stream)) {
    if (kvtools::pcl::Key(c) == "ESC *p#X") x = static_cast<long>(c.value);
    if (kvtools::pcl::Key(c) == "ESC *p#Y") y = static_cast<long>(c.value);
    if (c.kind == kvtools::pcl::Kind::Text && c.name == "text") {
      for (unsigned char ch : c.text) {
        const pr::Page one = font_->Draw(std::u32string(1, ch), 24, 600, page.originX + x, page.originY + y, page);
        for (std::size_t k = 0; k < one.gray.size(); ++k) expected.gray[k] = std::min(expected.gray[k], one.gray[k]);
        ++characters;
      }
    }
  }
  ASSERT_EQ(characters, 16);
  const Box got = InkBox(page), want = InkBox(expected);
  ASSERT_FALSE(got.Empty());
  EXPECT_NEAR(got.left, want.left, 2);
  EXPECT_NEAR(got.right, want.right, 2);
  EXPECT_NEAR(got.top, want.top, 2);
  EXPECT_NEAR(got.bottom, want.bottom, 2);
  EXPECT_GT(Overlap(page, expected), 0.9);
  // 24 points: the capitals stand about 138 dots tall, the line about 16 mm
  // below the top of the sheet (a 15 mm margin plus the ascent).
  const Box h = InkBox(page, 0, 0, got.left + 120, -1);
  EXPECT_NEAR(h.bottom - h.top + 1, 138, 4);
  EXPECT_NEAR(h.bottom, 15 / 25.4 * 600 + 0.905 * 200, 40);
  EXPECT_NEAR(got.left, 15 / 25.4 * 600, 40);
}

// ---- bitmap soft fonts -----------------------------------------------------------

TEST(PclRenderTest, BitmapSoftFontPrintsItsCharactersAtTheCursor) {
  std::string header(68, '\0');
  header[1] = 68;
  header[2] = 20;
  header[3] = 2;
  header[17] = 120;                      // pitch: 30 dots, in quarter dots
  header[64] = 0x02, header[65] = 0x58;  // 600 dpi
  header[66] = 0x02, header[67] = 0x58;
  // Character 'A': 16 x 4, a frame 3 dots above and 2 right of the reference point, advance 20 dots.
  auto descriptor = [](int left, int top, int width, int height, int deltaQuarterDots) {
    std::string d{4, 0, 14, 1, 0, 0};
    Put16(d, static_cast<unsigned>(left));
    Put16(d, static_cast<unsigned>(top));
    Put16(d, static_cast<unsigned>(width));
    Put16(d, static_cast<unsigned>(height));
    Put16(d, static_cast<unsigned>(deltaQuarterDots));
    return d;
  };
  const std::string rows = std::string("\xFF\xFF\x80\x01\x80\x01\xFF\xFF", 8);
  std::string job = kStart + Esc("*c7D") + Esc(")s68W") + header;
  job += Esc("*c65E") + Esc("(s" + std::to_string(16 + 4) + "W") + descriptor(2, 3, 16, 4, 80) + rows.substr(0, 4);
  job += Esc("(s6W") + std::string{4, 1} + rows.substr(4);  // continuation block
  job += Esc("(7X") + Esc("*p300x400Y") + "AA" + Esc("*p300x500Y") + "B";
  // The space has no character (its bitmap is empty): it moves by the pitch.
  job += Esc("*p300x700Y") + "A A" + "\f";
  const auto pages = pr::RenderAll(job);
  ASSERT_EQ(pages.size(), 1u);
  const pr::Page& p = pages[0];
  const Box spaced = InkBox(p, 0, p.originY + 600, -1, -1);
  EXPECT_EQ(spaced.left, p.originX + 302);
  EXPECT_EQ(spaced.right, p.originX + 300 + 20 + 30 + 2 + 15);
  const Box box = InkBox(p, 0, 0, -1, p.originY + 600);
  EXPECT_EQ(box.left, p.originX + 302);
  EXPECT_EQ(box.top, p.originY + 400 - 3);
  EXPECT_EQ(box.right, p.originX + 300 + 20 + 2 + 15);
  EXPECT_EQ(box.bottom, p.originY + 400);
  EXPECT_TRUE(p.Black(p.originX + 302, p.originY + 398));
  EXPECT_FALSE(p.Black(p.originX + 303, p.originY + 398));
  EXPECT_EQ(BlackCount(p), 4 * (16 * 2 + 2 * 2));  // 'B' is not in the font
}

// ---- HP-GL/2 shapes ------------------------------------------------------------

TEST(PclRenderTest, HpglPolygonAndRectangleFill) {
  const std::string job = kStart + Esc("*c5906x8210Y") + Esc("*p0x0Y") + Esc("*c0T") + Esc("%0B") +
                          "INIP0,0,1016,1016SC0,600,0,600" + "PU100,6000PM0PD300,6000,300,5800,100,5800PM2FP" +
                          "PU1000,6000RR50,-20" + "SP1PW0PU2000,6000PD2100,6000" + Esc("%0A") + "\f";
  const auto pages = pr::RenderAll(job);
  ASSERT_EQ(pages.size(), 1u);
  const pr::Page& p = pages[0];
  const int bottom = p.originY + 6842;  // the frame's bottom edge, HP-GL/2 y = 0
  const Box square = InkBox(p, 0, 0, p.originX + 500, -1);
  EXPECT_NEAR(square.left, p.originX + 100, 1);
  EXPECT_NEAR(square.right, p.originX + 299, 1);
  EXPECT_NEAR(square.top, bottom - 6000, 1);
  EXPECT_NEAR(square.bottom, bottom - 5801, 1);
  const Box rect = InkBox(p, p.originX + 900, 0, p.originX + 1500, -1);
  EXPECT_NEAR(rect.right - rect.left + 1, 50, 1);
  EXPECT_NEAR(rect.bottom - rect.top + 1, 20, 1);
  const Box line = InkBox(p, p.originX + 1900, 0, -1, -1);
  EXPECT_NEAR(line.right - line.left, 100, 2);
  EXPECT_LE(line.bottom - line.top, 1);
}

// ---- framing and damaged input --------------------------------------------------

TEST(PclRenderTest, PagesFollowFormFeedsPageSizesAndOrientation) {
  const std::string job = kStart + Esc("*c10a10b0P") + "\f" + Esc("&l2a1O") + Esc("*c10a10b0P") + "\f" +
                          Esc("*c10a10b0P") + Esc("E") + "\x1B%-12345X@PJL EOJ\r\n\x1B%-12345X";
  const auto pages = pr::RenderAll(job);
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_LT(pages[0].width, pages[0].height);  // A4 portrait
  EXPECT_GT(pages[1].width, pages[1].height);  // Letter landscape
  EXPECT_EQ(pages[1].width, 6600);
  EXPECT_EQ(pages[1].height, 5100);
  EXPECT_EQ(pages[2].width, 6600);  // the reset ejects the marked page
}

TEST(PclRenderTest, DamagedStreamsNeverReadPastTheirEnd) {
  const std::string good = kStart + RasterBlock(3) + RasterBlock(5) + Esc("*c100a100b0P") + Esc("*c9D") +
                           Esc(")s80W") + std::string(80, '\x01') + Esc("(9X") + "Hello" + Esc("%0B") +
                           "PE=<\xC1\xC1;PM0PE\x7F\xC1\xC1\x7F;PM2FPLBab\x03" + Esc("%0A") + "\f";
  std::vector<std::string> cases = {
      Esc("*b65000W") + "abc",                       // data shorter than announced
      Esc("*c5D") + Esc(")s3000000000W") + "xyz",    // a count beyond any stream
      Esc("&l26A") + Esc("*r99999999S") + Esc("*r1A") + Esc("*b5M") + Esc("*b6W") + std::string("\x04\xFF\xFF\x05\xFF\xFF", 6),
      Esc("*c1D") + Esc(")s20W") + std::string(20, '\x0F') + Esc("*c65E") + Esc("(s4W") + std::string{4, 0, 14, 1},
      Esc("%0B") + "PE>\x7F\x7F\x7F\x7F\x7F\x7F\x7F\x7F\x7F\x7F\x7F\x7F\xFE" + "LB" + std::string(100, 'x'),
      Esc("*p-99999x99999999Y") + Esc("*c99999a99999b0P"),
      std::string(1, kEsc), Esc("*"), Esc("*c"), Esc("*c1"), Esc("(s"),
  };
  std::mt19937 random(7);
  for (int k = 0; k < 40; ++k) {
    std::string damaged = good;
    for (int m = 0; m < 6; ++m) damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
    damaged.resize(random() % damaged.size());
    cases.push_back(damaged);
  }
  pr::Options options;
  options.maxPages = 3;
  options.maxSide = 2000;  // small pages keep the many runs quick
  for (const std::string& stream : cases) {
    const auto pages = pr::RenderAll(kStart + stream, options);
    EXPECT_LE(pages.size(), 3u);
    for (const pr::Page& page : pages) {
      EXPECT_EQ(page.gray.size(), std::size_t(page.width) * page.height);
      EXPECT_LE(page.width, options.maxSide);
    }
  }
  // Many form feeds stop at the page limit.
  EXPECT_EQ(pr::RenderAll(kStart + std::string(50, '\f'), options).size(), 3u);
}

}  // namespace
