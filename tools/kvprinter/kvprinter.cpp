// kvprinter: installs the drivers into a root, manages printers and their
// data, and shows what a printer's graphics library reports to the engine.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kvplat/engine.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "kvplat/spooler.h"
#include "tools/common/devmode_options.h"
#include "tools/common/driver_install.h"

namespace {

using kvplat::ToUtf16;
using kvplat::ToUtf8;

constexpr const char* kUsage =
    "usage: kvprinter [--root DIR] COMMAND ...\n"
    "commands:\n"
    "  install                                   install the built drivers into the root\n"
    "  add NAME --driver pcl5e|pclxl [--port PORT]\n"
    "                                            add a printer (port: a file path, FILE:,\n"
    "                                            socket://host:port; default FILE:)\n"
    "  remove NAME                               remove a printer\n"
    "  list                                      list the printers\n"
    "  info NAME [-o FIELD=VALUE ...]            enable the printer's graphics library and\n"
    "                                            print what it reports to the engine\n"
    "  data NAME get VALUE                       print a printer data value\n"
    "  data NAME set VALUE TYPE DATA             set a printer data value\n"
    "                                            (TYPE: REG_SZ, REG_DWORD, REG_BINARY as hex)\n"
    "The root is --root, else $KV_ROOT, else the default root in the user's data folder.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "kvprinter: %s\n", message.c_str());
  return 1;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kvprinter: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// An open printer handle, closed on scope exit.
struct OpenedPrinter {
  HANDLE handle = nullptr;
  ~OpenedPrinter() {
    if (handle) ClosePrinter(handle);
  }
};

bool Open(const std::string& name, ACCESS_MASK access, OpenedPrinter* printer, std::string* error) {
  std::u16string wide = ToUtf16(name);
  PRINTER_DEFAULTSW defaults{nullptr, nullptr, access};
  if (!OpenPrinterW(wide.data(), &printer->handle, &defaults)) {
    printer->handle = nullptr;
    *error = "cannot open printer \"" + name + "\": " + kvtools::ErrorText(GetLastError());
    return false;
  }
  return true;
}

// PRINTER_INFO_2 in a buffer of its own.
std::vector<BYTE> PrinterInfo2(HANDLE printer) {
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  if (needed == 0 || !GetPrinterW(printer, 2, buffer.data(), needed, &needed)) return {};
  return buffer;
}

int CommandInstall() {
  std::vector<std::string> installed, skipped;
  std::string error;
  const std::string built = kvtools::BuiltDriverDir();
  if (!kvtools::InstallDrivers(built, &installed, &skipped, &error)) return Fail(error);
  for (const std::string& name : installed) std::printf("installed driver %s\n", name.c_str());
  for (const std::string& name : skipped) {
    std::printf("driver %s is not built yet (looked in %s)\n", name.c_str(), built.c_str());
  }
  if (installed.empty()) return Fail("no driver files found in " + built);
  return 0;
}

int CommandAdd(const std::vector<std::string>& args) {
  std::string name, driver, port;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--driver" && i + 1 < args.size()) {
      driver = args[++i];
    } else if (args[i] == "--port" && i + 1 < args.size()) {
      port = args[++i];
    } else if (name.empty() && args[i].rfind("--", 0) != 0) {
      name = args[i];
    } else {
      return UsageError("add: unexpected argument \"" + args[i] + "\"");
    }
  }
  if (name.empty() || driver.empty()) return UsageError("add: NAME and --driver are required");
  const kvtools::DriverPackage* package = kvtools::FindPackage(driver);
  if (package == nullptr) return UsageError("add: unknown driver \"" + driver + "\" (pcl5e or pclxl)");
  std::string error;
  if (!kvtools::AddPrinter(ToUtf16(name), *package, ToUtf16(port), &error)) {
    return Fail("cannot add printer \"" + name + "\": " + error);
  }
  std::printf("added printer %s (%s)\n", name.c_str(), driver.c_str());
  return 0;
}

int CommandRemove(const std::vector<std::string>& args) {
  if (args.size() != 1) return UsageError("remove: NAME expected");
  OpenedPrinter printer;
  std::string error;
  if (!Open(args[0], PRINTER_ALL_ACCESS, &printer, &error)) return Fail(error);
  if (!DeletePrinter(printer.handle)) {
    return Fail("cannot remove \"" + args[0] + "\": " + kvtools::ErrorText(GetLastError()));
  }
  std::printf("removed printer %s\n", args[0].c_str());
  return 0;
}

