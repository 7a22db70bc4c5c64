#include "settings/devmode_record.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "kvplat/kernel.h"
#include "kvplat/spooler.h"
#include "settings/heap_block.h"
#include "settings/model_tables.h"
#include "settings/printer_data.h"

namespace kvset {

namespace {

using V = DevmodeVariant;
using Bytes = std::span<std::uint8_t>;
using CBytes = std::span<const std::uint8_t>;

constexpr std::size_t kOffSpecVersion = 64;
constexpr std::size_t kOffDriverVersion = 66;
constexpr std::size_t kOffSize = 68;
constexpr std::size_t kOffDriverExtra = 70;
constexpr std::size_t kHeaderEnd = 72;  // the header must be readable in any record

constexpr V Other(V v) { return v == V::Pcl5e ? V::PclXl : V::Pcl5e; }

std::int64_t Get(CBytes r, V v, const RecordField& f) { return GetField(r, v, f); }
void Set(Bytes r, V v, const RecordField& f, std::int64_t value) { SetField(r, v, f, value); }

bool InRange(std::int64_t x, std::int64_t lo, std::int64_t hi) { return x >= lo && x <= hi; }

std::int64_t Checked(std::int64_t x, std::int64_t lo, std::int64_t hi, std::int64_t fallback) {
  return InRange(x, lo, hi) ? x : fallback;
}

// Writes the watermark summary's defaults (PCL 5e).
void DefaultWatermarkSummary(Bytes record) {
  Bytes summary = WatermarkSummaryBytes(record, V::Pcl5e);
  if (summary.empty()) return;
  std::fill(summary.begin(), summary.end(), 0);
  for (const RecordField& f : kWatermarkSummaryFields) {
    if (IsIntegerField(f)) SetField(summary, V::Pcl5e, f, f.def);
  }
  SetNarrowField(summary, V::Pcl5e, WmSummaryField("name"), kWatermarkSummaryDefaultName);
  SetNarrowField(summary, V::Pcl5e, WmSummaryField("fontFace"), kWatermarkSummaryDefaultFont);
}

// Parses the leading decimal number of a wide text as the C library's atoi does.
int WideToInt(const WCHAR* text) {
  const WCHAR* p = text;
  while (*p == u' ' || *p == u'\t') ++p;
  bool negative = false;
  if (*p == u'-' || *p == u'+') negative = *p++ == u'-';
  long value = 0;
  while (*p >= u'0' && *p <= u'9' && value < 100000000) value = value * 10 + (*p++ - u'0');
  return static_cast<int>(negative ? -value : value);
}

bool UsesLetter(int country) {
  return country == 1 || country == 2 || InRange(country, 50, 59) || InRange(country, 500, 599);
}

// The layout the incoming private block was written in: the other variant's
// when its header names that variant, else this one's.
V IncomingLayout(V v, std::uint16_t driverVersion, std::uint16_t driverExtra) {
  return driverVersion == kDevmodeDriverVersion && driverExtra == DriverExtra(Other(v)) ? Other(v)
                                                                                        : v;
}

}  // namespace

// ---- country --------------------------------------------------------------------

bool IsMetricCountry() {
  constexpr int kChars = 16;
  auto* buffer = static_cast<WCHAR*>(LocalAlloc(LPTR, kChars * sizeof(WCHAR)));
  if (buffer == nullptr) return false;
  bool metric = false;
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, buffer, kChars) > 0) {
    buffer[kChars - 1] = 0;
    metric = !UsesLetter(WideToInt(buffer));
  }
  LocalFree(buffer);
  return metric;
}

std::int16_t CountryDefaultPaper() { return IsMetricCountry() ? DMPAPER_A4 : DMPAPER_LETTER; }

// ---- defaults ----------------------------------------------------------------------

