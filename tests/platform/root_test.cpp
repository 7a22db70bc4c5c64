#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "support/test_root.h"

namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

TEST(Utf, RoundTripsAndReplacesInvalidSequences) {
  const std::string text = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x96\xA8";
  const std::u16string wide = kvplat::ToUtf16(text);
  EXPECT_EQ(wide, u"Grüße € \U0001F5A8");
  EXPECT_EQ(kvplat::ToUtf8(wide), text);
  // Truncated, overlong and stray bytes each become U+FFFD.
  EXPECT_EQ(kvplat::ToUtf16("a\xC3"), u"a\uFFFD");
  EXPECT_EQ(kvplat::ToUtf16("\xC0\xAF" "b"), u"\uFFFDb");
  EXPECT_EQ(kvplat::ToUtf16("\x80z"), u"\uFFFDz");
  // A lone surrogate cannot be written as UTF-8.
  EXPECT_EQ(kvplat::ToUtf8(std::u16string(1, u'\xD800') + u"q"), "\xEF\xBF\xBDq");
  EXPECT_EQ(kvplat::WideLength(u"abc"), 3u);
  EXPECT_EQ(kvplat::WideLength(nullptr), 0u);
}

class RootPaths : public ::testing::Test {
 protected:
  kvtest::TempRoot root_;
};

TEST_F(RootPaths, MapsWindowsPathsIntoTheRoot) {
  const std::string& r = root_.path();
  struct Case {
    const char16_t* win;
    std::string host;
  };
  const Case cases[] = {
      {u"C:\\Windows\\win.ini", r + "/C/Windows/win.ini"},
      {u"c:/Windows/Temp/x.tmp", r + "/C/Windows/Temp/x.tmp"},
      {u"\\Users\\Public", r + "/C/Users/Public"},
      {u"D:\\data\\file.bin", r + "/D/data/file.bin"},
      {u"C:\\Windows\\.\\System32\\..\\Temp", r + "/C/Windows/Temp"},
      {u"C:\\..\\..\\escape", r + "/C/escape"},
      {u"Z:\\usr\\share", "/usr/share"},
      {u"z:/tmp", "/tmp"},
      {u"C:\\", r + "/C"},
      {u"C:\\Windows\\\\System32\\", r + "/C/Windows/System32"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kvplat::HostPath(c.win), c.host) << kvplat::ToUtf8(c.win);
  }
}

TEST_F(RootPaths, MatchesExistingComponentsIgnoringCase) {
  const std::string& r = root_.path();
  Touch(r + "/C/Windows/System32/MixedCase.Ini");
  EXPECT_EQ(kvplat::HostPath(u"c:\\WINDOWS\\system32\\mixedcase.INI"),
            r + "/C/Windows/System32/MixedCase.Ini");
  // Missing components keep their spelling; matching stops at the first one.
  EXPECT_EQ(kvplat::HostPath(u"C:\\windows\\NewDir\\Sub"), r + "/C/Windows/NewDir/Sub");
  // An exact name wins over a differently cased one.
  Touch(r + "/C/Windows/System32/mixedcase.ini");
  EXPECT_EQ(kvplat::HostPath(u"C:\\Windows\\System32\\mixedcase.ini"),
            r + "/C/Windows/System32/mixedcase.ini");
}

TEST_F(RootPaths, RelativePathsFollowTheCurrentFolder) {
  const fs::path saved = fs::current_path();
  fs::current_path(root_.path() + "/C/Users");
  EXPECT_EQ(kvplat::HostPath(u"public\\a.txt"), root_.path() + "/C/Users/Public/a.txt");
  EXPECT_EQ(kvplat::WinPath("Public/a.txt"), u"C:\\Users\\Public\\a.txt");
  fs::current_path(saved);
}

