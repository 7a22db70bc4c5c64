// The demo's text pages: TrueType faces at several sizes, real and simulated
// styles, underline, strike-out and opaque backgrounds, text at angles, text
// clipped by regions, Japanese, and a page with forty fonts.
#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "tools/kvprint/demo_document.h"
#include "tools/kvprint/text_layout.h"

namespace kvprint {
namespace {

int Mm(const PageArea& area, double mm) { return DemoMm(area, mm); }

struct FontChoice {
  const char16_t* face;
  double points;
  LONG weight = FW_NORMAL;
  bool italic = false;
  int escapement = 0;  // tenths of a degree, anticlockwise
  bool underline = false;
  bool strikeOut = false;
};

HFONT MakeFont(const PageArea& area, const FontChoice& choice) {
  LOGFONTW font{};
  font.lfHeight = -static_cast<LONG>(std::lround(choice.points * area.dpi / 72.0));
  font.lfEscapement = choice.escapement;
  font.lfOrientation = choice.escapement;
  font.lfWeight = choice.weight;
  font.lfItalic = choice.italic ? 1 : 0;
  font.lfUnderline = choice.underline ? 1 : 0;
  font.lfStrikeOut = choice.strikeOut ? 1 : 0;
  font.lfCharSet = DEFAULT_CHARSET;
  const std::u16string_view face = choice.face;
  std::copy_n(face.data(), std::min<std::size_t>(face.size(), LF_FACESIZE - 1), font.lfFaceName);
  return CreateFontIndirectW(&font);
}

// A font selected for a scope and deleted afterwards.
class ScopedFont {
 public:
  ScopedFont(HDC dc, const PageArea& area, const FontChoice& choice)
      : dc_(dc), font_(MakeFont(area, choice)), old_(font_ != nullptr ? SelectObject(dc, font_) : nullptr) {}
  ~ScopedFont() {
    if (old_ != nullptr) SelectObject(dc_, old_);
    if (font_ != nullptr) DeleteObject(font_);
  }
  ScopedFont(const ScopedFont&) = delete;
  ScopedFont& operator=(const ScopedFont&) = delete;
  bool ok() const { return old_ != nullptr; }

