// Pages on their sheets and in the page store: cell order, picture frames,
// the replay orders, stored forms, and what a device reset does with an open
// store.
#include "pclcore/5e/page_store.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "pclcore/5e/device_instance.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"
#include "settings/byte_order.h"
#include "settings/devmode_record.h"
#include "support/test_printer.h"
#include "support/test_root.h"

namespace {

using kv5e::PclPdev;
using kvset::DmField;

constexpr char kHeader[] = "<HDR>";
constexpr std::uint32_t kHeaderLength = sizeof(kHeader) - 1;

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteHostFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The bytes a printer would receive for a picture frame.
std::string Frame(int a, int b, int x, int y) {
  return "\x1B*c" + std::to_string(a) + "x" + std::to_string(b) + "Y\x1B*p" + std::to_string(x) +
         "x" + std::to_string(y) + "Y\x1B*c0T";
}

std::string Buffered(const PclPdev* pdev) {
  return std::string(reinterpret_cast<const char*>(pdev->outBuffer), pdev->outFill);
}

class PageStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    printer_ = kvtest::AddFilePortPrinter(u"Store", &portPath_);
    ASSERT_NE(printer_, nullptr);
    pdev_ = NewInstance(u"C:\\Windows\\Temp\\QV5E001X.XXX");
    StartJob();
  }
  void TearDown() override {
    for (PclPdev* pdev : {pdev_.get(), other_.get()}) {
      if (pdev != nullptr && pdev->storeView != nullptr) kv5e::ClosePageStore(pdev);
    }
    if (jobOpen_) EndDocPrinter(printer_);
    if (printer_) ClosePrinter(printer_);
  }

  std::unique_ptr<PclPdev> NewInstance(const char16_t* storePath) {
    auto pdev = std::make_unique<PclPdev>();
    pdev->magicHead = pdev->magicTail = kv5e::kPdevMagic;
    kvset::BuildDefaultDevmode(kvset::DevmodeVariant::Pcl5e, kv5e::DevmodeBytes(pdev.get()),
                               u"Store", 0);
    pdev->printer = printer_;
    kv5e::CopyWide(pdev->storePath, storePath, 142);
    kv5e::CopyWide(pdev->systemDir, u"C:\\Windows\\System32", 128);
    pdev->originalOrientation = 1;
    kv5e::ResetOutputBuffer(pdev.get());
    return pdev;
  }

  void StartJob() {
    DOC_INFO_1W doc{const_cast<LPWSTR>(u"store test"), nullptr, nullptr};
    ASSERT_GT(StartDocPrinterW(printer_, 1, reinterpret_cast<LPBYTE>(&doc)), 0u);
    jobOpen_ = true;
  }
  // Ends the spooler job and returns what the port received.
  std::string Delivered() {
    jobOpen_ = false;
    EXPECT_TRUE(EndDocPrinter(printer_));
    return ReadHostFile(portPath_);
  }

  void Set(PclPdev* pdev, const kvset::RecordField& field, int value) {
    kv5e::SetDm(pdev, field, value);
  }

  // The state after the first page started: the job header waits in the
  // buffer and the store opens behind it.
  void OpenStore(PclPdev* pdev) {
    ASSERT_EQ(kv5e::WriteText(pdev, kHeader), 1);
    pdev->headerLength = kHeaderLength;
    ASSERT_EQ(kv5e::OpenPageStore(pdev, kv5e::kStoreGrowStep), 1);
    pdev->flags |= kv5e::kFlagStoreOpen | kv5e::kFlagHeaderSent;
  }
  // One page drawn into the store; `close` ends its record as a full sheet does.
  void DrawPage(PclPdev* pdev, const std::string& bytes, bool close) {
    ASSERT_EQ(kv5e::WriteText(pdev, bytes), 1);
    pdev->pageCount += 1;
    if (close) {
      ASSERT_EQ(kv5e::FlushOutput(pdev), 1);
      kv5e::CloseStoreRecord(pdev);
    }
  }

  kvtest::TempRoot root_;
  HANDLE printer_ = nullptr;
  std::string portPath_;
  bool jobOpen_ = false;
  std::unique_ptr<PclPdev> pdev_;
  std::unique_ptr<PclPdev> other_;
};

