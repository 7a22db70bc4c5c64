// The resource compiler: string block layout, escapes, file resources, the
// generated source and dependency file, and the messages for bad scripts.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvrc.h"
#include "support/test_root.h"

namespace {

namespace fs = std::filesystem;

// A scratch folder for scripts and the files they name.
class KvrcTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = kvtest::MakeTempDir("kvrc-"); }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream out(fs::path(dir_) / name, std::ios::binary);
    out << bytes;
  }
  bool Compile(const std::string& script, kvrc::Compiled& out, std::string& error) {
    return kvrc::CompileText(script, "test.rc", dir_, out, error);
  }
  kvrc::Compiled MustCompile(const std::string& script) {
    kvrc::Compiled out;
    std::string error;
    EXPECT_TRUE(Compile(script, out, error)) << error;
    return out;
  }
  std::string dir_;
};

TEST_F(KvrcTest, StringsAreGroupedInBlocksOfSixteenWithLengthPrefixedUtf16) {
  const auto out = MustCompile(
      "STRINGTABLE\nBEGIN\n  1 \"Ab\"\n  15 \"z\"\nEND\n"
      "STRINGTABLE { 16, \"q\" 1001 \"x\" }\n");
  ASSERT_EQ(out.resources.size(), 3u);

  // Block 1 holds ids 0..15: sixteen little-endian lengths, each followed by its units.
  std::vector<std::uint8_t> block1(32 + 4 + 2, 0);
  block1[2] = 2;  // id 1
  block1[4] = 'A';
  block1[6] = 'b';
  block1[34] = 1;  // id 15, after the thirteen empty entries 2..14
  block1[36] = 'z';
  EXPECT_EQ(out.resources[0].type, 6u);
  EXPECT_EQ(out.resources[0].id, 1u);
  EXPECT_EQ(out.resources[0].data, block1);

  EXPECT_EQ(out.resources[1].id, 2u);           // id 16
  EXPECT_EQ(out.resources[2].id, 1001u / 16 + 1);  // 63
  EXPECT_EQ(out.resources[2].data.size(), 32u + 2u);

  EXPECT_EQ(kvrc::FindString(out.resources, 1), u"Ab");
  EXPECT_EQ(kvrc::FindString(out.resources, 15), u"z");
  EXPECT_EQ(kvrc::FindString(out.resources, 16), u"q");
  EXPECT_EQ(kvrc::FindString(out.resources, 1001), u"x");
  EXPECT_FALSE(kvrc::FindString(out.resources, 2).has_value());     // empty slot
  EXPECT_FALSE(kvrc::FindString(out.resources, 1000).has_value());   // same block, empty
  EXPECT_FALSE(kvrc::FindString(out.resources, 5000).has_value());   // no block
}

TEST_F(KvrcTest, EscapesAndNonAsciiTextDecodeToUtf16) {
  struct Case {
    const char* literal;
    std::u16string expected;
  };
  const Case cases[] = {
      {R"("\x1B(s0t")", u"\x1B(s0t"},
      {R"("\\Lumetra 5E")", u"\\Lumetra 5E"},
      {R"("say \"hi\"")", u"say \"hi\""},
      {R"("a\nb\tc\rd")", u"a\nb\tc\rd"},
      {R"("\x41\xe9")", u"A\u00E9"},
      {R"("\u00e9\u660E")", u"\u00E9\u660E"},
      {R"("\U0001F600")", u"\U0001F600"},
      {"\"caf\xC3\xA9\"", u"caf\u00E9"},
      {"\"\xEF\xBC\xAD\xEF\xBC\xB3 \xE6\x98\x8E\xE6\x9C\x9D\"", u"\uFF2D\uFF33 \u660E\u671D"},
      {R"("one " "two")", u"one two"},
      {R"("a\0b")", std::u16string(u"a\0b", 3)},
  };
  for (const Case& c : cases) {
    const auto out = MustCompile(std::string("STRINGTABLE BEGIN 7 ") + c.literal + " END");
    EXPECT_EQ(kvrc::FindString(out.resources, 7), c.expected) << c.literal;
  }
}