int BuildDefaultDevmode(V v, Bytes record, const WCHAR* deviceName, std::uint16_t modelIndex) {
  if (record.size() < RecordSize(v)) return 0;
  Bytes r = record.first(RecordSize(v));
  std::fill(r.begin(), r.end(), 0);

  if (deviceName != nullptr) {
    std::u16string_view name(deviceName);
    SetWideField(r, v, DmField("dmDeviceName"), name.substr(0, 31));
  }

  // Every integer default of the layout table first, then the values that come
  // from the model row, the country or the variant.
  for (const RecordField& f : kDevmodeFields) {
    if (IsIntegerField(f) && FieldPresent(f, v)) Set(r, v, f, f.def);
  }
  Set(r, v, DmField("dmDriverExtra"), DriverExtra(v));

  const std::uint16_t row = modelIndex < ModelRowCount() ? modelIndex : 0;
  const ModelRow& m = GetModelRow(row);
  Set(r, v, DmField("modelIndex"), row);
  Set(r, v, DmField("modelValueA"), m.modelValueA);
  Set(r, v, DmField("modelValueB"), m.modelValueB);
  Set(r, v, DmField("modelValueC"), m.modelValueC);
  Set(r, v, DmField("modelValueD"), m.modelValueD);
  Set(r, v, DmField("modelValueH"), m.modelValueH);
  Set(r, v, DmField("modelByteE"), m.modelByteE);
  Set(r, v, DmField("modelValueF"), m.modelValueF);
  Set(r, v, DmField("modelValueG"), m.modelValueG);
  Set(r, v, DmField("zoomMode"), m.zoomMode);
  Set(r, v, DmField("mediaType"), m.mediaType);
  Set(r, v, DmField("collate"), m.collate);
  Set(r, v, DmField("tonerSave"), m.tonerSave);
  Set(r, v, DmField("graphicsMode"), m.graphicsMode);
  Set(r, v, DmField("trueTypeMode"), m.trueTypeMode);
  Set(r, v, DmField("spare730"), m.spare730);
  Set(r, v, DmField("spare762"), m.spare762);
  Set(r, v, DmField("paperWidthEntry"), MillimetresToDots(m.paperWidthEntryMM));
  Set(r, v, DmField("paperLengthEntry"), MillimetresToDots(m.paperLengthEntryMM));
  Set(r, v, DmField("memoryMB"), m.memoryMB);
  Set(r, v, DmField("memoryCode"), m.memoryMB * 945 - 245);

  const std::int16_t paper = CountryDefaultPaper();
  Set(r, v, DmField("dmPaperSize"), paper);
  Set(r, v, DmField("fitPaperSize"), paper);

  if (v == V::PclXl) {
    Set(r, v, DmField("spare732"), 3);
  } else {
    DefaultWatermarkSummary(r);
    Set(r, v, DmField("extraSize"), kDriverExtra5e);
    Set(r, v, DmField("magic"), kPrivMagic5e);
    Set(r, v, DmField("copiesShadow"), Get(r, v, DmField("dmCopies")));
    Set(r, v, DmField("orientationShadow"), Get(r, v, DmField("dmOrientation")));
    Set(r, v, DmField("collateShadow"), Get(r, v, DmField("dmCollate")));
  }
  return 1;
}

// ---- copying between sizes --------------------------------------------------------

int CopyDevmodeParts(CBytes source, Bytes dest) {
  if (source.size() < kHeaderEnd) return -1;
  const std::uint16_t srcSize = LoadU16LE(source, kOffSize);
  const std::uint16_t srcExtra = LoadU16LE(source, kOffDriverExtra);
  const std::uint16_t srcSpec = LoadU16LE(source, kOffSpecVersion);
  const bool knownSize = srcSize == kNt351Size || srcSize == 212 || srcSize == kDevmodePublicSize;
  if (!knownSize && srcSpec == 0) return -1;
  if (dest.size() < kHeaderEnd) return -1;
  if (source.size() < static_cast<std::size_t>(srcSize) + srcExtra) return -1;

  const std::uint16_t dstSize = LoadU16LE(dest, kOffSize);
  const std::uint16_t dstExtra = LoadU16LE(dest, kOffDriverExtra);
  const std::uint16_t dstDriverVersion = LoadU16LE(dest, kOffDriverVersion);
  if (dest.size() < static_cast<std::size_t>(dstSize) + dstExtra) return -1;

  std::uint16_t specVersion = LoadU16LE(dest, kOffSpecVersion);
  if (dstSize == kNt351Size) {
    specVersion = 0x0320;
  } else if (dstSize == 212) {
    specVersion = 0x0400;
  } else if (dstSize == kDevmodePublicSize) {
    specVersion = kDevmodeSpecVersion;
  } else if (specVersion == 0) {
    return -1;
  }

  const std::size_t publicBytes = std::min(srcSize, dstSize);
  std::memmove(dest.data(), source.data(), publicBytes);
  StoreU16LE(dest, kOffDriverVersion, dstDriverVersion);
  StoreU16LE(dest, kOffSpecVersion, specVersion);
  StoreU16LE(dest, kOffSize, dstSize);
  StoreU16LE(dest, kOffDriverExtra, dstExtra);

  const std::size_t privateBytes = std::min(srcExtra, dstExtra);
  std::memmove(dest.data() + dstSize, source.data() + srcSize, privateBytes);
  return static_cast<int>(publicBytes + privateBytes);
}

