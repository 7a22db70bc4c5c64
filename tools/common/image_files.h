// Picture files for printing: PNG and JPEG decoded into device-independent
// rows (top-down, 32-bit aligned) that a program hands to StretchDIBits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvtools {

struct DecodedImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t bitsPerPixel = 0;    // 1 (black and white), 8 (gray) or 24 (BGR)
  std::uint32_t stride = 0;          // bytes per row, a multiple of 4
  std::vector<std::uint8_t> pixels;  // rows top to bottom
  std::vector<std::uint32_t> palette;  // 0x00RRGGBB entries for 1 and 8 bits
  double dpiX = 0, dpiY = 0;         // from the file, 0 when it does not say
};

// Largest picture accepted: side and total pixels.
inline constexpr std::uint32_t kMaxImageSide = 30000;
inline constexpr std::uint64_t kMaxImagePixels = 200'000'000;

// True when the file starts like a PNG or a JPEG.
bool IsImageFile(const std::string& path);
// Decodes a PNG or JPEG file. False with a message for anything else, a
// damaged file or a picture beyond the limits.
bool LoadImageFile(const std::string& path, DecodedImage* image, std::string* error);

}  // namespace kvtools
