#include "pclcore/5e/driver_strings.h"

#include "kvplat/engine.h"
#include "kvplat/kernel.h"
#include "settings/byte_order.h"

namespace kv5e {

int LoadDriverString(HANDLE module, unsigned id, WCHAR* buffer, int capacity) {
  // String tables come in blocks of 16: block id / 16 + 1, entry id % 16, each
  // entry a length word followed by that many UTF-16 units.
  ULONG size = 0;
  auto* block = static_cast<const BYTE*>(
      EngFindResource(module, static_cast<int>(id / 16 + 1), static_cast<int>(RT_STRING), &size));
  if (block == nullptr) return -1;
  std::size_t offset = 0;
  for (unsigned entry = 0; entry < id % 16; ++entry) {
    if (offset + 2 > size) return -1;
    offset += 2 + 2 * static_cast<std::size_t>(kvset::LoadU16LE(block + offset));
  }
  if (offset + 2 > size) return -1;
  const std::size_t length = kvset::LoadU16LE(block + offset);
  if (length == 0 || offset + 2 + 2 * length > size) return -1;
  const BYTE* text = block + offset + 2;
  if (buffer != nullptr && capacity > 0) {
    std::size_t copied = 0;
    for (; copied < length && copied + 1 < static_cast<std::size_t>(capacity); ++copied) {
      buffer[copied] = static_cast<WCHAR>(kvset::LoadU16LE(text + 2 * copied));
    }
    buffer[copied] = 0;
  }
  return static_cast<int>(length);
}

int LoadDriverNumber(HANDLE module, unsigned id) {
  WCHAR text[32];
  if (LoadDriverString(module, id, text, 32) < 0) return -1;
  int value = 0;
  for (const WCHAR* p = text; *p >= u'0' && *p <= u'9' && value < 100000; ++p) {
    value = value * 10 + (*p - u'0');
  }
  return value;
}

}  // namespace kv5e
