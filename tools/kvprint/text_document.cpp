#include "tools/kvprint/text_document.h"

#include <algorithm>
#include <cmath>

#include "kvplat/kernel.h"

namespace kvprint {
namespace {

int Pixels(double mm, int dpi) { return static_cast<int>(std::lround(mm * dpi / 25.4)); }

// Draws one line of text with its left edge at x and its top at y.
bool DrawString(HDC dc, int x, int y, std::u16string_view text) {
  return ExtTextOutW(dc, x, y, 0, nullptr, text.data(), static_cast<UINT>(text.size()), nullptr) != 0;
}

int StringWidth(HDC dc, std::u16string_view text) {
  SIZE size{};
  if (!GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size)) return 0;
  return size.cx;
}

}  // namespace

bool PrepareTextDocument(HDC dc, std::string_view bytes, const TextOptions& options,
                         TextDocument* document, std::string* error) {
  document->options = options;
  const int dpiX = GetDeviceCaps(dc, LOGPIXELSX), dpiY = GetDeviceCaps(dc, LOGPIXELSY);
  const int width = GetDeviceCaps(dc, HORZRES), height = GetDeviceCaps(dc, VERTRES);
  if (dpiX <= 0 || dpiY <= 0 || width <= 0 || height <= 0) {
    *error = "the printer reports no page size";
    return false;
  }
  // Margins from the paper's edges; the unprintable border already counts.
  const int offsetX = GetDeviceCaps(dc, PHYSICALOFFSETX), offsetY = GetDeviceCaps(dc, PHYSICALOFFSETY);
  const int paperWidth = GetDeviceCaps(dc, PHYSICALWIDTH), paperHeight = GetDeviceCaps(dc, PHYSICALHEIGHT);
  const int rightBorder = std::max(0, paperWidth - offsetX - width);
  const int bottomBorder = std::max(0, paperHeight - offsetY - height);
  document->left = std::max(0, Pixels(options.marginMm, dpiX) - offsetX);
  document->top = std::max(0, Pixels(options.marginMm, dpiY) - offsetY);
  document->right = width - std::max(0, Pixels(options.marginMm, dpiX) - rightBorder);
  document->bottom = height - std::max(0, Pixels(options.marginMm, dpiY) - bottomBorder);

  LOGFONTW font{};
  font.lfHeight = -static_cast<LONG>(std::lround(options.points * dpiY / 72.0));
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  const std::size_t nameLength = std::min<std::size_t>(options.face.size(), LF_FACESIZE - 1);
  std::copy_n(options.face.data(), nameLength, font.lfFaceName);
  document->font.font = CreateFontIndirectW(&font);
  if (document->font.font == nullptr) {
    *error = "cannot make the font";
    return false;
  }
  const HGDIOBJ old = SelectObject(dc, document->font.font);
  TEXTMETRICW metrics{};
  const bool measured = GetTextMetricsW(dc, &metrics) != 0;
  if (!measured || metrics.tmHeight <= 0) {
    SelectObject(dc, old);
    *error = "cannot measure the font";
    return false;
  }
  document->lineHeight = metrics.tmHeight + metrics.tmExternalLeading;
  // Tab stops every 8 columns: of the space for a fixed pitch font (the bit
  // is set for variable pitch), of the average character otherwise.
  const bool fixedPitch = (metrics.tmPitchAndFamily & TMPF_FIXED_PITCH) == 0;
  int column = fixedPitch ? StringWidth(dc, u" ") : metrics.tmAveCharWidth;
  if (column <= 0) column = std::max<LONG>(1, metrics.tmAveCharWidth);

  // Room for the page numbers: a line and a gap.
  const int numbersRoom = options.numbers == PageNumbers::None ? 0 : 2 * document->lineHeight;
  document->bodyTop = document->top + (options.numbers == PageNumbers::Header ? numbersRoom : 0);
  const int bodyHeight = document->bottom - document->top - numbersRoom;
  TextLayoutParams params;
  params.width = document->right - document->left;
  params.tabWidth = 8 * column;
  params.linesPerPage = LinesPerPage(bodyHeight, document->lineHeight);
  if (params.width < column || bodyHeight < document->lineHeight) {
    SelectObject(dc, old);
    *error = "the margins leave no room for text at this size";
    return false;
  }
  const MeasureText measure = [dc](std::u16string_view text, int* extents) {
    SIZE size{};
    return GetTextExtentExPointW(dc, text.data(), static_cast<int>(text.size()), 0, nullptr,
                                 extents, &size) != 0;
  };
  const bool laidOut = LayOutText(DecodeText(bytes), params, measure, &document->layout);
  SelectObject(dc, old);
  if (!laidOut) {
    *error = "cannot measure the text with the printer's font";
    return false;
  }
  return true;
}

namespace {

// The header in the width: a long name loses its middle to "..." so that
// the page numbers always show.
std::u16string FittingHeader(HDC dc, std::u16string_view name, int page, int pages, int width) {
  std::u16string header = HeaderText(name, page, pages);
  for (std::size_t keep = name.size(); keep > 0 && StringWidth(dc, header) > width; --keep) {
    const std::u16string shorter = std::u16string(name.substr(0, (keep + 1) / 2)) + u"\u2026" +
                                   std::u16string(name.substr(name.size() - keep / 2));
    header = HeaderText(shorter, page, pages);
  }
  return header;
}

}  // namespace

bool DrawTextDocumentPage(HDC dc, const TextDocument& document, int page) {
  const TextLayout& layout = document.layout;
  if (page < 0 || static_cast<std::size_t>(page) >= layout.pages.size()) return false;
  const HGDIOBJ old = SelectObject(dc, document.font.font);
  SetTextAlign(dc, TA_LEFT | TA_TOP);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  bool ok = true;

  const int pages = static_cast<int>(layout.pages.size());
  if (document.options.numbers == PageNumbers::Header) {
    ok &= DrawString(dc, document.left, document.top,
                     FittingHeader(dc, document.options.name, page + 1, pages,
                                   document.right - document.left));
    // A rule between the header and the body.
    const int ruleY = document.top + document.lineHeight + document.lineHeight / 2;
    ok &= MoveToEx(dc, document.left, ruleY, nullptr) != 0;
    ok &= LineTo(dc, document.right, ruleY) != 0;
  } else if (document.options.numbers == PageNumbers::Footer) {
    const std::u16string footer = FooterText(page + 1);
    const int x = (document.left + document.right - StringWidth(dc, footer)) / 2;
    ok &= DrawString(dc, x, document.bottom - document.lineHeight, footer);
  }

  const TextPage& lines = layout.pages[page];
  int y = document.bodyTop;
  for (std::uint32_t l = 0; l < lines.lineCount; ++l, y += document.lineHeight) {
    const TextLine& line = layout.lines[lines.firstLine + l];
    for (std::uint32_t r = 0; r < line.runCount; ++r) {
      const TextRun& run = layout.runs[line.firstRun + r];
      ok &= DrawString(dc, document.left + run.x, y, layout.RunText(run));
    }
  }
  SelectObject(dc, old);
  return ok;
}

}  // namespace kvprint
