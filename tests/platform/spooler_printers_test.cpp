// Printers in the spooler's store: adding, listing, opening with access rights,
// printer information buffers, changing and deleting printers.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "spooler_fixture.h"

namespace {

using spooltest::Printer;
using spooltest::SpoolerTest;

// Whether [p, p + n) lies in the buffer.
bool Inside(const void* p, std::size_t n, const std::vector<BYTE>& buffer) {
  const auto* b = static_cast<const BYTE*>(p);
  return b >= buffer.data() && b + n <= buffer.data() + buffer.size();
}

std::vector<BYTE> GetInfo(HANDLE h, DWORD level) {
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterW(h, level, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<BYTE> buffer(needed);
  if (needed > 0) {
    EXPECT_FALSE(GetPrinterW(h, level, buffer.data(), needed - 1, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  }
  EXPECT_TRUE(GetPrinterW(h, level, buffer.data(), needed, &needed)) << GetLastError();
  return buffer;
}

TEST_F(SpoolerTest, AddedPrintersAreListedOpenedByAnyCaseAndRemoved) {
  ASSERT_TRUE(Add(u"Office B", u"C:\\out\\b.prn"));
  ASSERT_TRUE(Add(u"office a", u"FILE:"));
  EXPECT_EQ(kvplat::spool::PrinterNames(), (std::vector<std::u16string>{u"office a", u"Office B"}));

  Printer b = Open(u"OFFICE b", PRINTER_ALL_ACCESS);
  ASSERT_TRUE(b) << GetLastError();
  const auto info = GetInfo(b.get(), 4);
  EXPECT_EQ(std::u16string(reinterpret_cast<const PRINTER_INFO_4W*>(info.data())->pPrinterName), u"Office B");

  ASSERT_TRUE(DeletePrinter(b.get())) << GetLastError();
  EXPECT_EQ(kvplat::spool::PrinterNames(), (std::vector<std::u16string>{u"office a"}));
  EXPECT_FALSE(Open(u"Office B"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINTER_NAME);
  // The handle outlives its printer but reaches nothing.
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterW(b.get(), 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINTER_NAME);
  // The name is free again.
  EXPECT_TRUE(Add(u"office b", u"FILE:"));
}

TEST_F(SpoolerTest, AddPrinterRejectsBadRequestsAndStoresNothing) {
  ASSERT_TRUE(Add(u"Existing", u"FILE:"));
  struct Case {
    std::u16string name, port, driver;
    DWORD error;
  };
  const Case cases[] = {
      {u"EXISTING", u"FILE:", spooltest::kDriver, ERROR_PRINTER_ALREADY_EXISTS},
      {u"New", u"FILE:", u"No Such Driver", ERROR_UNKNOWN_PRINTER_DRIVER},
      {u"New", u"LPT1:", spooltest::kDriver, ERROR_UNKNOWN_PORT},
      {u"New", u"", spooltest::kDriver, ERROR_UNKNOWN_PORT},
      {u"New", u"out.prn", spooltest::kDriver, ERROR_UNKNOWN_PORT},
      {u"New", u"socket://printer", spooltest::kDriver, ERROR_UNKNOWN_PORT},
      {u"New", u"socket://printer:70000", spooltest::kDriver, ERROR_UNKNOWN_PORT},
      {u"New", u"socket://bad host:9100", spooltest::kDriver, ERROR_UNKNOWN_PORT},
      {u"", u"FILE:", spooltest::kDriver, ERROR_INVALID_PRINTER_NAME},
      {u"a\\b", u"FILE:", spooltest::kDriver, ERROR_INVALID_PRINTER_NAME},
      {u"a,b", u"FILE:", spooltest::kDriver, ERROR_INVALID_PRINTER_NAME},
      {std::u16string(221, u'x'), u"FILE:", spooltest::kDriver, ERROR_INVALID_PRINTER_NAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(kvplat::ToUtf8(c.name + u" / " + c.port + u" / " + c.driver));
    EXPECT_FALSE(Add(c.name, c.port, c.driver));
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(kvplat::spool::PrinterNames(), (std::vector<std::u16string>{u"Existing"}));
}

TEST_F(SpoolerTest, NamesUnsafeForHostFilesAndLongNamesRoundTrip) {
  const std::u16string names[] = {
      u"../Etc/passwd %2F ~x",
      u".hidden",
      u"Drucker \u00C4rger \u0416",
      std::u16string(200, u'\u00E9') + u"/end" + std::u16string(16, u'z'),  // 220 chars
  };
  for (const auto& name : names) ASSERT_TRUE(Add(name, u"FILE:")) << kvplat::ToUtf8(name);
  auto listed = kvplat::spool::PrinterNames();
  EXPECT_EQ(listed.size(), std::size(names));
  for (const auto& name : names) {
    EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << kvplat::ToUtf8(name);
  }
  // Case-insensitive beyond ASCII; one long name does not open another.
  EXPECT_TRUE(Open(u"DRUCKER \u00E4RGER \u0436"));
  EXPECT_FALSE(Open(std::u16string(200, u'\u00E9') + u"/end" + std::u16string(16, u'y')));
  // Everything stays inside the store.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.path())) {
    EXPECT_EQ(entry.path().string().rfind(root_.path(), 0), 0u);
  }
}

TEST_F(SpoolerTest, OpenPrinterFailures) {
  ASSERT_TRUE(Add(u"P", u"FILE:"));
  HANDLE h = reinterpret_cast<HANDLE>(1);
  EXPECT_FALSE(OpenPrinterW(nullptr, &h, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINTER_NAME);
  EXPECT_EQ(h, nullptr);
  EXPECT_FALSE(Open(u"Q"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINTER_NAME);

  kvplat::fault::FailAfter(kvplat::fault::Point::OpenPrinter, 1, 1);
  EXPECT_TRUE(Open(u"P"));
  EXPECT_FALSE(Open(u"P"));
  EXPECT_TRUE(Open(u"P"));

  int notAHandle = 0;
  EXPECT_FALSE(ClosePrinter(&notAHandle));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE closed = Open(u"P").get();  // closed by the temporary's destructor
  EXPECT_FALSE(ClosePrinter(closed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SpoolerTest, ReadOnlyPrinterRefusesOpensAskingForMoreThanUse) {
  ASSERT_TRUE(Add(u"Shared", u"FILE:"));
  struct Case {
    ACCESS_MASK access;
    bool readOnlyOpens;
  };
  const Case cases[] = {
      {PRINTER_ACCESS_USE, true},          {PRINTER_READ, true},
      {0, true},                           {0x80000000u /* GENERIC_READ */, true},
      {PRINTER_ALL_ACCESS, false},         {PRINTER_ACCESS_ADMINISTER, false},
      {0x10000000u /* GENERIC_ALL */, false},
  };
  for (bool readOnly : {false, true}) {
    ASSERT_TRUE(kvplat::spool::SetReadOnlyForUser(u"SHARED", readOnly));
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "access " << std::hex << c.access << " read-only " << readOnly);
      const bool opens = !readOnly || c.readOnlyOpens;
      Printer p = Open(u"Shared", c.access);
      EXPECT_EQ(static_cast<bool>(p), opens);
      if (!opens) {
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
      }
    }
  }
  EXPECT_FALSE(kvplat::spool::SetReadOnlyForUser(u"Missing", true));
  // No defaults means "use".
  HANDLE h = nullptr;
  std::u16string name = u"Shared";
  ASSERT_TRUE(OpenPrinterW(name.data(), &h, nullptr));
  Printer p(h);
  std::u16string value = u"Permission";
  DWORD one = 1;
  EXPECT_EQ(SetPrinterDataW(h, value.data(), REG_DWORD, reinterpret_cast<LPBYTE>(&one), 4),
            ERROR_ACCESS_DENIED);
}

TEST_F(SpoolerTest, ChangesNeedAdministerAccess) {
  ASSERT_TRUE(Add(u"P", u"FILE:"));
  Printer use = Open(u"P", PRINTER_READ);
  ASSERT_TRUE(use);
  auto info = GetInfo(use.get(), 2);
  std::u16string value = u"Permission";
  DWORD one = 1;
  EXPECT_EQ(SetPrinterDataW(use.get(), value.data(), REG_DWORD, reinterpret_cast<LPBYTE>(&one), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(DeletePrinterDataW(use.get(), value.data()), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetPrinterW(use.get(), 2, info.data(), 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeletePrinter(use.get()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(kvplat::spool::PrinterNames().size(), 1u);
}

TEST_F(SpoolerTest, PrinterInfo2IsPackedIntoOneBufferWithTheWholeDevmode) {
  auto devmode = spooltest::MakeDevmode(1154, 3);
  ASSERT_TRUE(Add(u"Laser", u"socket://127.0.0.1:9100", spooltest::kDriver, spooltest::AsDevmode(devmode)));
  Printer p = Open(u"laser");
  ASSERT_TRUE(p);
  const auto buffer = GetInfo(p.get(), 2);
  const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  EXPECT_EQ(std::u16string(info->pPrinterName), u"Laser");
  EXPECT_EQ(std::u16string(info->pPortName), u"socket://127.0.0.1:9100");
  EXPECT_EQ(std::u16string(info->pDriverName), spooltest::kDriver);
  EXPECT_EQ(std::u16string(info->pDatatype), u"RAW");
  EXPECT_TRUE(info->Attributes & PRINTER_ATTRIBUTE_LOCAL);
  for (LPWSTR s : {info->pPrinterName, info->pPortName, info->pDriverName, info->pComment,
                   info->pLocation, info->pShareName, info->pPrintProcessor}) {
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(Inside(s, (kvplat::WideLength(s) + 1) * 2, buffer));
  }
  ASSERT_NE(info->pDevMode, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(info->pDevMode) % 8, 0u);
  ASSERT_TRUE(Inside(info->pDevMode, devmode.size(), buffer));
  EXPECT_EQ(std::memcmp(info->pDevMode, devmode.data(), devmode.size()), 0);

  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterW(p.get(), 3, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);
}

TEST_F(SpoolerTest, PrinterWithoutDevmodeReportsNone) {
  ASSERT_TRUE(Add(u"Plain", u"FILE:"));
  Printer p = Open(u"Plain");
  const auto buffer = GetInfo(p.get(), 2);
  EXPECT_EQ(reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data())->pDevMode, nullptr);
}

TEST_F(SpoolerTest, SetPrinterStoresPortCommentAndDevmodeOrNothing) {
  auto first = spooltest::MakeDevmode(1154, 1);
  ASSERT_TRUE(Add(u"P", u"FILE:", spooltest::kDriver, spooltest::AsDevmode(first)));
  Printer p = Open(u"P", PRINTER_ALL_ACCESS);
  ASSERT_TRUE(p);

  // A smaller record (another driver's size) replaces the stored one whole.
  auto second = spooltest::MakeDevmode(564, 9);
  auto buffer = GetInfo(p.get(), 2);
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  std::u16string port = u"Z:\\tmp\\out.prn", comment = u"second floor";
  info->pPortName = port.data();
  info->pComment = comment.data();
  info->pDevMode = spooltest::AsDevmode(second);
  ASSERT_TRUE(SetPrinterW(p.get(), 2, buffer.data(), 0)) << GetLastError();

  auto after = GetInfo(p.get(), 2);
  const auto* got = reinterpret_cast<const PRINTER_INFO_2W*>(after.data());
  EXPECT_EQ(std::u16string(got->pPortName), port);
  EXPECT_EQ(std::u16string(got->pComment), comment);
  ASSERT_NE(got->pDevMode, nullptr);
  EXPECT_EQ(got->pDevMode->dmDriverExtra, 564);
  EXPECT_EQ(std::memcmp(got->pDevMode, second.data(), second.size()), 0);

  // A rejected change leaves everything as it was.
  std::u16string badDriver = u"Unknown";
  auto third = spooltest::MakeDevmode(16, 5);
  info = reinterpret_cast<PRINTER_INFO_2W*>(after.data());
  info->pDriverName = badDriver.data();
  info->pDevMode = spooltest::AsDevmode(third);
  EXPECT_FALSE(SetPrinterW(p.get(), 2, after.data(), 0));
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PRINTER_DRIVER);
  std::u16string badPort = u"COM1:";
  info->pDriverName = nullptr;
  info->pPortName = badPort.data();
  EXPECT_FALSE(SetPrinterW(p.get(), 2, after.data(), 0));
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PORT);
  auto unchanged = GetInfo(p.get(), 2);
  got = reinterpret_cast<const PRINTER_INFO_2W*>(unchanged.data());
  EXPECT_EQ(std::u16string(got->pPortName), port);
  EXPECT_EQ(std::memcmp(got->pDevMode, second.data(), second.size()), 0);

  EXPECT_FALSE(SetPrinterW(p.get(), 2, unchanged.data(), 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SpoolerTest, EnumPrintersPacksEveryLevel) {
  DWORD needed = 1, returned = 1;
  EXPECT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(needed, 0u);

  auto devmode = spooltest::MakeDevmode(40, 2);
  ASSERT_TRUE(Add(u"B", u"C:\\b.prn", spooltest::kDriver, spooltest::AsDevmode(devmode)));
  ASSERT_TRUE(Add(u"A", u"FILE:"));
  for (DWORD level : {1u, 2u, 4u, 5u}) {
    SCOPED_TRACE(level);
    EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, nullptr, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(returned, 0u);
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, buffer.data(), needed, &needed, &returned));
    ASSERT_EQ(returned, 2u);
    std::u16string names[2];
    for (int i = 0; i < 2; ++i) {
      switch (level) {
        case 1: names[i] = reinterpret_cast<PRINTER_INFO_1W*>(buffer.data())[i].pName; break;
        case 2: names[i] = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())[i].pPrinterName; break;
        case 4: names[i] = reinterpret_cast<PRINTER_INFO_4W*>(buffer.data())[i].pPrinterName; break;
        case 5: names[i] = reinterpret_cast<PRINTER_INFO_5W*>(buffer.data())[i].pPrinterName; break;
      }
    }
    EXPECT_EQ(names[0], u"A");
    EXPECT_EQ(names[1], u"B");
    if (level == 2) {
      const auto* infos = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
      EXPECT_EQ(infos[0].pDevMode, nullptr);
      ASSERT_NE(infos[1].pDevMode, nullptr);
      EXPECT_TRUE(Inside(infos[1].pDevMode, devmode.size(), buffer));
      EXPECT_EQ(std::memcmp(infos[1].pDevMode, devmode.data(), devmode.size()), 0);
    }
  }
  EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 3, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);
}

}  // namespace
