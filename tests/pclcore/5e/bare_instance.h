// A device instance of the PCL 5e library made by hand, without the engine,
// writing its jobs to a printer on a file port: for tests of one drawing or
// text module at a time.
#pragma once

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "kvplat/spooler.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/pcl_device.h"
#include "pclcore/5e/soft_fonts.h"
#include "support/test_printer.h"

namespace kvtest {

class BareInstanceTest : public ::testing::Test {
 protected:
  // A printer `name` on a file port and a zeroed instance with its magic
  // words, the HP-GL/2 state reset and an empty output buffer.
  void MakeInstance(const std::u16string& name) {
    printer_ = AddFilePortPrinter(name, &port_);
    ASSERT_NE(printer_, nullptr);
    pdev_ = std::make_unique<kv5e::PclPdev>();
    pdev_->magicHead = pdev_->magicTail = kv5e::kPdevMagic;
    pdev_->printer = printer_;
    kv5e::ResetHpglState(pdev_->hpglState);
    kv5e::ResetOutputBuffer(pdev_.get());
  }
  void TearDown() override {
    kvplat::fault::ClearAll();
    if (pdev_) {
      kv5e::ResetHpglState(pdev_->hpglState);
      kv5e::FreeRasterBuffers(pdev_->raster);
      kv5e::FreeSoftFonts(pdev_.get());
      EngFreeMem(pdev_->textPositions);
      pdev_->textPositions = nullptr;
    }
    if (printer_) ClosePrinter(printer_);
  }
  kv5e::PclPdev* pdev() { return pdev_.get(); }
  void Set(const kvset::RecordField& field, int value) { kv5e::SetDm(pdev_.get(), field, value); }

  // Runs `body` in a job of its own and returns what the port received
  // ("<no delivery>" when the job was not delivered).
  std::string RunJob(const std::function<void()>& body) {
    DOC_INFO_1W doc{const_cast<LPWSTR>(u"job"), nullptr, nullptr};
    EXPECT_GT(StartDocPrinterW(printer_, 1, reinterpret_cast<LPBYTE>(&doc)), 0u);
    pdev_->flags &= ~kv5e::kFlagAborted;
    kv5e::ResetOutputBuffer(pdev_.get());
    body();
    kvplat::fault::ClearAll();
    kv5e::FlushOutput(pdev_.get());
    if (!EndDocPrinter(printer_)) return "<no delivery>";
    std::ifstream in(port_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  HANDLE printer_ = nullptr;
  std::string port_;
  std::unique_ptr<kv5e::PclPdev> pdev_;
};

}  // namespace kvtest
