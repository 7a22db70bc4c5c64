// The engine's side of a graphics library: load it by the printer's driver
// path, keep the entry table DrvEnableDriver hands over, and drive the device
// instances of device contexts through it.
#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "kvplat/engine.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"

namespace kvplat::engine {

struct GraphicsDriver {
  HMODULE module = nullptr;
  ULONG version = 0;
  std::array<PFN, INDEX_LAST + 1> functions{};
};

namespace {

std::mutex g_devicesLock;
std::unordered_set<Device*>& LiveDevices() {
  static auto* devices = new std::unordered_set<Device*>;
  return *devices;
}

std::string LastErrorText(const char* what) {
  return std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

// DRIVER_INFO_2 of an open printer, in a buffer of its own.
std::vector<BYTE> DriverInfo2(HANDLE printer) {
  DWORD needed = 0;
  GetPrinterDriverW(printer, nullptr, 2, nullptr, 0, &needed);
  if (needed == 0) return {};
  std::vector<BYTE> buffer(needed);
  if (!GetPrinterDriverW(printer, nullptr, 2, buffer.data(), needed, &needed)) return {};
  return buffer;
}

}  // namespace

GraphicsDriver* LoadGraphicsDriver(HANDLE printer, std::string* error) {
  std::vector<BYTE> info = DriverInfo2(printer);
  if (info.empty()) {
    if (error) *error = LastErrorText("cannot read the printer's driver information");
    return nullptr;
  }
  const auto* driverInfo = reinterpret_cast<const DRIVER_INFO_2W*>(info.data());
  HMODULE module = LoadLibraryW(driverInfo->pDriverPath);
  if (module == nullptr) {
    if (error) {
      *error = LastErrorText(("cannot load the graphics library " +
                              ToUtf8(driverInfo->pDriverPath))
                                 .c_str());
    }
    return nullptr;
  }
  auto enable = reinterpret_cast<PFN_DrvEnableDriver>(GetProcAddress(module, "DrvEnableDriver"));
  if (enable == nullptr) {
    FreeLibrary(module);
    if (error) *error = "the graphics library exports no DrvEnableDriver";
    return nullptr;
  }
  DRVENABLEDATA data{};
  if (!enable(DDI_ENGINE_VERSION, sizeof(data), &data) || data.pdrvfn == nullptr) {
    FreeLibrary(module);
    if (error) *error = "DrvEnableDriver failed";
    return nullptr;
  }
  auto* driver = new (std::nothrow) GraphicsDriver;
  if (driver == nullptr) {
    FreeLibrary(module);
    if (error) *error = "out of memory";
    return nullptr;
  }
  driver->module = module;
  driver->version = data.iDriverVersion;
  for (ULONG i = 0; i < data.c; ++i) {
    if (data.pdrvfn[i].iFunc <= INDEX_LAST) driver->functions[data.pdrvfn[i].iFunc] = data.pdrvfn[i].pfn;
  }
  return driver;
}

void UnloadGraphicsDriver(GraphicsDriver* driver) {
  if (driver == nullptr) return;
  if (auto disable = reinterpret_cast<PFN_DrvDisableDriver>(
          GetProcAddress(driver->module, "DrvDisableDriver"))) {
    disable();
  }
  FreeLibrary(driver->module);
  delete driver;
}

PFN DriverFunction(const GraphicsDriver* driver, ULONG index) {
  return driver != nullptr && index <= INDEX_LAST ? driver->functions[index] : nullptr;
}

ULONG DriverVersion(const GraphicsDriver* driver) { return driver ? driver->version : 0; }
HMODULE DriverModule(const GraphicsDriver* driver) { return driver ? driver->module : nullptr; }

Device* DeviceFromHdev(HDEV hdev) {
  auto* device = reinterpret_cast<Device*>(hdev);
  std::lock_guard lock(g_devicesLock);
  return LiveDevices().count(device) ? device : nullptr;
}

namespace {

struct Instance {
  DHPDEV dhpdev = nullptr;
  HSURF surface = nullptr;
};

// DrvEnablePDEV, DrvCompletePDEV and DrvEnableSurface for `device`, which
// keeps what the library reported.
bool EnableInstance(Device* device, DEVMODEW* devmode, std::u16string_view deviceName,
                    std::u16string_view logAddress, Instance* made, std::string* error) {
  GraphicsDriver* driver = device->driver;
  auto enablePdev = reinterpret_cast<PFN_DrvEnablePDEV>(DriverFunction(driver, INDEX_DrvEnablePDEV));
  auto completePdev =
      reinterpret_cast<PFN_DrvCompletePDEV>(DriverFunction(driver, INDEX_DrvCompletePDEV));
  auto enableSurface =
      reinterpret_cast<PFN_DrvEnableSurface>(DriverFunction(driver, INDEX_DrvEnableSurface));
  auto disablePdev =
      reinterpret_cast<PFN_DrvDisablePDEV>(DriverFunction(driver, INDEX_DrvDisablePDEV));
  if (enablePdev == nullptr || completePdev == nullptr || enableSurface == nullptr ||
      disablePdev == nullptr) {
    if (error) *error = "the graphics library lacks the device entry points";
    return false;
  }
  auto hdev = reinterpret_cast<HDEV>(device);
  std::u16string name(deviceName);
  std::u16string address(logAddress);
  std::array<HSURF, 18> patterns{};  // the engine's standard hatch count
  GDIINFO gdiInfo{};
  DEVINFO devInfo{};
  made->dhpdev = enablePdev(devmode, address.data(), static_cast<ULONG>(patterns.size()),
                            patterns.data(), sizeof(GDIINFO), reinterpret_cast<ULONG*>(&gdiInfo),
                            sizeof(DEVINFO), &devInfo, hdev, name.data(), device->printer);
  if (made->dhpdev == nullptr) {
    if (error) *error = LastErrorText("DrvEnablePDEV failed");
    return false;
  }
  device->enabling = made->dhpdev;
  completePdev(made->dhpdev, hdev);
  made->surface = enableSurface(made->dhpdev);
  device->enabling = nullptr;
  if (made->surface == nullptr) {
    disablePdev(made->dhpdev);
    if (error) *error = "DrvEnableSurface failed";
    return false;
  }
  device->gdiInfo = gdiInfo;
  device->devInfo = devInfo;
  return true;
}

void DisableInstance(GraphicsDriver* driver, const Instance& instance) {
  if (instance.surface != nullptr) {
    if (auto disableSurface = reinterpret_cast<PFN_DrvDisableSurface>(
            DriverFunction(driver, INDEX_DrvDisableSurface))) {
      disableSurface(instance.dhpdev);
    }
  }
  if (instance.dhpdev != nullptr) {
    if (auto disablePdev = reinterpret_cast<PFN_DrvDisablePDEV>(
            DriverFunction(driver, INDEX_DrvDisablePDEV))) {
      disablePdev(instance.dhpdev);
    }
  }
}

}  // namespace

Device* EnableDevice(GraphicsDriver* driver, HANDLE printer, DEVMODEW* devmode,
                     std::u16string_view deviceName, std::u16string_view logAddress,
                     std::string* error) {
  auto device = std::make_unique<Device>();
  device->driver = driver;
  device->printer = printer;
  {
    std::lock_guard lock(g_devicesLock);
    LiveDevices().insert(device.get());
  }
  Instance instance;
  if (!EnableInstance(device.get(), devmode, deviceName, logAddress, &instance, error)) {
    std::lock_guard lock(g_devicesLock);
    LiveDevices().erase(device.get());
    return nullptr;
  }
  device->dhpdev = instance.dhpdev;
  device->surface = instance.surface;
  return device.release();
}

bool ResetDevice(Device* device, DEVMODEW* devmode, std::u16string_view deviceName,
                 std::u16string_view logAddress, std::string* error) {
  auto resetPdev =
      reinterpret_cast<PFN_DrvResetPDEV>(DriverFunction(device->driver, INDEX_DrvResetPDEV));
  const GDIINFO oldGdi = device->gdiInfo;
  const DEVINFO oldDev = device->devInfo;
  const FLONG oldHooks = device->hooks;
  Instance fresh;
  if (!EnableInstance(device, devmode, deviceName, logAddress, &fresh, error)) {
    device->gdiInfo = oldGdi;
    device->devInfo = oldDev;
    device->hooks = oldHooks;
    return false;
  }
  if (resetPdev != nullptr && !resetPdev(device->dhpdev, fresh.dhpdev)) {
    DisableInstance(device->driver, fresh);
    device->gdiInfo = oldGdi;
    device->devInfo = oldDev;
    device->hooks = oldHooks;
    if (error) *error = "DrvResetPDEV failed";
    return false;
  }
  DisableInstance(device->driver, {device->dhpdev, device->surface});
  device->dhpdev = fresh.dhpdev;
  device->surface = fresh.surface;
  return true;
}

void DisableDevice(Device* device) {
  if (device == nullptr) return;
  DisableInstance(device->driver, {device->dhpdev, device->surface});
  {
    std::lock_guard lock(g_devicesLock);
    LiveDevices().erase(device);
  }
  delete device;
}

}  // namespace kvplat::engine
