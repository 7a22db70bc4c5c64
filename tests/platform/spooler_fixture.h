// Shared set-up of the spooler tests: a fresh root with one installed driver,
// printer handles that close themselves, and small file helpers.
#pragma once

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "support/test_root.h"

namespace spooltest {

inline constexpr char16_t kDriver[] = u"Kelvaro ZT-7700 PCL5e";
inline constexpr char16_t kDriverDir3[] = u"C:\\Windows\\System32\\spool\\drivers\\x64\\3\\";

// A printer handle closed at the end of its scope.
class Printer {
 public:
  Printer() = default;
  explicit Printer(HANDLE h) : h_(h) {}
  ~Printer() {
    if (h_ != nullptr) ClosePrinter(h_);
  }
  Printer(Printer&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  Printer& operator=(Printer&& other) noexcept {
    std::swap(h_, other.h_);
    return *this;
  }
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HANDLE h_ = nullptr;
};

inline std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteHostFile(const std::string& path, std::string_view text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

inline DEVMODEW* AsDevmode(std::vector<std::uint8_t>& bytes) {
  return reinterpret_cast<DEVMODEW*>(bytes.data());
}

// A device mode record with `extra` private bytes filled with a pattern.
inline std::vector<std::uint8_t> MakeDevmode(WORD extra, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(sizeof(DEVMODEW) + extra, 0);
  DEVMODEW* dm = AsDevmode(bytes);
  std::memcpy(dm->dmDeviceName, u"Kelvaro", 8 * sizeof(WCHAR));
  dm->dmSpecVersion = 0x401;
  dm->dmDriverVersion = 0x400;
  dm->dmSize = sizeof(DEVMODEW);
  dm->dmDriverExtra = extra;
  dm->dmCopies = seed;
  for (WORD i = 0; i < extra; ++i) bytes[sizeof(DEVMODEW) + i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

class SpoolerTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallDriver(kDriver); }

  // Puts the driver's files into the driver directory and registers it (level 3).
  void InstallDriver(std::u16string name) {
    for (const char16_t* file : {u"kvsa5e.dll", u"kvsa5eui.dll", u"kvsa5e.dat", u"kvsaNT5E.CHM"}) {
      WriteHostFile(kvplat::HostPath(std::u16string(kDriverDir3) + file), "ELF");
    }
    std::u16string driver = u"kvsa5e.dll", data = u"kvsa5e.dat", ui = u"kvsa5eui.dll",
                   help = u"kvsaNT5E.CHM", env = u"Windows x64";
    std::u16string deps(u"kvsa5e.dll\0kvsa5eui.dll\0\0", 26);
    DRIVER_INFO_3W info{};
    info.cVersion = 3;
    info.pName = name.data();
    info.pEnvironment = env.data();
    info.pDriverPath = driver.data();
    info.pDataFile = data.data();
    info.pConfigFile = ui.data();
    info.pHelpFile = help.data();
    info.pDependentFiles = deps.data();
    ASSERT_TRUE(AddPrinterDriverW(nullptr, 3, reinterpret_cast<LPBYTE>(&info))) << GetLastError();
  }

  // Adds a printer and returns its handle (closed by the caller's Printer).
  Printer Add(std::u16string name, std::u16string port, std::u16string driver = kDriver,
              DEVMODEW* devmode = nullptr) {
    PRINTER_INFO_2W info{};
    info.pPrinterName = name.data();
    info.pPortName = port.data();
    info.pDriverName = driver.data();
    info.pDevMode = devmode;
    return Printer(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
  }

  Printer Open(std::u16string name, ACCESS_MASK access = PRINTER_ACCESS_USE) {
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, access};
    HANDLE h = nullptr;
    if (!OpenPrinterW(name.data(), &h, &defaults)) return Printer();
    return Printer(h);
  }

  kvtest::TempRoot root_;
};

}  // namespace spooltest
