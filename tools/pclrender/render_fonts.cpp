#include "render_fonts.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kvpclrender {
namespace {

constexpr std::uint32_t kMaxBitmapSide = 8192;
constexpr std::size_t kMaxBitmapBytes = 16u << 20;
constexpr std::size_t kMaxGlyphImage = 64u << 20;
constexpr double kMaxPoints = 3000;

std::uint16_t Be16(std::span<const std::uint8_t> d, std::size_t at) {
  return at + 2 <= d.size() ? static_cast<std::uint16_t>(d[at] << 8 | d[at + 1]) : 0;
}
std::int16_t Be16s(std::span<const std::uint8_t> d, std::size_t at) {
  return static_cast<std::int16_t>(Be16(d, at));
}
std::uint32_t Be32(std::span<const std::uint8_t> d, std::size_t at) {
  return at + 4 <= d.size() ? (std::uint32_t{d[at]} << 24 | std::uint32_t{d[at + 1]} << 16 |
                               std::uint32_t{d[at + 2]} << 8 | d[at + 3])
                            : 0;
}
void Put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
  v.push_back(static_cast<std::uint8_t>(x >> 8));
  v.push_back(static_cast<std::uint8_t>(x));
}
void Put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
  Put16(v, static_cast<std::uint16_t>(x >> 16));
  Put16(v, static_cast<std::uint16_t>(x));
}
constexpr std::uint32_t Tag(const char (&t)[5]) {
  return std::uint32_t(std::uint8_t(t[0])) << 24 | std::uint32_t(std::uint8_t(t[1])) << 16 |
         std::uint32_t(std::uint8_t(t[2])) << 8 | std::uint8_t(t[3]);
}

// Windows code page 1252, 0x80-0x9F.
constexpr std::uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct StandIn {
  int typeface;
  const char* family;
};
constexpr StandIn kStandIns[] = {
    {3, "Nimbus Mono PS"},        {4099, "Nimbus Mono PS"},   {4101, "Liberation Serif"},
    {16901, "Liberation Serif"},  {5, "Liberation Serif"},    {4148, "Liberation Sans"},
    {16602, "Liberation Sans"},   {52, "Liberation Sans"},    {4168, "Liberation Sans"},
    {24579, "Nimbus Mono PS"},    {4197, "Liberation Serif"}, {24580, "Liberation Sans"},
};

// Copies an FT bitmap (8-bit gray or 1-bit) into a glyph image.
bool TakeBitmap(const FT_Bitmap& bitmap, int left, int top, GlyphImage* out) {
  out->left = left;
  out->top = -top;
  out->width = static_cast<int>(bitmap.width);
  out->height = static_cast<int>(bitmap.rows);
  const std::size_t size = std::size_t(bitmap.width) * bitmap.rows;
  if (size > kMaxGlyphImage) return false;
  out->coverage.assign(size, 0);
  for (unsigned y = 0; y < bitmap.rows; ++y) {
    const unsigned char* row = bitmap.buffer + static_cast<std::ptrdiff_t>(y) * bitmap.pitch;
    for (unsigned x = 0; x < bitmap.width; ++x) {
      std::uint8_t v;
      if (bitmap.pixel_mode == FT_PIXEL_MODE_MONO) {
        v = (row[x / 8] >> (7 - x % 8)) & 1 ? 255 : 0;
      } else {
        v = row[x];
      }
      out->coverage[std::size_t(y) * bitmap.width + x] = v;
    }
  }
  return true;
}

// Loads glyph `index` of `face` at `points` and renders it turned by `degrees`.
bool RenderOutline(FT_Face face, FT_UInt index, double points, int dpi, double degrees,
                   GlyphImage* out, double forcedAdvance = -1) {
  if (!(points > 0) || points > kMaxPoints) return false;
  const auto size = static_cast<FT_F26Dot6>(std::lround(points * 64));
  if (FT_Set_Char_Size(face, 0, size, static_cast<FT_UInt>(dpi), static_cast<FT_UInt>(dpi)) != 0) {
    return false;
  }
  if (FT_Load_Glyph(face, index, FT_LOAD_NO_BITMAP) != 0) return false;
  FT_GlyphSlot slot = face->glyph;
  if (slot->format != FT_GLYPH_FORMAT_OUTLINE) return false;
  const double advance = forcedAdvance >= 0 ? forcedAdvance : slot->linearHoriAdvance / 65536.0;
  const double radians = degrees * M_PI / 180.0;
  const double c = std::cos(radians), s = std::sin(radians);
  if (degrees != 0) {
    FT_Matrix m;
    m.xx = static_cast<FT_Fixed>(std::lround(c * 65536));
    m.xy = static_cast<FT_Fixed>(std::lround(-s * 65536));
    m.yx = static_cast<FT_Fixed>(std::lround(s * 65536));
    m.yy = static_cast<FT_Fixed>(std::lround(c * 65536));
    FT_Outline_Transform(&slot->outline, &m);
  }
  if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0) return false;
  if (!TakeBitmap(slot->bitmap, slot->bitmap_left, slot->bitmap_top, out)) return false;
  out->advanceX = advance * c;
  out->advanceY = -advance * s;
  return true;
}

