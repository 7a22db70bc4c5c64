#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "support/test_root.h"

namespace {

constexpr const char16_t* kFile = u"C:\\Windows\\System32\\kvsaset.ini";

class Profiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(kvplat::HostPath(kFile), std::ios::binary)
        << "; panel settings\r\n"
           "[OPTION]\r\n"
           "CASSETTE2 = 1\r\n"
           "Memory=64MB\r\n"
           "Name=  \"Front Desk\"  \r\n"
           "Single='x\r\n"
           "Negative=-5\r\n"
           "Empty=\r\n"
           "Hex=0x10\r\n"
           "\r\n"
           "[strings]\r\n"
           "ABOUT=Kelvaro Printer Driver\r\n";
  }
  std::string FileText() {
    std::ifstream in(kvplat::HostPath(kFile), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::u16string Read(const char16_t* app, const char16_t* key, const char16_t* def = u"dflt",
                      DWORD size = 64, DWORD* returned = nullptr) {
    WCHAR buffer[64] = {};
    const DWORD n = GetPrivateProfileStringW(app, key, def, buffer, size, kFile);
    if (returned != nullptr) *returned = n;
    return std::u16string(buffer, n);
  }
  kvtest::TempRoot root_;
};

TEST_F(Profiles, StringLookupsFollowWindows) {
  struct Case {
    const char16_t* app;
    const char16_t* key;
    const char16_t* def;
    std::u16string expected;
  };
  const Case cases[] = {
      {u"OPTION", u"CASSETTE2", u"d", u"1"},
      {u"option", u"cassette2", u"d", u"1"},          // names ignore case
      {u"OPTION", u"Name", u"d", u"Front Desk"},        // blanks trimmed, quotes stripped
      {u"OPTION", u"Single", u"d", u"'x"},              // unmatched quote kept
      {u"OPTION", u"Empty", u"d", u""},                 // present but empty
      {u"OPTION", u"Missing", u"fallback  ", u"fallback"},  // default trimmed at the end
      {u"OPTION", u"Missing", nullptr, u""},
      {u"Nowhere", u"CASSETTE2", u"d", u"d"},
      {u"STRINGS", u"ABOUT", u"d", u"Kelvaro Printer Driver"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read(c.app, c.key, c.def), c.expected) << kvplat::ToUtf8(c.key);
  }
}

TEST_F(Profiles, TruncationAndLists) {
  DWORD n = 0;
  // A value is cut to size - 1 and terminated.
  EXPECT_EQ(Read(u"OPTION", u"Name", u"", 6, &n), u"Front");
  EXPECT_EQ(n, 5u);
  // Key and section lists: NUL after each name, a final NUL.
  EXPECT_EQ(Read(u"OPTION", nullptr, u"", 64, &n),
            std::u16string(u"CASSETTE2\0Memory\0Name\0Single\0Negative\0Empty\0Hex\0", 48));
  EXPECT_EQ(Read(nullptr, nullptr, u"", 64, &n), std::u16string(u"OPTION\0strings\0", 15));
  // A list that does not fit returns size - 2 and still ends in two NULs.
  WCHAR small[10];
  EXPECT_EQ(GetPrivateProfileStringW(u"OPTION", nullptr, u"", small, 10, kFile), 8u);
  EXPECT_EQ(std::u16string(small, 10), std::u16string(u"CASSETTE\0\0", 10));
  // A missing file gives the default.
  WCHAR buffer[16];
  EXPECT_EQ(GetPrivateProfileStringW(u"A", u"B", u"none", buffer, 16, u"missing.ini"), 4u);
  EXPECT_EQ(std::u16string(buffer), u"none");
}

TEST_F(Profiles, Integers) {
  struct Case {
    const char16_t* key;
    INT def;
    UINT expected;
  };
  const Case cases[] = {
      {u"CASSETTE2", 7, 1},
      {u"Memory", 7, 64},       // leading digits
      {u"Negative", 7, static_cast<UINT>(-5)},
      {u"Empty", 7, 7},         // empty value: the default
      {u"Hex", 7, 0},           // decimal only
      {u"Name", 7, 0},
      {u"Missing", 7, 7},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetPrivateProfileIntW(u"OPTION", c.key, c.def, kFile), c.expected)
        << kvplat::ToUtf8(c.key);
  }
}

