// Print jobs: WritePrinter appends to the job, EndDocPrinter delivers it to
// the port (file, folder, FILE: with the document's output name, raw TCP),
// AbortPrinter and failed writes drop it.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "spooler_fixture.h"

namespace {

namespace fs = std::filesystem;
using spooltest::Printer;
using spooltest::ReadHostFile;

// A one-connection raw printer on 127.0.0.1 with an ephemeral port: accepts
// within `acceptMs`, then reads until the client ends its side.
class LoopbackPrinter {
 public:
  explicit LoopbackPrinter(int acceptMs = 10000) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "cannot listen on the loopback interface";
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, acceptMs] { Serve(acceptMs); });
  }
  ~LoopbackPrinter() { Finish(); }

  std::u16string PortName() const { return u"socket://127.0.0.1:" + kvplat::ToUtf16(std::to_string(port_)); }
  // Waits for the connection to end; what the printer received.
  const std::string& Finish() {
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    return received_;
  }
  bool connected() const { return connected_; }

 private:
  void Serve(int acceptMs) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, acceptMs) != 1) return;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    connected_ = true;
    char chunk[16384];
    for (;;) {
      pollfd q{fd, POLLIN, 0};
      if (::poll(&q, 1, 10000) != 1) break;
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      received_.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
  }

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::string received_;
  bool connected_ = false;
};

class JobTest : public spooltest::SpoolerTest {
 protected:
  // Adds printer "P" on `port` and opens it.
  Printer AddOnPort(std::u16string port) {
    if (!Add(u"P", port)) {
      ADD_FAILURE() << "AddPrinterW: " << GetLastError();
      return Printer();
    }
    return Open(u"P");
  }

  static DWORD Start(HANDLE h, std::u16string output = {}, std::u16string datatype = {}) {
    std::u16string doc = u"Test page";
    DOC_INFO_1W info{doc.data(), output.empty() ? nullptr : output.data(),
                     datatype.empty() ? nullptr : datatype.data()};
    return StartDocPrinterW(h, 1, reinterpret_cast<LPBYTE>(&info));
  }

  static bool Write(HANDLE h, const std::string& data, DWORD* written = nullptr) {
    DWORD dummy = 0;
    return WritePrinter(h, const_cast<char*>(data.data()), static_cast<DWORD>(data.size()),
                        written != nullptr ? written : &dummy);
  }

  std::vector<std::string> SpoolFiles() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(kvplat::HostPath(u"C:\\Windows\\System32\\spool\\PRINTERS"), ec)) {
      files.push_back(e.path().filename().string());
    }
    return files;
  }

  static std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + i % 23);
    return s;
  }
};

TEST_F(JobTest, FilePortGetsTheWholeJobOnlyWhenItEnds) {
  fs::create_directories(kvplat::HostPath(u"C:\\out"));
  Printer p = AddOnPort(u"C:\\out\\job.prn");
  const std::string out = kvplat::HostPath(u"C:\\out\\job.prn");
  spooltest::WriteHostFile(out, Pattern(10000) + "old tail that must not survive");

  const DWORD id = Start(p.get());
  ASSERT_GT(id, 0u) << GetLastError();
  const std::string data = "\x1B%-12345X@PJL\r\n" + Pattern(70000);
  DWORD written = 0;
  ASSERT_TRUE(Write(p.get(), data.substr(0, 4096), &written));
  EXPECT_EQ(written, 4096u);
  ASSERT_TRUE(StartPagePrinter(p.get()));
  ASSERT_TRUE(Write(p.get(), data.substr(4096), &written));
  EXPECT_EQ(written, data.size() - 4096);
  ASSERT_TRUE(EndPagePrinter(p.get()));
  EXPECT_EQ(SpoolFiles().size(), 1u);
  EXPECT_NE(ReadHostFile(out), data);  // nothing delivered before the end

  ASSERT_TRUE(EndDocPrinter(p.get())) << GetLastError();
  EXPECT_EQ(ReadHostFile(out), data);
  EXPECT_TRUE(SpoolFiles().empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(kvplat::HostPath(u"C:\\out")), fs::directory_iterator()), 1);

  // Job ids keep growing, also across handles.
  Printer q = Open(u"P");
  const DWORD second = Start(p.get()), third = Start(q.get());
  EXPECT_GT(second, id);
  EXPECT_NE(third, second);
}

