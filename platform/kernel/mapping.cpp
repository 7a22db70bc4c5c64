// File mappings: views of files and of anonymous (memfd) memory.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "handles.h"
#include "internal.h"
#include "kvplat/fault.h"

namespace kvplat {
namespace {

constexpr std::uint64_t kAllocationGranularity = 0x10000;

struct MappingObject {
  HandleObject base;
  std::uint64_t size = 0;
  bool writable = false;
};

void DestroyMapping(HandleObject* object) { delete reinterpret_cast<MappingObject*>(object); }

// Views in force: base address -> length.
struct ViewTable {
  std::mutex lock;
  std::map<std::uintptr_t, std::size_t> views;
};

ViewTable& Views() {
  static ViewTable* table = new ViewTable;
  return *table;
}

// A mapping descriptor inherited from a parent (a memfd or a regular file).
HandleObject* AdoptMapping(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return nullptr;
  const int access = fcntl(fd, F_GETFL) & O_ACCMODE;
  auto* mapping = new MappingObject;
  mapping->base.destroy = DestroyMapping;
  mapping->size = static_cast<std::uint64_t>(info.st_size);
  mapping->writable = access == O_RDWR;
  return &mapping->base;
}

[[maybe_unused]] const bool kAdopterInstalled = [] {
  SetFdAdopter(HandleKind::Mapping, AdoptMapping);
  return true;
}();

}  // namespace
}  // namespace kvplat

using namespace kvplat;

KVAPI HANDLE CreateFileMappingW(HANDLE file, SECURITY_ATTRIBUTES* security, DWORD protect,
                                DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR /*name*/) {
  if (fault::ShouldFail(fault::Point::FileMapping)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const DWORD access = protect & 0xFF;
  bool writable;
  if (access == PAGE_READWRITE || access == 0x40 /*PAGE_EXECUTE_READWRITE*/) {
    writable = true;
  } else if (access == PAGE_READONLY || access == 0x08 /*PAGE_WRITECOPY*/ ||
             access == 0x20 /*PAGE_EXECUTE_READ*/) {
    writable = false;
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const bool inheritable = security != nullptr && security->bInheritHandle;
  std::uint64_t size = (static_cast<std::uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
  int fd = -1;

  if (file == INVALID_HANDLE_VALUE || file == nullptr) {
    if (file == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if (size == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    fd = memfd_create("kvmapping", inheritable ? 0 : MFD_CLOEXEC);
    if (fd < 0) {
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
      const int err = errno;
      close(fd);
      SetLastError(err == EFBIG || err == EINVAL ? ERROR_NOT_ENOUGH_MEMORY : ErrorFromErrno(err));
      return nullptr;
    }
  } else {
    HandleObject* source = LookupHandle(file, HandleKind::File);
    if (source == nullptr) return nullptr;
    const int fileAccess = fcntl(source->fd, F_GETFL) & O_ACCMODE;
    if (writable && fileAccess != O_RDWR) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    struct stat info;
    if (fstat(source->fd, &info) != 0) {
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
    const auto fileSize = static_cast<std::uint64_t>(info.st_size);
    if (size == 0) {
      if (fileSize == 0) {
        SetLastError(ERROR_FILE_INVALID);
        return nullptr;
      }
      size = fileSize;
    } else if (size > fileSize) {
      // The file grows to the mapping's size, as on Windows; a read-only
      // mapping cannot do that.
      if (!writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
      }
      if (ftruncate(source->fd, static_cast<off_t>(size)) != 0) {
        SetLastError(errno == EFBIG ? ERROR_DISK_FULL : ErrorFromErrno(errno));
        return nullptr;
      }
    }
    fd = fcntl(source->fd, inheritable ? F_DUPFD : F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
  }
  fd = RaiseFd(fd, !inheritable);
  if (fd < 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  auto* mapping = new MappingObject;
  mapping->base.kind = HandleKind::Mapping;
  mapping->base.fd = fd;
  mapping->base.destroy = DestroyMapping;
  mapping->size = size;
  mapping->writable = writable;
  HANDLE handle = RegisterHandle(&mapping->base);
  if (handle != nullptr) SetLastError(ERROR_SUCCESS);
  return handle;
}

KVAPI LPVOID MapViewOfFile(HANDLE mappingHandle, DWORD desiredAccess, DWORD offsetHigh,
                           DWORD offsetLow, SIZE_T bytesToMap) {
  HandleObject* object = LookupHandle(mappingHandle, HandleKind::Mapping);
  if (object == nullptr) return nullptr;
  if (fault::ShouldFail(fault::Point::FileMapping)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* mapping = reinterpret_cast<MappingObject*>(object);
  const std::uint64_t offset = (static_cast<std::uint64_t>(offsetHigh) << 32) | offsetLow;
  if (offset % kAllocationGranularity != 0) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  if (offset > mapping->size || (offset == mapping->size && bytesToMap == 0)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const std::uint64_t length = bytesToMap != 0 ? bytesToMap : mapping->size - offset;
  if (length > mapping->size - offset) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // Copy-on-write only when asked for alone (its bit is also part of
  // FILE_MAP_ALL_ACCESS).
  constexpr DWORD kFileMapCopy = 0x1;
  constexpr DWORD kFileMapExecute = 0x20;
  const bool copy = (desiredAccess & ~kFileMapExecute) == kFileMapCopy;
  const bool write = (desiredAccess & FILE_MAP_WRITE) != 0 || desiredAccess == FILE_MAP_ALL_ACCESS;
  if (write && !copy && !mapping->writable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const int prot = PROT_READ | ((write || copy) ? PROT_WRITE : 0);
  void* view = mmap(nullptr, length, prot, copy ? MAP_PRIVATE : MAP_SHARED, mapping->base.fd,
                    static_cast<off_t>(offset));
  if (view == MAP_FAILED) {
    SetLastError(errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ErrorFromErrno(errno));
    return nullptr;
  }
  ViewTable& views = Views();
  std::lock_guard guard(views.lock);
  views.views[reinterpret_cast<std::uintptr_t>(view)] = length;
  SetLastError(ERROR_SUCCESS);
  return view;
}

KVAPI BOOL UnmapViewOfFile(LPCVOID baseAddress) {
  ViewTable& views = Views();
  std::size_t length = 0;
  {
    std::lock_guard guard(views.lock);
    auto it = views.views.find(reinterpret_cast<std::uintptr_t>(baseAddress));
    if (it == views.views.end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    length = it->second;
    views.views.erase(it);
  }
  munmap(const_cast<void*>(baseAddress), length);
  return TRUE;
}
