// Text printing speed and size through the whole stack: a printer device
// context on a file port, a 100-page document of 3,000 characters a page (40
// lines of 75) in Courier New 10 pt drawn with TextOutW (GDI -> engine ->
// PCL 5e library -> spooler), for each way TrueType text is sent:
//
//   Text100/outline    trueTypeMode 2: soft fonts with outline characters
//   Text100/bitmap     trueTypeMode 0: soft fonts with bitmap characters
//   Text100/graphics   trueTypeMode 1: the glyphs as raster graphics
//
// "pages/s" counts pages per second of wall-clock time for the whole job
// (StartDocW to EndDoc, the spooler's file writes included),
// "bytes/page" is the job's stream divided by the pages.
//
// The same document for other programs (bench/compare_text.sh uses these):
//   text_bench --write-text FILE   the text, pages ended by form feeds
//   text_bench --write-ps FILE     the text typeset as PostScript (Courier 10 pt, A4)
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_printer.h"
#include "kvplat/gdi.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "tools/common/devmode_options.h"
#include "tools/common/driver_install.h"

namespace {

constexpr int kPages = 100;
constexpr int kLinesPerPage = 40;
constexpr int kLineLength = 75;  // 40 x 75 = 3,000 characters a page

std::string g_output;

// The document's lines, page after page: words of a small vocabulary picked
// by a fixed pseudo-random sequence, each line cut to 75 characters.
const std::vector<std::string>& Lines() {
  static const std::vector<std::string> lines = [] {
    static const char* const kWords[] = {
        "the",     "printer", "driver", "sends",  "text",    "as",       "characters", "of",
        "a",       "font",    "it",     "has",    "already", "loaded;",  "Each",       "page",
        "holds",   "three",   "thousand", "letters,", "digits", "(0-9)", "and",        "marks:",
        "Quick",   "brown",   "fox",    "jumps",  "over",    "lazy",     "dog.",       "PCL",
        "5e",      "TrueType", "outline", "bitmap", "graphics", "download", "\"quoted\"", "#42",
        "100%",    "x+y=z",   "[brackets]", "{braces}", "path/to/file", "e-mail", "Zebra", "Queen"};
    std::vector<std::string> made;
    made.reserve(kPages * kLinesPerPage);
    unsigned seed = 2024;
    for (int i = 0; i < kPages * kLinesPerPage; ++i) {
      std::string line;
      while (static_cast<int>(line.size()) < kLineLength) {
        seed = seed * 1664525u + 1013904223u;
        if (!line.empty()) line += ' ';
        line += kWords[(seed >> 8) % std::size(kWords)];
      }
      line.resize(kLineLength);
      made.push_back(line);
    }
    return made;
  }();
  return lines;
}

bool WriteText(const char* path) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  for (int page = 0; page < kPages; ++page) {
    for (int line = 0; line < kLinesPerPage; ++line) {
      std::fputs(Lines()[page * kLinesPerPage + line].c_str(), file);
      std::fputc(line + 1 < kLinesPerPage ? '\n' : '\f', file);
    }
  }
  return std::fclose(file) == 0;
}

bool WritePostScript(const char* path) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  std::fprintf(file, "%%!PS-Adobe-3.0\n%%%%Pages: %d\n%%%%EndComments\n", kPages);
  std::fputs("<< /PageSize [595 842] >> setpagedevice\n", file);
  for (int page = 0; page < kPages; ++page) {
    std::fprintf(file, "%%%%Page: %d %d\n/Courier 10 selectfont\n", page + 1, page + 1);
    for (int line = 0; line < kLinesPerPage; ++line) {
      std::string escaped;
      for (char c : Lines()[page * kLinesPerPage + line]) {
        if (c == '(' || c == ')' || c == '\\') escaped += '\\';
        escaped += c;
      }
      std::fprintf(file, "42 %d moveto (%s) show\n", 780 - line * 12, escaped.c_str());
    }
    std::fputs("showpage\n", file);
  }
  std::fputs("%%EOF\n", file);
  return std::fclose(file) == 0;
}

void TextDocument(benchmark::State& state, int trueTypeMode) {
  const kvtools::DriverPackage* package = kvtools::FindPackage("pcl5e");
  std::vector<BYTE> devmode = kvtools::DefaultDevmode(package->kind, u"Bench");
  std::string error;
  for (const std::string& setting : {std::string("dmPaperSize=9"),
                                    "trueTypeMode=" + std::to_string(trueTypeMode)}) {
    if (!kvtools::ApplyDevmodeOption(devmode, package->kind, setting, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  HDC dc = CreateDCW(u"WINSPOOL", u"Bench", nullptr, reinterpret_cast<const DEVMODEW*>(devmode.data()));
  if (dc == nullptr) {
    state.SkipWithError("CreateDCW failed");
    return;
  }
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  LOGFONTW logfont{};
  logfont.lfHeight = -MulDiv(10, dpi, 72);
  logfont.lfWeight = FW_NORMAL;
  std::memcpy(logfont.lfFaceName, u"Courier New", sizeof(u"Courier New"));
  HFONT font = CreateFontIndirectW(&logfont);
  std::vector<std::u16string> lines;
  for (const std::string& line : Lines()) lines.emplace_back(line.begin(), line.end());
  const int lineHeight = MulDiv(12, dpi, 72);
  const int left = dpi / 2, top = dpi / 2;
  const std::u16string output = kvplat::WinPath(g_output);

  bool measured = false;
  for (auto _ : state) {
    DOCINFOW doc{sizeof(DOCINFOW), u"text", output.c_str(), nullptr, 0};
    if (StartDocW(dc, &doc) <= 0) {
      state.SkipWithError("cannot start the job");
      break;
    }
    bool ok = true;
    for (int page = 0; ok && page < kPages; ++page) {
      ok = StartPage(dc) > 0;
      SelectObject(dc, font);
      for (int line = 0; ok && line < kLinesPerPage; ++line) {
        const std::u16string& text = lines[page * kLinesPerPage + line];
        ok = TextOutW(dc, left, top + line * lineHeight, text.data(), static_cast<int>(text.size())) != 0;
      }
      ok = ok && EndPage(dc) > 0;
    }
    if (!ok) {
      AbortDoc(dc);
      state.SkipWithError("a page failed");
      break;
    }
    EndDoc(dc);
    if (!measured) {
      std::error_code ec;
      state.counters["bytes/page"] =
          static_cast<double>(std::filesystem::file_size(g_output, ec)) / kPages;
      measured = true;
    }
  }
  state.counters["pages/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kPages, benchmark::Counter::kIsRate);
  SelectObject(dc, GetStockObject(SYSTEM_FONT));
  DeleteObject(font);
  DeleteDC(dc);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-text") == 0) return WriteText(argv[2]) ? 0 : 1;
  if (argc == 3 && std::strcmp(argv[1], "--write-ps") == 0) return WritePostScript(argv[2]) ? 0 : 1;

  const std::string pattern = kvbench::SetUpBenchPrinter("kvtext", u"FILE:");
  if (pattern.empty()) return 1;
  g_output = pattern + "/text.prn";
  struct Mode {
    const char* name;
    int value;
  };
  for (const Mode& mode : {Mode{"Text100/outline", 2}, Mode{"Text100/bitmap", 0},
                           Mode{"Text100/graphics", 1}}) {
    const int value = mode.value;
    benchmark::RegisterBenchmark(mode.name, [value](benchmark::State& s) { TextDocument(s, value); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  return kvbench::RunBenchmarks(argc, argv, pattern);
}