// Turns a glyph image by a multiple of 90 degrees counter-clockwise.
void TurnImage(GlyphImage* g, int quarters) {
  quarters = ((quarters % 4) + 4) % 4;
  for (int q = 0; q < quarters; ++q) {
    GlyphImage t;
    t.width = g->height;
    t.height = g->width;
    t.coverage.assign(g->coverage.size(), 0);
    // A point (x, y) (y down) turned counter-clockwise on the page goes to (y, -x).
    for (int y = 0; y < g->height; ++y) {
      for (int x = 0; x < g->width; ++x) {
        const int nx = y, ny = g->width - 1 - x;
        t.coverage[std::size_t(ny) * t.width + nx] = g->coverage[std::size_t(y) * g->width + x];
      }
    }
    // Pixel (left + x, top + y) goes to (top + y, -(left + x)).
    t.left = g->top;
    t.top = -(g->left + g->width - 1);
    t.advanceX = g->advanceY;
    t.advanceY = -g->advanceX;
    *g = std::move(t);
  }
}

}  // namespace

struct SoftChar {
  bool outline = false;
  std::uint16_t glyph = 0;
  // Bitmap characters.
  int left = 0, top = 0, deltaQuarterDots = 0;
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> bits;
  std::size_t expected = 0;
};

struct SoftFont {
  int format = 0;
  bool outline = false;
  bool bitmapCapable = false;
  // The header's pitch (the default HMI): design units of `scale` per em for
  // outline fonts, quarter dots for bitmap fonts. The space moves by it when
  // the font has no character for it.
  std::uint16_t pitch = 0;
  std::uint16_t scale = 0;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> tables;  // from "GT"
  std::map<std::uint32_t, SoftChar> chars;
  std::map<std::uint16_t, std::vector<std::uint8_t>> glyphs;  // glyph index -> glyf data
  std::vector<std::uint8_t> sfnt;
  FT_Face face = nullptr;
  bool dirty = true;
  bool broken = false;
  ~SoftFont() {
    if (face != nullptr) FT_Done_Face(face);
  }
};

struct Fonts::Impl {
  FT_Library library = nullptr;
  std::map<int, std::unique_ptr<SoftFont>> soft;
  std::map<std::string, FT_Face> resident;  // by fontconfig query
  bool fcReady = false;

  ~Impl() {
    soft.clear();
    for (auto& [name, face] : resident) {
      if (face != nullptr) FT_Done_Face(face);
    }
    if (library != nullptr) FT_Done_FreeType(library);
  }

