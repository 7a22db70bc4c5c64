// Whole jobs printed with kvprint and read back through the stream decoder:
// the order of pages on sheets, booklets, fitting, forms, and a few golden
// streams of canonical jobs (set KV_UPDATE_GOLDEN=1 to rewrite them, then
// review the difference by eye).
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/run_tool.h"
#include "support/test_root.h"
#include "tools/pcldump/pcl_decoder.h"

namespace {

namespace pcl = kvtools::pcl;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class PrintJobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = kvtest::MakeTempDir("kvjobs-");
    root_ = dir_ + "/root";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Prints the demo document with the options and returns the raw stream.
  std::string Print(const std::vector<std::string>& options) {
    const std::string out = dir_ + "/job.prn";
    std::string args = "--demo --output '" + out + "'";
    for (const std::string& option : options) args += " -o '" + option + "'";
    const kvtest::Outcome run = kvtest::RunTool("kvprint", root_, args);
    EXPECT_EQ(run.status, 0) << run.output;
    return ReadFile(out);
  }
  std::vector<pcl::Command> Decoded(const std::vector<std::string>& options) {
    return pcl::Decode(Print(options));
  }

  // The cursor positions the picture frames are anchored at, page by page:
  // the position just before each frame anchor (ESC *c0T).
  static std::vector<std::pair<long, long>> Anchors(const std::vector<pcl::Command>& commands) {
    std::vector<std::pair<long, long>> anchors;
    long x = 0, y = 0;
    for (const pcl::Command& c : commands) {
      if (pcl::Key(c) == "ESC *p#X") x = static_cast<long>(c.value);
      if (pcl::Key(c) == "ESC *p#Y") y = static_cast<long>(c.value);
      if (c.name == "ESC *c0T") anchors.emplace_back(x, y);
    }
    return anchors;
  }

  std::string dir_;
  std::string root_;
};

TEST_F(PrintJobsTest, EightUpFillsTheSheetInEachOrder) {
  struct Case {
    int columnFirst, rightToLeft;
  };
  for (const Case& c : {Case{0, 0}, Case{0, 1}, Case{1, 0}, Case{1, 1}}) {
    SCOPED_TRACE("column first " + std::to_string(c.columnFirst) + ", right to left " +
                 std::to_string(c.rightToLeft));
    const auto commands = Decoded({"reverseOrder=0", "paper=A4", "nupEnabled=1", "nupPages=8",
                                   "nupColumnFirst=" + std::to_string(c.columnFirst),
                                   "nupRightToLeft=" + std::to_string(c.rightToLeft)});
    const auto anchors = Anchors(commands);
    ASSERT_EQ(anchors.size(), 7u);  // the demo's 7 pages on one sheet
    // Portrait pages, eight to a landscape sheet: four columns, two rows.
    const long dx = anchors[0].first;
    const auto& second = anchors[1];
    if (c.columnFirst) {
      EXPECT_EQ(second.first, anchors[0].first);
      EXPECT_GT(second.second, anchors[0].second);
      EXPECT_EQ(anchors[2].second, anchors[0].second);
      EXPECT_EQ(anchors[2].first > dx, c.rightToLeft == 0);
    } else {
      EXPECT_EQ(second.second, anchors[0].second);
      EXPECT_EQ(second.first > dx, c.rightToLeft == 0);
      EXPECT_GT(anchors[4].second, anchors[0].second) << "the fifth page starts the second row";
      EXPECT_EQ(anchors[4].first, anchors[0].first);
    }
    EXPECT_EQ(pcl::Count(commands, "ESC &l1O"), 1u) << "a landscape sheet";
    EXPECT_EQ(pcl::Count(commands, "FF"), 0u) << "the sheet is not full";
  }
}

TEST_F(PrintJobsTest, ABookletOfSevenPagesTakesFourSides) {
  const auto commands = Decoded({"bookletPaperSize=9", "paper=A4", "duplex=long"});
  EXPECT_EQ(pcl::Count(commands, "FF"), 4u);
  EXPECT_EQ(pcl::PjlSetting(commands, "BINDING"), "SHORTEDGE");
  EXPECT_EQ(Anchors(commands).size(), 7u);
  EXPECT_EQ(pcl::Count(commands, "@PJL JOB NAME=\"Kelvaro demo\""), 1u);
}

TEST_F(PrintJobsTest, FittingAndScalingChangeTheSheetAndTheFrame) {
  auto fitted = Decoded({"reverseOrder=0", "paper=A4", "zoomMode=2", "fitPaperSize=5"});
  EXPECT_EQ(pcl::Count(fitted, "ESC &l3A"), 7u) << "every sheet is Legal";
  auto half = Decoded({"reverseOrder=0", "paper=A4", "scalePercent=50"});
  // The frame spans the halved surface: 2330 x 3407 dots at 600 dpi in decipoints.
  EXPECT_EQ(pcl::Count(half, "ESC *c2797X"), 7u);
  EXPECT_EQ(pcl::Count(half, "ESC *c4089Y"), 7u);
}

