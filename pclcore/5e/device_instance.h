// The library's entry points for device instances and surfaces.
#pragma once

#include "kvplat/engine.h"

namespace kv5e {

DHPDEV DrvEnablePDEV(DEVMODEW* devmode, LPWSTR logAddress, ULONG patterns, HSURF* patternSurfaces,
                     ULONG capsSize, ULONG* caps, ULONG devInfoSize, DEVINFO* devInfo, HDEV hdev,
                     LPWSTR deviceName, HANDLE driver);
void DrvCompletePDEV(DHPDEV dhpdev, HDEV hdev);
BOOL DrvResetPDEV(DHPDEV oldPdev, DHPDEV newPdev);
void DrvDisablePDEV(DHPDEV dhpdev);
HSURF DrvEnableSurface(DHPDEV dhpdev);
void DrvDisableSurface(DHPDEV dhpdev);

}  // namespace kv5e
