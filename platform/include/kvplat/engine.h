// The graphics engine as the printer graphics libraries see it: the device
// driver interface records (enable data, GDIINFO, DEVINFO, surfaces, font
// metrics) and the Eng* services, plus the host side that loads a graphics
// library and drives its device instances.
#pragma once

#include <cstddef>
#include <string>

#include "kvplat/gdi_types.h"
#include "kvplat/wintypes.h"

KV_DECLARE_HANDLE(HSURF);
KV_DECLARE_HANDLE(DHSURF);
KV_DECLARE_HANDLE(DHPDEV);
KV_DECLARE_HANDLE(HDEV);
KV_DECLARE_HANDLE(HPALETTE);
KV_DECLARE_HANDLE(HSEMAPHORE);
using HGLYPH = ULONG;
using FIX = LONG;  // 28.4 fixed point
using FWORD = SHORT;
using LDECI4 = LONG;
// Entry points travel as a generic function pointer and are cast back to
// their own type by whoever calls them.
using PFN = void (*)();

struct POINTFIX { FIX x; FIX y; };
struct POINTQF { LONGLONG x; LONGLONG y; };

// ---- driver enable ----------------------------------------------------------
struct DRVFN {
  ULONG iFunc;
  PFN pfn;
};
struct DRVENABLEDATA {
  ULONG iDriverVersion;
  ULONG c;
  DRVFN* pdrvfn;
};
static_assert(offsetof(DRVENABLEDATA, c) == 4 && offsetof(DRVENABLEDATA, pdrvfn) == 8);
static_assert(sizeof(DRVENABLEDATA) == 16);

inline constexpr ULONG DDI_DRIVER_VERSION_NT5_01_SP1 = 0x30100;

// Function indices of the DRVFN table.
enum : ULONG {
  INDEX_DrvEnablePDEV = 0,
  INDEX_DrvCompletePDEV = 1,
  INDEX_DrvDisablePDEV = 2,
  INDEX_DrvEnableSurface = 3,
  INDEX_DrvDisableSurface = 4,
  INDEX_DrvAssertMode = 5,
  INDEX_DrvOffset = 6,
  INDEX_DrvResetPDEV = 7,
  INDEX_DrvDisableDriver = 8,
  INDEX_DrvCreateDeviceBitmap = 10,
  INDEX_DrvDeleteDeviceBitmap = 11,
  INDEX_DrvRealizeBrush = 12,
  INDEX_DrvDitherColor = 13,
  INDEX_DrvStrokePath = 14,
  INDEX_DrvFillPath = 15,
  INDEX_DrvStrokeAndFillPath = 16,
  INDEX_DrvPaint = 17,
  INDEX_DrvBitBlt = 18,
  INDEX_DrvCopyBits = 19,
  INDEX_DrvStretchBlt = 20,
  INDEX_DrvSetPalette = 22,
  INDEX_DrvTextOut = 23,
  INDEX_DrvEscape = 24,
  INDEX_DrvDrawEscape = 25,
  INDEX_DrvQueryFont = 26,
  INDEX_DrvQueryFontTree = 27,
  INDEX_DrvQueryFontData = 28,
  INDEX_DrvSetPointerShape = 29,
  INDEX_DrvMovePointer = 30,
  INDEX_DrvLineTo = 31,
  INDEX_DrvSendPage = 32,
  INDEX_DrvStartPage = 33,
  INDEX_DrvEndDoc = 34,
  INDEX_DrvStartDoc = 35,
  INDEX_DrvGetGlyphMode = 37,
  INDEX_DrvSynchronize = 38,
  INDEX_DrvQueryAdvanceWidths = 53,
  INDEX_LAST = 89
};

// Hooks a driver asks for in EngAssociateSurface.
inline constexpr FLONG HOOK_BITBLT = 0x00000001;
inline constexpr FLONG HOOK_STRETCHBLT = 0x00000002;
inline constexpr FLONG HOOK_PLGBLT = 0x00000004;
inline constexpr FLONG HOOK_TEXTOUT = 0x00000008;
inline constexpr FLONG HOOK_PAINT = 0x00000010;
inline constexpr FLONG HOOK_STROKEPATH = 0x00000020;
inline constexpr FLONG HOOK_FILLPATH = 0x00000040;
inline constexpr FLONG HOOK_STROKEANDFILLPATH = 0x00000080;
inline constexpr FLONG HOOK_LINETO = 0x00000100;
inline constexpr FLONG HOOK_COPYBITS = 0x00000400;

