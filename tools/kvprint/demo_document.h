// The built-in demo document: each page shows one part of what the system
// prints, drawn with the application drawing calls in device pixels.
#pragma once

#include <span>

#include "kvplat/gdi.h"

namespace kvprint {

// What a page knows of the sheet it is drawn on.
struct PageArea {
  int width;   // printable area in device pixels
  int height;
  int dpi;
};

struct DemoPage {
  const char* title;
  // False when a drawing call failed (the job is then abandoned).
  bool (*draw)(HDC dc, const PageArea& area);
};

std::span<const DemoPage> DemoPages();

// The frame every demo page has: a border inside the printable area and a
// title bar of the gray `shade`.
bool DrawPageFrame(HDC dc, const PageArea& area, int shade);
// Device pixels for a length in millimetres.
int DemoMm(const PageArea& area, double mm);

// The text pages (demo_text_pages.cpp).
bool DrawFacesPage(HDC dc, const PageArea& area);
bool DrawJapanesePage(HDC dc, const PageArea& area);
bool DrawManyFontsPage(HDC dc, const PageArea& area);
inline constexpr char16_t kDemoName[] = u"Kelvaro demo";

}  // namespace kvprint
