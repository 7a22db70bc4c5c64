// The printer's resident fonts as the library carries them: a metrics
// resource (type 258), a PCL selection string and a typeface name each.
#pragma once

#include "pclcore/5e/pcl_device.h"

namespace kv5e {

inline constexpr int kFontMetricsType = 258;
inline constexpr std::size_t kFontNameSlot = 64;

// Fills the device font table of a new instance; FALSE when a resource or a
// name is missing or memory runs out.
BOOL LoadDeviceFonts(PclPdev* pdev);
void FreeDeviceFonts(PclPdev* pdev);

}  // namespace kv5e
