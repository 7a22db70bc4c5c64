// pclrender IN.prn OUT-PREFIX [--gray] [--max-pages N]: renders a PCL 5e
// stream and writes OUT-PREFIX-001.png, OUT-PREFIX-002.png, ... (1-bit unless
// --gray asks for 8-bit gray).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pcl_render.h"

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  bool gray = false;
  kvpclrender::Options options;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg == "--gray") {
      gray = true;
    } else if (arg == "--max-pages" && k + 1 < argc) {
      options.maxPages = std::max(1, std::atoi(argv[++k]));
    } else if (arg == "--help" || arg == "-h") {
      std::printf("usage: pclrender IN.prn OUT-PREFIX [--gray] [--max-pages N]\n");
      return 0;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) {
    std::fprintf(stderr, "usage: pclrender IN.prn OUT-PREFIX [--gray] [--max-pages N]\n");
    return 2;
  }
  std::ifstream in(positional[0], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "pclrender: cannot read %s\n", positional[0].c_str());
    return 1;
  }
  const std::vector<std::uint8_t> stream((std::istreambuf_iterator<char>(in)), {});
  int failures = 0;
  int number = 0;
  const kvpclrender::Summary summary = kvpclrender::Render(stream, options, [&](const kvpclrender::Page& page) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "-%03d.png", ++number);
    std::string error;
    if (!kvpclrender::WritePng(page, positional[1] + suffix, !gray, &error)) {
      std::fprintf(stderr, "pclrender: %s\n", error.c_str());
      ++failures;
    }
  });
  for (const std::string& note : summary.notes) std::fprintf(stderr, "pclrender: %s\n", note.c_str());
  std::printf("%d page(s)\n", summary.pages);
  return failures == 0 ? 0 : 1;
}
