// Bitmaps and device-independent bitmaps: memory DCs and the bitmaps they
// draw into, DIB descriptions (1, 4, 8, 16, 24 and 32 bits, BI_RGB with colour
// tables, BI_BITFIELDS for 16 and 32), and the calls that move pixels: DIBs to
// a DC, blits between DCs, PatBlt, and reading a bitmap back as a DIB.
//
// A caller's DIB is never trusted for sizes: widths and heights beyond 32767
// pixels or 1 GiB of pixels are refused before anything is allocated.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "gdi/drawing.h"
#include "kvplat/kernel.h"

namespace kvplat::gdi {
namespace {

constexpr LONG kMaxDimension = 32767;
constexpr std::uint64_t kMaxPixelBytes = std::uint64_t{1} << 30;

ULONG FormatOfDepth(UINT bits) {
  switch (bits) {
    case 1: return BMF_1BPP;
    case 4: return BMF_4BPP;
    case 8: return BMF_8BPP;
    case 16: return BMF_16BPP;
    case 24: return BMF_24BPP;
    case 32: return BMF_32BPP;
    default: return 0;
  }
}

Palette PaletteOf(const engine::PaletteDesc& d) {
  Palette p;
  p.mode = d.mode;
  p.colors.assign(d.colors.begin(), d.colors.end());
  p.red = d.red;
  p.green = d.green;
  p.blue = d.blue;
  return p;
}

// The usual palette of a format (black and white for 1 bit).
Palette DefaultPalette(ULONG format) {
  if (format == BMF_32BPP || format == BMF_24BPP) return Palette{};
  return PaletteOf(engine::FormatPalette(format));
}

ULONG RgbQuadColor(const BYTE* quad) {
  return ULONG{quad[2]} | ULONG{quad[1]} << 8 | ULONG{quad[0]} << 16;
}

DWORD ReadDword(const BYTE* p) {
  DWORD v;
  std::memcpy(&v, p, 4);
  return v;
}

// What a BITMAPINFO describes.
struct DibLayout {
  LONG width = 0;
  LONG height = 0;  // rows, positive
  bool topDown = false;
  ULONG format = 0;
  ULONG stride = 0;
  std::size_t infoBytes = 0;  // header, masks and colour table
  Palette palette;
};

bool Refuse(DWORD error = ERROR_INVALID_PARAMETER) {
  SetLastError(error);
  return false;
}

bool ParseDib(const BITMAPINFO* info, UINT usage, DibLayout* out) {
  if (info == nullptr) return Refuse();
  BITMAPINFOHEADER h;
  std::memcpy(&h, info, sizeof h);
  if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biSize > 4096 || h.biPlanes != 1 ||
      h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) {
    return Refuse();
  }
  if (usage != DIB_RGB_COLORS) return Refuse();  // no logical palettes here
  out->format = FormatOfDepth(h.biBitCount);
  if (out->format == 0) return Refuse();
  out->width = h.biWidth;
  out->topDown = h.biHeight < 0;
  out->height = out->topDown ? -h.biHeight : h.biHeight;
  if (out->width > kMaxDimension || out->height > kMaxDimension) {
    return Refuse(ERROR_NOT_ENOUGH_MEMORY);
  }
  out->stride = engine::StrideFor(out->format, out->width);
  if (out->stride == 0 || std::uint64_t{out->stride} * std::uint64_t(out->height) > kMaxPixelBytes) {
    return Refuse(ERROR_NOT_ENOUGH_MEMORY);
  }
  const auto* bytes = reinterpret_cast<const BYTE*>(info);
  std::size_t at = h.biSize;
  Palette& p = out->palette;
  if (h.biCompression == BI_BITFIELDS) {
    if (h.biBitCount != 16 && h.biBitCount != 32) return Refuse();
    const BYTE* masks = h.biSize >= 52 ? bytes + 40 : bytes + at;
    if (h.biSize < 52) at += 12;
    p.mode = PAL_BITFIELDS;
    p.red = ReadDword(masks);
    p.green = ReadDword(masks + 4);
    p.blue = ReadDword(masks + 8);
    if (p.red == 0 || p.green == 0 || p.blue == 0) return Refuse();
  } else if (h.biCompression != BI_RGB) {
    return Refuse();  // run-length and embedded images are not taken
  } else if (h.biBitCount <= 8) {
    const DWORD most = 1u << h.biBitCount;
    const DWORD count = h.biClrUsed == 0 || h.biClrUsed > most ? most : h.biClrUsed;
    p.mode = PAL_INDEXED;
    p.colors.resize(most, 0);  // indices past the table read as black
    for (DWORD i = 0; i < count; ++i) p.colors[i] = RgbQuadColor(bytes + at + 4 * i);
    at += 4 * std::size_t{count};
  } else if (h.biBitCount == 16) {
    p.mode = PAL_BITFIELDS;
    p.red = 0x7C00;
    p.green = 0x03E0;
    p.blue = 0x001F;
  } else {
    p.mode = PAL_BGR;
  }
  if (h.biBitCount > 8 && h.biCompression == BI_RGB && h.biClrUsed <= 256) {
    at += 4 * std::size_t{h.biClrUsed};  // an optional table for palette devices
  }
  out->infoBytes = at;
  return true;
}

// A caller's DIB bits as an engine bitmap, for the length of one call (no copy).
struct WrappedDib {
  SURFOBJ* surface = nullptr;
  WrappedDib(const DibLayout& d, LONG rows, const void* bits) {
    HBITMAP handle = EngCreateBitmap(SIZEL{d.width, rows}, static_cast<LONG>(d.stride), d.format,
                                     d.topDown ? BMF_TOPDOWN : 0, const_cast<void*>(bits));
    if (handle != nullptr) surface = EngLockSurface(reinterpret_cast<HSURF>(handle));
  }
  ~WrappedDib() { engine::DeleteBitmapSurface(surface); }
  WrappedDib(const WrappedDib&) = delete;
  WrappedDib& operator=(const WrappedDib&) = delete;
};

// Narrows the source interval [*s0, *s1) to [0, limit) and the destination
// interval [*d0, *d1) in proportion (mirrored when `flip`). False when nothing is left.
bool ClipStretch(LONG* s0, LONG* s1, LONG limit, LONG* d0, LONG* d1, bool flip) {
  const double sw = double(*s1) - *s0, dw = double(*d1) - *d0;
  if (sw <= 0 || dw <= 0) return false;
  const LONG c0 = std::max<LONG>(*s0, 0), c1 = std::min(*s1, limit);
  if (c0 >= c1) return false;
  double cutLo = (c0 - *s0) * dw / sw, cutHi = (*s1 - c1) * dw / sw;
  if (flip) std::swap(cutLo, cutHi);
  const LONG n0 = *d0 + static_cast<LONG>(std::lround(cutLo));
  const LONG n1 = *d1 - static_cast<LONG>(std::lround(cutHi));
  *s0 = c0;
  *s1 = c1;
  *d0 = n0;
  *d1 = n1;
  return n0 < n1;
}

// Device corners of a logical rectangle given by origin and (signed) size:
// the ordered device rectangle and whether x and y run backwards on the device.
bool DeviceBox(const DrawState& state, LONG x, LONG y, LONG w, LONG h, RECTL* box, bool* flipX,
               bool* flipY) {
  const Matrix m = DeviceMatrix(state);
  POINTFIX a, b;
  if (!ToDeviceFix(state, m, x, y, &a) || !ToDeviceFix(state, m, double(x) + w, double(y) + h, &b)) {
    return false;
  }
  const LONG ax = (a.x + 8) >> 4, ay = (a.y + 8) >> 4, bx = (b.x + 8) >> 4, by = (b.y + 8) >> 4;
  *flipX = bx < ax;
  *flipY = by < ay;
  *box = RECTL{std::min(ax, bx), std::min(ay, by), std::max(ax, bx), std::max(ay, by)};
  return true;
}

bool RopUsesSource(ULONG rop3) { return ((rop3 >> 2) & 0x33) != (rop3 & 0x33); }

// The palette of a memory DC's bitmap as a blit source into `target`: a
// monochrome bitmap that is not a DIB takes the target's text and background
// colours for its 0 and 1 bits, as on Windows.
engine::PaletteDesc SourcePalette(const Bitmap& bitmap, const DC& target, Palette* keep) {
  if (!bitmap.dib && bitmap.Format() == BMF_1BPP && TargetPalette(target).mode != PAL_INDEXED) {
    keep->mode = PAL_INDEXED;
    keep->colors = {target.draw.textColor & 0xFFFFFF, target.draw.backgroundColor & 0xFFFFFF};
    return keep->Desc();
  }
  return bitmap.palette.Desc();
}

}  // namespace

