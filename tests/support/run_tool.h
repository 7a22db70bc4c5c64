// Runs one of the built programs as a user would, with a root of its own.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace kvtest {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and error together
};

// `program` from the build's bin folder with "--root ROOT" and `args` (shell
// words, quoted by the caller).
inline Outcome RunTool(const std::string& program, const std::string& root, const std::string& args) {
  const std::string command = std::string(KV_BUILD_BIN_DIR) + "/" + program + " --root '" + root +
                              "' " + args + " 2>&1";
  Outcome run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace kvtest
