// Raster output speed and size: full A4 pages at 600 dpi (4960 x 7014 dots,
// 620 bytes a row) sent with SendRaster for every rasterCompression value,
// through the output channel into a spooler job on a file port.
//
//   SendRaster/<page>/<value>     encoding and spooling; "bytes" is the page's
//                                 stream as the port receives it
//   EncodeOnly/<page>/<value>     the same with the output dropped: the
//                                 encoders and block packing alone
//
//   StretchBlt/photo24/<value>  a 24-bit photograph of 1240 x 1754 pixels
//                               (150 dpi) stretched to the page through
//                               DrvStretchBlt: dithering, encoding, spooling
//   CopyBits/scan1/<value>      a one-bit scanned letter of page size through
//                               DrvCopyBits
//
// Pages: "photo" (an ordered dither of smooth gradients and noise), "text"
// (sparse black runs in lines, like a scanned letter) and "white".
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kvplat/engine_objects.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/pcl_device.h"
#include "pclcore/5e/raster_compression.h"
#include "pclcore/5e/raster_images.h"
#include "tools/common/driver_install.h"

namespace {

constexpr int kWidth = 4960;
constexpr int kHeight = 7014;
constexpr int kRowBytes = (kWidth + 7) / 8;
constexpr int kStride = kRowBytes + 1;  // as the renderer lays rows out

struct Page {
  const char* name;
  std::vector<BYTE> bits;
};

void SetDot(std::vector<BYTE>& bits, int x, int y) {
  bits[static_cast<std::size_t>(y) * kStride + x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
}

// 16 x 16 ordered-dither thresholds (Bayer), 0..255.
int Threshold(int x, int y) {
  int value = 0;
  for (int bit = 0; bit < 4; ++bit) {
    const int xb = (x >> bit) & 1, yb = (y >> bit) & 1;
    value |= ((xb ^ yb) << (2 * (3 - bit) + 1)) | (yb << (2 * (3 - bit)));
  }
  return value;
}

Page PhotoPage() {
  Page page{"photo", std::vector<BYTE>(static_cast<std::size_t>(kStride) * kHeight, 0)};
  // Value noise on a 96-dot lattice, smoothly interpolated, over gradients.
  constexpr int kCell = 96;
  const int gw = kWidth / kCell + 2, gh = kHeight / kCell + 2;
  std::mt19937 random(1234);
  std::vector<float> lattice(static_cast<std::size_t>(gw) * gh);
  for (float& v : lattice) v = static_cast<float>(random() % 1000) / 1000.0f;
  auto smooth = [](float t) { return t * t * (3 - 2 * t); };
  for (int y = 0; y < kHeight; ++y) {
    const int gy = y / kCell;
    const float ty = smooth(static_cast<float>(y % kCell) / kCell);
    for (int x = 0; x < kWidth; ++x) {
      const int gx = x / kCell;
      const float tx = smooth(static_cast<float>(x % kCell) / kCell);
      const float* row0 = &lattice[static_cast<std::size_t>(gy) * gw];
      const float* row1 = row0 + gw;
      const float noise = (row0[gx] * (1 - tx) + row0[gx + 1] * tx) * (1 - ty) +
                          (row1[gx] * (1 - tx) + row1[gx + 1] * tx) * ty;
      const float gradient = 0.5f + 0.3f * std::sin(x / 700.0f) * std::cos(y / 900.0f);
      const int gray = static_cast<int>(255 * (0.55f * gradient + 0.45f * noise));
      if (gray < Threshold(x, y)) SetDot(page.bits, x, y);
    }
  }
  return page;
}

Page TextPage() {
  Page page{"text", std::vector<BYTE>(static_cast<std::size_t>(kStride) * kHeight, 0)};
  std::mt19937 random(42);
  constexpr int kMargin = 600, kLine = 100, kGlyphHeight = 56;
  for (int top = kMargin; top + kLine < kHeight - kMargin; top += kLine) {
    if (random() % 9 == 0) continue;  // paragraph break
    int x = kMargin;
    const int lineEnd = kWidth - kMargin - static_cast<int>(random() % 800);
    while (x < lineEnd) {
      // A word of glyphs: each an 8 x 8 pattern of strokes scaled up.
      const int glyphs = 2 + static_cast<int>(random() % 8);
      for (int g = 0; g < glyphs && x < lineEnd; ++g) {
        const int width = 24 + static_cast<int>(random() % 16);
        std::uint64_t pattern = 0;
        for (int k = 0; k < 14; ++k) pattern |= std::uint64_t{1} << (random() % 64);
        for (int gy = 0; gy < kGlyphHeight; ++gy) {
          for (int gx = 0; gx < width; ++gx) {
            const int bit = (gy * 8 / kGlyphHeight) * 8 + gx * 8 / width;
            if ((pattern >> bit) & 1) SetDot(page.bits, x + gx, top + gy);
          }
        }
        x += width + 6;
      }
      x += 30;
    }
  }
  return page;
}

const std::vector<Page>& Pages() {
  static const std::vector<Page> pages = [] {
    std::vector<Page> made;
    made.push_back(PhotoPage());
    made.push_back(TextPage());
    made.push_back({"white", std::vector<BYTE>(static_cast<std::size_t>(kStride) * kHeight, 0)});
    return made;
  }();
  return pages;
}

HANDLE g_printer = nullptr;
std::string g_port;

std::unique_ptr<kv5e::PclPdev> MakeDevice(int compression) {
  auto pdev = std::make_unique<kv5e::PclPdev>();
  pdev->magicHead = pdev->magicTail = kv5e::kPdevMagic;
  pdev->printer = g_printer;
  kv5e::ResetOutputBuffer(pdev.get());
  kv5e::SetDm(pdev.get(), kvset::DmField("rasterCompression"), compression);
  kv5e::SetDm(pdev.get(), kvset::DmField("absolutePositioning"), 1);
  return pdev;
}

bool StartJob() {
  DOC_INFO_1W doc{const_cast<LPWSTR>(u"raster bench"), nullptr, nullptr};
  return StartDocPrinterW(g_printer, 1, reinterpret_cast<LPBYTE>(&doc)) != 0;
}

void SendRasterBench(benchmark::State& state, int pageIndex, int compression, bool spool) {
  const Page& page = Pages()[pageIndex];
  auto pdev = MakeDevice(compression);
  if (!spool) pdev->flags |= kv5e::kFlagSuppressed;
  if (compression == 3) {
    kv5e::AnalyseCompression(pdev.get(), page.bits.data(), kStride, kWidth, kHeight, 1, false);
  }
  bool measured = false;
  for (auto _ : state) {
    if (spool) {
      state.PauseTiming();
      if (!StartJob()) {
        state.SkipWithError("StartDocPrinter failed");
        break;
      }
      state.ResumeTiming();
    }
    const BOOL sent = kv5e::SendRaster(pdev.get(), 0, 0, kWidth, kHeight, page.bits.data(),
                                       kStride, FALSE);
    kv5e::FlushOutput(pdev.get());
    if (!sent) {
      state.SkipWithError("SendRaster failed");
      break;
    }
    if (spool) {
      state.PauseTiming();
      if (!measured) {
        // The first page is delivered to count its bytes; later ones are dropped.
        EndDocPrinter(g_printer);
        std::error_code ec;
        state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(g_port, ec));
        measured = true;
      } else {
        AbortPrinter(g_printer);
      }
      state.ResumeTiming();
    }
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(kHeight) * state.iterations(),
                                                benchmark::Counter::kIsRate);
  kv5e::FreeRasterBuffers(pdev->raster);
}

// ---- whole images through the driver's bitmap calls

constexpr int kPhotoWidth = 1240;
constexpr int kPhotoHeight = 1754;

// A photograph at 150 dpi: smooth light and shade, a few hard edges and a
// little sensor noise, in the usual B, G, R byte order.
SURFOBJ* PhotoBitmap() {
  static SURFOBJ* photo = [] {
    SURFOBJ* s = kvplat::engine::CreateBitmapSurface(SIZEL{kPhotoWidth, kPhotoHeight}, BMF_24BPP,
                                                     BMF_TOPDOWN);
    std::mt19937 random(77);
    constexpr int kCell = 48;
    const int gw = kPhotoWidth / kCell + 2, gh = kPhotoHeight / kCell + 2;
    std::vector<float> lattice(static_cast<std::size_t>(gw) * gh * 3);
    for (float& v : lattice) v = static_cast<float>(random() % 1000) / 1000.0f;
    auto smooth = [](float t) { return t * t * (3 - 2 * t); };
    for (int y = 0; y < kPhotoHeight; ++y) {
      BYTE* row = static_cast<BYTE*>(s->pvScan0) + static_cast<std::ptrdiff_t>(y) * s->lDelta;
      const int gy = y / kCell;
      const float ty = smooth(static_cast<float>(y % kCell) / kCell);
      for (int x = 0; x < kPhotoWidth; ++x) {
        const int gx = x / kCell;
        const float tx = smooth(static_cast<float>(x % kCell) / kCell);
        // A bright sky over darker ground, and a disc with a hard edge.
        const bool disc = (x - 800) * (x - 800) + (y - 600) * (y - 600) < 250 * 250;
        const float base = y < 700 ? 0.8f - y / 3000.0f : 0.45f + 0.1f * std::sin(x / 90.0f);
        for (int c = 0; c < 3; ++c) {
          const float* l0 = &lattice[(static_cast<std::size_t>(gy) * gw + gx) * 3 + c];
          const float* l1 = l0 + static_cast<std::size_t>(gw) * 3;
          const float noise = (l0[0] * (1 - tx) + l0[3] * tx) * (1 - ty) +
                              (l1[0] * (1 - tx) + l1[3] * tx) * ty;
          float v = 0.7f * (disc ? 0.25f + 0.1f * c : base) + 0.3f * noise;
          v += static_cast<float>(static_cast<int>(random() % 5) - 2) / 255.0f;
          row[3 * x + c] = static_cast<BYTE>(std::clamp(v, 0.0f, 1.0f) * 255.0f);
        }
      }
    }
    return s;
  }();
  return photo;
}

// The scanned letter as a one-bit bitmap of page size (1 = white).
SURFOBJ* ScanBitmap() {
  static SURFOBJ* scan = [] {
    SURFOBJ* s = kvplat::engine::CreateBitmapSurface(SIZEL{kWidth, kHeight}, BMF_1BPP,
                                                     BMF_TOPDOWN);
    const Page& text = Pages()[1];
    for (int y = 0; y < kHeight; ++y) {
      BYTE* row = static_cast<BYTE*>(s->pvScan0) + static_cast<std::ptrdiff_t>(y) * s->lDelta;
      const BYTE* ink = text.bits.data() + static_cast<std::size_t>(y) * kStride;
      for (int i = 0; i < kRowBytes; ++i) row[i] = static_cast<BYTE>(~ink[i]);
    }
    return s;
  }();
  return scan;
}

enum class Call { StretchPhoto, CopyScan };

void ImageBench(benchmark::State& state, Call call, int compression) {
  auto pdev = MakeDevice(compression);
  kv5e::SetDm(pdev.get(), kvset::DmField("dmPrintQuality"), 600);
  kv5e::SetDm(pdev.get(), kvset::DmField("scalePercent"), 100);
  pdev->cxSurface = kWidth;
  pdev->cySurface = kHeight;
  pdev->surfaceGeometry.printableHeight = kHeight;
  kv5e::ResetHpglState(pdev->hpglState);
  SURFOBJ device{};
  device.dhpdev = reinterpret_cast<DHPDEV>(pdev.get());
  device.iType = STYPE_DEVICE;
  device.sizlBitmap = SIZEL{kWidth, kHeight};
  SURFOBJ* source = call == Call::StretchPhoto ? PhotoBitmap() : ScanBitmap();
  ULONG monoColors[2] = {0x000000, 0xFFFFFF};
  XLATEOBJ mono{};
  mono.flXlate = XO_TABLE;
  mono.cEntries = 2;
  mono.pulXlate = monoColors;
  bool measured = false;
  for (auto _ : state) {
    state.PauseTiming();
    if (!StartJob()) {
      state.SkipWithError("StartDocPrinter failed");
      break;
    }
    kv5e::ResetHpglState(pdev->hpglState);
    state.ResumeTiming();
    RECTL page{0, 0, kWidth, kHeight};
    BOOL drawn;
    if (call == Call::StretchPhoto) {
      RECTL from{0, 0, kPhotoWidth, kPhotoHeight};
      drawn = kv5e::DrvStretchBlt(&device, source, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  &page, &from, nullptr, COLORONCOLOR);
    } else {
      POINTL origin{0, 0};
      drawn = kv5e::DrvCopyBits(&device, source, nullptr, &mono, &page, &origin);
    }
    kv5e::FlushOutput(pdev.get());
    if (!drawn) {
      state.SkipWithError("drawing failed");
      break;
    }
    state.PauseTiming();
    if (!measured) {
      EndDocPrinter(g_printer);
      std::error_code ec;
      state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(g_port, ec));
      measured = true;
    } else {
      AbortPrinter(g_printer);
    }
    state.ResumeTiming();
  }
  kv5e::ResetHpglState(pdev->hpglState);
  kv5e::FreeRasterBuffers(pdev->raster);
}