// Bitmap formats.
inline constexpr ULONG BMF_1BPP = 1;
inline constexpr ULONG BMF_4BPP = 2;
inline constexpr ULONG BMF_8BPP = 3;
inline constexpr ULONG BMF_16BPP = 4;
inline constexpr ULONG BMF_24BPP = 5;
inline constexpr ULONG BMF_32BPP = 6;

// Palette modes.
inline constexpr ULONG PAL_INDEXED = 0x1;
inline constexpr ULONG PAL_BITFIELDS = 0x2;
inline constexpr ULONG PAL_RGB = 0x4;
inline constexpr ULONG PAL_BGR = 0x8;

// ---- device capabilities ----------------------------------------------------
struct CIECHROMA {
  LDECI4 x;
  LDECI4 y;
  LDECI4 Y;
};
struct COLORINFO {
  CIECHROMA Red, Green, Blue, Cyan, Magenta, Yellow, AlignmentWhite;
  LDECI4 RedGamma, GreenGamma, BlueGamma;
  LDECI4 MagentaInCyanDye, YellowInCyanDye, CyanInMagentaDye;
  LDECI4 YellowInMagentaDye, CyanInYellowDye, MagentaInYellowDye;
};
static_assert(sizeof(COLORINFO) == 120);

struct GDIINFO {
  ULONG ulVersion;
  ULONG ulTechnology;
  ULONG ulHorzSize;
  ULONG ulVertSize;
  ULONG ulHorzRes;
  ULONG ulVertRes;
  ULONG cBitsPixel;
  ULONG cPlanes;
  ULONG ulNumColors;
  ULONG flRaster;
  ULONG ulLogPixelsX;
  ULONG ulLogPixelsY;
  ULONG flTextCaps;
  ULONG ulDACRed;
  ULONG ulDACGreen;
  ULONG ulDACBlue;
  ULONG ulAspectX;
  ULONG ulAspectY;
  ULONG ulAspectXY;
  LONG xStyleStep;
  LONG yStyleStep;
  LONG denStyleStep;
  POINTL ptlPhysOffset;
  SIZEL szlPhysSize;
  ULONG ulNumPalReg;
  COLORINFO ciDevice;
  ULONG ulDevicePelsDPI;
  ULONG ulPrimaryOrder;
  ULONG ulHTPatternSize;
  ULONG ulHTOutputFormat;
  ULONG flHTFlags;
  ULONG ulVRefresh;
  ULONG ulBltAlignment;
  ULONG ulPanningHorzRes;
  ULONG ulPanningVertRes;
  ULONG xPanningAlignment;
  ULONG yPanningAlignment;
  ULONG cxHTPat;
  ULONG cyHTPat;
  LPBYTE pHTPatA;
  LPBYTE pHTPatB;
  LPBYTE pHTPatC;
  ULONG flShadeBlend;
  ULONG ulPhysicalPixelCharacteristics;
  ULONG ulPhysicalPixelGamma;
};
static_assert(offsetof(GDIINFO, ptlPhysOffset) == 88);
static_assert(offsetof(GDIINFO, ciDevice) == 108);
static_assert(offsetof(GDIINFO, ulHTPatternSize) == 236);
static_assert(sizeof(GDIINFO) == 320);

inline constexpr ULONG DT_RASPRINTER = 2;
inline constexpr ULONG HT_PATSIZE_8x8_M = 7;
inline constexpr ULONG HT_FORMAT_24BPP = 6;
inline constexpr ULONG HT_FLAG_HAS_BLACK_DYE = 0x2;

struct DEVINFO {
  FLONG flGraphicsCaps;
  LOGFONTW lfDefaultFont;
  LOGFONTW lfAnsiVarFont;
  LOGFONTW lfAnsiFixFont;
  ULONG cFonts;
  ULONG iDitherFormat;
  USHORT cxDither;
  USHORT cyDither;
  HPALETTE hpalDefault;
  FLONG flGraphicsCaps2;
};
static_assert(offsetof(DEVINFO, cFonts) == 280);
static_assert(offsetof(DEVINFO, hpalDefault) == 296);
static_assert(sizeof(DEVINFO) == 312);

inline constexpr ULONG DCR_SOLID = 0;
inline constexpr ULONG DCR_DRIVER = 1;
inline constexpr ULONG DCR_HALFTONE = 2;

