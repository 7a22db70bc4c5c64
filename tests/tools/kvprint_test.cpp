// kvprint as a user runs it: a fresh root, the default printer made on first
// use, job settings by field name and alias, and clear failures.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <png.h>

#include <gtest/gtest.h>

#include "support/run_tool.h"
#include "tools/pcldump/pcl_decoder.h"
#include "support/test_root.h"

namespace {

using kvtest::Outcome;
using kvtest::RunTool;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Form feeds as the printer sees them (raster data may hold the byte too).
std::size_t FormFeeds(const std::string& stream) {
  return kvtools::pcl::Count(kvtools::pcl::Decode(stream), "FF");
}

class KvprintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = kvtest::MakeTempDir("kvprint-");
    root_ = dir_ + "/root";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Outcome Kvprint(const std::string& args) { return RunTool("kvprint", root_, args); }

  std::string dir_;
  std::string root_;
};

TEST_F(KvprintTest, DemoGoesThroughTheDefaultPrinterToTheOutputFile) {
  const std::string out = dir_ + "/demo.prn";
  Outcome first = Kvprint("--demo --output '" + out + "'");
  ASSERT_EQ(first.status, 0) << first.output;
  EXPECT_NE(first.output.find("Kelvaro ZT-7700 PCL5e"), std::string::npos) << "first use adds it";
  const std::string stream = ReadFile(out);
  EXPECT_EQ(stream.rfind("\x1B%-12345X@PJL JOB NAME=\"Kelvaro demo\"\r\n", 0), 0u);
  EXPECT_GE(FormFeeds(stream), 5u);

  // The printer is there now; settings by field name and by alias reach the job.
  Outcome second = Kvprint("--demo --output '" + out + "' -o dmPrintQuality=300 -o copies=3 " +
                           "-o collate=1 -o orientation=landscape -o paper=A5");
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(second.output.find("added"), std::string::npos);
  const std::string job = ReadFile(out);
  for (const char* line : {"@PJL SET RESOLUTION=300", "@PJL SET QTY=3", "ORIENTATION=LANDSCAPE"}) {
    EXPECT_NE(job.find(line), std::string::npos) << line;
  }
  EXPECT_NE(job.find("\x1B&l25a"), std::string::npos) << "A5 page size";
}

TEST_F(KvprintTest, AFileOnlyPortWithoutOutputWritesTheDefaultFile) {
  const std::string command = "cd '" + dir_ + "' && " + KV_BUILD_BIN_DIR + "/kvprint --root '" +
                              root_ + "' --demo >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_GE(FormFeeds(ReadFile(dir_ + "/kvprint-output.prn")), 5u);
}

TEST_F(KvprintTest, AFilePortPrinterGetsTheJob) {
  ASSERT_EQ(RunTool("kvprinter", root_, "install").status, 0);
  ASSERT_EQ(RunTool("kvprinter", root_, "add Desk --driver pcl5e --port 'C:\\out\\desk.prn'").status, 0);
  std::filesystem::create_directories(root_ + "/C/out");
  Outcome run = Kvprint("--printer Desk --demo -o nup=4");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string stream = ReadFile(root_ + "/C/out/desk.prn");
  EXPECT_EQ(stream.rfind("\x1B%-12345X@PJL JOB NAME=", 0), 0u);
  EXPECT_EQ(FormFeeds(stream), 2u) << "seven pages on two 4-up sheets";
}

TEST_F(KvprintTest, BadRequestsFailClearlyAndPrintNothing) {
  const std::string out = dir_ + "/never.prn";
  struct Case {
    const char* args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"", 2, "nothing to print"},
      {"--demo --frobnicate", 2, "unknown option"},
      {"--demo --printer", 2, "--printer needs a value"},
      {"--demo -o notAField=1", 2, "notAField"},
      {"--demo -o dmCopies=many", 2, "dmCopies"},
      {"--demo -o duplex=sideways", 2, "not a duplex"},
      {"--demo -o paper=Napkin", 2, "not a paper"},
      {"--demo --printer Nobody", 1, "no such printer"},
      {"--demo /etc/hostname", 2, "one document"},
      {"/bin/sh", 1, "not a text file"},
      {"picture.png --at 10", 2, "--at takes X,Y"},
      {"picture.png --size -3", 2, "--size takes W"},
      {"'/no/such/file'", 1, "cannot read"},
  };
  for (const Case& c : cases) {
    Outcome run = Kvprint("--output '" + out + "' " + c.args);
    EXPECT_EQ(run.status, c.status) << c.args << ": " << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << c.args << ": " << run.output;
    EXPECT_FALSE(std::filesystem::exists(out)) << c.args;
  }
}

TEST_F(KvprintTest, APictureIsPrintedAsRasterFittedOrPlaced) {
  // A small gray picture: a ramp, 64 x 16.
  std::vector<std::uint8_t> ramp(64 * 16);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>((i % 64) * 4);
  const std::string picture = dir_ + "/ramp.png";
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = 64;
  png.height = 16;
  png.format = PNG_FORMAT_GRAY;
  ASSERT_TRUE(png_image_write_to_file(&png, picture.c_str(), 0, ramp.data(), 0, nullptr));

  const std::string out = dir_ + "/picture.prn";
  for (const std::string& placement : {std::string(""), std::string("--at 20,30 --size 50")}) {
    Outcome run = Kvprint("--output '" + out + "' '" + picture + "' " + placement);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("printed 1 page of \"ramp.png\""), std::string::npos) << run.output;
    const std::string stream = ReadFile(out);
    EXPECT_NE(stream.find("\x1B*r"), std::string::npos) << "raster graphics for " << placement;
    EXPECT_EQ(FormFeeds(stream), 1u);
  }
}

TEST_F(KvprintTest, AJobThatCannotBeDeliveredFails) {
  Outcome run = Kvprint("--demo --output '" + dir_ + "/missing/folder/out.prn'");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("not delivered"), std::string::npos) << run.output;
}

}  // namespace
