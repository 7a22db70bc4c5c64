// kvprint: prints through the whole stack, as an application does: a printer
// device context (GDI), the graphics library behind it (engine, driver), the
// job it writes (spooler) and the printer's port.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kvplat/gdi.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "settings/model_tables.h"
#include "tools/common/devmode_options.h"
#include "tools/common/driver_install.h"
#include "tools/common/image_files.h"
#include "tools/kvprint/demo_document.h"
#include "tools/kvprint/picture_page.h"
#include "tools/kvprint/text_document.h"

namespace {

namespace fs = std::filesystem;
using kvplat::ToUtf16;
using kvplat::ToUtf8;

constexpr char kDefaultPrinter[] = "Kelvaro ZT-7700 PCL5e";
constexpr char kDefaultOutput[] = "kvprint-output.prn";  // for "FILE:" ports without --output

constexpr const char* kUsage =
    "usage: kvprint [--root DIR] [--printer NAME] [-o FIELD=VALUE ...] [--output FILE]\n"
    "               [--demo | PICTURE [--at X,Y] [--size W[xH]] |\n"
    "                TEXTFILE [--font NAME] [--size POINTS] [--margin MM]\n"
    "                         [--numbers header|footer|none]]\n"
    "Prints through the whole stack: GDI -> engine -> graphics library -> spooler -> port.\n"
    "  --root DIR        the root (else $KV_ROOT, else the default root)\n"
    "  --printer NAME    the printer; without it \"Kelvaro ZT-7700 PCL5e\", installed and\n"
    "                    added (port FILE:) on first use\n"
    "  -o FIELD=VALUE    a job setting: any device mode field by its own name\n"
    "                    (dmPaperSize=9, dmCopies=2, nupPages=4, reverseOrder=1, ...), or:\n"
    "                      copies=N                      dmCopies\n"
    "                      paper=A4|Letter|Legal|A5|...  dmPaperSize (a name or a code)\n"
    "                      orientation=portrait|landscape dmOrientation\n"
    "                      duplex=off|long|short         dmDuplex (1, 2, 3)\n"
    "                      nup=1|2|4|8|...               nupPages\n"
    "                      dpi=300|600                   dmPrintQuality\n"
    "                      truetype=outline|bitmap|graphics  trueTypeMode (2, 0, 1):\n"
    "                                                    how TrueType text is sent\n"
    "                    applied in order, over the printer's stored settings\n"
    "  --output FILE     write the job to FILE whatever the printer's port; a printer on\n"
    "                    FILE: without --output writes ./kvprint-output.prn\n"
    "  --demo            print the built-in demo document\n"
    "  PICTURE           a picture to print (PNG or JPEG), fitted to the printable\n"
    "                    area unless placed with:\n"
    "  --at X,Y          its top-left corner on the printable area, in millimetres\n"
    "  --size W[xH]      its size in millimetres (one side keeps the proportions)\n"
    "  TEXTFILE          a plain text file (UTF-8) to print: tabs every 8 columns,\n"
    "                    long lines wrapped at spaces, a form feed starts a page\n"
    "  --font NAME       its face (default \"Courier New\"; any installed face)\n"
    "  --size POINTS     its size (default 10)\n"
    "  --margin MM       the margin from each edge of the paper (default 15)\n"
    "  --numbers WHERE   page numbers: header (\"name — page N of M\", the default),\n"
    "                    footer (\"Page N\") or none\n"
    "The job reaches the port whole or not at all. Exit status: 0 printed, 1 failed,\n"
    "2 usage error.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "kvprint: %s\n", message.c_str());
  return 1;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kvprint: %s\n%s", message.c_str(), kUsage);
  return 2;
}

std::string JobErrorText(DWORD code) {
  switch (code) {
    case ERROR_WRITE_FAULT: return "a write to the spool file failed";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "the disk is full";
    case ERROR_PRINT_CANCELLED: return "the graphics library cancelled the job";
    case ERROR_BAD_NETPATH: return "the printer's host cannot be reached";
    case ERROR_CONNECTION_REFUSED: return "the printer refused the connection";
    case ERROR_TIMEOUT: return "the printer did not answer in time";
    case ERROR_UNKNOWN_PORT: return "the printer's port is not one this system knows";
    case ERROR_SPL_NO_STARTDOC: return "no job is running";
    default: return kvtools::ErrorText(code);
  }
}