int CommandList() {
  DWORD needed = 0, returned = 0;
  EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned);
  std::vector<BYTE> buffer(needed);
  if (needed != 0 &&
      !EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), needed, &needed, &returned)) {
    return Fail("cannot list printers: " + kvtools::ErrorText(GetLastError()));
  }
  const auto* infos = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i) {
    std::printf("%s\t%s\t%s\n", ToUtf8(infos[i].pPrinterName).c_str(),
                ToUtf8(infos[i].pDriverName).c_str(), ToUtf8(infos[i].pPortName).c_str());
  }
  return 0;
}

void PrintLogFont(const char* member, const LOGFONTW& font) {
  std::printf("%s: height=%d width=%d escapement=%d orientation=%d weight=%d italic=%u "
              "underline=%u strikeout=%u charset=%u pitchAndFamily=0x%02X face=\"%s\"\n",
              member, font.lfHeight, font.lfWidth, font.lfEscapement, font.lfOrientation,
              font.lfWeight, font.lfItalic, font.lfUnderline, font.lfStrikeOut, font.lfCharSet,
              font.lfPitchAndFamily, ToUtf8(font.lfFaceName).c_str());
}

void PrintChroma(const char* member, const CIECHROMA& chroma) {
  std::printf("ciDevice.%s: %d,%d,%d\n", member, chroma.x, chroma.y, chroma.Y);
}

void PrintDeviceReport(const GDIINFO& g, const DEVINFO& d) {
  std::printf("ulVersion: 0x%X\n", g.ulVersion);
  std::printf("ulTechnology: %u\n", g.ulTechnology);
  std::printf("ulHorzSize: %u\n", g.ulHorzSize);
  std::printf("ulVertSize: %u\n", g.ulVertSize);
  std::printf("ulHorzRes: %u\n", g.ulHorzRes);
  std::printf("ulVertRes: %u\n", g.ulVertRes);
  std::printf("cBitsPixel: %u\n", g.cBitsPixel);
  std::printf("cPlanes: %u\n", g.cPlanes);
  std::printf("ulNumColors: %u\n", g.ulNumColors);
  std::printf("flRaster: 0x%X\n", g.flRaster);
  std::printf("ulLogPixelsX: %u\n", g.ulLogPixelsX);
  std::printf("ulLogPixelsY: %u\n", g.ulLogPixelsY);
  std::printf("flTextCaps: 0x%X\n", g.flTextCaps);
  std::printf("ulDACRed: %u\n", g.ulDACRed);
  std::printf("ulDACGreen: %u\n", g.ulDACGreen);
  std::printf("ulDACBlue: %u\n", g.ulDACBlue);
  std::printf("ulAspectX: %u\n", g.ulAspectX);
  std::printf("ulAspectY: %u\n", g.ulAspectY);
  std::printf("ulAspectXY: %u\n", g.ulAspectXY);
  std::printf("xStyleStep: %d\n", g.xStyleStep);
  std::printf("yStyleStep: %d\n", g.yStyleStep);
  std::printf("denStyleStep: %d\n", g.denStyleStep);
  std::printf("ptlPhysOffset: %d,%d\n", g.ptlPhysOffset.x, g.ptlPhysOffset.y);
  std::printf("szlPhysSize: %d,%d\n", g.szlPhysSize.cx, g.szlPhysSize.cy);
  std::printf("ulNumPalReg: %u\n", g.ulNumPalReg);
  const COLORINFO& c = g.ciDevice;
  PrintChroma("Red", c.Red);
  PrintChroma("Green", c.Green);
  PrintChroma("Blue", c.Blue);
  PrintChroma("Cyan", c.Cyan);
  PrintChroma("Magenta", c.Magenta);
  PrintChroma("Yellow", c.Yellow);
  PrintChroma("AlignmentWhite", c.AlignmentWhite);
  std::printf("ciDevice.Gamma: %d,%d,%d\n", c.RedGamma, c.GreenGamma, c.BlueGamma);
  std::printf("ciDevice.Dyes: %d,%d,%d,%d,%d,%d\n", c.MagentaInCyanDye, c.YellowInCyanDye,
              c.CyanInMagentaDye, c.YellowInMagentaDye, c.CyanInYellowDye, c.MagentaInYellowDye);
  std::printf("ulDevicePelsDPI: %u\n", g.ulDevicePelsDPI);
  std::printf("ulPrimaryOrder: %u\n", g.ulPrimaryOrder);
  std::printf("ulHTPatternSize: %u\n", g.ulHTPatternSize);
  std::printf("ulHTOutputFormat: %u\n", g.ulHTOutputFormat);
  std::printf("flHTFlags: 0x%X\n", g.flHTFlags);
  std::printf("flGraphicsCaps: 0x%X\n", d.flGraphicsCaps);
  PrintLogFont("lfDefaultFont", d.lfDefaultFont);
  PrintLogFont("lfAnsiVarFont", d.lfAnsiVarFont);
  PrintLogFont("lfAnsiFixFont", d.lfAnsiFixFont);
  std::printf("cFonts: %u\n", d.cFonts);
  std::printf("iDitherFormat: %u\n", d.iDitherFormat);
  std::printf("cxDither: %u\n", d.cxDither);
  std::printf("cyDither: %u\n", d.cyDither);
  std::printf("hpalDefault: %s\n", d.hpalDefault ? "PAL_RGB palette" : "none");
}

