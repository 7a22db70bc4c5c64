// Drawing into memory DCs: shapes with pens and brushes, raster operations,
// clips, coordinate spaces, saved states and paths, checked pixel by pixel.
#include <cmath>

#include "gdi_draw_fixture.h"

namespace {

using gditest::Canvas;
using gditest::Obj;

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);

TEST(GdiDrawShapes, RectangleLeavesOutRightAndBottomEdgesWithPenOutline) {
  Canvas c(40, 40);
  ASSERT_TRUE(c.ok());
  Obj<HBRUSH> red(CreateSolidBrush(kRed));
  SelectObject(c.dc(), red.get());
  ASSERT_TRUE(Rectangle(c.dc(), 10, 10, 20, 20));
  for (LONG y = 0; y < 40; ++y) {
    for (LONG x = 0; x < 40; ++x) {
      const bool inside = x >= 10 && x < 20 && y >= 10 && y < 20;
      const bool edge = inside && (x == 10 || x == 19 || y == 10 || y == 19);
      const COLORREF want = !inside ? kWhite : edge ? kBlack : kRed;
      ASSERT_EQ(c.At(x, y), want) << x << "," << y;
    }
  }
  // With no pen the fill loses the outline's right and bottom column, as on Windows.
  c.Clear(kWhite);
  SelectObject(c.dc(), GetStockObject(NULL_PEN));
  ASSERT_TRUE(Rectangle(c.dc(), 10, 10, 20, 20));
  EXPECT_EQ(c.Count(kRed), 9 * 9);
  EXPECT_EQ(c.At(10, 10), kRed);
  EXPECT_EQ(c.At(19, 19), kWhite);
}

TEST(GdiDrawShapes, CurvedShapesFillTheirArea) {
  Canvas c(120, 120);
  Obj<HBRUSH> red(CreateSolidBrush(kRed));
  SelectObject(c.dc(), red.get());
  SelectObject(c.dc(), GetStockObject(NULL_PEN));
  struct Case {
    const char* name;
    std::function<BOOL(HDC)> draw;
    double area;
  } cases[] = {
      {"ellipse", [](HDC dc) { return Ellipse(dc, 10, 10, 111, 111); }, M_PI * 50 * 50},
      {"pie quarter", [](HDC dc) { return Pie(dc, 10, 10, 111, 111, 110, 60, 60, 10); },
       M_PI * 50 * 50 / 4},
      {"chord half", [](HDC dc) { return Chord(dc, 10, 10, 111, 111, 110, 60, 10, 60); },
       M_PI * 50 * 50 / 2},
      {"round rect", [](HDC dc) { return RoundRect(dc, 10, 10, 111, 111, 40, 40); },
       100.0 * 100 - (4 - M_PI) * 20 * 20},
  };
  for (const Case& k : cases) {
    c.Clear(kWhite);
    ASSERT_TRUE(k.draw(c.dc())) << k.name;
    EXPECT_NEAR(c.Count(kRed), k.area, k.area * 0.04) << k.name;
  }
  // The quarter pie lies in the upper right quadrant (counterclockwise from 3 o'clock).
  c.Clear(kWhite);
  Pie(c.dc(), 10, 10, 111, 111, 110, 60, 60, 10);
  EXPECT_EQ(c.At(80, 40), kRed);
  EXPECT_EQ(c.At(40, 40), kWhite);
  EXPECT_EQ(c.At(80, 80), kWhite);
  // Clockwise the same rays give the other three quarters.
  c.Clear(kWhite);
  SetArcDirection(c.dc(), AD_CLOCKWISE);
  Pie(c.dc(), 10, 10, 111, 111, 110, 60, 60, 10);
  EXPECT_EQ(c.At(80, 40), kWhite);
  EXPECT_EQ(c.At(40, 40), kRed);
}

