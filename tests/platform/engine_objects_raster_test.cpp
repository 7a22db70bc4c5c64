// Engine bitmaps, colour translation, transforms, brush realization and the
// engine's own drawing on bitmaps, checked against per-pixel references.
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_owned.h"

#include "kvplat/engine_objects.h"
#include "kvplat/fault.h"

namespace {

using namespace kvplat::engine;

using BitmapPtr = kvtest::Surface;
using ClipPtr = kvtest::Clip;
using PathPtr = kvtest::Path;

BitmapPtr Bitmap(LONG cx, LONG cy, ULONG format) {
  return BitmapPtr(CreateBitmapSurface(SIZEL{cx, cy}, format));
}

// Deterministic test content in a surface's own format.
void Scribble(SURFOBJ* so, ULONG seed) {
  ULONG mask = BitsPerPixel(so->iBitmapFormat) >= 32 ? 0xFFFFFFFF
                                                       : (1u << BitsPerPixel(so->iBitmapFormat)) - 1;
  for (LONG y = 0; y < so->sizlBitmap.cy; ++y) {
    for (LONG x = 0; x < so->sizlBitmap.cx; ++x) {
      seed = seed * 1103515245 + 12345;
      SetPixel(so, x, y, (seed >> 7) & mask);
    }
  }
}

TEST(EngineBitmap, EachFormatStoresItsPixels) {
  struct Case {
    ULONG format;
    ULONG bpp;
    ULONG value;
  };
  const Case cases[] = {{BMF_1BPP, 1, 1},       {BMF_4BPP, 4, 0xA},       {BMF_8BPP, 8, 0xC3},
                        {BMF_16BPP, 16, 0x7BCD}, {BMF_24BPP, 24, 0x123456}, {BMF_32BPP, 32, 0x89ABCDEF}};
  for (const Case& c : cases) {
    BitmapPtr b = Bitmap(13, 5, c.format);
    ASSERT_NE(b, nullptr) << c.format;
    EXPECT_EQ(b->iType, STYPE_BITMAP);
    EXPECT_EQ(BitsPerPixel(c.format), c.bpp);
    EXPECT_EQ(b->lDelta, static_cast<LONG>((13 * c.bpp + 31) / 32 * 4));
    EXPECT_EQ(b->cjBits, static_cast<ULONG>(b->lDelta) * 5);
    SetPixel(b.get(), 12, 4, c.value);
    SetPixel(b.get(), 11, 4, 0);
    EXPECT_EQ(GetPixel(b.get(), 12, 4), c.value);
    EXPECT_EQ(GetPixel(b.get(), 11, 4), 0u);
    EXPECT_EQ(GetPixel(b.get(), 13, 4), 0u);  // outside
  }
  // EngCreateBitmap: bottom-up unless asked, lockable, deletable.
  HBITMAP h = EngCreateBitmap(SIZEL{8, 4}, 0, BMF_24BPP, 0, nullptr);
  ASSERT_NE(h, nullptr);
  SURFOBJ* so = EngLockSurface(reinterpret_cast<HSURF>(h));
  ASSERT_NE(so, nullptr);
  EXPECT_EQ(so->iType, STYPE_BITMAP);
  EXPECT_EQ(so->lDelta, -24);
  EXPECT_EQ(so->pvScan0, static_cast<BYTE*>(so->pvBits) + 72);
  SetPixel(so, 0, 0, 0xFFFFFF);
  EXPECT_EQ(static_cast<BYTE*>(so->pvBits)[72], 0xFF);
  EngUnlockSurface(so);
  EXPECT_TRUE(ReleaseBitmapBits(reinterpret_cast<HSURF>(h)));
  EXPECT_TRUE(EngDeleteSurface(reinterpret_cast<HSURF>(h)));
  // Caller memory with its own stride.
  std::vector<BYTE> memory(40 * 3);
  h = EngCreateBitmap(SIZEL{9, 3}, 40, BMF_8BPP, BMF_TOPDOWN, memory.data());
  ASSERT_NE(h, nullptr);
  so = EngLockSurface(reinterpret_cast<HSURF>(h));
  SetPixel(so, 2, 1, 7);
  EXPECT_EQ(memory[42], 7);
  DeleteBitmapSurface(so);
  EXPECT_EQ(EngCreateBitmap(SIZEL{9, 3}, 4, BMF_8BPP, 0, memory.data()), nullptr);  // stride too small
}

TEST(EngineBitmap, BadSizesAndFormatsAreRefused) {
  const SIZEL sizes[] = {{0, 10}, {10, 0}, {-5, 10}, {10, -5}, {40000, 10}, {32767, 32767}};
  for (const SIZEL& s : sizes) EXPECT_EQ(CreateBitmapSurface(s, BMF_32BPP), nullptr) << s.cx;
  EXPECT_EQ(CreateBitmapSurface(SIZEL{10, 10}, 0), nullptr);
  EXPECT_EQ(CreateBitmapSurface(SIZEL{10, 10}, 7), nullptr);
  kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0, 1);
  EXPECT_EQ(CreateBitmapSurface(SIZEL{10, 10}, BMF_8BPP), nullptr);
  kvplat::fault::ClearAll();
}

