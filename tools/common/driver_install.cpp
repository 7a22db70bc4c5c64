#include "tools/common/driver_install.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "tools/common/devmode_options.h"

namespace kvtools {
namespace fs = std::filesystem;

const std::vector<DriverPackage>& DriverPackages() {
  static const std::vector<DriverPackage> packages = {
      {DriverKind::Pcl5e, u"Kelvaro ZT-7700 PCL5e", "kvsa5e.dll", "kvsa5eui.dll", "KVSA5EWM.exe",
       "pcl5e"},
      {DriverKind::PclXl, u"Kelvaro ZT-7700 PCL XL", "kvsaxl.dll", "kvsaxlui.dll", "KVSAXLWM.exe",
       "pclxl"},
  };
  return packages;
}

const DriverPackage* FindPackage(std::string_view cliName) {
  for (const DriverPackage& package : DriverPackages()) {
    if (cliName == package.cliName) return &package;
  }
  return nullptr;
}

const DriverPackage* FindPackageByDriverName(std::u16string_view driverName) {
  for (const DriverPackage& package : DriverPackages()) {
    if (driverName == package.driverName) return &package;
  }
  return nullptr;
}

std::string ErrorText(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_INVALID_PRINTER_NAME: return "no such printer";
    case ERROR_PRINTER_ALREADY_EXISTS: return "the printer already exists";
    case ERROR_UNKNOWN_PRINTER_DRIVER: return "unknown printer driver (run 'kvprinter install')";
    case ERROR_FILE_NOT_FOUND: return "not found";
    case ERROR_PATH_NOT_FOUND: return "path not found";
    case ERROR_NOT_ENOUGH_MEMORY: return "out of memory";
    case ERROR_INVALID_PARAMETER: return "invalid parameter";
    default: return "error " + std::to_string(code);
  }
}

std::string BuiltDriverDir() {
  if (const char* dir = std::getenv("KV_DRIVER_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "lib";
  return (self.parent_path().parent_path() / "lib").string();
}

namespace {

std::u16string DriverDirectory() {
  WCHAR buffer[MAX_PATH];
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(buffer),
                                  sizeof(buffer), &needed)) {
    return u"C:\\Windows\\System32\\spool\\drivers\\x64";
  }
  return buffer;
}

bool CopyIfChanged(const fs::path& from, const fs::path& to, std::string* error) {
  std::error_code ec;
  if (fs::exists(to, ec) && fs::file_size(to, ec) == fs::file_size(from, ec) &&
      fs::last_write_time(to, ec) >= fs::last_write_time(from, ec)) {
    return true;
  }
  // Copy beside the target and rename over it: a program that has the old
  // library loaded keeps its mapping intact.
  const fs::path temp = to.string() + ".new";
  fs::copy_file(from, temp, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(temp, to, ec);
  if (ec) {
    fs::remove(temp, ec);
    if (error) *error = "cannot copy " + from.string() + " to " + to.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

bool InstallDrivers(const std::string& builtDir, std::vector<std::string>* installed,
                    std::vector<std::string>* skipped, std::string* error) {
  const std::u16string versionDir = DriverDirectory() + u"\\3";
  const fs::path target = kvplat::HostPath(versionDir);
  std::error_code ec;
  fs::create_directories(target, ec);
  if (ec) {
    if (error) *error = "cannot create the driver directory " + target.string() + ": " + ec.message();
    return false;
  }
  if (!CopyIfChanged(KV_OEM_INF, target / "kvsaoem.inf", error)) return false;
  for (const DriverPackage& package : DriverPackages()) {
    const fs::path graphics = fs::path(builtDir) / package.graphicsFile;
    if (!fs::exists(graphics, ec)) {
      if (skipped) skipped->push_back(package.cliName);
      continue;
    }
    std::vector<std::u16string> dependents = {u"kvsaoem.inf"};
    for (const char* file : {package.graphicsFile, package.interfaceFile, package.captureFile}) {
      const fs::path built = fs::path(builtDir) / file;
      if (!fs::exists(built, ec)) continue;
      if (!CopyIfChanged(built, target / file, error)) return false;
      dependents.push_back(kvplat::ToUtf16(file));
    }
    auto full = [&](const char* file) { return versionDir + u"\\" + kvplat::ToUtf16(file); };
    std::u16string name = package.driverName;
    std::u16string environment = u"Windows x64";
    std::u16string driverPath = full(package.graphicsFile);
    // The data file lives beside the libraries: the graphics library takes its
    // data folder from it.
    std::u16string dataFile = full("kvsaoem.inf");
    // The spooler wants a configuration file; until a package's interface
    // library is built, its graphics library stands in.
    std::u16string configFile = fs::exists(target / package.interfaceFile, ec)
                                    ? full(package.interfaceFile)
                                    : full(package.graphicsFile);
    std::u16string dependentList;
    for (const std::u16string& file : dependents) dependentList += file + u'\0';
    dependentList += u'\0';
    DRIVER_INFO_3W info{};
    info.cVersion = 3;
    info.pName = name.data();
    info.pEnvironment = environment.data();
    info.pDriverPath = driverPath.data();
    info.pDataFile = dataFile.data();
    info.pConfigFile = configFile.data();
    info.pDependentFiles = dependentList.data();
    if (!AddPrinterDriverW(nullptr, 3, reinterpret_cast<LPBYTE>(&info))) {
      if (error) *error = "cannot register the driver: " + ErrorText(GetLastError());
      return false;
    }
    if (installed) installed->push_back(package.cliName);
  }
  return true;
}

bool AddPrinter(std::u16string_view name, const DriverPackage& package, std::u16string_view port,
                std::string* error) {
  std::vector<BYTE> devmode = DefaultDevmode(package.kind, name);
  std::u16string printerName(name);
  std::u16string portName = port.empty() ? std::u16string(u"FILE:") : std::u16string(port);
  std::u16string driverName = package.driverName;
  PRINTER_INFO_2W info{};
  info.pPrinterName = printerName.data();
  info.pPortName = portName.data();
  info.pDriverName = driverName.data();
  info.pDevMode = devmode.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(devmode.data());
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  if (printer == nullptr) {
    if (error) *error = ErrorText(GetLastError());
    return false;
  }
  ClosePrinter(printer);
  return true;
}

}  // namespace kvtools
