#include "support/test_printer.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "tools/common/driver_install.h"

namespace kvtest {

void InstallBuiltDrivers() {
  std::vector<std::string> installed, skipped;
  std::string error;
  ASSERT_TRUE(kvtools::InstallDrivers(KV_BUILD_LIB_DIR, &installed, &skipped, &error)) << error;
}

HANDLE AddFilePortPrinter(const std::u16string& name, std::string* portHostPath, bool xl) {
  InstallBuiltDrivers();
  const std::u16string port = u"C:\\Output\\" + name + u".prn";
  std::error_code ec;
  std::filesystem::create_directories(kvplat::HostPath(u"C:\\Output"), ec);
  const kvtools::DriverPackage* package = kvtools::FindPackage(xl ? "pclxl" : "pcl5e");
  std::string error;
  if (package == nullptr || !kvtools::AddPrinter(name, *package, port, &error)) {
    ADD_FAILURE() << "cannot add printer: " << error;
    return nullptr;
  }
  if (portHostPath) *portHostPath = kvplat::HostPath(port);
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ALL_ACCESS};
  std::u16string printerName = name;
  if (!OpenPrinterW(printerName.data(), &printer, &defaults)) {
    ADD_FAILURE() << "cannot open printer";
    return nullptr;
  }
  return printer;
}

}  // namespace kvtest
