// TrueType fonts downloaded as PCL soft fonts: identifiers and the list
// limit, outline and bitmap headers checked against the font's own tables,
// character downloads (bitmap chunks, outline glyph data, composites), and
// damaged font files that must never be read outside their bytes.
#include "pclcore/5e/soft_fonts.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bare_instance.h"
#include "kvplat/engine_fonts.h"
#include "kvplat/fault.h"
#include "kvplat/spooler.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/output_channel.h"
#include "support/test_printer.h"
#include "support/test_root.h"
#include "tools/pcldump/pcl_decoder.h"

namespace {

using kv5e::PclPdev;
using kvset::DmField;
using Bytes = std::vector<BYTE>;
namespace eng = kvplat::engine;
namespace pcl = kvtools::pcl;

// ---- reading a font file the test's own way --------------------------------------------

std::uint32_t U32(const BYTE* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
std::uint16_t U16(const BYTE* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
void Put32(BYTE* p, std::uint32_t v) {
  p[0] = BYTE(v >> 24), p[1] = BYTE(v >> 16), p[2] = BYTE(v >> 8), p[3] = BYTE(v);
}
void Put16(BYTE* p, std::uint16_t v) { p[0] = BYTE(v >> 8), p[1] = BYTE(v); }

using Tables = std::map<std::string, Bytes>;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Tables ReadTables(const Bytes& file) {
  Tables tables;
  const std::uint16_t count = U16(&file[4]);
  for (std::uint16_t i = 0; i < count; ++i) {
    const BYTE* e = &file[12 + 16 * i];
    tables[std::string(reinterpret_cast<const char*>(e), 4)] =
        Bytes(file.begin() + U32(e + 8), file.begin() + U32(e + 8) + U32(e + 12));
  }
  return tables;
}

std::uint32_t Checksum(const BYTE* data, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < length; i += 4) {
    BYTE word[4] = {};
    std::memcpy(word, data + i, std::min<std::size_t>(4, length - i));
    sum += U32(word);
  }
  return sum;
}

// A single font of the given tables, in tag order.
Bytes BuildSfnt(const Tables& tables) {
  const std::uint16_t count = static_cast<std::uint16_t>(tables.size());
  Bytes file(12 + 16 * count, 0);
  Put32(&file[0], 0x00010000);
  Put16(&file[4], count);
  int selector = 0;
  while ((2 << selector) <= count) ++selector;
  Put16(&file[6], static_cast<std::uint16_t>(16 << selector));
  Put16(&file[8], static_cast<std::uint16_t>(selector));
  Put16(&file[10], static_cast<std::uint16_t>(16 * count - (16 << selector)));
  int i = 0;
  for (const auto& [tag, data] : tables) {
    BYTE* e = &file[12 + 16 * i++];
    std::memcpy(e, tag.data(), 4);
    Put32(e + 4, Checksum(data.data(), data.size()));
    Put32(e + 8, static_cast<std::uint32_t>(file.size()));
    Put32(e + 12, static_cast<std::uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());
    file.resize((file.size() + 3) & ~std::size_t{3}, 0);
  }
  return file;
}

// Glyph data by loca, and the glyph of a character by the Windows format 4 cmap.
struct FontView {
  Tables tables;
  explicit FontView(Tables t) : tables(std::move(t)) {}
  bool LongLoca() const { return U16(&tables.at("head")[50]) != 0; }
  std::pair<std::uint32_t, std::uint32_t> Loca(std::uint32_t glyph) const {
    const Bytes& loca = tables.at("loca");
    if (LongLoca()) return {U32(&loca[4 * glyph]), U32(&loca[4 * glyph + 4])};
    return {2u * U16(&loca[2 * glyph]), 2u * U16(&loca[2 * glyph + 2])};
  }
  Bytes Glyph(std::uint32_t glyph) const {
    auto [start, end] = Loca(glyph);
    const Bytes& glyf = tables.at("glyf");
    return Bytes(glyf.begin() + start, glyf.begin() + end);
  }
  std::uint16_t GlyphOf(std::uint32_t c) const {
    const Bytes& cmap = tables.at("cmap");
    for (int i = 0; i < U16(&cmap[2]); ++i) {
      const BYTE* r = &cmap[4 + 8 * i];
      if (U16(r) != 3 || U16(r + 2) != 1) continue;
      const BYTE* t = &cmap[U32(r + 4)];
      const int segs = U16(t + 6) / 2;
      for (int s = 0; s < segs; ++s) {
        const std::uint16_t end = U16(t + 14 + 2 * s), start = U16(t + 16 + 2 * segs + 2 * s);
        if (end < c) continue;
        if (start > c) return 0;
        const std::uint16_t delta = U16(t + 16 + 4 * segs + 2 * s);
        const BYTE* range = t + 16 + 6 * segs + 2 * s;
        if (U16(range) == 0) return static_cast<std::uint16_t>(c + delta);
        const std::uint16_t g = U16(range + U16(range) + 2 * (c - start));
        return g == 0 ? 0 : static_cast<std::uint16_t>(g + delta);
      }
    }
    return 0;
  }
  // Component glyphs of a composite, in order (empty for a simple glyph).
  std::vector<std::uint16_t> Components(std::uint32_t glyph) const {
    const Bytes data = Glyph(glyph);
    std::vector<std::uint16_t> out;
    if (data.size() < 10 || static_cast<std::int16_t>(U16(&data[0])) >= 0) return out;
    std::size_t at = 10;
    for (;;) {
      const std::uint16_t flags = U16(&data[at]);
      out.push_back(U16(&data[at + 2]));
      at += 4 + ((flags & 1) ? 4 : 2) + ((flags & 8) ? 2 : (flags & 0x40) ? 4 : (flags & 0x80) ? 8 : 0);
      if (!(flags & 0x20)) break;
    }
    return out;
  }
};

// Rebuilds glyf and a long loca with some glyphs' data replaced.
void ReplaceGlyphs(Tables& tables, const std::map<std::uint32_t, Bytes>& replaced) {
  FontView view(tables);
  const std::uint32_t glyphs = U16(&tables.at("maxp")[4]);
  Bytes glyf, loca(4 * (glyphs + 1), 0);
  for (std::uint32_t g = 0; g < glyphs; ++g) {
    Put32(&loca[4 * g], static_cast<std::uint32_t>(glyf.size()));
    auto found = replaced.find(g);
    const Bytes data = found != replaced.end() ? found->second : view.Glyph(g);
    glyf.insert(glyf.end(), data.begin(), data.end());
    glyf.resize((glyf.size() + 3) & ~std::size_t{3}, 0);
  }
  Put32(&loca[4 * glyphs], static_cast<std::uint32_t>(glyf.size()));
  tables["glyf"] = glyf;
  tables["loca"] = loca;
  Put16(&tables["head"][50], 1);
}

std::string FontPath(std::u16string_view family, LONG weight = 400) {
  eng::ResolvedFace face;
  if (!eng::ResolveFace(family, weight, false, &face) || !face.standsFor) return "";
  return face.path;
}

// ---- what the printer receives ------------------------------------------------------

struct Character {
  std::int64_t font = 0;
  std::int64_t code = 0;
  Bytes payload;                   // the first block: descriptor and data
  std::vector<std::size_t> sizes;  // ESC (s#W values of every block
  Bytes rows;                      // bitmap bytes of all blocks (format 4)
};
struct Header {
  std::int64_t font = 0;
  Bytes bytes;
};
struct Received {
  std::string stream;
  std::vector<pcl::Command> commands;
  std::vector<Header> headers;
  std::vector<Character> chars;
  std::vector<std::int64_t> deleted;   // fonts deleted, in order
  std::vector<std::int64_t> selected;  // ESC (#X, in order
  int heights = 0;                     // ESC (s#V commands

  std::vector<std::int64_t> Codes() const {
    std::vector<std::int64_t> codes;
    for (const Character& c : chars) codes.push_back(c.code);
    return codes;
  }
};

Received Interpret(const std::string& stream) {
  Received r;
  r.stream = stream;
  r.commands = pcl::Decode(stream);
  EXPECT_TRUE(pcl::Problems(r.commands).empty()) << pcl::Dump(r.commands);
  std::int64_t font = 0, code = 0;
  for (const pcl::Command& c : r.commands) {
    if (c.kind != pcl::Kind::Pcl) continue;
    const std::string key = pcl::Key(c);
    const auto value = static_cast<std::int64_t>(c.value);
    const Bytes data(stream.begin() + static_cast<std::ptrdiff_t>(c.data_offset),
                     stream.begin() + static_cast<std::ptrdiff_t>(c.data_offset + c.data_size));
    if (key == "ESC *c#D") font = value;
    if (key == "ESC *c#E") code = value;
    if (key == "ESC *c#F" && value == 2) r.deleted.push_back(font);
    if (key == "ESC (#X") r.selected.push_back(value);
    if (c.parameterized == '(' && c.group == 's' && c.terminator == 'V') ++r.heights;
    if (key == "ESC )s#W") r.headers.push_back(Header{font, data});
    if (key == "ESC (s#W") {
      if (data.size() >= 2 && data[1] == 1 && !r.chars.empty()) {
        r.chars.back().sizes.push_back(data.size());
        r.chars.back().rows.insert(r.chars.back().rows.end(), data.begin() + 2, data.end());
      } else {
        Character ch{font, code, data, {data.size()}, {}};
        if (data.size() >= 16 && data[0] == 4) ch.rows.assign(data.begin() + 16, data.end());
        r.chars.push_back(ch);
      }
    }
  }
  return r;
}

// The segments of a format 15/16 header by identifier.
std::map<std::string, Bytes> Segments(const Bytes& header) {
  std::map<std::string, Bytes> segments;
  const bool wide = header[2] == 16;
  std::size_t at = U16(&header[0]);
  while (at + (wide ? 6 : 4) <= header.size()) {
    const std::string id(reinterpret_cast<const char*>(&header[at]), 2);
    const std::size_t size = wide ? U32(&header[at + 2]) : U16(&header[at + 2]);
    at += wide ? 6 : 4;
    if (id == "\xFF\xFF") break;
    segments[id] = Bytes(header.begin() + at, header.begin() + at + size);
    at += size;
  }
  return segments;
}

// The "GT" segment agrees with itself and with the font: entries in order,
// checksums and offsets of the data sent, data equal to the font's tables.
void ExpectSoundTables(const Bytes& gt, const Tables& font, const std::vector<std::string>& order) {
  ASSERT_GE(gt.size(), 12u);
  const std::size_t entries = U16(&gt[4]);
  ASSERT_EQ(entries, order.size() + 1);
  ASSERT_GE(gt.size(), 12 + 16 * entries);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&gt[12]), 4), "gdir");
  std::size_t expectedOffset = 12 + 16 * entries;
  for (std::size_t i = 1; i < entries; ++i) {
    const BYTE* e = &gt[12 + 16 * i];
    const std::string tag(reinterpret_cast<const char*>(e), 4);
    EXPECT_EQ(tag, order[i - 1]);
    const std::uint32_t checksum = U32(e + 4), offset = U32(e + 8), length = U32(e + 12);
    auto found = font.find(tag);
    if (found == font.end()) {
      EXPECT_EQ(length, 0u) << tag;
      EXPECT_EQ(checksum, 0u) << tag;
      continue;
    }
    EXPECT_EQ(length, found->second.size()) << tag;
    ASSERT_LE(std::size_t{offset} + length, gt.size()) << tag;
    EXPECT_EQ(offset, expectedOffset) << tag;
    EXPECT_EQ(checksum, Checksum(&gt[offset], length)) << tag;
    EXPECT_TRUE(std::equal(found->second.begin(), found->second.end(), gt.begin() + offset)) << tag;
    expectedOffset += (length + 3) & ~3u;
  }
  EXPECT_EQ(expectedOffset, gt.size());
}

