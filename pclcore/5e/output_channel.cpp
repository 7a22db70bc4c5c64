#include "pclcore/5e/output_channel.h"

#include <algorithm>
#include <cstring>

#include "kvplat/engine.h"
#include "kvplat/kernel.h"
#include "kvplat/spooler.h"

namespace kv5e {
namespace {

// Writes go to the capture file as they come, so that a later abort loses
// nothing already captured.
void AppendToCaptureFile(const PclPdev* pdev, const void* data, std::uint32_t length) {
  HANDLE file = CreateFileW(pdev->capturePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  SetFilePointer(file, 0, nullptr, FILE_END);
  DWORD written = 0;
  WriteFile(file, data, length, &written, nullptr);
  CloseHandle(file);
}

void DebugTrace(const char* /*format*/, std::uint32_t /*value*/) {}

// Opens storePath and maps `capacity` bytes of it; the file keeps its contents.
bool MapStore(PclPdev* pdev, std::uint32_t capacity) {
  MappedFile mapped;
  if (!MapFileForWrite(pdev->storePath, capacity, &mapped)) return false;
  pdev->storeFile = mapped.file;
  pdev->storeMapping = mapped.mapping;
  pdev->storeView = mapped.view;
  pdev->storeCapacity = capacity;
  return true;
}

void UnmapStore(PclPdev* pdev) {
  if (pdev->storeView) UnmapViewOfFile(pdev->storeView);
  if (pdev->storeMapping) CloseHandle(pdev->storeMapping);
  if (pdev->storeFile) CloseHandle(pdev->storeFile);
  pdev->storeView = nullptr;
  pdev->storeMapping = nullptr;
  pdev->storeFile = nullptr;
}

bool StoreReceivesOutput(const PclPdev* pdev) {
  return (pdev->flags & kFlagStoreOpen) && pdev->storeFile != nullptr;
}

// Appends to the page store, growing it in 256 KB steps. A store that cannot
// grow is closed and the job aborted.
bool AppendToStore(PclPdev* pdev, const void* data, std::uint32_t length) {
  if (!ReserveStore(pdev, length)) return false;
  std::memcpy(pdev->storeView + pdev->storeTop, data, length);
  pdev->storeTop += length;
  return true;
}

bool SendToPrinter(PclPdev* pdev, const void* data, std::uint32_t length) {
  DWORD written = 0;
  if (!WritePrinter(pdev->printer, const_cast<void*>(data), length, &written) ||
      written != length) {
    pdev->flags |= kFlagAborted;
    return false;
  }
  return true;
}

bool SendDirect(PclPdev* pdev, const void* data, std::uint32_t length) {
  return StoreReceivesOutput(pdev) ? AppendToStore(pdev, data, length)
                                   : SendToPrinter(pdev, data, length);
}

}  // namespace

void ResetOutputBuffer(PclPdev* pdev) {
  pdev->outCapacity = kOutCapacity;
  pdev->outFill = 0;
  pdev->outPtr = pdev->outBuffer;
}

int FlushOutput(PclPdev* pdev) {
  if (pdev->flags & kFlagSuppressed) {
    ResetOutputBuffer(pdev);
    return 1;
  }
  if (pdev->outFill == 0 || (pdev->flags & kFlagAborted)) return 1;
  const bool sent = StoreReceivesOutput(pdev) ? AppendToStore(pdev, pdev->outBuffer, pdev->outFill)
                                              : SendToPrinter(pdev, pdev->outBuffer, pdev->outFill);
  if (!sent) return 0;
  pdev->outFill = 0;
  pdev->outPtr = pdev->outBuffer;
  return 1;
}

int WriteBytes(PclPdev* pdev, const void* data, std::uint32_t length) {
  if (pdev->flags & kFlagAborted) return 0;
  if (length == 0) return 1;
  if (pdev->flags & kFlagSuppressed) {
    ResetOutputBuffer(pdev);
    return 1;
  }
  if (pdev->outputMode == kOutputDiscard) return 1;
  if (pdev->outputMode == kOutputCapture) AppendToCaptureFile(pdev, data, length);
  auto bytes = static_cast<const BYTE*>(data);
  if (static_cast<std::uint64_t>(pdev->outFill) + length > pdev->outCapacity) {
    if (!FlushOutput(pdev)) return 0;
    // Large blocks go on directly instead of being copied through the buffer.
    while (length > 1024) {
      const std::uint32_t piece = std::min(length, kOutCapacity);
      if (!SendDirect(pdev, bytes, piece)) return 0;
      bytes += piece;
      length -= piece;
    }
  }
  std::memcpy(pdev->outPtr, bytes, length);
  pdev->outPtr += length;
  pdev->outFill += length;
  return 1;
}

int WriteText(PclPdev* pdev, std::string_view text) {
  return WriteBytes(pdev, text.data(), static_cast<std::uint32_t>(text.size()));
}

int WriteLong(PclPdev* pdev, const void* data, std::uint32_t length) {
  auto bytes = static_cast<const BYTE*>(data);
  while (length > 0) {
    const std::uint32_t piece = std::min(length, kOutCapacity);
    if (!WriteBytes(pdev, bytes, piece)) return 0;
    bytes += piece;
    length -= piece;
  }
  return 1;
}

namespace {

// Appends to the formatter's output, never past its capacity (keeping room
// for the terminating NUL).
struct FormatSink {
  char* buffer;
  std::size_t capacity;
  std::size_t length = 0;
  void Put(char c) {
    if (length + 1 < capacity) buffer[length++] = c;
  }
  void Put(std::string_view text) {
    for (char c : text) Put(c);
  }
};

void PutUnsigned(FormatSink& sink, std::uint64_t value) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) sink.Put(digits[--count]);
}

void PutSigned(FormatSink& sink, std::int64_t value) {
  if (value < 0) {
    sink.Put('-');
    PutUnsigned(sink, static_cast<std::uint64_t>(-(value + 1)) + 1);
  } else {
    PutUnsigned(sink, static_cast<std::uint64_t>(value));
  }
}

void PutHex(FormatSink& sink, std::uint32_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  if (count < 2) digits[count++] = '0';
  while (count > 0) sink.Put(digits[--count]);
}

// 24.8 fixed point: integer part, then up to three decimals without trailing zeros.
void PutFixed(FormatSink& sink, std::int32_t value) {
  std::uint32_t magnitude = static_cast<std::uint32_t>(value);
  if (value < 0) {
    sink.Put('-');
    magnitude = 0u - magnitude;
  }
  PutUnsigned(sink, magnitude >> 8);
  const std::uint32_t low = magnitude & 0xFF;
  if (low == 0) return;
  sink.Put('.');
  std::uint32_t rest = (low * 100000 / 256 + 50) / 100;
  for (std::uint32_t unit = 100; unit > 0 && rest != 0; unit /= 10) {
    sink.Put(static_cast<char>('0' + rest / unit));
    rest %= unit;
  }
}

}  // namespace