TEST_F(RootPaths, WinPathIsTheInverse) {
  const std::string& r = root_.path();
  EXPECT_EQ(kvplat::WinPath(r + "/C/Windows/Temp/a.tmp"), u"C:\\Windows\\Temp\\a.tmp");
  EXPECT_EQ(kvplat::WinPath(r + "/D/x"), u"D:\\x");
  EXPECT_EQ(kvplat::WinPath(r + "/C"), u"C:\\");
  EXPECT_EQ(kvplat::WinPath("/usr/lib/x.so"), u"Z:\\usr\\lib\\x.so");
  // Folders of the root that are not drives, and the root itself, are host paths.
  std::string hostRoot = "Z:" + r + "/kvroot.ini";
  for (char& c : hostRoot) c = c == '/' ? '\\' : c;
  EXPECT_EQ(kvplat::WinPath(r + "/kvroot.ini"), kvplat::ToUtf16(hostRoot));
  for (const char16_t* win : {u"C:\\Windows\\System32\\spool\\PRINTERS", u"Z:\\etc\\hosts"}) {
    EXPECT_EQ(kvplat::WinPath(kvplat::HostPath(win)), win);
  }
}

TEST_F(RootPaths, EnsureRootBuildsTheSkeleton) {
  const std::string& r = root_.path();
  for (const char* folder : {"C/Windows/System32/spool/drivers/x64/3", "C/Windows/System32/spool/PRINTERS",
                             "C/Windows/Temp", "C/Users/Public"}) {
    EXPECT_TRUE(fs::is_directory(r + "/" + folder)) << folder;
  }
  EXPECT_NE(ReadText(r + "/C/Windows/win.ini").find("iCountry=1"), std::string::npos);
  EXPECT_EQ(kvplat::RootSetting("locale", "country", "?"), "1");
  // A second call keeps what is there.
  ASSERT_TRUE(kvplat::SetRootSetting("locale", "country", "44"));
  std::string error;
  EXPECT_TRUE(kvplat::EnsureRoot(&error)) << error;
  EXPECT_EQ(kvplat::RootSetting("Locale", "COUNTRY", "?"), "44");
}

TEST_F(RootPaths, CountrySettingKeepsWinIniInStep) {
  ASSERT_TRUE(kvplat::SetRootSetting("locale", "country", "44"));
  EXPECT_EQ(GetProfileIntW(u"intl", u"iCountry", 0), 44u);
  EXPECT_EQ(kvplat::RootSetting("user", "name", "nobody"), "nobody");
  ASSERT_TRUE(kvplat::SetRootSetting("user", "name", "Ada"));
  EXPECT_EQ(kvplat::RootSetting("user", "name", "nobody"), "Ada");
}

TEST(Root, SetRootCanChangeTheRootManyTimes) {
  std::string first, second;
  {
    kvtest::TempRoot a;
    first = kvplat::RootDir();
    EXPECT_EQ(first, a.path());
  }
  {
    kvtest::TempRoot b;
    second = kvplat::RootDir();
    EXPECT_EQ(second, b.path());
    EXPECT_EQ(kvplat::HostPath(u"C:\\x"), b.path() + "/C/x");
  }
  EXPECT_NE(first, second);
}

TEST(Root, EnsureRootExplainsAFolderItCannotCreate) {
  // A root below a plain file cannot be made, whoever runs the test.
  const std::string dir = kvtest::MakeTempDir("kvbad-");
  Touch(dir + "/file");
  kvplat::SetRoot(dir + "/file/root");
  std::string error;
  EXPECT_FALSE(kvplat::EnsureRoot(&error));
  EXPECT_NE(error.find(dir + "/file/root"), std::string::npos) << error;
  fs::remove_all(dir);
}

TEST(Root, DefaultRootFollowsXdgDataHome) {
  const char* saved = std::getenv("XDG_DATA_HOME");
  const std::string keep = saved != nullptr ? saved : "";
  setenv("XDG_DATA_HOME", "/data/home", 1);
  EXPECT_EQ(kvplat::DefaultRootDir(), "/data/home/kelvaro-zt7700/root");
  if (saved != nullptr) setenv("XDG_DATA_HOME", keep.c_str(), 1);
  else unsetenv("XDG_DATA_HOME");
}

}  // namespace