int CopyDevmodeParts(const DEVMODEW* source, DEVMODEW* dest) {
  if (source == nullptr || dest == nullptr) return -1;
  // The headers are trusted; the 72 header bytes exist in any record.
  CBytes src(reinterpret_cast<const std::uint8_t*>(source),
             std::max(DeclaredDevmodeSize(source), kHeaderEnd));
  Bytes dst(reinterpret_cast<std::uint8_t*>(dest), std::max(DeclaredDevmodeSize(dest), kHeaderEnd));
  return CopyDevmodeParts(src, dst);
}

// ---- merge (interface library) ----------------------------------------------------------

int MergeDevmode(V v, Bytes target, const DEVMODEW* incoming) {
  if (incoming == nullptr) return 1;
  const auto* in = reinterpret_cast<const std::uint8_t*>(incoming);
  if (LoadU16LE(in + kOffSpecVersion) != kDevmodeSpecVersion ||
      LoadU16LE(in + kOffSize) != kDevmodePublicSize) {
    return 1;
  }
  if (target.size() < RecordSize(v)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Bytes t = target.first(RecordSize(v));
  const std::uint16_t inDriverVersion = LoadU16LE(in + kOffDriverVersion);
  const std::uint16_t inExtra = LoadU16LE(in + kOffDriverExtra);

  // Working copy of the target with the incoming record laid over it; every
  // value below is read from it and written to the target.
  HeapBlock work(t.size());
  if (work.empty()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  std::memcpy(work.data(), t.data(), t.size());
  if (CopyDevmodeParts(DevmodeBytes(incoming), work.span()) <= 0) return 0;
  const CBytes w = work.span();

  std::uint32_t fields = static_cast<std::uint32_t>(Get(t, v, DmField("dmFields")));
  const std::uint32_t wf = static_cast<std::uint32_t>(Get(w, v, DmField("dmFields")));

  if (wf & DM_ORIENTATION) {
    fields |= DM_ORIENTATION;
    const std::int64_t o = Get(w, v, DmField("dmOrientation"));
    Set(t, v, DmField("dmOrientation"), (o == 1 || o == 2) ? o : 1);
  }

  // Paper: the first rule that applies.
  const std::int64_t paper = Get(w, v, DmField("dmPaperSize"));
  const std::int64_t length = Get(w, v, DmField("dmPaperLength"));
  const std::int64_t width = Get(w, v, DmField("dmPaperWidth"));
  const bool hasBothLengths = (wf & DM_PAPERLENGTH) && (wf & DM_PAPERWIDTH);
  if (hasBothLengths && InRange(paper, kPaperUserSize, kLastCustomPaper) && length > 0 &&
      width > 0) {
    Set(t, v, DmField("dmPaperLength"), length);
    Set(t, v, DmField("dmPaperWidth"), width);
    Set(t, v, DmField("dmPaperSize"), kPaperUserSize);
    fields &= ~(DM_PAPERSIZE | DM_FORMNAME);
    fields |= DM_PAPERLENGTH | DM_PAPERWIDTH;
  } else if (wf & DM_PAPERSIZE) {
    Set(t, v, DmField("dmPaperSize"), paper);
    Set(t, v, DmField("dmPaperLength"), length);
    Set(t, v, DmField("dmPaperWidth"), width);
    fields &= ~(DM_PAPERLENGTH | DM_PAPERWIDTH | DM_FORMNAME);
    fields |= DM_PAPERSIZE;
  } else if (wf & DM_FORMNAME) {
    const CBytes from = FieldBytes(w, v, DmField("dmFormName"));
    std::copy(from.begin(), from.end(), FieldBytes(t, v, DmField("dmFormName")).begin());
    fields &= ~(DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH);
    fields |= DM_FORMNAME;
  } else if (hasBothLengths) {
    Set(t, v, DmField("dmPaperSize"), paper);
    Set(t, v, DmField("dmPaperLength"), length);
    Set(t, v, DmField("dmPaperWidth"), width);
    fields &= ~(DM_PAPERSIZE | DM_FORMNAME);
    fields |= DM_PAPERLENGTH | DM_PAPERWIDTH;
  }

  if (wf & DM_SCALE) {
    fields |= DM_SCALE;
    Set(t, v, DmField("dmScale"), Checked(Get(w, v, DmField("dmScale")), 1, 1000, 100));
  }
  if (wf & DM_COPIES) {
    fields |= DM_COPIES;
    Set(t, v, DmField("dmCopies"), Checked(Get(w, v, DmField("dmCopies")), 1, 99, 1));
  }

  // Taken from records of any version. Fields whose place differs between the
  // two layouts are read where the incoming record's layout has them.
  const V layout = IncomingLayout(v, inDriverVersion, inExtra);
  Set(t, v, DmField("reverseOrder"), Checked(Get(w, layout, DmField("reverseOrder")), 0, 1, 0));
  Set(t, v, DmField("rotateSort"), Get(w, layout, DmField("rotateSort")));
  Set(t, v, DmField("printerFontOnly"), Get(w, layout, DmField("printerFontOnly")));
  Set(t, v, DmField("printerFontIndex"), Get(w, layout, DmField("printerFontIndex")));
  fields |= DM_DEFAULTSOURCE;
  const std::int64_t source = Get(w, v, DmField("dmDefaultSource"));
  Set(t, v, DmField("dmDefaultSource"), IsValidSourceCode(static_cast<int>(source)) ? source : 7);

  if (wf & DM_PRINTQUALITY) {
    fields |= DM_PRINTQUALITY;
    std::int64_t quality = Get(w, v, DmField("dmPrintQuality"));
    if (quality <= 0) quality = Get(w, layout, DmField("resolution"));
    if (quality <= 0) quality = Get(t, v, DmField("dmPrintQuality"));
    Set(t, v, DmField("dmPrintQuality"), (quality == 300 || quality == 600) ? quality : 600);
  }
  if (wf & DM_COLOR) {
    fields |= DM_COLOR;
    Set(t, v, DmField("dmColor"), DMCOLOR_MONOCHROME);
  }
  fields &= ~(DM_DUPLEX | DM_COLLATE);
  Set(t, v, DmField("dmDuplex"), Checked(Get(w, v, DmField("dmDuplex")), 1, 3, 1));
  Set(t, v, DmField("dmCollate"), 0);
  Set(t, v, DmField("dmFields"), fields);

  if (inDriverVersion == kDevmodeDriverVersion && inExtra == DriverExtra(v)) {
    for (const RecordField& f : kDevmodeFields) {
      if (!FieldPresent(f, v) || !IsIntegerField(f)) continue;
      if (f.check == MergeCheck::Copy) {
        Set(t, v, f, Get(w, v, f));
      } else if (f.check == MergeCheck::Range) {
        Set(t, v, f, Checked(Get(w, v, f), f.lo, f.hi, f.fallback));
      }
    }

    const std::int64_t nupEnabled = Checked(Get(w, v, DmField("nupEnabled")), 0, 1, 0);
    Set(t, v, DmField("nupEnabled"), nupEnabled);
    const std::int64_t booklet = Get(w, v, DmField("bookletPaperSize"));
    Set(t, v, DmField("bookletPaperSize"), booklet);
    if (nupEnabled == 1) {
      const std::int64_t pages = Get(w, v, DmField("nupPages"));
      Set(t, v, DmField("nupPages"),
          (pages == 1 || pages == 2 || pages == 4 || pages == 8) ? pages : 1);
      Set(t, v, DmField("nupColumnFirst"), Checked(Get(w, v, DmField("nupColumnFirst")), 0, 1, 0));
      Set(t, v, DmField("nupRightToLeft"), Checked(Get(w, v, DmField("nupRightToLeft")), 0, 1, 0));
    }
    if (nupEnabled == 1 || booklet != 0) {
      Set(t, v, DmField("nupSeparator"), Checked(Get(w, v, DmField("nupSeparator")), 0, 1, 0));
    }

    if (Get(w, v, DmField("watermarkEnabled")) == 1) {
      Set(t, v, DmField("watermarkEnabled"), 1);
      const CBytes from = WatermarkBytes(w, v);
      std::copy(from.begin(), from.end(), WatermarkBytes(t, v).begin());
    }

    const std::int64_t trueType = Get(w, v, DmField("trueTypeMode"));
    Set(t, v, DmField("trueTypeMode"),
        Get(t, v, DmField("graphicsMode")) == 2 ? trueType : Checked(trueType, 0, 2, 2));
    const std::int64_t resolution = Get(w, v, DmField("resolution"));
    Set(t, v, DmField("resolution"), (resolution == 300 || resolution == 600) ? resolution : 600);
    Set(t, v, DmField("memoryCode"), Get(t, v, DmField("memoryMB")) * 945 - 245);

    if (v == V::PclXl) {
      Set(t, v, DmField("spare746"), Checked(Get(w, v, DmField("spare746")), 0, 1, 1));
    } else {
      Set(t, v, DmField("extraSize"), kDriverExtra5e);
      Set(t, v, DmField("copiesShadow"), Get(t, v, DmField("dmCopies")));
      Set(t, v, DmField("orientationShadow"), Get(t, v, DmField("dmOrientation")));
      Set(t, v, DmField("separatorActive"), Get(t, v, DmField("nupSeparator")));
      Set(t, v, DmField("mediaTypeShadow"), Get(t, v, DmField("mediaType")));
      Set(t, v, DmField("collateShadow"), Get(t, v, DmField("collate")));
      const CBytes from = WatermarkSummaryBytes(w, v);
      std::copy(from.begin(), from.end(), WatermarkSummaryBytes(t, v).begin());
    }
  }
  return 1;
}

// ---- property sheet result -----------------------------------------------------------

BOOL CombineDevmodeSizes(const DEVMODEW* a, const DEVMODEW* b, DEVMODEW* out) {
  if (a == nullptr || out == nullptr) return FALSE;
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  if (b == nullptr) {
    std::memmove(o, a, DeclaredDevmodeSize(a));
    return TRUE;
  }
  const auto* pa = reinterpret_cast<const std::uint8_t*>(a);
  const auto* pb = reinterpret_cast<const std::uint8_t*>(b);
  const std::uint8_t* sizeFrom = LoadU16LE(pb + kOffSize) < LoadU16LE(pa + kOffSize) ? pb : pa;
  const std::uint8_t* extraFrom =
      LoadU16LE(pb + kOffDriverExtra) < LoadU16LE(pa + kOffDriverExtra) ? pb : pa;
  StoreU16LE(o + kOffSize, LoadU16LE(sizeFrom + kOffSize));
  StoreU16LE(o + kOffSpecVersion, LoadU16LE(sizeFrom + kOffSpecVersion));
  StoreU16LE(o + kOffDriverExtra, LoadU16LE(extraFrom + kOffDriverExtra));
  StoreU16LE(o + kOffDriverVersion, LoadU16LE(extraFrom + kOffDriverVersion));
  return CopyDevmodeParts(a, out) > 0 ? TRUE : FALSE;
}

// ---- spooler conversion ---------------------------------------------------------------

namespace {

BOOL BuildDriverDefault(V v, LPWSTR printerName, DEVMODEW* out) {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(printerName, &printer, nullptr)) return FALSE;
  BOOL ok = FALSE;
  DWORD needed = 0;
  GetPrinterDriverW(printer, nullptr, 2, nullptr, 0, &needed);
  if (needed >= sizeof(DRIVER_INFO_2W)) {
    HeapBlock buffer(needed, true);
    if (!buffer.empty() &&
        GetPrinterDriverW(printer, nullptr, 2, buffer.data(), needed, &needed)) {
      DRIVER_INFO_2W info;
      std::memcpy(&info, buffer.data(), sizeof(info));
      BuildDefaultDevmode(v, Bytes(reinterpret_cast<std::uint8_t*>(out), RecordSize(v)),
                          info.pName, 0);
      ok = TRUE;
    }
  }
  ClosePrinter(printer);
  return ok;
}

}  // namespace

BOOL ConvertDevmodeForSpooler(V v, LPWSTR pPrinterName, const DEVMODEW* pdmIn, DEVMODEW* pdmOut,
                              LONG* pcbNeeded, DWORD fMode) {
  if (pcbNeeded == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  switch (fMode) {
    case CDM_CONVERT: {
      if (pdmOut != nullptr) {
        const LONG outSize = static_cast<LONG>(DeclaredDevmodeSize(pdmOut));
        if (*pcbNeeded >= outSize && CopyDevmodeParts(pdmIn, pdmOut) > 0) {
          *pcbNeeded = outSize;
          return TRUE;
        }
      }
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    case CDM_CONVERT351: {
      constexpr LONG kNeeded = kNt351Size + kNt351DriverExtra;  // 300
      if (pdmOut == nullptr || *pcbNeeded < kNeeded) {
        *pcbNeeded = kNeeded;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      auto* o = reinterpret_cast<std::uint8_t*>(pdmOut);
      // Bytes a shorter input does not cover are left clear, not as they were.
      if (static_cast<const void*>(pdmIn) != static_cast<const void*>(pdmOut)) {
        std::fill(o, o + kNeeded, 0);
      }
      StoreU16LE(o + kOffSpecVersion, 0x0320);
      StoreU16LE(o + kOffSize, kNt351Size);
      StoreU16LE(o + kOffDriverVersion, kNt351DriverVersion);
      StoreU16LE(o + kOffDriverExtra, kNt351DriverExtra);
      if (CopyDevmodeParts(pdmIn, pdmOut) <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      *pcbNeeded = kNeeded;
      return TRUE;
    }
    case CDM_DRIVER_DEFAULT: {
      const LONG needed = static_cast<LONG>(RecordSize(v));
      if (pdmOut == nullptr || *pcbNeeded < needed) {
        *pcbNeeded = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      *pcbNeeded = needed;
      return BuildDriverDefault(v, pPrinterName, pdmOut);
    }
    default:
      return FALSE;
  }
}

// ---- exported static default ---------------------------------------------------------

namespace {
std::array<std::uint8_t, kRecordSize5e> g_defaultSetting{};
}

int DevDefaultSetting() {
  constexpr V v = V::Pcl5e;
  const std::u16string name = ReadOemString(OemKey::Printer2);
  SetModelName(0, name);

  Bytes r(g_defaultSetting);
  std::fill(r.begin(), r.end(), 0);
  const ModelRow& m = GetModelRow(0);
  SetWideField(r, v, DmField("dmDeviceName"), name);
  Set(r, v, DmField("dmSpecVersion"), kDevmodeSpecVersion);
  Set(r, v, DmField("dmDriverVersion"), kDevmodeDriverVersion);
  Set(r, v, DmField("dmSize"), kDevmodePublicSize);
  Set(r, v, DmField("dmDriverExtra"), kDriverExtra5e);
  Set(r, v, DmField("dmFields"), DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES | DM_DEFAULTSOURCE);
  Set(r, v, DmField("dmOrientation"), DMORIENT_PORTRAIT);
  Set(r, v, DmField("dmPaperLength"), 254);
  Set(r, v, DmField("dmPaperWidth"), 254);
  Set(r, v, DmField("dmCopies"), 1);

  // Letter where win.ini names a Letter country (or none: 0, or the U.S. locale
  // number 0x409 that stands in when the key is missing), A4 elsewhere; the fit
  // paper follows the page paper.
  const int country = static_cast<int>(GetProfileIntW(u"intl", u"icountry", 0x409));
  const bool letter = country == 0 || country == 0x409 || UsesLetter(country);
  const std::int16_t paper = letter ? DMPAPER_LETTER : DMPAPER_A4;
  Set(r, v, DmField("dmPaperSize"), paper);
  Set(r, v, DmField("fitPaperSize"), paper);

  Bytes wm = WatermarkBytes(r, v);
  SetField(wm, v, WmField("shading"), m.watermarkShading);
  SetField(wm, v, WmField("fontSize"), m.watermarkFontSize);
  SetField(wm, v, WmField("workingSize"), m.watermarkFontSize);
  SetField(wm, v, WmField("verticalOffset"), m.watermarkVerticalOffset);
  SetField(wm, v, WmField("horizontalOffset"), m.watermarkHorizontalOffset);
  SetField(wm, v, WmField("angle"), m.watermarkAngle);
  SetField(wm, v, WmField("italic"), m.watermarkItalic);
  SetField(wm, v, WmField("bold"), m.watermarkBold);
  SetField(wm, v, WmField("firstPageOnly"), m.watermarkFirstPageOnly);

  Set(r, v, DmField("scalePercent"), m.scalePercent);
  Set(r, v, DmField("nupPages"), m.nupPages);
  Set(r, v, DmField("frontGutter"), m.frontGutter);
  Set(r, v, DmField("backGutter"), m.backGutter);
  Set(r, v, DmField("graphicsMode"), m.graphicsMode);
  Set(r, v, DmField("trueTypeMode"), m.trueTypeMode);
  Set(r, v, DmField("resolution"), m.resolution);
  Set(r, v, DmField("tonerSave"), m.tonerSave);
  Set(r, v, DmField("installedOptions"), m.installedOptions);
  Set(r, v, DmField("spare764"), m.spare764);
  Set(r, v, DmField("modelIndex"), 0);
  return 1;
}

std::span<const std::uint8_t> DevDefaultSettingRecord() { return g_defaultSetting; }

}  // namespace kvset
