// Realized fonts (FONTOBJ) and strings of glyphs (STROBJ) on the machine's
// fonts: FreeType reads the face, scales and renders its glyphs.
//
// Faces are shared between realizations: one FreeType face per (file, face
// index), kept with the file's bytes while any font object uses it. Every
// FreeType call runs under one lock, since the size and transform are set on
// the shared face before each glyph is loaded.
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H
#include FT_OUTLINE_H
#include FT_SIZES_H
#include FT_TRUETYPE_TABLES_H
#include FT_TRUETYPE_TAGS_H

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/objects_internal.h"
#include "kvplat/engine_fonts.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"

namespace kvplat::engine {
namespace {

using detail::DeleteObject;
using detail::kTag;
using detail::NewObject;

constexpr std::uint32_t kFontMagic = 0x544E4F46;    // "FONT"
constexpr std::uint32_t kStringMagic = 0x474E5453;  // "STNG"
constexpr long kMaxFontFileBytes = 512L << 20;
constexpr double kPi = 3.14159265358979323846;
// Simulated italic slants glyphs by about 12 degrees (tan 12 = 0.2126).
constexpr double kItalicShear = 0.2126;
// Glyphs handed out with their bitmaps per STROBJ_bEnum call.
constexpr ULONG kEnumBatch = 32;

// ---- shared faces

// Character-to-glyph answers of a face, one page of 256 codes at a time.
constexpr std::uint32_t kUnknownGlyph = 0xFFFFFFFF;
constexpr std::int32_t kUnknownAdvance = INT32_MIN;

struct SharedFace {
  std::string path;
  LONG index = 0;
  std::vector<unsigned char> file;
  FT_Face face = nullptr;
  int references = 0;
  ULONG id = 0;
  // Looked up once per face: the glyph of each code used so far and the
  // advance (font units) of each glyph used so far.
  std::unique_ptr<std::uint32_t[]> glyphPages[256];
  std::vector<std::int32_t> advances;
};

// What makes two realizations the same font to a graphics library: the face,
// the transform, the simulations, the character set and the name reported.
// Such realizations share their unique value (iUniq), as the engine's cached
// realizations do, so that a library keeps what it made for the font (a
// printer's soft font) when an application makes the same font again.
struct RealizationKey {
  std::string path;
  LONG index = 0;
  double m11 = 0, m12 = 0, m21 = 0, m22 = 0;
  FLONG type = 0;
  BYTE charSet = 0;
  std::u16string faceName;
  LONG dpiX = 0, dpiY = 0;
  auto operator<=>(const RealizationKey&) const = default;
};
// Realizations remembered before the table starts again (a font made after
// that is new to the libraries, which only costs them a second download).
constexpr std::size_t kRememberedRealizations = 4096;

struct FontState {
  std::mutex lock;
  FT_Library library = nullptr;
  bool initialized = false;
  std::map<std::pair<std::string, LONG>, SharedFace*> faces;
  ULONG nextFaceId = 1;
  std::map<RealizationKey, ULONG> realizations;
};

FontState& State() {
  static FontState state;
  return state;
}

std::atomic<ULONG> gNextUniq{1};

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>* bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bool ok = std::fseek(file, 0, SEEK_END) == 0;
  long size = ok ? std::ftell(file) : -1;
  ok = ok && size > 0 && size <= kMaxFontFileBytes && std::fseek(file, 0, SEEK_SET) == 0;
  if (ok) {
    bytes->resize(static_cast<std::size_t>(size));
    ok = std::fread(bytes->data(), 1, bytes->size(), file) == bytes->size();
  }
  std::fclose(file);
  return ok;
}

// Called with the lock held.
SharedFace* AcquireFace(FontState& s, const std::string& path, LONG index) {
  if (!s.initialized) {
    s.initialized = true;
    if (FT_Init_FreeType(&s.library) != 0) s.library = nullptr;
  }
  if (s.library == nullptr) return nullptr;
  auto found = s.faces.find({path, index});
  if (found != s.faces.end()) {
    ++found->second->references;
    return found->second;
  }
  auto* shared = new (std::nothrow) SharedFace;
  if (shared == nullptr) return nullptr;
  shared->path = path;
  shared->index = index;
  if (!ReadWholeFile(path, &shared->file) ||
      FT_New_Memory_Face(s.library, shared->file.data(),
                         static_cast<FT_Long>(shared->file.size()), index, &shared->face) != 0) {
    delete shared;
    return nullptr;
  }
  if (!FT_IS_SCALABLE(shared->face)) {
    FT_Done_Face(shared->face);
    delete shared;
    return nullptr;
  }
  // FreeType makes only a Unicode character map current: a symbol font
  // (Wingdings, Symbol) would map nothing. Its own map serves instead.
  if (shared->face->charmap == nullptr && shared->face->num_charmaps > 0 &&
      FT_Select_Charmap(shared->face, FT_ENCODING_MS_SYMBOL) != 0) {
    FT_Set_Charmap(shared->face, shared->face->charmaps[0]);
  }
  shared->references = 1;
  shared->id = s.nextFaceId++;
  s.faces.emplace(std::make_pair(path, index), shared);
  return shared;
}

void ReleaseFace(FontState& s, SharedFace* shared) {
  if (shared == nullptr || --shared->references > 0) return;
  s.faces.erase({shared->path, shared->index});
  FT_Done_Face(shared->face);
  delete shared;
}

// ---- font objects

struct FontObject {
  FONTOBJ object{};
  std::uint32_t magic = kFontMagic;
  SharedFace* shared = nullptr;
  FT_Size size = nullptr;
  // Notional (font units, y down) to device pixels, row vectors.
  double m11 = 1, m12 = 0, m21 = 0, m22 = 1;
  // What glyphs are rendered with: the transform with the italic slant.
  double r11 = 1, r12 = 0, r21 = 0, r22 = 1;
  double emPixels = 0;       // size set on the face
  double boldPixels = 0;     // extra advance of simulated bold along the baseline
  double baseX = 1, baseY = 0;  // unit vector along the baseline, device
  LONG escapement = 0;       // tenths of a degree, 0..3599
  bool axis = true;          // the baseline runs along an axis of the page (escapement % 900 == 0)
  double advanceScale = 1;   // device pixels per font unit along the baseline
  bool fixedPitch = false;
  double ascentUnits = 0, descentUnits = 0;  // cell, font units
  XFORMOBJ* xform = nullptr;
  IFIMETRICS* ifi = nullptr;
  GLYPHDATA glyph{};
  GLYPHBITS* bits = nullptr;
  std::size_t bitsCapacity = 0;
  PATHOBJ* path = nullptr;
  // Glyph images rendered so far, kept for the life of the realization so
  // that a page of text renders each glyph once: index by glyph handle,
  // data in chunks that never move.
  std::vector<GLYPHDATA*> cached;
  std::vector<std::unique_ptr<unsigned char[]>> chunks;
  std::size_t chunkUsed = 0;
  std::size_t cachedBytes = 0;
  GLYPHBITS* keepScratch = nullptr;  // where a glyph to keep is rendered first
  std::size_t keepScratchCapacity = 0;
};

constexpr std::size_t kGlyphChunkBytes = 64 * 1024;
// Glyph images larger than this, or beyond this total per font, are
// rendered each time instead of kept.
constexpr std::size_t kMaxCachedGlyphBytes = 32 * 1024;
constexpr std::size_t kMaxCachedFontBytes = 16u << 20;

FontObject* AsFont(FONTOBJ* object) {
  auto* f = reinterpret_cast<FontObject*>(object);
  return f != nullptr && f->magic == kFontMagic ? f : nullptr;
}

std::size_t FaceNameLength(const WCHAR* name) {
  std::size_t n = 0;
  while (n < static_cast<std::size_t>(LF_FACESIZE) && name[n] != 0) ++n;
  return n;
}

bool IsPlainStyle(std::u16string_view style) {
  return style.empty() || style == u"Regular" || style == u"Normal" || style == u"Book" ||
         style == u"Roman";
}

FWORD ClampFword(long v) {
  return static_cast<FWORD>(std::clamp<long>(v, -32768, 32767));
}

// Character sets by the OS/2 code page bit that says a face covers them, and
// a character of the set to look for when a face does not say.
struct CharSetCoverage {
  BYTE charSet;
  int codePageBit;
  char16_t sample;
};
constexpr CharSetCoverage kCharSetCoverage[] = {
    {0, 0, u'\u00E9'},     {238, 1, u'\u0151'},   {204, 2, u'\u0416'},   {161, 3, u'\u03A9'},
    {162, 4, u'\u011F'},   {177, 5, u'\u05D0'},   {178, 6, u'\u0627'},   {186, 7, u'\u0101'},
    {163, 8, u'\u01B0'},   {222, 16, u'\u0E01'},  {128, 17, u'\u3042'},  {134, 18, u'\u4E2D'},
    {129, 19, u'\uAC00'},  {136, 20, u'\u4E2D'},  {130, 21, u'\uAC00'},  {2, 31, u'\uF020'},
};

bool CoversCharSet(FT_Face face, const TT_OS2* os2, BYTE charSet) {
  for (const CharSetCoverage& c : kCharSetCoverage) {
    if (c.charSet != charSet) continue;
    if (os2 != nullptr && os2->version != 0xFFFF && os2->version >= 1 &&
        (os2->ulCodePageRange1 | os2->ulCodePageRange2) != 0) {
      return (os2->ulCodePageRange1 >> c.codePageBit) & 1;
    }
    return FT_Get_Char_Index(face, c.sample) != 0;
  }
  return false;  // OEM and unknown sets realize ANSI
}

bool IsDoubleByteSet(BYTE charSet) {
  return charSet == 128 || charSet == 129 || charSet == 130 || charSet == 134 || charSet == 136;
}

// The face's metrics block with its names after it.
IFIMETRICS* BuildMetrics(FT_Face face, const ResolvedFace& resolved, std::u16string_view requested,
                         const LOGFONTW& font, bool fixedPitch, bool trueType) {
  std::u16string realFamily =
      face->family_name != nullptr ? ToUtf16(face->family_name) : resolved.family;
  std::u16string style = face->style_name != nullptr ? ToUtf16(face->style_name) : u"Regular";
  // A stand-in carries the name asked for ("Arial" on Liberation Sans); the
  // face's own name otherwise, including for the same name in other capitals.
  bool sameName = requested.size() == realFamily.size();
  for (std::size_t i = 0; sameName && i < requested.size(); ++i) {
    char16_t a = requested[i], b = realFamily[i];
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a + 32);
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b + 32);
    sameName = a == b;
  }
  std::u16string family =
      resolved.standsFor && !requested.empty() && !sameName ? std::u16string(requested) : realFamily;
  std::u16string faceName = IsPlainStyle(style) ? family : family + u" " + style;
  std::u16string unique = realFamily + u" " + style;

  std::size_t strings = (family.size() + style.size() + faceName.size() + unique.size() + 4) * 2;
  std::size_t total = (sizeof(IFIMETRICS) + strings + 3) & ~std::size_t{3};
  auto* ifi = static_cast<IFIMETRICS*>(EngAllocMem(FL_ZERO_MEMORY, static_cast<ULONG>(total), kTag));
  if (ifi == nullptr) return nullptr;
  auto* base = reinterpret_cast<unsigned char*>(ifi);
  std::size_t at = sizeof(IFIMETRICS);
  auto put = [&](const std::u16string& s) {
    PTRDIFF offset = static_cast<PTRDIFF>(at);
    std::memcpy(base + at, s.data(), s.size() * 2);
    at += (s.size() + 1) * 2;  // zero terminator from the zeroed block
    return offset;
  };
  ifi->cjThis = static_cast<ULONG>(total);
  ifi->dpwszFamilyName = put(family);
  ifi->dpwszStyleName = put(style);
  ifi->dpwszFaceName = put(faceName);
  ifi->dpwszUniqueName = put(unique);

  auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  auto* hhea = static_cast<TT_HoriHeader*>(FT_Get_Sfnt_Table(face, FT_SFNT_HHEA));
  auto* post = static_cast<TT_Postscript*>(FT_Get_Sfnt_Table(face, FT_SFNT_POST));
  auto* head = static_cast<TT_Header*>(FT_Get_Sfnt_Table(face, FT_SFNT_HEAD));
  long upem = face->units_per_EM;

  ifi->lItalicAngle = post != nullptr ? static_cast<LONG>(std::lround(post->italicAngle / 6553.6)) : 0;
  // The character set asked for when the face covers it; ANSI otherwise
  // (DEFAULT_CHARSET realizes ANSI too). Symbol faces are symbol sets.
  BYTE charSet = font.lfCharSet != 1 && CoversCharSet(face, os2, font.lfCharSet) ? font.lfCharSet : 0;
  for (int i = 0; i < face->num_charmaps; ++i) {
    if (face->charmaps[i]->encoding == FT_ENCODING_MS_SYMBOL) charSet = 2;
  }
  ifi->jWinCharSet = charSet;
  BYTE familyBits = 0x00;  // FF_DONTCARE
  if (os2 != nullptr && os2->version != 0xFFFF) {
    BYTE kind = os2->panose[0], serif = os2->panose[1];
    if (kind == 2) familyBits = serif >= 11 && serif <= 13 ? 0x20 : 0x10;  // swiss / roman
    if (kind == 3) familyBits = 0x40;                                       // script
    if (kind == 4 || kind == 5) familyBits = 0x50;                          // decorative
  }
  if (fixedPitch) familyBits = 0x30;  // modern
  ifi->jWinPitchAndFamily = static_cast<BYTE>(familyBits | (fixedPitch ? 1 : 2));
  ifi->flInfo = (trueType ? FM_INFO_TECH_TRUETYPE : FM_INFO_TECH_OUTLINE_NOT_TRUETYPE) |
                FM_INFO_ARB_XFORMS | FM_INFO_1BPP | FM_INFO_NOT_CONTIGUOUS |
                FM_INFO_RETURNS_OUTLINES | FM_INFO_RETURNS_BITMAPS | FM_INFO_RIGHT_HANDED |
                (fixedPitch ? FM_INFO_CONSTANT_WIDTH | FM_INFO_OPTICALLY_FIXED_PITCH : 0);
  ifi->fwdUnitsPerEm = ClampFword(upem);
  ifi->fwdLowestPPEm = head != nullptr ? ClampFword(head->Lowest_Rec_PPEM) : 0;
  if (hhea != nullptr) {
    ifi->fwdMacAscender = hhea->Ascender;
    ifi->fwdMacDescender = hhea->Descender;
    ifi->fwdMacLineGap = hhea->Line_Gap;
    ifi->fwdMaxCharInc = ClampFword(hhea->advance_Width_Max);
    ifi->ptlCaret = POINTL{hhea->caret_Slope_Run, hhea->caret_Slope_Rise};
  } else {
    ifi->fwdMacAscender = face->ascender;
    ifi->fwdMacDescender = face->descender;
    ifi->fwdMaxCharInc = ClampFword(face->max_advance_width);
    ifi->ptlCaret = POINTL{0, 1};
  }
  if (ifi->ptlCaret.x == 0 && ifi->ptlCaret.y == 0) ifi->ptlCaret = POINTL{0, 1};
  if (os2 != nullptr && os2->version != 0xFFFF) {
    ifi->usWinWeight = os2->usWeightClass;
    ifi->fsSelection = static_cast<USHORT>(os2->fsSelection & (FM_SEL_ITALIC | FM_SEL_UNDERSCORE |
                                                               FM_SEL_NEGATIVE | FM_SEL_OUTLINED |
                                                               FM_SEL_STRIKEOUT | FM_SEL_BOLD |
                                                               FM_SEL_REGULAR));
    ifi->fsType = os2->fsType;
    ifi->fwdWinAscender = ClampFword(os2->usWinAscent);
    ifi->fwdWinDescender = ClampFword(os2->usWinDescent);
    ifi->fwdTypoAscender = os2->sTypoAscender;
    ifi->fwdTypoDescender = os2->sTypoDescender;
    ifi->fwdTypoLineGap = os2->sTypoLineGap;
    ifi->fwdAveCharWidth = os2->xAvgCharWidth;
    ifi->fwdSubscriptXSize = os2->ySubscriptXSize;
    ifi->fwdSubscriptYSize = os2->ySubscriptYSize;
    ifi->fwdSubscriptXOffset = os2->ySubscriptXOffset;
    ifi->fwdSubscriptYOffset = os2->ySubscriptYOffset;
    ifi->fwdSuperscriptXSize = os2->ySuperscriptXSize;
    ifi->fwdSuperscriptYSize = os2->ySuperscriptYSize;
    ifi->fwdSuperscriptXOffset = os2->ySuperscriptXOffset;
    ifi->fwdSuperscriptYOffset = os2->ySuperscriptYOffset;
    ifi->fwdStrikeoutSize = os2->yStrikeoutSize;
    ifi->fwdStrikeoutPosition = os2->yStrikeoutPosition;
    if (os2->version >= 2) {
      ifi->fwdCapHeight = os2->sCapHeight;
      ifi->fwdXHeight = os2->sxHeight;
    }
    ifi->wcFirstChar = os2->usFirstCharIndex;
    ifi->wcLastChar = os2->usLastCharIndex;
    ifi->wcDefaultChar = os2->version >= 2 && os2->usDefaultChar != 0 ? os2->usDefaultChar : 0x20;
    ifi->wcBreakChar = os2->version >= 2 && os2->usBreakChar != 0 ? os2->usBreakChar : 0x20;
    std::memcpy(ifi->achVendId, os2->achVendID, 4);
    std::memcpy(&ifi->panose, os2->panose, sizeof(PANOSE));
  } else {
    ifi->usWinWeight = (face->style_flags & FT_STYLE_FLAG_BOLD) ? 700 : 400;
    ifi->fsSelection = static_cast<USHORT>(
        ((face->style_flags & FT_STYLE_FLAG_ITALIC) ? FM_SEL_ITALIC : 0) |
        ((face->style_flags & FT_STYLE_FLAG_BOLD) ? FM_SEL_BOLD : 0));
    if (ifi->fsSelection == 0) ifi->fsSelection = FM_SEL_REGULAR;
    ifi->fwdWinAscender = face->ascender;
    ifi->fwdWinDescender = ClampFword(-face->descender);
    ifi->fwdTypoAscender = face->ascender;
    ifi->fwdTypoDescender = face->descender;
    ifi->fwdAveCharWidth = ClampFword(face->max_advance_width / 2);
    ifi->fwdStrikeoutSize = ClampFword(upem / 20);
    ifi->fwdStrikeoutPosition = ClampFword(upem / 4);
    ifi->wcFirstChar = 0x20;
    ifi->wcLastChar = 0xFFFF;
    ifi->wcDefaultChar = 0x20;
    ifi->wcBreakChar = 0x20;
  }
  if (ifi->fwdCapHeight == 0) ifi->fwdCapHeight = ClampFword(upem * 7 / 10);
  if (ifi->fwdXHeight == 0) ifi->fwdXHeight = ClampFword(upem / 2);
  ifi->fwdUnderscoreSize = ClampFword(face->underline_thickness);
  ifi->fwdUnderscorePosition = ClampFword(face->underline_position);
  ifi->chFirstChar = static_cast<BYTE>(std::min<unsigned>(ifi->wcFirstChar, 0xFF));
  ifi->chLastChar = static_cast<BYTE>(std::min<unsigned>(ifi->wcLastChar, 0xFF));
  ifi->chDefaultChar = static_cast<BYTE>(std::min<unsigned>(ifi->wcDefaultChar, 0xFF));
  ifi->chBreakChar = static_cast<BYTE>(std::min<unsigned>(ifi->wcBreakChar, 0xFF));
  ifi->ptlBaseline = POINTL{1, 0};
  ifi->ptlAspect = POINTL{1, 1};
  ifi->rclFontBox = RECTL{static_cast<LONG>(face->bbox.xMin), static_cast<LONG>(face->bbox.yMax),
                          static_cast<LONG>(face->bbox.xMax), static_cast<LONG>(face->bbox.yMin)};
  return ifi;
}