// ---- cells and picture frames ---------------------------------------------------

TEST_F(PageStoreTest, NupCellsFollowTheChosenReadingOrder) {
  struct Case {
    int pages, columns, rows, columnFirst, rightToLeft;
    std::vector<std::pair<int, int>> cells;  // column, row of pages 0, 1, ...
  };
  const Case cases[] = {
      {4, 2, 2, 0, 0, {{0, 0}, {1, 0}, {0, 1}, {1, 1}}},
      {4, 2, 2, 0, 1, {{1, 0}, {0, 0}, {1, 1}, {0, 1}}},
      {4, 2, 2, 1, 0, {{0, 0}, {0, 1}, {1, 0}, {1, 1}}},
      {4, 2, 2, 1, 1, {{1, 0}, {1, 1}, {0, 0}, {0, 1}}},
      {6, 3, 2, 0, 0, {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}}},
      {6, 3, 2, 1, 0, {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}}},
      {6, 3, 2, 1, 1, {{2, 0}, {2, 1}, {1, 0}, {1, 1}, {0, 0}, {0, 1}}},
  };
  for (const Case& c : cases) {
    PclPdev* pdev = pdev_.get();
    Set(pdev, DmField("nupPages"), c.pages);
    Set(pdev, DmField("nupColumnFirst"), c.columnFirst);
    Set(pdev, DmField("nupRightToLeft"), c.rightToLeft);
    pdev->layoutCells = {};
    pdev->layoutCells.columns = static_cast<std::int16_t>(c.columns);
    pdev->layoutCells.rows = static_cast<std::int16_t>(c.rows);
    pdev->layoutCells.cellWidth = 1000;
    pdev->layoutCells.cellHeight = 1500;
    pdev->layoutCells.baseX = 30;
    pdev->layoutCells.baseY = 40;
    // Two sheets: the second repeats the first one's cells.
    for (std::uint32_t page = 0; page < 2 * c.cells.size(); ++page) {
      pdev->pageCount = page;
      kv5e::PlaceNupCell(pdev);
      const auto [column, row] = c.cells[page % c.cells.size()];
      EXPECT_EQ(pdev->layoutCells.originX, column * 1000 + 30)
          << c.pages << "-up cf" << c.columnFirst << " rtl" << c.rightToLeft << " page " << page;
      EXPECT_EQ(pdev->layoutCells.originY, row * 1500 + 40)
          << c.pages << "-up cf" << c.columnFirst << " rtl" << c.rightToLeft << " page " << page;
    }
  }
}

TEST_F(PageStoreTest, NupWithoutAGridFallsBackToOnePagePerSheet) {
  PclPdev* pdev = pdev_.get();
  Set(pdev, DmField("nupPages"), 4);
  Set(pdev, DmField("separatorActive"), 1);
  pdev->layoutCells.columns = 0;
  pdev->layoutCells.rows = 2;
  pdev->pageCount = 3;
  kv5e::PlaceNupCell(pdev);
  EXPECT_EQ(kv5e::Dm(pdev, DmField("nupPages")), 1);
  EXPECT_EQ(kv5e::Dm(pdev, DmField("separatorActive")), 0);

  // Two pages per sheet clear the spare flag on every placement.
  Set(pdev, DmField("nupPages"), 2);
  Set(pdev, DmField("spare854"), 5);
  pdev->layoutCells.columns = 2;
  pdev->layoutCells.rows = 1;
  kv5e::PlaceNupCell(pdev);
  EXPECT_EQ(kv5e::Dm(pdev, DmField("spare854")), 0);
}

