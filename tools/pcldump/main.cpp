// pcldump FILE | pcldump -
// Prints one line per command of a PJL / PCL 5e / HP-GL/2 stream: "offset: text".
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pcl_decoder.h"

namespace {

bool ReadAll(std::FILE* file, std::vector<uint8_t>& data) {
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    data.insert(data.end(), buffer, buffer + n);
  }
  return !std::ferror(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fprintf(stderr,
                 "usage: pcldump FILE\n"
                 "       pcldump -      (reads standard input)\n"
                 "Prints one line per PJL line, PCL command, HP-GL/2 instruction,\n"
                 "text run and raster row: \"offset: text\".\n");
    return argc == 2 ? 0 : 2;
  }
  const std::string path = argv[1];
  std::vector<uint8_t> data;
  if (path == "-") {
    if (!ReadAll(stdin, data)) {
      std::fprintf(stderr, "pcldump: cannot read standard input: %s\n", std::strerror(errno));
      return 1;
    }
  } else {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
      std::fprintf(stderr, "pcldump: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
      return 1;
    }
    const bool ok = ReadAll(file, data);
    const int error = errno;
    std::fclose(file);
    if (!ok) {
      std::fprintf(stderr, "pcldump: cannot read %s: %s\n", path.c_str(), std::strerror(error));
      return 1;
    }
  }
  const std::vector<kvtools::pcl::Command> commands = kvtools::pcl::Decode(data);
  std::string line;
  char prefix[32];
  for (const kvtools::pcl::Command& c : commands) {
    std::snprintf(prefix, sizeof prefix, "%8zu: ", c.offset);
    line = prefix;
    line += kvtools::pcl::ToText(c);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  if (std::fflush(stdout) != 0) return 1;
  return 0;
}
