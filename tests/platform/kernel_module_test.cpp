#include <filesystem>

#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "support/test_root.h"

namespace {

namespace fs = std::filesystem;

// The test module copied into the root's system folder under a Windows name.
class Modules : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string target = kvplat::HostPath(u"C:\\Windows\\System32\\kvtestmod.dll");
    fs::copy_file(KV_TEST_MODULE, target, fs::copy_options::overwrite_existing);
  }
  template <typename Fn>
  Fn Proc(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
  kvtest::TempRoot root_;
};

TEST_F(Modules, LoadCallsDllMainOnceAndCountsReferences) {
  HMODULE module = LoadLibraryW(u"C:\\Windows\\System32\\kvtestmod.dll");
  ASSERT_NE(module, nullptr) << GetLastError();
  auto attachCount = Proc<int (*)()>(module, "kvtest_attach_count");
  auto instance = Proc<HINSTANCE (*)()>(module, "kvtest_instance");
  auto countDetach = Proc<void (*)(int*)>(module, "kvtest_count_detach");
  ASSERT_NE(attachCount, nullptr);
  ASSERT_NE(instance, nullptr);
  ASSERT_NE(countDetach, nullptr);
  EXPECT_EQ(attachCount(), 1);
  EXPECT_EQ(instance(), module);  // DllMain sees the handle LoadLibraryW returns
  int detached = 0;
  countDetach(&detached);

  // The same file by another spelling, or by its bare name, is the same module.
  EXPECT_EQ(LoadLibraryW(u"c:/windows/system32/KVTESTMOD.DLL"), module);
  EXPECT_EQ(LoadLibraryW(u"kvtestmod"), module);
  EXPECT_EQ(GetModuleHandleW(u"KvTestMod.dll"), module);
  EXPECT_EQ(attachCount(), 1);

  WCHAR path[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameW(module, path, MAX_PATH), 33u);
  EXPECT_EQ(std::u16string(path), u"C:\\Windows\\System32\\kvtestmod.dll");
  WCHAR cut[8];
  EXPECT_EQ(GetModuleFileNameW(module, cut, 8), 8u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::u16string(cut), u"C:\\Wind");

  EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(detached, 0);
  EXPECT_TRUE(FreeLibrary(module));  // last reference: detach, unload
  EXPECT_EQ(detached, 1);
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Modules, DataFileLoadSkipsDllMain) {
  HMODULE data = LoadLibraryExW(u"C:\\Windows\\System32\\kvtestmod.dll", nullptr,
                                LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(data, nullptr);
  auto attachCount = Proc<int (*)()>(data, "kvtest_attach_count");
  ASSERT_NE(attachCount, nullptr);
  EXPECT_EQ(attachCount(), 0);
  EXPECT_NE(FindResourceW(data, MAKEINTRESOURCEW(7), MAKEINTRESOURCEW(RT_RCDATA)), nullptr);
  // A later ordinary load of the same file attaches it.
  HMODULE code = LoadLibraryW(u"C:\\Windows\\System32\\kvtestmod.dll");
  EXPECT_EQ(code, data);
  EXPECT_EQ(attachCount(), 1);
  FreeLibrary(code);
  FreeLibrary(data);
}

TEST_F(Modules, LoadFailures) {
  EXPECT_EQ(LoadLibraryW(u"C:\\Windows\\System32\\absent.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryW(u"C:\\Windows\\win.ini"), nullptr);  // not a loadable file
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
  kvplat::fault::FailAfter(kvplat::fault::Point::LoadModule, 0, 1);
  EXPECT_EQ(LoadLibraryW(u"C:\\Windows\\System32\\kvtestmod.dll"), nullptr);
  HMODULE module = LoadLibraryW(u"C:\\Windows\\System32\\kvtestmod.dll");
  EXPECT_NE(module, nullptr);
  FreeLibrary(module);
}

TEST_F(Modules, ProgramModule) {
  HMODULE program = GetModuleHandleW(nullptr);
  ASSERT_NE(program, nullptr);
  WCHAR path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  EXPECT_EQ(kvplat::HostPath(path), fs::canonical("/proc/self/exe").string());
  EXPECT_EQ(std::u16string(path).substr(0, 3), u"Z:\\");
  EXPECT_EQ(GetModuleHandleW(u"never-loaded.dll"), nullptr);
}

TEST_F(Modules, ResourcesByNumberAndName) {
  HMODULE module = LoadLibraryW(u"C:\\Windows\\System32\\kvtestmod.dll");
  ASSERT_NE(module, nullptr);
  HRSRC rc = FindResourceW(module, MAKEINTRESOURCEW(7), MAKEINTRESOURCEW(RT_RCDATA));
  ASSERT_NE(rc, nullptr);
  EXPECT_EQ(SizeofResource(module, rc), 10u);
  const auto* bytes = static_cast<const unsigned char*>(LockResource(LoadResource(module, rc)));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes[9], 10);
  // "#7" names the integer id; named types and names ignore case.
  EXPECT_EQ(FindResourceW(module, u"#7", MAKEINTRESOURCEW(RT_RCDATA)), rc);
  HRSRC named = FindResourceW(module, u"BLOB", u"kvdata");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(SizeofResource(module, named), 3u);

  EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(8), MAKEINTRESOURCEW(RT_RCDATA)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(7), MAKEINTRESOURCEW(RT_BITMAP)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  FreeLibrary(module);
}

TEST_F(Modules, LoadStringFollowsWindows) {
  HMODULE module = LoadLibraryW(u"C:\\Windows\\System32\\kvtestmod.dll");
  ASSERT_NE(module, nullptr);
  struct Case {
    UINT id;
    int bufferMax;
    int expected;
    std::u16string text;
  };
  const Case cases[] = {
      {1, 32, 5, u"Hello"},
      {3, 32, 12, u"Twelve chars"},
      {3, 7, 6, u"Twelve"},  // cut to bufferMax - 1
      {15, 32, 4, u"Last"},
      {33, 32, 4, u"Tail"},
      {2, 32, 0, u""},   // empty entry
      {34, 32, 0, u""},  // past a short block
      {20, 32, 0, u""},  // no such block
  };
  for (const Case& c : cases) {
    WCHAR buffer[32];
    buffer[0] = u'?';
    EXPECT_EQ(LoadStringW(module, c.id, buffer, c.bufferMax), c.expected) << c.id;
    EXPECT_EQ(std::u16string(buffer), c.text) << c.id;
  }
  // bufferMax 0: a pointer to the read-only, unterminated text.
  const WCHAR* text = nullptr;
  EXPECT_EQ(LoadStringW(module, 3, reinterpret_cast<LPWSTR>(&text), 0), 12);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string(text, 12), u"Twelve chars");
  FreeLibrary(module);
}

}  // namespace
