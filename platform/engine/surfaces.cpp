// Device surfaces and palettes of the engine.
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "kvplat/engine.h"
#include "kvplat/engine_objects.h"
#include "kvplat/fault.h"
#include "kvplat/kernel.h"

namespace {

constexpr std::uint32_t kSurfaceMagic = 0x46525553;  // "SURF"
constexpr std::uint32_t kPaletteMagic = 0x4C415050;  // "PPAL"

struct Surface {
  std::uint32_t magic = kSurfaceMagic;
  SURFOBJ object{};
  FLONG hooks = 0;
  bool locked = false;
};

struct Palette {
  std::uint32_t magic = kPaletteMagic;
  ULONG mode = 0;
  std::vector<ULONG> colors;
  FLONG red = 0, green = 0, blue = 0;
};

Surface* AsSurface(HSURF handle) {
  auto* surface = reinterpret_cast<Surface*>(handle);
  return surface != nullptr && surface->magic == kSurfaceMagic ? surface : nullptr;
}

Palette* AsPalette(HPALETTE handle) {
  auto* palette = reinterpret_cast<Palette*>(handle);
  return palette != nullptr && palette->magic == kPaletteMagic ? palette : nullptr;
}

}  // namespace

KVAPI HSURF EngCreateDeviceSurface(DHSURF dhsurf, SIZEL size, ULONG formatCompat) {
  if (size.cx <= 0 || size.cy <= 0 || formatCompat < BMF_1BPP || formatCompat > BMF_32BPP) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (kvplat::fault::ShouldFail(kvplat::fault::Point::Alloc)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* surface = new (std::nothrow) Surface;
  if (surface == nullptr) return nullptr;
  surface->object.dhsurf = dhsurf;
  surface->object.hsurf = reinterpret_cast<HSURF>(surface);
  surface->object.sizlBitmap = size;
  surface->object.iBitmapFormat = formatCompat;
  surface->object.iType = STYPE_DEVICE;
  return reinterpret_cast<HSURF>(surface);
}

KVAPI BOOL EngAssociateSurface(HSURF handle, HDEV hdev, FLONG hooks) {
  Surface* surface = AsSurface(handle);
  kvplat::engine::Device* device = kvplat::engine::DeviceFromHdev(hdev);
  if (surface == nullptr || device == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  surface->object.hdev = hdev;
  surface->object.dhpdev = device->enabling != nullptr ? device->enabling : device->dhpdev;
  surface->hooks = hooks;
  device->hooks = hooks;
  return TRUE;
}

KVAPI BOOL EngDeleteSurface(HSURF handle) {
  Surface* surface = AsSurface(handle);
  if (surface == nullptr) return FALSE;
  kvplat::engine::ReleaseBitmapBits(handle);  // a bitmap's pixels go with it
  surface->magic = 0;
  delete surface;
  return TRUE;
}

KVAPI SURFOBJ* EngLockSurface(HSURF handle) {
  Surface* surface = AsSurface(handle);
  if (surface == nullptr) return nullptr;
  surface->locked = true;
  return &surface->object;
}

KVAPI void EngUnlockSurface(SURFOBJ* object) {
  if (object == nullptr) return;
  if (Surface* surface = AsSurface(object->hsurf)) surface->locked = false;
}

KVAPI HPALETTE EngCreatePalette(ULONG mode, ULONG colors, ULONG* colorTable, FLONG red,
                                FLONG green, FLONG blue) {
  if (mode != PAL_INDEXED && mode != PAL_BITFIELDS && mode != PAL_RGB && mode != PAL_BGR) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (kvplat::fault::ShouldFail(kvplat::fault::Point::Alloc)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* palette = new (std::nothrow) Palette;
  if (palette == nullptr) return nullptr;
  palette->mode = mode;
  if (mode == PAL_INDEXED && colorTable != nullptr) {
    palette->colors.assign(colorTable, colorTable + colors);
  }
  palette->red = red;
  palette->green = green;
  palette->blue = blue;
  return reinterpret_cast<HPALETTE>(palette);
}

KVAPI BOOL EngDeletePalette(HPALETTE handle) {
  Palette* palette = AsPalette(handle);
  if (palette == nullptr) return FALSE;
  palette->magic = 0;
  delete palette;
  return TRUE;
}
