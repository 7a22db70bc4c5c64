// Printer device contexts: creation with the job's or the printer's device
// mode, the capabilities the graphics library reported, resets, escapes and
// the arguments the calls refuse.
#include <cstring>

#include "gdi_fixture.h"

namespace {

using gditest::AsDevmode;
using gditest::Dc;
using gditest::Devmode;
using gditest::GdiTest;
using gditest::kPrinter;

struct Caps {
  int index;
  const char* name;
  int a4At600;
  int letterAt300;
};

// What the PCL 5e library reports for A4 at 600 dpi and Letter at 300 dpi.
constexpr Caps kCaps[] = {
    {TECHNOLOGY, "TECHNOLOGY", 2, 2},
    {HORZRES, "HORZRES", 4660, 2400},
    {PHYSICALWIDTH, "PHYSICALWIDTH", 4960, 2550},
    {PHYSICALHEIGHT, "PHYSICALHEIGHT", 7014, 3300},
    {PHYSICALOFFSETX, "PHYSICALOFFSETX", 150, 75},
    {LOGPIXELSX, "LOGPIXELSX", 600, 300},
    {LOGPIXELSY, "LOGPIXELSY", 600, 300},
    {HORZSIZE, "HORZSIZE", 197, 203},
};

void ExpectCaps(HDC dc, bool a4At600) {
  for (const Caps& c : kCaps) {
    EXPECT_EQ(GetDeviceCaps(dc, c.index), a4At600 ? c.a4At600 : c.letterAt300) << c.name;
  }
  // The printable area sits inside the paper at its offsets.
  EXPECT_LE(GetDeviceCaps(dc, HORZRES) + 2 * GetDeviceCaps(dc, PHYSICALOFFSETX),
            GetDeviceCaps(dc, PHYSICALWIDTH));
  EXPECT_LE(GetDeviceCaps(dc, VERTRES) + GetDeviceCaps(dc, PHYSICALOFFSETY),
            GetDeviceCaps(dc, PHYSICALHEIGHT));
}

TEST_F(GdiTest, CapabilitiesFollowTheDeviceModeAndResets) {
  const std::vector<BYTE> a4 = Devmode({"dmPaperSize=9", "dmPrintQuality=600"});
  Dc dc(Create(&a4));
  ASSERT_NE(dc.get(), nullptr) << GetLastError() << " " << kvplat::gdi::LastFailureText();
  ExpectCaps(dc.get(), true);
  EXPECT_EQ(GetDeviceCaps(dc.get(), VERTRES), 6814);
  EXPECT_EQ(GetDeviceCaps(dc.get(), PHYSICALOFFSETY), 100);
  EXPECT_NE(GetDeviceCaps(dc.get(), RASTERCAPS) & RC_BITBLT, 0);
  EXPECT_EQ(GetDeviceCaps(dc.get(), 9999), 0) << "unknown index";

  const std::vector<BYTE> letter = Devmode({"dmPaperSize=1", "dmPrintQuality=300"});
  ASSERT_EQ(ResetDCW(dc.get(), AsDevmode(letter)), dc.get()) << GetLastError();
  ExpectCaps(dc.get(), false);
  ASSERT_EQ(ResetDCW(dc.get(), AsDevmode(a4)), dc.get());
  ExpectCaps(dc.get(), true);
}

TEST_F(GdiTest, WithoutADeviceModeThePrintersStoredOneApplies) {
  // The printer was added with the default record; store A4 at 600 dpi.
  const std::vector<BYTE> a4 = Devmode({"dmPaperSize=9", "dmPrintQuality=600"});
  PRINTER_INFO_2W info{};
  std::vector<BYTE> stored = a4;
  DWORD needed = 0;
  GetPrinterW(printer_, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetPrinterW(printer_, 2, buffer.data(), needed, &needed));
  info = *reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  info.pDevMode = reinterpret_cast<DEVMODEW*>(stored.data());
  ASSERT_TRUE(SetPrinterW(printer_, 2, reinterpret_cast<LPBYTE>(&info), 0)) << GetLastError();

  Dc dc(CreateDCW(nullptr, kPrinter, nullptr, nullptr));
  ASSERT_NE(dc.get(), nullptr) << GetLastError();
  ExpectCaps(dc.get(), true);
  // A reset without a record goes back to the stored one.
  const std::vector<BYTE> letter = Devmode({"dmPaperSize=1", "dmPrintQuality=300"});
  ASSERT_EQ(ResetDCW(dc.get(), AsDevmode(letter)), dc.get());
  ASSERT_EQ(ResetDCW(dc.get(), nullptr), dc.get());
  ExpectCaps(dc.get(), true);
}

TEST_F(GdiTest, DeviceContextsOfOnePrinterShareItsGraphicsLibrary) {
  const std::vector<BYTE> a4 = Devmode({"dmPaperSize=9", "dmPrintQuality=600"});
  const std::vector<BYTE> letter = Devmode({"dmPaperSize=1", "dmPrintQuality=300"});
  HDC first = Create(&a4);
  Dc second(Create(&letter));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second.get(), nullptr);
  EXPECT_NE(first, second.get());
  ExpectCaps(first, true);
  ExpectCaps(second.get(), false);
  // The library stays enabled for the DC that is left.
  ASSERT_TRUE(DeleteDC(first));
  ASSERT_EQ(ResetDCW(second.get(), AsDevmode(a4)), second.get());
  ExpectCaps(second.get(), true);
  EXPECT_EQ(GetDeviceCaps(first, HORZRES), 0) << "a deleted DC is gone";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(GdiTest, CreationRefusesBadArguments) {
  std::vector<BYTE> tooShort = Devmode({});
  reinterpret_cast<DEVMODEW*>(tooShort.data())->dmSize = 40;
  struct Case {
    const char* what;
    LPCWSTR driver;
    LPCWSTR device;
    const DEVMODEW* devmode;
    DWORD error;
  };
  const Case cases[] = {
      {"unknown printer", u"WINSPOOL", u"Nobody", nullptr, ERROR_INVALID_PRINTER_NAME},
      {"no printer name", u"WINSPOOL", nullptr, nullptr, ERROR_INVALID_PARAMETER},
      {"empty printer name", nullptr, u"", nullptr, ERROR_INVALID_PARAMETER},
      {"record too short", nullptr, kPrinter, AsDevmode(tooShort), ERROR_INVALID_PARAMETER},
      {"display", u"DISPLAY", nullptr, nullptr, ERROR_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SetLastError(ERROR_SUCCESS);
    HDC dc = CreateDCW(c.driver, c.device, nullptr, c.devmode);
    EXPECT_EQ(dc, nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
    if (dc != nullptr) DeleteDC(dc);
  }
}

TEST_F(GdiTest, CallsOnSomethingThatIsNoDcFail) {
  const auto forged = reinterpret_cast<HDC>(static_cast<std::uintptr_t>(0x1234));
  for (HDC dc : {static_cast<HDC>(nullptr), forged}) {
    EXPECT_FALSE(DeleteDC(dc));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetDeviceCaps(dc, HORZRES), 0);
    EXPECT_EQ(ResetDCW(dc, nullptr), nullptr);
    DOCINFOW doc{sizeof(DOCINFOW), u"x", nullptr, nullptr, 0};
    EXPECT_EQ(StartDocW(dc, &doc), SP_ERROR);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(StartPage(dc), SP_ERROR);
    EXPECT_EQ(EndPage(dc), SP_ERROR);
    EXPECT_EQ(EndDoc(dc), SP_ERROR);
    EXPECT_EQ(AbortDoc(dc), SP_ERROR);
    EXPECT_EQ(ExtEscape(dc, QUERYESCSUPPORT, 0, nullptr, 0, nullptr), -1);
  }
  HDC dc = Create();
  ASSERT_NE(dc, nullptr);
  ASSERT_TRUE(DeleteDC(dc));
  EXPECT_FALSE(DeleteDC(dc)) << "deleting twice";
}

TEST_F(GdiTest, EscapesReachTheGraphicsLibrary) {
  Dc dc(Create());
  ASSERT_NE(dc.get(), nullptr);
  const int copyCount = SETCOPYCOUNT;
  EXPECT_EQ(ExtEscape(dc.get(), QUERYESCSUPPORT, sizeof copyCount,
                      reinterpret_cast<LPCSTR>(&copyCount), 0, nullptr),
            999);
  char technology[16] = {};
  EXPECT_EQ(ExtEscape(dc.get(), GETTECHNOLOGY, 0, nullptr, sizeof technology, technology), 1);
  EXPECT_STREQ(technology, "Quillcore");

  // The job's device mode comes back with the copy count just set.
  const int copies = 5000;
  int actual = 0;
  EXPECT_EQ(ExtEscape(dc.get(), SETCOPYCOUNT, sizeof copies, reinterpret_cast<LPCSTR>(&copies),
                      sizeof actual, reinterpret_cast<LPSTR>(&actual)),
            1);
  EXPECT_EQ(actual, 999);
  std::vector<char> record(1374);
  ASSERT_EQ(ExtEscape(dc.get(), 5002, 0, nullptr, static_cast<int>(record.size()), record.data()), 1);
  DEVMODEW got;
  std::memcpy(&got, record.data(), sizeof got);
  EXPECT_EQ(got.dmCopies, 999);
}

TEST_F(GdiTest, EscapeArgumentsAreCheckedBeforeTheLibrarySeesThem) {
  Dc dc(Create());
  ASSERT_NE(dc.get(), nullptr);
  char buffer[8] = {};
  struct Case {
    const char* what;
    int inSize;
    LPCSTR in;
    int outSize;
    LPSTR out;
  };
  const Case cases[] = {
      {"negative input size", -1, buffer, 0, nullptr},
      {"negative output size", 0, nullptr, -4, buffer},
      {"input size without input", 520, nullptr, 0, nullptr},
      {"output size without output", 0, nullptr, 1374, nullptr},
  };
  for (const Case& c : cases) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(ExtEscape(dc.get(), 20530, c.inSize, c.in, c.outSize, c.out), -1) << c.what;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.what;
  }
}

}  // namespace
