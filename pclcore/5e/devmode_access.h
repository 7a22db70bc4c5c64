// Reading and writing fields of the instance's own device mode record by name:
// Dm(pdev, kvset::DmField("scalePercent")).
#pragma once

#include <span>

#include "pclcore/5e/pcl_device.h"
#include "settings/devmode_fields.h"

namespace kv5e {

inline std::span<BYTE> DevmodeBytes(PclPdev* pdev) { return {pdev->devmode, kDevmodeSize}; }
inline std::span<const BYTE> DevmodeBytes(const PclPdev* pdev) {
  return {pdev->devmode, kDevmodeSize};
}

inline std::int32_t Dm(const PclPdev* pdev, const kvset::RecordField& field) {
  return static_cast<std::int32_t>(
      kvset::GetField(DevmodeBytes(pdev), kvset::DevmodeVariant::Pcl5e, field));
}

inline void SetDm(PclPdev* pdev, const kvset::RecordField& field, std::int64_t value) {
  kvset::SetField(DevmodeBytes(pdev), kvset::DevmodeVariant::Pcl5e, field, value);
}

inline const DEVMODEW* PublicDevmode(const PclPdev* pdev) {
  return reinterpret_cast<const DEVMODEW*>(pdev->devmode);
}

}  // namespace kv5e
