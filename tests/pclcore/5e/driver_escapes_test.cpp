// Escapes, and the watermark the capture program leaves for every page.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "job_fixture.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "pclcore/5e/pcl_device.h"
#include "settings/devmode_fields.h"

namespace {

using kvtest::Count;

const std::string ESC = "\x1B";
const std::string FF = "\x0C";

class EscapeTest : public kvtest::JobFixture {
 protected:
  kv5e::PclPdev* Pdev() { return reinterpret_cast<kv5e::PclPdev*>(device_->dhpdev); }
  ULONG Query(ULONG escape, int width) {
    if (width == 2) {
      const std::uint16_t word = static_cast<std::uint16_t>(escape);
      return Escape(8, 2, &word, 0, nullptr);
    }
    return Escape(8, 4, &escape, 0, nullptr);
  }
};

TEST_F(EscapeTest, SupportQueries) {
  ASSERT_TRUE(Enable({}));
  EXPECT_EQ(Query(17, 2), 999u);
  for (ULONG escape : {8u, 19u, 20u, 5000u, 5002u, 20481u, 20530u, 20531u, 20532u}) {
    EXPECT_EQ(Query(escape, 2), 1u) << escape;
  }
  for (ULONG escape : {0x7FFFFFFDu, 0x7FFFFFFEu, 0x7FFFFFFFu, 0xA8A8A8A8u}) {
    EXPECT_EQ(Query(escape, 4), 1u) << std::hex << escape;
  }
  EXPECT_EQ(Query(21, 2), 0u);
  EXPECT_EQ(Query(4096, 4), 0u);
  EXPECT_EQ(Escape(8, 0, nullptr, 0, nullptr), 0u);
}

TEST_F(EscapeTest, CopyCountTechnologyAndDeviceMode) {
  ASSERT_TRUE(Enable({}));
  struct Case {
    std::int32_t asked, copies;
  };
  for (const Case& c : {Case{0, 1}, Case{5000, 999}, Case{7, 7}, Case{-3, 1}}) {
    std::int32_t actual = -1;
    EXPECT_EQ(Escape(17, 4, &c.asked, 4, &actual), 1u);
    EXPECT_EQ(actual, c.copies);
    EXPECT_EQ(reinterpret_cast<const DEVMODEW*>(Pdev()->devmode)->dmCopies, c.copies);
  }
  EXPECT_EQ(Escape(17, 0, nullptr, 0, nullptr), 0u);

  char technology[10];
  EXPECT_EQ(Escape(20, 0, nullptr, 10, technology), 1u);
  EXPECT_STREQ(technology, "Quillcore");
  SetLastError(0);
  EXPECT_EQ(Escape(20, 0, nullptr, 9, technology), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  std::vector<BYTE> record(1374, 0);
  EXPECT_EQ(Escape(5002, 0, nullptr, 784, record.data()), 0u);
  EXPECT_EQ(Escape(5002, 0, nullptr, 1374, record.data()), 1u);
  EXPECT_EQ(std::memcmp(record.data(), Pdev()->devmode, 1374), 0);
  std::vector<BYTE> other(1374, 0);
  EXPECT_EQ(Escape(20531, 0, nullptr, 10, other.data()), 1u) << "no size test";
  EXPECT_EQ(other, record);
}

TEST_F(EscapeTest, ForcedColourAndWatermarkQuery) {
  ASSERT_TRUE(Enable({}, [](std::vector<BYTE>& record) {
    // A selected watermark (list index 3) and the query's page rule.
    record[308] = 3;  // the selected watermark record; the summary follows it
    record[1364] = 1;
  }));
  const ULONG black = 0xFF000000;
  Escape(0xA8A8A8A8, 4, &black, 0, nullptr);
  EXPECT_NE(Pdev()->flags & kv5e::kFlagForcedColour, 0u);
  EXPECT_EQ(Pdev()->watermarkColor, 0u);
  const ULONG off = 0;
  Escape(0xA8A8A8A8, 4, &off, 0, nullptr);
  EXPECT_EQ(Pdev()->flags & kv5e::kFlagForcedColour, 0u);

  std::int16_t index = -1;
  EXPECT_EQ(Escape(20481, 0, nullptr, 2, &index), 1u);
  EXPECT_EQ(index, 3);
  index = -1;
  EXPECT_EQ(Escape(20481, 0, nullptr, 4, &index), 1u);
  EXPECT_EQ(index, -1) << "a wrong size writes nothing";
  Pdev()->pageCount = 2;
  EXPECT_EQ(Escape(20481, 0, nullptr, 2, &index), 1u);
  EXPECT_EQ(index, 0) << "past the first page the query answers none";
}

TEST_F(EscapeTest, RawDataGoesOutInOrder) {
  ASSERT_TRUE(Enable({"reverseOrder=0"}));
  ASSERT_TRUE(StartDoc(u"Raw"));
  ASSERT_TRUE(StartPage());
  EXPECT_EQ(Escape(5000, 4, "RAW!", 0, nullptr), 4u);
  EXPECT_EQ(Escape(5000, 0, "RAW!", 0, nullptr), 0u);
  ASSERT_TRUE(SendPage());
  ASSERT_TRUE(EndDoc());
  const std::string stream = Delivered();
  // After the page's set-up, before its form feed.
  EXPECT_LT(stream.find("SC0,600,0,600"), stream.find("RAW!"));
  EXPECT_LT(stream.find("RAW!"), stream.find(FF));
}

class WatermarkTest : public EscapeTest {
 protected:
  // The capture program's file, named through the escape, then playback on.
  void Capture(const std::string& bytes) {
    const std::u16string path = u"C:\\Windows\\Temp\\WMF42.tmp";
    std::ofstream(kvplat::HostPath(path), std::ios::binary) << bytes;
    std::vector<WCHAR> name(260, 0);
    std::copy(path.begin(), path.end(), name.begin());
    Escape(20530, 520, name.data(), 0, nullptr);
    const BYTE playback = 3;
    Escape(20532, 1, &playback, 0, nullptr);
    hostPath_ = kvplat::HostPath(path);
  }
  std::string hostPath_;
};

TEST_F(WatermarkTest, PlayedOnEveryPageBeforeItsFormFeedThenDeleted) {
  ASSERT_TRUE(Enable({"reverseOrder=0"}));
  Capture("WMK");
  const std::string stream = Job(3);
  EXPECT_EQ(Count(stream, ESC + "%0AWMK" + ESC + "%1A" + FF), 3);
  EXPECT_FALSE(std::filesystem::exists(hostPath_)) << "the capture file ends with the document";
  EXPECT_EQ(Pdev()->outputMode, 0);
}

TEST_F(WatermarkTest, FirstPageOnly) {
  ASSERT_TRUE(Enable({"reverseOrder=0"}, [](std::vector<BYTE>& record) {
    record[308 + 386] = 1;  // the watermark's first-page-only word
  }));
  Capture("WMK");
  EXPECT_EQ(Count(Job(3), "WMK"), 1);
}

TEST_F(WatermarkTest, OncePerLogicalPageOnASharedSheet) {
  ASSERT_TRUE(Enable({"reverseOrder=0", "nupPages=4"}));
  Capture("WMK");
  const std::string stream = Job(4);
  EXPECT_EQ(Count(stream, ESC + "%1BIWWMKMC1,35" + ESC + "%1A"), 4);
}

TEST_F(WatermarkTest, AnEmptyCaptureStillSwitchesModesAndAMissingOneIsSkipped) {
  ASSERT_TRUE(Enable({"reverseOrder=0"}));
  Capture("");
  std::string stream = Job(1);
  EXPECT_EQ(Count(stream, ESC + "%0A" + ESC + "%1A" + FF), 1);

  ASSERT_TRUE(Enable({"reverseOrder=0"}));
  Capture("WMK");
  std::filesystem::remove(hostPath_);
  stream = Job(1);
  EXPECT_EQ(Count(stream, "WMK"), 0);
  EXPECT_EQ(Count(stream, FF), 1);
}

}  // namespace
