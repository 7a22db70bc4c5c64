// Heaps: every block carries a header linking it into its heap, so that
// HeapDestroy frees all blocks and HeapSize/HeapFree can check ownership.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "kvplat/fault.h"

namespace kvplat {
namespace {

constexpr std::uint32_t kHeapMagic = 0x4B564850;   // "PHVK"
constexpr std::uint32_t kBlockMagic = 0x4B56424C;  // "LBVK"

struct Heap;

struct alignas(16) BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
  Heap* heap;
  std::size_t size;
  std::uint32_t magic;
};
static_assert(sizeof(BlockHeader) % 16 == 0);

struct Heap {
  std::uint32_t magic = kHeapMagic;
  std::mutex lock;
  BlockHeader* first = nullptr;
};

Heap& ProcessHeap() {
  static Heap* heap = new Heap;  // never destroyed: blocks may outlive static destructors
  return *heap;
}

Heap* AsHeap(HANDLE handle) {
  auto* heap = static_cast<Heap*>(handle);
  if (heap == nullptr || heap->magic != kHeapMagic) return nullptr;
  return heap;
}

BlockHeader* HeaderOf(LPCVOID mem) {
  if (mem == nullptr) return nullptr;
  auto* header = reinterpret_cast<BlockHeader*>(const_cast<unsigned char*>(
                     static_cast<const unsigned char*>(mem))) - 1;
  return header->magic == kBlockMagic ? header : nullptr;
}

void Link(Heap& heap, BlockHeader* block) {
  block->prev = nullptr;
  block->next = heap.first;
  if (heap.first != nullptr) heap.first->prev = block;
  heap.first = block;
}

void Unlink(Heap& heap, BlockHeader* block) {
  if (block->prev != nullptr) block->prev->next = block->next;
  else heap.first = block->next;
  if (block->next != nullptr) block->next->prev = block->prev;
}

bool AllocationFails() {
  if (fault::ShouldFail(fault::Point::Alloc)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return true;
  }
  return false;
}

void* Allocate(Heap& heap, std::size_t bytes, bool zero) {
  if (AllocationFails()) return nullptr;
  if (bytes > (SIZE_MAX >> 1)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* raw = zero ? std::calloc(1, sizeof(BlockHeader) + bytes)
                   : std::malloc(sizeof(BlockHeader) + bytes);
  if (raw == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* block = static_cast<BlockHeader*>(raw);
  block->heap = &heap;
  block->size = bytes;
  block->magic = kBlockMagic;
  std::lock_guard guard(heap.lock);
  Link(heap, block);
  return block + 1;
}

}  // namespace
}  // namespace kvplat

using namespace kvplat;

KVAPI HANDLE GetProcessHeap() { return &ProcessHeap(); }

KVAPI HANDLE HeapCreate(DWORD /*options*/, SIZE_T /*initialSize*/, SIZE_T /*maximumSize*/) {
  if (AllocationFails()) return nullptr;
  return new Heap;
}

KVAPI BOOL HeapDestroy(HANDLE handle) {
  Heap* heap = AsHeap(handle);
  if (heap == nullptr || heap == &ProcessHeap()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  BlockHeader* block = heap->first;
  while (block != nullptr) {
    BlockHeader* next = block->next;
    block->magic = 0;
    std::free(block);
    block = next;
  }
  heap->magic = 0;
  delete heap;
  return TRUE;
}

KVAPI LPVOID HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
  Heap* heap = AsHeap(handle);
  if (heap == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return Allocate(*heap, bytes, (flags & HEAP_ZERO_MEMORY) != 0);
}

KVAPI LPVOID HeapReAlloc(HANDLE handle, DWORD flags, LPVOID mem, SIZE_T bytes) {
  constexpr DWORD kReallocInPlaceOnly = 0x10;
  Heap* heap = AsHeap(handle);
  BlockHeader* block = HeaderOf(mem);
  if (heap == nullptr || block == nullptr || block->heap != heap) {
    SetLastError(heap == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::size_t old = block->size;
  if ((flags & kReallocInPlaceOnly) != 0 && bytes > old) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (AllocationFails()) return nullptr;
  std::lock_guard guard(heap->lock);
  BlockHeader* const prev = block->prev;
  BlockHeader* const next = block->next;
  auto* grown = static_cast<BlockHeader*>(std::realloc(block, sizeof(BlockHeader) + bytes));
  if (grown == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;  // the old block stays valid and linked
  }
  grown->size = bytes;
  grown->prev = prev;
  grown->next = next;
  if (prev != nullptr) prev->next = grown;
  else heap->first = grown;
  if (next != nullptr) next->prev = grown;
  if ((flags & HEAP_ZERO_MEMORY) != 0 && bytes > old) {
    std::memset(reinterpret_cast<unsigned char*>(grown + 1) + old, 0, bytes - old);
  }
  return grown + 1;
}

KVAPI BOOL HeapFree(HANDLE handle, DWORD /*flags*/, LPVOID mem) {
  if (mem == nullptr) return TRUE;
  Heap* heap = AsHeap(handle);
  BlockHeader* block = HeaderOf(mem);
  if (heap == nullptr || block == nullptr || block->heap != heap) {
    SetLastError(heap == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    std::lock_guard guard(heap->lock);
    Unlink(*heap, block);
  }
  block->magic = 0;
  std::free(block);
  return TRUE;
}

KVAPI SIZE_T HeapSize(HANDLE handle, DWORD /*flags*/, LPCVOID mem) {
  Heap* heap = AsHeap(handle);
  BlockHeader* block = HeaderOf(mem);
  if (heap == nullptr || block == nullptr || block->heap != heap) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<SIZE_T>(-1);
  }
  return block->size;
}

KVAPI HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  return Allocate(ProcessHeap(), bytes, (flags & LMEM_ZEROINIT) != 0);
}

KVAPI HLOCAL LocalFree(HLOCAL mem) {
  if (mem == nullptr) return nullptr;
  return HeapFree(&ProcessHeap(), 0, mem) ? nullptr : mem;
}