void FreeFont(FontState& s, FontObject* f) {
  if (f == nullptr) return;
  f->magic = 0;
  DeleteXform(f->xform);
  EngFreeMem(f->ifi);
  EngFreeMem(f->bits);
  EngFreeMem(f->keepScratch);
  if (f->path != nullptr) EngDeletePath(f->path);
  if (f->size != nullptr) FT_Done_Size(f->size);
  ReleaseFace(s, f->shared);
  DeleteObject(f);
}

// Sets the font's size and rendering transform on its face. Lock held.
bool PrepareFace(FontObject* f) {
  FT_Face face = f->shared->face;
  if (FT_Activate_Size(f->size) != 0) return false;
  double k = f->emPixels / face->units_per_EM;
  auto fixed = [k](double v) { return static_cast<FT_Fixed>(std::lround(v / k * 65536.0)); };
  FT_Matrix matrix{fixed(f->r11), fixed(-f->r21), fixed(-f->r12), fixed(f->r22)};
  FT_Set_Transform(face, &matrix, nullptr);
  return true;
}

// The advance of a glyph along the baseline, device pixels. Lock held.
double AdvanceOf(FontObject* f, FT_UInt glyph) {
  SharedFace* shared = f->shared;
  FT_Face face = shared->face;
  if (glyph >= static_cast<FT_UInt>(face->num_glyphs)) return 0;
  if (shared->advances.empty()) shared->advances.assign(face->num_glyphs, kUnknownAdvance);
  std::int32_t& known = shared->advances[glyph];
  if (known == kUnknownAdvance) {
    FT_Fixed units = 0;
    if (FT_Get_Advance(face, glyph, FT_LOAD_NO_SCALE, &units) != 0) units = 0;
    known = static_cast<std::int32_t>(std::clamp<FT_Fixed>(units, -65535, 65535));
  }
  double length = std::fabs(static_cast<double>(known)) * f->advanceScale;
  if (f->fixedPitch) length = std::round(length);
  return length + (known != 0 ? f->boldPixels : 0);
}

