// The PCL 5e graphics library enabled the way a job enables it: installed
// into a root, loaded by the printer's driver path and driven through the
// engine.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/engine.h"
#include "kvplat/fault.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "settings/devmode_fields.h"
#include "settings/model_tables.h"
#include "support/test_printer.h"
#include "support/test_root.h"
#include "pclcore/5e/pcl_device.h"
#include "tools/common/devmode_options.h"

namespace {

using kvplat::engine::Device;
using kvplat::engine::GraphicsDriver;

class DeviceInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    printer_ = kvtest::AddFilePortPrinter(u"Kelvaro", &port_);
    ASSERT_NE(printer_, nullptr);
    std::string error;
    driver_ = kvplat::engine::LoadGraphicsDriver(printer_, &error);
    ASSERT_NE(driver_, nullptr) << error;
  }
  void TearDown() override {
    kvplat::fault::ClearAll();
    if (driver_) kvplat::engine::UnloadGraphicsDriver(driver_);
    if (printer_) ClosePrinter(printer_);
  }

  std::vector<BYTE> Devmode(std::initializer_list<std::string> options) {
    std::vector<BYTE> record = kvtools::DefaultDevmode(kvtools::DriverKind::Pcl5e, u"Kelvaro");
    for (const std::string& option : options) {
      std::string error;
      EXPECT_TRUE(kvtools::ApplyDevmodeOption(record, kvtools::DriverKind::Pcl5e, option, &error))
          << error;
    }
    return record;
  }

  // Enables a device with the record; null when the library refuses.
  Device* Enable(std::vector<BYTE>& record) {
    std::string error;
    Device* device = kvplat::engine::EnableDevice(
        driver_, printer_, record.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(record.data()),
        u"Kelvaro", u"C:\\Output\\Kelvaro.prn", &error);
    return device;
  }

  kvtest::TempRoot root_;
  HANDLE printer_ = nullptr;
  std::string port_;
  GraphicsDriver* driver_ = nullptr;
};

TEST_F(DeviceInstanceTest, ReportsEveryPaperAtBothResolutions) {
  for (const kvset::PaperGeometryRow& row : kvset::kPaperGeometry) {
    if (!row.hasGeometry) continue;
    for (int dpi : {300, 600}) {
      for (int orientation : {1, 2}) {
        SCOPED_TRACE("paper " + std::to_string(row.code) + " at " + std::to_string(dpi) +
                     " dpi, orientation " + std::to_string(orientation));
        std::vector<BYTE> record =
            Devmode({"dmPaperSize=" + std::to_string(row.code),
                     "dmPrintQuality=" + std::to_string(dpi),
                     "dmOrientation=" + std::to_string(orientation)});
        Device* device = Enable(record);
        ASSERT_NE(device, nullptr);
        const kvset::PaperGeometry g = orientation == 1 ? row.portrait : row.landscape;
        const int f = dpi / 300;
        const GDIINFO& gdi = device->gdiInfo;
        EXPECT_EQ(gdi.ulHorzRes, static_cast<ULONG>(g.printableWidth * f));
        EXPECT_EQ(gdi.ulVertRes, static_cast<ULONG>(g.printableHeight * f));
        EXPECT_EQ(gdi.szlPhysSize.cx, g.physicalWidth * f);
        EXPECT_EQ(gdi.szlPhysSize.cy, g.physicalHeight * f);
        EXPECT_EQ(gdi.ptlPhysOffset.x, (g.physicalWidth - g.printableWidth) * f / 2);
        EXPECT_EQ(gdi.ptlPhysOffset.y, (g.physicalHeight - g.printableHeight) * f / 2);
        EXPECT_EQ(gdi.ulHorzSize, static_cast<ULONG>(g.printableWidth * f * 254 / (dpi * 10)));
        EXPECT_EQ(gdi.ulLogPixelsX, static_cast<ULONG>(dpi));
        EXPECT_EQ(gdi.ulLogPixelsY, static_cast<ULONG>(dpi));
        EXPECT_EQ(gdi.ulAspectX, static_cast<ULONG>(dpi));
        EXPECT_EQ(gdi.ulAspectXY, dpi == 600 ? 848u : 424u);
        EXPECT_EQ(gdi.denStyleStep, dpi == 600 ? 12 : 6);
        EXPECT_EQ(device->devInfo.lfDefaultFont.lfHeight, dpi == 600 ? -83 : -42);
        kvplat::engine::DisableDevice(device);
      }
    }
  }
}

