// Device-independent bitmaps of every depth to memory DCs (1:1, stretched,
// mirrored, bottom-up and top-down, in bands), blits between DCs, reading
// bitmaps back, and malformed or oversized DIBs.
#include <vector>

#include "gdi_draw_fixture.h"

namespace {

using gditest::Canvas;
using gditest::Obj;

constexpr COLORREF kColors[4] = {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255), RGB(255, 255, 0)};

// A 4 x 2 DIB whose top row is colours 0 1 2 3 and bottom row 3 2 1 0.
struct TestDib {
  std::vector<BYTE> info;  // header, masks / colour table
  std::vector<BYTE> bits;
  const BITMAPINFO* bmi() const { return reinterpret_cast<const BITMAPINFO*>(info.data()); }
};

TestDib MakeDib(WORD depth, DWORD compression, bool topDown) {
  TestDib d;
  BITMAPINFOHEADER h{sizeof(BITMAPINFOHEADER), 4, topDown ? -2 : 2, 1, depth, compression, 0, 0, 0,
                     0, 0};
  d.info.resize(sizeof h);
  std::memcpy(d.info.data(), &h, sizeof h);
  auto put32 = [&](DWORD v) {
    const BYTE* b = reinterpret_cast<const BYTE*>(&v);
    d.info.insert(d.info.end(), b, b + 4);
  };
  const int entries = depth <= 8 ? 1 << depth : 0;
  for (int i = 0; i < entries; ++i) {
    const COLORREF c = i < 4 ? kColors[i] : RGB(9, 9, 9);
    put32(DWORD(GetBValue(c)) | DWORD(GetGValue(c)) << 8 | DWORD(GetRValue(c)) << 16);
  }
  if (compression == BI_BITFIELDS) {
    if (depth == 16) put32(0xF800), put32(0x07E0), put32(0x001F);
    else put32(0x00FF0000), put32(0x0000FF00), put32(0x000000FF);
  }
  const std::size_t stride = ((4 * depth + 31) / 32) * 4;
  d.bits.assign(stride * 2, 0);
  for (int row = 0; row < 2; ++row) {
    const int memoryRow = topDown ? row : 1 - row;
    BYTE* p = d.bits.data() + stride * memoryRow;
    for (int x = 0; x < 4; ++x) {
      const int index = row == 0 ? x : 3 - x;
      const COLORREF c = kColors[index];
      const BYTE r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
      switch (depth) {
        case 1: if (index & 1) p[0] |= BYTE(0x80 >> x); break;  // only colours 0 and 1 exist
        case 4: p[x / 2] |= BYTE(index << ((x & 1) ? 0 : 4)); break;
        case 8: p[x] = BYTE(index); break;
        case 16: {
          const WORD v = compression == BI_BITFIELDS
                             ? WORD((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3))
                             : WORD((r >> 3) << 10 | (g >> 3) << 5 | (b >> 3));
          std::memcpy(p + 2 * x, &v, 2);
          break;
        }
        case 24: p[3 * x] = b, p[3 * x + 1] = g, p[3 * x + 2] = r; break;
        case 32: p[4 * x] = b, p[4 * x + 1] = g, p[4 * x + 2] = r; break;
      }
    }
  }
  return d;
}

COLORREF Expected(WORD depth, int index) {
  if (depth == 1) return kColors[index & 1];
  return kColors[index];
}