// Loads glyph `hg` as a transformed outline, emboldened when bold is
// simulated. Lock held.
bool LoadOutline(FontObject* f, HGLYPH hg) {
  FT_Face face = f->shared->face;
  if (hg >= static_cast<HGLYPH>(face->num_glyphs) || !PrepareFace(f)) return false;
  if (FT_Load_Glyph(face, hg, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) != 0) return false;
  FT_GlyphSlot slot = face->glyph;
  if (slot->format != FT_GLYPH_FORMAT_OUTLINE) return false;
  if ((f->object.flFontType & FO_SIM_BOLD) && slot->outline.n_points > 0) {
    auto strength = static_cast<FT_Pos>(std::lround(f->boldPixels * 64));
    FT_Outline_EmboldenXY(&slot->outline, strength, strength);
  }
  return true;
}

// Glyph metrics from the loaded outline. Lock held.
void FillGlyphData(FontObject* f, HGLYPH hg, GLYPHDATA* data) {
  FT_GlyphSlot slot = f->shared->face->glyph;
  double advance = AdvanceOf(f, hg);
  data->hg = hg;
  data->fxD = static_cast<FIX>(std::lround(advance * 16));
  auto q = [](double v) { return static_cast<LONGLONG>(std::llround(v * 4294967296.0)); };
  data->ptqD = POINTQF{q(advance * f->baseX), q(advance * f->baseY)};
  FT_BBox box{};
  FT_Outline_Get_CBox(&slot->outline, &box);
  if (slot->outline.n_points == 0) {
    data->fxA = data->fxAB = data->fxInkTop = data->fxInkBottom = 0;
    data->rclInk = RECTL{0, 0, 0, 0};
    return;
  }
  // Project the ink box (26.6, y up) on the baseline and on the side (up).
  double bx = f->baseX, by = -f->baseY;  // baseline direction with y up
  double sx = -by, sy = bx;
  double lo = 1e300, hi = -1e300, bottom = 1e300, top = -1e300;
  for (FT_Pos x : {box.xMin, box.xMax}) {
    for (FT_Pos y : {box.yMin, box.yMax}) {
      double px = x / 64.0, py = y / 64.0;
      lo = std::min(lo, px * bx + py * by);
      hi = std::max(hi, px * bx + py * by);
      bottom = std::min(bottom, px * sx + py * sy);
      top = std::max(top, px * sx + py * sy);
    }
  }
  data->fxA = static_cast<FIX>(std::lround(lo * 16));
  data->fxAB = static_cast<FIX>(std::lround(hi * 16));
  data->fxInkTop = static_cast<FIX>(std::lround(top * 16));
  data->fxInkBottom = static_cast<FIX>(std::lround(bottom * 16));
  data->rclInk = RECTL{static_cast<LONG>(std::floor(box.xMin / 64.0)),
                       static_cast<LONG>(-std::ceil(box.yMax / 64.0)),
                       static_cast<LONG>(std::ceil(box.xMax / 64.0)),
                       static_cast<LONG>(-std::floor(box.yMin / 64.0))};
}

