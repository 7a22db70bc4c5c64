// A throw-away root for a benchmark: the built drivers installed and one
// PCL 5e printer "Bench" on the given port.
#pragma once

#include <stdlib.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "kvplat/root.h"
#include "tools/common/driver_install.h"

namespace kvbench {

// The root's host folder, or "" (with a message) when it cannot be made.
inline std::string SetUpBenchPrinter(const char* prefix, std::u16string_view port) {
  std::string root = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (mkdtemp(root.data()) == nullptr) return {};
  kvplat::SetRoot(root);
  std::string error;
  std::vector<std::string> installed, skipped;
  const kvtools::DriverPackage* package = kvtools::FindPackage("pcl5e");
  if (!kvplat::EnsureRoot(&error) ||
      !kvtools::InstallDrivers(kvtools::BuiltDriverDir(), &installed, &skipped, &error) ||
      package == nullptr || !kvtools::AddPrinter(u"Bench", *package, port, &error)) {
    std::fprintf(stderr, "cannot set up a printer: %s\n", error.c_str());
    return {};
  }
  return root;
}

// Runs the registered benchmarks and removes the throw-away root.
inline int RunBenchmarks(int argc, char** argv, const std::string& root) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return 0;
}

}  // namespace kvbench
