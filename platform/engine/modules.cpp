// Resource modules of the engine: a graphics library loads a module (usually
// itself) to read its string tables and font metrics.
#include "kvplat/engine.h"
#include "kvplat/kernel.h"

KVAPI HANDLE EngLoadModule(LPWSTR moduleName) {
  if (moduleName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadLibraryExW(moduleName, nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

KVAPI PVOID EngFindResource(HANDLE module, int name, int type, PULONG size) {
  if (size) *size = 0;
  if (module == nullptr) return nullptr;
  auto hmodule = static_cast<HMODULE>(module);
  HRSRC found = FindResourceW(hmodule, MAKEINTRESOURCEW(static_cast<ULONG_PTR>(name)),
                              MAKEINTRESOURCEW(static_cast<ULONG_PTR>(type)));
  if (found == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(hmodule, found);
  if (loaded == nullptr) return nullptr;
  if (size) *size = SizeofResource(hmodule, found);
  return LockResource(loaded);
}

KVAPI void EngFreeModule(HANDLE module) {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}
