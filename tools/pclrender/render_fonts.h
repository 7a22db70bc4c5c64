// The fonts of the PCL renderer: soft fonts downloaded in the stream (TrueType
// outline fonts, formats 15 and 16, rebuilt into an sfnt with the characters
// downloaded so far; bitmap fonts, formats 0, 20 and 16, from their format 4
// characters) and stand-ins for the printer's resident fonts found through
// fontconfig. Glyphs come back as coverage images placed against the
// character's reference point (the cursor, on the baseline).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kvpclrender {

struct GlyphImage {
  int left = 0;  // first column and row of the image, relative to the reference point
  int top = 0;   // (device dots, y growing down the page)
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> coverage;  // width x height, 0 (nothing) to 255 (full)
  double advanceX = 0;                 // where the next character starts, device dots
  double advanceY = 0;
};

// A resident font as the selection commands describe it.
struct ResidentFont {
  int symbolSet = 277;   // number x 32 + letter - 64 ("8U" is 277, "19U" 629)
  int spacing = 0;       // 0 fixed, 1 proportional
  double pitch = 10;     // characters per inch (fixed spacing)
  double height = 12;    // points (proportional spacing)
  int style = 0;         // 0 upright, 1 italic
  int weight = 0;        // stroke weight, 3 and above bold
  int typeface = 4099;   // Courier
};

struct SoftFont;

class Fonts {
 public:
  Fonts();
  ~Fonts();
  Fonts(const Fonts&) = delete;
  Fonts& operator=(const Fonts&) = delete;

  // ESC ")s#W": defines (or redefines) soft font `id` from its header.
  void DefineFont(int id, std::span<const std::uint8_t> header);
  // ESC "(s#W": a character (or a continuation block) for `code` of font `id`.
  void DefineCharacter(int id, std::uint32_t code, std::span<const std::uint8_t> data);
  void DeleteFont(int id);
  void DeleteCharacter(int id, std::uint32_t code);
  void DeleteAll();
  bool Exists(int id) const;
  bool Scalable(int id) const;
  std::size_t CharacterCount(int id) const;

  // The glyph of `code` in soft font `id` at `points` (scalable fonts only),
  // turned `degrees` counter-clockwise. False when the font or the character
  // is not there (the advance is still set for code 32: the header's pitch).
  bool SoftGlyph(int id, std::uint32_t code, double points, int dpi, double degrees, GlyphImage* out);
  // The stand-in face's glyph for `code` of a resident font.
  bool ResidentGlyph(const ResidentFont& font, std::uint32_t code, int dpi, double degrees,
                     GlyphImage* out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The family fontconfig is asked for in place of a resident typeface.
const char* StandInFamily(int typeface);
// Unicode value of a byte of a symbol set (Windows Latin 1 for "19U",
// Latin 1 otherwise; two-byte codes pass unchanged).
std::uint32_t SymbolSetToUnicode(int symbolSet, std::uint32_t code);

}  // namespace kvpclrender