  static void ReadTables(SoftFont& font, std::span<const std::uint8_t> gt) {
    const std::uint16_t count = Be16(gt, 4);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t entry = 12 + std::size_t(i) * 16;
      if (entry + 16 > gt.size()) break;
      const std::uint32_t tag = Be32(gt, entry);
      const std::uint32_t offset = Be32(gt, entry + 8);
      const std::uint32_t length = Be32(gt, entry + 12);
      if (tag == Tag("gdir") || tag == Tag("glyf") || tag == Tag("loca") || length == 0) continue;
      if (offset > gt.size() || length > gt.size() - offset) continue;
      auto data = gt.subspan(offset, length);
      font.tables.emplace_back(tag, std::vector<std::uint8_t>(data.begin(), data.end()));
    }
  }

  // The sfnt FreeType reads: the header's tables, "head" switched to long
  // offsets, and "loca" and "glyf" from the characters downloaded so far.
  static bool BuildSfnt(SoftFont& font) {
    std::map<std::uint32_t, std::vector<std::uint8_t>> tables;
    for (const auto& [tag, data] : font.tables) tables[tag] = data;
    auto head = tables.find(Tag("head"));
    if (head == tables.end() || head->second.size() < 54) return false;
    if (!tables.contains(Tag("hhea")) || !tables.contains(Tag("hmtx"))) return false;
    head->second[50] = 0;
    head->second[51] = 1;
    std::uint32_t numGlyphs = 0;
    auto maxp = tables.find(Tag("maxp"));
    if (maxp != tables.end() && maxp->second.size() >= 6) {
      numGlyphs = Be16(maxp->second, 4);
    } else {
      numGlyphs = font.glyphs.empty() ? 1 : font.glyphs.rbegin()->first + 1u;
      std::vector<std::uint8_t> made;
      Put32(made, 0x00005000);
      Put16(made, static_cast<std::uint16_t>(numGlyphs));
      tables[Tag("maxp")] = made;
    }
    std::vector<std::uint8_t> glyf, loca;
    for (std::uint32_t g = 0; g < numGlyphs; ++g) {
      Put32(loca, static_cast<std::uint32_t>(glyf.size()));
      auto it = font.glyphs.find(static_cast<std::uint16_t>(g));
      if (it != font.glyphs.end()) {
        glyf.insert(glyf.end(), it->second.begin(), it->second.end());
        while (glyf.size() % 4 != 0) glyf.push_back(0);
      }
    }
    Put32(loca, static_cast<std::uint32_t>(glyf.size()));
    tables[Tag("glyf")] = std::move(glyf);
    tables[Tag("loca")] = std::move(loca);

    std::vector<std::uint8_t>& out = font.sfnt;
    out.clear();
    const auto n = static_cast<std::uint16_t>(tables.size());
    std::uint16_t entrySelector = 0;
    while ((2u << entrySelector) <= n) ++entrySelector;
    const auto searchRange = static_cast<std::uint16_t>(16u << entrySelector);
    Put32(out, 0x00010000);
    Put16(out, n);
    Put16(out, searchRange);
    Put16(out, entrySelector);
    Put16(out, static_cast<std::uint16_t>(n * 16 - searchRange));
    std::size_t offset = 12 + std::size_t(n) * 16;
    for (const auto& [tag, data] : tables) {
      std::uint32_t sum = 0;
      for (std::size_t i = 0; i < data.size(); i += 4) {
        std::uint32_t word = 0;
        for (std::size_t k = 0; k < 4; ++k) word = word << 8 | (i + k < data.size() ? data[i + k] : 0);
        sum += word;
      }
      Put32(out, tag);
      Put32(out, sum);
      Put32(out, static_cast<std::uint32_t>(offset));
      Put32(out, static_cast<std::uint32_t>(data.size()));
      offset += (data.size() + 3) & ~std::size_t{3};
    }
    for (const auto& [tag, data] : tables) {
      out.insert(out.end(), data.begin(), data.end());
      while (out.size() % 4 != 0) out.push_back(0);
    }
    return true;
  }

  FT_Face FaceOf(SoftFont& font) {
    if (!font.dirty) return font.face;
    font.dirty = false;
    if (font.face != nullptr) {
      FT_Done_Face(font.face);
      font.face = nullptr;
    }
    if (library == nullptr || !BuildSfnt(font)) return nullptr;
    if (FT_New_Memory_Face(library, font.sfnt.data(), static_cast<FT_Long>(font.sfnt.size()), 0,
                           &font.face) != 0) {
      font.face = nullptr;
    }
    return font.face;
  }

  FT_Face ResidentFace(const ResidentFont& font) {
    const char* family = StandInFamily(font.typeface);
    const bool bold = font.weight >= 3;
    const bool italic = font.style % 4 != 0;
    const std::string key = std::string(family) + (bold ? ":b" : "") + (italic ? ":i" : "");
    auto found = resident.find(key);
    if (found != resident.end()) return found->second;
    FT_Face face = nullptr;
    if (!fcReady) fcReady = FcInit() != 0;
    if (fcReady && library != nullptr) {
      FcPattern* pattern = FcPatternCreate();
      FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
      FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
      FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
      FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
      FcDefaultSubstitute(pattern);
      FcResult result = FcResultNoMatch;
      FcPattern* match = FcFontMatch(nullptr, pattern, &result);
      FcChar8* file = nullptr;
      int index = 0;
      if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
        FcPatternGetInteger(match, FC_INDEX, 0, &index);
        if (FT_New_Face(library, reinterpret_cast<const char*>(file), index, &face) != 0) face = nullptr;
      }
      if (match != nullptr) FcPatternDestroy(match);
      FcPatternDestroy(pattern);
    }
    resident[key] = face;
    return face;
  }
};

