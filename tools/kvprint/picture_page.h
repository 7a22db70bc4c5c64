// A picture file printed on a page: fitted to the printable area, or at a
// given size and position.
#pragma once

#include "kvplat/gdi.h"
#include "tools/common/image_files.h"
#include "tools/kvprint/demo_document.h"

namespace kvprint {

struct ImagePlacement {
  bool placed = false;       // --at given: top-left corner in millimetres
  double x = 0, y = 0;
  double width = 0, height = 0;  // --size in millimetres; 0: from the other side or the page
};

// Parses "X,Y" and "W" or "WxH" (millimetres). False for anything else.
bool ParsePosition(const std::string& text, ImagePlacement* placement);
bool ParseSize(const std::string& text, ImagePlacement* placement);

// The destination rectangle in device pixels, keeping the picture's proportions
// unless both sides are given.
RECT PictureRect(const PageArea& area, const kvtools::DecodedImage& image,
                 const ImagePlacement& placement);

bool DrawPicture(HDC dc, const PageArea& area, const kvtools::DecodedImage& image,
                 const ImagePlacement& placement);

}  // namespace kvprint
