// A small module for the kernel tests: a DllMain that counts its calls and a
// hand-written resource directory (a string table, an integer and a named
// resource).
#include <cstdint>

#include "kvplat/kernel.h"
#include "kvplat/resources.h"

namespace {

int gAttachCount = 0;
int* gDetachCounter = nullptr;
HINSTANCE gInstance = nullptr;

// String block 1 holds ids 0..15: id 1 "Hello", id 3 "Twelve chars" and id 15
// "Last"; the rest are empty.
alignas(4) constexpr char16_t kBlock1[] = {
    0,
    5, u'H', u'e', u'l', u'l', u'o',
    0,
    12, u'T', u'w', u'e', u'l', u'v', u'e', u' ', u'c', u'h', u'a', u'r', u's',
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    4, u'L', u'a', u's', u't',
};
// Block 3 (ids 32..47) is cut short: it ends after id 33 "Tail".
alignas(4) constexpr char16_t kBlock3[] = {0, 4, u'T', u'a', u'i', u'l'};
alignas(4) constexpr std::uint8_t kRcData[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
alignas(4) constexpr std::uint8_t kNamedData[] = {'k', 'v', '!'};

const KvResourceEntry kEntries[] = {
    {6, 1, nullptr, nullptr, reinterpret_cast<const std::uint8_t*>(kBlock1), sizeof kBlock1},
    {6, 3, nullptr, nullptr, reinterpret_cast<const std::uint8_t*>(kBlock3), sizeof kBlock3},
    {10, 7, nullptr, nullptr, kRcData, sizeof kRcData},
    {0, 0, u"KVDATA", u"Blob", kNamedData, sizeof kNamedData},
};

}  // namespace

KVEXPORT const KvResourceDirectory kv_resource_directory = {
    sizeof kEntries / sizeof kEntries[0], kEntries};

KVEXPORT BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == 1) {
    ++gAttachCount;
    gInstance = instance;
  } else if (reason == 0 && gDetachCounter != nullptr) {
    ++*gDetachCounter;
  }
  return TRUE;
}

KVEXPORT int kvtest_attach_count() { return gAttachCount; }
KVEXPORT HINSTANCE kvtest_instance() { return gInstance; }
KVEXPORT void kvtest_count_detach(int* counter) { gDetachCounter = counter; }
