// The process-wide table of GDI objects (pens, brushes, bitmaps, regions) and
// the calls common to all of them: stock objects, SelectObject, DeleteObject.
// Handles are serial numbers with the object's kind in the low bits, never
// addresses; values are not reused within a process.
#include <cstdint>
#include <unordered_map>

#include "gdi/drawing.h"
#include "kvplat/kernel.h"

namespace kvplat::gdi {
namespace {

constexpr std::uintptr_t kMaxSerial = 0x0FFFFFFF;

struct Table {
  std::mutex mutex;
  std::uintptr_t nextSerial = 1;
  std::unordered_map<std::uintptr_t, std::shared_ptr<GdiObject>> objects;
};

Table& TheTable() {
  static auto* table = new Table;  // outlives every static destructor
  return *table;
}

ObjectKind KindOf(std::uintptr_t value) { return static_cast<ObjectKind>(value & 0xF); }

// Stock objects: made once, never deleted.
struct Stock {
  HGDIOBJ handles[DEFAULT_GUI_FONT + 1] = {};
  HBITMAP defaultBitmap = nullptr;
};

std::shared_ptr<GdiObject> StockBrush(UINT style, COLORREF color) {
  auto o = std::make_shared<GdiObject>();
  o->kind = ObjectKind::Brush;
  o->stock = true;
  o->brush.style = style;
  o->brush.color = color;
  return o;
}

LOGFONTW StockLogFont(LONG height, LONG weight, BYTE pitch, const char16_t* face) {
  LOGFONTW f{};
  f.lfHeight = height;
  f.lfWeight = weight;
  f.lfCharSet = ANSI_CHARSET;
  f.lfPitchAndFamily = pitch;
  for (int i = 0; face[i] != 0 && i < LF_FACESIZE - 1; ++i) f.lfFaceName[i] = face[i];
  return f;
}

std::shared_ptr<GdiObject> StockPen(DWORD style, COLORREF color) {
  auto o = std::make_shared<GdiObject>();
  o->kind = ObjectKind::Pen;
  o->stock = true;
  o->pen.style = style;
  o->pen.brush.color = color;
  return o;
}

const Stock& TheStock() {
  static const Stock* stock = [] {
    auto* s = new Stock;
    s->handles[WHITE_BRUSH] = RegisterObject(StockBrush(BS_SOLID, 0xFFFFFF));
    s->handles[LTGRAY_BRUSH] = RegisterObject(StockBrush(BS_SOLID, 0xC0C0C0));
    s->handles[GRAY_BRUSH] = RegisterObject(StockBrush(BS_SOLID, 0x808080));
    s->handles[DKGRAY_BRUSH] = RegisterObject(StockBrush(BS_SOLID, 0x404040));
    s->handles[BLACK_BRUSH] = RegisterObject(StockBrush(BS_SOLID, 0x000000));
    s->handles[NULL_BRUSH] = RegisterObject(StockBrush(BS_NULL, 0));
    s->handles[WHITE_PEN] = RegisterObject(StockPen(PS_SOLID, 0xFFFFFF));
    s->handles[BLACK_PEN] = RegisterObject(StockPen(PS_SOLID, 0x000000));
    s->handles[NULL_PEN] = RegisterObject(StockPen(PS_NULL, 0));
    // Fonts: the system font is what a DC starts with.
    const LOGFONTW fixed = StockLogFont(0, FW_NORMAL, FIXED_PITCH | FF_MODERN, u"Courier New");
    s->handles[OEM_FIXED_FONT] = RegisterObject(MakeFontObject(fixed, true));
    s->handles[ANSI_FIXED_FONT] = RegisterObject(MakeFontObject(fixed, true));
    s->handles[SYSTEM_FIXED_FONT] = RegisterObject(MakeFontObject(fixed, true));
    s->handles[ANSI_VAR_FONT] = RegisterObject(
        MakeFontObject(StockLogFont(0, FW_NORMAL, VARIABLE_PITCH | FF_SWISS, u"Arial"), true));
    s->handles[SYSTEM_FONT] = RegisterObject(
        MakeFontObject(StockLogFont(0, FW_NORMAL, VARIABLE_PITCH | FF_SWISS, u""), true));
    s->handles[DEVICE_DEFAULT_FONT] = RegisterObject(
        MakeFontObject(StockLogFont(0, FW_NORMAL, VARIABLE_PITCH | FF_SWISS, u""), true));
    s->handles[DEFAULT_GUI_FONT] = RegisterObject(
        MakeFontObject(StockLogFont(-11, FW_NORMAL, VARIABLE_PITCH | FF_SWISS, u"Arial"), true));
    auto bitmap = std::make_shared<GdiObject>();
    bitmap->kind = ObjectKind::Bitmap;
    bitmap->stock = true;
    Palette mono;
    mono.mode = PAL_INDEXED;
    mono.colors = {0x000000, 0xFFFFFF};
    bitmap->bitmap = MakeBitmap(1, 1, BMF_1BPP, true, mono);
    s->defaultBitmap = static_cast<HBITMAP>(RegisterObject(bitmap));
    return s;
  }();
  return *stock;
}

}  // namespace

HGDIOBJ RegisterObject(std::shared_ptr<GdiObject> object) {
  if (object == nullptr) return nullptr;
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  if (table.nextSerial > kMaxSerial) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const std::uintptr_t value =
      (table.nextSerial++ << 4) | static_cast<std::uintptr_t>(object->kind);
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HGDIOBJ>(value);
}

std::shared_ptr<GdiObject> FindAnyObject(HGDIOBJ handle) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  const auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == table.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return found->second;
}

