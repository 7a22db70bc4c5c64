// Drawing on a printer DC: every call reaches the graphics library or the
// engine's fallbacks, in the engine's order, and a call that nobody draws
// fails instead of vanishing. Whatever the library takes shows in the stream.
#include <vector>

#include "gdi_fixture.h"
#include "tools/pcldump/pcl_decoder.h"

namespace {

using gditest::Dc;
using gditest::GdiTest;
using gditest::ReadHostFile;
using kvplat::gdi::CurrentDriverCallCounts;
using kvplat::gdi::DriverCallCounts;
using kvplat::gdi::ResetDriverCallCounts;

// Runs one drawing call and checks that it reached someone: the library took
// it (a call not refused) or the engine drew it; a failure must be counted as lost.
void ExpectDeliveredOrFailed(const char* name, BOOL result) {
  const DriverCallCounts n = CurrentDriverCallCounts();
  ULONG taken = 0;
  for (ULONG i = 0; i <= INDEX_LAST; ++i) taken += n.calls[i] - n.refused[i];
  if (result) {
    EXPECT_TRUE(taken > 0 || n.engineRenderings > 0) << name;
    EXPECT_EQ(n.lost, 0u) << name;
  } else {
    EXPECT_EQ(n.lost, 1u) << name << ": a failed call is one that reached nobody";
    EXPECT_NE(GetLastError(), ERROR_SUCCESS) << name;
  }
}

TEST_F(GdiTest, DrawingReachesTheLibraryOrFallsBackWithoutLoss) {
  Dc dc(Create());
  ASSERT_NE(dc.get(), nullptr);
  // No page, no output (attributes are fine).
  SetLastError(0);
  EXPECT_FALSE(Rectangle(dc.get(), 0, 0, 100, 100));
  EXPECT_EQ(GetLastError(), ERROR_SPL_NO_STARTDOC);
  DOCINFOW doc{sizeof(DOCINFOW), u"drawing", nullptr, nullptr, 0};
  ASSERT_GT(StartDocW(dc.get(), &doc), 0);
  EXPECT_FALSE(Ellipse(dc.get(), 0, 0, 100, 100));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINTER_STATE);
  ASSERT_GT(StartPage(dc.get()), 0);

