#include <gtest/gtest.h>

#include <array>

#include "settings/byte_order.h"

namespace {

static_assert(kvset::LoadU16LE(std::array<std::uint8_t, 2>{0x34, 0x12}.data()) == 0x1234);
static_assert(kvset::LoadU32BE(std::array<std::uint8_t, 4>{0x12, 0x34, 0x56, 0x78}.data()) ==
              0x12345678u);

TEST(ByteOrder, RoundTripsAtAnyOffsetInBothOrders) {
  std::array<std::uint8_t, 11> b{};
  kvset::StoreI16LE(b, 1, -2);
  kvset::StoreU32LE(b, 3, 0xA1B2C3D4u);
  kvset::StoreI32BE(b, 7, -5);
  EXPECT_EQ(b[1], 0xFE);
  EXPECT_EQ(b[2], 0xFF);
  EXPECT_EQ(b[3], 0xD4);
  EXPECT_EQ(b[6], 0xA1);
  EXPECT_EQ(b[7], 0xFF);
  EXPECT_EQ(b[10], 0xFB);
  EXPECT_EQ(kvset::LoadI16LE(b, 1), -2);
  EXPECT_EQ(kvset::LoadU16LE(b, 1), 0xFFFE);
  EXPECT_EQ(kvset::LoadU32LE(b, 3), 0xA1B2C3D4u);
  EXPECT_EQ(kvset::LoadI32LE(b, 3), static_cast<std::int32_t>(0xA1B2C3D4u));
  EXPECT_EQ(kvset::LoadI32BE(b, 7), -5);
  kvset::StoreU16BE(b, 0, 0x0102);
  EXPECT_EQ(kvset::LoadU16BE(b, 0), 0x0102);
  EXPECT_EQ(kvset::LoadI16BE(b, 0), 0x0102);
}

}  // namespace
