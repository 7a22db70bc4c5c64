#include "tools/kvprint/demo_document.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace kvprint {
namespace {

// A GDI object selected for a scope and deleted afterwards.
class Selected {
 public:
  Selected(HDC dc, HGDIOBJ object) : dc_(dc), object_(object), old_(SelectObject(dc, object)) {}
  ~Selected() {
    SelectObject(dc_, old_);
    DeleteObject(object_);
  }
  Selected(const Selected&) = delete;
  Selected& operator=(const Selected&) = delete;

 private:
  HDC dc_;
  HGDIOBJ object_;
  HGDIOBJ old_;
};

// Device pixels for a length in millimetres.
int Mm(const PageArea& area, double mm) { return static_cast<int>(std::lround(mm * area.dpi / 25.4)); }

COLORREF Gray(int level) { return RGB(level, level, level); }

// A frame around the printable area with a margin, and a title bar: every
// page is recognisable at a glance.
bool PageFrame(HDC dc, const PageArea& area, int shade) {
  bool ok = true;
  {
    Selected pen(dc, CreatePen(PS_SOLID, Mm(area, 0.5), RGB(0, 0, 0)));
    const HGDIOBJ old = SelectObject(dc, GetStockObject(NULL_BRUSH));  // an outline only
    ok &= Rectangle(dc, Mm(area, 5), Mm(area, 5), area.width - Mm(area, 5), area.height - Mm(area, 5)) != 0;
    SelectObject(dc, old);
  }
  const RECT bar{Mm(area, 5), Mm(area, 5), area.width - Mm(area, 5), Mm(area, 20)};
  HBRUSH fill = CreateSolidBrush(Gray(shade));
  ok &= FillRect(dc, &bar, fill) != 0;
  DeleteObject(fill);
  return ok;
}

// ---- page 1: cover --------------------------------------------------------
bool DrawCover(HDC dc, const PageArea& area) {
  bool ok = PageFrame(dc, area, 40);
  // Concentric rings of gray, and a star drawn as one polygon.
  const int cx = area.width / 2, cy = area.height / 2;
  for (int ring = 6; ring >= 1; --ring) {
    const int r = Mm(area, 12.0 * ring);
    Selected brush(dc, CreateSolidBrush(Gray(255 - ring * 35)));
    Selected pen(dc, CreatePen(PS_SOLID, Mm(area, 0.3), RGB(0, 0, 0)));
    ok &= Ellipse(dc, cx - r, cy - r, cx + r, cy + r) != 0;
  }
  std::vector<POINT> star;
  for (int i = 0; i < 10; ++i) {
    const double angle = -M_PI / 2 + i * M_PI / 5;
    const double radius = Mm(area, i % 2 == 0 ? 30.0 : 12.0);
    star.push_back({cx + static_cast<LONG>(std::lround(radius * std::cos(angle))),
                    cy + static_cast<LONG>(std::lround(radius * std::sin(angle)))});
  }
  {
    Selected brush(dc, CreateSolidBrush(RGB(0, 0, 0)));
    ok &= Polygon(dc, star.data(), static_cast<int>(star.size())) != 0;
  }
  return ok;
}

// ---- page 5: vector art ------------------------------------------------------
bool DrawVectorArt(HDC dc, const PageArea& area) {
  bool ok = PageFrame(dc, area, 120);
  const int left = Mm(area, 15);
  const int right = area.width - Mm(area, 15);
  int y = Mm(area, 30);

  // Lines of every cosmetic style, then geometric widths with caps and joins.
  const int styles[] = {PS_SOLID, PS_DASH, PS_DOT, PS_DASHDOT, PS_DASHDOTDOT};
  for (int style : styles) {
    Selected pen(dc, CreatePen(style, 0, RGB(0, 0, 0)));
    ok &= MoveToEx(dc, left, y, nullptr) != 0;
    ok &= LineTo(dc, right, y) != 0;
    y += Mm(area, 4);
  }
  const double widths[] = {0.2, 0.5, 1.0, 2.0, 4.0};
  for (double width : widths) {
    LOGBRUSH black{BS_SOLID, RGB(0, 0, 0), 0};
    Selected pen(dc, ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND | PS_JOIN_ROUND,
                                  static_cast<DWORD>(Mm(area, width)), &black, 0, nullptr));
    const POINT zigzag[] = {{left, y + Mm(area, 3)},
                            {left + (right - left) / 4, y},
                            {left + (right - left) / 2, y + Mm(area, 3)},
                            {right, y}};
    ok &= Polyline(dc, zigzag, 4) != 0;
    y += Mm(area, 7);
  }