TEST(GdiDrawShapes, EachBrushKindPaintsItsPattern) {
  Canvas c(32, 32);
  SetBkColor(c.dc(), kBlue);
  // Hatch lines per 8 x 8 cell.
  const struct {
    int hatch;
    int perCell;
  } hatches[] = {{HS_HORIZONTAL, 8}, {HS_VERTICAL, 8}, {HS_FDIAGONAL, 8},
                 {HS_BDIAGONAL, 8},  {HS_CROSS, 15},   {HS_DIAGCROSS, 16}};
  for (const auto& h : hatches) {
    c.Clear(kWhite);
    Obj<HBRUSH> brush(CreateHatchBrush(h.hatch, kRed));
    ASSERT_NE(brush.get(), nullptr);
    SelectObject(c.dc(), brush.get());
    SetBkMode(c.dc(), OPAQUE);
    ASSERT_TRUE(PatBlt(c.dc(), 0, 0, 32, 32, PATCOPY));
    EXPECT_EQ(c.Count(kRed), 16 * h.perCell) << h.hatch;
    EXPECT_EQ(c.Count(kBlue), 32 * 32 - 16 * h.perCell) << h.hatch;
    // Transparent: only the lines, the rest stays as it was.
    c.Clear(kGreen);
    SetBkMode(c.dc(), TRANSPARENT);
    SelectObject(c.dc(), GetStockObject(NULL_PEN));
    ASSERT_TRUE(Rectangle(c.dc(), 0, 0, 33, 33));
    EXPECT_EQ(c.Count(kRed), 16 * h.perCell) << h.hatch;
    EXPECT_EQ(c.Count(kGreen), 32 * 32 - 16 * h.perCell) << h.hatch;
    SelectObject(c.dc(), GetStockObject(WHITE_BRUSH));
  }
  // A monochrome pattern: 0 bits in the text colour, 1 bits in the background.
  const BYTE checker[16] = {0xAA, 0, 0x55, 0, 0xAA, 0, 0x55, 0, 0xAA, 0, 0x55, 0, 0xAA, 0, 0x55, 0};
  Obj<HBITMAP> mono(CreateBitmap(8, 8, 1, 1, checker));
  Obj<HBRUSH> pattern(CreatePatternBrush(mono.get()));
  ASSERT_NE(pattern.get(), nullptr);
  SetTextColor(c.dc(), kGreen);
  SelectObject(c.dc(), pattern.get());
  ASSERT_TRUE(PatBlt(c.dc(), 0, 0, 32, 32, PATCOPY));
  EXPECT_EQ(c.Count(kGreen), 512);
  EXPECT_EQ(c.Count(kBlue), 512);
  EXPECT_NE(c.At(0, 0), c.At(1, 0));
  EXPECT_EQ(c.At(0, 0), c.At(8, 8));  // tiled from the brush origin
  // A DIB pattern keeps its own colours.
  struct {
    BITMAPINFOHEADER h;
    RGBQUAD colors[2];
    DWORD rows[2];
  } dib{};
  dib.h = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 2, 2, 1, 1, BI_RGB, 0, 0, 0, 2, 0};
  dib.colors[0] = RGBQUAD{0, 0, 255, 0};  // red
  dib.colors[1] = RGBQUAD{255, 0, 0, 0};  // blue
  dib.rows[0] = 0x00000040;              // bottom row: 0 1
  dib.rows[1] = 0x00000080;              // top row:    1 0
  Obj<HBRUSH> dibBrush(CreateDIBPatternBrushPt(&dib, DIB_RGB_COLORS));
  ASSERT_NE(dibBrush.get(), nullptr);
  SelectObject(c.dc(), dibBrush.get());
  ASSERT_TRUE(PatBlt(c.dc(), 0, 0, 32, 32, PATCOPY));
  EXPECT_EQ(c.At(0, 0), kBlue);
  EXPECT_EQ(c.At(1, 0), kRed);
  EXPECT_EQ(c.At(0, 1), kRed);
  EXPECT_EQ(c.Count(kRed), 512);
  SelectObject(c.dc(), GetStockObject(WHITE_BRUSH));
}

