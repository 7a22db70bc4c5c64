// kvprinter as a user runs it: a fresh root, the drivers installed, printers
// added, inspected and removed.
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/run_tool.h"
#include "support/test_root.h"

namespace {

using kvtest::Outcome;

Outcome Kvprinter(const std::string& root, const std::string& args) {
  return kvtest::RunTool("kvprinter", root, args);
}

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

class KvprinterTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = kvtest::MakeTempDir("kvprinter-") + "/root"; }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(root_).parent_path(), ignored);
  }
  std::string root_;
};

TEST_F(KvprinterTest, InstallAddInfoListRemove) {
  Outcome install = Kvprinter(root_, "install");
  ASSERT_EQ(install.status, 0) << install.output;
  EXPECT_NE(install.output.find("installed driver pcl5e"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(root_ + "/C/Windows/System32/spool/drivers/x64/3/kvsa5e.dll"));
  EXPECT_EQ(Kvprinter(root_, "install").status, 0) << "installing twice is fine";

  Outcome add = Kvprinter(root_, "add 'Office 5e' --driver pcl5e --port 'C:\\out\\office.prn'");
  ASSERT_EQ(add.status, 0) << add.output;
  Outcome list = Kvprinter(root_, "list");
  EXPECT_NE(list.output.find("Office 5e\tKelvaro ZT-7700 PCL5e\tC:\\out\\office.prn"),
            std::string::npos)
      << list.output;

  Outcome info = Kvprinter(root_, "info 'Office 5e' -o dmPaperSize=9 -o dmPrintQuality=600");
  ASSERT_EQ(info.status, 0) << info.output;
  for (const char* line : {"ulHorzRes: 4660", "ulVertRes: 6814", "ptlPhysOffset: 150,100",
                           "ulAspectXY: 848", "ulLogPixelsX: 600", "denStyleStep: 12",
                           "flGraphicsCaps: 0x211D"}) {
    EXPECT_TRUE(HasLine(info.output, line)) << line << "\n" << info.output;
  }
  Outcome scaled = Kvprinter(root_, "info 'Office 5e' -o dmPaperSize=9 -o scalePercent=50");
  EXPECT_TRUE(HasLine(scaled.output, "ulHorzRes: 2330")) << scaled.output;
  Outcome letter = Kvprinter(root_, "info 'Office 5e' -o dmPaperSize=1 -o dmPrintQuality=300");
  EXPECT_TRUE(HasLine(letter.output, "ulHorzRes: 2400")) << letter.output;
  EXPECT_TRUE(HasLine(letter.output, "ulAspectXY: 424")) << letter.output;

  ASSERT_EQ(Kvprinter(root_, "remove 'Office 5e'").status, 0);
  EXPECT_EQ(Kvprinter(root_, "list").output, "");
}

TEST_F(KvprinterTest, PrinterDataRoundTrips) {
  ASSERT_EQ(Kvprinter(root_, "install").status, 0);
  ASSERT_EQ(Kvprinter(root_, "add P --driver pcl5e").status, 0);
  struct Case {
    const char* set;
    const char* expected;
  };
  const Case cases[] = {
      {"Permission REG_DWORD 1", "REG_DWORD 1"},
      {"Permission REG_DWORD 0x10", "REG_DWORD 16"},
      {"Label REG_SZ 'Second floor'", "REG_SZ Second floor"},
      {"PrinterData REG_BINARY 0004080001000000", "REG_BINARY 00 04 08 00 01 00 00 00"},
  };
  for (const Case& c : cases) {
    Outcome set = Kvprinter(root_, std::string("data P set ") + c.set);
    ASSERT_EQ(set.status, 0) << c.set << ": " << set.output;
    const std::string name = std::string(c.set).substr(0, std::string(c.set).find(' '));
    Outcome get = Kvprinter(root_, "data P get " + name);
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.output, std::string(c.expected) + "\n");
  }
}

TEST_F(KvprinterTest, BadInputGivesAClearErrorAndNonZeroExit) {
  ASSERT_EQ(Kvprinter(root_, "install").status, 0);
  ASSERT_EQ(Kvprinter(root_, "add P --driver pcl5e").status, 0);
  struct Case {
    const char* args;
    const char* message;
  };
  const Case cases[] = {
      {"", "no command given"},
      {"frobnicate", "unknown command"},
      {"add Q --driver postscript", "unknown driver"},
      {"add P --driver pcl5e", "already exists"},
      {"remove Nobody", "no such printer"},
      {"info Nobody", "no such printer"},
      {"info P -o notAField=1", "notAField"},
      {"info P -o dmCopies=many", "dmCopies"},
      {"info P -o dmCopies", "FIELD=VALUE"},
      {"data P get Missing", "cannot read"},
      {"data P set X REG_DWORD 12abc", "not a 32-bit number"},
      {"data P set X REG_BINARY xyz", "not hex"},
      {"data P set X REG_FLOAT 1", "unknown type"},
  };
  for (const Case& c : cases) {
    Outcome run = Kvprinter(root_, c.args);
    EXPECT_NE(run.status, 0) << c.args;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << c.args << ": " << run.output;
  }
}

TEST_F(KvprinterTest, ARootThatCannotBeMadeIsReported) {
  Outcome run = Kvprinter("/proc/kv-no-root-here", "list");
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find("kvprinter:"), std::string::npos) << run.output;
}

}  // namespace
