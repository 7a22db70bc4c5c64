// The PCL 5e graphics library's own defaults and validation of the device mode
// record it keeps in its device instance (a whole PCL 5e record, 1374 bytes).
#pragma once

#include <cstdint>
#include <span>

#include "kvplat/gdi_types.h"

namespace kvset {

// Public defaults over a private block that may already hold the caller's
// values. Returns 1; 0 when `record` is shorter than a PCL 5e record.
int DriverDefaultDevmode(std::span<std::uint8_t> record);

// Validates `incoming` and merges it into `record`. 1 on success or when the
// incoming record is ignored; 0 when the working copy cannot be allocated or
// the copy fails (record unchanged).
int DriverMergeDevmode(std::span<std::uint8_t> record, const DEVMODEW* incoming);

}  // namespace kvset