  // Curves: Beziers and arcs.
  {
    Selected pen(dc, CreatePen(PS_SOLID, Mm(area, 0.4), RGB(0, 0, 0)));
    const POINT curve[] = {{left, y + Mm(area, 20)},
                           {left + Mm(area, 30), y - Mm(area, 10)},
                           {left + Mm(area, 60), y + Mm(area, 50)},
                           {left + Mm(area, 90), y + Mm(area, 20)}};
    ok &= PolyBezier(dc, curve, 4) != 0;
    ok &= Arc(dc, left + Mm(area, 100), y, left + Mm(area, 140), y + Mm(area, 40),
              left + Mm(area, 140), y + Mm(area, 20), left + Mm(area, 100), y + Mm(area, 20)) != 0;
    Selected brush(dc, CreateSolidBrush(Gray(160)));
    ok &= Pie(dc, left + Mm(area, 145), y, left + Mm(area, 185), y + Mm(area, 40),
              left + Mm(area, 185), y + Mm(area, 20), left + Mm(area, 165), y) != 0;
  }
  y += Mm(area, 45);

  // Filled shapes: gray levels, the six hatches, a pattern brush.
  const int cell = Mm(area, 16);
  int x = left;
  for (int level = 0; level <= 255; level += 32) {
    Selected brush(dc, CreateSolidBrush(Gray(level)));
    ok &= Rectangle(dc, x, y, x + cell, y + cell) != 0;
    x += cell + Mm(area, 2);
  }
  y += cell + Mm(area, 4);
  x = left;
  const int hatches[] = {HS_HORIZONTAL, HS_VERTICAL, HS_FDIAGONAL,
                         HS_BDIAGONAL,  HS_CROSS,    HS_DIAGCROSS};
  for (int hatch : hatches) {
    Selected brush(dc, CreateHatchBrush(hatch, RGB(0, 0, 0)));
    ok &= RoundRect(dc, x, y, x + cell, y + cell, Mm(area, 4), Mm(area, 4)) != 0;
    x += cell + Mm(area, 2);
  }
  {
    // An 8 x 8 checker pattern brush from a one-bit bitmap.
    const std::uint16_t rows[8] = {0xF000, 0xF000, 0xF000, 0xF000, 0x0F00, 0x0F00, 0x0F00, 0x0F00};
    HBITMAP pattern = CreateBitmap(8, 8, 1, 1, rows);
    Selected brush(dc, CreatePatternBrush(pattern));
    ok &= Ellipse(dc, x, y, x + cell, y + cell) != 0;
    DeleteObject(pattern);
  }
  y += cell + Mm(area, 6);

  // Clipped shapes: a grid of circles seen through an elliptic window, and
  // a winding-mode polygon with a hole.
  {
    const int saved = SaveDC(dc);
    HRGN window = CreateEllipticRgn(left, y, left + Mm(area, 70), y + Mm(area, 50));
    SelectClipRgn(dc, window);
    DeleteObject(window);
    Selected brush(dc, CreateSolidBrush(Gray(96)));
    for (int gx = 0; gx < 8; ++gx) {
      for (int gy = 0; gy < 6; ++gy) {
        const int ox = left + gx * Mm(area, 10), oy = y + gy * Mm(area, 10);
        ok &= Ellipse(dc, ox, oy, ox + Mm(area, 9), oy + Mm(area, 9)) != 0;
      }
    }
    RestoreDC(dc, saved);
  }
  {
    const int ox = left + Mm(area, 90);
    const POINT rings[] = {{ox, y},
                           {ox + Mm(area, 50), y},
                           {ox + Mm(area, 50), y + Mm(area, 50)},
                           {ox, y + Mm(area, 50)},
                           {ox + Mm(area, 15), y + Mm(area, 15)},
                           {ox + Mm(area, 15), y + Mm(area, 35)},
                           {ox + Mm(area, 35), y + Mm(area, 35)},
                           {ox + Mm(area, 35), y + Mm(area, 15)}};
    const INT counts[] = {4, 4};
    SetPolyFillMode(dc, ALTERNATE);
    Selected brush(dc, CreateHatchBrush(HS_DIAGCROSS, RGB(0, 0, 0)));
    ok &= PolyPolygon(dc, rings, counts, 2) != 0;
  }
  return ok;
}