// ---- options ------------------------------------------------------------------

struct Options {
  std::string root;
  std::string printer;
  std::vector<std::string> settings;
  std::string output;
  bool demo = false;
  std::string file;
  bool text = false;  // the file is a text file (not a picture)
  kvprint::ImagePlacement placement;
  kvprint::TextOptions textOptions;
};
using kvprint::ImagePlacement;

// Takes the value of "--name VALUE" or "--name=VALUE" at args[*i].
bool TakeValue(const std::vector<std::string>& args, std::size_t* i, std::string_view name,
               std::string* value, bool* matched) {
  const std::string& arg = args[*i];
  *matched = false;
  if (arg == name) {
    *matched = true;
    if (*i + 1 >= args.size()) return false;
    *value = args[++*i];
    return true;
  }
  if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=') {
    *matched = true;
    *value = arg.substr(name.size() + 1);
    return true;
  }
  return false;
}

constexpr std::pair<const char*, kvprint::PageNumbers> kNumberPlaces[] = {
    {"header", kvprint::PageNumbers::Header},
    {"footer", kvprint::PageNumbers::Footer},
    {"none", kvprint::PageNumbers::None},
};

// A number within [low, high].
bool ParseNumber(const std::string& text, double low, double high, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !std::isfinite(parsed) || parsed < low || parsed > high) {
    return false;
  }
  *value = parsed;
  return true;
}

bool HasPictureName(const std::string& path) {
  std::string extension = fs::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".png" || extension == ".jpg" || extension == ".jpeg";
}

// Parses the command line; an empty string on success, else the usage error.
std::string ParseOptions(const std::vector<std::string>& args, Options* options) {
  bool sawDocument = false;
  std::string atText, sizeText;  // read once the document's kind is known
  std::string textOnly;          // an option only a text file takes
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    bool matched = false;
    for (auto [name, target] : {std::pair{"--root", &options->root},
                                std::pair{"--printer", &options->printer},
                                std::pair{"--output", &options->output}}) {
      if (TakeValue(args, &i, name, &value, &matched)) {
        if (value.empty()) return std::string(name) + " needs a value";
        *target = value;
        break;
      }
      if (matched) return std::string(name) + " needs a value";
    }
    if (matched) continue;
    if (arg == "-o") {
      if (i + 1 >= args.size()) return "-o needs FIELD=VALUE";
      options->settings.push_back(args[++i]);
    } else if (arg.size() > 2 && arg.compare(0, 2, "-o") == 0) {
      options->settings.push_back(arg.substr(2));
    } else if (arg == "--at" || arg == "--size" || arg == "--font" || arg == "--margin" ||
               arg == "--numbers") {
      if (i + 1 >= args.size()) return arg + " needs a value";
      const std::string& text = args[++i];
      if (arg == "--at") {
        atText = text;
      } else if (arg == "--size") {
        sizeText = text;
      } else if (arg == "--font") {
        if (text.empty() || text.size() >= 32) return "--font takes a face name (up to 31 characters)";
        options->textOptions.face = ToUtf16(text);
        textOnly = arg;
      } else if (arg == "--margin") {
        if (!ParseNumber(text, 0, 100, &options->textOptions.marginMm)) {
          return "--margin takes millimetres (0 to 100)";
        }
        textOnly = arg;
      } else {
        const kvprint::PageNumbers* where = nullptr;
        for (const auto& [word, value] : kNumberPlaces) {
          if (text == word) where = &value;
        }
        if (where == nullptr) return "--numbers takes header, footer or none";
        options->textOptions.numbers = *where;
        textOnly = arg;
      }
    } else if (arg == "--demo") {
      if (sawDocument) return "give one document: --demo or a FILE";
      options->demo = true;
      sawDocument = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option \"" + arg + "\"";
    } else {
      if (sawDocument) return "give one document: --demo or a FILE";
      options->file = arg;
      sawDocument = true;
    }
  }
  if (!sawDocument) return "nothing to print: give --demo or a FILE";
  // A file is a picture by its contents, or (when it cannot be read yet) by
  // its name; anything else is printed as text.
  options->text = !options->demo && !kvtools::IsImageFile(options->file) &&
                  !HasPictureName(options->file);
  if (options->text) {
    if (!atText.empty()) return "--at places pictures, not text";
    if (!sizeText.empty() && !ParseNumber(sizeText, 1, 500, &options->textOptions.points)) {
      return "--size takes a point size (1 to 500) for text";
    }
    return {};
  }
  if (!textOnly.empty()) return textOnly + " is for text files";
  if (!atText.empty() && !kvprint::ParsePosition(atText, &options->placement)) {
    return "--at takes X,Y in millimetres";
  }
  if (!sizeText.empty() && !kvprint::ParseSize(sizeText, &options->placement)) {
    return "--size takes W or WxH in millimetres";
  }
  return {};
}

