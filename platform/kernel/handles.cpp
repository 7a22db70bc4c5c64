// The handle table, CloseHandle and the last error.
#include "handles.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <unordered_map>

#include "kvplat/kernel.h"

namespace kvplat {
namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

constexpr std::size_t kKindCount = static_cast<std::size_t>(HandleKind::Other) + 1;

struct HandleTable {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, HandleObject*> objects;
  std::array<FdAdopter, kKindCount> adopters{};
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives until exit, past static destructors
  return *table;
}

void Destroy(HandleObject* object) {
  if (object->destroy != nullptr) {
    object->destroy(object);
  } else {
    delete object;
  }
}

std::uintptr_t KeyOf(const HandleObject* object) {
  return object->fd >= 0 ? static_cast<std::uintptr_t>(object->fd)
                         : reinterpret_cast<std::uintptr_t>(object);
}

bool KindMatches(const HandleObject* object, HandleKind kind) {
  return kind == HandleKind::Any || object->kind == kind;
}

}  // namespace

int RaiseFd(int fd, bool closeOnExec) {
  if (fd < 0 || fd > 2) return fd;
  const int raised = fcntl(fd, closeOnExec ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
  close(fd);
  return raised;
}

HANDLE RegisterHandle(HandleObject* object) {
  if (object == nullptr) return nullptr;
  if (object->fd >= 0 && object->fd <= 2) {
    const bool cloexec = (fcntl(object->fd, F_GETFD) & FD_CLOEXEC) != 0;
    object->fd = RaiseFd(object->fd, cloexec);
    if (object->fd < 0) {
      Destroy(object);
      SetLastError(ERROR_TOO_MANY_OPEN_FILES);
      return nullptr;
    }
  }
  HandleTable& table = Table();
  const std::uintptr_t key = KeyOf(object);
  std::lock_guard guard(table.lock);
  table.objects[key] = object;
  return reinterpret_cast<HANDLE>(key);
}

HandleObject* LookupHandle(HANDLE handle, HandleKind kind) {
  const auto key = reinterpret_cast<std::uintptr_t>(handle);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    HandleTable& table = Table();
    FdAdopter adopter = nullptr;
    {
      std::lock_guard guard(table.lock);
      auto it = table.objects.find(key);
      if (it != table.objects.end()) {
        if (KindMatches(it->second, kind)) return it->second;
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
      }
      if (kind != HandleKind::Any) adopter = table.adopters[static_cast<std::size_t>(kind)];
    }
    if (adopter != nullptr && key > 2 && key < (1u << 30) &&
        AdoptFd(static_cast<int>(key), kind) != nullptr) {
      std::lock_guard guard(table.lock);
      auto it = table.objects.find(key);
      if (it != table.objects.end()) return it->second;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

int HandleFd(HANDLE handle) {
  HandleObject* object = LookupHandle(handle, HandleKind::Any);
  return object != nullptr ? object->fd : -1;
}

HANDLE AdoptFd(int fd, HandleKind kind) {
  if (fd < 0 || kind == HandleKind::Any || fcntl(fd, F_GETFD) < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  HandleTable& table = Table();
  FdAdopter adopter;
  {
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(static_cast<std::uintptr_t>(fd));
    if (it != table.objects.end()) {
      return KindMatches(it->second, kind) ? reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(fd))
                                           : nullptr;
    }
    adopter = table.adopters[static_cast<std::size_t>(kind)];
  }
  HandleObject* object = adopter != nullptr ? adopter(fd) : nullptr;
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  object->kind = kind;
  object->fd = fd;
  std::lock_guard guard(table.lock);
  auto [it, inserted] = table.objects.emplace(static_cast<std::uintptr_t>(fd), object);
  if (!inserted) {  // another thread adopted it first
    object->fd = -1;
    Destroy(object);
  }
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(fd));
}

void SetFdAdopter(HandleKind kind, FdAdopter adopter) {
  const auto index = static_cast<std::size_t>(kind);
  if (index == 0 || index >= kKindCount) return;
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  table.adopters[index] = adopter;
}

bool SetHandleInheritable(HANDLE handle, bool inheritable) {
  const int fd = HandleFd(handle);
  if (fd < 0) return false;
  const int flags = fcntl(fd, F_GETFD);
  if (flags < 0) return false;
  return fcntl(fd, F_SETFD, inheritable ? (flags & ~FD_CLOEXEC) : (flags | FD_CLOEXEC)) == 0;
}

std::vector<int> InheritableHandleFds() {
  std::vector<int> fds;
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  for (const auto& [key, object] : table.objects) {
    if (object->fd >= 0 && (fcntl(object->fd, F_GETFD) & FD_CLOEXEC) == 0) fds.push_back(object->fd);
  }
  return fds;
}

}  // namespace kvplat

using kvplat::HandleKind;
using kvplat::HandleObject;

KVAPI void SetLastError(DWORD code) { kvplat::tLastError = code; }
KVAPI DWORD GetLastError() { return kvplat::tLastError; }

KVAPI BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  kvplat::HandleTable& table = kvplat::Table();
  HandleObject* object = nullptr;
  {
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it != table.objects.end()) {
      object = it->second;
      table.objects.erase(it);
    }
  }
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const int fd = object->fd;
  kvplat::Destroy(object);
  if (fd >= 0) close(fd);
  return TRUE;
}