const std::vector<std::string> kFormat15Tables = {"cvt ", "fpgm", "head", "hhea", "hmtx", "maxp", "prep"};

// ---- fixture: a device instance writing to a spooler job on a file port -------------------

struct FontDeleter {
  void operator()(FONTOBJ* f) const { eng::DeleteFontObject(f); }
};
using FontPtr = std::unique_ptr<FONTOBJ, FontDeleter>;
struct StringDeleter {
  void operator()(STROBJ* s) const { eng::DeleteStringObject(s); }
};
using StringPtr = std::unique_ptr<STROBJ, StringDeleter>;

class SoftFontsTest : public kvtest::BareInstanceTest {
 protected:
  void SetUp() override {
    sans_ = FontPath(u"Liberation Sans");
    if (sans_.find("LiberationSans-Regular") == std::string::npos) {
      GTEST_SKIP() << "fonts-liberation is not installed";
    }
    MakeInstance(u"Fonts");
    if (HasFatalFailure()) return;
    PclPdev* pdev = pdev_.get();
    kv5e::SetDm(pdev, DmField("dmPrintQuality"), 300);
    kv5e::SetDm(pdev, DmField("trueTypeDownload"), 1);
    kv5e::SetDm(pdev, DmField("trueTypeMethod"), 0);
    kv5e::ResetHpglState(pdev->hpglState);
    kv5e::ResetOutputBuffer(pdev);
    Text().charSet = 0;
  }
  kv5e::TextState& Text() { return pdev_->hpglState.text; }

