#include "settings/devmode_fields.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "kvplat/root.h"

namespace kvset {

namespace {

bool IsReservedName(std::string_view name) { return name.starts_with("reserved"); }

template <std::size_t N>
const RecordField* FindByName(const RecordField (&table)[N], std::string_view name) {
  if (IsReservedName(name)) return nullptr;
  for (const RecordField& f : table) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

// Decimal with an optional sign, or 0x hexadecimal.
bool ParseInteger(std::string_view text, std::int64_t* value) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (magnitude > 0xFFFFFFFFull) return false;
  *value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

bool FitsType(FieldType type, std::int64_t v) {
  switch (type) {
    case FieldType::UInt8:
      return v >= 0 && v <= 0xFF;
    case FieldType::Int16:
      return v >= -32768 && v <= 32767;
    case FieldType::UInt16:
      return v >= 0 && v <= 0xFFFF;
    case FieldType::Int32:
      return v >= INT32_MIN && v <= INT32_MAX;
    case FieldType::UInt32:
      return v >= INT32_MIN && v <= 0xFFFFFFFFll;  // negative values as their two's complement
    default:
      return false;
  }
}

}  // namespace

const RecordField* FindDevmodeField(std::string_view name) {
  return FindByName(kDevmodeFields, name);
}

const RecordField* FindWatermarkField(std::string_view name) {
  return FindByName(kWatermarkFields, name);
}

std::span<const RecordField> DevmodeFields() { return kDevmodeFields; }

std::u16string GetWideField(std::span<const std::uint8_t> bytes, DevmodeVariant v,
                            const RecordField& f) {
  std::u16string out;
  if (f.type != FieldType::WideString || !FieldFits(bytes, f, v)) return out;
  const std::size_t off = FieldOffset(f, v);
  for (std::size_t i = 0; i < FieldCount(f, v); ++i) {
    const char16_t c = LoadU16LE(bytes, off + 2 * i);
    if (c == 0) break;
    out.push_back(c);
  }
  return out;
}

bool SetWideField(std::span<std::uint8_t> bytes, DevmodeVariant v, const RecordField& f,
                  std::u16string_view text) {
  if (f.type != FieldType::WideString || !FieldFits(bytes, f, v)) return false;
  const std::size_t off = FieldOffset(f, v);
  const std::size_t count = FieldCount(f, v);
  const std::size_t len = std::min(text.size(), count - 1);
  for (std::size_t i = 0; i < count; ++i) {
    StoreU16LE(bytes, off + 2 * i, i < len ? static_cast<std::uint16_t>(text[i]) : 0);
  }
  return true;
}

std::string GetNarrowField(std::span<const std::uint8_t> bytes, DevmodeVariant v,
                           const RecordField& f) {
  std::string out;
  if (f.type != FieldType::NarrowString || !FieldFits(bytes, f, v)) return out;
  const std::size_t off = FieldOffset(f, v);
  for (std::size_t i = 0; i < FieldCount(f, v); ++i) {
    const char c = static_cast<char>(bytes[off + i]);
    if (c == 0) break;
    out.push_back(c);
  }
  return out;
}

bool SetNarrowField(std::span<std::uint8_t> bytes, DevmodeVariant v, const RecordField& f,
                    std::string_view text) {
  if (f.type != FieldType::NarrowString || !FieldFits(bytes, f, v)) return false;
  const std::size_t off = FieldOffset(f, v);
  const std::size_t count = FieldCount(f, v);
  const std::size_t len = std::min(text.size(), count - 1);
  std::fill_n(bytes.begin() + off, count, 0);
  std::memcpy(bytes.data() + off, text.data(), len);
  return true;
}

bool SetDevmodeFieldFromText(std::span<std::uint8_t> record, DevmodeVariant v,
                             std::string_view name, std::string_view value, std::string* error) {
  const RecordField* f = FindDevmodeField(name);
  if (f == nullptr) {
    SetError(error, "unknown device mode field '" + std::string(name) + "'");
    return false;
  }
  if (!FieldFits(record, *f, v)) {
    SetError(error, "field '" + std::string(name) + "' is not part of this record");
    return false;
  }
  bool ok = false;
  switch (f->type) {
    case FieldType::WideString:
      ok = SetWideField(record, v, *f, kvplat::ToUtf16(value));
      break;
    case FieldType::NarrowString:
      ok = SetNarrowField(record, v, *f, value);
      break;
    case FieldType::Bytes:
      SetError(error, "field '" + std::string(name) + "' holds raw bytes");
      return false;
    default: {
      std::int64_t n = 0;
      if (!ParseInteger(value, &n) || !FitsType(f->type, n)) {
        SetError(error, "bad value '" + std::string(value) + "' for '" + std::string(name) + "'");
        return false;
      }
      ok = SetField(record, v, *f, n);
      break;
    }
  }
  if (ok && f->dmBit != 0) {
    const RecordField& fields = DmField("dmFields");
    SetField(record, v, fields, GetField(record, v, fields) | f->dmBit);
  }
  return ok;
}

std::size_t DeclaredDevmodeSize(const DEVMODEW* dm) {
  if (dm == nullptr) return 0;
  // Read through bytes: callers' records need not be aligned.
  const auto* p = reinterpret_cast<const std::uint8_t*>(dm);
  return static_cast<std::size_t>(LoadU16LE(p + 68)) + LoadU16LE(p + 70);
}

std::span<const std::uint8_t> DevmodeBytes(const DEVMODEW* dm) {
  if (dm == nullptr) return {};
  return {reinterpret_cast<const std::uint8_t*>(dm), DeclaredDevmodeSize(dm)};
}

std::span<std::uint8_t> DevmodeBytes(DEVMODEW* dm) {
  if (dm == nullptr) return {};
  return {reinterpret_cast<std::uint8_t*>(dm), DeclaredDevmodeSize(dm)};
}

}  // namespace kvset
