// Plain text laid out for printing, with a fake font: every UTF-16 unit is 10
// wide except 'W' (20) and a high surrogate (0, so a pair is 10 and only its
// second half can overflow a line).
#include "tools/kvprint/text_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using kvprint::DecodeText;
using kvprint::LayOutText;
using kvprint::TextLayout;
using kvprint::TextLayoutParams;

int UnitWidth(char16_t c) {
  if (c == u'W') return 20;
  if (c >= 0xD800 && c <= 0xDBFF) return 0;
  return 10;
}

bool FakeMeasure(std::u16string_view text, int* extents) {
  int x = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    EXPECT_NE(text[i], u'\t') << "tabs are never measured";
    EXPECT_NE(text[i], u'\n');
    x += UnitWidth(text[i]);
    extents[i] = x;
  }
  return true;
}

// The layout as text: runs "x:text" split by spaces, lines by '/', pages by " | ".
std::u16string Render(const TextLayout& layout) {
  std::u16string out;
  for (std::size_t p = 0; p < layout.pages.size(); ++p) {
    if (p > 0) out += u" | ";
    const kvprint::TextPage& page = layout.pages[p];
    for (std::uint32_t l = 0; l < page.lineCount; ++l) {
      if (l > 0) out += u"/";
      const kvprint::TextLine& line = layout.lines[page.firstLine + l];
      for (std::uint32_t r = 0; r < line.runCount; ++r) {
        const kvprint::TextRun& run = layout.runs[line.firstRun + r];
        if (r > 0) out += u" ";
        for (char c : std::to_string(run.x)) out.push_back(static_cast<char16_t>(c));
        out += u":";
        out += layout.RunText(run);
      }
    }
  }
  return out;
}

std::u16string LayOut(std::string_view utf8, int width, int linesPerPage) {
  TextLayout layout;
  const TextLayoutParams params{width, 80, linesPerPage};
  EXPECT_TRUE(LayOutText(DecodeText(utf8), params, FakeMeasure, &layout));
  EXPECT_FALSE(layout.pages.empty());
  return Render(layout);
}

TEST(TextLayoutTest, LinesTabsWrappingAndPages) {
  struct Case {
    const char* what;
    const char* text;
    int width;
    int linesPerPage;
    const char16_t* expected;
  };
  const Case cases[] = {
      {"empty file: one blank page", "", 100, 3, u""},
      {"only a byte order mark", "\xEF\xBB\xBF", 100, 3, u""},
      {"lines", "hello\nworld\n", 100, 3, u"0:hello/0:world"},
      {"empty lines count", "a\n\nb", 100, 3, u"0:a//0:b"},
      {"CR LF and lone CR", "a\r\nb\rc\r\n", 100, 5, u"0:a/0:b/0:c"},
      {"tab to the next stop", "a\tb", 200, 3, u"0:a 80:b"},
      {"leading tab", "\tx", 200, 3, u"80:x"},
      {"tab on a stop goes to the next", "abcdefgh\tx", 300, 3, u"0:abcdefgh 160:x"},
      {"two tabs", "ab\t\tc", 300, 3, u"0:ab 160:c"},
      {"a tab past the width hangs", "abcdefgh\tx", 100, 3, u"0:abcdefgh/0:x"},
      {"tabs measured by a wide glyph", "WWWW\tx", 300, 3, u"0:WWWW 160:x"},
      {"indent and trailing spaces", "   x   ", 100, 3, u"30:x"},
      {"wrap after the last space that fits", "the quick brown fox", 100, 3,
       u"0:the quick/0:brown fox"},
      {"spaces hang past the width", "abcdefghij    k", 100, 3, u"0:abcdefghij/0:k"},
      {"wide glyphs wrap sooner", "WWW WWW", 100, 3, u"0:WWW/0:WWW"},
      {"very long word is cut", "abcdefghijklmnopqrstuvwxyz", 100, 5,
       u"0:abcdefghij/0:klmnopqrst/0:uvwxyz"},
      {"a word longer than the line after a short one", "ab abcdefghijklm", 100, 5,
       u"0:ab/0:abcdefghij/0:klm"},
      {"a glyph wider than the line still prints", "ab", 5, 3, u"0:a/0:b"},
      {"a surrogate pair is never cut", "ab\xF0\x9F\x98\x80" "c", 25, 5,
       u"0:ab/0:\U0001F600c"},
      {"a pair alone wider than the line", "\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 5, 5,
       u"0:\U0001F600/0:\U0001F600"},
      {"wrapped lines fill pages", "aaaa bbbb cccc dddd", 50, 3, u"0:aaaa/0:bbbb/0:cccc | 0:dddd"},
      {"pagination", "1\n2\n3\n4\n5\n6\n7", 100, 3, u"0:1/0:2/0:3 | 0:4/0:5/0:6 | 0:7"},
      {"a full page then a form feed: no blank page", "1\n2\n3\n\f4", 100, 3, u"0:1/0:2/0:3 | 0:4"},
      {"form feed inside a line", "a\fb", 100, 3, u"0:a | 0:b"},
      {"form feed after a line end", "a\n\fb\n", 100, 3, u"0:a | 0:b"},
      {"form feed at the end adds no page", "a\n\f", 100, 3, u"0:a"},
      {"only a form feed", "\f", 100, 3, u""},
      {"form feeds in a row eject blank pages", "\f\fa", 100, 3, u" |  | 0:a"},
      {"two form feeds at the end", "a\f\f", 100, 3, u"0:a | "},
      {"empty lines at the end start no page", "1\n2\n3\n\n\n", 100, 3, u"0:1/0:2/0:3"},
      {"a line end after the last form feed", "a\f\n", 100, 3, u"0:a"},
      {"an indented word longer than the line keeps its indent", "    abcdefghijklmnop", 100, 5,
       u"40:abcdef/0:ghijklmnop"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LayOut(c.text, c.width, c.linesPerPage), c.expected) << c.what;
  }
}

