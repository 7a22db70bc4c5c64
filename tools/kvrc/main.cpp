// kvrc command line: kvrc [--depfile DEP] -o OUT.cpp SCRIPT
// Compiles SCRIPT (see kvrc.cpp for the language) into OUT.cpp; with
// --depfile also writes a Make rule listing the script and the files it reads.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "kvrc.h"

namespace {

void Usage() {
  std::fputs("usage: kvrc [--depfile DEP] -o OUT.cpp SCRIPT\n", stderr);
}

// Writes through a temporary file and renames, so that a failed run never
// leaves a half-written output behind for the build to pick up.
bool WriteFileAtomically(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::path tmp = path;
  tmp += ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
      std::error_code ec;
      std::filesystem::remove(tmp, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string depfile, output, script;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "--depfile" || arg == "-o") && i + 1 < argc) {
      (arg == "-o" ? output : depfile) = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      Usage();
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "kvrc: unknown option '%s'\n", argv[i]);
      Usage();
      return 2;
    } else if (script.empty()) {
      script = argv[i];
    } else {
      std::fputs("kvrc: more than one script given\n", stderr);
      Usage();
      return 2;
    }
  }
  if (script.empty() || output.empty()) {
    Usage();
    return 2;
  }

  std::error_code ec;
  const std::filesystem::path scriptPath = std::filesystem::absolute(script, ec);
  if (ec) {
    std::fprintf(stderr, "%s: error: %s\n", script.c_str(), ec.message().c_str());
    return 1;
  }
  kvrc::Compiled compiled;
  std::string error;
  if (!kvrc::CompileFile(scriptPath, compiled, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const std::string source =
      kvrc::GenerateSource(compiled.resources, scriptPath.filename().string());
  if (!WriteFileAtomically(output, source)) {
    std::fprintf(stderr, "kvrc: error: cannot write '%s'\n", output.c_str());
    return 1;
  }
  if (!depfile.empty() &&
      !WriteFileAtomically(depfile, kvrc::GenerateDepfile(output, compiled.dependencies))) {
    std::fprintf(stderr, "kvrc: error: cannot write '%s'\n", depfile.c_str());
    return 1;
  }
  return 0;
}
