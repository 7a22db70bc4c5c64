// Printers of the spooler: opening with access rights, printer information,
// adding and deleting printers, printer data, drivers and the driver directory.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "kvplat/fault.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "spool_internal.h"

namespace fs = std::filesystem;
using namespace kvplat::spool::detail;

namespace {

constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;
constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;

constexpr DWORD kMaxValueName = 16383;
constexpr DWORD kLastRegType = 11;  // REG_QWORD
constexpr char kValueMagic[4] = {'K', 'V', 'P', 'D'};
constexpr std::size_t kValueHeader = 12;  // magic, type, name length in UTF-16 units

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

DWORD FailCode(DWORD error) {
  SetLastError(error);
  return error;
}

bool LocalServer(const WCHAR* server) { return server == nullptr || server[0] == 0; }

bool KnownEnvironment(const WCHAR* environment) {
  return environment == nullptr || environment[0] == 0 ||
         EqualNoCase(FromWide(environment), kEnvironment);
}

bool HasAdminister(const PrinterHandle& h) { return (h.granted & PRINTER_ACCESS_ADMINISTER) != 0; }

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void AppendLe32(std::vector<std::uint8_t>* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// ---- printer information ----------------------------------------------------

std::size_t PrinterInfoSize(DWORD level) {
  switch (level) {
    case 1: return sizeof(PRINTER_INFO_1W);
    case 2: return sizeof(PRINTER_INFO_2W);
    case 4: return sizeof(PRINTER_INFO_4W);
    case 5: return sizeof(PRINTER_INFO_5W);
    default: return 0;
  }
}

// Fills one record at `slot` (nothing when measuring: slot null) and packs its
// strings and device mode with `p`.
void FillPrinterInfo(DWORD level, const PrinterRecord& r, const std::vector<std::uint8_t>* devmode,
                     BYTE* slot, Packer& p) {
  switch (level) {
    case 1: {
      PRINTER_INFO_1W info{};
      info.Flags = PRINTER_ENUM_ICON8;
      info.pDescription = p.String(r.name + u"," + r.driver + u"," + r.location);
      info.pName = p.String(r.name);
      info.pComment = p.String(r.comment);
      if (slot != nullptr) std::memcpy(slot, &info, sizeof info);
      break;
    }
    case 2: {
      PRINTER_INFO_2W info{};
      info.pServerName = nullptr;  // a local printer
      info.pPrinterName = p.String(r.name);
      info.pShareName = p.String(u"");
      info.pPortName = p.String(r.port);
      info.pDriverName = p.String(r.driver);
      info.pComment = p.String(r.comment);
      info.pLocation = p.String(r.location);
      info.pDevMode = devmode != nullptr ? p.Devmode(*devmode) : nullptr;
      info.pSepFile = p.String(u"");
      info.pPrintProcessor = p.String(u"winprint");
      info.pDatatype = p.String(u"RAW");
      info.pParameters = p.String(u"");
      info.Attributes = r.attributes;
      info.Priority = 1;
      if (slot != nullptr) std::memcpy(slot, &info, sizeof info);
      break;
    }
    case 4: {
      PRINTER_INFO_4W info{};
      info.pPrinterName = p.String(r.name);
      info.Attributes = r.attributes;
      if (slot != nullptr) std::memcpy(slot, &info, sizeof info);
      break;
    }
    case 5: {
      PRINTER_INFO_5W info{};
      info.pPrinterName = p.String(r.name);
      info.pPortName = p.String(r.port);
      info.Attributes = r.attributes;
      info.DeviceNotSelectedTimeout = 15000;
      info.TransmissionRetryTimeout = 45000;
      if (slot != nullptr) std::memcpy(slot, &info, sizeof info);
      break;
    }
    default: break;
  }
}

// Packs `records` as an array of level-`level` records followed by their data.
BOOL PackPrinters(DWORD level, const std::vector<PrinterRecord>& records, LPBYTE buffer,
                  DWORD size, LPDWORD needed) {
  const std::size_t fixed = PrinterInfoSize(level);
  std::vector<std::vector<std::uint8_t>> devmodes(records.size());
  std::vector<bool> hasDevmode(records.size(), false);
  if (level == 2) {
    for (std::size_t i = 0; i < records.size(); ++i) hasDevmode[i] = LoadDevmode(records[i].name, &devmodes[i]);
  }
  const auto pass = [&](BYTE* base) {
    Packer p(base, fixed * records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      FillPrinterInfo(level, records[i], hasDevmode[i] ? &devmodes[i] : nullptr,
                      base != nullptr ? base + i * fixed : nullptr, p);
    }
    return p.used();
  };
  const std::size_t total = pass(nullptr);
  if (total > 0xFFFFFFFFu) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  *needed = static_cast<DWORD>(total);
  if (total == 0) return TRUE;
  if (buffer == nullptr || size < total) return Fail(ERROR_INSUFFICIENT_BUFFER);
  pass(buffer);
  return TRUE;
}

// ---- printer data -------------------------------------------------------------

std::string ValuePath(std::u16string_view printer, std::u16string_view value) {
  return PrinterDir(printer) + "/data/" + StoreKey(value) + ".val";
}

struct StoredValue {
  DWORD type = REG_NONE;
  std::u16string name;
  std::vector<std::uint8_t> file;  // the whole file; data from `offset`
  std::size_t offset = 0;
};

bool ParseValue(std::vector<std::uint8_t> file, StoredValue* out) {
  if (file.size() < kValueHeader || std::memcmp(file.data(), kValueMagic, 4) != 0) return false;
  const DWORD type = ReadLe32(file.data() + 4);
  const std::size_t units = ReadLe32(file.data() + 8);
  if (units > kMaxValueName || file.size() < kValueHeader + units * 2) return false;
  out->type = type;
  out->name.resize(units);
  for (std::size_t i = 0; i < units; ++i) {
    out->name[i] = static_cast<char16_t>(file[kValueHeader + 2 * i] | file[kValueHeader + 2 * i + 1] << 8);
  }
  out->offset = kValueHeader + units * 2;
  out->file = std::move(file);
  return true;
}

bool LoadValue(std::u16string_view printer, std::u16string_view name, StoredValue* out) {
  std::vector<std::uint8_t> file;
  if (!ReadWhole(ValuePath(printer, name), &file)) return false;
  return ParseValue(std::move(file), out) && EqualNoCase(out->name, name);
}

bool ValidValueName(std::u16string_view name) {
  if (name.size() > kMaxValueName) return false;
  for (char16_t c : name) {
    if (c == 0) return false;
  }
  return true;
}

// ---- drivers --------------------------------------------------------------------

// A driver file named without a folder lives in the driver directory's folder 3.
std::u16string DriverFilePath(const WCHAR* given) {
  std::u16string path = FromWide(given);
  if (path.empty() || path.find_first_of(u"\\/") != std::u16string::npos) return path;
  return std::u16string(kDriverDirectory) + u"\\3\\" + path;
}

bool DriverFileExists(const std::u16string& winPath) {
  std::error_code ec;
  return fs::is_regular_file(kvplat::HostPath(winPath), ec);
}

std::size_t DriverInfoSize(DWORD level) {
  switch (level) {
    case 1: return sizeof(DRIVER_INFO_1W);
    case 2: return sizeof(DRIVER_INFO_2W);
    case 3: return sizeof(DRIVER_INFO_3W);
    default: return 0;
  }
}

LPWSTR OptionalString(Packer& p, const std::u16string& s) { return s.empty() ? nullptr : p.String(s); }

void FillDriverInfo(DWORD level, const DriverRecord& d, BYTE* slot, Packer& p) {
  if (level == 1) {
    DRIVER_INFO_1W info{};
    info.pName = p.String(d.name);
    if (slot != nullptr) std::memcpy(slot, &info, sizeof info);
    return;
  }
  DRIVER_INFO_3W info{};
  info.cVersion = d.version;
  info.pName = p.String(d.name);
  info.pEnvironment = p.String(d.environment.empty() ? std::u16string(kEnvironment) : d.environment);
  info.pDriverPath = p.String(d.driverPath);
  info.pDataFile = p.String(d.dataFile);
  info.pConfigFile = p.String(d.configFile);
  if (level == 3) {
    info.pHelpFile = OptionalString(p, d.helpFile);
    info.pDependentFiles = d.dependentFiles.empty() ? nullptr : p.MultiString(d.dependentFiles);
    info.pMonitorName = OptionalString(p, d.monitorName);
    info.pDefaultDataType = OptionalString(p, d.defaultDataType);
  }
  // DRIVER_INFO_2W is the leading part of DRIVER_INFO_3W.
  if (slot != nullptr) std::memcpy(slot, &info, DriverInfoSize(level));
}

std::atomic<unsigned> gFolderCounter{0};

std::string UniqueSibling(const std::string& folder, const char* what) {
  return folder + "/." + what + "-" + std::to_string(getpid()) + "-" + std::to_string(++gFolderCounter);
}

}  // namespace

// ---- open, close ------------------------------------------------------------

BOOL OpenPrinterW(LPWSTR printerName, HANDLE* printer, PRINTER_DEFAULTSW* defaults) {
  if (printer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *printer = nullptr;
  if (kvplat::fault::ShouldFail(kvplat::fault::Point::OpenPrinter)) return Fail(ERROR_ACCESS_DENIED);
  const std::u16string name = FromWide(printerName);
  const auto record = LoadPrinter(name);
  if (!record) return Fail(ERROR_INVALID_PRINTER_NAME);

  ACCESS_MASK desired = defaults != nullptr ? defaults->DesiredAccess : PRINTER_ACCESS_USE;
  if (desired & kGenericAll) desired |= PRINTER_ALL_ACCESS;
  if (desired & (kGenericRead | kGenericWrite | kGenericExecute)) desired |= PRINTER_READ;
  if (desired & kMaximumAllowed) desired |= record->readOnlyForUser ? PRINTER_READ : PRINTER_ALL_ACCESS;
  desired &= ~(kGenericAll | kGenericRead | kGenericWrite | kGenericExecute | kMaximumAllowed);
  // Printing and reading are always allowed; anything more needs a printer
  // the user may change.
  if ((desired & ~PRINTER_READ) != 0 && record->readOnlyForUser) return Fail(ERROR_ACCESS_DENIED);

  auto handle = NewHandle();
  handle->name = record->name;
  handle->granted = desired | PRINTER_ACCESS_USE;
  *printer = handle.get();
  return TRUE;
}

BOOL ClosePrinter(HANDLE printer) {
  const auto handle = ReleaseHandle(printer);
  if (!handle) return FALSE;
  std::lock_guard lock(handle->mutex);
  DropJob(*handle);  // a job still open when its printer closes is aborted
  handle->magic = 0;
  return TRUE;
}

// ---- printer information --------------------------------------------------------

BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
  const auto handle = FindHandle(printer);
  if (!handle) return FALSE;
  if (needed == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (PrinterInfoSize(level) == 0) return Fail(ERROR_INVALID_LEVEL);
  std::lock_guard lock(handle->mutex);
  auto record = LoadPrinter(handle->name);
  if (!record) return Fail(ERROR_INVALID_PRINTER_NAME);
  return PackPrinters(level, {std::move(*record)}, buffer, size, needed);
}

BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD command) {
  const auto handle = FindHandle(printer);
  if (!handle) return FALSE;
  if (!HasAdminister(*handle)) return Fail(ERROR_ACCESS_DENIED);
  if (level != 2) return Fail(ERROR_INVALID_LEVEL);
  if (buffer == nullptr || command != 0) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(handle->mutex);
  auto record = LoadPrinter(handle->name);
  if (!record) return Fail(ERROR_INVALID_PRINTER_NAME);

  const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer);
  // Check everything before storing anything.
  if (info->pPrinterName != nullptr && info->pPrinterName[0] != 0 &&
      !EqualNoCase(FromWide(info->pPrinterName), record->name)) {
    return Fail(ERROR_NOT_SUPPORTED);  // printers keep their names
  }
  if (info->pPortName != nullptr) {
    if (ParsePort(FromWide(info->pPortName)).kind == PortKind::Invalid) return Fail(ERROR_UNKNOWN_PORT);
    record->port = FromWide(info->pPortName);
  }
  if (info->pDriverName != nullptr) {
    const auto driver = LoadDriver(FromWide(info->pDriverName));
    if (!driver) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
    record->driver = driver->name;
  }
  std::size_t devmodeBytes = 0;
  if (info->pDevMode != nullptr) {
    devmodeBytes = DevmodeBytes(info->pDevMode);
    if (devmodeBytes == 0) return Fail(ERROR_INVALID_PARAMETER);
  }
  if (info->pComment != nullptr) record->comment = FromWide(info->pComment);
  if (info->pLocation != nullptr) record->location = FromWide(info->pLocation);
  record->attributes = info->Attributes | PRINTER_ATTRIBUTE_LOCAL;