  // A font on a file at an em height in pixels (300 dpi, no mapping).
  FontPtr Realize(const std::string& path, LONG em, LONG weight = 400, LONG escapement = 0) {
    LOGFONTW font{};
    font.lfHeight = -em;
    font.lfWeight = weight;
    font.lfEscapement = font.lfOrientation = escapement;
    const std::u16string name = u"Test Face";
    std::copy(name.begin(), name.end(), font.lfFaceName);
    eng::ResolvedFace face;
    face.path = path;
    face.family = name;
    face.standsFor = true;
    FontPtr realized(eng::CreateFontObjectForFace(font, face, SIZEL{300, 300},
                                                  FLOATOBJ_XFORM{1, 0, 0, 1, 0, 0}));
    EXPECT_NE(realized, nullptr) << path;
    return realized;
  }
  // A copy of a font file in the test's folder (its own face in the engine).
  std::string Copy(const Bytes& bytes, const std::string& name) {
    const std::string path = root_.path() + "/" + name;
    WriteFile(path, bytes);
    return path;
  }
  // The bytes of the font file the engine hands the driver.
  static BYTE* FileOf(FONTOBJ* font, ULONG* size) {
    return static_cast<BYTE*>(FONTOBJ_pvTrueTypeFontFile(font, size));
  }

  // A run of `text` laid out in `font`, ready for SelectSoftFont.
  struct Run {
    StringPtr str;
    std::u16string codes;
  };
  static Run Prepare(FONTOBJ* font, std::u16string_view text) {
    Run run{StringPtr(eng::CreateStringObject(font, std::span<const WCHAR>(text.data(), text.size()),
                                              false, POINTL{100, 200})),
            std::u16string(text)};
    EXPECT_NE(run.str, nullptr);
    return run;
  }
  // SelectSoftFont as text output calls it.
  BOOL SelectRun(FONTOBJ* font, Run& run, std::int32_t height) {
    if (!run.str) return FALSE;
    return kv5e::SelectSoftFont(pdev(), font,
                                std::span<const GLYPHPOS>(run.str->pgp, run.str->cGlyphs),
                                run.str->ulCharInc, height, height,
                                std::span<WCHAR>(run.codes.data(), run.codes.size()));
  }
  BOOL Select(FONTOBJ* font, std::u16string_view text, std::int32_t height,
              std::u16string* codesOut = nullptr) {
    Run run = Prepare(font, text);
    const BOOL ok = SelectRun(font, run, height);
    if (codesOut) *codesOut = run.codes;
    return ok;
  }

  // Runs `body` in a job of its own and returns what the port received.
  Received Job(const std::function<void()>& body) {
    const std::string stream = RunJob(body);
    EXPECT_NE(stream, "<no delivery>");
    return Interpret(stream);
  }

  kvtest::TempRoot root_;
  std::string sans_;
};

// ---- identifiers and the list --------------------------------------------------------------

TEST_F(SoftFontsTest, EachListNumbersItsFontsFromItsOwnFirstIdentifier) {
  FontPtr sans = Realize(sans_, 50);
  FontPtr serif = Realize(FontPath(u"Liberation Serif"), 50);
  const Received r = Job([&] {
    EXPECT_TRUE(Select(sans.get(), u"Ab", 50));
    EXPECT_TRUE(Select(serif.get(), u"Ab", 50));
    Text().notAnsi = 1;  // the other list
    EXPECT_TRUE(Select(sans.get(), u"Ab", 50));
  });
  ASSERT_EQ(r.headers.size(), 3u);
  EXPECT_EQ(r.headers[0].font, 16385);
  EXPECT_EQ(r.headers[1].font, 16386);
  EXPECT_EQ(r.headers[2].font, 1001);
  EXPECT_EQ(r.selected, (std::vector<std::int64_t>{16385, 16386, 1001}));
  // Not-ANSI runs go as bitmap fonts in the double-byte form.
  EXPECT_EQ(r.headers[2].bytes.size(), 90u);
  EXPECT_EQ(r.headers[2].bytes[2], 16);
  EXPECT_EQ(Text().softFontId, 1001);
  EXPECT_EQ(Text().typeface, 1001);
  EXPECT_EQ(pdev()->hpglState.lastFontIndex, -1);
}

TEST_F(SoftFontsTest, ThirtySecondFontDeletesTheListAndStartsAgain) {
  kv5e::SetDm(pdev(), DmField("trueTypeMethod"), 1);  // small bitmap fonts
  // Thirty-two sizes: a font made again at the same size is the same font.
  std::vector<FontPtr> fonts;
  for (int i = 0; i < 32; ++i) fonts.push_back(Realize(sans_, 20 + i));
  const Received r = Job([&] {
    for (int i = 0; i < 32; ++i) EXPECT_TRUE(Select(fonts[i].get(), u"x", 20 + i));
  });
  ASSERT_EQ(r.headers.size(), 32u);
  std::vector<std::int64_t> first31;
  for (int i = 0; i < 31; ++i) {
    EXPECT_EQ(r.headers[i].font, 16385 + i);
    first31.push_back(16385 + i);
  }
  EXPECT_EQ(r.deleted, first31);
  EXPECT_EQ(r.headers[31].font, 16385);
  // The restarted identifier is selected again although it was the first one.
  ASSERT_EQ(r.selected.size(), 32u);
  EXPECT_EQ(r.selected.back(), 16385);
  EXPECT_EQ(r.chars.back().font, 16385);
  // Deletes come after the last selection of the old list, before the new header.
  EXPECT_LT(r.stream.rfind("\x1b*c16415d2F"), r.stream.rfind("\x1b)s68W"));
}

