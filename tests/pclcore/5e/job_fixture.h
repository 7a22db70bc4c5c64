// Jobs run straight through the engine's entry points of the installed
// PCL 5e library, with the spooler delivering to a file port; what the port
// received is the job's stream.
#pragma once

#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/engine.h"
#include "kvplat/fault.h"
#include "kvplat/spooler.h"
#include "support/test_printer.h"
#include "support/test_root.h"
#include "tools/common/devmode_options.h"

namespace kvtest {

class JobFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    printer_ = AddFilePortPrinter(u"Jobs", &port_);
    ASSERT_NE(printer_, nullptr);
    std::string error;
    driver_ = kvplat::engine::LoadGraphicsDriver(printer_, &error);
    ASSERT_NE(driver_, nullptr) << error;
  }
  void TearDown() override {
    kvplat::fault::ClearAll();
    if (device_) kvplat::engine::DisableDevice(device_);
    if (driver_) kvplat::engine::UnloadGraphicsDriver(driver_);
    if (printer_) ClosePrinter(printer_);
  }

  // Enables a device (in place of an earlier one) with the driver's default
  // record plus `options` ("reverseOrder=0", ...). False when the library refuses.
  bool Enable(const std::vector<std::string>& options,
              const std::function<void(std::vector<BYTE>&)>& tweak = {}) {
    if (device_) kvplat::engine::DisableDevice(device_);
    device_ = nullptr;
    record_ = kvtools::DefaultDevmode(kvtools::DriverKind::Pcl5e, u"Jobs");
    for (const std::string& option : options) {
      std::string error;
      EXPECT_TRUE(kvtools::ApplyDevmodeOption(record_, kvtools::DriverKind::Pcl5e, option, &error))
          << error;
    }
    if (tweak) tweak(record_);
    std::string error;
    device_ = kvplat::engine::EnableDevice(driver_, printer_,
                                           reinterpret_cast<DEVMODEW*>(record_.data()), u"Jobs",
                                           u"C:\\Output\\Jobs.prn", &error);
    EXPECT_NE(device_, nullptr) << error;
    if (device_) surface_ = EngLockSurface(device_->surface);
    return device_ != nullptr;
  }

  template <class F>
  F Entry(ULONG index) {
    return reinterpret_cast<F>(kvplat::engine::DriverFunction(driver_, index));
  }
  BOOL StartDoc(const char16_t* name) {
    DOC_INFO_1W doc{const_cast<LPWSTR>(name ? name : u"job"), nullptr, nullptr};
    jobId_ = StartDocPrinterW(printer_, 1, reinterpret_cast<LPBYTE>(&doc));
    EXPECT_GT(jobId_, 0u);
    std::u16string copy = name ? name : u"";
    return Entry<PFN_DrvStartDoc>(INDEX_DrvStartDoc)(surface_, name ? copy.data() : nullptr, jobId_);
  }
  BOOL StartPage() { return Entry<PFN_DrvStartPage>(INDEX_DrvStartPage)(surface_); }
  BOOL SendPage() { return Entry<PFN_DrvSendPage>(INDEX_DrvSendPage)(surface_); }
  BOOL EndDoc() { return Entry<PFN_DrvEndDoc>(INDEX_DrvEndDoc)(surface_, 0); }
  ULONG Escape(ULONG escape, ULONG inSize, const void* in, ULONG outSize, void* out) {
    return Entry<PFN_DrvEscape>(INDEX_DrvEscape)(surface_, escape, inSize, const_cast<void*>(in),
                                                 outSize, out);
  }

  // Ends the spooler job and returns what the port received ("" when the
  // spooler did not deliver).
  std::string Delivered() {
    if (!EndDocPrinter(printer_)) return "";
    std::ifstream in(port_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // A whole job of `pages` empty pages.
  std::string Job(int pages, const char16_t* name = u"Test") {
    EXPECT_TRUE(StartDoc(name));
    for (int i = 0; i < pages; ++i) {
      EXPECT_TRUE(StartPage()) << i;
      EXPECT_TRUE(SendPage()) << i;
    }
    EXPECT_TRUE(EndDoc());
    return Delivered();
  }

  TempRoot root_;
  HANDLE printer_ = nullptr;
  std::string port_;
  kvplat::engine::GraphicsDriver* driver_ = nullptr;
  kvplat::engine::Device* device_ = nullptr;
  SURFOBJ* surface_ = nullptr;
  std::vector<BYTE> record_;
  DWORD jobId_ = 0;
};

// Occurrences of `needle` in `text`.
inline int Count(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace kvtest
