// How the engine finds the library: the table of drawing entry points and the
// module-wide state written at load.
#pragma once

#include "kvplat/engine.h"

namespace kv5e {

inline constexpr ULONG kDriverVersion = DDI_DRIVER_VERSION_NT5_01_SP1;
inline constexpr ULONG kEntryCount = 28;

BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
BOOL DrvEnableDriver(ULONG engineVersion, ULONG size, DRVENABLEDATA* data);
void DrvDisableDriver();
BOOL DrvQueryDriverInfo(DWORD code, PVOID buffer, DWORD size, PDWORD needed);
ULONG DrvDitherColor(DHPDEV dhpdev, ULONG mode, ULONG rgb, ULONG* dither);

// The module's instance handle and the glyph set shared by the device fonts.
HINSTANCE ModuleInstance();
FD_GLYPHSET* ModuleGlyphSet();

}  // namespace kv5e