 private:
  HDC dc_;
  HFONT font_;
  HGDIOBJ old_;
};

bool Text(HDC dc, int x, int y, std::u16string_view text) {
  return TextOutW(dc, x, y, text.data(), static_cast<int>(text.size())) != 0;
}

int Width(HDC dc, std::u16string_view text) {
  SIZE size{};
  GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size);
  return size.cx;
}

std::u16string Ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

// The page's title in its bar.
bool Title(HDC dc, const PageArea& area, std::u16string_view title, const char16_t* face = u"Arial") {
  ScopedFont font(dc, area, {face, 18, FW_BOLD});
  SetTextAlign(dc, TA_LEFT | TA_BASELINE);
  return font.ok() && Text(dc, Mm(area, 9), Mm(area, 15.5), title);
}

// A paragraph in the selected font wrapped to `width` (at spaces, or between
// any two characters where there are none, as Japanese wants), its first
// line's top at *y; *y moves below it.
bool Paragraph(HDC dc, int left, int width, int* y, std::u16string_view text) {
  TEXTMETRICW metrics{};
  if (!GetTextMetricsW(dc, &metrics)) return false;
  const int lineHeight = metrics.tmHeight + metrics.tmExternalLeading;
  TextLayout layout;
  const TextLayoutParams params{width, std::max<int>(1, 8 * metrics.tmAveCharWidth), 1000};
  const MeasureText measure = [dc](std::u16string_view piece, int* extents) {
    SIZE size{};
    return GetTextExtentExPointW(dc, piece.data(), static_cast<int>(piece.size()), 0, nullptr,
                                 extents, &size) != 0;
  };
  if (!LayOutText(std::u16string(text), params, measure, &layout)) return false;
  SetTextAlign(dc, TA_LEFT | TA_TOP);
  bool ok = true;
  for (const TextLine& line : layout.lines) {
    for (std::uint32_t r = 0; r < line.runCount; ++r) {
      const TextRun& run = layout.runs[line.firstRun + r];
      ok &= Text(dc, left + run.x, *y, layout.RunText(run));
    }
    *y += lineHeight;
  }
  return ok;
}

// ---- faces, styles, angles and clipped text -----------------------------------

bool DrawFacesAndSizes(HDC dc, const PageArea& area, int left, int* y) {
  bool ok = true;
  const char16_t* faces[] = {u"Arial", u"Times New Roman", u"Courier New", u"DejaVu Sans",
                             u"DejaVu Serif"};
  const double sizes[] = {7, 9, 11, 14, 18};
  SetTextAlign(dc, TA_LEFT | TA_BASELINE);
  for (const char16_t* face : faces) {
    *y += Mm(area, 9);
    int x = left;
    {
      ScopedFont font(dc, area, {face, 10, FW_BOLD});
      ok &= font.ok() && Text(dc, x, *y, face);
    }
    x += Mm(area, 40);
    for (double size : sizes) {
      ScopedFont font(dc, area, {face, size});
      const std::u16string sample = u"Type " + Ascii(std::to_string(static_cast<int>(size))) + u" pt";
      ok &= font.ok() && Text(dc, x, *y, sample);
      x += Width(dc, sample) + Mm(area, 4);
    }
  }
  return ok;
}

bool DrawStyles(HDC dc, const PageArea& area, int left, int* y) {
  bool ok = true;
  struct Style {
    const char16_t* label;
    LONG weight;
    bool italic;
  };
  const Style styles[] = {{u"Regular", FW_NORMAL, false},
                          {u"Bold", FW_BOLD, false},
                          {u"Italic", FW_NORMAL, true},
                          {u"Bold Italic", FW_BOLD, true}};
  // Real bold and italic faces, then a face that has none: the styles are
  // simulated (emboldened, slanted).
  const char16_t* faces[] = {u"Arial", u"Times New Roman", u"Courier New", u"IPAGothic"};
  SetTextAlign(dc, TA_LEFT | TA_BASELINE);
  for (const char16_t* face : faces) {
    *y += Mm(area, 8);
    int x = left;
    for (const Style& style : styles) {
      ScopedFont font(dc, area, {face, 12, style.weight, style.italic});
      std::u16string label = style.label;
      if (std::u16string_view(face) == u"IPAGothic") label = u"IPAGothic " + label;
      ok &= font.ok() && Text(dc, x, *y, label);
      x += Width(dc, label) + Mm(area, 8);
    }
  }
  if (ok) {
    ScopedFont font(dc, area, {u"Arial", 8, FW_NORMAL, true});
    ok &= font.ok() && Text(dc, left, *y + Mm(area, 5),
                            u"(IPAGothic has no bold or italic face: those two are simulated)");
    *y += Mm(area, 5);
  }
  return ok;
}

bool DrawEffects(HDC dc, const PageArea& area, int left, int* y) {
  bool ok = true;
  *y += Mm(area, 10);
  SetTextAlign(dc, TA_LEFT | TA_BASELINE);
  int x = left;
  const FontChoice effects[] = {{u"Arial", 12, FW_NORMAL, false, 0, true, false},
                              {u"Arial", 12, FW_NORMAL, false, 0, false, true},
                              {u"Times New Roman", 12, FW_BOLD, false, 0, true, true}};
  const char16_t* labels[] = {u"Underlined", u"Struck out", u"Underlined and struck out"};
  for (int i = 0; i < 3; ++i) {
    ScopedFont font(dc, area, effects[i]);
    ok &= font.ok() && Text(dc, x, *y, labels[i]);
    x += Width(dc, labels[i]) + Mm(area, 8);
  }
  *y += Mm(area, 9);
  ScopedFont font(dc, area, {u"Arial", 12});
  SetBkMode(dc, OPAQUE);
  SetBkColor(dc, RGB(200, 200, 200));
  const std::u16string_view opaque = u"On an opaque gray background";
  ok &= Text(dc, left, *y, opaque);
  SetBkMode(dc, TRANSPARENT);
  // ExtTextOut with its own opaque box, clipping the text to it.
  const int boxLeft = left + Width(dc, opaque) + Mm(area, 8);
  const RECT box{boxLeft, *y - Mm(area, 5), boxLeft + Mm(area, 60), *y + Mm(area, 2)};
  const std::u16string_view clipped = u"ExtTextOut clipped to its box: the end is cut off";
  ok &= ExtTextOutW(dc, boxLeft + Mm(area, 2), *y, ETO_OPAQUE | ETO_CLIPPED, &box, clipped.data(),
                    static_cast<UINT>(clipped.size()), nullptr) != 0;
  return ok;
}

bool DrawAngles(HDC dc, const PageArea& area, int cx, int cy) {
  bool ok = true;
  {
    const HGDIOBJ pen = SelectObject(dc, GetStockObject(BLACK_PEN));
    ok &= MoveToEx(dc, cx - Mm(area, 3), cy, nullptr) && LineTo(dc, cx + Mm(area, 3), cy);
    ok &= MoveToEx(dc, cx, cy - Mm(area, 3), nullptr) && LineTo(dc, cx, cy + Mm(area, 3));
    SelectObject(dc, pen);
  }
  SetTextAlign(dc, TA_LEFT | TA_BASELINE);
  for (int degrees : {0, 90, 180, 270}) {
    ScopedFont font(dc, area, {u"Arial", 12, FW_NORMAL, false, degrees * 10});
    ok &= font.ok() && Text(dc, cx, cy, u"   at " + Ascii(std::to_string(degrees)) + u"\u00B0");
  }
  ScopedFont font(dc, area, {u"Times New Roman", 16, FW_BOLD, true, 370});
  ok &= font.ok() && Text(dc, cx - Mm(area, 35), cy + Mm(area, 40), u"Rising at 37\u00B0");
  return ok;
}

// Lines of text filling `box`, seen through `region` (deleted here).
bool TextThroughRegion(HDC dc, const PageArea& area, HRGN region, const RECT& box,
                       const FontChoice& choice, std::u16string_view line) {
  if (region == nullptr) return false;
  const int saved = SaveDC(dc);
  SelectClipRgn(dc, region);
  DeleteObject(region);
  bool ok = true;
  {
    ScopedFont font(dc, area, choice);
    ok &= font.ok();
    SetTextAlign(dc, TA_LEFT | TA_TOP);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    const int step = std::max<LONG>(1, metrics.tmHeight);
    for (int y = box.top; ok && y < box.bottom; y += step) {
      ok &= Text(dc, box.left - (y / step % 3) * Mm(area, 3), y, line);
    }
  }
  RestoreDC(dc, saved);
  return ok;
}

bool DrawClipped(HDC dc, const PageArea& area, int left, int top) {
  bool ok = true;
  const RECT ellipse{left, top, left + Mm(area, 80), top + Mm(area, 50)};
  ok &= TextThroughRegion(dc, area, CreateEllipticRgn(ellipse.left, ellipse.top, ellipse.right, ellipse.bottom),
                          ellipse, {u"Times New Roman", 10},
                          u"Text seen through an elliptic clip region, line after line of it.");
  // A star-shaped polygon region with lines of text behind it.
  const int cx = left + Mm(area, 40), cy = top + Mm(area, 85);
  std::vector<POINT> star;
  for (int i = 0; i < 10; ++i) {
    const double angle = -M_PI / 2 + i * M_PI / 5;
    const double radius = Mm(area, i % 2 == 0 ? 30.0 : 13.0);
    star.push_back({cx + static_cast<LONG>(std::lround(radius * std::cos(angle))),
                    cy + static_cast<LONG>(std::lround(radius * std::sin(angle)))});
  }
  const RECT starBox{cx - Mm(area, 30), cy - Mm(area, 30), cx + Mm(area, 30), cy + Mm(area, 25)};
  ok &= TextThroughRegion(dc, area, CreatePolygonRgn(star.data(), 10, WINDING), starBox,
                          {u"Courier New", 9, FW_BOLD},
                          u"A star clips this text; a star clips this text; a star clips it.");
  // The outlines of the two regions.
  const HGDIOBJ brush = SelectObject(dc, GetStockObject(NULL_BRUSH));
  ok &= Ellipse(dc, ellipse.left, ellipse.top, ellipse.right, ellipse.bottom) != 0;
  ok &= Polygon(dc, star.data(), 10) != 0;
  SelectObject(dc, brush);
  return ok;
}

}  // namespace

