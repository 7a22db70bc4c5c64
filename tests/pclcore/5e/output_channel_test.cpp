#include "pclcore/5e/output_channel.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "support/test_printer.h"
#include "support/test_root.h"

namespace {

using kv5e::PclPdev;

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A device instance wired to a spooler job on a file port, with a counting
// view of what reached the printer.
class OutputChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    printer_ = kvtest::AddFilePortPrinter(u"Channel", &portPath_);
    ASSERT_NE(printer_, nullptr);
    DOC_INFO_1W doc{const_cast<LPWSTR>(u"channel test"), nullptr, nullptr};
    ASSERT_GT(StartDocPrinterW(printer_, 1, reinterpret_cast<LPBYTE>(&doc)), 0u);
    pdev_ = std::make_unique<PclPdev>();
    pdev_->printer = printer_;
    kv5e::ResetOutputBuffer(pdev_.get());
  }
  void TearDown() override {
    if (pdev_->storeFile) kv5e::ClosePageStore(pdev_.get());
    if (printer_) ClosePrinter(printer_);
  }
  // Ends the job and returns what the port received.
  std::string Delivered() {
    EXPECT_TRUE(EndDocPrinter(printer_));
    return ReadHostFile(portPath_);
  }

  kvtest::TempRoot root_;
  HANDLE printer_ = nullptr;
  std::string portPath_;
  std::unique_ptr<PclPdev> pdev_;
};

TEST_F(OutputChannelTest, LargeWritesBypassTheBufferInWholePieces) {
  struct Case {
    std::uint32_t prefill, length;
    std::uint32_t expectBuffered;
  };
  // Empty buffer, 5000 bytes: 4096 go straight out, 904 stay buffered.
  // 1024 bytes that do not fit are buffered after the flush; 1025 go out directly.
  const Case cases[] = {{0, 5000, 904}, {3500, 1024, 1024}, {3500, 1025, 0}, {100, 200, 300}};
  for (const Case& c : cases) {
    kv5e::ResetOutputBuffer(pdev_.get());
    std::vector<BYTE> fill(c.prefill, 'a');
    std::vector<BYTE> data(c.length, 'b');
    ASSERT_EQ(kv5e::WriteBytes(pdev_.get(), fill.data(), c.prefill), 1);
    ASSERT_EQ(kv5e::WriteBytes(pdev_.get(), data.data(), c.length), 1);
    EXPECT_EQ(pdev_->outFill, c.expectBuffered) << c.prefill << "+" << c.length;
    EXPECT_EQ(pdev_->outPtr, pdev_->outBuffer + pdev_->outFill);
    ASSERT_EQ(kv5e::FlushOutput(pdev_.get()), 1);
  }
  // Nothing was lost or reordered on the way.
  std::string expected;
  for (const Case& c : cases) expected += std::string(c.prefill, 'a') + std::string(c.length, 'b');
  EXPECT_EQ(Delivered(), expected);
}

TEST_F(OutputChannelTest, DiscardModeDropsEverythingAndReportsSuccess) {
  pdev_->outputMode = kv5e::kOutputDiscard;
  EXPECT_EQ(kv5e::WriteText(pdev_.get(), "dropped"), 1);
  EXPECT_EQ(kv5e::WriteLong(pdev_.get(), std::string(9000, 'x').data(), 9000), 1);
  EXPECT_EQ(pdev_->outFill, 0u);
  pdev_->outputMode = kv5e::kOutputNormal;
  EXPECT_EQ(kv5e::WriteText(pdev_.get(), "kept"), 1);
  EXPECT_EQ(kv5e::FlushOutput(pdev_.get()), 1);
  EXPECT_EQ(Delivered(), "kept");
}

TEST_F(OutputChannelTest, CaptureModeTeesIntoTheCaptureFileEvenWhenTheJobAborts) {
  const std::u16string capture = u"C:\\Windows\\Temp\\WMF1.tmp";
  kv5e::CopyWide(pdev_->capturePath, capture.c_str(), MAX_PATH);
  pdev_->outputMode = kv5e::kOutputCapture;
  EXPECT_EQ(kv5e::WriteText(pdev_.get(), "first "), 1);
  EXPECT_EQ(kv5e::WriteText(pdev_.get(), "second"), 1);
  ASSERT_TRUE(AbortPrinter(printer_));
  EXPECT_EQ(ReadHostFile(kvplat::HostPath(capture)), "first second");
}

