#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "platform/kernel/handles.h"
#include "support/test_root.h"

namespace {

namespace fs = std::filesystem;

class KernelFiles : public ::testing::Test {
 protected:
  std::string Host(const char16_t* win) { return kvplat::HostPath(win); }
  void Put(const char16_t* win, const std::string& text) {
    std::ofstream(Host(win), std::ios::binary) << text;
  }
  std::string Get(const char16_t* win) {
    std::ifstream in(Host(win), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  kvtest::TempRoot root_;
};

TEST_F(KernelFiles, DispositionsFollowWindows) {
  struct Case {
    DWORD disposition;
    bool exists;
    bool opens;
    DWORD error;        // last error after the call
    const char* after;  // file content afterwards ("-" missing)
  };
  const Case cases[] = {
      {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "-"},
      {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
      {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "-"},
      {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
  };
  const char16_t* name = u"C:\\Windows\\Temp\\disp.bin";
  for (const Case& c : cases) {
    fs::remove(Host(name));
    if (c.exists) Put(name, "old");
    SetLastError(12345);
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << " exists " << c.exists);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
    EXPECT_EQ(error, c.error);
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(fs::exists(Host(name)) ? Get(name) : "-", c.after);
  }
}

TEST_F(KernelFiles, OpenErrorsMapToWindowsCodes) {
  auto open = [](const char16_t* name, DWORD disposition) {
    return CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, disposition, 0, nullptr);
  };
  EXPECT_EQ(open(u"C:\\Windows\\nothing.txt", OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open(u"C:\\NoFolder\\nothing.txt", OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(open(u"C:\\NoFolder\\new.txt", CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(open(u"C:\\Windows", OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(open(u"C:\\Windows\\x", 99), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  if (geteuid() != 0) {
    Put(u"C:\\Windows\\locked.txt", "x");
    chmod(Host(u"C:\\Windows\\locked.txt").c_str(), 0444);
    EXPECT_EQ(CreateFileW(u"C:\\Windows\\locked.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  kvplat::fault::FailAfter(kvplat::fault::Point::CreateFile, 1, 1);
  HANDLE first = open(u"C:\\Windows\\win.ini", OPEN_EXISTING);
  EXPECT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(u"C:\\Windows\\win.ini", OPEN_EXISTING), INVALID_HANDLE_VALUE);
  HANDLE third = open(u"C:\\Windows\\win.ini", OPEN_EXISTING);
  EXPECT_NE(third, INVALID_HANDLE_VALUE);
  CloseHandle(first);
  CloseHandle(third);
}

TEST_F(KernelFiles, ReadWriteSeekAndSize) {
  HANDLE h = CreateFileW(u"C:\\Windows\\Temp\\rw.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &done, nullptr));
  EXPECT_EQ(done, 10u);
  DWORD high = 7;
  EXPECT_EQ(GetFileSize(h, &high), 10u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_END), 6u);
  char buffer[16] = {};
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 4u);
  EXPECT_STREQ(buffer, "6789");
  // At the end a read succeeds with 0 bytes.
  ASSERT_TRUE(ReadFile(h, buffer, 4, &done, nullptr));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(SetFilePointer(h, 3, nullptr, FILE_BEGIN), 3u);
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(GetFileSize(h, nullptr), 3u);
  EXPECT_EQ(SetFilePointer(h, -10, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  // 64-bit positions through the high half.
  LONG hi = 1;
  EXPECT_EQ(SetFilePointer(h, 16, &hi, FILE_BEGIN), 16u);
  EXPECT_EQ(hi, 1);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(KernelFiles, ReadOnlyHandleRefusesWrites) {
  Put(u"C:\\Windows\\Temp\\ro.txt", "abc");
  HANDLE h = CreateFileW(u"C:\\Windows\\Temp\\ro.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done = 99;
  EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(done, 0u);
  CloseHandle(h);
}

TEST_F(KernelFiles, DeleteOnCloseRemovesTheFile) {
  HANDLE h = CreateFileW(u"C:\\Windows\\Temp\\gone.tmp", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(fs::exists(Host(u"C:\\Windows\\Temp\\gone.tmp")));
  CloseHandle(h);
  EXPECT_FALSE(fs::exists(Host(u"C:\\Windows\\Temp\\gone.tmp")));
}

TEST_F(KernelFiles, FoldersAttributesDeleteAndCopy) {
  EXPECT_TRUE(CreateDirectoryW(u"C:\\Users\\Public\\Kelvaro", nullptr));
  EXPECT_FALSE(CreateDirectoryW(u"C:\\Users\\Public\\kelvaro", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryW(u"C:\\No\\Such", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesW(u"C:\\USERS\\public\\KELVARO"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Users\\Public\\none"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  Put(u"C:\\Users\\Public\\Kelvaro\\a.txt", "payload");
  EXPECT_EQ(GetFileAttributesW(u"C:\\Users\\Public\\Kelvaro\\a.txt"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(CopyFileW(u"C:\\Users\\Public\\Kelvaro\\a.txt", u"C:\\Users\\Public\\b.txt", TRUE));
  EXPECT_EQ(Get(u"C:\\Users\\Public\\b.txt"), "payload");
  EXPECT_FALSE(CopyFileW(u"C:\\Users\\Public\\Kelvaro\\a.txt", u"C:\\Users\\Public\\b.txt", TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  Put(u"C:\\Users\\Public\\Kelvaro\\a.txt", "new");
  EXPECT_TRUE(CopyFileW(u"C:\\Users\\Public\\Kelvaro\\a.txt", u"C:\\Users\\Public\\b.txt", FALSE));
  EXPECT_EQ(Get(u"C:\\Users\\Public\\b.txt"), "new");
  EXPECT_FALSE(CopyFileW(u"C:\\Users\\Public\\missing", u"C:\\Users\\Public\\c.txt", FALSE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_FALSE(RemoveDirectoryW(u"C:\\Users\\Public\\Kelvaro"));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(DeleteFileW(u"C:\\Users\\Public\\Kelvaro"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DeleteFileW(u"C:\\Users\\Public\\Kelvaro\\A.TXT"));
  EXPECT_FALSE(DeleteFileW(u"C:\\Users\\Public\\Kelvaro\\a.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\Users\\Public\\Kelvaro"));
}

TEST_F(KernelFiles, TempPathAndSystemFolders) {
  WCHAR buffer[MAX_PATH];
  EXPECT_EQ(GetTempPathW(MAX_PATH, buffer), 16u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\Temp\\");
  // Too small: the size needed with the NUL, nothing written.
  EXPECT_EQ(GetTempPathW(16, buffer), 17u);
  EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), 19u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\System32");
  EXPECT_EQ(GetWindowsDirectoryW(buffer, MAX_PATH), 10u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Windows");
  kvplat::fault::FailAfter(kvplat::fault::Point::TempPath, 0);
  EXPECT_EQ(GetTempPathW(MAX_PATH, buffer), 0u);
}

TEST_F(KernelFiles, TempFileNames) {
  WCHAR name[MAX_PATH];
  EXPECT_EQ(GetTempFileNameW(u"C:\\Windows\\Temp", u"QVLONG", 0x1A2B, name), 0x1A2Bu);
  EXPECT_EQ(std::u16string(name), u"C:\\Windows\\Temp\\QVL1A2B.tmp");
  EXPECT_FALSE(fs::exists(Host(name)));  // a given number creates nothing
  EXPECT_EQ(GetTempFileNameW(u"C:\\Windows\\Temp\\", u"", 0x12345, name), 0x2345u);
  EXPECT_EQ(std::u16string(name), u"C:\\Windows\\Temp\\2345.tmp");

  WCHAR first[MAX_PATH], second[MAX_PATH];
  const UINT a = GetTempFileNameW(u"C:\\Windows\\Temp", u"kv", 0, first);
  const UINT b = GetTempFileNameW(u"C:\\Windows\\Temp", u"kv", 0, second);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(std::u16string(first), std::u16string(second));
  EXPECT_TRUE(fs::exists(Host(first)));
  EXPECT_TRUE(fs::exists(Host(second)));
  EXPECT_EQ(std::u16string(first).substr(0, 18), u"C:\\Windows\\Temp\\kv");
  EXPECT_EQ(GetTempFileNameW(u"C:\\Missing", u"kv", 0, first), 0u);
}

class KernelMappings : public KernelFiles {};

TEST_F(KernelMappings, FileMappingGrowsTheFileAndSharesWrites) {
  HANDLE file = CreateFileW(u"C:\\Windows\\Temp\\store.bin", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0x40000, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(GetFileSize(file, nullptr), 0x40000u);
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  std::memcpy(view + 0x3FFF0, "tail", 4);
  // The view outlives the handles, as on Windows.
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_TRUE(CloseHandle(file));
  std::memcpy(view, "head", 4);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  const std::string content = Get(u"C:\\Windows\\Temp\\store.bin");
  ASSERT_EQ(content.size(), 0x40000u);
  EXPECT_EQ(content.substr(0, 4), "head");
  EXPECT_EQ(content.substr(0x3FFF0, 4), "tail");
}

TEST_F(KernelMappings, ReadOnlyMappingsAndErrors) {
  Put(u"C:\\Windows\\Temp\\form.bin", "form data");
  HANDLE file = CreateFileW(u"C:\\Windows\\Temp\\form.bin", GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 100, nullptr), nullptr);
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 10), nullptr);  // past the end
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::memcmp(view, "form data", 9), 0);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(file);

  HANDLE empty = CreateFileW(u"C:\\Windows\\Temp\\empty.bin", GENERIC_READ | GENERIC_WRITE, 0,
                             nullptr, CREATE_ALWAYS, 0, nullptr);
  EXPECT_EQ(CreateFileMappingW(empty, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  CloseHandle(empty);
}

TEST_F(KernelMappings, FaultPointFailsCreateAndMap) {
  kvplat::fault::FailAfter(kvplat::fault::Point::FileMapping, 1, 1);
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  EXPECT_NE(view, nullptr);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
}

TEST_F(KernelMappings, AnonymousMappingTravelsAsADescriptor) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0, 2192, nullptr);
  ASSERT_NE(mapping, nullptr);
  const int fd = kvplat::HandleFd(mapping);
  ASSERT_GE(fd, 3);
  // The handle value is the descriptor, so its decimal text names it in a child.
  EXPECT_EQ(reinterpret_cast<std::intptr_t>(mapping), fd);
  EXPECT_EQ(kvplat::InheritableHandleFds().size() >= 1, true);
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  std::strcpy(view, "from parent");

  // A child sees only the inherited descriptor: stand for it with a copy of
  // the descriptor this process has never registered.
  const int inherited = dup(fd);
  ASSERT_GE(inherited, 3);
  auto* childView = static_cast<char*>(MapViewOfFile(reinterpret_cast<HANDLE>(
                                                         static_cast<std::intptr_t>(inherited)),
                                                     FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_NE(childView, nullptr);
  EXPECT_STREQ(childView, "from parent");
  std::strcpy(childView, "from child");
  EXPECT_STREQ(view, "from child");
  UnmapViewOfFile(childView);
  EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(inherited))));

  // Explicit adoption of a descriptor works the same way.
  const int again = dup(fd);
  HANDLE adopted = kvplat::AdoptFd(again, kvplat::HandleKind::Mapping);
  ASSERT_NE(adopted, nullptr);
  EXPECT_NE(MapViewOfFile(adopted, FILE_MAP_READ, 0, 0, 0), nullptr);
  CloseHandle(adopted);
  // Numbers that name no open descriptor stay invalid.
  EXPECT_EQ(MapViewOfFile(reinterpret_cast<HANDLE>(std::intptr_t{100000}), FILE_MAP_READ, 0, 0, 0),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
}

TEST_F(KernelMappings, ViewOffsetsUseTheAllocationGranularity) {
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x30000, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 4096, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
  void* tail = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0x20000, 0);
  EXPECT_NE(tail, nullptr);
  UnmapViewOfFile(tail);
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(mapping);
}

}  // namespace
