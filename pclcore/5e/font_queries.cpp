// The engine's queries on the resident fonts, and picking and selecting a
// resident font for a run of text.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "kvplat/kernel.h"
#include "pclcore/5e/device_fonts.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/driver_entry.h"
#include "pclcore/5e/driver_strings.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/output_channel.h"

namespace kv5e {

namespace {

constexpr char kEsc = '\x1B';
// Longest selection string read; the size put in its place is at most 13
// characters, so the result always fits the working buffer.
constexpr int kSelectionCapacity = 256;
constexpr std::size_t kSelectionBuffer = kSelectionCapacity + 32;

// Family bits of jWinPitchAndFamily.
constexpr BYTE kFixedPitchBit = 0x01;
constexpr BYTE kFamilyBit4 = 0x10;
constexpr BYTE kFamilyBit5 = 0x20;

struct Vector {
  std::int64_t x = 0;
  std::int64_t y = 0;
};

// The font's transform applied to the notional vector (x, y): 28.4 device
// units with XF_LTOFX, pixels with XF_LTOL. The transform's translation, if
// it has one, is left out. False when there is no transform or the result
// does not fit.
bool TransformVector(XFORMOBJ* xform, std::int64_t x, std::int64_t y, ULONG mode, Vector* out) {
  if (xform == nullptr) return false;
  constexpr std::int64_t kMax = std::numeric_limits<LONG>::max();
  constexpr std::int64_t kMin = std::numeric_limits<LONG>::min();
  POINTL points[2] = {{0, 0},
                      {static_cast<LONG>(std::clamp(x, kMin, kMax)),
                       static_cast<LONG>(std::clamp(y, kMin, kMax))}};
  if (!XFORMOBJ_bApplyXform(xform, mode, 2, points, points)) return false;
  out->x = std::int64_t{points[1].x} - points[0].x;
  out->y = std::int64_t{points[1].y} - points[0].y;
  return true;
}

std::int64_t Length(const Vector& v) { return IntegerHypot(v.x, v.y); }

// Length of the transformed vector (x, y) in 28.4 units, or -1.
std::int64_t TransformedLength(XFORMOBJ* xform, std::int64_t x, std::int64_t y) {
  Vector v;
  return TransformVector(xform, x, y, XF_LTOFX, &v) ? Length(v) : -1;
}

LONG ClampLong(std::int64_t v) {
  return static_cast<LONG>(std::clamp<std::int64_t>(v, std::numeric_limits<LONG>::min(),
                                                    std::numeric_limits<LONG>::max()));
}

int JobDpi(const PclPdev* pdev) {
  const int dpi = PublicDevmode(pdev)->dmPrintQuality;
  return dpi > 0 ? dpi : 300;
}

// The device font a font object stands for: its face number.
int DeviceFontOf(const PclPdev* pdev, const FONTOBJ* font) {
  if (font == nullptr || font->iFace == 0 || font->iFace > pdev->deviceFontCount) return 0;
  return static_cast<int>(font->iFace);
}

// The face name of a font's metrics narrowed to 8 bits (at most 63
// characters, zero-padded to the slot). False when the block names none.
bool NarrowFaceName(const IFIMETRICS* ifi, char (&name)[kFontNameSlot]) {
  std::memset(name, 0, sizeof(name));
  if (ifi == nullptr || ifi->dpwszFaceName <= 0) return false;
  const auto offset = static_cast<std::size_t>(ifi->dpwszFaceName);
  // The block's size bounds its strings.
  const std::size_t limit = ifi->cjThis > offset ? (ifi->cjThis - offset) / 2 : 0;
  const auto* text = reinterpret_cast<const BYTE*>(ifi) + offset;
  std::size_t length = 0;
  for (; length + 1 < kFontNameSlot && length < limit; ++length) {
    WCHAR unit;
    std::memcpy(&unit, text + 2 * length, sizeof(unit));
    if (unit == 0) break;
    name[length] = static_cast<char>(unit & 0xFF);
  }
  return length > 0;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const char* a, const char* b, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// Selection string `index` narrowed to 8 bits; its length, or -1.
int ReadSelection(const PclPdev* pdev, int index, char (&text)[kSelectionBuffer]) {
  WCHAR wide[kSelectionCapacity];
  const int length = LoadDriverString(pdev->resourceModule,
                                      kStrFontSelectionBase + static_cast<unsigned>(index), wide,
                                      kSelectionCapacity);
  if (length <= 0) return -1;
  CopyLowBytes(text, wide, kSelectionBuffer);
  return static_cast<int>(std::strlen(text));
}

// Stroke weight and style digits of a selection string: the character after
// the first "t" or "b" and after the second one, a "-" skipped.
bool StyleDigits(const char* text, char* weight, char* style) {
  char found[2] = {0, 0};
  int count = 0;
  for (const char* p = text; *p != 0 && count < 2; ++p) {
    if (*p != 't' && *p != 'b') continue;
    const char* digit = p[1] == '-' ? p + 2 : p + 1;
    found[count++] = *digit;
    if (*digit == 0) break;
  }
  if (count < 2 || found[0] < '0' || found[0] > '9' || found[1] < '0' || found[1] > '9') {
    return false;
  }
  *weight = found[0];
  *style = found[1];
  return true;
}

// One "number letter" parameter of a PCL command: the value in hundredths
// (signed, two decimals kept) and the letter ending it.
struct Parameter {
  std::int64_t hundredths = 0;
  char letter = 0;
};

// Reads a parameter at *p and moves past it; false when none is there.
bool NextParameter(const char*& p, Parameter* out) {
  const char* q = p;
  bool negative = false;
  if (*q == '+' || *q == '-') negative = *q++ == '-';
  std::int64_t whole = 0;
  int digits = 0;
  for (; *q >= '0' && *q <= '9'; ++q, ++digits) {
    if (whole < 100000000) whole = whole * 10 + (*q - '0');
  }
  std::int64_t fraction = 0;
  if (*q == '.') {
    ++q;
    for (int place = 0; *q >= '0' && *q <= '9'; ++q, ++place, ++digits) {
      if (place == 0) fraction += 10 * (*q - '0');
      if (place == 1) fraction += *q - '0';
    }
  }
  const bool letter = (*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z');
  if (digits == 0 || !letter) return false;
  out->hundredths = (whole * 100 + fraction) * (negative ? -1 : 1);
  out->letter = *q;
  p = q + 1;
  return true;
}

// What a selection string tells the printer, read back for the text state.
struct Selection {
  std::int32_t symbolSet = 0;
  std::int32_t typeface = 0;
  std::int32_t strokeWeight = 0;
  std::int32_t style = 0;
  std::int64_t height = -1;   // "v", hundredths
  std::int64_t pitch = -1;    // "h", hundredths
  std::int64_t spacing = -1;  // "P": 0 fixed, 1 proportional
  std::size_t setStart = 0;   // the symbol set's characters in the string
  std::size_t setLength = 0;
};

// Parses ESC "(" set ESC "(s" characteristics.
bool ParseSelection(const char* text, Selection* out) {
  if (text[0] != kEsc || text[1] != '(') return false;
  const char* p = text + 2;
  Parameter set;
  if (!NextParameter(p, &set) || set.hundredths % 100 != 0 || set.hundredths < 0) return false;
  out->symbolSet = static_cast<std::int32_t>(set.hundredths / 100 * 32 + (set.letter - 64));
  out->setStart = 2;
  out->setLength = static_cast<std::size_t>(p - text) - 2;
  const char* second = std::strstr(p, "\x1B(s");
  if (second == nullptr) return true;
  p = second + 3;
  Parameter parameter;
  while (NextParameter(p, &parameter)) {
    const auto whole = static_cast<std::int32_t>(parameter.hundredths / 100);
    switch (parameter.letter | 0x20) {
      case 't': out->typeface = whole; break;
      case 'b': out->strokeWeight = whole; break;
      case 's': out->style = whole; break;
      case 'v': out->height = parameter.hundredths; break;
      case 'h': out->pitch = parameter.hundredths; break;
      case 'p': out->spacing = whole; break;
      default: break;
    }
    if (parameter.letter >= 'A' && parameter.letter <= 'Z') break;  // the command ends
  }
  return true;
}

// Width in 28.4 pixels of the average character of the run's font: from the
// font object's metrics and transform, or else the device font's own
// metrics at the run height.
std::int64_t AverageWidth(const PclPdev* pdev, int index, int heightPixels, FONTOBJ* font) {
  if (font != nullptr) {
    const IFIMETRICS* ifi = FONTOBJ_pifi(font);
    XFORMOBJ* xform = FONTOBJ_pxoGetXform(font);
    if (ifi != nullptr && xform != nullptr && ifi->fwdAveCharWidth > 0) {
      const std::int64_t length = TransformedLength(xform, ifi->fwdAveCharWidth, 0);
      if (length > 0) return length;
    }
  }
  const IFIMETRICS* own = DeviceFontMetrics(pdev, index);
  if (own == nullptr || own->fwdUnitsPerEm <= 0 || heightPixels <= 0) return 0;
  return std::int64_t{own->fwdAveCharWidth} * heightPixels * 16 / own->fwdUnitsPerEm;
}

void FillGlyphData(XFORMOBJ* xform, const IFIMETRICS* ifi, const BYTE* resource, HGLYPH hg,
                   GLYPHDATA* pgd, bool* ok) {
  Vector top, bottom, base;
  if (!TransformVector(xform, 0, ifi->rclFontBox.top, XF_LTOFX, &top) ||
      !TransformVector(xform, 0, ifi->rclFontBox.bottom, XF_LTOFX, &bottom) ||
      !TransformVector(xform, 4096, 0, XF_LTOFX, &base)) {
    *ok = false;
    return;
  }
  const std::int64_t ascent = ifi->rclFontBox.top < 0 ? -Length(top) : Length(top);
  const std::int64_t descent = ifi->rclFontBox.bottom < 0 ? -Length(bottom) : Length(bottom);
  const std::int64_t width = hg < 256 ? DeviceFontWidth(resource, static_cast<BYTE>(hg)) : 0;
  const std::int64_t advance = Round28_4((Length(base) * width) >> 12);
  *pgd = GLYPHDATA{};
  pgd->hg = hg;
  pgd->fxD = ClampLong(advance);
  pgd->fxA = 0;
  pgd->fxAB = pgd->fxD;
  pgd->fxInkTop = ClampLong(Round28_4(ascent));
  pgd->fxInkBottom = ClampLong(Round28_4(descent));
  // The advance vector in 32.32 pixels from its 28.4 value.
  pgd->ptqD.x = std::int64_t{ClampLong(Round28_4((base.x * width) >> 12))} * (std::int64_t{1} << 28);
  pgd->ptqD.y = std::int64_t{ClampLong(Round28_4((base.y * width) >> 12))} * (std::int64_t{1} << 28);
  *ok = true;
}

bool FillMaxExtents(XFORMOBJ* xform, const IFIMETRICS* ifi, FD_DEVICEMETRICS* out) {
  Vector base, side, maxWidth, ascender, descender, underline, strikeOut, thickness;
  const bool fixedPitch = (ifi->jWinPitchAndFamily & kFixedPitchBit) != 0;
  const std::int64_t units = ifi->fwdUnitsPerEm;
  const std::int64_t boxTop = ifi->rclFontBox.top;
  const std::int64_t boxBottom = std::abs(std::int64_t{ifi->rclFontBox.bottom});
  std::int64_t descent = boxBottom;
  if (fixedPitch && units - boxTop + boxBottom >= 0) descent += units - boxTop + boxBottom;
  if (!TransformVector(xform, 1000, 0, XF_LTOFX, &base) ||
      !TransformVector(xform, 0, -1000, XF_LTOFX, &side) ||
      !TransformVector(xform, ifi->fwdMaxCharInc, 0, XF_LTOFX, &maxWidth) ||
      !TransformVector(xform, 0, boxTop, XF_LTOFX, &ascender) ||
      !TransformVector(xform, 0, descent, XF_LTOFX, &descender) ||
      !TransformVector(xform, 0, -std::int64_t{ifi->fwdUnderscorePosition}, XF_LTOL, &underline) ||
      !TransformVector(xform, 0, -std::int64_t{ifi->fwdStrikeoutPosition}, XF_LTOL, &strikeOut) ||
      !TransformVector(xform, 0, ifi->fwdUnderscoreSize, XF_LTOL, &thickness)) {
    return false;
  }
  FD_DEVICEMETRICS m{};
  const std::int64_t baseLength = Length(base);
  const std::int64_t sideLength = Length(side);
  if (baseLength > 0) {
    m.pteBase = POINTE{static_cast<FLOATL>(static_cast<double>(base.x) / baseLength),
                       static_cast<FLOATL>(static_cast<double>(base.y) / baseLength)};
  }
  if (sideLength > 0) {
    m.pteSide = POINTE{static_cast<FLOATL>(static_cast<double>(side.x) / sideLength),
                       static_cast<FLOATL>(static_cast<double>(side.y) / sideLength)};
  }

  // Leadings from the height of 1000 design units in whole pixels.
  const int e = static_cast<int>(std::min<std::int64_t>(sideLength >> 4, 0x7FFFFFFF));
  const int em = static_cast<int>(units);
  int external;
  if (ifi->jWinPitchAndFamily & kFamilyBit4) {
    external = 2;
  } else if (ifi->jWinPitchAndFamily & kFamilyBit5) {
    external = e <= 12 ? 2 : (e == 13 ? 3 : 4);
  } else {
    external = MulDiv(e, 196, em);
  }
  const std::int64_t boxHeight = boxTop - ifi->rclFontBox.bottom - units;
  int internal = MulDiv(static_cast<int>(std::clamp<std::int64_t>(boxHeight, -0x7FFFFFFF, 0x7FFFFFFF)),
                        e, em);
  internal = std::max(internal, 0);
  const std::int64_t externalReported = (std::int64_t{external} - internal) * 16;
  m.lNonLinearExtLeading = fixedPitch || externalReported < 0 ? 0 : ClampLong(externalReported);
  m.lNonLinearIntLeading = fixedPitch ? 0 : ClampLong(std::int64_t{internal} * 16);

  const std::int64_t cx = Round28_4(Length(maxWidth)) >> 4;
  m.cxMax = static_cast<ULONG>(std::min<std::int64_t>(cx, 0x7FFFFFFF));
  m.lD = fixedPitch ? static_cast<LONG>(m.cxMax) : 0;
  m.fxMaxAscender = ClampLong(Round28_4(Length(ascender)));
  m.fxMaxDescender = ClampLong(Round28_4(Length(descender)));
  const std::int64_t cy = (std::int64_t{m.fxMaxAscender} + m.fxMaxDescender + 15) >> 4;
  m.cyMax = static_cast<ULONG>(std::clamp<std::int64_t>(cy, 0, 0x7FFFFFFF));
  // The largest glyph image the engine could hand over at this size.
  const std::uint64_t glyphBytes =
      offsetof(GLYPHBITS, aj) + (std::uint64_t{m.cxMax} + 7) / 8 * m.cyMax;
  m.cjGlyphMax = static_cast<ULONG>(std::min<std::uint64_t>(glyphBytes, 0xFFFFFFFF));
  m.ptlUnderline1 = POINTL{ClampLong(underline.x), ClampLong(underline.y)};
  m.ptlStrikeOut = POINTL{ClampLong(strikeOut.x), ClampLong(strikeOut.y)};
  m.ptlULThickness = POINTL{ClampLong(thickness.x), ClampLong(thickness.y)};
  m.ptlSOThickness = m.ptlULThickness;
  XFORML matrix{};
  if (XFORMOBJ_iGetXform(xform, &matrix) != DDI_ERROR) {
    m.fdxQuantized = FD_XFORM{matrix.eM11, matrix.eM12, matrix.eM21, matrix.eM22};
  }
  *out = m;
  return true;
}

}  // namespace

std::int64_t IntegerHypot(std::int64_t a, std::int64_t b) {
  // The smallest r with r * r >= a * a + b * b: what stepping up from |a| by
  // the odd numbers 2|a| + 1, 2|a| + 3, ... until they cover b * b gives,
  // without the steps.
  auto magnitude = [](std::int64_t v) {
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
    const std::uint64_t m = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    return std::min(m, kLimit);
  };
  std::uint64_t x = magnitude(a);
  std::uint64_t y = magnitude(b);
  if (x < y) std::swap(x, y);
  if (y == 0) return static_cast<std::int64_t>(x);
  using Wide = unsigned __int128;
  const Wide target = Wide{x} * x + Wide{y} * y;
  auto r = static_cast<std::uint64_t>(std::sqrt(static_cast<long double>(target)));
  r = std::max(r, x);
  while (Wide{r} * r < target) ++r;
  while (r > x && Wide{r - 1} * (r - 1) >= target) --r;
  return static_cast<std::int64_t>(r);
}

int PointSizeHundredths(int heightPixels, int dpi) {
  if (heightPixels <= 0 || dpi <= 0) return 0;
  const std::int64_t p = std::int64_t{heightPixels} * 7200 / dpi;
  const std::int64_t r = p % 25;
  // At 600 dpi the printer's sizes come in quarter points: round to the
  // nearest; elsewhere round down unless nearly at the next quarter.
  const bool up = dpi == 600 ? r > 12 : r >= 20;
  const std::int64_t rounded = up ? p + 25 - r : p - r;
  return static_cast<int>(std::min<std::int64_t>(rounded, std::numeric_limits<int>::max()));
}

int FormatHundredths(int hundredths, char* text) {
  int length = 0;
  std::int64_t value = hundredths;
  if (value < 0) {
    text[length++] = '-';
    value = -value;
  }
  length += IntToDecimal(static_cast<std::int32_t>(value / 100), text + length);
  text[length++] = '.';
  length += TwoDigits(static_cast<int>(value % 100), text + length);
  text[length] = '\0';
  return length;
}

int FindDeviceFont(PclPdev* pdev, FONTOBJ* font) {
  if (!IsValidPdev(pdev) || font == nullptr || pdev->fontNames == nullptr) return 0;
  char face[kFontNameSlot];
  if (!NarrowFaceName(FONTOBJ_pifi(font), face)) return 0;
  const std::size_t faceLength = strnlen(face, kFontNameSlot);
  const bool italic = (font->flFontType & FO_SIM_ITALIC) != 0;
  const bool bold = (font->flFontType & FO_SIM_BOLD) != 0;
  for (std::uint32_t i = 0; i < pdev->deviceFontCount; ++i) {
    const char* slot = pdev->fontNames[i];
    // The slot's name up to and including its first space: "Arial Bold"
    // keys on "Arial ", so the plain name "Arial" does not match it.
    std::size_t key = strnlen(slot, kFontNameSlot);
    if (const void* space = std::memchr(slot, ' ', key)) {
      key = static_cast<std::size_t>(static_cast<const char*>(space) - slot) + 1;
    }
    if (!EqualNoCase(face, slot, std::max(faceLength, key))) continue;
    const int index = static_cast<int>(i + 1);
    if (!italic && !bold) return index;
    char text[kSelectionBuffer];
    char weight = 0, style = 0;
    if (ReadSelection(pdev, index, text) < 0 || !StyleDigits(text, &weight, &style)) continue;
    const bool slanted = style != '0';
    const bool heavy = weight != '0';
    if (italic && bold ? slanted && heavy : (italic ? slanted && !heavy : heavy && !slanted)) {
      return index;
    }
  }
  return 0;
}

BOOL SelectDeviceFont(PclPdev* pdev, int index, int heightPixels, FONTOBJ* font) {
  if (!IsValidPdev(pdev) || DeviceFontResource(pdev, index) == nullptr) return FALSE;
  HpglState& state = pdev->hpglState;
  // The same font at the same size is in force unless the run asks for the
  // other Latin set (East European text takes Latin 2).
  const IFIMETRICS* ifi = font != nullptr ? FONTOBJ_pifi(font) : nullptr;
  const bool latin2 = ifi != nullptr && ifi->jWinCharSet == 238;
  if (state.lastFontIndex == index && state.lastFontHeight == heightPixels &&
      !(latin2 && state.text.symbolSet == 629) && !(!latin2 && state.text.symbolSet == 293)) {
    return TRUE;
  }

  char text[kSelectionBuffer];
  const int length = ReadSelection(pdev, index, text);
  if (length < 0) return FALSE;

  // The size in place of its placeholder.
  std::uint8_t sizeKind = 0;
  std::int64_t sizeValue = 0;
  bool scalable = false;
  if (char* mark = std::strchr(text, '#')) {
    const int dpi = JobDpi(pdev);
    std::size_t placeholder = 0;
    if (std::strncmp(mark, "#HEIGHT", 7) == 0) {
      placeholder = 7;
      sizeKind = 1;
      sizeValue = PointSizeHundredths(heightPixels, dpi);
    } else if (std::strncmp(mark, "#PITCH", 6) == 0) {
      placeholder = 6;
      sizeKind = 2;
      const std::int64_t width = AverageWidth(pdev, index, heightPixels, font);
      if (width <= 0) return FALSE;
      sizeValue = std::min<std::int64_t>(std::int64_t{dpi} * 100 * 16 / width, 99999999);
    } else {
      return FALSE;  // a placeholder the printer would take literally
    }
    char size[16];
    const int sizeLength = FormatHundredths(static_cast<int>(sizeValue), size);
    const std::size_t at = static_cast<std::size_t>(mark - text);
    const std::size_t tail = static_cast<std::size_t>(length) - at - placeholder;
    std::memmove(text + at + sizeLength, mark + placeholder, tail + 1);
    std::memcpy(text + at, size, static_cast<std::size_t>(sizeLength));
    scalable = true;
  }

  Selection selection;
  if (!ParseSelection(text, &selection)) return FALSE;
  // East European text asks for the Latin 2 set in place of Windows Latin 1.
  if (selection.symbolSet == 629 && latin2 && selection.setLength == 3) {
    selection.symbolSet = 293;
    char* set = text + selection.setStart;
    std::memmove(set + 2, set + 3, std::strlen(set + 3) + 1);
    set[0] = '9';
    set[1] = 'E';
  }
  if (sizeKind == 0) {
    // A fixed size: the pitch for a fixed-spaced font, the height otherwise.
    if (selection.spacing == 0 && selection.pitch >= 0) {
      sizeKind = 2;
      sizeValue = selection.pitch;
    } else if (selection.height >= 0) {
      sizeKind = 1;
      sizeValue = selection.height;
    }
  }

  LeaveHpgl2(pdev);
  // Resident fonts are printed along the horizontal text path.
  if (state.text.verticalPath != 0) {
    WriteText(pdev, "\x1b&c0T");
    state.text.verticalPath = 0;
  }
  const int written = WriteBytes(pdev, text, static_cast<std::uint32_t>(std::strlen(text)));
  state.lastFontIndex = index;
  state.lastFontHeight = heightPixels;
  TextState& t = state.text;
  t.sizeKind = sizeKind;
  t.sizeValue = static_cast<std::int32_t>(sizeValue);
  t.symbolSet = selection.symbolSet;
  t.typeface = selection.typeface;
  t.strokeWeight = selection.strokeWeight;
  t.style = selection.style;
  t.scalable = scalable ? 1 : 0;
  t.labelFontState = 1;
  // The printer has one current font: a soft font must be selected anew.
  t.softFontId = 0;
  t.softFontHeight = 0;
  return written != 0 ? TRUE : FALSE;
}

// ---- the engine's font queries ---------------------------------------------------------

IFIMETRICS* DrvQueryFont(DHPDEV dhpdev, ULONG_PTR, ULONG iFace, ULONG_PTR*) {
  const PclPdev* pdev = PdevFrom(dhpdev);
  if (pdev == nullptr || iFace > pdev->deviceFontCount) return nullptr;
  // The block lives in the module's resources; the engine only reads it.
  return const_cast<IFIMETRICS*>(DeviceFontMetrics(pdev, static_cast<int>(iFace)));
}

PVOID DrvQueryFontTree(DHPDEV dhpdev, ULONG_PTR, ULONG iFace, ULONG iMode, ULONG_PTR*) {
  const PclPdev* pdev = PdevFrom(dhpdev);
  if (pdev == nullptr || iFace > pdev->deviceFontCount) return nullptr;
  const BYTE* resource = DeviceFontResource(pdev, static_cast<int>(iFace));
  if (resource == nullptr) return nullptr;
  switch (iMode) {
    case QFT_GLYPHSET:
      return ModuleGlyphSet();
    case QFT_KERNPAIRS:
      if (kvset::LoadU32LE(resource + kFontOffKernCount) == 0) return nullptr;
      return const_cast<BYTE*>(resource + kvset::LoadU32LE(resource + kFontOffKernPairs));
    default:
      return nullptr;
  }
}

LONG DrvQueryFontData(DHPDEV dhpdev, FONTOBJ* pfo, ULONG iMode, HGLYPH hg, GLYPHDATA* pgd,
                      PVOID pv, ULONG cjSize) {
  constexpr auto kError = static_cast<LONG>(FD_ERROR);
  const PclPdev* pdev = PdevFrom(dhpdev);
  if (pdev == nullptr || pfo == nullptr) return kError;
  const int index = DeviceFontOf(pdev, pfo);
  const BYTE* resource = DeviceFontResource(pdev, index);
  const IFIMETRICS* ifi = DeviceFontMetrics(pdev, index);
  XFORMOBJ* xform = FONTOBJ_pxoGetXform(pfo);
  if (resource == nullptr || ifi == nullptr || xform == nullptr) return kError;
  switch (iMode) {
    case QFD_GLYPHANDBITMAP: {
      if (pgd == nullptr) return 0;
      GLYPHDATA data;
      bool ok = false;
      FillGlyphData(xform, ifi, resource, hg, &data, &ok);
      if (!ok) return kError;
      *pgd = data;
      return 0;  // the engine renders the glyph images itself
    }
    case QFD_MAXEXTENTS: {
      constexpr auto kSize = static_cast<LONG>(sizeof(FD_DEVICEMETRICS));
      if (pv == nullptr) return kSize;
      if (cjSize < sizeof(FD_DEVICEMETRICS)) return kError;
      FD_DEVICEMETRICS metrics;
      if (!FillMaxExtents(xform, ifi, &metrics)) return kError;
      std::memcpy(pv, &metrics, sizeof(metrics));
      return kSize;
    }
    default:
      return kError;
  }
}

BOOL DrvQueryAdvanceWidths(DHPDEV dhpdev, FONTOBJ* pfo, ULONG iMode, HGLYPH* phg, PVOID pvWidths,
                           ULONG cGlyphs) {
  const PclPdev* pdev = PdevFrom(dhpdev);
  if (pdev == nullptr) return static_cast<BOOL>(DDI_ERROR);
  if (iMode != QAW_GETWIDTHS && iMode != QAW_GETEASYWIDTHS) return FALSE;
  if (pfo == nullptr || (cGlyphs != 0 && (phg == nullptr || pvWidths == nullptr))) return FALSE;
  const BYTE* resource = DeviceFontResource(pdev, DeviceFontOf(pdev, pfo));
  if (resource == nullptr) return FALSE;
  const std::int64_t scale = TransformedLength(FONTOBJ_pxoGetXform(pfo), 4096, 0);
  if (scale < 0) return FALSE;
  auto* out = static_cast<BYTE*>(pvWidths);
  for (ULONG i = 0; i < cGlyphs; ++i) {
    const std::int64_t width = phg[i] < 256 ? DeviceFontWidth(resource, static_cast<BYTE>(phg[i])) : 0;
    const auto value = static_cast<USHORT>(std::min<std::int64_t>(Round28_4((width * scale) >> 12), 0xFFFF));
    std::memcpy(out + 2 * std::size_t{i}, &value, sizeof(value));
  }
  return TRUE;
}

ULONG DrvGetGlyphMode(DHPDEV, FONTOBJ*) { return FO_GLYPHBITS; }

}  // namespace kv5e
