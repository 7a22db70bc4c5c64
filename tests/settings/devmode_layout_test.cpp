// The stored layout of the device mode record: every field at its fixed
// place in both variants, lookup by name and the tools' text setter.
#include <gtest/gtest.h>

#include "settings/byte_order.h"
#include "settings/devmode_fields.h"
#include "tests/settings/record_helpers.h"

namespace {

using kvset::DevmodeVariant;
using kvset::kNoOffset;

struct StoredField {
  const char* name;
  std::uint16_t offset5e;
  std::uint16_t offsetXl;  // kNoOffset: PCL 5e only
  std::size_t bytes5e;
};

constexpr std::uint16_t X = kNoOffset;

// The private block as it is stored, field by field.
constexpr StoredField kStoredLayout[] = {
    {"signature", 220, 220, 4},        {"modelValueA", 252, 252, 2},
    {"modelValueB", 254, 254, 2},      {"modelIndex", 256, 256, 2},
    {"modelValueC", 258, 258, 2},      {"modelValueD", 260, 260, 2},
    {"zoomMode", 262, 262, 2},         {"scalePercent", 264, 264, 2},
    {"fitPaperSize", 266, 266, 2},     {"reverseOrder", 268, 268, 2},
    {"mediaType", 270, 270, 2},        {"jobShift", 272, 272, 2},
    {"rotateSort", 274, 274, 2},       {"outputBin", 276, 276, 2},
    {"collate", 278, 278, 2},          {"paperWidthEntry", 280, 280, 2},
    {"paperLengthEntry", 282, 282, 2}, {"spare284", 284, 284, 2},
    {"spare290", 290, 290, 2},         {"nupEnabled", 292, 292, 2},
    {"nupPages", 294, 294, 2},         {"nupColumnFirst", 296, 296, 1},
    {"nupRightToLeft", 297, 297, 1},   {"nupSeparator", 298, 298, 1},
    {"modelByteE", 299, 300, 1},       {"modelValueF", 300, 302, 2},
    {"modelValueG", 302, 304, 2},      {"watermarkEnabled", 304, 308, 4},
    {"watermark", 308, 312, 396},      {"frontGutter", 704, 712, 2},
    {"backGutter", 706, 714, 2},       {"spare708", 708, 716, 2},
    {"bindingEdge", 710, 718, 2},      {"bookletPaperSize", 712, 720, 2},
    {"bookletFlip", 714, 722, 2},      {"tonerSave", 716, 724, 2},
    {"spare718", 718, 726, 2},         {"graphicsMode", 720, 728, 2},
    {"trueTypeMode", 722, 730, 2},     {"fontSubstitution", 724, 732, 2},
    {"spare726", 726, 734, 2},         {"resolution", 728, 736, 2},
    {"spare730", 730, 738, 2},         {"spare732", 732, 740, 2},
    {"printerFontOnly", 734, 742, 2},  {"printerFontIndex", 736, 744, 2},
    {"memoryCode", 738, 746, 2},       {"memoryMB", 740, 748, 2},
    {"installedOptions", 742, 752, 4}, {"spare746", 746, 756, 2},
    {"modelValueH", 748, 758, 2},      {"spare762", 762, 772, 2},
    {"spare764", 764, 774, 2},         {"sparePercent", 766, 776, 2},
    {"extraSize", 772, X, 4},          {"magic", 776, X, 4},
    {"spare780", 780, X, 2},           {"rasterCompression", 786, X, 2},
    {"spare790", 790, X, 4},           {"paperSizeShadow", 794, X, 4},
    {"sourceShadow", 798, X, 4},       {"fitActive", 802, X, 2},
    {"fitPaperShadow", 804, X, 2},     {"mediaTypeShadow", 812, X, 2},
    {"collateShadow", 814, X, 2},      {"reverseActive", 816, X, 2},
    {"separatorSheet", 824, X, 2},     {"separatorSource", 826, X, 4},
    {"rangeSourceMode", 830, X, 2},    {"rangeSource", 832, X, 4},
    {"rangeFirstPage", 836, X, 2},     {"rangeLastPage", 838, X, 2},
    {"copiesShadow", 840, X, 2},       {"layoutMode", 842, X, 2},
    {"orientationShadow", 846, X, 2},  {"absolutePositioning", 848, X, 4},
    {"separatorActive", 852, X, 2},    {"colorConvertMode", 864, X, 2},
    {"spare866", 866, X, 2},           {"trueTypeDownload", 868, X, 2},
    {"trueTypeMethod", 870, X, 2},     {"jobSecurity", 872, X, 2},
    {"formMode", 880, X, 2},           {"formFileName", 882, X, 128},
    {"watermarkSummary", 1010, X, 354}, {"spare1364", 1364, X, 2},
    {"spare1366", 1366, X, 4},         {"watermarkLaunched", 1370, 780, 4},
    {"dmDeviceName", 0, 0, 64},        {"dmFields", 72, 72, 4},
    {"dmCopies", 86, 86, 2},           {"dmFormName", 102, 102, 64},
};

TEST(DevmodeLayout, EveryFieldSitsAtItsStoredOffsetInBothVariants) {
  for (const StoredField& d : kStoredLayout) {
    SCOPED_TRACE(d.name);
    const kvset::RecordField* f = kvset::FindDevmodeField(d.name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kvset::FieldOffset(*f, DevmodeVariant::Pcl5e), d.offset5e);
    EXPECT_EQ(kvset::FieldByteSize(*f, DevmodeVariant::Pcl5e), d.bytes5e);
    EXPECT_EQ(kvset::FieldPresent(*f, DevmodeVariant::PclXl), d.offsetXl != X);
    if (d.offsetXl != X) {
      EXPECT_EQ(kvset::FieldOffset(*f, DevmodeVariant::PclXl), d.offsetXl);
    }
  }
}

TEST(DevmodeLayout, XlWatermarkIsFourBytesLongerAndRecordEndsAt784) {
  const auto& wm = kvset::DmField("watermark");
  EXPECT_EQ(kvset::FieldByteSize(wm, DevmodeVariant::PclXl), 400u);
  const auto& launched = kvset::DmField("watermarkLaunched");
  EXPECT_EQ(kvset::FieldOffset(launched, DevmodeVariant::PclXl) + 4, kvset::kRecordSizeXl);
  EXPECT_EQ(kvset::FieldOffset(launched, DevmodeVariant::Pcl5e) + 4, kvset::kRecordSize5e);
}

TEST(DevmodeLayout, WatermarkRecordOffsetsDifferFromDeletableOn) {
  struct Row {
    const char* name;
    std::size_t off5e, offXl;
  };
  const Row rows[] = {{"index", 0, 0},        {"name", 2, 2},           {"text", 148, 148},
                      {"deletable", 294, 296}, {"shading", 298, 300},    {"fontFace", 300, 302},
                      {"fontSize", 364, 366},  {"workingSize", 366, 368}, {"verticalOffset", 368, 370},
                      {"horizontalOffset", 370, 372}, {"italic", 372, 376}, {"bold", 376, 380},
                      {"angle", 380, 384},     {"angleMode", 382, 386}, {"positionMode", 384, 388},
                      {"firstPageOnly", 386, 390}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const kvset::RecordField* f = kvset::FindWatermarkField(row.name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kvset::FieldOffset(*f, DevmodeVariant::Pcl5e), row.off5e);
    EXPECT_EQ(kvset::FieldOffset(*f, DevmodeVariant::PclXl), row.offXl);
  }
  // The first-page-only word sits at record offset 694 in the PCL 5e record.
  EXPECT_EQ(kvset::DmField("watermark").offset5e + kvset::WmField("firstPageOnly").offset5e, 694);
}

TEST(DevmodeLayout, NameLookupSkipsReservedFieldsAndUnknownNames) {
  EXPECT_EQ(kvset::FindDevmodeField("reserved2"), nullptr);
  EXPECT_EQ(kvset::FindDevmodeField("reserved4"), nullptr);
  EXPECT_EQ(kvset::FindDevmodeField("nosuchField"), nullptr);
  EXPECT_EQ(kvset::FindDevmodeField("NUPPAGES"), nullptr);
  ASSERT_NE(kvset::FindDevmodeField("dmCopies"), nullptr);
  EXPECT_EQ(kvset::FindDevmodeField("dmCopies")->dmBit, DM_COPIES);
  EXPECT_EQ(kvset::FindDevmodeField("nupPages")->dmBit, 0u);
}

TEST(DevmodeLayout, IntegerFieldsAreLittleEndianAndSignExtended) {
  kvtest::Record r(kvset::kRecordSize5e, 0);
  kvtest::SetFieldByName(r, DevmodeVariant::Pcl5e, "modelValueA", -5240);
  EXPECT_EQ(r[252], 0x88);
  EXPECT_EQ(r[253], 0xEB);
  EXPECT_EQ(kvtest::Field(r, DevmodeVariant::Pcl5e, "modelValueA"), -5240);
  kvtest::SetFieldByName(r, DevmodeVariant::Pcl5e, "magic", 0x4B763563);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[776]), 4), "c5vK");
  EXPECT_EQ(kvtest::Field(r, DevmodeVariant::Pcl5e, "magic"), 0x4B763563);
}