TEST(EngineXlate, PalettesTranslateToTheDestination) {
  const ULONG mono[] = {0x000000, 0xFFFFFF};
  XLATEOBJ* x = CreateXlate(FormatPalette(BMF_1BPP, mono), PaletteDesc{PAL_RGB});
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->flXlate & XO_TABLE, XO_TABLE);
  ASSERT_EQ(x->cEntries, 2u);
  EXPECT_EQ(x->pulXlate[1], 0xFFFFFFu);
  EXPECT_EQ(XLATEOBJ_iXlate(x, 0), 0u);
  EXPECT_EQ(XLATEOBJ_iXlate(x, 5), 0u);  // out of the table
  EXPECT_EQ(x->iSrcType, PAL_INDEXED);
  DeleteXlate(x);

  struct Case {
    PaletteDesc src, dst;
    ULONG in, out;
  };
  const ULONG four[] = {0x000000, 0x0000FF, 0x00FF00, 0xFF0000};
  const Case cases[] = {
      {FormatPalette(BMF_4BPP, four), PaletteDesc{PAL_BGR}, 1, 0xFF0000},  // red
      {FormatPalette(BMF_4BPP), PaletteDesc{PAL_RGB}, 12, 0xFF0000},       // VGA blue
      {FormatPalette(BMF_8BPP), PaletteDesc{PAL_RGB}, 15, 0xFFFFFF},
      {PaletteDesc{PAL_RGB}, PaletteDesc{PAL_BGR}, 0x123456, 0x563412},
      {PaletteDesc{PAL_BGR}, PaletteDesc{PAL_RGB}, 0x563412, 0x123456},
      {PaletteDesc{PAL_BITFIELDS, {}, 0xF800, 0x07E0, 0x001F}, PaletteDesc{PAL_RGB}, 0xF800, 0x0000FF},
      {PaletteDesc{PAL_BITFIELDS, {}, 0xF800, 0x07E0, 0x001F}, PaletteDesc{PAL_RGB}, 0x07E0, 0x00FF00},
      {PaletteDesc{PAL_RGB}, FormatPalette(BMF_16BPP), 0xFF0000, 0x001F},
      {PaletteDesc{PAL_RGB}, FormatPalette(BMF_4BPP, four), 0xF00010, 3},  // nearest entry
      {PaletteDesc{PAL_RGB}, FormatPalette(BMF_1BPP), 0xC0C0C0, 1},
  };
  for (const Case& c : cases) {
    XLATEOBJ* t = CreateXlate(c.src, c.dst);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(XLATEOBJ_iXlate(t, c.in), c.out) << std::hex << c.in;
    DeleteXlate(t);
  }
  // Same palettes are trivial; a null translation leaves colours alone.
  XLATEOBJ* same = CreateXlate(PaletteDesc{PAL_BGR}, PaletteDesc{PAL_BGR});
  EXPECT_EQ(same->flXlate, XO_TRIVIAL);
  EXPECT_EQ(XLATEOBJ_iXlate(same, 0xABCDEF), 0xABCDEFu);
  ULONG entries[4] = {};
  EXPECT_EQ(XLATEOBJ_cGetPalette(same, XO_SRCPALETTE, 4, entries), 0u);
  DeleteXlate(same);
  EXPECT_EQ(XLATEOBJ_iXlate(nullptr, 0x42), 0x42u);
}

