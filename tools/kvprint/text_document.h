// A plain text file printed with a TrueType face: laid out for the printer's
// device context (widths measured with the realized font) and drawn a page at
// a time with the application text calls.
#pragma once

#include <string>
#include <string_view>

#include "kvplat/gdi.h"
#include "tools/kvprint/text_layout.h"

namespace kvprint {

enum class PageNumbers {
  Header,  // "name — page N of M" at the top
  Footer,  // "Page N" at the bottom, centred
  None,
};

struct TextOptions {
  std::u16string face = u"Courier New";
  double points = 10;     // the font's em height
  double marginMm = 15;   // from each edge of the paper (never inside the unprintable border)
  PageNumbers numbers = PageNumbers::Header;
  std::u16string name;    // the document's name in the header
};

// A font owned for a scope.
struct OwnedFont {
  HFONT font = nullptr;
  OwnedFont() = default;
  OwnedFont(const OwnedFont&) = delete;
  OwnedFont& operator=(const OwnedFont&) = delete;
  ~OwnedFont() {
    if (font != nullptr) DeleteObject(font);
  }
};

struct TextDocument {
  TextOptions options;
  TextLayout layout;
  OwnedFont font;
  int left = 0, top = 0, right = 0, bottom = 0;  // the text's box, device pixels
  int bodyTop = 0;     // the first body line
  int lineHeight = 0;  // line to line
};

// Lays out UTF-8 `bytes` for the DC's page with `options`. False with a
// message (the font cannot be made, the page has no room, measuring failed).
bool PrepareTextDocument(HDC dc, std::string_view bytes, const TextOptions& options,
                         TextDocument* document, std::string* error);

// Draws page `page` (from 0). False when a text call failed.
bool DrawTextDocumentPage(HDC dc, const TextDocument& document, int page);

}  // namespace kvprint