// ---- surfaces ---------------------------------------------------------------
struct SURFOBJ {
  DHSURF dhsurf;
  HSURF hsurf;
  DHPDEV dhpdev;
  HDEV hdev;
  SIZEL sizlBitmap;
  ULONG cjBits;
  PVOID pvBits;
  PVOID pvScan0;
  LONG lDelta;
  ULONG iUniq;
  ULONG iBitmapFormat;
  USHORT iType;
  USHORT fjBitmap;
};
inline constexpr USHORT STYPE_BITMAP = 0;
inline constexpr USHORT STYPE_DEVICE = 1;

// ---- fonts --------------------------------------------------------------------
struct PANOSE {
  BYTE bFamilyType, bSerifStyle, bWeight, bProportion, bContrast;
  BYTE bStrokeVariation, bArmStyle, bLetterform, bMidline, bXHeight;
};

// The engine's description of a font, stored ready to hand over. String
// members (dpwsz...) are byte offsets from the start of the block.
struct IFIMETRICS {
  ULONG cjThis;
  ULONG cjIfiExtra;
  PTRDIFF dpwszFamilyName;
  PTRDIFF dpwszStyleName;
  PTRDIFF dpwszFaceName;
  PTRDIFF dpwszUniqueName;
  PTRDIFF dpFontSim;
  LONG lEmbedId;
  LONG lItalicAngle;
  LONG lCharBias;
  PTRDIFF dpCharSets;
  BYTE jWinCharSet;
  BYTE jWinPitchAndFamily;
  USHORT usWinWeight;
  FLONG flInfo;
  USHORT fsSelection;
  USHORT fsType;
  FWORD fwdUnitsPerEm;
  FWORD fwdLowestPPEm;
  FWORD fwdWinAscender;
  FWORD fwdWinDescender;
  FWORD fwdMacAscender;
  FWORD fwdMacDescender;
  FWORD fwdMacLineGap;
  FWORD fwdTypoAscender;
  FWORD fwdTypoDescender;
  FWORD fwdTypoLineGap;
  FWORD fwdAveCharWidth;
  FWORD fwdMaxCharInc;
  FWORD fwdCapHeight;
  FWORD fwdXHeight;
  FWORD fwdSubscriptXSize;
  FWORD fwdSubscriptYSize;
  FWORD fwdSubscriptXOffset;
  FWORD fwdSubscriptYOffset;
  FWORD fwdSuperscriptXSize;
  FWORD fwdSuperscriptYSize;
  FWORD fwdSuperscriptXOffset;
  FWORD fwdSuperscriptYOffset;
  FWORD fwdUnderscoreSize;
  FWORD fwdUnderscorePosition;
  FWORD fwdStrikeoutSize;
  FWORD fwdStrikeoutPosition;
  BYTE chFirstChar;
  BYTE chLastChar;
  BYTE chDefaultChar;
  BYTE chBreakChar;
  WCHAR wcFirstChar;
  WCHAR wcLastChar;
  WCHAR wcDefaultChar;
  WCHAR wcBreakChar;
  POINTL ptlBaseline;
  POINTL ptlAspect;
  POINTL ptlCaret;
  RECTL rclFontBox;
  BYTE achVendId[4];
  ULONG cKerningPairs;
  ULONG ulPanoseCulture;
  PANOSE panose;
};
static_assert(offsetof(IFIMETRICS, dpCharSets) == 64);
static_assert(offsetof(IFIMETRICS, jWinCharSet) == 72);
static_assert(offsetof(IFIMETRICS, fwdUnitsPerEm) == 84);
static_assert(offsetof(IFIMETRICS, fwdAveCharWidth) == 104);
static_assert(offsetof(IFIMETRICS, fwdUnderscoreSize) == 128);
static_assert(offsetof(IFIMETRICS, chFirstChar) == 136);
static_assert(offsetof(IFIMETRICS, ptlAspect) == 156);
static_assert(offsetof(IFIMETRICS, rclFontBox) == 172);
static_assert(offsetof(IFIMETRICS, panose) == 200);
static_assert(sizeof(IFIMETRICS) == 216);

