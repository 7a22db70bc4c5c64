// kvrc: the resource compiler. Turns a resource script into the resource
// directory a module exports (see kvplat/resources.h). The script language is
// described at the top of kvrc.cpp and in README.md.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvrc {

// Resource types the compiler produces itself.
inline constexpr std::uint32_t kTypeRcData = 10;
inline constexpr std::uint32_t kTypeStringBlock = 6;
// Strings are grouped in blocks of this many ids.
inline constexpr std::uint32_t kStringsPerBlock = 16;

// One compiled resource: numeric type and id and its bytes, as the module
// will carry them.
struct Resource {
  std::uint32_t type = 0;
  std::uint32_t id = 0;
  std::vector<std::uint8_t> data;
};

struct Compiled {
  // Sorted by type, then id.
  std::vector<Resource> resources;
  // The script and every file it refers to, in the order first met.
  std::vector<std::filesystem::path> dependencies;
};

// Compiles script text. `scriptName` names the script in messages; files are
// resolved against `baseDir`. On failure returns false with a message of the
// form "<scriptName>:<line>: error: ..." in `error`.
bool CompileText(std::string_view text, std::string_view scriptName,
                 const std::filesystem::path& baseDir, Compiled& out, std::string& error);

// Reads and compiles a script file; files it names are relative to its folder.
// The script itself is the first dependency.
bool CompileFile(const std::filesystem::path& script, Compiled& out, std::string& error);

// The C++ source defining kv_resource_directory for the resources.
std::string GenerateSource(std::span<const Resource> resources, std::string_view scriptName);

// A Make rule "target: deps..." for the dependency file.
std::string GenerateDepfile(const std::filesystem::path& target,
                            std::span<const std::filesystem::path> deps);

// Reads string `id` back from compiled string blocks (absent when the block is
// missing or the entry is empty), as a module's string loader would.
std::optional<std::u16string> FindString(std::span<const Resource> resources, std::uint32_t id);

// Finds a resource by type and id.
const Resource* FindResource(std::span<const Resource> resources, std::uint32_t type,
                             std::uint32_t id);

}  // namespace kvrc
