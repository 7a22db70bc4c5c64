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
#include "kvplat/engine_objects.h"  // HBITMAP, the HS_* hatch styles, COLORONCOLOR
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

// ==== drawing ==================================================================
// Pens, brushes, bitmaps and regions are GDI objects: their handles are serial
// numbers kept in one table (never addresses), so a deleted or forged handle
// finds nothing and the call fails with ERROR_INVALID_HANDLE. Coordinates are
// logical units, mapped to device pixels by the DC's mapping mode and world
// transform. Printer DCs draw through the graphics library (what it refuses,
// the engine draws on its behalf); memory DCs draw into their selected bitmap.

KV_DECLARE_HANDLE(HPEN);
KV_DECLARE_HANDLE(HBRUSH);
KV_DECLARE_HANDLE(HFONT);
KV_DECLARE_HANDLE(HRGN);
using HGDIOBJ = HANDLE;

inline constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
  return COLORREF{r} | (COLORREF{g} << 8) | (COLORREF{b} << 16);
}
inline constexpr BYTE GetRValue(COLORREF c) { return static_cast<BYTE>(c); }
inline constexpr BYTE GetGValue(COLORREF c) { return static_cast<BYTE>(c >> 8); }
inline constexpr BYTE GetBValue(COLORREF c) { return static_cast<BYTE>(c >> 16); }
inline constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;
#define HGDI_ERROR (reinterpret_cast<HGDIOBJ>(static_cast<LONG_PTR>(-1)))

// ---- objects ---------------------------------------------------------------------
inline constexpr int WHITE_BRUSH = 0;
inline constexpr int LTGRAY_BRUSH = 1;
inline constexpr int GRAY_BRUSH = 2;
inline constexpr int DKGRAY_BRUSH = 3;
inline constexpr int BLACK_BRUSH = 4;
inline constexpr int NULL_BRUSH = 5;
inline constexpr int HOLLOW_BRUSH = NULL_BRUSH;
inline constexpr int WHITE_PEN = 6;
inline constexpr int BLACK_PEN = 7;
inline constexpr int NULL_PEN = 8;
inline constexpr int OEM_FIXED_FONT = 10;
inline constexpr int ANSI_FIXED_FONT = 11;
inline constexpr int ANSI_VAR_FONT = 12;
inline constexpr int SYSTEM_FONT = 13;
inline constexpr int DEVICE_DEFAULT_FONT = 14;
inline constexpr int SYSTEM_FIXED_FONT = 16;
inline constexpr int DEFAULT_GUI_FONT = 17;

inline constexpr DWORD OBJ_PEN = 1;
inline constexpr DWORD OBJ_BRUSH = 2;
inline constexpr DWORD OBJ_DC = 3;
inline constexpr DWORD OBJ_FONT = 6;
inline constexpr DWORD OBJ_REGION = 8;
inline constexpr DWORD OBJ_BITMAP = 7;
inline constexpr DWORD OBJ_MEMDC = 10;
inline constexpr DWORD OBJ_EXTPEN = 11;

// Stock objects need no deleting (DeleteObject on them does nothing).
KVAPI HGDIOBJ GetStockObject(int index);
// Selects a pen, brush, font or bitmap (memory DCs only; one DC at a time)
// and returns the one it replaces; a region becomes the clip (as SelectClipRgn)
// and the region type comes back. Null with the last error on failure.
KVAPI HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
// A pen or brush still selected somewhere stays in use there until it is
// replaced; a bitmap selected into a DC cannot be deleted (FALSE).
KVAPI BOOL DeleteObject(HGDIOBJ object);
// OBJ_PEN, OBJ_EXTPEN, OBJ_BRUSH, OBJ_FONT, OBJ_BITMAP, OBJ_REGION, OBJ_DC, OBJ_MEMDC; 0 if none.
KVAPI DWORD GetObjectType(HGDIOBJ object);
// The pen, brush, font or bitmap selected in a DC (OBJ_PEN, OBJ_BRUSH, OBJ_FONT, OBJ_BITMAP).
KVAPI HGDIOBJ GetCurrentObject(HDC dc, UINT type);