TEST_F(SoftFontsTest, CharactersAreDownloadedOncePerFontAndSize) {
  kv5e::SetDm(pdev(), DmField("trueTypeMethod"), 1);
  FontPtr font = Realize(sans_, 40);
  const Received r = Job([&] {
    EXPECT_TRUE(Select(font.get(), u"abab", 40));
    EXPECT_TRUE(Select(font.get(), u"ba", 40));
    EXPECT_TRUE(Select(font.get(), u"ab", 48));  // a new size: a new font
  });
  ASSERT_EQ(r.headers.size(), 2u);
  EXPECT_EQ(r.Codes(), (std::vector<std::int64_t>{'a', 'b', 'a', 'b'}));
  EXPECT_EQ(r.chars[0].font, 16385);
  EXPECT_EQ(r.chars[2].font, 16386);
  EXPECT_EQ(r.selected, (std::vector<std::int64_t>{16385, 16386}));
}

TEST_F(SoftFontsTest, SpaceOfAnOutlineFontIsNeverSent) {
  FontPtr font = Realize(sans_, 50);
  const Received r = Job([&] {
    EXPECT_TRUE(Select(font.get(), u"a b", 50));
    EXPECT_TRUE(Select(font.get(), u"  ", 50));
  });
  EXPECT_EQ(r.Codes(), (std::vector<std::int64_t>{'a', 'b'}));
}

// ---- outline or bitmap ----------------------------------------------------------------------

TEST_F(SoftFontsTest, OutlineUnlessSimulatedRotatedOrNotWanted) {
  struct Case {
    const char* name;
    LONG weight;
    LONG escapement;
    int method;
    int expectedFormat;
  };
  const std::string regular = sans_;
  for (const Case& c : {Case{"plain", 400, 0, 0, 15}, Case{"simulated bold", 700, 0, 0, 20},
                        Case{"rotated 90", 400, 900, 0, 15}, Case{"method bitmap", 400, 0, 1, 20}}) {
    SCOPED_TRACE(c.name);
    kv5e::FreeSoftFonts(pdev());
    kv5e::ResetHpglState(pdev()->hpglState);
    kv5e::SetDm(pdev(), DmField("trueTypeMethod"), c.method);
    FontPtr font = Realize(regular, 40, c.weight, c.escapement);
    if (c.weight == 700) {
      ASSERT_TRUE(font->flFontType & FO_SIM_BOLD);
    }
    const Received r = Job([&] { EXPECT_TRUE(Select(font.get(), u"Hi", 40)); });
    ASSERT_EQ(r.headers.size(), 1u);
    EXPECT_EQ(r.headers[0].bytes[2], c.expectedFormat);
    ASSERT_EQ(r.chars.size(), 2u);
    EXPECT_EQ(r.chars[0].payload[0], c.expectedFormat == 15 ? 15 : 4);
    if (c.expectedFormat == 20) {
      EXPECT_EQ(r.headers[0].bytes.size(), 68u);
      EXPECT_EQ(Text().scalable, 0);
      EXPECT_EQ(r.heights, 0);
    } else {
      EXPECT_EQ(Text().scalable, 1);
      EXPECT_EQ(r.heights, 1);
    }
  }
}

TEST_F(SoftFontsTest, BitmapCharacterCarriesItsImageAndPlacement) {
  kv5e::SetDm(pdev(), DmField("trueTypeMethod"), 1);
  FontPtr font = Realize(sans_, 60);
  const Received r = Job([&] { EXPECT_TRUE(Select(font.get(), u"g", 60)); });
  ASSERT_EQ(r.chars.size(), 1u);
  const Bytes& d = r.chars[0].payload;
  ASSERT_GE(d.size(), 16u);
  EXPECT_EQ(Bytes(d.begin(), d.begin() + 6), (Bytes{4, 0, 14, 1, 0, 0}));
  HGLYPH glyph = 0;
  {
    StringPtr str(eng::CreateStringObject(font.get(), std::u16string_view(u"g"), false, POINTL{0, 0}));
    glyph = str->pgp[0].hg;
  }
  PVOID result = nullptr;
  ASSERT_EQ(FONTOBJ_cGetGlyphs(font.get(), FO_GLYPHBITS, 1, &glyph, &result), 1u);
  const GLYPHBITS* bits = static_cast<GLYPHDATA*>(result)->gdf.pgb;
  EXPECT_EQ(static_cast<std::int16_t>(U16(&d[6])), bits->ptlOrigin.x);
  EXPECT_EQ(static_cast<std::int16_t>(U16(&d[8])), -bits->ptlOrigin.y);
  EXPECT_EQ(U16(&d[10]), bits->sizlBitmap.cx);
  EXPECT_EQ(U16(&d[12]), bits->sizlBitmap.cy);
  const std::size_t bytes = (bits->sizlBitmap.cx + 7) / 8 * std::size_t(bits->sizlBitmap.cy);
  EXPECT_TRUE(std::equal(bits->aj, bits->aj + bytes, r.chars[0].rows.begin(), r.chars[0].rows.end()));
}

// The printer moves its cursor along x by a bitmap character's delta x; a
// turned run places its characters along y, so they must not drift sideways.
TEST_F(SoftFontsTest, BitmapCharactersAdvanceTheCursorByTheRunsStepAlongX) {
  kv5e::SetDm(pdev(), DmField("trueTypeMethod"), 1);
  struct Case {
    LONG escapement;
    bool across;  // the run moves along x
  };
  for (const Case c : {Case{0, true}, Case{900, false}, Case{2700, false}}) {
    SCOPED_TRACE(c.escapement);
    FontPtr font = Realize(sans_, 60, 400, c.escapement);
    Run run = Prepare(font.get(), u"HIJ");
    ASSERT_NE(run.str, nullptr);
    const Received r = Job([&] { EXPECT_TRUE(SelectRun(font.get(), run, 60)); });
    ASSERT_EQ(r.chars.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      const std::int16_t deltaX = static_cast<std::int16_t>(U16(&r.chars[i].payload[14]));
      if (c.across) {
        EXPECT_GT(deltaX, 0) << i;
        if (i < 2) {
          EXPECT_EQ(deltaX, 4 * (run.str->pgp[i + 1].ptl.x - run.str->pgp[i].ptl.x));
        }
      } else {
        EXPECT_NEAR(deltaX, 0, 4) << i;
      }
    }
  }
}