TEST_F(PageStoreTest, PictureFrameSizeFollowsResolutionAndBookletRotation) {
  struct Case {
    int dpi, layoutMode, rotation;
    std::uint16_t width, height;
    int a, b;
  };
  // 720 decipoints per inch: x 12 / 5 at 300 dpi, x 6 / 5 at 600 dpi, plus one.
  const Case cases[] = {
      {600, 0, 0, 2401, 3301, 2882, 3962},   {300, 0, 0, 1201, 1651, 2883, 3963},
      {600, 3, 0, 2401, 3301, 2882, 3962},   {600, 3, 90, 2401, 3301, 3962, 2882},
      {300, 3, 270, 1201, 1651, 3963, 2883}, {600, 0, 90, 2401, 3301, 2882, 3962},
  };
  for (const Case& c : cases) {
    PclPdev* pdev = pdev_.get();
    kv5e::ResetOutputBuffer(pdev);
    Set(pdev, DmField("dmPrintQuality"), c.dpi);
    Set(pdev, DmField("layoutMode"), c.layoutMode);
    pdev->pageRotation = static_cast<std::int16_t>(c.rotation);
    pdev->surfaceGeometry.printableWidth = c.width;
    pdev->surfaceGeometry.printableHeight = c.height;
    pdev->layoutCells.originX = 120;
    pdev->layoutCells.originY = 75;
    ASSERT_EQ(kv5e::WritePictureFrame(pdev, false), 1);
    EXPECT_EQ(Buffered(pdev), Frame(c.a, c.b, 120, 75))
        << c.dpi << " dpi, layout " << c.layoutMode << ", rotation " << c.rotation;
  }
}

TEST_F(PageStoreTest, BookletPagesTakeTheirHalfAndTurnWithTheOrientation) {
  struct Case {
    int orientation, originalOrientation, half;
    int rotation, x, y;
  };
  // Cells of 3000 x 2000 from a base of (50, 60); the current origin is (7, 9).
  const Case cases[] = {
      {1, 1, 2, 0, 50, 9},    {1, 1, 1, 0, 3050, 9},  {1, 2, 1, 270, 3050, 9},
      {2, 2, 2, 0, 7, 60},    {2, 2, 1, 0, 7, 2060},  {2, 1, 2, 90, 7, 60},
  };
  for (const Case& c : cases) {
    PclPdev* pdev = pdev_.get();
    kv5e::ResetOutputBuffer(pdev);
    Set(pdev, DmField("dmOrientation"), c.orientation);
    Set(pdev, DmField("layoutMode"), 3);
    pdev->originalOrientation = static_cast<std::int16_t>(c.originalOrientation);
    pdev->surfaceGeometry.printableWidth = 1000;
    pdev->surfaceGeometry.printableHeight = 1500;
    pdev->layoutCells = {};
    pdev->layoutCells.originX = 7;
    pdev->layoutCells.originY = 9;
    pdev->layoutCells.baseX = 50;
    pdev->layoutCells.baseY = 60;
    pdev->layoutCells.cellWidth = 3000;
    pdev->layoutCells.cellHeight = 2000;
    kv5e::PlaceBookletCell(pdev, c.half);
    EXPECT_EQ(pdev->pageRotation, c.rotation);
    ASSERT_EQ(kv5e::WritePictureFrame(pdev, true), 1);
    const bool turned = c.rotation != 0;
    EXPECT_EQ(Buffered(pdev), Frame(turned ? 1801 : 1201, turned ? 1201 : 1801, c.x, c.y))
        << "orientation " << c.orientation << "/" << c.originalOrientation << " half " << c.half;
  }
}

// ---- replay orders ------------------------------------------------------------------

TEST_F(PageStoreTest, ReverseReplaySendsTheHeaderOnceThenTheLastPageFirst) {
  PclPdev* pdev = pdev_.get();
  Set(pdev, DmField("reverseActive"), 1);
  OpenStore(pdev);
  DrawPage(pdev, "page1", true);
  DrawPage(pdev, "page2", true);
  DrawPage(pdev, "page3", true);
  EXPECT_EQ(kv5e::FinishStore(pdev), 1);
  EXPECT_TRUE(pdev->flags & kv5e::kFlagStoreHeaderReplayed);
  EXPECT_FALSE(pdev->flags & kv5e::kFlagStoreOpen);
  EXPECT_EQ(pdev->storeView, nullptr);
  EXPECT_EQ(Delivered(), std::string(kHeader) + "page3\fpage2\fpage1\f");
}