// IFIMETRICS flInfo bits used by the font data.
inline constexpr FLONG FM_INFO_TECH_TRUETYPE = 0x00000001;
inline constexpr FLONG FM_INFO_TECH_BITMAP = 0x00000002;
inline constexpr FLONG FM_INFO_TECH_STROKE = 0x00000004;
inline constexpr FLONG FM_INFO_TECH_OUTLINE_NOT_TRUETYPE = 0x00000008;
inline constexpr FLONG FM_INFO_ARB_XFORMS = 0x00000010;
inline constexpr FLONG FM_INFO_1BPP = 0x00000020;
inline constexpr FLONG FM_INFO_INTEGER_WIDTH = 0x00000200;
inline constexpr FLONG FM_INFO_CONSTANT_WIDTH = 0x00000400;
inline constexpr FLONG FM_INFO_NOT_CONTIGUOUS = 0x00000800;
inline constexpr FLONG FM_INFO_RETURNS_OUTLINES = 0x00004000;
inline constexpr FLONG FM_INFO_RETURNS_BITMAPS = 0x00010000;
inline constexpr FLONG FM_INFO_RIGHT_HANDED = 0x00040000;
inline constexpr FLONG FM_INFO_INTEGRAL_SCALING = 0x00080000;
inline constexpr FLONG FM_INFO_90DEGREE_ROTATIONS = 0x00100000;
inline constexpr FLONG FM_INFO_OPTICALLY_FIXED_PITCH = 0x00200000;
inline constexpr FLONG FM_INFO_FAMILY_EQUIV = 0x02000000;
inline constexpr FLONG FM_INFO_DBCS_FIXED_PITCH = 0x10000000;
// fsSelection bits.
inline constexpr USHORT FM_SEL_ITALIC = 0x0001;
inline constexpr USHORT FM_SEL_UNDERSCORE = 0x0002;
inline constexpr USHORT FM_SEL_NEGATIVE = 0x0004;
inline constexpr USHORT FM_SEL_OUTLINED = 0x0008;
inline constexpr USHORT FM_SEL_STRIKEOUT = 0x0010;
inline constexpr USHORT FM_SEL_BOLD = 0x0020;
inline constexpr USHORT FM_SEL_REGULAR = 0x0040;

struct FD_KERNINGPAIR {
  WCHAR wcFirst;
  WCHAR wcSecond;
  FWORD fwdKern;
};

struct WCRUN {
  WCHAR wcLow;
  USHORT cGlyphs;
  HGLYPH* phg;
};
struct FD_GLYPHSET {
  ULONG cjThis;
  FLONG flAccel;
  ULONG cGlyphsSupported;
  ULONG cRuns;
  WCRUN awcrun[1];
};

// ---- engine services ----------------------------------------------------------
struct ENG_TIME_FIELDS {
  USHORT usYear;
  USHORT usMonth;
  USHORT usDay;
  USHORT usHour;
  USHORT usMinute;
  USHORT usSecond;
  USHORT usMilliseconds;
  USHORT usWeekday;
};

inline constexpr FLONG FL_ZERO_MEMORY = 0x1;
KVAPI PVOID EngAllocMem(FLONG flags, ULONG bytes, ULONG tag);
KVAPI void EngFreeMem(PVOID mem);
KVAPI HSURF EngCreateDeviceSurface(DHSURF dhsurf, SIZEL size, ULONG formatCompat);
KVAPI BOOL EngAssociateSurface(HSURF surface, HDEV hdev, FLONG hooks);
KVAPI BOOL EngDeleteSurface(HSURF surface);
KVAPI SURFOBJ* EngLockSurface(HSURF surface);
KVAPI void EngUnlockSurface(SURFOBJ* surface);
KVAPI HPALETTE EngCreatePalette(ULONG mode, ULONG colors, ULONG* colorTable, FLONG red,
                                FLONG green, FLONG blue);
KVAPI BOOL EngDeletePalette(HPALETTE palette);
KVAPI HANDLE EngLoadModule(LPWSTR moduleName);
KVAPI PVOID EngFindResource(HANDLE module, int name, int type, PULONG size);
KVAPI void EngFreeModule(HANDLE module);
KVAPI FD_GLYPHSET* EngComputeGlyphSet(INT codePage, INT firstChar, INT chars);
KVAPI BOOL EngCheckAbort(SURFOBJ* surface);
KVAPI void EngQueryLocalTime(ENG_TIME_FIELDS* time);
KVAPI void EngUnicodeToMultiByteN(LPSTR multiByte, ULONG maxBytes, PULONG bytesInMultiByte,
                                  PWSTR unicode, ULONG bytesInUnicode);
KVAPI void EngMultiByteToUnicodeN(LPWSTR unicode, ULONG maxBytes, PULONG bytesInUnicode,
                                  char* multiByte, ULONG bytesInMultiByte);
KVAPI HSEMAPHORE EngCreateSemaphore();
KVAPI void EngDeleteSemaphore(HSEMAPHORE semaphore);
KVAPI void EngAcquireSemaphore(HSEMAPHORE semaphore);
KVAPI void EngReleaseSemaphore(HSEMAPHORE semaphore);