TEST_F(SoftFontsTest, LargeBitmapCharacterGoesInChunksOf16384) {
  kv5e::SetDm(pdev(), DmField("trueTypeMethod"), 1);
  FontPtr font = Realize(sans_, 700);
  const Received r = Job([&] { EXPECT_TRUE(Select(font.get(), u"W", 700)); });
  ASSERT_EQ(r.chars.size(), 1u);
  const Bytes& d = r.chars[0].payload;
  const std::size_t total = (U16(&d[10]) + 7) / 8 * std::size_t{U16(&d[12])};
  ASSERT_GT(total, 32768u) << "the glyph is too small for three blocks";
  ASSERT_LE(total, 49152u);
  EXPECT_EQ(r.chars[0].sizes, (std::vector<std::size_t>{16 + 16384, 2 + 16384, 2 + total - 32768}));
  EXPECT_EQ(r.chars[0].rows.size(), total);
  // The decoder reads "ESC (s#W" exactly as announced.
  EXPECT_NE(r.stream.find("\x1b(s16400W"), std::string::npos);
  EXPECT_NE(r.stream.find("\x1b(s16386W"), std::string::npos);
}

// ---- outline fonts against their files --------------------------------------------------------

TEST_F(SoftFontsTest, OutlineFontsCarryTheirTablesAndGlyphsFaithfully) {
  for (const std::u16string family :
       {u"Liberation Sans", u"Liberation Serif", u"Liberation Mono", u"DejaVu Sans"}) {
    const std::string path = FontPath(family);
    if (path.empty()) continue;
    SCOPED_TRACE(path);
    kv5e::FreeSoftFonts(pdev());
    kv5e::ResetHpglState(pdev()->hpglState);
    const FontView view(ReadTables(ReadFile(path)));
    FontPtr font = Realize(path, 50);
    const std::u16string text = u"Hello, World! \u00e9\u00fc\u20ac";
    const Received r = Job([&] { EXPECT_TRUE(Select(font.get(), text, 50)); });
    ASSERT_EQ(r.headers.size(), 1u);
    const Bytes& h = r.headers[0].bytes;
    ASSERT_GE(h.size(), 72u);
    EXPECT_EQ(U16(&h[0]), 72);
    EXPECT_EQ(h[2], 15);
    EXPECT_EQ(U16(&h[14]), 1);
    EXPECT_EQ(U16(&h[38]), 255);
    EXPECT_EQ(U16(&h[64]), U16(&view.tables.at("head")[18]));
    EXPECT_EQ(h[25], 255);  // none of these fonts has a PCLT table
    const auto segments = Segments(h);
    ASSERT_TRUE(segments.count("GT"));
    ASSERT_TRUE(segments.count("PA"));
    EXPECT_TRUE(std::equal(segments.at("PA").begin(), segments.at("PA").end(),
                           view.tables.at("OS/2").begin() + 32));
    ExpectSoundTables(segments.at("GT"), view.tables, kFormat15Tables);

    // Every distinct character but the space, once, with the font's glyph data.
    std::vector<std::int64_t> expectedCodes;
    for (char16_t c : text) {
      const std::int64_t code = c == u'\u20ac' ? 0x80 : c;
      if (c != u' ' && std::find(expectedCodes.begin(), expectedCodes.end(), code) == expectedCodes.end()) {
        expectedCodes.push_back(code);
      }
    }
    std::vector<std::int64_t> codes;
    for (const Character& ch : r.chars) {
      if (ch.code == 65535) continue;
      codes.push_back(ch.code);
      const char16_t unicode = ch.code == 0x80 ? u'\u20ac' : static_cast<char16_t>(ch.code);
      const std::uint16_t glyph = view.GlyphOf(unicode);
      ASSERT_GE(ch.payload.size(), 10u);
      EXPECT_EQ(U16(&ch.payload[6]), glyph) << ch.code;
      const Bytes data = view.Glyph(glyph);
      EXPECT_EQ(ch.payload.size(), data.size() + 10) << ch.code;
      EXPECT_EQ(U16(&ch.payload[4]), data.size() + 4) << ch.code;
      EXPECT_TRUE(std::equal(data.begin(), data.end(), ch.payload.begin() + 8)) << ch.code;
    }
    EXPECT_EQ(codes, expectedCodes);
  }
}

TEST_F(SoftFontsTest, CompositeGlyphSendsItselfThenItsComponents) {
  const FontView view(ReadTables(ReadFile(sans_)));
  // The first accented capital the font builds from components.
  char16_t composite = 0;
  for (char16_t c = 0xC0; c <= 0xDD && composite == 0; ++c) {
    if (view.Components(view.GlyphOf(c)).size() >= 2) composite = c;
  }
  ASSERT_NE(composite, 0) << "no composite glyph in Liberation Sans";
  const std::uint16_t glyph = view.GlyphOf(composite);
  FontPtr font = Realize(sans_, 50);
  const Received r = Job([&] { EXPECT_TRUE(Select(font.get(), std::u16string(1, composite), 50)); });
  std::vector<std::pair<std::int64_t, std::uint16_t>> sent;
  for (const Character& ch : r.chars) sent.emplace_back(ch.code, U16(&ch.payload[6]));
  std::vector<std::pair<std::int64_t, std::uint16_t>> expected = {{composite, glyph}};
  for (std::uint16_t component : view.Components(glyph)) expected.emplace_back(65535, component);
  EXPECT_EQ(sent, expected);
}

TEST_F(SoftFontsTest, TwentyByteGlyphIsSentWithThirtyBytes) {
  Tables tables = ReadTables(ReadFile(sans_));
  const std::uint16_t glyphA = FontView(tables).GlyphOf('A');
  // One contour of two points, short coordinates: 10 + 2 + 2 + 2 + 2 + 2 bytes.
  const Bytes twenty = {0, 1, 0, 0, 0, 0, 0, 100, 0, 100, 0, 1, 0, 0, 0x37, 0x37, 0, 100, 0, 100};
  ASSERT_EQ(twenty.size(), 20u);
  ReplaceGlyphs(tables, {{glyphA, twenty}});
  FontPtr font = Realize(Copy(BuildSfnt(tables), "twenty.ttf"), 50);
  ASSERT_NE(font, nullptr);
  const Received r = Job([&] { EXPECT_TRUE(Select(font.get(), u"A", 50)); });
  ASSERT_EQ(r.chars.size(), 1u);
  EXPECT_NE(r.stream.find("\x1b*c65E\x1b(s30W"), std::string::npos);
  EXPECT_EQ(Bytes(r.chars[0].payload.begin(), r.chars[0].payload.begin() + 6),
            (Bytes{15, 0, 2, 15, 0, 24}));
  EXPECT_EQ(U16(&r.chars[0].payload[6]), glyphA);
}

