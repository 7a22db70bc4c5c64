#include "tools/kvprint/picture_page.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace kvprint {
namespace {

bool ParseNumber(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return end != nullptr && *end == '\0' && std::isfinite(*value) && *value >= 0 && *value < 10000;
}

}  // namespace

bool ParsePosition(const std::string& text, ImagePlacement* placement) {
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  if (!ParseNumber(text.substr(0, comma), &placement->x) ||
      !ParseNumber(text.substr(comma + 1), &placement->y)) {
    return false;
  }
  placement->placed = true;
  return true;
}

bool ParseSize(const std::string& text, ImagePlacement* placement) {
  const std::size_t cross = text.find('x');
  if (cross == std::string::npos) {
    return ParseNumber(text, &placement->width) && placement->width > 0;
  }
  return ParseNumber(text.substr(0, cross), &placement->width) &&
         ParseNumber(text.substr(cross + 1), &placement->height) && placement->width > 0 &&
         placement->height > 0;
}

RECT PictureRect(const PageArea& area, const kvtools::DecodedImage& image,
                 const ImagePlacement& placement) {
  const double perMm = area.dpi / 25.4;
  const double aspect = static_cast<double>(image.height) / image.width;
  double width, height;
  if (placement.width > 0 && placement.height > 0) {
    width = placement.width * perMm;
    height = placement.height * perMm;
  } else if (placement.width > 0) {
    width = placement.width * perMm;
    height = width * aspect;
  } else {
    // As large as the printable area allows, in proportion.
    width = area.width;
    height = width * aspect;
    if (height > area.height) {
      height = area.height;
      width = height / aspect;
    }
  }
  double left, top;
  if (placement.placed) {
    left = placement.x * perMm;
    top = placement.y * perMm;
  } else {
    left = (area.width - width) / 2;
    top = (area.height - height) / 2;
  }
  return {static_cast<LONG>(std::lround(left)), static_cast<LONG>(std::lround(top)),
          static_cast<LONG>(std::lround(left + width)), static_cast<LONG>(std::lround(top + height))};
}

bool DrawPicture(HDC dc, const PageArea& area, const kvtools::DecodedImage& image,
                 const ImagePlacement& placement) {
  std::vector<std::uint8_t> infoBytes(sizeof(BITMAPINFOHEADER) + image.palette.size() * sizeof(RGBQUAD));
  auto* info = reinterpret_cast<BITMAPINFO*>(infoBytes.data());
  info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info->bmiHeader.biWidth = static_cast<LONG>(image.width);
  info->bmiHeader.biHeight = -static_cast<LONG>(image.height);  // rows top to bottom
  info->bmiHeader.biPlanes = 1;
  info->bmiHeader.biBitCount = image.bitsPerPixel;
  info->bmiHeader.biCompression = BI_RGB;
  info->bmiHeader.biClrUsed = static_cast<DWORD>(image.palette.size());
  for (std::size_t i = 0; i < image.palette.size(); ++i) {
    const std::uint32_t c = image.palette[i];
    info->bmiColors[i] = {static_cast<BYTE>(c), static_cast<BYTE>(c >> 8), static_cast<BYTE>(c >> 16), 0};
  }
  const RECT to = PictureRect(area, image, placement);
  return StretchDIBits(dc, to.left, to.top, to.right - to.left, to.bottom - to.top, 0, 0,
                       static_cast<int>(image.width), static_cast<int>(image.height),
                       image.pixels.data(), info, DIB_RGB_COLORS, SRCCOPY) > 0;
}

}  // namespace kvprint
