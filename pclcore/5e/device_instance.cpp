// Device instances: created for each printer device context, they merge the
// job's device mode, lay the page out and tell the engine what the device is.
#include "pclcore/5e/device_instance.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "kvplat/kernel.h"
#include "kvplat/spooler.h"
#include "pclcore/5e/device_fonts.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/driver_strings.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/page_layout.h"
#include "pclcore/5e/page_store.h"
#include "pclcore/5e/soft_fonts.h"
#include "settings/devmode_record.h"
#include "settings/driver_devmode.h"

namespace kv5e {
namespace {

using kvset::DmField;

inline constexpr FLONG kHooks = HOOK_BITBLT | HOOK_STRETCHBLT | HOOK_TEXTOUT | HOOK_PAINT |
                                HOOK_STROKEPATH | HOOK_FILLPATH | HOOK_STROKEANDFILLPATH |
                                HOOK_LINETO | HOOK_COPYBITS;
static_assert(kHooks == 0x5FB);
inline constexpr FLONG kGraphicsCaps = 0x211D;
inline constexpr ULONG kTextCaps = 0x5C1F;
inline constexpr std::size_t kPrivateMagicOffset = 556;  // in the private block

// DRIVER_INFO_2 of the printer in a buffer of its own; empty when unreadable.
std::vector<BYTE> ReadDriverInfo(HANDLE printer) {
  DWORD needed = 0;
  GetPrinterDriverW(printer, nullptr, 2, nullptr, 0, &needed);
  if (needed < sizeof(DRIVER_INFO_2W)) return {};
  std::vector<BYTE> buffer(needed);
  if (!GetPrinterDriverW(printer, nullptr, 2, buffer.data(), needed, &needed)) return {};
  return buffer;
}

const DRIVER_INFO_2W* AsDriverInfo(const std::vector<BYTE>& buffer) {
  return reinterpret_cast<const DRIVER_INFO_2W*>(buffer.data());
}

HANDLE LoadResourceModule(HANDLE printer) {
  const std::vector<BYTE> info = ReadDriverInfo(printer);
  if (info.empty() || AsDriverInfo(info)->pDriverPath == nullptr) return nullptr;
  return EngLoadModule(AsDriverInfo(info)->pDriverPath);
}

// "QV5EXXXX.XXX" with the characters at 4, 5 and 6 replaced by the units, tens
// and hundreds digits of a number 0..255.
bool BuildTempName(HANDLE module, unsigned stringId, const WCHAR* tempDir, unsigned number,
                   WCHAR* out, std::size_t bound) {
  WCHAR pattern[32];
  const int length = LoadDriverString(module, stringId, pattern, 32);
  if (length < 0) return false;
  if (length >= 7) {
    pattern[4] = static_cast<WCHAR>(u'0' + number % 10);
    pattern[5] = static_cast<WCHAR>(u'0' + number / 10 % 10);
    pattern[6] = static_cast<WCHAR>(u'0' + number / 100 % 10);
  }
  std::u16string path(tempDir);
  path += pattern;
  CopyWide(out, path.c_str(), bound);
  return true;
}

void FreeInstance(PclPdev* pdev) {
  // A document that never ended may still hold its page store.
  if (pdev->storeFile != nullptr) ClosePageStore(pdev);
  if (pdev->resourceModule) EngFreeModule(pdev->resourceModule);
  ResetHpglState(pdev->hpglState);  // frees its line type definitions
  FreeRasterBuffers(pdev->raster);
  FreeDeviceFonts(pdev);
  FreeSoftFonts(pdev);
  EngFreeMem(pdev->textPositions);
  pdev->textPositions = nullptr;
  if (pdev->palette) EngDeletePalette(pdev->palette);
  pdev->magicHead = 0;
  pdev->magicTail = 0;
  EngFreeMem(pdev);
}

LOGFONTW DeviceFont(LONG height, BYTE pitchAndFamily, std::u16string_view face) {
  LOGFONTW font{};
  font.lfHeight = height;
  font.lfWeight = 400;
  font.lfPitchAndFamily = pitchAndFamily;
  CopyWide(font.lfFaceName, std::u16string(face).c_str(), LF_FACESIZE);
  return font;
}

LOGFONTW StaticFont(LONG height, LONG width, LONG weight, BYTE pitch, std::u16string_view face) {
  LOGFONTW font = DeviceFont(height, pitch, face);
  font.lfWidth = width;
  font.lfWeight = weight;
  return font;
}

void FillGdiInfo(const PclPdev* pdev, GDIINFO* g) {
  const DEVMODEW* dm = PublicDevmode(pdev);
  const std::uint32_t dpi = static_cast<std::uint16_t>(dm->dmPrintQuality);
  const std::uint32_t e = pdev->effectiveDpi > 0 ? pdev->effectiveDpi : dpi;
  // dmScale is checked by the merge only when the caller marks it: a record
  // with none keeps 100.
  const std::uint32_t scale = dm->dmScale > 0 ? static_cast<std::uint32_t>(dm->dmScale) : 100;
  const Geometry& geo = pdev->geometry;
  const std::uint32_t pw = geo.printableWidth, ph = geo.printableHeight;
  const std::uint32_t fw = geo.physicalWidth, fh = geo.physicalHeight;
  *g = {};
  g->ulVersion = 0x400;
  g->ulTechnology = DT_RASPRINTER;
  if (dpi == e) {
    g->ulHorzSize = pw * 254 / (dpi * 10) * 100 / scale;
    g->ulVertSize = ph * 254 / (dpi * 10) * 100 / scale;
    g->ulLogPixelsX = g->ulLogPixelsY = e * scale / 100;
  } else {
    g->ulHorzSize = pw * 254 / (e * 10);
    g->ulVertSize = ph * 254 / (e * 10);
    g->ulLogPixelsX = g->ulLogPixelsY = static_cast<ULONG>(pdev->logicalDpi);
  }
  g->ulHorzRes = pw;
  g->ulVertRes = ph;
  g->cBitsPixel = 24;
  g->cPlanes = 1;
  g->ulNumColors = dm->dmColor == 1 ? 2 : 8;
  g->flRaster = 0;
  g->flTextCaps = kTextCaps;
  g->ulAspectX = g->ulAspectY = dpi;
  g->ulAspectXY = dpi * 1414 / 1000;
  g->xStyleStep = 1;
  g->yStyleStep = 1;
  g->denStyleStep = static_cast<LONG>(dpi / 50);
  g->ptlPhysOffset = {static_cast<LONG>((fw - pw) / 2), static_cast<LONG>((fh - ph) / 2)};
  g->szlPhysSize = {static_cast<LONG>(fw), static_cast<LONG>(fh)};
  g->ulNumPalReg = 0;
  COLORINFO& c = g->ciDevice;
  c.Red = {6380, 3350, 0};
  c.Green = {2345, 6075, 0};
  c.Blue = {1410, 932, 0};
  c.Cyan = {2000, 2450, 0};
  c.Magenta = {5210, 2100, 0};
  c.Yellow = {4750, 5100, 0};
  c.AlignmentWhite = {3127, 3290, 0};
  c.RedGamma = c.GreenGamma = c.BlueGamma = 12500;
  c.MagentaInCyanDye = 585;
  c.YellowInCyanDye = 120;
  c.CyanInMagentaDye = 0;
  c.YellowInMagentaDye = 0;
  c.CyanInYellowDye = 0;
  c.MagentaInYellowDye = 10000;
  g->ulHTPatternSize = HT_PATSIZE_8x8_M;
  g->ulHTOutputFormat = HT_FORMAT_24BPP;
  g->flHTFlags = HT_FLAG_HAS_BLACK_DYE;
}

// Fills the device information and creates the default palette (replacing an
// earlier one). False when the palette cannot be made.
bool FillDevInfo(PclPdev* pdev, DEVINFO* info) {
  if (pdev->palette) EngDeletePalette(pdev->palette);
  pdev->palette = EngCreatePalette(PAL_RGB, 0, nullptr, 0, 0, 0);
  if (pdev->palette == nullptr) return false;
  *info = {};
  info->flGraphicsCaps = kGraphicsCaps;
  info->cFonts = 0;
  info->iDitherFormat = BMF_24BPP;
  info->hpalDefault = pdev->palette;
  if (pdev->deviceFontCount != 0) {
    const LONG dpi = PublicDevmode(pdev)->dmPrintQuality;
    const LONG height = -((10 * dpi + 36) / 72);  // 10 points
    info->lfDefaultFont = DeviceFont(height, 0x31, u"Courier (W1)");
    info->lfAnsiVarFont = DeviceFont(height, 0x22, u"Times New (W1)");
    info->lfAnsiFixFont = DeviceFont(height, 0x31, u"Courier (W1)");
  } else {
    info->lfDefaultFont = StaticFont(16, 7, 700, 2, u"System");
    info->lfAnsiVarFont = StaticFont(12, 9, 400, 0, u"MS Sans Serif");
    info->lfAnsiFixFont = StaticFont(12, 9, 400, 0, u"Courier");
  }
  return true;
}

// The merge takes a caller's private block whole; values that would make the
// page layout meaningless are put back to the driver's defaults. The printer
// prints at 300 or 600 dots per inch only.
void SanitizeDevmode(PclPdev* pdev) {
  const int percent = Dm(pdev, DmField("scalePercent"));
  if (percent < 25 || percent > 400) SetDm(pdev, DmField("scalePercent"), 100);
  const int quality = PublicDevmode(pdev)->dmPrintQuality;
  if (quality != 300 && quality != 600) {
    SetDm(pdev, DmField("dmPrintQuality"), 600);
    SetDm(pdev, DmField("resolution"), 600);
  }
}

// Derived device mode fields the rest of the library reads.
void DeriveDevmodeFields(PclPdev* pdev) {
  if (Dm(pdev, DmField("bookletPaperSize")) != 0) SetDm(pdev, DmField("layoutMode"), 3);
  SetDm(pdev, DmField("trueTypeDownload"), 1);
  const int mode = Dm(pdev, DmField("trueTypeMode"));
  SetDm(pdev, DmField("trueTypeMethod"), mode == 2 ? 0 : mode == 0 ? 1 : 2);
  SetDm(pdev, DmField("fitPaperShadow"), Dm(pdev, DmField("fitPaperSize")));
  SetDm(pdev, DmField("reverseActive"), Dm(pdev, DmField("reverseOrder")));
  if (Dm(pdev, DmField("zoomMode")) == 2) SetDm(pdev, DmField("fitActive"), 1);
  // The narrow watermark summary follows the selected watermark.
  const std::span<BYTE> record = DevmodeBytes(pdev);
  const std::size_t wm = kvset::FieldOffset(DmField("watermark"), kvset::DevmodeVariant::Pcl5e);
  const std::size_t summary = kvset::kWatermarkSummaryOffset;
  kvset::StoreI16LE(record.data() + summary, 1);
  kvset::StoreI16LE(record.data() + summary + 2, kvset::LoadI16LE(record.data() + wm));
  WCHAR name[73];
  for (std::size_t i = 0; i < 73; ++i) {
    name[i] = static_cast<WCHAR>(kvset::LoadU16LE(record.data() + wm + 2 + 2 * i));
  }
  name[72] = 0;
  CopyLowBytes(reinterpret_cast<char*>(record.data() + summary + 4), name, 31);
}

}  // namespace

DHPDEV DrvEnablePDEV(DEVMODEW* devmode, LPWSTR logAddress, ULONG patterns, HSURF* patternSurfaces,
                     ULONG capsSize, ULONG* caps, ULONG devInfoSize, DEVINFO* devInfo, HDEV hdev,
                     LPWSTR deviceName, HANDLE driver) {
  void* block = EngAllocMem(FL_ZERO_MEMORY, sizeof(PclPdev), 0);
  if (block == nullptr) return nullptr;
  auto* pdev = new (block) PclPdev{};
  pdev->hdev = hdev;
  pdev->printer = driver;

  auto fail = [&]() -> DHPDEV {
    FreeInstance(pdev);
    return nullptr;
  };

  std::vector<BYTE> info = ReadDriverInfo(driver);
  if (info.empty() || AsDriverInfo(info)->pDriverPath == nullptr) return fail();
  pdev->resourceModule = EngLoadModule(AsDriverInfo(info)->pDriverPath);
  if (pdev->resourceModule == nullptr) return fail();

  // The private block starts from the driver's defaults: a caller's record
  // without one (a plain public record) leaves them in force.
  kvset::BuildDefaultDevmode(kvset::DevmodeVariant::Pcl5e, DevmodeBytes(pdev), nullptr, 0);

  if (deviceName != nullptr && devmode != nullptr) {
    CopyWide(devmode->dmDeviceName, deviceName, CCHDEVICENAME);
  }
  CopyWide(pdev->logAddress, logAddress, 32);

  // A caller's private block is taken only when it carries our magic.
  if (devmode != nullptr && devmode->dmDriverExtra >= kPrivateMagicOffset + 4) {
    const auto* priv = reinterpret_cast<const BYTE*>(devmode) + devmode->dmSize;
    if (kvset::LoadU32LE(priv + kPrivateMagicOffset) == kPdevMagic) {
      const std::size_t bytes = std::min<std::size_t>(devmode->dmDriverExtra, kDevmodeSize - 220);
      std::memcpy(pdev->devmode + 220, priv, bytes);
    }
  }

  // The data folder is where the data file lives; cutting it after its first
  // '2' gives the system folder ("C:\Windows\System32").
  CopyWide(pdev->dataDir, AsDriverInfo(info)->pDataFile, 128);
  WCHAR* lastSeparator = nullptr;
  for (WCHAR* p = pdev->dataDir; *p; ++p) {
    if (*p == u'\\') lastSeparator = p;
  }
  if (lastSeparator) *lastSeparator = 0;
  CopyWide(pdev->systemDir, pdev->dataDir, 128);
  for (WCHAR* p = pdev->systemDir; *p; ++p) {
    if (*p == u'2') {
      p[1] = 0;
      break;
    }
  }

  if (LoadDriverString(pdev->resourceModule, kStrRequiredFolder, nullptr, 0) < 0) return fail();
  ResetOutputBuffer(pdev);
  ResetHpglState(pdev->hpglState);

  ENG_TIME_FIELDS now{};
  EngQueryLocalTime(&now);
  WCHAR tempDir[128];
  const DWORD tempLength = GetTempPathW(128, tempDir);
  if (tempLength == 0 || tempLength >= 128) return fail();
  const unsigned stamp = now.usMilliseconds & 0xFF;
  if (!BuildTempName(pdev->resourceModule, kStrStoreNamePattern, tempDir, stamp, pdev->storePath,
                     142) ||
      !BuildTempName(pdev->resourceModule, kStrSpareNamePattern, tempDir, stamp,
                     pdev->spareTempPath, 128)) {
    return fail();
  }

  // Load the resource module afresh now that the engine's device exists.
  if (hdev == nullptr) return fail();
  EngFreeModule(pdev->resourceModule);
  pdev->resourceModule = LoadResourceModule(driver);
  if (pdev->resourceModule == nullptr) return fail();

  pdev->magicHead = kPdevMagic;
  pdev->magicTail = kPdevMagic;
  const std::span<BYTE> record = DevmodeBytes(pdev);
  kvset::DriverDefaultDevmode(record);
  if (!kvset::DriverMergeDevmode(record, devmode)) return fail();
  SanitizeDevmode(pdev);
  const DEVMODEW* dm = PublicDevmode(pdev);
  if (devmode != nullptr) {
    // The merged orientation: a caller that left its own unset gets portrait.
    pdev->originalOrientation = dm->dmOrientation;
    SetDm(pdev, DmField("orientationShadow"), dm->dmOrientation != 1 ? 1 : 0);
    if (!LookupPaperGeometry(pdev, dm->dmPaperSize, dm->dmOrientation)) {
      pdev->flags |= kFlagPaperMissing;
    }
  }
  SetDm(pdev, DmField("copiesShadow"), dm->dmCopies);

  if (!LoadDeviceFonts(pdev)) return fail();
  DeriveDevmodeFields(pdev);

  // The page layout decides the surface and what the engine is told.
  pdev->logicalDpi = dm->dmPrintQuality * Dm(pdev, DmField("scalePercent")) / 100;
  if (dm->dmFields & (DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH)) {
    if (!LookupPaperGeometry(pdev, dm->dmPaperSize, dm->dmOrientation)) {
      pdev->flags |= kFlagPaperMissing;
    }
  }
  if (pdev->geometry.physicalWidth == 0 || pdev->geometry.physicalHeight == 0) {
    // No paper of the record is known and nothing was looked up before: print
    // on Letter rather than on a page of no size.
    LookupPaperGeometry(pdev, DMPAPER_LETTER, dm->dmOrientation);
  }
  LayoutPage(pdev);
  pdev->surfaceGeometry = pdev->geometry;
  const int percent = Dm(pdev, DmField("scalePercent"));
  pdev->cxSurface = pdev->surfaceGeometry.printableWidth;
  pdev->cySurface = pdev->surfaceGeometry.printableHeight;
  if (percent > 100) {
    pdev->cxSurface = pdev->cxSurface * 100 / static_cast<std::uint32_t>(percent);
    pdev->cySurface = pdev->cySurface * 100 / static_cast<std::uint32_t>(percent);
  }

  GDIINFO gdiInfo;
  FillGdiInfo(pdev, &gdiInfo);
  if (caps != nullptr) std::memcpy(caps, &gdiInfo, std::min<std::size_t>(capsSize, sizeof(GDIINFO)));
  DEVINFO deviceInfo;
  if (!FillDevInfo(pdev, &deviceInfo)) return fail();
  if (devInfo != nullptr) {
    std::memcpy(devInfo, &deviceInfo, std::min<std::size_t>(devInfoSize, sizeof(DEVINFO)));
  }
  if (patternSurfaces != nullptr) {
    for (ULONG i = 0; i < patterns; ++i) patternSurfaces[i] = nullptr;
  }
  return reinterpret_cast<DHPDEV>(pdev);
}

void DrvCompletePDEV(DHPDEV dhpdev, HDEV hdev) {
  if (PclPdev* pdev = PdevFrom(dhpdev)) pdev->hdev = hdev;
}

namespace {

// Moves an open page store from the old instance to the new one. Bytes still
// buffered belong to the store; a sheet of several pages that is partly filled
// is closed as its own record, since the new instance starts a fresh sheet.
void HandOverPageStore(PclPdev* from, PclPdev* to, int pagesPerSheet) {
  if ((from->flags & kFlagStoreOpen) && !FlushOutput(from)) return;
  if (from->storeView == nullptr) return;
  if (pagesPerSheet > 1) {
    if (from->storeTop > from->storeCurrent) CloseStoreRecord(from);
    if (from->storeView == nullptr) return;
  } else {
    to->pageCount = from->pageCount;
  }
  if (to->storeView != nullptr) ClosePageStore(to);
  to->headerLength = from->headerLength;
  to->storeView = from->storeView;
  to->storeFile = from->storeFile;
  to->storeMapping = from->storeMapping;
  to->storeCapacity = from->storeCapacity;
  to->storeTop = from->storeTop;
  to->storeCurrent = from->storeCurrent;
  CopyWide(to->storePath, from->storePath, std::size(to->storePath));
  to->flags |= from->flags & kFlagStoreOpen;
  // The old instance no longer owns the mapping.
  from->storeView = nullptr;
  from->storeFile = nullptr;
  from->storeMapping = nullptr;
  from->storeCapacity = 0;
  from->storeTop = 0;
  from->storeCurrent = 0;
  from->flags &= ~kFlagStoreOpen;
}

}  // namespace

BOOL DrvResetPDEV(DHPDEV oldPdev, DHPDEV newPdev) {
  PclPdev* from = PdevFrom(oldPdev);
  PclPdev* to = PdevFrom(newPdev);
  if (from == nullptr || to == nullptr) return FALSE;
  constexpr std::uint32_t kCarried =
      kFlagDocNamed | kFlagHeaderSent | kFlagPageOpen | kFlagSuppressed | kFlagKeepQueryState;
  to->flags |= from->flags & kCarried;

  // A partly filled sheet printed over a stored form gets its form now, while
  // the old instance still holds the job.
  const int pagesPerSheet = std::max(1, Dm(from, DmField("nupPages")));
  if (pagesPerSheet > 1 && Dm(from, DmField("formMode")) == 1 &&
      from->pageCount % static_cast<std::uint32_t>(pagesPerSheet) != 0) {
    PlayForm(from);
    FlushOutput(from);
  }

  // The page store: replayed now, or handed to the new instance when both
  // print in reverse, or written as the form being recorded.
  if (from->pageCount != 0 && from->storeView != nullptr) {
    const bool suppressed = (from->flags & kFlagSuppressed) != 0;
    if (Dm(from, DmField("formMode")) != 2 || suppressed) {
      const int oldReverse = Dm(from, DmField("reverseActive"));
      if (oldReverse == 0 || oldReverse != Dm(to, DmField("reverseActive"))) {
        FinishStore(from);
      } else {
        HandOverPageStore(from, to, pagesPerSheet);
      }
    } else {
      FinishStore(from);
      to->flags |= kFlagSuppressed;
      if (to->storeView != nullptr) ClosePageStore(to);
      if (from->storeView != nullptr) ClosePageStore(from);
    }
  }

  if (Dm(from, DmField("spare1364")) != 0 && Dm(to, DmField("spare1364")) != 0 &&
      from->pageCount != 0) {
    to->flags |= kFlagKeepQueryState;
  }
  FlushOutput(from);
  if (from->flags & kFlagDocNamed) CopyWide(to->docName, from->docName, 128);
  const DEVMODEW* dm = PublicDevmode(to);
  SetDm(to, DmField("paperSizeShadow"), dm->dmPaperSize);
  SetDm(to, DmField("sourceShadow"), dm->dmDefaultSource);
  SetDm(to, DmField("copiesShadow"), dm->dmCopies);
  SetDm(to, DmField("resolution"), dm->dmPrintQuality);
  SetDm(to, DmField("orientationShadow"), dm->dmOrientation);
  // The caches and pattern bookkeeping that follow the mode flag travel on.
  // The definitions the caches point to change owner with them.
  const std::uint8_t mode = to->hpglState.bInHpgl2;
  ResetHpglState(to->hpglState);
  to->hpglState = from->hpglState;
  to->hpglState.bInHpgl2 = mode;
  for (UserLineType*& lineType : from->hpglState.apUserLineType) lineType = nullptr;
  to->pageStartFill = from->pageStartFill;
  to->lastFormat = from->lastFormat;
  MoveSoftFonts(from, to);
  to->graphicsTextOverride = from->graphicsTextOverride;
  FreeDeviceFonts(from);
  to->flags |= kFlagFromReset;
  ResetHpglState(to->hpglState);
  return TRUE;
}

void DrvDisablePDEV(DHPDEV dhpdev) {
  if (PclPdev* pdev = PdevFrom(dhpdev)) FreeInstance(pdev);
}

HSURF DrvEnableSurface(DHPDEV dhpdev) {
  auto* pdev = reinterpret_cast<PclPdev*>(dhpdev);
  if (pdev == nullptr) return nullptr;
  const SIZEL size{pdev->surfaceGeometry.printableWidth, pdev->surfaceGeometry.printableHeight};
  HSURF surface = EngCreateDeviceSurface(reinterpret_cast<DHSURF>(pdev), size, BMF_24BPP);
  if (surface == nullptr) return nullptr;
  if (!EngAssociateSurface(surface, pdev->hdev, kHooks)) {
    EngDeleteSurface(surface);
    return nullptr;
  }
  pdev->surface = surface;
  return surface;
}

void DrvDisableSurface(DHPDEV dhpdev) {
  PclPdev* pdev = PdevFrom(dhpdev);
  if (pdev == nullptr || pdev->surface == nullptr) return;
  EngDeleteSurface(pdev->surface);
  pdev->surface = nullptr;
}

PclPdev* DrawingDevice(SURFOBJ* surface) {
  PclPdev* pdev = surface != nullptr ? PdevFrom(surface->dhpdev) : nullptr;
  if (pdev == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if ((pdev->flags & kFlagAborted) || EngCheckAbort(surface)) {
    pdev->flags |= kFlagAborted;
    return nullptr;
  }
  return pdev;
}

}  // namespace kv5e