TEST_F(SoftFontsTest, HeaderWithoutPcltOrFpgmAndWithPclt) {
  const Tables original = ReadTables(ReadFile(sans_));
  Tables noFpgm = original;
  noFpgm.erase("fpgm");
  Tables withPclt = original;
  Bytes pclt(54, 0);
  Put32(&pclt[0], 0x00010000);
  Put32(&pclt[4], 0x12345678);  // font number
  Put16(&pclt[8], 1139);        // pitch
  Put16(&pclt[10], 1082);       // x-height
  Put16(&pclt[14], 16602);      // type family
  Put16(&pclt[16], 1409);       // cap height
  pclt[50] = 0xFE;              // stroke weight
  pclt[52] = 0x48;              // serif style
  withPclt["PCLT"] = pclt;

  FontPtr plain = Realize(Copy(BuildSfnt(noFpgm), "nofpgm.ttf"), 50);
  FontPtr branded = Realize(Copy(BuildSfnt(withPclt), "pclt.ttf"), 50);
  ASSERT_TRUE(plain && branded);
  const Received r = Job([&] {
    EXPECT_TRUE(Select(plain.get(), u"a", 50));
    EXPECT_TRUE(Select(branded.get(), u"a", 50));
  });
  ASSERT_EQ(r.headers.size(), 2u);
  const Bytes& h = r.headers[0].bytes;
  EXPECT_EQ(h[25], 255);
  EXPECT_EQ(h[26], 0);
  EXPECT_EQ(U32(&h[44]), 0u);
  const IFIMETRICS* ifi = FONTOBJ_pifi(plain.get());
  EXPECT_EQ(static_cast<std::int16_t>(U16(&h[16])), ifi->fwdAveCharWidth);
  EXPECT_EQ(static_cast<std::int16_t>(U16(&h[42])), ifi->fwdCapHeight);
  ExpectSoundTables(Segments(h).at("GT"), noFpgm, kFormat15Tables);

  const Bytes& p = r.headers[1].bytes;
  EXPECT_EQ(p[25], 16602 & 0xFF);
  EXPECT_EQ(p[26], 16602 >> 8);
  EXPECT_EQ(U32(&p[44]), 0x12345678u);
  EXPECT_EQ(U16(&p[16]), 1139);
  EXPECT_EQ(U16(&p[20]), 1082);
  EXPECT_EQ(U16(&p[42]), 1409);
  EXPECT_EQ(p[24], 0xFE);
  EXPECT_EQ(p[27], 0x48);
}

TEST_F(SoftFontsTest, DoubleByteOutlineFontHasItsOwnHeaderForm) {
  const FontView view(ReadTables(ReadFile(sans_)));
  FontPtr font = Realize(sans_, 50);
  Text().doubleByte = 1;
  Text().charSet = 128;
  const Received r = Job([&] { EXPECT_TRUE(Select(font.get(), u"A", 50)); });
  ASSERT_EQ(r.headers.size(), 1u);
  EXPECT_EQ(r.headers[0].font, 1001);
  const Bytes& h = r.headers[0].bytes;
  EXPECT_EQ(h[2], 16);
  EXPECT_EQ(h[3], 3);
  EXPECT_EQ(h[4], 3);
  EXPECT_EQ(U16(&h[14]), 619);
  EXPECT_EQ(h[23], 224);
  EXPECT_EQ(h[25], static_cast<BYTE>(1 - 24));  // first outline font of the list
  EXPECT_EQ(h[26], 240);
  EXPECT_EQ(U16(&h[38]), 65535);
  const auto segments = Segments(h);
  EXPECT_EQ(segments.at("GC"), (Bytes{0, 0, 0xFF, 0xFF, 0, 1, 0, 0, 0xFF, 0xFE, 0xFF, 0xFF}));
  EXPECT_EQ(segments.at("CE"), (Bytes{0, 0, 0, 2, 0xFF, 0xFF, 0, 0}));
  // The font has no vertical metrics: their entries stay, empty.
  std::vector<std::string> order = kFormat15Tables;
  order.insert(order.end(), {"vmtx", "vhea"});
  ExpectSoundTables(segments.at("GT"), view.tables, order);
  const Bytes& gt = segments.at("GT");
  EXPECT_EQ(U16(&gt[4]), 10);
  ASSERT_EQ(r.chars.size(), 1u);
  EXPECT_EQ(r.chars[0].code, 'A');
  EXPECT_EQ(U16(&r.chars[0].payload[6]), view.GlyphOf('A'));
}

TEST_F(SoftFontsTest, RawCodesAreRewrittenToLeadBytesOfTheEntry) {
  FontPtr font = Realize(sans_, 40);
  Text().notAnsi = 1;
  Text().rawCodes = 1;
  std::u16string codes;
  const Received r = Job([&] { EXPECT_TRUE(Select(font.get(), u"\u0100\u0102\u0391\u0101", 40, &codes)); });
  EXPECT_EQ(codes, (std::u16string{0x8000, 0x8002, 0x8191, 0x8001}));
  EXPECT_EQ(r.Codes(), (std::vector<std::int64_t>{0x8000, 0x8002, 0x8191, 0x8001}));
  ASSERT_EQ(r.headers.size(), 1u);
  EXPECT_EQ(r.headers[0].bytes[2], 16);  // bitmap, double-byte form
}

// The printer knows no space of its own in two-byte codes: a blank character
// goes as one white dot that moves the cursor by its advance.
TEST_F(SoftFontsTest, BlankCharacterOfARawCodeRunKeepsItsAdvance) {
  FontPtr font = Realize(sans_, 40);
  Text().notAnsi = 1;
  Text().rawCodes = 1;
  Run run = Prepare(font.get(), u"A B");
  ASSERT_NE(run.str, nullptr);
  const Received r = Job([&] { EXPECT_TRUE(SelectRun(font.get(), run, 40)); });
  ASSERT_EQ(r.chars.size(), 3u);
  const Character& space = r.chars[1];
  EXPECT_EQ(space.code, 0x8020);
  ASSERT_EQ(space.payload.size(), 17u);
  EXPECT_EQ(U16(&space.payload[10]), 1);  // width
  EXPECT_EQ(U16(&space.payload[12]), 1);  // height
  EXPECT_EQ(static_cast<std::int16_t>(U16(&space.payload[14])),
            4 * (run.str->pgp[2].ptl.x - run.str->pgp[1].ptl.x));
  EXPECT_EQ(space.payload[16], 0);  // white
}

