#include "pclcore/5e/driver_escapes.h"

#include <algorithm>
#include <cstring>

#include "kvplat/kernel.h"
#include "kvplat/spooler.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"

namespace kv5e {
namespace {

using kvset::DmField;

constexpr char kTechnology[] = "Quillcore";  // with its NUL: 10 bytes

bool Supported(ULONG escape) {
  switch (escape) {
    case kEscQuerySupport:
    case kEscPassthroughQuery:
    case kEscGetTechnology:
    case kEscRawData:
    case kEscGetDevmode:
    case kEscWatermarkQuery:
    case kEscSetCapturePath:
    case kEscGetDevmodeInto:
    case kEscSetOutputMode:
    case 0x7FFFFFFD:
    case 0x7FFFFFFE:
    case 0x7FFFFFFF:
    case kEscForcedColour:
      return true;
    default:
      return false;
  }
}

// Raw bytes from the application go out as they are, after what the driver
// has buffered so far; while pages are held back they join the held page.
ULONG SendRawData(PclPdev* pdev, ULONG size, const void* data) {
  if ((pdev->flags & kFlagAborted) || size == 0 || data == nullptr) return 0;
  if (!FlushOutput(pdev)) return 0;
  if (pdev->flags & kFlagStoreOpen) {
    return WriteLong(pdev, data, size) ? size : 0;
  }
  DWORD written = 0;
  if (!WritePrinter(pdev->printer, const_cast<void*>(data), size, &written) || written != size) {
    pdev->flags |= kFlagAborted;
    return 0;
  }
  return size;
}

}  // namespace

ULONG DrvEscape(SURFOBJ* surface, ULONG escape, ULONG inputSize, PVOID input, ULONG outputSize,
                PVOID output) {
  if (escape == kEscQuerySupport) {
    // The escape asked about comes as a 16-bit word; callers that pass a
    // 32-bit value can ask about the escapes beyond 16 bits too.
    if (input == nullptr || inputSize < 2) return 0;
    ULONG asked = 0;
    if (inputSize >= 4) {
      std::memcpy(&asked, input, 4);
    } else {
      std::uint16_t word;
      std::memcpy(&word, input, 2);
      asked = word;
    }
    if (asked == kEscSetCopyCount) return kMaxCopies;
    return Supported(asked) ? 1 : 0;
  }
  if (escape == kEscGetTechnology) {
    if (output == nullptr || outputSize <= 9) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    std::memcpy(output, kTechnology, sizeof(kTechnology));
    return 1;
  }

  PclPdev* pdev = surface != nullptr ? PdevFrom(surface->dhpdev) : nullptr;
  if (pdev == nullptr) return 0;
  switch (escape) {
    case kEscSetCopyCount: {
      if (input == nullptr || inputSize < 4) return 0;
      std::int32_t count;
      std::memcpy(&count, input, 4);
      const std::int32_t copies = std::clamp<std::int32_t>(count, 1, kMaxCopies);
      SetDm(pdev, DmField("dmCopies"), copies);
      if (output != nullptr && outputSize >= 4) std::memcpy(output, &copies, 4);
      return 1;
    }
    case kEscRawData:
      return SendRawData(pdev, inputSize, input);
    case kEscGetDevmode:
      if (output == nullptr || outputSize != kDevmodeSize) return 0;
      std::memcpy(output, pdev->devmode, kDevmodeSize);
      return 1;
    case kEscGetDevmodeInto:
      // The interface library hands a buffer of a whole record.
      if (output == nullptr) return 0;
      std::memcpy(output, pdev->devmode, kDevmodeSize);
      return 1;
    case kEscWatermarkQuery: {
      if (output != nullptr && outputSize == 2) {
        const std::size_t at = kvset::kWatermarkSummaryOffset + 2;
        std::int16_t index = kvset::LoadI16LE(pdev->devmode + at);
        if (Dm(pdev, DmField("spare1364")) != 0 &&
            (pdev->pageCount > 1 || (pdev->flags & kFlagKeepQueryState))) {
          index = 0;
        }
        std::memcpy(output, &index, 2);
      }
      return 1;
    }
    case kEscSetCapturePath: {
      if (input == nullptr) return 0;
      // 260 wide characters; a shorter buffer gives what it holds.
      const ULONG bytes = std::min<ULONG>(inputSize, sizeof(pdev->capturePath));
      std::memset(pdev->capturePath, 0, sizeof(pdev->capturePath));
      std::memcpy(pdev->capturePath, input, bytes);
      pdev->capturePath[MAX_PATH - 1] = 0;
      return 1;
    }
    case kEscSetOutputMode:
      if (input == nullptr || inputSize < 1) return 0;
      pdev->outputMode = *static_cast<const BYTE*>(input);
      return 1;
    case kEscForcedColour: {
      if (input == nullptr || inputSize < 4) return 0;
      ULONG value;
      std::memcpy(&value, input, 4);
      FlushOutput(pdev);
      if (value != 0) {
        pdev->flags |= kFlagForcedColour;
      } else {
        pdev->flags &= ~kFlagForcedColour;
      }
      pdev->watermarkColor = value & 0xFFFFFF;
      return 1;
    }
    default:
      return 0;
  }
}

ULONG DrvDrawEscape(SURFOBJ*, ULONG, void*, RECTL*, ULONG, PVOID) { return 0; }

}  // namespace kv5e