// ---- job settings ---------------------------------------------------------------

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The short name of a paper of the model table: its name up to " (", without
// spaces ("A4", "Letter", "HalfLetter", "COM10").
std::string PaperShortName(const kvset::PaperInfo& paper) {
  std::string name = ToUtf8(paper.name);
  name = name.substr(0, name.find(" ("));
  std::string compact;
  for (char c : name) {
    if (c != ' ') compact += c;
  }
  return compact;
}

struct Choice {
  const char* word;
  const char* value;
};
constexpr Choice kOrientations[] = {{"portrait", "1"}, {"landscape", "2"}};
constexpr Choice kTrueTypeModes[] = {{"outline", "2"}, {"bitmap", "0"}, {"graphics", "1"}};
constexpr Choice kDuplexModes[] = {{"off", "1"},  {"none", "1"},    {"simplex", "1"},
                                   {"on", "2"},   {"long", "2"},    {"long-edge", "2"},
                                   {"short", "3"}, {"short-edge", "3"}};

// The friendly aliases: each names one device mode field. Fields by their own
// names come first, so an alias never hides a field.
struct Alias {
  const char* name;
  const char* field;
  std::span<const Choice> choices;  // empty: the value goes through as it is
};
const Alias kAliases[] = {
    {"copies", "dmCopies", {}},
    {"paper", "dmPaperSize", {}},  // names from the model's paper table
    {"orientation", "dmOrientation", kOrientations},
    {"duplex", "dmDuplex", kDuplexModes},
    {"nup", "nupPages", {}},
    {"dpi", "dmPrintQuality", {}},
    {"truetype", "trueTypeMode", kTrueTypeModes},
};

std::string ChoiceList(std::span<const Choice> choices) {
  std::string list;
  for (const Choice& c : choices) list += (list.empty() ? "" : ", ") + std::string(c.word);
  return list;
}

// Rewrites an alias setting as FIELD=VALUE; other settings are left alone.
bool ExpandAlias(const std::string& setting, std::string* expanded, std::string* error) {
  *expanded = setting;
  const std::size_t equals = setting.find('=');
  if (equals == std::string::npos) return true;
  const std::string name = setting.substr(0, equals);
  const std::string value = setting.substr(equals + 1);
  for (const Alias& alias : kAliases) {
    if (!EqualNoCase(name, alias.name)) continue;
    std::string fieldValue = value;
    if (!alias.choices.empty()) {
      fieldValue.clear();
      for (const Choice& c : alias.choices) {
        if (EqualNoCase(value, c.word)) fieldValue = c.value;
      }
      if (fieldValue.empty()) {
        *error = "\"" + value + "\" is not a " + alias.name + " (" + ChoiceList(alias.choices) + ")";
        return false;
      }
    } else if (std::string_view(alias.name) == "paper" && !value.empty() &&
               (value[0] < '0' || value[0] > '9')) {
      std::string known;
      fieldValue.clear();
      for (const kvset::PaperInfo& paper : kvset::kPapers) {
        if (EqualNoCase(value, PaperShortName(paper))) fieldValue = std::to_string(paper.code);
        known += (known.empty() ? "" : ", ") + PaperShortName(paper);
      }
      if (fieldValue.empty()) {
        *error = "\"" + value + "\" is not a paper of this printer (" + known + ", or a code)";
        return false;
      }
    }
    *expanded = std::string(alias.field) + "=" + fieldValue;
    return true;
  }
  return true;
}