int CommandInfo(const std::vector<std::string>& args) {
  std::string name;
  std::vector<std::string> options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" && i + 1 < args.size()) {
      options.push_back(args[++i]);
    } else if (args[i].rfind("-o", 0) == 0 && args[i].size() > 2) {
      options.push_back(args[i].substr(2));
    } else if (name.empty()) {
      name = args[i];
    } else {
      return UsageError("info: unexpected argument \"" + args[i] + "\"");
    }
  }
  if (name.empty()) return UsageError("info: NAME expected");
  OpenedPrinter printer;
  std::string error;
  if (!Open(name, PRINTER_ACCESS_USE, &printer, &error)) return Fail(error);
  std::vector<BYTE> info = PrinterInfo2(printer.handle);
  if (info.empty()) return Fail("cannot read printer \"" + name + "\"");
  const auto* printerInfo = reinterpret_cast<const PRINTER_INFO_2W*>(info.data());
  const kvtools::DriverPackage* package = kvtools::FindPackageByDriverName(printerInfo->pDriverName);
  if (package == nullptr) {
    return Fail("printer \"" + name + "\" uses an unknown driver \"" +
                ToUtf8(printerInfo->pDriverName) + "\"");
  }
  std::vector<BYTE> devmode;
  if (const DEVMODEW* stored = printerInfo->pDevMode) {
    const auto* bytes = reinterpret_cast<const BYTE*>(stored);
    devmode.assign(bytes, bytes + stored->dmSize + stored->dmDriverExtra);
  }
  const std::vector<BYTE> defaults = kvtools::DefaultDevmode(package->kind, ToUtf16(name));
  if (devmode.size() != defaults.size()) devmode = defaults;
  for (const std::string& option : options) {
    if (!kvtools::ApplyDevmodeOption(devmode, package->kind, option, &error)) {
      return UsageError("info: " + error);
    }
  }
  kvplat::engine::GraphicsDriver* driver = kvplat::engine::LoadGraphicsDriver(printer.handle, &error);
  if (driver == nullptr) return Fail(error);
  kvplat::engine::Device* device = kvplat::engine::EnableDevice(
      driver, printer.handle, reinterpret_cast<DEVMODEW*>(devmode.data()), ToUtf16(name),
      printerInfo->pPortName ? printerInfo->pPortName : u"", &error);
  if (device == nullptr) {
    kvplat::engine::UnloadGraphicsDriver(driver);
    return Fail("cannot enable the graphics library: " + error);
  }
  PrintDeviceReport(device->gdiInfo, device->devInfo);
  kvplat::engine::DisableDevice(device);
  kvplat::engine::UnloadGraphicsDriver(driver);
  return 0;
}

bool ParseHex(std::string_view text, std::vector<BYTE>* bytes) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') continue;
    if (nibble(c) < 0) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes->push_back(static_cast<BYTE>(nibble(digits[i]) * 16 + nibble(digits[i + 1])));
  }
  return true;
}