std::shared_ptr<Bitmap> MakeBitmap(LONG width, LONG height, ULONG format, bool topDown,
                                   Palette palette) {
  if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SURFOBJ* surface =
      engine::CreateBitmapSurface(SIZEL{width, height}, format, topDown ? BMF_TOPDOWN : 0);
  if (surface == nullptr) {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto bitmap = std::make_shared<Bitmap>();
  bitmap->surface = surface;
  bitmap->palette = std::move(palette);
  return bitmap;
}

std::shared_ptr<Bitmap> CopyBitmap(const Bitmap& from) {
  auto copy = MakeBitmap(from.Width(), from.Height(), from.Format(), from.surface->lDelta > 0,
                         from.palette);
  if (copy == nullptr) return nullptr;
  std::memcpy(copy->surface->pvBits, from.surface->pvBits, from.surface->cjBits);
  copy->dib = from.dib;
  return copy;
}

std::shared_ptr<Bitmap> BitmapFromDib(const BITMAPINFO* info, const void* bits, UINT usage) {
  DibLayout d;
  if (!ParseDib(info, usage, &d)) return nullptr;
  if (bits == nullptr) bits = reinterpret_cast<const BYTE*>(info) + d.infoBytes;
  auto bitmap = MakeBitmap(d.width, d.height, d.format, d.topDown, d.palette);
  if (bitmap == nullptr) return nullptr;
  std::memcpy(bitmap->surface->pvBits, bits, std::size_t{d.stride} * std::size_t(d.height));
  bitmap->dib = true;
  return bitmap;
}

}  // namespace kvplat::gdi