TEST(DevmodeLayout, AccessOutsideTheBufferOrVariantIsRefused) {
  kvtest::Record xl(kvset::kRecordSizeXl, 0);
  EXPECT_FALSE(kvset::SetField(xl, DevmodeVariant::PclXl, kvset::DmField("magic"), 1));
  kvtest::Record shortRecord(300, 0);
  EXPECT_FALSE(kvset::SetField(shortRecord, DevmodeVariant::Pcl5e, kvset::DmField("memoryMB"), 1));
  EXPECT_EQ(kvset::GetField(shortRecord, DevmodeVariant::Pcl5e, kvset::DmField("memoryMB")), 0);
}

TEST(DevmodeLayout, StringsAreCutToKeepTheirTerminator) {
  kvtest::Record r(kvset::kRecordSize5e, 0xAA);
  const auto& form = kvset::DmField("dmFormName");
  EXPECT_TRUE(kvset::SetWideField(r, DevmodeVariant::Pcl5e, form,
                                  u"0123456789012345678901234567890123456789"));
  EXPECT_EQ(kvset::GetWideField(r, DevmodeVariant::Pcl5e, form).size(), 31u);
  EXPECT_EQ(kvset::LoadU16LE(r, 102 + 62), 0);
  const auto& file = kvset::DmField("formFileName");
  EXPECT_TRUE(kvset::SetNarrowField(r, DevmodeVariant::Pcl5e, file, "C:\\forms\\a.frm"));
  EXPECT_EQ(kvset::GetNarrowField(r, DevmodeVariant::Pcl5e, file), "C:\\forms\\a.frm");
  EXPECT_EQ(r[882 + 127], 0);
}

