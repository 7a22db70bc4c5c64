#include "pclcore/5e/truetype_tables.h"

#include <algorithm>
#include <cstring>

namespace kv5e {
namespace {

constexpr std::uint32_t kCollectionTag = TableTag("ttcf");

// `count` bytes at `offset` lie inside a block of `size` bytes.
constexpr bool Fits(std::uint64_t offset, std::uint64_t count, std::uint64_t size) {
  return offset <= size && size - offset >= count;
}

}  // namespace

bool IsReadableTag(std::uint32_t tag) {
  const auto* tags = reinterpret_cast<const std::uint8_t*>(kReadableTags);
  for (int i = 0; i < kReadableTagCount; ++i) {
    if (LoadU32BE(tags + 4 * i) == tag) return true;
  }
  return false;
}

std::uint32_t CollectionFontCount(std::span<const BYTE> file) {
  if (file.size() < 12 || LoadU32BE(file.data()) != kCollectionTag) return 0;
  const std::uint32_t count = LoadU32BE(file.data() + 8);
  if (!Fits(12, std::uint64_t{count} * 4, file.size())) return 0;
  return count;
}

std::uint32_t CollectionFontFor(std::uint32_t count, ULONG face, bool fixedPitch) {
  if (face >= 1 && face <= count) return face - 1;
  if (fixedPitch || count == 0) return 0;
  return count < 3 ? count - 1 : 2;
}

bool LocateOffsetTable(std::span<const BYTE> file, std::uint32_t index, std::uint32_t* offset) {
  if (file.size() < kOffsetTableSize) return false;
  std::uint32_t at = 0;
  if (LoadU32BE(file.data()) == kCollectionTag) {
    const std::uint32_t count = CollectionFontCount(file);
    if (count == 0 || index >= count) return false;
    at = LoadU32BE(file.data() + 12 + 4 * index);
  }
  if (!Fits(at, kOffsetTableSize, file.size())) return false;
  const std::uint32_t tables = LoadU16BE(file.data() + at + 4);
  if (!Fits(at + std::uint64_t{kOffsetTableSize}, std::uint64_t{tables} * kDirectoryEntrySize,
            file.size())) {
    return false;
  }
  *offset = at;
  return true;
}

TableState FindTable(std::span<const BYTE> file, std::uint32_t directory, std::uint32_t tag,
                     TableSpan* table) {
  *table = TableSpan{};
  if (!IsReadableTag(tag) || !Fits(directory, kOffsetTableSize, file.size())) {
    return TableState::Missing;
  }
  const std::uint32_t tables = LoadU16BE(file.data() + directory + 4);
  const std::uint64_t first = std::uint64_t{directory} + kOffsetTableSize;
  // Only the entries that lie inside the file are looked at.
  const std::uint64_t inside = (file.size() - std::min<std::uint64_t>(first, file.size())) /
                               kDirectoryEntrySize;
  const std::uint64_t count = std::min<std::uint64_t>(tables, inside);
  for (std::uint64_t i = 0; i < count; ++i) {
    const BYTE* entry = file.data() + first + i * kDirectoryEntrySize;
    if (LoadU32BE(entry) != tag) continue;
    const std::uint32_t offset = LoadU32BE(entry + 8);
    const std::uint32_t length = LoadU32BE(entry + 12);
    if (!Fits(offset, length, file.size())) return TableState::Damaged;
    *table = TableSpan{offset, length};
    return TableState::Present;
  }
  return TableState::Missing;
}

std::span<const BYTE> TableBytes(std::span<const BYTE> file, std::uint32_t directory,
                                 std::uint32_t tag) {
  TableSpan table;
  if (FindTable(file, directory, tag, &table) != TableState::Present) return {};
  return file.subspan(table.offset, table.length);
}

std::uint32_t GetTrueTypeTable(std::span<const BYTE> file, std::uint32_t directory,
                               std::uint32_t tag, std::uint32_t offset, BYTE* buffer,
                               std::uint32_t length) {
  if (tag == 0) {
    if (!Fits(directory, kOffsetTableSize, file.size())) return 0;
    if (buffer == nullptr) return kOffsetTableSize;
    const std::uint32_t n = std::min(length, kOffsetTableSize);
    std::memcpy(buffer, file.data() + directory, n);
    return n;
  }
  const std::span<const BYTE> table = TableBytes(file, directory, tag);
  if (buffer == nullptr) return static_cast<std::uint32_t>(table.size());
  if (offset >= table.size()) return 0;
  const std::uint32_t n = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(table.size()) - offset);
  std::memcpy(buffer, table.data() + offset, n);
  return n;
}

std::uint32_t TableChecksum(std::span<const BYTE> data) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 4 <= data.size(); i += 4) sum += LoadU32BE(data.data() + i);
  if (i < data.size()) {
    BYTE last[4] = {0, 0, 0, 0};
    std::memcpy(last, data.data() + i, data.size() - i);
    sum += LoadU32BE(last);
  }
  return sum;
}

}  // namespace kv5e
