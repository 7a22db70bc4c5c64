#include "tools/kvprint/text_layout.h"

#include <algorithm>
#include <cstdint>

namespace kvprint {
namespace {

bool InRange(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

// Appends a code point as UTF-16, dropping the controls a page cannot show.
// The other line separators (vertical tab, next line, line and paragraph
// separators) end the line as a line feed does.
void Append(std::u16string& out, char32_t code) {
  if (code == 0x0B || code == 0x85 || code == 0x2028 || code == 0x2029) code = u'\n';
  if (code < 0x20) {
    if (code == u'\t' || code == u'\n' || code == u'\f') out.push_back(static_cast<char16_t>(code));
    return;
  }
  if (code >= 0x7F && code <= 0x9F) return;  // DEL and the C1 controls
  if (code < 0x10000) {
    out.push_back(static_cast<char16_t>(code));
    return;
  }
  code -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }
bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Characters measured in one call at most: the measuring keeps a width per
// character, and a line of a whole file must not make it hold them all.
constexpr std::uint32_t kMeasureChunk = 65536;

// Lays out one line of the source (no LF or FF inside) into output lines.
class LineBreaker {
 public:
  LineBreaker(const TextLayoutParams& params, const MeasureText& measure, TextLayout* layout)
      : params_(params), measure_(measure), layout_(layout) {}

  bool Add(std::uint32_t begin, std::uint32_t end) {
    const std::u16string& text = layout_->text;
    // Each character's advance; a tab's depends on where it lands and is
    // worked out while walking the line.
    advances_.assign(end - begin, 0);
    for (std::uint32_t s = begin; s < end;) {
      if (text[s] == u'\t') {
        ++s;
        continue;
      }
      std::uint32_t e = s;
      while (e < end && text[e] != u'\t' && e - s < kMeasureChunk) ++e;
      // A chunk never ends between the halves of a surrogate pair.
      if (e < end && e - s > 1 && IsHighSurrogate(text[e - 1]) && IsLowSurrogate(text[e])) --e;
      extents_.resize(e - s);
      if (!measure_(std::u16string_view(text).substr(s, e - s), extents_.data())) return false;
      int previous = 0;
      for (std::uint32_t i = s; i < e; ++i) {
        advances_[i - begin] = extents_[i - s] - previous;
        previous = extents_[i - s];
      }
      s = e;
    }
    begin_ = begin;

    std::uint32_t pos = begin;
    do {
      const std::uint32_t cut = FindCut(pos, end);
      EmitLine(pos, cut);
      pos = cut;
    } while (pos < end);
    return true;
  }

 private:
  // Positions are 64-bit: spaces and tabs may hang far past the width.
  std::int64_t Advance(std::uint32_t i, std::int64_t x) const {
    if (layout_->text[i] == u'\t') return (x / params_.tabWidth + 1) * params_.tabWidth - x;
    return advances_[i - begin_];
  }

  // Where the output line starting at `pos` ends: all of the rest when it
  // fits, else after the last space that fits, else where the word stops
  // fitting. Always past `pos`.
  std::uint32_t FindCut(std::uint32_t pos, std::uint32_t end) const {
    const std::u16string& text = layout_->text;
    std::int64_t x = 0;
    std::uint32_t breakAt = 0;  // a word's first character after spaces; 0: none yet
    bool seenVisible = false;   // spaces before the row's first word are its indent
    for (std::uint32_t i = pos; i < end; ++i) {
      const char16_t c = text[i];
      const std::int64_t next = x + Advance(i, x);
      if (!IsSpace(c)) {
        if (i > pos && IsSpace(text[i - 1]) && seenVisible) breakAt = i;
        seenVisible = true;
        if (next > params_.width && i > pos) {
          if (breakAt > pos) return breakAt;
          // No space to break at: cut the word, keeping a surrogate pair whole.
          if (IsLowSurrogate(c)) return i - 1 > pos ? i - 1 : i + 1;
          return i;
        }
      }
      x = next;
    }
    return end;
  }

  // One output line: runs between tabs, spaces at either end left out (their
  // width moves the run).
  void EmitLine(std::uint32_t pos, std::uint32_t cut) {
    const std::u16string& text = layout_->text;
    TextLine line;
    line.firstRun = static_cast<std::uint32_t>(layout_->runs.size());
    std::int64_t x = 0;
    std::uint32_t i = pos;
    while (i < cut) {
      // Spaces and tabs before the run.
      while (i < cut && IsSpace(text[i])) {
        x += Advance(i, x);
        ++i;
      }
      if (i == cut) break;
      TextRun run;
      run.x = static_cast<int>(std::min<std::int64_t>(x, INT32_MAX));
      run.start = i;
      std::uint32_t lastVisible = i;
      while (i < cut && text[i] != u'\t') {
        if (text[i] != u' ') lastVisible = i;
        x += Advance(i, x);
        ++i;
      }
      run.length = lastVisible + 1 - run.start;
      layout_->runs.push_back(run);
      ++line.runCount;
    }
    AddLine(line);
  }

  void AddLine(const TextLine& line) {
    std::vector<TextPage>& pages = layout_->pages;
    if (pages.back().lineCount >= static_cast<std::uint32_t>(params_.linesPerPage)) {
      pages.push_back({static_cast<std::uint32_t>(layout_->lines.size()), 0});
    }
    layout_->lines.push_back(line);
    ++pages.back().lineCount;
  }

  const TextLayoutParams& params_;
  const MeasureText& measure_;
  TextLayout* layout_;
  std::uint32_t begin_ = 0;
  std::vector<int> advances_;
  std::vector<int> extents_;
};

std::u16string Number(int value) {
  std::u16string digits;
  for (char c : std::to_string(value)) digits.push_back(static_cast<char16_t>(c));
  return digits;
}

}  // namespace

std::u16string DecodeText(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      if (lead == '\r') {
        out.push_back(u'\n');
        if (i + 1 < n && bytes[i + 1] == '\n') ++i;
      } else {
        Append(out, lead);
      }
      ++i;
      continue;
    }
    // The sequence's length and the range its second byte must fall in
    // (which rules out overlong forms, surrogates and values past U+10FFFF).
    int length = 0;
    unsigned char low = 0x80, high = 0xBF;
    char32_t code = 0;
    if (InRange(lead, 0xC2, 0xDF)) {
      length = 2;
      code = lead & 0x1F;
    } else if (InRange(lead, 0xE0, 0xEF)) {
      length = 3;
      code = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (InRange(lead, 0xF0, 0xF4)) {
      length = 4;
      code = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    std::size_t taken = 1;
    bool valid = length != 0;
    for (int k = 1; valid && k < length; ++k) {
      const unsigned char b = i + k < n ? static_cast<unsigned char>(bytes[i + k]) : 0;
      if (i + k >= n || !(k == 1 ? InRange(b, low, high) : InRange(b, 0x80, 0xBF))) {
        valid = false;
        break;
      }
      code = (code << 6) | (b & 0x3F);
      ++taken;
    }
    Append(out, valid ? code : kReplacementCharacter);
    i += taken;
  }
  return out;
}

bool LayOutText(std::u16string text, const TextLayoutParams& params, const MeasureText& measure,
                TextLayout* layout) {
  if (params.width <= 0 || params.tabWidth <= 0 || params.linesPerPage <= 0 || !measure ||
      text.size() >= 0xFFFFFFFFu) {
    return false;
  }
  layout->text = std::move(text);
  layout->runs.clear();
  layout->lines.clear();
  layout->pages.assign(1, TextPage{});

  LineBreaker breaker(params, measure, layout);
  const std::u16string& all = layout->text;
  const auto size = static_cast<std::uint32_t>(all.size());
  std::uint32_t begin = 0;
  for (std::uint32_t i = 0; i <= size; ++i) {
    const bool atEnd = i == size;
    if (!atEnd && all[i] != u'\n' && all[i] != u'\f') continue;
    // A line ended by LF counts even when empty; the piece before a form feed
    // or the end of the text only when it holds something.
    if ((!atEnd && all[i] == u'\n') || i > begin) {
      if (!breaker.Add(begin, i)) return false;
    }
    if (!atEnd && all[i] == u'\f') {
      layout->pages.push_back({static_cast<std::uint32_t>(layout->lines.size()), 0});
    }
    begin = i + 1;
  }
  // Empty lines at the very end print nothing: they start no page of their own.
  while (layout->pages.back().lineCount > 0 && layout->lines.back().runCount == 0) {
    layout->lines.pop_back();
    --layout->pages.back().lineCount;
  }
  // A form feed at the end ejects the last page; it does not start another.
  if (layout->pages.size() > 1 && layout->pages.back().lineCount == 0) layout->pages.pop_back();
  return true;
}

int LinesPerPage(int height, int lineHeight) {
  if (lineHeight <= 0 || height <= lineHeight) return 1;
  return height / lineHeight;
}

std::u16string FooterText(int page) { return u"Page " + Number(page); }

std::u16string HeaderText(std::u16string_view name, int page, int pages) {
  return std::u16string(name) + u" \u2014 page " + Number(page) + u" of " + Number(pages);
}

}  // namespace kvprint