TEST_F(KvrcTest, FileResourcesKeepTheirBytesAndAreSortedByTypeThenId) {
  WriteFile("two.bin", std::string("\x00\x01\xFF", 3));
  WriteFile("one.bin", "abc");
  fs::create_directories(fs::path(dir_) / "sub");
  WriteFile("sub/empty.bin", "");
  const auto out = MustCompile(
      "// comment\n2 258 \"two.bin\"\n1 258 \"one.bin\"\n"
      "STRINGTABLE BEGIN 3 \"s\" END\n9 RCDATA \"sub/empty.bin\"\n3 rcdata \"one.bin\"\n");
  ASSERT_EQ(out.resources.size(), 5u);
  const std::pair<std::uint32_t, std::uint32_t> order[] = {{6, 1}, {10, 3}, {10, 9}, {258, 1}, {258, 2}};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(out.resources[i].type, order[i].first) << i;
    EXPECT_EQ(out.resources[i].id, order[i].second) << i;
  }
  EXPECT_EQ(out.resources[3].data, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(out.resources[4].data, (std::vector<std::uint8_t>{0x00, 0x01, 0xFF}));
  EXPECT_TRUE(out.resources[2].data.empty());
  // Every file read once, in the order met.
  ASSERT_EQ(out.dependencies.size(), 3u);
  EXPECT_EQ(out.dependencies[0].filename(), "two.bin");
  EXPECT_EQ(out.dependencies[1].filename(), "one.bin");
  EXPECT_EQ(out.dependencies[2].filename(), "empty.bin");
}

TEST_F(KvrcTest, CompileFileResolvesNamesAgainstTheScriptFolderAndListsTheScript) {
  fs::create_directories(fs::path(dir_) / "res" / "fonts");
  WriteFile("res/fonts/f.bin", "xy");
  WriteFile("res/app.rc", "1 258 \"fonts/f.bin\"\n");
  kvrc::Compiled out;
  std::string error;
  ASSERT_TRUE(kvrc::CompileFile(fs::path(dir_) / "res" / "app.rc", out, error)) << error;
  ASSERT_EQ(out.dependencies.size(), 2u);
  EXPECT_EQ(out.dependencies[0], fs::path(dir_) / "res" / "app.rc");
  EXPECT_EQ(out.dependencies[1], fs::path(dir_) / "res" / "fonts" / "f.bin");
  ASSERT_NE(kvrc::FindResource(out.resources, 258, 1), nullptr);

  EXPECT_FALSE(kvrc::CompileFile(fs::path(dir_) / "missing.rc", out, error));
  EXPECT_NE(error.find("missing.rc"), std::string::npos) << error;
}

