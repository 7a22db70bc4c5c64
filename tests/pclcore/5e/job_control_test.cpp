// The frame of a job: PJL header with the job options, PCL and HP-GL/2
// set-up, sheets and form feeds, end of job.
#include <string>

#include <gtest/gtest.h>

#include "job_fixture.h"
#include "pclcore/5e/pcl_device.h"

namespace {

using kvtest::Count;
using kvtest::JobFixture;

const std::string ESC = "\x1B";
const std::string FF = "\x0C";

class JobControlTest : public JobFixture {};

TEST_F(JobControlTest, OnePageJobByteForByte) {
  ASSERT_TRUE(Enable({"reverseOrder=0", "dmPaperSize=1", "dmPrintQuality=600"}));
  const std::string expected =
      ESC + "%-12345X@PJL JOB NAME=\"Test\"\r\n"
      "@PJL COMMENT Version For Windows NT4.0\n"
      "@PJL SET RESOLUTION=600\n"
      "@PJL SET ECONOMODE=OFF\n"
      "@PJL SET QTY=1\n"
      "@PJL SET ORIENTATION=PORTRAIT\n"
      "@PJL SET DUPLEX=OFF\n"
      "@PJL SET MEDIATYPE=PLAIN\n"
      "@PJL SET OUTBIN=UPPER\n"
      "@PJL SET ROTATE=OFF\n"
      "@PJL SET SHIFT=OFF\n"
      "@PJL ENTER LANGUAGE=PCL\r\n" +
      ESC + "E" + ESC + "*l1R" + ESC + "&u600D" + ESC + "&l1X" + ESC + "*t600R" + ESC + "%0B" +
      "WUAC16,4SP1PP1LO21PW0TD1IWSC0,1.6934,0,-1.6934,2RO0IR0,100,0,100CF2" +
      // The sheet: source, size and orientation, margins, picture frame.
      ESC + "%0A" + ESC + "&l7H" + ESC + "&l2a0O" + ESC + "&l1E" + ESC + "*r0F" + ESC + "*v0T" +
      ESC + "&b1M" + ESC + "*c5761x7681Y" + ESC + "*p0x0Y" + ESC + "*c0T" +
      // The page window, then back to PCL for the page's drawing.
      ESC + "%0BTR0IP0,0,1016,1016SC0,600,0,600" + ESC + "%0A" + FF +
      ESC + "%-12345X@PJL EOJ NAME=\"Test\"\r\n" + ESC + "%-12345X";
  EXPECT_EQ(Job(1), expected);
}

TEST_F(JobControlTest, ADocumentWithoutANameIsUnknow) {
  ASSERT_TRUE(Enable({"reverseOrder=0"}));
  const std::string stream = Job(1, nullptr);
  EXPECT_NE(stream.find("@PJL JOB NAME=\"Unknow\"\r\n"), std::string::npos);
  EXPECT_NE(stream.find("@PJL EOJ NAME=\"Unknow\"\r\n"), std::string::npos);
}

TEST_F(JobControlTest, CopiesAndCollation) {
  struct Case {
    std::initializer_list<std::string> options;
    const char* qty;
    const char* copiesLine;  // null: no COPIES line
    const char* pclCopies;
  };
  const Case cases[] = {
      {{"collate=1", "rotateSort=0", "dmCopies=3"}, "@PJL SET QTY=3\n", nullptr, "&l1X"},
      {{"collate=0", "rotateSort=0", "dmCopies=3"}, "@PJL SET QTY=1\n", nullptr, "&l3X"},
      {{"collate=0", "rotateSort=1", "dmCopies=3"}, "@PJL SET QTY=1\n", "@PJL SET COPIES=3\n", "&l3X"},
      {{"collate=1", "rotateSort=1", "dmCopies=3"}, "@PJL SET QTY=1\n", "@PJL SET COPIES=1\n", "&l3X"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options(c.options);
    options.push_back("reverseOrder=0");
    ASSERT_TRUE(Enable(options));
    const std::string stream = Job(1);
    EXPECT_NE(stream.find(c.qty), std::string::npos) << c.qty;
    EXPECT_EQ(stream.find("@PJL SET COPIES=") != std::string::npos, c.copiesLine != nullptr);
    if (c.copiesLine) {
      EXPECT_NE(stream.find(c.copiesLine), std::string::npos);
    }
    EXPECT_NE(stream.find(ESC + c.pclCopies), std::string::npos) << c.pclCopies;
  }
}

}  // namespace

namespace {

TEST_F(JobControlTest, DuplexBindingFollowsTheSheet) {
  struct Case {
    std::vector<std::string> options;
    const char* binding;
  };
  const Case cases[] = {
      {{"dmDuplex=2", "bindingEdge=0"}, "SHORTEDGE"},
      {{"dmDuplex=2", "bindingEdge=1"}, "LONGEDGE"},
      {{"dmDuplex=2", "bindingEdge=2"}, "LONGEDGE"},
      {{"dmDuplex=3", "bindingEdge=0", "nupPages=2"}, "LONGEDGE"},
      {{"dmDuplex=2", "bindingEdge=1", "dmOrientation=2"}, "SHORTEDGE"},
      {{"dmDuplex=2", "bindingEdge=0", "bookletPaperSize=9"}, "SHORTEDGE"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options = c.options;
    options.push_back("reverseOrder=0");
    ASSERT_TRUE(Enable(options));
    const std::string stream = Job(1);
    EXPECT_NE(stream.find(std::string("@PJL SET DUPLEX=ON\n@PJL SET BINDING=") + c.binding + "\n"),
              std::string::npos)
        << c.options.front() << " " << c.options[1];
  }
  ASSERT_TRUE(Enable({"reverseOrder=0", "dmDuplex=1"}));
  EXPECT_NE(Job(1).find("@PJL SET DUPLEX=OFF\n@PJL SET MEDIATYPE"), std::string::npos);
}

TEST_F(JobControlTest, GuttersInSixHundredthsOfAnInch) {
  ASSERT_TRUE(Enable({"reverseOrder=0", "dmDuplex=2", "bindingEdge=0", "frontGutter=100",
                      "backGutter=-50"}));
  std::string stream = Job(1);
  EXPECT_NE(stream.find("@PJL SET FRONTGUTTER=236\n@PJL SET BACKGUTTER=-118\n"), std::string::npos);
  // Bound on the right of a long-edge sheet: the front gutter turns negative.
  ASSERT_TRUE(Enable({"reverseOrder=0", "dmDuplex=2", "bindingEdge=2", "frontGutter=100"}));
  stream = Job(1);
  EXPECT_NE(stream.find("@PJL SET FRONTGUTTER=-236\n"), std::string::npos);
  // Booklets have none.
  ASSERT_TRUE(Enable({"dmDuplex=2", "bookletPaperSize=9", "frontGutter=100"}));
  stream = Job(1);
  EXPECT_NE(stream.find("@PJL SET FRONTGUTTER=0\n@PJL SET BACKGUTTER=0\n"), std::string::npos);
}

TEST_F(JobControlTest, JobOptionLines) {
  struct Case {
    std::vector<std::string> options;
    std::string expected;
  };
  const Case cases[] = {
      {{"tonerSave=1"}, "@PJL SET ECONOMODE=ON\n"},
      {{"dmPrintQuality=300"}, "@PJL SET RESOLUTION=300\n"},
      {{"dmOrientation=2"}, "@PJL SET ORIENTATION=LANDSCAPE\n"},
      {{"mediaType=2"}, "@PJL SET MEDIATYPE=TRANSPARENCY\n"},
      {{"mediaType=4"}, "@PJL SET MEDIATYPE=LETTERHEAD\n"},
      {{"outputBin=2"}, "@PJL SET OUTBIN=OPTIONALOUTBIN1\n"},
      {{"rotateSort=1"}, "@PJL SET ROTATE=ON\n"},
      {{"jobShift=1"}, "@PJL SET SHIFT=ON\n"},
      {{"jobSecurity=2"}, "@PJL ENTER LANGUAGE=PCL\r\n@PJL SET JOBSECURITY=CONFIDENTIAL\r\n"},
      {{"jobSecurity=1"}, "@PJL ENTER LANGUAGE=PCL\r\n@PJL SET JOBSECURITY=PROOF\r\n"},
      {{"dmPrintQuality=300"}, ESC + "&u300D"},
      {{"dmPrintQuality=300"}, "SC0,3.3868,0,-3.3868,2"},
      {{"dmDefaultSource=11"}, ESC + "&l5H"},
      {{"dmPaperSize=9"}, ESC + "&l26a0O"},
      {{"dmPaperSize=5", "dmOrientation=2"}, ESC + "&l3a1O"},
      {{"dmPaperSize=14"}, ESC + "&l114a0O"},
      // A user size: the page length in lines, and for landscape its offset.
      {{"dmPaperSize=256", "dmPaperWidth=2100", "dmPaperLength=2970"}, ESC + "&l101a4d1e44f0O"},
      {{"dmPaperSize=256", "dmPaperWidth=2100", "dmPaperLength=2970", "dmOrientation=2"},
       ESC + "&l101a1e47f-3144z1O"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options = c.options;
    options.push_back("reverseOrder=0");
    ASSERT_TRUE(Enable(options));
    EXPECT_NE(Job(1).find(c.expected), std::string::npos) << c.options.front();
  }
}

TEST_F(JobControlTest, LaterPagesOfASheetOnlyMoveThePictureFrame) {
  ASSERT_TRUE(Enable({"reverseOrder=0", "nupPages=4", "dmPaperSize=9"}));
  const std::string stream = Job(5);
  // Two sheets: the second starts with the fifth page.
  EXPECT_EQ(Count(stream, ESC + "&l7H"), 2);
  EXPECT_EQ(Count(stream, ESC + "&l26a"), 2);
  EXPECT_EQ(Count(stream, ESC + "*c0T"), 5);
  EXPECT_EQ(Count(stream, FF), 1);  // only the full sheet ends with a form feed
}

TEST_F(JobControlTest, EveryPageFromTheOtherSourceDefersItsFormFeed) {
  ASSERT_TRUE(Enable({"reverseOrder=0", "rangeSourceMode=2", "rangeSource=4"}));
  const std::string stream = Job(2);
  EXPECT_EQ(Count(stream, FF), 2);
  EXPECT_EQ(Count(stream, ESC + "&l2H"), 2);
  // The first form feed comes at the second page's start, the last at the end.
  const std::size_t firstFeed = stream.find(FF);
  EXPECT_GT(firstFeed, stream.find("SC0,600,0,600"));
  EXPECT_EQ(stream.find(FF + ESC + "%-12345X@PJL EOJ"), stream.rfind(FF));
}

TEST_F(JobControlTest, RangeAndSeparatorSources) {
  ASSERT_TRUE(Enable({"reverseOrder=0", "rangeSourceMode=3", "rangeSource=4", "rangeFirstPage=1",
                      "rangeLastPage=2"}));
  EXPECT_EQ(Count(Job(4), ESC + "&l2H"), 2);  // pages 2 and 3 (counted from 0: 1 and 2)
  ASSERT_TRUE(Enable({"reverseOrder=0", "rangeSourceMode=1", "rangeSource=11"}));
  EXPECT_EQ(Count(Job(3), ESC + "&l5H"), 1);
  ASSERT_TRUE(Enable({"reverseOrder=0", "separatorSheet=1", "separatorSource=2"}));
  const std::string stream = Job(2);
  EXPECT_EQ(Count(stream, FF + ESC + "&l8H" + FF), 2);
}

TEST_F(JobControlTest, ReverseOrderSendsTheHeaderOnceThenTheLastPageFirst) {
  ASSERT_TRUE(Enable({"reverseOrder=1"}));
  ASSERT_TRUE(StartDoc(u"Reverse"));
  for (int page = 0; page < 3; ++page) {
    ASSERT_TRUE(StartPage());
    const std::string marker = "PAGE" + std::to_string(page + 1);
    ASSERT_EQ(Escape(5000, static_cast<ULONG>(marker.size()), marker.data(), 0, nullptr), marker.size());
    ASSERT_TRUE(SendPage());
  }
  ASSERT_TRUE(EndDoc());
  const std::string stream = Delivered();
  EXPECT_EQ(Count(stream, "@PJL JOB NAME"), 1);
  const std::size_t p3 = stream.find("PAGE3"), p2 = stream.find("PAGE2"), p1 = stream.find("PAGE1");
  ASSERT_NE(p1, std::string::npos);
  EXPECT_LT(p3, p2);
  EXPECT_LT(p2, p1);
  EXPECT_EQ(Count(stream, FF), 3);
  EXPECT_LT(stream.find("@PJL JOB NAME"), p3);
  EXPECT_GT(stream.find("@PJL EOJ"), p1);
}

TEST_F(JobControlTest, PageCallsOutsideADocumentAbortTheJob) {
  ASSERT_TRUE(Enable({"reverseOrder=0"}));
  EXPECT_FALSE(SendPage()) << "no page open";
  EXPECT_FALSE(StartPage()) << "the job is aborted now";
  EXPECT_TRUE(EndDoc()) << "the end still frees the document";
}

TEST_F(JobControlTest, AFailingPortAbortsTheJobCleanly) {
  ASSERT_TRUE(Enable({"reverseOrder=1"}));
  kvplat::fault::FailAfter(kvplat::fault::Point::WritePrinter, 200);
  ASSERT_TRUE(StartDoc(u"Broken"));
  ASSERT_TRUE(StartPage());
  const std::string big(300000, 'x');
  Escape(5000, static_cast<ULONG>(big.size()), big.data(), 0, nullptr);
  ASSERT_TRUE(SendPage());
  // The replay at the end cannot reach the printer: every later call fails,
  // the end of the document still frees everything.
  EXPECT_TRUE(EndDoc());
  auto* pdev = reinterpret_cast<kv5e::PclPdev*>(device_->dhpdev);
  EXPECT_NE(pdev->flags & kv5e::kFlagAborted, 0u);
  EXPECT_EQ(pdev->storeFile, nullptr);
  EXPECT_EQ(pdev->storeView, nullptr);
  EXPECT_FALSE(StartPage());
  EXPECT_EQ(Delivered(), "") << "a failed job is not delivered";
}

}  // namespace
