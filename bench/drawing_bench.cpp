// Drawing speed through the whole stack: a printer device context on a file
// port, pages drawn with the application calls (GDI -> engine -> PCL 5e
// library -> spooler).
//
//   Paths/10000     one page of 10,000 small closed paths, each stroked and
//                   filled (Polygon with a pen and a solid or gray brush);
//                   "bytes" is the page's stream
//   Paths/10000/clipped   the same under a rectangular clip region
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_printer.h"
#include "kvplat/gdi.h"
#include "kvplat/root.h"
#include "tools/common/driver_install.h"

namespace {

std::string g_output;

struct Shape {
  POINT points[5];
  COLORREF fill;
};

const std::vector<Shape>& Shapes() {
  static const std::vector<Shape> shapes = [] {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> x(100, 4500), y(100, 6500), size(10, 120), gray(0, 255);
    std::vector<Shape> made(10000);
    for (Shape& s : made) {
      const int ox = x(random), oy = y(random), w = size(random), h = size(random);
      s.points[0] = {ox, oy};
      s.points[1] = {ox + w, oy + h / 3};
      s.points[2] = {ox + w / 2, oy + h};
      s.points[3] = {ox - w / 3, oy + h / 2};
      s.points[4] = {ox + w / 5, oy + h / 4};
      const int g = gray(random);
      s.fill = g < 128 ? RGB(0, 0, 0) : RGB(g, g, g);
    }
    return made;
  }();
  return shapes;
}

void PathsPage(benchmark::State& state, bool clipped) {
  HDC dc = CreateDCW(u"WINSPOOL", u"Bench", nullptr, nullptr);
  if (dc == nullptr) {
    state.SkipWithError("CreateDCW failed");
    return;
  }
  std::vector<HBRUSH> brushes;
  for (int g = 0; g < 256; g += 32) brushes.push_back(CreateSolidBrush(RGB(g, g, g)));
  HPEN pen = CreatePen(PS_SOLID, 0, RGB(0, 0, 0));
  const std::u16string output = kvplat::WinPath(g_output);
  bool measured = false;
  for (auto _ : state) {
    DOCINFOW doc{sizeof(DOCINFOW), u"paths", output.c_str(), nullptr, 0};
    if (StartDocW(dc, &doc) <= 0 || StartPage(dc) <= 0) {
      state.SkipWithError("cannot start the page");
      break;
    }
    SelectObject(dc, pen);
    if (clipped) IntersectClipRect(dc, 200, 200, 4000, 6000);
    for (const Shape& s : Shapes()) {
      SelectObject(dc, brushes[(s.fill & 0xFF) / 32]);
      Polygon(dc, s.points, 5);
    }
    EndPage(dc);
    state.PauseTiming();
    EndDoc(dc);
    if (!measured) {
      std::error_code ec;
      state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(g_output, ec));
      measured = true;
    }
    SelectClipRgn(dc, nullptr);
    state.ResumeTiming();
  }
  SelectObject(dc, GetStockObject(BLACK_PEN));
  SelectObject(dc, GetStockObject(WHITE_BRUSH));
  DeleteObject(pen);
  for (HBRUSH brush : brushes) DeleteObject(brush);
  DeleteDC(dc);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string pattern = kvbench::SetUpBenchPrinter("kvdraw", u"FILE:");
  if (pattern.empty()) return 1;
  g_output = pattern + "/paths.prn";
  benchmark::RegisterBenchmark("Paths/10000", [](benchmark::State& s) { PathsPage(s, false); })
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Paths/10000/clipped", [](benchmark::State& s) { PathsPage(s, true); })
      ->Unit(benchmark::kMillisecond);
  return kvbench::RunBenchmarks(argc, argv, pattern);
}
