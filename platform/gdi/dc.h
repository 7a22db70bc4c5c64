// The device context record and the process-wide table of device contexts.
//
// A DC is found by its HDC through the table; callers hold the returned
// shared_ptr and the DC's mutex for the length of one GDI call, so that
// DeleteDC from another thread never frees a record in use.
//
// The record is split by concern: what every DC has (kind, drawing
// attributes), and what only printer DCs have (the printer, the graphics
// library, the device instance, the document and page state). Drawing
// objects (pens, brushes, fonts, the transform, the clip) join DrawState.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kvplat/engine.h"
#include "kvplat/gdi.h"

namespace kvplat::gdi {

enum class DcKind { Printer, Memory };

struct GdiObject;        // a pen, brush, bitmap, region or font (drawing.h)
struct RealizedFont;     // a font realized for a DC's device and mapping (text.h)
struct BitmapSelection;  // a bitmap held by the memory DC it is selected into

// A logical-to-device affine map: device = (x * m11 + y * m21 + dx, x * m12 + y * m22 + dy).
struct Matrix {
  double m11 = 1, m12 = 0, m21 = 0, m22 = 1, dx = 0, dy = 0;
};

// A path being recorded between BeginPath and EndPath: device points in 28.4
// with their PT_* types.
enum class PathState { None, Open, Closed };
struct RecordedPath {
  PathState state = PathState::None;
  std::vector<POINTFIX> points;
  std::vector<BYTE> types;
};

// Drawing attributes of a DC, with the values a fresh DC starts with.
struct DrawState {
  COLORREF textColor = 0x000000;
  COLORREF backgroundColor = 0xFFFFFF;
  POINTL currentPosition{0, 0};
  // Selected objects: the handle the application knows and the object itself
  // (kept alive while selected, even when its handle is deleted).
  HGDIOBJ penHandle = nullptr;
  HGDIOBJ brushHandle = nullptr;
  std::shared_ptr<GdiObject> pen;
  std::shared_ptr<GdiObject> brush;
  HGDIOBJ fontHandle = nullptr;  // null: the stock system font
  std::shared_ptr<GdiObject> font;
  // Text layout.
  UINT textAlign = 0;     // TA_LEFT | TA_TOP | TA_NOUPDATECP
  int charExtra = 0;      // logical units added to every character
  int breakExtra = 0;     // logical units shared among the break characters of a run
  int breakCount = 0;
  int rop2 = 13;          // R2_COPYPEN
  int bkMode = 2;         // OPAQUE
  int polyFillMode = 1;   // ALTERNATE
  int stretchMode = 1;    // BLACKONWHITE
  int arcDirection = 1;   // AD_COUNTERCLOCKWISE
  POINTL brushOrigin{0, 0};
  // Coordinate spaces.
  int mapMode = 1;        // MM_TEXT
  int graphicsMode = 1;   // GM_COMPATIBLE
  POINTL windowOrigin{0, 0};
  POINTL viewportOrigin{0, 0};
  SIZEL windowExtent{1, 1};
  SIZEL viewportExtent{1, 1};
  Matrix world;
  // The clip in device pixels (banded rectangles); none when !clipped.
  bool clipped = false;
  std::vector<RECTL> clip;
  RecordedPath path;
};

// Where a printer DC stands in its document.
enum class DocState {
  None,      // no document
  Started,   // StartDocW done, between pages
  InPage,    // StartPage done
  Failed,    // the graphics library refused a page call: only an end is left
};

struct PrinterDc {
  HANDLE printer = nullptr;                         // OpenPrinterW, PRINTER_ACCESS_USE
  engine::GraphicsDriver* driver = nullptr;         // unloaded at DeleteDC
  engine::Device* device = nullptr;                 // the device instance in force
  std::u16string deviceName;                        // the printer's name, for the library
  std::u16string port;                              // its port (the library's log address)
  std::vector<BYTE> devmode;                        // the record in force (empty: none)
  DWORD jobId = 0;
  DocState doc = DocState::None;
  DWORD pages = 0;                                  // pages started in this document
};

// What only memory DCs have: the bitmap they draw into.
struct MemoryDc {
  HBITMAP bitmapHandle = nullptr;
  std::shared_ptr<BitmapSelection> bitmap;
};

struct DC {
  // One call at a time on a DC; recursive because the libraries a call reaches
  // may call back on the same DC (an interface library escaping during a
  // document event).
  std::recursive_mutex mutex;
  DcKind kind = DcKind::Printer;
  DrawState draw;
  std::vector<DrawState> saved;  // SaveDC levels, oldest first
  PrinterDc printer;
  MemoryDc memory;
  // Fonts realized on this DC, most recently used first (a few, so that a
  // page alternating between a heading and a body font realizes each once).
  std::vector<std::shared_ptr<RealizedFont>> fonts;
};

// GetDeviceCaps for a memory DC (drawing_state.cpp).
int MemoryDeviceCaps(const DC& dc, int index);

// The surface of a printer DC's device instance, locked for one call (the
// SURFOBJ the graphics library receives; its dhpdev is the library's instance).
class LockedSurface {
 public:
  explicit LockedSurface(const engine::Device* device)
      : object_(device != nullptr ? EngLockSurface(device->surface) : nullptr) {}
  ~LockedSurface() {
    if (object_ != nullptr) EngUnlockSurface(object_);
  }
  LockedSurface(const LockedSurface&) = delete;
  LockedSurface& operator=(const LockedSurface&) = delete;
  SURFOBJ* get() const { return object_; }

 private:
  SURFOBJ* object_;
};

// The graphics library's entry point `index` as its own type, or null.
template <class Fn>
Fn DriverEntry(const PrinterDc& printer, ULONG index) {
  return reinterpret_cast<Fn>(engine::DriverFunction(printer.driver, index));
}

// Keeps the engine's message for a failed CreateDCW / ResetDCW of this thread.
void SetFailureText(std::string text);

// Enters a DC in the table; null when the table is full.
HDC RegisterDc(std::shared_ptr<DC> dc);
// The DC behind `hdc`, or null with ERROR_INVALID_HANDLE.
std::shared_ptr<DC> FindDc(HDC hdc);
// Takes the DC out of the table (later lookups fail); null when unknown.
std::shared_ptr<DC> ReleaseDc(HDC hdc);

}  // namespace kvplat::gdi