TEST_F(DeviceInstanceTest, A4AtSixHundredDotsMatchesThePublishedFigures) {
  std::vector<BYTE> record = Devmode({"dmPaperSize=9", "dmPrintQuality=600"});
  Device* device = Enable(record);
  ASSERT_NE(device, nullptr);
  const GDIINFO& g = device->gdiInfo;
  EXPECT_EQ(g.ulVersion, 0x400u);
  EXPECT_EQ(g.ulTechnology, DT_RASPRINTER);
  EXPECT_EQ(g.ulHorzRes, 4660u);
  EXPECT_EQ(g.ulVertRes, 6814u);
  EXPECT_EQ(g.ulHorzSize, 197u);
  EXPECT_EQ(g.ulVertSize, 288u);
  EXPECT_EQ(g.ptlPhysOffset.x, 150);
  EXPECT_EQ(g.ptlPhysOffset.y, 100);
  EXPECT_EQ(g.cBitsPixel, 24u);
  EXPECT_EQ(g.ulNumColors, 2u);
  EXPECT_EQ(g.flTextCaps, 0x5C1Fu);
  EXPECT_EQ(g.ciDevice.Red.x, 6380);
  EXPECT_EQ(g.ciDevice.AlignmentWhite.y, 3290);
  EXPECT_EQ(g.ciDevice.MagentaInCyanDye, 585);
  EXPECT_EQ(g.ciDevice.MagentaInYellowDye, 10000);
  EXPECT_EQ(g.ulHTPatternSize, HT_PATSIZE_8x8_M);
  EXPECT_EQ(g.ulHTOutputFormat, HT_FORMAT_24BPP);
  EXPECT_EQ(g.flHTFlags, HT_FLAG_HAS_BLACK_DYE);
  const DEVINFO& d = device->devInfo;
  EXPECT_EQ(d.flGraphicsCaps, 0x211Du);
  EXPECT_EQ(d.cFonts, 0u);
  EXPECT_EQ(d.iDitherFormat, BMF_24BPP);
  EXPECT_NE(d.hpalDefault, nullptr);
  EXPECT_EQ(std::u16string(d.lfDefaultFont.lfFaceName), u"Courier (W1)");
  EXPECT_EQ(d.lfDefaultFont.lfPitchAndFamily, 0x31);
  EXPECT_EQ(std::u16string(d.lfAnsiVarFont.lfFaceName), u"Times New (W1)");
  EXPECT_EQ(d.lfAnsiVarFont.lfPitchAndFamily, 0x22);
  EXPECT_EQ(std::u16string(d.lfAnsiFixFont.lfFaceName), u"Courier (W1)");
  EXPECT_EQ(d.lfAnsiFixFont.lfWeight, 400);
  // The surface is the printable area and the library hooks its drawing calls.
  EXPECT_EQ(device->hooks, 0x5FBu);
  kvplat::engine::DisableDevice(device);
}

TEST_F(DeviceInstanceTest, ScalingLowersTheResolutionTheEngineDrawsAt) {
  struct Case {
    int percent;
    ULONG horzRes, logPixels;
  };
  // A4 portrait at 600 dpi: 4660 printable dots across.
  const Case cases[] = {{50, 2330, 300}, {25, 1165, 150}, {200, 9320, 1200}, {100, 4660, 600}};
  for (const Case& c : cases) {
    std::vector<BYTE> record =
        Devmode({"dmPaperSize=9", "dmPrintQuality=600", "scalePercent=" + std::to_string(c.percent),
                 "dmScale=" + std::to_string(c.percent)});
    Device* device = Enable(record);
    ASSERT_NE(device, nullptr) << c.percent;
    EXPECT_EQ(device->gdiInfo.ulHorzRes, c.horzRes) << c.percent;
    EXPECT_EQ(device->gdiInfo.ulLogPixelsX, c.logPixels) << c.percent;
    // The physical size in millimetres stays that of the paper's printable area.
    EXPECT_NEAR(device->gdiInfo.ulHorzSize, 197u, 1u) << c.percent;
    kvplat::engine::DisableDevice(device);
  }
}

