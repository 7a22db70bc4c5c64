// TrueType table access: single fonts and collections, the tags that may be
// read, partial reads, the table checksum, and files whose directory or
// collection header points outside them.
#include "pclcore/5e/truetype_tables.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/engine_fonts.h"

namespace {

using Bytes = std::vector<BYTE>;
using kv5e::TableState;
using kv5e::TableTag;

void Put32(BYTE* p, std::uint32_t v) {
  p[0] = BYTE(v >> 24), p[1] = BYTE(v >> 16), p[2] = BYTE(v >> 8), p[3] = BYTE(v);
}
void Put16(BYTE* p, std::uint16_t v) { p[0] = BYTE(v >> 8), p[1] = BYTE(v); }

// A font of the given tables (tag, data), laid out in order after the
// directory, at `base` in a larger file (offsets counted from the file start).
Bytes MakeFont(const std::vector<std::pair<std::string, Bytes>>& tables, std::uint32_t base = 0) {
  Bytes font(12 + 16 * tables.size(), 0);
  Put32(&font[0], 0x00010000);
  Put16(&font[4], static_cast<std::uint16_t>(tables.size()));
  Put16(&font[6], 0x1234);  // search fields as the font has them
  for (std::size_t i = 0; i < tables.size(); ++i) {
    BYTE* e = &font[12 + 16 * i];
    std::memcpy(e, tables[i].first.data(), 4);
    Put32(e + 8, base + static_cast<std::uint32_t>(font.size()));
    Put32(e + 12, static_cast<std::uint32_t>(tables[i].second.size()));
    font.insert(font.end(), tables[i].second.begin(), tables[i].second.end());
    font.resize((font.size() + 3) & ~std::size_t{3}, 0);
  }
  return font;
}

const Bytes kHead(54, 0x11);
const Bytes kCmap = {1, 2, 3, 4, 5, 6, 7};
const Bytes kGsub = {9, 9, 9, 9};

Bytes SmallFont(std::uint32_t base = 0) {
  return MakeFont({{"head", kHead}, {"cmap", kCmap}, {"GSUB", kGsub}}, base);
}

// Two fonts in a collection: the second has a different cmap.
Bytes Collection() {
  Bytes file(12 + 8, 0);
  std::memcpy(&file[0], "ttcf", 4);
  Put32(&file[4], 0x00010000);
  Put32(&file[8], 2);
  Put32(&file[12], 20);
  const Bytes first = SmallFont(20);
  file.insert(file.end(), first.begin(), first.end());
  const std::uint32_t second = static_cast<std::uint32_t>(file.size());
  Put32(&file[16], second);
  const Bytes other = MakeFont({{"cmap", Bytes{42, 43}}}, second);
  file.insert(file.end(), other.begin(), other.end());
  return file;
}

std::uint32_t Directory(const Bytes& file, std::uint32_t index = 0) {
  std::uint32_t at = 0xFFFFFFFF;
  EXPECT_TRUE(kv5e::LocateOffsetTable(file, index, &at));
  return at;
}

TEST(TrueTypeTables, ReadableTagsAreTheTwentyOneTheDownloadUses) {
  for (const char* tag : {"cvt ", "fpgm", "head", "hhea", "hmtx", "maxp", "prep", "cmap", "glyf",
                          "loca", "name", "post", "OS/2", "hdmx", "kern", "LTSH", "VDMX", "gdir",
                          "PCLT", "vmtx", "vhea"}) {
    const char name[5] = {tag[0], tag[1], tag[2], tag[3], 0};
    EXPECT_TRUE(kv5e::IsReadableTag(TableTag(name))) << tag;
  }
  for (const char* tag : {"GSUB", "GPOS", "CFF ", "cvt\0", "ttcf"}) {
    const char name[5] = {tag[0], tag[1], tag[2], tag[3], 0};
    EXPECT_FALSE(kv5e::IsReadableTag(TableTag(name))) << tag;
  }
}

TEST(TrueTypeTables, ReadsWholeAndPartialTables) {
  const Bytes file = SmallFont();
  const std::uint32_t dir = Directory(file);
  EXPECT_EQ(dir, 0u);
  BYTE buffer[64] = {};
  // Lengths without a buffer.
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, dir, TableTag("head"), 0, nullptr, 0), 54u);
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, dir, TableTag("cmap"), 0, nullptr, 0), 7u);
  // A table that is there but may not be read, and one that is not there.
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, dir, TableTag("GSUB"), 0, nullptr, 0), 0u);
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, dir, TableTag("glyf"), 0, buffer, 64), 0u);
  // From an offset, cut at the table's end.
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, dir, TableTag("cmap"), 3, buffer, 64), 4u);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{4, 5, 6, 7}));
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, dir, TableTag("cmap"), 1, buffer, 2), 2u);
  EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{2, 3}));
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, dir, TableTag("cmap"), 7, buffer, 64), 0u);
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, dir, TableTag("cmap"), 0xFFFFFFFF, buffer, 64), 0u);
  // Tag 0: the offset table.
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, dir, 0, 0, buffer, 64), 12u);
  EXPECT_EQ(Bytes(buffer, buffer + 12), Bytes(file.begin(), file.begin() + 12));
}