int CommandData(const std::vector<std::string>& args) {
  if (args.size() < 3) return UsageError("data: NAME get VALUE | NAME set VALUE TYPE DATA");
  const std::string& name = args[0];
  const std::string& verb = args[1];
  std::u16string value = ToUtf16(args[2]);
  OpenedPrinter printer;
  std::string error;
  if (verb == "get" && args.size() == 3) {
    if (!Open(name, PRINTER_ACCESS_USE, &printer, &error)) return Fail(error);
    DWORD type = 0, needed = 0;
    DWORD rc = GetPrinterDataW(printer.handle, value.data(), &type, nullptr, 0, &needed);
    std::vector<BYTE> data(needed);
    if (rc == ERROR_MORE_DATA || rc == ERROR_SUCCESS) {
      rc = GetPrinterDataW(printer.handle, value.data(), &type, data.data(), needed, &needed);
    }
    if (rc != ERROR_SUCCESS) {
      return Fail("cannot read \"" + args[2] + "\" of \"" + name + "\": " + kvtools::ErrorText(rc));
    }
    if (type == REG_DWORD && data.size() >= 4) {
      std::uint32_t number;
      std::memcpy(&number, data.data(), 4);
      std::printf("REG_DWORD %u\n", number);
    } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
      std::u16string text(data.size() / 2, u'\0');
      std::memcpy(text.data(), data.data(), text.size() * 2);
      while (!text.empty() && text.back() == u'\0') text.pop_back();
      std::printf("REG_SZ %s\n", ToUtf8(text).c_str());
    } else {
      std::printf("REG_BINARY");
      for (BYTE b : data) std::printf(" %02X", b);
      std::printf("\n");
    }
    return 0;
  }
  if (verb == "set" && args.size() == 5) {
    const std::string& typeName = args[3];
    const std::string& text = args[4];
    DWORD type = 0;
    std::vector<BYTE> data;
    if (typeName == "REG_DWORD" || typeName == "dword") {
      type = REG_DWORD;
      char* end = nullptr;
      const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
      if (text.empty() || *end != '\0' || number > 0xFFFFFFFFull) {
        return UsageError("data: \"" + text + "\" is not a 32-bit number");
      }
      const auto value32 = static_cast<std::uint32_t>(number);
      data.resize(4);
      std::memcpy(data.data(), &value32, 4);
    } else if (typeName == "REG_SZ" || typeName == "sz") {
      type = REG_SZ;
      std::u16string wide = ToUtf16(text);
      data.resize((wide.size() + 1) * 2);
      std::memcpy(data.data(), wide.c_str(), data.size());
    } else if (typeName == "REG_BINARY" || typeName == "binary") {
      type = REG_BINARY;
      if (!ParseHex(text, &data)) return UsageError("data: \"" + text + "\" is not hex bytes");
    } else {
      return UsageError("data: unknown type \"" + typeName + "\" (REG_SZ, REG_DWORD, REG_BINARY)");
    }
    if (!Open(name, PRINTER_ALL_ACCESS, &printer, &error)) return Fail(error);
    const DWORD rc = SetPrinterDataW(printer.handle, value.data(), type, data.data(),
                                     static_cast<DWORD>(data.size()));
    if (rc != ERROR_SUCCESS) {
      return Fail("cannot write \"" + args[2] + "\" of \"" + name + "\": " + kvtools::ErrorText(rc));
    }
    return 0;
  }
  return UsageError("data: NAME get VALUE | NAME set VALUE TYPE DATA");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string root;
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.size() >= 2 && args[0] == "--root") {
    root = args[1];
    args.erase(args.begin(), args.begin() + 2);
  } else if (!args.empty() && args[0].rfind("--root=", 0) == 0) {
    root = args[0].substr(7);
    args.erase(args.begin());
  }
  if (args.empty()) return UsageError("no command given");
  if (!root.empty()) kvplat::SetRoot(root);
  std::string error;
  if (!kvplat::EnsureRoot(&error)) return Fail(error);
  const std::string command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "install" && rest.empty()) return CommandInstall();
  if (command == "add") return CommandAdd(rest);
  if (command == "remove") return CommandRemove(rest);
  if (command == "list" && rest.empty()) return CommandList();
  if (command == "info") return CommandInfo(rest);
  if (command == "data") return CommandData(rest);
  return UsageError("unknown command \"" + command + "\"");
}
