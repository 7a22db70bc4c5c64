#include "pclcore/5e/job_control.h"

#include <string>

#include "kvplat/kernel.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/page_store.h"
#include "pclcore/5e/soft_fonts.h"
#include "pclcore/5e/watermark_playback.h"
#include "settings/model_tables.h"

namespace kv5e {
namespace {

using kvset::DmField;

constexpr char kUel[] = "\x1B%-12345X";
constexpr char kFormFeed[] = "\x0C";

// PCL page size commands by paper code; other codes below 256 select A4.
struct PageSizeCommand {
  int paper;
  int pcl;
};
constexpr PageSizeCommand kPageSizes[] = {
    {1, 2},   {4, 6},   {5, 3},   {6, 102}, {7, 1},   {8, 27},  {11, 25}, {12, 46},
    {13, 45}, {14, 114}, {20, 81}, {27, 90}, {37, 80}, {43, 71}, {70, 24},
};
constexpr int kPageSizeA4 = 26;

PclPdev* PdevOf(SURFOBJ* surface) {
  return surface != nullptr ? PdevFrom(surface->dhpdev) : nullptr;
}

int FieldOf(const PclPdev* pdev, const kvset::RecordField& field) { return Dm(pdev, field); }

bool Suppressed(const PclPdev* pdev) { return (pdev->flags & kFlagSuppressed) != 0; }

bool SheetComplete(const PclPdev* pdev) { return pdev->pageCount % PagesPerSheet(pdev) == 0; }

// The document name as the job header and trailer carry it: 8-bit, with
// characters beyond Latin-1 left out.
std::string DocNameBytes(const PclPdev* pdev) {
  std::string bytes;
  for (const WCHAR* p = pdev->docName; *p != 0 && p < pdev->docName + 128; ++p) {
    if (*p < 256) bytes += static_cast<char>(*p);
  }
  return bytes;
}

// Which half of a booklet sheet the page about to start takes: odd pages
// (counted from 0) the first cell, unless the booklet is flipped.
int BookletHalf(const PclPdev* pdev) {
  const bool flip = FieldOf(pdev, DmField("bookletFlip")) != 0;
  if (pdev->pageCount % 2 == 1) return flip ? 1 : 2;
  return flip ? 2 : 1;
}

// The sheet is turned against the pages when several of them share it side
// by side (2, 6 or 8 per sheet), as the page layout places them.
bool SheetTurned(int pagesPerSheet) {
  return pagesPerSheet == 2 || pagesPerSheet == 6 || pagesPerSheet == 8;
}

int WatermarkIndex(const PclPdev* pdev) {
  const auto record = DevmodeBytes(pdev);
  return static_cast<int>(kvset::GetField(kvset::WatermarkBytes(record, kvset::DevmodeVariant::Pcl5e),
                                          kvset::DevmodeVariant::Pcl5e, kvset::WmField("index")));
}

// Drawing state that belongs to one page: forgotten whenever pages may be
// replayed on their own.
void ForgetPageState(PclPdev* pdev) {
  pdev->hpglState.iMergeRop = kMergeRopUnset;
  ResetHpglState(pdev->hpglState);
}

}  // namespace

int WriteJobHeader(PclPdev* pdev) {
  const DEVMODEW* dm = PublicDevmode(pdev);
  const int copies = dm->dmCopies;
  const int collate = FieldOf(pdev, DmField("collate"));
  const int rotateSort = FieldOf(pdev, DmField("rotateSort"));
  int ok = WriteText(pdev, kUel);
  ok &= WriteText(pdev, "@PJL JOB NAME=");
  ok &= WriteText(pdev, DocNameBytes(pdev));
  ok &= WriteText(pdev, "@PJL COMMENT Version For Windows NT4.0\n");
  ok &= WriteText(pdev, dm->dmPrintQuality == 300 ? "@PJL SET RESOLUTION=300\n"
                                                  : "@PJL SET RESOLUTION=600\n");
  ok &= WriteText(pdev, FieldOf(pdev, DmField("tonerSave")) == 1 ? "@PJL SET ECONOMODE=ON\n"
                                                                 : "@PJL SET ECONOMODE=OFF\n");
  // The printer collates copies itself unless it stacks them rotated.
  if (collate != 0 && rotateSort != 1) {
    ok &= WriteFormatted(pdev, "@PJL SET QTY=%d\n", copies) > 0;
  } else {
    ok &= WriteText(pdev, "@PJL SET QTY=1\n");
  }
  if (rotateSort == 1) {
    if (collate == 1) {
      ok &= WriteText(pdev, "@PJL SET COPIES=1\n");
    } else {
      ok &= WriteFormatted(pdev, "@PJL SET COPIES=%d\n", copies) > 0;
    }
  }
  ok &= WriteText(pdev, dm->dmOrientation == 1 ? "@PJL SET ORIENTATION=PORTRAIT\n"
                                               : "@PJL SET ORIENTATION=LANDSCAPE\n");

  const bool booklet = FieldOf(pdev, DmField("bookletPaperSize")) != 0;
  const int bindingEdge = FieldOf(pdev, DmField("bindingEdge"));
  int duplex = dm->dmDuplex;
  if (duplex == 2 || duplex == 3) {
    ok &= WriteText(pdev, "@PJL SET DUPLEX=ON\n");
    if (booklet) {
      duplex = 3;
    } else {
      // The binding follows the sheet: long edge when the binding side runs
      // along the sheet's long side.
      const int pages = FieldOf(pdev, DmField("nupPages"));
      int sheet = dm->dmOrientation == 1 ? 1 : 2;
      if (SheetTurned(pages)) sheet = sheet == 1 ? 2 : 1;
      // Binding sides other than upper, left and right bind like the left side.
      const bool upper = bindingEdge == 0;
      const bool longEdge = upper ? sheet == 2 : sheet == 1;
      duplex = longEdge ? 2 : 3;
    }
    ok &= WriteText(pdev, duplex == 2 ? "@PJL SET BINDING=LONGEDGE\n"
                                      : "@PJL SET BINDING=SHORTEDGE\n");
  } else {
    duplex = 1;
    ok &= WriteText(pdev, "@PJL SET DUPLEX=OFF\n");
  }
  SetDm(pdev, DmField("dmDuplex"), duplex);

  if (duplex != 1) {
    if (booklet) {
      ok &= WriteText(pdev, "@PJL SET FRONTGUTTER=0\n");
      ok &= WriteText(pdev, "@PJL SET BACKGUTTER=0\n");
    } else {
      // Gutters in tenths of a millimetre become 600-dpi dots; the front one
      // is negative when the binding is on the side the sheet turns away from.
      const auto front = static_cast<std::int16_t>(FieldOf(pdev, DmField("frontGutter")) * 600 / 254);
      const auto back = static_cast<std::int16_t>(FieldOf(pdev, DmField("backGutter")) * 600 / 254);
      const bool negative = (bindingEdge == 1 && duplex == 3) || (bindingEdge == 2 && duplex == 2);
      ok &= WriteText(pdev, "@PJL SET FRONTGUTTER=");
      if (negative) ok &= WriteText(pdev, "-");
      ok &= WriteFormatted(pdev, "%d\n", front) > 0;
      ok &= WriteFormatted(pdev, "@PJL SET BACKGUTTER=%d\n", back) > 0;
    }
  }

  ok &= WriteText(pdev, "@PJL SET MEDIATYPE=");
  ok &= WriteText(pdev, kvset::MediaTypePjl(FieldOf(pdev, DmField("mediaType"))));
  ok &= WriteText(pdev, "\n");
  ok &= WriteText(pdev, FieldOf(pdev, DmField("outputBin")) == 0
                            ? "@PJL SET OUTBIN=UPPER\n"
                            : "@PJL SET OUTBIN=OPTIONALOUTBIN1\n");
  ok &= WriteText(pdev, rotateSort == 0 ? "@PJL SET ROTATE=OFF\n" : "@PJL SET ROTATE=ON\n");
  ok &= WriteText(pdev, FieldOf(pdev, DmField("jobShift")) == 1 ? "@PJL SET SHIFT=ON\n"
                                                                : "@PJL SET SHIFT=OFF\n");
  ok &= WriteText(pdev, "@PJL ENTER LANGUAGE=PCL\r\n");
  switch (FieldOf(pdev, DmField("jobSecurity"))) {
    case 1: ok &= WriteText(pdev, "@PJL SET JOBSECURITY=PROOF\r\n"); break;
    case 2: ok &= WriteText(pdev, "@PJL SET JOBSECURITY=CONFIDENTIAL\r\n"); break;
    case 3: ok &= WriteText(pdev, "@PJL SET JOBSECURITY=SECURITY\r\n"); break;
    default: break;
  }
  return ok;
}

int WriteJobInit(PclPdev* pdev) {
  const DEVMODEW* dm = PublicDevmode(pdev);
  const bool low = dm->dmPrintQuality == 300;
  const int collate = FieldOf(pdev, DmField("collate"));
  const int rotateSort = FieldOf(pdev, DmField("rotateSort"));
  const int copies = collate != 0 && rotateSort != 1 ? 1 : dm->dmCopies;
  int ok = WriteText(pdev, "\x1B" "E");
  ok &= WriteText(pdev, "\x1B*l1R");
  ok &= WriteText(pdev, low ? "\x1B&u300D" : "\x1B&u600D");
  ok &= WriteFormatted(pdev, "\x1B&l%dX", copies) > 0;
  ok &= WriteText(pdev, low ? "\x1B*t300R" : "\x1B*t600R");
  ok &= EnterHpgl2ForPage(pdev);
  ok &= WriteText(pdev, low ? "WUAC16,4SP1PP1LO21PW0TD1IWSC0,3.3868,0,-3.3868,2RO0IR0,100,0,100CF2"
                            : "WUAC16,4SP1PP1LO21PW0TD1IWSC0,1.6934,0,-1.6934,2RO0IR0,100,0,100CF2");
  return ok;
}

int SelectSource(PclPdev* pdev, int sourceCode) {
  return EnterPclForPage(pdev) & WriteText(pdev, kvset::PaperSourceCommand(sourceCode));
}

int SelectPageSize(PclPdev* pdev, int paperCode) {
  int ok = EnterPclForPage(pdev);
  pdev->topMarginLines = 1;
  if (paperCode >= 256 && paperCode <= 306) {
    // Custom sizes: the page length in lines of the printer's vertical motion
    // index, and for landscape the length offset in decipoints.
    const int dpi = PublicDevmode(pdev)->dmPrintQuality;
    const int height = pdev->geometry.physicalHeight;
    const bool high = dpi == 600;
    if (PublicDevmode(pdev)->dmOrientation == 1) {
      return ok & (WriteFormatted(pdev, "\x1B&l101a4d1e%df", (high ? height / 150 : height / 75) - 2) > 0);
    }
    const int t = high ? height / 2 : height;
    const int z = (t * 12 - 61200) / 10;
    return ok &
           (WriteFormatted(pdev, "\x1B&l101a1e%df%dz", (high ? height / 100 : height / 50) - 2, z) > 0);
  }
  int pcl = kPageSizeA4;
  for (const PageSizeCommand& size : kPageSizes) {
    if (size.paper == paperCode) pcl = size.pcl;
  }
  return ok & (WriteFormatted(pdev, "\x1B&l%da", pcl) > 0);
}

int WriteSheetSetup(PclPdev* pdev) {
  const DEVMODEW* dm = PublicDevmode(pdev);
  int ok = 1;
  if (FieldOf(pdev, DmField("reverseActive")) != 0) {
    pdev->hpglState.bInHpgl2 = 0;
    ok &= WriteText(pdev, "\x1B%0A");
  }
  ok &= SelectSource(pdev, dm->dmDefaultSource);
  const int fitPaper = FieldOf(pdev, DmField("fitPaperSize"));
  const int booklet = FieldOf(pdev, DmField("bookletPaperSize"));
  int paper = dm->dmPaperSize;
  if (FieldOf(pdev, DmField("fitActive")) != 0 && fitPaper != dm->dmPaperSize) {
    paper = fitPaper;
  } else if (FieldOf(pdev, DmField("zoomMode")) == 3 && fitPaper != dm->dmPaperSize) {
    paper = fitPaper;
  } else if (booklet != 0) {
    paper = booklet;
  }
  ok &= SelectPageSize(pdev, paper);
  ok &= EnterPclForPage(pdev);
  // The orientation completes the page size's "&l" group.
  const bool portraitPages = dm->dmOrientation == 1;
  const bool portraitSheet =
      SheetTurned(FieldOf(pdev, DmField("nupPages"))) ? !portraitPages : portraitPages;
  ok &= WriteText(pdev, portraitSheet ? "0O" : "1O");
  ok &= WriteFormatted(pdev, "\x1B&l%dE", pdev->topMarginLines) > 0;
  ok &= WriteText(pdev, "\x1B*r0F");
  ok &= WriteText(pdev, "\x1B*v0T");
  ok &= WriteText(pdev, "\x1B&b1M");
  const bool isBooklet = FieldOf(pdev, DmField("layoutMode")) == 3;
  if (isBooklet) PlaceBookletCell(pdev, BookletHalf(pdev));
  ok &= WritePictureFrame(pdev, isBooklet);
  return ok;
}

int WritePageWindow(PclPdev* pdev) {
  int ok = EnterHpgl2ForPage(pdev);
  ok &= WriteText(pdev, "TR0IP0,0,1016,1016");
  ok &= WriteText(pdev, PublicDevmode(pdev)->dmPrintQuality == 300 ? "SC0,300,0,300" : "SC0,600,0,600");
  return ok;
}

int ApplyRangeSource(PclPdev* pdev, RangeMoment when) {
  const int mode = FieldOf(pdev, DmField("rangeSourceMode"));
  const int source = FieldOf(pdev, DmField("rangeSource"));
  const auto index = static_cast<std::int64_t>(pdev->pageCount);
  switch (mode) {
    case 1:
      if (when == RangeMoment::PageStart && index == 0) return SelectSource(pdev, source);
      return 1;
    case 3:
      if (when == RangeMoment::PageStart && index >= FieldOf(pdev, DmField("rangeFirstPage")) &&
          index <= FieldOf(pdev, DmField("rangeLastPage"))) {
        return SelectSource(pdev, source);
      }
      return 1;
    case 2: {
      // Every page from the other source: the page's form feed waits for the
      // next page (or the end of the document), after the source is chosen.
      if (when == RangeMoment::PageStart) {
        int ok = 1;
        if (pdev->flags & kFlagSeparatorPending) ok &= WriteText(pdev, kFormFeed);
        pdev->flags &= ~kFlagSeparatorPending;
        return ok & SelectSource(pdev, source);
      }
      if (when == RangeMoment::PageEnd) {
        pdev->flags |= kFlagSeparatorPending;
        return 1;
      }
      // The last page's pending form feed; a document without pages ejects nothing.
      if (!(pdev->flags & kFlagSeparatorPending)) return 1;
      pdev->flags &= ~kFlagSeparatorPending;
      return WriteText(pdev, kFormFeed);
    }
    default:
      return 1;
  }
}

int FeedSeparatorSheet(PclPdev* pdev) {
  const auto tray = static_cast<std::uint32_t>(FieldOf(pdev, DmField("separatorSource")));
  return WriteText(pdev, kvset::SeparatorTrayCommand(tray)) & WriteText(pdev, kFormFeed);
}

BOOL DrvStartDoc(SURFOBJ* surface, LPWSTR docName, DWORD /*jobId*/) {
  PclPdev* pdev = PdevOf(surface);
  if (pdev == nullptr) return FALSE;
  pdev->flags &= ~kFlagPageOpen;
  pdev->docDrawState[0] = pdev->docDrawState[1] = 0;
  if (!(pdev->flags & kFlagDocNamed)) {
    // The abort flag is job-wide: a new document on the same device context
    // starts with a clean slate.
    pdev->flags &= ~kFlagAborted;
    pdev->pageCount = 0;
    std::u16string name = u"\"";
    const WCHAR* source = docName != nullptr ? docName : u"Unknow";
    for (int i = 0; i < 64 && source[i] != 0; ++i) name += source[i];
    name += u"\"\r\n";
    CopyWide(pdev->docName, name.c_str(), 128);
    pdev->flags |= kFlagDocNamed;
  }
  if (FieldOf(pdev, DmField("reverseActive")) != 0) pdev->flags &= ~kFlagStoreHeaderReplayed;
  return TRUE;
}

BOOL DrvStartPage(SURFOBJ* surface) {
  PclPdev* pdev = PdevOf(surface);
  if (pdev == nullptr) return FALSE;
  pdev->currentSurfObj = surface;
  if ((pdev->flags & kFlagAborted) || EngCheckAbort(surface)) {
    pdev->flags |= kFlagAborted;
    return FALSE;
  }
  if (pdev->flags & kFlagPageOpen) return TRUE;

  const int formMode = FieldOf(pdev, DmField("formMode"));
  const int layoutMode = FieldOf(pdev, DmField("layoutMode"));
  if (formMode == 2 && pdev->pageCount / PagesPerSheet(pdev) >= 1) {
    // Recording a form keeps the first sheet only.
    if ((pdev->flags & kFlagStoreOpen) && pdev->pageCount != 0) FinishStore(pdev);
    pdev->flags |= kFlagPageOpen | kFlagSuppressed;
    return TRUE;
  }

  if (layoutMode == 3) {
    PlaceBookletCell(pdev, BookletHalf(pdev));
  } else if (PagesPerSheet(pdev) > 1) {
    PlaceNupCell(pdev);
  }

  if (!(pdev->flags & kFlagHeaderSent)) {
    WriteJobHeader(pdev);
    if (!WriteJobInit(pdev)) return FALSE;
    ResetHpglState(pdev->hpglState);
    pdev->headerLength = pdev->outFill;
    pdev->flags |= kFlagHeaderSent;
  } else {
    EnterPclForPage(pdev);
  }

  if (!SheetComplete(pdev) && layoutMode != 3) {
    WritePictureFrame(pdev, false);
  } else {
    WriteSheetSetup(pdev);
  }
  WritePageWindow(pdev);
  EnterPclForPage(pdev);

  pdev->flags |= kFlagPageOpen;
  pdev->pageStartFill = pdev->outFill;
  pdev->pageStartTop = pdev->storeTop;
  ApplyRangeSource(pdev, RangeMoment::PageStart);

  const bool replay = FieldOf(pdev, DmField("reverseActive")) != 0 || layoutMode == 3 || formMode == 2;
  if (replay && !(pdev->flags & kFlagStoreOpen) && !Suppressed(pdev)) {
    if (!OpenPageStore(pdev, kStoreGrowStep)) return FALSE;
    pdev->flags |= kFlagStoreOpen;
    pdev->storeCurrent = 4;
  }
  // Held pages reach the printer in another order: each carries its own fonts.
  if (pdev->flags & kFlagStoreOpen) ForgetDownloadedCharacters(pdev);
  pdev->pageCount += 1;
  return TRUE;
}

BOOL DrvSendPage(SURFOBJ* surface) {
  PclPdev* pdev = PdevOf(surface);
  if (pdev == nullptr || (pdev->flags & kFlagAborted)) return FALSE;
  if (!(pdev->flags & kFlagPageOpen) || !(pdev->flags & kFlagDocNamed)) {
    pdev->flags |= kFlagAborted;
    return FALSE;
  }
  pdev->flags &= ~(kFlagPageOpen | kFlagForcedColour);

  const int formMode = FieldOf(pdev, DmField("formMode"));
  const int layoutMode = FieldOf(pdev, DmField("layoutMode"));
  const int reverse = FieldOf(pdev, DmField("reverseActive"));
  if (!Suppressed(pdev)) {
    if (pdev->outputMode == kOutputPlayback) {
      const auto record = DevmodeBytes(pdev);
      const auto firstOnly = kvset::GetField(kvset::WatermarkBytes(record, kvset::DevmodeVariant::Pcl5e),
                                             kvset::DevmodeVariant::Pcl5e, kvset::WmField("firstPageOnly"));
      if (firstOnly == 0 || pdev->pageCount == 1) PlayCapturedWatermark(pdev);
    }
    LeaveHpgl2(pdev);
    const bool sheetDone = SheetComplete(pdev);
    if (FieldOf(pdev, DmField("rangeSourceMode")) != 2 && sheetDone && formMode != 1 &&
        reverse == 0 && layoutMode != 3) {
      WriteText(pdev, kFormFeed);
    } else if (formMode == 1 && sheetDone) {
      PlayForm(pdev);
    }
    if (!(pdev->flags & kFlagStoreOpen)) {
      if (FieldOf(pdev, DmField("separatorSheet")) != 0) {
        FeedSeparatorSheet(pdev);
      } else {
        ApplyRangeSource(pdev, RangeMoment::PageEnd);
      }
    } else {
      FlushOutput(pdev);
      if (sheetDone || layoutMode == 3) CloseStoreRecord(pdev);
    }
  }
  FlushOutput(pdev);
  if (reverse != 0 || layoutMode == 3 || WatermarkIndex(pdev) != 0 || formMode != 0) {
    ForgetPageState(pdev);
  }
  return TRUE;
}

BOOL DrvEndDoc(SURFOBJ* surface, FLONG /*flags*/) {
  PclPdev* pdev = PdevOf(surface);
  if (pdev == nullptr) return FALSE;
  const int formMode = FieldOf(pdev, DmField("formMode"));
  if (EngCheckAbort(surface) || (pdev->flags & kFlagAborted)) {
    pdev->flags |= kFlagAborted;
  } else {
    LeaveHpgl2(pdev);
    bool empty = pdev->pageCount == 0;
    if (Suppressed(pdev)) {
      pdev->flags &= ~kFlagSuppressed;
      empty = true;
    } else {
      if (formMode == 1 && !SheetComplete(pdev)) PlayForm(pdev);
      if (pdev->flags & kFlagStoreOpen) {
        const bool replayed = FinishStore(pdev) != 0;
        empty = empty && !replayed;
      } else {
        ApplyRangeSource(pdev, RangeMoment::DocumentEnd);
      }
    }
    if (formMode != 2 && !empty) {
      WriteText(pdev, kUel);
      WriteText(pdev, "@PJL EOJ NAME=");
      WriteText(pdev, DocNameBytes(pdev));
      WriteText(pdev, kUel);
    }
  }
  // A job that ended early may still hold its page store: let it go.
  if (pdev->storeFile != nullptr) ClosePageStore(pdev);
  ForgetPageState(pdev);
  FreeSoftFonts(pdev);
  // The next job's reset puts the printer back on the horizontal text path.
  pdev->hpglState.text.verticalPathUsed = 0;
  pdev->hpglState.text.verticalPath = 0;
  pdev->docDrawState[0] = pdev->docDrawState[1] = 0;
  pdev->flags &= ~(kFlagDocNamed | kFlagHeaderSent);
  EnterPclForPage(pdev);
  if (pdev->outputMode == kOutputPlayback) {
    DeleteFileW(pdev->capturePath);
    pdev->outputMode = kOutputNormal;
  }
  FlushOutput(pdev);
  return TRUE;
}

}  // namespace kv5e
