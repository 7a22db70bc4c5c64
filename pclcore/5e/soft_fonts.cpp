#include "pclcore/5e/soft_fonts.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "kvplat/engine.h"
#include "pclcore/5e/device_fonts.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/truetype_tables.h"

namespace kv5e {
namespace {

using kvset::DmField;

constexpr ULONG kEntryTag = 0x74667350;  // "Psft"

// ---- character-code tables for the outline lookup ---------------------------------

using CodeTable = std::array<std::uint16_t, 256>;

constexpr CodeTable WithUpperHalf(const std::uint16_t (&upper)[128]) {
  CodeTable table{};
  for (int i = 0; i < 128; ++i) table[i] = static_cast<std::uint16_t>(i);
  for (int i = 0; i < 128; ++i) table[128 + i] = upper[i];
  return table;
}

constexpr std::uint16_t kIdentityUpper[128] = {
    0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F,
    0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0x9F,
    0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF,
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF,
    0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,
};

// Windows code page 1252; unassigned codes give 0xFFFE.
constexpr std::uint16_t kCp1252Upper[128] = {
    0x20AC, 0xFFFE, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFE, 0xFFFE, 0xFFFE,
    0xFFFE, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFE, 0xFFFE, 0x0178,
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};

// Windows code page 1250 (East European); 0x80 gives 0xFFFF, unassigned
// codes 0xFFFE.
constexpr std::uint16_t kCp1250Upper[128] = {
    0xFFFF, 0xFFFE, 0x201A, 0xFFFE, 0x201E, 0x2026, 0x2020, 0x2021,
    0xFFFE, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
    0xFFFE, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFE, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

constexpr CodeTable kIdentityCodes = WithUpperHalf(kIdentityUpper);
constexpr CodeTable kCp1252Codes = WithUpperHalf(kCp1252Upper);
constexpr CodeTable kCp1250Codes = WithUpperHalf(kCp1250Upper);
static_assert(kCp1252Codes[0x80] == 0x20AC && kCp1252Codes[0x41] == 0x41);
static_assert(kCp1250Codes[0x80] == 0xFFFF && kCp1250Codes[0xA3] == 0x0141);

// ---- the header tables -----------------------------------------------------------

constexpr std::uint32_t kOutlineTables[] = {
    TableTag("cvt "), TableTag("fpgm"), TableTag("head"), TableTag("hhea"), TableTag("hmtx"),
    TableTag("maxp"), TableTag("prep"), TableTag("vmtx"), TableTag("vhea"),
};
constexpr int kFormat15TableCount = 7;
constexpr int kFormat16TableCount = 9;
constexpr std::uint32_t kMaxSegmentBytes = 65536;

constexpr std::size_t kOutlineHeaderSize = 72;
constexpr std::size_t kBitmapHeaderSize = 68;
constexpr std::size_t kPcltSize = 54;   // the whole PCLT table (every field used lies inside it)
constexpr std::size_t kHeadSize = 54;
constexpr std::size_t kOs2PanoseSize = 78;
constexpr std::uint32_t kMaxpSize = 32;

// Composite glyphs: components of components are followed this deep, and
// one character sends at most this many glyphs.
constexpr int kMaxCompositeDepth = 8;
constexpr int kMaxGlyphsPerCharacter = 64;

constexpr std::uint32_t kBitmapChunk = 16384;
constexpr std::uint32_t kComponentCode = 65535;

// ---- small helpers ---------------------------------------------------------------

bool Written(const PclPdev* pdev) { return (pdev->flags & kFlagAborted) == 0; }

TextState& Text(PclPdev* pdev) { return pdev->hpglState.text; }

bool WideRun(const TextState& text) { return text.doubleByte != 0 || text.notAnsi != 0; }

int Dpi(const PclPdev* pdev) { return PublicDevmode(pdev)->dmPrintQuality; }

std::span<const BYTE> FontFile(const SoftFontEntry* entry) {
  if (entry->fontFile == nullptr) return {};
  return {entry->fontFile, entry->fontFileSize};
}

bool LocateDirectory(const SoftFontEntry* entry, std::uint32_t* directory) {
  const std::span<const BYTE> file = FontFile(entry);
  const std::uint32_t count = CollectionFontCount(file);
  return LocateOffsetTable(file, CollectionFontFor(count, entry->face, entry->fixedPitch != 0),
                           directory);
}

bool Marked(SoftFontEntry* entry, std::uint32_t code) {
  if (code / 8 >= entry->bitmapBytes) return true;  // no such code in this list
  return (DownloadedCodes(entry)[code / 8] & (1u << (code % 8))) != 0;
}

void Mark(SoftFontEntry* entry, std::uint32_t code) {
  if (code / 8 < entry->bitmapBytes) DownloadedCodes(entry)[code / 8] |= static_cast<BYTE>(1u << (code % 8));
}

// One character through the system code page: 1 or 2 bytes.
int ToMultiByte(WCHAR c, BYTE out[2]) {
  char bytes[2] = {0, 0};
  ULONG count = 0;
  WCHAR unit = c;
  EngUnicodeToMultiByteN(bytes, 2, &count, &unit, sizeof(WCHAR));
  out[0] = static_cast<BYTE>(bytes[0]);
  out[1] = static_cast<BYTE>(bytes[1]);
  return count >= 2 ? 2 : 1;
}

// A raw code as two bytes: 128 + the slot of its high byte, then its low
// byte. False when every slot is taken by other high bytes.
bool RawCode(SoftFontEntry* entry, WCHAR c, std::uint32_t* code) {
  const BYTE high = static_cast<BYTE>(c >> 8);
  std::uint32_t slot = 0;
  while (slot < entry->firstByteCount && entry->firstBytes[slot] != high) ++slot;
  if (slot == entry->firstByteCount) {
    if (slot >= sizeof(entry->firstBytes)) return false;
    entry->firstBytes[slot] = high;
    ++entry->firstByteCount;
  }
  *code = ((128 + slot) << 8) | (c & 0xFFu);
  return true;
}

// The code a character of a double-byte or not-ANSI run is downloaded and
// printed with; raw codes are rewritten in the run.
bool WideCode(SoftFontEntry* entry, const TextState& text, WCHAR& c, std::uint32_t* code) {
  if (text.rawCodes) {
    if (!RawCode(entry, c, code)) return false;
    c = static_cast<WCHAR>(*code);
    return true;
  }
  BYTE bytes[2];
  *code = ToMultiByte(c, bytes) == 2 ? (std::uint32_t{bytes[0]} << 8) | bytes[1] : bytes[0];
  return true;
}

int WriteCharacterCode(PclPdev* pdev, std::uint32_t code) {
  return WriteFormatted(pdev, "\x1b*c%dE", code) >= 0;
}

// The font's family name narrowed to 8 bits.
void EntryName(const IFIMETRICS* ifi, char* name, std::size_t bound) {
  std::memset(name, 0, bound);
  if (ifi == nullptr || ifi->dpwszFamilyName <= 0 ||
      static_cast<ULONG>(ifi->dpwszFamilyName) >= ifi->cjThis) {
    return;
  }
  const auto* family = reinterpret_cast<const WCHAR*>(reinterpret_cast<const BYTE*>(ifi) +
                                                      ifi->dpwszFamilyName);
  const std::size_t limit = (ifi->cjThis - static_cast<ULONG>(ifi->dpwszFamilyName)) / sizeof(WCHAR);
  for (std::size_t i = 0; i + 1 < bound && i < limit && family[i] != 0; ++i) {
    name[i] = static_cast<char>(family[i] & 0xFF);
  }
}

// L(v): the length in pixels of the font transform of (0, v).
std::int32_t MetricLength(FONTOBJ* font, LONG v) {
  XFORMOBJ* xform = FONTOBJ_pxoGetXform(font);
  POINTL in{0, v};
  POINTL out{0, 0};
  if (xform == nullptr || !XFORMOBJ_bApplyXform(xform, XF_LTOL, 1, &in, &out)) return 0;
  return static_cast<std::int32_t>(IntegerHypot(out.x, out.y));
}

void Put16(BYTE* p, std::int64_t value) { StoreU16BE(p, static_cast<std::uint16_t>(value)); }

std::uint32_t ByteSum(std::span<const BYTE> bytes) {
  std::uint32_t sum = 0;
  for (BYTE b : bytes) sum += b;
  return sum;
}

BYTE ChecksumByte(std::uint32_t sum) { return static_cast<BYTE>((256 - (sum & 0xFF)) & 0xFF); }

// ---- outline headers -------------------------------------------------------------

// Everything of an outline header but the table data, which is sent
// straight from the font file.
struct OutlinePlan {
  BYTE header[kOutlineHeaderSize] = {};
  BYTE lead[256] = {};  // the segments up to the table data
  std::uint32_t leadSize = 0;
  std::span<const BYTE> tables[kFormat16TableCount];
  int tableCount = 0;
  std::uint32_t segmentBytes = 0;  // everything after the 72-byte header
  BYTE checksum = 0;
};

constexpr std::uint32_t Padded(std::size_t length) {
  return static_cast<std::uint32_t>((length + 3) & ~std::size_t{3});
}

// Appends a segment's identifier and size.
BYTE* PutSegment(BYTE* at, const char id[2], std::uint32_t size, bool wide) {
  at[0] = static_cast<BYTE>(id[0]);
  at[1] = static_cast<BYTE>(id[1]);
  if (wide) {
    StoreU32BE(at + 2, size);
    return at + 6;
  }
  StoreU16BE(at + 2, static_cast<std::uint16_t>(size));
  return at + 4;
}

bool PlanOutlineHeader(PclPdev* pdev, FONTOBJ* font, SoftFontEntry* entry, bool wide,
                       OutlinePlan* plan) {
  const TextState& text = Text(pdev);
  if (!wide && (text.charSet == 128 || text.charSet == 129 || text.charSet == 136)) return false;
  const std::span<const BYTE> file = FontFile(entry);
  std::uint32_t directory = 0;
  if (file.empty() || !LocateDirectory(entry, &directory)) return false;

  // The tables the header carries: a damaged one fails the header, a
  // missing one keeps its entry without data.
  plan->tableCount = wide ? kFormat16TableCount : kFormat15TableCount;
  std::uint64_t data = 0;
  for (int i = 0; i < plan->tableCount; ++i) {
    TableSpan table;
    const TableState state = FindTable(file, directory, kOutlineTables[i], &table);
    if (state == TableState::Damaged) return false;
    plan->tables[i] = state == TableState::Present ? file.subspan(table.offset, table.length)
                                                   : std::span<const BYTE>{};
    data += Padded(plan->tables[i].size());
  }
  // The characters need these; a font without them sound goes as bitmaps.
  for (std::uint32_t tag : {TableTag("cmap"), TableTag("loca"), TableTag("glyf")}) {
    TableSpan table;
    if (FindTable(file, directory, tag, &table) != TableState::Present) return false;
  }
  BYTE head[kHeadSize];
  if (GetTrueTypeTable(file, directory, TableTag("head"), 0, head, kHeadSize) != kHeadSize) {
    return false;
  }
  const std::uint32_t entries = static_cast<std::uint32_t>(plan->tableCount) + 1;
  const std::uint64_t size = std::uint64_t{kDirectoryEntrySize} * entries + data + (wide ? 74 : 36);
  if (size >= kMaxSegmentBytes) return false;

  BYTE maxp[kMaxpSize];
  if (GetTrueTypeTable(file, directory, TableTag("maxp"), 0, maxp, kMaxpSize) == kMaxpSize) {
    entry->glyphCount = LoadU16BE(maxp + 4);
  }
  entry->locaFormat = LoadI16BE(head + 50);

  // The 72-byte header.
  const IFIMETRICS* ifi = FONTOBJ_pifi(font);
  BYTE pclt[kPcltSize];
  const bool hasPclt =
      GetTrueTypeTable(file, directory, TableTag("PCLT"), 0, pclt, kPcltSize) == kPcltSize;
  const std::uint16_t unitsPerEm = LoadU16BE(head + 18);
  const std::int16_t xMin = LoadI16BE(head + 36), yMin = LoadI16BE(head + 38);
  const std::int16_t xMax = LoadI16BE(head + 40), yMax = LoadI16BE(head + 42);
  BYTE* h = plan->header;
  Put16(h + 0, kOutlineHeaderSize);
  h[2] = wide ? 16 : 15;
  h[3] = wide ? 3 : 2;
  h[4] = wide ? 3 : 0;
  Put16(h + 8, xMax - xMin);
  Put16(h + 10, yMax - yMin);
  h[13] = 1;
  Put16(h + 14, wide ? 619 : 1);
  h[23] = wide ? 224 : 0;
  Put16(h + 38, wide ? 65535 : 255);
  if (hasPclt) {
    std::memcpy(h + 16, pclt + 8, 2);   // pitch
    std::memcpy(h + 20, pclt + 10, 2);  // x-height
    h[24] = pclt[50];                   // stroke weight
    h[25] = pclt[15];                   // type family, low byte
    h[26] = pclt[14];
    h[27] = pclt[52];                   // serif style
    std::memcpy(h + 42, pclt + 16, 2);  // cap height
    std::memcpy(h + 44, pclt + 4, 4);   // font number
  } else {
    if (ifi != nullptr) {
      Put16(h + 16, ifi->fwdAveCharWidth);
      Put16(h + 20, ifi->fwdXHeight);
      Put16(h + 42, ifi->fwdCapHeight);
    }
    h[25] = wide ? static_cast<BYTE>((entry->mode >> 8) - 24) : 255;
    h[26] = wide ? 240 : 0;
  }
  std::memcpy(h + 48, entry->name, 16);
  Put16(h + 64, unitsPerEm);
  Put16(h + 66, -(unitsPerEm / 5));
  Put16(h + 68, unitsPerEm / 20);
  h[70] = 1;

  // The segments before the table data.
  BYTE* at = plan->lead;
  BYTE os2[kOs2PanoseSize];
  if (GetTrueTypeTable(file, directory, TableTag("OS/2"), 0, os2, kOs2PanoseSize) ==
      kOs2PanoseSize) {
    at = PutSegment(at, "PA", 10, wide);
    std::memcpy(at, os2 + 32, 10);
    at += 10;
  }
  if (wide) {
    at = PutSegment(at, "GC", 12, wide);
    for (std::uint16_t v : {0, 65535, 1, 0, 65534, 65535}) {
      StoreU16BE(at, v);
      at += 2;
    }
    at = PutSegment(at, "CE", 8, wide);
    for (std::uint16_t v : {0, 2, 65535, 0}) {
      StoreU16BE(at, v);
      at += 2;
    }
  }
  const std::uint32_t directoryBytes = kOffsetTableSize + kDirectoryEntrySize * entries;
  at = PutSegment(at, "GT", directoryBytes + static_cast<std::uint32_t>(data), wide);
  // The offset table, its search fields for the entries sent.
  std::memcpy(at, file.data() + directory, kOffsetTableSize);
  std::uint16_t selector = 0;
  while ((2u << selector) <= entries) ++selector;
  StoreU16BE(at + 4, static_cast<std::uint16_t>(entries));
  StoreU16BE(at + 6, static_cast<std::uint16_t>(kDirectoryEntrySize << selector));
  StoreU16BE(at + 8, selector);
  StoreU16BE(at + 10, static_cast<std::uint16_t>(kDirectoryEntrySize * entries -
                                                 (kDirectoryEntrySize << selector)));
  at += kOffsetTableSize;
  StoreU32BE(at, TableTag("gdir"));
  std::memset(at + 4, 0, 12);
  at += kDirectoryEntrySize;
  std::uint32_t offset = directoryBytes;
  std::uint32_t sum = 0;
  for (int i = 0; i < plan->tableCount; ++i) {
    const std::span<const BYTE> table = plan->tables[i];
    StoreU32BE(at, kOutlineTables[i]);
    StoreU32BE(at + 4, table.empty() ? 0 : TableChecksum(table));
    StoreU32BE(at + 8, table.empty() ? 0 : offset);
    StoreU32BE(at + 12, static_cast<std::uint32_t>(table.size()));
    at += kDirectoryEntrySize;
    offset += Padded(table.size());
    sum += ByteSum(table);
  }
  plan->leadSize = static_cast<std::uint32_t>(at - plan->lead);
  plan->segmentBytes = plan->leadSize + static_cast<std::uint32_t>(data) + (wide ? 6 : 4) + 2;
  sum += ByteSum({h + 64, 8}) + ByteSum({plan->lead, plan->leadSize}) + 0xFF + 0xFF;
  plan->checksum = ChecksumByte(sum);
  return true;
}

// ---- glyph data ------------------------------------------------------------------

// The cmap subtable and loca/glyf tables of a font, located once per run.
struct GlyphSource {
  std::span<const BYTE> loca;
  std::span<const BYTE> glyf;
  std::int16_t locaFormat = 0;
  std::span<const BYTE> cmap;  // the subtable used, cut at the end of its table
  std::uint16_t cmapFormat = 0xFFFF;
  std::uint16_t cmapEncoding = 0;
  const CodeTable* translation = nullptr;
};

bool OpenGlyphSource(const SoftFontEntry* entry, std::uint8_t charSet, bool wide,
                     GlyphSource* source) {
  const std::span<const BYTE> file = FontFile(entry);
  std::uint32_t directory = 0;
  if (file.empty() || !LocateDirectory(entry, &directory)) return false;
  source->loca = TableBytes(file, directory, TableTag("loca"));
  source->glyf = TableBytes(file, directory, TableTag("glyf"));
  source->locaFormat = entry->locaFormat;
  const std::span<const BYTE> cmap = TableBytes(file, directory, TableTag("cmap"));
  if (cmap.size() >= 4) {
    // The first Windows encoding, else the last one listed.
    const std::size_t listed = LoadU16BE(cmap.data() + 2);
    const std::size_t records = std::min(listed, (cmap.size() - 4) / 8);
    std::size_t chosen = records;
    for (std::size_t i = 0; i < records && chosen == records; ++i) {
      if (LoadU16BE(cmap.data() + 4 + 8 * i) == 3) chosen = i;
    }
    if (chosen == records && records > 0) chosen = records - 1;
    if (chosen < records) {
      const BYTE* record = cmap.data() + 4 + 8 * chosen;
      const std::uint32_t offset = LoadU32BE(record + 4);
      if (offset < cmap.size() && cmap.size() - offset >= 4) {
        source->cmap = cmap.subspan(offset);
        source->cmapFormat = LoadU16BE(source->cmap.data());
        source->cmapEncoding = LoadU16BE(record + 2);
        // Format 4 arrays are sized by their segment count (large subtables
        // carry a wrapped length); the byte array form ends at its length.
        const std::size_t length = LoadU16BE(source->cmap.data() + 2);
        if (source->cmapFormat != 4 && length < source->cmap.size()) {
          source->cmap = source->cmap.first(length);
        }
      }
    }
  }
  if (source->cmapFormat == 4 && !wide) {
    if (source->cmapEncoding != 1 || charSet == 2) {
      source->translation = &kIdentityCodes;
    } else {
      source->translation = charSet == 238 ? &kCp1250Codes : &kCp1252Codes;
    }
  }
  return true;
}

std::uint16_t GlyphFromFormat4(std::span<const BYTE> table, std::uint32_t value) {
  if (value == 0 || table.size() < 14) return 0;
  const BYTE* t = table.data();
  const std::size_t segments = LoadU16BE(t + 6) / 2;
  const std::size_t ends = 14, starts = 16 + 2 * segments, deltas = 16 + 4 * segments,
                    ranges = 16 + 6 * segments;
  if (segments == 0 || ranges + 2 * segments > table.size()) return 0;
  value |= static_cast<std::uint32_t>(LoadU16BE(t + ends) & 0xFF00);
  const std::size_t first = LoadU16BE(t + ends) == 0 ? 1 : 0;
  for (std::size_t i = first; i < segments; ++i) {
    const std::uint16_t end = LoadU16BE(t + ends + 2 * i);
    if (end < value) continue;
    const std::uint16_t start = LoadU16BE(t + starts + 2 * i);
    if (end == 0xFFFF || start > value) return 0;
    const std::uint16_t delta = LoadU16BE(t + deltas + 2 * i);
    const std::uint16_t range = LoadU16BE(t + ranges + 2 * i);
    if (range == 0) return static_cast<std::uint16_t>(value + delta);
    const std::size_t at = ranges + 2 * i + range + 2 * std::size_t{value - start};
    if (at + 2 > table.size()) return 0;
    const std::uint16_t glyph = LoadU16BE(t + at);
    return glyph == 0 ? 0 : static_cast<std::uint16_t>(glyph + delta);
  }
  return 0;
}

std::uint16_t GlyphIndex(const GlyphSource& source, std::uint32_t value) {
  if (source.cmap.empty()) return 0;
  if (source.cmapFormat == 4) return GlyphFromFormat4(source.cmap, value);
  // Any other form is read as the byte array of the first form.
  const std::size_t at = std::size_t{6} + value;
  return at < source.cmap.size() ? source.cmap[at] : 0;
}

// Where a glyph's data lies in glyf; false for a glyph the tables do not hold.
bool GlyphData(const GlyphSource& source, std::uint32_t glyph, std::span<const BYTE>* data) {
  std::uint64_t start = 0, end = 0;
  if (source.locaFormat == 0) {
    if ((std::uint64_t{glyph} + 2) * 2 > source.loca.size()) return false;
    start = 2 * std::uint64_t{LoadU16BE(source.loca.data() + 2 * std::size_t{glyph})};
    end = 2 * std::uint64_t{LoadU16BE(source.loca.data() + 2 * std::size_t{glyph} + 2)};
  } else {
    if ((std::uint64_t{glyph} + 2) * 4 > source.loca.size()) return false;
    start = LoadU32BE(source.loca.data() + 4 * std::size_t{glyph});
    end = LoadU32BE(source.loca.data() + 4 * std::size_t{glyph} + 4);
  }
  if (end < start || end > source.glyf.size()) return false;
  *data = source.glyf.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
  return true;
}

// The glyphs one character has sent: a composite's components are sent
// once each, and never the glyph that contains them.
struct SentGlyphs {
  std::uint16_t glyphs[kMaxGlyphsPerCharacter];
  int count = 0;
  bool Has(std::uint16_t glyph) const {
    return std::find(glyphs, glyphs + count, glyph) != glyphs + count;
  }
};

// Sends glyph `glyph` as character `code` (format 15 descriptor), then the
// components of a composite glyph as code 65535. False only when a write fails.
bool DownloadGlyph(PclPdev* pdev, const GlyphSource& source, std::uint16_t glyph,
                   std::uint32_t code, int depth, SentGlyphs* sent) {
  if (sent->count >= kMaxGlyphsPerCharacter) return true;
  sent->glyphs[sent->count++] = glyph;
  std::span<const BYTE> data;
  if (!GlyphData(source, glyph, &data) || data.empty()) return true;
  // The descriptor's data size is 16 bits.
  if (data.size() > 0xFFFF - 4) return true;
  const std::uint32_t length = static_cast<std::uint32_t>(data.size());
  BYTE descriptor[8] = {15, 0, 2, 15, 0, 0, 0, 0};
  StoreU16BE(descriptor + 4, static_cast<std::uint16_t>(length + 4));
  StoreU16BE(descriptor + 6, glyph);
  const BYTE tail[2] = {0, ChecksumByte(ByteSum({descriptor + 4, 4}) + ByteSum(data))};
  LeaveHpgl2(pdev);
  WriteCharacterCode(pdev, code);
  WriteFormatted(pdev, "\x1b(s%dW", length + 10);
  WriteBytes(pdev, descriptor, sizeof(descriptor));
  WriteBytes(pdev, data.data(), length);
  if (!WriteBytes(pdev, tail, sizeof(tail)) || !Written(pdev)) return false;

  if (length < 10 || LoadI16BE(data.data()) >= 0) return true;
  // A composite: flags, glyph index, two arguments, optional scale.
  std::size_t at = 10;
  for (;;) {
    if (at + 4 > length) break;
    const std::uint16_t flags = LoadU16BE(data.data() + at);
    const std::uint16_t component = LoadU16BE(data.data() + at + 2);
    if (depth < kMaxCompositeDepth && !sent->Has(component) &&
        !DownloadGlyph(pdev, source, component, kComponentCode, depth + 1, sent)) {
      return false;
    }
    at += 4 + ((flags & 0x1) ? 4 : 2);
    if (flags & 0x8) {
      at += 2;
    } else if (flags & 0x40) {
      at += 4;
    } else if (flags & 0x80) {
      at += 8;
    }
    if (!(flags & 0x20)) break;
  }
  return true;
}

// ---- the list --------------------------------------------------------------------

bool OutlineWanted(PclPdev* pdev, FONTOBJ* font) {
  const TextState& text = Text(pdev);
  if (!(font->flFontType & FO_TYPE_TRUETYPE)) return false;
  if (Dm(pdev, DmField("trueTypeDownload")) != 1 || Dm(pdev, DmField("trueTypeMethod")) != 0) {
    return false;
  }
  if (font->flFontType & (FO_SIM_BOLD | FO_SIM_ITALIC | FO_POSTSCRIPT)) return false;
  XFORMOBJ* xform = FONTOBJ_pxoGetXform(font);
  XFORML m{};
  if (xform == nullptr || XFORMOBJ_iGetXform(xform, &m) == DDI_ERROR) return false;
  if (m.eM11 != m.eM22 || m.eM12 != -m.eM21) return false;
  return text.rawCodes == 0 && text.notAnsi != 1;
}

void FreeList(SoftFontEntry* entry) {
  while (entry != nullptr) {
    SoftFontEntry* next = entry->next;
    EngFreeMem(entry);
    entry = next;
  }
}

}  // namespace

// ---- the cache -------------------------------------------------------------------

SoftFontEntry* FindSoftFont(PclPdev* pdev, FONTOBJ* font, std::int32_t height,
                            std::int32_t widthKey, bool outline) {
  const TextState& text = Text(pdev);
  const int list = WideRun(text) ? kDoubleByteList : kSingleByteList;
  const std::uint16_t raw = text.rawCodes ? 1 : 0;
  const FLONG simulated = font->flFontType & (FO_SIM_BOLD | FO_SIM_ITALIC);
  int count = 0;
  int outlines = 0;
  SoftFontEntry* last = nullptr;
  for (SoftFontEntry* entry = pdev->softFonts[list]; entry != nullptr; entry = entry->next) {
    ++count;
    last = entry;
    if ((entry->flags & (kSoftFontOutline | kSoftFontHeaderPending)) == kSoftFontOutline) {
      ++outlines;
    }
    if ((entry->mode & 1) != raw || entry->iUniq != font->iUniq) continue;
    if ((entry->flags & kSoftFontOutline) && outline) {
      ULONG size = 0;
      entry->fontFile = static_cast<const BYTE*>(FONTOBJ_pvTrueTypeFontFile(font, &size));
      entry->fontFileSize = entry->fontFile != nullptr ? size : 0;
      return entry;
    }
    if (entry->height == height && entry->widthKey == widthKey &&
        (entry->flFontType & (FO_SIM_BOLD | FO_SIM_ITALIC)) == simulated) {
      return entry;
    }
  }
  if (count > kMaxSoftFontsPerList) {
    DeleteSoftFonts(pdev, list);
    count = outlines = 0;
    last = nullptr;
  }
  const std::uint32_t bitmapBytes = list == kSingleByteList ? 256 / 8 : 65536 / 8;
  auto* entry = static_cast<SoftFontEntry*>(
      EngAllocMem(FL_ZERO_MEMORY, static_cast<ULONG>(sizeof(SoftFontEntry) + bitmapBytes), kEntryTag));
  if (entry == nullptr) return nullptr;
  entry->iUniq = font->iUniq;
  entry->iTTUniq = font->iTTUniq;
  entry->flFontType = font->flFontType;
  entry->id = (list == kSingleByteList ? kFirstSingleByteFontId : kFirstDoubleByteFontId) + count;
  const IFIMETRICS* ifi = FONTOBJ_pifi(font);
  EntryName(ifi, entry->name, sizeof(entry->name));
  entry->flags = kSoftFontHeaderPending | (outline ? kSoftFontOutline : 0);
  ULONG size = 0;
  entry->fontFile = static_cast<const BYTE*>(FONTOBJ_pvTrueTypeFontFile(font, &size));
  entry->fontFileSize = entry->fontFile != nullptr ? size : 0;
  entry->face = font->iFace;
  entry->fixedPitch = ifi != nullptr && (ifi->jWinPitchAndFamily & 1) ? 1 : 0;
  entry->height = height;
  entry->widthKey = widthKey;
  entry->mode = static_cast<std::uint16_t>(raw | (outline ? (outlines + 1) << 8 : 0));
  entry->bitmapBytes = bitmapBytes;
  if (last != nullptr) {
    last->next = entry;
  } else {
    pdev->softFonts[list] = entry;
  }
  return entry;
}

void DeleteSoftFonts(PclPdev* pdev, int list) {
  if (pdev == nullptr || (list != kSingleByteList && list != kDoubleByteList)) return;
  SoftFontEntry* entry = pdev->softFonts[list];
  if (entry == nullptr) return;
  LeaveHpgl2(pdev);
  TextState& text = Text(pdev);
  for (; entry != nullptr;) {
    SoftFontEntry* next = entry->next;
    WriteFormatted(pdev, "\x1b*c%dd2F", entry->id);
    // The printer no longer has the font in force; the next use selects again.
    if (entry->id == text.softFontId) text.softFontId = text.softFontHeight = 0;
    EngFreeMem(entry);
    entry = next;
  }
  pdev->softFonts[list] = nullptr;
}

void FreeSoftFonts(PclPdev* pdev) {
  if (pdev == nullptr) return;
  for (SoftFontEntry*& list : pdev->softFonts) {
    FreeList(list);
    list = nullptr;
  }
}

void MoveSoftFonts(PclPdev* from, PclPdev* to) {
  if (from == nullptr || to == nullptr || from == to) return;
  FreeSoftFonts(to);
  for (int list = 0; list < 2; ++list) {
    to->softFonts[list] = from->softFonts[list];
    from->softFonts[list] = nullptr;
  }
}

void ForgetDownloadedCharacters(PclPdev* pdev) {
  if (pdev == nullptr) return;
  for (SoftFontEntry* list : pdev->softFonts) {
    for (SoftFontEntry* entry = list; entry != nullptr; entry = entry->next) {
      entry->flags |= kSoftFontHeaderPending;
      std::memset(DownloadedCodes(entry), 0, entry->bitmapBytes);
    }
  }
  Text(pdev).softFontId = 0;
  Text(pdev).softFontHeight = 0;
}

// ---- headers ---------------------------------------------------------------------

BOOL WriteOutlineHeader(PclPdev* pdev, FONTOBJ* font, SoftFontEntry* entry, bool doubleByte) {
  OutlinePlan plan;
  if (!PlanOutlineHeader(pdev, font, entry, doubleByte, &plan)) return FALSE;
  static constexpr BYTE kZeros[4] = {0, 0, 0, 0};
  LeaveHpgl2(pdev);
  WriteFormatted(pdev, "\x1b*c%dD", entry->id);
  WriteFormatted(pdev, "\x1b)s%dW", kOutlineHeaderSize + plan.segmentBytes);
  WriteBytes(pdev, plan.header, kOutlineHeaderSize);
  WriteBytes(pdev, plan.lead, plan.leadSize);
  for (int i = 0; i < plan.tableCount; ++i) {
    const std::span<const BYTE> table = plan.tables[i];
    WriteBytes(pdev, table.data(), static_cast<std::uint32_t>(table.size()));
    WriteBytes(pdev, kZeros, Padded(table.size()) - static_cast<std::uint32_t>(table.size()));
  }
  BYTE end[8] = {0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
  const std::uint32_t endSize = doubleByte ? 6 : 4;
  end[endSize + 1] = plan.checksum;
  WriteBytes(pdev, end, endSize + 2);
  return Written(pdev) ? TRUE : FALSE;
}

BOOL WriteBitmapHeader(PclPdev* pdev, FONTOBJ* font, SoftFontEntry* entry, bool doubleByte) {
  const IFIMETRICS* ifi = FONTOBJ_pifi(font);
  const int dpi = Dpi(pdev);
  const std::int32_t height = entry->height;
  BYTE h[90] = {};
  Put16(h + 0, doubleByte ? kOutlineHeaderSize : kBitmapHeaderSize);
  h[2] = doubleByte ? 16 : 20;
  h[3] = doubleByte ? 3 : 2;
  if (ifi != nullptr) {
    Put16(h + 6, MetricLength(font, ifi->fwdWinAscender));
    Put16(h + 8, MetricLength(font, ifi->fwdMaxCharInc));
    Put16(h + 16, 4 * MetricLength(font, ifi->fwdAveCharWidth));
  }
  Put16(h + 10, height + 2);
  h[13] = 1;
  Put16(h + 14, doubleByte ? 619 : 629);
  Put16(h + 18, 4 * height);
  Put16(h + 20, 3 * height);
  h[25] = 254;
  Put16(h + 38, doubleByte ? 65535 : (ifi != nullptr ? ifi->chLastChar : 255));
  std::memcpy(h + 48, entry->name, 16);
  std::uint32_t size = kBitmapHeaderSize;
  if (doubleByte) {
    h[70] = 254;
    BYTE* at = PutSegment(h + kOutlineHeaderSize, "BR", 4, true);
    Put16(at, dpi);
    Put16(at + 2, dpi);
    at += 4;
    at = PutSegment(at, "\xFF\xFF", 0, true);
    at[0] = 0;
    at[1] = ChecksumByte(ByteSum({h + 64, static_cast<std::size_t>(at + 1 - (h + 64))}));
    size = static_cast<std::uint32_t>(at + 2 - h);
  } else {
    Put16(h + 64, dpi);
    Put16(h + 66, dpi);
  }
  LeaveHpgl2(pdev);
  WriteFormatted(pdev, "\x1b*c%dD", entry->id);
  WriteFormatted(pdev, "\x1b)s%dW", size);
  WriteBytes(pdev, h, size);
  return Written(pdev) ? TRUE : FALSE;
}

// ---- characters ------------------------------------------------------------------

BOOL DownloadOutlineGlyphs(PclPdev* pdev, SoftFontEntry* entry, std::span<WCHAR> codes) {
  const TextState& text = Text(pdev);
  const bool wide = WideRun(text);
  GlyphSource source;
  if (!OpenGlyphSource(entry, text.charSet, wide, &source)) return FALSE;
  for (WCHAR& c : codes) {
    const WCHAR unicode = c;
    std::uint32_t code = 0;
    std::uint32_t lookup = 0;
    if (!wide) {
      bool untranslated = false;
      if (c > 255) {
        BYTE bytes[2];
        ToMultiByte(c, bytes);
        if (bytes[0] == '?') {
          code = c & 0xFFu;
          lookup = c;
          c = static_cast<WCHAR>(code);
          untranslated = true;
        } else {
          code = bytes[0];
        }
      } else {
        code = c;
      }
      if (!untranslated) {
        lookup = source.translation != nullptr ? (*source.translation)[code] : code;
      }
    } else {
      if (!WideCode(entry, text, c, &code)) continue;
      lookup = source.cmapFormat == 4 && source.cmapEncoding != 2 ? unicode : code;
    }
    if (Marked(entry, code)) continue;
    if (code == 32) {
      Mark(entry, code);
      continue;
    }
    const std::uint16_t glyph = GlyphIndex(source, lookup);
    if (glyph == 0 && wide) return FALSE;
    SentGlyphs sent;
    if (!DownloadGlyph(pdev, source, glyph, code, 0, &sent)) return FALSE;
    Mark(entry, code);
  }
  return TRUE;
}

BOOL DownloadBitmapGlyphs(PclPdev* pdev, FONTOBJ* font, SoftFontEntry* entry,
                          std::span<const GLYPHPOS> glyphs, ULONG charInc,
                          std::span<WCHAR> codes) {
  const TextState& text = Text(pdev);
  const bool wide = WideRun(text);
  const std::size_t n = std::min(glyphs.size(), codes.size());
  for (std::size_t i = 0; i < n; ++i) {
    WCHAR& c = codes[i];
    std::uint32_t code = 0;
    if (wide) {
      if (!WideCode(entry, text, c, &code)) continue;
    } else if (c > 255) {
      BYTE bytes[2];
      ToMultiByte(c, bytes);
      code = bytes[0] == '?' ? (c & 0xFFu) : bytes[0];
    } else {
      code = c;
    }
    if (Marked(entry, code)) continue;
    HGLYPH handle = glyphs[i].hg;
    PVOID result = nullptr;
    if (FONTOBJ_cGetGlyphs(font, FO_GLYPHBITS, 1, &handle, &result) != 1 || result == nullptr) {
      continue;
    }
    const auto* data = static_cast<const GLYPHDATA*>(result);
    const GLYPHBITS* bits = data->gdf.pgb;
    if (bits == nullptr) continue;
    LONG width = bits->sizlBitmap.cx, height = bits->sizlBitmap.cy;
    POINTL origin = bits->ptlOrigin;
    static constexpr BYTE kBlankRow[1] = {0};
    const BYTE* rows = bits->aj;
    if ((width <= 0 || height <= 0) && code > 255) {
      // A blank two-byte character (a space in a raw-code run) still moves
      // the cursor: the printer's own space rule covers code 32 only, so it
      // goes as one white dot with its advance.
      width = height = 1;
      origin = POINTL{0, 0};
      rows = kBlankRow;
    }
    if (width <= 0 || height <= 0 || width > 0xFFFF || height > 0xFFFF) continue;
    // The printer moves its cursor across the page by the character's
    // advance: what the run moves along x (a turned run's images are turned
    // already, and its characters are placed one by one along y).
    std::int64_t advance = 0;
    if (charInc != 0) {
      advance = charInc;
    } else if (i + 1 < glyphs.size()) {
      advance = std::int64_t{glyphs[i + 1].ptl.x} - glyphs[i].ptl.x;
    } else {
      // The last glyph: its own advance vector's x, from 32.32.
      advance = (data->ptqD.x + (std::int64_t{1} << 31)) >> 32;
    }
    const std::int64_t deltaX = std::clamp<std::int64_t>(4 * advance, -32768, 32767);

    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) + 7) / 8;
    const std::uint64_t total = rowBytes * static_cast<std::uint64_t>(height);
    BYTE descriptor[16] = {4, 0, 14, 1, 0, 0};
    Put16(descriptor + 6, origin.x);
    Put16(descriptor + 8, -static_cast<std::int64_t>(origin.y));
    Put16(descriptor + 10, width);
    Put16(descriptor + 12, height);
    Put16(descriptor + 14, deltaX);
    LeaveHpgl2(pdev);
    WriteCharacterCode(pdev, code);
    Mark(entry, code);
    std::uint32_t chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, kBitmapChunk));
    WriteFormatted(pdev, "\x1b(s%dW", 16 + chunk);
    WriteBytes(pdev, descriptor, sizeof(descriptor));
    WriteBytes(pdev, rows, chunk);
    for (std::uint64_t sent = chunk; sent < total; sent += chunk) {
      static constexpr BYTE kContinuation[2] = {4, 1};
      chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(total - sent, kBitmapChunk));
      WriteFormatted(pdev, "\x1b(s%dW", 2 + chunk);
      WriteBytes(pdev, kContinuation, sizeof(kContinuation));
      WriteBytes(pdev, rows + sent, chunk);
    }
    if (!Written(pdev)) return FALSE;
  }
  return TRUE;
}

