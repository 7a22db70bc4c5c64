// kvfontgen: writes the metrics resources (type 258) of the printer's resident
// fonts from metric-compatible or look-alike stand-in faces.
//
//   kvfontgen TABLE OUTDIR       e.g. kvfontgen tools/fontgen/fonts.txt pclcore/5e/fonts
//
// TABLE (fonts.txt) lists each font with its names, the fontconfig pattern of
// its stand-in face and the values the face cannot tell (character set, pitch
// and family, weight, italic). One file fontNN.bin is written per font. The
// output depends only on the table and the face files, so regenerating with
// the same fonts installed gives the same bytes.
//
// Resource layout (little-endian):
//   0   u16  0
//   2   u16  1 (format version)
//   4   u32  total size
//   8   u32  offset of the zero-terminated 8-bit font name (592)
//   12  u32  offset of the IFIMETRICS block (8-byte aligned, so the block can be
//            used in place: it holds 64-bit offsets)
//   16  u32  kerning pair count (0)
//   20  u32  kerning pair offset (0)
//   24  56   description (zero)
//   80  512  256 u16 advance widths in design units by 8-bit code
//   592      font name, IFIMETRICS, then the UTF-16 strings it points to
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H
#include FT_BBOX_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H
#include FT_TYPE1_TABLES_H
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvplat/engine.h"

namespace {

// ---- layout of the resource ---------------------------------------------------
constexpr std::size_t kHeaderSize = 24;
constexpr std::size_t kDescriptionOffset = 24;
constexpr std::size_t kDescriptionSize = 56;
constexpr std::size_t kWidthsOffset = 80;
constexpr std::size_t kNameOffset = 592;
constexpr std::size_t kIfiAlign = 8;
static_assert(kDescriptionOffset + kDescriptionSize == kWidthsOffset);
static_assert(kWidthsOffset + 256 * 2 == kNameOffset);
static_assert(kHeaderSize == kDescriptionOffset);

constexpr int kScalableUnits = 2048;
constexpr int kFixedUnits = 72;
constexpr int kResolution = 300;

constexpr BYTE kCharsetAnsi = 0;
constexpr BYTE kCharsetSymbol = 2;
constexpr BYTE kCharsetShiftJis = 128;

// Windows-1252 codes 0x80..0x9F (0 = unassigned).
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// ---- little-endian writers -----------------------------------------------------
void PutU8(std::vector<std::uint8_t>& b, std::size_t at, std::uint8_t v) { b.at(at) = v; }
void PutU16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b.at(at) = static_cast<std::uint8_t>(v);
  b.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}
