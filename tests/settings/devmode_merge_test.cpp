// Validation and merge of incoming records: the interface library's rules (both
// variants) against the PCL 5e graphics library's own.
#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "settings/devmode_record.h"
#include "settings/driver_devmode.h"
#include "tests/settings/record_helpers.h"

namespace {

using kvset::DevmodeVariant;
using kvtest::Field;
using kvtest::Record;
using kvtest::SetFieldByName;

constexpr DevmodeVariant k5e = DevmodeVariant::Pcl5e;
constexpr DevmodeVariant kXl = DevmodeVariant::PclXl;

class Merge : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kvplat::SetRootSetting("locale", "country", "44"));
    target_ = kvtest::DefaultRecord(k5e, u"target");
    incoming_ = kvtest::DefaultRecord(k5e, u"incoming");
  }
  void In(std::string_view name, std::int64_t value) { SetFieldByName(incoming_, k5e, name, value); }
  std::int64_t Out(std::string_view name) const { return Field(target_, k5e, name); }
  int MergeUi() { return kvset::MergeDevmode(k5e, target_, kvtest::AsDevmode(incoming_)); }
  int MergeDriver() { return kvset::DriverMergeDevmode(target_, kvtest::AsDevmode(incoming_)); }

  kvtest::TempRoot root_;
  Record target_;
  Record incoming_;
};

TEST_F(Merge, RecordsOfOtherPublicSizesOrVersionsAreIgnoredByBothMerges) {
  struct Case {
    std::uint16_t specVersion;
    std::uint16_t size;
  };
  const Case cases[] = {{0x0401, 212}, {0x0401, 188}, {0x0400, 220}, {0x0320, 220}};
  for (const Case& c : cases) {
    Record in = incoming_;
    SetFieldByName(in, k5e, "dmCopies", 7);
    SetFieldByName(in, k5e, "dmSpecVersion", c.specVersion);
    SetFieldByName(in, k5e, "dmSize", c.size);
    const Record before = target_;
    EXPECT_EQ(kvset::MergeDevmode(k5e, target_, kvtest::AsDevmode(in)), 1);
    EXPECT_EQ(target_, before);
    EXPECT_EQ(kvset::DriverMergeDevmode(target_, kvtest::AsDevmode(in)), 1);
    EXPECT_EQ(target_, before);
  }
  EXPECT_EQ(kvset::MergeDevmode(k5e, target_, nullptr), 1);
  EXPECT_EQ(kvset::DriverMergeDevmode(target_, nullptr), 1);
}

TEST_F(Merge, WorkingCopyAllocationFailureLeavesTheTargetUnchanged) {
  In("dmCopies", 5);
  In("nupEnabled", 1);
  In("nupPages", 4);
  const Record before = target_;
  kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0, 1);
  EXPECT_EQ(MergeUi(), 0);
  EXPECT_EQ(target_, before);
  kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0, 1);
  EXPECT_EQ(MergeDriver(), 0);
  EXPECT_EQ(target_, before);
  kvplat::fault::ClearAll();
  EXPECT_EQ(MergeUi(), 1);
  EXPECT_EQ(Out("dmCopies"), 5);
  EXPECT_EQ(Out("nupPages"), 4);
}

// The same public value through the interface library and the graphics library.
TEST_F(Merge, PublicValueChecksDifferBetweenTheLibraries) {
  struct Case {
    const char* name;
    std::int64_t in;
    std::int64_t ui;
    std::int64_t driver;
  };
  const Case cases[] = {
      {"dmCopies", 150, 1, 150},          {"dmCopies", 1200, 1, 999},
      {"dmCopies", 0, 1, 1},              {"dmCopies", 99, 99, 99},
      {"dmScale", 500, 500, 100},         {"dmScale", 1001, 100, 100},
      {"dmScale", 20, 20, 100},           {"dmPrintQuality", 1200, 600, 1200},
      {"dmPrintQuality", 300, 300, 300},  {"dmOrientation", 2, 2, 2},
      {"dmOrientation", 3, 1, 1},         {"dmDefaultSource", 14, 14, 14},
      {"dmDefaultSource", 3, 7, 3},       {"dmColor", 2, 1, 2},
      {"dmDuplex", 3, 3, 3},              {"dmDuplex", 4, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + std::to_string(c.in));
    SetUp();
    In(c.name, c.in);
    In("dmFields", DM_COPIES | DM_SCALE | DM_PRINTQUALITY | DM_ORIENTATION | DM_DEFAULTSOURCE |
                       DM_COLOR | DM_PAPERSIZE);
    Record start = target_;
    ASSERT_EQ(MergeUi(), 1);
    EXPECT_EQ(Out(c.name), c.ui);
    target_ = start;
    ASSERT_EQ(MergeDriver(), 1);
    EXPECT_EQ(Out(c.name), c.driver);
  }
}