TEST_F(Profiles, WritingCreatesReplacesAndDeletes) {
  ASSERT_TRUE(WritePrivateProfileStringW(u"option", u"memory", u"128", kFile));
  EXPECT_EQ(GetPrivateProfileIntW(u"OPTION", u"Memory", 0, kFile), 128u);
  ASSERT_TRUE(WritePrivateProfileStringW(u"OPTION", u"2BINTRAY", u"1", kFile));
  ASSERT_TRUE(WritePrivateProfileStringW(u"New", u"Key", u"Wert \u00E4", kFile));
  EXPECT_EQ(Read(u"NEW", u"key"), u"Wert \u00E4");
  const std::string text = FileText();
  EXPECT_NE(text.find("; panel settings\r\n"), std::string::npos);  // comments survive
  EXPECT_NE(text.find("Memory=128\r\n"), std::string::npos);        // key keeps its spelling
  EXPECT_NE(text.find("Hex=0x10\r\n2BINTRAY=1\r\n\r\n[strings]"), std::string::npos);
  EXPECT_NE(text.find("[New]\r\nKey=Wert \xC3\xA4\r\n"), std::string::npos);  // UTF-8

  ASSERT_TRUE(WritePrivateProfileStringW(u"OPTION", u"Memory", nullptr, kFile));
  EXPECT_EQ(Read(u"OPTION", u"Memory"), u"dflt");
  ASSERT_TRUE(WritePrivateProfileStringW(u"OPTION", nullptr, nullptr, kFile));
  EXPECT_EQ(Read(u"OPTION", u"CASSETTE2"), u"dflt");
  EXPECT_EQ(Read(u"strings", u"ABOUT"), u"Kelvaro Printer Driver");

  // A new file in an existing folder; a missing folder fails.
  ASSERT_TRUE(WritePrivateProfileStringW(u"S", u"k", u"9", u"C:\\Users\\Public\\fresh.ini"));
  EXPECT_EQ(GetPrivateProfileIntW(u"S", u"k", 3, u"C:\\Users\\Public\\fresh.ini"), 9u);
  EXPECT_FALSE(WritePrivateProfileStringW(u"S", u"k", u"v", u"C:\\No\\Folder\\x.ini"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(WritePrivateProfileStringW(nullptr, u"k", u"v", kFile));
}

TEST_F(Profiles, BareNamesLiveInTheWindowsFolderAndUtf16IsRead) {
  ASSERT_TRUE(WritePrivateProfileStringW(u"App", u"k", u"42", u"bare.ini"));
  EXPECT_EQ(access(kvplat::HostPath(u"C:\\Windows\\bare.ini").c_str(), F_OK), 0);
  EXPECT_EQ(GetPrivateProfileIntW(u"App", u"k", 0, u"BARE.INI"), 42u);

  const std::u16string wide = u"\uFEFF[STRINGS]\r\nPrinter2=Kelvaro \u00DC\r\n";
  std::ofstream(kvplat::HostPath(u"C:\\Windows\\wide.inf"), std::ios::binary)
      .write(reinterpret_cast<const char*>(wide.data()), static_cast<std::streamsize>(wide.size() * 2));
  WCHAR buffer[32];
  GetPrivateProfileStringW(u"STRINGS", u"Printer2", u"", buffer, 32, u"C:\\Windows\\wide.inf");
  EXPECT_EQ(std::u16string(buffer), u"Kelvaro \u00DC");
}

TEST_F(Profiles, WinIniThroughTheProfileCalls) {
  EXPECT_EQ(GetProfileIntW(u"intl", u"iCountry", 0), 1u);
  WCHAR buffer[8];
  EXPECT_EQ(GetProfileStringW(u"intl", u"iCountry", u"", buffer, 8), 1u);
  EXPECT_EQ(std::u16string(buffer), u"1");
}

TEST_F(Profiles, ReadOnlyFileIsNotReplaced) {
  if (geteuid() == 0) GTEST_SKIP() << "root can write everywhere";
  chmod(kvplat::HostPath(kFile).c_str(), 0444);
  EXPECT_FALSE(WritePrivateProfileStringW(u"OPTION", u"Memory", u"1", kFile));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetPrivateProfileIntW(u"OPTION", u"Memory", 0, kFile), 64u);
}

}  // namespace
