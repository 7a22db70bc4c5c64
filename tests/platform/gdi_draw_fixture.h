// Memory DCs for drawing tests: a white 32-bit top-down DIB section selected
// into a memory DC, read back pixel by pixel as 0x00BBGGRR colours.
#pragma once

#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "kvplat/gdi.h"
#include "kvplat/kernel.h"

namespace gditest {

// An object deleted at the end of its scope.
template <typename H>
class Obj {
 public:
  explicit Obj(H h = nullptr) : h_(h) {}
  ~Obj() {
    if (h_ != nullptr) DeleteObject(h_);
  }
  Obj(const Obj&) = delete;
  Obj& operator=(const Obj&) = delete;
  H get() const { return h_; }

 private:
  H h_;
};

inline BITMAPINFO Info32(LONG width, LONG height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

class Canvas {
 public:
  static constexpr COLORREF kWhite = 0xFFFFFF;
  Canvas(LONG width, LONG height) : width_(width), height_(height) {
    dc_ = CreateCompatibleDC(nullptr);
    BITMAPINFO info = Info32(width, -height);
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_),
                               nullptr, 0);
    old_ = SelectObject(dc_, bitmap_);
    Clear(kWhite);
  }
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  HDC dc() const { return dc_; }
  HBITMAP bitmap() const { return bitmap_; }
  LONG width() const { return width_; }
  LONG height() const { return height_; }
  bool ok() const { return dc_ != nullptr && bitmap_ != nullptr && bits_ != nullptr; }

  void Clear(COLORREF rgb) {
    for (LONG i = 0; i < width_ * height_; ++i) bits_[i] = ToPixel(rgb);
  }
  COLORREF At(LONG x, LONG y) const {
    const DWORD v = bits_[y * width_ + x];
    return ((v >> 16) & 0xFF) | (v & 0xFF00) | ((v & 0xFF) << 16);
  }
  void Set(LONG x, LONG y, COLORREF rgb) { bits_[y * width_ + x] = ToPixel(rgb); }
  int Count(COLORREF rgb) const { return CountIf([&](LONG x, LONG y) { return At(x, y) == rgb; }); }
  int CountIf(const std::function<bool(LONG, LONG)>& f) const {
    int n = 0;
    for (LONG y = 0; y < height_; ++y)
      for (LONG x = 0; x < width_; ++x) n += f(x, y) ? 1 : 0;
    return n;
  }
  // Pixels of `rgb` in a row / column.
  int CountRow(LONG y, COLORREF rgb) const {
    int n = 0;
    for (LONG x = 0; x < width_; ++x) n += At(x, y) == rgb;
    return n;
  }
  int CountColumn(LONG x, COLORREF rgb) const {
    int n = 0;
    for (LONG y = 0; y < height_; ++y) n += At(x, y) == rgb;
    return n;
  }

 private:
  static DWORD ToPixel(COLORREF rgb) {
    return ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF);
  }
  LONG width_, height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  DWORD* bits_ = nullptr;
};

}  // namespace gditest