TEST(EngineXform, MatricesApplyInEachMode) {
  XFORMOBJ* x = CreateXform(FLOATOBJ_XFORM{2.0f, 0.0f, 0.0f, 3.0f, 10.0f, -4.0f});
  ASSERT_NE(x, nullptr);
  XFORML m{};
  EXPECT_EQ(XFORMOBJ_iGetXform(x, &m), GX_SCALE);
  EXPECT_EQ(m.eM22, 3.0f);
  EXPECT_EQ(m.eDx, 10.0f);
  POINTL p[2] = {{1, 2}, {-3, 5}};
  POINTL out[2];
  ASSERT_TRUE(XFORMOBJ_bApplyXform(x, XF_LTOL, 2, p, out));
  EXPECT_EQ(out[0].x, 12);
  EXPECT_EQ(out[0].y, 2);
  EXPECT_EQ(out[1].x, 4);
  EXPECT_EQ(out[1].y, 11);
  POINTL back[2];
  ASSERT_TRUE(XFORMOBJ_bApplyXform(x, XF_INV_LTOL, 2, out, back));
  EXPECT_EQ(back[1].x, -3);
  EXPECT_EQ(back[1].y, 5);
  POINTL fx[1];
  ASSERT_TRUE(XFORMOBJ_bApplyXform(x, XF_LTOFX, 1, p, fx));
  EXPECT_EQ(fx[0].x, 12 * 16);
  ASSERT_TRUE(XFORMOBJ_bApplyXform(x, XF_INV_FXTOL, 1, fx, back));
  EXPECT_EQ(back[0].x, 1);
  EXPECT_EQ(back[0].y, 2);
  EXPECT_FALSE(XFORMOBJ_bApplyXform(x, 9, 1, p, out));
  DeleteXform(x);

  XFORMOBJ* rotate = CreateXform(FLOATOBJ_XFORM{0.0f, 1.0f, -1.0f, 0.0f, 0.0f, 0.0f});
  EXPECT_EQ(XFORMOBJ_iGetXform(rotate, nullptr), GX_GENERAL);
  ASSERT_TRUE(XFORMOBJ_bApplyXform(rotate, XF_LTOL, 1, p, out));
  EXPECT_EQ(out[0].x, -2);
  EXPECT_EQ(out[0].y, 1);
  DeleteXform(rotate);
  XFORMOBJ* identity = CreateXform(FLOATOBJ_XFORM{1, 0, 0, 1, 0, 0});
  EXPECT_EQ(XFORMOBJ_iGetXform(identity, nullptr), GX_IDENTITY);
  DeleteXform(identity);
  XFORMOBJ* singular = CreateXform(FLOATOBJ_XFORM{1, 2, 2, 4, 0, 0});
  EXPECT_FALSE(XFORMOBJ_bApplyXform(singular, XF_INV_LTOL, 1, p, out));
  DeleteXform(singular);
  EXPECT_EQ(XFORMOBJ_iGetXform(nullptr, &m), DDI_ERROR);
}

// A driver's DrvRealizeBrush that records its arguments.
struct RealizeCall {
  int calls = 0;
  SURFOBJ* target = nullptr;
  SURFOBJ* pattern = nullptr;
  XLATEOBJ* xlate = nullptr;
  ULONG hatch = 0;
  BOOL result = TRUE;
} g_realize;

BOOL FakeRealizeBrush(BRUSHOBJ* pbo, SURFOBJ* target, SURFOBJ* pattern, SURFOBJ*,
                      XLATEOBJ* xlate, ULONG hatch) {
  ++g_realize.calls;
  g_realize.target = target;
  g_realize.pattern = pattern;
  g_realize.xlate = xlate;
  g_realize.hatch = hatch;
  auto* block = static_cast<ULONG*>(BRUSHOBJ_pvAllocRbrush(pbo, 64));
  if (block == nullptr) return FALSE;
  block[0] = 0x52424B56;
  block[1] = hatch;
  // A driver may ask again while realizing; it must not recurse.
  EXPECT_EQ(BRUSHOBJ_pvGetRbrush(pbo), nullptr);
  return g_realize.result;
}

