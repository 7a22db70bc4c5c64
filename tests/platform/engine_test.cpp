// Engine services a graphics library leans on: glyph sets, code page
// conversion, resources of a loaded module, surfaces and palettes.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "kvplat/engine.h"
#include "kvplat/fault.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "support/test_root.h"

namespace {

// The glyph handle a glyph set gives a Unicode character, or -1.
long GlyphFor(const FD_GLYPHSET* set, char16_t ch) {
  const WCRUN* runs = set->awcrun;
  for (ULONG i = 0; i < set->cRuns; ++i) {
    if (ch >= runs[i].wcLow && ch < runs[i].wcLow + runs[i].cGlyphs) {
      return static_cast<long>(runs[i].phg[ch - runs[i].wcLow]);
    }
  }
  return -1;
}

TEST(EngineGlyphSet, DefaultCodePageCoversAll256CodesInUnicodeOrder) {
  FD_GLYPHSET* set = EngComputeGlyphSet(0, 0, 256);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->cGlyphsSupported, 256u);
  ULONG total = 0;
  for (ULONG i = 0; i < set->cRuns; ++i) {
    total += set->awcrun[i].cGlyphs;
    if (i > 0) {
      EXPECT_GT(set->awcrun[i].wcLow,
                set->awcrun[i - 1].wcLow + set->awcrun[i - 1].cGlyphs - 1);
    }
  }
  EXPECT_EQ(total, 256u);
  struct Case {
    char16_t ch;
    long glyph;
  };
  const Case cases[] = {{u'A', 0x41}, {0x20AC, 0x80}, {0x2122, 0x99}, {0x00E9, 0xE9},
                        {0x0178, 0x9F}, {0x0000, 0x00}, {0x4E00, -1}};
  for (const Case& c : cases) EXPECT_EQ(GlyphFor(set, c.ch), c.glyph) << std::hex << static_cast<int>(c.ch);
  EngFreeMem(set);

  EXPECT_EQ(EngComputeGlyphSet(932, 0, 256), nullptr);  // no other code page here
  EXPECT_EQ(EngComputeGlyphSet(0, 200, 100), nullptr);  // past the last code
}

TEST(EngineText, UnicodeToDefaultCodePage) {
  WCHAR text[] = u"A\u20AC\u00FC\u4E00";
  char out[8] = {};
  ULONG produced = 0;
  EngUnicodeToMultiByteN(out, sizeof(out), &produced, text, 8);
  ASSERT_EQ(produced, 4u);
  EXPECT_EQ(out[0], 'A');
  EXPECT_EQ(static_cast<unsigned char>(out[1]), 0x80);
  EXPECT_EQ(static_cast<unsigned char>(out[2]), 0xFC);
  EXPECT_EQ(out[3], '?');
  // Never more than the output holds.
  EngUnicodeToMultiByteN(out, 2, &produced, text, 8);
  EXPECT_EQ(produced, 2u);

  char bytes[] = {'x', static_cast<char>(0x80)};
  WCHAR back[2];
  EngMultiByteToUnicodeN(back, sizeof(back), &produced, bytes, 2);
  EXPECT_EQ(produced, 4u);
  EXPECT_EQ(back[1], 0x20AC);
}

TEST(EngineMemory, AllocationsFailOnDemandAndZeroWhenAsked) {
  auto* block = static_cast<unsigned char*>(EngAllocMem(FL_ZERO_MEMORY, 4096, 0x74736574));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0);
  EngFreeMem(block);
  EngFreeMem(nullptr);
  kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 1, 1);
  void* first = EngAllocMem(0, 16, 0);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(EngAllocMem(0, 16, 0), nullptr);
  void* third = EngAllocMem(0, 16, 0);  // the failure was a single one
  EXPECT_NE(third, nullptr);
  kvplat::fault::ClearAll();
  EngFreeMem(first);
  EngFreeMem(third);
}

TEST(EngineModules, ResourcesOfALoadedModule) {
  kvtest::TempRoot root;
  std::u16string path = kvplat::WinPath(KV_TEST_MODULE);
  HANDLE module = EngLoadModule(path.data());
  ASSERT_NE(module, nullptr);
  ULONG size = 0;
  auto* data = static_cast<const unsigned char*>(EngFindResource(module, 7, 10, &size));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(data[9], 10);
  EXPECT_EQ(EngFindResource(module, 8, 10, &size), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_NE(EngFindResource(module, 1, 6, &size), nullptr);  // a string block
  EngFreeModule(module);

  std::u16string missing = u"C:\\Windows\\System32\\nothing.dll";
  EXPECT_EQ(EngLoadModule(missing.data()), nullptr);
  EXPECT_EQ(EngLoadModule(nullptr), nullptr);
}

TEST(EngineSurfaces, SurfacesAndPalettesCheckTheirArguments) {
  HSURF surface = EngCreateDeviceSurface(nullptr, {100, 200}, BMF_24BPP);
  ASSERT_NE(surface, nullptr);
  SURFOBJ* object = EngLockSurface(surface);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->sizlBitmap.cx, 100);
  EXPECT_EQ(object->iType, STYPE_DEVICE);
  EXPECT_EQ(object->iBitmapFormat, BMF_24BPP);
  EngUnlockSurface(object);
  // Only a device of the engine can take a surface.
  int notADevice = 0;
  EXPECT_FALSE(EngAssociateSurface(surface, reinterpret_cast<HDEV>(&notADevice), HOOK_BITBLT));
  EXPECT_FALSE(EngCheckAbort(nullptr));
  EXPECT_TRUE(EngDeleteSurface(surface));
  EXPECT_EQ(EngCreateDeviceSurface(nullptr, {0, 10}, BMF_24BPP), nullptr);
  EXPECT_EQ(EngCreateDeviceSurface(nullptr, {10, 10}, 42), nullptr);

  HPALETTE palette = EngCreatePalette(PAL_RGB, 0, nullptr, 0, 0, 0);
  ASSERT_NE(palette, nullptr);
  EXPECT_TRUE(EngDeletePalette(palette));
  EXPECT_EQ(EngCreatePalette(0x40, 0, nullptr, 0, 0, 0), nullptr);
}

TEST(EngineTime, LocalTimeIsPlausible) {
  ENG_TIME_FIELDS now{};
  EngQueryLocalTime(&now);
  EXPECT_GE(now.usYear, 2024);
  EXPECT_LE(now.usMilliseconds, 999);
  EXPECT_GE(now.usMonth, 1);
  EXPECT_LE(now.usMonth, 12);
}

}  // namespace
