// Paper geometry and page layout of a device instance: the numbers that decide
// the drawing surface and the resolution the engine is told.
#include "pclcore/5e/page_layout.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pclcore/5e/devmode_access.h"
#include "settings/devmode_record.h"
#include "settings/driver_devmode.h"

namespace {

using kv5e::Geometry;
using kv5e::PclPdev;
using kvset::DmField;

// An instance whose record holds the library's defaults plus `options`.
std::unique_ptr<PclPdev> Instance(std::initializer_list<std::pair<std::string, int>> options) {
  auto pdev = std::make_unique<PclPdev>();
  std::vector<BYTE> record(kvset::kRecordSize5e);
  kvset::BuildDefaultDevmode(kvset::DevmodeVariant::Pcl5e, record, u"Test", 0);
  std::copy(record.begin(), record.end(), pdev->devmode);
  kvset::DriverDefaultDevmode(kv5e::DevmodeBytes(pdev.get()));
  for (const auto& [name, value] : options) {
    const kvset::RecordField* field = kvset::FindDevmodeField(name);
    EXPECT_NE(field, nullptr) << name;
    if (field) kvset::SetField(kv5e::DevmodeBytes(pdev.get()), kvset::DevmodeVariant::Pcl5e, *field, value);
  }
  return pdev;
}

void ExpectGeometry(const Geometry& g, std::vector<int> expected) {
  const std::vector<int> actual = {g.physicalWidth, g.physicalHeight, g.printableWidth,
                                   g.printableHeight, g.leftMargin,   g.topMargin,
                                   g.mediaSizeCode};
  EXPECT_EQ(actual, expected);
}

TEST(PaperGeometry, TableUserAndMissingPapers) {
  auto pdev = Instance({{"dmPrintQuality", 600}});
  // A4 landscape at 600 dpi.
  ASSERT_TRUE(kv5e::LookupPaperGeometry(pdev.get(), 9, 2));
  ExpectGeometry(pdev->geometry, {7014, 4960, 6774, 4752, 120, 104, 2});
  // A code the table lacks leaves the geometry as it was.
  EXPECT_FALSE(kv5e::LookupPaperGeometry(pdev.get(), 69, 1));
  ExpectGeometry(pdev->geometry, {7014, 4960, 6774, 4752, 120, 104, 2});

  // A user size of 210 x 297 mm at 300 dpi, margins of a new instance.
  auto user = Instance({{"dmPrintQuality", 300}, {"dmPaperWidth", 2100}, {"dmPaperLength", 2970}});
  ASSERT_TRUE(kv5e::LookupPaperGeometry(user.get(), 256, 1));
  ExpectGeometry(user->geometry, {2480, 3507, 2480, 3507, 0, 0, 0});
  ASSERT_TRUE(kv5e::LookupPaperGeometry(user.get(), 256, 2));
  EXPECT_EQ(user->geometry.physicalWidth, 3507);

  // A custom paper the printer does not know prints on Letter with its margins.
  auto custom = Instance({{"dmPrintQuality", 600}});
  ASSERT_TRUE(kv5e::LookupPaperGeometry(custom.get(), 260, 1));
  ExpectGeometry(custom->geometry, {5100, 6600, 4800, 6300, 150, 150, 0});
}

TEST(PaperGeometry, HugeUserSizesStayInsideTheRecord) {
  auto pdev = Instance({{"dmPrintQuality", 600}, {"dmPaperWidth", 32000}, {"dmPaperLength", 32000}});
  ASSERT_TRUE(kv5e::LookupPaperGeometry(pdev.get(), 256, 1));
  EXPECT_LE(pdev->geometry.physicalWidth, 0x7FFF);
  EXPECT_GT(pdev->geometry.physicalWidth, 30000);
  EXPECT_EQ(pdev->geometry.printableWidth, pdev->geometry.physicalWidth);
}

struct LayoutCase {
  const char* name;
  std::vector<std::pair<std::string, int>> options;
  int paper, orientation;
  int effectiveDpi;
  std::vector<int> geometry;           // the page's geometry after the layout
  int originX, originY;                // the first cell's origin
};

TEST(PageLayout, Cases) {
  const LayoutCase cases[] = {
      // Four A4 pages on an A4 sheet: cells of 2480 x 3507 with the sheet's
      // margins give 263 dots per inch.
      {"4-up", {{"nupPages", 4}}, 9, 1, 263, {2174, 3074, 2042, 2986, 66, 44, 2}, 144, 210},
      // Two portrait pages side by side on a landscape sheet.
      {"2-up", {{"nupPages", 2}}, 9, 1, 395, {3265, 4617, 3067, 4485, 99, 66, 2}, 160, 133},
      // A booklet takes the same two cells on its turned sheet.
      {"booklet", {{"bookletPaperSize", 9}, {"layoutMode", 3}}, 9, 1, 395,
       {3265, 4617, 3067, 4485, 99, 66, 2}, 160, 133},
      // A count with no grid prints one page per sheet at the margins.
      {"3-up", {{"nupPages", 3}}, 9, 1, 600, {4960, 7014, 4660, 6814, 150, 100, 2}, 150, 100},
      // Fit A4 to Legal: grown to 618 dots per inch and centred.
      {"fit", {{"zoomMode", 2}, {"fitPaperSize", 5}}, 9, 1, 618,
       {5108, 7224, 4799, 7018, 154, 103, 2}, 0, 591},
      // Fitting to the same paper changes nothing.
      {"fit same", {{"zoomMode", 2}, {"fitPaperSize", 9}}, 9, 1, 600,
       {4960, 7014, 4660, 6814, 150, 100, 2}, 0, 0},
      // Half size: drawn at 300 dots per inch on a halved surface.
      {"scale 50", {{"scalePercent", 50}}, 9, 1, 300, {2480, 3507, 2330, 3407, 75, 50, 2}, 0, 0},
      {"scale 100", {}, 9, 1, 600, {4960, 7014, 4660, 6814, 150, 100, 2}, 0, 0},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto pdev = Instance({});
    for (const auto& [name, value] : c.options) {
      kvset::SetField(kv5e::DevmodeBytes(pdev.get()), kvset::DevmodeVariant::Pcl5e,
                      *kvset::FindDevmodeField(name), value);
    }
    kv5e::SetDm(pdev.get(), DmField("dmPaperSize"), c.paper);
    kv5e::SetDm(pdev.get(), DmField("dmOrientation"), c.orientation);
    kv5e::SetDm(pdev.get(), DmField("dmPrintQuality"), 600);
    ASSERT_TRUE(kv5e::LookupPaperGeometry(pdev.get(), c.paper, c.orientation));
    kv5e::LayoutPage(pdev.get());
    EXPECT_EQ(pdev->effectiveDpi, c.effectiveDpi);
    ExpectGeometry(pdev->geometry, c.geometry);
    EXPECT_EQ(pdev->layoutCells.originX, c.originX);
    EXPECT_EQ(pdev->layoutCells.originY, c.originY);
    EXPECT_EQ(pdev->flags & kv5e::kFlagAborted, 0u);
  }
}

TEST(PageLayout, FittingToAnUnknownPaperAbortsTheJob) {
  auto pdev = Instance({{"zoomMode", 2}, {"fitPaperSize", 69}});
  ASSERT_TRUE(kv5e::LookupPaperGeometry(pdev.get(), 9, 1));
  kv5e::LayoutPage(pdev.get());
  EXPECT_NE(pdev->flags & kv5e::kFlagAborted, 0u);
}

TEST(PageLayout, SeveralPagesOnAnUnknownSheetAreFlagged) {
  auto pdev = Instance({{"nupPages", 4}, {"dmPaperSize", 69}});
  ASSERT_TRUE(kv5e::LookupPaperGeometry(pdev.get(), 9, 1));
  kv5e::LayoutPage(pdev.get());
  EXPECT_NE(pdev->flags & kv5e::kFlagPaperMissing, 0u);
  EXPECT_GT(pdev->effectiveDpi, 0);
}

}  // namespace
