// Every byte the PCL 5e library produces passes through WriteBytes: a
// 4096-byte buffer sent to the spooler with WritePrinter, or into the page
// store when pages are replayed later, optionally teed into the watermark
// capture file or dropped. The first failed write aborts the job.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

#include "pclcore/5e/pcl_device.h"

namespace kv5e {

inline constexpr std::uint32_t kStoreGrowStep = 0x40000;

void ResetOutputBuffer(PclPdev* pdev);
// 1 on success, 0 on failure (the job is then aborted).
int WriteBytes(PclPdev* pdev, const void* data, std::uint32_t length);
int WriteText(PclPdev* pdev, std::string_view text);
int FlushOutput(PclPdev* pdev);
int WriteLong(PclPdev* pdev, const void* data, std::uint32_t length);

// One argument of the command formatter: every argument takes a 64-bit slot.
struct FormatArg {
  std::uint64_t slot = 0;
  constexpr FormatArg() = default;
  template <class T, std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, int> = 0>
  constexpr FormatArg(T value) : slot(static_cast<std::uint64_t>(static_cast<std::int64_t>(value))) {}
  FormatArg(const char* text) : slot(reinterpret_cast<std::uintptr_t>(text)) {}
};

inline constexpr std::size_t kFormatCapacity = 4096;

// Formats `format` into buffer (capacity bytes, NUL-terminated) and returns
// the length produced. Conversions: %d %l signed, %u unsigned, %x %X upper-case
// hex of at least 2 digits, %c a character, %s a narrow string, %b true/false,
// %f a 24.8 fixed-point number; any other character after % stands for itself.
// Output that would not fit is cut at the capacity.
int FormatCommand(char* buffer, std::size_t capacity, const char* format,
                  std::span<const FormatArg> args);

// Formats and writes; the number of bytes written, 0 for empty text, -1 on a
// failed write.
int WriteFormattedArgs(PclPdev* pdev, const char* format, std::span<const FormatArg> args);
template <class... Args>
int WriteFormatted(PclPdev* pdev, const char* format, Args... args) {
  const FormatArg packed[sizeof...(Args) + 1] = {FormatArg(args)...};
  return WriteFormattedArgs(pdev, format, std::span<const FormatArg>(packed, sizeof...(Args)));
}

// The page store: a temporary file mapped read-write, grown in steps.
int OpenPageStore(PclPdev* pdev, std::uint32_t capacity);
void ClosePageStore(PclPdev* pdev);
// Makes room for `extra` more bytes at storeTop, growing the store in steps
// (the file keeps its contents). A store that cannot grow is closed and the
// job aborted: 0.
int ReserveStore(PclPdev* pdev, std::uint32_t extra);

// A whole file mapped into memory.
struct MappedFile {
  BYTE* view = nullptr;
  std::uint32_t size = 0;
  HANDLE file = nullptr;
  HANDLE mapping = nullptr;
};
bool MapFileForRead(const WCHAR* path, MappedFile* mapped);
bool MapFileForWrite(const WCHAR* path, std::uint32_t size, MappedFile* mapped);
void UnmapFile(MappedFile* mapped);

// Text helpers.
int IntToDecimal(std::int32_t value, char* text);  // no leading zeros; returns the length
int TwoDigits(int value, char* text);               // tens, units and a NUL; returns 2
// Bounded copies: stop at bound - 1, always terminate, zero the rest of the bound.
void CopyWide(WCHAR* dest, const WCHAR* source, std::size_t bound);
void CopyNarrow(char* dest, const char* source, std::size_t bound);
// Keeps the low byte of each wide character.
void CopyLowBytes(char* dest, const WCHAR* source, std::size_t bound);
// Characters below 256 are copied, others converted with the default code page.
void WideTo8Bit(char* dest, const WCHAR* source, std::size_t bound);

}  // namespace kv5e
