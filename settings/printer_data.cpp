#include "settings/printer_data.h"

#include <algorithm>
#include <cstring>

#include "kvplat/kernel.h"
#include "kvplat/spooler.h"
#include "settings/byte_order.h"
#include "settings/devmode_record.h"
#include "settings/model_tables.h"

namespace kvset {

namespace {

// The spooler takes value names as non-const pointers and never writes them.
LPWSTR ValueName(const WCHAR* name) { return const_cast<LPWSTR>(name); }

std::u16string ReadWideText(std::span<const std::uint8_t> record, std::size_t offset,
                            std::size_t chars) {
  std::u16string out;
  for (std::size_t i = 0; i < chars; ++i) {
    const char16_t c = LoadU16LE(record, offset + 2 * i);
    if (c == 0) break;
    out.push_back(c);
  }
  return out;
}

void WriteWideText(std::span<std::uint8_t> record, std::size_t offset, std::size_t chars,
                   std::u16string_view text) {
  const std::size_t len = std::min(text.size(), chars - 1);
  for (std::size_t i = 0; i < chars; ++i) {
    StoreU16LE(record, offset + 2 * i, i < len ? static_cast<std::uint16_t>(text[i]) : 0);
  }
}

std::u16string WideFromBuffer(const WCHAR* buffer, std::size_t capacity) {
  std::size_t len = 0;
  while (len < capacity && buffer[len] != 0) ++len;
  return std::u16string(buffer, len);
}

}  // namespace

// ---- size-prefixed binary values -------------------------------------------------------

HeapBlock ReadPrinterBlob(HANDLE printer, const WCHAR* sizeValueName,
                          const WCHAR* dataValueName) {
  std::uint8_t sizeBytes[4] = {};
  DWORD type = 0;
  DWORD needed = 0;
  if (GetPrinterDataW(printer, ValueName(sizeValueName), &type, sizeBytes, sizeof(sizeBytes),
                      &needed) != ERROR_SUCCESS ||
      needed != sizeof(sizeBytes)) {
    return {};
  }
  const DWORD size = LoadU32LE(sizeBytes);
  if (size == 0) return {};
  HeapBlock data(size, true);
  if (data.empty()) return {};
  if (GetPrinterDataW(printer, ValueName(dataValueName), &type, data.data(), size, &needed) !=
      ERROR_SUCCESS) {
    return {};
  }
  // A data value shorter than its size value gives only the bytes it holds.
  data.Truncate(needed);
  if (data.size() == 0) return {};
  return data;
}

bool WritePrinterBlob(HANDLE printer, const WCHAR* sizeValueName, const WCHAR* dataValueName,
                      std::span<const std::uint8_t> data) {
  std::uint8_t sizeBytes[4];
  StoreU32LE(sizeBytes, static_cast<std::uint32_t>(data.size()));
  if (SetPrinterDataW(printer, ValueName(sizeValueName), REG_DWORD, sizeBytes,
                      sizeof(sizeBytes)) != ERROR_SUCCESS) {
    return false;
  }
  return SetPrinterDataW(printer, ValueName(dataValueName), REG_BINARY,
                         const_cast<LPBYTE>(data.data()),
                         static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

// ---- custom papers ---------------------------------------------------------------------

CustomPaperList ReadCustomPapers(HANDLE printer) {
  CustomPaperList list;
  list.data = ReadPrinterBlob(printer, kCustomPaperDataSizeName, kCustomPaperDataName);
  list.count = list.data.size() / kCustomPaperRecordSize;
  if (list.count == 0) list.data.Reset();
  return list;
}

std::size_t UsableCustomPaperCount(const CustomPaperList& list) {
  return std::min<std::size_t>(list.count, kMaxCustomPapers);
}

std::span<const std::uint8_t> FindCustomPaper(const CustomPaperList& list, int code) {
  for (std::size_t i = 0; i < list.count; ++i) {
    std::span<const std::uint8_t> record = list.Record(i);
    if (CustomPaperCode(record) == code) return record;
  }
  return {};
}

bool WriteCustomPapers(HANDLE printer, std::span<const std::uint8_t> records) {
  return WritePrinterBlob(printer, kCustomPaperDataSizeName, kCustomPaperDataName, records);
}

std::int16_t CustomPaperCode(std::span<const std::uint8_t> record) {
  return LoadI16LE(record, kCustomPaperCodeOffset);
}
std::int16_t CustomPaperUnit(std::span<const std::uint8_t> record) {
  return LoadI16LE(record, kCustomPaperUnitOffset);
}
std::u16string CustomPaperName(std::span<const std::uint8_t> record) {
  return ReadWideText(record, kCustomPaperNameOffset, kCustomPaperNameChars);
}
std::u16string CustomPaperWidthText(std::span<const std::uint8_t> record) {
  return ReadWideText(record, kCustomPaperWidthOffset, kCustomPaperSizeChars);
}
std::u16string CustomPaperLengthText(std::span<const std::uint8_t> record) {
  return ReadWideText(record, kCustomPaperLengthOffset, kCustomPaperSizeChars);
}

CustomPaper DecodeCustomPaper(std::span<const std::uint8_t> record) {
  return {CustomPaperCode(record), CustomPaperName(record), CustomPaperWidthText(record),
          CustomPaperLengthText(record), CustomPaperUnit(record)};
}

void EncodeCustomPaper(const CustomPaper& paper, std::span<std::uint8_t> record) {
  StoreI16LE(record, kCustomPaperCodeOffset, paper.code);
  WriteWideText(record, kCustomPaperNameOffset, kCustomPaperNameChars, paper.name);
  WriteWideText(record, kCustomPaperWidthOffset, kCustomPaperSizeChars, paper.widthText);
  WriteWideText(record, kCustomPaperLengthOffset, kCustomPaperSizeChars, paper.lengthText);
  StoreI16LE(record, kCustomPaperUnitOffset, paper.unit);
}

int CustomPaperWidthDots(std::span<const std::uint8_t> record) {
  return ParsePaperDimension(CustomPaperWidthText(record), CustomPaperUnit(record));
}
int CustomPaperLengthDots(std::span<const std::uint8_t> record) {
  return ParsePaperDimension(CustomPaperLengthText(record), CustomPaperUnit(record));
}

int ParsePaperDimension(std::u16string_view text, int unit) {
  constexpr int kCap = 4500;
  auto isDigit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  std::size_t i = 0;
  int integer = 0;
  int digits = 0;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    if (++digits > 4) return kCap;
    integer = integer * 10 + (text[i] - u'0');
  }
  if (integer > kCap) return kCap;
  // Millimetres carry one decimal, inches two.
  const int fractionDigits = unit == 0 ? 1 : 2;
  int fraction = 0;
  bool more = i < text.size() && text[i] == u'.';
  if (more) ++i;
  for (int k = 0; k < fractionDigits; ++k) {
    int d = 0;
    if (more && i < text.size() && isDigit(text[i])) {
      d = text[i++] - u'0';
    } else {
      more = false;  // missing digits count as 0
    }
    fraction = fraction * 10 + d;
  }
  if (unit == 0) return (integer * 10 + fraction) * 300 / 254;
  return static_cast<std::uint16_t>(integer * 300 + fraction * 3);
}

// ---- printer record -----------------------------------------------------------------------

std::array<std::uint8_t, kPrinterRecordSize> EncodePrinterRecord(const PrinterRecord& record) {
  std::array<std::uint8_t, kPrinterRecordSize> out{};
  StoreU16LE(out, 0, record.version);
  StoreU16LE(out, 2, record.size);
  StoreU32LE(out, 4, record.flags);
  return out;
}

PrinterRecord DecodePrinterRecord(std::span<const std::uint8_t> bytes) {
  return {LoadU16LE(bytes, 0), LoadU16LE(bytes, 2), LoadU32LE(bytes, 4)};
}

PrinterRecord DefaultPrinterRecord() {
  PrinterRecord record;
  if (IsMetricCountry()) record.flags |= kPrinterFlagMetric;
  if (GetACP() != 1252) record.flags |= kPrinterFlagNotAnsi1252;
  return record;
}

PrinterRecord ReadPrinterRecord(HANDLE printer) {
  std::array<std::uint8_t, kPrinterRecordSize> bytes = EncodePrinterRecord(DefaultPrinterRecord());
  HeapBlock stored = ReadPrinterBlob(printer, kPrinterDataSizeName, kPrinterDataName);
  if (!stored.empty()) {
    // Never more than was stored, than the record's own size word says, or than 8.
    std::size_t n = std::min(stored.size(), bytes.size());
    if (stored.size() >= 4) n = std::min<std::size_t>(n, LoadU16LE(stored.span(), 2));
    std::memcpy(bytes.data(), stored.data(), n);
  }
  PrinterRecord record = DecodePrinterRecord(bytes);
  record.version = kPrinterRecordVersion;
  record.size = kPrinterRecordSize;
  return record;
}

bool WritePrinterRecord(HANDLE printer, const PrinterRecord& record) {
  const auto bytes = EncodePrinterRecord(record);
  return WritePrinterBlob(printer, kPrinterDataSizeName, kPrinterDataName, bytes);
}

// ---- kvsaoem.inf -----------------------------------------------------------------------------

std::u16string OemInfPath() {
  WCHAR dir[MAX_PATH] = {};
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(dir),
                                  sizeof(dir), &needed)) {
    return {};
  }
  std::u16string path = WideFromBuffer(dir, MAX_PATH);
  if (path.empty()) return {};
  path += u"\\3\\kvsaoem.inf";
  return path;
}