// ---- page 6: images ------------------------------------------------------------
// A photo-like 24-bit picture: smooth shading with a few round shapes.
std::vector<std::uint8_t> PhotoPixels(int width, int height) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>((width * 3 + 3) / 4 * 4) * height);
  const int stride = (width * 3 + 3) / 4 * 4;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double fx = static_cast<double>(x) / width, fy = static_cast<double>(y) / height;
      double v = 0.5 + 0.5 * std::sin(fx * 9.0) * std::cos(fy * 7.0);
      const double dx = fx - 0.65, dy = fy - 0.4;
      if (dx * dx + dy * dy < 0.04) v = 0.15 + 0.6 * fy;
      const auto level = static_cast<std::uint8_t>(std::clamp(v, 0.0, 1.0) * 255);
      std::uint8_t* p = pixels.data() + static_cast<std::size_t>(y) * stride + 3 * x;
      p[0] = level;                                    // blue
      p[1] = static_cast<std::uint8_t>(level * 0.9);   // green
      p[2] = static_cast<std::uint8_t>(255 - level / 2);  // red
    }
  }
  return pixels;
}

// A one-bit "scan": bars and boxes like a form.
std::vector<std::uint8_t> ScanPixels(int width, int height) {
  const int stride = (width + 31) / 32 * 4;
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(stride) * height, 0xFF);  // white
  auto black = [&](int x, int y) {
    pixels[static_cast<std::size_t>(y) * stride + x / 8] &= static_cast<std::uint8_t>(~(0x80 >> (x % 8)));
  };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool border = x < 3 || y < 3 || x >= width - 3 || y >= height - 3;
      const bool bar = (y / 12) % 3 == 1 && x % 97 < 80 && x > 20 && x < width - 20;
      if (border || bar) black(x, y);
    }
  }
  return pixels;
}

BITMAPINFO* InfoFor(std::vector<std::uint8_t>& storage, int width, int height, int bits,
                    std::initializer_list<RGBQUAD> colours) {
  storage.assign(sizeof(BITMAPINFOHEADER) + colours.size() * sizeof(RGBQUAD), 0);
  auto* info = reinterpret_cast<BITMAPINFO*>(storage.data());
  info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info->bmiHeader.biWidth = width;
  info->bmiHeader.biHeight = -height;  // rows top to bottom
  info->bmiHeader.biPlanes = 1;
  info->bmiHeader.biBitCount = static_cast<WORD>(bits);
  info->bmiHeader.biCompression = BI_RGB;
  info->bmiHeader.biClrUsed = static_cast<DWORD>(colours.size());
  std::copy(colours.begin(), colours.end(), info->bmiColors);
  return info;
}

