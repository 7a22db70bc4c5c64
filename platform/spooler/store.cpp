// The spooler's printer store: names and keys, folders, atomic writes, stored
// printer and driver records, port names, handles and result buffer packing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "spool_internal.h"

namespace kvplat::spool::detail {

namespace fs = std::filesystem;

// ---- names ----------------------------------------------------------------

std::u16string FromWide(const WCHAR* s) {
  return s == nullptr ? std::u16string() : std::u16string(s, WideLength(s));
}

char16_t FoldChar(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
  if (c < 0xC0) return c;
  if (c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);        // Latin-1
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<char16_t>(c + 32);  // Greek
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);      // Cyrillic
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
  return c;
}

std::u16string Fold(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) c = FoldChar(c);
  return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

namespace {

constexpr std::size_t kMaxKeyBytes = 150;
constexpr std::size_t kKeepKeyBytes = 120;

bool NeedsEscape(unsigned char c, bool first) {
  return c < 0x20 || c == 0x7F || c == '/' || c == '%' || c == '~' || (first && c == '.');
}

std::uint64_t Fnv1a(std::string_view bytes) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

}  // namespace

std::string StoreKey(std::u16string_view name) {
  const std::string folded = ToUtf8(Fold(name));
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string key;
  key.reserve(folded.size() + 8);
  // Offsets in `key` where a whole character starts, so that a long key is cut
  // between characters, never inside an escape or a UTF-8 sequence.
  std::size_t cut = 0;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    const auto c = static_cast<unsigned char>(folded[i]);
    if ((c & 0xC0) != 0x80 && key.size() <= kKeepKeyBytes) cut = key.size();
    if (NeedsEscape(c, i == 0)) {
      key += '%';
      key += kHex[c >> 4];
      key += kHex[c & 0xF];
    } else {
      key += static_cast<char>(c);
    }
  }
  if (key.size() <= kMaxKeyBytes) return key;
  key.resize(cut);
  key += '~';
  std::uint64_t h = Fnv1a(folded);
  for (int shift = 60; shift >= 0; shift -= 4) key += kHex[(h >> shift) & 0xF];
  return key;
}

bool ValidPrinterName(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxPrinterName) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c < 0x20 || c == 0x7F || c == u'\\' || c == u',') return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

// ---- host folders -----------------------------------------------------------

std::string SpoolDir() { return HostPath(u"C:\\Windows\\System32\\spool"); }
std::string PrintersDir() { return SpoolDir() + "/store/printers"; }
std::string DriversDir() { return SpoolDir() + "/store/drivers"; }
std::string JobsDir() { return HostPath(u"C:\\Windows\\System32\\spool\\PRINTERS"); }
std::string PrinterDir(std::u16string_view name) { return PrintersDir() + "/" + StoreKey(name); }

// ---- files ------------------------------------------------------------------

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ECONNREFUSED: return ERROR_CONNECTION_REFUSED;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED: return ERROR_NETNAME_DELETED;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN: return ERROR_BAD_NETPATH;
    default: return ERROR_WRITE_FAULT;
  }
}

std::string TempNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

namespace {

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void SyncFolderOf(const std::string& path) {
  const std::string folder = fs::path(path).parent_path().string();
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

DWORD AtomicWrite(const std::string& path, std::span<const std::uint8_t> data) {
  const std::string temp = TempNameFor(path);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return ErrorFromErrno(errno);
  bool ok = WriteAll(fd, data.data(), data.size()) && ::fsync(fd) == 0;
  int err = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return ErrorFromErrno(err);
  }
  SyncFolderOf(path);
  return ERROR_SUCCESS;
}

bool ReadWhole(const std::string& path, std::vector<std::uint8_t>* data) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  data->clear();
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) data->reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t chunk[8192];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    data->insert(data->end(), chunk, chunk + n);
  }
  ::close(fd);
  return true;
}

// ---- key=value records ------------------------------------------------------

std::string SerializeFields(const Fields& fields) {
  std::string out;
  for (const auto& [key, value] : fields) {
    out += key;
    out += '=';
    for (char c : value) {
      switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
      }
    }
    out += '\n';
  }
  return out;
}