TEST(GdiDrawShapes, PenStylesAndWidths) {
  Canvas c(200, 40);
  const struct {
    DWORD style;
    bool dashed;
  } styles[] = {{PS_SOLID, false}, {PS_DASH, true}, {PS_DOT, true}, {PS_DASHDOT, true},
                {PS_DASHDOTDOT, true}};
  for (const auto& s : styles) {
    c.Clear(kWhite);
    Obj<HPEN> pen(CreatePen(static_cast<int>(s.style), 0, kRed));
    SelectObject(c.dc(), pen.get());
    SetBkColor(c.dc(), kGreen);
    SetBkMode(c.dc(), OPAQUE);
    MoveToEx(c.dc(), 10, 10, nullptr);
    ASSERT_TRUE(LineTo(c.dc(), 190, 10));
    const int on = c.CountRow(10, kRed), gaps = c.CountRow(10, kGreen);
    if (!s.dashed) {
      EXPECT_EQ(on, 180) << s.style;  // the last point is not drawn
    } else {
      EXPECT_GT(on, 30) << s.style;
      EXPECT_LT(on, 170) << s.style;
      EXPECT_NEAR(on + gaps, 180, 2) << "opaque gaps take the background colour " << s.style;
    }
    EXPECT_EQ(c.Count(kRed) + c.Count(kGreen), c.CountRow(10, kRed) + c.CountRow(10, kGreen));
    // Transparent gaps stay white.
    c.Clear(kWhite);
    SetBkMode(c.dc(), TRANSPARENT);
    MoveToEx(c.dc(), 10, 10, nullptr);
    LineTo(c.dc(), 190, 10);
    EXPECT_EQ(c.Count(kGreen), 0) << s.style;
    SelectObject(c.dc(), GetStockObject(BLACK_PEN));
  }
  // Geometric widths and end caps: a horizontal line's thickness and length.
  const struct {
    DWORD cap;
    int extra;  // pixels beyond each end
  } caps[] = {{PS_ENDCAP_FLAT, 0}, {PS_ENDCAP_SQUARE, 4}, {PS_ENDCAP_ROUND, 4}};
  for (const auto& k : caps) {
    c.Clear(kWhite);
    LOGBRUSH lb{BS_SOLID, kBlue, 0};
    Obj<HPEN> pen(ExtCreatePen(PS_GEOMETRIC | PS_SOLID | k.cap, 9, &lb, 0, nullptr));
    ASSERT_NE(pen.get(), nullptr);
    SelectObject(c.dc(), pen.get());
    MoveToEx(c.dc(), 50, 20, nullptr);
    ASSERT_TRUE(LineTo(c.dc(), 150, 20));
    EXPECT_NEAR(c.CountColumn(100, kBlue), 9, 1) << k.cap;
    EXPECT_NEAR(c.CountRow(20, kBlue), 100 + 2 * k.extra, 2) << k.cap;
    SelectObject(c.dc(), GetStockObject(BLACK_PEN));
  }
  // A user style: 10 on, 10 off, in a geometric pen's logical units.
  c.Clear(kWhite);
  LOGBRUSH lb{BS_SOLID, kRed, 0};
  const DWORD dashes[] = {10, 10};
  Obj<HPEN> user(ExtCreatePen(PS_GEOMETRIC | PS_USERSTYLE | PS_ENDCAP_FLAT, 2, &lb, 2, dashes));
  ASSERT_NE(user.get(), nullptr);
  SelectObject(c.dc(), user.get());
  MoveToEx(c.dc(), 0, 20, nullptr);
  LineTo(c.dc(), 200, 20);
  EXPECT_NEAR(c.CountRow(20, kRed), 100, 4);
  SelectObject(c.dc(), GetStockObject(BLACK_PEN));
}