TEST(GdiDrawBitmaps, DibsOfEveryDepthReachTheDcUnscaledStretchedAndMirrored) {
  const struct {
    WORD depth;
    DWORD compression;
  } formats[] = {{1, BI_RGB},  {4, BI_RGB},  {8, BI_RGB},       {16, BI_RGB},
                 {16, BI_BITFIELDS}, {24, BI_RGB}, {32, BI_RGB}, {32, BI_BITFIELDS}};
  Canvas c(16, 8);
  for (const auto& f : formats) {
    for (bool topDown : {false, true}) {
      SCOPED_TRACE(::testing::Message() << f.depth << " bits, compression " << f.compression
                                        << (topDown ? ", top-down" : ", bottom-up"));
      const TestDib dib = MakeDib(f.depth, f.compression, topDown);
      c.Clear(RGB(1, 2, 3));
      ASSERT_EQ(StretchDIBits(c.dc(), 0, 0, 4, 2, 0, 0, 4, 2, dib.bits.data(), dib.bmi(),
                              DIB_RGB_COLORS, SRCCOPY), 2);
      for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(c.At(x, 0), Expected(f.depth, x)) << x;
        EXPECT_EQ(c.At(x, 1), Expected(f.depth, 3 - x)) << x;
      }
      // Twice the size, mirrored left to right.
      c.Clear(RGB(1, 2, 3));
      ASSERT_GT(StretchDIBits(c.dc(), 8, 0, -8, 4, 0, 0, 4, 2, dib.bits.data(), dib.bmi(),
                              DIB_RGB_COLORS, SRCCOPY), 0);
      for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(c.At(x, 0), Expected(f.depth, 3 - x / 2)) << x;
        EXPECT_EQ(c.At(x, 3), Expected(f.depth, x / 2)) << x;
      }
      EXPECT_EQ(c.At(8, 0), RGB(1, 2, 3));
      // Unscaled, from the middle of the DIB.
      c.Clear(RGB(1, 2, 3));
      ASSERT_GT(SetDIBitsToDevice(c.dc(), 5, 5, 2, 2, 1, 0, 0, 2, dib.bits.data(), dib.bmi(),
                                  DIB_RGB_COLORS), 0);
      EXPECT_EQ(c.At(5, 5), Expected(f.depth, 1));
      EXPECT_EQ(c.At(6, 6), Expected(f.depth, 1));
      EXPECT_EQ(c.At(4, 5), RGB(1, 2, 3));
    }
  }
}

TEST(GdiDrawBitmaps, SourceRectanglesAreClippedToTheDib) {
  Canvas c(16, 8);
  const TestDib dib = MakeDib(24, BI_RGB, false);
  c.Clear(RGB(1, 2, 3));
  // Source columns -2..6 of a 4-wide DIB: only 0..3 arrive, where they belong.
  ASSERT_GT(StretchDIBits(c.dc(), 0, 0, 8, 2, -2, 0, 8, 2, dib.bits.data(), dib.bmi(),
                          DIB_RGB_COLORS, SRCCOPY), 0);
  EXPECT_EQ(c.At(0, 0), RGB(1, 2, 3));
  EXPECT_EQ(c.At(2, 0), kColors[0]);
  EXPECT_EQ(c.At(5, 0), kColors[3]);
  EXPECT_EQ(c.At(6, 0), RGB(1, 2, 3));
  // Bottom-up: the source y counts from the bottom row.
  c.Clear(RGB(1, 2, 3));
  StretchDIBits(c.dc(), 0, 0, 4, 1, 0, 0, 4, 1, dib.bits.data(), dib.bmi(), DIB_RGB_COLORS, SRCCOPY);
  EXPECT_EQ(c.At(0, 0), kColors[3]);
  // A band of one row (the top one of a bottom-up DIB is scan line 1).
  c.Clear(RGB(1, 2, 3));
  const std::size_t stride = 12;
  EXPECT_EQ(SetDIBitsToDevice(c.dc(), 0, 0, 4, 2, 0, 0, 1, 1, dib.bits.data() + stride, dib.bmi(),
                              DIB_RGB_COLORS), 1);
  EXPECT_EQ(c.At(0, 0), kColors[0]);
  EXPECT_EQ(c.At(0, 1), RGB(1, 2, 3)) << "the row not given stays";
}