int FormatCommand(char* buffer, std::size_t capacity, const char* format,
                  std::span<const FormatArg> args) {
  if (buffer == nullptr || capacity == 0) return 0;
  FormatSink sink{buffer, capacity};
  std::size_t next = 0;
  auto take = [&]() -> std::uint64_t { return next < args.size() ? args[next++].slot : 0; };
  for (const char* p = format; p != nullptr && *p != '\0'; ++p) {
    if (*p != '%') {
      sink.Put(*p);
      continue;
    }
    const char conversion = *++p;
    if (conversion == '\0') break;
    switch (conversion) {
      case 'd':
      case 'l':
        PutSigned(sink, static_cast<std::int32_t>(take()));
        break;
      case 'u':
        PutUnsigned(sink, static_cast<std::uint32_t>(take()));
        break;
      case 'x':
      case 'X':
        PutHex(sink, static_cast<std::uint32_t>(take()));
        break;
      case 'c':
        sink.Put(static_cast<char>(take()));
        break;
      case 's': {
        const auto* text = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(take()));
        if (text != nullptr) sink.Put(std::string_view(text));
        break;
      }
      case 'b':
        sink.Put(take() != 0 ? "true" : "false");
        break;
      case 'f':
        PutFixed(sink, static_cast<std::int32_t>(take()));
        break;
      default:
        sink.Put(conversion);
        break;
    }
  }
  buffer[sink.length] = '\0';
  return static_cast<int>(sink.length);
}

int WriteFormattedArgs(PclPdev* pdev, const char* format, std::span<const FormatArg> args) {
  char text[kFormatCapacity];
  const int length = FormatCommand(text, sizeof(text), format, args);
  if (length <= 0) return length;
  return WriteBytes(pdev, text, static_cast<std::uint32_t>(length)) ? length : -1;
}

int ReserveStore(PclPdev* pdev, std::uint32_t extra) {
  if (pdev->storeView == nullptr) return 0;
  if (static_cast<std::uint64_t>(pdev->storeTop) + extra <= pdev->storeCapacity) return 1;
  std::uint64_t capacity = pdev->storeCapacity;
  while (pdev->storeTop + static_cast<std::uint64_t>(extra) > capacity) capacity += kStoreGrowStep;
  UnmapStore(pdev);
  if (capacity > 0xFFFFFFFFu || !MapStore(pdev, static_cast<std::uint32_t>(capacity))) {
    ClosePageStore(pdev);
    pdev->flags |= kFlagAborted;
    return 0;
  }
  return 1;
}