TEST(TrueTypeTables, CollectionsUseTheRealizedFaceOrTheFixedRule) {
  const Bytes file = Collection();
  EXPECT_EQ(kv5e::CollectionFontCount(file), 2u);
  EXPECT_EQ(kv5e::CollectionFontCount(SmallFont()), 0u);
  BYTE buffer[8] = {};
  const std::uint32_t second = Directory(file, 1);
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, second, TableTag("cmap"), 0, buffer, 8), 2u);
  EXPECT_EQ(buffer[0], 42);
  EXPECT_EQ(kv5e::GetTrueTypeTable(file, Directory(file, 0), TableTag("cmap"), 0, buffer, 8), 7u);

  struct Case {
    std::uint32_t count;
    ULONG face;
    bool fixedPitch;
    std::uint32_t expected;
  };
  for (const Case& c : {Case{2, 2, false, 1}, Case{4, 3, true, 2}, Case{2, 0, true, 0},
                        Case{2, 0, false, 1}, Case{1, 0, false, 0}, Case{5, 0, false, 2},
                        Case{5, 9, true, 0}, Case{3, 7, false, 2}}) {
    EXPECT_EQ(kv5e::CollectionFontFor(c.count, c.face, c.fixedPitch), c.expected)
        << c.count << " fonts, face " << c.face << (c.fixedPitch ? " fixed" : "");
  }
}

TEST(TrueTypeTables, DamagedFilesGiveNoTables) {
  std::uint32_t dir = 0;
  TableState state;
  kv5e::TableSpan span;
  {  // Too short for an offset table, or for the directory it announces.
    const Bytes file = SmallFont();
    EXPECT_FALSE(kv5e::LocateOffsetTable(std::span(file).first(11), 0, &dir));
    EXPECT_FALSE(kv5e::LocateOffsetTable(std::span(file).first(12 + 16 * 3 - 1), 0, &dir));
    Bytes huge = file;
    Put16(&huge[4], 0xFFFF);
    EXPECT_FALSE(kv5e::LocateOffsetTable(huge, 0, &dir));
  }
  {  // A file cut in the middle of a table: that table is damaged, the others fine.
    const Bytes file = SmallFont();
    const std::span<const BYTE> cut = std::span(file).first(12 + 16 * 3 + 20);
    ASSERT_TRUE(kv5e::LocateOffsetTable(cut, 0, &dir));
    EXPECT_EQ(kv5e::FindTable(cut, dir, TableTag("head"), &span), TableState::Damaged);
    EXPECT_EQ(kv5e::GetTrueTypeTable(cut, dir, TableTag("head"), 0, nullptr, 0), 0u);
    EXPECT_TRUE(kv5e::TableBytes(cut, dir, TableTag("head")).empty());
  }
  {  // Offsets and lengths that wrap around or point past the end.
    for (auto [offset, length] : {std::pair<std::uint32_t, std::uint32_t>{0xFFFFFFF0u, 0x20u},
                                  {8u, 0xFFFFFFFFu}, {1000u, 1u}}) {
      Bytes file = SmallFont();
      Put32(&file[12 + 8], offset);
      Put32(&file[12 + 12], length);
      state = kv5e::FindTable(file, 0, TableTag("head"), &span);
      EXPECT_EQ(state, TableState::Damaged) << offset << " " << length;
      BYTE buffer[8];
      EXPECT_EQ(kv5e::GetTrueTypeTable(file, 0, TableTag("head"), 0, buffer, 8), 0u);
      EXPECT_EQ(kv5e::FindTable(file, 0, TableTag("cmap"), &span), TableState::Present);
    }
  }
  {  // Collections whose count or offsets do not fit.
    Bytes file = Collection();
    Put32(&file[8], 0x40000000);
    EXPECT_EQ(kv5e::CollectionFontCount(file), 0u);
    EXPECT_FALSE(kv5e::LocateOffsetTable(file, 0, &dir));
    file = Collection();
    Put32(&file[16], static_cast<std::uint32_t>(file.size()) - 4);
    EXPECT_FALSE(kv5e::LocateOffsetTable(file, 1, &dir));
    EXPECT_TRUE(kv5e::LocateOffsetTable(file, 0, &dir));
    Put32(&file[16], 0xFFFFFFF8);
    EXPECT_FALSE(kv5e::LocateOffsetTable(file, 1, &dir));
    EXPECT_FALSE(kv5e::LocateOffsetTable(file, 2, &dir));  // no third font
  }
}

TEST(TrueTypeTables, ChecksumAgreesWithRealFonts) {
  // Every table but head (whose stored checksum leaves out checkSumAdjustment)
  // sums to the checksum the font's directory records.
  EXPECT_EQ(kv5e::TableChecksum(Bytes{}), 0u);
  EXPECT_EQ(kv5e::TableChecksum(Bytes{1, 2, 3, 4, 5}), 0x01020304u + 0x05000000u);
  EXPECT_EQ(kv5e::TableChecksum(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2}), 1u);
  kvplat::engine::ResolvedFace face;
  if (!kvplat::engine::ResolveFace(u"DejaVu Sans", 400, false, &face) || !face.standsFor) {
    GTEST_SKIP() << "fonts-dejavu is not installed";
  }
  std::ifstream in(face.path, std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), {});
  const std::uint32_t dir = Directory(file);
  int checked = 0;
  for (std::uint32_t i = 0; i < kvset::LoadU16BE(&file[4]); ++i) {
    const BYTE* e = &file[12 + 16 * i];
    const std::uint32_t tag = kvset::LoadU32BE(e);
    if (tag == TableTag("head") || !kv5e::IsReadableTag(tag)) continue;
    const std::span<const BYTE> table = kv5e::TableBytes(file, dir, tag);
    ASSERT_EQ(table.size(), kvset::LoadU32BE(e + 12));
    EXPECT_EQ(kv5e::TableChecksum(table), kvset::LoadU32BE(e + 4)) << std::string(reinterpret_cast<const char*>(e), 4);
    ++checked;
  }
  EXPECT_GE(checked, 10);
}

}  // namespace