// ---- state across runs and pages ------------------------------------------------------------

TEST_F(SoftFontsTest, OutlineHeightAndSelectionAreSentOnlyWhenTheyChange) {
  FontPtr font = Realize(sans_, 50);
  pdev()->hpglState.bInHpgl2 = 1;
  const Received r = Job([&] {
    EXPECT_TRUE(Select(font.get(), u"a", 50));
    EXPECT_TRUE(Select(font.get(), u"a", 50));
    EXPECT_TRUE(Select(font.get(), u"a", 60));  // same outline entry, new height
  });
  // Everything after leaving HP-GL/2: the header is no HP-GL/2 instruction.
  ASSERT_FALSE(r.commands.empty());
  EXPECT_EQ(r.commands.front().name, "ESC %1A");
  EXPECT_EQ(r.headers.size(), 1u);
  EXPECT_EQ(r.heights, 2);
  EXPECT_EQ(r.selected, (std::vector<std::int64_t>{16385, 16385}));
  EXPECT_EQ(r.chars.size(), 1u);
  EXPECT_EQ(Text().softFontHeight, 60);
}

TEST_F(SoftFontsTest, ForgottenCharactersAreSentAgainUnderTheSameIdentifier) {
  FontPtr outline = Realize(sans_, 50);
  FontPtr bitmap = Realize(sans_, 50, 700);
  const Received r = Job([&] {
    EXPECT_TRUE(Select(outline.get(), u"ab", 50));
    EXPECT_TRUE(Select(bitmap.get(), u"ab", 50));
    kv5e::ForgetDownloadedCharacters(pdev());
    EXPECT_EQ(Text().softFontId, 0);
    EXPECT_TRUE(Select(outline.get(), u"ab", 50));
    EXPECT_TRUE(Select(bitmap.get(), u"ba", 50));
  });
  ASSERT_EQ(r.headers.size(), 4u);
  EXPECT_EQ(r.headers[2].font, 16385);
  EXPECT_EQ(r.headers[2].bytes, r.headers[0].bytes);
  EXPECT_EQ(r.headers[3].font, 16386);
  EXPECT_EQ(r.headers[3].bytes, r.headers[1].bytes);
  EXPECT_EQ(r.Codes(), (std::vector<std::int64_t>{'a', 'b', 'a', 'b', 'a', 'b', 'b', 'a'}));
  EXPECT_EQ(r.selected, (std::vector<std::int64_t>{16385, 16386, 16385, 16386}));
}

TEST_F(SoftFontsTest, ResetHandsTheFontsToTheNewInstance) {
  FontPtr font = Realize(sans_, 50);
  auto other = std::make_unique<PclPdev>();
  other->magicHead = other->magicTail = kv5e::kPdevMagic;
  const Received r = Job([&] {
    EXPECT_TRUE(Select(font.get(), u"ab", 50));
    kv5e::MoveSoftFonts(pdev(), other.get());
    EXPECT_EQ(pdev()->softFonts[0], nullptr);
    kv5e::MoveSoftFonts(other.get(), pdev());
    Text().softFontId = 0;
    EXPECT_TRUE(Select(font.get(), u"abc", 50));
  });
  EXPECT_EQ(r.headers.size(), 1u);
  EXPECT_EQ(r.Codes(), (std::vector<std::int64_t>{'a', 'b', 'c'}));
  kv5e::FreeSoftFonts(other.get());
}

TEST_F(SoftFontsTest, NoEntryNoTextAndNothingWritten) {
  FontPtr font = Realize(sans_, 50);
  Run run = Prepare(font.get(), u"ab");
  const Received r = Job([&] {
    kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0);
    EXPECT_FALSE(SelectRun(font.get(), run, 50));
    kvplat::fault::ClearAll();
  });
  EXPECT_TRUE(r.stream.empty());
  EXPECT_EQ(pdev()->softFonts[0], nullptr);
}

// ---- damaged font files ------------------------------------------------------------------

struct Damage {
  const char* name;
  // Changes the file image the engine hands over (offsets into it).
  std::function<void(BYTE* file, ULONG size, const FontView& view)> apply;
  bool outline;           // still an outline font
  std::size_t minChars;   // characters that still go out
};

// Offset of a directory entry of a single font.
BYTE* Entry(BYTE* file, const char* tag) {
  for (int i = 0; i < U16(file + 4); ++i) {
    if (std::memcmp(file + 12 + 16 * i, tag, 4) == 0) return file + 12 + 16 * i;
  }
  return nullptr;
}
BYTE* TableOf(BYTE* file, const char* tag) { return file + U32(Entry(file, tag) + 8); }