TEST_F(DeviceInstanceTest, FourUpShrinksThePageIntoItsCell) {
  std::vector<BYTE> record =
      Devmode({"dmPaperSize=9", "dmPrintQuality=600", "nupEnabled=1", "nupPages=4"});
  Device* device = Enable(record);
  ASSERT_NE(device, nullptr);
  // Four A4 pages on an A4 sheet at 600 dpi are drawn at 263 dots per inch.
  EXPECT_EQ(device->gdiInfo.ulLogPixelsX, 263u);
  EXPECT_EQ(device->gdiInfo.ulHorzRes, 4660u * 263 / 600);
  kvplat::engine::DisableDevice(device);
}

TEST_F(DeviceInstanceTest, ARecordWithoutOurPrivateBlockStillEnables) {
  std::vector<BYTE> record = Devmode({"dmPaperSize=1", "dmPrintQuality=300"});
  record.resize(sizeof(DEVMODEW));
  auto* dm = reinterpret_cast<DEVMODEW*>(record.data());
  dm->dmDriverExtra = 0;
  Device* device = Enable(record);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->gdiInfo.ulHorzRes, 2400u);
  kvplat::engine::DisableDevice(device);

  std::vector<BYTE> none;
  device = Enable(none);
  ASSERT_NE(device, nullptr) << "no device mode at all: the library's defaults";
  EXPECT_GT(device->gdiInfo.ulHorzRes, 0u);
  kvplat::engine::DisableDevice(device);
}

// The instance's own record, read through the engine's handle to it.
std::int64_t InstanceField(const Device* device, const char* name) {
  const auto* pdev = reinterpret_cast<const kv5e::PclPdev*>(device->dhpdev);
  return kvset::GetField(std::span<const BYTE>(pdev->devmode, sizeof(pdev->devmode)),
                         kvset::DevmodeVariant::Pcl5e, *kvset::FindDevmodeField(name));
}

TEST_F(DeviceInstanceTest, RecordsFromElsewhereLeaveTheDriverDefaultsInForce) {
  // A plain public record, and a PCL XL record handed to the PCL 5e library:
  // neither private block is ours.
  std::vector<BYTE> plain = Devmode({"dmPaperSize=9", "dmPrintQuality=300"});
  plain.resize(sizeof(DEVMODEW));
  reinterpret_cast<DEVMODEW*>(plain.data())->dmDriverExtra = 0;
  std::vector<BYTE> xl = kvtools::DefaultDevmode(kvtools::DriverKind::PclXl, u"Kelvaro");
  for (std::vector<BYTE>* record : {&plain, &xl}) {
    Device* device = Enable(*record);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(InstanceField(device, "nupPages"), 1);
    EXPECT_EQ(InstanceField(device, "graphicsMode"), 1);
    EXPECT_EQ(InstanceField(device, "trueTypeMode"), 2);
    EXPECT_EQ(InstanceField(device, "memoryMB"), 16);
    EXPECT_EQ(InstanceField(device, "printerFontIndex"), 0);
    EXPECT_EQ(InstanceField(device, "scalePercent"), 100);
    kvplat::engine::DisableDevice(device);
  }
}

