#include "pclcore/5e/text_output.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "kvplat/engine_objects.h"
#include "kvplat/kernel.h"
#include "pclcore/5e/brushes.h"
#include "pclcore/5e/device_fonts.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/hpgl_paths.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/raster_compression.h"
#include "pclcore/5e/raster_images.h"
#include "pclcore/5e/soft_fonts.h"

namespace kv5e {
namespace {

constexpr auto kTrueTypeDownload = kvset::DmField("trueTypeDownload");
constexpr auto kTrueTypeMethod = kvset::DmField("trueTypeMethod");
constexpr auto kAbsolutePositioning = kvset::DmField("absolutePositioning");

constexpr ULONG kTextTag = 0x74786554;  // "Text"
constexpr char kEtx = '\x03';
// The longest string we take on: its buffers stay far below 4 GB.
constexpr std::size_t kMaxRunGlyphs = std::size_t{1} << 26;
constexpr std::uint32_t kWhite = 0xFFFFFF;

bool IsDoubleByteSet(int charSet) {
  return charSet == 128 || charSet == 129 || charSet == 134 || charSet == 136;
}

// The parsing method is remembered as the character set plus one, so that
// the zero the page reset leaves means "not sent on this page": the printer
// keeps the method of an earlier page, which may be another one.
std::uint16_t SentMark(std::uint8_t charSet) { return static_cast<std::uint16_t>(charSet + 1); }

int JobDpi(const PclPdev* pdev) {
  const int dpi = PublicDevmode(pdev)->dmPrintQuality;
  return dpi > 0 ? dpi : 300;
}

bool ForcedColour(const PclPdev* pdev) { return (pdev->flags & kFlagForcedColour) != 0; }
bool Aborted(const PclPdev* pdev) { return (pdev->flags & kFlagAborted) != 0; }

std::int32_t Clamp32(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}
std::int16_t Clamp16(std::int64_t v) {
  return static_cast<std::int16_t>(std::clamp<std::int64_t>(v, INT16_MIN, INT16_MAX));
}

bool Contains(const RECTL& outer, const RECTL& inner) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

bool SameRect(const RECTL& a, const RECTL& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// A short command put together on the stack and written at once.
class Line {
 public:
  void Text(std::string_view text) {
    const std::size_t n = std::min(text.size(), sizeof(buffer_) - fill_);
    std::memcpy(buffer_ + fill_, text.data(), n);
    fill_ += n;
  }
  void Byte(BYTE b) {
    if (fill_ < sizeof(buffer_)) buffer_[fill_++] = static_cast<char>(b);
  }
  void Number(std::int64_t value) {
    if (fill_ + 12 > sizeof(buffer_)) return;
    fill_ += static_cast<std::size_t>(IntToDecimal(Clamp32(value), buffer_ + fill_));
  }
  int Send(PclPdev* pdev) {
    const int ok = WriteBytes(pdev, buffer_, static_cast<std::uint32_t>(fill_));
    fill_ = 0;
    return ok;
  }

 private:
  char buffer_[96];
  std::size_t fill_ = 0;
};

// Characters of a run: on the stack up to one chunk, from the heap beyond.
class CodeBuffer {
 public:
  CodeBuffer() = default;
  CodeBuffer(const CodeBuffer&) = delete;
  CodeBuffer& operator=(const CodeBuffer&) = delete;
  ~CodeBuffer() { EngFreeMem(heap_); }
  bool Reserve(std::size_t count) {
    if (count <= kTextChunk) {
      data_ = local_;
    } else {
      if (count > kMaxRunGlyphs) return false;
      heap_ = static_cast<WCHAR*>(EngAllocMem(0, static_cast<ULONG>(count * sizeof(WCHAR)), kTextTag));
      if (heap_ == nullptr) return false;
      data_ = heap_;
    }
    size_ = count;
    return true;
  }
  WCHAR* data() { return data_; }
  std::span<WCHAR> span() { return {data_, size_}; }

 private:
  WCHAR local_[kTextChunk];
  WCHAR* heap_ = nullptr;
  WCHAR* data_ = local_;
  std::size_t size_ = 0;
};

// Glyph positions enumerated from a string that does not hand them out whole.
class GlyphBuffer {
 public:
  GlyphBuffer() = default;
  GlyphBuffer(const GlyphBuffer&) = delete;
  GlyphBuffer& operator=(const GlyphBuffer&) = delete;
  ~GlyphBuffer() { EngFreeMem(data_); }
  // FALSE when memory runs out.
  bool Collect(STROBJ* string, std::span<const GLYPHPOS>* glyphs) {
    const std::size_t count = string->cGlyphs;
    if (count > kMaxRunGlyphs) return false;
    data_ = static_cast<GLYPHPOS*>(
        EngAllocMem(0, static_cast<ULONG>(count * sizeof(GLYPHPOS)), kTextTag));
    if (data_ == nullptr) return false;
    std::size_t got = 0;
    STROBJ_vEnumStart(string);
    bool more = true;
    while (more && got < count) {
      ULONG batch = 0;
      GLYPHPOS* positions = nullptr;
      more = STROBJ_bEnum(string, &batch, &positions) != FALSE;
      if (positions == nullptr || batch == 0) break;
      const std::size_t take = std::min<std::size_t>(batch, count - got);
      std::memcpy(data_ + got, positions, take * sizeof(GLYPHPOS));
      got += take;
    }
    *glyphs = std::span<const GLYPHPOS>(data_, got);
    return true;
  }

 private:
  GLYPHPOS* data_ = nullptr;
};

// Calls `f` with each rectangle of a complex clip until it returns false.
template <class F>
bool ForEachClipRect(CLIPOBJ* clip, F&& f) {
  CLIPOBJ_cEnumStart(clip, FALSE, CT_RECTANGLES, CD_RIGHTDOWN, 0);
  bool more = true;
  while (more) {
    ENUMRECTS batch;
    batch.c = 0;
    more = CLIPOBJ_bEnum(clip, sizeof(batch), reinterpret_cast<ULONG*>(&batch)) != FALSE;
    if (batch.c != 0 && !f(batch.arcl[0])) return false;
  }
  return true;
}

const IFIMETRICS* MetricsOf(const PclPdev* pdev, FONTOBJ* font) {
  if (font == nullptr) return nullptr;
  if (font->flFontType & FO_TYPE_DEVICE) {
    return DeviceFontMetrics(pdev, static_cast<int>(font->iFace));
  }
  return FONTOBJ_pifi(font);
}

// The HP-GL/2 window around the visible part of a run, unless it is the one
// in force.
void SetTextWindow(PclPdev* pdev, const RECTL& window) {
  HpglState& state = pdev->hpglState;
  if (state.bClipWindowOn && SameRect(state.rclClipWindow, window)) return;
  EnterHpgl2(pdev);
  const std::int64_t cyPage = pdev->surfaceGeometry.printableHeight;
  WriteFormatted(pdev, "IW%d,%d,%d,%d", window.left, cyPage - window.bottom, window.right,
                 cyPage - window.top);
  state.rclClipWindow = window;
  state.bClipWindowOn = 1;
}

// ---- graphics text ---------------------------------------------------------------------

// One glyph bitmap as a raster image at the glyph position, cut to the page
// and to `clip` (right and bottom exclusive; none: the page only).
void SendGlyph(PclPdev* pdev, const GLYPHBITS* bits, POINTL at, const RECTL* clip) {
  const std::int64_t cx = bits->sizlBitmap.cx, cy = bits->sizlBitmap.cy;
  if (cx <= 0 || cy <= 0) return;
  const std::int64_t left = std::int64_t{at.x} + bits->ptlOrigin.x;
  const std::int64_t top = std::int64_t{at.y} + bits->ptlOrigin.y;
  const std::int64_t pageRight = std::int64_t{pdev->cxSurface} - 1;
  const std::int64_t pageBottom = std::int64_t{pdev->cySurface} - 1;
  if (left + cx - 1 < 0 || left > pageRight || top + cy - 1 < 0 || top > pageBottom) return;

  std::int64_t startCol = 0, endCol = cx, startRow = 0, endRow = cy;
  if (clip != nullptr) {
    if (left >= clip->right || left + cx <= clip->left || top >= clip->bottom ||
        top + cy <= clip->top) {
      return;
    }
    // Cut on the left in whole bytes, so that rows go out as they are.
    if (clip->left > left) startCol = (clip->left - left + 7) / 8 * 8;
    endCol = std::min<std::int64_t>(endCol, clip->right - left);
    startRow = std::max<std::int64_t>(startRow, clip->top - top);
    endRow = std::min<std::int64_t>(endRow, clip->bottom - top);
  }
  // Off-page pixels on the left are removed exactly: the glyph starts at x 0.
  if (left + startCol < 0) startCol = -left;
  endCol = std::min(endCol, pageRight + 1 - left);
  startRow = std::max(startRow, -top);
  endRow = std::min(endRow, pageBottom + 1 - top);
  if (startCol >= endCol || startRow >= endRow) return;

  const std::int64_t width = endCol - startCol, height = endRow - startRow;
  const std::size_t stride = static_cast<std::size_t>((cx + 7) / 8);
  const std::size_t rowBytes = static_cast<std::size_t>((width + 7) / 8);
  const std::size_t firstByte = static_cast<std::size_t>(startCol / 8);
  const int shift = static_cast<int>(startCol % 8);

  MovePclCursor(pdev, Clamp32(left + startCol), Clamp32(top + startRow));
  WriteFormatted(pdev, "\x1B*r%dt%dS\x1B*r1A", height, width);
  // Every row of the glyph carries the same count: its command is made once.
  char rowCommand[32];
  const FormatArg rowArgs[1] = {FormatArg(static_cast<std::int64_t>(rowBytes))};
  const int rowCommandLength = FormatCommand(rowCommand, sizeof(rowCommand), "\x1B*b%dW", rowArgs);
  BYTE shifted[256];
  for (std::int64_t r = startRow; r < endRow; ++r) {
    const BYTE* row = bits->aj + static_cast<std::size_t>(r) * stride;
    WriteBytes(pdev, rowCommand, static_cast<std::uint32_t>(std::max(rowCommandLength, 0)));
    if (shift == 0) {
      WriteBytes(pdev, row + firstByte, static_cast<std::uint32_t>(rowBytes));
      continue;
    }
    for (std::size_t done = 0; done < rowBytes;) {
      const std::size_t piece = std::min(rowBytes - done, sizeof(shifted));
      for (std::size_t k = 0; k < piece; ++k) {
        const std::size_t b = firstByte + done + k;
        const unsigned high = row[b];
        const unsigned low = b + 1 < stride ? row[b + 1] : 0u;
        shifted[k] = static_cast<BYTE>((high << shift) | (low >> (8 - shift)));
      }
      WriteBytes(pdev, shifted, static_cast<std::uint32_t>(piece));
      done += piece;
    }
  }
  WriteText(pdev, "\x1B*rC");
}

// The string's glyphs, each with its bitmap, cut to `clip` (none: the page).
bool DrawGlyphs(PclPdev* pdev, STROBJ* string, FONTOBJ* font, const RECTL* clip) {
  STROBJ_vEnumStart(string);
  bool more = true;
  while (more) {
    ULONG count = 0;
    GLYPHPOS* batch = nullptr;
    more = STROBJ_bEnum(string, &count, &batch) != FALSE;
    if (batch == nullptr || count == 0) break;
    for (ULONG i = 0; i < count; ++i) {
      const GLYPHPOS& gp = batch[i];
      const GLYPHBITS* bits = gp.pgdf != nullptr ? gp.pgdf->pgb : nullptr;
      if (bits == nullptr && font != nullptr) {
        HGLYPH hg = gp.hg;
        PVOID data = nullptr;
        if (FONTOBJ_cGetGlyphs(font, FO_GLYPHBITS, 1, &hg, &data) == 1 && data != nullptr) {
          bits = static_cast<GLYPHDATA*>(data)->gdf.pgb;
        }
      }
      if (bits != nullptr) SendGlyph(pdev, bits, gp.ptl, clip);
    }
    if (Aborted(pdev)) return false;
  }
  return true;
}

// ---- text runs ---------------------------------------------------------------------------

// The writing axis of a run: positions are compared as u = sign x (or sign y),
// growing the way the text moves, so that the near edge is below the far one.
struct Axis {
  bool alongX = true;  // x at 0 and 180 degrees, y at 90 and 270
  int sign = 1;
  std::int64_t nearU = 0, farU = 0, extent = 0;
  // The far edge is one past the last visible dot (a right or bottom side of
  // the background or the clip), not the last dot itself.
  bool farExclusive = false;

  std::int64_t U(std::int64_t x, std::int64_t y) const { return sign * (alongX ? x : y); }
  bool Beyond(std::int64_t u) const { return farExclusive ? u >= farU : u > farU; }
};

// Angles that are not a multiple of 90 degrees use the nearest axis.
Axis AxisFor(int angle, const RECTL& v, unsigned cut) {
  Axis axis;
  const int axisAngle = (angle + 45) / 90 % 4 * 90;
  axis.alongX = axisAngle == 0 || axisAngle == 180;
  axis.sign = axisAngle == 0 || axisAngle == 270 ? 1 : -1;
  const std::int64_t low = axis.alongX ? v.left : v.top;
  const std::int64_t high = axis.alongX ? v.right : v.bottom;
  axis.extent = high - low;
  if (axis.sign > 0) {
    axis.nearU = low;
    axis.farU = high;
    // Right and bottom sides come from the background or the clip (exclusive)
    // unless the page cut them (its last dot).
    axis.farExclusive = !(cut & (axis.alongX ? 32u : 128u));
  } else {
    axis.nearU = -high;
    axis.farU = -low;
  }
  return axis;
}

// The advance of the run's last character: its glyph bitmap's extent along
// the writing direction, or the font's widest advance.
void LastAdvance(FONTOBJ* font, const GLYPHPOS& glyph, int angle, std::int64_t* dx,
                 std::int64_t* dy) {
  std::int64_t w = font->cxMax, h = font->cxMax;
  HGLYPH hg = glyph.hg;
  PVOID data = nullptr;
  if (FONTOBJ_cGetGlyphs(font, FO_GLYPHBITS, 1, &hg, &data) == 1 && data != nullptr) {
    const GLYPHBITS* bits = static_cast<GLYPHDATA*>(data)->gdf.pgb;
    if (bits != nullptr) {
      w = bits->sizlBitmap.cx;
      h = bits->sizlBitmap.cy;
    }
  }
  // Along the writing direction, as a fixed increment goes (y grows downwards).
  switch (angle) {
    case 0: *dx = w, *dy = 0; return;
    case 90: *dx = 0, *dy = -h; return;
    case 180: *dx = -w, *dy = 0; return;
    case 270: *dx = 0, *dy = h; return;
    default: {
      int run = 0, rise = 0;
      DirectionVector(angle * 10, static_cast<int>(std::min<std::int64_t>(w, INT16_MAX)), &run,
                      &rise);
      *dx = run, *dy = -rise;
    }
  }
}

// The fixed advance of a run with a character increment.
void FixedAdvance(std::int64_t increment, int angle, std::int64_t* dx, std::int64_t* dy) {
  switch (angle) {
    case 0: *dx = increment, *dy = 0; return;
    case 90: *dx = 0, *dy = -increment; return;
    case 180: *dx = -increment, *dy = 0; return;
    case 270: *dx = 0, *dy = increment; return;
    default: {
      int run = 0, rise = 0;
      DirectionVector(angle * 10, static_cast<int>(increment), &run, &rise);
      *dx = run, *dy = -rise;
    }
  }
}

// The two-byte (or one-byte) code of a character of a 16-bit run.
std::uint32_t WideCode(const TextState& text, WCHAR code) {
  if (text.rawCodes) return code;
  char bytes[2] = {0, 0};
  ULONG got = 0;
  EngUnicodeToMultiByteN(bytes, 2, &got, &code, sizeof(WCHAR));
  if (got == 2) {
    return (std::uint32_t{static_cast<BYTE>(bytes[0])} << 8) | static_cast<BYTE>(bytes[1]);
  }
  return got == 1 ? static_cast<BYTE>(bytes[0]) : static_cast<std::uint32_t>('?');
}

// What selects the font on the printer; a change means the label font must
// be defined again.
struct FontSelection {
  std::int32_t lastFontIndex, lastFontHeight, softFontId, softFontHeight;
  std::int32_t sizeValue, symbolSet, typeface, strokeWeight, style;
  std::uint8_t sizeKind, scalable;
  bool operator==(const FontSelection&) const = default;
};

FontSelection SelectionOf(const HpglState& state) {
  const TextState& t = state.text;
  return FontSelection{state.lastFontIndex, state.lastFontHeight, t.softFontId, t.softFontHeight,
                       t.sizeValue,         t.symbolSet,          t.typeface,   t.strokeWeight,
                       t.style,             t.sizeKind,           t.scalable};
}

}  // namespace

std::uint8_t TextRop(const PclPdev* pdev, MIX mix) {
  if (ForcedColour(pdev)) return kForcedColourRop;
  return MixToMergeRop(static_cast<MIX>((mix & 0x0F) * 0x0101));
}

void FillTextRectangle(PclPdev* pdev, MIX mix, BRUSHOBJ* brush, const RECTL& rect, CLIPOBJ* clip,
                       bool setUp) {
  if (setUp) {
    SetPclPrintModel(pdev, 0, 1, TextRop(pdev, mix));
    SelectPclBrush(pdev, brush);
  }
  // Ordered and cut to the page: nothing is filled off it.
  const RECTL r{std::max<LONG>(std::min(rect.left, rect.right), 0),
                std::max<LONG>(std::min(rect.top, rect.bottom), 0),
                static_cast<LONG>(std::min<std::int64_t>(std::max(rect.left, rect.right),
                                                         pdev->cxSurface)),
                static_cast<LONG>(std::min<std::int64_t>(std::max(rect.top, rect.bottom),
                                                         pdev->cySurface))};
  auto fill = [&](const RECTL& part) {
    const RECTL p{std::max(r.left, part.left), std::max(r.top, part.top),
                  std::min(r.right, part.right), std::min(r.bottom, part.bottom)};
    if (p.left >= p.right || p.top >= p.bottom) return true;
    MovePclCursor(pdev, p.left, p.top);
    WriteFormatted(pdev, "\x1B*c%da%db5P", std::int64_t{p.right} - p.left + 1,
                   std::int64_t{p.bottom} - p.top + 1);
    return !Aborted(pdev);
  };
  if (clip != nullptr && clip->iDComplexity == DC_COMPLEX) {
    ForEachClipRect(clip, fill);
  } else if (clip != nullptr && clip->iDComplexity == DC_RECT) {
    fill(clip->rclBounds);
  } else {
    fill(r);
  }
}

BOOL DrawGraphicsText(PclPdev* pdev, STROBJ* string, FONTOBJ* font, CLIPOBJ* clip,
                      BRUSHOBJ* fore, BRUSHOBJ* opaque, bool opaqueRect, MIX mix) {
  SetPclPrintModel(pdev, 0, 1, TextRop(pdev, mix));
  // White on white without a background: the text still goes down (as the
  // lightest gray), so that it shows over what is under it.
  BRUSHOBJ lighter;
  BRUSHOBJ* brush = fore;
  if (!opaqueRect && fore != nullptr && opaque != nullptr && fore->iSolidColor == kWhite &&
      opaque->iSolidColor == kWhite) {
    lighter = *fore;
    lighter.iSolidColor &= ~1u;
    brush = &lighter;
  }
  SelectPclBrush(pdev, brush);

  if (clip != nullptr && clip->iDComplexity == DC_COMPLEX) {
    ForEachClipRect(clip, [&](const RECTL& r) { return DrawGlyphs(pdev, string, font, &r); });
  } else if (clip != nullptr && clip->iDComplexity == DC_RECT &&
             !Contains(clip->rclBounds, string->rclBkGround)) {
    DrawGlyphs(pdev, string, font, &clip->rclBounds);
  } else {
    if (pdev->hpglState.bClipWindowOn) {
      EnterHpgl2(pdev);
      ResetClipWindow(pdev);
    }
    DrawGlyphs(pdev, string, font, nullptr);
  }
  return Aborted(pdev) ? FALSE : TRUE;
}

void WriteWideChar(PclPdev* pdev, std::uint32_t code) {
  const TextState& text = pdev->hpglState.text;
  code &= 0xFFFF;
  Line line;
  const bool singleByteCode = code >= 128 && code <= 255 && !text.notAnsi;
  if (singleByteCode) line.Text("\x1B&t0P");
  if (code < 32) line.Text("\x1B&p1X");
  if (code <= 255 && !text.rawCodes) {
    line.Byte(static_cast<BYTE>(code));
  } else {
    line.Byte(static_cast<BYTE>(code >> 8));
    line.Byte(static_cast<BYTE>(code & 0xFF));
  }
  if (singleByteCode) line.Text(text.charSet == 128 ? "\x1B&t31P" : "\x1B&t38P");
  line.Send(pdev);
}

BOOL SelectTextFont(PclPdev* pdev, FONTOBJ* font, STROBJ* string,
                    std::span<const GLYPHPOS> glyphs, std::int32_t height, std::int32_t widthKey,
                    std::span<WCHAR> codes) {
  HpglState& state = pdev->hpglState;
  TextState& text = state.text;
  const FontSelection before = SelectionOf(state);

  int number = 0;
  if (Dm(pdev, kTrueTypeDownload) == 0) {
    const bool plainScale = text.xform[0] == text.xform[3] && text.xform[1] == -text.xform[2];
    if (font->flFontType & FO_TYPE_DEVICE) {
      number = static_cast<int>(font->iFace);
    } else if (plainScale && !text.notAnsi) {
      number = FindDeviceFont(pdev, font);
    }
  }
  BOOL ok;
  if (number > 0) {
    ok = SelectDeviceFont(pdev, number, height, font);
    if (ok) {
      // The printer has one current font: the soft font must be selected again.
      text.softFontId = 0;
      text.softFontHeight = 0;
    }
  } else {
    ok = SelectSoftFont(pdev, font, glyphs, string != nullptr ? string->ulCharInc : 0, height,
                        widthKey, codes);
    if (ok) {
      text.sizeKind = 1;
      text.sizeValue = PointSizeHundredths(height, JobDpi(pdev));
      text.symbolSet = text.charSet == 128 ? 619 : text.charSet == 238 ? 293 : 629;
      state.lastFontIndex = -1;
      state.lastFontHeight = -1;
    }
  }
  if (!(SelectionOf(state) == before)) text.labelFontState = 1;
  return ok;
}

BOOL DrawTextRun(PclPdev* pdev, const TextRun& run, const RECTL* clipRect) {
  const std::size_t n = std::min(run.glyphs.size(), run.codes.size());
  if (n == 0 || run.string == nullptr || run.font == nullptr) return TRUE;
  HpglState& state = pdev->hpglState;
  TextState& text = state.text;
  const bool wide = text.doubleByte || text.notAnsi;

  if (pdev->textPositions == nullptr) {
    pdev->textPositions = static_cast<std::int16_t*>(
        EngAllocMem(0, static_cast<ULONG>(kTextPositionsBytes), kTextTag));
    if (pdev->textPositions == nullptr) return FALSE;
  }
  // The font selection may rewrite the codes (raw codes): each run starts
  // from the string's own.
  CodeBuffer codes;
  if (!codes.Reserve(n)) return FALSE;
  std::memcpy(codes.data(), run.codes.data(), n * sizeof(WCHAR));

  int angle = TextAngle(pdev, run.font) % 360;
  angle = (angle + 5) / 10 * 10 % 360;

  // The visible rectangle: the background cut by the clip and the page,
  // with the sides that were cut.
  RECTL v = run.string->rclBkGround;
  unsigned cut = 0;
  if (clipRect != nullptr) {
    if (clipRect->left > v.left) v.left = clipRect->left, cut |= 1;
    if (clipRect->right < v.right) v.right = clipRect->right, cut |= 2;
    if (clipRect->top > v.top) v.top = clipRect->top, cut |= 4;
    if (clipRect->bottom < v.bottom) v.bottom = clipRect->bottom, cut |= 8;
  }
  const LONG pageRight = static_cast<LONG>(std::min<std::int64_t>(pdev->cxSurface, INT32_MAX)) - 1;
  const LONG pageBottom = static_cast<LONG>(std::min<std::int64_t>(pdev->cySurface, INT32_MAX)) - 1;
  if (v.left < 0) v.left = 0, cut |= 16;
  if (v.right > pageRight) v.right = pageRight, cut |= 32;
  if (v.top < 0) v.top = 0, cut |= 64;
  if (v.bottom > pageBottom) v.bottom = pageBottom, cut |= 128;

  const POINTL start = run.glyphs[0].ptl;
  const Axis axis = AxisFor(angle, v, cut);
  int mode;
  if (v.left >= v.right || v.top >= v.bottom || axis.Beyond(axis.U(start.x, start.y))) {
    mode = 0;
  } else if (angle == 0 || angle == 180) {
    mode = (cut & 204) ? 2 : cut ? 3 : 1;
  } else if (angle == 90 || angle == 270) {
    mode = (cut & 51) ? 2 : cut ? 3 : 1;
  } else {
    mode = 2;
  }
  if (mode == 0) return TRUE;
  if (pdev->graphicsTextOverride == 2) mode = 2;

  if (mode == 1) {
    if (state.bClipWindowOn) {
      EnterHpgl2(pdev);
      ResetClipWindow(pdev);
    }
  } else {
    SetTextWindow(pdev, v);
  }

  if (text.charSetSent != SentMark(text.charSet)) {
    LeaveHpgl2(pdev);
    WriteText(pdev, text.charSet == 128 ? "\x1B&t31P" : !wide ? "\x1B&t0P" : "\x1B&t38P");
    text.charSetSent = SentMark(text.charSet);
  }

  if (!SelectTextFont(pdev, run.font, run.string, run.glyphs.first(n), run.height, run.widthKey,
                      codes.span())) {
    return Aborted(pdev) ? FALSE : TRUE;
  }

  if (mode != 1) {
    SetLabelDirection(pdev, angle);
    if (text.labelFontState != 2) DefineLabelFont(pdev);
  }
  SelectPclBrush(pdev, run.brush);
  if (mode != 1) {
    EnterHpgl2(pdev);
    SelectHpglBrush(pdev, run.brush, nullptr, false);
  }
  SetPclPrintModel(pdev, 0, 1, TextRop(pdev, run.mix));

  const FLONG fontType = run.font->flFontType;
  if (wide && text.scalable && (fontType & (FO_SIM_BOLD | FO_SIM_ITALIC))) {
    LeaveHpgl2(pdev);
    if (fontType & FO_SIM_BOLD) WriteText(pdev, "\x1B(s3B");
    if (fontType & FO_SIM_ITALIC) WriteText(pdev, "\x1B(s1S");
  }

  const IFIMETRICS* metrics = MetricsOf(pdev, run.font);
  const bool underline = (fontType & FO_TYPE_DEVICE) && metrics != nullptr &&
                         (metrics->fsSelection & FM_SEL_UNDERSCORE);
  if (underline) {
    LeaveHpgl2(pdev);
    WriteText(pdev, "\x1B&d0D");
  }

  const bool perChar = run.string->ulCharInc == 0;
  std::int64_t fixedX = 0, fixedY = 0;
  if (!perChar) {
    FixedAdvance(std::min<std::int64_t>(run.string->ulCharInc, INT16_MAX), angle, &fixedX,
                 &fixedY);
  }
  std::int64_t originX = 0, originY = 0;
  if (Dm(pdev, kAbsolutePositioning) != 1) {
    originX = pdev->layoutCells.originX;
    originY = pdev->layoutCells.originY;
  }
  std::int16_t* const across = pdev->textPositions;  // horizontal advances
  std::int16_t* const down = pdev->textPositions + kTextChunk;  // vertical advances
  const WCHAR* const all = codes.data();

  std::int64_t x = start.x, y = start.y;
  bool pclStarted = false;    // the PCL cursor was placed for this run
  bool needMove = false;      // labels moved on without the PCL cursor
  bool previousLabel = false;
  bool labelMode16 = false;   // "LM1" written
  bool ended = false;
  BYTE narrow[kTextChunk];
  Line line;

  for (std::size_t base = 0; base < n && !ended; base += kTextChunk) {
    const std::size_t m = std::min(kTextChunk, n - base);
    for (std::size_t j = 0; j < m; ++j) {
      const std::size_t i = base + j;
      std::int64_t dx, dy;
      if (!perChar) {
        dx = fixedX, dy = fixedY;
      } else if (i + 1 < n) {
        dx = std::int64_t{run.glyphs[i + 1].ptl.x} - run.glyphs[i].ptl.x;
        dy = std::int64_t{run.glyphs[i + 1].ptl.y} - run.glyphs[i].ptl.y;
      } else {
        LastAdvance(run.font, run.glyphs[i], angle, &dx, &dy);
      }
      across[j] = Clamp16(dx);
      down[j] = Clamp16(dy);
    }
    if (!wide) {
      ULONG got = 0;
      EngUnicodeToMultiByteN(reinterpret_cast<LPSTR>(narrow), static_cast<ULONG>(m), &got,
                             const_cast<PWSTR>(all + base), static_cast<ULONG>(m * sizeof(WCHAR)));
      if (got < m) std::memset(narrow + got, '?', m - got);
    }

    bool labelInChunk = false;
    for (std::size_t j = 0; j < m; ++j) {
      const std::size_t i = base + j;
      // Positions follow the glyphs themselves, so that an advance cut to 16
      // bits moves nothing after it.
      if (perChar) x = run.glyphs[i].ptl.x, y = run.glyphs[i].ptl.y;
      const std::int64_t ax = across[j], ay = down[j];
      const std::int64_t along = axis.alongX ? ax : ay;
      const std::int64_t sideways = axis.alongX ? ay : ax;
      const std::int64_t s = axis.U(x, y), e = s + axis.sign * along;

      if (axis.Beyond(s)) {
        ended = true;
        break;
      }
      bool label;
      if (std::llabs(along) > axis.extent) {
        label = true;
      } else if (e < axis.nearU && j + 1 < m && sideways == 0) {
        x += ax, y += ay;
        continue;
      } else {
        label = false;
        if (mode != 2) {
          const std::int64_t lo = std::min(s, e), hi = std::max(s, e);
          label = (lo < axis.nearU && axis.nearU < hi) || (lo < axis.farU && axis.farU < hi) ||
                  (angle == 0 && x + ax < 0);
        }
        if (!label) {
          label = mode == 2 || labelInChunk || x < v.left || x > v.right || y < v.top ||
                  y > v.bottom;
        }
      }

      if (label) {
        if (mode == 1) {
          SetTextWindow(pdev, v);
          SelectHpglBrush(pdev, run.brush, nullptr, false);
          // The direction is cached: a run of another angle may have left
          // its own with the same font defined.
          SetLabelDirection(pdev, angle);
          if (text.labelFontState != 2) DefineLabelFont(pdev);
          mode = 3;
        }
        EnterHpgl2(pdev);
        if (!previousLabel || perChar) WritePeMove(pdev, x, y);
        if (wide) {
          if (!labelMode16) {
            WriteText(pdev, "LM1");
            labelMode16 = true;
          }
          WriteText(pdev, "LB");
          WriteWideChar(pdev, WideCode(text, all[i]));
          WriteBytes(pdev, &kEtx, 1);
        } else {
          line.Text("LB");
          line.Byte(narrow[j]);
          line.Byte(static_cast<BYTE>(kEtx));
          line.Send(pdev);
        }
        labelInChunk = true;
        previousLabel = true;
        if (!perChar) needMove = true;
      } else {
        if (!pclStarted || needMove) {
          MovePclCursor(pdev, Clamp32(x), Clamp32(y));
          pclStarted = true;
          needMove = false;
        } else {
          LeaveHpgl2(pdev);
          if (perChar) {
            const bool xOnly = axis.alongX ? ay == 0 : false;
            const bool yOnly = axis.alongX ? false : ax == 0;
            line.Text("\x1B*p");
            if (xOnly) {
              line.Number(x + originX);
              line.Text("X");
            } else if (yOnly) {
              line.Number(y + originY);
              line.Text("Y");
            } else {
              line.Number(x + originX);
              line.Text("x");
              line.Number(y + originY);
              line.Text("Y");
            }
          }
        }
        if (text.scalable && text.printDirection != angle) {
          line.Text("\x1B&a");
          line.Number(angle);
          line.Text("P");
          text.printDirection = angle;
        }
        if (wide) {
          line.Send(pdev);
          WriteWideChar(pdev, WideCode(text, all[i]));
        } else {
          if (narrow[j] < 32) line.Text("\x1B&p1X");
          line.Byte(narrow[j]);
        }
        if (text.printDirection != 0) {
          line.Text("\x1B&a0P");
          text.printDirection = 0;
        }
        line.Send(pdev);
        previousLabel = false;
      }
      x += ax, y += ay;
    }
    if (Aborted(pdev)) return FALSE;
  }

  if (underline) {
    LeaveHpgl2(pdev);
    WriteText(pdev, "\x1B&d@");
  }
  if (labelMode16) {
    EnterHpgl2(pdev);
    WriteText(pdev, "LM0");
  }
  return Aborted(pdev) ? FALSE : TRUE;
}

BOOL DrvTextOut(SURFOBJ* pso, STROBJ* pstro, FONTOBJ* pfo, CLIPOBJ* pco, RECTL* prclExtra,
                RECTL* prclOpaque, BRUSHOBJ* pboFore, BRUSHOBJ* pboOpaque, POINTL* /*pptlOrg*/,
                MIX mix) {
  if (pso == nullptr || pstro == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  PclPdev* pdev = DrawingDevice(pso);
  if (pdev == nullptr) return FALSE;
  HpglState& state = pdev->hpglState;
  TextState& text = state.text;

  // Text is drawn with PCL patterns from the solid one.
  if (state.bPclPatternSet) {
    EnterHpgl2(pdev);
    SelectGray(pdev, 0, GrayTarget::Fill);
    LeaveHpgl2(pdev);
    WriteText(pdev, "\x1B*v0T");
    state.bPclPatternSet = 0;
  }

  // The run's character set and how its codes must go out.
  const bool deviceFont = pfo != nullptr && (pfo->flFontType & FO_TYPE_DEVICE);
  const IFIMETRICS* metrics = MetricsOf(pdev, pfo);
  std::size_t count = pstro->cGlyphs;
  if (count > kMaxRunGlyphs) count = 0;
  text.charSet = metrics != nullptr ? metrics->jWinCharSet : 1;
  text.rawCodes = 0;
  text.notAnsi = 0;
  if (pfo != nullptr) {
    const FLONG type = pfo->flFontType;
    if ((pstro->flAccel & SO_GLYPHINDEX_TEXTOUT) || (type & FO_DBCS_FONT) ||
        ((type & (FO_SIM_BOLD | FO_SIM_ITALIC)) && !(type & FO_POSTSCRIPT))) {
      text.notAnsi = 1;
    }
  }
  CodeBuffer own;  // the characters when the string's own cannot be used as they are
  const WCHAR* source = pstro->pwszOrg;
  if (source == nullptr && count > 0) {
    // No text: the glyph handles stand for it.
    if (pstro->pgp == nullptr || !own.Reserve(count)) {
      count = 0;
    } else {
      for (std::size_t i = 0; i < count; ++i) own.data()[i] = static_cast<WCHAR>(pstro->pgp[i].hg);
      source = own.data();
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    WCHAR c = source[i];
    char converted[2] = {0, 0};
    ULONG got = 0;
    EngUnicodeToMultiByteN(converted, 2, &got, &c, sizeof(WCHAR));
    if (got != 1) {
      text.notAnsi = 1;
      break;
    }
    const BYTE b = static_cast<BYTE>(converted[0]);
    if (b == c) continue;
    if (deviceFont && c > 255 && b == '?') {
      if (source != own.data()) {
        if (!own.Reserve(count)) return FALSE;
        std::memcpy(own.data(), source, count * sizeof(WCHAR));
        source = own.data();
      }
      own.data()[i] = static_cast<WCHAR>(c & 0xFF);
    }
    text.rawCodes = 1;
    text.charSet = 0;
    text.notAnsi = 1;
  }
  if (IsDoubleByteSet(text.charSet)) {
    text.doubleByte = 1;
    text.notAnsi = 0;
  } else {
    text.doubleByte = 0;
    if (text.notAnsi) text.charSet = 3;
  }

  // The font's transform: the run is sized and turned by it.
  XFORMOBJ* xform = pfo != nullptr ? FONTOBJ_pxoGetXform(pfo) : nullptr;
  XFORML matrix{1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f};
  if (xform == nullptr || XFORMOBJ_iGetXform(xform, &matrix) == DDI_ERROR) {
    matrix = XFORML{1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f};
  }
  text.xform[0] = matrix.eM11;
  text.xform[1] = matrix.eM12;
  text.xform[2] = matrix.eM21;
  text.xform[3] = matrix.eM22;

  bool graphics = false;
  if (!deviceFont) {
    graphics = (Dm(pdev, kTrueTypeDownload) == 1 && Dm(pdev, kTrueTypeMethod) == 2) ||
               ForcedColour(pdev);
    if (!graphics && text.doubleByte && pco != nullptr) {
      graphics = pco->iDComplexity == DC_COMPLEX ||
                 (pco->iDComplexity == DC_RECT && !Contains(pco->rclBounds, pstro->rclBkGround));
    }
  }

  if (prclOpaque != nullptr && pboOpaque != nullptr) {
    FillTextRectangle(pdev, mix, pboOpaque, *prclOpaque, pco, true);
  }

  // Graphics text goes on to its underline and strike-out like any text.
  if (graphics && pdev->graphicsTextOverride != 2) {
    if (!DrawGraphicsText(pdev, pstro, pfo, pco, pboFore, pboOpaque, prclOpaque != nullptr, mix)) {
      return FALSE;
    }
  } else if (count > 0 && pfo != nullptr) {
    std::span<const GLYPHPOS> glyphs;
    GlyphBuffer enumerated;
    if (pstro->pgp != nullptr) {
      glyphs = std::span<const GLYPHPOS>(pstro->pgp, count);
    } else if (!enumerated.Collect(pstro, &glyphs)) {
      return FALSE;
    }
    const double units = metrics != nullptr ? metrics->fwdUnitsPerEm : 0;
    TextRun run;
    run.font = pfo;
    run.string = pstro;
    run.brush = pboFore;
    run.glyphs = glyphs;
    run.codes = std::span<const WCHAR>(source, std::min(count, glyphs.size()));
    run.mix = mix;
    run.height = Clamp32(std::llround(units * std::hypot(matrix.eM21, matrix.eM22)));
    run.widthKey = Clamp32(std::llround(units * std::hypot(matrix.eM11, matrix.eM12)));
    bool ok;
    if (pco != nullptr && pco->iDComplexity == DC_COMPLEX) {
      ok = ForEachClipRect(pco, [&](const RECTL& r) { return DrawTextRun(pdev, run, &r) != FALSE; });
    } else if (pco != nullptr && pco->iDComplexity == DC_RECT) {
      ok = DrawTextRun(pdev, run, &pco->rclBounds) != FALSE;
    } else {
      ok = DrawTextRun(pdev, run, nullptr) != FALSE;
    }
    if (!ok) return FALSE;
  }

  // Underline and strike-out rectangles, up to an all-zero one.
  if (prclExtra != nullptr && (pboFore != nullptr || ForcedColour(pdev))) {
    bool setUp = true;
    for (const RECTL* r = prclExtra; r->left != 0 || r->top != 0 || r->right != 0 || r->bottom != 0;
         ++r) {
      FillTextRectangle(pdev, mix, pboFore, *r, pco, setUp);
      setUp = false;
    }
  }
  return Aborted(pdev) ? FALSE : TRUE;
}

}  // namespace kv5e