TEST_F(Merge, DriverKeepsTheResolutionWithThePrintQuality) {
  In("dmFields", DM_PRINTQUALITY);
  In("dmPrintQuality", 1200);
  In("resolution", 300);
  ASSERT_EQ(MergeDriver(), 1);
  EXPECT_EQ(Out("dmPrintQuality"), 1200);
  EXPECT_EQ(Out("resolution"), 1200);
  In("dmPrintQuality", 0);
  ASSERT_EQ(MergeDriver(), 1);
  EXPECT_EQ(Out("dmPrintQuality"), 600);
  EXPECT_EQ(Out("resolution"), 600);
}

TEST_F(Merge, InterfacePrintQualityFallsBackToTheResolutionField) {
  In("dmFields", DM_PRINTQUALITY);
  In("dmPrintQuality", 0);
  In("resolution", 300);
  ASSERT_EQ(MergeUi(), 1);
  EXPECT_EQ(Out("dmPrintQuality"), 300);
  EXPECT_NE(Out("dmFields") & DM_PRINTQUALITY, 0);
  // Without the bit nothing is taken.
  SetUp();
  In("dmFields", 0);
  In("dmPrintQuality", 300);
  ASSERT_EQ(MergeUi(), 1);
  EXPECT_EQ(Out("dmPrintQuality"), 600);
}

struct PaperCase {
  const char* rule;
  std::uint32_t fields;
  std::int64_t size, length, width;
  // expected in the interface library
  std::int64_t outSize, outLength, outWidth;
  std::uint32_t setBits, clearedBits;
};

TEST_F(Merge, PaperRulesApplyInOrder) {
  constexpr std::uint32_t kLen = DM_PAPERLENGTH | DM_PAPERWIDTH;
  const PaperCase cases[] = {
      {"a: custom code with sizes becomes user size", kLen | DM_PAPERSIZE, 300, 2000, 1500, 256,
       2000, 1500, kLen, DM_PAPERSIZE | DM_FORMNAME},
      {"a needs positive sizes, else b", kLen | DM_PAPERSIZE, 300, 0, 1500, 300, 0, 1500,
       DM_PAPERSIZE, kLen | DM_FORMNAME},
      {"b: paper size", DM_PAPERSIZE | DM_FORMNAME, 5, 111, 222, 5, 111, 222, DM_PAPERSIZE,
       kLen | DM_FORMNAME},
      {"c: form name", DM_FORMNAME, 5, 111, 222, 9, 254, 254, DM_FORMNAME, DM_PAPERSIZE | kLen},
      {"d: both lengths with a predefined code", kLen, 11, 2100, 1480, 11, 2100, 1480, kLen,
       DM_PAPERSIZE | DM_FORMNAME},
      {"none: paper kept", DM_PAPERLENGTH, 11, 2100, 1480, 9, 254, 254, DM_PAPERSIZE, 0},
  };
  for (const PaperCase& c : cases) {
    SCOPED_TRACE(c.rule);
    SetUp();
    SetFieldByName(target_, k5e, "dmFields", 0x4F03 | DM_FORMNAME);
    In("dmFields", c.fields);
    In("dmPaperSize", c.size);
    In("dmPaperLength", c.length);
    In("dmPaperWidth", c.width);
    kvset::SetWideField(incoming_, k5e, kvset::DmField("dmFormName"), u"Half Letter");
    ASSERT_EQ(MergeUi(), 1);
    EXPECT_EQ(Out("dmPaperSize"), c.outSize);
    EXPECT_EQ(Out("dmPaperLength"), c.outLength);
    EXPECT_EQ(Out("dmPaperWidth"), c.outWidth);
    const auto fields = static_cast<std::uint32_t>(Out("dmFields"));
    EXPECT_EQ(fields & c.setBits, c.setBits);
    EXPECT_EQ(fields & c.clearedBits, 0u);
    const std::u16string form = kvset::GetWideField(target_, k5e, kvset::DmField("dmFormName"));
    EXPECT_EQ(form == u"Half Letter", (c.setBits & DM_FORMNAME) != 0);
  }
}

