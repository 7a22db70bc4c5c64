// Kernel object handles of the platform. Every handle that CloseHandle
// accepts is a HandleObject (or a record that starts with one) registered in
// the process's handle table.
//
// Handle values: an object backed by a file descriptor (file, mapping, event,
// process pidfd, pipe) gets the descriptor number itself as its handle value;
// other objects get their record's address. A child process that inherits
// the descriptor can therefore use the parent's handle value as it is (the
// capture program receives the mapping's handle in decimal): the first lookup
// of an unknown value that names an open descriptor of the expected kind
// adopts it through the kind's adopter.
//
// To add a kind of handle elsewhere in the platform:
//   struct Event { kvplat::HandleObject base; ... };   // base first
//   auto* e = new Event{}; e->base.kind = HandleKind::Event; e->base.fd = efd;
//   e->base.destroy = [](HandleObject* o) { delete reinterpret_cast<Event*>(o); };
//   HANDLE h = kvplat::RegisterHandle(&e->base);
// and, when the kind can be inherited, SetFdAdopter(HandleKind::Event, adopt).
#pragma once

#include <cstdint>
#include <vector>

#include "kvplat/wintypes.h"

namespace kvplat {

enum class HandleKind : std::uint32_t {
  Any = 0,  // lookups only: accept every kind
  File,
  Mapping,
  Event,
  Process,
  Thread,
  Pipe,
  Other,
};

struct HandleObject {
  HandleKind kind = HandleKind::Other;
  // Owned descriptor or -1. CloseHandle closes it (after `destroy` ran).
  int fd = -1;
  // Frees the whole record (the derived type); may release other resources.
  // Null: the record is deleted as a plain HandleObject.
  void (*destroy)(HandleObject* self) = nullptr;
};

// Enters an object in the handle table and returns its handle (the
// descriptor number for fd-backed objects; descriptors 0..2 are first moved
// above 2 so that no handle is null). Returns null (and destroys the object)
// when the table cannot take it.
HANDLE RegisterHandle(HandleObject* object);
// The object behind a handle, of the given kind (Any: any kind), or null with
// ERROR_INVALID_HANDLE. An unknown value naming an open descriptor is adopted
// when an adopter for `kind` is installed.
HandleObject* LookupHandle(HANDLE handle, HandleKind kind);
// The descriptor behind a handle (-1 when none or unknown).
int HandleFd(HANDLE handle);
// Wraps a descriptor received from a parent process into a handle of the
// given kind (the handle value is the descriptor). Null when no adopter for
// that kind accepts it.
HANDLE AdoptFd(int fd, HandleKind kind);
// Adopter: builds and returns an unregistered record for a descriptor of its
// kind, or null when the descriptor is not of that kind.
using FdAdopter = HandleObject* (*)(int fd);
void SetFdAdopter(HandleKind kind, FdAdopter adopter);
// Marks a handle's descriptor inheritable by child processes (clears or sets
// FD_CLOEXEC). False for handles without a descriptor.
bool SetHandleInheritable(HANDLE handle, bool inheritable);
// Descriptors of all registered handles that are currently inheritable (for
// a process start that must not pass them on).
std::vector<int> InheritableHandleFds();
// Moves a descriptor to a number above 2 (closing the old one); -1 on failure.
int RaiseFd(int fd, bool closeOnExec);

}  // namespace kvplat