TEST(GdiDrawShapes, Rop2ModesCombinePenAndDestination) {
  Canvas c(16, 16);
  const COLORREF d = RGB(0x33, 0x66, 0x99), p = RGB(0xF0, 0x0F, 0x55);
  const struct {
    int rop2;
    COLORREF want;
  } cases[] = {
      {R2_BLACK, 0},          {R2_WHITE, 0xFFFFFF},          {R2_NOP, d},
      {R2_NOT, ~d & 0xFFFFFF}, {R2_COPYPEN, p},              {R2_NOTCOPYPEN, ~p & 0xFFFFFF},
      {R2_XORPEN, p ^ d},     {R2_MERGEPEN, p | d},          {R2_MASKPEN, p & d},
      {R2_NOTXORPEN, ~(p ^ d) & 0xFFFFFF}, {R2_MASKPENNOT, p & ~d & 0xFFFFFF},
  };
  Obj<HBRUSH> brush(CreateSolidBrush(p));
  Obj<HPEN> pen(CreatePen(PS_SOLID, 0, p));
  SelectObject(c.dc(), brush.get());
  SelectObject(c.dc(), pen.get());
  for (const auto& k : cases) {
    c.Clear(d);
    EXPECT_GT(SetROP2(c.dc(), k.rop2), 0);
    ASSERT_TRUE(Rectangle(c.dc(), 2, 2, 12, 12));
    EXPECT_EQ(c.At(6, 6), k.want) << "fill, R2 " << k.rop2;
    EXPECT_EQ(c.At(11, 6), k.want) << "outline, R2 " << k.rop2;
    EXPECT_EQ(c.At(0, 0), d);
  }
  EXPECT_EQ(SetROP2(c.dc(), 0), 0);
  EXPECT_EQ(SetROP2(c.dc(), 17), 0);
}

TEST(GdiDrawShapes, ClipRegionsWithHolesAndPolygons) {
  Canvas c(60, 60);
  Obj<HBRUSH> red(CreateSolidBrush(kRed));
  const RECT all{0, 0, 60, 60};
  // A frame: the rectangle 10..50 without 20..40.
  Obj<HRGN> outer(CreateRectRgn(10, 10, 50, 50));
  Obj<HRGN> hole(CreateRectRgn(20, 20, 40, 40));
  ASSERT_EQ(CombineRgn(outer.get(), outer.get(), hole.get(), RGN_DIFF), COMPLEXREGION);
  EXPECT_EQ(SelectClipRgn(c.dc(), outer.get()), COMPLEXREGION);
  ASSERT_TRUE(FillRect(c.dc(), &all, red.get()));
  EXPECT_EQ(c.Count(kRed), 40 * 40 - 20 * 20);
  EXPECT_EQ(c.At(30, 30), kWhite);
  EXPECT_EQ(c.At(15, 30), kRed);
  EXPECT_EQ(c.At(5, 5), kWhite);
  // The region object stays the caller's: changing it leaves the clip alone.
  CombineRgn(outer.get(), hole.get(), nullptr, RGN_COPY);
  c.Clear(kWhite);
  FillRect(c.dc(), &all, red.get());
  EXPECT_EQ(c.Count(kRed), 40 * 40 - 20 * 20);
  // Narrowed by a rectangle, widened back by removing the clip.
  EXPECT_EQ(IntersectClipRect(c.dc(), 0, 0, 30, 60), COMPLEXREGION);
  c.Clear(kWhite);
  FillRect(c.dc(), &all, red.get());
  EXPECT_EQ(c.Count(kRed), 20 * 40 - 10 * 20);
  EXPECT_EQ(ExcludeClipRect(c.dc(), 0, 0, 60, 15), COMPLEXREGION);
  EXPECT_EQ(SelectClipRgn(c.dc(), nullptr), SIMPLEREGION);
  c.Clear(kWhite);
  FillRect(c.dc(), &all, red.get());
  EXPECT_EQ(c.Count(kRed), 60 * 60);
  // A triangle region clips a shape drawn with a pen and brush.
  const POINT triangle[] = {{0, 0}, {60, 0}, {0, 60}};
  Obj<HRGN> tri(CreatePolygonRgn(triangle, 3, ALTERNATE));
  ASSERT_NE(tri.get(), nullptr);
  SelectClipRgn(c.dc(), tri.get());
  c.Clear(kWhite);
  SelectObject(c.dc(), red.get());
  SelectObject(c.dc(), GetStockObject(NULL_PEN));
  Rectangle(c.dc(), 0, 0, 61, 61);
  EXPECT_NEAR(c.Count(kRed), 1800, 60);
  EXPECT_EQ(c.At(5, 5), kRed);
  EXPECT_EQ(c.At(55, 55), kWhite);
  SelectObject(c.dc(), GetStockObject(WHITE_BRUSH));
  SelectObject(c.dc(), GetStockObject(BLACK_PEN));
}