// ---- pens ----------------------------------------------------------------------------
inline constexpr DWORD PS_SOLID = 0;
inline constexpr DWORD PS_DASH = 1;
inline constexpr DWORD PS_DOT = 2;
inline constexpr DWORD PS_DASHDOT = 3;
inline constexpr DWORD PS_DASHDOTDOT = 4;
inline constexpr DWORD PS_NULL = 5;
inline constexpr DWORD PS_INSIDEFRAME = 6;
inline constexpr DWORD PS_USERSTYLE = 7;
inline constexpr DWORD PS_ALTERNATE = 8;
inline constexpr DWORD PS_STYLE_MASK = 0x0000000F;
inline constexpr DWORD PS_ENDCAP_ROUND = 0x00000000;
inline constexpr DWORD PS_ENDCAP_SQUARE = 0x00000100;
inline constexpr DWORD PS_ENDCAP_FLAT = 0x00000200;
inline constexpr DWORD PS_ENDCAP_MASK = 0x00000F00;
inline constexpr DWORD PS_JOIN_ROUND = 0x00000000;
inline constexpr DWORD PS_JOIN_BEVEL = 0x00001000;
inline constexpr DWORD PS_JOIN_MITER = 0x00002000;
inline constexpr DWORD PS_JOIN_MASK = 0x0000F000;
inline constexpr DWORD PS_COSMETIC = 0x00000000;
inline constexpr DWORD PS_GEOMETRIC = 0x00010000;
inline constexpr DWORD PS_TYPE_MASK = 0x000F0000;

struct LOGBRUSH {
  UINT lbStyle;
  COLORREF lbColor;
  ULONG_PTR lbHatch;  // hatch style, or the packed DIB / bitmap of a pattern brush
};
static_assert(sizeof(LOGBRUSH) == 16);

// A pen of `style` (PS_SOLID ... PS_INSIDEFRAME): width 0 is one pixel
// whatever the transform; wider pens are in logical units with round ends
// and joins, and only solid (styled wide pens draw solid, as on Windows).
KVAPI HPEN CreatePen(int style, int width, COLORREF color);
// Cosmetic pens: width 1, a solid brush, any style (PS_USERSTYLE lengths in
// style units). Geometric pens: width in logical units, any brush, end caps
// and joins, PS_USERSTYLE lengths in logical units. At most 16 style entries,
// not all zero. Null with ERROR_INVALID_PARAMETER otherwise.
KVAPI HPEN ExtCreatePen(DWORD style, DWORD width, const LOGBRUSH* brush, DWORD styleCount,
                        const DWORD* styles);

// ---- brushes ----------------------------------------------------------------------------
inline constexpr UINT BS_SOLID = 0;
inline constexpr UINT BS_NULL = 1;
inline constexpr UINT BS_HOLLOW = BS_NULL;
inline constexpr UINT BS_HATCHED = 2;
inline constexpr UINT BS_PATTERN = 3;
inline constexpr UINT BS_DIBPATTERN = 5;
inline constexpr UINT BS_DIBPATTERNPT = 6;
// Hatch styles HS_HORIZONTAL (0) ... HS_DIAGCROSS (5) come with the engine's brushes.

KVAPI HBRUSH CreateSolidBrush(COLORREF color);
// Hatch lines in `color`; between them the DC's background colour (OPAQUE)
// or what is already there (TRANSPARENT).
KVAPI HBRUSH CreateHatchBrush(int hatch, COLORREF color);
// The bitmap is copied; a monochrome one paints its 0 bits in the text
// colour and its 1 bits in the background colour at drawing time.
KVAPI HBRUSH CreatePatternBrush(HBITMAP bitmap);
// A packed DIB: BITMAPINFO, colour table and bits in one block.
KVAPI HBRUSH CreateDIBPatternBrushPt(const void* packedDib, UINT usage);
KVAPI HBRUSH CreateBrushIndirect(const LOGBRUSH* brush);