Fonts::Fonts() : impl_(std::make_unique<Impl>()) {
  if (FT_Init_FreeType(&impl_->library) != 0) impl_->library = nullptr;
}
Fonts::~Fonts() = default;

void Fonts::DefineFont(int id, std::span<const std::uint8_t> header) {
  auto font = std::make_unique<SoftFont>();
  if (header.size() < 64) {
    font->broken = true;
    impl_->soft[id] = std::move(font);
    return;
  }
  const std::uint16_t descriptorSize = Be16(header, 0);
  font->format = header[2];
  const std::uint8_t technology = header.size() > 70 ? header[70] : 0;
  font->outline = (font->format == 15 || font->format == 16) && technology == 1;
  font->bitmapCapable = font->format == 0 || font->format == 20 || (font->format == 16 && technology == 254);
  font->pitch = Be16(header, 16);
  if (font->outline) font->scale = Be16(header, 64);
  if (font->outline) {
    const bool longSizes = font->format == 16;
    std::size_t at = std::max<std::size_t>(descriptorSize, 72);
    while (at + (longSizes ? 6 : 4) <= header.size()) {
      const std::uint16_t segment = Be16(header, at);
      const std::uint32_t size = longSizes ? Be32(header, at + 2) : Be16(header, at + 2);
      at += longSizes ? 6 : 4;
      if (segment == 0xFFFF) break;
      if (size > header.size() - at) break;
      if (segment == (('G' << 8) | 'T')) Impl::ReadTables(*font, header.subspan(at, size));
      at += size;
    }
  }
  impl_->soft[id] = std::move(font);
}

void Fonts::DefineCharacter(int id, std::uint32_t code, std::span<const std::uint8_t> data) {
  auto found = impl_->soft.find(id);
  if (found == impl_->soft.end() || data.size() < 2) return;
  SoftFont& font = *found->second;
  const std::uint8_t format = data[0];
  const bool continuation = data[1] != 0;
  if (continuation) {
    auto c = font.chars.find(code);
    if (c == font.chars.end() || c->second.outline) return;
    SoftChar& ch = c->second;
    const std::size_t room = ch.expected - std::min(ch.expected, ch.bits.size());
    const std::size_t take = std::min(room, data.size() - 2);
    ch.bits.insert(ch.bits.end(), data.begin() + 2, data.begin() + 2 + static_cast<std::ptrdiff_t>(take));
    return;
  }
  if (data.size() < 4) return;
  const std::size_t descriptorSize = data[2];
  if (format == 15 && font.outline) {
    // Descriptor: the data size (16 bits); then the glyph index and the glyf
    // data; a reserved byte and a checksum close the data.
    const std::size_t start = 4 + descriptorSize;
    if (descriptorSize < 2 || start + 2 > data.size()) return;
    const std::uint16_t dataSize = Be16(data, 4);
    const std::uint16_t glyph = Be16(data, start);
    std::size_t length = dataSize >= 4 ? dataSize - 4u : 0;
    length = std::min(length, data.size() - (start + 2));
    auto glyf = data.subspan(start + 2, length);
    font.glyphs[glyph] = std::vector<std::uint8_t>(glyf.begin(), glyf.end());
    if (code != 0xFFFF) {
      SoftChar ch;
      ch.outline = true;
      ch.glyph = glyph;
      font.chars[code] = std::move(ch);
    }
    font.dirty = true;
    return;
  }
  if (format == 4 && font.bitmapCapable && data[3] == 1 && data.size() >= 16) {
    SoftChar ch;
    ch.left = Be16s(data, 6);
    ch.top = Be16s(data, 8);
    ch.width = Be16(data, 10);
    ch.height = Be16(data, 12);
    ch.deltaQuarterDots = Be16s(data, 14);
    if (ch.width > kMaxBitmapSide || ch.height > kMaxBitmapSide) return;
    ch.expected = std::size_t((ch.width + 7) / 8) * ch.height;
    if (ch.expected > kMaxBitmapBytes) return;
    const std::size_t start = std::max<std::size_t>(2 + descriptorSize, 16);
    if (start < data.size()) {
      const std::size_t take = std::min(ch.expected, data.size() - start);
      ch.bits.assign(data.begin() + static_cast<std::ptrdiff_t>(start),
                     data.begin() + static_cast<std::ptrdiff_t>(start + take));
    }
    font.chars[code] = std::move(ch);
  }
}

void Fonts::DeleteFont(int id) { impl_->soft.erase(id); }

void Fonts::DeleteCharacter(int id, std::uint32_t code) {
  auto found = impl_->soft.find(id);
  if (found != impl_->soft.end()) found->second->chars.erase(code);
}

