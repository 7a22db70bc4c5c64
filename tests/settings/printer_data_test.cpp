// Per-printer data, custom papers, the printer record and the two ini files.
#include <gtest/gtest.h>

#include <filesystem>

#include "kvplat/fault.h"
#include "settings/byte_order.h"
#include "settings/printer_data.h"
#include "tests/settings/record_helpers.h"

namespace {

using kvtest::Record;

class PrinterData : public ::testing::Test {
 protected:
  void SetUp() override {
    printer_ = kvtest::AddTestPrinter(u"Data test");
    ASSERT_NE(printer_, nullptr);
  }
  void TearDown() override {
    if (printer_ != nullptr) ClosePrinter(printer_);
  }
  void SetDword(const char16_t* name, DWORD value) {
    std::u16string n = name;
    std::uint8_t bytes[4];
    kvset::StoreU32LE(bytes, value);
    ASSERT_EQ(SetPrinterDataW(printer_, n.data(), REG_DWORD, bytes, 4), ERROR_SUCCESS);
  }
  void SetBinary(const char16_t* name, const Record& data) {
    std::u16string n = name;
    ASSERT_EQ(SetPrinterDataW(printer_, n.data(), REG_BINARY, const_cast<LPBYTE>(data.data()),
                              static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }
  static Record Papers(std::initializer_list<kvset::CustomPaper> papers) {
    Record out(papers.size() * kvset::kCustomPaperRecordSize);
    std::size_t i = 0;
    for (const auto& p : papers) {
      kvset::EncodeCustomPaper(p, std::span(out).subspan(i++ * 80, 80));
    }
    return out;
  }

  kvtest::TempRoot root_;
  HANDLE printer_ = nullptr;
};

TEST_F(PrinterData, BlobRoundTripWritesTheSizeFirst) {
  const Record data = {1, 2, 3, 4, 5};
  ASSERT_TRUE(kvset::WritePrinterBlob(printer_, u"TestSize", u"Test", data));
  std::u16string sizeName = u"TestSize";
  DWORD type = 0, needed = 0;
  std::uint8_t size[8] = {};
  ASSERT_EQ(GetPrinterDataW(printer_, sizeName.data(), &type, size, sizeof(size), &needed),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(needed, 4u);
  EXPECT_EQ(kvset::LoadU32LE(size), 5u);
  kvset::HeapBlock read = kvset::ReadPrinterBlob(printer_, u"TestSize", u"Test");
  ASSERT_FALSE(read.empty());
  EXPECT_EQ(Record(read.data(), read.data() + read.size()), data);
}

TEST_F(PrinterData, BlobReadFailures) {
  EXPECT_TRUE(kvset::ReadPrinterBlob(printer_, u"NoSize", u"NoData").empty());
  SetBinary(u"Data", Record(10, 7));
  SetDword(u"Size", 0);
  EXPECT_TRUE(kvset::ReadPrinterBlob(printer_, u"Size", u"Data").empty());
  SetDword(u"Size", 4);  // the stored data is longer than its size says
  EXPECT_TRUE(kvset::ReadPrinterBlob(printer_, u"Size", u"Data").empty());
  SetDword(u"Size", 10);
  kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0, 1);
  EXPECT_TRUE(kvset::ReadPrinterBlob(printer_, u"Size", u"Data").empty());
  kvplat::fault::ClearAll();
  EXPECT_EQ(kvset::ReadPrinterBlob(printer_, u"Size", u"Data").size(), 10u);
  // Data shorter than its size value: only the stored bytes.
  SetDword(u"Size", 40);
  EXPECT_EQ(kvset::ReadPrinterBlob(printer_, u"Size", u"Data").size(), 10u);
}

TEST_F(PrinterData, CustomPaperSizeZeroMeansNoPapersEvenWithData) {
  SetBinary(u"CustomPaperData", Papers({{257, u"Card", u"100.0", u"150.0", 0}}));
  SetDword(u"CustomPaperDataSize", 0);
  const kvset::CustomPaperList list = kvset::ReadCustomPapers(printer_);
  EXPECT_EQ(list.count, 0u);
  EXPECT_TRUE(kvset::FindCustomPaper(list, 257).empty());
}

TEST_F(PrinterData, CustomPapersRoundTripAndLookup) {
  const Record papers = Papers({{257, u"Card", u"100.0", u"150.0", 0},
                                {258, u"Index card 3x5 inches!", u"5.00", u"3.00", 1}});
  ASSERT_TRUE(kvset::WriteCustomPapers(printer_, papers));
  const kvset::CustomPaperList list = kvset::ReadCustomPapers(printer_);
  ASSERT_EQ(list.count, 2u);
  const auto second = kvset::FindCustomPaper(list, 258);
  ASSERT_EQ(second.size(), 80u);
  const kvset::CustomPaper p = kvset::DecodeCustomPaper(second);
  EXPECT_EQ(p.name, u"Index card 3x5 inches");  // 21 characters and the terminator
  EXPECT_EQ(p.widthText, u"5.00");
  EXPECT_EQ(p.unit, 1);
  EXPECT_EQ(kvset::CustomPaperWidthDots(second), 1500);
  EXPECT_EQ(kvset::CustomPaperLengthDots(second), 900);
  EXPECT_EQ(kvset::CustomPaperWidthDots(kvset::FindCustomPaper(list, 257)), 1181);
  EXPECT_TRUE(kvset::FindCustomPaper(list, 259).empty());
}

TEST_F(PrinterData, CustomPaperCountIsSizeOver80AndAtMost50AreUsable) {
  SetBinary(u"CustomPaperData", Record(170, 0));
  SetDword(u"CustomPaperDataSize", 170);
  EXPECT_EQ(kvset::ReadCustomPapers(printer_).count, 2u);
  SetBinary(u"CustomPaperData", Record(52 * 80, 0));
  SetDword(u"CustomPaperDataSize", 52 * 80);
  const auto list = kvset::ReadCustomPapers(printer_);
  EXPECT_EQ(list.count, 52u);
  EXPECT_EQ(kvset::UsableCustomPaperCount(list), 50u);
}

TEST_F(PrinterData, MissingPrinterRecordIsBuiltFromCountryAndCodePage) {
  struct Case {
    const char* country;
    const char* codepage;
    std::uint32_t flags;
  };
  const Case cases[] = {{"1", "1252", 0}, {"44", "1252", 0x1}, {"1", "932", 0x4}, {"81", "932", 0x5}};
  for (const Case& c : cases) {
    kvplat::SetRootSetting("locale", "country", c.country);
    kvplat::SetRootSetting("locale", "codepage", c.codepage);
    const kvset::PrinterRecord r = kvset::ReadPrinterRecord(printer_);
    EXPECT_EQ(r.version, 0x400);
    EXPECT_EQ(r.size, 8);
    EXPECT_EQ(r.flags, c.flags) << c.country << "/" << c.codepage;
  }
}

TEST_F(PrinterData, StoredPrinterRecordIsCutToItsSizeAndForcedToTheCurrentVersion) {
  kvplat::SetRootSetting("locale", "country", "44");  // default flags 0x1
  // Version 0x300, size 6, flags 0x00050004: only the low half of the flags is stored.
  const Record six = {0x00, 0x03, 0x06, 0x00, 0x04, 0x00, 0x05, 0x00};
  SetBinary(u"PrinterData", six);
  SetDword(u"PrinterDataSize", 8);
  kvset::PrinterRecord r = kvset::ReadPrinterRecord(printer_);
  EXPECT_EQ(r.version, 0x400);
  EXPECT_EQ(r.size, 8);
  EXPECT_EQ(r.flags, 0x4u);
  // A value that holds fewer bytes than its size word says contributes what it holds.
  SetBinary(u"PrinterData", Record{0x00, 0x04, 0x08, 0x00, 0x04});
  SetDword(u"PrinterDataSize", 5);
  r = kvset::ReadPrinterRecord(printer_);
  EXPECT_EQ(r.flags, 0x4u);
  ASSERT_TRUE(kvset::WritePrinterRecord(printer_, {0x400, 8, 0x5}));
  EXPECT_EQ(kvset::ReadPrinterRecord(printer_).flags, 0x5u);
}

TEST(ParsePaperDimension, Table) {
  struct Case {
    const char16_t* text;
    int unit;
    int dots;
  };
  const Case cases[] = {
      {u"210.0", 0, 2480},  // 2100 x 300 / 254
      {u"210", 0, 2480},    {u"210.", 0, 2480},     {u"97.0", 0, 1145},
      {u"356.0", 0, 4204},  {u"8.50", 1, 2550},     {u"8.5", 1, 2550},
      {u"8", 1, 2400},      {u"14.00", 1, 4200},    {u"3.82", 1, 1146},
      {u"12345", 0, 4500},  {u"12345.6", 1, 4500},  {u"4501", 0, 4500},
      {u"4500", 0, 53149},  {u"00210.0", 0, 4500},  {u"", 0, 0},
      {u".5", 0, 5},        {u"210.05", 0, 2480},   {u"8.5x", 1, 2550},
      {u"8.x5", 1, 2400},   {u"20", 1, 6000},       {u"8.50", 7, 2550},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kvset::ParsePaperDimension(c.text, c.unit), c.dots)
        << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)) << " unit "
        << c.unit;
  }
}