TEST_F(PageStoreTest, ReplaysWithoutFormFeedsOverStoredForms) {
  PclPdev* pdev = pdev_.get();
  Set(pdev, DmField("reverseActive"), 1);
  Set(pdev, DmField("formMode"), 1);
  pdev->flags |= kv5e::kFlagStoreHeaderReplayed;  // an earlier replay sent it
  OpenStore(pdev);
  DrawPage(pdev, "A\f", true);
  DrawPage(pdev, "B\f", true);
  EXPECT_EQ(kv5e::FinishStore(pdev), 1);
  EXPECT_EQ(Delivered(), "B\fA\f");
}

TEST_F(PageStoreTest, ForwardReplayClosesThePartlyFilledSheet) {
  PclPdev* pdev = pdev_.get();
  Set(pdev, DmField("nupPages"), 2);
  OpenStore(pdev);
  DrawPage(pdev, "p1", false);
  DrawPage(pdev, "p2", true);  // the sheet is full
  DrawPage(pdev, "p3", false);
  EXPECT_EQ(kv5e::FinishStore(pdev), 1);
  EXPECT_EQ(Delivered(), std::string(kHeader) + "p1p2\fp3\f");
}

TEST_F(PageStoreTest, ForwardReplayOfFullSheetsAddsNoEmptySheet) {
  PclPdev* pdev = pdev_.get();
  Set(pdev, DmField("nupPages"), 2);
  OpenStore(pdev);
  for (const char* page : {"p1", "p2", "p3", "p4"}) DrawPage(pdev, page, pdev->pageCount % 2 == 1);
  EXPECT_EQ(kv5e::FinishStore(pdev), 1);
  EXPECT_EQ(Delivered(), std::string(kHeader) + "p1p2\fp3p4\f");
}

TEST_F(PageStoreTest, BookletSidesPairFrontAndBackPagesPaddedToFour) {
  struct Case {
    int pages;
    std::string sides;
  };
  const Case cases[] = {
      {1, "B1\f\f"},
      {2, "B1\fB2\f"},
      // Five pages padded to eight: 1 | 8, 2 | 7 and 3 | 6 have an empty half.
      {5, "B1\fB2\fB3\fB4B5\f"},
      {8, "B1B8\fB2B7\fB3B6\fB4B5\f"},
      {6, "B1\fB2\fB3B6\fB4B5\f"},
  };
  bool first = true;
  for (const Case& c : cases) {
    if (!first) StartJob();
    first = false;
    PclPdev* pdev = pdev_.get();
    pdev->pageCount = 0;
    Set(pdev, DmField("layoutMode"), 3);
    Set(pdev, DmField("nupPages"), 2);
    OpenStore(pdev);
    // Every booklet page ends its own record.
    for (int page = 1; page <= c.pages; ++page) DrawPage(pdev, "B" + std::to_string(page), true);
    EXPECT_EQ(kv5e::FinishStore(pdev), 1) << c.pages;
    EXPECT_EQ(Delivered(), kHeader + c.sides) << c.pages << " pages";
  }
}

// ---- store records ----------------------------------------------------------------

TEST_F(PageStoreTest, WindingBackGivesBackOnlyAnEmptyRecord) {
  PclPdev* pdev = pdev_.get();
  OpenStore(pdev);
  DrawPage(pdev, "page1", true);
  const std::uint32_t firstEnd = 4 + kHeaderLength + 5;
  // Layout: length, data, back link, and the next record's length slot.
  EXPECT_EQ(kvset::LoadU32LE(pdev->storeView), kHeaderLength + 5);
  EXPECT_EQ(kvset::LoadU32LE(pdev->storeView + firstEnd), 4u);
  EXPECT_EQ(pdev->storeTop, firstEnd + 8);
  EXPECT_EQ(pdev->storeCurrent, firstEnd + 8);

  // Bytes waiting for the store make the record not empty.
  ASSERT_EQ(kv5e::WriteText(pdev, "x"), 1);
  kv5e::WindBackStoreRecord(pdev);
  EXPECT_EQ(pdev->storeCurrent, firstEnd + 8);
  kv5e::ResetOutputBuffer(pdev);

  kv5e::WindBackStoreRecord(pdev);
  EXPECT_EQ(pdev->storeTop, firstEnd);
  EXPECT_EQ(pdev->storeCurrent, 4u);
  // Record 0 is not empty: nothing more to give back.
  kv5e::WindBackStoreRecord(pdev);
  EXPECT_EQ(pdev->storeTop, firstEnd);
  EXPECT_EQ(pdev->storeCurrent, 4u);

  // A damaged back link keeps the record rather than jump anywhere.
  kv5e::CloseStoreRecord(pdev);
  kvset::StoreU32LE(pdev->storeView + firstEnd, 0x7FFFFFF0u);
  kv5e::WindBackStoreRecord(pdev);
  EXPECT_EQ(pdev->storeTop, firstEnd + 8);
  EXPECT_EQ(pdev->storeCurrent, firstEnd + 8);
}