TEST_F(KvrcTest, BadScriptsFailWithTheLineAndCause) {
  WriteFile("f.bin", "x");
  struct Case {
    const char* script;
    const char* message;
  };
  const Case cases[] = {
      {"FOO BEGIN END", "test.rc:1: error: unknown keyword 'FOO'"},
      {"\n\nSTRINGTABLE BEGIN\n 1 \"abc\nEND", "test.rc:4: error: unterminated string"},
      {"STRINGTABLE BEGIN 1 \"abc", "test.rc:1: error: unterminated string"},
      {"STRINGTABLE BEGIN\n 5 \"a\"\n 5 \"b\"\nEND",
       "test.rc:3: error: duplicate string id 5 (first defined on line 2)"},
      {"STRINGTABLE BEGIN 5 \"a\" END\nSTRINGTABLE BEGIN 5 \"b\" END",
       "test.rc:2: error: duplicate string id 5"},
      {"1 258 \"f.bin\"\n1 258 \"f.bin\"", "test.rc:2: error: duplicate resource 1 of type 258"},
      {"\n1 258 \"nope.bin\"", "test.rc:2: error: cannot read file 'nope.bin'"},
      {"1 258 \".\"", "test.rc:1: error: cannot read file '.'"},
      {"1 BITMAP \"f.bin\"", "test.rc:1: error: unknown resource kind 'BITMAP'"},
      {"1 6 \"f.bin\"", "test.rc:1: error: resource type 6 is reserved"},
      {"0 258 \"f.bin\"", "test.rc:1: error: resource id 0 is out of range"},
      {"STRINGTABLE BEGIN 65536 \"a\" END", "test.rc:1: error: string id 65536 is out of range"},
      {"STRINGTABLE BEGIN 99999999999 \"a\" END", "test.rc:1: error: number '99999999999' is too large"},
      {"STRINGTABLE BEGIN 12ab \"a\" END", "test.rc:1: error: malformed number '12ab'"},
      {"STRINGTABLE\n1 \"a\" END", "test.rc:2: error: expected BEGIN after STRINGTABLE"},
      {"STRINGTABLE BEGIN\n 1 \"a\"\n", "test.rc:1: error: STRINGTABLE without END"},
      {"STRINGTABLE BEGIN 1 END", "test.rc:1: error: expected a string after id 1"},
      {"STRINGTABLE BEGIN 1 \"\\q\" END", "test.rc:1: error: unknown escape '\\q'"},
      {"STRINGTABLE BEGIN 1 \"\\x1\" END", "test.rc:1: error: escape \\x needs 2 hex digits"},
      {"STRINGTABLE BEGIN 1 \"\\uD800\" END", "test.rc:1: error: escape \\u names no character"},
      {"STRINGTABLE BEGIN 1 \"\xC3(\" END", "test.rc:1: error: invalid UTF-8 in string"},
      {"STRINGTABLE BEGIN 1 \"\xE6\x98\" END", "test.rc:1: error: invalid UTF-8 in string"},
      {"/* open\n\n", "test.rc:1: error: unterminated comment"},
      {"\"text\"", "test.rc:1: error: expected a keyword or a resource id, found a string"},
      {"1 258", "test.rc:1: error: expected a file name for resource 1, found end of file"},
      {"STRINGTABLE BEGIN 1 \"a\" END @", "test.rc:1: error: unexpected character '@'"},
  };
  for (const Case& c : cases) {
    kvrc::Compiled out;
    std::string error;
    EXPECT_FALSE(Compile(c.script, out, error)) << c.script;
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << "script: " << c.script << "\nmessage: " << error;
  }
}

TEST_F(KvrcTest, GeneratedSourceDefinesTheDirectoryEvenForEmptyData) {
  WriteFile("empty.bin", "");
  const auto out = MustCompile("1 RCDATA \"empty.bin\"\nSTRINGTABLE BEGIN 0 \"\" END");
  const std::string src = kvrc::GenerateSource(out.resources, "x.rc");
  EXPECT_NE(src.find("#include \"kvplat/resources.h\""), std::string::npos);
  EXPECT_NE(src.find("const KvResourceDirectory kv_resource_directory = {2u, kEntries};"), std::string::npos);
  // An empty resource still gets a (non-empty) array, reported with size 0.
  EXPECT_NE(src.find("{10u, 1u, nullptr, nullptr, kData1, 0u}"), std::string::npos) << src;
  EXPECT_NE(src.find("alignas(8)"), std::string::npos);

  const std::string none = kvrc::GenerateSource({}, "x.rc");
  EXPECT_NE(none.find("kv_resource_directory = {0u, nullptr};"), std::string::npos);
  EXPECT_EQ(none.find("kEntries"), std::string::npos);
}

TEST(KvrcDepfile, ListsEveryInputAndEscapesSpecialCharacters) {
  const std::vector<fs::path> deps = {"/src/my res/app.rc", "/src/f$.bin"};
  EXPECT_EQ(kvrc::GenerateDepfile("/b/out file.cpp", deps),
            "/b/out\\ file.cpp: \\\n  /src/my\\ res/app.rc \\\n  /src/f$$.bin\n");
}

}  // namespace