class IniFiles : public ::testing::Test {
 protected:
  kvtest::TempRoot root_;
};

TEST_F(IniFiles, OemStringsHaveDefaultsAndLengthLimits) {
  EXPECT_EQ(kvset::OemInfPath(), kvtest::DriverDirectory() + u"\\3\\kvsaoem.inf");
  EXPECT_EQ(kvset::ReadOemString(kvset::OemKey::Printer2), u"Kelvaro PCL5e");
  EXPECT_EQ(kvset::ReadOemString(kvset::OemKey::About), u"Kelvaro Printer Driver");
  EXPECT_EQ(kvset::ReadOemString(kvset::OemKey::Ltd), u"CORVANE");
  const std::string longText(60, 'x');
  kvtest::TouchWinFile(kvset::OemInfPath(),
                       "[STRINGS]\r\nABOUT=" + longText + "\r\nLTD=Maker Ltd\r\n");
  EXPECT_EQ(kvset::ReadOemString(kvset::OemKey::About), std::u16string(49, u'x'));
  EXPECT_EQ(kvset::ReadOemString(kvset::OemKey::Ltd), u"Maker Ltd");
  EXPECT_EQ(kvset::ReadOemString(kvset::OemKey::Printer2), u"Kelvaro PCL5e");
}

TEST_F(IniFiles, PanelSettingsLiveUnderUsersPublicWhenItExists) {
  const std::u16string path = kvset::PanelSettingsPath();
  EXPECT_EQ(path, u"C:\\Users\\Public\\Kelvaro\\kvsaset.ini");
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_directory(kvplat::HostPath(u"C:\\Users\\Public\\Kelvaro"), ec));

  EXPECT_EQ(kvset::ReadPanelOptions().memory, 0);
  kvtest::TouchWinFile(path, "[OPTION]\r\nCASSETTE3=1\r\nCASSETTE2=1\r\n2BINTRAY=1\r\nMEMORY=64\r\n");
  const kvset::PanelOptions options = kvset::ReadPanelOptions();
  EXPECT_EQ(options.cassette3, 1);
  EXPECT_EQ(options.cassette2, 1);
  EXPECT_EQ(options.twoBinTray, 1);
  EXPECT_EQ(options.memory, 64);

  std::filesystem::remove_all(kvplat::HostPath(u"C:\\Users\\Public"), ec);
  WCHAR system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  EXPECT_EQ(kvset::PanelSettingsPath(), std::u16string(system) + u"\\kvsaset.ini");
  EXPECT_EQ(kvset::ReadPanelOptions().cassette3, 0);
}

}  // namespace