TEST_F(DeviceInstanceTest, HostilePrivateValuesDoNotBreakTheLayout) {
  struct Case {
    std::initializer_list<std::string> options;
    ULONG logPixels;
  };
  const Case cases[] = {
      {{"scalePercent=0"}, 600},
      {{"scalePercent=-7"}, 600},
      {{"scalePercent=25", "dmPrintQuality=2"}, 150},
      {{"dmPrintQuality=1200"}, 600},
      {{"nupPages=3"}, 600},
      {{"nupPages=0"}, 600},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> record = Devmode(c.options);
    Device* device = Enable(record);
    ASSERT_NE(device, nullptr) << *c.options.begin();
    EXPECT_EQ(device->gdiInfo.ulLogPixelsX, c.logPixels) << *c.options.begin();
    EXPECT_GT(device->gdiInfo.ulHorzRes, 0u);
    kvplat::engine::DisableDevice(device);
  }
}

TEST_F(DeviceInstanceTest, TheSurfaceLeadsToTheLiveInstance) {
  std::vector<BYTE> record = Devmode({});
  Device* device = Enable(record);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(EngLockSurface(device->surface)->dhpdev, device->dhpdev);
  std::string error;
  ASSERT_TRUE(kvplat::engine::ResetDevice(device, reinterpret_cast<DEVMODEW*>(record.data()),
                                          u"Kelvaro", u"", &error));
  EXPECT_EQ(EngLockSurface(device->surface)->dhpdev, device->dhpdev);
  kvplat::engine::DisableDevice(device);
}

TEST_F(DeviceInstanceTest, AnUnknownPaperStillGivesAPrintablePage) {
  std::vector<BYTE> record = Devmode({"dmPaperSize=69", "dmPrintQuality=600"});
  Device* device = Enable(record);
  ASSERT_NE(device, nullptr);
  EXPECT_GT(device->gdiInfo.ulHorzRes, 0u);
  EXPECT_GT(device->gdiInfo.ulVertRes, 0u);
  kvplat::engine::DisableDevice(device);
}

