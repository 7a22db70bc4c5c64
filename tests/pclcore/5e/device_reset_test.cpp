// What a reset of the device context carries from the old instance into the
// new one.
#include <memory>

#include <gtest/gtest.h>

#include "pclcore/5e/device_instance.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"
#include "settings/devmode_record.h"

namespace {

using kv5e::PclPdev;
using kvset::DmField;

std::unique_ptr<PclPdev> ValidInstance() {
  auto pdev = std::make_unique<PclPdev>();
  pdev->magicHead = pdev->magicTail = kv5e::kPdevMagic;
  kvset::BuildDefaultDevmode(kvset::DevmodeVariant::Pcl5e, kv5e::DevmodeBytes(pdev.get()),
                             u"Reset", 0);
  kv5e::ResetOutputBuffer(pdev.get());
  return pdev;
}

TEST(DeviceReset, CarriesTheJobStateAndMarksTheNewInstance) {
  auto from = ValidInstance();
  auto to = ValidInstance();
  from->flags = kv5e::kFlagDocNamed | kv5e::kFlagHeaderSent | kv5e::kFlagPageOpen |
                kv5e::kFlagPaperMissing | kv5e::kFlagStoreHeaderReplayed;
  kv5e::CopyWide(from->docName, u"\"Quarterly report\"\r\n", 128);
  from->pageStartFill = 77;
  from->hpglState.bInHpgl2 = 1;
  from->hpglState.lastFontIndex = 12;
  to->hpglState.bInHpgl2 = 0;
  kv5e::SetDm(to.get(), DmField("dmPaperSize"), 5);
  kv5e::SetDm(to.get(), DmField("dmDefaultSource"), 4);
  kv5e::SetDm(to.get(), DmField("dmCopies"), 3);
  kv5e::SetDm(to.get(), DmField("dmPrintQuality"), 300);
  kv5e::SetDm(to.get(), DmField("dmOrientation"), 2);

  ASSERT_TRUE(kv5e::DrvResetPDEV(reinterpret_cast<DHPDEV>(from.get()),
                                 reinterpret_cast<DHPDEV>(to.get())));
  EXPECT_EQ(to->flags, kv5e::kFlagDocNamed | kv5e::kFlagHeaderSent | kv5e::kFlagPageOpen |
                           kv5e::kFlagFromReset);
  EXPECT_EQ(std::u16string(to->docName), u"\"Quarterly report\"\r\n");
  EXPECT_EQ(to->pageStartFill, 77u);
  EXPECT_EQ(to->hpglState.bInHpgl2, 0) << "the new instance keeps its own mode";
  EXPECT_EQ(to->hpglState.lastFontIndex, -1) << "caches start afresh";
  EXPECT_EQ(kv5e::Dm(to.get(), DmField("paperSizeShadow")), 5);
  EXPECT_EQ(kv5e::Dm(to.get(), DmField("sourceShadow")), 4);
  EXPECT_EQ(kv5e::Dm(to.get(), DmField("copiesShadow")), 3);
  EXPECT_EQ(kv5e::Dm(to.get(), DmField("resolution")), 300);
  EXPECT_EQ(kv5e::Dm(to.get(), DmField("orientationShadow")), 2);
}

TEST(DeviceReset, QueryStateSurvivesOnlyWhenBothRecordsAskAndPagesStarted) {
  struct Case {
    int oldSpare, newSpare;
    std::uint32_t pages;
    bool carried;
  };
  const Case cases[] = {{1, 1, 2, true}, {1, 0, 2, false}, {0, 1, 2, false}, {1, 1, 0, false}};
  for (const Case& c : cases) {
    auto from = ValidInstance();
    auto to = ValidInstance();
    kv5e::SetDm(from.get(), DmField("spare1364"), c.oldSpare);
    kv5e::SetDm(to.get(), DmField("spare1364"), c.newSpare);
    from->pageCount = c.pages;
    ASSERT_TRUE(kv5e::DrvResetPDEV(reinterpret_cast<DHPDEV>(from.get()),
                                   reinterpret_cast<DHPDEV>(to.get())));
    EXPECT_EQ((to->flags & kv5e::kFlagKeepQueryState) != 0, c.carried)
        << c.oldSpare << c.newSpare << c.pages;
  }
}

TEST(DeviceReset, RefusesInvalidInstances) {
  auto good = ValidInstance();
  auto bad = ValidInstance();
  bad->magicTail = 0;
  EXPECT_FALSE(kv5e::DrvResetPDEV(reinterpret_cast<DHPDEV>(good.get()),
                                  reinterpret_cast<DHPDEV>(bad.get())));
  EXPECT_FALSE(kv5e::DrvResetPDEV(reinterpret_cast<DHPDEV>(bad.get()),
                                  reinterpret_cast<DHPDEV>(good.get())));
  EXPECT_FALSE(kv5e::DrvResetPDEV(nullptr, reinterpret_cast<DHPDEV>(good.get())));
  EXPECT_EQ(good->flags, 0u);
}

}  // namespace
