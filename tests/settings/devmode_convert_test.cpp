// Copying between records of different sizes, the property sheet's combination
// of sizes and the spooler's conversion entry.
#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "settings/devmode_record.h"
#include "tests/settings/record_helpers.h"

namespace {

using kvset::DevmodeVariant;
using kvtest::Field;
using kvtest::Record;
using kvtest::SetFieldByName;

constexpr DevmodeVariant k5e = DevmodeVariant::Pcl5e;
constexpr DevmodeVariant kXl = DevmodeVariant::PclXl;

// A record with the given header; the rest is a recognisable pattern.
Record Header(std::uint16_t specVersion, std::uint16_t driverVersion, std::uint16_t size,
              std::uint16_t extra, std::uint8_t fill) {
  Record r(std::max<std::size_t>(size + extra, 72), fill);
  kvset::StoreU16LE(r, 64, specVersion);
  kvset::StoreU16LE(r, 66, driverVersion);
  kvset::StoreU16LE(r, 68, size);
  kvset::StoreU16LE(r, 70, extra);
  return r;
}

std::uint16_t U16(const Record& r, std::size_t off) { return kvset::LoadU16LE(r, off); }

TEST(CopyDevmodeParts, SourceAndDestinationChecks) {
  Record dest = Header(0x0401, 0x0400, 220, 1154, 0);
  EXPECT_EQ(kvset::CopyDevmodeParts(nullptr, kvtest::AsDevmode(dest)), -1);
  Record src = Header(0x0401, 0x0400, 220, 564, 1);
  EXPECT_EQ(kvset::CopyDevmodeParts(kvtest::AsDevmode(src), nullptr), -1);
  // An unknown public size needs a nonzero dmSpecVersion.
  Record odd = Header(0, 0x0400, 200, 10, 1);
  EXPECT_EQ(kvset::CopyDevmodeParts(kvtest::AsDevmode(odd), kvtest::AsDevmode(dest)), -1);
  kvset::StoreU16LE(odd, 64, 0x0300);
  EXPECT_EQ(kvset::CopyDevmodeParts(kvtest::AsDevmode(odd), kvtest::AsDevmode(dest)), 210);
  // A known size needs none.
  Record old = Header(0, 0x0300, 188, 0, 1);
  EXPECT_EQ(kvset::CopyDevmodeParts(kvtest::AsDevmode(old), kvtest::AsDevmode(dest)), 188);
  // A destination of an unknown size keeps its version, and fails without one.
  Record oddDest = Header(0, 0x0400, 200, 0, 0);
  EXPECT_EQ(kvset::CopyDevmodeParts(kvtest::AsDevmode(src), kvtest::AsDevmode(oddDest)), -1);
}

TEST(CopyDevmodeParts, DestinationKeepsItsSizesAndGetsTheVersionOfItsSize) {
  struct Case {
    std::uint16_t destSize;
    std::uint16_t destSpec;
    std::uint16_t expectedSpec;
  };
  const Case cases[] = {{188, 0, 0x0320}, {212, 0, 0x0400}, {220, 0, 0x0401}, {200, 0x0555, 0x0555}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.destSize);
    Record src = Header(0x0401, 0x0400, 220, 1154, 0x11);
    Record dest = Header(c.destSpec, 0x0350, c.destSize, 112, 0x22);
    const int copied = kvset::CopyDevmodeParts(kvtest::AsDevmode(src), kvtest::AsDevmode(dest));
    EXPECT_EQ(copied, std::min<int>(220, c.destSize) + 112);
    EXPECT_EQ(U16(dest, 64), c.expectedSpec);
    EXPECT_EQ(U16(dest, 66), 0x0350);
    EXPECT_EQ(U16(dest, 68), c.destSize);
    EXPECT_EQ(U16(dest, 70), 112);
    EXPECT_EQ(dest[0], 0x11);
    EXPECT_EQ(dest[c.destSize - 1], 0x11);
    EXPECT_EQ(dest[c.destSize + 111], 0x11);  // private part from the source's private part
  }
}