TEST(EngineBrush, PatternBrushIsRealizedOnceThroughTheDriverTable) {
  const DRVFN table[] = {{INDEX_DrvEnablePDEV, nullptr},
                         {INDEX_DrvRealizeBrush, reinterpret_cast<PFN>(&FakeRealizeBrush)}};
  auto realize = reinterpret_cast<PFN_DrvRealizeBrush>(FindDriverFunction(table, INDEX_DrvRealizeBrush));
  ASSERT_NE(realize, nullptr);
  BitmapPtr target = Bitmap(64, 64, BMF_24BPP);
  BitmapPtr pattern = Bitmap(8, 8, BMF_1BPP);
  XLATEOBJ* xlate = CreateXlate(FormatPalette(BMF_1BPP), PaletteDesc{PAL_RGB});
  g_realize = RealizeCall{};
  BrushSetup setup;
  setup.target = target.get();
  setup.pattern = pattern.get();
  setup.xlate = xlate;
  setup.hatch = 42;
  setup.realize = realize;
  BRUSHOBJ* brush = CreateBrush(setup);
  ASSERT_NE(brush, nullptr);
  EXPECT_EQ(brush->iSolidColor, 0xFFFFFFFFu);
  EXPECT_EQ(brush->pvRbrush, nullptr);
  auto* rb = static_cast<ULONG*>(BRUSHOBJ_pvGetRbrush(brush));
  ASSERT_NE(rb, nullptr);
  EXPECT_EQ(rb[0], 0x52424B56u);
  EXPECT_EQ(brush->pvRbrush, rb);
  EXPECT_EQ(g_realize.calls, 1);
  EXPECT_EQ(g_realize.target, target.get());
  EXPECT_EQ(g_realize.pattern, pattern.get());
  EXPECT_EQ(g_realize.xlate, xlate);
  EXPECT_EQ(g_realize.hatch, 42u);
  EXPECT_EQ(BRUSHOBJ_pvGetRbrush(brush), rb);
  EXPECT_EQ(g_realize.calls, 1);
  DeleteBrush(brush);

  // A refused realization leaves none (and nothing allocated behind).
  g_realize = RealizeCall{};
  g_realize.result = FALSE;
  brush = CreateBrush(setup);
  EXPECT_EQ(BRUSHOBJ_pvGetRbrush(brush), nullptr);
  EXPECT_EQ(brush->pvRbrush, nullptr);
  DeleteBrush(brush);

  // Solid brushes carry their colour and need no realization; a brush whose
  // target has no device cannot be realized.
  BRUSHOBJ* solid = CreateBrush(BrushSetup{0x808080, target.get()});
  EXPECT_EQ(BRUSHOBJ_pvGetRbrush(solid), nullptr);
  EXPECT_EQ(BRUSHOBJ_ulGetBrushColor(solid), 0x808080u);
  DeleteBrush(solid);
  EXPECT_EQ(DriverRealizeBrush(target.get()), nullptr);
  EXPECT_EQ(BRUSHOBJ_pvAllocRbrush(nullptr, 16), nullptr);
  DeleteXlate(xlate);
}

ULONG RopReference(ULONG rop, ULONG p, ULONG s, ULONG d) {
  ULONG r = 0;
  for (int bit = 0; bit < 32; ++bit) {
    int index = (((p >> bit) & 1) << 2) | (((s >> bit) & 1) << 1) | ((d >> bit) & 1);
    r |= ((rop >> index) & 1) << bit;
  }
  return r;
}