TEST_F(PrintJobsTest, AFormIsRecordedOnceAndPrintedUnderEverySheet) {
  const auto recorded = Print({"reverseOrder=0", "formMode=2", "formFileName=C:\\forms\\memo.frm"});
  EXPECT_EQ(pcl::Count(pcl::Decode(recorded), "@PJL EOJ NAME=\"Kelvaro demo\""), 0u);
  const std::string form = ReadFile(root_ + "/C/Windows/System32/memo.frm");
  ASSERT_FALSE(form.empty());
  EXPECT_NE(form.find("\x1B*v0T"), std::string::npos);

  const std::string printed = Print({"reverseOrder=0", "formMode=1", "formFileName=memo.frm"});
  // The form's drawing, from its frame anchor on, under each of the 7 pages;
  // its closing form feed ends each page.
  const std::string drawing = form.substr(form.find("\x1B*v0T"));
  int copies = 0;
  for (std::size_t at = printed.find(drawing); at != std::string::npos;
       at = printed.find(drawing, at + 1)) {
    ++copies;
  }
  EXPECT_EQ(copies, 7);
  EXPECT_EQ(pcl::Count(pcl::Decode(printed), "FF"), 7u);
}

TEST_F(PrintJobsTest, StreamsDecodeWithoutProblems) {
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, {"nup=4", "duplex=short", "copies=3", "collate=1"},
        {"bookletPaperSize=9"}, {"rangeSourceMode=2", "rangeSource=4", "reverseOrder=0"},
        {"separatorSheet=1", "reverseOrder=0"}}) {
    const auto commands = Decoded(options);
    EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);
  }
}

// The frame of a job as readable text: PJL, the job and page set-up commands
// and form feeds one a line; the drawing between them as counts (HP-GL/2
// instructions, raster rows, text and cursor commands, soft font and pattern
// downloads), so that a change to the frame stands out when the file is
// reviewed and a page of text does not make the file a copy of the stream.
bool IsFrameCommand(const pcl::Command& c) {
  switch (c.kind) {
    case pcl::Kind::Pjl:
    case pcl::Kind::Uel:
    case pcl::Kind::Unknown:
      return true;
    case pcl::Kind::Text:
      return c.name == "FF";
    case pcl::Kind::Pcl: {
      // Reset, job and page set-up, picture frame.
      static constexpr std::string_view kFramePrefixes[] = {
          "ESC E", "ESC &l", "ESC &u", "ESC *t", "ESC *c#X", "ESC *c#Y", "ESC *c0T",
          "ESC &a#L", "ESC &a#M"};
      const std::string key = pcl::Key(c);
      for (std::string_view prefix : kFramePrefixes) {
        if (key.starts_with(prefix)) return true;
      }
      return false;
    }
    default:
      return false;
  }
}

std::string Frame(const std::vector<pcl::Command>& commands) {
  std::string text;
  std::size_t hpgl = 0, rows = 0, other = 0;
  auto flush = [&] {
    if (hpgl + rows + other == 0) return;
    text += "    (" + std::to_string(hpgl) + " HP-GL/2 instructions, " + std::to_string(rows) +
            " raster row entries, " + std::to_string(other) + " other drawing commands)\n";
    hpgl = rows = other = 0;
  };
  for (const pcl::Command& c : commands) {
    const std::string key = c.kind == pcl::Kind::Pcl ? pcl::Key(c) : std::string();
    if (c.kind == pcl::Kind::Hpgl) {
      ++hpgl;
    } else if (c.kind == pcl::Kind::Data || key == "ESC *b#W" || key == "ESC *b#V") {
      ++rows;
    } else if (IsFrameCommand(c)) {
      flush();
      text += pcl::ToText(c) + "\n";
    } else {
      ++other;
    }
  }
  flush();
  return text;
}

// Golden streams of canonical jobs, kept as the frame's text.
TEST_F(PrintJobsTest, GoldenStreams) {
  struct Golden {
    const char* name;
    std::vector<std::string> options;
  };
  const Golden goldens[] = {
      {"demo-default", {"paper=A4"}},
      {"demo-4up-duplex", {"paper=A4", "nup=4", "duplex=long", "reverseOrder=0"}},
      {"demo-booklet", {"paper=A4", "bookletPaperSize=9"}},
      {"demo-letter-300dpi-copies", {"paper=Letter", "dpi=300", "copies=2", "collate=1"}},
  };
  const bool update = std::getenv("KV_UPDATE_GOLDEN") != nullptr;
  for (const Golden& golden : goldens) {
    const std::string text = Frame(Decoded(golden.options));
    const std::string path = std::string(KV_SOURCE_DIR) + "/tests/golden/" + golden.name + ".txt";
    if (update) {
      std::ofstream(path, std::ios::binary) << text;
      continue;
    }
    EXPECT_EQ(text, ReadFile(path)) << golden.name << ": rewrite with KV_UPDATE_GOLDEN=1 and review";
  }
}

}  // namespace
