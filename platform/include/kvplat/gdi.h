// Application GDI of the platform layer: device contexts and what applications
// do with them. A printer device context drives the printer's graphics library
// through the engine exactly as Windows does: CreateDCW enables a device
// instance, documents and pages reach DrvStartDoc / DrvStartPage /
// DrvSendPage / DrvEndDoc, and the bytes the library writes go to the spooler
// job that StartDocW opened.
//
// Sections: device contexts; documents and pages; escapes; device
// capabilities. Drawing, pens, brushes and fonts follow in their own sections.
#pragma once

#include <string>

#include "kvplat/engine.h"  // DT_RASPRINTER and the records the engine keeps
#include "kvplat/gdi_types.h"
#include "kvplat/wintypes.h"

// ---- device contexts ----------------------------------------------------------
// A printer device context: `driver` is null or "WINSPOOL" (any other name but
// "DISPLAY" is ignored for printers, as on Windows), `device` the printer's
// name, `output` unused, `devmode` the job's device mode record or null for
// the printer's stored one. Null on failure with the last error
// (ERROR_INVALID_PRINTER_NAME for an unknown printer, ERROR_INVALID_PARAMETER
// for a missing name or malformed device mode, ERROR_NOT_SUPPORTED for display
// contexts, or what the graphics library reported).
KVAPI HDC CreateDCW(LPCWSTR driver, LPCWSTR device, LPCWSTR output, const DEVMODEW* devmode);
// Ends a document still running (as AbortDoc), disables the device instance,
// unloads the graphics library and closes the printer.
KVAPI BOOL DeleteDC(HDC dc);
// Enables a new device instance with `devmode` (null: the printer's stored
// one); the library moves the job state into it (DrvResetPDEV). Not while a
// page is open. Returns `dc`, or null with the old instance still in force.
KVAPI HDC ResetDCW(HDC dc, const DEVMODEW* devmode);

// ---- documents and pages ------------------------------------------------------
struct DOCINFOW {
  int cbSize;
  LPCWSTR lpszDocName;
  LPCWSTR lpszOutput;    // host file for the job (a Windows path); required for "FILE:" ports
  LPCWSTR lpszDatatype;  // ignored: the graphics library writes the printer's own language
  DWORD fwType;
};
inline constexpr int SP_ERROR = -1;
inline constexpr DWORD DI_APPBANDING = 0x1;
inline constexpr DWORD DI_ROPS_READ_DESTINATION = 0x2;

// The job id (> 0), or SP_ERROR with the last error.
KVAPI int StartDocW(HDC dc, const DOCINFOW* docInfo);
// Page calls return a positive value, or SP_ERROR with the last error. A page
// the graphics library refuses fails the call; the document can then only be
// aborted (EndDoc drops it and fails).
KVAPI int StartPage(HDC dc);
KVAPI int EndPage(HDC dc);
// Ends an open page, ends the document in the graphics library and delivers
// the job to the port, whole or not at all.
KVAPI int EndDoc(HDC dc);
// The graphics library ends the document as aborted; nothing is delivered.
KVAPI int AbortDoc(HDC dc);

// ---- escapes --------------------------------------------------------------------
inline constexpr int QUERYESCSUPPORT = 8;
inline constexpr int SETCOPYCOUNT = 17;
inline constexpr int PASSTHROUGH = 19;
inline constexpr int GETTECHNOLOGY = 20;
// The graphics library's DrvEscape result: > 0 success, 0 not supported;
// -1 (ERROR_INVALID_PARAMETER) when a size is negative, a buffer is missing
// for a nonzero size, or the input is shorter than the escape reads.
KVAPI int ExtEscape(HDC dc, int escape, int inputSize, LPCSTR input, int outputSize, LPSTR output);