// ---- the printer ------------------------------------------------------------------

struct PrinterInfo {
  std::u16string port;
  std::vector<BYTE> devmode;  // the stored record, empty when none
  const kvtools::DriverPackage* package = nullptr;
};

bool ReadPrinter(const std::string& name, PrinterInfo* info, std::string* error) {
  std::u16string wide = ToUtf16(name);
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_USE};
  if (!OpenPrinterW(wide.data(), &printer, &defaults)) {
    *error = "cannot open printer \"" + name + "\": " + kvtools::ErrorText(GetLastError());
    return false;
  }
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  const bool read = needed != 0 && GetPrinterW(printer, 2, buffer.data(), needed, &needed);
  ClosePrinter(printer);
  if (!read) {
    *error = "cannot read printer \"" + name + "\": " + kvtools::ErrorText(GetLastError());
    return false;
  }
  const auto* printerInfo = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  info->port = printerInfo->pPortName != nullptr ? printerInfo->pPortName : u"";
  info->package = kvtools::FindPackageByDriverName(printerInfo->pDriverName);
  if (info->package == nullptr) {
    *error = "printer \"" + name + "\" uses an unknown driver \"" +
             ToUtf8(printerInfo->pDriverName) + "\"";
    return false;
  }
  if (const DEVMODEW* stored = printerInfo->pDevMode) {
    const auto* bytes = reinterpret_cast<const BYTE*>(stored);
    info->devmode.assign(bytes, bytes + stored->dmSize + stored->dmDriverExtra);
  }
  return true;
}

bool PrinterExists(const std::string& name) {
  std::u16string wide = ToUtf16(name);
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_USE};
  if (!OpenPrinterW(wide.data(), &printer, &defaults)) return false;
  ClosePrinter(printer);
  return true;
}

// The default printer, installed with its drivers on first use.
bool EnsureDefaultPrinter(std::string* error) {
  // The root's driver files follow the build: a rebuilt library replaces the
  // installed one (installing is a no-op when nothing changed).
  std::vector<std::string> installed, skipped;
  const std::string built = kvtools::BuiltDriverDir();
  if (!kvtools::InstallDrivers(built, &installed, &skipped, error)) return false;
  if (PrinterExists(kDefaultPrinter)) return true;
  const kvtools::DriverPackage* package = kvtools::FindPackage("pcl5e");
  if (package == nullptr || std::find(installed.begin(), installed.end(), "pcl5e") == installed.end()) {
    *error = "the PCL 5e driver is not built (looked in " + built + ")";
    return false;
  }
  if (!kvtools::AddPrinter(ToUtf16(kDefaultPrinter), *package, u"FILE:", error)) {
    *error = "cannot add the default printer: " + *error;
    return false;
  }
  std::fprintf(stderr, "kvprint: added printer \"%s\" (port FILE:)\n", kDefaultPrinter);
  return true;
}

bool IsFileOnlyPort(std::u16string_view port) {
  return EqualNoCase(ToUtf8(port), "FILE:");
}

// ---- the document -------------------------------------------------------------------

// The whole file; false with the system's reason in `why`.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) {
    *why = std::strerror(errno);
    return false;
  }
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) bytes->append(buffer, n);
  if (std::ferror(file.get()) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  return true;
}

// A face the machine does not have is printed in fontconfig's default face:
// say so, as the page will not look as asked.
void WarnOfStandInFace(HDC dc, HFONT font, std::u16string_view asked) {
  WCHAR face[LF_FACESIZE] = {};
  const HGDIOBJ old = SelectObject(dc, font);
  const int length = GetTextFaceW(dc, LF_FACESIZE, face);
  SelectObject(dc, old);
  if (length <= 0) return;
  const std::u16string_view got(face, static_cast<std::size_t>(length));
  const auto lower = [](char16_t c) { return c < 128 ? static_cast<char16_t>(std::tolower(c)) : c; };
  if (std::equal(got.begin(), got.end(), asked.begin(), asked.end(),
                 [&](char16_t a, char16_t b) { return lower(a) == lower(b); })) {
    return;
  }
  std::fprintf(stderr, "kvprint: no font \"%s\" here: the text is printed in \"%s\"\n",
               ToUtf8(asked).c_str(), ToUtf8(got).c_str());
}