// ---- the graphics library's entry points --------------------------------------
inline constexpr DWORD DRVQUERY_USERMODE = 1;
inline constexpr ULONG DDI_ENGINE_VERSION = 0x30100;

using PFN_DrvEnableDriver = BOOL (*)(ULONG engineVersion, ULONG size, DRVENABLEDATA* data);
using PFN_DrvDisableDriver = void (*)();
using PFN_DrvQueryDriverInfo = BOOL (*)(DWORD code, PVOID buffer, DWORD size, PDWORD needed);
using PFN_DrvEnablePDEV = DHPDEV (*)(DEVMODEW* devmode, LPWSTR logAddress, ULONG patterns,
                                     HSURF* patternSurfaces, ULONG capsSize, ULONG* caps,
                                     ULONG devInfoSize, DEVINFO* devInfo, HDEV hdev,
                                     LPWSTR deviceName, HANDLE driver);
using PFN_DrvCompletePDEV = void (*)(DHPDEV dhpdev, HDEV hdev);
using PFN_DrvResetPDEV = BOOL (*)(DHPDEV oldPdev, DHPDEV newPdev);
using PFN_DrvDisablePDEV = void (*)(DHPDEV dhpdev);
using PFN_DrvEnableSurface = HSURF (*)(DHPDEV dhpdev);
using PFN_DrvDisableSurface = void (*)(DHPDEV dhpdev);
using PFN_DrvDitherColor = ULONG (*)(DHPDEV dhpdev, ULONG mode, ULONG rgb, ULONG* dither);
using PFN_DrvStartDoc = BOOL (*)(SURFOBJ* surface, LPWSTR docName, DWORD jobId);
using PFN_DrvStartPage = BOOL (*)(SURFOBJ* surface);
using PFN_DrvSendPage = BOOL (*)(SURFOBJ* surface);
using PFN_DrvEndDoc = BOOL (*)(SURFOBJ* surface, FLONG flags);
using PFN_DrvEscape = ULONG (*)(SURFOBJ* surface, ULONG escape, ULONG inputSize, PVOID input,
                                ULONG outputSize, PVOID output);
using PFN_DrvDrawEscape = ULONG (*)(SURFOBJ* surface, ULONG escape, void* clip, RECTL* bounds,
                                    ULONG inputSize, PVOID input);
inline constexpr FLONG ED_ABORTDOC = 0x1;

// ---- the host side: loading a graphics library and driving its devices -------
namespace kvplat::engine {

struct GraphicsDriver;

// One device context's device instance as the engine keeps it.
struct Device {
  GraphicsDriver* driver = nullptr;
  HANDLE printer = nullptr;
  DHPDEV dhpdev = nullptr;
  DHPDEV enabling = nullptr;  // the instance being enabled (its surface points to it)
  HSURF surface = nullptr;
  FLONG hooks = 0;          // what the driver hooked in EngAssociateSurface
  GDIINFO gdiInfo{};
  DEVINFO devInfo{};
  bool aborted = false;     // EngCheckAbort answers this
};

// Loads the printer's graphics library (DRIVER_INFO_2 pDriverPath) and calls
// DrvEnableDriver. Null with a message on failure.
GraphicsDriver* LoadGraphicsDriver(HANDLE printer, std::string* error);
void UnloadGraphicsDriver(GraphicsDriver* driver);
// The entry point the library handed over for `index`, or null.
PFN DriverFunction(const GraphicsDriver* driver, ULONG index);
ULONG DriverVersion(const GraphicsDriver* driver);
HMODULE DriverModule(const GraphicsDriver* driver);

// DrvEnablePDEV, DrvCompletePDEV and DrvEnableSurface, as the engine does when
// an application creates a printer device context.
Device* EnableDevice(GraphicsDriver* driver, HANDLE printer, DEVMODEW* devmode,
                     std::u16string_view deviceName, std::u16string_view logAddress,
                     std::string* error);
// A device context reset with a new device mode: a new instance is enabled,
// the library moves the job state into it (DrvResetPDEV), and the old one is
// disabled. On failure the old instance stays in force.
bool ResetDevice(Device* device, DEVMODEW* devmode, std::u16string_view deviceName,
                 std::u16string_view logAddress, std::string* error);
// DrvDisableSurface and DrvDisablePDEV.
void DisableDevice(Device* device);
// The device a HDEV stands for (null when it is not one of ours).
Device* DeviceFromHdev(HDEV hdev);

}  // namespace kvplat::engine
