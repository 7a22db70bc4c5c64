// Shared set-up of the GDI tests: a fresh root with the built drivers, one
// PCL 5e printer whose port is a file of the root, device contexts that
// delete themselves, and device mode records set by field name.
#pragma once

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/gdi.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "support/test_printer.h"
#include "support/test_root.h"
#include "tools/common/devmode_options.h"

namespace gditest {

inline constexpr char16_t kPrinter[] = u"Office 5e";

// A device context deleted at the end of its scope.
class Dc {
 public:
  explicit Dc(HDC h = nullptr) : h_(h) {}
  ~Dc() {
    if (h_ != nullptr) DeleteDC(h_);
  }
  Dc(const Dc&) = delete;
  Dc& operator=(const Dc&) = delete;
  HDC get() const { return h_; }
  HDC release() {
    HDC h = h_;
    h_ = nullptr;
    return h;
  }

 private:
  HDC h_;
};

inline std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The PCL 5e record with its defaults and the given FIELD=VALUE settings.
inline std::vector<BYTE> Devmode(std::initializer_list<const char*> settings) {
  std::vector<BYTE> record = kvtools::DefaultDevmode(kvtools::DriverKind::Pcl5e, kPrinter);
  for (const char* setting : settings) {
    std::string error;
    EXPECT_TRUE(kvtools::ApplyDevmodeOption(record, kvtools::DriverKind::Pcl5e, setting, &error))
        << error;
  }
  return record;
}

inline const DEVMODEW* AsDevmode(const std::vector<BYTE>& record) {
  return reinterpret_cast<const DEVMODEW*>(record.data());
}

class GdiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    printer_ = kvtest::AddFilePortPrinter(kPrinter, &port_);
    ASSERT_NE(printer_, nullptr);
  }
  void TearDown() override {
    if (printer_ != nullptr) ClosePrinter(printer_);
  }

  HDC Create(const std::vector<BYTE>* devmode = nullptr) {
    return CreateDCW(u"WINSPOOL", kPrinter, nullptr, devmode ? AsDevmode(*devmode) : nullptr);
  }

  std::vector<std::string> SpoolFiles() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(
             kvplat::HostPath(u"C:\\Windows\\System32\\spool\\PRINTERS"), ec)) {
      files.push_back(e.path().filename().string());
    }
    return files;
  }

  bool PortWritten() const {
    std::error_code ec;
    return std::filesystem::exists(port_, ec);
  }

  kvtest::TempRoot root_;
  HANDLE printer_ = nullptr;
  std::string port_;  // host path of the printer's port file
};

}  // namespace gditest
