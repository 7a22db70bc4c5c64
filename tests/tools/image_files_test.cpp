// Picture files decoded for printing: PNG in each colour kind, JPEG, and
// files that are damaged or too large.
#include "tools/common/image_files.h"

#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include <gtest/gtest.h>

#include "support/test_root.h"

namespace {

class ImageFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = kvtest::MakeTempDir("kvimages-"); }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string WritePng(const char* name, std::uint32_t format, int width, int height,
                       const std::vector<std::uint8_t>& pixels) {
    const std::string path = dir_ + "/" + name;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(width);
    png.height = static_cast<png_uint_32>(height);
    png.format = format;
    EXPECT_TRUE(png_image_write_to_file(&png, path.c_str(), 0, pixels.data(), 0, nullptr))
        << png.message;
    return path;
  }
  std::string WriteJpeg(const char* name, int width, int height, bool gray) {
    const std::string path = dir_ + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = gray ? 1 : 3;
    info.in_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 95, TRUE);
    info.density_unit = 1;
    info.X_density = info.Y_density = 300;
    jpeg_start_compress(&info, TRUE);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * (gray ? 1 : 3));
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        if (gray) {
          row[x] = static_cast<std::uint8_t>(x * 255 / (width - 1));
        } else {
          row[3 * x] = 200;  // red
          row[3 * x + 1] = 30;
          row[3 * x + 2] = 10;
        }
      }
      JSAMPROW rows[] = {row.data()};
      jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
    return path;
  }
  std::string dir_;
};

TEST_F(ImageFilesTest, PngKinds) {
  // A colour picture becomes BGR rows aligned to 4 bytes.
  std::vector<std::uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255};  // 3 x 1
  kvtools::DecodedImage image;
  std::string error;
  ASSERT_TRUE(kvtools::LoadImageFile(WritePng("rgb.png", PNG_FORMAT_RGB, 3, 1, rgb), &image, &error))
      << error;
  EXPECT_EQ(image.bitsPerPixel, 24);
  EXPECT_EQ(image.stride, 12u);
  EXPECT_EQ(std::vector<std::uint8_t>(image.pixels.begin(), image.pixels.begin() + 9),
            (std::vector<std::uint8_t>{0, 0, 255, 0, 255, 0, 255, 0, 0}));

  // Transparency falls on white paper.
  std::vector<std::uint8_t> rgba = {0, 0, 0, 0, 0, 0, 0, 255};
  ASSERT_TRUE(kvtools::LoadImageFile(WritePng("rgba.png", PNG_FORMAT_RGBA, 2, 1, rgba), &image, &error));
  EXPECT_EQ(image.pixels[0], 255);
  EXPECT_EQ(image.pixels[3], 0);

  // Gray stays 8 bits with a gray palette.
  std::vector<std::uint8_t> gray = {0, 128, 255, 64};
  ASSERT_TRUE(kvtools::LoadImageFile(WritePng("gray.png", PNG_FORMAT_GRAY, 4, 1, gray), &image, &error));
  EXPECT_EQ(image.bitsPerPixel, 8);
  EXPECT_EQ(image.palette.size(), 256u);
  EXPECT_EQ(image.pixels[1], 128);

  // A black-and-white scan stays one bit deep (1 = white, as its palette says).
  std::vector<std::uint8_t> scan(16 * 2, 255);
  scan[0] = 0;
  scan[16 + 15] = 0;
  ASSERT_TRUE(kvtools::LoadImageFile(WritePng("scan.png", PNG_FORMAT_GRAY, 16, 2, scan), &image, &error));
  EXPECT_EQ(image.bitsPerPixel, 1);
  EXPECT_EQ(image.stride, 4u);
  EXPECT_EQ(image.pixels[0], 0x7F);
  EXPECT_EQ(image.pixels[4 + 1], 0xFE);
  EXPECT_EQ(image.palette, (std::vector<std::uint32_t>{0x000000, 0xFFFFFF}));
}

TEST_F(ImageFilesTest, JpegColourAndGray) {
  kvtools::DecodedImage image;
  std::string error;
  ASSERT_TRUE(kvtools::LoadImageFile(WriteJpeg("photo.jpg", 40, 20, false), &image, &error)) << error;
  EXPECT_EQ(image.width, 40u);
  EXPECT_EQ(image.height, 20u);
  EXPECT_EQ(image.bitsPerPixel, 24);
  EXPECT_EQ(image.stride, 120u);
  EXPECT_NEAR(image.pixels[2], 200, 8);  // red, stored last in BGR
  EXPECT_NEAR(image.pixels[0], 10, 8);
  EXPECT_DOUBLE_EQ(image.dpiX, 300.0);
  ASSERT_TRUE(kvtools::LoadImageFile(WriteJpeg("gray.jpg", 64, 8, true), &image, &error)) << error;
  EXPECT_EQ(image.bitsPerPixel, 8);
  EXPECT_EQ(image.stride, 64u);
  EXPECT_LT(image.pixels[0], 10);
  EXPECT_GT(image.pixels[63], 245);
}

TEST_F(ImageFilesTest, BadFilesAreRefusedWithAMessage) {
  kvtools::DecodedImage image;
  std::string error;
  EXPECT_FALSE(kvtools::LoadImageFile(dir_ + "/missing.png", &image, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);

  std::ofstream(dir_ + "/text.txt") << "hello, world";
  EXPECT_FALSE(kvtools::IsImageFile(dir_ + "/text.txt"));
  EXPECT_FALSE(kvtools::LoadImageFile(dir_ + "/text.txt", &image, &error));
  EXPECT_NE(error.find("neither a PNG nor a JPEG"), std::string::npos);

  // Cut in the middle of its data.
  std::vector<std::uint8_t> rgb(300 * 300 * 3, 90);
  const std::string good = WritePng("big.png", PNG_FORMAT_RGB, 300, 300, rgb);
  std::filesystem::resize_file(good, std::filesystem::file_size(good) / 2);
  EXPECT_TRUE(kvtools::IsImageFile(good));
  EXPECT_FALSE(kvtools::LoadImageFile(good, &image, &error));

  const std::string jpeg = WriteJpeg("cut.jpg", 64, 64, false);
  std::filesystem::resize_file(jpeg, 200);
  // A cut JPEG decodes what it has (gray for the rest) or fails: never crashes.
  kvtools::LoadImageFile(jpeg, &image, &error);

  // A header that claims a picture far beyond the limits.
  std::vector<std::uint8_t> tiny = {0};
  const std::string huge = WritePng("huge.png", PNG_FORMAT_GRAY, 1, 1, tiny);
  std::fstream patch(huge, std::ios::in | std::ios::out | std::ios::binary);
  patch.seekp(16);  // IHDR width, big-endian
  const char side[] = {0x00, 0x01, static_cast<char>(0x86), static_cast<char>(0xA0)};  // 100000
  patch.write(side, 4);
  patch.write(side, 4);
  patch.close();
  EXPECT_FALSE(kvtools::LoadImageFile(huge, &image, &error));
}

}  // namespace