std::u16string ReadOemString(OemKey key) {
  const OemKeyInfo* info = &kOemKeys[0];
  for (const OemKeyInfo& k : kOemKeys) {
    if (k.key == key) info = &k;
  }
  const std::u16string path = OemInfPath();
  if (path.empty()) return info->defaultValue;
  WCHAR buffer[64] = {};
  const DWORD chars = std::min<DWORD>(info->chars, std::size(buffer));
  GetPrivateProfileStringW(u"STRINGS", info->name, info->defaultValue, buffer, chars,
                           path.c_str());
  return WideFromBuffer(buffer, chars);
}

// ---- kvsaset.ini -------------------------------------------------------------------------------

std::u16string PanelSettingsPath() {
  WCHAR windows[MAX_PATH] = {};
  const UINT len = GetWindowsDirectoryW(windows, MAX_PATH);
  if (len >= 2 && len < MAX_PATH && windows[1] == u':') {
    std::u16string folder(windows, 2);
    folder += u"\\Users\\Public";
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      folder += u"\\Kelvaro";
      const DWORD existing = GetFileAttributesW(folder.c_str());
      if (existing == INVALID_FILE_ATTRIBUTES) CreateDirectoryW(folder.c_str(), nullptr);
      return folder + u"\\kvsaset.ini";
    }
  }
  WCHAR system[MAX_PATH] = {};
  const UINT systemLen = GetSystemDirectoryW(system, MAX_PATH);
  std::u16string path = systemLen > 0 && systemLen < MAX_PATH ? std::u16string(system, systemLen)
                                                              : std::u16string();
  return path + u"\\kvsaset.ini";
}

PanelOptions ReadPanelOptions() {
  const std::u16string path = PanelSettingsPath();
  auto read = [&](const WCHAR* key) {
    return static_cast<int>(GetPrivateProfileIntW(u"OPTION", key, 0, path.c_str()));
  };
  PanelOptions options;
  options.cassette3 = read(u"CASSETTE3");
  options.cassette2 = read(u"CASSETTE2");
  options.twoBinTray = read(u"2BINTRAY");
  options.memory = read(u"MEMORY");
  return options;
}

}  // namespace kvset
