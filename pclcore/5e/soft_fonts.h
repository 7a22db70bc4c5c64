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
