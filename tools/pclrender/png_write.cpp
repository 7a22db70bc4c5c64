#include <png.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "pcl_render.h"

namespace kvpclrender {
namespace {

// libpng reports errors by longjmp: this part holds no object with a
// destructor, so nothing is skipped when it jumps back. False on an error.
bool WriteImage(png_structp png, png_infop info, std::FILE* file, const Page& page, bool oneBit,
                png_byte* row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(page.width), static_cast<png_uint_32>(page.height),
               oneBit ? 1 : 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  const auto ppm = static_cast<png_uint_32>(page.dpi / 0.0254 + 0.5);
  png_set_pHYs(png, info, ppm, ppm, PNG_RESOLUTION_METER);
  png_write_info(png, info);
  const std::size_t rowBytes = oneBit ? (static_cast<std::size_t>(page.width) + 7) / 8 : page.width;
  for (int y = 0; y < page.height; ++y) {
    const std::uint8_t* src = page.gray.data() + static_cast<std::size_t>(y) * page.width;
    if (oneBit) {
      std::fill(row, row + rowBytes, 0);
      for (int x = 0; x < page.width; ++x) {
        if (src[x] >= 128) row[x / 8] |= static_cast<png_byte>(0x80 >> (x % 8));
      }
    } else {
      std::copy(src, src + page.width, row);
    }
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

bool WritePng(const Page& page, const std::string& path, bool oneBit, std::string* error) {
  const auto fail = [&](const char* what) {
    if (error != nullptr) *error = std::string(what) + ": " + path;
    return false;
  };
  if (page.width <= 0 || page.height <= 0 ||
      page.gray.size() != static_cast<std::size_t>(page.width) * static_cast<std::size_t>(page.height)) {
    return fail("empty page");
  }
  std::vector<png_byte> row(oneBit ? (static_cast<std::size_t>(page.width) + 7) / 8 : page.width);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return fail("cannot create");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return fail("out of memory");
  }
  const bool written = WriteImage(png, info, file, page, oneBit, row.data());
  png_destroy_write_struct(&png, &info);
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) return fail("cannot write");
  return true;
}

}  // namespace kvpclrender