TEST(GdiDrawShapes, MappingModesAndWorldTransforms) {
  Canvas c(200, 200);
  Obj<HBRUSH> red(CreateSolidBrush(kRed));
  SelectObject(c.dc(), red.get());
  SelectObject(c.dc(), GetStockObject(NULL_PEN));
  // MM_LOMETRIC: a tenth of a millimetre, y upwards; 254 units are one inch (96 pixels).
  EXPECT_EQ(SetMapMode(c.dc(), MM_LOMETRIC), MM_TEXT);
  POINT p[2] = {{254, -254}, {0, 0}};
  ASSERT_TRUE(LPtoDP(c.dc(), p, 2));
  EXPECT_EQ(p[0].x, 96);
  EXPECT_EQ(p[0].y, 96);
  ASSERT_TRUE(Rectangle(c.dc(), 0, 0, 254, -254));
  EXPECT_NEAR(c.Count(kRed), 96 * 96, 200);
  EXPECT_EQ(c.At(50, 50), kRed);
  EXPECT_EQ(c.At(150, 50), kWhite);
  // MM_ANISOTROPIC: window 10 x 10 on a 200 x -100 viewport at (0, 100).
  c.Clear(kWhite);
  SetMapMode(c.dc(), MM_ANISOTROPIC);
  SetWindowExtEx(c.dc(), 10, 10, nullptr);
  SetViewportExtEx(c.dc(), 200, -100, nullptr);
  SetViewportOrgEx(c.dc(), 0, 100, nullptr);
  ASSERT_TRUE(PatBlt(c.dc(), 0, 0, 5, 5, PATCOPY));  // device 0..100 x 50..100
  EXPECT_EQ(c.Count(kRed), 100 * 50);
  EXPECT_EQ(c.At(50, 75), kRed);
  // MM_ISOTROPIC keeps units square: the viewport shrinks to the smaller scale.
  SetMapMode(c.dc(), MM_ISOTROPIC);
  SetWindowExtEx(c.dc(), 10, 10, nullptr);
  SetViewportExtEx(c.dc(), 200, 100, nullptr);
  SIZE vp{};
  GetViewportExtEx(c.dc(), &vp);
  EXPECT_EQ(vp.cx, 100);
  EXPECT_EQ(vp.cy, 100);
  SetMapMode(c.dc(), MM_TEXT);
  SetViewportOrgEx(c.dc(), 0, 0, nullptr);
  // A quarter turn: (x, y) -> (100 - y, x).
  c.Clear(kWhite);
  const XFORM turn{0, 1, -1, 0, 100, 0};
  EXPECT_FALSE(SetWorldTransform(c.dc(), &turn)) << "needs GM_ADVANCED";
  ASSERT_EQ(SetGraphicsMode(c.dc(), GM_ADVANCED), GM_COMPATIBLE);
  ASSERT_TRUE(SetWorldTransform(c.dc(), &turn));
  ASSERT_TRUE(Rectangle(c.dc(), 10, 20, 50, 30));
  EXPECT_EQ(c.At(75, 30), kRed);
  EXPECT_EQ(c.At(30, 75), kWhite);
  EXPECT_NEAR(c.Count(kRed), 11 * 41, 60);
  EXPECT_EQ(SetGraphicsMode(c.dc(), GM_COMPATIBLE), 0) << "not with a transform in force";
  ASSERT_TRUE(ModifyWorldTransform(c.dc(), nullptr, MWT_IDENTITY));
  EXPECT_EQ(SetGraphicsMode(c.dc(), GM_COMPATIBLE), GM_ADVANCED);
  const XFORM singular{1, 1, 1, 1, 0, 0};
  SetGraphicsMode(c.dc(), GM_ADVANCED);
  EXPECT_FALSE(SetWorldTransform(c.dc(), &singular));
  SelectObject(c.dc(), GetStockObject(WHITE_BRUSH));
}

