// Glyph sets: which Unicode characters a device font covers and the glyph
// handle of each. For a code page the handles are the single-byte codes.
#include <algorithm>
#include <array>
#include <cstring>

#include "engine/code_page.h"
#include "kvplat/engine.h"
#include "kvplat/kernel.h"

KVAPI FD_GLYPHSET* EngComputeGlyphSet(INT codePage, INT firstChar, INT chars) {
  // Code page 0 is the default code page; this platform's is 1252.
  if ((codePage != 0 && codePage != 1252) || firstChar < 0 || chars <= 0 ||
      firstChar + chars > 256) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  struct Pair {
    char16_t unicode;
    HGLYPH glyph;
  };
  std::array<Pair, 256> pairs{};
  for (INT i = 0; i < chars; ++i) {
    const auto code = static_cast<std::uint8_t>(firstChar + i);
    pairs[i] = {kvplat::Cp1252ToUnicode(code), code};
  }
  std::sort(pairs.begin(), pairs.begin() + chars,
            [](const Pair& a, const Pair& b) { return a.unicode < b.unicode; });
  ULONG runs = 0;
  for (INT i = 0; i < chars; ++i) {
    if (i == 0 || pairs[i].unicode != pairs[i - 1].unicode + 1) ++runs;
  }
  // One block: the header with its runs, then the handle array they point into.
  const std::size_t header = offsetof(FD_GLYPHSET, awcrun) + runs * sizeof(WCRUN);
  const std::size_t total = header + static_cast<std::size_t>(chars) * sizeof(HGLYPH);
  auto* set = static_cast<FD_GLYPHSET*>(EngAllocMem(FL_ZERO_MEMORY, static_cast<ULONG>(total), 0));
  if (set == nullptr) return nullptr;
  auto* handles = reinterpret_cast<HGLYPH*>(reinterpret_cast<BYTE*>(set) + header);
  set->cjThis = static_cast<ULONG>(total);
  set->flAccel = 0;
  set->cGlyphsSupported = static_cast<ULONG>(chars);
  set->cRuns = runs;
  WCRUN* run = nullptr;
  for (INT i = 0; i < chars; ++i) {
    handles[i] = pairs[i].glyph;
    if (i == 0 || pairs[i].unicode != pairs[i - 1].unicode + 1) {
      run = run == nullptr ? set->awcrun : run + 1;
      run->wcLow = pairs[i].unicode;
      run->cGlyphs = 0;
      run->phg = &handles[i];
    }
    ++run->cGlyphs;
  }
  return set;
}