// Renders the loaded outline into `*bits` (grown as needed, engine memory).
// Lock held.
GLYPHBITS* RenderBits(FT_GlyphSlot slot, GLYPHBITS** bits, std::size_t* capacity) {
  if (slot->outline.n_points == 0) {
    // A blank glyph (a space): an empty bitmap at the origin.
    if (*bits == nullptr || *capacity < sizeof(GLYPHBITS)) {
      auto* block = static_cast<GLYPHBITS*>(EngAllocMem(FL_ZERO_MEMORY, sizeof(GLYPHBITS), kTag));
      if (block == nullptr) return nullptr;
      EngFreeMem(*bits);
      *bits = block;
      *capacity = sizeof(GLYPHBITS);
    }
    (*bits)->ptlOrigin = POINTL{0, 0};
    (*bits)->sizlBitmap = SIZEL{0, 0};
    return *bits;
  }
  if (FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) != 0) return nullptr;
  const FT_Bitmap& bitmap = slot->bitmap;
  std::size_t stride = (bitmap.width + 7) / 8;
  std::size_t image = stride * bitmap.rows;
  if (image > (std::size_t{1} << 30)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::size_t needed = std::max<std::size_t>(sizeof(GLYPHBITS), (offsetof(GLYPHBITS, aj) + image + 3) & ~std::size_t{3});
  if (*bits == nullptr || *capacity < needed) {
    auto* block = static_cast<GLYPHBITS*>(EngAllocMem(0, static_cast<ULONG>(needed), kTag));
    if (block == nullptr) return nullptr;
    EngFreeMem(*bits);
    *bits = block;
    *capacity = needed;
  }
  GLYPHBITS* out = *bits;
  out->ptlOrigin = POINTL{slot->bitmap_left, -slot->bitmap_top};
  out->sizlBitmap = SIZEL{static_cast<LONG>(bitmap.width), static_cast<LONG>(bitmap.rows)};
  for (unsigned row = 0; row < bitmap.rows; ++row) {
    const unsigned char* from =
        bitmap.pitch >= 0 ? bitmap.buffer + static_cast<std::size_t>(row) * bitmap.pitch
                          : bitmap.buffer + static_cast<std::size_t>(bitmap.rows - 1 - row) *
                                                static_cast<std::size_t>(-bitmap.pitch);
    std::memcpy(out->aj + row * stride, from, stride);
  }
  return out;
}

// ---- glyph images kept per realization

// Room for `bytes` in the font's glyph chunks; null when the font keeps
// enough already or memory runs out. Lock held.
unsigned char* KeepBytes(FontObject* f, std::size_t bytes) {
  bytes = (bytes + 7) & ~std::size_t{7};
  if (bytes > kGlyphChunkBytes || f->cachedBytes + bytes > kMaxCachedFontBytes) return nullptr;
  if (f->chunks.empty() || f->chunkUsed + bytes > kGlyphChunkBytes) {
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kGlyphChunkBytes]);
    if (chunk == nullptr) return nullptr;
    f->chunks.push_back(std::move(chunk));
    f->chunkUsed = 0;
  }
  unsigned char* at = f->chunks.back().get() + f->chunkUsed;
  f->chunkUsed += bytes;
  f->cachedBytes += bytes;
  return at;
}

// The glyph's data with its image, rendered once and kept for the life of
// the realization. Null when the glyph cannot be had or its image is too
// large to keep; in that case *rendered (when given) receives the image just
// rendered, in the font's scratch until its next glyph. Lock held.
const GLYPHDATA* KeptGlyph(FontObject* f, HGLYPH hg, GLYPHDATA* rendered = nullptr) {
  FT_Face face = f->shared->face;
  if (hg >= static_cast<HGLYPH>(face->num_glyphs)) return nullptr;
  if (f->cached.empty()) f->cached.assign(static_cast<std::size_t>(face->num_glyphs), nullptr);
  if (f->cached[hg] != nullptr) return f->cached[hg];
  if (!LoadOutline(f, hg)) return nullptr;
  GLYPHDATA data{};
  FillGlyphData(f, hg, &data);
  GLYPHBITS* bits = RenderBits(face->glyph, &f->keepScratch, &f->keepScratchCapacity);
  if (bits == nullptr) return nullptr;
  std::size_t stride = (static_cast<std::size_t>(bits->sizlBitmap.cx) + 7) / 8;
  std::size_t image = offsetof(GLYPHBITS, aj) + stride * static_cast<std::size_t>(bits->sizlBitmap.cy);
  const auto notKept = [&] {
    if (rendered != nullptr) {
      *rendered = data;
      rendered->gdf.pgb = bits;
    }
    return nullptr;
  };
  if (image > kMaxCachedGlyphBytes) return notKept();
  std::size_t bitsBytes = (std::max(image, sizeof(GLYPHBITS)) + 7) & ~std::size_t{7};
  unsigned char* block = KeepBytes(f, sizeof(GLYPHDATA) + bitsBytes);
  if (block == nullptr) return notKept();
  auto* kept = reinterpret_cast<GLYPHDATA*>(block);
  auto* keptBits = reinterpret_cast<GLYPHBITS*>(block + sizeof(GLYPHDATA));
  std::memset(keptBits, 0, bitsBytes);
  std::memcpy(keptBits, bits, image);
  *kept = data;
  kept->gdf.pgb = keptBits;
  f->cached[hg] = kept;
  return kept;
}

// ---- outlines as paths

struct OutlineSink {
  PATHOBJ* path;
  bool open = false;
  bool ok = true;
  FT_Vector last{};
};

POINTFIX ToFixPoint(double x, double y) {
  // 26.6 with y up to 28.4 with y down.
  return POINTFIX{static_cast<FIX>(std::lround(x / 4.0)), static_cast<FIX>(std::lround(-y / 4.0))};
}