TEST_F(PageStoreTest, ClosingARecordAtTheEndOfTheMappingGrowsTheStore) {
  PclPdev* pdev = pdev_.get();
  OpenStore(pdev);
  // The first page fills the mapping to its last byte.
  const std::string big(kv5e::kStoreGrowStep - 4 - kHeaderLength, 'a');
  DrawPage(pdev, big, true);
  EXPECT_EQ(pdev->storeCapacity, 2 * kv5e::kStoreGrowStep);
  EXPECT_EQ(pdev->storeTop, kv5e::kStoreGrowStep + 8);
  // Two more records of 200000 bytes each grow it again.
  const std::string second(200000, 'b'), third(200000, 'c');
  DrawPage(pdev, second, true);
  DrawPage(pdev, third, true);
  EXPECT_EQ(pdev->storeCapacity, 3 * kv5e::kStoreGrowStep);
  EXPECT_EQ(kv5e::FinishStore(pdev), 1);
  EXPECT_EQ(Delivered(), kHeader + big + "\f" + second + "\f" + third + "\f");
}

TEST_F(PageStoreTest, DamagedStoreReplaysOnlyItsSoundRecords) {
  enum Damage { HugeLength, WrongBackLink, CurrentOutside, TopBeyondMapping, FirstLength };
  struct Case {
    Damage damage;
    bool reverse;
    std::string expected;
  };
  const Case cases[] = {
      {HugeLength, false, std::string(kHeader) + "one\f"},
      {HugeLength, true, std::string(kHeader) + "one\f"},
      {WrongBackLink, false, std::string(kHeader) + "one\f"},
      {CurrentOutside, false, std::string(kHeader) + "one\ftwo\f"},
      {TopBeyondMapping, true, std::string(kHeader) + "two\fone\f"},
      {FirstLength, true, ""},
  };
  bool first = true;
  for (const Case& c : cases) {
    if (!first) StartJob();
    first = false;
    PclPdev* pdev = pdev_.get();
    pdev->flags &= ~kv5e::kFlagStoreHeaderReplayed;
    OpenStore(pdev);
    DrawPage(pdev, "one", true);
    const std::uint32_t second = pdev->storeCurrent;
    DrawPage(pdev, "two", true);
    DrawPage(pdev, "three", false);
    ASSERT_EQ(kv5e::FlushOutput(pdev), 1);
    BYTE* view = pdev->storeView;
    switch (c.damage) {
      case HugeLength:  // the second record claims more than the store holds
        kvset::StoreU32LE(view + second - 4, 0xFFFFFFF0u);
        break;
      case WrongBackLink:
        kvset::StoreU32LE(view + second + 3, 12345);
        break;
      case CurrentOutside:  // the record being written lies beyond the store
        pdev->storeCurrent = pdev->storeTop + 100;
        break;
      case TopBeyondMapping:  // only what is mapped counts
        pdev->storeTop = pdev->storeCapacity + 64;
        pdev->storeCurrent = pdev->storeCapacity + 64;
        break;
      case FirstLength:
        kvset::StoreU32LE(view, 0x10);
        break;
    }
    Set(pdev, DmField("reverseActive"), c.reverse ? 1 : 0);
    pdev->flags &= ~kv5e::kFlagStoreOpen;
    const int result = c.reverse ? kv5e::ReplayReverse(pdev) : kv5e::ReplayForward(pdev);
    EXPECT_EQ(result, c.expected.empty() ? 0 : 1) << c.damage;
    kv5e::ClosePageStore(pdev);
    EXPECT_EQ(Delivered(), c.expected) << c.damage;
  }
}

