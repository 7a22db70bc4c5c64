#include "tools/common/image_files.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include <jpeglib.h>
#include <png.h>

namespace kvtools {
namespace {

constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::uint32_t StrideFor(std::uint32_t width, std::uint16_t bits) {
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4);
}

bool WithinLimits(std::uint32_t width, std::uint32_t height, std::string* error) {
  if (width == 0 || height == 0 || width > kMaxImageSide || height > kMaxImageSide ||
      static_cast<std::uint64_t>(width) * height > kMaxImagePixels) {
    if (error) {
      *error = "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels; at most " + std::to_string(kMaxImageSide) + " on a side and " +
               std::to_string(kMaxImagePixels) + " in all are printed";
    }
    return false;
  }
  return true;
}

struct FileCloser {
  void operator()(FILE* file) const {
    if (file) std::fclose(file);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool LoadPng(const std::string& path, DecodedImage* image, std::string* error) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    if (error) *error = std::string("not a readable PNG: ") + png.message;
    return false;
  }
  if (!WithinLimits(png.width, png.height, error)) {
    png_image_free(&png);
    return false;
  }
  // Black-and-white scans stay one bit deep; gray pictures 8 bits; the rest
  // becomes BGR over a white background.
  const bool gray = (png.format & PNG_FORMAT_FLAG_COLOR) == 0;
  png.format = gray ? PNG_FORMAT_GRAY : PNG_FORMAT_BGR;
  png_color white{255, 255, 255};
  const std::uint16_t bits = gray ? 8 : 24;
  const std::uint32_t stride = StrideFor(png.width, bits);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(stride) * png.height);
  if (!png_image_finish_read(&png, &white, pixels.data(), static_cast<png_int_32>(stride), nullptr)) {
    if (error) *error = std::string("damaged PNG: ") + png.message;
    png_image_free(&png);
    return false;
  }
  image->width = png.width;
  image->height = png.height;
  image->bitsPerPixel = bits;
  image->stride = stride;
  image->pixels = std::move(pixels);
  image->palette.clear();
  if (gray) {
    for (std::uint32_t v = 0; v < 256; ++v) image->palette.push_back(v << 16 | v << 8 | v);
    // Only black and white in it: a scan, kept at one bit per pixel.
    bool twoLevel = true;
    for (std::uint32_t y = 0; y < image->height && twoLevel; ++y) {
      const std::uint8_t* row = image->pixels.data() + static_cast<std::size_t>(y) * stride;
      for (std::uint32_t x = 0; x < image->width; ++x) {
        if (row[x] != 0 && row[x] != 255) {
          twoLevel = false;
          break;
        }
      }
    }
    if (twoLevel) {
      const std::uint32_t monoStride = StrideFor(image->width, 1);
      std::vector<std::uint8_t> mono(static_cast<std::size_t>(monoStride) * image->height, 0);
      for (std::uint32_t y = 0; y < image->height; ++y) {
        const std::uint8_t* row = image->pixels.data() + static_cast<std::size_t>(y) * stride;
        std::uint8_t* out = mono.data() + static_cast<std::size_t>(y) * monoStride;
        for (std::uint32_t x = 0; x < image->width; ++x) {
          if (row[x] != 0) out[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
      }
      image->bitsPerPixel = 1;
      image->stride = monoStride;
      image->pixels = std::move(mono);
      image->palette = {0x000000, 0xFFFFFF};  // bit 1 is white
    }
  }
  return true;
}

// libjpeg reports errors by calling a function that must not return: it
// jumps back to the decoder, whose frame holds nothing that needs unwinding.
struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr info) {
  auto* error = reinterpret_cast<JpegError*>(info->err);
  (*info->err->format_message)(info, error->message);
  std::longjmp(error->jump, 1);
}

// Decodes into `pixels` (allocated by the caller once the size is known
// through `reserve`); returns false with the library's message.
bool DecodeJpeg(FILE* file, DecodedImage* image, std::string* error) {
  jpeg_decompress_struct info;
  JpegError failure;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = OnJpegError;
  failure.message[0] = '\0';
  if (setjmp(failure.jump)) {
    jpeg_destroy_decompress(&info);
    if (error) *error = std::string("damaged JPEG: ") + failure.message;
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  const bool gray = info.num_components == 1;
  info.out_color_space = gray ? JCS_GRAYSCALE : JCS_EXT_BGR;
  jpeg_start_decompress(&info);
  if (!WithinLimits(info.output_width, info.output_height, error)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  image->width = info.output_width;
  image->height = info.output_height;
  image->bitsPerPixel = gray ? 8 : 24;
  image->stride = StrideFor(image->width, image->bitsPerPixel);
  image->pixels.assign(static_cast<std::size_t>(image->stride) * image->height, 0xFF);
  if (info.density_unit == 1) {
    image->dpiX = info.X_density;
    image->dpiY = info.Y_density;
  } else if (info.density_unit == 2) {
    image->dpiX = info.X_density * 2.54;
    image->dpiY = info.Y_density * 2.54;
  }
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image->pixels.data() + static_cast<std::size_t>(info.output_scanline) * image->stride;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  image->palette.clear();
  if (gray) {
    for (std::uint32_t v = 0; v < 256; ++v) image->palette.push_back(v << 16 | v << 8 | v);
  }
  return true;
}

bool LoadJpeg(const std::string& path, DecodedImage* image, std::string* error) {
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  return DecodeJpeg(file.get(), image, error);
}

}  // namespace

bool IsImageFile(const std::string& path) {
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::uint8_t head[8] = {};
  const std::size_t n = std::fread(head, 1, sizeof(head), file.get());
  if (n >= 8 && std::memcmp(head, kPngSignature, 8) == 0) return true;
  return n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

bool LoadImageFile(const std::string& path, DecodedImage* image, std::string* error) {
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::uint8_t head[8] = {};
  const std::size_t n = std::fread(head, 1, sizeof(head), file.get());
  file.reset();
  if (n >= 8 && std::memcmp(head, kPngSignature, 8) == 0) return LoadPng(path, image, error);
  if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
    return LoadJpeg(path, image, error);
  }
  if (error) *error = path + " is neither a PNG nor a JPEG picture";
  return false;
}

}  // namespace kvtools