bool DrawFacesPage(HDC dc, const PageArea& area) {
  bool ok = DrawPageFrame(dc, area, 220);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  ok &= Title(dc, area, u"Faces, styles, angles and clipped text");
  const int left = Mm(area, 15);
  int y = Mm(area, 22);
  ok &= DrawFacesAndSizes(dc, area, left, &y);
  ok &= DrawStyles(dc, area, left, &y);
  ok &= DrawEffects(dc, area, left, &y);
  y += Mm(area, 15);
  ok &= DrawAngles(dc, area, left + Mm(area, 45), y + Mm(area, 35));
  ok &= DrawClipped(dc, area, std::min(area.width - Mm(area, 95), left + Mm(area, 100)), y);
  SetTextAlign(dc, TA_LEFT | TA_TOP);
  return ok;
}

// ---- Japanese -----------------------------------------------------------------------

bool DrawJapanesePage(HDC dc, const PageArea& area) {
  bool ok = DrawPageFrame(dc, area, 220);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  ok &= Title(dc, area, u"日本語の印刷 — Japanese text", u"IPAGothic");
  const int left = Mm(area, 15);
  const int width = area.width - 2 * left;
  int y = Mm(area, 28);

  struct Block {
    FontChoice font;
    std::u16string_view text;
  };
  const Block blocks[] = {
      {{u"IPAGothic", 14, FW_BOLD}, u"ゴシック体（IPAGothic）"},
      {{u"IPAGothic", 11},
       u"吾輩は猫である。名前はまだ無い。どこで生れたかとんと見当がつかぬ。何でも薄暗いじめじめした"
       u"所でニャーニャー泣いていた事だけは記憶している。吾輩はここで始めて人間というものを見た。"},
      {{u"IPAMincho", 14, FW_BOLD}, u"明朝体（IPAMincho）"},
      {{u"IPAMincho", 11},
       u"いろはにほへと　ちりぬるを　わかよたれそ　つねならむ　うゐのおくやま　けふこえて　"
       u"あさきゆめみし　ゑひもせす。カタカナ：アイウエオ　カキクケコ。漢字：東京都千代田区。"},
      {{u"IPAPGothic", 11},
       u"プロポーショナル（IPAPGothic）：このプリンタは PCL 5e で日本語のテキストを"
       u"ダウンロードしたフォントで印刷します。ABC abc 0123456789。"},
      {{u"IPAMincho", 24}, u"東京・大阪・京都・札幌・福岡"},
      {{u"IPAGothic", 8}, u"小さな文字：８ポイントのゴシック体でも読めるように印刷されます。"},
  };
  for (const Block& block : blocks) {
    ScopedFont font(dc, area, block.font);
    ok &= font.ok() && Paragraph(dc, left, width, &y, block.text);
    y += Mm(area, 4);
  }
  // Rotated Japanese: a line going up the page and one at 37 degrees.
  SetTextAlign(dc, TA_LEFT | TA_BASELINE);
  {
    ScopedFont font(dc, area, {u"IPAMincho", 16, FW_NORMAL, false, 900});
    ok &= font.ok() && Text(dc, left + Mm(area, 10), y + Mm(area, 70), u"縦に回転した行です");
  }
  {
    ScopedFont font(dc, area, {u"IPAGothic", 16, FW_NORMAL, false, 370});
    ok &= font.ok() && Text(dc, left + Mm(area, 40), y + Mm(area, 60), u"三十七度の傾き");
  }
  SetTextAlign(dc, TA_LEFT | TA_TOP);
  return ok;
}

