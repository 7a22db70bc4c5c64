// Printer device contexts: CreateDCW opens the printer, loads its graphics
// library and enables a device instance with the job's device mode; ResetDCW
// enables a new instance; DeleteDC tears it all down. GetDeviceCaps answers
// from what the library reported at enable, ExtEscape passes escapes to it.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "gdi/dc.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"

namespace kvplat::gdi {

int EndDocumentOnDelete(DC& dc);  // documents.cpp

namespace {

// ---- graphics libraries, loaded once per process ------------------------------
// The engine enables a graphics library once however many device contexts use
// it: DrvDisableDriver frees what DrvEnableDriver set up for all of them, so
// it may only run when the last one goes.
struct LoadedDriver {
  engine::GraphicsDriver* driver = nullptr;
  int users = 0;
};

std::mutex g_driversLock;
std::unordered_map<std::u16string, LoadedDriver>& LoadedDrivers() {
  static auto* drivers = new std::unordered_map<std::u16string, LoadedDriver>;
  return *drivers;
}

std::u16string FoldPath(std::u16string_view path) {
  std::u16string folded(path);
  for (char16_t& c : folded) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c == u'/') c = u'\\';
  }
  return folded;
}

// The folded path of the printer's graphics library (DRIVER_INFO_2 pDriverPath).
std::u16string DriverPathKey(HANDLE printer) {
  DWORD needed = 0;
  GetPrinterDriverW(printer, nullptr, 2, nullptr, 0, &needed);
  if (needed < sizeof(DRIVER_INFO_2W)) return {};
  std::vector<BYTE> buffer(needed);
  if (!GetPrinterDriverW(printer, nullptr, 2, buffer.data(), needed, &needed)) return {};
  const auto* info = reinterpret_cast<const DRIVER_INFO_2W*>(buffer.data());
  return info->pDriverPath != nullptr ? FoldPath(info->pDriverPath) : std::u16string();
}

engine::GraphicsDriver* AcquireDriver(HANDLE printer, std::string* error) {
  const std::u16string key = DriverPathKey(printer);
  std::lock_guard lock(g_driversLock);
  if (!key.empty()) {
    const auto found = LoadedDrivers().find(key);
    if (found != LoadedDrivers().end()) {
      ++found->second.users;
      return found->second.driver;
    }
  }
  engine::GraphicsDriver* driver = engine::LoadGraphicsDriver(printer, error);
  if (driver != nullptr && !key.empty()) LoadedDrivers()[key] = LoadedDriver{driver, 1};
  return driver;
}

void ReleaseDriver(engine::GraphicsDriver* driver) {
  if (driver == nullptr) return;
  std::lock_guard lock(g_driversLock);
  auto& drivers = LoadedDrivers();
  const auto found = std::find_if(drivers.begin(), drivers.end(),
                                  [driver](const auto& entry) { return entry.second.driver == driver; });
  if (found != drivers.end()) {
    if (--found->second.users > 0) return;
    drivers.erase(found);
  }
  engine::UnloadGraphicsDriver(driver);
}

// ---- device modes ---------------------------------------------------------------
// The smallest public part a device mode record can have: up to dmFields.
constexpr std::size_t kMinDevmodeSize = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);

// A DC's own copy of a caller's device mode record (public part of dmSize
// bytes, then dmDriverExtra private bytes). The copy is at least as long as
// today's public record, zero-filled past the caller's bytes, so that a
// library reading an older, shorter record never reads past it.
bool CopyDevmode(const DEVMODEW* devmode, std::vector<BYTE>* copy) {
  if (devmode->dmSize < kMinDevmodeSize) return false;
  const std::size_t size = std::size_t{devmode->dmSize} + devmode->dmDriverExtra;
  const auto* bytes = reinterpret_cast<const BYTE*>(devmode);
  copy->assign(std::max(size, sizeof(DEVMODEW)), 0);
  std::memcpy(copy->data(), bytes, size);
  return true;
}

DEVMODEW* DevmodeOf(std::vector<BYTE>& devmode) {
  return devmode.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(devmode.data());
}

struct PrinterFacts {
  std::u16string name;
  std::u16string port;
  std::vector<BYTE> storedDevmode;  // empty when the printer has none
};

bool ReadPrinterFacts(HANDLE printer, PrinterFacts* facts) {
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  if (needed < sizeof(PRINTER_INFO_2W)) return false;
  std::vector<BYTE> buffer(needed);
  if (!GetPrinterW(printer, 2, buffer.data(), needed, &needed)) return false;
  const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  facts->name = info->pPrinterName != nullptr ? info->pPrinterName : u"";
  facts->port = info->pPortName != nullptr ? info->pPortName : u"";
  facts->storedDevmode.clear();
  if (info->pDevMode != nullptr && !CopyDevmode(info->pDevMode, &facts->storedDevmode)) {
    facts->storedDevmode.clear();
  }
  return true;
}