TEST(GdiDrawShapes, SaveDcRestoresObjectsClipAndTransform) {
  Canvas c(40, 40);
  Obj<HBRUSH> red(CreateSolidBrush(kRed));
  Obj<HBRUSH> blue(CreateSolidBrush(kBlue));
  SelectObject(c.dc(), red.get());
  const int level = SaveDC(c.dc());
  EXPECT_EQ(level, 1);
  SelectObject(c.dc(), blue.get());
  IntersectClipRect(c.dc(), 0, 0, 5, 5);
  SetViewportOrgEx(c.dc(), 10, 10, nullptr);
  EXPECT_EQ(SaveDC(c.dc()), 2);
  SetROP2(c.dc(), R2_NOP);
  ASSERT_TRUE(RestoreDC(c.dc(), -1));
  EXPECT_EQ(GetROP2(c.dc()), R2_COPYPEN);
  ASSERT_TRUE(RestoreDC(c.dc(), level));
  EXPECT_EQ(GetCurrentObject(c.dc(), OBJ_BRUSH), red.get());
  const RECT all{0, 0, 40, 40};
  PatBlt(c.dc(), 0, 0, 40, 40, PATCOPY);
  EXPECT_EQ(c.Count(kRed), 40 * 40) << "no clip and no offset after the restore";
  (void)all;
  EXPECT_FALSE(RestoreDC(c.dc(), 1)) << "that level is gone";
  EXPECT_FALSE(RestoreDC(c.dc(), 0));
  SelectObject(c.dc(), GetStockObject(WHITE_BRUSH));
}

TEST(GdiDrawShapes, PathsStrokeFillAndClip) {
  Canvas c(60, 60);
  Obj<HBRUSH> red(CreateSolidBrush(kRed));
  SelectObject(c.dc(), red.get());
  SelectObject(c.dc(), GetStockObject(NULL_PEN));
  EXPECT_FALSE(FillPath(c.dc())) << "no path";
  ASSERT_TRUE(BeginPath(c.dc()));
  MoveToEx(c.dc(), 10, 10, nullptr);
  LineTo(c.dc(), 50, 10);
  LineTo(c.dc(), 50, 50);
  LineTo(c.dc(), 10, 50);
  EXPECT_EQ(c.Count(kRed), 0) << "nothing is drawn while recording";
  EXPECT_FALSE(FillPath(c.dc())) << "the path is not ended";
  ASSERT_TRUE(EndPath(c.dc()));
  ASSERT_TRUE(FillPath(c.dc()));  // figures close for filling
  EXPECT_EQ(c.Count(kRed), 40 * 40);
  EXPECT_FALSE(FillPath(c.dc())) << "the path went with the fill";

  // Fill modes on two nested squares drawn the same way round.
  const POINT squares[] = {{0, 0}, {60, 0}, {60, 60}, {0, 60}, {20, 20}, {40, 20}, {40, 40}, {20, 40}};
  const INT counts[] = {4, 4};
  c.Clear(kWhite);
  SetPolyFillMode(c.dc(), ALTERNATE);
  ASSERT_TRUE(PolyPolygon(c.dc(), squares, counts, 2));
  EXPECT_EQ(c.Count(kRed), 60 * 60 - 20 * 20);
  c.Clear(kWhite);
  SetPolyFillMode(c.dc(), WINDING);
  ASSERT_TRUE(PolyPolygon(c.dc(), squares, counts, 2));
  EXPECT_EQ(c.Count(kRed), 60 * 60);

  // Stroke and fill a Bezier figure; then a path as the clip.
  c.Clear(kWhite);
  SelectObject(c.dc(), GetStockObject(BLACK_PEN));
  BeginPath(c.dc());
  const POINT curve[] = {{5, 30}, {5, 0}, {55, 0}, {55, 30}};
  PolyBezier(c.dc(), curve, 4);
  CloseFigure(c.dc());
  EndPath(c.dc());
  ASSERT_TRUE(StrokeAndFillPath(c.dc()));
  EXPECT_GT(c.Count(kRed), 400);
  EXPECT_GT(c.Count(kBlack), 80);
  EXPECT_EQ(c.At(30, 20), kRed);
  c.Clear(kWhite);
  BeginPath(c.dc());
  Ellipse(c.dc(), 0, 0, 61, 61);
  EndPath(c.dc());
  ASSERT_TRUE(SelectClipPath(c.dc(), RGN_COPY));
  PatBlt(c.dc(), 0, 0, 60, 60, PATCOPY);
  EXPECT_NEAR(c.Count(kRed), M_PI * 30 * 30, 120);
  EXPECT_EQ(c.At(1, 1), kWhite);
  SelectClipRgn(c.dc(), nullptr);
  SelectObject(c.dc(), GetStockObject(WHITE_BRUSH));
}