// Why a path cannot be printed as a file.
std::string NotAFileReason(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return "no such file";
  if (status.type() == fs::file_type::directory) return "it is a folder";
  if (ec) return ec.message();
  return "it is not a regular file";
}

// Progress on a terminal: "page 3 of 5" rewritten in place.
class Progress {
 public:
  explicit Progress(int total) : total_(total), shown_(isatty(STDERR_FILENO) == 1) {}
  ~Progress() { Clear(); }
  void Page(int page) {
    if (!shown_) return;
    std::fprintf(stderr, "\rkvprint: page %d of %d", page, total_);
    std::fflush(stderr);
  }
  void Clear() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
  }

 private:
  int total_;
  bool shown_;
};

// A printer device context, deleted at the end of its scope.
struct PrinterDc {
  HDC dc = nullptr;
  ~PrinterDc() {
    if (dc != nullptr) DeleteDC(dc);
  }
};

// One page of a document: drawn by `draw`, false when a drawing call failed.
struct DocumentPage {
  std::function<bool(HDC, const kvprint::PageArea&)> draw;
};

// Prints the pages as one job: delivered whole, or abandoned with a message.
int PrintDocument(HDC dc, const std::u16string& name, const std::vector<DocumentPage>& pages,
                  const std::u16string& output, const std::string& destination) {
  DOCINFOW doc{sizeof(DOCINFOW), name.c_str(), output.empty() ? nullptr : output.c_str(), nullptr, 0};
  if (StartDocW(dc, &doc) <= 0) {
    return Fail("cannot start the job: " + JobErrorText(GetLastError()));
  }
  const kvprint::PageArea area{GetDeviceCaps(dc, HORZRES), GetDeviceCaps(dc, VERTRES),
                               GetDeviceCaps(dc, LOGPIXELSX)};
  const int count = static_cast<int>(pages.size());
  Progress progress(count);
  for (int i = 0; i < count; ++i) {
    progress.Page(i + 1);
    const bool started = StartPage(dc) > 0;
    // Every page starts from the device context's defaults, whatever the
    // page before it left selected (a background mode, a font, a clip).
    const int saved = started ? SaveDC(dc) : 0;
    const bool drawn = started && saved > 0 && pages[i].draw(dc, area);
    const DWORD drawError = GetLastError();
    if (saved > 0) RestoreDC(dc, saved);
    if (!drawn || EndPage(dc) <= 0) {
      const DWORD error = drawn ? GetLastError() : drawError;
      progress.Clear();
      AbortDoc(dc);
      return Fail("page " + std::to_string(i + 1) + " failed, nothing was printed: " +
                  JobErrorText(error));
    }
  }
  progress.Clear();
  if (EndDoc(dc) <= 0) {
    return Fail("the job was not delivered: " + JobErrorText(GetLastError()));
  }
  std::printf("printed %d page%s of \"%s\" to %s\n", count, count == 1 ? "" : "s",
              ToUtf8(name).c_str(), destination.c_str());
  return 0;
}

std::vector<DocumentPage> DemoDocument() {
  std::vector<DocumentPage> pages;
  for (const kvprint::DemoPage& page : kvprint::DemoPages()) pages.push_back({page.draw});
  return pages;
}

