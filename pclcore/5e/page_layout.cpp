#include "pclcore/5e/page_layout.h"

#include <algorithm>
#include <cstdint>

#include "pclcore/5e/devmode_access.h"
#include "settings/model_tables.h"
#include "settings/printer_data.h"

namespace kv5e {
namespace {

using kvset::DmField;

// The geometry record keeps 16-bit values: clamp what does not fit.
std::uint16_t Word(std::int64_t value) {
  return static_cast<std::uint16_t>(std::clamp<std::int64_t>(value, 0, 0xFFFF));
}

int JobDpi(const PclPdev* pdev) { return PublicDevmode(pdev)->dmPrintQuality; }

// A resolution the instance can keep: at least one dot per inch, within its word.
std::uint16_t DpiWord(std::int64_t dpi) {
  return static_cast<std::uint16_t>(std::clamp<std::int64_t>(dpi, 1, 0xFFFF));
}

Geometry FromTable(const kvset::PaperGeometry& g) {
  return {Word(g.physicalWidth), Word(g.physicalHeight), Word(g.printableWidth),
          Word(g.printableHeight), Word(g.leftMargin),   Word(g.topMargin),
          Word(g.mediaSizeCode)};
}

// Physical size at 300 dpi plus margins already in device dots: the printable
// area is what the margins leave.
Geometry WithMargins(std::int64_t width300, std::int64_t height300, int dpi, int left, int top,
                     std::uint16_t media) {
  const int factor = dpi == 600 ? 2 : 1;
  // Keep the size at 600 dpi inside the signed 16-bit words the cell
  // placement works in.
  width300 = std::clamp<std::int64_t>(width300, 0, 0x7FFF / 2);
  height300 = std::clamp<std::int64_t>(height300, 0, 0x7FFF / 2);
  Geometry g;
  g.physicalWidth = Word(width300 * factor);
  g.physicalHeight = Word(height300 * factor);
  g.leftMargin = Word(left);
  g.topMargin = Word(top);
  g.printableWidth = Word(std::int64_t{g.physicalWidth} - 2 * left);
  g.printableHeight = Word(std::int64_t{g.physicalHeight} - 2 * top);
  g.mediaSizeCode = media;
  return g;
}

}  // namespace

bool LookupPaperGeometry(PclPdev* pdev, int paperCode, int orientation) {
  const bool landscape = orientation != 1;
  const int dpi = JobDpi(pdev);
  const int factor = dpi == 600 ? 2 : 1;
  if (paperCode == kvset::kPaperUserSize) {
    // A user size in tenths of a millimetre; the margins of the current
    // geometry stay (none in a new instance).
    const DEVMODEW* dm = PublicDevmode(pdev);
    std::int64_t width = std::int64_t{dm->dmPaperWidth} * 300 / 254;
    std::int64_t height = std::int64_t{dm->dmPaperLength} * 300 / 254;
    if (landscape) std::swap(width, height);
    pdev->geometry = WithMargins(width, height, dpi, pdev->geometry.leftMargin,
                                 pdev->geometry.topMargin, pdev->geometry.mediaSizeCode);
    return true;
  }
  if (paperCode >= kvset::kFirstCustomPaper && paperCode <= kvset::kLastCustomPaper) {
    // The printer's custom papers; an unknown one prints on Letter.
    std::int64_t width = 2550, height = 3300;
    const kvset::CustomPaperList papers = kvset::ReadCustomPapers(pdev->printer);
    const std::span<const std::uint8_t> record = kvset::FindCustomPaper(papers, paperCode);
    if (!record.empty()) {
      width = kvset::CustomPaperWidthDots(record);
      height = kvset::CustomPaperLengthDots(record);
    }
    if (landscape) std::swap(width, height);
    const int left = (landscape ? 60 : 75) * factor;
    const int top = (landscape ? 52 : 75) * factor;
    pdev->geometry = WithMargins(width, height, dpi, left, top, 0);
    return true;
  }
  const std::optional<kvset::PaperGeometry> table = kvset::TablePaperGeometry(paperCode, landscape, dpi);
  if (!table) return false;
  pdev->geometry = FromTable(*table);
  return true;
}

namespace {

// Places `columns` x `rows` pages of the geometry in savedGeometry on the
// sheet whose geometry was just looked up.
void ComputeCells(PclPdev* pdev, int columns, int rows) {
  const int dpi = JobDpi(pdev);
  const Geometry sheet = pdev->geometry;
  const Geometry page = pdev->savedGeometry;
  LayoutCells& cells = pdev->layoutCells;
  int cellWidth = sheet.physicalWidth / columns;
  int cellHeight = sheet.physicalHeight / rows;
  const auto usableWidth = static_cast<std::int16_t>(cellWidth - 2 * sheet.leftMargin);
  const auto usableHeight = static_cast<std::int16_t>(cellHeight - 2 * sheet.topMargin);
  // A page of no size, or a sheet whose margins leave no room, would give a
  // resolution of nothing: keep at least one dot per inch.
  const int pageWidth = std::max<int>(page.physicalWidth, 1);
  const int pageHeight = std::max<int>(page.physicalHeight, 1);
  int e = std::min(dpi * usableWidth / pageWidth, dpi * usableHeight / pageHeight);
  e = DpiWord(e);
  pdev->effectiveDpi = static_cast<std::uint16_t>(e);
  pdev->logicalDpi = e;
  SetDm(pdev, DmField("resolution"), e);

  Geometry scaled;
  scaled.physicalWidth = Word(std::int64_t{page.physicalWidth} * e / dpi);
  scaled.physicalHeight = Word(std::int64_t{page.physicalHeight} * e / dpi);
  scaled.printableWidth = Word(std::int64_t{page.printableWidth} * e / dpi);
  scaled.printableHeight = Word(std::int64_t{page.printableHeight} * e / dpi);
  scaled.leftMargin = Word((scaled.physicalWidth - scaled.printableWidth) / 2);
  scaled.topMargin = Word((scaled.physicalHeight - scaled.printableHeight) / 2);
  scaled.mediaSizeCode = page.mediaSizeCode;

  int baseX, baseY;
  if (columns < 2) {
    baseX = (cellWidth - 2 * sheet.leftMargin - scaled.printableWidth) / 2;
  } else {
    cellWidth = sheet.printableWidth / columns;
    baseX = (cellWidth - scaled.printableWidth) / 2;
  }
  if (rows < 2) {
    baseY = (cellHeight - 2 * sheet.topMargin - scaled.printableHeight) / 2;
  } else {
    cellHeight = sheet.printableHeight / rows;
    baseY = (cellHeight - scaled.printableHeight) / 2;
  }
  cells.cellWidth = static_cast<std::int16_t>(cellWidth);
  cells.cellHeight = static_cast<std::int16_t>(cellHeight);
  cells.baseX = static_cast<std::int16_t>(baseX);
  cells.baseY = static_cast<std::int16_t>(baseY);
  cells.originX = cells.baseX;
  cells.originY = cells.baseY;
  cells.columns = static_cast<std::int16_t>(columns);
  cells.rows = static_cast<std::int16_t>(rows);
  pdev->geometry = scaled;
}

struct NupGrid {
  int pages, columns, rows;
  bool landscapeSheet;  // for portrait pages
};
constexpr NupGrid kNupGrids[] = {
    {2, 2, 1, true}, {4, 2, 2, false}, {6, 3, 2, true},
    {8, 4, 2, true}, {9, 3, 3, false}, {16, 4, 4, false},
};

}  // namespace

void LayoutPage(PclPdev* pdev) {
  const DEVMODEW* dm = PublicDevmode(pdev);
  const int dpi = dm->dmPrintQuality;
  const bool portraitPages = dm->dmOrientation == 1;
  if (Dm(pdev, DmField("zoomMode")) == 2) SetDm(pdev, DmField("fitActive"), 1);
  pdev->effectiveDpi = DpiWord(dpi);

  if (Dm(pdev, DmField("layoutMode")) == 3) {
    // Booklet: two pages side by side on a sheet turned the other way.
    SetDm(pdev, DmField("nupPages"), 2);
    pdev->savedGeometry = pdev->geometry;
    if (!LookupPaperGeometry(pdev, Dm(pdev, DmField("bookletPaperSize")), portraitPages ? 2 : 1)) {
      pdev->flags |= kFlagPaperMissing;
    }
    if (portraitPages) {
      ComputeCells(pdev, 2, 1);
    } else {
      ComputeCells(pdev, 1, 2);
    }
    return;
  }

  const int pagesPerSheet = Dm(pdev, DmField("nupPages"));
  if (pagesPerSheet != 1) {
    const NupGrid* grid = nullptr;
    for (const NupGrid& g : kNupGrids) {
      if (g.pages == pagesPerSheet) grid = &g;
    }
    if (grid == nullptr) {
      // A count without a grid prints one page per sheet.
      SetDm(pdev, DmField("nupPages"), 1);
      pdev->layoutCells.originX = static_cast<std::int16_t>(pdev->geometry.leftMargin);
      pdev->layoutCells.originY = static_cast<std::int16_t>(pdev->geometry.topMargin);
      return;
    }
    int columns = grid->columns, rows = grid->rows;
    bool landscapeSheet = grid->landscapeSheet;
    if (!portraitPages) {
      std::swap(columns, rows);
      landscapeSheet = !landscapeSheet;
    }
    pdev->savedGeometry = pdev->geometry;
    if (!LookupPaperGeometry(pdev, dm->dmPaperSize, landscapeSheet ? 2 : 1)) {
      pdev->flags |= kFlagPaperMissing;
    }
    ComputeCells(pdev, columns, rows);
    return;
  }

  const int fitPaper = Dm(pdev, DmField("fitPaperSize"));
  if (Dm(pdev, DmField("fitActive")) != 0 && fitPaper != dm->dmPaperSize) {
    // Fit to another paper: shrink or grow the page to the new printable
    // area and centre it there.
    const Geometry old = pdev->geometry;
    pdev->savedGeometry = old;
    if (!LookupPaperGeometry(pdev, fitPaper, dm->dmOrientation)) {
      pdev->flags |= kFlagAborted;
      return;
    }
    const Geometry fitted = pdev->geometry;
    const int oldWidth = std::max<int>(old.printableWidth, 1);
    const int oldHeight = std::max<int>(old.printableHeight, 1);
    const int e = DpiWord(std::min(dpi * fitted.printableWidth / oldWidth,
                                   dpi * fitted.printableHeight / oldHeight));
    pdev->effectiveDpi = static_cast<std::uint16_t>(e);
    pdev->logicalDpi = e;
    SetDm(pdev, DmField("resolution"), e);
    if (e == dpi) {
      pdev->geometry = old;
      return;
    }
    auto scale = [&](std::uint16_t v) { return Word(std::int64_t{v} * e / dpi); };
    Geometry scaled = old;
    scaled.physicalWidth = scale(old.physicalWidth);
    scaled.physicalHeight = scale(old.physicalHeight);
    scaled.printableWidth = scale(old.printableWidth);
    scaled.printableHeight = scale(old.printableHeight);
    scaled.leftMargin = scale(old.leftMargin);
    scaled.topMargin = scale(old.topMargin);
    pdev->geometry = scaled;
    pdev->layoutCells.originX =
        static_cast<std::int16_t>((fitted.printableWidth - scaled.printableWidth) / 2);
    pdev->layoutCells.originY =
        static_cast<std::int16_t>((fitted.printableHeight - scaled.printableHeight) / 2);
    return;
  }

  const int percent = Dm(pdev, DmField("scalePercent"));
  if (percent == 100) {
    pdev->savedGeometry = pdev->geometry;
    return;
  }
  pdev->effectiveDpi = DpiWord(percent * dpi / 100);
  Geometry& g = pdev->geometry;
  auto scale = [&](std::uint16_t v) { return Word(std::int64_t{v} * percent / 100); };
  g.physicalWidth = scale(g.physicalWidth);
  g.physicalHeight = scale(g.physicalHeight);
  g.printableWidth = scale(g.printableWidth);
  g.printableHeight = scale(g.printableHeight);
  g.leftMargin = scale(g.leftMargin);
  g.topMargin = scale(g.topMargin);
}

}  // namespace kv5e