  const std::string dir = PrinterDir(record->name);
  if (devmodeBytes != 0) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(info->pDevMode);
    const DWORD error = AtomicWrite(dir + "/devmode.bin", {bytes, devmodeBytes});
    if (error != ERROR_SUCCESS) return Fail(error);
  }
  const DWORD error = SavePrinter(dir, *record);
  if (error != ERROR_SUCCESS) return Fail(error);
  return TRUE;
}

BOOL EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                   LPDWORD needed, LPDWORD returned) {
  if (needed == nullptr || returned == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *returned = 0;
  *needed = 0;
  if (PrinterInfoSize(level) == 0) return Fail(ERROR_INVALID_LEVEL);
  if (!LocalServer(name)) return Fail(ERROR_INVALID_NAME);
  constexpr DWORD kEnumName = 0x8;
  if ((flags & (PRINTER_ENUM_LOCAL | kEnumName)) == 0) return TRUE;  // no connections here
  const auto records = LoadAllPrinters();
  if (!PackPrinters(level, records, buffer, size, needed)) return FALSE;
  *returned = static_cast<DWORD>(records.size());
  return TRUE;
}

HANDLE AddPrinterW(LPWSTR serverName, DWORD level, LPBYTE printer) {
  if (!LocalServer(serverName)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  if (level != 2) {
    SetLastError(ERROR_INVALID_LEVEL);
    return nullptr;
  }
  if (printer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(printer);
  PrinterRecord record;
  record.name = FromWide(info->pPrinterName);
  record.port = FromWide(info->pPortName);
  record.comment = FromWide(info->pComment);
  record.location = FromWide(info->pLocation);
  record.attributes = info->Attributes | PRINTER_ATTRIBUTE_LOCAL;
  DWORD error = ERROR_SUCCESS;
  std::size_t devmodeBytes = 0;
  if (!ValidPrinterName(record.name)) {
    error = ERROR_INVALID_PRINTER_NAME;
  } else if (ParsePort(record.port).kind == PortKind::Invalid) {
    error = ERROR_UNKNOWN_PORT;
  } else if (const auto driver = LoadDriver(FromWide(info->pDriverName)); !driver) {
    error = ERROR_UNKNOWN_PRINTER_DRIVER;
  } else {
    record.driver = driver->name;
    if (info->pDevMode != nullptr && (devmodeBytes = DevmodeBytes(info->pDevMode)) == 0) {
      error = ERROR_INVALID_PARAMETER;
    }
  }
  std::error_code ec;
  const std::string finalDir = PrinterDir(record.name);
  if (error == ERROR_SUCCESS && fs::exists(finalDir, ec)) error = ERROR_PRINTER_ALREADY_EXISTS;
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return nullptr;
  }

  // The printer is built in a hidden folder and appears whole with one rename.
  fs::create_directories(PrintersDir(), ec);
  const std::string temp = UniqueSibling(PrintersDir(), "new");
  if (!fs::create_directories(temp + "/data", ec)) {
    SetLastError(ErrorFromErrno(ec.value()));
    return nullptr;
  }
  error = SavePrinter(temp, record);
  if (error == ERROR_SUCCESS && devmodeBytes != 0) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(info->pDevMode);
    error = AtomicWrite(temp + "/devmode.bin", {bytes, devmodeBytes});
  }
  if (error == ERROR_SUCCESS && ::rename(temp.c_str(), finalDir.c_str()) != 0) {
    error = (errno == EEXIST || errno == ENOTEMPTY) ? ERROR_PRINTER_ALREADY_EXISTS : ErrorFromErrno(errno);
  }
  if (error != ERROR_SUCCESS) {
    fs::remove_all(temp, ec);
    SetLastError(error);
    return nullptr;
  }
  auto handle = NewHandle();
  handle->name = record.name;
  handle->granted = PRINTER_ALL_ACCESS;
  return handle.get();
}

BOOL DeletePrinter(HANDLE printer) {
  const auto handle = FindHandle(printer);
  if (!handle) return FALSE;
  if (!HasAdminister(*handle)) return Fail(ERROR_ACCESS_DENIED);
  std::lock_guard lock(handle->mutex);
  if (!LoadPrinter(handle->name)) return Fail(ERROR_INVALID_PRINTER_NAME);
  // Move the folder out of sight first so that no half-removed printer is seen.
  const std::string gone = UniqueSibling(PrintersDir(), "deleted");
  if (::rename(PrinterDir(handle->name).c_str(), gone.c_str()) != 0) return Fail(ErrorFromErrno(errno));
  std::error_code ec;
  fs::remove_all(gone, ec);
  return TRUE;
}

// ---- printer data -------------------------------------------------------------

DWORD GetPrinterDataW(HANDLE printer, LPWSTR valueName, LPDWORD type, LPBYTE data, DWORD size,
                      LPDWORD needed) {
  const auto handle = FindHandle(printer);
  if (!handle) return ERROR_INVALID_HANDLE;
  if (needed == nullptr) return FailCode(ERROR_INVALID_PARAMETER);
  const std::u16string name = FromWide(valueName);
  if (!ValidValueName(name)) return FailCode(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(handle->mutex);
  StoredValue value;
  if (!LoadValue(handle->name, name, &value)) {
    return FailCode(LoadPrinter(handle->name) ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PRINTER_NAME);
  }
  const std::size_t bytes = value.file.size() - value.offset;
  *needed = static_cast<DWORD>(bytes);
  if (type != nullptr) *type = value.type;
  if (size < bytes) return FailCode(ERROR_MORE_DATA);
  if (bytes > 0) {
    if (data == nullptr) return FailCode(ERROR_INVALID_PARAMETER);
    std::memcpy(data, value.file.data() + value.offset, bytes);
  }
  return ERROR_SUCCESS;
}

DWORD SetPrinterDataW(HANDLE printer, LPWSTR valueName, DWORD type, LPBYTE data, DWORD size) {
  const auto handle = FindHandle(printer);
  if (!handle) return ERROR_INVALID_HANDLE;
  if (!HasAdminister(*handle)) return FailCode(ERROR_ACCESS_DENIED);
  const std::u16string name = FromWide(valueName);
  if (!ValidValueName(name) || type > kLastRegType || (data == nullptr && size > 0) ||
      (type == REG_DWORD && size != 4)) {
    return FailCode(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard lock(handle->mutex);
  if (!LoadPrinter(handle->name)) return FailCode(ERROR_INVALID_PRINTER_NAME);
  std::vector<std::uint8_t> file(kValueMagic, kValueMagic + 4);
  file.reserve(kValueHeader + name.size() * 2 + size);
  AppendLe32(&file, type);
  AppendLe32(&file, static_cast<std::uint32_t>(name.size()));
  for (char16_t c : name) {
    file.push_back(static_cast<std::uint8_t>(c));
    file.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  if (size > 0) file.insert(file.end(), data, data + size);
  std::error_code ec;
  fs::create_directories(PrinterDir(handle->name) + "/data", ec);
  const DWORD error = AtomicWrite(ValuePath(handle->name, name), file);
  return error == ERROR_SUCCESS ? ERROR_SUCCESS : FailCode(error);
}

DWORD DeletePrinterDataW(HANDLE printer, LPWSTR valueName) {
  const auto handle = FindHandle(printer);
  if (!handle) return ERROR_INVALID_HANDLE;
  if (!HasAdminister(*handle)) return FailCode(ERROR_ACCESS_DENIED);
  const std::u16string name = FromWide(valueName);
  if (!ValidValueName(name)) return FailCode(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(handle->mutex);
  StoredValue value;
  if (!LoadValue(handle->name, name, &value)) return FailCode(ERROR_FILE_NOT_FOUND);
  if (::unlink(ValuePath(handle->name, name).c_str()) != 0) return FailCode(ErrorFromErrno(errno));
  return ERROR_SUCCESS;
}

// ---- drivers ----------------------------------------------------------------------

BOOL AddPrinterDriverW(LPWSTR serverName, DWORD level, LPBYTE driverInfo) {
  if (!LocalServer(serverName)) return Fail(ERROR_INVALID_NAME);
  if (level != 2 && level != 3) return Fail(ERROR_INVALID_LEVEL);
  if (driverInfo == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto* info = reinterpret_cast<const DRIVER_INFO_2W*>(driverInfo);
  if (!KnownEnvironment(info->pEnvironment)) return Fail(ERROR_INVALID_ENVIRONMENT);
  DriverRecord d;
  d.name = FromWide(info->pName);
  if (!ValidPrinterName(d.name) || info->cVersion != kDriverVersion) return Fail(ERROR_INVALID_PARAMETER);
  d.environment = std::u16string(kEnvironment);
  d.version = kDriverVersion;
  d.driverPath = DriverFilePath(info->pDriverPath);
  d.dataFile = DriverFilePath(info->pDataFile);
  d.configFile = DriverFilePath(info->pConfigFile);
  if (d.driverPath.empty() || d.dataFile.empty() || d.configFile.empty()) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (level == 3) {
    const auto* info3 = reinterpret_cast<const DRIVER_INFO_3W*>(driverInfo);
    d.helpFile = DriverFilePath(info3->pHelpFile);
    for (const WCHAR* p = info3->pDependentFiles; p != nullptr && *p != 0; p += kvplat::WideLength(p) + 1) {
      d.dependentFiles.push_back(DriverFilePath(p));
    }
    d.monitorName = FromWide(info3->pMonitorName);
    d.defaultDataType = FromWide(info3->pDefaultDataType);
  }
  // The files must be in place before the driver is registered.
  for (const auto* file : {&d.driverPath, &d.dataFile, &d.configFile, &d.helpFile}) {
    if (!file->empty() && !DriverFileExists(*file)) return Fail(ERROR_FILE_NOT_FOUND);
  }
  for (const auto& file : d.dependentFiles) {
    if (!DriverFileExists(file)) return Fail(ERROR_FILE_NOT_FOUND);
  }
  // Adding a driver that exists already replaces its record (an upgrade).
  if (const auto existing = LoadDriver(d.name)) d.name = existing->name;
  const DWORD error = SaveDriver(d);
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL DeletePrinterDriverW(LPWSTR serverName, LPWSTR environment, LPWSTR driverName) {
  if (!LocalServer(serverName)) return Fail(ERROR_INVALID_NAME);
  if (!KnownEnvironment(environment)) return Fail(ERROR_INVALID_ENVIRONMENT);
  const auto driver = LoadDriver(FromWide(driverName));
  if (!driver) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  for (const auto& printer : LoadAllPrinters()) {
    if (EqualNoCase(printer.driver, driver->name)) return Fail(ERROR_PRINTER_DRIVER_IN_USE);
  }
  const std::string path = DriversDir() + "/" + StoreKey(driver->name) + ".ini";
  if (::unlink(path.c_str()) != 0) return Fail(ErrorFromErrno(errno));
  return TRUE;
}

BOOL GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                       LPDWORD needed) {
  const auto handle = FindHandle(printer);
  if (!handle) return FALSE;
  if (needed == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!KnownEnvironment(environment)) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (DriverInfoSize(level) == 0) return Fail(ERROR_INVALID_LEVEL);
  std::lock_guard lock(handle->mutex);
  const auto record = LoadPrinter(handle->name);
  if (!record) return Fail(ERROR_INVALID_PRINTER_NAME);
  const auto driver = LoadDriver(record->driver);
  if (!driver) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  Packer measure(nullptr, DriverInfoSize(level));
  FillDriverInfo(level, *driver, nullptr, measure);
  *needed = static_cast<DWORD>(measure.used());
  if (buffer == nullptr || size < measure.used()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  Packer pack(buffer, DriverInfoSize(level));
  FillDriverInfo(level, *driver, buffer, pack);
  return TRUE;
}

BOOL GetPrinterDriverDirectoryW(LPWSTR serverName, LPWSTR environment, DWORD level, LPBYTE buffer,
                                DWORD size, LPDWORD needed) {
  if (!LocalServer(serverName)) return Fail(ERROR_INVALID_NAME);
  if (needed == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!KnownEnvironment(environment)) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (level != 1) return Fail(ERROR_INVALID_LEVEL);
  const DWORD bytes = static_cast<DWORD>((kDriverDirectory.size() + 1) * sizeof(WCHAR));
  *needed = bytes;
  if (buffer == nullptr || size < bytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, kDriverDirectory.data(), bytes - sizeof(WCHAR));
  std::memset(buffer + bytes - sizeof(WCHAR), 0, sizeof(WCHAR));
  return TRUE;
}

BOOL RevertToPrinterSelf() { return TRUE; }
BOOL ImpersonatePrinterClient(HANDLE) { return TRUE; }

// ---- platform helpers ----------------------------------------------------------

namespace kvplat::spool {

bool SetReadOnlyForUser(const std::u16string& printerName, bool readOnly) {
  auto record = LoadPrinter(printerName);
  if (!record) return false;
  record->readOnlyForUser = readOnly;
  return SavePrinter(PrinterDir(record->name), *record) == ERROR_SUCCESS;
}

std::vector<std::u16string> PrinterNames() {
  std::vector<std::u16string> names;
  for (auto& record : LoadAllPrinters()) names.push_back(std::move(record.name));
  return names;
}

std::vector<std::u16string> DriverNames() {
  std::vector<std::u16string> names;
  for (auto& record : LoadAllDrivers()) names.push_back(std::move(record.name));
  return names;
}

std::vector<std::u16string> PrinterDataNames(HANDLE printer) {
  std::vector<std::u16string> names;
  const auto handle = FindHandle(printer);
  if (!handle) return names;
  std::lock_guard lock(handle->mutex);
  std::error_code ec;
  const std::string dir = PrinterDir(handle->name) + "/data";
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string leaf = it->path().filename().string();
    if (!leaf.ends_with(".val")) continue;
    std::vector<std::uint8_t> file;
    StoredValue value;
    if (ReadWhole(it->path().string(), &file) && ParseValue(std::move(file), &value) &&
        StoreKey(value.name) + ".val" == leaf) {
      names.push_back(std::move(value.name));
    }
  }
  std::sort(names.begin(), names.end(),
            [](const std::u16string& a, const std::u16string& b) { return Fold(a) < Fold(b); });
  return names;
}

}  // namespace kvplat::spool
