// The spooler of the platform layer: a printer store inside the root, printer
// data, driver information, and jobs that WritePrinter appends to and that are
// delivered to the printer's port when they end.
#pragma once

#include <string>
#include <vector>

#include "kvplat/gdi_types.h"
#include "kvplat/wintypes.h"

using ACCESS_MASK = DWORD;
inline constexpr ACCESS_MASK PRINTER_ACCESS_ADMINISTER = 0x4;
inline constexpr ACCESS_MASK PRINTER_ACCESS_USE = 0x8;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0xF0000;
inline constexpr ACCESS_MASK PRINTER_ALL_ACCESS =
    STANDARD_RIGHTS_REQUIRED | PRINTER_ACCESS_ADMINISTER | PRINTER_ACCESS_USE;
inline constexpr ACCESS_MASK PRINTER_READ = 0x20008;

struct PRINTER_DEFAULTSW {
  LPWSTR pDatatype;
  DEVMODEW* pDevMode;
  ACCESS_MASK DesiredAccess;
};

struct PRINTER_INFO_1W {
  DWORD Flags;
  LPWSTR pDescription;
  LPWSTR pName;
  LPWSTR pComment;
};

struct PRINTER_INFO_2W {
  LPWSTR pServerName;
  LPWSTR pPrinterName;
  LPWSTR pShareName;
  LPWSTR pPortName;
  LPWSTR pDriverName;
  LPWSTR pComment;
  LPWSTR pLocation;
  DEVMODEW* pDevMode;
  LPWSTR pSepFile;
  LPWSTR pPrintProcessor;
  LPWSTR pDatatype;
  LPWSTR pParameters;
  void* pSecurityDescriptor;
  DWORD Attributes;
  DWORD Priority;
  DWORD DefaultPriority;
  DWORD StartTime;
  DWORD UntilTime;
  DWORD Status;
  DWORD cJobs;
  DWORD AveragePPM;
};

struct PRINTER_INFO_4W {
  LPWSTR pPrinterName;
  LPWSTR pServerName;
  DWORD Attributes;
};

struct PRINTER_INFO_5W {
  LPWSTR pPrinterName;
  LPWSTR pPortName;
  DWORD Attributes;
  DWORD DeviceNotSelectedTimeout;
  DWORD TransmissionRetryTimeout;
};

inline constexpr DWORD PRINTER_ATTRIBUTE_DEFAULT = 0x4;
inline constexpr DWORD PRINTER_ATTRIBUTE_LOCAL = 0x40;
inline constexpr DWORD PRINTER_ENUM_ICON8 = 0x00800000;

struct DRIVER_INFO_1W {
  LPWSTR pName;
};

struct DRIVER_INFO_2W {
  DWORD cVersion;
  LPWSTR pName;
  LPWSTR pEnvironment;
  LPWSTR pDriverPath;
  LPWSTR pDataFile;
  LPWSTR pConfigFile;
};

struct DRIVER_INFO_3W {
  DWORD cVersion;
  LPWSTR pName;
  LPWSTR pEnvironment;
  LPWSTR pDriverPath;
  LPWSTR pDataFile;
  LPWSTR pConfigFile;
  LPWSTR pHelpFile;
  LPWSTR pDependentFiles;  // NUL-separated list, ended by an empty string
  LPWSTR pMonitorName;
  LPWSTR pDefaultDataType;
};

struct DOC_INFO_1W {
  LPWSTR pDocName;
  LPWSTR pOutputFile;
  LPWSTR pDatatype;
};

// Registry value types of printer data.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr DWORD PRINTER_ENUM_LOCAL = 0x2;
inline constexpr DWORD PRINTER_ENUM_CONNECTIONS = 0x4;

