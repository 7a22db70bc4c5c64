#include "pclcore/5e/device_fonts.h"

#include <cstring>

#include "kvplat/engine.h"
#include "pclcore/5e/driver_strings.h"
#include "pclcore/5e/output_channel.h"
#include "settings/byte_order.h"

namespace kv5e {

namespace {

// True when a UTF-16 string starts at `offset` of the block [base, base +
// size) and ends inside it.
bool WideStringInside(const BYTE* base, std::size_t size, std::size_t offset) {
  if (offset >= size || offset % 2 != 0) return false;
  for (std::size_t at = offset; at + 2 <= size; at += 2) {
    if (kvset::LoadU16LE(base + at) == 0) return true;
  }
  return false;
}

}  // namespace

bool IsSoundFontResource(const BYTE* resource, std::size_t size) {
  if (resource == nullptr || size < kFontWidthsEnd) return false;
  // The resource's own size must not claim more than the module holds.
  const std::size_t total = kvset::LoadU32LE(resource + kFontOffTotalSize);
  if (total < kFontWidthsEnd || total > size) return false;
  const std::size_t name = kvset::LoadU32LE(resource + kFontOffName);
  if (name >= total || std::memchr(resource + name, 0, total - name) == nullptr) return false;

  const std::size_t ifi = kvset::LoadU32LE(resource + kFontOffMetrics);
  if (ifi < kFontWidthsEnd || ifi > total || total - ifi < sizeof(IFIMETRICS)) return false;
  if (reinterpret_cast<std::uintptr_t>(resource + ifi) % alignof(IFIMETRICS) != 0) return false;
  const auto* metrics = reinterpret_cast<const IFIMETRICS*>(resource + ifi);
  const std::size_t block = metrics->cjThis;
  if (block < sizeof(IFIMETRICS) || block > total - ifi) return false;
  if (metrics->fwdUnitsPerEm <= 0) return false;
  // The engine reads the names at the offsets the block gives.
  const BYTE* base = resource + ifi;
  for (PTRDIFF offset : {metrics->dpwszFamilyName, metrics->dpwszStyleName, metrics->dpwszFaceName,
                         metrics->dpwszUniqueName}) {
    if (offset == 0) continue;
    if (offset < 0 || !WideStringInside(base, block, static_cast<std::size_t>(offset))) return false;
  }
  if (metrics->dpwszFamilyName == 0 || metrics->dpwszFaceName == 0) return false;

  const std::size_t pairs = kvset::LoadU32LE(resource + kFontOffKernCount);
  if (pairs != 0) {
    const std::size_t at = kvset::LoadU32LE(resource + kFontOffKernPairs);
    if (at == 0 || at > total || pairs > (total - at) / sizeof(FD_KERNINGPAIR)) return false;
    if (reinterpret_cast<std::uintptr_t>(resource + at) % alignof(FD_KERNINGPAIR) != 0) return false;
  }
  return true;
}

BOOL LoadDeviceFonts(PclPdev* pdev) {
  pdev->deviceFontCount = 0;
  pdev->extraFontCount = 0;
  const int total = LoadDriverNumber(pdev->resourceModule, kStrFontCount);
  if (total <= 0) return TRUE;
  const int group = LoadDriverNumber(pdev->resourceModule, kStrExtraFontCount);
  std::uint32_t count = static_cast<std::uint32_t>(total);
  std::uint32_t extra = group > 0 ? static_cast<std::uint32_t>(group) : 0;
  // A first digit 0 in the "all fonts" string leaves out the last group.
  WCHAR all[8];
  if (LoadDriverString(pdev->resourceModule, kStrAllFonts, all, 8) > 0 && all[0] == u'0') {
    count = extra < count ? count - extra : 0;
    extra = 0;
  }
  pdev->extraFontCount = extra;
  if (count == 0) return TRUE;

  pdev->fontResources = static_cast<const BYTE**>(
      EngAllocMem(FL_ZERO_MEMORY, static_cast<ULONG>(count * sizeof(BYTE*)), 0));
  pdev->fontNames = static_cast<char(*)[kFontNameSlot]>(
      EngAllocMem(FL_ZERO_MEMORY, static_cast<ULONG>(count * kFontNameSlot), 0));
  if (pdev->fontResources == nullptr || pdev->fontNames == nullptr) {
    FreeDeviceFonts(pdev);
    return FALSE;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    ULONG size = 0;
    const auto* resource = static_cast<const BYTE*>(
        EngFindResource(pdev->resourceModule, static_cast<int>(i + 1), kFontMetricsType, &size));
    // A resource whose offsets point outside it is as good as missing: every
    // query trusts them from here on.
    if (!IsSoundFontResource(resource, size)) {
      FreeDeviceFonts(pdev);
      return FALSE;
    }
    pdev->fontResources[i] = resource;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    WCHAR name[256];
    if (LoadDriverString(pdev->resourceModule, kStrFontNameBase + i + 1, name, 256) < 0) {
      FreeDeviceFonts(pdev);
      return FALSE;
    }
    CopyLowBytes(pdev->fontNames[i], name, kFontNameSlot);
  }
  pdev->deviceFontCount = count;
  return TRUE;
}

void FreeDeviceFonts(PclPdev* pdev) {
  EngFreeMem(pdev->fontResources);
  EngFreeMem(pdev->fontNames);
  pdev->fontResources = nullptr;
  pdev->fontNames = nullptr;
  pdev->deviceFontCount = 0;
}

const BYTE* DeviceFontResource(const PclPdev* pdev, int index) {
  if (pdev == nullptr || pdev->fontResources == nullptr || index < 1 ||
      static_cast<std::uint32_t>(index) > pdev->deviceFontCount) {
    return nullptr;
  }
  return pdev->fontResources[index - 1];
}

const IFIMETRICS* DeviceFontMetrics(const PclPdev* pdev, int index) {
  const BYTE* resource = DeviceFontResource(pdev, index);
  if (resource == nullptr) return nullptr;
  return reinterpret_cast<const IFIMETRICS*>(resource +
                                             kvset::LoadU32LE(resource + kFontOffMetrics));
}

std::uint16_t DeviceFontWidth(const BYTE* resource, BYTE code) {
  if (resource == nullptr) return 0;
  return kvset::LoadU16LE(resource + kFontOffWidths + 2 * std::size_t{code});
}

}  // namespace kv5e
