// The table through which every module (driver library, program) exposes its
// compiled resources. The resource compiler generates one per module; the
// platform finds it with dlsym under kKvResourceSymbol.
#pragma once

#include <cstdint>

struct KvResourceEntry {
  std::uint32_t type;        // numeric resource type (6 string block, 258 font metrics, ...)
  std::uint32_t id;          // numeric resource id (string blocks: string id / 16 + 1)
  const char16_t* typeName;  // non-null for a named type (then type is 0)
  const char16_t* name;      // non-null for a named resource (then id is 0)
  const std::uint8_t* data;
  std::uint32_t size;
};

struct KvResourceDirectory {
  std::uint32_t count;
  const KvResourceEntry* entries;
};

inline constexpr const char* kKvResourceSymbol = "kv_resource_directory";
