// The device instance of the PCL 5e graphics library: one per printer device
// context, from DrvEnablePDEV to DrvDisablePDEV. Everything the library does
// for a job happens inside one of these records.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "kvplat/engine.h"
#include "kvplat/wintypes.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/raster_compression.h"

namespace kv5e {

struct SoftFontEntry;

inline constexpr std::uint32_t kPdevMagic = 0x4B763563;  // "c5vK" in memory order
inline constexpr std::uint32_t kOutCapacity = 4096;
inline constexpr std::size_t kDevmodeSize = 1374;

// Job state bits of PclPdev::flags.
inline constexpr std::uint32_t kFlagAborted = 0x1;
inline constexpr std::uint32_t kFlagPaperMissing = 0x2;
inline constexpr std::uint32_t kFlagDocNamed = 0x4;
inline constexpr std::uint32_t kFlagHeaderSent = 0x8;
inline constexpr std::uint32_t kFlagPageOpen = 0x10;
inline constexpr std::uint32_t kFlagStoreOpen = 0x20;
inline constexpr std::uint32_t kFlagSeparatorPending = 0x40;
inline constexpr std::uint32_t kFlagFromReset = 0x80;
inline constexpr std::uint32_t kFlagSuppressed = 0x1000;
inline constexpr std::uint32_t kFlagForcedColour = 0x4000;
inline constexpr std::uint32_t kFlagKeepQueryState = 0x8000;
inline constexpr std::uint32_t kFlagStoreHeaderReplayed = 0x10000;

// Output modes (escape 20532).
inline constexpr std::uint8_t kOutputNormal = 0;
inline constexpr std::uint8_t kOutputDiscard = 1;
inline constexpr std::uint8_t kOutputCapture = 2;
inline constexpr std::uint8_t kOutputPlayback = 3;

// Page geometry in device dots.
struct Geometry {
  std::uint16_t physicalWidth = 0;
  std::uint16_t physicalHeight = 0;
  std::uint16_t printableWidth = 0;
  std::uint16_t printableHeight = 0;
  std::uint16_t leftMargin = 0;
  std::uint16_t topMargin = 0;
  std::uint16_t mediaSizeCode = 0;
};

// Cell placement of a page on its sheet (several pages per sheet, booklets,
// fitting), in device dots.
struct LayoutCells {
  std::int16_t originX = 0, originY = 0;  // current cell origin
  std::int16_t nextX = 0, nextY = 0;      // origin the next picture frame moves to
  std::int16_t baseX = 0, baseY = 0;      // origin of the first cell
  std::int16_t cellWidth = 0, cellHeight = 0;
  std::int16_t columns = 0, rows = 0;
};

// The page-format record of the previous page, carried over a reset.
struct PageFormat {
  Geometry geometry;
  std::int16_t paperIndex = 0;
  std::int16_t orientation = 0;
  std::int16_t source = 0;
};

struct PclPdev {
  std::uint32_t magicHead;
  HANDLE printer;
  HANDLE resourceModule;
  HDEV hdev;
  HSURF surface;
  SURFOBJ* currentSurfObj;
  HPALETTE palette;
  WCHAR logAddress[32];
  WCHAR docName[128];
  WCHAR dataDir[128];
  WCHAR systemDir[128];
  std::uint32_t flags;
  std::uint32_t pageCount;
  std::uint32_t docDrawState[2];
  BYTE* storeView;
  HANDLE storeFile;
  HANDLE storeMapping;
  std::uint32_t storeCapacity;
  std::uint32_t storeTop;
  std::uint32_t storeCurrent;
  std::uint32_t headerLength;
  std::uint32_t pageStartFill;
  WCHAR storePath[142];
  WCHAR spareTempPath[128];
  std::uint32_t pageStartTop;
  BYTE devmode[kDevmodeSize];
  Geometry geometry;
  Geometry surfaceGeometry;
  Geometry savedGeometry;
  std::int16_t originalOrientation;
  std::int16_t pageRotation;
  std::uint16_t effectiveDpi;
  LayoutCells layoutCells;
  std::uint16_t topMarginLines;
  std::uint32_t cxSurface;
  std::uint32_t cySurface;
  std::int32_t logicalDpi;
  const BYTE** fontResources;
  char (*fontNames)[64];
  std::uint32_t deviceFontCount;
  std::uint32_t extraFontCount;
  // Soft fonts downloaded in this job: the single-byte list and the
  // double-byte (or not-ANSI) list. They move to a new instance on a reset.
  SoftFontEntry* softFonts[2];
  // Advances of a text run, 1024 horizontal then 1024 vertical; made on
  // first use and kept.
  std::int16_t* textPositions;
  // Set by a private escape: 2 turns graphics text off and forces labels.
  std::uint8_t graphicsTextOverride;
  std::uint32_t outCapacity;
  BYTE* outPtr;
  std::uint32_t outFill;
  BYTE outBuffer[kOutCapacity];
  HpglState hpglState;
  RasterBuffers raster;  // raster work buffers, freed by FreeInstance
  PageFormat lastFormat;
  std::uint32_t watermarkColor;
  std::uint32_t magicTail;
  std::uint8_t outputMode;
  WCHAR capturePath[MAX_PATH];
};

// Instances live in engine memory and are freed without a destructor.
static_assert(std::is_trivially_destructible_v<PclPdev>);

// Both magic words hold: the instance may be used.
inline bool IsValidPdev(const PclPdev* pdev) {
  return pdev != nullptr && pdev->magicHead == kPdevMagic && pdev->magicTail == kPdevMagic;
}

inline PclPdev* PdevFrom(DHPDEV dhpdev) {
  auto* pdev = reinterpret_cast<PclPdev*>(dhpdev);
  return IsValidPdev(pdev) ? pdev : nullptr;
}

// The instance behind a drawing call's surface when it may draw: valid and
// its job not aborted (an abort the engine reports marks the job). Null
// otherwise, with ERROR_INVALID_PARAMETER for a surface of no instance.
PclPdev* DrawingDevice(SURFOBJ* surface);

}  // namespace kv5e
