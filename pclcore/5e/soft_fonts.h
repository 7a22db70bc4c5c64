// TrueType fonts as PCL soft fonts: the per-job cache of downloaded fonts
// with their identifiers, outline (TrueType) and bitmap font headers, the
// characters of each run the printer does not have yet, and selecting the
// font.
#pragma once

#include <cstdint>
#include <span>

#include "kvplat/engine_fonts.h"
#include "pclcore/5e/pcl_device.h"

namespace kv5e {

inline constexpr int kSingleByteList = 0;
inline constexpr int kDoubleByteList = 1;
inline constexpr std::int32_t kFirstSingleByteFontId = 16385;
inline constexpr std::int32_t kFirstDoubleByteFontId = 1001;
// A list holding more than this many fonts is deleted before the next one.
inline constexpr int kMaxSoftFontsPerList = 30;

// SoftFontEntry::flags.
inline constexpr std::uint16_t kSoftFontOutline = 0x1;        // TrueType outline font
inline constexpr std::uint16_t kSoftFontHeaderPending = 0x2;  // header not sent (again) yet
inline constexpr std::uint16_t kSoftFontSentBefore = 0x4;     // its kind is settled

// One font of the cache: a zeroed engine heap block followed by the
// downloaded-character bitmap (256 codes, or 65536 in the double-byte list).
struct SoftFontEntry {
  SoftFontEntry* next;
  ULONG iUniq;
  ULONG_PTR iTTUniq;
  FLONG flFontType;
  std::int32_t id;              // PCL font identifier
  char name[33];                // family name narrowed to 8 bits
  std::uint16_t flags;          // kSoftFont* bits
  const BYTE* fontFile;         // the TrueType file, refreshed on every use
  ULONG fontFileSize;
  ULONG face;                   // FONTOBJ::iFace, the face of a collection
  std::uint8_t fixedPitch;
  std::int32_t height;          // em height and width key it was made for
  std::int32_t widthKey;
  BYTE firstBytes[128];         // high bytes of raw codes; slot i is lead byte 128 + i
  std::uint32_t firstByteCount;
  std::uint16_t mode;           // bit 0 raw codes; high byte the outline ordinal
  std::uint16_t glyphCount;     // maxp numGlyphs
  std::int16_t locaFormat;      // head indexToLocFormat
  std::uint32_t bitmapBytes;    // size of the downloaded-character bitmap
};

inline BYTE* DownloadedCodes(SoftFontEntry* entry) { return reinterpret_cast<BYTE*>(entry + 1); }

// Makes sure the font of a run is on the printer and selected, and downloads
// the run's characters it does not have yet. `glyphs` are the run's glyph
// positions (their handles give the glyph images, their distances the
// advances; `charInc` is the string's fixed increment, 0 when none); `codes`
// are the run's characters, one per glyph, which a raw-code run rewrites to
// the two-byte codes it sends. `height` and `widthKey` are the em height and
// width in pixels the run is printed at. Uses the run flags of the text state
// (double-byte, not-ANSI, raw codes). FALSE when no cache entry can be made.
BOOL SelectSoftFont(PclPdev* pdev, FONTOBJ* font, std::span<const GLYPHPOS> glyphs,
                    ULONG charInc, std::int32_t height, std::int32_t widthKey,
                    std::span<WCHAR> codes);

// The entry of a font at a size in the list the run flags choose, made
// (with the next identifier, header pending) when there is none; null when
// memory runs out.
SoftFontEntry* FindSoftFont(PclPdev* pdev, FONTOBJ* font, std::int32_t height,
                            std::int32_t widthKey, bool outline);
// Font headers. Outline: format 15, or format 16 with `doubleByte`; FALSE
// when the font's tables do not allow one (the caller then sends a bitmap
// font) or a write fails. Bitmap: format 20, or format 16 with `doubleByte`.
BOOL WriteOutlineHeader(PclPdev* pdev, FONTOBJ* font, SoftFontEntry* entry, bool doubleByte);
BOOL WriteBitmapHeader(PclPdev* pdev, FONTOBJ* font, SoftFontEntry* entry, bool doubleByte);
// The run's characters the printer does not have yet. FALSE when a write
// fails or, in a double-byte run, a character has no glyph in the font.
BOOL DownloadOutlineGlyphs(PclPdev* pdev, SoftFontEntry* entry, std::span<WCHAR> codes);
BOOL DownloadBitmapGlyphs(PclPdev* pdev, FONTOBJ* font, SoftFontEntry* entry,
                          std::span<const GLYPHPOS> glyphs, ULONG charInc,
                          std::span<WCHAR> codes);

// Deletes every font of a list from the printer (ESC "*c#d2F") and frees the entries.
void DeleteSoftFonts(PclPdev* pdev, int list);
// Frees both lists without telling the printer (the job's end resets it).
void FreeSoftFonts(PclPdev* pdev);
// A reset hands the job's fonts over to the new instance.
void MoveSoftFonts(PclPdev* from, PclPdev* to);
// A page held for replay in another order cannot count on what earlier pages
// downloaded: every font is sent again, with its characters, when next used.
void ForgetDownloadedCharacters(PclPdev* pdev);

}  // namespace kv5e
