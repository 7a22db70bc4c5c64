#include "pclcore/5e/driver_entry.h"

#include <array>

#include "kvplat/kernel.h"
#include "pclcore/5e/brushes.h"
#include "pclcore/5e/device_fonts.h"
#include "pclcore/5e/device_instance.h"
#include "pclcore/5e/driver_escapes.h"
#include "pclcore/5e/hpgl_paths.h"
#include "pclcore/5e/job_control.h"
#include "pclcore/5e/raster_images.h"
#include "pclcore/5e/text_output.h"

namespace kv5e {
namespace {

HINSTANCE g_instance = nullptr;
FD_GLYPHSET* g_glyphSet = nullptr;

template <class F>
PFN Entry(F function) {
  return reinterpret_cast<PFN>(function);
}

const std::array<DRVFN, kEntryCount>& EntryTable() {
  static const std::array<DRVFN, kEntryCount> table = {{
      {INDEX_DrvEnablePDEV, Entry(&DrvEnablePDEV)},
      {INDEX_DrvCompletePDEV, Entry(&DrvCompletePDEV)},
      {INDEX_DrvDisablePDEV, Entry(&DrvDisablePDEV)},
      {INDEX_DrvResetPDEV, Entry(&DrvResetPDEV)},
      {INDEX_DrvEnableSurface, Entry(&DrvEnableSurface)},
      {INDEX_DrvDisableSurface, Entry(&DrvDisableSurface)},
      {INDEX_DrvStartDoc, Entry(&DrvStartDoc)},
      {INDEX_DrvStartPage, Entry(&DrvStartPage)},
      {INDEX_DrvEndDoc, Entry(&DrvEndDoc)},
      {INDEX_DrvSendPage, Entry(&DrvSendPage)},
      {INDEX_DrvDitherColor, Entry(&DrvDitherColor)},
      {INDEX_DrvRealizeBrush, Entry(&DrvRealizeBrush)},
      {INDEX_DrvBitBlt, Entry(&DrvBitBlt)},
      {INDEX_DrvCopyBits, Entry(&DrvCopyBits)},
      {INDEX_DrvStretchBlt, Entry(&DrvStretchBlt)},
      {INDEX_DrvEscape, Entry(&DrvEscape)},
      {INDEX_DrvDrawEscape, Entry(&DrvDrawEscape)},
      {INDEX_DrvGetGlyphMode, Entry(&DrvGetGlyphMode)},
      {INDEX_DrvQueryAdvanceWidths, Entry(&DrvQueryAdvanceWidths)},
      {INDEX_DrvStrokePath, Entry(&DrvStrokePath)},
      {INDEX_DrvFillPath, Entry(&DrvFillPath)},
      {INDEX_DrvStrokeAndFillPath, Entry(&DrvStrokeAndFillPath)},
      {INDEX_DrvLineTo, Entry(&DrvLineTo)},
      {INDEX_DrvPaint, Entry(&DrvPaint)},
      {INDEX_DrvQueryFont, Entry(&DrvQueryFont)},
      {INDEX_DrvQueryFontTree, Entry(&DrvQueryFontTree)},
      {INDEX_DrvQueryFontData, Entry(&DrvQueryFontData)},
      {INDEX_DrvTextOut, Entry(&DrvTextOut)},
  }};
  return table;
}

}  // namespace

HINSTANCE ModuleInstance() { return g_instance; }
FD_GLYPHSET* ModuleGlyphSet() { return g_glyphSet; }

BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  constexpr DWORD kProcessAttach = 1;
  if (reason == kProcessAttach) g_instance = instance;
  return TRUE;
}

BOOL DrvEnableDriver(ULONG /*engineVersion*/, ULONG size, DRVENABLEDATA* data) {
  if (data != nullptr) {
    if (size >= 4) data->iDriverVersion = kDriverVersion;
    if (size >= 8) data->c = kEntryCount;
    if (size >= 16) data->pdrvfn = const_cast<DRVFN*>(EntryTable().data());
  }
  if (g_glyphSet == nullptr) g_glyphSet = EngComputeGlyphSet(0, 0, 256);
  return g_glyphSet != nullptr ? TRUE : FALSE;
}

void DrvDisableDriver() {
  EngFreeMem(g_glyphSet);
  g_glyphSet = nullptr;
}

BOOL DrvQueryDriverInfo(DWORD code, PVOID buffer, DWORD size, PDWORD needed) {
  if (code != DRVQUERY_USERMODE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (needed != nullptr) *needed = sizeof(DWORD);
  if (buffer == nullptr || size < sizeof(DWORD)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  *static_cast<DWORD*>(buffer) = 1;
  return TRUE;
}

ULONG DrvDitherColor(DHPDEV, ULONG, ULONG, ULONG*) { return DCR_HALFTONE; }

}  // namespace kv5e