int Run(const Options& options) {
  std::string error;
  if (!kvplat::EnsureRoot(&error)) return Fail(error);

  std::string printerName = options.printer;
  if (printerName.empty()) {
    printerName = kDefaultPrinter;
    if (!EnsureDefaultPrinter(&error)) return Fail(error);
  }
  PrinterInfo printer;
  if (!ReadPrinter(printerName, &printer, &error)) return Fail(error);

  // The job's settings: the printer's stored record, then each -o in order.
  std::vector<BYTE> devmode = printer.devmode;
  const std::vector<BYTE> defaults = kvtools::DefaultDevmode(printer.package->kind, ToUtf16(printerName));
  if (devmode.size() != defaults.size()) devmode = defaults;
  for (const std::string& setting : options.settings) {
    std::string field;
    if (!ExpandAlias(setting, &field, &error) ||
        !kvtools::ApplyDevmodeOption(devmode, printer.package->kind, field, &error)) {
      std::fprintf(stderr, "kvprint: -o %s: %s\n", setting.c_str(), error.c_str());
      return 2;
    }
  }

  // Where the job goes.
  std::string outputHost = options.output;
  if (outputHost.empty() && IsFileOnlyPort(printer.port)) outputHost = kDefaultOutput;
  std::u16string output;
  std::string destination = ToUtf8(printer.port);
  if (!outputHost.empty()) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(outputHost, ec);
    if (ec) return Fail("cannot use the output \"" + outputHost + "\": " + ec.message());
    if (fs::is_directory(absolute, ec)) return Fail("the output \"" + outputHost + "\" is a folder");
    output = kvplat::WinPath(absolute.string());
    destination = outputHost;
  }

  // The document: the demo, a picture file or a text file (laid out once the
  // printer's DC can measure it).
  std::vector<DocumentPage> pages;
  std::u16string name = kvprint::kDemoName;
  auto picture = std::make_shared<kvtools::DecodedImage>();
  std::string text;
  if (options.demo) {
    pages = DemoDocument();
  } else {
    std::error_code ec;
    if (!fs::is_regular_file(options.file, ec)) {
      return Fail("cannot read \"" + options.file + "\": " + NotAFileReason(options.file));
    }
    name = ToUtf16(fs::path(options.file).filename().string());
    if (options.text) {
      std::string why;
      if (!ReadWholeFile(options.file, &text, &why)) {
        return Fail("cannot read \"" + options.file + "\": " + why);
      }
      // Text has no NUL bytes: such a file is some other kind of document.
      if (text.find('\0') != std::string::npos) {
        return Fail("cannot print \"" + options.file +
                    "\": it is not a text file (UTF-8) or a picture (PNG, JPEG)");
      }
    } else {
      if (!kvtools::LoadImageFile(options.file, picture.get(), &error)) return Fail(error);
      const ImagePlacement placement = options.placement;
      pages.push_back({[picture, placement](HDC dc, const kvprint::PageArea& area) {
        return kvprint::DrawPicture(dc, area, *picture, placement);
      }});
    }
  }

  PrinterDc dc;
  dc.dc = CreateDCW(u"WINSPOOL", ToUtf16(printerName).c_str(), nullptr,
                    reinterpret_cast<const DEVMODEW*>(devmode.data()));
  if (dc.dc == nullptr) {
    const DWORD code = GetLastError();
    const std::string detail = kvplat::gdi::LastFailureText();
    return Fail("cannot open printer \"" + printerName + "\": " +
                (detail.empty() ? kvtools::ErrorText(code) : detail));
  }
  if (options.text) {
    auto document = std::make_shared<kvprint::TextDocument>();
    kvprint::TextOptions textOptions = options.textOptions;
    textOptions.name = name;
    if (!kvprint::PrepareTextDocument(dc.dc, text, textOptions, document.get(), &error)) {
      return Fail("cannot lay out \"" + options.file + "\": " + error);
    }
    std::string().swap(text);  // the bytes are not needed while printing
    WarnOfStandInFace(dc.dc, document->font.font, textOptions.face);
    for (int i = 0; i < static_cast<int>(document->layout.pages.size()); ++i) {
      pages.push_back({[document, i](HDC pageDc, const kvprint::PageArea&) {
        return kvprint::DrawTextDocumentPage(pageDc, *document, i);
      }});
    }
  }
  return PrintDocument(dc.dc, name, pages, output, destination);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  Options options;
  const std::string usage = ParseOptions(args, &options);
  if (!usage.empty()) return UsageError(usage);
  if (!options.root.empty()) kvplat::SetRoot(options.root);
  return Run(options);
}