// ---- selecting the font of a run ---------------------------------------------------

BOOL SelectSoftFont(PclPdev* pdev, FONTOBJ* font, std::span<const GLYPHPOS> glyphs,
                    ULONG charInc, std::int32_t height, std::int32_t widthKey,
                    std::span<WCHAR> codes) {
  if (pdev == nullptr || font == nullptr) return FALSE;
  TextState& text = Text(pdev);
  const bool wide = WideRun(text);
  const bool outline = OutlineWanted(pdev, font);
  SoftFontEntry* entry = FindSoftFont(pdev, font, height, widthKey, outline);
  if (entry == nullptr) return FALSE;

  if (entry->flags & kSoftFontHeaderPending) {
    // A font sent again keeps the kind it was first sent as.
    const bool tryOutline =
        (entry->flags & kSoftFontSentBefore) ? (entry->flags & kSoftFontOutline) != 0 : outline;
    const bool asOutline = tryOutline && WriteOutlineHeader(pdev, font, entry, wide);
    if (!asOutline) WriteBitmapHeader(pdev, font, entry, wide);
    entry->flags = static_cast<std::uint16_t>(kSoftFontSentBefore | (asOutline ? kSoftFontOutline : 0));
    entry->height = height;
    entry->widthKey = widthKey;
  }

  const bool isOutline = (entry->flags & kSoftFontOutline) != 0;
  if (!isOutline) {
    text.scalable = 0;
    text.softFontHeight = 0;
  } else {
    text.scalable = 1;
    if (height != text.softFontHeight) {
      char size[16] = {};
      FormatHundredths(PointSizeHundredths(height, Dpi(pdev)), size);
      LeaveHpgl2(pdev);
      WriteFormatted(pdev, "\x1b(s%sV", size);
      text.softFontHeight = height;
      text.softFontId = 0;
    }
  }

  if (isOutline && wide && height != 0 && entry->name[0] == '@') {
    if (text.verticalPath != 1) {
      LeaveHpgl2(pdev);
      WriteText(pdev, "\x1b&c-1T");
      text.verticalPath = 1;
      text.verticalPathUsed = 1;
    }
  } else if (text.verticalPath != 0) {
    LeaveHpgl2(pdev);
    WriteText(pdev, "\x1b&c0T");
    text.verticalPath = 0;
  }

  if (entry->id != text.softFontId) {
    LeaveHpgl2(pdev);
    WriteFormatted(pdev, "\x1b*c%dD", entry->id);
    WriteFormatted(pdev, "\x1b(%dX", entry->id);
    text.softFontId = entry->id;
    text.typeface = entry->id;
    text.labelFontState = 1;
    pdev->hpglState.lastFontIndex = -1;
    pdev->hpglState.lastFontHeight = -1;
  }

  if (isOutline) {
    DownloadOutlineGlyphs(pdev, entry, codes);
  } else {
    DownloadBitmapGlyphs(pdev, font, entry, glyphs, charInc, codes);
  }
  return Written(pdev) ? TRUE : FALSE;
}

}  // namespace kv5e