TEST(EngineBlit, BitBltAppliesRop4PerPixel) {
  const ULONG formats[] = {BMF_1BPP, BMF_24BPP, BMF_32BPP};
  const ROP4 rops[] = {Rop4(kRopSrcCopy), Rop4(kRopSrcInvert), Rop4(kRopSrcAnd),
                       Rop4(kRopNotSrcCopy), Rop4(kRopPatCopy), Rop4(0xB8),
                       0xAACC /* source through the mask, destination elsewhere */};
  for (ULONG format : formats) {
    ULONG mask = format == BMF_1BPP ? 1 : format == BMF_24BPP ? 0xFFFFFF : 0xFFFFFFFF;
    for (ROP4 rop4 : rops) {
      BitmapPtr src = Bitmap(20, 15, format), dst = Bitmap(30, 25, format),
                before = Bitmap(30, 25, format), maskBits = Bitmap(20, 15, BMF_1BPP);
      Scribble(src.get(), 1);
      Scribble(dst.get(), 2);
      Scribble(maskBits.get(), 3);
      std::memcpy(before->pvBits, dst->pvBits, dst->cjBits);
      BRUSHOBJ brush{0x5A5A5A5A & mask, nullptr, 0};
      RECTL rect{4, 6, 20, 18};
      POINTL srcAt{2, 1}, maskAt{1, 2};
      const RECTL clipRects[] = {{0, 0, 12, 10}, {14, 10, 30, 25}};
      ClipPtr clip(CreateClipFromRects(clipRects));
      ASSERT_TRUE(EngBitBlt(dst.get(), src.get(), maskBits.get(), clip.get(), nullptr, &rect,
                            &srcAt, &maskAt, &brush, nullptr, rop4));
      for (LONG y = 0; y < 25; ++y) {
        for (LONG x = 0; x < 30; ++x) {
          ULONG d = GetPixel(before.get(), x, y), expected = d;
          bool inside = x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom &&
                        ClipContains(clip.get(), x, y);
          if (inside) {
            ULONG s = GetPixel(src.get(), srcAt.x + x - rect.left, srcAt.y + y - rect.top);
            bool fg = GetPixel(maskBits.get(), maskAt.x + x - rect.left, maskAt.y + y - rect.top);
            ULONG rop = fg ? (rop4 & 0xFF) : (rop4 >> 8);
            expected = RopReference(rop, brush.iSolidColor, s, d) & mask;
          }
          ASSERT_EQ(GetPixel(dst.get(), x, y), expected)
              << "format " << format << " rop4 " << std::hex << rop4 << std::dec << " at " << x
              << "," << y;
        }
      }
    }
  }
}

TEST(EngineBlit, CopiesTranslateAndHandleOverlap) {
  // 1-bit to 24-bit through a palette table.
  BitmapPtr mono = Bitmap(16, 4, BMF_1BPP), color = Bitmap(16, 4, BMF_24BPP);
  Scribble(mono.get(), 9);
  const ULONG pal[] = {0x0000FF, 0x00FF00};
  XLATEOBJ* x = CreateXlate(FormatPalette(BMF_1BPP, pal), PaletteDesc{PAL_BGR});
  RECTL all{0, 0, 16, 4};
  POINTL origin{0, 0};
  ASSERT_TRUE(EngCopyBits(color.get(), mono.get(), nullptr, x, &all, &origin));
  for (LONG i = 0; i < 16; ++i) {
    EXPECT_EQ(GetPixel(color.get(), i, 2), GetPixel(mono.get(), i, 2) ? 0x00FF00u : 0xFF0000u);
  }
  DeleteXlate(x);
  // Overlapping copy within one surface moves the original pixels.
  BitmapPtr b = Bitmap(10, 10, BMF_8BPP), ref = Bitmap(10, 10, BMF_8BPP);
  Scribble(b.get(), 4);
  std::memcpy(ref->pvBits, b->pvBits, b->cjBits);
  RECTL to{2, 3, 9, 10};
  POINTL from{0, 1};
  ASSERT_TRUE(EngBitBlt(b.get(), b.get(), nullptr, nullptr, nullptr, &to, &from, nullptr, nullptr,
                        nullptr, Rop4(kRopSrcCopy)));
  for (LONG y = 3; y < 10; ++y)
    for (LONG xx = 2; xx < 9; ++xx)
      ASSERT_EQ(GetPixel(b.get(), xx, y), GetPixel(ref.get(), xx - 2, y - 2)) << xx << "," << y;
  // Bad arguments.
  EXPECT_FALSE(EngBitBlt(b.get(), nullptr, nullptr, nullptr, nullptr, &to, &from, nullptr, nullptr,
                         nullptr, Rop4(kRopSrcCopy)));
  EXPECT_FALSE(EngBitBlt(b.get(), b.get(), nullptr, nullptr, nullptr, &to, &from, nullptr, nullptr,
                         nullptr, 0x1CCCC));
  EXPECT_FALSE(EngBitBlt(b.get(), nullptr, nullptr, nullptr, nullptr, &to, nullptr, nullptr,
                         nullptr, nullptr, Rop4(kRopPatCopy)));  // no brush
}