TEST_F(JobTest, HostPathsOutsideTheRootAreReachedThroughDriveZ) {
  const std::string dir = kvtest::MakeTempDir("kvspool-out-");
  Printer p = AddOnPort(u"Z:" + kvplat::ToUtf16(dir) + u"/x.prn");
  ASSERT_GT(Start(p.get()), 0u);
  ASSERT_TRUE(Write(p.get(), "E"));
  ASSERT_TRUE(EndDocPrinter(p.get())) << GetLastError();
  EXPECT_EQ(ReadHostFile(dir + "/x.prn"), "E");
  fs::remove_all(dir);
}

TEST_F(JobTest, FilePortTakesTheDocumentsOutputName) {
  Printer p = AddOnPort(u"FILE:");
  ASSERT_GT(Start(p.get(), u"C:\\Windows\\Temp\\WMTempfile.tmp"), 0u);
  ASSERT_TRUE(Write(p.get(), "capture"));
  ASSERT_TRUE(EndDocPrinter(p.get())) << GetLastError();
  EXPECT_EQ(ReadHostFile(kvplat::HostPath(u"C:\\Windows\\Temp\\WMTempfile.tmp")), "capture");

  // Without an output name there is nowhere to deliver: the job fails and is dropped.
  ASSERT_GT(Start(p.get()), 0u);
  ASSERT_TRUE(Write(p.get(), "lost"));
  EXPECT_FALSE(EndDocPrinter(p.get()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(SpoolFiles().empty());
  EXPECT_FALSE(EndDocPrinter(p.get()));
  EXPECT_EQ(GetLastError(), ERROR_SPL_NO_STARTDOC);
}

TEST_F(JobTest, OutputNameOverridesAPrinterPort) {
  Printer p = AddOnPort(u"C:\\port.prn");
  ASSERT_GT(Start(p.get(), u"C:\\doc.prn"), 0u);
  ASSERT_TRUE(Write(p.get(), "doc"));
  ASSERT_TRUE(EndDocPrinter(p.get()));
  EXPECT_EQ(ReadHostFile(kvplat::HostPath(u"C:\\doc.prn")), "doc");
  EXPECT_FALSE(fs::exists(kvplat::HostPath(u"C:\\port.prn")));
}

TEST_F(JobTest, FolderPortKeepsEveryJob) {
  fs::create_directories(kvplat::HostPath(u"C:\\jobs"));
  Printer p = AddOnPort(u"C:\\jobs\\");
  for (const char* text : {"first", "second"}) {
    ASSERT_GT(Start(p.get()), 0u);
    ASSERT_TRUE(Write(p.get(), text));
    ASSERT_TRUE(EndDocPrinter(p.get())) << GetLastError();
  }
  std::vector<std::string> contents;
  for (const auto& e : fs::directory_iterator(kvplat::HostPath(u"C:\\jobs"))) {
    EXPECT_EQ(e.path().extension(), ".prn");
    contents.push_back(ReadHostFile(e.path().string()));
  }
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{"first", "second"}));
}

TEST_F(JobTest, SocketPortSendsTheJobToTheListener) {
  LoopbackPrinter printer;
  Printer p = AddOnPort(printer.PortName());
  const std::string data = Pattern(3 * 1024 * 1024);  // more than the socket buffers hold
  ASSERT_GT(Start(p.get()), 0u);
  for (std::size_t at = 0; at < data.size(); at += 4096) ASSERT_TRUE(Write(p.get(), data.substr(at, 4096)));
  ASSERT_TRUE(EndDocPrinter(p.get())) << GetLastError();
  EXPECT_EQ(printer.Finish(), data);
}