int SinkMove(const FT_Vector* to, void* user) {
  auto* sink = static_cast<OutlineSink*>(user);
  if (sink->open) sink->ok = sink->ok && PATHOBJ_bCloseFigure(sink->path);
  sink->ok = sink->ok && PATHOBJ_bMoveTo(sink->path, ToFixPoint(to->x, to->y));
  sink->open = true;
  sink->last = *to;
  return sink->ok ? 0 : 1;
}
int SinkLine(const FT_Vector* to, void* user) {
  auto* sink = static_cast<OutlineSink*>(user);
  POINTFIX p = ToFixPoint(to->x, to->y);
  sink->ok = sink->ok && PATHOBJ_bPolyLineTo(sink->path, &p, 1);
  sink->last = *to;
  return sink->ok ? 0 : 1;
}
int SinkConic(const FT_Vector* control, const FT_Vector* to, void* user) {
  auto* sink = static_cast<OutlineSink*>(user);
  // A quadratic curve is the cubic with its control point 2/3 of the way.
  double x0 = sink->last.x, y0 = sink->last.y;
  double cx = control->x, cy = control->y;
  POINTFIX p[3] = {ToFixPoint(x0 + (cx - x0) * 2 / 3, y0 + (cy - y0) * 2 / 3),
                   ToFixPoint(to->x + (cx - to->x) * 2 / 3, to->y + (cy - to->y) * 2 / 3),
                   ToFixPoint(to->x, to->y)};
  sink->ok = sink->ok && PATHOBJ_bPolyBezierTo(sink->path, p, 3);
  sink->last = *to;
  return sink->ok ? 0 : 1;
}
int SinkCubic(const FT_Vector* c1, const FT_Vector* c2, const FT_Vector* to, void* user) {
  auto* sink = static_cast<OutlineSink*>(user);
  POINTFIX p[3] = {ToFixPoint(c1->x, c1->y), ToFixPoint(c2->x, c2->y), ToFixPoint(to->x, to->y)};
  sink->ok = sink->ok && PATHOBJ_bPolyBezierTo(sink->path, p, 3);
  sink->last = *to;
  return sink->ok ? 0 : 1;
}

PATHOBJ* OutlineToPath(FT_Outline* outline) {
  PATHOBJ* path = EngCreatePath();
  if (path == nullptr) return nullptr;
  OutlineSink sink{path};
  FT_Outline_Funcs funcs{SinkMove, SinkLine, SinkConic, SinkCubic, 0, 0};
  bool ok = FT_Outline_Decompose(outline, &funcs, &sink) == 0 && sink.ok;
  if (ok && sink.open) ok = PATHOBJ_bCloseFigure(path);
  if (!ok) {
    EngDeletePath(path);
    return nullptr;
  }
  return path;
}

// ---- strings

struct StringObject {
  STROBJ object{};
  std::uint32_t magic = kStringMagic;
  FontObject* font = nullptr;
  GLYPHPOS* positions = nullptr;  // engine memory, with the defs and the text after it
  GLYPHDEF* defs = nullptr;
  ULONG cursor = 0;
  ULONG batchFirst = 0, batchCount = 0;  // the batch last handed out
  // Glyph bitmaps of the batch being enumerated, back to back, and the
  // image being rendered (kept apart from the font's own answer buffer).
  unsigned char* batch = nullptr;
  std::size_t batchCapacity = 0;
  GLYPHBITS* scratch = nullptr;
  std::size_t scratchCapacity = 0;
};

StringObject* AsString(STROBJ* object) {
  auto* s = reinterpret_cast<StringObject*>(object);
  return s != nullptr && s->magic == kStringMagic ? s : nullptr;
}

FT_UInt LookUpGlyph(FT_Face face, WCHAR unit) {
  FT_UInt glyph = FT_Get_Char_Index(face, unit);
  if (glyph == 0 && face->charmap != nullptr &&
      face->charmap->encoding == FT_ENCODING_MS_SYMBOL && unit < 0x100) {
    glyph = FT_Get_Char_Index(face, 0xF000u | unit);
  }
  return glyph;
}

// The glyph of a code (or a glyph index passed through); answers are kept
// per face. Lock held.
FT_UInt GlyphFor(SharedFace* shared, WCHAR unit, bool glyphIndices) {
  FT_Face face = shared->face;
  if (glyphIndices) return unit < face->num_glyphs ? unit : 0;
  std::unique_ptr<std::uint32_t[]>& page = shared->glyphPages[unit >> 8];
  if (page == nullptr) {
    page.reset(new (std::nothrow) std::uint32_t[256]);
    if (page == nullptr) return LookUpGlyph(face, unit);
    std::fill(page.get(), page.get() + 256, kUnknownGlyph);
  }
  std::uint32_t& known = page[unit & 0xFF];
  if (known == kUnknownGlyph) known = LookUpGlyph(face, unit);
  return known;
}

}  // namespace

// ---- host side ----------------------------------------------------------------------------