TEST_F(SoftFontsTest, DamagedFontFilesAreNeverReadOutsideTheirBytes) {
  const Bytes original = ReadFile(sans_);
  const FontView view(ReadTables(original));
  const std::uint16_t glyphA = view.GlyphOf('A');
  char16_t composite = 0;
  for (char16_t c = 0xC0; c <= 0xDD && composite == 0; ++c) {
    if (view.Components(view.GlyphOf(c)).size() >= 2) composite = c;
  }
  const std::uint16_t compositeGlyph = view.GlyphOf(composite);
  auto locaEntry = [&](BYTE* file, std::uint32_t glyph) {
    return TableOf(file, "loca") + (view.LongLoca() ? 4 : 2) * glyph;
  };
  const std::vector<Damage> cases = {
      {"huge table count", [](BYTE* f, ULONG, const FontView&) { Put16(f + 4, 0xFFFF); }, false, 3},
      {"glyf beyond the file",
       [](BYTE* f, ULONG size, const FontView&) { Put32(Entry(f, "glyf") + 8, size - 8); }, false, 3},
      {"fpgm longer than the file",
       [](BYTE* f, ULONG, const FontView&) { Put32(Entry(f, "fpgm") + 12, 0x7FFFFFF0); }, false, 3},
      {"head cut short", [](BYTE* f, ULONG, const FontView&) { Put32(Entry(f, "head") + 12, 20); }, false, 3},
      {"loca pointing outside glyf",
       [&](BYTE* f, ULONG, const FontView&) {
         BYTE* next = locaEntry(f, glyphA + 1);
         view.LongLoca() ? Put32(next, 0x7FFFFFF0) : Put16(next, 0xFFF0);
       },
       true, 2},
      {"cmap subtable offset outside cmap",
       [](BYTE* f, ULONG, const FontView&) {
         BYTE* cmap = TableOf(f, "cmap");
         for (int i = 0; i < U16(cmap + 2); ++i) Put32(cmap + 4 + 8 * i + 4, 0x7FFFFFF0);
       },
       true, 3},
      {"cmap subtable running past its table",
       [](BYTE* f, ULONG, const FontView&) {
         BYTE* cmap = TableOf(f, "cmap");
         for (int i = 0; i < U16(cmap + 2); ++i) {
           BYTE* sub = cmap + U32(cmap + 4 + 8 * i + 4);
           if (U16(sub) == 4) Put16(sub + 2, 0xFFFF), Put16(sub + 6, 0xFFFE);
         }
       },
       true, 3},
      {"huge cmap record count",
       [](BYTE* f, ULONG, const FontView&) { Put16(TableOf(f, "cmap") + 2, 0xFFFF); }, true, 3},
      {"composite referring to itself",
       [&](BYTE* f, ULONG, const FontView&) {
         BYTE* data = TableOf(f, "glyf") + view.Loca(compositeGlyph).first;
         Put16(data + 12, compositeGlyph);
       },
       true, 3},
      {"composites referring to each other",
       [&](BYTE* f, ULONG, const FontView&) {
         const std::uint16_t component = view.Components(compositeGlyph)[0];
         BYTE* data = TableOf(f, "glyf") + view.Loca(compositeGlyph).first;
         // The component becomes a composite of the composite.
         BYTE* inner = TableOf(f, "glyf") + view.Loca(component).first;
         if (view.Loca(component).second - view.Loca(component).first >= 16) {
           Put16(inner, 0xFFFF);
           Put16(inner + 10, 0x0020 | 0x0001);  // words, more components follow
           Put16(inner + 12, compositeGlyph);
         }
         Put16(data + 12, component);
       },
       true, 3},
      {"composite with a huge component list",
       [&](BYTE* f, ULONG, const FontView&) {
         BYTE* data = TableOf(f, "glyf") + view.Loca(compositeGlyph).first;
         const std::uint32_t length = view.Loca(compositeGlyph).second - view.Loca(compositeGlyph).first;
         // Every record claims more follow, to the glyph's end and beyond.
         for (std::uint32_t at = 10; at + 4 <= length; at += 4) {
           Put16(data + at, 0x0020), Put16(data + at + 2, compositeGlyph);
         }
       },
       true, 3},
  };
  ASSERT_NE(composite, 0);
  int n = 0;
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.name);
    kv5e::FreeSoftFonts(pdev());
    kv5e::ResetHpglState(pdev()->hpglState);
    FontPtr font = Realize(Copy(original, "damaged" + std::to_string(n++) + ".ttf"), 40);
    ASSERT_NE(font, nullptr);
    ULONG size = 0;
    BYTE* file = FileOf(font.get(), &size);
    ASSERT_NE(file, nullptr);
    // The engine laid the run out before the damage is done.
    Run run = Prepare(font.get(), std::u16string(u"Aa") + composite);
    c.apply(file, size, view);
    const Received r = Job([&] { EXPECT_TRUE(SelectRun(font.get(), run, 40)); });
    ASSERT_EQ(r.headers.size(), 1u);
    EXPECT_EQ(r.headers[0].bytes[2], c.outline ? 15 : 20);
    std::size_t top = 0;
    for (const Character& ch : r.chars) top += ch.code != 65535;
    EXPECT_GE(top, c.minChars);
    EXPECT_LE(r.chars.size(), 3u + 64u);
  }
}

TEST_F(SoftFontsTest, CollectionFaceWithBadOffsetGoesAsBitmap) {
  // A collection of two copies of the font; the engine realizes the second face.
  const Bytes single = ReadFile(sans_);
  Bytes ttc(20, 0);
  std::memcpy(&ttc[0], "ttcf", 4);
  Put32(&ttc[4], 0x00010000);
  Put32(&ttc[8], 2);
  Put32(&ttc[12], 20);
  Put32(&ttc[16], 20);
  const std::size_t base = ttc.size();
  ttc.insert(ttc.end(), single.begin(), single.end());
  for (int i = 0; i < U16(&single[4]); ++i) {
    BYTE* e = &ttc[base + 12 + 16 * i];
    Put32(e + 8, U32(e + 8) + static_cast<std::uint32_t>(base));
  }
  const std::string path = Copy(ttc, "pair.ttc");
  LOGFONTW lf{};
  lf.lfHeight = -40;
  eng::ResolvedFace face;
  face.path = path;
  face.index = 1;
  face.family = u"Pair";
  face.standsFor = true;
  FontPtr font(eng::CreateFontObjectForFace(lf, face, SIZEL{300, 300}, FLOATOBJ_XFORM{1, 0, 0, 1, 0, 0}));
  ASSERT_NE(font, nullptr);
  const Received good = Job([&] { EXPECT_TRUE(Select(font.get(), u"A", 40)); });
  ASSERT_EQ(good.headers.size(), 1u);
  EXPECT_EQ(good.headers[0].bytes[2], 15);
  ExpectSoundTables(Segments(good.headers[0].bytes).at("GT"), ReadTables(single), kFormat15Tables);

  kv5e::FreeSoftFonts(pdev());
  kv5e::ResetHpglState(pdev()->hpglState);
  ULONG size = 0;
  BYTE* file = FileOf(font.get(), &size);
  Put32(file + 16, size - 4);  // the second font's offset table past the end
  const Received bad = Job([&] { EXPECT_TRUE(Select(font.get(), u"A", 40)); });
  ASSERT_EQ(bad.headers.size(), 1u);
  EXPECT_EQ(bad.headers[0].bytes[2], 20);
  EXPECT_EQ(bad.chars.size(), 1u);
}

}  // namespace
