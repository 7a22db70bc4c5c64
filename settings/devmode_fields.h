// Byte layout of the device mode record in its two variants (PCL 5e, 1374
// bytes; PCL XL, 784 bytes), of the watermark record it holds and of the PCL 5e
// watermark summary. Every field goes by its own name and is
// read or written through the little-endian helpers; the tables double as the
// name lookup used by tools ("-o nupPages=4").
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "kvplat/gdi_types.h"
#include "settings/byte_order.h"

namespace kvset {

enum class DevmodeVariant : std::uint8_t { Pcl5e, PclXl };

inline constexpr std::uint16_t kDevmodeSpecVersion = 0x0401;
inline constexpr std::uint16_t kDevmodeDriverVersion = 0x0400;
inline constexpr std::uint16_t kDevmodePublicSize = 220;
inline constexpr std::uint16_t kDriverExtra5e = 1154;
inline constexpr std::uint16_t kDriverExtraXl = 564;
inline constexpr std::size_t kRecordSize5e = kDevmodePublicSize + kDriverExtra5e;  // 1374
inline constexpr std::size_t kRecordSizeXl = kDevmodePublicSize + kDriverExtraXl;  // 784
inline constexpr std::uint32_t kPrivSignature = 0x56495250;  // "PRIV"
inline constexpr std::uint32_t kPrivMagic5e = 0x4B763563;    // "c5vK" in memory order

constexpr std::uint16_t DriverExtra(DevmodeVariant v) {
  return v == DevmodeVariant::Pcl5e ? kDriverExtra5e : kDriverExtraXl;
}
constexpr std::size_t RecordSize(DevmodeVariant v) {
  return v == DevmodeVariant::Pcl5e ? kRecordSize5e : kRecordSizeXl;
}

enum class FieldType : std::uint8_t {
  UInt8,
  Int16,
  UInt16,
  Int32,
  UInt32,
  WideString,    // UTF-16, count characters including the terminating NUL
  NarrowString,  // 8-bit, count bytes including the terminating NUL
  Bytes,         // raw, count bytes
};

// What the interface library's merge does with an incoming value of a private
// field (fields needing more than a range check are handled by name).
enum class MergeCheck : std::uint8_t {
  Keep,     // never taken from input
  Copy,     // taken unchecked
  Range,    // taken when in lo..hi, else `fallback`
  Special,  // handled by the merge itself
};

inline constexpr std::uint16_t kNoOffset = 0xFFFF;

struct RecordField {
  std::string_view name;
  std::uint16_t offset5e;
  std::uint16_t offsetXl;  // kNoOffset: not part of the PCL XL layout
  FieldType type;
  std::uint16_t count5e;   // characters/bytes of strings and raw fields, 1 for integers
  std::uint16_t countXl;
  std::uint32_t dmBit;     // DM_* bit of a public member, 0 otherwise
  std::int32_t def;        // default of BuildDefaultDevmode (PCL 5e value)
  MergeCheck check;
  std::int32_t lo, hi, fallback;
};

namespace detail {
struct Merge {
  MergeCheck check;
  std::int32_t lo = 0, hi = 0, fallback = 0;
};
inline constexpr Merge kKeep{MergeCheck::Keep};
inline constexpr Merge kCopy{MergeCheck::Copy};
inline constexpr Merge kSpecial{MergeCheck::Special};
constexpr Merge InRange(std::int32_t lo, std::int32_t hi, std::int32_t fallback) {
  return {MergeCheck::Range, lo, hi, fallback};
}
constexpr RecordField Pub(std::string_view name, std::uint16_t offset, FieldType type,
                          std::uint32_t bit, std::int32_t def, std::uint16_t count = 1) {
  return {name, offset, offset, type, count, count, bit, def, MergeCheck::Special, 0, 0, 0};
}
constexpr RecordField Priv(std::string_view name, std::uint16_t off5e, std::uint16_t offXl,
                           FieldType type, std::int32_t def, Merge m) {
  return {name, off5e, offXl, type, 1, 1, 0, def, m.check, m.lo, m.hi, m.fallback};
}
constexpr RecordField Blob(std::string_view name, std::uint16_t off5e, std::uint16_t offXl,
                           FieldType type, std::uint16_t count5e, std::uint16_t countXl,
                           Merge m = kKeep) {
  return {name, off5e, offXl, type, count5e, countXl, 0, 0, m.check, 0, 0, 0};
}
constexpr RecordField Layout(std::string_view name, std::uint16_t off5e, std::uint16_t offXl,
                             FieldType type, std::uint16_t count = 1, std::int32_t def = 0) {
  return {name, off5e, offXl, type, count, count, 0, def, MergeCheck::Keep, 0, 0, 0};
}
inline constexpr std::uint16_t X = kNoOffset;
using enum FieldType;
}  // namespace detail

// The whole device mode record: the public members the system uses, then the
// private block. Offsets are from the start of the record.
inline constexpr RecordField kDevmodeFields[] = {
    // Public part (DEVMODEW); the same offsets in both variants.
    detail::Pub("dmDeviceName", 0, detail::WideString, 0, 0, 32),
    detail::Pub("dmSpecVersion", 64, detail::UInt16, 0, kDevmodeSpecVersion),
    detail::Pub("dmDriverVersion", 66, detail::UInt16, 0, kDevmodeDriverVersion),
    detail::Pub("dmSize", 68, detail::UInt16, 0, kDevmodePublicSize),
    detail::Pub("dmDriverExtra", 70, detail::UInt16, 0, kDriverExtra5e),
    detail::Pub("dmFields", 72, detail::UInt32, 0, 0x4F03),
    detail::Pub("dmOrientation", 76, detail::Int16, DM_ORIENTATION, 1),
    detail::Pub("dmPaperSize", 78, detail::Int16, DM_PAPERSIZE, 9),
    detail::Pub("dmPaperLength", 80, detail::Int16, DM_PAPERLENGTH, 254),
    detail::Pub("dmPaperWidth", 82, detail::Int16, DM_PAPERWIDTH, 254),
    detail::Pub("dmScale", 84, detail::Int16, DM_SCALE, 100),
    detail::Pub("dmCopies", 86, detail::Int16, DM_COPIES, 1),
    detail::Pub("dmDefaultSource", 88, detail::Int16, DM_DEFAULTSOURCE, 7),
    detail::Pub("dmPrintQuality", 90, detail::Int16, DM_PRINTQUALITY, 600),
    detail::Pub("dmColor", 92, detail::Int16, DM_COLOR, 1),
    detail::Pub("dmDuplex", 94, detail::Int16, DM_DUPLEX, 1),
    detail::Pub("dmTTOption", 98, detail::Int16, DM_TTOPTION, 3),
    detail::Pub("dmCollate", 100, detail::Int16, DM_COLLATE, 0),
    detail::Pub("dmFormName", 102, detail::WideString, DM_FORMNAME, 0, 32),

    // Private block, common part.
    detail::Priv("signature", 220, 220, detail::UInt32, static_cast<std::int32_t>(kPrivSignature),
                 detail::kKeep),
    detail::Priv("reserved1", 224, 224, detail::UInt32, 0, detail::kKeep),
    detail::Blob("reserved2", 228, 228, detail::Bytes, 24, 24),
    detail::Priv("modelValueA", 252, 252, detail::Int16, -5240, detail::kCopy),
    detail::Priv("modelValueB", 254, 254, detail::Int16, 467, detail::kCopy),
    detail::Priv("modelIndex", 256, 256, detail::UInt16, 0, detail::kKeep),
    detail::Priv("modelValueC", 258, 258, detail::UInt16, 0, detail::kKeep),
    detail::Priv("modelValueD", 260, 260, detail::UInt16, 46, detail::kKeep),
    detail::Priv("zoomMode", 262, 262, detail::UInt16, 0, detail::InRange(0, 3, 0)),
    detail::Priv("scalePercent", 264, 264, detail::Int16, 100, detail::InRange(25, 400, 100)),
    detail::Priv("fitPaperSize", 266, 266, detail::Int16, 9, detail::kCopy),
    detail::Priv("reverseOrder", 268, 268, detail::Int16, 1, detail::kSpecial),
    detail::Priv("mediaType", 270, 270, detail::Int16, 0, detail::InRange(0, 4, 0)),
    detail::Priv("jobShift", 272, 272, detail::Int16, 0, detail::InRange(0, 1, 0)),
    detail::Priv("rotateSort", 274, 274, detail::Int16, 0, detail::kSpecial),
    detail::Priv("outputBin", 276, 276, detail::Int16, 0, detail::InRange(0, 8, 1)),
    detail::Priv("collate", 278, 278, detail::Int16, 0, detail::InRange(0, 1, 1)),
    detail::Priv("paperWidthEntry", 280, 280, detail::Int16, 1062, detail::kCopy),
    detail::Priv("paperLengthEntry", 282, 282, detail::Int16, 1653, detail::kCopy),
    detail::Priv("spare284", 284, 284, detail::Int16, 0, detail::kKeep),
    detail::Priv("spare286", 286, 286, detail::Int16, 0, detail::kKeep),
    detail::Priv("spare288", 288, 288, detail::Int16, 0, detail::kKeep),
    detail::Priv("spare290", 290, 290, detail::Int16, 0, detail::kKeep),
    detail::Priv("nupEnabled", 292, 292, detail::UInt16, 0, detail::kSpecial),
    detail::Priv("nupPages", 294, 294, detail::UInt16, 1, detail::kSpecial),
    detail::Priv("nupColumnFirst", 296, 296, detail::UInt8, 0, detail::kSpecial),
    detail::Priv("nupRightToLeft", 297, 297, detail::UInt8, 0, detail::kSpecial),
    detail::Priv("nupSeparator", 298, 298, detail::UInt8, 0, detail::kSpecial),
    detail::Priv("modelByteE", 299, 300, detail::UInt8, 0, detail::kKeep),
    detail::Priv("modelValueF", 300, 302, detail::Int16, 90, detail::kKeep),
    detail::Priv("modelValueG", 302, 304, detail::Int16, 55, detail::kKeep),
    detail::Priv("watermarkEnabled", 304, 308, detail::UInt32, 0, detail::kSpecial),
    detail::Blob("watermark", 308, 312, detail::Bytes, 396, 400, detail::kSpecial),
    detail::Priv("frontGutter", 704, 712, detail::Int16, 0, detail::kCopy),
    detail::Priv("backGutter", 706, 714, detail::Int16, 0, detail::kCopy),
    detail::Priv("spare708", 708, 716, detail::Int16, 0, detail::kCopy),
    detail::Priv("bindingEdge", 710, 718, detail::Int16, 0, detail::kCopy),
    detail::Priv("bookletPaperSize", 712, 720, detail::Int16, 0, detail::kSpecial),
    detail::Priv("bookletFlip", 714, 722, detail::Int16, 0, detail::kCopy),
    detail::Priv("tonerSave", 716, 724, detail::Int16, 0, detail::kCopy),
    detail::Priv("spare718", 718, 726, detail::Int16, 0, detail::InRange(0, 1, 0)),
    detail::Priv("graphicsMode", 720, 728, detail::Int16, 1, detail::InRange(0, 2, 1)),
    detail::Priv("trueTypeMode", 722, 730, detail::Int16, 2, detail::kSpecial),
    detail::Priv("fontSubstitution", 724, 732, detail::Int16, 1, detail::InRange(0, 1, 1)),
    detail::Priv("spare726", 726, 734, detail::Int16, 2, detail::InRange(0, 3, 2)),
    detail::Priv("resolution", 728, 736, detail::Int16, 600, detail::kSpecial),
    detail::Priv("spare730", 730, 738, detail::Int16, 0, detail::InRange(0, 1, 0)),
    detail::Priv("spare732", 732, 740, detail::Int16, 1, detail::InRange(0, 6, 3)),
    detail::Priv("printerFontOnly", 734, 742, detail::Int16, 0, detail::kSpecial),
    detail::Priv("printerFontIndex", 736, 744, detail::Int16, 0, detail::kSpecial),
    detail::Priv("memoryCode", 738, 746, detail::Int16, 16 * 945 - 245, detail::kSpecial),
    detail::Priv("memoryMB", 740, 748, detail::Int16, 16, detail::InRange(16, 144, 16)),
    detail::Priv("installedOptions", 742, 752, detail::UInt32, 0x21, detail::kCopy),
    detail::Priv("spare746", 746, 756, detail::Int16, 1, detail::kSpecial),
    detail::Priv("modelValueH", 748, 758, detail::Int16, 32767, detail::kKeep),
    detail::Blob("reserved3", 750, 760, detail::Bytes, 12, 12),
    detail::Priv("spare762", 762, 772, detail::Int16, 0, detail::InRange(0, 1, 0)),
    detail::Priv("spare764", 764, 774, detail::Int16, 1, detail::kKeep),
    detail::Priv("sparePercent", 766, 776, detail::Int16, 100, detail::InRange(0, 100, 100)),
    // Six reserved bytes end the PCL XL record; its last four are watermarkLaunched.
    detail::Blob("reserved4", 768, 778, detail::Bytes, 4, 2),

    // PCL 5e tail (no PCL XL equivalent, except watermarkLaunched, which the
    // PCL XL interface library reads from the last four bytes of its record).
    detail::Priv("extraSize", 772, detail::X, detail::UInt32, kDriverExtra5e, detail::kSpecial),
    detail::Priv("magic", 776, detail::X, detail::UInt32, static_cast<std::int32_t>(kPrivMagic5e),
                 detail::kCopy),
    detail::Priv("spare780", 780, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Blob("reserved5", 782, detail::X, detail::Bytes, 4, 0),
    detail::Priv("rasterCompression", 786, detail::X, detail::Int16, 0, detail::kKeep),
    detail::Blob("reserved5b", 788, detail::X, detail::Bytes, 2, 0),
    detail::Priv("spare790", 790, detail::X, detail::UInt32, 0x5890, detail::kCopy),
    detail::Priv("paperSizeShadow", 794, detail::X, detail::UInt32, 0, detail::kKeep),
    detail::Priv("sourceShadow", 798, detail::X, detail::UInt32, 0, detail::kKeep),
    detail::Priv("fitActive", 802, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("fitPaperShadow", 804, detail::X, detail::Int16, 0, detail::kKeep),
    detail::Priv("reserved6", 806, detail::X, detail::Int16, 0, detail::kKeep),
    detail::Priv("spare808", 808, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("spare810", 810, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("mediaTypeShadow", 812, detail::X, detail::Int16, 0, detail::kSpecial),
    detail::Priv("collateShadow", 814, detail::X, detail::Int16, 0, detail::kSpecial),
    detail::Priv("reverseActive", 816, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("spare818", 818, detail::X, detail::UInt16, 0, detail::kKeep),
    detail::Priv("spare820", 820, detail::X, detail::UInt16, 0, detail::kKeep),
    detail::Priv("spare822", 822, detail::X, detail::Int16, 0, detail::kKeep),
    detail::Priv("separatorSheet", 824, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("separatorSource", 826, detail::X, detail::UInt32, 3, detail::kCopy),
    detail::Priv("rangeSourceMode", 830, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("rangeSource", 832, detail::X, detail::UInt32, 3, detail::kCopy),
    detail::Priv("rangeFirstPage", 836, detail::X, detail::Int16, 1, detail::kCopy),
    detail::Priv("rangeLastPage", 838, detail::X, detail::Int16, 1, detail::kCopy),
    detail::Priv("copiesShadow", 840, detail::X, detail::Int16, 1, detail::kSpecial),
    detail::Priv("layoutMode", 842, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("spare844", 844, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("orientationShadow", 846, detail::X, detail::Int16, 1, detail::kSpecial),
    detail::Priv("absolutePositioning", 848, detail::X, detail::UInt32, 0, detail::kCopy),
    detail::Priv("separatorActive", 852, detail::X, detail::Int16, 0, detail::kSpecial),
    detail::Priv("spare854", 854, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("spare856", 856, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("spare858", 858, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("spare860", 860, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("spare862", 862, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("colorConvertMode", 864, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("spare866", 866, detail::X, detail::Int16, 7, detail::kCopy),
    detail::Priv("trueTypeDownload", 868, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("trueTypeMethod", 870, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Priv("jobSecurity", 872, detail::X, detail::Int16, 0, detail::kKeep),
    detail::Blob("reserved7", 874, detail::X, detail::Bytes, 6, 0),
    detail::Priv("formMode", 880, detail::X, detail::Int16, 0, detail::kCopy),
    detail::Blob("formFileName", 882, detail::X, detail::NarrowString, 128, 0),
    detail::Blob("watermarkSummary", 1010, detail::X, detail::Bytes, 354, 0, detail::kSpecial),
    detail::Priv("spare1364", 1364, detail::X, detail::Int16, 0, detail::kKeep),
    detail::Priv("spare1366", 1366, detail::X, detail::UInt32, 0, detail::kCopy),
    {"watermarkLaunched", 1370, 780, FieldType::UInt32, 1, 1, 0, 0, MergeCheck::Keep, 0, 0, 0},
};

// WATERMARKREC: 396 bytes packed on 2-byte boundaries in the PCL 5e record,
// 400 bytes with natural alignment in the PCL XL record. Offsets are from the
// start of the watermark record.
inline constexpr std::size_t kWatermarkSize5e = 396;
inline constexpr std::size_t kWatermarkSizeXl = 400;
inline constexpr RecordField kWatermarkFields[] = {
    detail::Layout("index", 0, 0, detail::Int16),
    detail::Layout("name", 2, 2, detail::WideString, 73),
    detail::Layout("text", 148, 148, detail::WideString, 73),
    detail::Layout("deletable", 294, 296, detail::Int32),
    detail::Layout("shading", 298, 300, detail::Int16),
    detail::Layout("fontFace", 300, 302, detail::WideString, 32),
    detail::Layout("fontSize", 364, 366, detail::Int16),
    detail::Layout("workingSize", 366, 368, detail::Int16),
    detail::Layout("verticalOffset", 368, 370, detail::Int16),
    detail::Layout("horizontalOffset", 370, 372, detail::Int16),
    detail::Layout("italic", 372, 376, detail::UInt32),
    detail::Layout("bold", 376, 380, detail::UInt32),
    detail::Layout("angle", 380, 384, detail::Int16),
    detail::Layout("angleMode", 382, 386, detail::Int16),
    detail::Layout("positionMode", 384, 388, detail::Int16),
    detail::Layout("firstPageOnly", 386, 390, detail::Int16),
    detail::Layout("reserved", 388, 392, detail::Bytes, 8),
};

// The PCL 5e record's narrow watermark summary (354 bytes at 1010, packed).
// Offsets are from the start of the summary; `def` holds the defaults.
inline constexpr std::size_t kWatermarkSummaryOffset = 1010;
inline constexpr std::size_t kWatermarkSummarySize = 354;
inline constexpr RecordField kWatermarkSummaryFields[] = {
    detail::Layout("kind", 0, detail::X, detail::Int16, 1, 1),
    detail::Layout("index", 2, detail::X, detail::Int16, 1, 0),
    detail::Layout("name", 4, detail::X, detail::NarrowString, 31),
    detail::Layout("text", 35, detail::X, detail::NarrowString, 256),
    detail::Layout("fontFace", 291, detail::X, detail::NarrowString, 32),
    detail::Layout("fontSize", 323, detail::X, detail::UInt32, 1, 72),
    detail::Layout("value327", 327, detail::X, detail::Int16),
    detail::Layout("value329", 329, detail::X, detail::UInt32),
    detail::Layout("flags", 333, detail::X, detail::Bytes, 4),
    detail::Layout("pad", 337, detail::X, detail::UInt8),
    detail::Layout("value338", 338, detail::X, detail::UInt32),
    detail::Layout("value342", 342, detail::X, detail::UInt32),
    detail::Layout("value346", 346, detail::X, detail::UInt32, 1, 52),
    detail::Layout("value350", 350, detail::X, detail::UInt32),
};
inline constexpr std::string_view kWatermarkSummaryDefaultName = "None";
inline constexpr std::string_view kWatermarkSummaryDefaultFont = "Arial";

// ---- layout queries ------------------------------------------------------------

constexpr bool FieldPresent(const RecordField& f, DevmodeVariant v) {
  return v == DevmodeVariant::Pcl5e || f.offsetXl != kNoOffset;
}
constexpr std::size_t FieldOffset(const RecordField& f, DevmodeVariant v) {
  return v == DevmodeVariant::Pcl5e ? f.offset5e : f.offsetXl;
}
constexpr std::size_t FieldCount(const RecordField& f, DevmodeVariant v) {
  return v == DevmodeVariant::Pcl5e ? f.count5e : f.countXl;
}
constexpr std::size_t FieldTypeWidth(FieldType t) {
  switch (t) {
    case FieldType::UInt8:
    case FieldType::NarrowString:
    case FieldType::Bytes:
      return 1;
    case FieldType::Int16:
    case FieldType::UInt16:
    case FieldType::WideString:
      return 2;
    case FieldType::Int32:
    case FieldType::UInt32:
      return 4;
  }
  return 1;
}
constexpr std::size_t FieldByteSize(const RecordField& f, DevmodeVariant v) {
  return FieldTypeWidth(f.type) * FieldCount(f, v);
}
constexpr bool IsIntegerField(const RecordField& f) {
  return f.type != FieldType::WideString && f.type != FieldType::NarrowString &&
         f.type != FieldType::Bytes;
}
// The field lies inside `bytes` for this variant.
constexpr bool FieldFits(std::span<const std::uint8_t> bytes, const RecordField& f,
                         DevmodeVariant v) {
  return FieldPresent(f, v) && FieldOffset(f, v) + FieldByteSize(f, v) <= bytes.size();
}

// ---- lookups by name -------------------------------------------------------------

namespace detail {
// Deliberately not constexpr: naming an unknown field in a constant lookup
// stops the build.
void UnknownRecordField();
template <std::size_t N>
consteval const RecordField& FindIn(const RecordField (&table)[N], std::string_view name) {
  for (const RecordField& f : table) {
    if (f.name == name) return f;
  }
  UnknownRecordField();
  return table[0];
}
}  // namespace detail

// Compile-time lookups: DmField("scalePercent").
consteval const RecordField& DmField(std::string_view name) {
  return detail::FindIn(kDevmodeFields, name);
}
consteval const RecordField& WmField(std::string_view name) {
  return detail::FindIn(kWatermarkFields, name);
}
consteval const RecordField& WmSummaryField(std::string_view name) {
  return detail::FindIn(kWatermarkSummaryFields, name);
}

// Run-time lookup for tools (exact, case-sensitive names). Reserved fields are
// not found by name. Null when unknown.
const RecordField* FindDevmodeField(std::string_view name);
const RecordField* FindWatermarkField(std::string_view name);
std::span<const RecordField> DevmodeFields();

// ---- reading and writing ---------------------------------------------------------

// Integer value of a field (signed types sign-extended). 0 when the field is not
// an integer, absent from the variant or outside `bytes`.
constexpr std::int64_t GetField(std::span<const std::uint8_t> bytes, DevmodeVariant v,
                                const RecordField& f) {
  if (!FieldFits(bytes, f, v)) return 0;
  const std::size_t off = FieldOffset(f, v);
  switch (f.type) {
    case FieldType::UInt8:
      return LoadU8(bytes, off);
    case FieldType::Int16:
      return LoadI16LE(bytes, off);
    case FieldType::UInt16:
      return LoadU16LE(bytes, off);
    case FieldType::Int32:
      return LoadI32LE(bytes, off);
    case FieldType::UInt32:
      return LoadU32LE(bytes, off);
    default:
      return 0;
  }
}

// Stores the low bits of `value` in an integer field. False when the field is
// not an integer, absent from the variant or outside `bytes`.
constexpr bool SetField(std::span<std::uint8_t> bytes, DevmodeVariant v, const RecordField& f,
                        std::int64_t value) {
  if (!FieldFits(bytes, f, v)) return false;
  const std::size_t off = FieldOffset(f, v);
  switch (f.type) {
    case FieldType::UInt8:
      StoreU8(bytes, off, static_cast<std::uint8_t>(value));
      return true;
    case FieldType::Int16:
    case FieldType::UInt16:
      StoreU16LE(bytes, off, static_cast<std::uint16_t>(value));
      return true;
    case FieldType::Int32:
    case FieldType::UInt32:
      StoreU32LE(bytes, off, static_cast<std::uint32_t>(value));
      return true;
    default:
      return false;
  }
}

// Mutable byte buffers (spans, vectors, arrays) pick the writable overloads
// below; const ones the read-only overloads.
template <typename T>
concept WritableBytes = std::convertible_to<T, std::span<std::uint8_t>>;

// The bytes of any field (empty when absent or outside `bytes`).
template <WritableBytes B>
std::span<std::uint8_t> FieldBytes(B&& buffer, DevmodeVariant v, const RecordField& f) {
  std::span<std::uint8_t> bytes(buffer);
  if (!FieldFits(bytes, f, v)) return {};
  return bytes.subspan(FieldOffset(f, v), FieldByteSize(f, v));
}
inline std::span<const std::uint8_t> FieldBytes(std::span<const std::uint8_t> bytes,
                                                DevmodeVariant v, const RecordField& f) {
  if (!FieldFits(bytes, f, v)) return {};
  return bytes.subspan(FieldOffset(f, v), FieldByteSize(f, v));
}

// Wide and narrow strings: read up to the first NUL (or the field's end);
// writes truncate to leave a terminating NUL and zero the rest of the field.
std::u16string GetWideField(std::span<const std::uint8_t> bytes, DevmodeVariant v,
                            const RecordField& f);
bool SetWideField(std::span<std::uint8_t> bytes, DevmodeVariant v, const RecordField& f,
                  std::u16string_view text);
std::string GetNarrowField(std::span<const std::uint8_t> bytes, DevmodeVariant v,
                           const RecordField& f);
bool SetNarrowField(std::span<std::uint8_t> bytes, DevmodeVariant v, const RecordField& f,
                    std::string_view text);

// Sets a field from text as a tool's "-o NAME=VALUE" gives it: integers in
// decimal (with sign) or 0x hexadecimal, wide and narrow strings as UTF-8 text;
// raw byte fields are refused. Setting a public member with a DM_* bit also sets
// that bit in dmFields. False (with a reason in *error) for an unknown name, a
// field absent from the variant or an unreadable value.
bool SetDevmodeFieldFromText(std::span<std::uint8_t> record, DevmodeVariant v,
                             std::string_view name, std::string_view value,
                             std::string* error = nullptr);

// Sub-records.
template <WritableBytes B>
std::span<std::uint8_t> WatermarkBytes(B&& record, DevmodeVariant v) {
  return FieldBytes(std::span<std::uint8_t>(record), v, DmField("watermark"));
}
inline std::span<const std::uint8_t> WatermarkBytes(std::span<const std::uint8_t> record,
                                                    DevmodeVariant v) {
  return FieldBytes(record, v, DmField("watermark"));
}
// PCL 5e only (empty for PCL XL records). Use with kWatermarkSummaryFields and
// DevmodeVariant::Pcl5e.
template <WritableBytes B>
std::span<std::uint8_t> WatermarkSummaryBytes(B&& record, DevmodeVariant v) {
  return FieldBytes(std::span<std::uint8_t>(record), v, DmField("watermarkSummary"));
}
inline std::span<const std::uint8_t> WatermarkSummaryBytes(std::span<const std::uint8_t> record,
                                                           DevmodeVariant v) {
  return FieldBytes(record, v, DmField("watermarkSummary"));
}

// Bytes of a caller's record as its header declares them (dmSize +
// dmDriverExtra); empty for null.
std::size_t DeclaredDevmodeSize(const DEVMODEW* dm);
std::span<const std::uint8_t> DevmodeBytes(const DEVMODEW* dm);
std::span<std::uint8_t> DevmodeBytes(DEVMODEW* dm);

// ---- layout checks -----------------------------------------------------------------

namespace detail {
// Fields of a table are in ascending order, do not overlap and end inside `size`.
template <std::size_t N>
constexpr bool Ascending(const RecordField (&table)[N], DevmodeVariant v, std::size_t first,
                         std::size_t size) {
  std::size_t end = 0;
  for (std::size_t i = first; i < N; ++i) {
    const RecordField& f = table[i];
    if (!FieldPresent(f, v)) continue;
    if (FieldOffset(f, v) < end) return false;
    end = FieldOffset(f, v) + FieldByteSize(f, v);
  }
  return end <= size;
}
// Fields from `first` on tile start..size without gaps.
template <std::size_t N>
constexpr bool Tiles(const RecordField (&table)[N], DevmodeVariant v, std::size_t first,
                     std::size_t start, std::size_t size) {
  std::size_t end = start;
  for (std::size_t i = first; i < N; ++i) {
    const RecordField& f = table[i];
    if (!FieldPresent(f, v)) continue;
    if (FieldOffset(f, v) != end) return false;
    end += FieldByteSize(f, v);
  }
  return end == size;
}
inline constexpr std::size_t kFirstPrivateField = 19;
}  // namespace detail

static_assert(kDevmodeFields[detail::kFirstPrivateField].offset5e == kDevmodePublicSize);
static_assert(detail::Ascending(kDevmodeFields, DevmodeVariant::Pcl5e, 0, kRecordSize5e));
static_assert(detail::Ascending(kDevmodeFields, DevmodeVariant::PclXl, 0, kRecordSizeXl));
// The PCL 5e private block is packed: every byte belongs to a named field.
static_assert(detail::Tiles(kDevmodeFields, DevmodeVariant::Pcl5e, detail::kFirstPrivateField,
                            kDevmodePublicSize, kRecordSize5e));
static_assert(detail::Tiles(kWatermarkFields, DevmodeVariant::Pcl5e, 0, 0, kWatermarkSize5e));
static_assert(detail::Ascending(kWatermarkFields, DevmodeVariant::PclXl, 0, kWatermarkSizeXl));
static_assert(detail::Tiles(kWatermarkSummaryFields, DevmodeVariant::Pcl5e, 0, 0,
                            kWatermarkSummarySize));
static_assert(DmField("watermark").count5e == kWatermarkSize5e);
static_assert(DmField("watermark").countXl == kWatermarkSizeXl);
static_assert(DmField("watermarkSummary").offset5e == kWatermarkSummaryOffset);
static_assert(DmField("dmFormName").offset5e == offsetof(DEVMODEW, dmFormName));
static_assert(DmField("dmCollate").offset5e == offsetof(DEVMODEW, dmCollate));
static_assert(DmField("dmFields").offset5e == offsetof(DEVMODEW, dmFields));

}  // namespace kvset
