// The watermark captured once per document by the capture program, played
// into every page (or the first one) of the application's job.
#pragma once

#include "pclcore/5e/pcl_device.h"

namespace kv5e {

// Inserts the capture file into the current page; a missing or unreadable
// file skips the watermark for this page.
void PlayCapturedWatermark(PclPdev* pdev);

}  // namespace kv5e
