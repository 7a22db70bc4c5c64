// The device mode record's operations as the interface libraries (and the PCL XL
// graphics library) use them: defaults, validation and merge of an incoming
// record, copying between records of different sizes, the spooler's conversion
// entry and the exported static default. The layout is in devmode_fields.h.
//
// All operations work on caller-owned memory and keep no pointer. A record of a
// variant is RecordSize(variant) bytes; incoming records from applications are
// as long as their own header says (dmSize + dmDriverExtra).
#pragma once

#include <cstdint>
#include <span>

#include "kvplat/gdi_types.h"
#include "kvplat/wintypes.h"
#include "settings/devmode_fields.h"

namespace kvset {

// Whether the user's country uses A4 (false for 1, 2, 50..59, 500..599 and when
// the locale cannot be read).
bool IsMetricCountry();
// The default paper of the user's country: 9 (A4) or 1 (Letter).
std::int16_t CountryDefaultPaper();

// Fills a whole record with the defaults. `deviceName` may be null (then
// dmDeviceName stays empty); at most 31 characters are kept so that the field
// stays terminated. Returns 1; 0 when `record` is shorter than the variant.
int BuildDefaultDevmode(DevmodeVariant v, std::span<std::uint8_t> record,
                        const WCHAR* deviceName, std::uint16_t modelIndex);

// Copies the public and private parts between records whose sizes differ,
// keeping the destination's sizes. Returns the bytes copied or -1. The span
// form refuses records whose header claims more bytes than the span holds; the
// pointer form trusts both headers (the spooler's contract).
int CopyDevmodeParts(std::span<const std::uint8_t> source, std::span<std::uint8_t> dest);
int CopyDevmodeParts(const DEVMODEW* source, DEVMODEW* dest);

// Validates `incoming` and merges it into `target` (a whole record of the
// variant). 1 on success or when the incoming record is ignored; 0 when the
// working copy cannot be allocated or the copy fails (target unchanged).
int MergeDevmode(DevmodeVariant v, std::span<std::uint8_t> target, const DEVMODEW* incoming);

// Result of a property sheet: see the interface library. `out` must hold a's
// record when `b` is null, else the smaller sizes of a and b.
BOOL CombineDevmodeSizes(const DEVMODEW* a, const DEVMODEW* b, DEVMODEW* out);

// DrvConvertDevMode of the interface library for its variant.
BOOL ConvertDevmodeForSpooler(DevmodeVariant v, LPWSTR pPrinterName, const DEVMODEW* pdmIn,
                              DEVMODEW* pdmOut, LONG* pcbNeeded, DWORD fMode);
inline constexpr WORD kNt351DriverVersion = 0x0350;
inline constexpr WORD kNt351DriverExtra = 112;
inline constexpr WORD kNt351Size = 188;

// devDefaultSetting of the PCL 5e interface library: fills the library's static
// default record (model name from kvsaoem.inf) and returns 1.
int DevDefaultSetting();
// The static record devDefaultSetting fills (PCL 5e size; zero until called).
std::span<const std::uint8_t> DevDefaultSettingRecord();

}  // namespace kvset
