// pclrender: a small PCL 5e interpreter for checking what the PCL 5e library
// prints. It renders the part of the language the library writes: PJL
// framing, page size and orientation, cursor moves, raster graphics
// (compression methods 0-3 and 5), rectangle fills, user patterns, soft fonts
// (TrueType outline and bitmap) and resident fonts (with stand-in faces),
// and HP-GL/2 (PE polylines, polygons, rectangles, clip window, labels).
//
// Pages are 8-bit gray (255 white, 0 black) in the logical page's
// orientation, the whole physical sheet; the PCL origin (the left edge of the
// logical page at the top margin) lies at (originX, originY). Malformed input
// is skipped, never read past; page sizes and counts are capped.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvpclrender {

struct Page {
  int width = 0;
  int height = 0;
  int dpi = 600;
  int originX = 0;  // image pixel of the PCL cursor position (0, 0)
  int originY = 0;
  std::vector<std::uint8_t> gray;  // width x height, row by row

  std::uint8_t At(int x, int y) const {
    return x >= 0 && y >= 0 && x < width && y < height ? gray[std::size_t(y) * width + x] : 255;
  }
  bool Black(int x, int y) const { return At(x, y) < 128; }
};

struct Options {
  int maxPages = 500;
  int maxSide = 14400;                  // pixels along either side of a page
  std::int64_t maxPixels = 160'000'000;  // pixels of a page
  int defaultDpi = 600;
};

struct Summary {
  int pages = 0;
  std::vector<std::string> notes;  // what was skipped or capped (a few, not every command)
};

// Renders a stream; `onPage` receives each finished page.
Summary Render(std::span<const std::uint8_t> stream, const Options& options,
               const std::function<void(const Page&)>& onPage);
// All pages of a stream.
std::vector<Page> RenderAll(std::span<const std::uint8_t> stream, const Options& options = {});
inline std::vector<Page> RenderAll(std::string_view stream, const Options& options = {}) {
  return RenderAll(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(stream.data()),
                                                 stream.size()),
                   options);
}

// Writes a page as PNG: 1-bit (threshold at half gray) or 8-bit gray.
bool WritePng(const Page& page, const std::string& path, bool oneBit, std::string* error);

}  // namespace kvpclrender