TEST(CopyDevmodeParts, PrivatePartsMeetAtTheirOwnPublicEnds) {
  Record src = Header(0x0401, 0x0400, 188, 20, 0);
  for (int i = 0; i < 20; ++i) src[188 + i] = static_cast<std::uint8_t>(0x80 + i);
  Record dest = Header(0x0401, 0x0400, 220, 1154, 0);
  EXPECT_EQ(kvset::CopyDevmodeParts(kvtest::AsDevmode(src), kvtest::AsDevmode(dest)), 188 + 20);
  EXPECT_EQ(dest[220], 0x80);
  EXPECT_EQ(dest[239], 0x80 + 19);
  EXPECT_EQ(dest[240], 0);
}

TEST(CopyDevmodeParts, SpanFormRefusesHeadersLargerThanTheirBuffers) {
  Record src = Header(0x0401, 0x0400, 220, 1154, 1);
  src.resize(800);  // says 1374, holds 800
  Record dest = Header(0x0401, 0x0400, 220, 1154, 0);
  EXPECT_EQ(kvset::CopyDevmodeParts(std::span<const std::uint8_t>(src), std::span(dest)), -1);
  Record shortDest = Header(0x0401, 0x0400, 220, 1154, 0);
  shortDest.resize(784);
  Record fullSrc = Header(0x0401, 0x0400, 220, 1154, 1);
  EXPECT_EQ(kvset::CopyDevmodeParts(std::span<const std::uint8_t>(fullSrc), std::span(shortDest)),
            -1);
}

TEST(CombineDevmodeSizes, WithoutSecondRecordCopiesTheFirstWhole) {
  Record a = Header(0x0401, 0x0400, 220, 564, 0x5A);
  Record out(784, 0);
  EXPECT_TRUE(kvset::CombineDevmodeSizes(kvtest::AsDevmode(a), nullptr, kvtest::AsDevmode(out)));
  EXPECT_EQ(out, a);
  EXPECT_FALSE(kvset::CombineDevmodeSizes(nullptr, nullptr, kvtest::AsDevmode(out)));
}

TEST(CombineDevmodeSizes, TakesTheSmallerSizesWithTheirVersions) {
  Record a = Header(0x0401, 0x0400, 220, 1154, 0x5A);
  Record b = Header(0x0400, 0x0350, 212, 112, 0);
  Record out(1374, 0);
  EXPECT_TRUE(kvset::CombineDevmodeSizes(kvtest::AsDevmode(a), kvtest::AsDevmode(b),
                                         kvtest::AsDevmode(out)));
  EXPECT_EQ(U16(out, 68), 212);
  EXPECT_EQ(U16(out, 64), 0x0400);
  EXPECT_EQ(U16(out, 70), 112);
  EXPECT_EQ(U16(out, 66), 0x0350);
  EXPECT_EQ(out[211], 0x5A);
  EXPECT_EQ(out[212 + 111], 0x5A);
  EXPECT_EQ(out[212 + 112], 0);
}

class ConvertDevmode : public ::testing::Test {
 protected:
  kvtest::TempRoot root_;
};