// ---- drawing attributes ---------------------------------------------------------------
inline constexpr int R2_BLACK = 1;
inline constexpr int R2_NOTMERGEPEN = 2;
inline constexpr int R2_MASKNOTPEN = 3;
inline constexpr int R2_NOTCOPYPEN = 4;
inline constexpr int R2_MASKPENNOT = 5;
inline constexpr int R2_NOT = 6;
inline constexpr int R2_XORPEN = 7;
inline constexpr int R2_NOTMASKPEN = 8;
inline constexpr int R2_MASKPEN = 9;
inline constexpr int R2_NOTXORPEN = 10;
inline constexpr int R2_NOP = 11;
inline constexpr int R2_MERGENOTPEN = 12;
inline constexpr int R2_COPYPEN = 13;
inline constexpr int R2_MERGEPENNOT = 14;
inline constexpr int R2_MERGEPEN = 15;
inline constexpr int R2_WHITE = 16;
inline constexpr int TRANSPARENT = 1;
inline constexpr int OPAQUE = 2;
inline constexpr int ALTERNATE = 1;
inline constexpr int WINDING = 2;
inline constexpr int BLACKONWHITE = 1;
inline constexpr int WHITEONBLACK = 2;
inline constexpr int COLORONCOLOR_MODE = 3;  // COLORONCOLOR (3) comes with the engine
inline constexpr int HALFTONE = 4;

// Each returns the previous value, or 0 with the last error.
KVAPI int SetROP2(HDC dc, int rop2);
KVAPI int GetROP2(HDC dc);
KVAPI int SetBkMode(HDC dc, int mode);
KVAPI int GetBkMode(HDC dc);
KVAPI int SetPolyFillMode(HDC dc, int mode);
KVAPI int GetPolyFillMode(HDC dc);
KVAPI int SetStretchBltMode(HDC dc, int mode);
// Colours: the previous one, CLR_INVALID on failure.
KVAPI COLORREF SetBkColor(HDC dc, COLORREF color);
KVAPI COLORREF GetBkColor(HDC dc);
KVAPI COLORREF SetTextColor(HDC dc, COLORREF color);
KVAPI COLORREF GetTextColor(HDC dc);
KVAPI BOOL SetBrushOrgEx(HDC dc, int x, int y, POINT* previous);

// ---- coordinate spaces -------------------------------------------------------------------
inline constexpr int MM_TEXT = 1;
inline constexpr int MM_LOMETRIC = 2;
inline constexpr int MM_HIMETRIC = 3;
inline constexpr int MM_LOENGLISH = 4;
inline constexpr int MM_HIENGLISH = 5;
inline constexpr int MM_TWIPS = 6;
inline constexpr int MM_ISOTROPIC = 7;
inline constexpr int MM_ANISOTROPIC = 8;
inline constexpr int GM_COMPATIBLE = 1;
inline constexpr int GM_ADVANCED = 2;
inline constexpr DWORD MWT_IDENTITY = 1;
inline constexpr DWORD MWT_LEFTMULTIPLY = 2;
inline constexpr DWORD MWT_RIGHTMULTIPLY = 3;

struct XFORM {
  float eM11, eM12, eM21, eM22, eDx, eDy;
};
static_assert(sizeof(XFORM) == 24);

// The fixed modes set the extents from the device's resolution (y grows
// upwards in all but MM_TEXT); MM_ISOTROPIC starts from MM_LOMETRIC's
// extents and keeps one unit the same size in x and y.
KVAPI int SetMapMode(HDC dc, int mode);
KVAPI int GetMapMode(HDC dc);
// Extents are taken only in MM_ISOTROPIC and MM_ANISOTROPIC (elsewhere the
// call succeeds and changes nothing); zero extents fail.
KVAPI BOOL SetWindowExtEx(HDC dc, int x, int y, SIZE* previous);
KVAPI BOOL SetViewportExtEx(HDC dc, int x, int y, SIZE* previous);
KVAPI BOOL SetWindowOrgEx(HDC dc, int x, int y, POINT* previous);
KVAPI BOOL SetViewportOrgEx(HDC dc, int x, int y, POINT* previous);
KVAPI BOOL OffsetViewportOrgEx(HDC dc, int x, int y, POINT* previous);
KVAPI BOOL OffsetWindowOrgEx(HDC dc, int x, int y, POINT* previous);
KVAPI BOOL GetWindowExtEx(HDC dc, SIZE* size);
KVAPI BOOL GetViewportExtEx(HDC dc, SIZE* size);
KVAPI BOOL GetWindowOrgEx(HDC dc, POINT* point);
KVAPI BOOL GetViewportOrgEx(HDC dc, POINT* point);
// World transforms need GM_ADVANCED; going back to GM_COMPATIBLE needs the
// identity. A singular matrix fails.
KVAPI int SetGraphicsMode(HDC dc, int mode);
KVAPI int GetGraphicsMode(HDC dc);
KVAPI BOOL SetWorldTransform(HDC dc, const XFORM* xform);
KVAPI BOOL ModifyWorldTransform(HDC dc, const XFORM* xform, DWORD mode);
KVAPI BOOL GetWorldTransform(HDC dc, XFORM* xform);
KVAPI BOOL LPtoDP(HDC dc, POINT* points, int count);
KVAPI BOOL DPtoLP(HDC dc, POINT* points, int count);

