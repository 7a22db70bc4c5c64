// Reading the tables of a TrueType font file as the engine hands it over
// (a single font or a collection, "ttcf"). Every read is checked against the
// file's size: a damaged file gives missing tables, never a read outside it.
// All values in the file are big-endian.
#pragma once

#include <cstdint>
#include <span>

#include "kvplat/wintypes.h"
#include "settings/byte_order.h"

namespace kv5e {

using kvset::LoadI16BE;
using kvset::LoadU16BE;
using kvset::LoadU32BE;
using kvset::StoreU16BE;
using kvset::StoreU32BE;

// A table tag from its four characters ("cvt " with its space).
constexpr std::uint32_t TableTag(const char (&name)[5]) {
  return (static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[3]));
}

// The tables the download reads; any other tag reads as a missing table.
inline constexpr char kReadableTags[] =
    "cvt fpgmheadhheahmtxmaxpprepcmapglyflocanamepostOS/2hdmxkernLTSHVDMXgdirPCLTvmtxvhea";
inline constexpr int kReadableTagCount = 21;
bool IsReadableTag(std::uint32_t tag);

inline constexpr std::uint32_t kOffsetTableSize = 12;
inline constexpr std::uint32_t kDirectoryEntrySize = 16;

// Number of fonts in a collection, 0 when the file is no collection (or a
// collection header that does not fit in the file).
std::uint32_t CollectionFontCount(std::span<const BYTE> file);

// The font of a collection whose tables are used (0-based): the face the
// engine realized (`face`, 1-based, as FONTOBJ::iFace) when the collection
// has it; otherwise the first font for a fixed-pitch face, else font
// `count` when count < 3, else font 3.
std::uint32_t CollectionFontFor(std::uint32_t count, ULONG face, bool fixedPitch);

// Offset in the file of the offset table of font `index` (0-based, ignored
// for a single font). False when the file is too short for it, the
// collection's offset is bad or the table directory runs past the file.
bool LocateOffsetTable(std::span<const BYTE> file, std::uint32_t index, std::uint32_t* offset);

// A table found in the directory: where its bytes lie in the file.
struct TableSpan {
  std::uint32_t offset = 0;  // from the start of the file
  std::uint32_t length = 0;
};
enum class TableState { Missing, Present, Damaged };

// Looks `tag` up in the directory at `directory` (an offset table found by
// LocateOffsetTable). Damaged: listed, but its bytes do not lie inside the
// file. Tags that are not readable are Missing.
TableState FindTable(std::span<const BYTE> file, std::uint32_t directory, std::uint32_t tag,
                     TableSpan* table);

// The bytes of a present table, empty otherwise.
std::span<const BYTE> TableBytes(std::span<const BYTE> file, std::uint32_t directory,
                                 std::uint32_t tag);

// Copies table data: tag 0 copies the 12-byte offset table and returns 12.
// Without a buffer the table's length is returned; otherwise at most
// `length` bytes from `offset` in the table, and their count. A missing,
// damaged or unreadable table reads as 0.
std::uint32_t GetTrueTypeTable(std::span<const BYTE> file, std::uint32_t directory,
                               std::uint32_t tag, std::uint32_t offset, BYTE* buffer,
                               std::uint32_t length);

// Sum of the big-endian 32-bit words of `data`, the last word zero-padded.
std::uint32_t TableChecksum(std::span<const BYTE> data);

}  // namespace kv5e
