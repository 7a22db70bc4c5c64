// Fonts of application GDI: logical fonts as GDI objects, their realization
// on a DC (kept per DC, font and mapping), text metrics and face names, the
// text layout attributes of a DC, and the enumeration of the machine's
// scalable faces through fontconfig.
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gdi/text.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"

namespace kvplat::gdi {
namespace {

// Realizations kept per DC.
constexpr std::size_t kKeptFonts = 6;

template <typename R, typename F>
R WithState(HDC hdc, R fail, F&& f) {
  DcCall call(hdc);
  if (!call) return fail;
  return f(*call, call->draw);
}

// The linear map that sizes and turns a DC's font. In GM_COMPATIBLE (and
// for maps that only scale) text stays upright: only the scales count. A
// world transform that turns or shears carries the glyphs with it; a page
// map that turns y upwards does not turn them upside down.
FLOATOBJ_XFORM FontMapping(const DrawState& s) {
  const Matrix m = DeviceMatrix(s);
  if (s.graphicsMode != GM_ADVANCED || (m.m12 == 0 && m.m21 == 0)) {
    return FLOATOBJ_XFORM{static_cast<FLOATOBJ>(std::hypot(m.m11, m.m12)), 0, 0,
                          static_cast<FLOATOBJ>(std::hypot(m.m21, m.m22)), 0, 0};
  }
  const double fx = double(s.viewportExtent.cx) / s.windowExtent.cx < 0 ? -1 : 1;
  const double fy = double(s.viewportExtent.cy) / s.windowExtent.cy < 0 ? -1 : 1;
  return FLOATOBJ_XFORM{static_cast<FLOATOBJ>(fx * m.m11), static_cast<FLOATOBJ>(fx * m.m12),
                        static_cast<FLOATOBJ>(fy * m.m21), static_cast<FLOATOBJ>(fy * m.m22), 0, 0};
}

bool SameMapping(const FLOATOBJ_XFORM& a, const FLOATOBJ_XFORM& b) {
  return a.eM11 == b.eM11 && a.eM12 == b.eM12 && a.eM21 == b.eM21 && a.eM22 == b.eM22;
}

std::shared_ptr<GdiObject> SelectedFont(const DrawState& s) {
  if (s.font != nullptr) return s.font;
  static const std::shared_ptr<GdiObject> system = FindObject(DefaultFontHandle(), ObjectKind::Font);
  return system;
}

LONG Round(double v) {
  return static_cast<LONG>(std::lround(std::clamp(v, -2147483647.0, 2147483647.0)));
}

std::u16string_view FaceNameOf(const LOGFONTW& f) {
  std::size_t n = 0;
  while (n < LF_FACESIZE && f.lfFaceName[n] != 0) ++n;
  return std::u16string_view(f.lfFaceName, n);
}

void CopyName(WCHAR* to, std::size_t capacity, std::u16string_view name) {
  const std::size_t n = std::min(name.size(), capacity - 1);
  std::copy_n(name.data(), n, to);
  to[n] = 0;
}

std::u16string_view IfiString(const IFIMETRICS* ifi, PTRDIFF offset) {
  if (ifi == nullptr || offset <= 0) return {};
  const auto* s = reinterpret_cast<const WCHAR*>(reinterpret_cast<const BYTE*>(ifi) + offset);
  return std::u16string_view(s);
}

}  // namespace

double PixelsPerUnit(const Matrix& m, double ux, double uy) {
  Matrix inverse;
  if (!Invert(m, &inverse)) return 1;
  // The logical vector that maps to the device unit vector.
  const double lx = ux * inverse.m11 + uy * inverse.m21;
  const double ly = ux * inverse.m12 + uy * inverse.m22;
  const double length = std::hypot(lx, ly);
  return length > 0 ? 1 / length : 1;
}

RealizedFont* RealizeFont(DC& dc) {
  const std::shared_ptr<GdiObject> object = SelectedFont(dc.draw);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  LONG dpiX, dpiY;
  DeviceResolution(dc, &dpiX, &dpiY);
  const SIZEL dpi{dpiX, dpiY};
  const FLOATOBJ_XFORM mapping = FontMapping(dc.draw);
  auto& kept = dc.fonts;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    RealizedFont& r = *kept[i];
    if (r.serial == object->font.serial && r.dpi.cx == dpi.cx && r.dpi.cy == dpi.cy &&
        SameMapping(r.mapping, mapping)) {
      if (i != 0) std::rotate(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(i),
                              kept.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      return kept.front().get();
    }
  }
  auto made = std::make_shared<RealizedFont>();
  made->serial = object->font.serial;
  made->dpi = dpi;
  made->mapping = mapping;
  made->logical = object->font.logical;
  made->font = engine::CreateFontObject(made->logical, dpi, mapping);
  if (made->font == nullptr) return nullptr;
  if (!engine::RealizedMetrics(made->font, &made->metrics)) return nullptr;
  if (kept.size() >= kKeptFonts) kept.pop_back();
  kept.insert(kept.begin(), std::move(made));
  return kept.front().get();
}

void TextMetricsOf(const DC& dc, const RealizedFont& r, TEXTMETRICW* out) {
  const Matrix m = DeviceMatrix(dc.draw);
  const engine::FontMetrics& fm = r.metrics;
  const double along = PixelsPerUnit(m, fm.baseX, fm.baseY);
  const double across = PixelsPerUnit(m, fm.downX, fm.downY);
  const IFIMETRICS* ifi = FONTOBJ_pifi(r.font);
  const FLONG type = r.font->flFontType;
  TEXTMETRICW tm{};
  tm.tmAscent = Round(std::round(fm.ascent) / across);
  tm.tmDescent = Round(std::round(fm.descent) / across);
  tm.tmHeight = tm.tmAscent + tm.tmDescent;
  tm.tmInternalLeading = std::max<LONG>(0, tm.tmHeight - Round(fm.em / across));
  tm.tmExternalLeading = Round(fm.externalLeading / across);
  tm.tmAveCharWidth = Round(fm.averageWidth / along);
  tm.tmMaxCharWidth = Round(fm.maxWidth / along);
  LONG weight = ifi != nullptr && ifi->usWinWeight != 0 ? ifi->usWinWeight : FW_NORMAL;
  if (type & FO_SIM_BOLD) weight = std::max<LONG>(r.logical.lfWeight, FW_BOLD);
  tm.tmWeight = weight;
  tm.tmOverhang = 0;
  tm.tmDigitizedAspectX = r.dpi.cx;
  tm.tmDigitizedAspectY = r.dpi.cy;
  if (ifi != nullptr) {
    tm.tmFirstChar = ifi->wcFirstChar;
    tm.tmLastChar = ifi->wcLastChar;
    tm.tmDefaultChar = ifi->wcDefaultChar;
    tm.tmBreakChar = ifi->wcBreakChar;
    tm.tmCharSet = ifi->jWinCharSet;
  }
  const bool italic = r.logical.lfItalic != 0 ||
                      (ifi != nullptr && (ifi->fsSelection & FM_SEL_ITALIC) != 0);
  tm.tmItalic = italic ? 255 : 0;
  tm.tmUnderlined = r.logical.lfUnderline != 0 ? 255 : 0;
  tm.tmStruckOut = r.logical.lfStrikeOut != 0 ? 255 : 0;
  BYTE pitch = ifi != nullptr ? static_cast<BYTE>(ifi->jWinPitchAndFamily & 0xF0) : FF_DONTCARE;
  if (!fm.fixedPitch) pitch |= TMPF_FIXED_PITCH;  // the bit means variable pitch
  pitch |= TMPF_VECTOR;
  if (type & FO_TYPE_TRUETYPE) pitch |= TMPF_TRUETYPE;
  tm.tmPitchAndFamily = pitch;
  *out = tm;
}

}  // namespace kvplat::gdi