TEST_F(PageStoreTest, InsaneRecordBoundsAreNotWrittenThrough) {
  PclPdev* pdev = pdev_.get();
  OpenStore(pdev);
  DrawPage(pdev, "one", true);
  const std::uint32_t top = pdev->storeTop;
  pdev->storeCurrent = 0;  // its length slot would lie before the store
  kv5e::CloseStoreRecord(pdev);
  EXPECT_EQ(pdev->storeTop, top);
  pdev->storeCurrent = top + 4;  // beyond the bytes written
  kv5e::CloseStoreRecord(pdev);
  EXPECT_EQ(pdev->storeTop, top);
}

TEST_F(PageStoreTest, FailingPrinterDuringReplayAbortsTheJob) {
  PclPdev* pdev = pdev_.get();
  Set(pdev, DmField("reverseActive"), 1);
  OpenStore(pdev);
  const std::string page(6000, 'p');
  DrawPage(pdev, page, true);
  DrawPage(pdev, page, true);
  kvplat::fault::FailAfter(kvplat::fault::Point::WritePrinter, 5000);
  EXPECT_EQ(kv5e::FinishStore(pdev), 0);
  EXPECT_TRUE(pdev->flags & kv5e::kFlagAborted);
  EXPECT_EQ(pdev->storeView, nullptr) << "the store is closed all the same";
  kvplat::fault::ClearAll();
  EXPECT_EQ(kv5e::WriteText(pdev, "late"), 0);
}

TEST_F(PageStoreTest, SuppressedOutputSendsNothingAndGivesUpTheStore) {
  PclPdev* pdev = pdev_.get();
  Set(pdev, DmField("reverseActive"), 1);
  OpenStore(pdev);
  DrawPage(pdev, "page1", true);
  pdev->flags |= kv5e::kFlagSuppressed;
  EXPECT_EQ(kv5e::FinishStore(pdev), 0);
  EXPECT_EQ(pdev->storeView, nullptr);
  EXPECT_EQ(Delivered(), "");
}

// ---- stored forms ---------------------------------------------------------------------

TEST_F(PageStoreTest, FormFileLivesInTheSystemFolderUnderItsOwnName) {
  struct Case {
    const char* name;
    std::u16string path;
  };
  const Case cases[] = {
      {"D:\\Forms\\Letterhead.frm", u"C:\\Windows\\System32\\Letterhead.frm"},
      {"invoice.frm", u"C:\\Windows\\System32\\invoice.frm"},
      {"D:\\Forms\\", u""},
      {"", u""},
  };
  for (const Case& c : cases) {
    kvset::SetNarrowField(kv5e::DevmodeBytes(pdev_.get()), kvset::DevmodeVariant::Pcl5e,
                          DmField("formFileName"), c.name);
    WCHAR path[MAX_PATH];
    kv5e::FormFilePath(pdev_.get(), path, MAX_PATH);
    EXPECT_EQ(std::u16string(path), c.path) << c.name;
  }
  // A path that does not fit is not cut into another file's name.
  kvset::SetNarrowField(kv5e::DevmodeBytes(pdev_.get()), kvset::DevmodeVariant::Pcl5e,
                        DmField("formFileName"), "letterhead.frm");
  WCHAR small[16];
  kv5e::FormFilePath(pdev_.get(), small, 16);
  EXPECT_EQ(small[0], 0);
}