void Fonts::DeleteAll() { impl_->soft.clear(); }

bool Fonts::Exists(int id) const { return impl_->soft.contains(id); }

bool Fonts::Scalable(int id) const {
  auto found = impl_->soft.find(id);
  return found != impl_->soft.end() && found->second->outline;
}

std::size_t Fonts::CharacterCount(int id) const {
  auto found = impl_->soft.find(id);
  return found != impl_->soft.end() ? found->second->chars.size() : 0;
}

bool Fonts::SoftGlyph(int id, std::uint32_t code, double points, int dpi, double degrees,
                      GlyphImage* out) {
  *out = GlyphImage{};
  auto found = impl_->soft.find(id);
  if (found == impl_->soft.end()) return false;
  SoftFont& font = *found->second;
  auto c = font.chars.find(code);
  if (font.outline) {
    FT_Face face = impl_->FaceOf(font);
    if (c == font.chars.end() || face == nullptr) {
      if (code == 32 && points > 0 && points <= kMaxPoints) {
        // A space is not downloaded: it moves by the header's pitch (the
        // width of the space in design units), or by a quarter of the em
        // when the header gives none.
        const double em = points * dpi / 72.0;
        const double advance = font.pitch > 0 && font.scale > 0 ? em * font.pitch / font.scale : em / 4;
        const double r = degrees * M_PI / 180.0;
        out->advanceX = advance * std::cos(r);
        out->advanceY = -advance * std::sin(r);
      }
      return false;
    }
    return RenderOutline(face, c->second.glyph, points, dpi, degrees, out);
  }
  if (c == font.chars.end()) {
    // A space without a character (its bitmap is empty) moves by the
    // header's pitch in quarter dots.
    if (code == 32 && font.pitch > 0) {
      out->advanceX = font.pitch / 4.0;
      TurnImage(out, static_cast<int>(std::lround(degrees / 90.0)));
    }
    return false;
  }
  const SoftChar& ch = c->second;
  out->left = ch.left;
  out->top = -ch.top;
  out->width = static_cast<int>(ch.width);
  out->height = static_cast<int>(ch.height);
  out->coverage.assign(std::size_t(ch.width) * ch.height, 0);
  const std::size_t rowBytes = (ch.width + 7) / 8;
  for (std::uint32_t y = 0; y < ch.height; ++y) {
    for (std::uint32_t x = 0; x < ch.width; ++x) {
      const std::size_t at = y * rowBytes + x / 8;
      if (at < ch.bits.size() && (ch.bits[at] >> (7 - x % 8)) & 1) {
        out->coverage[std::size_t(y) * ch.width + x] = 255;
      }
    }
  }
  out->advanceX = ch.deltaQuarterDots / 4.0;
  TurnImage(out, static_cast<int>(std::lround(degrees / 90.0)));
  return true;
}

bool Fonts::ResidentGlyph(const ResidentFont& font, std::uint32_t code, int dpi, double degrees,
                          GlyphImage* out) {
  *out = GlyphImage{};
  FT_Face face = impl_->ResidentFace(font);
  if (face == nullptr) return false;
  const FT_UInt index = FT_Get_Char_Index(face, SymbolSetToUnicode(font.symbolSet, code));
  double points = font.height;
  double forcedAdvance = -1;
  if (font.spacing == 0 && font.pitch > 0) {
    // Fixed spacing: the pitch sets the size; the em follows from the
    // face's own advance.
    const FT_UInt m = FT_Get_Char_Index(face, 'M');
    double ratio = 0.6;
    if (FT_Load_Glyph(face, m, FT_LOAD_NO_SCALE) == 0 && face->units_per_EM != 0 &&
        face->glyph->advance.x > 0) {
      ratio = double(face->glyph->advance.x) / face->units_per_EM;
    }
    points = 72.0 / (font.pitch * ratio);
    forcedAdvance = dpi / font.pitch;
  }
  return RenderOutline(face, index, points, dpi, degrees, out, forcedAdvance);
}

const char* StandInFamily(int typeface) {
  for (const StandIn& s : kStandIns) {
    if (s.typeface == typeface) return s.family;
  }
  return "DejaVu Sans";
}

std::uint32_t SymbolSetToUnicode(int symbolSet, std::uint32_t code) {
  if (code > 255) return code;
  if (symbolSet == 629 && code >= 0x80 && code < 0xA0) return kCp1252High[code - 0x80];
  return code;
}

}  // namespace kvpclrender
