#include "pclcore/5e/watermark_playback.h"

#include "kvplat/engine.h"
#include "kvplat/kernel.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/page_store.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/soft_fonts.h"

namespace kv5e {
namespace {

// The capture file read whole, freed on scope exit.
struct CaptureBytes {
  BYTE* data = nullptr;
  DWORD size = 0;
  ~CaptureBytes() { EngFreeMem(data); }
};

bool ReadCaptureFile(const PclPdev* pdev, CaptureBytes* bytes) {
  HANDLE file = CreateFileW(pdev->capturePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(file, nullptr);
  bool ok = size != INVALID_FILE_SIZE;
  if (ok && size > 0) {
    bytes->data = static_cast<BYTE*>(EngAllocMem(0, size, 0));
    DWORD read = 0;
    ok = bytes->data != nullptr && ReadFile(file, bytes->data, size, &read, nullptr) && read == size;
  }
  if (ok) bytes->size = size;
  CloseHandle(file);
  return ok;
}

}  // namespace

void PlayCapturedWatermark(PclPdev* pdev) {
  CaptureBytes capture;
  if (!ReadCaptureFile(pdev, &capture)) return;
  FlushOutput(pdev);
  const bool severalPerSheet = PagesPerSheet(pdev) > 1;
  if (severalPerSheet) {
    // Stay inside the page's picture frame, with no input window.
    pdev->hpglState.bInHpgl2 = 1;
    WriteText(pdev, "\x1B%1B");
    WriteText(pdev, "IW");
  } else {
    pdev->hpglState.bInHpgl2 = 0;
    WriteText(pdev, "\x1B%0A");
  }
  WriteBytes(pdev, capture.data, capture.size);
  // The captured drawing may define soft fonts under our identifiers.
  ForgetDownloadedCharacters(pdev);
  if (severalPerSheet) {
    // The watermark changed the merge control behind our back: restore it and
    // send every cached command again.
    WriteFormatted(pdev, "MC1,%d", pdev->hpglState.iMergeRop);
    ResetHpglState(pdev->hpglState);
  }
  // The page goes on from HP-GL/2, which the page end leaves.
  pdev->hpglState.bInHpgl2 = 1;
}

}  // namespace kv5e