Fields ParseFields(std::string_view text) {
  Fields fields;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string value;
    for (std::size_t i = eq + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        const char next = line[++i];
        value += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
      } else {
        value += line[i];
      }
    }
    fields.emplace_back(std::string(line.substr(0, eq)), std::move(value));
  }
  return fields;
}

std::string FieldValue(const Fields& fields, std::string_view key) {
  for (const auto& [k, v] : fields) {
    if (k == key) return v;
  }
  return {};
}

namespace {

DWORD ParseDword(const std::string& text, DWORD fallback) {
  if (text.empty()) return fallback;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  return (end != nullptr && *end == '\0' && v <= 0xFFFFFFFFull) ? static_cast<DWORD>(v) : fallback;
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::optional<Fields> LoadFields(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  if (!ReadWhole(path, &bytes)) return std::nullopt;
  return ParseFields(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<PrinterRecord> PrinterFromFields(const Fields& f) {
  PrinterRecord r;
  r.name = ToUtf16(FieldValue(f, "name"));
  if (r.name.empty()) return std::nullopt;
  r.port = ToUtf16(FieldValue(f, "port"));
  r.driver = ToUtf16(FieldValue(f, "driver"));
  r.comment = ToUtf16(FieldValue(f, "comment"));
  r.location = ToUtf16(FieldValue(f, "location"));
  r.attributes = ParseDword(FieldValue(f, "attributes"), PRINTER_ATTRIBUTE_LOCAL);
  r.readOnlyForUser = FieldValue(f, "readOnlyForUser") == "1";
  return r;
}

std::string HexDword(DWORD v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(v));
  return text;
}

}  // namespace

std::optional<PrinterRecord> LoadPrinter(std::u16string_view name) {
  if (!ValidPrinterName(name)) return std::nullopt;
  const auto fields = LoadFields(PrinterDir(name) + "/printer.ini");
  if (!fields) return std::nullopt;
  auto record = PrinterFromFields(*fields);
  if (!record || !EqualNoCase(record->name, name)) return std::nullopt;
  return record;
}

DWORD SavePrinter(const std::string& dir, const PrinterRecord& r) {
  const Fields fields = {
      {"name", ToUtf8(r.name)},
      {"port", ToUtf8(r.port)},
      {"driver", ToUtf8(r.driver)},
      {"comment", ToUtf8(r.comment)},
      {"location", ToUtf8(r.location)},
      {"attributes", HexDword(r.attributes)},
      {"readOnlyForUser", r.readOnlyForUser ? "1" : "0"},
  };
  return AtomicWrite(dir + "/printer.ini", Bytes(SerializeFields(fields)));
}

std::vector<PrinterRecord> LoadAllPrinters() {
  std::vector<PrinterRecord> all;
  std::error_code ec;
  for (fs::directory_iterator it(PrintersDir(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string leaf = it->path().filename().string();
    if (leaf.empty() || leaf[0] == '.') continue;  // printers being created or removed
    const auto fields = LoadFields(it->path().string() + "/printer.ini");
    if (!fields) continue;
    auto record = PrinterFromFields(*fields);
    if (record && StoreKey(record->name) == leaf) all.push_back(std::move(*record));
  }
  std::sort(all.begin(), all.end(), [](const PrinterRecord& a, const PrinterRecord& b) {
    return Fold(a.name) < Fold(b.name);
  });
  return all;
}

bool LoadDevmode(std::u16string_view name, std::vector<std::uint8_t>* devmode) {
  if (!ReadWhole(PrinterDir(name) + "/devmode.bin", devmode)) return false;
  // Only a whole record counts: its own sizes must cover the stored bytes.
  if (devmode->size() < sizeof(DEVMODEW::dmDeviceName) + 8) return false;
  WORD size = 0, extra = 0;
  std::memcpy(&size, devmode->data() + offsetof(DEVMODEW, dmSize), 2);
  std::memcpy(&extra, devmode->data() + offsetof(DEVMODEW, dmDriverExtra), 2);
  return static_cast<std::size_t>(size) + extra == devmode->size();
}

std::size_t DevmodeBytes(const DEVMODEW* devmode) {
  if (devmode == nullptr) return 0;
  const std::size_t size = devmode->dmSize;
  if (size < offsetof(DEVMODEW, dmFields) + sizeof(DWORD)) return 0;
  return size + devmode->dmDriverExtra;
}

// ---- drivers ----------------------------------------------------------------

namespace {

std::string DriverFile(std::u16string_view name) { return DriversDir() + "/" + StoreKey(name) + ".ini"; }

std::optional<DriverRecord> DriverFromFields(const Fields& f) {
  DriverRecord r;
  r.name = ToUtf16(FieldValue(f, "name"));
  if (r.name.empty()) return std::nullopt;
  r.environment = ToUtf16(FieldValue(f, "environment"));
  r.version = ParseDword(FieldValue(f, "version"), kDriverVersion);
  r.driverPath = ToUtf16(FieldValue(f, "driverPath"));
  r.dataFile = ToUtf16(FieldValue(f, "dataFile"));
  r.configFile = ToUtf16(FieldValue(f, "configFile"));
  r.helpFile = ToUtf16(FieldValue(f, "helpFile"));
  for (const auto& [k, v] : f) {
    if (k == "dependentFile") r.dependentFiles.push_back(ToUtf16(v));
  }
  r.monitorName = ToUtf16(FieldValue(f, "monitorName"));
  r.defaultDataType = ToUtf16(FieldValue(f, "defaultDataType"));
  return r;
}

}  // namespace

std::optional<DriverRecord> LoadDriver(std::u16string_view name) {
  if (name.empty()) return std::nullopt;
  const auto fields = LoadFields(DriverFile(name));
  if (!fields) return std::nullopt;
  auto record = DriverFromFields(*fields);
  if (!record || !EqualNoCase(record->name, name)) return std::nullopt;
  return record;
}

DWORD SaveDriver(const DriverRecord& r) {
  std::error_code ec;
  fs::create_directories(DriversDir(), ec);
  Fields fields = {
      {"name", ToUtf8(r.name)},
      {"environment", ToUtf8(r.environment)},
      {"version", std::to_string(r.version)},
      {"driverPath", ToUtf8(r.driverPath)},
      {"dataFile", ToUtf8(r.dataFile)},
      {"configFile", ToUtf8(r.configFile)},
      {"helpFile", ToUtf8(r.helpFile)},
  };
  for (const auto& file : r.dependentFiles) fields.emplace_back("dependentFile", ToUtf8(file));
  fields.emplace_back("monitorName", ToUtf8(r.monitorName));
  fields.emplace_back("defaultDataType", ToUtf8(r.defaultDataType));
  return AtomicWrite(DriverFile(r.name), Bytes(SerializeFields(fields)));
}

std::vector<DriverRecord> LoadAllDrivers() {
  std::vector<DriverRecord> all;
  std::error_code ec;
  for (fs::directory_iterator it(DriversDir(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string leaf = it->path().filename().string();
    if (leaf.size() < 5 || leaf[0] == '.' || !leaf.ends_with(".ini")) continue;
    const auto fields = LoadFields(it->path().string());
    if (!fields) continue;
    auto record = DriverFromFields(*fields);
    if (record && StoreKey(record->name) + ".ini" == leaf) all.push_back(std::move(*record));
  }
  std::sort(all.begin(), all.end(), [](const DriverRecord& a, const DriverRecord& b) {
    return Fold(a.name) < Fold(b.name);
  });
  return all;
}

// ---- ports ------------------------------------------------------------------

PortTarget ParsePort(std::u16string_view port) {
  PortTarget t;
  for (char16_t c : port) {
    if (c < 0x20) return t;
  }
  if (EqualNoCase(port, u"FILE:")) {
    t.kind = PortKind::OutputName;
    return t;
  }
  constexpr std::u16string_view kSocket = u"socket://";
  if (port.size() > kSocket.size() && EqualNoCase(port.substr(0, kSocket.size()), kSocket)) {
    const std::string rest = ToUtf8(port.substr(kSocket.size()));
    std::string host;
    std::string digits;
    if (!rest.empty() && rest[0] == '[') {  // [IPv6]:port
      const std::size_t close = rest.find(']');
      if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return t;
      host = rest.substr(1, close - 1);
      digits = rest.substr(close + 2);
    } else {
      const std::size_t colon = rest.rfind(':');
      if (colon == std::string::npos) return t;
      host = rest.substr(0, colon);
      digits = rest.substr(colon + 1);
    }
    if (host.empty() || digits.empty() || digits.size() > 5) return t;
    for (char c : host) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_' || c == ':';
      if (!ok) return t;
    }
    unsigned value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return t;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return t;
    t.kind = PortKind::Socket;
    t.host = host;
    t.port = static_cast<std::uint16_t>(value);
    return t;
  }
  const auto isLetter = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
  const auto isSep = [](char16_t c) { return c == u'\\' || c == u'/'; };
  if (port.size() >= 4 && isLetter(port[0]) && port[1] == u':' && isSep(port[2])) {
    t.kind = isSep(port.back()) ? PortKind::Folder : PortKind::File;
    t.path = std::u16string(port);
  }
  return t;
}

// ---- handles ----------------------------------------------------------------

namespace {

std::mutex& HandlesMutex() {
  static std::mutex m;
  return m;
}

std::unordered_map<const void*, std::shared_ptr<PrinterHandle>>& Handles() {
  static auto* handles = new std::unordered_map<const void*, std::shared_ptr<PrinterHandle>>();
  return *handles;
}

}  // namespace

std::shared_ptr<PrinterHandle> NewHandle() {
  auto handle = std::make_shared<PrinterHandle>();
  std::lock_guard lock(HandlesMutex());
  Handles().emplace(handle.get(), handle);
  return handle;
}

std::shared_ptr<PrinterHandle> FindHandle(HANDLE h) {
  std::shared_ptr<PrinterHandle> found;
  if (h != nullptr) {
    std::lock_guard lock(HandlesMutex());
    const auto it = Handles().find(h);
    if (it != Handles().end() && it->second->magic == kHandleMagic) found = it->second;
  }
  if (!found) SetLastError(ERROR_INVALID_HANDLE);
  return found;
}

std::shared_ptr<PrinterHandle> ReleaseHandle(HANDLE h) {
  std::shared_ptr<PrinterHandle> found;
  if (h != nullptr) {
    std::lock_guard lock(HandlesMutex());
    const auto it = Handles().find(h);
    if (it != Handles().end() && it->second->magic == kHandleMagic) {
      found = std::move(it->second);
      Handles().erase(it);
    }
  }
  if (!found) SetLastError(ERROR_INVALID_HANDLE);
  return found;
}

void DropJob(PrinterHandle& handle) {
  if (!handle.job) return;
  if (handle.job->fd >= 0) ::close(handle.job->fd);
  if (!handle.job->spoolPath.empty()) ::unlink(handle.job->spoolPath.c_str());
  handle.job.reset();
}

// ---- buffer packing ---------------------------------------------------------

LPWSTR Packer::String(std::u16string_view s) {
  Align(alignof(WCHAR));
  LPWSTR at = base_ != nullptr ? reinterpret_cast<LPWSTR>(base_ + used_) : nullptr;
  if (at != nullptr) {
    std::memcpy(at, s.data(), s.size() * sizeof(WCHAR));
    at[s.size()] = 0;
  }
  used_ += (s.size() + 1) * sizeof(WCHAR);
  return at;
}

LPWSTR Packer::MultiString(const std::vector<std::u16string>& list) {
  Align(alignof(WCHAR));
  LPWSTR at = base_ != nullptr ? reinterpret_cast<LPWSTR>(base_ + used_) : nullptr;
  std::size_t units = 1;
  for (const auto& s : list) units += s.size() + 1;
  if (at != nullptr) {
    LPWSTR p = at;
    for (const auto& s : list) {
      std::memcpy(p, s.data(), s.size() * sizeof(WCHAR));
      p += s.size();
      *p++ = 0;
    }
    *p = 0;
  }
  used_ += units * sizeof(WCHAR);
  return at;
}

DEVMODEW* Packer::Devmode(std::span<const std::uint8_t> bytes) {
  Align(8);
  DEVMODEW* at = base_ != nullptr ? reinterpret_cast<DEVMODEW*>(base_ + used_) : nullptr;
  if (at != nullptr) std::memcpy(at, bytes.data(), bytes.size());
  used_ += bytes.size();
  return at;
}

}  // namespace kvplat::spool::detail