void PutU32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutU64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutI16(std::vector<std::uint8_t>& b, std::size_t at, int v) {
  PutU16(b, at, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(v, -32768, 32767))));
}
void PutI32(std::vector<std::uint8_t>& b, std::size_t at, long v) {
  PutU32(b, at, static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
}

#define IFI(field) (ifi + offsetof(IFIMETRICS, field))

// ---- the table -----------------------------------------------------------------
struct FontEntry {
  int index = 0;
  std::string name;      // 8-bit font name
  std::string typeface;  // UTF-8
  std::string pattern;   // fontconfig pattern
  BYTE charset = 0;
  BYTE pitchFamily = 0;
  int weight = 400;
  bool italic = false;
  bool fixedSize = false;  // Line Printer style: one size, one pitch
  double points = 0;
  double pitch = 0;
  int line = 0;
};

std::string Trim(std::string_view s) {
  std::size_t a = 0, e = s.size();
  while (a < e && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r')) ++a;
  while (e > a && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return std::string(s.substr(a, e - a));
}

std::optional<long> ParseInt(const std::string& s) {
  if (s.empty()) return std::nullopt;
  char* end = nullptr;
  const long v = std::strtol(s.c_str(), &end, 0);
  if (*end != '\0') return std::nullopt;
  return v;
}

bool ReadTable(const std::filesystem::path& path, std::vector<FontEntry>& fonts) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read the font table\n", path.string().c_str());
    return false;
  }
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    const std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    std::vector<std::string> cols;
    std::size_t start = 0;
    for (;;) {
      const std::size_t bar = t.find('|', start);
      cols.push_back(Trim(std::string_view(t).substr(start, bar == std::string::npos ? std::string::npos : bar - start)));
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    auto bad = [&](const char* what) {
      std::fprintf(stderr, "%s:%d: %s\n", path.string().c_str(), lineNo, what);
      return false;
    };
    if (cols.size() != 9) return bad("expected 9 columns");
    FontEntry f;
    f.line = lineNo;
    const auto index = ParseInt(cols[0]);
    const auto charset = ParseInt(cols[4]);
    const auto pf = ParseInt(cols[5]);
    const auto weight = ParseInt(cols[6]);
    const auto italic = ParseInt(cols[7]);
    if (!index || *index < 1 || *index > 999) return bad("bad index");
    if (!charset || (*charset != kCharsetAnsi && *charset != kCharsetSymbol && *charset != kCharsetShiftJis))
      return bad("character set must be 0, 2 or 128");
    if (!pf || *pf < 0 || *pf > 255) return bad("bad pitch and family");
    if (!weight || *weight < 100 || *weight > 900) return bad("bad weight");
    if (!italic || (*italic != 0 && *italic != 1)) return bad("italic must be 0 or 1");
    f.index = static_cast<int>(*index);
    f.name = cols[1];
    f.typeface = cols[2];
    f.pattern = cols[3];
    f.charset = static_cast<BYTE>(*charset);
    f.pitchFamily = static_cast<BYTE>(*pf);
    f.weight = static_cast<int>(*weight);
    f.italic = *italic == 1;
    if (f.name.empty() || f.typeface.empty() || f.pattern.empty()) return bad("empty name or face");
    for (unsigned char c : f.name) {
      if (c < 0x20 || c > 0x7E) return bad("the font name must be printable ASCII");
    }
    if (cols[8] == "scalable") {
      f.fixedSize = false;
    } else {
      double points = 0, pitch = 0;
      char tail = 0;
      if (std::sscanf(cols[8].c_str(), "fixed %lf %lf %c", &points, &pitch, &tail) != 2 ||
          points <= 0 || pitch <= 0) {
        return bad("size must be 'scalable' or 'fixed POINTS PITCH'");
      }
      f.fixedSize = true;
      f.points = points;
      f.pitch = pitch;
    }
    for (const FontEntry& other : fonts) {
      if (other.index == f.index) return bad("duplicate index");
    }
    fonts.push_back(std::move(f));
  }
  std::sort(fonts.begin(), fonts.end(), [](const FontEntry& a, const FontEntry& b) { return a.index < b.index; });
  return true;
}

// ---- fontconfig ----------------------------------------------------------------
struct FcPatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
using FcPatternPtr = std::unique_ptr<FcPattern, FcPatternDeleter>;

bool HasString(FcPattern* p, const char* object, const char* value) {
  FcChar8* s = nullptr;
  for (int i = 0; FcPatternGetString(p, object, i, &s) == FcResultMatch; ++i) {
    if (std::strcmp(reinterpret_cast<const char*>(s), value) == 0) return true;
  }
  return false;
}

// Resolves the pattern to a face file, insisting that the match really is the
// family (and style) asked for rather than a fallback.
bool ResolveFace(const FontEntry& entry, std::string& file, int& faceIndex) {
  if (entry.pattern[0] == '/') {  // a face file named outright
    std::error_code ec;
    if (!std::filesystem::is_regular_file(entry.pattern, ec)) {
      std::fprintf(stderr, "font %d: %s is not installed (install its package, see README.md)\n",
                   entry.index, entry.pattern.c_str());
      return false;
    }
    file = entry.pattern;
    faceIndex = 0;
    return true;
  }
  FcPatternPtr pattern(FcNameParse(reinterpret_cast<const FcChar8*>(entry.pattern.c_str())));
  if (!pattern) {
    std::fprintf(stderr, "font %d: bad fontconfig pattern '%s'\n", entry.index, entry.pattern.c_str());
    return false;
  }
  FcChar8* family = nullptr;
  FcChar8* style = nullptr;
  FcPatternGetString(pattern.get(), FC_FAMILY, 0, &family);
  const bool wantStyle = FcPatternGetString(pattern.get(), FC_STYLE, 0, &style) == FcResultMatch;
  const std::string wantFamily = family ? reinterpret_cast<const char*>(family) : "";
  const std::string wantStyleName = wantStyle ? reinterpret_cast<const char*>(style) : "";

  FcPatternPtr query(FcPatternDuplicate(pattern.get()));
  FcConfigSubstitute(nullptr, query.get(), FcMatchPattern);
  FcDefaultSubstitute(query.get());
  FcResult result = FcResultNoMatch;
  FcPatternPtr match(FcFontMatch(nullptr, query.get(), &result));
  if (!match || result != FcResultMatch) {
    std::fprintf(stderr, "font %d: no face matches '%s'\n", entry.index, entry.pattern.c_str());
    return false;
  }
  if (!wantFamily.empty() && !HasString(match.get(), FC_FAMILY, wantFamily.c_str())) {
    std::fprintf(stderr, "font %d: '%s' is not installed (install its package, see README.md)\n",
                 entry.index, wantFamily.c_str());
    return false;
  }
  if (wantStyle && !HasString(match.get(), FC_STYLE, wantStyleName.c_str())) {
    std::fprintf(stderr, "font %d: style '%s' of '%s' is not installed\n", entry.index,
                 wantStyleName.c_str(), wantFamily.c_str());
    return false;
  }
  FcChar8* path = nullptr;
  if (FcPatternGetString(match.get(), FC_FILE, 0, &path) != FcResultMatch) return false;
  int index = 0;
  FcPatternGetInteger(match.get(), FC_INDEX, 0, &index);
  std::error_code ec;
  const auto canonical = std::filesystem::canonical(reinterpret_cast<const char*>(path), ec);
  file = ec ? std::string(reinterpret_cast<const char*>(path)) : canonical.string();
  faceIndex = index;
  return true;
}

// ---- FreeType ------------------------------------------------------------------
struct FaceDeleter {
  void operator()(FT_Face f) const { FT_Done_Face(f); }
};
using FacePtr = std::unique_ptr<std::remove_pointer_t<FT_Face>, FaceDeleter>;

// Rounds v * num / den to the nearest integer, halves away from zero.
long Scale(long v, long num, long den) {
  const long long p = static_cast<long long>(v) * num;
  const long long q = p >= 0 ? (p + den / 2) / den : -((-p + den / 2) / den);
  return static_cast<long>(q);
}

struct Metrics {
  std::array<std::uint16_t, 256> widths{};  // design units
  std::array<char16_t, 256> unicode{};      // the character each code stands for
  FT_BBox box{};                            // design units, over the mapped glyphs
  bool anyGlyph = false;
};

// The character an 8-bit code stands for in the font's character set, or 0.
char16_t CodeToChar(BYTE charset, int code) {
  if (code < 32) return 0;
  if (charset == kCharsetSymbol) return static_cast<char16_t>(0xF000 + code);
  if (charset == kCharsetShiftJis) {
    if (code < 0x7F) return static_cast<char16_t>(code);
    if (code >= 0xA1 && code <= 0xDF) return static_cast<char16_t>(0xFF61 + (code - 0xA1));
    return 0;  // lead bytes and unassigned codes
  }
  if (code == 0x7F) return 0;
  if (code >= 0x80 && code < 0xA0) return kCp1252High[code - 0x80];
  return static_cast<char16_t>(code);
}

// The face's glyph for an 8-bit code: symbol faces are looked up by their own
// codes (directly, or at U+F0xx through a Microsoft symbol cmap).
FT_UInt GlyphFor(FT_Face face, BYTE charset, int code, bool msSymbolCmap) {
  const char16_t ch = CodeToChar(charset, code);
  if (ch == 0) return 0;
  if (charset == kCharsetSymbol) {
    return FT_Get_Char_Index(face, msSymbolCmap ? 0xF000u + code : static_cast<FT_ULong>(code));
  }
  return FT_Get_Char_Index(face, ch);
}

struct Built {
  std::vector<std::uint8_t> bytes;
  std::string file;
};

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    char32_t cp = b;
    int extra = 0;
    if (b >= 0xF0) { cp = b & 0x07; extra = 3; }
    else if (b >= 0xE0) { cp = b & 0x0F; extra = 2; }
    else if (b >= 0xC0) { cp = b & 0x1F; extra = 1; }
    for (int k = 1; k <= extra && i + k < s.size(); ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
    i += 1 + extra;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

bool BuildFont(FT_Library lib, const FontEntry& entry, Built& built) {
  int faceIndex = 0;
  if (!ResolveFace(entry, built.file, faceIndex)) return false;
  FT_Face raw = nullptr;
  if (FT_New_Face(lib, built.file.c_str(), faceIndex, &raw) != 0) {
    std::fprintf(stderr, "font %d: FreeType cannot open %s\n", entry.index, built.file.c_str());
    return false;
  }
  FacePtr face(raw);
  if (!FT_IS_SCALABLE(raw) || raw->units_per_EM == 0) {
    std::fprintf(stderr, "font %d: %s is not a scalable face\n", entry.index, built.file.c_str());
    return false;
  }
  bool msSymbol = false;
  if (entry.charset == kCharsetSymbol) {
    for (int i = 0; i < raw->num_charmaps; ++i) {
      if (raw->charmaps[i]->encoding == FT_ENCODING_MS_SYMBOL) {
        FT_Set_Charmap(raw, raw->charmaps[i]);
        msSymbol = true;
      }
    }
  }
  if (!msSymbol && FT_Select_Charmap(raw, FT_ENCODING_UNICODE) != 0) {
    std::fprintf(stderr, "font %d: %s has no Unicode character map\n", entry.index, built.file.c_str());
    return false;
  }
  const long upem = raw->units_per_EM;
  const int units = entry.fixedSize ? kFixedUnits : kScalableUnits;
  auto S = [&](long v) { return Scale(v, units, upem); };

  // Advance widths and the box of the glyphs the font offers.
  Metrics m;
  long fixedAdvance = 0;  // fixed-size fonts: every code advances one pitch step
  if (entry.fixedSize) {
    // One pitch step in units of the em: (1 / pitch) inch over (points / 72) inch.
    fixedAdvance = std::lround(72.0 * units / (entry.pitch * entry.points));
  }
  for (int code = 0; code < 256; ++code) {
    const FT_UInt gi = GlyphFor(raw, entry.charset, code, msSymbol);
    if (gi == 0) continue;
    FT_Fixed adv = 0;
    if (FT_Get_Advance(raw, gi, FT_LOAD_NO_SCALE, &adv) != 0) continue;
    m.unicode[code] = CodeToChar(entry.charset, code);
    m.widths[code] = static_cast<std::uint16_t>(entry.fixedSize ? fixedAdvance : S(adv));
    if (FT_Load_Glyph(raw, gi, FT_LOAD_NO_SCALE) == 0 && raw->glyph->format == FT_GLYPH_FORMAT_OUTLINE &&
        raw->glyph->outline.n_points > 0) {
      FT_BBox b;
      FT_Outline_Get_BBox(&raw->glyph->outline, &b);
      if (!m.anyGlyph) {
        m.box = b;
        m.anyGlyph = true;
      } else {
        m.box.xMin = std::min(m.box.xMin, b.xMin);
        m.box.yMin = std::min(m.box.yMin, b.yMin);
        m.box.xMax = std::max(m.box.xMax, b.xMax);
        m.box.yMax = std::max(m.box.yMax, b.yMax);
      }
    }
  }
  if (!m.anyGlyph) {
    std::fprintf(stderr, "font %d: %s maps none of the font's codes\n", entry.index, built.file.c_str());
    return false;
  }
  // Horizontal values of a fixed-size font follow its pitch, not the face's.
  FT_Fixed faceAdvance = 0;
  if (entry.fixedSize) {
    FT_Get_Advance(raw, FT_Get_Char_Index(raw, 'M'), FT_LOAD_NO_SCALE, &faceAdvance);
    if (faceAdvance <= 0) faceAdvance = upem / 2;
  }
  auto SX = [&](long v) { return entry.fixedSize ? Scale(v, fixedAdvance, faceAdvance) : S(v); };

  const TT_OS2* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(raw, FT_SFNT_OS2));
  const TT_HoriHeader* hhea = static_cast<const TT_HoriHeader*>(FT_Get_Sfnt_Table(raw, FT_SFNT_HHEA));
  const TT_Postscript* post = static_cast<const TT_Postscript*>(FT_Get_Sfnt_Table(raw, FT_SFNT_POST));
  if (os2 && os2->version == 0xFFFF) os2 = nullptr;

  const bool fixedPitch = (entry.pitchFamily & 0x03) == 0x01;
  std::uint16_t maxWidth = 0;
  long widthSum = 0, widthCount = 0;
  for (int code = 0x20; code < 0x7F; ++code) {
    if (m.widths[code]) {
      widthSum += m.widths[code];
      ++widthCount;
    }
  }
  for (std::uint16_t w : m.widths) maxWidth = std::max(maxWidth, w);
  long aveWidth = widthCount ? (widthSum + widthCount / 2) / widthCount : maxWidth;
  if (fixedPitch) {
    aveWidth = m.widths[' '] ? m.widths[' '] : maxWidth;
  } else if (os2 && os2->xAvgCharWidth > 0 && entry.charset != kCharsetShiftJis) {
    aveWidth = S(os2->xAvgCharWidth);
  }
  const long maxInc = fixedPitch ? aveWidth : maxWidth;

  // Vertical metrics.
  const long winAscent = os2 ? S(os2->usWinAscent) : S(raw->ascender);
  const long winDescent = os2 ? S(os2->usWinDescent) : S(-raw->descender);
  const long macAscender = hhea ? S(hhea->Ascender) : S(raw->ascender);
  const long macDescender = hhea ? S(hhea->Descender) : S(raw->descender);
  const long macLineGap = hhea ? S(hhea->Line_Gap) : 0;
  const long typoAscender = os2 ? S(os2->sTypoAscender) : macAscender;
  const long typoDescender = os2 ? S(os2->sTypoDescender) : macDescender;
  const long typoLineGap = os2 ? S(os2->sTypoLineGap) : macLineGap;

  auto heightOf = [&](FT_ULong ch) -> long {
    const FT_UInt gi = FT_Get_Char_Index(raw, ch);
    if (gi == 0 || FT_Load_Glyph(raw, gi, FT_LOAD_NO_SCALE) != 0 ||
        raw->glyph->format != FT_GLYPH_FORMAT_OUTLINE)
      return 0;
    FT_BBox b;
    FT_Outline_Get_BBox(&raw->glyph->outline, &b);
    return b.yMax;
  };
  long capHeight = (os2 && os2->version >= 2 && os2->sCapHeight > 0) ? os2->sCapHeight : heightOf('H');
  long xHeight = (os2 && os2->version >= 2 && os2->sxHeight > 0) ? os2->sxHeight : heightOf('x');
  if (capHeight == 0) capHeight = raw->ascender;
  if (xHeight == 0) xHeight = capHeight / 2;

  const long underSize = raw->underline_thickness > 0 ? raw->underline_thickness : upem / 20;
  const long underPos = raw->underline_position != 0 ? raw->underline_position : -upem / 10;
  const long strikeSize = (os2 && os2->yStrikeoutSize > 0) ? os2->yStrikeoutSize : underSize;
  const long strikePos = (os2 && os2->yStrikeoutPosition > 0) ? os2->yStrikeoutPosition : xHeight / 2;

  // Double-byte fonts also carry the full-width characters: their box is the face's.
  FT_BBox box = m.box;
  if (entry.charset == kCharsetShiftJis) {
    box.xMin = std::min(box.xMin, raw->bbox.xMin);
    box.yMin = std::min(box.yMin, raw->bbox.yMin);
    box.xMax = std::max(box.xMax, raw->bbox.xMax);
    box.yMax = std::max(box.yMax, raw->bbox.yMax);
  }

  // Italic angle in tenths of a degree, negative leaning right; italics made
  // from an upright face get the usual 12 degrees.
  long italicAngle = post ? std::lround(post->italicAngle / 65536.0 * 10.0) : 0;
  if (entry.italic && italicAngle == 0) italicAngle = -120;
  if (!entry.italic) italicAngle = 0;

  // ---- strings ----
  static const char* const kStyles[] = {"Regular", "Italic", "Bold", "Bold Italic"};
  const bool bold = entry.weight >= 600;
  const std::string styleName = kStyles[(bold ? 2 : 0) + (entry.italic ? 1 : 0)];
  const std::u16string family = Utf8ToUtf16(entry.name);
  const std::u16string style = Utf8ToUtf16(styleName);
  const std::u16string faceName = Utf8ToUtf16(entry.typeface);
  char uniqueBuf[32];
  std::snprintf(uniqueBuf, sizeof uniqueBuf, "Kelvaro 5E %02d: ", entry.index);
  const std::u16string unique = Utf8ToUtf16(uniqueBuf + entry.name);

  const std::size_t nameEnd = kNameOffset + entry.name.size() + 1;
  const std::size_t ifi = (nameEnd + kIfiAlign - 1) / kIfiAlign * kIfiAlign;
  std::size_t cursor = sizeof(IFIMETRICS);
  const std::size_t familyAt = cursor;
  cursor += (family.size() + 1) * 2;
  const std::size_t styleAt = cursor;
  cursor += (style.size() + 1) * 2;
  const std::size_t faceAt = cursor;
  cursor += (faceName.size() + 1) * 2;
  const std::size_t uniqueAt = cursor;
  cursor += (unique.size() + 1) * 2;
  const std::size_t cjThis = cursor;
  const std::size_t total = ifi + cjThis;

  std::vector<std::uint8_t>& b = built.bytes;
  b.assign(total, 0);
  PutU16(b, 0, 0);
  PutU16(b, 2, 1);
  PutU32(b, 4, static_cast<std::uint32_t>(total));
  PutU32(b, 8, static_cast<std::uint32_t>(kNameOffset));
  PutU32(b, 12, static_cast<std::uint32_t>(ifi));
  PutU32(b, 16, 0);
  PutU32(b, 20, 0);
  for (int code = 0; code < 256; ++code) PutU16(b, kWidthsOffset + 2 * code, m.widths[code]);
  std::memcpy(b.data() + kNameOffset, entry.name.data(), entry.name.size());

  auto putString = [&](std::size_t at, const std::u16string& s) {
    for (std::size_t i = 0; i < s.size(); ++i) PutU16(b, ifi + at + 2 * i, s[i]);
  };
  putString(familyAt, family);
  putString(styleAt, style);
  putString(faceAt, faceName);
  putString(uniqueAt, unique);

  FLONG flInfo = FM_INFO_RETURNS_BITMAPS | FM_INFO_1BPP | FM_INFO_RIGHT_HANDED | FM_INFO_INTEGER_WIDTH |
                 FM_INFO_NOT_CONTIGUOUS;
  flInfo |= entry.fixedSize ? FM_INFO_TECH_BITMAP : (FM_INFO_TECH_OUTLINE_NOT_TRUETYPE | FM_INFO_ARB_XFORMS);
  if (fixedPitch) flInfo |= FM_INFO_OPTICALLY_FIXED_PITCH;
  if (fixedPitch && entry.charset == kCharsetShiftJis) flInfo |= FM_INFO_DBCS_FIXED_PITCH;
  if (fixedPitch && entry.charset != kCharsetShiftJis) flInfo |= FM_INFO_CONSTANT_WIDTH;

  USHORT fsSelection = 0;
  if (entry.italic) fsSelection |= FM_SEL_ITALIC;
  if (bold) fsSelection |= FM_SEL_BOLD;
  if (!fsSelection) fsSelection = FM_SEL_REGULAR;

  int first = -1, last = -1;
  char16_t wcFirst = 0xFFFF, wcLast = 0;
  for (int code = 0; code < 256; ++code) {
    if (!m.widths[code]) continue;
    if (first < 0) first = code;
    last = code;
    wcFirst = std::min(wcFirst, m.unicode[code]);
    wcLast = std::max(wcLast, m.unicode[code]);
  }
  const char16_t wcBreak = CodeToChar(entry.charset, 0x20);

  PutU32(b, IFI(cjThis), static_cast<std::uint32_t>(cjThis));
  PutU32(b, IFI(cjIfiExtra), 0);
  PutU64(b, IFI(dpwszFamilyName), familyAt);
  PutU64(b, IFI(dpwszStyleName), styleAt);
  PutU64(b, IFI(dpwszFaceName), faceAt);
  PutU64(b, IFI(dpwszUniqueName), uniqueAt);
  PutU64(b, IFI(dpFontSim), 0);
  PutI32(b, IFI(lEmbedId), 0);
  PutI32(b, IFI(lItalicAngle), italicAngle);
  PutI32(b, IFI(lCharBias), 0);
  PutU64(b, IFI(dpCharSets), 0);
  PutU8(b, IFI(jWinCharSet), entry.charset);
  PutU8(b, IFI(jWinPitchAndFamily), entry.pitchFamily);
  PutU16(b, IFI(usWinWeight), static_cast<std::uint16_t>(entry.weight));
  PutU32(b, IFI(flInfo), flInfo);
  PutU16(b, IFI(fsSelection), fsSelection);
  PutU16(b, IFI(fsType), 0);
  PutI16(b, IFI(fwdUnitsPerEm), units);
  PutI16(b, IFI(fwdLowestPPEm), entry.fixedSize ? 35 : 1);
  PutI16(b, IFI(fwdWinAscender), winAscent);
  PutI16(b, IFI(fwdWinDescender), winDescent);
  PutI16(b, IFI(fwdMacAscender), macAscender);
  PutI16(b, IFI(fwdMacDescender), macDescender);
  PutI16(b, IFI(fwdMacLineGap), macLineGap);
  PutI16(b, IFI(fwdTypoAscender), typoAscender);
  PutI16(b, IFI(fwdTypoDescender), typoDescender);
  PutI16(b, IFI(fwdTypoLineGap), typoLineGap);
  PutI16(b, IFI(fwdAveCharWidth), aveWidth);
  PutI16(b, IFI(fwdMaxCharInc), maxInc);
  PutI16(b, IFI(fwdCapHeight), S(capHeight));
  PutI16(b, IFI(fwdXHeight), S(xHeight));
  if (os2) {
    PutI16(b, IFI(fwdSubscriptXSize), SX(os2->ySubscriptXSize));
    PutI16(b, IFI(fwdSubscriptYSize), S(os2->ySubscriptYSize));
    PutI16(b, IFI(fwdSubscriptXOffset), SX(os2->ySubscriptXOffset));
    PutI16(b, IFI(fwdSubscriptYOffset), S(os2->ySubscriptYOffset));
    PutI16(b, IFI(fwdSuperscriptXSize), SX(os2->ySuperscriptXSize));
    PutI16(b, IFI(fwdSuperscriptYSize), S(os2->ySuperscriptYSize));
    PutI16(b, IFI(fwdSuperscriptXOffset), SX(os2->ySuperscriptXOffset));
    PutI16(b, IFI(fwdSuperscriptYOffset), S(os2->ySuperscriptYOffset));
  } else {
    const long em = units;
    PutI16(b, IFI(fwdSubscriptXSize), em * 2 / 3);
    PutI16(b, IFI(fwdSubscriptYSize), em * 2 / 3);
    PutI16(b, IFI(fwdSubscriptYOffset), em / 7);
    PutI16(b, IFI(fwdSuperscriptXSize), em * 2 / 3);
    PutI16(b, IFI(fwdSuperscriptYSize), em * 2 / 3);
    PutI16(b, IFI(fwdSuperscriptYOffset), em * 48 / 100);
  }
  PutI16(b, IFI(fwdUnderscoreSize), std::max(1L, S(underSize)));
  PutI16(b, IFI(fwdUnderscorePosition), S(underPos));
  PutI16(b, IFI(fwdStrikeoutSize), std::max(1L, S(strikeSize)));
  PutI16(b, IFI(fwdStrikeoutPosition), S(strikePos));
  PutU8(b, IFI(chFirstChar), static_cast<std::uint8_t>(first));
  PutU8(b, IFI(chLastChar), static_cast<std::uint8_t>(last));
  PutU8(b, IFI(chDefaultChar), 0x20);
  PutU8(b, IFI(chBreakChar), 0x20);
  PutU16(b, IFI(wcFirstChar), wcFirst);
  PutU16(b, IFI(wcLastChar), wcLast);
  PutU16(b, IFI(wcDefaultChar), wcBreak);
  PutU16(b, IFI(wcBreakChar), wcBreak);
  PutI32(b, IFI(ptlBaseline) + offsetof(POINTL, x), 1);
  PutI32(b, IFI(ptlBaseline) + offsetof(POINTL, y), 0);
  PutI32(b, IFI(ptlAspect) + offsetof(POINTL, x), kResolution);
  PutI32(b, IFI(ptlAspect) + offsetof(POINTL, y), kResolution);
  long caretX = 0, caretY = 1;
  if (entry.italic) {
    // The caret leans with the italic angle: run/rise over a 1000-unit rise.
    caretY = 1000;
    caretX = std::lround(std::tan(-italicAngle / 10.0 * 3.14159265358979323846 / 180.0) * 1000.0);
  }
  PutI32(b, IFI(ptlCaret) + offsetof(POINTL, x), caretX);
  PutI32(b, IFI(ptlCaret) + offsetof(POINTL, y), caretY);
  PutI32(b, IFI(rclFontBox) + offsetof(RECTL, left), SX(box.xMin));
  PutI32(b, IFI(rclFontBox) + offsetof(RECTL, top), S(box.yMax));
  PutI32(b, IFI(rclFontBox) + offsetof(RECTL, right), SX(box.xMax));
  PutI32(b, IFI(rclFontBox) + offsetof(RECTL, bottom), S(box.yMin));
  const char* vendor = "KVLR";
  char vendBuf[4];
  if (os2 && os2->achVendID[0] > 0x20) {
    std::memcpy(vendBuf, os2->achVendID, 4);
    vendor = vendBuf;
  }
  for (int i = 0; i < 4; ++i) PutU8(b, IFI(achVendId) + i, static_cast<std::uint8_t>(vendor[i]));
  PutU32(b, IFI(cKerningPairs), 0);
  PutU32(b, IFI(ulPanoseCulture), 0);
  if (os2) {
    for (std::size_t i = 0; i < sizeof(PANOSE); ++i) PutU8(b, IFI(panose) + i, os2->panose[i]);
  }
  return true;
}

bool WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: kvfontgen TABLE OUTDIR\n", stderr);
    return 2;
  }
  std::vector<FontEntry> fonts;
  if (!ReadTable(argv[1], fonts)) return 1;
  if (!FcInit()) {
    std::fputs("kvfontgen: fontconfig cannot start\n", stderr);
    return 1;
  }
  FT_Library lib = nullptr;
  if (FT_Init_FreeType(&lib) != 0) {
    std::fputs("kvfontgen: FreeType cannot start\n", stderr);
    return 1;
  }
  const std::filesystem::path outDir = argv[2];
  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  int failures = 0;
  for (const FontEntry& entry : fonts) {
    Built built;
    if (!BuildFont(lib, entry, built)) {
      ++failures;
      continue;
    }
    char name[32];
    std::snprintf(name, sizeof name, "font%02d.bin", entry.index);
    if (!WriteFile(outDir / name, built.bytes)) {
      std::fprintf(stderr, "kvfontgen: cannot write %s\n", (outDir / name).string().c_str());
      ++failures;
      continue;
    }
    std::printf("%s  %4zu bytes  %-36s %s\n", name, built.bytes.size(), entry.name.c_str(), built.file.c_str());
  }
  FT_Done_FreeType(lib);
  return failures ? 1 : 0;
}