TEST(EngineBlit, StretchRepeatsAndSkipsSourcePixels) {
  BitmapPtr small = Bitmap(2, 2, BMF_8BPP), big = Bitmap(4, 4, BMF_8BPP);
  for (LONG y = 0; y < 2; ++y)
    for (LONG x = 0; x < 2; ++x) SetPixel(small.get(), x, y, 10 * y + x + 1);
  RECTL dst{0, 0, 4, 4}, src{0, 0, 2, 2};
  ASSERT_TRUE(EngStretchBlt(big.get(), small.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                            &dst, &src, nullptr, COLORONCOLOR));
  for (LONG y = 0; y < 4; ++y)
    for (LONG x = 0; x < 4; ++x) EXPECT_EQ(GetPixel(big.get(), x, y), 10u * (y / 2) + x / 2 + 1);

  for (LONG y = 0; y < 4; ++y)
    for (LONG x = 0; x < 4; ++x) SetPixel(big.get(), x, y, 10 * y + x);
  RECTL down{0, 0, 2, 2}, whole{0, 0, 4, 4};
  ASSERT_TRUE(EngStretchBlt(small.get(), big.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                            &down, &whole, nullptr, COLORONCOLOR));
  EXPECT_EQ(GetPixel(small.get(), 0, 0), 11u);
  EXPECT_EQ(GetPixel(small.get(), 1, 1), 33u);
  // A mirrored destination reverses the columns.
  RECTL mirrored{4, 0, 0, 4};
  BitmapPtr out = Bitmap(4, 4, BMF_8BPP);
  ASSERT_TRUE(EngStretchBlt(out.get(), big.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                            &mirrored, &whole, nullptr, COLORONCOLOR));
  EXPECT_EQ(GetPixel(out.get(), 0, 1), 13u);
  EXPECT_EQ(GetPixel(out.get(), 3, 1), 10u);
}

TEST(EngineBlit, EraseFillsTheRectangleOnTheSurface) {
  BitmapPtr b = Bitmap(10, 6, BMF_24BPP);
  RECTL r{7, -3, 20, 2};  // partly outside
  ASSERT_TRUE(EngEraseSurface(b.get(), &r, 0xFFFFFF));
  for (LONG y = 0; y < 6; ++y)
    for (LONG x = 0; x < 10; ++x)
      EXPECT_EQ(GetPixel(b.get(), x, y), (x >= 7 && y < 2) ? 0xFFFFFFu : 0u) << x << "," << y;
  EXPECT_FALSE(EngEraseSurface(b.get(), nullptr, 0));
}

