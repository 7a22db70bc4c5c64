// Documents through a printer DC: pages reach the graphics library and the
// job reaches the port whole, or (aborted, a write lost, the DC deleted
// mid-job) nothing does. The exact bytes are the library's tests; these
// check the frame of the job and the page count.
#include <algorithm>

#include "gdi_fixture.h"
#include "kvplat/fault.h"

namespace {

using gditest::AsDevmode;
using gditest::Dc;
using gditest::Devmode;
using gditest::GdiTest;
using gditest::ReadHostFile;

constexpr char kJobStart[] = "\x1B%-12345X@PJL JOB NAME=";

int PrintPages(HDC dc, int pages) {
  for (int i = 0; i < pages; ++i) {
    if (StartPage(dc) <= 0) return i;
    if (EndPage(dc) <= 0) return i;
  }
  return pages;
}

std::size_t FormFeeds(const std::string& stream) {
  return static_cast<std::size_t>(std::count(stream.begin(), stream.end(), '\x0C'));
}

TEST_F(GdiTest, DocumentReachesThePortWithEveryPage) {
  for (int pages : {1, 3}) {
    std::filesystem::remove(port_);
    Dc dc(Create());
    ASSERT_NE(dc.get(), nullptr);
    DOCINFOW doc{sizeof(DOCINFOW), u"Quarterly report", nullptr, nullptr, 0};
    const int job = StartDocW(dc.get(), &doc);
    ASSERT_GT(job, 0) << GetLastError();
    EXPECT_EQ(PrintPages(dc.get(), pages), pages);
    EXPECT_FALSE(PortWritten()) << "nothing reaches the port before the end";
    ASSERT_GT(EndDoc(dc.get()), 0) << GetLastError();

    const std::string stream = ReadHostFile(port_);
    EXPECT_EQ(stream.rfind(std::string(kJobStart) + "\"Quarterly report\"\r\n", 0), 0u)
        << stream.substr(0, 64);
    EXPECT_EQ(FormFeeds(stream), static_cast<std::size_t>(pages));
    EXPECT_NE(stream.find("@PJL EOJ NAME=\"Quarterly report\""), std::string::npos);
    EXPECT_TRUE(SpoolFiles().empty());
  }
}

TEST_F(GdiTest, OneDcRunsDocumentsOneAfterTheOther) {
  Dc dc(Create());
  ASSERT_NE(dc.get(), nullptr);
  // Whole, aborted, whole again: each starts afresh.
  const char16_t* names[] = {u"first", u"second", u"third"};
  int lastJob = 0;
  for (int i = 0; i < 3; ++i) {
    DOCINFOW doc{sizeof(DOCINFOW), names[i], nullptr, nullptr, 0};
    const int job = StartDocW(dc.get(), &doc);
    ASSERT_GT(job, 0) << i;
    EXPECT_NE(job, lastJob);
    lastJob = job;
    EXPECT_EQ(PrintPages(dc.get(), i + 1), i + 1) << i;
    if (i == 1) {
      ASSERT_EQ(AbortDoc(dc.get()), 1);
      continue;
    }
    ASSERT_GT(EndDoc(dc.get()), 0) << i;
    const std::string stream = ReadHostFile(port_);
    EXPECT_EQ(stream.rfind(std::string(kJobStart) + "\"" + kvplat::ToUtf8(names[i]) + "\"", 0), 0u);
    EXPECT_EQ(FormFeeds(stream), static_cast<std::size_t>(i + 1));
  }
}

TEST_F(GdiTest, AnOutputNameTakesTheJobWhateverThePort) {
  Dc dc(Create());
  ASSERT_NE(dc.get(), nullptr);
  const std::string out = root_.path() + "/elsewhere.prn";
  const std::u16string winOut = kvplat::WinPath(out);
  DOCINFOW doc{sizeof(DOCINFOW), u"to a file", winOut.c_str(), nullptr, 0};
  ASSERT_GT(StartDocW(dc.get(), &doc), 0);
  PrintPages(dc.get(), 1);
  ASSERT_GT(EndDoc(dc.get()), 0) << GetLastError();
  EXPECT_EQ(ReadHostFile(out).rfind(kJobStart, 0), 0u);
  EXPECT_FALSE(PortWritten());
}

TEST_F(GdiTest, AFileOnlyPortNeedsAnOutputName) {
  std::string error;
  const kvtools::DriverPackage* package = kvtools::FindPackage("pcl5e");
  ASSERT_TRUE(kvtools::AddPrinter(u"Ask", *package, u"FILE:", &error)) << error;
  Dc dc(CreateDCW(nullptr, u"Ask", nullptr, nullptr));
  ASSERT_NE(dc.get(), nullptr);
  DOCINFOW nameless{sizeof(DOCINFOW), u"x", nullptr, nullptr, 0};
  EXPECT_EQ(StartDocW(dc.get(), &nameless), SP_ERROR);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  const std::string out = root_.path() + "/asked.prn";
  const std::u16string winOut = kvplat::WinPath(out);
  DOCINFOW named{sizeof(DOCINFOW), u"x", winOut.c_str(), nullptr, 0};
  ASSERT_GT(StartDocW(dc.get(), &named), 0) << GetLastError();
  PrintPages(dc.get(), 2);
  ASSERT_GT(EndDoc(dc.get()), 0) << GetLastError();
  EXPECT_EQ(FormFeeds(ReadHostFile(out)), 2u);
}

// Every way a document can end without being delivered.
TEST_F(GdiTest, AnEndedJobThatIsNotWholeDeliversNothing) {
  struct Case {
    const char* what;
    bool deletesDc;
    void (*finish)(HDC dc);
  };
  const Case cases[] = {
      {"AbortDoc between pages", false, [](HDC dc) { EXPECT_EQ(AbortDoc(dc), 1); }},
      {"AbortDoc inside a page", false,
       [](HDC dc) {
         ASSERT_GT(StartPage(dc), 0);
         EXPECT_EQ(AbortDoc(dc), 1);
         EXPECT_EQ(EndPage(dc), SP_ERROR) << "the document is over";
         EXPECT_EQ(GetLastError(), ERROR_SPL_NO_STARTDOC);
       }},
      {"DeleteDC with the document running", true, [](HDC dc) { EXPECT_TRUE(DeleteDC(dc)); }},
  };
  for (const Case& c : cases) {
    Dc dc(Create());
    ASSERT_NE(dc.get(), nullptr);
    DOCINFOW doc{sizeof(DOCINFOW), u"dropped", nullptr, nullptr, 0};
    ASSERT_GT(StartDocW(dc.get(), &doc), 0);
    EXPECT_EQ(PrintPages(dc.get(), 2), 2);
    c.finish(c.deletesDc ? dc.release() : dc.get());
    EXPECT_FALSE(PortWritten()) << c.what;
    EXPECT_TRUE(SpoolFiles().empty()) << c.what;
  }
}

TEST_F(GdiTest, ALostWriteMakesEndDocFailAndDeliverNothing) {
  // An earlier job on the port stays as it was.
  std::string earlier;
  {
    Dc dc(Create());
    ASSERT_NE(dc.get(), nullptr);
    DOCINFOW doc{sizeof(DOCINFOW), u"earlier", nullptr, nullptr, 0};
    ASSERT_GT(StartDocW(dc.get(), &doc), 0);
    PrintPages(dc.get(), 3);
    ASSERT_GT(EndDoc(dc.get()), 0);
    earlier = ReadHostFile(port_);
  }
  // At the first byte, inside the header, and late in the job.
  for (const std::size_t passes : {std::size_t{0}, std::size_t{40}, earlier.size() - 20}) {
    Dc dc(Create());
    ASSERT_NE(dc.get(), nullptr);
    DOCINFOW doc{sizeof(DOCINFOW), u"faulty", nullptr, nullptr, 0};
    ASSERT_GT(StartDocW(dc.get(), &doc), 0);
    kvplat::fault::FailAfter(kvplat::fault::Point::WritePrinter, passes);
    PrintPages(dc.get(), 3);  // the library may notice at any page
    SetLastError(ERROR_SUCCESS);
    EXPECT_LE(EndDoc(dc.get()), 0) << passes;
    EXPECT_NE(GetLastError(), ERROR_SUCCESS) << passes;
    kvplat::fault::ClearAll();
    EXPECT_EQ(ReadHostFile(port_), earlier) << passes;
    EXPECT_TRUE(SpoolFiles().empty()) << passes;
  }
}

TEST_F(GdiTest, TheSpoolerDropsAJobThatLostAWrite) {
  DOC_INFO_1W info{const_cast<LPWSTR>(u"raw"), nullptr, nullptr};
  ASSERT_GT(StartDocPrinterW(printer_, 1, reinterpret_cast<LPBYTE>(&info)), 0u);
  char data[100] = {};
  DWORD written = 0;
  ASSERT_TRUE(WritePrinter(printer_, data, sizeof data, &written));
  kvplat::fault::FailAfter(kvplat::fault::Point::WritePrinter, 10, 1);
  EXPECT_FALSE(WritePrinter(printer_, data, sizeof data, &written));
  EXPECT_EQ(written, 10u);
  // Later writes pass again, but the job already misses bytes.
  ASSERT_TRUE(WritePrinter(printer_, data, sizeof data, &written));
  EXPECT_FALSE(EndDocPrinter(printer_));
  EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
  EXPECT_FALSE(PortWritten());
  EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(GdiTest, AResetBetweenPagesKeepsTheDocumentGoing) {
  const std::vector<BYTE> a4 = Devmode({"dmPaperSize=9", "dmPrintQuality=600"});
  const std::vector<BYTE> landscape = Devmode({"dmPaperSize=9", "dmPrintQuality=600", "dmOrientation=2"});
  Dc dc(Create(&a4));
  ASSERT_NE(dc.get(), nullptr);
  DOCINFOW doc{sizeof(DOCINFOW), u"turning", nullptr, nullptr, 0};
  ASSERT_GT(StartDocW(dc.get(), &doc), 0);
  EXPECT_EQ(PrintPages(dc.get(), 1), 1);
  ASSERT_GT(StartPage(dc.get()), 0);
  EXPECT_EQ(ResetDCW(dc.get(), AsDevmode(landscape)), nullptr) << "not inside a page";
  ASSERT_GT(EndPage(dc.get()), 0);
  ASSERT_EQ(ResetDCW(dc.get(), AsDevmode(landscape)), dc.get()) << GetLastError();
  EXPECT_GT(GetDeviceCaps(dc.get(), HORZRES), GetDeviceCaps(dc.get(), VERTRES));
  EXPECT_EQ(PrintPages(dc.get(), 1), 1);
  ASSERT_GT(EndDoc(dc.get()), 0) << GetLastError();
  const std::string stream = ReadHostFile(port_);
  EXPECT_EQ(stream.rfind(kJobStart, 0), 0u);
  EXPECT_EQ(FormFeeds(stream), 3u);
  EXPECT_EQ(stream.find(kJobStart, 1), std::string::npos) << "one job, one header";
}

TEST_F(GdiTest, DocumentCallsOutOfOrderFail) {
  Dc dc(Create());
  ASSERT_NE(dc.get(), nullptr);
  struct Step {
    const char* what;
    int (*call)(HDC);
    DWORD error;
  };
  const Step withoutDocument[] = {
      {"StartPage", StartPage, ERROR_SPL_NO_STARTDOC},
      {"EndPage", EndPage, ERROR_SPL_NO_STARTDOC},
      {"EndDoc", EndDoc, ERROR_SPL_NO_STARTDOC},
      {"AbortDoc", AbortDoc, ERROR_SPL_NO_STARTDOC},
  };
  for (const Step& s : withoutDocument) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(s.call(dc.get()), SP_ERROR) << s.what;
    EXPECT_EQ(GetLastError(), s.error) << s.what;
  }
  EXPECT_EQ(StartDocW(dc.get(), nullptr), SP_ERROR);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  DOCINFOW doc{sizeof(DOCINFOW), nullptr, nullptr, nullptr, 0};
  ASSERT_GT(StartDocW(dc.get(), &doc), 0);
  EXPECT_EQ(StartDocW(dc.get(), &doc), SP_ERROR) << "a document is running";
  EXPECT_EQ(EndPage(dc.get()), SP_ERROR) << "no page open";
  ASSERT_GT(StartPage(dc.get()), 0);
  EXPECT_EQ(StartPage(dc.get()), SP_ERROR) << "a page is open";
  // EndDoc ends the open page first.
  ASSERT_GT(EndDoc(dc.get()), 0);
  const std::string stream = ReadHostFile(port_);
  EXPECT_EQ(stream.rfind(std::string(kJobStart) + "\"Unknow\"", 0), 0u) << "a nameless document";
  EXPECT_EQ(FormFeeds(stream), 1u);
}

}  // namespace
