// Printers for tests: the built drivers installed into the test's root, and
// printers whose port is a file of the root.
#pragma once

#include <string>

#include "kvplat/wintypes.h"

namespace kvtest {

// Installs the built driver files into the current root (once per root).
void InstallBuiltDrivers();

// Adds a PCL 5e printer (or PCL XL when `xl`) whose port is a file in the
// root, and opens it with full access. *portHostPath receives the host path
// of the port file. Null on failure (with a test failure recorded).
HANDLE AddFilePortPrinter(const std::u16string& name, std::string* portHostPath, bool xl = false);

}  // namespace kvtest