  HBRUSH hatch = CreateHatchBrush(HS_DIAGCROSS, RGB(0, 0, 255));
  LOGBRUSH lb{BS_SOLID, RGB(255, 0, 0), 0};
  HPEN wide = ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_FLAT, 20, &lb, 0, nullptr);
  HPEN dashed = CreatePen(PS_DASH, 0, RGB(0, 0, 0));
  SelectObject(dc.get(), hatch);

  ResetDriverCallCounts();
  ExpectDeliveredOrFailed("rectangle", Rectangle(dc.get(), 100, 100, 600, 400));
  {
    // The library got the stroke first (it hooks paths).
    const DriverCallCounts n = CurrentDriverCallCounts();
    EXPECT_GE(n.calls[INDEX_DrvStrokeAndFillPath] + n.calls[INDEX_DrvFillPath], 1u);
  }

  ResetDriverCallCounts();
  SelectObject(dc.get(), wide);
  const POINT curve[] = {{100, 800}, {300, 500}, {500, 1100}, {700, 800}};
  ExpectDeliveredOrFailed("bezier", PolyBezier(dc.get(), curve, 4));
  {
    const DriverCallCounts n = CurrentDriverCallCounts();
    ASSERT_GE(n.calls[INDEX_DrvStrokePath], 1u);
    if (n.refused[INDEX_DrvStrokePath] > 0) {
      // Refused with curves, asked again with them flattened; still refused,
      // the wide line became an area to fill.
      EXPECT_GE(n.calls[INDEX_DrvStrokePath], 2u);
      EXPECT_GE(n.calls[INDEX_DrvFillPath], 1u);
    }
  }

  ResetDriverCallCounts();
  SelectObject(dc.get(), dashed);
  MoveToEx(dc.get(), 100, 1200, nullptr);
  ExpectDeliveredOrFailed("dashed line", LineTo(dc.get(), 1000, 1200));

  ResetDriverCallCounts();
  ExpectDeliveredOrFailed("patblt", PatBlt(dc.get(), 100, 1300, 400, 200, PATCOPY));
  {
    const DriverCallCounts n = CurrentDriverCallCounts();
    EXPECT_GE(n.calls[INDEX_DrvPaint] + n.calls[INDEX_DrvBitBlt], 1u);
  }

  // A fill the library refuses under a complex clip is painted once as the
  // region it covers, not once per clip rectangle.
  HRGN frame = CreateRectRgn(0, 0, 800, 800);
  HRGN hole = CreateRectRgn(200, 200, 400, 400);
  CombineRgn(frame, frame, hole, RGN_DIFF);
  SelectClipRgn(dc.get(), frame);
  SelectObject(dc.get(), GetStockObject(NULL_PEN));
  ResetDriverCallCounts();
  ExpectDeliveredOrFailed("clipped ellipse", Ellipse(dc.get(), 0, 0, 800, 800));
  {
    const DriverCallCounts n = CurrentDriverCallCounts();
    if (n.refused[INDEX_DrvFillPath] > 0) {
      EXPECT_LE(n.calls[INDEX_DrvFillPath], 2u);  // the ellipse, then flattened
      EXPECT_EQ(n.calls[INDEX_DrvPaint], 1u);
    }
  }
  SelectClipRgn(dc.get(), nullptr);

  // A 24-bit DIB, stretched.
  BITMAPINFO info{};
  info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 2, 2, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  const BYTE pixels[16] = {0, 0, 255, 255, 0, 0, 0, 0, 0, 255, 0, 0, 255, 255, 0, 0};
  ResetDriverCallCounts();
  const int lines = StretchDIBits(dc.get(), 100, 2000, 400, 400, 0, 0, 2, 2, pixels, &info,
                                  DIB_RGB_COLORS, SRCCOPY);
  ExpectDeliveredOrFailed("dib", lines != 0);

  ASSERT_GT(EndDoc(dc.get()), 0);
  // Whatever the library drew as HP-GL/2 paths is in the stream as polyline-encoded data.
  const auto commands = kvtools::pcl::Decode(ReadHostFile(port_));
  EXPECT_TRUE(kvtools::pcl::Problems(commands).empty());
  DeleteObject(hatch);
  DeleteObject(wide);
  DeleteObject(dashed);
  DeleteObject(frame);
  DeleteObject(hole);
}

TEST_F(GdiTest, PrinterDcPathsReachTheStreamWhenTheLibraryDrawsThem) {
  Dc dc(Create());
  ASSERT_NE(dc.get(), nullptr);
  DOCINFOW doc{sizeof(DOCINFOW), u"paths", nullptr, nullptr, 0};
  ASSERT_GT(StartDocW(dc.get(), &doc), 0);
  ASSERT_GT(StartPage(dc.get()), 0);
  ResetDriverCallCounts();
  const POINT lines[] = {{100, 100}, {900, 100}, {900, 900}};
  const BOOL drawn = Polyline(dc.get(), lines, 3);
  const DriverCallCounts n = CurrentDriverCallCounts();
  ASSERT_GT(EndDoc(dc.get()), 0);
  const auto commands = kvtools::pcl::Decode(ReadHostFile(port_));
  const bool libraryStroked = n.calls[INDEX_DrvStrokePath] > n.refused[INDEX_DrvStrokePath] ||
                              n.calls[INDEX_DrvLineTo] > n.refused[INDEX_DrvLineTo] ||
                              n.calls[INDEX_DrvFillPath] > n.refused[INDEX_DrvFillPath];
  if (!libraryStroked) GTEST_SKIP() << "the library does not draw paths yet";
  EXPECT_TRUE(drawn);
  EXPECT_GT(kvtools::pcl::Count(commands, "PE"), 0u) << kvtools::pcl::Dump(commands);
}

}  // namespace
