// Settings that belong to a printer rather than to a job: the spooler's
// per-printer data (printer record, custom papers, size-prefixed binary
// values), the OEM strings file kvsaoem.inf and the panel utility's kvsaset.ini.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "kvplat/wintypes.h"
#include "settings/heap_block.h"

namespace kvset {

// ---- value names ----------------------------------------------------------------

inline constexpr WCHAR kPrinterDataSizeName[] = u"PrinterDataSize";
inline constexpr WCHAR kPrinterDataName[] = u"PrinterData";
inline constexpr WCHAR kCustomPaperDataSizeName[] = u"CustomPaperDataSize";
inline constexpr WCHAR kCustomPaperDataName[] = u"CustomPaperData";
inline constexpr WCHAR kDevmodeDataSizeName[] = u"DevmodeDataSize";
inline constexpr WCHAR kDevmodeDataName[] = u"DevmodeData";
inline constexpr WCHAR kPermissionName[] = u"Permission";

// ---- size-prefixed binary values ---------------------------------------------------

// Reads the 4-byte size value and, when it is nonzero, that many bytes of the
// data value into a heap block. Empty on any failure (missing value, size 0,
// allocation, data longer than the size). A data value shorter than its size
// value yields the bytes actually stored.
HeapBlock ReadPrinterBlob(HANDLE printer, const WCHAR* sizeValueName, const WCHAR* dataValueName);
// Writes the size (REG_DWORD) and then the data (REG_BINARY); true when both succeed.
bool WritePrinterBlob(HANDLE printer, const WCHAR* sizeValueName, const WCHAR* dataValueName,
                      std::span<const std::uint8_t> data);

// ---- custom papers ("CustomPaperData") --------------------------------------------------

inline constexpr std::size_t kCustomPaperRecordSize = 80;
inline constexpr std::size_t kCustomPaperNameChars = 22;
inline constexpr std::size_t kCustomPaperSizeChars = 8;
inline constexpr std::size_t kCustomPaperCodeOffset = 0;
inline constexpr std::size_t kCustomPaperNameOffset = 2;
inline constexpr std::size_t kCustomPaperWidthOffset = 46;
inline constexpr std::size_t kCustomPaperLengthOffset = 62;
inline constexpr std::size_t kCustomPaperUnitOffset = 78;
inline constexpr std::int16_t kCustomPaperMillimetres = 0;
inline constexpr std::int16_t kCustomPaperInches = 1;
static_assert(kCustomPaperUnitOffset + 2 == kCustomPaperRecordSize);
static_assert(kCustomPaperNameOffset + 2 * kCustomPaperNameChars == kCustomPaperWidthOffset);
static_assert(kCustomPaperWidthOffset + 2 * kCustomPaperSizeChars == kCustomPaperLengthOffset);

struct CustomPaperList {
  HeapBlock data;
  std::size_t count = 0;  // stored size / 80