TEST_F(Merge, DriverTakesPaperLengthsOnlyForSizedCodes) {
  In("dmFields", DM_PAPERSIZE);
  In("dmPaperSize", 5);
  In("dmPaperLength", 111);
  In("dmPaperWidth", 222);
  ASSERT_EQ(MergeDriver(), 1);
  EXPECT_EQ(Out("dmPaperSize"), 5);
  EXPECT_EQ(Out("dmPaperLength"), 254);
  EXPECT_EQ(Out("dmPaperWidth"), 254);
  In("dmPaperSize", 260);
  ASSERT_EQ(MergeDriver(), 1);
  EXPECT_EQ(Out("dmPaperSize"), 260);
  EXPECT_EQ(Out("dmPaperLength"), 111);
  In("dmFields", DM_PAPERLENGTH | DM_PAPERWIDTH);
  In("dmPaperSize", 300);
  ASSERT_EQ(MergeDriver(), 1);
  EXPECT_EQ(Out("dmPaperSize"), 256);
}

TEST_F(Merge, InterfaceClearsDuplexAndCollateBitsAndForcesMonochrome) {
  SetFieldByName(target_, k5e, "dmFields", 0x4F03 | DM_DUPLEX | DM_COLLATE);
  In("dmFields", DM_DUPLEX | DM_COLLATE | DM_COLOR);
  In("dmDuplex", 2);
  In("dmCollate", 1);
  In("dmColor", 2);
  ASSERT_EQ(MergeUi(), 1);
  EXPECT_EQ(Out("dmDuplex"), 2);
  EXPECT_EQ(Out("dmCollate"), 0);
  EXPECT_EQ(Out("dmColor"), 1);
  EXPECT_EQ(Out("dmFields") & (DM_DUPLEX | DM_COLLATE), 0);
  EXPECT_NE(Out("dmFields") & DM_DEFAULTSOURCE, 0);
}

TEST_F(Merge, DriverCollateAndDuplexBits) {
  SetFieldByName(target_, k5e, "dmFields", 0);
  In("dmFields", DM_COLLATE);
  In("dmCollate", 3);
  In("dmDuplex", 7);
  ASSERT_EQ(MergeDriver(), 1);
  EXPECT_EQ(Out("dmCollate"), 0);
  EXPECT_EQ(Out("dmDuplex"), 1);
  EXPECT_EQ(Out("dmFields"), 0);
  In("dmCollate", 1);
  In("dmDuplex", 3);
  ASSERT_EQ(MergeDriver(), 1);
  EXPECT_EQ(Out("dmCollate"), 1);
  EXPECT_EQ(Out("dmFields"), DM_COLLATE | DM_DUPLEX);
}

TEST_F(Merge, PrivateFieldChecks) {
  struct Case {
    const char* name;
    std::int64_t in;
    std::int64_t out;
  };
  const Case cases[] = {
      {"zoomMode", 3, 3},          {"zoomMode", 4, 0},         {"scalePercent", 400, 400},
      {"scalePercent", 24, 100},   {"mediaType", 4, 4},        {"mediaType", 5, 0},
      {"jobShift", 2, 0},          {"outputBin", 8, 8},        {"outputBin", 9, 1},
      {"collate", 2, 1},           {"graphicsMode", 3, 1},     {"fontSubstitution", 2, 1},
      {"spare726", 4, 2},          {"resolution", 1200, 600},  {"resolution", 300, 300},
      {"spare730", 2, 0},          {"spare732", 7, 3},         {"spare718", 2, 0},
      {"memoryMB", 144, 144},      {"memoryMB", 145, 16},      {"sparePercent", 101, 100},
      {"spare762", 5, 0},          {"fitPaperSize", 70, 70},   {"bindingEdge", 2, 2},
      {"installedOptions", 0xE1, 0xE1}, {"tonerSave", 1, 1},   {"modelValueA", 12, 12},
      {"separatorSheet", 1, 1},    {"rangeSourceMode", 3, 3},  {"formMode", 2, 2},
      // never taken from input
      {"modelIndex", 5, 0},        {"modelValueD", 1, 46},     {"spare764", 0, 1},
      {"jobSecurity", 3, 0},       {"rasterCompression", 2, 0}, {"spare1364", 1, 0},
      {"spare746", 0, 1},          {"signature", 1, 0x56495250},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + std::to_string(c.in));
    SetUp();
    In(c.name, c.in);
    ASSERT_EQ(MergeUi(), 1);
    EXPECT_EQ(Out(c.name), c.out);
  }
}