// ---- device capabilities --------------------------------------------------------
inline constexpr int DRIVERVERSION = 0;
inline constexpr int TECHNOLOGY = 2;
inline constexpr int HORZSIZE = 4;
inline constexpr int VERTSIZE = 6;
inline constexpr int HORZRES = 8;
inline constexpr int VERTRES = 10;
inline constexpr int BITSPIXEL = 12;
inline constexpr int PLANES = 14;
inline constexpr int NUMBRUSHES = 16;
inline constexpr int NUMPENS = 18;
inline constexpr int NUMFONTS = 22;
inline constexpr int NUMCOLORS = 24;
inline constexpr int CURVECAPS = 28;
inline constexpr int LINECAPS = 30;
inline constexpr int POLYGONALCAPS = 32;
inline constexpr int TEXTCAPS = 34;
inline constexpr int CLIPCAPS = 36;
inline constexpr int RASTERCAPS = 38;
inline constexpr int ASPECTX = 40;
inline constexpr int ASPECTY = 42;
inline constexpr int ASPECTXY = 44;
inline constexpr int LOGPIXELSX = 88;
inline constexpr int LOGPIXELSY = 90;
inline constexpr int SIZEPALETTE = 104;
inline constexpr int NUMRESERVED = 106;
inline constexpr int COLORRES = 108;
inline constexpr int PHYSICALWIDTH = 110;
inline constexpr int PHYSICALHEIGHT = 111;
inline constexpr int PHYSICALOFFSETX = 112;
inline constexpr int PHYSICALOFFSETY = 113;
inline constexpr int SCALINGFACTORX = 114;
inline constexpr int SCALINGFACTORY = 115;

// TECHNOLOGY values (DT_RASPRINTER, 2, comes with the engine's GDIINFO).
inline constexpr ULONG DT_PLOTTER = 0;
inline constexpr ULONG DT_RASDISPLAY = 1;

// RASTERCAPS bits.
inline constexpr int RC_BITBLT = 0x0001;
inline constexpr int RC_BANDING = 0x0002;
inline constexpr int RC_SCALING = 0x0004;
inline constexpr int RC_BITMAP64 = 0x0008;
inline constexpr int RC_GDI20_OUTPUT = 0x0010;
inline constexpr int RC_DI_BITMAP = 0x0080;
inline constexpr int RC_PALETTE = 0x0100;
inline constexpr int RC_DIBTODEV = 0x0200;
inline constexpr int RC_BIGFONT = 0x0400;
inline constexpr int RC_STRETCHBLT = 0x0800;
inline constexpr int RC_FLOODFILL = 0x1000;
inline constexpr int RC_STRETCHDIB = 0x2000;

// CURVECAPS, LINECAPS, POLYGONALCAPS and CLIPCAPS values.
inline constexpr int CC_NONE = 0;
inline constexpr int CC_CIRCLES = 0x1;
inline constexpr int CC_PIE = 0x2;
inline constexpr int CC_CHORD = 0x4;
inline constexpr int CC_ELLIPSES = 0x8;
inline constexpr int CC_WIDE = 0x10;
inline constexpr int CC_STYLED = 0x20;
inline constexpr int CC_WIDESTYLED = 0x40;
inline constexpr int CC_INTERIORS = 0x80;
inline constexpr int CC_ROUNDRECT = 0x100;
inline constexpr int LC_POLYLINE = 0x2;
inline constexpr int LC_MARKER = 0x4;
inline constexpr int LC_POLYMARKER = 0x8;
inline constexpr int LC_WIDE = 0x10;
inline constexpr int LC_STYLED = 0x20;
inline constexpr int LC_WIDESTYLED = 0x40;
inline constexpr int LC_INTERIORS = 0x80;
inline constexpr int PC_POLYGON = 0x1;
inline constexpr int PC_RECTANGLE = 0x2;
inline constexpr int PC_WINDPOLYGON = 0x4;
inline constexpr int PC_SCANLINE = 0x8;
inline constexpr int PC_WIDE = 0x10;
inline constexpr int PC_STYLED = 0x20;
inline constexpr int PC_WIDESTYLED = 0x40;
inline constexpr int PC_INTERIORS = 0x80;
inline constexpr int PC_POLYPOLYGON = 0x100;
inline constexpr int PC_PATHS = 0x200;
inline constexpr int CP_RECTANGLE = 1;

// The value of a capability, 0 for an unknown index or a bad device context
// (ERROR_INVALID_HANDLE).
KVAPI int GetDeviceCaps(HDC dc, int index);

namespace kvplat::gdi {
// The engine's message for this thread's last failed CreateDCW or ResetDCW
// ("cannot load the graphics library ...", "DrvEnablePDEV failed (error 87)"),
// for tools that report failures to people; empty when there is none.
std::string LastFailureText();
}  // namespace kvplat::gdi
