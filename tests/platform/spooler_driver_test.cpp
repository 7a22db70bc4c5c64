// Printer drivers: registration, the driver information levels the drivers
// read, and the driver directory they derive their folders from.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "spooler_fixture.h"

namespace {

using spooltest::Printer;
using spooltest::SpoolerTest;

std::vector<BYTE> GetDriver(HANDLE h, DWORD level, LPWSTR environment = nullptr) {
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterDriverW(h, environment, level, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<BYTE> buffer(needed);
  EXPECT_TRUE(GetPrinterDriverW(h, environment, level, buffer.data(), needed, &needed)) << GetLastError();
  return buffer;
}

TEST_F(SpoolerTest, DriverInfoNamesTheFilesInFolderThreeOfTheDriverDirectory) {
  ASSERT_TRUE(Add(u"Laser", u"FILE:"));
  Printer p = Open(u"Laser");
  std::u16string env = u"Windows x64";
  const auto two = GetDriver(p.get(), 2, env.data());
  const auto* info2 = reinterpret_cast<const DRIVER_INFO_2W*>(two.data());
  EXPECT_EQ(info2->cVersion, 3u);
  EXPECT_EQ(std::u16string(info2->pName), spooltest::kDriver);
  EXPECT_EQ(std::u16string(info2->pEnvironment), u"Windows x64");
  EXPECT_EQ(std::u16string(info2->pDriverPath), u"C:\\Windows\\System32\\spool\\drivers\\x64\\3\\kvsa5e.dll");
  EXPECT_EQ(std::u16string(info2->pConfigFile), u"C:\\Windows\\System32\\spool\\drivers\\x64\\3\\kvsa5eui.dll");

  // The graphics library takes the data file's folder and cuts it after its
  // first '2' to find the system directory.
  const std::u16string data = info2->pDataFile;
  const std::u16string folder = data.substr(0, data.rfind(u'\\'));
  EXPECT_EQ(folder.substr(0, folder.find(u'2') + 1), u"C:\\Windows\\System32");
  EXPECT_TRUE(std::filesystem::is_regular_file(kvplat::HostPath(data)));

  const auto three = GetDriver(p.get(), 3);
  const auto* info3 = reinterpret_cast<const DRIVER_INFO_3W*>(three.data());
  EXPECT_EQ(std::u16string(info3->pDataFile), data);
  EXPECT_EQ(std::u16string(info3->pHelpFile), u"C:\\Windows\\System32\\spool\\drivers\\x64\\3\\kvsaNT5E.CHM");
  ASSERT_NE(info3->pDependentFiles, nullptr);
  std::vector<std::u16string> deps;
  for (const WCHAR* d = info3->pDependentFiles; *d != 0; d += kvplat::WideLength(d) + 1) deps.emplace_back(d);
  EXPECT_EQ(deps, (std::vector<std::u16string>{std::u16string(spooltest::kDriverDir3) + u"kvsa5e.dll",
                                               std::u16string(spooltest::kDriverDir3) + u"kvsa5eui.dll"}));
  EXPECT_EQ(info3->pMonitorName, nullptr);

  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterDriverW(p.get(), nullptr, 4, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);
  std::u16string other = u"Windows NT x86";
  EXPECT_FALSE(GetPrinterDriverW(p.get(), other.data(), 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ENVIRONMENT);
}

TEST_F(SpoolerTest, DriverDirectoryIsTheX64FolderWithItsSizeInBytes) {
  const std::u16string expected = u"C:\\Windows\\System32\\spool\\drivers\\x64";
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, (expected.size() + 1) * 2);
  std::vector<WCHAR> buffer(needed / 2, u'?');
  EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(buffer.data()),
                                          needed - 1, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  // The 256-byte buffer the graphics library passes.
  WCHAR dir[128];
  ASSERT_TRUE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(dir), sizeof dir, &needed));
  EXPECT_EQ(std::u16string(dir), expected);
  EXPECT_TRUE(std::filesystem::is_directory(kvplat::HostPath(expected + u"\\3")));
  EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, nullptr, 2, reinterpret_cast<LPBYTE>(dir), sizeof dir, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);
}

TEST_F(SpoolerTest, AddPrinterDriverChecksItsFilesAndDriversInUseStay) {
  std::u16string name = u"Kelvaro ZT-7700 PCL XL", env = u"Windows x64";
  std::u16string driver = u"kvsaxl.dll", data = u"kvsaxl.dat", ui = u"kvsaxlui.dll";
  DRIVER_INFO_2W info{3, name.data(), env.data(), driver.data(), data.data(), ui.data()};
  EXPECT_FALSE(AddPrinterDriverW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  for (const auto& file : {driver, data, ui}) {
    spooltest::WriteHostFile(kvplat::HostPath(std::u16string(spooltest::kDriverDir3) + file), "ELF");
  }
  EXPECT_FALSE(AddPrinterDriverW(nullptr, 4, reinterpret_cast<LPBYTE>(&info)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);
  std::u16string other = u"Windows 4.0";
  info.pEnvironment = other.data();
  EXPECT_FALSE(AddPrinterDriverW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ENVIRONMENT);
  info.pEnvironment = nullptr;
  ASSERT_TRUE(AddPrinterDriverW(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) << GetLastError();
  EXPECT_EQ(kvplat::spool::DriverNames(),
            (std::vector<std::u16string>{u"Kelvaro ZT-7700 PCL XL", spooltest::kDriver}));

  ASSERT_TRUE(Add(u"XL", u"FILE:", name));
  std::u16string upper = u"KELVARO ZT-7700 PCL XL";
  EXPECT_FALSE(DeletePrinterDriverW(nullptr, nullptr, upper.data()));
  EXPECT_EQ(GetLastError(), ERROR_PRINTER_DRIVER_IN_USE);
  {
    Printer p = Open(u"XL", PRINTER_ALL_ACCESS);
    ASSERT_TRUE(DeletePrinter(p.get()));
  }
  EXPECT_TRUE(DeletePrinterDriverW(nullptr, nullptr, upper.data())) << GetLastError();
  EXPECT_EQ(kvplat::spool::DriverNames(), (std::vector<std::u16string>{spooltest::kDriver}));
  EXPECT_FALSE(Add(u"XL", u"FILE:", name));
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PRINTER_DRIVER);
}

}  // namespace