TEST_F(JobTest, SocketWithoutListenerFailsTheJob) {
  std::u16string port;
  {
    LoopbackPrinter closed(0);  // listens briefly, then its port is free again
    port = closed.PortName();
  }
  Printer p = AddOnPort(port);
  ASSERT_GT(Start(p.get()), 0u);
  ASSERT_TRUE(Write(p.get(), "data"));
  EXPECT_FALSE(EndDocPrinter(p.get()));
  EXPECT_EQ(GetLastError(), ERROR_CONNECTION_REFUSED);
  EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(JobTest, AbortedAndAbandonedJobsReachNoPort) {
  const std::string out = kvplat::HostPath(u"C:\\kept.prn");
  spooltest::WriteHostFile(out, "earlier job");
  Printer p = AddOnPort(u"C:\\kept.prn");
  ASSERT_GT(Start(p.get()), 0u);
  ASSERT_TRUE(Write(p.get(), "aborted"));
  ASSERT_TRUE(AbortPrinter(p.get()));
  EXPECT_TRUE(SpoolFiles().empty());
  EXPECT_FALSE(Write(p.get(), "more"));
  EXPECT_EQ(GetLastError(), ERROR_SPL_NO_STARTDOC);
  EXPECT_FALSE(AbortPrinter(p.get()));
  EXPECT_EQ(GetLastError(), ERROR_SPL_NO_STARTDOC);

  {
    Printer q = Open(u"P");
    ASSERT_GT(Start(q.get()), 0u);
    ASSERT_TRUE(Write(q.get(), "closed with the job open"));
  }
  EXPECT_TRUE(SpoolFiles().empty());
  EXPECT_EQ(ReadHostFile(out), "earlier job");
}

TEST_F(JobTest, WriteFaultWritesOnlyTheAllowedPartAndTheAbortedJobSendsNothing) {
  LoopbackPrinter printer(200);
  Printer p = AddOnPort(printer.PortName());
  ASSERT_GT(Start(p.get()), 0u);
  kvplat::fault::FailAfter(kvplat::fault::Point::WritePrinter, 5000);
  DWORD written = 0;
  ASSERT_TRUE(Write(p.get(), Pattern(4096), &written));
  EXPECT_EQ(written, 4096u);
  EXPECT_FALSE(Write(p.get(), Pattern(4096), &written));
  EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
  EXPECT_EQ(written, 5000u - 4096u);
  EXPECT_FALSE(Write(p.get(), "x", &written));
  EXPECT_EQ(written, 0u);
  kvplat::fault::ClearAll();
  // The driver reacts to the incomplete write by aborting the job.
  ASSERT_TRUE(AbortPrinter(p.get()));
  EXPECT_TRUE(printer.Finish().empty());
  EXPECT_FALSE(printer.connected());
}

TEST_F(JobTest, JobCallsInTheWrongState) {
  Printer p = AddOnPort(u"C:\\x.prn");
  DWORD written = 7;
  EXPECT_FALSE(Write(p.get(), "x", &written));
  EXPECT_EQ(GetLastError(), ERROR_SPL_NO_STARTDOC);
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(StartPagePrinter(p.get()));
  EXPECT_EQ(GetLastError(), ERROR_SPL_NO_STARTDOC);
  EXPECT_EQ(Start(p.get(), {}, u"NT EMF 1.008"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATATYPE);
  ASSERT_GT(Start(p.get(), {}, u"RAW"), 0u);
  EXPECT_EQ(Start(p.get()), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINTER_STATE);
  EXPECT_FALSE(WritePrinter(p.get(), const_cast<char*>("x"), 1, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  int notAHandle = 0;
  EXPECT_FALSE(WritePrinter(&notAHandle, const_cast<char*>("x"), 1, &written));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(JobTest, FailedDeliveryToAMissingFolderIsReported) {
  Printer p = AddOnPort(u"C:\\no\\such\\folder\\x.prn");
  ASSERT_GT(Start(p.get()), 0u);
  ASSERT_TRUE(Write(p.get(), "x"));
  EXPECT_FALSE(EndDocPrinter(p.get()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(SpoolFiles().empty());
}

}  // namespace
