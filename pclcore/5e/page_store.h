// Pages placed on sheets and held back: the cell of each page on its sheet,
// the picture frame that anchors it, the page store whose records are replayed
// in reverse, forward or booklet order at the end of the document, and the
// stored form a job can record or print over.
#pragma once

#include "pclcore/5e/pcl_device.h"

namespace kv5e {

// ---- cells and picture frames ----------------------------------------------
// Pages per sheet as the instance counts them (never below 1).
std::uint32_t PagesPerSheet(const PclPdev* pdev);
// Cell origin of page `pageCount` on a sheet of several pages.
void PlaceNupCell(PclPdev* pdev);
// Next origin and page rotation of a booklet page; half 2 is the first cell,
// half 1 the second.
void PlaceBookletCell(PclPdev* pdev, int half);
// Picture frame size, cursor to the current (or, when asked, the next) cell
// origin, frame anchor. 1 / 0 as the writes went.
int WritePictureFrame(PclPdev* pdev, bool moveToNextOrigin);

// ---- the page store -----------------------------------------------------------
// Closes the record being written and starts the next one.
void CloseStoreRecord(PclPdev* pdev);
// Gives back an empty record opened after the last closed one.
void WindBackStoreRecord(PclPdev* pdev);
// Closes or winds back the current record, then writes the form file or
// replays the store in its order, and closes the store. Nothing when output is
// suppressed. 1 when the replay (or form) succeeded.
int FinishStore(PclPdev* pdev);
int ReplayReverse(PclPdev* pdev);
int ReplayForward(PclPdev* pdev);
int ReplayBooklet(PclPdev* pdev);

// ---- stored forms ---------------------------------------------------------------
// The form file's Windows path: the system folder, a backslash and the part of
// formFileName after its last backslash.
void FormFilePath(const PclPdev* pdev, WCHAR* path, std::size_t bound);
// Writes the recorded sheet (store bytes from offset 4) into the form file.
int WriteForm(PclPdev* pdev);
// Sends the stored form's drawing (from its first ESC "*v0T") into the page.
int PlayForm(PclPdev* pdev);

}  // namespace kv5e