// ---- forty fonts on a page -------------------------------------------------------

bool DrawManyFontsPage(HDC dc, const PageArea& area) {
  bool ok = DrawPageFrame(dc, area, 220);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  ok &= Title(dc, area, u"Forty fonts on a page");

  // Five faces at eight sizes: each one a soft font of its own in the printer.
  const char16_t* faces[] = {u"Arial", u"Times New Roman", u"Courier New", u"DejaVu Sans",
                             u"DejaVu Serif"};
  const double sizes[] = {7, 8, 9, 10, 11, 12, 14, 16};
  std::vector<HFONT> fonts;
  for (const char16_t* face : faces) {
    for (double size : sizes) {
      HFONT font = MakeFont(area, {face, size});
      if (font != nullptr) fonts.push_back(font);
    }
  }
  ok &= fonts.size() == std::size(faces) * std::size(sizes);

  constexpr std::u16string_view kText =
      u"A printer keeps the fonts a page downloads in its memory, each under a number of its own, "
      u"and the driver remembers which characters of which font are already down so that a "
      u"character goes to the printer once and costs only its code after that. This page sets "
      u"every word in another face or size, forty of them in turn, more than the driver keeps "
      u"at once, so that older fonts are deleted and sent again as the text goes on. Words of "
      u"eight sizes share each baseline; the lines are far enough apart for the largest. The "
      u"quick brown fox jumps over the lazy dog; pack my box with five dozen liquor jugs; "
      u"sphinx of black quartz, judge my vow. 0123456789 !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~ "
      u"\u00C0\u00C9\u00CE\u00D5\u00DC \u00E0\u00E9\u00EE\u00F5\u00FC \u00DF \u00A9 \u00AE \u00B0 "
      u"\u00BD \u20AC \u2013 \u2014 \u201Cquoted\u201D \u2018single\u2019 \u2026 ";
  // The text runs on through the fonts in turn, a few words in each: the
  // driver keeps up to 31 soft fonts at once, so the list overflows once and
  // the last fonts are downloaded after the first ones are deleted.
  constexpr std::size_t kWordsPerFont = 6;
  const int left = Mm(area, 15), right = area.width - Mm(area, 15);
  const int lineStep = Mm(area, 8);
  int x = left, y = Mm(area, 32);
  SetTextAlign(dc, TA_LEFT | TA_BASELINE);
  const HGDIOBJ old = fonts.empty() ? nullptr : SelectObject(dc, fonts[0]);
  std::size_t word = 0, start = 0;
  while (ok && !fonts.empty() && word < kWordsPerFont * fonts.size()) {
    std::size_t end = kText.find(u' ', start);
    if (end == std::u16string_view::npos) end = kText.size();
    const std::u16string_view piece = kText.substr(start, end - start);
    start = end + 1 < kText.size() ? end + 1 : 0;  // round again at the end
    if (piece.empty()) continue;
    SelectObject(dc, fonts[word++ / kWordsPerFont]);
    const int width = Width(dc, piece);
    if (x > left && x + width > right) {
      x = left;
      y += lineStep;
      if (y >= area.height - Mm(area, 15)) break;
    }
    ok &= Text(dc, x, y, piece);
    x += width + Width(dc, u" ");
  }
  if (old != nullptr) SelectObject(dc, old);
  for (HFONT font : fonts) DeleteObject(font);
  SetTextAlign(dc, TA_LEFT | TA_TOP);
  return ok;
}

}  // namespace kvprint
