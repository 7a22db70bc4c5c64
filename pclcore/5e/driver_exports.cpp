// The library's exports: what the engine and the loader look up by name.
#include "pclcore/5e/driver_entry.h"

KVEXPORT BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  return kv5e::DllMain(instance, reason, reserved);
}

KVEXPORT BOOL DrvEnableDriver(ULONG engineVersion, ULONG size, DRVENABLEDATA* data) {
  return kv5e::DrvEnableDriver(engineVersion, size, data);
}

KVEXPORT void DrvDisableDriver() { kv5e::DrvDisableDriver(); }

KVEXPORT BOOL DrvQueryDriverInfo(DWORD code, PVOID buffer, DWORD size, PDWORD needed) {
  return kv5e::DrvQueryDriverInfo(code, buffer, size, needed);
}
