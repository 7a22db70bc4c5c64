// A temporary root for a test: a fresh folder set as the process's root and
// removed afterwards, so that every test starts from a clean Windows tree.
#pragma once

#include <string>

namespace kvtest {

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A fresh empty host folder, removed by the caller (or left for inspection).
std::string MakeTempDir(const char* prefix);

}  // namespace kvtest
