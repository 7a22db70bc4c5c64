// Internals shared by the spooler's sources: the printer store inside the root,
// names and their host file keys, stored records, atomic file writes, handles.
//
// Store layout (all inside the root):
//   C/Windows/System32/spool/store/printers/<key>/printer.ini   name, port, driver, ...
//   C/Windows/System32/spool/store/printers/<key>/devmode.bin   stored device mode
//   C/Windows/System32/spool/store/printers/<key>/data/<key>.val one data value each
//   C/Windows/System32/spool/store/drivers/<key>.ini             one driver each
//   C/Windows/System32/spool/PRINTERS/<job id>.SPL               spool file of a job
// <key> is the case-folded name made safe for a host file name (see StoreKey).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kvplat/spooler.h"

namespace kvplat::spool::detail {

inline constexpr std::size_t kMaxPrinterName = 220;
inline constexpr DWORD kDriverVersion = 3;
inline constexpr std::u16string_view kEnvironment = u"Windows x64";
inline constexpr std::u16string_view kDriverDirectory =
    u"C:\\Windows\\System32\\spool\\drivers\\x64";

// ---- names ----------------------------------------------------------------
std::u16string FromWide(const WCHAR* s);
// Case folding for names, which compare without regard to case as on Windows
// (ASCII, Latin-1, Greek and Cyrillic letters).
char16_t FoldChar(char16_t c);
std::u16string Fold(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
// Host file name for a name: folded, UTF-8, with '/', '%', '~', control
// characters and a leading '.' escaped as %XX; long keys are cut and end in
// '~' and a hash of the whole name.
std::string StoreKey(std::u16string_view name);
// A printer name this spooler accepts: 1..220 characters, no '\', ',' or
// control characters, no unpaired surrogates.
bool ValidPrinterName(std::u16string_view name);

// ---- host folders -----------------------------------------------------------
std::string SpoolDir();
std::string PrintersDir();
std::string DriversDir();
std::string JobsDir();
std::string PrinterDir(std::u16string_view name);

// ---- files ------------------------------------------------------------------
// Win32 error for an errno value.
DWORD ErrorFromErrno(int err);
// Writes `data` to `path` through a temporary file in the same folder and a
// rename, so readers see the old or the new file, never half of one.
// Returns ERROR_SUCCESS or a Win32 error.
DWORD AtomicWrite(const std::string& path, std::span<const std::uint8_t> data);
bool ReadWhole(const std::string& path, std::vector<std::uint8_t>* data);
// A unique temporary name next to `path`.
std::string TempNameFor(const std::string& path);

// ---- key=value records ------------------------------------------------------
using Fields = std::vector<std::pair<std::string, std::string>>;
std::string SerializeFields(const Fields& fields);
Fields ParseFields(std::string_view text);
std::string FieldValue(const Fields& fields, std::string_view key);

// ---- stored records -------------------------------------------------------
struct PrinterRecord {
  std::u16string name;
  std::u16string port;
  std::u16string driver;
  std::u16string comment;
  std::u16string location;
  DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
  bool readOnlyForUser = false;
};
// Loads the printer of that name (case-insensitive); nullopt when missing.
std::optional<PrinterRecord> LoadPrinter(std::u16string_view name);
DWORD SavePrinter(const std::string& dir, const PrinterRecord& record);
std::vector<PrinterRecord> LoadAllPrinters();  // sorted by name
bool LoadDevmode(std::u16string_view name, std::vector<std::uint8_t>* devmode);
// Bytes of a caller's device mode (dmSize + dmDriverExtra), 0 when malformed.
std::size_t DevmodeBytes(const DEVMODEW* devmode);

struct DriverRecord {
  std::u16string name;
  std::u16string environment;
  DWORD version = kDriverVersion;
  std::u16string driverPath;
  std::u16string dataFile;
  std::u16string configFile;
  std::u16string helpFile;
  std::vector<std::u16string> dependentFiles;
  std::u16string monitorName;
  std::u16string defaultDataType;
};
std::optional<DriverRecord> LoadDriver(std::u16string_view name);
DWORD SaveDriver(const DriverRecord& record);
std::vector<DriverRecord> LoadAllDrivers();  // sorted by name

// ---- ports ------------------------------------------------------------------
enum class PortKind { File, Folder, OutputName, Socket, Invalid };
struct PortTarget {
  PortKind kind = PortKind::Invalid;
  std::u16string path;  // File, Folder: Windows path
  std::string host;     // Socket
  std::uint16_t port = 0;
};
// Classifies a port name: "FILE:", "socket://host:port", a Windows path with
// a drive letter (ending in a separator: a folder that receives one file per job).
PortTarget ParsePort(std::u16string_view port);

// ---- handles ----------------------------------------------------------------
inline constexpr std::uint32_t kHandleMagic = 0x4C505348;  // "HSPL"

struct Job {
  DWORD id = 0;
  int fd = -1;
  std::string spoolPath;
  std::u16string docName;
  std::u16string outputFile;
  std::u16string port;  // the printer's port when the job started
  DWORD pages = 0;
  bool pageOpen = false;
  std::uint64_t bytes = 0;
  DWORD writeError = 0;  // the first failed write: the job can no longer be delivered whole
};

struct PrinterHandle {
  std::uint32_t magic = kHandleMagic;
  std::mutex mutex;  // one call at a time on a handle
  std::u16string name;
  ACCESS_MASK granted = 0;
  std::optional<Job> job;
};

std::shared_ptr<PrinterHandle> NewHandle();
// The live handle for `h`; null (and ERROR_INVALID_HANDLE) when it is none.
std::shared_ptr<PrinterHandle> FindHandle(HANDLE h);
// Removes `h` from the live handles; returns it for the final clean-up.
std::shared_ptr<PrinterHandle> ReleaseHandle(HANDLE h);

// Drops the handle's job: closes and deletes its spool file (caller holds the mutex).
void DropJob(PrinterHandle& handle);

// ---- buffer packing ---------------------------------------------------------
// Lays out Windows result buffers: fixed records first, then the strings and
// device modes they point to. A first pass with no buffer measures.
class Packer {
 public:
  Packer(BYTE* base, std::size_t fixedBytes) : base_(base), used_(fixedBytes) {}
  std::size_t used() const { return used_; }
  LPWSTR String(std::u16string_view s);
  // A NUL-separated list ended by an empty string.
  LPWSTR MultiString(const std::vector<std::u16string>& list);
  DEVMODEW* Devmode(std::span<const std::uint8_t> bytes);

 private:
  void Align(std::size_t to) { used_ = (used_ + to - 1) / to * to; }
  BYTE* base_;
  std::size_t used_;
};

}  // namespace kvplat::spool::detail