TEST(TextLayoutTest, DecodingReplacesBadBytesAndDropsControls) {
  struct Case {
    const char* what;
    std::string_view bytes;
    const char16_t* expected;
  };
  const Case cases[] = {
      {"ASCII and two-byte", "caf\xC3\xA9", u"caf\u00E9"},
      {"three and four bytes", "\xE2\x82\xAC \xF0\x9F\x98\x80", u"\u20AC \U0001F600"},
      {"stray continuation byte", "a\x80" "b", u"a\uFFFDb"},
      {"sequence cut by the end", "a\xE2\x82", u"a\uFFFD"},
      {"sequence cut by ASCII", "\xE2\x82x", u"\uFFFDx"},
      {"overlong two-byte form", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"overlong three-byte form", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"bytes that never start a sequence", "\xF5\xFF", u"\uFFFD\uFFFD"},
      {"byte order mark skipped at the start only", "\xEF\xBB\xBFhi\xEF\xBB\xBF", u"hi\uFEFF"},
      {"line ends", "a\r\nb\rc\n\r\n", u"a\nb\nc\n\n"},
      {"tab and form feed kept, other controls dropped", std::string_view("\t\f\x1B[1m\x00\x7F!", 9),
       u"\t\f[1m!"},
      {"C1 controls dropped", "a\xC2\x80\xC2\x9F" "b", u"ab"},
      {"other line separators end the line", "a\x0B" "b\xC2\x85" "c\xE2\x80\xA8" "d\xE2\x80\xA9" "e",
       u"a\nb\nc\nd\ne"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeText(c.bytes), c.expected) << c.what;
  }
}