TEST(GdiDrawShapes, BadCallsFailWithTheLastError) {
  Canvas c(20, 20);
  HDC bogus = reinterpret_cast<HDC>(static_cast<std::uintptr_t>(0x7777770D));
  SetLastError(0);
  EXPECT_FALSE(Rectangle(bogus, 0, 0, 5, 5));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(LineTo(nullptr, 1, 1));
  EXPECT_EQ(SelectObject(c.dc(), nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // A deleted object is gone; the DC keeps the pen it had selected.
  HPEN pen = CreatePen(PS_SOLID, 0, kRed);
  SelectObject(c.dc(), pen);
  ASSERT_TRUE(DeleteObject(pen));
  EXPECT_FALSE(DeleteObject(pen));
  EXPECT_EQ(SelectObject(c.dc(), pen), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  MoveToEx(c.dc(), 0, 5, nullptr);
  EXPECT_TRUE(LineTo(c.dc(), 10, 5));
  EXPECT_EQ(c.At(3, 5), kRed);
  SelectObject(c.dc(), GetStockObject(BLACK_PEN));
  EXPECT_TRUE(DeleteObject(GetStockObject(BLACK_PEN))) << "stock objects stay";
  EXPECT_NE(GetObjectType(GetStockObject(BLACK_PEN)), 0u);
  // Counts below a figure's need, coordinates beyond the device's range.
  const POINT one[] = {{1, 1}};
  SetLastError(0);
  EXPECT_FALSE(Polyline(c.dc(), one, 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(PolyBezier(c.dc(), one, 1));
  EXPECT_FALSE(Polygon(c.dc(), nullptr, 3));
  const INT badCounts[] = {3, 1};
  EXPECT_FALSE(PolyPolygon(c.dc(), one, badCounts, 2));
  SetLastError(0);
  EXPECT_FALSE(Rectangle(c.dc(), -2000000000, -2000000000, 2000000000, 2000000000));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // Huge but valid: clipped to the bitmap, nothing allocated for it.
  Obj<HBRUSH> red(CreateSolidBrush(kRed));
  SelectObject(c.dc(), red.get());
  EXPECT_TRUE(PatBlt(c.dc(), -100000000, -100000000, 200000000, 200000000, PATCOPY));
  EXPECT_EQ(c.Count(kRed), 400);
  SelectObject(c.dc(), GetStockObject(WHITE_BRUSH));
  // Pens and brushes that cannot be made.
  LOGBRUSH lb{BS_SOLID, 0, 0};
  EXPECT_EQ(ExtCreatePen(PS_COSMETIC | PS_SOLID, 3, &lb, 0, nullptr), nullptr);
  EXPECT_EQ(ExtCreatePen(PS_GEOMETRIC | PS_USERSTYLE, 3, &lb, 0, nullptr), nullptr);
  const DWORD zeros[] = {0, 0};
  EXPECT_EQ(ExtCreatePen(PS_GEOMETRIC | PS_USERSTYLE, 3, &lb, 2, zeros), nullptr);
  EXPECT_EQ(CreateHatchBrush(6, 0), nullptr);
  EXPECT_EQ(CreatePen(9, 1, 0), nullptr);
  EXPECT_EQ(CreatePolygonRgn(one, 1, ALTERNATE), nullptr);
  EXPECT_EQ(SetMapMode(c.dc(), 0), 0);
  SetMapMode(c.dc(), MM_ANISOTROPIC);
  EXPECT_FALSE(SetWindowExtEx(c.dc(), 0, 5, nullptr));
}

}  // namespace