// ---- saving state ---------------------------------------------------------------------
// SaveDC returns the new level (from 1), 0 on failure. RestoreDC takes a
// level or, negative, a count back from the newest; the levels above go.
KVAPI int SaveDC(HDC dc);
KVAPI BOOL RestoreDC(HDC dc, int saved);

// ---- regions and clipping ---------------------------------------------------------------
// Regions are in device pixels (right and bottom edges excluded).
inline constexpr int ERROR = 0;
inline constexpr int NULLREGION = 1;
inline constexpr int SIMPLEREGION = 2;
inline constexpr int COMPLEXREGION = 3;
inline constexpr int RGN_AND = 1;
inline constexpr int RGN_OR = 2;
inline constexpr int RGN_XOR = 3;
inline constexpr int RGN_DIFF = 4;
inline constexpr int RGN_COPY = 5;

KVAPI HRGN CreateRectRgn(int left, int top, int right, int bottom);
KVAPI HRGN CreateRectRgnIndirect(const RECT* rect);
// Filled with `mode` (ALTERNATE, WINDING); at least 3 points.
KVAPI HRGN CreatePolygonRgn(const POINT* points, int count, int mode);
KVAPI HRGN CreateEllipticRgn(int left, int top, int right, int bottom);
// `destination` receives the combination; the region type, or ERROR.
KVAPI int CombineRgn(HRGN destination, HRGN source1, HRGN source2, int mode);
KVAPI int OffsetRgn(HRGN region, int x, int y);
KVAPI int GetRgnBox(HRGN region, RECT* box);
KVAPI BOOL PtInRegion(HRGN region, int x, int y);
KVAPI BOOL EqualRgn(HRGN a, HRGN b);
// The DC's clip: a copy of the region (null removes the clip).
KVAPI int SelectClipRgn(HDC dc, HRGN region);
KVAPI int ExtSelectClipRgn(HDC dc, HRGN region, int mode);
// Logical rectangles narrowed into (or cut out of) the clip.
KVAPI int IntersectClipRect(HDC dc, int left, int top, int right, int bottom);
KVAPI int ExcludeClipRect(HDC dc, int left, int top, int right, int bottom);
// The clip's bounds in logical units (the surface's when there is no clip).
KVAPI int GetClipBox(HDC dc, RECT* box);
// Region painted with a brush (FillRgn) or the DC's brush (PaintRgn).
KVAPI BOOL FillRgn(HDC dc, HRGN region, HBRUSH brush);
KVAPI BOOL PaintRgn(HDC dc, HRGN region);

// ---- lines and shapes -------------------------------------------------------------------
// Rectangles are drawn as Windows does: in GM_COMPATIBLE the right and bottom
// edges are left out; the outline takes the pen and the inside the brush.
// Counts below what a figure needs, and device coordinates beyond 2^27
// pixels, fail with ERROR_INVALID_PARAMETER.
inline constexpr int AD_COUNTERCLOCKWISE = 1;
inline constexpr int AD_CLOCKWISE = 2;

