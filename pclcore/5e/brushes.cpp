#include "pclcore/5e/brushes.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "kvplat/kernel.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"

namespace kv5e {


namespace {

using PatternBytes = std::array<BYTE, 32>;


// Pattern k has a black dot wherever the matrix value is at most k.
constexpr std::array<PatternBytes, 256> MakeGrayPatterns() {
  std::array<PatternBytes, 256> patterns{};
  for (int k = 0; k < 256; ++k) {
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        if (kThresholdMatrix[y][x] <= k) patterns[k][y * 2 + x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
      }
    }
  }
  return patterns;
}
constexpr std::array<PatternBytes, 256> kGrayPatterns = MakeGrayPatterns();
static_assert(kGrayPatterns[0] == PatternBytes{});
static_assert(kGrayPatterns[255][0] == 0xFF && kGrayPatterns[255][31] == 0xFF);

constexpr PatternBytes HatchRows(const std::array<std::uint16_t, 16>& rows) {
  PatternBytes bytes{};
  for (int i = 0; i < 16; ++i) {
    bytes[i * 2] = static_cast<BYTE>(rows[i] >> 8);
    bytes[i * 2 + 1] = static_cast<BYTE>(rows[i] & 0xFF);
  }
  return bytes;
}

constexpr std::array<PatternBytes, 6> kHatches = {
    HatchRows({0, 0, 0, 0, 0, 0, 0, 0, 0xFFFF, 0xFFFF, 0, 0, 0, 0, 0, 0}),
    HatchRows({0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0,
               0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0}),
    HatchRows({0xC000, 0xC000, 0x3000, 0x3000, 0x0C00, 0x0C00, 0x0300, 0x0300, 0x00C0, 0x00C0,
               0x0030, 0x0030, 0x000C, 0x000C, 0x0003, 0x0003}),
    HatchRows({0x0003, 0x0003, 0x000C, 0x000C, 0x0030, 0x0030, 0x00C0, 0x00C0, 0x0300, 0x0300,
               0x0C00, 0x0C00, 0x3000, 0x3000, 0xC000, 0xC000}),
    HatchRows({0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0xFFFF, 0x00C0,
               0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0, 0x00C0}),
    HatchRows({0xC003, 0xC003, 0x300C, 0x300C, 0x0C30, 0x0C30, 0x03C0, 0x03C0, 0x03C0, 0x03C0,
               0x0C30, 0x0C30, 0x300C, 0x300C, 0xC003, 0xC003}),
};

// A hatch realized without a colour table draws its lines black on white.
constexpr ULONG kHatchDefaultPalette[2] = {0x00FFFFFF, 0x00000000};

constexpr auto kColorConvertMode = kvset::DmField("colorConvertMode");

constexpr std::uint32_t BitsOf(std::uint32_t format) {
  switch (format) {
    case kBrushFormat1:
      return 1;
    case kBrushFormat4:
      return 4;
    case kBrushFormat8:
      return 8;
    case kBrushFormat24:
      return 24;
    default:
      return 0;
  }
}

std::uint64_t RowBytesFor(std::uint32_t format, std::int64_t width) {
  return (static_cast<std::uint64_t>(width) * BitsOf(format) + 7) / 8;
}

int JobResolution(const PclPdev* pdev) { return PublicDevmode(pdev)->dmPrintQuality; }

void PutBigEndian16(BYTE* at, int value) {
  at[0] = static_cast<BYTE>((value >> 8) & 0xFF);
  at[1] = static_cast<BYTE>(value & 0xFF);
}

// The 12-byte header of a PCL user-defined pattern download.
void PatternHeader(BYTE* header, int width, int height, int resolution) {
  header[0] = 20;  // format
  header[1] = 0;   // continuation
  header[2] = 1;   // pixel encoding
  header[3] = 0;
  PutBigEndian16(header + 4, height);
  PutBigEndian16(header + 6, width);
  PutBigEndian16(header + 8, resolution);
  PutBigEndian16(header + 10, resolution);
}

// One source byte after the mask: AND with the byte at the same place of the
// mask row. Bytes beyond the mask's own rows are left as they are.
struct MaskedRow {
  const BYTE* source;
  const BYTE* mask;
  std::uint64_t maskBytes;
  BYTE operator[](std::uint64_t i) const {
    const BYTE m = mask != nullptr && i < maskBytes ? mask[i] : 0xFF;
    return static_cast<BYTE>(source[i] & m);
  }
};

// Reads a pixel of 1, 4 or 8 bits from a packed row, leftmost in the high bits.
std::uint32_t PackedPixel(const MaskedRow& row, std::uint64_t x, std::uint32_t bits) {
  const std::uint64_t bit = x * bits;
  const BYTE byte = row[bit / 8];
  const std::uint32_t shift = 8 - bits - static_cast<std::uint32_t>(bit % 8);
  return (byte >> shift) & ((1u << bits) - 1);
}

void PutPackedPixel(BYTE* row, std::uint64_t x, std::uint32_t bits, std::uint32_t value) {
  const std::uint64_t bit = x * bits;
  const std::uint32_t shift = 8 - bits - static_cast<std::uint32_t>(bit % 8);
  row[bit / 8] |= static_cast<BYTE>(value << shift);
}

ULONG ReadLittle(const BYTE* at, std::uint32_t bytes) {
  ULONG value = 0;
  for (std::uint32_t i = 0; i < bytes; ++i) value |= static_cast<ULONG>(at[i]) << (8 * i);
  return value;
}

std::int16_t KeyOf(std::int32_t value) { return static_cast<std::int16_t>(value); }

// Screen and fill type keys.
constexpr std::int16_t kKeySolid = 0;
constexpr std::int16_t kScreenKeyWhite = 1;
constexpr std::int16_t kFillKeyWhite = 10;

int SelectScreenOrFill(PclPdev* pdev, GrayTarget target, std::int16_t key, const char* command,
                       int parameter) {
  HpglState& state = pdev->hpglState;
  std::int16_t& cached = target == GrayTarget::Pen ? state.iScreenKey : state.iFillTypeKey;
  if (cached == key) return 1;
  cached = key;
  return WriteFormatted(pdev, command, parameter) >= 0;
}

void WriteAnchor(PclPdev* pdev, const POINTL* origin) {
  if (origin == nullptr) return;
  HpglState& state = pdev->hpglState;
  if (origin->x == state.ptlAnchor.x && origin->y == state.ptlAnchor.y) return;
  state.ptlAnchor = *origin;
  WriteFormatted(pdev, "AC%d,%d", origin->x,
                 static_cast<std::int64_t>(pdev->surfaceGeometry.printableHeight) - origin->y);
}

const RealizedBrush* RealizationOf(BRUSHOBJ* brush) {
  void* realized = brush->pvRbrush != nullptr ? brush->pvRbrush : BRUSHOBJ_pvGetRbrush(brush);
  return static_cast<const RealizedBrush*>(realized);
}

// Downloads the brush's pattern and makes it the PCL current pattern.
std::int32_t SelectUserPattern(PclPdev* pdev, const RealizedBrush& brush) {
  const std::int32_t id = DownloadPattern(pdev, brush);
  pdev->hpglState.bPclPatternSet = 1;
  WriteFormatted(pdev, "\x1B*c%dG\x1B*v%dT", id, 4);
  pdev->hpglState.iPen = -1;
  return id;
}

}  // namespace