// A long text of words, tabs and blank lines: no character is lost or
// repeated, and every line fits unless it is one word cut to the width.
TEST(TextLayoutTest, LongTextLosesNothingAndFits) {
  std::string source;
  unsigned seed = 12345;
  for (int i = 0; i < 4000; ++i) {
    seed = seed * 1103515245u + 12345u;
    const unsigned r = (seed >> 16) % 100;
    const int length = 1 + static_cast<int>(r % 13) + (r > 97 ? 40 : 0);
    for (int k = 0; k < length; ++k) source.push_back(static_cast<char>(r % 3 == 0 ? 'W' : 'a' + (k + r) % 26));
    source += r < 5 ? "\n" : r < 8 ? "\t" : r < 9 ? "\f" : " ";
  }
  TextLayout layout;
  const TextLayoutParams params{400, 80, 20};
  ASSERT_TRUE(LayOutText(DecodeText(source), params, FakeMeasure, &layout));

  std::u16string printed, expected;
  for (char c : source) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\f') expected.push_back(static_cast<char16_t>(c));
  }
  for (const kvprint::TextLine& line : layout.lines) {
    int right = 0;
    for (std::uint32_t r = 0; r < line.runCount; ++r) {
      const kvprint::TextRun& run = layout.runs[line.firstRun + r];
      std::u16string_view text = layout.RunText(run);
      int width = 0;
      for (char16_t c : text) {
        if (c != u' ') printed.push_back(c);
        width += UnitWidth(c);
      }
      EXPECT_GE(run.x, right) << "runs do not overlap";
      right = run.x + width;
    }
    EXPECT_LE(right, params.width) << "every line fits";
  }
  EXPECT_EQ(printed, expected);
  std::size_t lines = 0;
  for (const kvprint::TextPage& page : layout.pages) {
    EXPECT_LE(page.lineCount, 20u);
    EXPECT_EQ(page.firstLine, lines);
    lines += page.lineCount;
  }
  EXPECT_EQ(lines, layout.lines.size());
}

TEST(TextLayoutTest, BadParametersAndFailedMeasuringFail) {
  TextLayout layout;
  const kvprint::MeasureText fails = [](std::u16string_view, int*) { return false; };
  EXPECT_FALSE(LayOutText(u"some text", {100, 80, 3}, fails, &layout));
  EXPECT_TRUE(LayOutText(u"\t\n\f", {100, 80, 3}, fails, &layout)) << "nothing to measure";
  for (const TextLayoutParams& bad : {TextLayoutParams{0, 80, 3}, TextLayoutParams{100, 0, 3},
                                      TextLayoutParams{100, 80, 0}}) {
    EXPECT_FALSE(LayOutText(u"x", bad, FakeMeasure, &layout));
  }
  EXPECT_FALSE(LayOutText(u"x", {100, 80, 3}, nullptr, &layout));
}

TEST(TextLayoutTest, PageNumbersAndLinesPerPage) {
  EXPECT_EQ(kvprint::FooterText(7), u"Page 7");
  EXPECT_EQ(kvprint::HeaderText(u"notes.txt", 3, 12), u"notes.txt \u2014 page 3 of 12");
  EXPECT_EQ(kvprint::LinesPerPage(1000, 100), 10);
  EXPECT_EQ(kvprint::LinesPerPage(1099, 100), 10);
  EXPECT_EQ(kvprint::LinesPerPage(50, 100), 1) << "a page always takes a line";
  EXPECT_EQ(kvprint::LinesPerPage(1000, 0), 1);
}

// Hanging tabs far past the width, and a line longer than one measuring
// call takes, lay out like any other.
TEST(TextLayoutTest, HugeTabsAndVeryLongLines) {
  TextLayout layout;
  const std::string tabs = "a" + std::string(3000, '\t') + "b";
  ASSERT_TRUE(LayOutText(DecodeText(tabs), TextLayoutParams{100, 1'000'000, 5}, FakeMeasure, &layout));
  EXPECT_EQ(Render(layout), u"0:a/0:b");

  constexpr std::size_t kLong = 200000;
  std::size_t longest = 0;
  const kvprint::MeasureText bounded = [&](std::u16string_view text, int* extents) {
    longest = std::max(longest, text.size());
    return text.size() <= 65536 && FakeMeasure(text, extents);
  };
  ASSERT_TRUE(LayOutText(std::u16string(kLong, u'x'), TextLayoutParams{1000, 80, 100000}, bounded,
                         &layout));
  EXPECT_LE(longest, 65536u);
  EXPECT_EQ(layout.lines.size(), kLong / 100);
  EXPECT_EQ(layout.runs.back().length, 100u);
}

}  // namespace
