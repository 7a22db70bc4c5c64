// The frame of a PCL 5e job: the PJL header with every job option, the PCL
// reset and HP-GL/2 initialisation, per-sheet source, size, orientation and
// picture frame, form feeds, separator and alternative-source sheets, and the
// PJL end of job.
#pragma once

#include "kvplat/engine.h"
#include "pclcore/5e/pcl_device.h"

namespace kv5e {

BOOL DrvStartDoc(SURFOBJ* surface, LPWSTR docName, DWORD jobId);
BOOL DrvStartPage(SURFOBJ* surface);
BOOL DrvSendPage(SURFOBJ* surface);
BOOL DrvEndDoc(SURFOBJ* surface, FLONG flags);

int WriteJobHeader(PclPdev* pdev);
int WriteJobInit(PclPdev* pdev);
int WriteSheetSetup(PclPdev* pdev);
int WritePageWindow(PclPdev* pdev);
int SelectSource(PclPdev* pdev, int sourceCode);
int SelectPageSize(PclPdev* pdev, int paperCode);
int FeedSeparatorSheet(PclPdev* pdev);

enum class RangeMoment { PageStart, PageEnd, DocumentEnd };
int ApplyRangeSource(PclPdev* pdev, RangeMoment when);

}  // namespace kv5e