std::shared_ptr<GdiObject> FindObject(HGDIOBJ handle, ObjectKind kind) {
  if (KindOf(reinterpret_cast<std::uintptr_t>(handle)) != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return FindAnyObject(handle);
}

bool RemoveObject(HGDIOBJ handle) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  const auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == table.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!found->second->stock) table.objects.erase(found);
  return true;
}

HBITMAP DefaultBitmapHandle() { return TheStock().defaultBitmap; }
HGDIOBJ DefaultFontHandle() { return TheStock().handles[SYSTEM_FONT]; }

std::shared_ptr<GdiObject> MakeFontObject(const LOGFONTW& logical, bool stock) {
  static std::atomic<std::uint64_t> nextSerial{1};
  auto o = std::make_shared<GdiObject>();
  o->kind = ObjectKind::Font;
  o->stock = stock;
  o->font.logical = logical;
  o->font.logical.lfFaceName[LF_FACESIZE - 1] = 0;
  o->font.serial = nextSerial.fetch_add(1);
  return o;
}

DcCall::DcCall(HDC hdc) : dc(FindDc(hdc)) {
  if (dc != nullptr) lock = std::unique_lock(dc->mutex);
}

}  // namespace kvplat::gdi

using namespace kvplat::gdi;

KVAPI HGDIOBJ GetStockObject(int index) {
  if (index < 0 || index > DEFAULT_GUI_FONT || TheStock().handles[index] == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return TheStock().handles[index];
}

KVAPI HGDIOBJ SelectObject(HDC hdc, HGDIOBJ handle) {
  DcCall call(hdc);
  if (!call) return nullptr;
  std::shared_ptr<GdiObject> object = FindAnyObject(handle);
  if (object == nullptr) return nullptr;
  DrawState& draw = call->draw;
  switch (object->kind) {
    case ObjectKind::Pen: {
      HGDIOBJ previous = draw.penHandle ? draw.penHandle : GetStockObject(BLACK_PEN);
      draw.penHandle = handle;
      draw.pen = std::move(object);
      return previous;
    }
    case ObjectKind::Brush: {
      HGDIOBJ previous = draw.brushHandle ? draw.brushHandle : GetStockObject(WHITE_BRUSH);
      draw.brushHandle = handle;
      draw.brush = std::move(object);
      return previous;
    }
    case ObjectKind::Font: {
      HGDIOBJ previous = draw.fontHandle ? draw.fontHandle : DefaultFontHandle();
      draw.fontHandle = handle;
      draw.font = std::move(object);
      return previous;
    }
    case ObjectKind::Region: {
      const int type = SelectClipRgn(hdc, static_cast<HRGN>(handle));
      return reinterpret_cast<HGDIOBJ>(static_cast<std::intptr_t>(type));
    }
    case ObjectKind::Bitmap: {
      if (call->kind != DcKind::Memory) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      MemoryDc& memory = call->memory;
      if (memory.bitmapHandle == handle) return handle;
      // The shared 1 x 1 bitmap may sit in any number of DCs; others in one.
      if (!object->stock && object->bitmap->selected.exchange(true)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      HGDIOBJ previous = memory.bitmapHandle;
      memory.bitmap = std::make_shared<BitmapSelection>(std::move(object));
      memory.bitmapHandle = static_cast<HBITMAP>(handle);
      return previous;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

KVAPI BOOL DeleteObject(HGDIOBJ handle) {
  std::shared_ptr<GdiObject> object = FindAnyObject(handle);
  if (object == nullptr) return FALSE;
  if (object->stock) return TRUE;
  if (object->kind == ObjectKind::Bitmap && object->bitmap->selected) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return RemoveObject(handle) ? TRUE : FALSE;
}

KVAPI DWORD GetObjectType(HGDIOBJ handle) {
  if (FindDc(static_cast<HDC>(handle)) != nullptr) {
    DcCall call(static_cast<HDC>(handle));
    return call && call->kind == DcKind::Memory ? OBJ_MEMDC : OBJ_DC;
  }
  std::shared_ptr<GdiObject> object = FindAnyObject(handle);
  if (object == nullptr) return 0;
  switch (object->kind) {
    case ObjectKind::Pen: return object->pen.extended ? OBJ_EXTPEN : OBJ_PEN;
    case ObjectKind::Brush: return OBJ_BRUSH;
    case ObjectKind::Bitmap: return OBJ_BITMAP;
    case ObjectKind::Region: return OBJ_REGION;
    case ObjectKind::Font: return OBJ_FONT;
  }
  return 0;
}

KVAPI HGDIOBJ GetCurrentObject(HDC hdc, UINT type) {
  DcCall call(hdc);
  if (!call) return nullptr;
  switch (type) {
    // A fresh DC holds the black pen and the white brush.
    case OBJ_PEN: return call->draw.penHandle ? call->draw.penHandle : GetStockObject(BLACK_PEN);
    case OBJ_BRUSH:
      return call->draw.brushHandle ? call->draw.brushHandle : GetStockObject(WHITE_BRUSH);
    case OBJ_BITMAP: return call->kind == DcKind::Memory ? call->memory.bitmapHandle : nullptr;
    case OBJ_FONT: return call->draw.fontHandle ? call->draw.fontHandle : DefaultFontHandle();
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
  }
}
