// What the text parts of application GDI share: a DC's font realized for its
// device and mapping, and the conversions between logical units and device
// pixels along and across the baseline.
#pragma once

#include <cstdint>

#include "gdi/drawing.h"
#include "kvplat/engine_fonts.h"

namespace kvplat::gdi {

// A logical font realized on one DC: kept (a few per DC) until the DC goes,
// and found again while the font, the device resolution and the linear
// part of the mapping stay the same.
struct RealizedFont {
  std::uint64_t serial = 0;
  SIZEL dpi{};
  FLOATOBJ_XFORM mapping{};
  LOGFONTW logical{};
  FONTOBJ* font = nullptr;
  engine::FontMetrics metrics;
  RealizedFont() = default;
  RealizedFont(const RealizedFont&) = delete;
  RealizedFont& operator=(const RealizedFont&) = delete;
  ~RealizedFont() { engine::DeleteFontObject(font); }
};

// The DC's font realized for it; null with the last error when no font can
// be had. The DC's lock is held.
RealizedFont* RealizeFont(DC& dc);

// Device pixels per logical unit along a device direction (ux, uy), a unit
// vector, under the DC's logical-to-device map.
double PixelsPerUnit(const Matrix& m, double ux, double uy);

// TEXTMETRICW of a realized font in the DC's logical units.
void TextMetricsOf(const DC& dc, const RealizedFont& font, TEXTMETRICW* out);

}  // namespace kvplat::gdi