int OpenPageStore(PclPdev* pdev, std::uint32_t capacity) {
  // A store file left by an earlier job is reused: cut it to nothing first, so
  // that the store reads as zeros however far it grows.
  HANDLE file = CreateFileW(pdev->storePath, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  const BOOL emptied = SetEndOfFile(file);
  CloseHandle(file);
  if (!emptied || !MapStore(pdev, capacity)) return 0;
  pdev->storeTop = 4;
  pdev->storeCurrent = 4;
  return 1;
}

void ClosePageStore(PclPdev* pdev) {
  UnmapStore(pdev);
  pdev->flags &= ~kFlagStoreOpen;
  pdev->storeCapacity = 0;
  pdev->storeTop = 0;
  pdev->storeCurrent = 0;
}

bool MapFileForRead(const WCHAR* path, MappedFile* mapped) {
  *mapped = {};
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(file, nullptr);
  if (size == INVALID_FILE_SIZE || size == 0) {
    CloseHandle(file);
    return false;
  }
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    CloseHandle(file);
    return false;
  }
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) {
    CloseHandle(mapping);
    CloseHandle(file);
    return false;
  }
  *mapped = {static_cast<BYTE*>(view), size, file, mapping};
  return true;
}

bool MapFileForWrite(const WCHAR* path, std::uint32_t size, MappedFile* mapped) {
  *mapped = {};
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, size, nullptr);
  if (mapping == nullptr) {
    DebugTrace("DISP MapMetaFileForWrite failed - CreateFileMapping, Error code=[%lu]\n",
               GetLastError());
    CloseHandle(file);
    return false;
  }
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == nullptr) {
    DebugTrace("DISP MapMetaFileForWrite failed - MapViewOfFile, Error code=[%lu]\n",
               GetLastError());
    CloseHandle(mapping);
    CloseHandle(file);
    return false;
  }
  *mapped = {static_cast<BYTE*>(view), size, file, mapping};
  return true;
}

void UnmapFile(MappedFile* mapped) {
  if (mapped->view) UnmapViewOfFile(mapped->view);
  if (mapped->mapping) CloseHandle(mapped->mapping);
  if (mapped->file) CloseHandle(mapped->file);
  *mapped = {};
}

int IntToDecimal(std::int32_t value, char* text) {
  char digits[12];
  int count = 0;
  std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                                      : static_cast<std::uint32_t>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int length = 0;
  if (value < 0) text[length++] = '-';
  while (count > 0) text[length++] = digits[--count];
  text[length] = '\0';
  return length;
}

int TwoDigits(int value, char* text) {
  text[0] = static_cast<char>('0' + (value / 10) % 10);
  text[1] = static_cast<char>('0' + value % 10);
  text[2] = '\0';
  return 2;
}

void CopyWide(WCHAR* dest, const WCHAR* source, std::size_t bound) {
  if (bound == 0) return;
  std::size_t i = 0;
  for (; source != nullptr && i + 1 < bound && source[i] != 0; ++i) dest[i] = source[i];
  for (; i < bound; ++i) dest[i] = 0;
}

void CopyNarrow(char* dest, const char* source, std::size_t bound) {
  if (bound == 0) return;
  std::size_t i = 0;
  for (; source != nullptr && i + 1 < bound && source[i] != 0; ++i) dest[i] = source[i];
  for (; i < bound; ++i) dest[i] = 0;
}

void CopyLowBytes(char* dest, const WCHAR* source, std::size_t bound) {
  if (bound == 0) return;
  std::size_t i = 0;
  for (; source != nullptr && i + 1 < bound && source[i] != 0; ++i) {
    dest[i] = static_cast<char>(source[i] & 0xFF);
  }
  for (; i < bound; ++i) dest[i] = 0;
}

void WideTo8Bit(char* dest, const WCHAR* source, std::size_t bound) {
  if (bound == 0) return;
  std::size_t i = 0;
  for (; source != nullptr && i + 1 < bound && source[i] != 0; ++i) {
    if (source[i] < 256) {
      dest[i] = static_cast<char>(source[i]);
    } else {
      WCHAR ch = source[i];
      ULONG produced = 0;
      EngUnicodeToMultiByteN(&dest[i], 1, &produced, &ch, sizeof(ch));
      if (produced == 0) dest[i] = '?';
    }
  }
  for (; i < bound; ++i) dest[i] = 0;
}

}  // namespace kv5e