TEST_F(PageStoreTest, RecordedFormIsPlayedFromItsDrawing) {
  const std::u16string formPath = u"C:\\Windows\\System32\\form.frm";
  // An older, longer form of the same name must leave no tail.
  WriteHostFile(kvplat::HostPath(formPath), std::string(4000, 'Z'));

  PclPdev* recorder = pdev_.get();
  Set(recorder, DmField("formMode"), 2);
  kvset::SetNarrowField(kv5e::DevmodeBytes(recorder), kvset::DevmodeVariant::Pcl5e,
                        DmField("formFileName"), "C:\\forms\\form.frm");
  OpenStore(recorder);
  const std::string sheet = "\x1B&l26a\x1B*v0T\x1B%0Bform drawing\x1B%0A\f";
  DrawPage(recorder, sheet, true);
  EXPECT_EQ(kv5e::FinishStore(recorder), 1);
  EXPECT_EQ(ReadHostFile(kvplat::HostPath(formPath)), kHeader + sheet);
  EXPECT_EQ(Delivered(), "") << "recording prints nothing";

  StartJob();
  other_ = NewInstance(u"C:\\Windows\\Temp\\QV5E002X.XXX");
  Set(other_.get(), DmField("formMode"), 1);
  kvset::SetNarrowField(kv5e::DevmodeBytes(other_.get()), kvset::DevmodeVariant::Pcl5e,
                        DmField("formFileName"), "form.frm");
  ASSERT_EQ(kv5e::WriteText(other_.get(), "page"), 1);
  EXPECT_EQ(kv5e::PlayForm(other_.get()), 1);
  ASSERT_EQ(kv5e::FlushOutput(other_.get()), 1);
  EXPECT_EQ(Delivered(), "page\x1B*v0T\x1B%0Bform drawing\x1B%0A\f");
}

TEST_F(PageStoreTest, FormWithoutItsDrawingAnchorOrFileAddsNothing) {
  kvset::SetNarrowField(kv5e::DevmodeBytes(pdev_.get()), kvset::DevmodeVariant::Pcl5e,
                        DmField("formFileName"), "plain.frm");
  EXPECT_EQ(kv5e::PlayForm(pdev_.get()), 0) << "no file yet";
  WriteHostFile(kvplat::HostPath(u"C:\\Windows\\System32\\plain.frm"),
                std::string("\x1B*v1T no anchor here \x1B*v0", 25));
  EXPECT_EQ(kv5e::PlayForm(pdev_.get()), 0);
  EXPECT_EQ(pdev_->outFill, 0u);
  EXPECT_FALSE(pdev_->flags & kv5e::kFlagAborted);
}

// ---- device reset -----------------------------------------------------------------------

BOOL Reset(PclPdev* from, PclPdev* to) {
  return kv5e::DrvResetPDEV(reinterpret_cast<DHPDEV>(from), reinterpret_cast<DHPDEV>(to));
}

TEST_F(PageStoreTest, ResetHandsAnOpenReverseStoreToTheNewInstance) {
  PclPdev* from = pdev_.get();
  other_ = NewInstance(u"C:\\Windows\\Temp\\QV5E002X.XXX");
  PclPdev* to = other_.get();
  Set(from, DmField("reverseActive"), 1);
  Set(to, DmField("reverseActive"), 1);
  OpenStore(from);
  DrawPage(from, "page1", true);
  DrawPage(from, "page2", true);
  BYTE* view = from->storeView;
  const std::uint32_t top = from->storeTop;

  ASSERT_TRUE(Reset(from, to));
  EXPECT_EQ(from->storeView, nullptr);
  EXPECT_FALSE(from->flags & kv5e::kFlagStoreOpen);
  EXPECT_EQ(to->storeView, view);
  EXPECT_EQ(to->storeTop, top);
  EXPECT_EQ(to->storeCurrent, top);
  EXPECT_EQ(to->headerLength, kHeaderLength);
  EXPECT_EQ(to->pageCount, 2u);
  EXPECT_TRUE(to->flags & kv5e::kFlagStoreOpen);
  EXPECT_EQ(std::u16string(to->storePath), u"C:\\Windows\\Temp\\QV5E001X.XXX");

  // The job goes on in the new instance and comes out backwards as a whole.
  DrawPage(to, "page3", true);
  EXPECT_EQ(kv5e::FinishStore(to), 1);
  EXPECT_EQ(Delivered(), std::string(kHeader) + "page3\fpage2\fpage1\f");
}

