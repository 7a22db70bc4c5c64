// Little- and big-endian loads and stores for every stored or sent byte layout:
// device mode records, printer data, PJL/PCL and PCL XL streams. All helpers
// work byte by byte, so they need no alignment and are usable in constant
// expressions. The span overloads take an offset; the caller makes sure that
// offset + width lies inside the span (checked in debug builds only).
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kvset {

// ---- raw pointers ------------------------------------------------------------

constexpr std::uint16_t LoadU16LE(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
constexpr std::int16_t LoadI16LE(const std::uint8_t* p) {
  return static_cast<std::int16_t>(LoadU16LE(p));
}
constexpr std::uint32_t LoadU32LE(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
constexpr std::int32_t LoadI32LE(const std::uint8_t* p) {
  return static_cast<std::int32_t>(LoadU32LE(p));
}
constexpr std::uint16_t LoadU16BE(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
constexpr std::int16_t LoadI16BE(const std::uint8_t* p) {
  return static_cast<std::int16_t>(LoadU16BE(p));
}
constexpr std::uint32_t LoadU32BE(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
constexpr std::int32_t LoadI32BE(const std::uint8_t* p) {
  return static_cast<std::int32_t>(LoadU32BE(p));
}

constexpr void StoreU16LE(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void StoreI16LE(std::uint8_t* p, std::int16_t v) {
  StoreU16LE(p, static_cast<std::uint16_t>(v));
}
constexpr void StoreU32LE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}
constexpr void StoreI32LE(std::uint8_t* p, std::int32_t v) {
  StoreU32LE(p, static_cast<std::uint32_t>(v));
}
constexpr void StoreU16BE(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
constexpr void StoreI16BE(std::uint8_t* p, std::int16_t v) {
  StoreU16BE(p, static_cast<std::uint16_t>(v));
}
constexpr void StoreU32BE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
constexpr void StoreI32BE(std::uint8_t* p, std::int32_t v) {
  StoreU32BE(p, static_cast<std::uint32_t>(v));
}

// ---- spans with an offset ------------------------------------------------------

#define KVSET_CHECK_RANGE(span, offset, width) \
  assert((offset) <= (span).size() && (span).size() - (offset) >= (width))

constexpr std::uint8_t LoadU8(std::span<const std::uint8_t> b, std::size_t off) {
  KVSET_CHECK_RANGE(b, off, 1);
  return b[off];
}
constexpr std::uint16_t LoadU16LE(std::span<const std::uint8_t> b, std::size_t off) {
  KVSET_CHECK_RANGE(b, off, 2);
  return LoadU16LE(b.data() + off);
}
constexpr std::int16_t LoadI16LE(std::span<const std::uint8_t> b, std::size_t off) {
  KVSET_CHECK_RANGE(b, off, 2);
  return LoadI16LE(b.data() + off);
}
constexpr std::uint32_t LoadU32LE(std::span<const std::uint8_t> b, std::size_t off) {
  KVSET_CHECK_RANGE(b, off, 4);
  return LoadU32LE(b.data() + off);
}
constexpr std::int32_t LoadI32LE(std::span<const std::uint8_t> b, std::size_t off) {
  KVSET_CHECK_RANGE(b, off, 4);
  return LoadI32LE(b.data() + off);
}
constexpr std::uint16_t LoadU16BE(std::span<const std::uint8_t> b, std::size_t off) {
  KVSET_CHECK_RANGE(b, off, 2);
  return LoadU16BE(b.data() + off);
}
constexpr std::int16_t LoadI16BE(std::span<const std::uint8_t> b, std::size_t off) {
  KVSET_CHECK_RANGE(b, off, 2);
  return LoadI16BE(b.data() + off);
}
constexpr std::uint32_t LoadU32BE(std::span<const std::uint8_t> b, std::size_t off) {
  KVSET_CHECK_RANGE(b, off, 4);
  return LoadU32BE(b.data() + off);
}
constexpr std::int32_t LoadI32BE(std::span<const std::uint8_t> b, std::size_t off) {
  KVSET_CHECK_RANGE(b, off, 4);
  return LoadI32BE(b.data() + off);
}

constexpr void StoreU8(std::span<std::uint8_t> b, std::size_t off, std::uint8_t v) {
  KVSET_CHECK_RANGE(b, off, 1);
  b[off] = v;
}
constexpr void StoreU16LE(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v) {
  KVSET_CHECK_RANGE(b, off, 2);
  StoreU16LE(b.data() + off, v);
}
constexpr void StoreI16LE(std::span<std::uint8_t> b, std::size_t off, std::int16_t v) {
  KVSET_CHECK_RANGE(b, off, 2);
  StoreI16LE(b.data() + off, v);
}
constexpr void StoreU32LE(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v) {
  KVSET_CHECK_RANGE(b, off, 4);
  StoreU32LE(b.data() + off, v);
}
constexpr void StoreI32LE(std::span<std::uint8_t> b, std::size_t off, std::int32_t v) {
  KVSET_CHECK_RANGE(b, off, 4);
  StoreI32LE(b.data() + off, v);
}
constexpr void StoreU16BE(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v) {
  KVSET_CHECK_RANGE(b, off, 2);
  StoreU16BE(b.data() + off, v);
}
constexpr void StoreI16BE(std::span<std::uint8_t> b, std::size_t off, std::int16_t v) {
  KVSET_CHECK_RANGE(b, off, 2);
  StoreI16BE(b.data() + off, v);
}
constexpr void StoreU32BE(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v) {
  KVSET_CHECK_RANGE(b, off, 4);
  StoreU32BE(b.data() + off, v);
}
constexpr void StoreI32BE(std::span<std::uint8_t> b, std::size_t off, std::int32_t v) {
  KVSET_CHECK_RANGE(b, off, 4);
  StoreI32BE(b.data() + off, v);
}

#undef KVSET_CHECK_RANGE

// Byte view of a plain object, for handing records to the span helpers.
template <typename T>
std::span<std::uint8_t> BytesOf(T& object) {
  return {reinterpret_cast<std::uint8_t*>(&object), sizeof(T)};
}
template <typename T>
std::span<const std::uint8_t> BytesOf(const T& object) {
  return {reinterpret_cast<const std::uint8_t*>(&object), sizeof(T)};
}

}  // namespace kvset
