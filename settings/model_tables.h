// The ZT-7700's vocabulary: paper codes, page geometry, paper sources with their
// PCL 5e commands, media types, output bins, binding sides, installed options
// and the model row the interface libraries and defaults read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kvplat/wintypes.h"

namespace kvset {

// ---- paper codes ---------------------------------------------------------------

inline constexpr int kPaperUserSize = 256;     // size from dmPaperLength/dmPaperWidth
inline constexpr int kFirstCustomPaper = 257;  // custom paper i has code 257 + i
inline constexpr int kLastCustomPaper = 306;
inline constexpr int kMaxCustomPapers = kLastCustomPaper - kFirstCustomPaper + 1;  // 50

constexpr bool IsCustomPaperCode(int code) {
  return code >= kFirstCustomPaper && code <= kLastCustomPaper;
}

struct PaperInfo {
  std::int16_t code;
  std::u16string_view name;
  std::uint32_t uiSourceBits;  // 0: not offered by the paper page
  bool known5e;                // the PCL 5e graphics library knows the paper
};

inline constexpr PaperInfo kPapers[] = {
    {1, u"Letter (8.5 x 11 in)", 0xF, true},
    {4, u"Ledger (11 x 17 in)", 0, true},
    {5, u"Legal (8.5 x 14 in)", 0xF, true},
    {6, u"Half Letter (5.5 x 8.5 in)", 0xF, true},
    {7, u"Executive (7.25 x 10.5 in)", 0x3, true},
    {8, u"A3 (297 x 420 mm)", 0, true},
    {9, u"A4 (210 x 297 mm)", 0xF, true},
    {11, u"A5 (148 x 210 mm)", 0xF, true},
    {12, u"B4 (257 x 364 mm)", 0, true},
    {13, u"B5 (182 x 257 mm)", 0, true},
    {14, u"F4 (210 x 330 mm)", 0xF, true},
    {20, u"COM10 (4.125 x 9.5 in)", 0x3, true},
    {27, u"DL (110 x 220 mm)", 0x3, true},
    {37, u"Monarch (3.875 x 7.5 in)", 0x3, true},
    {43, u"Postcard (100 x 148 mm)", 0x3, true},
    {70, u"A6 (105 x148 mm)", 0x3, true},
};
// Source bits of every custom paper (Auto and Bypass Tray only).
inline constexpr std::uint32_t kCustomPaperSourceBits = 0x3;

const PaperInfo* FindPaper(int code);

// ---- page geometry (300-dpi dots) ---------------------------------------------

// Seven words: physical width and height, printable width and height, left and
// top margin, media size code.
struct PaperGeometry {
  std::int32_t physicalWidth;
  std::int32_t physicalHeight;
  std::int32_t printableWidth;
  std::int32_t printableHeight;
  std::int32_t leftMargin;
  std::int32_t topMargin;
  std::int32_t mediaSizeCode;