bool EqualsNoCaseAscii(const WCHAR* text, std::u16string_view word) {
  const std::size_t length = WideLength(text);
  if (length != word.size()) return false;
  for (std::size_t i = 0; i < length; ++i) {
    char16_t c = text[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != word[i]) return false;
  }
  return true;
}

// Sets `fallback` as the last error unless the failed call left one.
void KeepOrSetError(DWORD fallback) {
  if (GetLastError() == ERROR_SUCCESS) SetLastError(fallback);
}

// Tears down what a printer DC holds (after its document ended).
void ClosePrinterDc(PrinterDc& printer) {
  if (printer.device != nullptr) engine::DisableDevice(printer.device);
  printer.device = nullptr;
  ReleaseDriver(printer.driver);
  printer.driver = nullptr;
  if (printer.printer != nullptr) ClosePrinter(printer.printer);
  printer.printer = nullptr;
}

}  // namespace

}  // namespace kvplat::gdi

using namespace kvplat::gdi;
namespace engine = kvplat::engine;

KVAPI HDC CreateDCW(LPCWSTR driver, LPCWSTR device, LPCWSTR /*output*/, const DEVMODEW* devmode) {
  SetFailureText({});
  if (driver != nullptr && EqualsNoCaseAscii(driver, u"DISPLAY")) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (device == nullptr || device[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto dc = std::make_shared<DC>();
  dc->kind = DcKind::Printer;
  PrinterDc& printer = dc->printer;
  if (devmode != nullptr && !CopyDevmode(devmode, &printer.devmode)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }

  std::u16string name(device);
  PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_USE};
  if (!OpenPrinterW(name.data(), &printer.printer, &defaults)) {
    printer.printer = nullptr;
    return nullptr;  // OpenPrinterW's error (ERROR_INVALID_PRINTER_NAME for an unknown one)
  }
  PrinterFacts facts;
  if (!ReadPrinterFacts(printer.printer, &facts)) {
    KeepOrSetError(ERROR_INVALID_PRINTER_NAME);
    ClosePrinterDc(printer);
    return nullptr;
  }
  printer.deviceName = facts.name;
  printer.port = facts.port;
  if (devmode == nullptr) printer.devmode = std::move(facts.storedDevmode);

  std::string error;
  SetLastError(ERROR_SUCCESS);
  printer.driver = AcquireDriver(printer.printer, &error);
  if (printer.driver == nullptr) {
    KeepOrSetError(ERROR_UNKNOWN_PRINTER_DRIVER);
    SetFailureText(error);
    ClosePrinterDc(printer);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  printer.device = engine::EnableDevice(printer.driver, printer.printer, DevmodeOf(printer.devmode),
                                        printer.deviceName, printer.port, &error);
  if (printer.device == nullptr) {
    const DWORD code = GetLastError();
    SetFailureText(error);
    ClosePrinterDc(printer);
    SetLastError(code != ERROR_SUCCESS ? code : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HDC hdc = RegisterDc(dc);
  if (hdc == nullptr) {
    ClosePrinterDc(printer);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return hdc;
}

KVAPI BOOL DeleteDC(HDC hdc) {
  std::shared_ptr<DC> dc = ReleaseDc(hdc);
  if (dc == nullptr) return FALSE;
  std::lock_guard lock(dc->mutex);
  EndDocumentOnDelete(*dc);
  ClosePrinterDc(dc->printer);
  return TRUE;
}

KVAPI HDC ResetDCW(HDC hdc, const DEVMODEW* devmode) {
  SetFailureText({});
  std::shared_ptr<DC> dc = FindDc(hdc);
  if (dc == nullptr) return nullptr;
  std::lock_guard lock(dc->mutex);
  if (dc->kind != DcKind::Printer) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  PrinterDc& printer = dc->printer;
  // The page in progress belongs to the instance that started it.
  if (printer.doc == DocState::InPage) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<BYTE> fresh;
  if (devmode != nullptr) {
    if (!CopyDevmode(devmode, &fresh)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  } else {
    PrinterFacts facts;
    if (ReadPrinterFacts(printer.printer, &facts)) fresh = std::move(facts.storedDevmode);
  }
  std::string error;
  SetLastError(ERROR_SUCCESS);
  if (!engine::ResetDevice(printer.device, DevmodeOf(fresh), printer.deviceName, printer.port,
                           &error)) {
    KeepOrSetError(ERROR_INVALID_PARAMETER);
    SetFailureText(error);
    return nullptr;
  }
  printer.devmode = std::move(fresh);
  return hdc;
}

KVAPI int ExtEscape(HDC hdc, int escape, int inputSize, LPCSTR input, int outputSize, LPSTR output) {
  std::shared_ptr<DC> dc = FindDc(hdc);
  if (dc == nullptr) return -1;
  if (inputSize < 0 || outputSize < 0 || (input == nullptr && inputSize > 0) ||
      (output == nullptr && outputSize > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  std::lock_guard lock(dc->mutex);
  const PrinterDc& printer = dc->printer;
  auto drvEscape = DriverEntry<PFN_DrvEscape>(printer, INDEX_DrvEscape);
  if (drvEscape == nullptr) return 0;
  LockedSurface surface(printer.device);
  const ULONG result = drvEscape(surface.get(), static_cast<ULONG>(escape),
                                 static_cast<ULONG>(inputSize), const_cast<char*>(input),
                                 static_cast<ULONG>(outputSize), output);
  return static_cast<int>(result);
}

namespace {

// Sizes in millimetres; a negative value from the library is in micrometres.
int Millimetres(ULONG reported) {
  const auto value = static_cast<LONG>(reported);
  return value < 0 ? (-value + 500) / 1000 : value;
}

constexpr int kRasterCaps = RC_BITBLT | RC_BANDING | RC_SCALING | RC_BITMAP64 | RC_GDI20_OUTPUT |
                            RC_DI_BITMAP | RC_DIBTODEV | RC_BIGFONT | RC_STRETCHBLT | RC_STRETCHDIB;
// The engine draws what the library does not: every curve, line and polygon.
constexpr int kCurveCaps = CC_CIRCLES | CC_PIE | CC_CHORD | CC_ELLIPSES | CC_WIDE | CC_STYLED |
                           CC_WIDESTYLED | CC_INTERIORS | CC_ROUNDRECT;
constexpr int kLineCaps = LC_POLYLINE | LC_MARKER | LC_POLYMARKER | LC_WIDE | LC_STYLED |
                          LC_WIDESTYLED | LC_INTERIORS;
constexpr int kPolygonalCaps = PC_POLYGON | PC_RECTANGLE | PC_WINDPOLYGON | PC_SCANLINE | PC_WIDE |
                               PC_STYLED | PC_WIDESTYLED | PC_INTERIORS | PC_POLYPOLYGON | PC_PATHS;

}  // namespace

KVAPI int GetDeviceCaps(HDC hdc, int index) {
  std::shared_ptr<DC> dc = FindDc(hdc);
  if (dc == nullptr) return 0;
  std::lock_guard lock(dc->mutex);
  if (dc->kind != DcKind::Printer) return MemoryDeviceCaps(*dc, index);
  const engine::Device* device = dc->printer.device;
  const GDIINFO& g = device->gdiInfo;
  switch (index) {
    case DRIVERVERSION: return static_cast<int>(g.ulVersion);
    case TECHNOLOGY: return static_cast<int>(g.ulTechnology);
    case HORZSIZE: return Millimetres(g.ulHorzSize);
    case VERTSIZE: return Millimetres(g.ulVertSize);
    case HORZRES: return static_cast<int>(g.ulHorzRes);
    case VERTRES: return static_cast<int>(g.ulVertRes);
    case BITSPIXEL: return static_cast<int>(g.cBitsPixel);
    case PLANES: return static_cast<int>(g.cPlanes);
    case NUMBRUSHES:
    case NUMPENS: return -1;  // as many as the application makes
    case NUMFONTS: return static_cast<int>(device->devInfo.cFonts);
    case NUMCOLORS: return static_cast<int>(g.ulNumColors);
    case CURVECAPS: return kCurveCaps;
    case LINECAPS: return kLineCaps;
    case POLYGONALCAPS: return kPolygonalCaps;
    case TEXTCAPS: return static_cast<int>(g.flTextCaps);
    case CLIPCAPS: return CP_RECTANGLE;
    case RASTERCAPS: return kRasterCaps;
    case ASPECTX: return static_cast<int>(g.ulAspectX);
    case ASPECTY: return static_cast<int>(g.ulAspectY);
    case ASPECTXY: return static_cast<int>(g.ulAspectXY);
    case LOGPIXELSX: return static_cast<int>(g.ulLogPixelsX);
    case LOGPIXELSY: return static_cast<int>(g.ulLogPixelsY);
    case SIZEPALETTE:
    case NUMRESERVED:
    case COLORRES: return 0;
    case PHYSICALWIDTH: return g.szlPhysSize.cx;
    case PHYSICALHEIGHT: return g.szlPhysSize.cy;
    case PHYSICALOFFSETX: return g.ptlPhysOffset.x;
    case PHYSICALOFFSETY: return g.ptlPhysOffset.y;
    case SCALINGFACTORX:
    case SCALINGFACTORY: return 0;
    default: return 0;
  }
}