TEST_F(OutputChannelTest, FailedWritePrinterAbortsEveryLaterWrite) {
  kvplat::fault::FailAfter(kvplat::fault::Point::WritePrinter, 100);
  std::vector<BYTE> data(5000, 'z');
  EXPECT_EQ(kv5e::WriteBytes(pdev_.get(), data.data(), 5000), 0);
  EXPECT_TRUE(pdev_->flags & kv5e::kFlagAborted);
  kvplat::fault::ClearAll();
  EXPECT_EQ(kv5e::WriteText(pdev_.get(), "late"), 0);
  EXPECT_EQ(kv5e::WriteFormatted(pdev_.get(), "%d", 5), -1);
  EXPECT_EQ(kv5e::FlushOutput(pdev_.get()), 1);  // nothing more is sent
}

TEST_F(OutputChannelTest, SuppressedOutputEmptiesTheBuffer) {
  EXPECT_EQ(kv5e::WriteText(pdev_.get(), "before"), 1);
  pdev_->flags |= kv5e::kFlagSuppressed;
  EXPECT_EQ(kv5e::WriteText(pdev_.get(), "hidden"), 1);
  EXPECT_EQ(pdev_->outFill, 0u);
  EXPECT_EQ(kv5e::FlushOutput(pdev_.get()), 1);
  EXPECT_EQ(Delivered(), "");
}

TEST_F(OutputChannelTest, PageStoreReceivesOutputAndGrowsInSteps) {
  const std::u16string store = u"C:\\Windows\\Temp\\QV5E123X.XXX";
  kv5e::CopyWide(pdev_->storePath, store.c_str(), 142);
  ASSERT_EQ(kv5e::OpenPageStore(pdev_.get(), kv5e::kStoreGrowStep), 1);
  pdev_->flags |= kv5e::kFlagStoreOpen;
  EXPECT_EQ(pdev_->storeTop, 4u);
  std::vector<BYTE> page(300000);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<BYTE>(i * 7);
  ASSERT_EQ(kv5e::WriteLong(pdev_.get(), page.data(), static_cast<std::uint32_t>(page.size())), 1);
  ASSERT_EQ(kv5e::FlushOutput(pdev_.get()), 1);
  EXPECT_EQ(pdev_->storeCapacity, 2 * kv5e::kStoreGrowStep);
  EXPECT_EQ(pdev_->storeTop, 4 + page.size());
  EXPECT_EQ(std::memcmp(pdev_->storeView + 4, page.data(), page.size()), 0);
  kv5e::ClosePageStore(pdev_.get());
  EXPECT_FALSE(pdev_->flags & kv5e::kFlagStoreOpen);
  EXPECT_EQ(pdev_->storeView, nullptr);
  // The file stays for a later job with the same name; nothing reached the printer.
  EXPECT_TRUE(std::filesystem::exists(kvplat::HostPath(store)));
  EXPECT_EQ(Delivered(), "");
}

TEST_F(OutputChannelTest, AReusedStoreFileStartsEmpty) {
  const std::u16string store = u"C:\\Windows\\Temp\\QV5E125X.XXX";
  {
    std::ofstream old(kvplat::HostPath(store), std::ios::binary);
    old << std::string(512 * 1024, '\xAB');
  }
  kv5e::CopyWide(pdev_->storePath, store.c_str(), 142);
  ASSERT_EQ(kv5e::OpenPageStore(pdev_.get(), kv5e::kStoreGrowStep), 1);
  pdev_->flags |= kv5e::kFlagStoreOpen;
  std::vector<BYTE> page(kv5e::kStoreGrowStep, 1);
  ASSERT_EQ(kv5e::WriteLong(pdev_.get(), page.data(), static_cast<std::uint32_t>(page.size())), 1);
  ASSERT_EQ(kv5e::FlushOutput(pdev_.get()), 1);
  ASSERT_GT(pdev_->storeCapacity, pdev_->storeTop);
  for (std::uint32_t at = pdev_->storeTop; at < pdev_->storeCapacity; ++at) {
    ASSERT_EQ(pdev_->storeView[at], 0) << at;
  }
  EXPECT_EQ(pdev_->storeView[0], 0);
}

