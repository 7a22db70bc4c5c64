// Plain text laid out on pages, without a printer: decoding (UTF-8), tab
// stops, line breaking with widths measured by the caller, and pagination.
// Everything here works in whatever units the measuring callback returns
// (kvprint uses device pixels).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kvprint {

inline constexpr char16_t kReplacementCharacter = 0xFFFD;

// UTF-8 bytes as UTF-16 text ready for layout:
// - a byte order mark at the start is skipped;
// - each ill-formed sequence (stray continuation bytes, truncated or overlong
//   forms, surrogates, values above U+10FFFF) becomes one U+FFFD per maximal
//   invalid subpart, as Unicode recommends;
// - CR LF and a lone CR become LF; TAB, LF and FF are kept;
// - other control characters (C0, DEL, C1) are not printable and are dropped.
std::u16string DecodeText(std::string_view bytes);

// Fills extents[i] with the width of text[0..i] (i + 1 characters) for every
// i < text.size(); the text holds no tab, line end or form feed. False when
// the width cannot be measured (the layout then fails).
using MeasureText = std::function<bool(std::u16string_view text, int* extents)>;

struct TextLayoutParams {
  int width = 0;         // room for a line (> 0)
  int tabWidth = 0;      // distance between tab stops (> 0): 8 columns of the font
  int linesPerPage = 0;  // body lines on a page (> 0)
};

// A piece of a line drawn at one place: the text between two tabs, without
// the spaces that end it.
struct TextRun {
  int x = 0;               // from the line's left edge
  std::uint32_t start = 0;  // into TextLayout::text
  std::uint32_t length = 0;
};
struct TextLine {
  std::uint32_t firstRun = 0;  // into TextLayout::runs
  std::uint32_t runCount = 0;  // 0 for an empty line
};
struct TextPage {
  std::uint32_t firstLine = 0;  // into TextLayout::lines
  std::uint32_t lineCount = 0;
};

struct TextLayout {
  std::u16string text;  // the decoded text the runs point into
  std::vector<TextRun> runs;
  std::vector<TextLine> lines;
  std::vector<TextPage> pages;  // at least one, even for an empty text

  std::u16string_view RunText(const TextRun& run) const {
    return std::u16string_view(text).substr(run.start, run.length);
  }
};

// Lays out decoded text:
// - tabs move to the next multiple of tabWidth from the line's left edge;
// - a line longer than the width breaks after the last space or tab that
//   fits; a word wider than the whole line is cut where it stops fitting (a
//   surrogate pair is never cut); spaces at the end of a line may hang past
//   the width and are not drawn;
// - LF ends a line; FF ends the page (the next line starts a new one), and a
//   form feed that ends the text adds no empty page;
// - a page takes linesPerPage lines.
// False for parameters out of range or when measuring fails.
bool LayOutText(std::u16string text, const TextLayoutParams& params, const MeasureText& measure,
                TextLayout* layout);

// Body lines that fit in `height` at `lineHeight` apart: at least 1.
int LinesPerPage(int height, int lineHeight);

// Page number lines: "Page 3" and "notes.txt — page 3 of 12".
std::u16string FooterText(int page);
std::u16string HeaderText(std::u16string_view name, int page, int pages);

}  // namespace kvprint