  friend constexpr bool operator==(const PaperGeometry&, const PaperGeometry&) = default;
};

struct PaperGeometryRow {
  std::int16_t code;
  bool hasGeometry;  // false for 256: computed from the record's length and width
  PaperGeometry portrait;
  PaperGeometry landscape;
};

// Searched in this order; the last row (256) has no geometry.
inline constexpr PaperGeometryRow kPaperGeometry[] = {
    {1, true, {2550, 3300, 2400, 3200, 75, 50, 0}, {3300, 2550, 3150, 2400, 60, 52, 0}},
    {6, true, {1650, 2550, 1500, 2450, 75, 50, 20}, {2550, 1650, 2430, 1546, 60, 52, 20}},
    {5, true, {2550, 4200, 2400, 4100, 75, 50, 1}, {4200, 2550, 4080, 2446, 60, 52, 1}},
    {4, true, {3300, 5100, 3150, 5000, 75, 50, 4}, {5100, 3300, 4980, 3196, 60, 52, 4}},
    {8, true, {3507, 4960, 3357, 4860, 75, 50, 5}, {4960, 3507, 4840, 3407, 60, 50, 5}},
    {9, true, {2480, 3507, 2330, 3407, 75, 50, 2}, {3507, 2480, 3387, 2376, 60, 52, 2}},
    {11, true, {1748, 2480, 1598, 2380, 75, 50, 16}, {2480, 1748, 2360, 1644, 60, 52, 16}},
    {70, true, {1240, 1748, 1090, 1648, 75, 50, 17}, {1748, 1240, 1628, 1136, 60, 52, 17}},
    {12, true, {3035, 4300, 2885, 4200, 75, 50, 10}, {4300, 3035, 4180, 2935, 60, 50, 10}},
    {13, true, {2150, 3035, 2000, 2935, 75, 50, 11}, {3035, 2150, 2915, 2050, 60, 50, 11}},
    {14, true, {2480, 3898, 2330, 3798, 75, 50, 19}, {3898, 2480, 3778, 2376, 60, 52, 19}},
    {7, true, {2175, 3150, 2025, 3050, 75, 50, 3}, {3150, 2175, 3030, 2071, 60, 52, 3}},
    {43, true, {1181, 1748, 1031, 1648, 75, 50, 14}, {1748, 1181, 1628, 1077, 60, 52, 14}},
    {27, true, {1299, 2598, 1149, 2498, 75, 50, 9}, {2598, 1299, 2478, 1195, 60, 52, 9}},
    {20, true, {1237, 2850, 1087, 2750, 75, 50, 6}, {2850, 1237, 2730, 1133, 60, 52, 6}},
    {37, true, {1162, 2250, 1012, 2150, 75, 50, 7}, {2250, 1162, 2130, 1058, 60, 52, 7}},
    {256, false, {}, {}},
};

// The row of a paper code, or null when the table has none.
const PaperGeometryRow* FindPaperGeometryRow(int code);
// The table's geometry of a code in portrait or landscape at 300 or 600 dpi
// (every value but the media size code doubled at 600). Empty for codes absent
// from the table and for 256, whose geometry the caller computes.
std::optional<PaperGeometry> TablePaperGeometry(int code, bool landscape, int dpi);
// Every value but the media size code doubled (600 dpi).
constexpr PaperGeometry DoubledGeometry(const PaperGeometry& g) {
  return {g.physicalWidth * 2, g.physicalHeight * 2, g.printableWidth * 2,
          g.printableHeight * 2, g.leftMargin * 2, g.topMargin * 2, g.mediaSizeCode};
}

// ---- paper sources -------------------------------------------------------------

struct PaperSource {
  std::int16_t code;
  std::u16string_view name;   // empty for codes that are accepted but not offered
  std::uint16_t bit;          // bit in the papers' source bits, 0 when none
  std::uint32_t requiredOption;  // installedOptions bit that makes it offered (0: always)
  bool offered;
  std::string_view pclCommand;   // PCL 5e paper source command
};

inline constexpr PaperSource kPaperSources[] = {
    {7, u"Auto", 0x1, 0, true, "\x1B&l7H"},
    {4, u"Bypass Tray", 0x2, 0x01, true, "\x1B&l2H"},
    {2, u"1st Paper Cassette", 0x4, 0x20, true, "\x1B&l4H"},
    {11, u"2nd Paper Cassette", 0x8, 0x40, true, "\x1B&l5H"},
    {14, u"3rd Paper Cassette", 0, 0x80, true, "\x1B&l8H"},
    {1, u"", 0, 0, false, "\x1B&l1H"},
    {9, u"", 0, 0, false, "\x1B&l0H"},
    {12, u"", 0, 0, false, "\x1B&l9H"},
};
inline constexpr std::int16_t kDefaultSource = 7;

const PaperSource* FindPaperSource(int code);
// Codes accepted by validation: 1, 2, 4, 7, 9, 11, 12, 14.
bool IsValidSourceCode(int code);
// PCL 5e command selecting a source; any other code selects Auto (ESC &l7H).
std::string_view PaperSourceCommand(int code);
// Separator tray 0..3 (separatorSource): ESC &l4H, &l5H, &l8H, &l9H; other
// values have no command (empty).
std::string_view SeparatorTrayCommand(std::uint32_t tray);

// ---- media types, output bins, binding sides -------------------------------------

struct MediaType {
  std::int16_t value;
  std::u16string_view name;
  std::string_view pjl;
};
inline constexpr MediaType kMediaTypes[] = {
    {0, u"Plain", "PLAIN"},
    {1, u"PasteBoard/Labels", "THICK"},
    {2, u"OHP", "TRANSPARENCY"},
    {3, u"Envelope/Postcard", "SPECIAL"},
    {4, u"Letterhead", "LETTERHEAD"},
};
// PJL MEDIATYPE value; any unknown value is PLAIN.
std::string_view MediaTypePjl(int mediaType);

struct OutputBin {
  std::int16_t value;
  std::u16string_view name;
  std::string_view pjl;
};
inline constexpr OutputBin kOutputBins[] = {
    {0, u"Paper Tray", "UPPER"},
    {1, u"2-Bin Tray", "OPTIONALOUTBIN1"},
    {2, u"Shift Tray", "OPTIONALOUTBIN1"},
};
// PJL OUTBIN value: UPPER for 0, OPTIONALOUTBIN1 for any other value.
std::string_view OutputBinPjl(int outputBin);

struct BindingSide {
  std::int16_t value;
  std::u16string_view name;
};
inline constexpr BindingSide kBindingSides[] = {
    {0, u"Upper Binding"},
    {1, u"Left Binding"},
    {2, u"Right Binding"},
};

// ---- installed options (installedOptions) ----------------------------------------

inline constexpr std::uint32_t kOptionBypassTray = 0x01;
inline constexpr std::uint32_t kOptionTwoBinTray = 0x10;
inline constexpr std::uint32_t kOptionCassette1 = 0x20;
inline constexpr std::uint32_t kOptionCassette2 = 0x40;
inline constexpr std::uint32_t kOptionCassette3 = 0x80;
inline constexpr std::uint32_t kOptionAutoSetup = 0x200;
inline constexpr std::uint32_t kDefaultInstalledOptions = 0x21;

// Whether the paper page offers a source with these options installed.
bool SourceOffered(int sourceCode, std::uint32_t installedOptions);

// ---- the model row ---------------------------------------------------------------

struct ModelPaperEntry {
  std::uint32_t code;
  std::int8_t geometryRow;  // index into kPaperGeometry, -1 for the custom papers (256)
  std::uint32_t sourceBits;
};

struct ModelSourceEntry {
  std::uint16_t code;
  std::uint16_t bit;
  std::uint16_t value5;  // always 5
  std::int8_t sourceRow;  // index into kPaperSources
};

struct ModelRow {
  std::u16string_view name;
  std::uint16_t memoryMB;
  std::int16_t modelValueA;
  std::int16_t modelValueB;
  std::int32_t modelValueC;
  std::int32_t modelValueD;
  std::int32_t modelValueH;
  std::span<const ModelPaperEntry> papers;
  std::span<const ModelSourceEntry> sources;
  std::uint16_t mediaType;
  std::uint8_t zoomMode;
  std::uint16_t collate;
  std::uint8_t tonerSave;
  std::uint16_t resolution;
  std::uint8_t trueTypeMode;
  std::uint8_t graphicsMode;
  std::uint8_t spare726;
  std::uint8_t spare718;
  std::uint16_t spare730;
  std::uint8_t spare762;
  std::uint8_t spare764;
  std::int32_t installedOptions;
  std::int32_t minExtentWidth, minExtentHeight;  // 300-dpi dots
  std::int32_t maxExtentWidth, maxExtentHeight;
  std::int16_t paperWidthEntryMM, paperLengthEntryMM;
  std::uint16_t nupPages;
  std::uint8_t nupColumnFirst, nupRightToLeft, nupSeparator;
  std::uint8_t modelByteE;
  std::int16_t modelValueF, modelValueG;
  std::int16_t scalePercent;
  std::int16_t watermarkShading;
  std::int16_t watermarkFontSize;
  std::int16_t watermarkVerticalOffset, watermarkHorizontalOffset;
  std::int32_t watermarkItalic, watermarkBold;
  std::int16_t watermarkAngle;
  std::uint8_t watermarkFirstPageOnly;
  std::int16_t frontGutter, backGutter;
};

inline constexpr ModelPaperEntry kModelPapers[] = {
    {1, 0, 0xF},  {5, 2, 0xF},   {6, 1, 0xF},   {7, 11, 0x3},  {9, 5, 0xF},
    {11, 6, 0xF}, {14, 10, 0xF}, {20, 14, 0x3}, {27, 13, 0x3}, {37, 15, 0x3},
    {43, 12, 0x3}, {70, 7, 0x3}, {256, -1, kCustomPaperSourceBits},
};
inline constexpr ModelSourceEntry kModelSources[] = {
    {7, 0x1, 5, 0},
    {4, 0x2, 5, 1},
    {2, 0x4, 5, 2},
    {11, 0x8, 5, 3},
};

inline constexpr ModelRow kModelRows[] = {{
    .name = u"Kelvaro ZT-7700",
    .memoryMB = 16,
    .modelValueA = -5240,
    .modelValueB = 467,
    .modelValueC = 0,
    .modelValueD = 46,
    .modelValueH = 32767,
    .papers = kModelPapers,
    .sources = kModelSources,
    .mediaType = 0,
    .zoomMode = 0,
    .collate = 0,
    .tonerSave = 0,
    .resolution = 600,
    .trueTypeMode = 2,
    .graphicsMode = 1,
    .spare726 = 0,
    .spare718 = 0,
    .spare730 = 0,
    .spare762 = 0,
    .spare764 = 1,
    .installedOptions = 0,
    .minExtentWidth = 1063,
    .minExtentHeight = 1654,
    .maxExtentWidth = 3508,
    .maxExtentHeight = 5102,
    .paperWidthEntryMM = 90,
    .paperLengthEntryMM = 140,
    .nupPages = 0,
    .nupColumnFirst = 0,
    .nupRightToLeft = 0,
    .nupSeparator = 0,
    .modelByteE = 0,
    .modelValueF = 90,
    .modelValueG = 55,
    .scalePercent = 100,
    .watermarkShading = 25,
    .watermarkFontSize = 72,
    .watermarkVerticalOffset = 10,
    .watermarkHorizontalOffset = 10,
    .watermarkItalic = 0,
    .watermarkBold = 0,
    .watermarkAngle = 45,
    .watermarkFirstPageOnly = 0,
    .frontGutter = 0,
    .backGutter = 0,
}};

std::size_t ModelRowCount();
// The row of a model index; an index past the table gives row 0.
const ModelRow& GetModelRow(std::size_t index);
// Model name in force: the row's name until devDefaultSetting replaced it with
// the name read from kvsaoem.inf. NUL-terminated, at most 31 characters.
const WCHAR* ModelName(std::size_t index);
void SetModelName(std::size_t index, std::u16string_view name);

// Entry of the row's source list for a code; the first entry when the code is
// not in the list.
const ModelSourceEntry& FindModelSource(const ModelRow& row, int code);
// Entry of the row's paper list for a code; null when absent (custom papers
// 257..306 map to the 256 entry).
const ModelPaperEntry* FindModelPaper(const ModelRow& row, int code);

// 300-dpi dots from millimetres as the paper entry defaults use them (x 300 / 25.4, truncated).
constexpr std::int16_t MillimetresToDots(int mm) {
  return static_cast<std::int16_t>(mm * 3000 / 254);
}

static_assert(sizeof(kPaperGeometry) / sizeof(kPaperGeometry[0]) == 17);
static_assert(std::size(kModelPapers) == 13);
namespace detail {
constexpr bool ModelPapersMatchGeometry() {
  for (const ModelPaperEntry& e : kModelPapers) {
    if (e.geometryRow < 0) {
      if (e.code != 256) return false;
    } else if (kPaperGeometry[e.geometryRow].code != static_cast<int>(e.code)) {
      return false;
    }
  }
  for (const ModelSourceEntry& s : kModelSources) {
    if (kPaperSources[s.sourceRow].code != s.code || kPaperSources[s.sourceRow].bit != s.bit)
      return false;
  }
  return true;
}
}  // namespace detail
static_assert(detail::ModelPapersMatchGeometry());
static_assert(MillimetresToDots(90) == 1062 && MillimetresToDots(140) == 1653);

}  // namespace kvset
