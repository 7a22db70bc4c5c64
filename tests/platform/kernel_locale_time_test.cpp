#include <chrono>

#include <gtest/gtest.h>

#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "support/test_root.h"

namespace {

class Locale : public ::testing::Test {
 protected:
  std::u16string Info(LCTYPE type) {
    WCHAR buffer[16] = {};
    const int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buffer, 16);
    return n > 0 ? std::u16string(buffer) : u"<failed>";
  }
  kvtest::TempRoot root_;
};

TEST_F(Locale, CountryAndCodePageComeFromTheRoot) {
  EXPECT_EQ(Info(LOCALE_ICOUNTRY), u"1");
  EXPECT_EQ(Info(LOCALE_IMEASURE), u"1");
  EXPECT_EQ(Info(LOCALE_IDEFAULTANSICODEPAGE), u"1252");
  EXPECT_EQ(GetACP(), 1252u);
  ASSERT_TRUE(kvplat::SetRootSetting("locale", "country", "44"));
  ASSERT_TRUE(kvplat::SetRootSetting("locale", "codepage", "1250"));
  EXPECT_EQ(Info(LOCALE_ICOUNTRY), u"44");
  EXPECT_EQ(Info(LOCALE_IMEASURE), u"0");
  EXPECT_EQ(Info(LOCALE_IDEFAULTANSICODEPAGE), u"1250");
  EXPECT_EQ(GetACP(), 1250u);
}

TEST_F(Locale, BufferSizesFollowWindows) {
  ASSERT_TRUE(kvplat::SetRootSetting("locale", "country", "44"));
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, nullptr, 0), 3);
  WCHAR buffer[3];
  SetLastError(0);
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, buffer, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, buffer, 3), 3);
  EXPECT_EQ(std::u16string(buffer), u"44");
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, 0x7777, buffer, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

TEST(MulDivTest, RoundsHalfAwayFromZero) {
  struct Case {
    int a, b, c, expected;
  };
  const Case cases[] = {
      {1, 1, 2, 1},   {-1, 1, 2, -1},  {3, 1, 2, 2},    {5, 2, 4, 3},
      {7, 1, 3, 2},   {8, 1, 3, 3},    {-8, 1, 3, -3},  {8, -1, 3, -3},
      {-8, -1, -3, -3}, {600, 254, 100, 1524}, {100, 72, 0, -1},
      {0x40000000, 4, 1, -1},          // overflow
      {0x40000000, 4, 2, -1},          // 2^31 does not fit either
      {-0x40000000, 4, 2, INT32_MIN},  // but -2^31 does
      {46341, 46341, 1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MulDiv(c.a, c.b, c.c), c.expected) << c.a << "*" << c.b << "/" << c.c;
  }
}

TEST(Clock, LocalTimeAndTicks) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  EXPECT_GE(now.wYear, 2024);
  EXPECT_GE(now.wMonth, 1);
  EXPECT_LE(now.wMonth, 12);
  EXPECT_LE(now.wDayOfWeek, 6);
  EXPECT_LT(now.wMilliseconds, 1000);
  const DWORD before = GetTickCount();
  Sleep(30);
  const DWORD elapsed = GetTickCount() - before;
  EXPECT_GE(elapsed, 29u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace
