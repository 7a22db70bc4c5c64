// Engine services the graphics libraries call: memory, semaphores, local time,
// code page conversion and the abort check.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "kvplat/engine.h"
#include "kvplat/fault.h"
#include "kvplat/kernel.h"
#include "engine/code_page.h"

namespace {

// Engine allocations carry their size in a header so that EngFreeMem needs
// nothing else; the header keeps 16-byte alignment.
struct alignas(16) AllocHeader {
  std::size_t bytes;
  std::uint32_t tag;
};

}  // namespace

KVAPI PVOID EngAllocMem(FLONG flags, ULONG bytes, ULONG tag) {
  if (kvplat::fault::ShouldFail(kvplat::fault::Point::Alloc)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = (flags & FL_ZERO_MEMORY) ? std::calloc(1, sizeof(AllocHeader) + bytes)
                                         : std::malloc(sizeof(AllocHeader) + bytes);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* header = static_cast<AllocHeader*>(block);
  header->bytes = bytes;
  header->tag = tag;
  return header + 1;
}

KVAPI void EngFreeMem(PVOID mem) {
  if (mem != nullptr) std::free(static_cast<AllocHeader*>(mem) - 1);
}

KVAPI HSEMAPHORE EngCreateSemaphore() {
  return reinterpret_cast<HSEMAPHORE>(new (std::nothrow) std::recursive_mutex);
}

KVAPI void EngDeleteSemaphore(HSEMAPHORE semaphore) {
  delete reinterpret_cast<std::recursive_mutex*>(semaphore);
}

KVAPI void EngAcquireSemaphore(HSEMAPHORE semaphore) {
  if (semaphore) reinterpret_cast<std::recursive_mutex*>(semaphore)->lock();
}

KVAPI void EngReleaseSemaphore(HSEMAPHORE semaphore) {
  if (semaphore) reinterpret_cast<std::recursive_mutex*>(semaphore)->unlock();
}

KVAPI void EngQueryLocalTime(ENG_TIME_FIELDS* time) {
  if (time == nullptr) return;
  SYSTEMTIME now{};
  GetLocalTime(&now);
  time->usYear = now.wYear;
  time->usMonth = now.wMonth;
  time->usDay = now.wDay;
  time->usHour = now.wHour;
  time->usMinute = now.wMinute;
  time->usSecond = now.wSecond;
  time->usMilliseconds = now.wMilliseconds;
  time->usWeekday = now.wDayOfWeek;
}

KVAPI void EngUnicodeToMultiByteN(LPSTR multiByte, ULONG maxBytes, PULONG bytesInMultiByte,
                                  PWSTR unicode, ULONG bytesInUnicode) {
  ULONG count = bytesInUnicode / 2;
  if (count > maxBytes) count = maxBytes;
  for (ULONG i = 0; i < count; ++i) {
    multiByte[i] = static_cast<char>(kvplat::UnicodeToCp1252(unicode[i]));
  }
  if (bytesInMultiByte) *bytesInMultiByte = count;
}

KVAPI void EngMultiByteToUnicodeN(LPWSTR unicode, ULONG maxBytes, PULONG bytesInUnicode,
                                  char* multiByte, ULONG bytesInMultiByte) {
  ULONG count = bytesInMultiByte;
  if (count > maxBytes / 2) count = maxBytes / 2;
  for (ULONG i = 0; i < count; ++i) {
    unicode[i] = kvplat::Cp1252ToUnicode(static_cast<std::uint8_t>(multiByte[i]));
  }
  if (bytesInUnicode) *bytesInUnicode = count * 2;
}

KVAPI BOOL EngCheckAbort(SURFOBJ* surface) {
  if (surface == nullptr) return FALSE;
  const kvplat::engine::Device* device = kvplat::engine::DeviceFromHdev(surface->hdev);
  return device != nullptr && device->aborted ? TRUE : FALSE;
}