KVAPI BOOL MoveToEx(HDC dc, int x, int y, POINT* previous);
KVAPI BOOL GetCurrentPositionEx(HDC dc, POINT* point);
KVAPI BOOL LineTo(HDC dc, int x, int y);
KVAPI BOOL Polyline(HDC dc, const POINT* points, int count);
KVAPI BOOL PolylineTo(HDC dc, const POINT* points, DWORD count);
KVAPI BOOL PolyBezier(HDC dc, const POINT* points, DWORD count);    // 1 + 3n points
KVAPI BOOL PolyBezierTo(HDC dc, const POINT* points, DWORD count);  // 3n points
KVAPI BOOL Polygon(HDC dc, const POINT* points, int count);
KVAPI BOOL PolyPolygon(HDC dc, const POINT* points, const INT* counts, int polygons);
KVAPI BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);
KVAPI BOOL RoundRect(HDC dc, int left, int top, int right, int bottom, int width, int height);
KVAPI BOOL Ellipse(HDC dc, int left, int top, int right, int bottom);
KVAPI int SetArcDirection(HDC dc, int direction);
KVAPI int GetArcDirection(HDC dc);
// The arc runs from the ray through (xStart, yStart) to the ray through (xEnd, yEnd).
KVAPI BOOL Arc(HDC dc, int left, int top, int right, int bottom, int xStart, int yStart,
               int xEnd, int yEnd);
KVAPI BOOL Pie(HDC dc, int left, int top, int right, int bottom, int xStart, int yStart,
               int xEnd, int yEnd);
KVAPI BOOL Chord(HDC dc, int left, int top, int right, int bottom, int xStart, int yStart,
                 int xEnd, int yEnd);
// Brush fills that ignore the pen: FillRect leaves out the right and bottom
// edges; FrameRect draws a one-pixel border with the brush.
KVAPI int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
KVAPI int FrameRect(HDC dc, const RECT* rect, HBRUSH brush);

// ---- paths ---------------------------------------------------------------------------
KVAPI BOOL BeginPath(HDC dc);
KVAPI BOOL EndPath(HDC dc);
KVAPI BOOL AbortPath(HDC dc);
KVAPI BOOL CloseFigure(HDC dc);
// These take the ended path and discard it.
KVAPI BOOL StrokePath(HDC dc);
KVAPI BOOL FillPath(HDC dc);
KVAPI BOOL StrokeAndFillPath(HDC dc);
KVAPI BOOL SelectClipPath(HDC dc, int mode);
KVAPI HRGN PathToRegion(HDC dc);

// ---- fonts and text ------------------------------------------------------------------
// Fonts are realized on the machine's own fonts: fontconfig finds the face a
// name stands for ("Arial" finds its metric-compatible stand-in), FreeType
// reads it. On a printer DC text goes to the graphics library as strings of
// glyphs; what the library refuses the engine draws as glyph bitmaps.
inline constexpr LONG FW_DONTCARE = 0;
inline constexpr LONG FW_THIN = 100;
inline constexpr LONG FW_LIGHT = 300;
inline constexpr LONG FW_NORMAL = 400;
inline constexpr LONG FW_MEDIUM = 500;
inline constexpr LONG FW_SEMIBOLD = 600;
inline constexpr LONG FW_BOLD = 700;
inline constexpr LONG FW_HEAVY = 900;
inline constexpr BYTE ANSI_CHARSET = 0;
inline constexpr BYTE DEFAULT_CHARSET = 1;
inline constexpr BYTE SYMBOL_CHARSET = 2;
inline constexpr BYTE SHIFTJIS_CHARSET = 128;
inline constexpr BYTE HANGUL_CHARSET = 129;
inline constexpr BYTE GB2312_CHARSET = 134;
inline constexpr BYTE CHINESEBIG5_CHARSET = 136;
inline constexpr BYTE EASTEUROPE_CHARSET = 238;
inline constexpr BYTE OEM_CHARSET = 255;
inline constexpr BYTE OUT_DEFAULT_PRECIS = 0;
inline constexpr BYTE OUT_TT_PRECIS = 4;
inline constexpr BYTE OUT_TT_ONLY_PRECIS = 7;
inline constexpr BYTE CLIP_DEFAULT_PRECIS = 0;
inline constexpr BYTE DEFAULT_QUALITY = 0;
inline constexpr BYTE DEFAULT_PITCH = 0;
inline constexpr BYTE FIXED_PITCH = 1;
inline constexpr BYTE VARIABLE_PITCH = 2;
inline constexpr BYTE FF_DONTCARE = 0x00;
inline constexpr BYTE FF_ROMAN = 0x10;
inline constexpr BYTE FF_SWISS = 0x20;
inline constexpr BYTE FF_MODERN = 0x30;
inline constexpr BYTE FF_SCRIPT = 0x40;
inline constexpr BYTE FF_DECORATIVE = 0x50;