  std::span<const std::uint8_t> Record(std::size_t i) const {
    return data.span().subspan(i * kCustomPaperRecordSize, kCustomPaperRecordSize);
  }
};

CustomPaperList ReadCustomPapers(HANDLE printer);
// Records that can carry a code (257..306): at most 50.
std::size_t UsableCustomPaperCount(const CustomPaperList& list);
// The first record whose code word equals `code`; empty when none.
std::span<const std::uint8_t> FindCustomPaper(const CustomPaperList& list, int code);
// Writes the whole array (records x 80 bytes).
bool WriteCustomPapers(HANDLE printer, std::span<const std::uint8_t> records);

// One record decoded (texts up to their first NUL).
struct CustomPaper {
  std::int16_t code = 0;
  std::u16string name;
  std::u16string widthText;
  std::u16string lengthText;
  std::int16_t unit = kCustomPaperMillimetres;
};
// `record` must hold at least 80 bytes.
std::int16_t CustomPaperCode(std::span<const std::uint8_t> record);
std::int16_t CustomPaperUnit(std::span<const std::uint8_t> record);
std::u16string CustomPaperName(std::span<const std::uint8_t> record);
std::u16string CustomPaperWidthText(std::span<const std::uint8_t> record);
std::u16string CustomPaperLengthText(std::span<const std::uint8_t> record);
CustomPaper DecodeCustomPaper(std::span<const std::uint8_t> record);
// Encodes into 80 bytes; texts are cut to leave a terminating NUL.
void EncodeCustomPaper(const CustomPaper& paper, std::span<std::uint8_t> record);
// Physical width and length in 300-dpi dots.
int CustomPaperWidthDots(std::span<const std::uint8_t> record);
int CustomPaperLengthDots(std::span<const std::uint8_t> record);

// Decimal text ("210.0", "8.50") in 300-dpi dots. Unit 0: millimetres with one
// decimal; any other unit: inches with two decimals (kept to 16 bits). An
// integer part of more than 4 digits or above 4500 gives 4500.
int ParsePaperDimension(std::u16string_view text, int unit);

// ---- printer record ("PrinterData") -----------------------------------------------------

inline constexpr std::uint16_t kPrinterRecordVersion = 0x400;
inline constexpr std::uint16_t kPrinterRecordSize = 8;
inline constexpr std::uint32_t kPrinterFlagMetric = 0x1;       // the user's country uses A4
inline constexpr std::uint32_t kPrinterFlagNotAnsi1252 = 0x4;  // ANSI code page is not 1252

struct PrinterRecord {
  std::uint16_t version = kPrinterRecordVersion;
  std::uint16_t size = kPrinterRecordSize;
  std::uint32_t flags = 0;
};

std::array<std::uint8_t, kPrinterRecordSize> EncodePrinterRecord(const PrinterRecord& record);
// `bytes` must hold 8 bytes.
PrinterRecord DecodePrinterRecord(std::span<const std::uint8_t> bytes);
// Version 0x400, size 8, flags from IsMetricCountry and the ANSI code page.
PrinterRecord DefaultPrinterRecord();
// The stored record laid over the default (at most 8 bytes, no more than the
// stored size word says and than were stored), version and size forced.
PrinterRecord ReadPrinterRecord(HANDLE printer);
bool WritePrinterRecord(HANDLE printer, const PrinterRecord& record);

// ---- kvsaoem.inf ----------------------------------------------------------------------

// "<printer driver directory>\3\kvsaoem.inf"; empty when the directory is unknown.
std::u16string OemInfPath();

enum class OemKey { Printer2, About, Ltd };
struct OemKeyInfo {
  OemKey key;
  const WCHAR* name;
  const WCHAR* defaultValue;
  DWORD chars;  // buffer size in characters, terminating NUL included
};
inline constexpr OemKeyInfo kOemKeys[] = {
    {OemKey::Printer2, u"Printer2", u"Kelvaro PCL5e", 32},
    {OemKey::About, u"ABOUT", u"Kelvaro Printer Driver", 50},
    {OemKey::Ltd, u"LTD", u"CORVANE", 50},
};
// Value of a key of section "STRINGS"; the default when the file or key is missing.
std::u16string ReadOemString(OemKey key);

// ---- kvsaset.ini ----------------------------------------------------------------------

// "<drive>\Users\Public\Kelvaro\kvsaset.ini" when "<drive>\Users\Public" exists on
// the Windows drive (the "Kelvaro" folder is created when missing); otherwise
// "<system directory>\kvsaset.ini".
std::u16string PanelSettingsPath();

// Keys of section "OPTION" (0 when missing).
struct PanelOptions {
  int cassette3 = 0;
  int cassette2 = 0;
  int twoBinTray = 0;
  int memory = 0;  // megabytes; the caller takes it when in 16..144
};
PanelOptions ReadPanelOptions();

}  // namespace kvset