class DevmodeTextSetter : public ::testing::Test {
 protected:
  kvtest::TempRoot root_;
};

TEST_F(DevmodeTextSetter, PublicMembersGetTheirFieldBit) {
  kvtest::Record r = kvtest::DefaultRecord(DevmodeVariant::Pcl5e);
  const auto before = kvtest::Field(r, DevmodeVariant::Pcl5e, "dmFields");
  ASSERT_EQ(before & DM_DUPLEX, 0);
  std::string error;
  EXPECT_TRUE(kvset::SetDevmodeFieldFromText(r, DevmodeVariant::Pcl5e, "dmDuplex", "2", &error));
  EXPECT_EQ(kvtest::Field(r, DevmodeVariant::Pcl5e, "dmDuplex"), 2);
  EXPECT_EQ(kvtest::Field(r, DevmodeVariant::Pcl5e, "dmFields"), before | DM_DUPLEX);

  EXPECT_TRUE(kvset::SetDevmodeFieldFromText(r, DevmodeVariant::Pcl5e, "nupPages", "4", &error));
  EXPECT_EQ(kvtest::Field(r, DevmodeVariant::Pcl5e, "nupPages"), 4);
  EXPECT_EQ(kvtest::Field(r, DevmodeVariant::Pcl5e, "dmFields"), before | DM_DUPLEX);

  EXPECT_TRUE(
      kvset::SetDevmodeFieldFromText(r, DevmodeVariant::Pcl5e, "installedOptions", "0xF1", &error));
  EXPECT_EQ(kvtest::Field(r, DevmodeVariant::Pcl5e, "installedOptions"), 0xF1);
  EXPECT_TRUE(kvset::SetDevmodeFieldFromText(r, DevmodeVariant::Pcl5e, "dmFormName", "Letter", &error));
  EXPECT_EQ(kvset::GetWideField(r, DevmodeVariant::Pcl5e, kvset::DmField("dmFormName")), u"Letter");
  EXPECT_TRUE(kvset::SetDevmodeFieldFromText(r, DevmodeVariant::Pcl5e, "frontGutter", "-25", &error));
  EXPECT_EQ(kvtest::Field(r, DevmodeVariant::Pcl5e, "frontGutter"), -25);
}

TEST_F(DevmodeTextSetter, RefusesWhatCannotBeStored) {
  kvtest::Record r = kvtest::DefaultRecord(DevmodeVariant::PclXl);
  const kvtest::Record before = r;
  struct Case {
    const char* name;
    const char* value;
  };
  const Case cases[] = {{"noSuchField", "1"}, {"magic", "1"},        {"nupPages", "70000"},
                        {"nupColumnFirst", "256"}, {"dmCopies", "two"}, {"watermark", "0"},
                        {"dmCopies", ""},       {"scalePercent", "12x"}};
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(kvset::SetDevmodeFieldFromText(r, DevmodeVariant::PclXl, c.name, c.value, &error))
        << c.name << "=" << c.value;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(r, before);
}

}  // namespace
