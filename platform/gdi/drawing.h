// What the drawing parts of application GDI share: the GDI object table
// (pens, brushes, bitmaps, regions), region arithmetic, the coordinate
// transform of a DC, device paths, and the dispatch of one drawing call to
// the graphics library or the engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "gdi/dc.h"
#include "kvplat/engine_fonts.h"
#include "kvplat/engine_objects.h"

namespace kvplat::gdi {

// ---- GDI objects ---------------------------------------------------------------
enum class ObjectKind : BYTE { Pen = 1, Brush = 2, Bitmap = 3, Region = 4, Font = 5 };

// The colours of a bitmap, as the engine describes a palette.
struct Palette {
  ULONG mode = PAL_BGR;
  std::vector<ULONG> colors;  // 0x00BBGGRR, indexed palettes only
  FLONG red = 0, green = 0, blue = 0;
  engine::PaletteDesc Desc() const {
    engine::PaletteDesc d;
    d.mode = mode;
    d.colors = colors;
    d.red = red;
    d.green = green;
    d.blue = blue;
    return d;
  }
};

// A bitmap: an engine bitmap surface, locked for its whole life.
struct Bitmap {
  SURFOBJ* surface = nullptr;
  Palette palette;
  bool dib = false;                  // made from a DIB description (its colours are fixed)
  std::atomic<bool> selected{false};  // into a memory DC
  Bitmap() = default;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap() { engine::DeleteBitmapSurface(surface); }
  LONG Width() const { return surface->sizlBitmap.cx; }
  LONG Height() const { return surface->sizlBitmap.cy; }
  ULONG Format() const { return surface->iBitmapFormat; }
};
// A bitmap of `format` (BMF_*) with zeroed pixels; null when the size is
// refused or memory runs out (last error set).
std::shared_ptr<Bitmap> MakeBitmap(LONG width, LONG height, ULONG format, bool topDown,
                                   Palette palette);
// A private copy of a bitmap (pattern brushes keep one).
std::shared_ptr<Bitmap> CopyBitmap(const Bitmap& bitmap);
// A bitmap holding a DIB's pixels (BITMAPINFO, then its bits; `bits` null for
// a packed DIB whose bits follow the colour table); null with the last error
// for a malformed or refused DIB.
std::shared_ptr<Bitmap> BitmapFromDib(const BITMAPINFO* info, const void* bits, UINT usage);

struct BrushData {
  UINT style = BS_SOLID;
  COLORREF color = 0;
  ULONG hatch = 0;
  std::shared_ptr<Bitmap> pattern;  // BS_PATTERN, BS_DIBPATTERN: the brush's own copy
};

struct PenData {
  DWORD style = PS_SOLID;  // PS_SOLID ... PS_ALTERNATE
  bool geometric = false;  // ExtCreatePen PS_GEOMETRIC, or CreatePen wider than 1
  LONG width = 0;          // logical units
  ULONG endCap = ENDCAP_ROUND;
  ULONG join = JOIN_ROUND;
  BrushData brush;         // what the line is painted with (solid for cosmetic pens)
  std::vector<DWORD> userStyle;
  bool extended = false;   // made by ExtCreatePen
};

// A logical font; `serial` tells realizations of different fonts apart
// (handles and addresses may come back after a font is deleted).
struct FontData {
  LOGFONTW logical{};
  std::uint64_t serial = 0;
};

struct GdiObject {
  ObjectKind kind = ObjectKind::Pen;
  bool stock = false;
  PenData pen;
  BrushData brush;
  FontData font;
  std::shared_ptr<Bitmap> bitmap;
  std::vector<RECTL> region;  // banded device rectangles
};

// The pen and brush in force (a fresh DC has the black pen and white brush).
const PenData& CurrentPen(const DrawState& state);
const BrushData& CurrentBrush(const DrawState& state);

// Enters an object in the table; null (ERROR_NOT_ENOUGH_MEMORY) when full.
HGDIOBJ RegisterObject(std::shared_ptr<GdiObject> object);
// The object behind a handle of `kind`, or null with ERROR_INVALID_HANDLE.
std::shared_ptr<GdiObject> FindObject(HGDIOBJ handle, ObjectKind kind);
std::shared_ptr<GdiObject> FindAnyObject(HGDIOBJ handle);
// Takes an object out of the table (stock objects stay).
bool RemoveObject(HGDIOBJ handle);
// The 1 x 1 monochrome bitmap every memory DC starts with.
HBITMAP DefaultBitmapHandle();
// The font a DC has when the application selected none (SYSTEM_FONT).
HGDIOBJ DefaultFontHandle();
std::shared_ptr<GdiObject> MakeFontObject(const LOGFONTW& logical, bool stock);

// A bitmap selected into a memory DC: released when the DC lets it go.
struct BitmapSelection {
  std::shared_ptr<GdiObject> object;
  explicit BitmapSelection(std::shared_ptr<GdiObject> o) : object(std::move(o)) {}
  ~BitmapSelection() {
    if (object && object->bitmap) object->bitmap->selected = false;
  }
  Bitmap& bitmap() const { return *object->bitmap; }
};

// ---- regions: banded rectangles (top to bottom, left to right, one band's
// rectangles share top and bottom, none overlap) ------------------------------------
std::vector<RECTL> NormalizeRects(std::span<const RECTL> rects);
std::vector<RECTL> CombineRegions(const std::vector<RECTL>& a, const std::vector<RECTL>& b,
                                  int mode);
int RegionType(const std::vector<RECTL>& region);
RECTL RegionBounds(const std::vector<RECTL>& region);
// The pixels a path fills with `fillMode` (FP_*); false when it cannot be read.
bool RegionFromPath(PATHOBJ* path, FLONG fillMode, std::vector<RECTL>* out);

// ---- one call on a DC -------------------------------------------------------------------
// The DC behind `hdc`, locked for the call; false (ERROR_INVALID_HANDLE) for a
// bad handle.
struct DcCall {
  std::shared_ptr<DC> dc;
  std::unique_lock<std::recursive_mutex> lock;
  explicit DcCall(HDC hdc);
  explicit operator bool() const { return dc != nullptr; }
  DC* operator->() const { return dc.get(); }
  DC& operator*() const { return *dc; }
};

// ---- coordinates --------------------------------------------------------------------------
// Device coordinates beyond this many pixels are refused (28.4 must not overflow).
inline constexpr double kMaxDeviceCoordinate = 134217727.0;  // 2^27 - 1
// Dots per inch of the DC's device (x, y) and its surface in pixels.
void DeviceResolution(const DC& dc, LONG* x, LONG* y);
SIZEL SurfaceSize(const DC& dc);
// The logical-to-device map of a DC: world transform, then window to viewport.
Matrix DeviceMatrix(const DrawState& state);
bool Invert(const Matrix& m, Matrix* inverse);
// A logical point on the device in 28.4, rounded to whole pixels in
// GM_COMPATIBLE; false (ERROR_INVALID_PARAMETER) when out of range.
bool ToDeviceFix(const DrawState& state, const Matrix& m, double x, double y, POINTFIX* out);
// A logical rectangle as device pixels, ordered (axis-aligned maps only).
bool ToDeviceRect(const DrawState& state, const Matrix& m, const RECTL& logical, RECTL* out);
bool AxisAligned(const Matrix& m);
// The device width of a pen's logical width (at least 1).
double DeviceWidth(const Matrix& m, LONG width);

// ---- device paths (RecordedPath holds points and PT_* types) ----------------------------
inline constexpr BYTE PT_CLOSEFIGURE = 0x01;
inline constexpr BYTE PT_LINETO = 0x02;
inline constexpr BYTE PT_BEZIERTO = 0x04;
inline constexpr BYTE PT_MOVETO = 0x06;
void PathMoveTo(RecordedPath& path, POINTFIX p);
void PathLineTo(RecordedPath& path, POINTFIX p);
void PathBezierTo(RecordedPath& path, POINTFIX c1, POINTFIX c2, POINTFIX p);
void PathClose(RecordedPath& path);
// The engine path of a recorded one (null when empty or out of memory).
PATHOBJ* BuildPath(const RecordedPath& path);

// ---- dispatch (engine_dispatch.cpp) -----------------------------------------------------------
// Whether the DC can take output now: printer DCs need an open page (else
// FALSE with ERROR_SPL_NO_STARTDOC / ERROR_INVALID_PRINTER_STATE /
// ERROR_PRINT_CANCELLED); memory DCs always can.
bool ReadyForOutput(DC& dc);
// Strokes and/or fills a device path with the DC's pen and brush.
// `line`, when given, is the path's one segment (DrvLineTo may take it).
BOOL DrawDevicePath(DC& dc, PATHOBJ* path, bool stroke, bool fill,
                    const POINTFIX* line = nullptr);
// Paints device rectangles (any order; they may overlap) with a brush under a
// ternary raster operation that uses no source, inside the DC's clip.
BOOL PaintDeviceRects(DC& dc, std::span<const RECTL> rects, const BrushData* brush, ULONG rop3);
// Copies (stretching) the rectangle `src` (ordered, inside the source) of a
// source bitmap to the device rectangle `dst` (ordered); `flipX`/`flipY`
// mirror. rop3 may use the DC's brush and the destination.
struct BlitSource {
  SURFOBJ* surface = nullptr;
  engine::PaletteDesc palette;
};
BOOL BlitToDevice(DC& dc, const BlitSource& source, const RECTL& dst, const RECTL& src,
                  bool flipX, bool flipY, ULONG rop3);
// The surface a DC draws on and its palette (for colour conversion).
engine::PaletteDesc TargetPalette(const DC& dc);

// One run of text on the device: the string laid out on its font, the
// underline and strike-out rectangles (ended by an all-zero one; null: none)
// or, for text off the page's axes, their outlines as a path, the box to
// fill with the background colour (null: none), a rectangle narrowing the
// clip (ETO_CLIPPED; null: none) and the colours. Printer DCs hand the run
// to the library's DrvTextOut; what it refuses (or a library without one)
// the engine draws as glyph images through the library's bitmap calls.
// Memory DCs get the glyph images in their bitmap.
struct DeviceText {
  STROBJ* str = nullptr;
  FONTOBJ* font = nullptr;
  RECTL* extra = nullptr;
  PATHOBJ* extraPath = nullptr;
  const RECTL* opaque = nullptr;
  PATHOBJ* opaquePath = nullptr;  // the background of a run off the axes, filled first
  const RECTL* clipRect = nullptr;
  COLORREF fore = 0;
  COLORREF back = 0xFFFFFF;
};
BOOL DrawDeviceText(DC& dc, const DeviceText& text);

}  // namespace kvplat::gdi