using namespace kvplat::gdi;
namespace engine = kvplat::engine;

namespace {

// A new bitmap object of a size and format (its pixels zero), not yet
// registered; null when memory runs out.
std::shared_ptr<GdiObject> NewBitmapObject(LONG width, LONG height, ULONG format) {
  auto o = std::make_shared<GdiObject>();
  o->kind = ObjectKind::Bitmap;
  o->bitmap = MakeBitmap(width, height, format, true, DefaultPalette(format));
  return o->bitmap != nullptr ? o : nullptr;
}

}  // namespace

KVAPI HDC CreateCompatibleDC(HDC hdc) {
  if (hdc != nullptr && FindDc(hdc) == nullptr) return nullptr;
  auto dc = std::make_shared<DC>();
  dc->kind = DcKind::Memory;
  HBITMAP initial = DefaultBitmapHandle();
  auto object = FindObject(initial, ObjectKind::Bitmap);
  if (object == nullptr) return nullptr;
  dc->memory.bitmapHandle = initial;
  dc->memory.bitmap = std::make_shared<BitmapSelection>(std::move(object));
  return RegisterDc(std::move(dc));
}

KVAPI HBITMAP CreateCompatibleBitmap(HDC hdc, int width, int height) {
  ULONG format = BMF_32BPP;
  if (hdc != nullptr) {
    DcCall call(hdc);
    if (!call) return nullptr;
    if (call->kind == DcKind::Memory && call->memory.bitmap->bitmap().Format() == BMF_1BPP) {
      format = BMF_1BPP;
    }
  }
  if (width < 0 || height < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (width == 0 || height == 0) return DefaultBitmapHandle();
  auto o = NewBitmapObject(width, height, format);
  if (o == nullptr) return nullptr;
  return static_cast<HBITMAP>(RegisterObject(std::move(o)));
}

KVAPI HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitCount, const void* bits) {
  const ULONG format = FormatOfDepth(bitCount);
  if (width < 0 || height < 0 || planes != 1 || format == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (width == 0 || height == 0) return DefaultBitmapHandle();
  auto o = NewBitmapObject(width, height, format);
  if (o == nullptr) return nullptr;
  if (bits != nullptr) {
    // Rows of the caller's bits are padded to 16 bits.
    const std::size_t rowBytes = ((std::size_t(width) * bitCount + 15) / 16) * 2;
    SURFOBJ* so = o->bitmap->surface;
    for (LONG y = 0; y < height; ++y) {
      std::memcpy(static_cast<BYTE*>(so->pvScan0) + std::ptrdiff_t(y) * so->lDelta,
                  static_cast<const BYTE*>(bits) + rowBytes * std::size_t(y),
                  std::min<std::size_t>(rowBytes, std::size_t(std::abs(so->lDelta))));
    }
  }
  return static_cast<HBITMAP>(RegisterObject(std::move(o)));
}

KVAPI HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* info, UINT usage, void** bits,
                               HANDLE section, DWORD /*offset*/) {
  if (bits != nullptr) *bits = nullptr;
  if (hdc != nullptr && FindDc(hdc) == nullptr) return nullptr;
  if (section != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  DibLayout d;
  if (!ParseDib(info, usage, &d)) return nullptr;
  auto o = std::make_shared<GdiObject>();
  o->kind = ObjectKind::Bitmap;
  o->bitmap = MakeBitmap(d.width, d.height, d.format, d.topDown, d.palette);
  if (o->bitmap == nullptr) return nullptr;
  o->bitmap->dib = true;
  void* pixels = o->bitmap->surface->pvBits;
  HBITMAP handle = static_cast<HBITMAP>(RegisterObject(std::move(o)));
  if (handle != nullptr && bits != nullptr) *bits = pixels;
  return handle;
}

KVAPI int GetDIBits(HDC hdc, HBITMAP handle, UINT start, UINT lines, void* bits, BITMAPINFO* info,
                    UINT usage) {
  if (FindDc(hdc) == nullptr) return 0;
  auto object = FindObject(handle, ObjectKind::Bitmap);
  if (object == nullptr) return 0;
  if (info == nullptr || usage != DIB_RGB_COLORS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  BITMAPINFOHEADER h;
  std::memcpy(&h, info, sizeof h);
  if (h.biSize < sizeof(BITMAPINFOHEADER)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const Bitmap& bitmap = *object->bitmap;
  const engine::PaletteDesc from = bitmap.palette.Desc();
  UINT depth = h.biBitCount;
  if (bits == nullptr && depth == 0) depth = engine::BitsPerPixel(bitmap.Format());
  const ULONG format = FormatOfDepth(depth);
  if (format == 0 || (h.biCompression != BI_RGB && h.biCompression != BI_BITFIELDS) ||
      (h.biCompression == BI_BITFIELDS && depth != 16 && depth != 32)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The colours of the output: the bitmap's own table when the depth is its
  // own, else the format's usual one.
  Palette out = format == bitmap.Format() && bitmap.palette.mode == PAL_INDEXED
                    ? bitmap.palette
                    : DefaultPalette(format);
  auto* bytes = reinterpret_cast<BYTE*>(info);
  if (h.biCompression == BI_BITFIELDS) {
    const BYTE* masks = bytes + (h.biSize >= 52 ? 40 : h.biSize);
    out.mode = PAL_BITFIELDS;
    out.red = ReadDword(masks);
    out.green = ReadDword(masks + 4);
    out.blue = ReadDword(masks + 8);
  } else if (format == BMF_16BPP) {
    out.mode = PAL_BITFIELDS;
    out.red = 0x7C00;
    out.green = 0x03E0;
    out.blue = 0x001F;
  }
  if (out.mode == PAL_INDEXED) {
    for (std::size_t i = 0; i < out.colors.size(); ++i) {
      const ULONG c = out.colors[i];
      const BYTE quad[4] = {BYTE(c >> 16), BYTE(c >> 8), BYTE(c), 0};
      std::memcpy(bytes + h.biSize + 4 * i, quad, 4);
    }
  }
  const LONG width = bitmap.Width(), height = bitmap.Height();
  const ULONG stride = engine::StrideFor(format, width);
  if (bits == nullptr) {
    h.biWidth = width;
    if (h.biHeight >= 0) h.biHeight = height;
    else h.biHeight = -height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(depth);
    h.biSizeImage = stride * static_cast<ULONG>(height);
    if (out.mode == PAL_INDEXED) h.biClrUsed = static_cast<DWORD>(out.colors.size());
    std::memcpy(info, &h, sizeof h);
    return height;
  }
  const bool topDown = h.biHeight < 0;
  if (start >= static_cast<UINT>(height)) return 0;
  const UINT count = std::min<UINT>(lines, static_cast<UINT>(height) - start);
  const engine::PaletteDesc to = out.Desc();
  const bool same = format == bitmap.Format() &&
                    (out.mode == PAL_INDEXED ? bitmap.palette.mode == PAL_INDEXED
                                             : out.mode == bitmap.palette.mode &&
                                                   out.red == bitmap.palette.red &&
                                                   out.green == bitmap.palette.green &&
                                                   out.blue == bitmap.palette.blue);
  // A scratch row in the output format, written through a one-row bitmap.
  SURFOBJ* row = engine::CreateBitmapSurface(SIZEL{width, 1}, format, BMF_TOPDOWN);
  if (row == nullptr) return 0;
  for (UINT i = 0; i < count; ++i) {
    // Output row i: counted from the bottom (bottom-up) or the top.
    const LONG y = topDown ? static_cast<LONG>(start + i) : height - 1 - static_cast<LONG>(start + i);
    for (LONG x = 0; x < width; ++x) {
      ULONG v = engine::GetPixel(bitmap.surface, x, y);
      if (!same) v = engine::RgbToPalette(to, engine::PaletteToRgb(from, v));
      engine::SetPixel(row, x, 0, v);
    }
    std::memcpy(static_cast<BYTE*>(bits) + std::size_t{stride} * i, row->pvScan0, stride);
  }
  engine::DeleteBitmapSurface(row);
  return static_cast<int>(count);
}

KVAPI int StretchDIBits(HDC hdc, int xDest, int yDest, int destWidth, int destHeight, int xSrc,
                        int ySrc, int srcWidth, int srcHeight, const void* bits,
                        const BITMAPINFO* info, UINT usage, DWORD rop) {
  DcCall call(hdc);
  if (!call) return 0;
  DibLayout d;
  if (!ParseDib(info, usage, &d)) return 0;
  const ULONG rop3 = (rop >> 16) & 0xFF;
  if ((bits == nullptr && RopUsesSource(rop3)) || destWidth == 0 || destHeight == 0 ||
      srcWidth == 0 || srcHeight == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!ReadyForOutput(*call)) return 0;
  RECTL dst;
  bool flipX, flipY;
  if (!DeviceBox(call->draw, xDest, yDest, destWidth, destHeight, &dst, &flipX, &flipY)) return 0;
  // The source in rows from the top of the DIB.
  std::int64_t sx0 = xSrc, sx1 = std::int64_t{xSrc} + srcWidth;
  std::int64_t sy0 = ySrc, sy1 = std::int64_t{ySrc} + srcHeight;
  if (sx1 < sx0) std::swap(sx0, sx1), flipX = !flipX;
  if (sy1 < sy0) std::swap(sy0, sy1), flipY = !flipY;
  if (!d.topDown) {
    const std::int64_t t0 = d.height - sy1, t1 = d.height - sy0;
    sy0 = t0;
    sy1 = t1;
  }
  auto clamp = [](std::int64_t v) {
    return static_cast<LONG>(std::clamp<std::int64_t>(v, -0x7FFFFFF, 0x7FFFFFF));
  };
  RECTL src{clamp(sx0), clamp(sy0), clamp(sx1), clamp(sy1)};
  if (!ClipStretch(&src.left, &src.right, d.width, &dst.left, &dst.right, flipX) ||
      !ClipStretch(&src.top, &src.bottom, d.height, &dst.top, &dst.bottom, flipY)) {
    return std::abs(srcHeight);  // nothing of the DIB falls in the rectangle
  }
  WrappedDib dib(d, d.height, bits);
  if (dib.surface == nullptr) return 0;
  BlitSource source{dib.surface, d.palette.Desc()};
  if (!BlitToDevice(*call, source, dst, src, flipX, flipY, rop3)) return 0;
  return std::abs(srcHeight);
}

KVAPI int SetDIBitsToDevice(HDC hdc, int xDest, int yDest, DWORD width, DWORD height, int xSrc,
                            int ySrc, UINT startScan, UINT lines, const void* bits,
                            const BITMAPINFO* info, UINT usage) {
  DcCall call(hdc);
  if (!call) return 0;
  DibLayout d;
  if (!ParseDib(info, usage, &d)) return 0;
  if (bits == nullptr || width > 0x7FFFFFF || height > 0x7FFFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (lines == 0 || width == 0 || height == 0) return 0;
  if (!ReadyForOutput(*call)) return 0;
  // The band of rows the caller holds, from the top of the DIB.
  if (startScan >= static_cast<UINT>(d.height)) return 0;
  const LONG bandRows = static_cast<LONG>(std::min<UINT>(lines, d.height - startScan));
  const LONG bandTop = d.topDown ? LONG(startScan) : d.height - LONG(startScan) - bandRows;
  // The source rectangle from the top of the DIB.
  const std::int64_t top = d.topDown ? std::int64_t{ySrc} : std::int64_t{d.height} - ySrc - height;
  RECTL src{0, 0, 0, 0};
  std::int64_t s0x = xSrc, s1x = std::int64_t{xSrc} + width, s0y = top, s1y = top + height;
  const std::int64_t c0x = std::max<std::int64_t>(s0x, 0), c1x = std::min<std::int64_t>(s1x, d.width);
  const std::int64_t c0y = std::max<std::int64_t>(s0y, bandTop);
  const std::int64_t c1y = std::min<std::int64_t>(s1y, bandTop + bandRows);
  if (c0x >= c1x || c0y >= c1y) return bandRows;
  const Matrix m = DeviceMatrix(call->draw);
  POINTFIX at;
  if (!ToDeviceFix(call->draw, m, xDest, yDest, &at)) return 0;
  const LONG dx = (at.x + 8) >> 4, dy = (at.y + 8) >> 4;
  RECTL dst{static_cast<LONG>(dx + (c0x - s0x)), static_cast<LONG>(dy + (c0y - s0y)),
            static_cast<LONG>(dx + (c1x - s0x)), static_cast<LONG>(dy + (c1y - s0y))};
  src = RECTL{static_cast<LONG>(c0x), static_cast<LONG>(c0y - bandTop), static_cast<LONG>(c1x),
              static_cast<LONG>(c1y - bandTop)};
  WrappedDib dib(d, bandRows, bits);
  if (dib.surface == nullptr) return 0;
  BlitSource source{dib.surface, d.palette.Desc()};
  if (!BlitToDevice(*call, source, dst, src, false, false, kRopSrcCopy)) return 0;
  return bandRows;
}

KVAPI BOOL StretchBlt(HDC hdc, int xDest, int yDest, int destWidth, int destHeight, HDC sourceDc,
                      int xSrc, int ySrc, int srcWidth, int srcHeight, DWORD rop) {
  const ULONG rop3 = (rop >> 16) & 0xFF;
  if (!RopUsesSource(rop3)) return PatBlt(hdc, xDest, yDest, destWidth, destHeight, rop);
  DcCall call(hdc);
  if (!call) return FALSE;
  if (destWidth == 0 || destHeight == 0 || srcWidth == 0 || srcHeight == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DcCall from(sourceDc);
  if (!from) return FALSE;
  if (from->kind != DcKind::Memory) {
    SetLastError(ERROR_INVALID_PARAMETER);  // a printer's pages cannot be read back
    return FALSE;
  }
  if (!ReadyForOutput(*call)) return FALSE;
  RECTL dst, src;
  bool flipX, flipY, srcFlipX, srcFlipY;
  if (!DeviceBox(call->draw, xDest, yDest, destWidth, destHeight, &dst, &flipX, &flipY) ||
      !DeviceBox(from->draw, xSrc, ySrc, srcWidth, srcHeight, &src, &srcFlipX, &srcFlipY)) {
    return FALSE;
  }
  flipX = flipX != srcFlipX;
  flipY = flipY != srcFlipY;
  // Keep the bitmap alive even if the source DC selects another meanwhile.
  std::shared_ptr<BitmapSelection> held = from->memory.bitmap;
  const Bitmap& bitmap = held->bitmap();
  if (!ClipStretch(&src.left, &src.right, bitmap.Width(), &dst.left, &dst.right, flipX) ||
      !ClipStretch(&src.top, &src.bottom, bitmap.Height(), &dst.top, &dst.bottom, flipY)) {
    return TRUE;
  }
  Palette keep;
  BlitSource source{bitmap.surface, SourcePalette(bitmap, *call, &keep)};
  return BlitToDevice(*call, source, dst, src, flipX, flipY, rop3);
}

KVAPI BOOL BitBlt(HDC hdc, int x, int y, int width, int height, HDC sourceDc, int xSrc, int ySrc,
                  DWORD rop) {
  const ULONG rop3 = (rop >> 16) & 0xFF;
  if (!RopUsesSource(rop3)) return PatBlt(hdc, x, y, width, height, rop);
  // Unscaled: the source extent is the destination's, in the source DC's units.
  DcCall call(hdc);
  if (!call) return FALSE;
  DcCall from(sourceDc);
  if (!from) return FALSE;
  if (from->kind != DcKind::Memory) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  RECTL dst;
  bool flipX, flipY;
  if (!DeviceBox(call->draw, x, y, width, height, &dst, &flipX, &flipY)) return FALSE;
  // The source rectangle has the destination's size in device pixels.
  const Matrix m = DeviceMatrix(from->draw);
  POINTFIX at;
  if (!ToDeviceFix(from->draw, m, xSrc, ySrc, &at)) return FALSE;
  const LONG sx = (at.x + 8) >> 4, sy = (at.y + 8) >> 4;
  const LONG w = dst.right - dst.left, h = dst.bottom - dst.top;
  if (w == 0 || h == 0) return TRUE;
  if (!ReadyForOutput(*call)) return FALSE;
  std::shared_ptr<BitmapSelection> held = from->memory.bitmap;
  const Bitmap& bitmap = held->bitmap();
  RECTL src{sx, sy, sx + w, sy + h};
  if (!ClipStretch(&src.left, &src.right, bitmap.Width(), &dst.left, &dst.right, false) ||
      !ClipStretch(&src.top, &src.bottom, bitmap.Height(), &dst.top, &dst.bottom, false)) {
    return TRUE;
  }
  Palette keep;
  BlitSource source{bitmap.surface, SourcePalette(bitmap, *call, &keep)};
  return BlitToDevice(*call, source, dst, src, false, false, rop3);
}

KVAPI BOOL PatBlt(HDC hdc, int x, int y, int width, int height, DWORD rop) {
  DcCall call(hdc);
  if (!call) return FALSE;
  const ULONG rop3 = (rop >> 16) & 0xFF;
  if (RopUsesSource(rop3)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  RECTL box;
  bool flipX, flipY;
  if (!DeviceBox(call->draw, x, y, width, height, &box, &flipX, &flipY)) return FALSE;
  if (box.left == box.right || box.top == box.bottom) return TRUE;
  if (!ReadyForOutput(*call)) return FALSE;
  return PaintDeviceRects(*call, std::span<const RECTL>(&box, 1), &CurrentBrush(call->draw), rop3);
}

KVAPI COLORREF GetPixel(HDC hdc, int x, int y) {
  DcCall call(hdc);
  if (!call) return CLR_INVALID;
  if (call->kind != DcKind::Memory) return CLR_INVALID;
  const Matrix m = DeviceMatrix(call->draw);
  POINTFIX at;
  if (!ToDeviceFix(call->draw, m, x, y, &at)) return CLR_INVALID;
  const LONG dx = (at.x + 8) >> 4, dy = (at.y + 8) >> 4;
  const Bitmap& bitmap = call->memory.bitmap->bitmap();
  if (dx < 0 || dy < 0 || dx >= bitmap.Width() || dy >= bitmap.Height()) return CLR_INVALID;
  return engine::PaletteToRgb(bitmap.palette.Desc(), engine::GetPixel(bitmap.surface, dx, dy));
}
