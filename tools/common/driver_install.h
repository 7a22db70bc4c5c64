// Installing the driver files into a root and adding printers that use them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kvplat/wintypes.h"

namespace kvtools {

enum class DriverKind { Pcl5e, PclXl };

struct DriverPackage {
  DriverKind kind;
  const char16_t* driverName;   // the name printers refer to
  const char* graphicsFile;     // file name in the driver directory
  const char* interfaceFile;
  const char* captureFile;
  const char* cliName;          // "pcl5e" / "pclxl"
};

const std::vector<DriverPackage>& DriverPackages();
const DriverPackage* FindPackage(std::string_view cliName);
const DriverPackage* FindPackageByDriverName(std::u16string_view driverName);

// Host folder holding the built driver files (next to the running program:
// ../lib), or KV_DRIVER_DIR when set.
std::string BuiltDriverDir();

// Copies the built files of every package into the root's driver directory
// (folder 3) and registers the drivers. Idempotent. Packages whose graphics
// library is not built yet are skipped (listed in *skipped).
bool InstallDrivers(const std::string& builtDir, std::vector<std::string>* installed,
                    std::vector<std::string>* skipped, std::string* error);

// Adds a printer using a package's driver with the package's default device
// mode (named after the printer). The port defaults to "FILE:".
bool AddPrinter(std::u16string_view name, const DriverPackage& package, std::u16string_view port,
                std::string* error);

// Text of a Win32 error code for messages.
std::string ErrorText(DWORD code);

}  // namespace kvtools