std::span<const BYTE, 32> GrayPattern(int k) {
  return std::span<const BYTE, 32>(kGrayPatterns[static_cast<std::size_t>(k & 0xFF)]);
}

std::span<const BYTE, 32> HatchPattern(int hatch) {
  return std::span<const BYTE, 32>(kHatches[static_cast<std::size_t>(hatch) % kHatches.size()]);
}

std::uint32_t BrushRowBytes(const RealizedBrush& brush) {
  if (brush.width <= 0) return 0;
  return static_cast<std::uint32_t>(RowBytesFor(brush.format, brush.width));
}

BOOL DrvRealizeBrush(BRUSHOBJ* pbo, SURFOBJ* psoTarget, SURFOBJ* psoPattern, SURFOBJ* psoMask,
                     XLATEOBJ* pxlo, ULONG iHatch) {
  PclPdev* pdev = psoTarget != nullptr ? PdevFrom(psoTarget->dhpdev) : nullptr;
  if (pdev == nullptr || pbo == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool hatch = iHatch < HS_DDI_MAX;
  if (!hatch && (psoPattern == nullptr || psoPattern->pvScan0 == nullptr ||
                 psoPattern->sizlBitmap.cx <= 0 || psoPattern->sizlBitmap.cy <= 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool doubled = !hatch && JobResolution(pdev) == 600;
  const std::int64_t factor = doubled ? 2 : 1;
  const bool grayConvert = Dm(pdev, kColorConvertMode) == 1;

  // The realization's shape.
  std::uint32_t sourceFormat = 0;
  std::uint32_t format = kBrushFormat1;
  std::int64_t width = 16, height = 16;
  bool graySource = false;  // a direct-colour source stored as gray bytes
  if (!hatch) {
    sourceFormat = psoPattern->iBitmapFormat;
    width = std::int64_t{psoPattern->sizlBitmap.cx} * factor;
    height = std::int64_t{psoPattern->sizlBitmap.cy} * factor;
    switch (sourceFormat) {
      case BMF_1BPP:
        format = kBrushFormat1;
        break;
      case BMF_4BPP:
        format = kBrushFormat4;
        break;
      case BMF_8BPP:
        format = kBrushFormat8;
        break;
      case BMF_16BPP:
      case BMF_24BPP:
      case BMF_32BPP:
        format = grayConvert ? kBrushFormat8 : kBrushFormat24;
        graySource = grayConvert;
        break;
      default:
        format = kBrushFormatNone;
        break;
    }
  }

  // The palette: the translation's table, the default black-on-white of a
  // hatch, or (gray conversion of direct colours) the identity on gray bytes.
  const ULONG* paletteColors = nullptr;
  std::uint64_t paletteCount = 0;
  if (pxlo != nullptr && (pxlo->flXlate & XO_TABLE) && pxlo->pulXlate != nullptr) {
    paletteColors = pxlo->pulXlate;
    paletteCount = pxlo->cEntries;
  } else if (hatch) {
    paletteColors = kHatchDefaultPalette;
    paletteCount = 2;
  }
  if (graySource) {
    paletteColors = nullptr;
    paletteCount = 256;
  }
  const bool grayPalette = grayConvert && (format != kBrushFormat24);
  const std::uint64_t entryBytes = grayPalette ? 1 : 4;

  const std::uint64_t rowBytes = format == kBrushFormatNone ? 0 : RowBytesFor(format, width);
  const std::uint64_t pixelBytes = rowBytes * static_cast<std::uint64_t>(height);
  const std::uint64_t roomBytes = ((rowBytes + 3) & ~std::uint64_t{3}) * static_cast<std::uint64_t>(height);
  const std::uint64_t paletteOffset = (sizeof(RealizedBrush) + pixelBytes + 3) & ~std::uint64_t{3};
  const std::uint64_t total = std::max<std::uint64_t>(sizeof(RealizedBrush) + roomBytes, paletteOffset) +
                              paletteCount * entryBytes;
  if (paletteCount > kMaxRealizedBrushBytes || total > kMaxRealizedBrushBytes) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  auto* block = static_cast<BYTE*>(BRUSHOBJ_pvAllocRbrush(pbo, static_cast<ULONG>(total)));
  if (block == nullptr) return FALSE;
  std::memset(block, 0, static_cast<std::size_t>(total));

  auto* brush = reinterpret_cast<RealizedBrush*>(block);
  brush->width = static_cast<std::int32_t>(width);
  brush->height = static_cast<std::int32_t>(height);
  brush->format = format;
  brush->flags = (psoPattern != nullptr ? psoPattern->fjBitmap : 0) |
                 (grayPalette ? kBrushGrayPalette : 0);
  brush->paletteCount = static_cast<std::uint32_t>(paletteCount);
  brush->paletteOffset = static_cast<std::uint32_t>(paletteOffset);
  brush->patternId = hatch ? kHatchPatternBase + static_cast<std::int32_t>(iHatch)
                           : static_cast<std::int32_t>(iHatch);
  BYTE* pixels = block + sizeof(RealizedBrush);
  BYTE* palette = block + paletteOffset;

  if (graySource) {
    for (std::uint32_t i = 0; i < 256; ++i) palette[i] = static_cast<BYTE>(i);
  } else {
    for (std::uint64_t i = 0; i < paletteCount; ++i) {
      const ULONG color = paletteColors[i];
      if (grayPalette) {
        palette[i] = static_cast<BYTE>(GrayLevel(color));
      } else {
        std::memcpy(palette + i * 4, &color, 4);
      }
    }
  }

  if (hatch) {
    std::memcpy(pixels, HatchPattern(static_cast<int>(iHatch)).data(), 32);
    return TRUE;
  }
  if (format == kBrushFormatNone) return TRUE;

  const std::int64_t sourceWidth = psoPattern->sizlBitmap.cx;
  const std::int64_t sourceHeight = psoPattern->sizlBitmap.cy;
  const std::uint32_t sourceBits = kvplat::engine::BitsPerPixel(sourceFormat);
  const bool haveMask = psoMask != nullptr && psoMask->pvScan0 != nullptr;
  const std::uint64_t maskRowBytes =
      haveMask && psoMask->sizlBitmap.cx > 0
          ? (static_cast<std::uint64_t>(psoMask->sizlBitmap.cx) *
                 kvplat::engine::BitsPerPixel(psoMask->iBitmapFormat) + 7) / 8
          : 0;
  const auto* base = static_cast<const BYTE*>(psoPattern->pvScan0);
  for (std::int64_t sy = 0; sy < sourceHeight; ++sy) {
    const BYTE* source = base + sy * psoPattern->lDelta;
    BYTE* out = pixels + static_cast<std::uint64_t>(sy * factor) * rowBytes;
    if (sourceBits <= 8) {
      // Without a mask the source is its own mask, which leaves it unchanged.
      const BYTE* mask = nullptr;
      if (haveMask && sy < psoMask->sizlBitmap.cy) {
        mask = static_cast<const BYTE*>(psoMask->pvScan0) + sy * psoMask->lDelta;
      }
      const MaskedRow row{source, mask, maskRowBytes};
      for (std::int64_t x = 0; x < width; ++x) {
        const std::uint32_t value = PackedPixel(row, static_cast<std::uint64_t>(x / factor), sourceBits);
        PutPackedPixel(out, static_cast<std::uint64_t>(x), sourceBits, value);
      }
    } else {
      const std::uint32_t pixelSize = sourceBits / 8;
      BYTE* at = out;
      for (std::int64_t sx = 0; sx < sourceWidth; ++sx) {
        const ULONG color = XLATEOBJ_iXlate(pxlo, ReadLittle(source + sx * pixelSize, pixelSize));
        for (std::int64_t repeat = 0; repeat < factor; ++repeat) {
          if (graySource) {
            *at++ = static_cast<BYTE>(GrayLevel(color));
          } else {
            *at++ = static_cast<BYTE>(color & 0xFF);
            *at++ = static_cast<BYTE>((color >> 8) & 0xFF);
            *at++ = static_cast<BYTE>((color >> 16) & 0xFF);
          }
        }
      }
    }
    if (doubled) std::memcpy(out + rowBytes, out, static_cast<std::size_t>(rowBytes));
  }
  return TRUE;
}

void DitherPattern(const RealizedBrush& brush, std::span<BYTE> out) {
  if (brush.format == kBrushFormatNone || brush.width <= 0 || brush.height <= 0) return;
  const std::uint64_t outRow = (static_cast<std::uint64_t>(brush.width) + 7) / 8;
  if (out.size() < outRow * static_cast<std::uint64_t>(brush.height)) return;
  const BYTE* record = reinterpret_cast<const BYTE*>(&brush);
  const BYTE* pixels = BrushPixels(&brush);
  const std::uint32_t rowBytes = BrushRowBytes(brush);
  const std::uint32_t bits = BitsOf(brush.format);

  BYTE grays[256] = {};  // palette entries missing stay black
  if (brush.format != kBrushFormat24) {
    const BYTE* palette = record + brush.paletteOffset;
    const std::uint32_t count = std::min<std::uint32_t>(brush.paletteCount, 256);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (brush.flags & kBrushGrayPalette) {
        grays[i] = palette[i];
      } else {
        ULONG color;
        std::memcpy(&color, palette + i * 4, 4);
        grays[i] = static_cast<BYTE>(GrayLevel(color));
      }
    }
  }

  for (std::int32_t y = 0; y < brush.height; ++y) {
    const BYTE* row = pixels + static_cast<std::uint64_t>(y) * rowBytes;
    BYTE* target = out.data() + static_cast<std::uint64_t>(y) * outRow;
    const std::uint8_t* thresholds = kThresholdMatrix[y % 16];
    for (std::int32_t x = 0; x < brush.width; ++x) {
      int gray;
      if (brush.format == kBrushFormat24) {
        const BYTE* p = row + static_cast<std::uint64_t>(x) * 3;
        gray = GrayLevel(p[0] | (p[1] << 8) | (p[2] << 16));
      } else {
        const MaskedRow source{row, nullptr, 0};
        gray = grays[PackedPixel(source, static_cast<std::uint64_t>(x), bits)];
      }
      if (gray < thresholds[x % 16]) target[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
    }
  }
}

std::int32_t DownloadPattern(PclPdev* pdev, const RealizedBrush& brush) {
  const bool empty = brush.width <= 0 || brush.height <= 0;
  const std::uint64_t rowBytes = empty ? 0 : (static_cast<std::uint64_t>(brush.width) + 7) / 8;
  const std::uint64_t size = empty ? 0 : rowBytes * static_cast<std::uint64_t>(brush.height);
  BYTE small[4096];
  BYTE* data = small;
  if (size > sizeof(small)) {
    data = static_cast<BYTE*>(EngAllocMem(FL_ZERO_MEMORY, static_cast<ULONG>(size), 0x6E727462));
  } else {
    std::memset(small, 0, static_cast<std::size_t>(size));
  }
  if (data != nullptr) DitherPattern(brush, std::span<BYTE>(data, static_cast<std::size_t>(size)));

  LeaveHpgl2(pdev);
  BYTE header[12];
  PatternHeader(header, empty ? 0 : brush.width, empty ? 0 : brush.height, JobResolution(pdev));
  const std::uint64_t sent = data != nullptr ? size : 0;
  WriteFormatted(pdev, "\x1B*c%dg%dW", brush.patternId, static_cast<std::int64_t>(12 + sent));
  WriteBytes(pdev, header, sizeof(header));
  if (sent > 0) WriteLong(pdev, data, static_cast<std::uint32_t>(sent));
  if (data != small) EngFreeMem(data);
  pdev->hpglState.iLastPatternId = brush.patternId;
  return brush.patternId;
}

int SelectGray(PclPdev* pdev, int gray, GrayTarget target) {
  gray = std::clamp(gray, 0, 255);
  HpglState& state = pdev->hpglState;
  if (gray == 0 || gray == 255) {
    const bool white = gray == 255;
    switch (target) {
      case GrayTarget::PclPattern:
        LeaveHpgl2(pdev);
        return WriteText(pdev, white ? "\x1B*v1T" : "\x1B*v0T");
      case GrayTarget::Pen:
        EnterHpgl2(pdev);
        return white ? SelectScreenOrFill(pdev, target, kScreenKeyWhite, "SV1,%d", 0)
                     : SelectScreenOrFill(pdev, target, kKeySolid, "SV", 0);
      case GrayTarget::Fill:
        EnterHpgl2(pdev);
        return white ? SelectScreenOrFill(pdev, target, kFillKeyWhite, "FT10,%d", 0)
                     : SelectScreenOrFill(pdev, target, kKeySolid, "FT", 0);
    }
    return 0;
  }

  const int k = 255 - gray;
  const int id = k + kGrayPatternBase;
  BYTE& sentByte = state.grayPatternsSent[k / 8];
  const BYTE sentBit = static_cast<BYTE>(1u << (k % 8));
  if (!(sentByte & sentBit)) {
    LeaveHpgl2(pdev);
    BYTE download[12 + 32];
    PatternHeader(download, 16, 16, JobResolution(pdev));
    std::memcpy(download + 12, GrayPattern(k).data(), 32);
    WriteFormatted(pdev, "\x1B*c%dg44W", id);
    WriteBytes(pdev, download, sizeof(download));
    sentByte |= sentBit;
    if (target == GrayTarget::PclPattern) return WriteText(pdev, "\x1B*v4T");
  } else if (target == GrayTarget::PclPattern) {
    LeaveHpgl2(pdev);
    return WriteFormatted(pdev, "\x1B*c%dG\x1B*v4T", id) >= 0;
  }
  EnterHpgl2(pdev);
  return SelectScreenOrFill(pdev, target, KeyOf(id + kGrayPatternBase),
                            target == GrayTarget::Pen ? "SV22,%d" : "FT22,%d", id);
}

BOOL SelectHpglBrush(PclPdev* pdev, BRUSHOBJ* brush, const POINTL* origin, bool forPen) {
  if (brush == nullptr) return FALSE;
  const GrayTarget target = forPen ? GrayTarget::Pen : GrayTarget::Fill;
  if (brush->iSolidColor != kPatternBrushColor) {
    EnterHpgl2(pdev);
    WriteAnchor(pdev, origin);
    SelectGray(pdev, GrayLevel(brush->iSolidColor), target);
    return TRUE;
  }
  const RealizedBrush* realized = RealizationOf(brush);
  if (realized == nullptr) return FALSE;
  SelectUserPattern(pdev, *realized);
  EnterHpgl2(pdev);
  WriteAnchor(pdev, origin);
  const std::int32_t id = pdev->hpglState.iLastPatternId;
  SelectScreenOrFill(pdev, target, KeyOf(id + kGrayPatternBase), forPen ? "SV22,%d" : "FT22,%d",
                     id);
  return TRUE;
}

void SelectPclBrush(PclPdev* pdev, BRUSHOBJ* brush) {
  ULONG color;
  if (pdev->flags & kFlagForcedColour) {
    color = pdev->watermarkColor;
  } else if (brush != nullptr) {
    color = brush->iSolidColor;
  } else {
    return;
  }
  if (color == kPatternBrushColor) {
    const RealizedBrush* realized = RealizationOf(brush);
    if (realized != nullptr) SelectUserPattern(pdev, *realized);
    return;
  }
  SelectGray(pdev, GrayLevel(color), GrayTarget::PclPattern);
}

}  // namespace kv5e