TEST_F(OutputChannelTest, PageStoreThatCannotGrowAbortsTheJob) {
  const std::u16string store = u"C:\\Windows\\Temp\\QV5E124X.XXX";
  kv5e::CopyWide(pdev_->storePath, store.c_str(), 142);
  ASSERT_EQ(kv5e::OpenPageStore(pdev_.get(), kv5e::kStoreGrowStep), 1);
  pdev_->flags |= kv5e::kFlagStoreOpen;
  kvplat::fault::FailAfter(kvplat::fault::Point::FileMapping, 0);
  std::vector<BYTE> page(kv5e::kStoreGrowStep, 1);
  EXPECT_EQ(kv5e::WriteLong(pdev_.get(), page.data(), static_cast<std::uint32_t>(page.size())), 0);
  EXPECT_TRUE(pdev_->flags & kv5e::kFlagAborted);
  EXPECT_FALSE(pdev_->flags & kv5e::kFlagStoreOpen);
  EXPECT_EQ(pdev_->storeView, nullptr);
}

TEST(CommandFormatter, Conversions) {
  struct Case {
    const char* format;
    std::vector<kv5e::FormatArg> args;
    const char* expected;
  };
  static const char kName[] = "Letter";
  const Case cases[] = {
      {"\x1B&l%dA", {26}, "\x1B&l26A"},
      {"%d %l", {-42, 7}, "-42 7"},
      {"%u", {-1}, "4294967295"},
      {"%x %X %x", {0x5, 0xABC, 0}, "05 ABC 00"},
      {"%c%c", {'P', 'W'}, "PW"},
      {"[%s]", {kName}, "[Letter]"},
      {"%b %b", {1, 0}, "true false"},
      {"%f", {384}, "1.5"},
      {"%f", {64}, "0.25"},
      {"%f", {13}, "0.051"},
      {"%f", {-256}, "-1"},
      {"%f", {-384}, "-1.5"},
      {"%f", {256 * 300}, "300"},
      {"100%%", {}, "100%"},
      {"%q", {}, "q"},
      {"end%", {}, "end"},
  };
  for (const Case& c : cases) {
    char buffer[kv5e::kFormatCapacity];
    const int length = kv5e::FormatCommand(buffer, sizeof(buffer), c.format, c.args);
    EXPECT_STREQ(buffer, c.expected) << c.format;
    EXPECT_EQ(length, static_cast<int>(std::strlen(c.expected)));
  }
}

TEST(CommandFormatter, LongOutputIsCutAtTheBuffer) {
  std::string huge(10000, 'h');
  char buffer[64];
  const kv5e::FormatArg args[] = {huge.c_str()};
  const int length = kv5e::FormatCommand(buffer, sizeof(buffer), "%s%s%s", args);
  EXPECT_EQ(length, 63);
  EXPECT_EQ(buffer[63], '\0');
}

TEST(TextHelpers, DecimalsDigitsAndBoundedCopies) {
  char text[16];
  EXPECT_EQ(kv5e::IntToDecimal(0, text), 1);
  EXPECT_STREQ(text, "0");
  EXPECT_EQ(kv5e::IntToDecimal(-2147483647 - 1, text), 11);
  EXPECT_STREQ(text, "-2147483648");
  EXPECT_EQ(kv5e::TwoDigits(7, text), 2);
  EXPECT_STREQ(text, "07");

  WCHAR wide[6];
  std::memset(wide, 0x55, sizeof(wide));
  kv5e::CopyWide(wide, u"abcdefgh", 6);
  EXPECT_EQ(std::u16string(wide), u"abcde");
  kv5e::CopyWide(wide, u"ab", 6);
  for (int i = 2; i < 6; ++i) EXPECT_EQ(wide[i], 0);

  char narrow[8];
  kv5e::CopyLowBytes(narrow, u"\u0141\u00e9x", 8);
  EXPECT_EQ(static_cast<unsigned char>(narrow[0]), 0x41);
  EXPECT_EQ(static_cast<unsigned char>(narrow[1]), 0xE9);
  kv5e::WideTo8Bit(narrow, u"\u20ac\u00e9\u4e00", 8);
  EXPECT_EQ(static_cast<unsigned char>(narrow[0]), 0x80);  // the euro sign in 1252
  EXPECT_EQ(static_cast<unsigned char>(narrow[1]), 0xE9);
  EXPECT_EQ(narrow[2], '?');
}

}  // namespace
