// Where a page lands on its sheet: the paper geometry, scaling, fitting to
// another paper, several pages per sheet and booklets decide the drawing
// surface and the resolution the engine is told.
#pragma once

#include "pclcore/5e/pcl_device.h"

namespace kv5e {

// Fills pdev->geometry for a paper code in an orientation (landscape when
// orientation is not 1) at the job's resolution. False when the code is
// unknown; the geometry then stays as it was.
bool LookupPaperGeometry(PclPdev* pdev, int paperCode, int orientation);

// Computes the page layout from the instance's device mode.
void LayoutPage(PclPdev* pdev);

}  // namespace kv5e