TEST(GdiDrawBitmaps, BlitsBetweenMemoryDcsAndReadingBack) {
  Canvas dst(16, 16);
  // An 8-bit DIB section as the source.
  TestDib dib = MakeDib(8, BI_RGB, true);
  HDC srcDc = CreateCompatibleDC(dst.dc());
  ASSERT_NE(srcDc, nullptr);
  void* bits = nullptr;
  Obj<HBITMAP> section(CreateDIBSection(srcDc, dib.bmi(), DIB_RGB_COLORS, &bits, nullptr, 0));
  ASSERT_NE(section.get(), nullptr);
  std::memcpy(bits, dib.bits.data(), dib.bits.size());
  HGDIOBJ old = SelectObject(srcDc, section.get());
  EXPECT_FALSE(DeleteObject(section.get())) << "selected bitmaps stay";
  ASSERT_TRUE(BitBlt(dst.dc(), 2, 2, 4, 2, srcDc, 0, 0, SRCCOPY));
  EXPECT_EQ(dst.At(2, 2), kColors[0]);
  EXPECT_EQ(dst.At(5, 3), kColors[0]);
  // A negative height runs upwards from y = 8 and turns the image upside down.
  ASSERT_TRUE(StretchBlt(dst.dc(), 8, 8, 8, -4, srcDc, 0, 0, 4, 2, SRCCOPY));
  EXPECT_EQ(dst.At(8, 7), kColors[0]);
  EXPECT_EQ(dst.At(15, 6), kColors[3]);
  EXPECT_EQ(dst.At(8, 4), kColors[3]);
  EXPECT_EQ(dst.At(8, 8), RGB(255, 255, 255));
  // Raster operations with the destination: SRCINVERT twice restores it.
  dst.Clear(RGB(0x12, 0x34, 0x56));
  BitBlt(dst.dc(), 0, 0, 4, 2, srcDc, 0, 0, SRCINVERT);
  EXPECT_EQ(dst.At(0, 0), RGB(0x12 ^ 0xFF, 0x34, 0x56));
  BitBlt(dst.dc(), 0, 0, 4, 2, srcDc, 0, 0, SRCINVERT);
  EXPECT_EQ(dst.At(0, 0), RGB(0x12, 0x34, 0x56));
  // A printer-less blit source must be a memory DC; a bad one fails.
  EXPECT_FALSE(BitBlt(dst.dc(), 0, 0, 4, 2, nullptr, 0, 0, SRCCOPY));
  SelectObject(srcDc, old);
  DeleteDC(srcDc);

  // Read back through GetDIBits as 24-bit bottom-up rows.
  dst.Clear(RGB(10, 20, 30));
  dst.Set(0, 15, RGB(200, 100, 50));  // the bottom-left pixel
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  ASSERT_NE(GetDIBits(dst.dc(), dst.bitmap(), 0, 16, nullptr, &info, DIB_RGB_COLORS), 0);
  EXPECT_EQ(info.bmiHeader.biWidth, 16);
  EXPECT_EQ(info.bmiHeader.biBitCount, 32);
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biHeight = 16;
  std::vector<BYTE> out(48 * 16);
  ASSERT_EQ(GetDIBits(dst.dc(), dst.bitmap(), 0, 16, out.data(), &info, DIB_RGB_COLORS), 16);
  EXPECT_EQ(out[0], 50);
  EXPECT_EQ(out[1], 100);
  EXPECT_EQ(out[2], 200);
  EXPECT_EQ(out[3], 30);
}

TEST(GdiDrawBitmaps, MemoryDcStartsMonochromeAndCompatibleBitmapsFollowIt) {
  HDC dc = CreateCompatibleDC(nullptr);
  ASSERT_NE(dc, nullptr);
  EXPECT_EQ(GetDeviceCaps(dc, BITSPIXEL), 1);
  EXPECT_EQ(GetDeviceCaps(dc, HORZRES), 1);
  EXPECT_EQ(GetObjectType(dc), OBJ_MEMDC);
  Obj<HBITMAP> mono(CreateCompatibleBitmap(dc, 8, 8));
  Obj<HBITMAP> color(CreateCompatibleBitmap(nullptr, 8, 8));
  HGDIOBJ old = SelectObject(dc, mono.get());
  EXPECT_EQ(GetDeviceCaps(dc, BITSPIXEL), 1);
  SelectObject(dc, color.get());
  EXPECT_EQ(GetDeviceCaps(dc, BITSPIXEL), 32);
  Obj<HBRUSH> red(CreateSolidBrush(RGB(255, 0, 0)));
  const RECT r{0, 0, 8, 8};
  ASSERT_TRUE(FillRect(dc, &r, red.get()));
  EXPECT_EQ(GetPixel(dc, 3, 3), RGB(255, 0, 0));
  EXPECT_EQ(GetPixel(dc, 8, 3), CLR_INVALID);
  HDC other = CreateCompatibleDC(dc);
  EXPECT_EQ(SelectObject(other, color.get()), nullptr) << "one DC at a time";
  DeleteDC(other);
  SelectObject(dc, old);
  DeleteDC(dc);
}

