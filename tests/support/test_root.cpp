#include "support/test_root.h"

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "kvplat/root.h"

namespace kvtest {

std::string MakeTempDir(const char* prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "cannot create a temporary folder";
    return {};
  }
  return made;
}

TempRoot::TempRoot() : path_(MakeTempDir("kvroot-")) {
  kvplat::SetRoot(path_);
  std::string error;
  EXPECT_TRUE(kvplat::EnsureRoot(&error)) << error;
}

TempRoot::~TempRoot() {
  kvplat::fault::ClearAll();
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace kvtest