// Text alignment (SetTextAlign): the reference point is the left, right or
// centre of the run and its top, baseline or bottom; TA_UPDATECP draws at
// the current position and moves it.
inline constexpr UINT TA_NOUPDATECP = 0;
inline constexpr UINT TA_UPDATECP = 1;
inline constexpr UINT TA_LEFT = 0;
inline constexpr UINT TA_RIGHT = 2;
inline constexpr UINT TA_CENTER = 6;
inline constexpr UINT TA_TOP = 0;
inline constexpr UINT TA_BOTTOM = 8;
inline constexpr UINT TA_BASELINE = 24;
inline constexpr UINT GDI_ERROR = 0xFFFFFFFF;

// ExtTextOutW options.
inline constexpr UINT ETO_OPAQUE = 0x0002;
inline constexpr UINT ETO_CLIPPED = 0x0004;
inline constexpr UINT ETO_GLYPH_INDEX = 0x0010;
inline constexpr UINT ETO_PDY = 0x2000;

struct TEXTMETRICW {
  LONG tmHeight;
  LONG tmAscent;
  LONG tmDescent;
  LONG tmInternalLeading;
  LONG tmExternalLeading;
  LONG tmAveCharWidth;
  LONG tmMaxCharWidth;
  LONG tmWeight;
  LONG tmOverhang;
  LONG tmDigitizedAspectX;
  LONG tmDigitizedAspectY;
  WCHAR tmFirstChar;
  WCHAR tmLastChar;
  WCHAR tmDefaultChar;
  WCHAR tmBreakChar;
  BYTE tmItalic;
  BYTE tmUnderlined;
  BYTE tmStruckOut;
  BYTE tmPitchAndFamily;
  BYTE tmCharSet;
};
static_assert(sizeof(TEXTMETRICW) == 60);
// tmPitchAndFamily bits besides the family.
inline constexpr BYTE TMPF_FIXED_PITCH = 0x01;  // set for variable pitch, as Windows does
inline constexpr BYTE TMPF_VECTOR = 0x02;
inline constexpr BYTE TMPF_TRUETYPE = 0x04;
inline constexpr BYTE TMPF_DEVICE = 0x08;

// What the enumeration callbacks receive: the logical font (an
// ENUMLOGFONTEXW) and its metrics (a NEWTEXTMETRICEXW).
struct ENUMLOGFONTEXW {
  LOGFONTW elfLogFont;
  WCHAR elfFullName[LF_FULLFACESIZE];
  WCHAR elfStyle[LF_FACESIZE];
  WCHAR elfScript[LF_FACESIZE];
};
struct NEWTEXTMETRICW {
  TEXTMETRICW tm;
  DWORD ntmFlags;
  UINT ntmSizeEM;
  UINT ntmCellHeight;
  UINT ntmAvgWidth;
};
struct FONTSIGNATURE {
  DWORD fsUsb[4];
  DWORD fsCsb[2];
};
struct NEWTEXTMETRICEXW {
  NEWTEXTMETRICW ntmTm;
  FONTSIGNATURE ntmFontSig;
};
inline constexpr DWORD RASTER_FONTTYPE = 0x1;
inline constexpr DWORD DEVICE_FONTTYPE = 0x2;
inline constexpr DWORD TRUETYPE_FONTTYPE = 0x4;
inline constexpr DWORD NTM_REGULAR = 0x40;
inline constexpr DWORD NTM_BOLD = 0x20;
inline constexpr DWORD NTM_ITALIC = 0x1;
// Returns nonzero to go on; the enumeration returns the last value returned.
using FONTENUMPROCW = int (*)(const LOGFONTW* font, const TEXTMETRICW* metrics, DWORD fontType,
                              LPARAM data);