TEST_F(Merge, DerivedFieldsFollowTheMergedValues) {
  In("dmFields", DM_COPIES | DM_ORIENTATION);
  In("dmCopies", 12);
  In("dmOrientation", 2);
  In("memoryMB", 32);
  In("mediaType", 3);
  In("collate", 1);
  In("nupEnabled", 1);
  In("nupPages", 2);
  In("nupSeparator", 1);
  In("extraSize", 99);
  ASSERT_EQ(MergeUi(), 1);
  EXPECT_EQ(Out("memoryCode"), 32 * 945 - 245);
  EXPECT_EQ(Out("copiesShadow"), 12);
  EXPECT_EQ(Out("orientationShadow"), 2);
  EXPECT_EQ(Out("mediaTypeShadow"), 3);
  EXPECT_EQ(Out("collateShadow"), 1);
  EXPECT_EQ(Out("separatorActive"), 1);
  EXPECT_EQ(Out("extraSize"), 1154);
}

TEST_F(Merge, NupAndBookletRules) {
  struct Case {
    const char* what;
    std::int64_t enabled, pages, booklet, separator, columnFirst;
    std::int64_t outEnabled, outPages, outSeparator, outColumnFirst;
  };
  const Case cases[] = {
      {"three pages per sheet become one", 1, 3, 0, 0, 0, 1, 1, 0, 0},
      {"eight pages per sheet", 1, 8, 0, 1, 1, 1, 8, 1, 1},
      {"flags outside 0..1 become 0", 1, 4, 0, 2, 2, 1, 4, 0, 0},
      {"off: pages and flags keep the target's", 0, 4, 0, 1, 1, 0, 1, 0, 0},
      {"off with booklet: the separator is taken", 0, 4, 9, 1, 1, 0, 1, 1, 0},
      {"enabled outside 0..1 is off", 2, 4, 0, 1, 1, 0, 1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    In("nupEnabled", c.enabled);
    In("nupPages", c.pages);
    In("bookletPaperSize", c.booklet);
    In("nupSeparator", c.separator);
    In("nupColumnFirst", c.columnFirst);
    ASSERT_EQ(MergeUi(), 1);
    EXPECT_EQ(Out("nupEnabled"), c.outEnabled);
    EXPECT_EQ(Out("nupPages"), c.outPages);
    EXPECT_EQ(Out("bookletPaperSize"), c.booklet);
    EXPECT_EQ(Out("nupSeparator"), c.outSeparator);
    EXPECT_EQ(Out("nupColumnFirst"), c.outColumnFirst);
  }
}

TEST_F(Merge, TrueTypeModeIsValidatedOnlyOutsideGraphicsMode2) {
  struct Case {
    std::int64_t graphics, trueType, outGraphics, outTrueType;
  };
  const Case cases[] = {{2, 7, 2, 7}, {1, 7, 1, 2}, {0, 1, 0, 1}, {9, 7, 1, 2}, {2, 0, 2, 0}};
  for (const Case& c : cases) {
    SetUp();
    In("graphicsMode", c.graphics);
    In("trueTypeMode", c.trueType);
    ASSERT_EQ(MergeUi(), 1);
    EXPECT_EQ(Out("graphicsMode"), c.outGraphics) << c.graphics << "/" << c.trueType;
    EXPECT_EQ(Out("trueTypeMode"), c.outTrueType) << c.graphics << "/" << c.trueType;
  }
}

TEST_F(Merge, WatermarkIsTakenOnlyWhenEnabled) {
  auto wm = kvset::WatermarkBytes(incoming_, k5e);
  kvset::SetField(wm, k5e, kvset::WmField("index"), 3);
  kvset::SetWideField(wm, k5e, kvset::WmField("text"), u"DRAFT");
  auto summary = kvset::WatermarkSummaryBytes(incoming_, k5e);
  kvset::SetNarrowField(summary, k5e, kvset::WmSummaryField("name"), "DRAFT");
  In("watermarkEnabled", 0);
  ASSERT_EQ(MergeUi(), 1);
  EXPECT_EQ(kvset::GetField(kvset::WatermarkBytes(target_, k5e), k5e, kvset::WmField("index")), 0);
  // The summary is copied whole either way.
  EXPECT_EQ(kvset::GetNarrowField(kvset::WatermarkSummaryBytes(target_, k5e), k5e,
                                  kvset::WmSummaryField("name")),
            "DRAFT");
  In("watermarkEnabled", 1);
  ASSERT_EQ(MergeUi(), 1);
  EXPECT_EQ(Out("watermarkEnabled"), 1);
  EXPECT_EQ(kvset::GetWideField(kvset::WatermarkBytes(target_, k5e), k5e, kvset::WmField("text")),
            u"DRAFT");
  // Once on, an incoming record with the watermark off does not turn it off.
  In("watermarkEnabled", 0);
  ASSERT_EQ(MergeUi(), 1);
  EXPECT_EQ(Out("watermarkEnabled"), 1);
}

TEST_F(Merge, OtherDriverVersionsContributeThePublicPartAndTheAlwaysTakenFields) {
  In("dmDriverVersion", 0x0300);
  In("dmFields", DM_COPIES);
  In("dmCopies", 4);
  In("reverseOrder", 5);
  In("rotateSort", 1);
  In("printerFontOnly", 1);
  In("printerFontIndex", 9);
  In("nupEnabled", 1);
  In("nupPages", 4);
  In("scalePercent", 50);
  ASSERT_EQ(MergeUi(), 1);
  EXPECT_EQ(Out("dmCopies"), 4);
  EXPECT_EQ(Out("reverseOrder"), 0);
  EXPECT_EQ(Out("rotateSort"), 1);
  EXPECT_EQ(Out("printerFontOnly"), 1);
  EXPECT_EQ(Out("printerFontIndex"), 9);
  EXPECT_EQ(Out("nupEnabled"), 0);
  EXPECT_EQ(Out("scalePercent"), 100);
}

TEST_F(Merge, XlRecordGivenToThePcl5eInterfaceMergesOnlyItsPublicPart) {
  Record xl = kvtest::DefaultRecord(kXl, u"xl");
  SetFieldByName(xl, kXl, "dmFields", DM_COPIES);
  SetFieldByName(xl, kXl, "dmCopies", 3);
  SetFieldByName(xl, kXl, "nupEnabled", 1);
  SetFieldByName(xl, kXl, "nupPages", 4);
  SetFieldByName(xl, kXl, "scalePercent", 50);
  SetFieldByName(xl, kXl, "tonerSave", 1);
  SetFieldByName(xl, kXl, "printerFontIndex", 4);
  SetFieldByName(xl, kXl, "reverseOrder", 0);
  const Record before = target_;
  ASSERT_EQ(kvset::MergeDevmode(k5e, target_, kvtest::AsDevmode(xl)), 1);
  EXPECT_EQ(Out("dmCopies"), 3);
  for (const char* name : {"nupEnabled", "nupPages", "scalePercent", "tonerSave", "magic",
                           "memoryCode", "spare790", "resolution"}) {
    EXPECT_EQ(Out(name), Field(before, k5e, name)) << name;
  }
  // The always-taken fields are read where the XL layout keeps them.
  EXPECT_EQ(Out("reverseOrder"), 0);
  EXPECT_EQ(Out("printerFontOnly"), 0);
  EXPECT_EQ(Out("printerFontIndex"), 4);
}

TEST(MergeXl, XlInterfaceMergeUsesXlOffsetsAndTakesSpare746) {
  kvtest::TempRoot root;
  Record target = kvtest::DefaultRecord(kXl);
  Record in = kvtest::DefaultRecord(kXl);
  SetFieldByName(in, kXl, "tonerSave", 1);
  SetFieldByName(in, kXl, "memoryMB", 64);
  SetFieldByName(in, kXl, "spare746", 0);
  SetFieldByName(in, kXl, "spare732", 6);
  SetFieldByName(in, kXl, "installedOptions", 0x1E1);
  SetFieldByName(in, kXl, "watermarkEnabled", 1);
  kvset::SetField(kvset::WatermarkBytes(in, kXl), kXl, kvset::WmField("bold"), 1);
  ASSERT_EQ(kvset::MergeDevmode(kXl, target, kvtest::AsDevmode(in)), 1);
  EXPECT_EQ(Field(target, kXl, "tonerSave"), 1);
  EXPECT_EQ(Field(target, kXl, "memoryMB"), 64);
  // The stored word keeps the low 16 bits of the derived value.
  EXPECT_EQ(Field(target, kXl, "memoryCode"), static_cast<std::int16_t>(64 * 945 - 245));
  EXPECT_EQ(Field(target, kXl, "spare746"), 0);
  EXPECT_EQ(Field(target, kXl, "spare732"), 6);
  EXPECT_EQ(Field(target, kXl, "installedOptions"), 0x1E1);
  EXPECT_EQ(kvset::GetField(kvset::WatermarkBytes(target, kXl), kXl, kvset::WmField("bold")), 1);
  SetFieldByName(in, kXl, "spare746", 3);
  ASSERT_EQ(kvset::MergeDevmode(kXl, target, kvtest::AsDevmode(in)), 1);
  EXPECT_EQ(Field(target, kXl, "spare746"), 1);
}

TEST_F(Merge, DriverReplacesThePrivateBlockWhole) {
  In("jobSecurity", 2);
  In("rasterCompression", 3);
  In("scalePercent", 1000);  // not checked here: the layout validates it
  kvset::SetWideField(incoming_, k5e, kvset::DmField("dmDeviceName"), u"from the caller");
  ASSERT_EQ(MergeDriver(), 1);
  EXPECT_EQ(Out("jobSecurity"), 2);
  EXPECT_EQ(Out("rasterCompression"), 3);
  EXPECT_EQ(Out("scalePercent"), 1000);
  EXPECT_EQ(kvset::GetWideField(target_, k5e, kvset::DmField("dmDeviceName")), u"from the caller");
}

TEST_F(Merge, DriverDefaultsKeepThePrivateValues) {
  SetFieldByName(target_, k5e, "resolution", 300);
  SetFieldByName(target_, k5e, "scalePercent", 401);
  SetFieldByName(target_, k5e, "copiesShadow", 0);
  SetFieldByName(target_, k5e, "nupPages", 4);
  ASSERT_EQ(kvset::DriverDefaultDevmode(target_), 1);
  EXPECT_EQ(Out("dmFields"), 0x10713);
  EXPECT_EQ(Out("dmPrintQuality"), 300);
  EXPECT_EQ(Out("scalePercent"), 100);
  EXPECT_EQ(Out("dmScale"), 100);
  EXPECT_EQ(Out("copiesShadow"), 1);
  EXPECT_EQ(Out("dmCopies"), 1);
  EXPECT_EQ(Out("dmTTOption"), 1);
  EXPECT_EQ(Out("dmPaperSize"), 9);
  EXPECT_EQ(Out("nupPages"), 4);
  EXPECT_EQ(kvset::GetWideField(target_, k5e, kvset::DmField("dmFormName")), u"Letter");
  SetFieldByName(target_, k5e, "resolution", 0);
  SetFieldByName(target_, k5e, "scalePercent", 50);
  SetFieldByName(target_, k5e, "copiesShadow", 7);
  ASSERT_EQ(kvset::DriverDefaultDevmode(target_), 1);
  EXPECT_EQ(Out("dmPrintQuality"), 600);
  EXPECT_EQ(Out("dmScale"), 50);
  EXPECT_EQ(Out("dmCopies"), 7);
}

}  // namespace
