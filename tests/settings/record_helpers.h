// Small helpers shared by the settings tests: whole records as byte vectors,
// field access by name, and a printer with a registered driver in a temporary root.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "settings/devmode_record.h"
#include "support/test_root.h"

namespace kvtest {

using Record = std::vector<std::uint8_t>;

inline Record DefaultRecord(kvset::DevmodeVariant v, const char16_t* name = u"ZT-7700") {
  Record r(kvset::RecordSize(v));
  EXPECT_EQ(kvset::BuildDefaultDevmode(v, r, name, 0), 1);
  return r;
}

inline const DEVMODEW* AsDevmode(const Record& r) {
  return reinterpret_cast<const DEVMODEW*>(r.data());
}
inline DEVMODEW* AsDevmode(Record& r) { return reinterpret_cast<DEVMODEW*>(r.data()); }

inline std::int64_t Field(const Record& r, kvset::DevmodeVariant v, std::string_view name) {
  const kvset::RecordField* f = kvset::FindDevmodeField(name);
  EXPECT_NE(f, nullptr) << name;
  return f != nullptr ? kvset::GetField(r, v, *f) : 0;
}
inline void SetFieldByName(Record& r, kvset::DevmodeVariant v, std::string_view name,
                           std::int64_t value) {
  const kvset::RecordField* f = kvset::FindDevmodeField(name);
  ASSERT_NE(f, nullptr) << name;
  ASSERT_TRUE(kvset::SetField(r, v, *f, value)) << name;
}

// Creates an empty host file for a Windows path (and its folders).
inline void TouchWinFile(std::u16string_view winPath, const std::string& content = {}) {
  const std::filesystem::path host = kvplat::HostPath(winPath);
  std::filesystem::create_directories(host.parent_path());
  std::ofstream(host, std::ios::binary) << content;
}

inline std::u16string DriverDirectory() {
  WCHAR dir[MAX_PATH] = {};
  DWORD needed = 0;
  EXPECT_TRUE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(dir),
                                         sizeof(dir), &needed));
  return dir;
}

inline constexpr char16_t kTestDriverName[] = u"Kelvaro ZT-7700 PCL5e";

// Registers a driver (empty files) and adds a printer on "FILE:". The returned
// handle has full access; the caller closes it.
inline HANDLE AddTestPrinter(std::u16string printerName) {
  const std::u16string folder = DriverDirectory() + u"\\3\\";
  for (const char16_t* file : {u"kvsa5e.dll", u"kvsa5e.dat", u"kvsa5eui.dll"}) {
    TouchWinFile(folder + file);
  }
  std::u16string driverName = kTestDriverName;
  std::u16string driverPath = u"kvsa5e.dll", dataFile = u"kvsa5e.dat", configFile = u"kvsa5eui.dll";
  DRIVER_INFO_2W driver{3, driverName.data(), nullptr, driverPath.data(), dataFile.data(),
                        configFile.data()};
  EXPECT_TRUE(AddPrinterDriverW(nullptr, 2, reinterpret_cast<LPBYTE>(&driver)))
      << GetLastError();
  std::u16string port = u"FILE:";
  PRINTER_INFO_2W info{};
  info.pPrinterName = printerName.data();
  info.pPortName = port.data();
  info.pDriverName = driverName.data();
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  EXPECT_NE(printer, nullptr) << GetLastError();
  return printer;
}

}  // namespace kvtest