FONTOBJ* CreateFontObject(const LOGFONTW& font, SIZEL dpi, const FLOATOBJ_XFORM& mapping) {
  double mapX = std::hypot(mapping.eM11, mapping.eM12);
  double mapY = std::hypot(mapping.eM21, mapping.eM22);
  if (dpi.cx <= 0 || dpi.cy <= 0 || !(mapX > 0) || !(mapY > 0) || !std::isfinite(mapX) ||
      !std::isfinite(mapY)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::u16string_view requested(font.lfFaceName, FaceNameLength(font.lfFaceName));
  LONG weight = font.lfWeight <= 0 ? 400 : std::min<LONG>(font.lfWeight, 1000);
  ResolvedFace resolved;
  if (!ResolveFace(requested, weight, font.lfItalic != 0, &resolved)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return CreateFontObjectForFace(font, resolved, dpi, mapping);
}

FONTOBJ* CreateFontObjectForFace(const LOGFONTW& font, const ResolvedFace& resolved, SIZEL dpi,
                                 const FLOATOBJ_XFORM& mapping) {
  double mapX = std::hypot(mapping.eM11, mapping.eM12);
  double mapY = std::hypot(mapping.eM21, mapping.eM22);
  if (dpi.cx <= 0 || dpi.cy <= 0 || !(mapX > 0) || !(mapY > 0) || !std::isfinite(mapX) ||
      !std::isfinite(mapY) || resolved.index < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::u16string_view requested(font.lfFaceName, FaceNameLength(font.lfFaceName));
  LONG weight = font.lfWeight <= 0 ? 400 : std::min<LONG>(font.lfWeight, 1000);
  bool italic = font.lfItalic != 0;

  FontState& s = State();
  std::lock_guard guard(s.lock);
  FontObject* f = NewObject<FontObject>();
  if (f == nullptr) return nullptr;
  f->shared = AcquireFace(s, resolved.path, resolved.index);
  if (f->shared == nullptr || FT_New_Size(f->shared->face, &f->size) != 0) {
    FreeFont(s, f);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  FT_Face face = f->shared->face;
  double upem = face->units_per_EM > 0 ? face->units_per_EM : 2048;
  auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  bool hasOs2 = os2 != nullptr && os2->version != 0xFFFF;
  f->ascentUnits = hasOs2 && os2->usWinAscent != 0 ? os2->usWinAscent : face->ascender;
  f->descentUnits = hasOs2 && os2->usWinDescent != 0 ? os2->usWinDescent : -face->descender;
  if (f->ascentUnits + f->descentUnits <= 0) f->ascentUnits = upem, f->descentUnits = 0;
  f->fixedPitch = FT_IS_FIXED_WIDTH(face) || (hasOs2 && os2->panose[0] == 2 && os2->panose[3] == 9);

  // Em height in device pixels: negative heights are the em, positive the cell.
  double em;
  if (font.lfHeight == 0) {
    em = kDefaultPointSize * dpi.cy / 72.0;
  } else {
    double h = std::fabs(static_cast<double>(font.lfHeight)) * mapY;
    em = font.lfHeight < 0 ? h : h * upem / (f->ascentUnits + f->descentUnits);
  }
  em = std::clamp(em, 1.0, static_cast<double>(kMaxEmPixels));
  double emX;
  if (font.lfWidth == 0) {
    emX = font.lfHeight == 0 ? em * dpi.cx / dpi.cy : em * mapX / mapY;
  } else {
    double average = hasOs2 && os2->xAvgCharWidth > 0 ? os2->xAvgCharWidth : upem / 2;
    emX = std::fabs(static_cast<double>(font.lfWidth)) * mapX * upem / average;
  }
  emX = std::clamp(emX, 1.0, static_cast<double>(kMaxEmPixels));

  LONG escapement = font.lfEscapement % 3600;
  if (escapement < 0) escapement += 3600;
  f->escapement = escapement;
  double angle = escapement * kPi / 1800.0;
  double c = std::cos(angle), sn = std::sin(angle);
  // Exact axes for the right angles.
  if (escapement % 900 == 0) {
    c = escapement == 0 ? 1 : escapement == 1800 ? -1 : 0;
    sn = escapement == 900 ? 1 : escapement == 2700 ? -1 : 0;
  }
  double kx = emX / upem, ky = em / upem;
  f->m11 = kx * c, f->m12 = -kx * sn, f->m21 = ky * sn, f->m22 = ky * c;
  f->baseX = c, f->baseY = -sn;
  f->axis = escapement % 900 == 0;
  if (mapping.eM12 != 0 || mapping.eM21 != 0) {
    // A mapping that turns or shears (a world transform) carries the glyphs
    // with it: the em box sized in logical units, turned by the escapement,
    // then mapped like everything else the application draws.
    double lx = kx / mapX, ly = ky / mapY;
    double a11 = lx * c, a12 = -lx * sn, a21 = ly * sn, a22 = ly * c;
    f->m11 = a11 * mapping.eM11 + a12 * mapping.eM21;
    f->m12 = a11 * mapping.eM12 + a12 * mapping.eM22;
    f->m21 = a21 * mapping.eM11 + a22 * mapping.eM21;
    f->m22 = a21 * mapping.eM12 + a22 * mapping.eM22;
    double along = std::hypot(f->m11, f->m12);
    if (!(along > 0) || !std::isfinite(along)) {
      FreeFont(s, f);
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    f->baseX = f->m11 / along, f->baseY = f->m12 / along;
    em = std::clamp(std::hypot(f->m21, f->m22) * upem, 1.0, static_cast<double>(kMaxEmPixels));
    f->axis = f->m11 == 0 || f->m12 == 0;
    double turned = std::atan2(-f->baseY, f->baseX) * 1800.0 / kPi;
    escapement = static_cast<LONG>(std::lround(turned)) % 3600;
    if (escapement < 0) escapement += 3600;
    if (f->axis) escapement = (escapement + 450) / 900 * 900 % 3600;
    f->escapement = escapement;
  }
  f->advanceScale = std::hypot(f->m11, f->m12);
  f->emPixels = em;

  bool faceBold = (hasOs2 ? os2->usWeightClass : resolved.weight) >= 600 ||
                  (face->style_flags & FT_STYLE_FLAG_BOLD);
  bool faceItalic = (face->style_flags & FT_STYLE_FLAG_ITALIC) != 0;
  auto hasTable = [face](FT_ULong tag) {
    FT_ULong length = 0;  // a length query: no buffer
    return FT_IS_SFNT(face) && FT_Load_Sfnt_Table(face, tag, 0, nullptr, &length) == 0 && length != 0;
  };
  bool trueType = hasTable(TTAG_glyf);
  bool cff = hasTable(TTAG_CFF);
  FLONG type = trueType ? FO_TYPE_TRUETYPE : FO_TYPE_OPENTYPE | (cff ? FO_CFF | FO_POSTSCRIPT : 0);
  if (weight >= 600 && !faceBold) {
    type |= FO_SIM_BOLD;
    f->boldPixels = std::max(1.0, em / 36.0);
  }
  double shear = 0;
  if (italic && !faceItalic) {
    type |= FO_SIM_ITALIC;
    shear = kItalicShear;
  }
  // The slant moves points above the baseline (negative notional y) forward.
  f->r11 = f->m11, f->r12 = f->m12;
  f->r21 = f->m21 - shear * f->m11, f->r22 = f->m22 - shear * f->m12;

  if (FT_Activate_Size(f->size) != 0 ||
      FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(std::lround(em * 64)), 72, 72) != 0) {
    FreeFont(s, f);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  f->xform = CreateXform(FLOATOBJ_XFORM{static_cast<float>(f->m11), static_cast<float>(f->m12),
                                        static_cast<float>(f->m21), static_cast<float>(f->m22),
                                        0.0f, 0.0f});
  f->ifi = BuildMetrics(face, resolved, requested, font, f->fixedPitch, trueType);
  if (f->xform == nullptr || f->ifi == nullptr) {
    FreeFont(s, f);
    return nullptr;
  }
  if (IsDoubleByteSet(f->ifi->jWinCharSet)) type |= FO_DBCS_FONT;
  FONTOBJ& o = f->object;
  {
    RealizationKey key{resolved.path, resolved.index, f->m11, f->m12, f->m21, f->m22, type,
                       f->ifi->jWinCharSet, {}, dpi.cx, dpi.cy};
    const BYTE* name = reinterpret_cast<const BYTE*>(f->ifi) + f->ifi->dpwszFaceName;
    const BYTE* end = reinterpret_cast<const BYTE*>(f->ifi) + f->ifi->cjThis;
    for (; name + 1 < end; name += 2) {
      char16_t unit;
      std::memcpy(&unit, name, sizeof(unit));
      if (unit == 0) break;
      key.faceName.push_back(unit);
    }
    if (s.realizations.size() >= kRememberedRealizations) s.realizations.clear();
    auto [at, added] = s.realizations.try_emplace(std::move(key), 0);
    if (added) at->second = gNextUniq.fetch_add(1);
    o.iUniq = at->second;
  }
  o.iFace = static_cast<ULONG>(resolved.index + 1);
  double maxAdvance = (f->ifi->fwdMaxCharInc > 0 ? f->ifi->fwdMaxCharInc : upem) * f->advanceScale;
  if (f->fixedPitch) maxAdvance = std::round(maxAdvance);
  o.cxMax = static_cast<ULONG>(std::ceil(maxAdvance + f->boldPixels));
  o.flFontType = type;
  o.iTTUniq = f->shared->id;
  o.iFile = f->shared->id;
  o.sizLogResPpi = dpi;
  o.ulStyleSize = static_cast<ULONG>(std::lround(em * 72.0 / dpi.cy));
  return &f->object;
}

void DeleteFontObject(FONTOBJ* font) {
  FontState& s = State();
  std::lock_guard guard(s.lock);
  FreeFont(s, AsFont(font));
}

namespace {

// A string object with room for `text` and a copy of it; null for a bad
// font or request, or when memory runs out.
StringObject* NewString(FontObject* f, std::span<const WCHAR> text) {
  if (f == nullptr || text.size() > (1u << 24)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::size_t n = text.size();
  StringObject* str = NewObject<StringObject>();
  if (str == nullptr) return nullptr;
  std::size_t bytes = n * (sizeof(GLYPHPOS) + sizeof(GLYPHDEF)) + (n + 1) * sizeof(WCHAR);
  auto* block = static_cast<unsigned char*>(EngAllocMem(FL_ZERO_MEMORY, static_cast<ULONG>(bytes), kTag));
  if (block == nullptr) {
    DeleteObject(str);
    return nullptr;
  }
  str->font = f;
  str->positions = reinterpret_cast<GLYPHPOS*>(block);
  str->defs = reinterpret_cast<GLYPHDEF*>(block + n * sizeof(GLYPHPOS));
  auto* copy = reinterpret_cast<WCHAR*>(block + n * (sizeof(GLYPHPOS) + sizeof(GLYPHDEF)));
  if (n != 0) std::memcpy(copy, text.data(), n * sizeof(WCHAR));
  str->object.cGlyphs = static_cast<ULONG>(n);
  str->object.pgp = str->positions;
  str->object.pwszOrg = copy;
  return str;
}

// The box of the font's cells at a set of baseline points.
struct CellBox {
  double topX, topY, botX, botY;  // offsets of the cell's top and bottom from a baseline point
  double left = 1e300, top = 1e300, right = -1e300, bottom = -1e300;
  // The cell in whole pixels above and below the baseline, as the font's
  // text metrics give it.
  explicit CellBox(const FontObject* f) {
    double across = std::hypot(f->m21, f->m22);
    double ux = across > 0 ? f->m21 / across : 0, uy = across > 0 ? f->m22 / across : 1;
    double ascent = std::round(f->ascentUnits * across), descent = std::round(f->descentUnits * across);
    topX = -ascent * ux, topY = -ascent * uy, botX = descent * ux, botY = descent * uy;
  }
  void Extend(double px, double py) {
    for (auto [ox, oy] : {std::pair{topX, topY}, std::pair{botX, botY}}) {
      left = std::min(left, px + ox), right = std::max(right, px + ox);
      top = std::min(top, py + oy), bottom = std::max(bottom, py + oy);
    }
  }
  RECTL Rect() const {
    auto clampLong = [](double v) {
      return static_cast<LONG>(std::clamp(v, -2147483648.0, 2147483647.0));
    };
    return RECTL{clampLong(std::floor(left)), clampLong(std::floor(top)),
                 clampLong(std::ceil(right)), clampLong(std::ceil(bottom))};
  }
};

FLONG DirectionFlags(const FontObject* f) {
  switch (f->axis ? f->escapement : -1) {
    case 0: return SO_HORIZONTAL;
    case 900: return SO_VERTICAL | SO_REVERSED;
    case 1800: return SO_HORIZONTAL | SO_REVERSED;
    case 2700: return SO_VERTICAL;
    default: return 0;
  }
}

}  // namespace

STROBJ* CreateStringObject(FONTOBJ* font, std::span<const WCHAR> text, bool glyphIndices,
                           POINTL origin, std::span<const LONG> advances) {
  FontObject* f = AsFont(font);
  if (f == nullptr || (!advances.empty() && advances.size() < text.size())) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  StringObject* str = NewString(f, text);
  if (str == nullptr) return nullptr;
  std::size_t n = text.size();

  FontState& s = State();
  std::lock_guard guard(s.lock);
  CellBox box(f);
  double x = origin.x, y = origin.y;
  double firstAdvance = -1;
  bool equalAdvances = true;
  for (std::size_t i = 0; i < n; ++i) {
    FT_UInt glyph = GlyphFor(f->shared, text[i], glyphIndices);
    GLYPHPOS& gp = str->positions[i];
    gp.hg = glyph;
    gp.pgdf = nullptr;
    // Far positions stay far: clamped, never wrapped back onto the page.
    gp.ptl = POINTL{static_cast<LONG>(std::lround(std::clamp(x, -2147483647.0, 2147483647.0))),
                    static_cast<LONG>(std::lround(std::clamp(y, -2147483647.0, 2147483647.0)))};
    box.Extend(x, y);
    double advance = advances.empty() ? AdvanceOf(f, glyph) : advances[i];
    if (firstAdvance < 0) firstAdvance = advance;
    if (advance != firstAdvance) equalAdvances = false;
    x += advance * f->baseX;
    y += advance * f->baseY;
  }
  box.Extend(x, y);

  STROBJ& o = str->object;
  o.flAccel = advances.empty() ? SO_FLAG_DEFAULT_PLACEMENT : 0;
  if (glyphIndices) o.flAccel |= SO_GLYPHINDEX_TEXTOUT;
  o.flAccel |= DirectionFlags(f);
  if (f->fixedPitch && advances.empty() && f->axis && f->escapement == 0 && n != 0 &&
      equalAdvances && firstAdvance == std::round(firstAdvance)) {
    o.ulCharInc = static_cast<ULONG>(firstAdvance);
  }
  o.rclBkGround = box.Rect();
  return &str->object;
}

STROBJ* CreateStringObjectAt(FONTOBJ* font, std::span<const WCHAR> text, bool glyphIndices,
                             std::span<const POINTL> origins, POINTL end, FLONG accel) {
  FontObject* f = AsFont(font);
  if (f == nullptr || origins.size() < text.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  StringObject* str = NewString(f, text);
  if (str == nullptr) return nullptr;
  FontState& s = State();
  std::lock_guard guard(s.lock);
  CellBox box(f);
  for (std::size_t i = 0; i < text.size(); ++i) {
    GLYPHPOS& gp = str->positions[i];
    gp.hg = GlyphFor(f->shared, text[i], glyphIndices);
    gp.pgdf = nullptr;
    gp.ptl = origins[i];
    box.Extend(origins[i].x, origins[i].y);
  }
  box.Extend(end.x, end.y);
  STROBJ& o = str->object;
  o.flAccel = accel | DirectionFlags(f) | (glyphIndices ? SO_GLYPHINDEX_TEXTOUT : 0);
  o.rclBkGround = box.Rect();
  return &str->object;
}

bool RealizedMetrics(FONTOBJ* font, FontMetrics* out) {
  FontObject* f = AsFont(font);
  if (f == nullptr || out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  FontState& s = State();
  std::lock_guard guard(s.lock);
  FT_Face face = f->shared->face;
  const IFIMETRICS* ifi = f->ifi;
  double across = std::hypot(f->m21, f->m22);  // pixels per font unit across the baseline
  double along = f->advanceScale;
  FontMetrics m;
  m.baseX = f->baseX;
  m.baseY = f->baseY;
  m.downX = across > 0 ? f->m21 / across : 0;
  m.downY = across > 0 ? f->m22 / across : 1;
  m.ascent = f->ascentUnits * across;
  m.descent = f->descentUnits * across;
  m.em = face->units_per_EM * across;
  auto* hhea = static_cast<TT_HoriHeader*>(FT_Get_Sfnt_Table(face, FT_SFNT_HHEA));
  if (hhea != nullptr) {
    // The line gap the font asks for beyond what its Windows cell holds.
    double typo = hhea->Ascender - hhea->Descender + hhea->Line_Gap;
    m.externalLeading = std::max(0.0, typo - (f->ascentUnits + f->descentUnits)) * across;
  }
  double average = ifi->fwdAveCharWidth > 0 ? ifi->fwdAveCharWidth : face->units_per_EM / 2.0;
  m.averageWidth = average * along;
  m.maxWidth = (ifi->fwdMaxCharInc > 0 ? ifi->fwdMaxCharInc : face->units_per_EM) * along +
               f->boldPixels;
  if (f->fixedPitch) m.averageWidth = std::round(m.averageWidth);
  // FreeType gives the centre of the underline stroke, below the baseline.
  double ulThickness = std::max<double>(face->underline_thickness, 1) * across;
  m.underlineThickness = std::max(1.0, ulThickness);
  m.underlineOffset = -face->underline_position * across - m.underlineThickness / 2;
  m.strikeoutThickness = std::max(1.0, std::max<double>(ifi->fwdStrikeoutSize, 1) * across);
  m.strikeoutOffset = -(ifi->fwdStrikeoutPosition > 0 ? ifi->fwdStrikeoutPosition
                                                       : face->units_per_EM / 4.0) * across;
  m.boldPixels = f->boldPixels;
  m.fixedPitch = f->fixedPitch;
  *out = m;
  return true;
}

void DeleteStringObject(STROBJ* object) {
  StringObject* str = AsString(object);
  if (str == nullptr) return;
  str->magic = 0;
  EngFreeMem(str->positions);
  EngFreeMem(str->batch);
  EngFreeMem(str->scratch);
  DeleteObject(str);
}

bool GlyphAdvances(FONTOBJ* font, std::span<const WCHAR> text, bool glyphIndices,
                   std::span<double> advances) {
  FontObject* f = AsFont(font);
  if (f == nullptr || advances.size() < text.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  FontState& s = State();
  std::lock_guard guard(s.lock);
  for (std::size_t i = 0; i < text.size(); ++i) {
    advances[i] = AdvanceOf(f, GlyphFor(f->shared, text[i], glyphIndices));
  }
  return true;
}

bool TextExtent(FONTOBJ* font, std::span<const WCHAR> text, bool glyphIndices, SIZEL* extent) {
  FontObject* f = AsFont(font);
  if (f == nullptr || extent == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  FontState& s = State();
  std::lock_guard guard(s.lock);
  double total = 0;
  for (WCHAR unit : text) total += AdvanceOf(f, GlyphFor(f->shared, unit, glyphIndices));
  double cell = (f->ascentUnits + f->descentUnits) * std::hypot(f->m21, f->m22);
  extent->cx = static_cast<LONG>(std::lround(std::min(total, 2147483647.0)));
  extent->cy = static_cast<LONG>(std::lround(cell));
  return true;
}

}  // namespace kvplat::engine

using namespace kvplat::engine;

// ---- services the graphics libraries call --------------------------------------------------

KVAPI IFIMETRICS* FONTOBJ_pifi(FONTOBJ* pfo) {
  FontObject* f = AsFont(pfo);
  return f != nullptr ? f->ifi : nullptr;
}

KVAPI XFORMOBJ* FONTOBJ_pxoGetXform(FONTOBJ* pfo) {
  FontObject* f = AsFont(pfo);
  return f != nullptr ? f->xform : nullptr;
}

KVAPI ULONG FONTOBJ_cGetGlyphs(FONTOBJ* pfo, ULONG iMode, ULONG cGlyph, HGLYPH* phg,
                               PVOID* ppvGlyph) {
  FontObject* f = AsFont(pfo);
  if (f == nullptr || (iMode != FO_GLYPHBITS && iMode != FO_PATHOBJ) || cGlyph == 0 ||
      phg == nullptr || ppvGlyph == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  FontState& s = State();
  std::lock_guard guard(s.lock);
  HGLYPH hg = phg[0];
  if (iMode == FO_GLYPHBITS) {
    GLYPHDATA rendered{};
    if (const GLYPHDATA* kept = KeptGlyph(f, hg, &rendered)) {
      f->glyph = *kept;
      *ppvGlyph = &f->glyph;
      return 1;
    }
    if (rendered.gdf.pgb != nullptr) {  // rendered but too large to keep
      f->glyph = rendered;
      *ppvGlyph = &f->glyph;
      return 1;
    }
  }
  if (!LoadOutline(f, hg)) return 0;
  GLYPHDATA data{};
  FillGlyphData(f, hg, &data);
  if (iMode == FO_GLYPHBITS) {
    GLYPHBITS* bits = RenderBits(f->shared->face->glyph, &f->bits, &f->bitsCapacity);
    if (bits == nullptr) return 0;
    data.gdf.pgb = bits;
  } else {
    PATHOBJ* path = OutlineToPath(&f->shared->face->glyph->outline);
    if (path == nullptr) return 0;
    if (f->path != nullptr) EngDeletePath(f->path);
    f->path = path;
    data.gdf.ppo = path;
  }
  f->glyph = data;
  *ppvGlyph = &f->glyph;
  return 1;
}

KVAPI PVOID FONTOBJ_pvTrueTypeFontFile(FONTOBJ* pfo, ULONG* pcjFile) {
  FontObject* f = AsFont(pfo);
  if (pcjFile != nullptr) *pcjFile = 0;
  if (f == nullptr || !FT_IS_SFNT(f->shared->face)) return nullptr;
  if (pcjFile != nullptr) *pcjFile = static_cast<ULONG>(f->shared->file.size());
  return f->shared->file.data();
}

KVAPI void FONTOBJ_vGetInfo(FONTOBJ* pfo, ULONG cjSize, FONTINFO* pfi) {
  FontObject* f = AsFont(pfo);
  if (f == nullptr || pfi == nullptr || cjSize == 0) return;
  FontState& s = State();
  std::lock_guard guard(s.lock);
  FT_Face face = f->shared->face;
  // The largest glyph image: the font box under the rendering transform.
  double w = 0, h = 0;
  {
    double minX = 1e300, maxX = -1e300, minY = 1e300, maxY = -1e300;
    for (FT_Pos ux : {face->bbox.xMin, face->bbox.xMax}) {
      for (FT_Pos uy : {face->bbox.yMin, face->bbox.yMax}) {
        double nx = static_cast<double>(ux), ny = -static_cast<double>(uy);
        double dx = nx * f->r11 + ny * f->r21, dy = nx * f->r12 + ny * f->r22;
        minX = std::min(minX, dx), maxX = std::max(maxX, dx);
        minY = std::min(minY, dy), maxY = std::max(maxY, dy);
      }
    }
    w = std::ceil(maxX - minX + 2 * f->boldPixels) + 2;
    h = std::ceil(maxY - minY + 2 * f->boldPixels) + 2;
  }
  auto glyphBytes = [&](double bitsPerPixel) {
    double row = std::ceil(w * bitsPerPixel / 8);
    double bytes = offsetof(GLYPHBITS, aj) + row * h;
    return static_cast<ULONG>(std::min(bytes, 4294967295.0));
  };
  FONTINFO info{};
  info.cjThis = sizeof(FONTINFO);
  info.flCaps = FO_OUTLINE_CAPABLE;
  info.cGlyphsSupported = static_cast<ULONG>(face->num_glyphs);
  info.cjMaxGlyph1 = glyphBytes(1);
  info.cjMaxGlyph4 = glyphBytes(4);
  info.cjMaxGlyph8 = glyphBytes(8);
  info.cjMaxGlyph32 = glyphBytes(32);
  std::memcpy(pfi, &info, std::min<ULONG>(cjSize, sizeof(FONTINFO)));
}

KVAPI void STROBJ_vEnumStart(STROBJ* pstro) {
  StringObject* str = AsString(pstro);
  if (str == nullptr) return;
  str->cursor = 0;
}

KVAPI BOOL STROBJ_bEnum(STROBJ* pstro, ULONG* pc, GLYPHPOS** ppgpos) {
  StringObject* str = AsString(pstro);
  if (pc != nullptr) *pc = 0;
  if (str == nullptr || pc == nullptr || ppgpos == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONG total = str->object.cGlyphs;
  // The previous batch's bitmaps go out of date.
  for (ULONG i = 0; i < str->batchCount; ++i) str->positions[str->batchFirst + i].pgdf = nullptr;
  ULONG first = std::min(str->cursor, total);
  ULONG count = std::min(kEnumBatch, total - first);
  str->batchFirst = first;
  str->batchCount = count;
  *ppgpos = str->positions + first;
  *pc = count;
  str->cursor = first + count;
  FontObject* f = str->font;
  FontState& s = State();
  std::lock_guard guard(s.lock);
  // Render the batch into one buffer; a glyph that cannot be had keeps pgdf null.
  std::size_t used = 0;
  std::size_t offsets[kEnumBatch];
  for (ULONG i = 0; i < count; ++i) {
    offsets[i] = SIZE_MAX;
    GLYPHPOS& gp = str->positions[first + i];
    GLYPHDATA rendered{};
    if (const GLYPHDATA* kept = KeptGlyph(f, gp.hg, &rendered)) {
      str->defs[first + i].pgb = kept->gdf.pgb;
      gp.pgdf = &str->defs[first + i];
      continue;
    }
    // Rendered but too large to keep: copied from the font's scratch below.
    GLYPHBITS* bits = rendered.gdf.pgb;
    if (bits == nullptr) {
      if (!LoadOutline(f, gp.hg)) continue;
      bits = RenderBits(f->shared->face->glyph, &str->scratch, &str->scratchCapacity);
      if (bits == nullptr) continue;
    }
    std::size_t stride = (static_cast<std::size_t>(bits->sizlBitmap.cx) + 7) / 8;
    std::size_t size = (offsetof(GLYPHBITS, aj) + stride * bits->sizlBitmap.cy + 7) & ~std::size_t{7};
    size = std::max(size, sizeof(GLYPHBITS) + 4);
    if (used + size > str->batchCapacity) {
      std::size_t grow = std::max(used + size, str->batchCapacity * 2);
      if (grow > (std::size_t{1} << 30)) continue;
      auto* block = static_cast<unsigned char*>(EngAllocMem(0, static_cast<ULONG>(grow), kTag));
      if (block == nullptr) continue;
      if (used != 0) std::memcpy(block, str->batch, used);
      EngFreeMem(str->batch);
      str->batch = block;
      str->batchCapacity = grow;
    }
    std::memcpy(str->batch + used, bits, offsetof(GLYPHBITS, aj) + stride * bits->sizlBitmap.cy);
    offsets[i] = used;
    used += size;
  }
  for (ULONG i = 0; i < count; ++i) {
    if (offsets[i] == SIZE_MAX) continue;
    str->defs[first + i].pgb = reinterpret_cast<GLYPHBITS*>(str->batch + offsets[i]);
    str->positions[first + i].pgdf = &str->defs[first + i];
  }
  return str->cursor < total ? TRUE : FALSE;
}