KVAPI BOOL OpenPrinterW(LPWSTR printerName, HANDLE* printer, PRINTER_DEFAULTSW* defaults);
KVAPI BOOL ClosePrinter(HANDLE printer);
KVAPI BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed);
KVAPI BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD command);
KVAPI BOOL EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                         LPDWORD needed, LPDWORD returned);
// Adds a printer (level 2: name, port, driver, optional device mode); the
// handle returned has PRINTER_ALL_ACCESS. Printer names: 1..220 characters,
// compared without regard to case, no '\', ',' or control characters.
// Ports:
//   "FILE:"               the document's output name (DOC_INFO_1W.pOutputFile)
//   "C:\out\job.prn"      a file, replaced whole at the end of each job; Windows
//                         paths only ("Z:\tmp\x.prn" names the host's /tmp/x.prn)
//   "C:\jobs\"            a folder (trailing separator, or an existing folder):
//                         one new file job<id>.prn per job
//   "socket://host:port"  raw TCP, as network printers take jobs on port 9100
// A document's output name overrides the port, as printing to a file does.
KVAPI HANDLE AddPrinterW(LPWSTR serverName, DWORD level, LPBYTE printer);
KVAPI BOOL DeletePrinter(HANDLE printer);

// Printer data: results are error codes (ERROR_SUCCESS, ERROR_MORE_DATA with
// *needed set, ERROR_FILE_NOT_FOUND for a missing value, ERROR_ACCESS_DENIED).
KVAPI DWORD GetPrinterDataW(HANDLE printer, LPWSTR valueName, LPDWORD type, LPBYTE data,
                            DWORD size, LPDWORD needed);
KVAPI DWORD SetPrinterDataW(HANDLE printer, LPWSTR valueName, DWORD type, LPBYTE data,
                            DWORD size);
KVAPI DWORD DeletePrinterDataW(HANDLE printer, LPWSTR valueName);

// Drivers: levels 2 and 3. The driver directory is
// "C:\Windows\System32\spool\drivers\x64"; the files live in its subfolder "3".
// AddPrinterDriverW takes cVersion 3 and environment null or "Windows x64"; a
// file named without a folder is taken in the subfolder "3"; the driver, data
// and configuration files (and the help and dependent files, when given) must
// be there already (ERROR_FILE_NOT_FOUND). Adding a known driver again
// replaces its record. GetPrinterDriverW also answers level 1.
KVAPI BOOL AddPrinterDriverW(LPWSTR serverName, DWORD level, LPBYTE driverInfo);
KVAPI BOOL GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer,
                             DWORD size, LPDWORD needed);
// Removes a driver that no printer uses (ERROR_PRINTER_DRIVER_IN_USE otherwise);
// its files stay in the driver directory.
KVAPI BOOL DeletePrinterDriverW(LPWSTR serverName, LPWSTR environment, LPWSTR driverName);
KVAPI BOOL GetPrinterDriverDirectoryW(LPWSTR serverName, LPWSTR environment, DWORD level,
                                      LPBYTE buffer, DWORD size, LPDWORD needed);

// Jobs. WritePrinter appends to the printer handle's current job; EndDocPrinter
// delivers the whole job to the port, AbortPrinter drops it.
KVAPI DWORD StartDocPrinterW(HANDLE printer, DWORD level, LPBYTE docInfo);
KVAPI BOOL StartPagePrinter(HANDLE printer);
KVAPI BOOL EndPagePrinter(HANDLE printer);
KVAPI BOOL WritePrinter(HANDLE printer, LPVOID buffer, DWORD size, LPDWORD written);
KVAPI BOOL EndDocPrinter(HANDLE printer);
KVAPI BOOL AbortPrinter(HANDLE printer);

// Print server impersonation (no-ops here; there is one user).
KVAPI BOOL RevertToPrinterSelf();
KVAPI BOOL ImpersonatePrinterClient(HANDLE token);

namespace kvplat::spool {
// Marks a printer read-only for the current user: opens asking for more than
// PRINTER_ACCESS_USE / PRINTER_READ then fail with ERROR_ACCESS_DENIED.
bool SetReadOnlyForUser(const std::u16string& printerName, bool readOnly);
// Names of the printers in the store.
std::vector<std::u16string> PrinterNames();
// Names of the drivers in the store.
std::vector<std::u16string> DriverNames();
// Names of the data values stored for the printer of an open handle (empty for
// a bad handle or a printer without data).
std::vector<std::u16string> PrinterDataNames(HANDLE printer);
}  // namespace kvplat::spool
