#include "pclcore/5e/device_fonts.h"

#include <cstring>

#include "kvplat/engine.h"
#include "pclcore/5e/driver_strings.h"
#include "pclcore/5e/output_channel.h"

namespace kv5e {

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
    pdev->fontResources[i] = static_cast<const BYTE*>(
        EngFindResource(pdev->resourceModule, static_cast<int>(i + 1), kFontMetricsType, &size));
    if (pdev->fontResources[i] == nullptr) {
      FreeDeviceFonts(pdev);
      return FALSE;
    }
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

}  // namespace kv5e
