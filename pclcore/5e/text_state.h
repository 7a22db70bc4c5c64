// What text output remembers in a device instance: the run being printed
// (character set, double-byte and not-ANSI flags), the font selection in
// force on the printer and the HP-GL/2 label state. It sits in the HP-GL/2
// state record, so the per-page reset forgets it with everything else.
#pragma once

#include <cstdint>

namespace kv5e {

struct TextState {
  // The run being printed.
  std::uint8_t charSet;       // font's character set, 1 without metrics, 3 for Unicode-derived codes
  std::uint16_t charSetSent;  // set for which the text parsing method was last sent, plus 1
  std::uint8_t doubleByte;    // Shift-JIS, Hangul, GB2312, Big5
  std::uint8_t notAnsi;       // codes that are not one byte of the system code page
  std::uint8_t rawCodes;      // codes that differ from their single-byte conversion
  float xform[4];             // text transform m11, m12, m21, m22 (identity after the reset)
  // HP-GL/2 labels.
  std::int32_t labelDirection;  // degrees last sent with "DI"
  std::uint8_t labelFontState;  // 1 after a font selection, 2 once the label font is defined
  std::uint8_t scalable;        // current font is a scalable resident font or an outline soft font
  std::uint8_t verticalPath;      // ESC "&c-1T" in force: 0 no, 1 yes, 2 not known
  std::uint8_t verticalPathUsed;  // the job has sent ESC "&c-1T" (kept over the reset)
  std::int32_t printDirection;  // ESC "&a#P" last sent
  // The font selection in force (resident or soft font).
  std::uint8_t sizeKind;        // 1 height, 2 pitch, 0 none known
  std::int32_t sizeValue;       // hundredths of a point, or of characters per inch
  std::int32_t symbolSet;       // number x 32 + letter - 64 ("19U" is 629)
  std::int32_t typeface;        // label typeface value (a soft font's identifier)
  std::int32_t strokeWeight;
  std::int32_t style;
  std::int32_t softFontId;      // soft font selected with ESC "(#X", 0 when none
  std::int32_t softFontHeight;  // outline height last sent with ESC "(s#V", 0 when none
};

}  // namespace kv5e
