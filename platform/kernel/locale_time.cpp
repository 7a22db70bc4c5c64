// Locale answers (from the root's settings) and time services.
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"
#include "kvplat/root.h"

namespace kvplat {
namespace {

constexpr LCTYPE kNoUserOverride = 0x80000000u;
constexpr LCTYPE kUseCpAcp = 0x40000000u;
constexpr LCTYPE kReturnNumber = 0x20000000u;

std::string Country() { return RootSetting("locale", "country", "1"); }

std::string CodePage() { return RootSetting("locale", "codepage", "1252"); }

std::uint32_t Number(const std::string& text, std::uint32_t fallback) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (end == text.c_str() || errno != 0 || value > UINT32_MAX) return fallback;
  return static_cast<std::uint32_t>(value);
}

}  // namespace
}  // namespace kvplat

using namespace kvplat;

KVAPI int GetLocaleInfoW(LCID /*locale*/, LCTYPE type, LPWSTR data, int size) {
  if (size < 0 || (size > 0 && data == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const bool asNumber = (type & kReturnNumber) != 0;
  std::string text;
  switch (type & ~(kNoUserOverride | kUseCpAcp | kReturnNumber)) {
    case LOCALE_ICOUNTRY: text = Country(); break;
    case LOCALE_IDEFAULTANSICODEPAGE: text = CodePage(); break;
    case LOCALE_IMEASURE: {
      // 0 metric, 1 U.S. system; countries that measure in inches use 1.
      const std::string country = Country();
      text = RootSetting("locale", "measure", country == "1" ? "1" : "0");
      break;
    }
    default:
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
  }
  if (asNumber) {
    // A DWORD in two WCHARs.
    constexpr int kUnits = sizeof(DWORD) / sizeof(WCHAR);
    if (size == 0) return kUnits;
    if (size < kUnits) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    const DWORD value = Number(text, 0);
    std::memcpy(data, &value, sizeof value);
    return kUnits;
  }
  const std::u16string wide = ToUtf16(text);
  const int needed = static_cast<int>(wide.size()) + 1;
  if (size == 0) return needed;
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  wide.copy(data, wide.size());
  data[wide.size()] = 0;
  return needed;
}

KVAPI UINT GetACP() { return Number(CodePage(), 1252); }

KVAPI void GetLocalTime(SYSTEMTIME* time) {
  if (time == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  time->wYear = static_cast<WORD>(local.tm_year + 1900);
  time->wMonth = static_cast<WORD>(local.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  time->wDay = static_cast<WORD>(local.tm_mday);
  time->wHour = static_cast<WORD>(local.tm_hour);
  time->wMinute = static_cast<WORD>(local.tm_min);
  time->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
  time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

KVAPI DWORD GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}

KVAPI void Sleep(DWORD milliseconds) {
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

KVAPI int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const std::int64_t product = static_cast<std::int64_t>(number) * numerator;
  const bool negative = (product < 0) != (denominator < 0);
  const std::uint64_t magnitude =
      product < 0 ? 0u - static_cast<std::uint64_t>(product) : static_cast<std::uint64_t>(product);
  const std::uint64_t divisor = denominator < 0
                                    ? 0u - static_cast<std::uint64_t>(static_cast<std::int64_t>(denominator))
                                    : static_cast<std::uint64_t>(denominator);
  // Rounds half away from zero.
  const std::uint64_t quotient = (magnitude + divisor / 2) / divisor;
  if (negative) {
    if (quotient > static_cast<std::uint64_t>(INT_MAX) + 1) return -1;
    return static_cast<int>(-static_cast<std::int64_t>(quotient));
  }
  if (quotient > static_cast<std::uint64_t>(INT_MAX)) return -1;
  return static_cast<int>(quotient);
}
