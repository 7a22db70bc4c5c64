#include "pclcore/5e/page_store.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "kvplat/kernel.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/soft_fonts.h"
#include "settings/byte_order.h"

namespace kv5e {
namespace {

using kvset::DmField;

constexpr BYTE kFormFeed = 0x0C;
// Where a recorded form's drawing starts: the picture frame anchor of its sheet.
constexpr std::string_view kFormDrawingStart = "\x1B*v0T";

// The usable end of the store: bytes written, never beyond what is mapped.
std::uint32_t StoreEnd(const PclPdev* pdev) {
  if (pdev->storeView == nullptr) return 0;
  return std::min(pdev->storeTop, pdev->storeCapacity);
}

std::uint32_t LoadStore(const PclPdev* pdev, std::uint32_t offset) {
  return kvset::LoadU32LE(pdev->storeView + offset);
}

void StoreStore(PclPdev* pdev, std::uint32_t offset, std::uint32_t value) {
  kvset::StoreU32LE(pdev->storeView + offset, value);
}

// The bounds of the record being written are sane: its length slot and data
// lie inside what is mapped.
bool CurrentRecordIsSane(const PclPdev* pdev) {
  return pdev->storeView != nullptr && pdev->storeCurrent >= 4 &&
         pdev->storeCurrent <= pdev->storeTop && pdev->storeTop <= pdev->storeCapacity;
}

struct StoreRecord {
  std::uint32_t offset;  // of its data
  std::uint32_t length;
};

// The records of the store from the first to the one being written. Every
// closed record must carry a length that stays inside the store and a back
// link naming its own data; the first record that does not ends the list, so
// a damaged store never makes a replay read outside it.
std::vector<StoreRecord> ListRecords(const PclPdev* pdev) {
  std::vector<StoreRecord> records;
  const std::uint32_t end = StoreEnd(pdev);
  std::uint64_t data = 4;
  while (data <= end) {
    const auto offset = static_cast<std::uint32_t>(data);
    if (offset == pdev->storeCurrent) {
      // The record being written ends where the store does.
      if (end > offset) records.push_back({offset, end - offset});
      break;
    }
    const std::uint32_t length = LoadStore(pdev, offset - 4);
    const std::uint64_t link = data + length;
    if (link + 4 > end || LoadStore(pdev, static_cast<std::uint32_t>(link)) != offset) break;
    records.push_back({offset, length});
    data = link + 8;
  }
  return records;
}

// Replays write to the printer; a write that fails aborts the job.
bool Send(PclPdev* pdev, const BYTE* data, std::uint32_t length) {
  if (length == 0) return true;
  if (WriteLong(pdev, data, length)) return true;
  pdev->flags |= kFlagAborted;
  return false;
}

bool SendFormFeed(PclPdev* pdev) { return Send(pdev, &kFormFeed, 1); }

// Stored forms supply their own form feed; other records get one each.
bool RecordsEndWithFormFeed(const PclPdev* pdev) {
  const int formMode = Dm(pdev, DmField("formMode"));
  return formMode != 1 && formMode != 2;
}

// Bytes of the job header at the start of record 0 (never more than it holds).
std::uint32_t HeaderBytes(const PclPdev* pdev, const std::vector<StoreRecord>& records) {
  if (records.empty() || records.front().offset != 4) return 0;
  return std::min(pdev->headerLength, records.front().length);
}

// The job header goes out once per job, however often the store is replayed.
bool SendHeaderOnce(PclPdev* pdev, std::uint32_t header) {
  if (pdev->flags & kFlagStoreHeaderReplayed) return true;
  if (!Send(pdev, pdev->storeView + 4, header)) return false;
  pdev->flags |= kFlagStoreHeaderReplayed;
  return true;
}

// One page record without the job header it may start with.
bool SendPageRecord(PclPdev* pdev, const StoreRecord& record, std::uint32_t header) {
  const std::uint32_t skip = record.offset == 4 ? header : 0;
  if (!Send(pdev, pdev->storeView + record.offset + skip, record.length - skip)) return false;
  return !RecordsEndWithFormFeed(pdev) || SendFormFeed(pdev);
}

bool FinishReplay(PclPdev* pdev) {
  if (FlushOutput(pdev)) return true;
  pdev->flags |= kFlagAborted;
  return false;
}

bool StartReplay(PclPdev* pdev) {
  pdev->flags &= ~kFlagStoreOpen;  // from here on the output goes to the printer
  return pdev->storeView != nullptr && !(pdev->flags & kFlagAborted);
}

}  // namespace

// ---- cells and picture frames ----------------------------------------------

std::uint32_t PagesPerSheet(const PclPdev* pdev) {
  return static_cast<std::uint32_t>(std::max(1, Dm(pdev, DmField("nupPages"))));
}

void PlaceNupCell(PclPdev* pdev) {
  LayoutCells& cells = pdev->layoutCells;
  if (cells.columns <= 0 || cells.rows <= 0) {
    // No grid to place into: the job prints one page per sheet.
    SetDm(pdev, DmField("nupPages"), 1);
    SetDm(pdev, DmField("separatorActive"), 0);
    return;
  }
  const int pages = PagesPerSheet(pdev);
  const int index = static_cast<int>(pdev->pageCount % static_cast<std::uint32_t>(pages));
  int column, row;
  if (Dm(pdev, DmField("nupColumnFirst")) != 0) {
    column = index / cells.rows;
    row = index % cells.rows;
  } else {
    column = index % cells.columns;
    row = index / cells.columns;
  }
  if (Dm(pdev, DmField("nupRightToLeft")) != 0) column = cells.columns - 1 - column;
  cells.originX = static_cast<std::int16_t>(column * cells.cellWidth + cells.baseX);
  cells.originY = static_cast<std::int16_t>(row * cells.cellHeight + cells.baseY);
  if (pages == 2) SetDm(pdev, DmField("spare854"), 0);
}

void PlaceBookletCell(PclPdev* pdev, int half) {
  const std::int16_t orientation = PublicDevmode(pdev)->dmOrientation;
  const bool portrait = orientation == 1;
  if (orientation == pdev->originalOrientation) {
    pdev->pageRotation = 0;
  } else {
    pdev->pageRotation = portrait ? 270 : 90;
  }
  LayoutCells& cells = pdev->layoutCells;
  const int step = ((half % 2) + 2) % 2;
  // Portrait pages sit side by side, landscape pages one above the other; the
  // other coordinate stays where the cell already is.
  if (portrait) {
    cells.nextX = static_cast<std::int16_t>(step * cells.cellWidth + cells.baseX);
    cells.nextY = cells.originY;
  } else {
    cells.nextX = cells.originX;
    cells.nextY = static_cast<std::int16_t>(step * cells.cellHeight + cells.baseY);
  }
}

int WritePictureFrame(PclPdev* pdev, bool moveToNextOrigin) {
  // The frame covers the page's printable area, in decipoints.
  const bool dpi300 = PublicDevmode(pdev)->dmPrintQuality == 300;
  const int multiplier = dpi300 ? 12 : 6;
  int width = pdev->surfaceGeometry.printableWidth * multiplier / 5 + 1;
  int height = pdev->surfaceGeometry.printableHeight * multiplier / 5 + 1;
  if (Dm(pdev, DmField("layoutMode")) == 3 &&
      (pdev->pageRotation == 90 || pdev->pageRotation == 270)) {
    std::swap(width, height);
  }
  if (WriteFormatted(pdev, "\x1B*c%dx%dY", width, height) < 0) return 0;
  LayoutCells& cells = pdev->layoutCells;
  if (moveToNextOrigin) {
    cells.originX = cells.nextX;
    cells.originY = cells.nextY;
  }
  if (WriteFormatted(pdev, "\x1B*p%dx%dY", cells.originX, cells.originY) < 0) return 0;
  return WriteText(pdev, "\x1B*c0T");
}

// ---- the page store -----------------------------------------------------------

void CloseStoreRecord(PclPdev* pdev) {
  // Output still in the buffer belongs to the record being closed.
  if ((pdev->flags & kFlagStoreOpen) && !FlushOutput(pdev)) return;
  if (!CurrentRecordIsSane(pdev)) return;
  // The back link and the next record's length slot follow the data.
  if (!ReserveStore(pdev, 8)) return;
  StoreStore(pdev, pdev->storeCurrent - 4, pdev->storeTop - pdev->storeCurrent);
  StoreStore(pdev, pdev->storeTop, pdev->storeCurrent);
  StoreStore(pdev, pdev->storeTop + 4, 0);
  pdev->storeTop += 8;
  pdev->storeCurrent = pdev->storeTop;
}

void WindBackStoreRecord(PclPdev* pdev) {
  if (!CurrentRecordIsSane(pdev)) return;
  // Only an empty record after a closed one can be given back; bytes still
  // waiting for the store make it not empty.
  if (pdev->storeCurrent != pdev->storeTop || pdev->storeTop < 12) return;
  if ((pdev->flags & kFlagStoreOpen) && pdev->outFill != 0) return;
  const std::uint32_t linkAt = pdev->storeTop - 8;
  const std::uint32_t previous = LoadStore(pdev, linkAt);
  if (previous < 4 || previous > linkAt || LoadStore(pdev, previous - 4) != linkAt - previous) {
    return;  // the back link is damaged: keep the record rather than guess
  }
  pdev->storeTop = linkAt;
  pdev->storeCurrent = previous;
}

int FinishStore(PclPdev* pdev) {
  if (pdev->storeView == nullptr) return 0;
  if (pdev->flags & kFlagSuppressed) {
    // Nothing may be sent; the store is given up.
    ClosePageStore(pdev);
    return 0;
  }
  // The last record ends the store: close it when it holds anything, then
  // reopen it so that the record being written is the last page.
  if ((pdev->flags & kFlagStoreOpen) && !FlushOutput(pdev)) {
    if (pdev->storeView != nullptr) ClosePageStore(pdev);
    return 0;
  }
  if (pdev->storeTop > pdev->storeCurrent) CloseStoreRecord(pdev);
  if (pdev->storeView == nullptr) return 0;  // the store could not grow
  WindBackStoreRecord(pdev);
  pdev->flags &= ~kFlagStoreOpen;

  int result;
  if (Dm(pdev, DmField("formMode")) == 2) {
    result = WriteForm(pdev);
  } else if (Dm(pdev, DmField("layoutMode")) == 3) {
    // A booklet keeps its imposition whatever the page order asks: replayed
    // in reverse its halves would come out one to a sheet.
    result = ReplayBooklet(pdev);
  } else if (Dm(pdev, DmField("reverseActive")) != 0) {
    result = ReplayReverse(pdev);
  } else {
    result = ReplayForward(pdev);
  }
  ClosePageStore(pdev);
  return result;
}

int ReplayReverse(PclPdev* pdev) {
  if (!StartReplay(pdev)) return 0;
  const std::vector<StoreRecord> records = ListRecords(pdev);
  if (records.empty()) return 0;
  const std::uint32_t header = HeaderBytes(pdev, records);
  if (!SendHeaderOnce(pdev, header)) return 0;
  for (auto record = records.rbegin(); record != records.rend(); ++record) {
    if (!SendPageRecord(pdev, *record, header)) return 0;
  }
  return FinishReplay(pdev) ? 1 : 0;
}

int ReplayForward(PclPdev* pdev) {
  if (!StartReplay(pdev)) return 0;
  const std::vector<StoreRecord> records = ListRecords(pdev);
  if (records.empty()) return 0;
  const std::uint32_t header = HeaderBytes(pdev, records);
  if (!SendHeaderOnce(pdev, header)) return 0;
  for (const StoreRecord& record : records) {
    if (!SendPageRecord(pdev, record, header)) return 0;
  }
  return FinishReplay(pdev) ? 1 : 0;
}

int ReplayBooklet(PclPdev* pdev) {
  if (!StartReplay(pdev)) return 0;
  ResetOutputBuffer(pdev);
  // One record per page; the first also carries the job header.
  const std::vector<StoreRecord> records = ListRecords(pdev);
  if (records.empty()) return 0;
  const std::size_t pages = records.size();
  const std::size_t padded = (pages + 3) / 4 * 4;
  // Side j of the folded booklet shows pages padded - j and j + 1 (counted
  // from 1); pages beyond the last are left empty.
  for (std::size_t side = 0; side < padded / 2; ++side) {
    if (side < pages) {
      const StoreRecord& front = records[side];
      if (!Send(pdev, pdev->storeView + front.offset, front.length)) return 0;
    }
    const std::size_t backPage = padded - side;
    if (backPage <= pages) {
      const StoreRecord& back = records[backPage - 1];
      if (!Send(pdev, pdev->storeView + back.offset, back.length)) return 0;
    }
    if (!SendFormFeed(pdev)) return 0;
  }
  return FinishReplay(pdev) ? 1 : 0;
}

// ---- stored forms ---------------------------------------------------------------

void FormFilePath(const PclPdev* pdev, WCHAR* path, std::size_t bound) {
  if (bound == 0) return;
  path[0] = 0;
  const std::span<const std::uint8_t> field =
      kvset::FieldBytes(DevmodeBytes(pdev), kvset::DevmodeVariant::Pcl5e, DmField("formFileName"));
  std::size_t length = 0;
  while (length < field.size() && field[length] != 0) ++length;
  std::size_t nameStart = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (field[i] == '\\') nameStart = i + 1;
  }
  if (nameStart == length) return;  // no file name
  std::size_t dirLength = 0;
  while (dirLength < std::size(pdev->systemDir) && pdev->systemDir[dirLength] != 0) ++dirLength;
  const std::size_t total = dirLength + 1 + (length - nameStart);
  if (total + 1 > bound) return;  // does not fit: no path rather than a wrong one
  std::size_t out = 0;
  for (std::size_t i = 0; i < dirLength; ++i) path[out++] = pdev->systemDir[i];
  path[out++] = u'\\';
  for (std::size_t i = nameStart; i < length; ++i) path[out++] = static_cast<WCHAR>(field[i]);
  path[out] = 0;
}

int WriteForm(PclPdev* pdev) {
  WCHAR path[MAX_PATH];
  FormFilePath(pdev, path, MAX_PATH);
  const std::uint32_t end = StoreEnd(pdev);
  if (path[0] == 0 || end <= 4) {
    pdev->flags |= kFlagAborted;
    return 0;
  }
  // Start from an empty file, so that a shorter form keeps no tail of an
  // earlier, longer one.
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    pdev->flags |= kFlagAborted;
    return 0;
  }
  CloseHandle(file);
  const std::uint32_t size = end - 4;
  MappedFile form;
  if (!MapFileForWrite(path, size, &form)) {
    pdev->flags |= kFlagAborted;
    return 0;
  }
  std::memcpy(form.view, pdev->storeView + 4, size);
  UnmapFile(&form);
  return 1;
}

int PlayForm(PclPdev* pdev) {
  WCHAR path[MAX_PATH];
  FormFilePath(pdev, path, MAX_PATH);
  if (path[0] == 0) return 0;
  MappedFile form;
  if (!MapFileForRead(path, &form)) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(form.view), form.size);
  const std::size_t start = bytes.find(kFormDrawingStart);
  int result = 0;
  if (start != std::string_view::npos) {
    result = WriteLong(pdev, form.view + start, static_cast<std::uint32_t>(form.size - start));
    // The form may define soft fonts of its own under our identifiers.
    ForgetDownloadedCharacters(pdev);
  }
  UnmapFile(&form);
  return result;
}

}  // namespace kv5e
