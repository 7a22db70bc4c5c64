#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "kvplat/kernel.h"
#include "support/test_root.h"

namespace {

using kvplat::fault::Point;

class Heaps : public ::testing::Test {
 protected:
  void TearDown() override { kvplat::fault::ClearAll(); }
};

TEST_F(Heaps, AllocateZeroResizeAndFree) {
  HANDLE heap = GetProcessHeap();
  auto* p = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 100));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0) << i;
  EXPECT_EQ(HeapSize(heap, 0, p), 100u);
  std::memset(p, 0xAB, 100);
  p = static_cast<unsigned char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, p, 5000));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(HeapSize(heap, 0, p), 5000u);
  EXPECT_EQ(p[99], 0xAB);
  EXPECT_EQ(p[100], 0);
  EXPECT_EQ(p[4999], 0);
  EXPECT_TRUE(HeapFree(heap, 0, p));
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));
}

TEST_F(Heaps, PrivateHeapsOwnTheirBlocks) {
  HANDLE heap = HeapCreate(0, 0, 0);
  ASSERT_NE(heap, nullptr);
  void* mine = HeapAlloc(heap, 0, 64);
  ASSERT_NE(mine, nullptr);
  // A block of another heap is refused.
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, mine));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  for (int i = 0; i < 100; ++i) ASSERT_NE(HeapAlloc(heap, 0, 32 + i), nullptr);
  void* freed = HeapAlloc(heap, 0, 8);
  EXPECT_TRUE(HeapFree(heap, 0, freed));
  // Destroy frees every block still held (the leak checker sees none).
  EXPECT_TRUE(HeapDestroy(heap));
  EXPECT_FALSE(HeapDestroy(GetProcessHeap()));
}

TEST_F(Heaps, LocalAllocZeroInitAndFree) {
  auto* p = static_cast<unsigned char*>(LocalAlloc(LPTR, 32));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(p[i], 0);
  EXPECT_EQ(LocalFree(p), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST_F(Heaps, AllocFaultFailsEveryAllocator) {
  HANDLE heap = GetProcessHeap();
  void* kept = HeapAlloc(heap, 0, 16);
  ASSERT_NE(kept, nullptr);
  kvplat::fault::FailAfter(Point::Alloc, 2);
  void* a = HeapAlloc(heap, 0, 8);
  void* b = LocalAlloc(LMEM_FIXED, 8);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  SetLastError(0);
  EXPECT_EQ(HeapAlloc(heap, 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(LocalAlloc(LPTR, 8), nullptr);
  EXPECT_EQ(HeapCreate(0, 0, 0), nullptr);
  // A failed resize leaves the block as it was.
  EXPECT_EQ(HeapReAlloc(heap, 0, kept, 64), nullptr);
  EXPECT_EQ(HeapSize(heap, 0, kept), 16u);
  kvplat::fault::Clear(Point::Alloc);
  void* c = HeapAlloc(heap, 0, 8);
  EXPECT_NE(c, nullptr);
  for (void* p : {a, c, kept}) HeapFree(heap, 0, p);
  LocalFree(b);
}

TEST(Faults, PassesThenLimitedFailures) {
  kvplat::fault::FailAfter(Point::OpenPrinter, 2, 3);
  std::vector<bool> results;
  for (int i = 0; i < 7; ++i) results.push_back(kvplat::fault::ShouldFail(Point::OpenPrinter));
  EXPECT_EQ(results, (std::vector<bool>{false, false, true, true, true, false, false}));
  // Other points are untouched.
  EXPECT_FALSE(kvplat::fault::ShouldFail(Point::Alloc));
  kvplat::fault::ClearAll();
}

TEST(Faults, WritePrinterCountsBytes) {
  kvplat::fault::FailAfter(Point::WritePrinter, 10000);
  std::uint64_t allowed = 0;
  EXPECT_FALSE(kvplat::fault::ShouldFail(Point::WritePrinter, 4096, &allowed));
  EXPECT_EQ(allowed, 4096u);
  EXPECT_FALSE(kvplat::fault::ShouldFail(Point::WritePrinter, 4096, &allowed));
  // The write that would pass the limit fails; 1808 bytes of it may still go out.
  EXPECT_TRUE(kvplat::fault::ShouldFail(Point::WritePrinter, 4096, &allowed));
  EXPECT_EQ(allowed, 1808u);
  EXPECT_TRUE(kvplat::fault::ShouldFail(Point::WritePrinter, 1, &allowed));
  EXPECT_EQ(allowed, 0u);
  kvplat::fault::Clear(Point::WritePrinter);
  EXPECT_FALSE(kvplat::fault::ShouldFail(Point::WritePrinter, 1 << 20, &allowed));
}

TEST(Faults, CountsAcrossThreads) {
  kvplat::fault::FailAfter(Point::CreateProcess, 4000);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1500; ++i) failures += kvplat::fault::ShouldFail(Point::CreateProcess);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 2000);
  kvplat::fault::ClearAll();
}

TEST(LastError, IsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seen = 1;
  std::thread([&] { seen = GetLastError(); }).join();
  EXPECT_EQ(seen, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
