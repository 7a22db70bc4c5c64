// The model's paper, source, media and option tables.
#include <gtest/gtest.h>

#include "settings/model_tables.h"

namespace {

TEST(PaperGeometry, A4LandscapeAt600DpiIsDoubledExceptTheMediaCode) {
  const auto g = kvset::TablePaperGeometry(9, true, 600);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(*g, (kvset::PaperGeometry{7014, 4960, 6774, 4752, 120, 104, 2}));
  EXPECT_EQ(*kvset::TablePaperGeometry(9, false, 300),
            (kvset::PaperGeometry{2480, 3507, 2330, 3407, 75, 50, 2}));
}

TEST(PaperGeometry, MissingCodesAndTheUserSizeRow) {
  EXPECT_EQ(kvset::FindPaperGeometryRow(69), nullptr);
  EXPECT_FALSE(kvset::TablePaperGeometry(69, false, 300).has_value());
  const auto* user = kvset::FindPaperGeometryRow(256);
  ASSERT_NE(user, nullptr);
  EXPECT_FALSE(user->hasGeometry);
  EXPECT_FALSE(kvset::TablePaperGeometry(256, false, 300).has_value());
  EXPECT_EQ(kvset::FindPaperGeometryRow(257), nullptr);
}

TEST(PaperGeometry, EveryRowIsConsistent) {
  for (const auto& row : kvset::kPaperGeometry) {
    if (!row.hasGeometry) continue;
    SCOPED_TRACE(row.code);
    // Landscape swaps the physical sizes; the media code is the same in both.
    EXPECT_EQ(row.portrait.physicalWidth, row.landscape.physicalHeight);
    EXPECT_EQ(row.portrait.physicalHeight, row.landscape.physicalWidth);
    EXPECT_EQ(row.portrait.mediaSizeCode, row.landscape.mediaSizeCode);
    EXPECT_EQ(row.portrait.printableWidth, row.portrait.physicalWidth - 2 * row.portrait.leftMargin);
    ASSERT_NE(kvset::FindPaper(row.code), nullptr);
    EXPECT_TRUE(kvset::FindPaper(row.code)->known5e);
  }
}

TEST(Papers, NamesAndSourceBits) {
  ASSERT_NE(kvset::FindPaper(14), nullptr);
  EXPECT_EQ(kvset::FindPaper(14)->name, u"F4 (210 x 330 mm)");
  EXPECT_EQ(kvset::FindPaper(70)->name, u"A6 (105 x148 mm)");
  EXPECT_EQ(kvset::FindPaper(7)->uiSourceBits, 0x3u);
  EXPECT_EQ(kvset::FindPaper(8)->uiSourceBits, 0u);
  const auto& row = kvset::GetModelRow(0);
  EXPECT_EQ(row.papers.size(), 13u);
  EXPECT_EQ(row.papers.back().code, 256u);
  for (const auto& entry : row.papers.first(12)) {
    EXPECT_EQ(kvset::FindPaper(static_cast<int>(entry.code))->uiSourceBits, entry.sourceBits);
  }
  ASSERT_NE(kvset::FindModelPaper(row, 300), nullptr);
  EXPECT_EQ(kvset::FindModelPaper(row, 300)->code, 256u);
  EXPECT_EQ(kvset::FindModelPaper(row, 8), nullptr);
}

TEST(PaperSources, CommandsAndValidation) {
  struct Case {
    int code;
    const char* command;
    bool valid;
  };
  const Case cases[] = {{7, "\x1B&l7H", true},  {4, "\x1B&l2H", true},  {2, "\x1B&l4H", true},
                        {11, "\x1B&l5H", true}, {14, "\x1B&l8H", true}, {1, "\x1B&l1H", true},
                        {9, "\x1B&l0H", true},  {12, "\x1B&l9H", true}, {3, "\x1B&l7H", false},
                        {0, "\x1B&l7H", false}, {15, "\x1B&l7H", false}};
  for (const Case& c : cases) {
    EXPECT_EQ(kvset::PaperSourceCommand(c.code), c.command) << c.code;
    EXPECT_EQ(kvset::IsValidSourceCode(c.code), c.valid) << c.code;
  }
  EXPECT_EQ(kvset::SeparatorTrayCommand(0), "\x1B&l4H");
  EXPECT_EQ(kvset::SeparatorTrayCommand(1), "\x1B&l5H");
  EXPECT_EQ(kvset::SeparatorTrayCommand(2), "\x1B&l8H");
  EXPECT_EQ(kvset::SeparatorTrayCommand(3), "\x1B&l9H");
  EXPECT_TRUE(kvset::SeparatorTrayCommand(4).empty());
}

TEST(PaperSources, ModelSourceLookupFallsBackToTheFirstEntry) {
  const auto& row = kvset::GetModelRow(0);
  EXPECT_EQ(kvset::FindModelSource(row, 11).bit, 0x8);
  EXPECT_EQ(kvset::FindModelSource(row, 14).code, 7);
  EXPECT_EQ(kvset::FindModelSource(row, 99).bit, 0x1);
}

TEST(PaperSources, OfferedOnlyWithTheirOption) {
  EXPECT_TRUE(kvset::SourceOffered(7, 0));
  EXPECT_FALSE(kvset::SourceOffered(4, 0x20));
  EXPECT_TRUE(kvset::SourceOffered(4, 0x21));
  EXPECT_TRUE(kvset::SourceOffered(2, 0x21));
  EXPECT_FALSE(kvset::SourceOffered(11, 0x21));
  EXPECT_TRUE(kvset::SourceOffered(14, 0xA1));
  EXPECT_FALSE(kvset::SourceOffered(9, 0xFFFF));
}

TEST(MediaAndBins, PjlValues) {
  const char* media[] = {"PLAIN", "THICK", "TRANSPARENCY", "SPECIAL", "LETTERHEAD"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(kvset::MediaTypePjl(i), media[i]);
  EXPECT_EQ(kvset::MediaTypePjl(5), "PLAIN");
  EXPECT_EQ(kvset::MediaTypePjl(-1), "PLAIN");
  EXPECT_EQ(kvset::OutputBinPjl(0), "UPPER");
  EXPECT_EQ(kvset::OutputBinPjl(1), "OPTIONALOUTBIN1");
  EXPECT_EQ(kvset::OutputBinPjl(8), "OPTIONALOUTBIN1");
  EXPECT_EQ(kvset::kBindingSides[2].name, u"Right Binding");
}

TEST(ModelRow, IndexPastTheTableGivesRowZero) {
  EXPECT_EQ(&kvset::GetModelRow(7), &kvset::GetModelRow(0));
  EXPECT_EQ(kvset::GetModelRow(0).minExtentWidth, 1063);
  EXPECT_EQ(kvset::GetModelRow(0).maxExtentHeight, 5102);
  EXPECT_EQ(std::u16string(kvset::ModelName(0)), u"Kelvaro ZT-7700");
}

}  // namespace