TEST_F(PageStoreTest, ResetClosesAPartlyFilledSheetBeforeHandingOver) {
  PclPdev* from = pdev_.get();
  other_ = NewInstance(u"C:\\Windows\\Temp\\QV5E002X.XXX");
  PclPdev* to = other_.get();
  for (PclPdev* pdev : {from, to}) {
    Set(pdev, DmField("reverseActive"), 2);
    Set(pdev, DmField("nupPages"), 2);
  }
  OpenStore(from);
  DrawPage(from, "p1", false);
  DrawPage(from, "p2", true);
  DrawPage(from, "p3", false);  // the sheet is half full; its bytes are still buffered

  ASSERT_TRUE(Reset(from, to));
  EXPECT_EQ(to->pageCount, 0u) << "the new instance starts a fresh sheet";
  DrawPage(to, "q1", false);
  DrawPage(to, "q2", true);
  EXPECT_EQ(kv5e::FinishStore(to), 1);
  EXPECT_EQ(Delivered(), std::string(kHeader) + "q1q2\fp3\fp1p2\f");
}

TEST_F(PageStoreTest, ResetReplaysTheStoreWhenTheNewInstanceDoesNotReverse) {
  PclPdev* from = pdev_.get();
  other_ = NewInstance(u"C:\\Windows\\Temp\\QV5E002X.XXX");
  PclPdev* to = other_.get();
  Set(from, DmField("reverseActive"), 1);
  OpenStore(from);
  DrawPage(from, "page1", true);
  DrawPage(from, "page2", true);
  ASSERT_TRUE(Reset(from, to));
  EXPECT_EQ(from->storeView, nullptr);
  EXPECT_EQ(to->storeView, nullptr);
  EXPECT_FALSE(to->flags & kv5e::kFlagStoreOpen);
  EXPECT_EQ(Delivered(), std::string(kHeader) + "page2\fpage1\f");
}

TEST_F(PageStoreTest, ResetWritesTheRecordedFormAndSilencesTheNewInstance) {
  PclPdev* from = pdev_.get();
  other_ = NewInstance(u"C:\\Windows\\Temp\\QV5E002X.XXX");
  PclPdev* to = other_.get();
  Set(from, DmField("formMode"), 2);
  kvset::SetNarrowField(kv5e::DevmodeBytes(from), kvset::DevmodeVariant::Pcl5e,
                        DmField("formFileName"), "reset.frm");
  OpenStore(from);
  DrawPage(from, "\x1B*v0Tsheet\f", true);
  ASSERT_TRUE(Reset(from, to));
  EXPECT_TRUE(to->flags & kv5e::kFlagSuppressed);
  EXPECT_EQ(from->storeView, nullptr);
  EXPECT_EQ(ReadHostFile(kvplat::HostPath(u"C:\\Windows\\System32\\reset.frm")),
            std::string(kHeader) + "\x1B*v0Tsheet\f");
  EXPECT_EQ(Delivered(), "");
}

TEST_F(PageStoreTest, ResetSendsTheFormUnderAPartlyFilledSheet) {
  PclPdev* from = pdev_.get();
  other_ = NewInstance(u"C:\\Windows\\Temp\\QV5E002X.XXX");
  PclPdev* to = other_.get();
  WriteHostFile(kvplat::HostPath(u"C:\\Windows\\System32\\over.frm"), "hdr\x1B*v0Tform\f");
  struct Case {
    std::uint32_t pages;
    std::string expected;
  };
  // One page of a 2-up sheet gets the form; a full sheet already had it.
  const Case cases[] = {{1, "cell\x1B*v0Tform\f"}, {2, "cell"}};
  bool first = true;
  for (const Case& c : cases) {
    if (!first) StartJob();
    first = false;
    Set(from, DmField("nupPages"), 2);
    Set(from, DmField("formMode"), 1);
    kvset::SetNarrowField(kv5e::DevmodeBytes(from), kvset::DevmodeVariant::Pcl5e,
                          DmField("formFileName"), "over.frm");
    from->pageCount = c.pages;
    ASSERT_EQ(kv5e::WriteText(from, "cell"), 1);
    ASSERT_TRUE(Reset(from, to));
    EXPECT_EQ(Delivered(), c.expected) << c.pages;
  }
}

}  // namespace