bool DrawImages(HDC dc, const PageArea& area) {
  bool ok = PageFrame(dc, area, 160);
  const int left = Mm(area, 15);
  const int width = area.width - 2 * left;
  int y = Mm(area, 30);

  // The photo, stretched to the page width.
  const int pw = 320, ph = 200;
  std::vector<std::uint8_t> photo = PhotoPixels(pw, ph);
  std::vector<std::uint8_t> infoBytes;
  BITMAPINFO* info = InfoFor(infoBytes, pw, ph, 24, {});
  const int photoHeight = width * ph / pw;
  ok &= StretchDIBits(dc, left, y, width, photoHeight, 0, 0, pw, ph, photo.data(), info,
                      DIB_RGB_COLORS, SRCCOPY) > 0;
  y += photoHeight + Mm(area, 8);

  // Line art: an 8-bit gray ramp with a palette, and its mirror image.
  const int lw = 256, lh = 32;
  std::vector<std::uint8_t> ramp(static_cast<std::size_t>(lw) * lh);
  for (int row = 0; row < lh; ++row) {
    for (int x = 0; x < lw; ++x) ramp[static_cast<std::size_t>(row) * lw + x] = static_cast<std::uint8_t>(x);
  }
  std::vector<std::uint8_t> grayInfo(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
  auto* gray = reinterpret_cast<BITMAPINFO*>(grayInfo.data());
  gray->bmiHeader = {sizeof(BITMAPINFOHEADER), lw, -lh, 1, 8, BI_RGB, 0, 0, 0, 256, 0};
  for (int i = 0; i < 256; ++i) {
    gray->bmiColors[i] = {static_cast<BYTE>(i), static_cast<BYTE>(i), static_cast<BYTE>(i), 0};
  }
  const int rampHeight = Mm(area, 12);
  ok &= StretchDIBits(dc, left, y, width / 2, rampHeight, 0, 0, lw, lh, ramp.data(), gray,
                      DIB_RGB_COLORS, SRCCOPY) > 0;
  ok &= StretchDIBits(dc, left + width, y, -width / 2, rampHeight, 0, 0, lw, lh, ramp.data(), gray,
                      DIB_RGB_COLORS, SRCCOPY) > 0;
  y += rampHeight + Mm(area, 8);

  // A one-bit scan at its own resolution (300 dpi).
  const int sw = 900, sh = 300;
  std::vector<std::uint8_t> scan = ScanPixels(sw, sh);
  std::vector<std::uint8_t> monoInfo;
  BITMAPINFO* mono = InfoFor(monoInfo, sw, sh, 1, {{0, 0, 0, 0}, {255, 255, 255, 0}});
  const int scanWidth = sw * area.dpi / 300, scanHeight = sh * area.dpi / 300;
  if (y + scanHeight < area.height - Mm(area, 10)) {
    ok &= StretchDIBits(dc, left, y, std::min(scanWidth, width), scanHeight, 0, 0, sw, sh,
                        scan.data(), mono, DIB_RGB_COLORS, SRCCOPY) > 0;
  }
  return ok;
}

// ---- page 7: page layout ----------------------------------------------------
bool DrawLayoutPage(HDC dc, const PageArea& area) {
  bool ok = PageFrame(dc, area, 200);
  // A centimetre ruler along two edges and corner marks: scaling and N-up
  // show at once in how the marks land.
  Selected pen(dc, CreatePen(PS_SOLID, 0, RGB(0, 0, 0)));
  for (int cm = 0; Mm(area, cm * 10.0) < area.width - Mm(area, 10); ++cm) {
    const int x = Mm(area, 10 + cm * 10.0);
    ok &= MoveToEx(dc, x, Mm(area, 22), nullptr) != 0;
    ok &= LineTo(dc, x, Mm(area, cm % 5 == 0 ? 30 : 26)) != 0;
  }
  for (int cm = 0; Mm(area, cm * 10.0) < area.height - Mm(area, 30); ++cm) {
    const int yy = Mm(area, 25 + cm * 10.0);
    ok &= MoveToEx(dc, Mm(area, 5), yy, nullptr) != 0;
    ok &= LineTo(dc, Mm(area, cm % 5 == 0 ? 13 : 9), yy) != 0;
  }
  ok &= MoveToEx(dc, 0, 0, nullptr) != 0;
  ok &= LineTo(dc, area.width - 1, area.height - 1) != 0;
  ok &= MoveToEx(dc, area.width - 1, 0, nullptr) != 0;
  ok &= LineTo(dc, 0, area.height - 1) != 0;
  return ok;
}

constexpr DemoPage kPages[] = {
    {"Cover", DrawCover},
    {"Faces, styles, angles and clipped text", DrawFacesPage},
    {"Japanese text", DrawJapanesePage},
    {"Forty fonts on a page", DrawManyFontsPage},
    {"Vector art", DrawVectorArt},
    {"Images", DrawImages},
    {"Page layout", DrawLayoutPage},
};

}  // namespace

std::span<const DemoPage> DemoPages() { return kPages; }

bool DrawPageFrame(HDC dc, const PageArea& area, int shade) { return PageFrame(dc, area, shade); }
int DemoMm(const PageArea& area, double mm) { return Mm(area, mm); }

}  // namespace kvprint