TEST_F(ConvertDevmode, MissingCountAndUnknownModes) {
  Record in = kvtest::DefaultRecord(k5e);
  Record out(1374);
  SetLastError(0);
  EXPECT_FALSE(kvset::ConvertDevmodeForSpooler(k5e, nullptr, kvtest::AsDevmode(in),
                                               kvtest::AsDevmode(out), nullptr, CDM_CONVERT));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  LONG size = 1374;
  EXPECT_FALSE(kvset::ConvertDevmodeForSpooler(k5e, nullptr, kvtest::AsDevmode(in),
                                               kvtest::AsDevmode(out), &size, 0x10));
  EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(ConvertDevmode, ConvertCopiesIntoTheCallersSizes) {
  Record in = kvtest::DefaultRecord(kXl);
  SetFieldByName(in, kXl, "dmCopies", 9);
  Record out = kvtest::DefaultRecord(k5e);
  LONG size = 1374;
  EXPECT_TRUE(kvset::ConvertDevmodeForSpooler(k5e, nullptr, kvtest::AsDevmode(in),
                                              kvtest::AsDevmode(out), &size, CDM_CONVERT));
  EXPECT_EQ(size, 1374);
  EXPECT_EQ(Field(out, k5e, "dmCopies"), 9);
  EXPECT_EQ(Field(out, k5e, "dmDriverExtra"), 1154);

  size = 1373;
  SetLastError(0);
  EXPECT_FALSE(kvset::ConvertDevmodeForSpooler(k5e, nullptr, kvtest::AsDevmode(in),
                                               kvtest::AsDevmode(out), &size, CDM_CONVERT));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  size = 1374;
  EXPECT_FALSE(kvset::ConvertDevmodeForSpooler(k5e, nullptr, nullptr, kvtest::AsDevmode(out),
                                               &size, CDM_CONVERT));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ConvertDevmode, Nt351ConversionNeeds300Bytes) {
  Record in = kvtest::DefaultRecord(k5e);
  Record out(300, 0xEE);
  LONG size = 299;
  EXPECT_FALSE(kvset::ConvertDevmodeForSpooler(k5e, nullptr, kvtest::AsDevmode(in),
                                               kvtest::AsDevmode(out), &size, CDM_CONVERT351));
  EXPECT_EQ(size, 300);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(kvset::ConvertDevmodeForSpooler(k5e, nullptr, kvtest::AsDevmode(in),
                                              kvtest::AsDevmode(out), &size, CDM_CONVERT351));
  EXPECT_EQ(size, 300);
  EXPECT_EQ(U16(out, 64), 0x0320);
  EXPECT_EQ(U16(out, 66), 0x0350);
  EXPECT_EQ(U16(out, 68), 188);
  EXPECT_EQ(U16(out, 70), 112);
  EXPECT_EQ(std::equal(out.begin() + 188, out.end(), in.begin() + 220), true);
  EXPECT_EQ(Field(out, k5e, "dmCopies"), 1);

  // A short input leaves the rest clear.
  Record shortIn = Header(0x0401, 0x0400, 188, 4, 0x33);
  EXPECT_TRUE(kvset::ConvertDevmodeForSpooler(k5e, nullptr, kvtest::AsDevmode(shortIn),
                                              kvtest::AsDevmode(out), &size, CDM_CONVERT351));
  EXPECT_EQ(out[191], 0x33);
  EXPECT_EQ(out[192], 0);
  EXPECT_EQ(out[299], 0);
}

TEST_F(ConvertDevmode, DriverDefaultOneByteShortReportsTheSize) {
  Record out(1374);
  LONG size = 1373;
  SetLastError(0);
  EXPECT_FALSE(kvset::ConvertDevmodeForSpooler(k5e, nullptr, nullptr, kvtest::AsDevmode(out),
                                               &size, CDM_DRIVER_DEFAULT));
  EXPECT_EQ(size, 1374);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  size = 784;
  EXPECT_FALSE(kvset::ConvertDevmodeForSpooler(kXl, nullptr, nullptr, nullptr, &size,
                                               CDM_DRIVER_DEFAULT));
  EXPECT_EQ(size, 784);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(ConvertDevmode, DriverDefaultBuildsDefaultsNamedAfterTheDriver) {
  HANDLE printer = kvtest::AddTestPrinter(u"Office");
  ASSERT_NE(printer, nullptr);
  ClosePrinter(printer);
  std::u16string name = u"Office";
  Record out(1374, 0xEE);
  LONG size = 1374;
  EXPECT_TRUE(kvset::ConvertDevmodeForSpooler(k5e, name.data(), nullptr, kvtest::AsDevmode(out),
                                              &size, CDM_DRIVER_DEFAULT));
  EXPECT_EQ(kvset::GetWideField(out, k5e, kvset::DmField("dmDeviceName")), kvtest::kTestDriverName);
  EXPECT_EQ(Field(out, k5e, "magic"), 0x4B763563);

  std::u16string missing = u"No such printer";
  EXPECT_FALSE(kvset::ConvertDevmodeForSpooler(k5e, missing.data(), nullptr,
                                               kvtest::AsDevmode(out), &size, CDM_DRIVER_DEFAULT));
  EXPECT_EQ(size, 1374);
  kvplat::fault::FailAfter(kvplat::fault::Point::OpenPrinter, 0);
  EXPECT_FALSE(kvset::ConvertDevmodeForSpooler(k5e, name.data(), nullptr, kvtest::AsDevmode(out),
                                               &size, CDM_DRIVER_DEFAULT));
}

}  // namespace
