// Printer data: values stored with their registry types, the size-then-data
// pairs the drivers keep, buffer sizes and the error codes readers rely on.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "spooler_fixture.h"

namespace {

using spooltest::Printer;

class PrinterDataTest : public spooltest::SpoolerTest {
 protected:
  void SetUp() override {
    SpoolerTest::SetUp();
    ASSERT_TRUE(Add(u"Laser", u"FILE:"));
    admin_ = Open(u"Laser", PRINTER_ALL_ACCESS);
    ASSERT_TRUE(admin_);
  }

  DWORD Set(std::u16string name, DWORD type, const std::vector<BYTE>& data) {
    return SetPrinterDataW(admin_.get(), name.data(), type, const_cast<BYTE*>(data.data()),
                           static_cast<DWORD>(data.size()));
  }

  // Reads a value whole; returns the result code of the sized read.
  DWORD Get(HANDLE h, std::u16string name, DWORD* type, std::vector<BYTE>* data) {
    DWORD needed = 0xFFFF;
    const DWORD probe = GetPrinterDataW(h, name.data(), type, nullptr, 0, &needed);
    if (probe != ERROR_SUCCESS && probe != ERROR_MORE_DATA) return probe;
    data->assign(needed, 0xCD);
    return GetPrinterDataW(h, name.data(), type, data->data(), needed, &needed);
  }

  Printer admin_;
};

std::vector<BYTE> Bytes(const void* p, std::size_t n) {
  const auto* b = static_cast<const BYTE*>(p);
  return std::vector<BYTE>(b, b + n);
}

TEST_F(PrinterDataTest, ValuesKeepTypeAndBytes) {
  const DWORD number = 0x12345678;
  const char16_t text[] = u"Watermark";
  const char16_t multi[] = u"one\0two\0";
  std::vector<BYTE> big(80 * 50);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i * 13);
  struct Case {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
  };
  const Case cases[] = {
      {u"CustomPaperDataSize", REG_DWORD, Bytes(&number, 4)},
      {u"CustomPaperData", REG_BINARY, big},
      {u"WatermarkText", REG_SZ, Bytes(text, sizeof text)},
      {u"WatermarkTextName", REG_MULTI_SZ, Bytes(multi, sizeof multi)},
      {u"Empty", REG_BINARY, {}},
      {u"", REG_SZ, Bytes(u"default", 16)},
  };
  for (const Case& c : cases) ASSERT_EQ(Set(c.name, c.type, c.data), ERROR_SUCCESS);
  // Read back through another handle that may only use the printer.
  Printer reader = Open(u"laser");
  for (const Case& c : cases) {
    SCOPED_TRACE(kvplat::ToUtf8(c.name));
    DWORD type = 0xFF;
    std::vector<BYTE> data;
    ASSERT_EQ(Get(reader.get(), c.name, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(data, c.data);
  }
  // Names are case-insensitive and a later write replaces the value whole.
  ASSERT_EQ(Set(u"CUSTOMPAPERDATA", REG_BINARY, {1, 2, 3}), ERROR_SUCCESS);
  DWORD type = 0;
  std::vector<BYTE> data;
  ASSERT_EQ(Get(reader.get(), u"custompaperdata", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, (std::vector<BYTE>{1, 2, 3}));
  const auto names = kvplat::spool::PrinterDataNames(reader.get());
  EXPECT_EQ(names.size(), std::size(cases));
}

TEST_F(PrinterDataTest, SmallBuffersMissingValuesAndDeletion) {
  const std::vector<BYTE> record = {0x00, 0x04, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00};
  ASSERT_EQ(Set(u"PrinterData", REG_BINARY, record), ERROR_SUCCESS);

  std::u16string name = u"PrinterData";
  BYTE small[6] = {};
  DWORD needed = 0, type = 0;
  EXPECT_EQ(GetPrinterDataW(admin_.get(), name.data(), &type, small, sizeof small, &needed), ERROR_MORE_DATA);
  EXPECT_EQ(needed, 8u);
  EXPECT_EQ(type, REG_BINARY);
  // A buffer larger than the value gets exactly the value's bytes.
  BYTE large[16];
  std::memset(large, 0xEE, sizeof large);
  EXPECT_EQ(GetPrinterDataW(admin_.get(), name.data(), nullptr, large, sizeof large, &needed), ERROR_SUCCESS);
  EXPECT_EQ(needed, 8u);
  EXPECT_EQ(std::memcmp(large, record.data(), 8), 0);
  EXPECT_EQ(large[8], 0xEE);

  std::u16string missing = u"DevmodeDataSize";
  EXPECT_EQ(GetPrinterDataW(admin_.get(), missing.data(), &type, large, sizeof large, &needed),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(DeletePrinterDataW(admin_.get(), missing.data()), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(DeletePrinterDataW(admin_.get(), name.data()), ERROR_SUCCESS);
  EXPECT_EQ(GetPrinterDataW(admin_.get(), name.data(), &type, large, sizeof large, &needed),
            ERROR_FILE_NOT_FOUND);

  int notAHandle = 0;
  EXPECT_EQ(GetPrinterDataW(&notAHandle, name.data(), &type, large, sizeof large, &needed),
            ERROR_INVALID_HANDLE);
}

TEST_F(PrinterDataTest, SizeThenDataPairsAsTheDriversWriteThem) {
  // Writer: the size value first, then the data; reader: the size, then exactly that many bytes.
  std::vector<BYTE> papers(3 * 80, 0x5A);
  const DWORD size = static_cast<DWORD>(papers.size());
  ASSERT_EQ(Set(u"CustomPaperDataSize", REG_DWORD, Bytes(&size, 4)), ERROR_SUCCESS);
  ASSERT_EQ(Set(u"CustomPaperData", REG_BINARY, papers), ERROR_SUCCESS);

  std::u16string sizeName = u"CustomPaperDataSize", dataName = u"CustomPaperData";
  DWORD stored = 0, needed = 0, type = 0;
  ASSERT_EQ(GetPrinterDataW(admin_.get(), sizeName.data(), &type, reinterpret_cast<LPBYTE>(&stored), 4,
                            &needed),
            ERROR_SUCCESS);
  EXPECT_EQ(stored, size);
  std::vector<BYTE> read(stored);
  ASSERT_EQ(GetPrinterDataW(admin_.get(), dataName.data(), &type, read.data(), stored, &needed), ERROR_SUCCESS);
  EXPECT_EQ(read, papers);
}

TEST_F(PrinterDataTest, RejectsMalformedWrites) {
  EXPECT_EQ(Set(u"Permission", REG_DWORD, {1, 0}), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Set(u"Odd", 99, {1}), ERROR_INVALID_PARAMETER);
  std::u16string name = u"X";
  EXPECT_EQ(SetPrinterDataW(admin_.get(), name.data(), REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  DWORD needed = 0;
  EXPECT_EQ(GetPrinterDataW(admin_.get(), name.data(), nullptr, nullptr, 0, &needed), ERROR_FILE_NOT_FOUND);
}

TEST_F(PrinterDataTest, WritesLeaveNoTemporaryFilesAndSurviveTheHandle) {
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Set(u"Counter", REG_BINARY, std::vector<BYTE>(100 * i, BYTE(i))), ERROR_SUCCESS);
  admin_ = Printer();
  Printer again = Open(u"Laser");
  DWORD type = 0;
  std::vector<BYTE> data;
  ASSERT_EQ(Get(again.get(), u"Counter", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, std::vector<BYTE>(400, 4));
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

}  // namespace