// A logical font; selected into a DC it is realized at the DC's resolution
// and mapping. Null (ERROR_INVALID_PARAMETER) for a null description.
KVAPI HFONT CreateFontIndirectW(const LOGFONTW* font);
KVAPI HFONT CreateFontW(int height, int width, int escapement, int orientation, int weight,
                        DWORD italic, DWORD underline, DWORD strikeOut, DWORD charSet,
                        DWORD outPrecision, DWORD clipPrecision, DWORD quality,
                        DWORD pitchAndFamily, LPCWSTR faceName);
KVAPI UINT SetTextAlign(HDC dc, UINT align);  // the previous alignment, GDI_ERROR on failure
KVAPI UINT GetTextAlign(HDC dc);
// Extra space (logical units) added to every character, and to each break
// character of the next run.
KVAPI int SetTextCharacterExtra(HDC dc, int extra);
KVAPI BOOL SetTextJustification(HDC dc, int breakExtra, int breakCount);
// Text at (x, y) by the DC's alignment, with the DC's font, text colour and
// (OPAQUE background mode) background colour.
KVAPI BOOL TextOutW(HDC dc, int x, int y, LPCWSTR text, int count);
// `rect` (may be null) is the background filled with ETO_OPAQUE and the clip
// with ETO_CLIPPED; `dx` (may be null) the distances from each character to
// the next, in pairs (x, y) with ETO_PDY; ETO_GLYPH_INDEX takes glyph indices.
KVAPI BOOL ExtTextOutW(HDC dc, int x, int y, UINT options, const RECT* rect, LPCWSTR text,
                       UINT count, const INT* dx);
KVAPI BOOL GetTextExtentPoint32W(HDC dc, LPCWSTR text, int count, SIZE* size);
KVAPI BOOL GetTextExtentPointW(HDC dc, LPCWSTR text, int count, SIZE* size);
// How many characters fit in `maxExtent` (when `fit` is given) and the
// extent of every prefix (when `dx` is given), logical units.
KVAPI BOOL GetTextExtentExPointW(HDC dc, LPCWSTR text, int count, int maxExtent, int* fit,
                                 int* dx, SIZE* size);
KVAPI BOOL GetTextMetricsW(HDC dc, TEXTMETRICW* metrics);
// The face name of the DC's font; the characters copied (without the
// terminator), or with a null buffer the length needed including it.
KVAPI int GetTextFaceW(HDC dc, int count, LPWSTR name);
// One call per face of the family (all families for an empty or null name):
// the machine's TrueType and OpenType faces. (The printer libraries report no
// device fonts of their own.)
KVAPI int EnumFontFamiliesExW(HDC dc, const LOGFONTW* font, FONTENUMPROCW callback, LPARAM data,
                              DWORD flags);
KVAPI int EnumFontsW(HDC dc, LPCWSTR faceName, FONTENUMPROCW callback, LPARAM data);

// ---- bitmaps and raster operations --------------------------------------------------------
inline constexpr DWORD SRCCOPY = 0x00CC0020;
inline constexpr DWORD SRCPAINT = 0x00EE0086;
inline constexpr DWORD SRCAND = 0x008800C6;
inline constexpr DWORD SRCINVERT = 0x00660046;
inline constexpr DWORD SRCERASE = 0x00440328;
inline constexpr DWORD NOTSRCCOPY = 0x00330008;
inline constexpr DWORD NOTSRCERASE = 0x001100A6;
inline constexpr DWORD MERGECOPY = 0x00C000CA;
inline constexpr DWORD MERGEPAINT = 0x00BB0226;
inline constexpr DWORD PATCOPY = 0x00F00021;
inline constexpr DWORD PATPAINT = 0x00FB0A09;
inline constexpr DWORD PATINVERT = 0x005A0049;
inline constexpr DWORD DSTINVERT = 0x00550009;
inline constexpr DWORD BLACKNESS = 0x00000042;
inline constexpr DWORD WHITENESS = 0x00FF0062;