using namespace kvplat::gdi;

// ---- logical fonts -----------------------------------------------------------------------
KVAPI HFONT CreateFontIndirectW(const LOGFONTW* font) {
  if (font == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return static_cast<HFONT>(RegisterObject(MakeFontObject(*font, false)));
}

KVAPI HFONT CreateFontW(int height, int width, int escapement, int orientation, int weight,
                        DWORD italic, DWORD underline, DWORD strikeOut, DWORD charSet,
                        DWORD outPrecision, DWORD clipPrecision, DWORD quality,
                        DWORD pitchAndFamily, LPCWSTR faceName) {
  LOGFONTW f{};
  f.lfHeight = height;
  f.lfWidth = width;
  f.lfEscapement = escapement;
  f.lfOrientation = orientation;
  f.lfWeight = weight;
  f.lfItalic = static_cast<BYTE>(italic != 0);
  f.lfUnderline = static_cast<BYTE>(underline != 0);
  f.lfStrikeOut = static_cast<BYTE>(strikeOut != 0);
  f.lfCharSet = static_cast<BYTE>(charSet);
  f.lfOutPrecision = static_cast<BYTE>(outPrecision);
  f.lfClipPrecision = static_cast<BYTE>(clipPrecision);
  f.lfQuality = static_cast<BYTE>(quality);
  f.lfPitchAndFamily = static_cast<BYTE>(pitchAndFamily);
  if (faceName != nullptr) {
    for (int i = 0; i < LF_FACESIZE - 1 && faceName[i] != 0; ++i) f.lfFaceName[i] = faceName[i];
  }
  return CreateFontIndirectW(&f);
}

// ---- layout attributes --------------------------------------------------------------------
KVAPI UINT SetTextAlign(HDC hdc, UINT align) {
  return WithState(hdc, GDI_ERROR, [&](DC&, DrawState& s) {
    return std::exchange(s.textAlign, align & (TA_UPDATECP | TA_CENTER | TA_BASELINE));
  });
}

KVAPI UINT GetTextAlign(HDC hdc) {
  return WithState(hdc, GDI_ERROR, [](DC&, DrawState& s) { return s.textAlign; });
}

KVAPI int SetTextCharacterExtra(HDC hdc, int extra) {
  // 0x80000000 is the failure value.
  return WithState(hdc, static_cast<int>(0x80000000u),
                   [&](DC&, DrawState& s) { return std::exchange(s.charExtra, extra); });
}

KVAPI BOOL SetTextJustification(HDC hdc, int breakExtra, int breakCount) {
  return WithState(hdc, FALSE, [&](DC&, DrawState& s) -> BOOL {
    if (breakCount < 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    s.breakExtra = breakCount == 0 ? 0 : breakExtra;
    s.breakCount = breakCount;
    return TRUE;
  });
}

// ---- metrics -------------------------------------------------------------------------------
KVAPI BOOL GetTextMetricsW(HDC hdc, TEXTMETRICW* metrics) {
  DcCall call(hdc);
  if (!call) return FALSE;
  if (metrics == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  RealizedFont* r = RealizeFont(*call);
  if (r == nullptr) return FALSE;
  TextMetricsOf(*call, *r, metrics);
  return TRUE;
}

KVAPI int GetTextFaceW(HDC hdc, int count, LPWSTR name) {
  DcCall call(hdc);
  if (!call) return 0;
  if (count < 0 || (name != nullptr && count == 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  RealizedFont* r = RealizeFont(*call);
  if (r == nullptr) return 0;
  const std::u16string_view face = IfiString(FONTOBJ_pifi(r->font), FONTOBJ_pifi(r->font)->dpwszFamilyName);
  if (name == nullptr) return static_cast<int>(face.size() + 1);
  const std::size_t n = std::min(face.size(), static_cast<std::size_t>(count - 1));
  std::copy_n(face.data(), n, name);
  name[n] = 0;
  return static_cast<int>(n);
}

// ---- enumeration ------------------------------------------------------------------------------
namespace kvplat::gdi {
namespace {

struct FaceEntry {
  std::string family;
  std::string style;
  engine::ResolvedFace face;
  int weight = 0;   // fontconfig's
  int slant = 0;
};

bool IsPlainStyle(const std::string& style) {
  return style.empty() || style == "Regular" || style == "Normal" || style == "Book" ||
         style == "Roman";
}

// The scalable faces of `family` (all when empty), sorted by family, then
// plain faces first.
std::vector<FaceEntry> ListFaces(const std::string& family) {
  std::vector<FaceEntry> faces;
  if (!FcInit()) return faces;
  FcPattern* pattern = FcPatternCreate();
  if (pattern == nullptr) return faces;
  if (!family.empty()) {
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  }
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  FcObjectSet* objects =
      FcObjectSetBuild(FC_FAMILY, FC_STYLE, FC_FILE, FC_INDEX, FC_WEIGHT, FC_SLANT, nullptr);
  FcFontSet* set = objects != nullptr ? FcFontList(nullptr, pattern, objects) : nullptr;
  if (set != nullptr) {
    for (int i = 0; i < set->nfont; ++i) {
      FcPattern* p = set->fonts[i];
      FcChar8* file = nullptr;
      FcChar8* name = nullptr;
      FcChar8* style = nullptr;
      int index = 0;
      if (FcPatternGetString(p, FC_FILE, 0, &file) != FcResultMatch ||
          FcPatternGetString(p, FC_FAMILY, 0, &name) != FcResultMatch) {
        continue;
      }
      FcPatternGetInteger(p, FC_INDEX, 0, &index);
      if ((index & ~0xFFFF) != 0) continue;  // named instances of variable fonts
      FaceEntry e;
      e.family = reinterpret_cast<const char*>(name);
      if (FcPatternGetString(p, FC_STYLE, 0, &style) == FcResultMatch) {
        e.style = reinterpret_cast<const char*>(style);
      }
      e.weight = FC_WEIGHT_REGULAR;
      e.slant = FC_SLANT_ROMAN;
      FcPatternGetInteger(p, FC_WEIGHT, 0, &e.weight);
      FcPatternGetInteger(p, FC_SLANT, 0, &e.slant);
      e.face.path = reinterpret_cast<const char*>(file);
      e.face.index = index;
      e.face.family = ToUtf16(e.family);
      e.face.weight = FcWeightToOpenType(e.weight);
      e.face.italic = e.slant != FC_SLANT_ROMAN;
      faces.push_back(std::move(e));
    }
    FcFontSetDestroy(set);
  }
  if (objects != nullptr) FcObjectSetDestroy(objects);
  FcPatternDestroy(pattern);
  auto rank = [](const FaceEntry& e) {
    return std::make_tuple(e.family, !IsPlainStyle(e.style), std::abs(e.weight - FC_WEIGHT_REGULAR),
                           e.slant, e.style, e.face.path, e.face.index);
  };
  std::sort(faces.begin(), faces.end(),
            [&](const FaceEntry& a, const FaceEntry& b) { return rank(a) < rank(b); });
  return faces;
}

// Reports one face to the callback: its logical font and its metrics on
// the DC at the default size. Returns the callback's answer, or -1 when the
// face cannot be realized (skipped).
int ReportFace(DC& dc, const FaceEntry& e, std::u16string_view reportedName, BYTE charSet,
               FONTENUMPROCW callback, LPARAM data) {
  LOGFONTW logical{};
  logical.lfWeight = e.face.weight;
  logical.lfItalic = e.face.italic ? 1 : 0;
  logical.lfCharSet = charSet;
  logical.lfOutPrecision = OUT_TT_PRECIS;
  CopyName(logical.lfFaceName, LF_FACESIZE, reportedName);
  engine::ResolvedFace face = e.face;
  face.standsFor = true;  // the face carries the name it is reported under
  LONG dpiX, dpiY;
  DeviceResolution(dc, &dpiX, &dpiY);
  RealizedFont r;
  r.dpi = SIZEL{dpiX, dpiY};
  r.mapping = FontMapping(dc.draw);
  r.logical = logical;
  r.font = engine::CreateFontObjectForFace(logical, face, r.dpi, r.mapping);
  if (r.font == nullptr || !engine::RealizedMetrics(r.font, &r.metrics)) return -1;
  const IFIMETRICS* ifi = FONTOBJ_pifi(r.font);
  // A character set asked for is one the face must cover. Only faces in
  // font files the libraries can take (TrueType and OpenType) are reported.
  if (charSet != DEFAULT_CHARSET && ifi->jWinCharSet != charSet) return -1;
  ULONG fileBytes = 0;
  if (FONTOBJ_pvTrueTypeFontFile(r.font, &fileBytes) == nullptr) return -1;
  NEWTEXTMETRICEXW metrics{};
  TextMetricsOf(dc, r, &metrics.ntmTm.tm);
  TEXTMETRICW& tm = metrics.ntmTm.tm;
  ENUMLOGFONTEXW described{};
  described.elfLogFont = logical;
  described.elfLogFont.lfHeight = tm.tmHeight;
  described.elfLogFont.lfWidth = tm.tmAveCharWidth;
  described.elfLogFont.lfWeight = tm.tmWeight;
  described.elfLogFont.lfItalic = tm.tmItalic;
  described.elfLogFont.lfCharSet = tm.tmCharSet;
  described.elfLogFont.lfPitchAndFamily =
      static_cast<BYTE>((tm.tmPitchAndFamily & 0xF0) | (r.metrics.fixedPitch ? FIXED_PITCH : VARIABLE_PITCH));
  const std::u16string style = ToUtf16(e.style.empty() ? "Regular" : e.style);
  std::u16string full(reportedName);
  if (!IsPlainStyle(e.style)) full += u" " + style;
  CopyName(described.elfFullName, LF_FULLFACESIZE, full);
  CopyName(described.elfStyle, LF_FACESIZE, style);
  CopyName(described.elfScript, LF_FACESIZE, tm.tmCharSet == SHIFTJIS_CHARSET ? u"Japanese" : u"Western");
  NEWTEXTMETRICW& ntm = metrics.ntmTm;
  ntm.ntmFlags = (tm.tmItalic ? NTM_ITALIC : 0) | (tm.tmWeight >= FW_BOLD ? NTM_BOLD : 0);
  if (ntm.ntmFlags == 0) ntm.ntmFlags = NTM_REGULAR;
  ntm.ntmSizeEM = static_cast<UINT>(ifi->fwdUnitsPerEm);
  ntm.ntmCellHeight = static_cast<UINT>(ifi->fwdWinAscender + ifi->fwdWinDescender);
  ntm.ntmAvgWidth = static_cast<UINT>(std::max<FWORD>(ifi->fwdAveCharWidth, 0));
  return callback(&described.elfLogFont, &tm, TRUETYPE_FONTTYPE, data);
}

int EnumerateFaces(HDC hdc, const LOGFONTW* font, FONTENUMPROCW callback, LPARAM data) {
  DcCall call(hdc);
  if (!call) return 0;
  if (callback == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string name(font != nullptr ? FaceNameOf(*font) : std::u16string_view());
  if (!name.empty() && name.front() == u'@') name.erase(0, 1);
  const BYTE charSet = font != nullptr ? font->lfCharSet : DEFAULT_CHARSET;
  int result = 1;
  if (name.empty()) {
    // One face per family: its plainest.
    std::string last;
    bool any = false;
    for (const FaceEntry& e : ListFaces(std::string())) {
      if (any && e.family == last) continue;
      const int answer = ReportFace(*call, e, ToUtf16(e.family), charSet, callback, data);
      if (answer < 0) continue;
      any = true;
      last = e.family;
      result = answer;
      if (answer == 0) break;
    }
    return result;
  }
  std::vector<FaceEntry> faces = ListFaces(ToUtf8(name));
  bool standIn = false;
  if (faces.empty()) {
    // A name fontconfig has a stand-in for ("Arial"): the stand-in's faces
    // under the name asked for.
    engine::ResolvedFace face;
    if (!engine::ResolveFace(name, FW_NORMAL, false, &face) || !face.standsFor) return 1;
    faces = ListFaces(ToUtf8(face.family));
    standIn = true;
  }
  for (const FaceEntry& e : faces) {
    const int answer =
        ReportFace(*call, e, standIn ? std::u16string(name) : ToUtf16(e.family), charSet, callback, data);
    if (answer < 0) continue;
    result = answer;
    if (answer == 0) break;
  }
  return result;
}

}  // namespace
}  // namespace kvplat::gdi

KVAPI int EnumFontFamiliesExW(HDC hdc, const LOGFONTW* font, FONTENUMPROCW callback, LPARAM data,
                              DWORD /*flags*/) {
  return EnumerateFaces(hdc, font, callback, data);
}

KVAPI int EnumFontsW(HDC hdc, LPCWSTR faceName, FONTENUMPROCW callback, LPARAM data) {
  LOGFONTW font{};
  font.lfCharSet = DEFAULT_CHARSET;
  if (faceName != nullptr) {
    for (int i = 0; i < LF_FACESIZE - 1 && faceName[i] != 0; ++i) font.lfFaceName[i] = faceName[i];
  }
  return EnumerateFaces(hdc, &font, callback, data);
}