TEST(GdiDrawBitmaps, MalformedAndOversizedDibsAreRefused) {
  Canvas c(8, 8);
  TestDib good = MakeDib(24, BI_RGB, false);
  auto with = [&](auto change) {
    TestDib d = good;
    BITMAPINFOHEADER h;
    std::memcpy(&h, d.info.data(), sizeof h);
    change(h);
    std::memcpy(d.info.data(), &h, sizeof h);
    return d;
  };
  const struct {
    const char* name;
    TestDib dib;
    DWORD error;
  } cases[] = {
      {"huge width", with([](BITMAPINFOHEADER& h) { h.biWidth = 1000000000; }), ERROR_NOT_ENOUGH_MEMORY},
      {"huge height", with([](BITMAPINFOHEADER& h) { h.biHeight = -1000000000; }), ERROR_NOT_ENOUGH_MEMORY},
      {"zero width", with([](BITMAPINFOHEADER& h) { h.biWidth = 0; }), ERROR_INVALID_PARAMETER},
      {"zero height", with([](BITMAPINFOHEADER& h) { h.biHeight = 0; }), ERROR_INVALID_PARAMETER},
      {"depth 7", with([](BITMAPINFOHEADER& h) { h.biBitCount = 7; }), ERROR_INVALID_PARAMETER},
      {"two planes", with([](BITMAPINFOHEADER& h) { h.biPlanes = 2; }), ERROR_INVALID_PARAMETER},
      {"run-length", with([](BITMAPINFOHEADER& h) { h.biCompression = BI_RLE8; }), ERROR_INVALID_PARAMETER},
      {"bit fields at 24", with([](BITMAPINFOHEADER& h) { h.biCompression = BI_BITFIELDS; }), ERROR_INVALID_PARAMETER},
      {"short header", with([](BITMAPINFOHEADER& h) { h.biSize = 12; }), ERROR_INVALID_PARAMETER},
  };
  for (const auto& k : cases) {
    SetLastError(0);
    EXPECT_EQ(StretchDIBits(c.dc(), 0, 0, 4, 2, 0, 0, 4, 2, k.dib.bits.data(), k.dib.bmi(),
                            DIB_RGB_COLORS, SRCCOPY), 0) << k.name;
    EXPECT_EQ(GetLastError(), k.error) << k.name;
    void* bits = nullptr;
    EXPECT_EQ(CreateDIBSection(c.dc(), k.dib.bmi(), DIB_RGB_COLORS, &bits, nullptr, 0), nullptr)
        << k.name;
    EXPECT_EQ(bits, nullptr);
  }
  // Zero sizes draw nothing and fail; null bits, null info, palette indices too.
  EXPECT_EQ(StretchDIBits(c.dc(), 0, 0, 0, 2, 0, 0, 4, 2, good.bits.data(), good.bmi(),
                          DIB_RGB_COLORS, SRCCOPY), 0);
  EXPECT_EQ(StretchDIBits(c.dc(), 0, 0, 4, 2, 0, 0, 4, 2, nullptr, good.bmi(), DIB_RGB_COLORS,
                          SRCCOPY), 0);
  EXPECT_EQ(StretchDIBits(c.dc(), 0, 0, 4, 2, 0, 0, 4, 2, good.bits.data(), nullptr,
                          DIB_RGB_COLORS, SRCCOPY), 0);
  EXPECT_EQ(SetDIBitsToDevice(c.dc(), 0, 0, 4, 2, 0, 0, 0, 2, good.bits.data(), good.bmi(),
                              DIB_PAL_COLORS), 0);
  EXPECT_EQ(CreateCompatibleBitmap(c.dc(), -1, 5), nullptr);
  EXPECT_EQ(CreateBitmap(100000, 100000, 1, 32, nullptr), nullptr);
  EXPECT_EQ(GetDIBits(c.dc(), nullptr, 0, 1, nullptr, nullptr, DIB_RGB_COLORS), 0);
}

}  // namespace
