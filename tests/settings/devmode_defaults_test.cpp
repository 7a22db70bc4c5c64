// Defaults of both record variants, the country choice of the paper and the
// exported static default.
#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "settings/devmode_record.h"
#include "settings/model_tables.h"
#include "tests/settings/record_helpers.h"

namespace {

using kvset::DevmodeVariant;
using kvtest::Field;

class DevmodeDefaults : public ::testing::Test {
 protected:
  void SetCountry(const char* code) {
    ASSERT_TRUE(kvplat::SetRootSetting("locale", "country", code));
  }
  kvtest::TempRoot root_;
};

TEST_F(DevmodeDefaults, CountryDecidesBetweenLetterAndA4) {
  struct Case {
    const char* country;
    bool metric;
  };
  const Case cases[] = {{"1", false},  {"2", false},   {"44", true},   {"49", true},
                        {"50", false}, {"59", false},  {"60", true},   {"499", true},
                        {"500", false}, {"599", false}, {"600", true}, {"81", true}};
  for (const Case& c : cases) {
    SetCountry(c.country);
    EXPECT_EQ(kvset::IsMetricCountry(), c.metric) << "country " << c.country;
  }
  SetCountry("44");
  kvtest::Record a4 = kvtest::DefaultRecord(DevmodeVariant::Pcl5e);
  EXPECT_EQ(Field(a4, DevmodeVariant::Pcl5e, "dmPaperSize"), 9);
  EXPECT_EQ(Field(a4, DevmodeVariant::Pcl5e, "fitPaperSize"), 9);
  SetCountry("1");
  kvtest::Record letter = kvtest::DefaultRecord(DevmodeVariant::PclXl);
  EXPECT_EQ(Field(letter, DevmodeVariant::PclXl, "dmPaperSize"), 1);
  EXPECT_EQ(Field(letter, DevmodeVariant::PclXl, "fitPaperSize"), 1);
}

TEST_F(DevmodeDefaults, LocaleBufferFailureMeansLetter) {
  SetCountry("44");
  kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0, 1);
  EXPECT_FALSE(kvset::IsMetricCountry());
  kvplat::fault::ClearAll();
  EXPECT_TRUE(kvset::IsMetricCountry());
}

TEST_F(DevmodeDefaults, BothVariantsCarryTheirDefaults) {
  SetCountry("44");
  struct Case {
    const char* name;
    std::int64_t pcl5e;
    std::int64_t pclxl;
  };
  const Case cases[] = {
      {"dmSpecVersion", 0x0401, 0x0401}, {"dmDriverVersion", 0x0400, 0x0400},
      {"dmSize", 220, 220},              {"dmDriverExtra", 1154, 564},
      {"dmFields", 0x4F03, 0x4F03},      {"dmOrientation", 1, 1},
      {"dmPaperLength", 254, 254},       {"dmPaperWidth", 254, 254},
      {"dmScale", 100, 100},             {"dmCopies", 1, 1},
      {"dmDefaultSource", 7, 7},         {"dmPrintQuality", 600, 600},
      {"dmColor", 1, 1},                 {"dmDuplex", 1, 1},
      {"dmTTOption", 3, 3},              {"dmCollate", 0, 0},
      {"signature", 0x56495250, 0x56495250}, {"modelValueA", -5240, -5240},
      {"modelValueB", 467, 467},         {"modelIndex", 0, 0},
      {"modelValueD", 46, 46},           {"zoomMode", 0, 0},
      {"scalePercent", 100, 100},        {"reverseOrder", 1, 1},
      {"outputBin", 0, 0},               {"paperWidthEntry", 1062, 1062},
      {"paperLengthEntry", 1653, 1653},  {"nupEnabled", 0, 0},
      {"nupPages", 1, 1},                {"modelValueF", 90, 90},
      {"modelValueG", 55, 55},           {"watermarkEnabled", 0, 0},
      {"graphicsMode", 1, 1},            {"trueTypeMode", 2, 2},
      {"fontSubstitution", 1, 1},        {"spare726", 2, 2},
      {"resolution", 600, 600},          {"spare732", 1, 3},
      {"memoryCode", 14875, 14875},      {"memoryMB", 16, 16},
      {"installedOptions", 0x21, 0x21},  {"spare746", 1, 1},
      {"modelValueH", 32767, 32767},     {"spare764", 1, 1},
      {"sparePercent", 100, 100},        {"watermarkLaunched", 0, 0},
  };
  const kvtest::Record r5e = kvtest::DefaultRecord(DevmodeVariant::Pcl5e);
  const kvtest::Record rxl = kvtest::DefaultRecord(DevmodeVariant::PclXl);
  for (const Case& c : cases) {
    EXPECT_EQ(Field(r5e, DevmodeVariant::Pcl5e, c.name), c.pcl5e) << c.name;
    EXPECT_EQ(Field(rxl, DevmodeVariant::PclXl, c.name), c.pclxl) << c.name;
  }
  // The bytes between the XL record's aligned fields stay zero.
  for (std::size_t pad : {299u, 306u, 307u, 750u, 751u}) EXPECT_EQ(rxl[pad], 0) << pad;
}

