#include "settings/driver_devmode.h"

#include <algorithm>
#include <cstring>

#include "kvplat/kernel.h"
#include "settings/devmode_record.h"
#include "settings/heap_block.h"
#include "settings/model_tables.h"

namespace kvset {

namespace {

constexpr DevmodeVariant v = DevmodeVariant::Pcl5e;
using Bytes = std::span<std::uint8_t>;
using CBytes = std::span<const std::uint8_t>;

std::int64_t Get(CBytes r, const RecordField& f) { return GetField(r, v, f); }
void Set(Bytes r, const RecordField& f, std::int64_t value) { SetField(r, v, f, value); }
bool InRange(std::int64_t x, std::int64_t lo, std::int64_t hi) { return x >= lo && x <= hi; }

}  // namespace

int DriverDefaultDevmode(Bytes record) {
  if (record.size() < kRecordSize5e) return 0;
  Bytes r = record.first(kRecordSize5e);
  Set(r, DmField("dmDriverVersion"), kDevmodeDriverVersion);
  Set(r, DmField("dmSpecVersion"), kDevmodeSpecVersion);
  Set(r, DmField("dmSize"), kDevmodePublicSize);
  Set(r, DmField("dmDriverExtra"), kDriverExtra5e);
  Set(r, DmField("dmFields"), DM_ORIENTATION | DM_PAPERSIZE | DM_SCALE | DM_COPIES |
                                  DM_DEFAULTSOURCE | DM_PRINTQUALITY | DM_FORMNAME);
  Set(r, DmField("dmCollate"), 0);
  Set(r, DmField("dmOrientation"), DMORIENT_PORTRAIT);
  Set(r, DmField("dmDuplex"), DMDUP_SIMPLEX);
  Set(r, DmField("dmTTOption"), 1);
  Set(r, DmField("dmColor"), DMCOLOR_MONOCHROME);
  Set(r, DmField("dmPaperSize"), DMPAPER_A4);
  SetWideField(r, v, DmField("dmFormName"), u"Letter");

  const std::int64_t resolution = Get(r, DmField("resolution"));
  Set(r, DmField("dmPrintQuality"), resolution != 0 ? resolution : 600);
  std::int64_t scale = Get(r, DmField("scalePercent"));
  if (!InRange(scale, 25, 400)) {
    scale = 100;
    Set(r, DmField("scalePercent"), scale);
  }
  Set(r, DmField("dmScale"), scale);
  std::int64_t copies = Get(r, DmField("copiesShadow"));
  if (copies == 0) {
    copies = 1;
    Set(r, DmField("copiesShadow"), copies);
  }
  Set(r, DmField("dmCopies"), copies);
  return 1;
}

int DriverMergeDevmode(Bytes record, const DEVMODEW* incoming) {
  if (incoming == nullptr) return 1;
  const auto* in = reinterpret_cast<const std::uint8_t*>(incoming);
  if (LoadU16LE(in + 64) != kDevmodeSpecVersion || LoadU16LE(in + 68) != kDevmodePublicSize) {
    return 1;
  }
  if (record.size() < kRecordSize5e) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Bytes t = record.first(kRecordSize5e);

  HeapBlock work(t.size());
  if (work.empty()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  std::memcpy(work.data(), t.data(), t.size());
  if (CopyDevmodeParts(DevmodeBytes(incoming), work.span()) <= 0) return 0;
  const CBytes w = work.span();

  std::uint32_t fields = static_cast<std::uint32_t>(Get(t, DmField("dmFields")));
  const std::uint32_t wf = static_cast<std::uint32_t>(Get(w, DmField("dmFields")));

  if (wf & DM_DEFAULTSOURCE) {
    fields |= DM_DEFAULTSOURCE;
    Set(t, DmField("dmDefaultSource"), Get(w, DmField("dmDefaultSource")));
  }
  if (wf & DM_ORIENTATION) {
    fields |= DM_ORIENTATION;
    const std::int64_t o = Get(w, DmField("dmOrientation"));
    Set(t, DmField("dmOrientation"), (o == 1 || o == 2) ? o : 1);
  }

  const std::int64_t paper = Get(w, DmField("dmPaperSize"));
  const std::int64_t length = Get(w, DmField("dmPaperLength"));
  const std::int64_t width = Get(w, DmField("dmPaperWidth"));
  const bool hasBothLengths = (wf & DM_PAPERLENGTH) && (wf & DM_PAPERWIDTH);
  const bool sizedCode = InRange(paper, kPaperUserSize, kLastCustomPaper);
  if (hasBothLengths && sizedCode && length > 0 && width > 0) {
    Set(t, DmField("dmPaperLength"), length);
    Set(t, DmField("dmPaperWidth"), width);
    Set(t, DmField("dmPaperSize"), kPaperUserSize);
    fields &= ~(DM_PAPERSIZE | DM_FORMNAME);
    fields |= DM_PAPERLENGTH | DM_PAPERWIDTH;
  } else if (wf & DM_PAPERSIZE) {
    Set(t, DmField("dmPaperSize"), paper);
    if (sizedCode) {
      Set(t, DmField("dmPaperLength"), length);
      Set(t, DmField("dmPaperWidth"), width);
    }
    fields &= ~(DM_PAPERLENGTH | DM_PAPERWIDTH | DM_FORMNAME);
    fields |= DM_PAPERSIZE;
  } else if (wf & DM_FORMNAME) {
    const CBytes from = FieldBytes(w, v, DmField("dmFormName"));
    std::copy(from.begin(), from.end(), FieldBytes(t, v, DmField("dmFormName")).begin());
    fields &= ~(DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH);
    fields |= DM_FORMNAME;
  } else if (hasBothLengths) {
    Set(t, DmField("dmPaperSize"), paper);
    Set(t, DmField("dmPaperLength"), length);
    Set(t, DmField("dmPaperWidth"), width);
    fields &= ~(DM_PAPERSIZE | DM_FORMNAME);
    fields |= DM_PAPERLENGTH | DM_PAPERWIDTH;
  }

  if (wf & DM_SCALE) {
    fields |= DM_SCALE;
    const std::int64_t scale = Get(w, DmField("dmScale"));
    Set(t, DmField("dmScale"), InRange(scale, 25, 400) ? scale : 100);
  }
  if (wf & DM_COPIES) {
    fields |= DM_COPIES;
    Set(t, DmField("dmCopies"), std::clamp<std::int64_t>(Get(w, DmField("dmCopies")), 1, 999));
  }
  std::int64_t resolution = -1;  // -1: the incoming private block decides
  if (wf & DM_PRINTQUALITY) {
    fields |= DM_PRINTQUALITY;
    const std::int64_t quality = Get(w, DmField("dmPrintQuality"));
    resolution = quality > 0 ? quality : 600;
    Set(t, DmField("dmPrintQuality"), resolution);
  }
  if (wf & DM_COLOR) {
    fields |= DM_COLOR;
    Set(t, DmField("dmColor"), Get(w, DmField("dmColor")) == 2 ? 2 : 1);
  }
  const std::int64_t duplex = Get(w, DmField("dmDuplex"));
  if (InRange(duplex, 1, 3)) {
    fields |= DM_DUPLEX;
    Set(t, DmField("dmDuplex"), duplex);
  } else {
    Set(t, DmField("dmDuplex"), 1);
  }
  if (wf & DM_COLLATE) {
    const std::int64_t collate = Get(w, DmField("dmCollate"));
    if (collate == 0 || collate == 1) {
      fields |= DM_COLLATE;
      Set(t, DmField("dmCollate"), collate);
    } else {
      Set(t, DmField("dmCollate"), 0);
    }
  }
  Set(t, DmField("dmFields"), fields);

  // The whole private block and the device name come from the working copy;
  // the resolution chosen above stays in force over the block's own value. A
  // private block of another layout (another driver, the PCL XL record) would
  // land on the wrong fields: such a record contributes its public part only.
  const bool ownLayout = LoadU16LE(in + 66) == kDevmodeDriverVersion &&
                         LoadU16LE(in + 70) == kDriverExtra5e;
  if (ownLayout) {
    std::memcpy(t.data() + kDevmodePublicSize, w.data() + kDevmodePublicSize, kDriverExtra5e);
  }
  const CBytes name = FieldBytes(w, v, DmField("dmDeviceName"));
  std::copy(name.begin(), name.end(), FieldBytes(t, v, DmField("dmDeviceName")).begin());
  if (resolution >= 0) Set(t, DmField("resolution"), resolution);
  return 1;
}

}  // namespace kvset