TEST(EnginePaint, ComplexRegionPaintsExactlyItsPixels) {
  PathPtr ring(EngCreatePath());
  AddRectangle(ring.get(), RECTL{3, 2, 60, 40});
  AddRectangle(ring.get(), RECTL{20, 10, 30, 30});
  ClipPtr clip(CreateClipFromPath(ring.get(), FP_ALTERNATEMODE));
  ASSERT_EQ(clip->iDComplexity, DC_COMPLEX);
  for (MIX mix : {MIX(0x0D0D), MIX(0x0707)}) {  // copy pen, xor pen
    BitmapPtr b = Bitmap(64, 48, BMF_32BPP), before = Bitmap(64, 48, BMF_32BPP);
    Scribble(b.get(), 5);
    std::memcpy(before->pvBits, b->pvBits, b->cjBits);
    BRUSHOBJ brush{0x00336699, nullptr, 0};
    ASSERT_TRUE(EngPaint(b.get(), clip.get(), &brush, nullptr, mix));
    for (LONG y = 0; y < 48; ++y) {
      for (LONG x = 0; x < 64; ++x) {
        bool inside = x >= 3 && x < 60 && y >= 2 && y < 40 && !(x >= 20 && x < 30 && y >= 10 && y < 30);
        ULONG d = GetPixel(before.get(), x, y);
        ULONG expected = !inside ? d : mix == 0x0D0D ? 0x00336699u : d ^ 0x00336699u;
        ASSERT_EQ(GetPixel(b.get(), x, y), expected) << x << "," << y;
      }
    }
  }
  // Mix codes map to the ternary operations on pattern and destination.
  EXPECT_EQ(MixToRop3(13), 0xF0u);
  EXPECT_EQ(MixToRop3(1), 0x00u);
  EXPECT_EQ(MixToRop3(11), 0xAAu);
  EXPECT_EQ(MixToRop3(7), 0x5Au);
  EXPECT_EQ(MixToRop3(16), 0xFFu);
}

// Brute-force inside test at pixel centres (exact integer arithmetic).
bool Inside(const std::vector<POINTFIX>& poly, LONG px, LONG py, bool winding) {
  long long cx = px * 16 + 8, cy = py * 16 + 8;
  int count = 0;
  for (std::size_t i = 0; i < poly.size(); ++i) {
    POINTFIX a = poly[i], b = poly[(i + 1) % poly.size()];
    if (a.y == b.y) continue;
    int dir = a.y < b.y ? 1 : -1;
    if (dir < 0) std::swap(a, b);
    if (cy < a.y || cy >= b.y) continue;
    // crossing x <= centre x
    long long lhs = (cy - a.y) * (long long)(b.x - a.x), rhs = (cx - a.x) * (long long)(b.y - a.y);
    if (lhs <= rhs) count += winding ? dir : 1;
  }
  return winding ? count != 0 : (count & 1) != 0;
}

TEST(EngineFill, FillsMatchBruteForceInEachFormat) {
  const double pi = 3.14159265358979;
  std::vector<POINTFIX> star;
  for (int i = 0; i < 7; ++i) {
    double a = i * 6 * pi / 7;
    star.push_back(POINTFIX{static_cast<FIX>(640 + 590 * std::cos(a)) | 3,
                            static_cast<FIX>(600 + 560 * std::sin(a)) | 5});
  }
  PathPtr path(EngCreatePath());
  ASSERT_TRUE(PATHOBJ_bMoveTo(path.get(), star[0]));
  ASSERT_TRUE(PATHOBJ_bPolyLineTo(path.get(), star.data() + 1, static_cast<ULONG>(star.size() - 1)));
  const RECTL clipRects[] = {{0, 0, 50, 60}, {60, 30, 90, 70}};
  ClipPtr clip(CreateClipFromRects(clipRects));
  for (ULONG format : {BMF_1BPP, BMF_24BPP, BMF_32BPP}) {
    for (FLONG mode : {FP_ALTERNATEMODE, FP_WINDINGMODE}) {
      BitmapPtr b = Bitmap(81, 77, format);
      BRUSHOBJ brush{1, nullptr, 0};
      ASSERT_TRUE(EngFillPath(b.get(), path.get(), clip.get(), &brush, nullptr, 0x0D0D, mode));
      int set = 0;
      for (LONG y = 0; y < 77; ++y) {
        for (LONG x = 0; x < 81; ++x) {
          bool expected = Inside(star, x, y, mode == FP_WINDINGMODE) && ClipContains(clip.get(), x, y);
          set += expected;
          ASSERT_EQ(GetPixel(b.get(), x, y), expected ? 1u : 0u)
              << "format " << format << " mode " << mode << " at " << x << "," << y;
        }
      }
      EXPECT_GT(set, 500);
    }
  }
}

}  // namespace
