// kvprint printing a text file end to end: the stream carries the TrueType
// face as a soft font (header, then the characters the text uses) and the
// text as character codes in the way the job's trueTypeMode asks for.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/run_tool.h"
#include "support/test_root.h"
#include "tools/pcldump/pcl_decoder.h"

namespace {

namespace pcl = kvtools::pcl;
using kvtest::Outcome;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// The header format of a font header command: the byte after the 2-byte
// descriptor size (15 TrueType, 16 large TrueType, 20 resolution-bound bitmap).
int HeaderFormat(const std::string& stream, const pcl::Command& header) {
  if (header.data_size < 3) return -1;
  return static_cast<unsigned char>(stream[header.data_offset + 2]);
}

// Everything sent as printable text, runs joined.
std::string PrintedText(const std::vector<pcl::Command>& commands) {
  std::string text;
  for (const pcl::Command& c : commands) {
    if (c.kind == pcl::Kind::Text && c.name == "text") text += c.text;
  }
  return text;
}

class KvprintTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = kvtest::MakeTempDir("kvprint-text-");
    root_ = dir_ + "/root";
    out_ = dir_ + "/job.prn";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Outcome Kvprint(const std::string& args) {
    return kvtest::RunTool("kvprint", root_, "--output '" + out_ + "' " + args);
  }

  std::string dir_, root_, out_;
};

// Two pages (a form feed), a tab, a line long enough to wrap.
constexpr char kNotes[] =
    "Hello,\tprinter!\n"
    "Quartz judges vex lazy dwarfs; the quick brown fox jumps over the lazy dog, "
    "again and again, until this line has to wrap onto the next one at a space.\n"
    "\fSecond page: 0123456789\r\n";

TEST_F(KvprintTextTest, ATextFileGoesOutAsASoftFontAndItsCharacters) {
  const std::string notes = dir_ + "/notes.txt";
  WriteFile(notes, kNotes);
  struct Case {
    const char* mode;
    bool softFont;
    int format;
  };
  for (const Case& c : {Case{"outline", true, 15}, Case{"bitmap", true, 20}, Case{"graphics", false, 0}}) {
    SCOPED_TRACE(c.mode);
    const Outcome run = Kvprint(std::string("-o truetype=") + c.mode + " --size 12 '" + notes + "'");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("printed 2 pages of \"notes.txt\""), std::string::npos) << run.output;
    const std::string stream = ReadFile(out_);
    const auto commands = pcl::Decode(stream);
    EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);
    EXPECT_EQ(pcl::Count(commands, "FF"), 2u);

    const auto headers = pcl::FindAll(commands, "ESC )s#W");
    const auto characters = pcl::FindAll(commands, "ESC (s#W");
    const std::string printed = PrintedText(commands);
    if (!c.softFont) {
      EXPECT_TRUE(headers.empty());
      EXPECT_TRUE(characters.empty());
      EXPECT_EQ(printed.find("printer"), std::string::npos) << "graphics: no character codes";
      EXPECT_FALSE(pcl::Rows(commands).empty()) << "the glyphs as raster graphics";
      continue;
    }
    // The body's font (the page header's dash may need a font of its own).
    const pcl::Command* body = nullptr;
    for (const pcl::Command* header : headers) {
      if (body == nullptr && HeaderFormat(stream, *header) == c.format) body = header;
    }
    ASSERT_NE(body, nullptr) << pcl::Dump(commands);
    ASSERT_FALSE(characters.empty());
    EXPECT_LT(headers.front()->offset, characters.front()->offset) << "a header comes first";
    EXPECT_NE(pcl::FindFirst(commands, "ESC *c16385D"), nullptr) << "the first soft font's number";

    // Every word reaches the printer as codes (spaces may be cursor moves),
    // and each character the text uses is downloaded (at least once a page).
    for (const char* word : {"Hello,", "printer!", "Quartz", "wrap", "Second", "0123456789"}) {
      EXPECT_NE(printed.find(word), std::string::npos) << word;
    }
    std::set<char> distinct;
    for (char ch : std::string(kNotes)) {
      if (ch > ' ') distinct.insert(ch);
    }
    EXPECT_GE(characters.size(), distinct.size());
  }
}

TEST_F(KvprintTextTest, JapaneseTextUsesTheDoubleByteFontList) {
  const std::string japanese = dir_ + "/japanese.txt";
  WriteFile(japanese, "\xEF\xBB\xBF" "日本語のテキスト、漢字とかな。\n");
  const Outcome run = Kvprint("--font IPAGothic --numbers none '" + japanese + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string stream = ReadFile(out_);
  const auto commands = pcl::Decode(stream);
  EXPECT_NE(pcl::FindFirst(commands, "ESC *c1001D"), nullptr) << pcl::Dump(commands);
  const auto headers = pcl::FindAll(commands, "ESC )s#W");
  ASSERT_FALSE(headers.empty());
  EXPECT_EQ(HeaderFormat(stream, *headers.front()), 16);
  EXPECT_GE(pcl::Count(commands, "ESC (s#W"), 13u) << "one download per distinct character";
}

TEST_F(KvprintTextTest, TextOptionsAreCheckedAndOtherFilesRefused) {
  const std::string notes = dir_ + "/notes.txt";
  WriteFile(notes, kNotes);
  const std::string binary = dir_ + "/data.bin";
  WriteFile(binary, std::string("ELF\0\0\1\2", 7));
  struct Case {
    std::string args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"--size 0 '" + notes + "'", 2, "point size"},
      {"--size 12x3 '" + notes + "'", 2, "point size"},
      {"--at 10,10 '" + notes + "'", 2, "--at places pictures"},
      {"--numbers sideways '" + notes + "'", 2, "--numbers takes"},
      {"--margin 500 '" + notes + "'", 2, "--margin takes"},
      {"--font Arial picture.png", 2, "--font is for text files"},
      {"'" + binary + "'", 1, "not a text file"},
      {"--margin 100 --size 400 '" + notes + "'", 1, "no room"},
      {"'" + dir_ + "'", 1, "it is a folder"},
      {"'" + dir_ + "/missing.txt'", 1, "no such file"},
  };
  for (const Case& c : cases) {
    const Outcome run = Kvprint(c.args);
    EXPECT_EQ(run.status, c.status) << c.args << ": " << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << c.args << ": " << run.output;
    EXPECT_FALSE(std::filesystem::exists(out_)) << c.args;
  }
}

// A face the machine does not have prints in the default face, and says so.
TEST_F(KvprintTextTest, AnUnknownFaceIsNamedInAWarning) {
  const std::string notes = dir_ + "/notes.txt";
  WriteFile(notes, kNotes);
  const Outcome known = Kvprint("--font 'courier new' '" + notes + "'");
  EXPECT_EQ(known.status, 0) << known.output;
  EXPECT_EQ(known.output.find("no font"), std::string::npos) << known.output;
  const Outcome unknown = Kvprint("--font 'No Such Face' '" + notes + "'");
  EXPECT_EQ(unknown.status, 0) << unknown.output;
  EXPECT_NE(unknown.output.find("no font \"No Such Face\" here"), std::string::npos) << unknown.output;
}

}  // namespace