TEST_F(DevmodeDefaults, PclTailAndWatermarkSummary) {
  const kvtest::Record r = kvtest::DefaultRecord(DevmodeVariant::Pcl5e);
  const auto v = DevmodeVariant::Pcl5e;
  EXPECT_EQ(Field(r, v, "extraSize"), 1154);
  EXPECT_EQ(Field(r, v, "magic"), 0x4B763563);
  EXPECT_EQ(Field(r, v, "spare790"), 0x5890);
  EXPECT_EQ(Field(r, v, "separatorSource"), 3);
  EXPECT_EQ(Field(r, v, "rangeSource"), 3);
  EXPECT_EQ(Field(r, v, "rangeFirstPage"), 1);
  EXPECT_EQ(Field(r, v, "rangeLastPage"), 1);
  EXPECT_EQ(Field(r, v, "spare866"), 7);
  EXPECT_EQ(Field(r, v, "copiesShadow"), 1);
  EXPECT_EQ(Field(r, v, "orientationShadow"), 1);
  EXPECT_EQ(Field(r, v, "collateShadow"), 0);

  const auto summary = kvset::WatermarkSummaryBytes(std::span<const std::uint8_t>(r), v);
  ASSERT_EQ(summary.size(), 354u);
  EXPECT_EQ(kvset::GetField(summary, v, kvset::WmSummaryField("kind")), 1);
  EXPECT_EQ(kvset::GetNarrowField(summary, v, kvset::WmSummaryField("name")), "None");
  EXPECT_EQ(kvset::GetNarrowField(summary, v, kvset::WmSummaryField("fontFace")), "Arial");
  EXPECT_EQ(kvset::GetField(summary, v, kvset::WmSummaryField("fontSize")), 72);
  EXPECT_EQ(kvset::GetField(summary, v, kvset::WmSummaryField("value346")), 52);
  // Absolute places: font size at 1333, the 52 at 1356.
  EXPECT_EQ(kvset::LoadU32LE(std::span<const std::uint8_t>(r), 1333), 72u);
  EXPECT_EQ(kvset::LoadU32LE(std::span<const std::uint8_t>(r), 1356), 52u);
  const auto wm = kvset::WatermarkBytes(std::span<const std::uint8_t>(r), v);
  EXPECT_TRUE(std::all_of(wm.begin(), wm.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(DevmodeDefaults, DeviceNameIsOptionalAndKeepsItsTerminator) {
  kvtest::Record r(kvset::kRecordSize5e, 0xCC);
  ASSERT_EQ(kvset::BuildDefaultDevmode(DevmodeVariant::Pcl5e, r, nullptr, 0), 1);
  EXPECT_EQ(kvset::GetWideField(r, DevmodeVariant::Pcl5e, kvset::DmField("dmDeviceName")), u"");
  const char16_t* longName = u"A printer name that is longer than thirty-two characters";
  ASSERT_EQ(kvset::BuildDefaultDevmode(DevmodeVariant::Pcl5e, r, longName, 0), 1);
  EXPECT_EQ(kvset::GetWideField(r, DevmodeVariant::Pcl5e, kvset::DmField("dmDeviceName")),
            std::u16string(longName).substr(0, 31));
  kvtest::Record tooShort(kvset::kRecordSizeXl);
  EXPECT_EQ(kvset::BuildDefaultDevmode(DevmodeVariant::Pcl5e, tooShort, nullptr, 0), 0);
}

TEST_F(DevmodeDefaults, ExportedDefaultSettingReadsTheModelNameFromTheOemFile) {
  SetCountry("1");
  ASSERT_EQ(kvset::DevDefaultSetting(), 1);
  auto r = kvset::DevDefaultSettingRecord();
  const auto v = DevmodeVariant::Pcl5e;
  EXPECT_EQ(kvset::GetWideField(r, v, kvset::DmField("dmDeviceName")), u"Kelvaro PCL5e");
  EXPECT_EQ(std::u16string(kvset::ModelName(0)), u"Kelvaro PCL5e");
  EXPECT_EQ(kvset::GetField(r, v, kvset::DmField("dmFields")), 0x303);
  EXPECT_EQ(kvset::GetField(r, v, kvset::DmField("dmPaperSize")), 1);
  const auto wm = kvset::WatermarkBytes(r, v);
  EXPECT_EQ(kvset::GetField(wm, v, kvset::WmField("shading")), 25);
  EXPECT_EQ(kvset::GetField(wm, v, kvset::WmField("workingSize")), 72);
  EXPECT_EQ(kvset::GetField(wm, v, kvset::WmField("angle")), 45);
  EXPECT_EQ(kvset::GetField(wm, v, kvset::WmField("verticalOffset")), 10);
  EXPECT_EQ(kvset::GetField(r, v, kvset::DmField("nupPages")), 0);
  EXPECT_EQ(kvset::GetField(r, v, kvset::DmField("installedOptions")), 0);

  kvtest::TouchWinFile(kvtest::DriverDirectory() + u"\\3\\kvsaoem.inf",
                       "[STRINGS]\r\nPrinter2=Kelvaro ZT-7700 Office Edition Printer\r\n");
  ASSERT_TRUE(WritePrivateProfileStringW(u"intl", u"icountry", u"44", u"win.ini"));
  ASSERT_EQ(kvset::DevDefaultSetting(), 1);
  // At most 31 characters and the terminator fit the 32 read.
  EXPECT_EQ(kvset::GetWideField(r, v, kvset::DmField("dmDeviceName")),
            u"Kelvaro ZT-7700 Office Edition ");
  EXPECT_EQ(kvset::GetField(r, v, kvset::DmField("dmPaperSize")), 9);
  EXPECT_EQ(kvset::GetField(r, v, kvset::DmField("fitPaperSize")), 9);
  // Without the key the U.S. stand-in value gives Letter.
  ASSERT_TRUE(WritePrivateProfileStringW(u"intl", u"icountry", nullptr, u"win.ini"));
  ASSERT_EQ(kvset::DevDefaultSetting(), 1);
  EXPECT_EQ(kvset::GetField(r, v, kvset::DmField("dmPaperSize")), 1);
  kvset::SetModelName(0, kvset::GetModelRow(0).name);
}

}  // namespace