void RegisterAll() {
  const char* pages[] = {"photo", "text", "white"};
  for (int p = 0; p < 3; ++p) {
    for (int compression : {0, 1, 2, 3, 4}) {
      for (bool spool : {true, false}) {
        const std::string name = std::string(spool ? "SendRaster/" : "EncodeOnly/") + pages[p] +
                                 "/" + std::to_string(compression);
        benchmark::RegisterBenchmark(name.c_str(), [p, compression, spool](benchmark::State& s) {
          SendRasterBench(s, p, compression, spool);
        })->Unit(benchmark::kMillisecond);
      }
    }
  }
  for (int compression : {0, 1, 2, 3, 4}) {
    benchmark::RegisterBenchmark(("StretchBlt/photo24/" + std::to_string(compression)).c_str(),
                                 [compression](benchmark::State& s) {
                                   ImageBench(s, Call::StretchPhoto, compression);
                                 })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("CopyBits/scan1/" + std::to_string(compression)).c_str(),
                                 [compression](benchmark::State& s) {
                                   ImageBench(s, Call::CopyScan, compression);
                                 })->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A throw-away root with one printer whose port is a file.
  std::string pattern = (std::filesystem::temp_directory_path() / "kvbench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  const std::string root = pattern;
  kvplat::SetRoot(root);
  std::string error;
  std::vector<std::string> installed, skipped;
  const kvtools::DriverPackage* package = kvtools::FindPackage("pcl5e");
  std::filesystem::create_directories(kvplat::HostPath(u"C:\\Output"));
  if (!kvplat::EnsureRoot(&error) ||
      !kvtools::InstallDrivers(kvtools::BuiltDriverDir(), &installed, &skipped, &error) ||
      package == nullptr ||
      !kvtools::AddPrinter(u"Bench", *package, u"C:\\Output\\Bench.prn", &error)) {
    std::fprintf(stderr, "cannot set up a printer: %s\n", error.c_str());
    return 1;
  }
  g_port = kvplat::HostPath(u"C:\\Output\\Bench.prn");
  PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ALL_ACCESS};
  std::u16string name = u"Bench";
  if (!OpenPrinterW(name.data(), &g_printer, &defaults)) return 1;

  Pages();  // made once, outside the timings
  PhotoBitmap();
  ScanBitmap();
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  ClosePrinter(g_printer);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