TEST_F(DeviceInstanceTest, CustomPapersComeFromPrinterData) {
  // One custom paper, 100.0 x 200.0 mm: code 257.
  std::vector<BYTE> paper(80, 0);
  auto put16 = [&](std::size_t at, std::uint16_t v) {
    paper[at] = static_cast<BYTE>(v);
    paper[at + 1] = static_cast<BYTE>(v >> 8);
  };
  put16(0, 257);
  const std::u16string name = u"Card", width = u"100.0", length = u"200.0";
  for (std::size_t i = 0; i < name.size(); ++i) put16(2 + 2 * i, name[i]);
  for (std::size_t i = 0; i < width.size(); ++i) put16(46 + 2 * i, width[i]);
  for (std::size_t i = 0; i < length.size(); ++i) put16(62 + 2 * i, length[i]);
  DWORD size = 80;
  ASSERT_EQ(SetPrinterDataW(printer_, const_cast<LPWSTR>(u"CustomPaperDataSize"), REG_DWORD,
                            reinterpret_cast<LPBYTE>(&size), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(SetPrinterDataW(printer_, const_cast<LPWSTR>(u"CustomPaperData"), REG_BINARY,
                            paper.data(), 80),
            ERROR_SUCCESS);
  std::vector<BYTE> record = Devmode({"dmPaperSize=257", "dmPrintQuality=300"});
  Device* device = Enable(record);
  ASSERT_NE(device, nullptr);
  // 100 mm = 1181 dots, 200 mm = 2362 dots at 300 dpi; margins 75 all round.
  EXPECT_EQ(device->gdiInfo.szlPhysSize.cx, 1181);
  EXPECT_EQ(device->gdiInfo.szlPhysSize.cy, 2362);
  EXPECT_EQ(device->gdiInfo.ulHorzRes, 1181u - 150);
  kvplat::engine::DisableDevice(device);
}

TEST_F(DeviceInstanceTest, ShortCapsBuffersReceiveOnlyTheirSize) {
  auto enablePdev = reinterpret_cast<PFN_DrvEnablePDEV>(
      kvplat::engine::DriverFunction(driver_, INDEX_DrvEnablePDEV));
  auto disablePdev = reinterpret_cast<PFN_DrvDisablePDEV>(
      kvplat::engine::DriverFunction(driver_, INDEX_DrvDisablePDEV));
  ASSERT_NE(enablePdev, nullptr);
  std::vector<BYTE> record = Devmode({"dmPaperSize=9"});
  std::vector<ULONG> caps(100, 0xDEADBEEF);
  DEVINFO info{};
  HSURF patterns[3] = {reinterpret_cast<HSURF>(1), reinterpret_cast<HSURF>(2),
                       reinterpret_cast<HSURF>(3)};
  std::u16string name = u"Kelvaro";
  // A real device context stands behind hdev: borrow one from the engine.
  std::vector<BYTE> other = Devmode({});
  Device* device = Enable(other);
  ASSERT_NE(device, nullptr);
  DHPDEV pdev = enablePdev(reinterpret_cast<DEVMODEW*>(record.data()), nullptr, 3, patterns, 64,
                           caps.data(), sizeof(info), &info, reinterpret_cast<HDEV>(device),
                           name.data(), printer_);
  ASSERT_NE(pdev, nullptr);
  EXPECT_EQ(caps[0], 0x400u);
  EXPECT_EQ(caps[15], 0u);                 // the last word of the first 64 bytes
  EXPECT_EQ(caps[16], 0xDEADBEEFu);        // untouched beyond them
  for (HSURF pattern : patterns) EXPECT_EQ(pattern, nullptr);
  // The caller's device name was written into its record.
  EXPECT_EQ(std::u16string(reinterpret_cast<DEVMODEW*>(record.data())->dmDeviceName), u"Kelvaro");
  disablePdev(pdev);
  kvplat::engine::DisableDevice(device);
}

TEST_F(DeviceInstanceTest, EnableFailsCleanlyWhenThePlatformFails) {
  const kvplat::fault::Point points[] = {kvplat::fault::Point::Alloc,
                                         kvplat::fault::Point::TempPath,
                                         kvplat::fault::Point::LoadModule};
  for (kvplat::fault::Point point : points) {
    std::vector<BYTE> record = Devmode({});
    kvplat::fault::FailAfter(point, 0);
    Device* device = Enable(record);
    kvplat::fault::ClearAll();
    EXPECT_EQ(device, nullptr) << static_cast<int>(point);
    if (device) kvplat::engine::DisableDevice(device);
  }
  // And works again afterwards.
  std::vector<BYTE> record = Devmode({});
  Device* device = Enable(record);
  ASSERT_NE(device, nullptr);
  kvplat::engine::DisableDevice(device);
}

TEST_F(DeviceInstanceTest, EntryTableAndQueries) {
  HMODULE module = kvplat::engine::DriverModule(driver_);
  auto enableDriver =
      reinterpret_cast<PFN_DrvEnableDriver>(GetProcAddress(module, "DrvEnableDriver"));
  ASSERT_NE(enableDriver, nullptr);
  DRVENABLEDATA data{0, 0xAAAA, nullptr};
  ASSERT_TRUE(enableDriver(DDI_ENGINE_VERSION, 4, &data));
  EXPECT_EQ(data.iDriverVersion, 0x30100u);
  EXPECT_EQ(data.c, 0xAAAAu);  // a 4-byte buffer takes only the version
  EXPECT_EQ(data.pdrvfn, nullptr);
  ASSERT_TRUE(enableDriver(DDI_ENGINE_VERSION, sizeof(data), &data));
  ASSERT_EQ(data.c, 28u);
  const ULONG expectedOrder[] = {
      INDEX_DrvEnablePDEV,      INDEX_DrvCompletePDEV,   INDEX_DrvDisablePDEV,
      INDEX_DrvResetPDEV,       INDEX_DrvEnableSurface,  INDEX_DrvDisableSurface,
      INDEX_DrvStartDoc,        INDEX_DrvStartPage,      INDEX_DrvEndDoc,
      INDEX_DrvSendPage,        INDEX_DrvDitherColor,    INDEX_DrvRealizeBrush,
      INDEX_DrvBitBlt,          INDEX_DrvCopyBits,       INDEX_DrvStretchBlt,
      INDEX_DrvEscape,          INDEX_DrvDrawEscape,     INDEX_DrvGetGlyphMode,
      INDEX_DrvQueryAdvanceWidths, INDEX_DrvStrokePath,  INDEX_DrvFillPath,
      INDEX_DrvStrokeAndFillPath, INDEX_DrvLineTo,       INDEX_DrvPaint,
      INDEX_DrvQueryFont,       INDEX_DrvQueryFontTree,  INDEX_DrvQueryFontData,
      INDEX_DrvTextOut};
  for (ULONG i = 0; i < 28; ++i) {
    EXPECT_EQ(data.pdrvfn[i].iFunc, expectedOrder[i]) << i;
    EXPECT_NE(data.pdrvfn[i].pfn, nullptr) << i;
  }

  auto query =
      reinterpret_cast<PFN_DrvQueryDriverInfo>(GetProcAddress(module, "DrvQueryDriverInfo"));
  ASSERT_NE(query, nullptr);
  DWORD value = 0, needed = 0;
  EXPECT_TRUE(query(DRVQUERY_USERMODE, &value, 4, &needed));
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(needed, 4u);
  EXPECT_FALSE(query(DRVQUERY_USERMODE, &value, 3, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(query(7, &value, 4, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  auto dither = reinterpret_cast<PFN_DrvDitherColor>(
      kvplat::engine::DriverFunction(driver_, INDEX_DrvDitherColor));
  EXPECT_EQ(dither(nullptr, 0, 0x808080, nullptr), DCR_HALFTONE);
}

TEST_F(DeviceInstanceTest, ResetMovesTheDeviceContextToANewRecord) {
  std::vector<BYTE> a4 = Devmode({"dmPaperSize=9", "dmPrintQuality=600"});
  Device* device = Enable(a4);
  ASSERT_NE(device, nullptr);
  const DHPDEV first = device->dhpdev;
  std::vector<BYTE> letter = Devmode({"dmPaperSize=1", "dmPrintQuality=300", "dmOrientation=2"});
  std::string error;
  ASSERT_TRUE(kvplat::engine::ResetDevice(device, reinterpret_cast<DEVMODEW*>(letter.data()),
                                          u"Kelvaro", u"", &error))
      << error;
  EXPECT_NE(device->dhpdev, first);
  EXPECT_EQ(device->gdiInfo.ulHorzRes, 3150u);  // Letter landscape at 300 dpi
  EXPECT_EQ(device->gdiInfo.ulLogPixelsX, 300u);

  // A reset that cannot make its new instance leaves the old one in force.
  const DHPDEV second = device->dhpdev;
  kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0);
  EXPECT_FALSE(kvplat::engine::ResetDevice(device, reinterpret_cast<DEVMODEW*>(a4.data()),
                                           u"Kelvaro", u"", &error));
  kvplat::fault::ClearAll();
  EXPECT_EQ(device->dhpdev, second);
  EXPECT_EQ(device->gdiInfo.ulHorzRes, 3150u);
  kvplat::engine::DisableDevice(device);
}

TEST_F(DeviceInstanceTest, InvalidInstancesAreRefused) {
  auto resetPdev = reinterpret_cast<PFN_DrvResetPDEV>(
      kvplat::engine::DriverFunction(driver_, INDEX_DrvResetPDEV));
  std::vector<BYTE> record = Devmode({});
  Device* device = Enable(record);
  ASSERT_NE(device, nullptr);
  std::vector<BYTE> garbage(64 * 1024, 0x5A);
  auto bogus = reinterpret_cast<DHPDEV>(garbage.data());
  EXPECT_FALSE(resetPdev(device->dhpdev, bogus));
  EXPECT_FALSE(resetPdev(bogus, device->dhpdev));
  // Disabling a bogus instance changes nothing.
  auto disablePdev = reinterpret_cast<PFN_DrvDisablePDEV>(
      kvplat::engine::DriverFunction(driver_, INDEX_DrvDisablePDEV));
  disablePdev(bogus);
  EXPECT_EQ(garbage[0], 0x5A);
  kvplat::engine::DisableDevice(device);
}

}  // namespace