inline constexpr DWORD BI_RGB = 0;
inline constexpr DWORD BI_RLE8 = 1;
inline constexpr DWORD BI_RLE4 = 2;
inline constexpr DWORD BI_BITFIELDS = 3;
inline constexpr UINT DIB_RGB_COLORS = 0;
inline constexpr UINT DIB_PAL_COLORS = 1;

struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;  // positive: bottom-up rows; negative: top-down
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);
struct RGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
};
static_assert(sizeof(RGBQUAD) == 4);
// The header, then the colour table (or, for BI_BITFIELDS with a 40-byte
// header, the red, green and blue masks as three DWORDs).
struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};
static_assert(sizeof(BITMAPINFO) == 44);

// A memory DC starts with a 1 x 1 monochrome bitmap; `dc` may be null.
KVAPI HDC CreateCompatibleDC(HDC dc);
// A bitmap in the format of the DC's surface (a memory DC holding its
// initial bitmap gives a monochrome one, as on Windows; null: 32 bits).
KVAPI HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
// A device-dependent bitmap; `bits` (may be null) has rows padded to 16 bits.
KVAPI HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitCount, const void* bits);
// A bitmap with the DIB's layout; *bits receives its pixels (bottom-up rows
// for a positive height). `section` must be null.
KVAPI HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits,
                               HANDLE section, DWORD offset);
// Rows start..start+lines-1 (from the bottom) of a bitmap in the format `info`
// asks for; with null `bits`, fills in the header (and colour table of an
// indexed format the bitmap has). The number of rows copied, 0 on failure.
KVAPI int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void* bits, BITMAPINFO* info,
                    UINT usage);
// DIBs of 1, 4, 8, 16, 24 and 32 bits (BI_RGB, or BI_BITFIELDS for 16 and 32)
// to a DC. Source rectangles are measured from the DIB's lower-left corner
// for bottom-up DIBs, clipped to the DIB; a negative width or height on one
// side mirrors. The number of scan lines, 0 on failure.
KVAPI int StretchDIBits(HDC dc, int xDest, int yDest, int destWidth, int destHeight, int xSrc,
                        int ySrc, int srcWidth, int srcHeight, const void* bits,
                        const BITMAPINFO* info, UINT usage, DWORD rop);
// Unscaled; `bits` holds `lines` scan lines from `startScan` (from the bottom).
KVAPI int SetDIBitsToDevice(HDC dc, int xDest, int yDest, DWORD width, DWORD height, int xSrc,
                            int ySrc, UINT startScan, UINT lines, const void* bits,
                            const BITMAPINFO* info, UINT usage);
// From a memory DC's bitmap (the source may be null when `rop` ignores it).
KVAPI BOOL BitBlt(HDC dc, int x, int y, int width, int height, HDC source, int xSrc, int ySrc,
                  DWORD rop);
KVAPI BOOL StretchBlt(HDC dc, int xDest, int yDest, int destWidth, int destHeight, HDC source,
                      int xSrc, int ySrc, int srcWidth, int srcHeight, DWORD rop);
// The DC's brush under a raster operation that uses no source.
KVAPI BOOL PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop);
// The colour of a memory DC's pixel (logical coordinates); CLR_INVALID off
// the bitmap or for other DCs.
KVAPI COLORREF GetPixel(HDC dc, int x, int y);

namespace kvplat::gdi {
// How this thread's drawing calls reached a printer's graphics library since
// the last reset: for each DDI entry (INDEX_Drv...) the calls made and how
// many of them the library refused; `engineRenderings` counts the drawings
// the engine made on the library's behalf (delivered through DrvCopyBits),
// `lost` the calls that reached nobody and failed.
struct DriverCallCounts {
  ULONG calls[INDEX_LAST + 1];
  ULONG refused[INDEX_LAST + 1];
  ULONG engineRenderings;
  ULONG lost;
};
DriverCallCounts CurrentDriverCallCounts();
void ResetDriverCallCounts();
// Tests stand in for one entry point (INDEX_Drv...) of the graphics library
// behind this thread's printer DCs: the engine calls `function` instead of
// the library's own; null gives the library's back.
void OverrideDriverEntry(ULONG index, PFN function);
}  // namespace kvplat::gdi
