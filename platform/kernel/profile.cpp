// Profile files (GetPrivateProfileStringW and relatives), with the Windows
// rules for listing, truncation, defaults and quotes.
#include <cerrno>
#include <string>
#include <vector>

#include "ini.h"
#include "internal.h"
#include "kvplat/root.h"

namespace kvplat {
namespace {

// A name without a folder lives in the Windows directory.
std::string ProfileHostPath(LPCWSTR fileName) {
  std::u16string name = fileName != nullptr ? std::u16string(fileName) : u"win.ini";
  if (name.find_first_of(u"\\/") == std::u16string::npos &&
      !(name.size() >= 2 && name[1] == u':')) {
    name = std::u16string(kWindowsDir) + u"\\" + name;
  }
  return HostPath(name);
}

std::string_view StripQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value.remove_prefix(1);
    value.remove_suffix(1);
  }
  return value;
}

DWORD CopyValue(std::u16string_view text, LPWSTR out, DWORD size) {
  const DWORD n = static_cast<DWORD>(std::min<std::size_t>(text.size(), size - 1));
  text.copy(out, n);
  out[n] = 0;
  return n;
}

// Names each followed by NUL, then a final NUL. When they do not fit the
// list is cut, still ends with two NULs, and size - 2 is returned.
DWORD CopyList(const std::vector<std::string>& names, LPWSTR out, DWORD size) {
  std::u16string joined;
  for (const std::string& name : names) {
    joined += ToUtf16(name);
    joined += u'\0';
  }
  if (joined.size() + 1 <= size) {
    joined.copy(out, joined.size());
    out[joined.size()] = 0;
    if (joined.empty() && size >= 2) out[1] = 0;
    return static_cast<DWORD>(joined.size());
  }
  if (size < 2) {
    out[0] = 0;
    return 0;
  }
  joined.copy(out, size - 2);
  out[size - 2] = 0;
  out[size - 1] = 0;
  return size - 2;
}

bool LoadProfile(const std::string& path, ini::Document* doc) {
  int err = 0;
  return ini::Load(path, doc, &err);
}

// The raw value of a key (quotes stripped), or nothing.
std::optional<std::string> ReadValue(LPCWSTR appName, LPCWSTR keyName, LPCWSTR fileName) {
  std::lock_guard guard(ini::FileLock());
  ini::Document doc;
  if (!LoadProfile(ProfileHostPath(fileName), &doc)) return std::nullopt;
  auto value = ini::Get(doc, ToUtf8(appName), ToUtf8(keyName));
  if (!value) return std::nullopt;
  return std::string(StripQuotes(*value));
}

}  // namespace
}  // namespace kvplat

using namespace kvplat;

KVAPI DWORD GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR defaultValue,
                                     LPWSTR returned, DWORD size, LPCWSTR fileName) {
  if (returned == nullptr || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string path = ProfileHostPath(fileName);
  ini::Document doc;
  bool loaded;
  {
    std::lock_guard guard(ini::FileLock());
    loaded = LoadProfile(path, &doc);
  }
  if (appName == nullptr) {
    SetLastError(loaded ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    return CopyList(ini::Sections(doc), returned, size);
  }
  const std::string section = ToUtf8(appName);
  if (keyName == nullptr) {
    SetLastError(loaded ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    return CopyList(ini::Keys(doc, section), returned, size);
  }
  if (auto value = ini::Get(doc, section, ToUtf8(keyName))) {
    SetLastError(ERROR_SUCCESS);
    return CopyValue(ToUtf16(StripQuotes(*value)), returned, size);
  }
  // The default, without its trailing blanks.
  std::u16string_view fallback(defaultValue != nullptr ? defaultValue : u"");
  while (!fallback.empty() && (fallback.back() == u' ' || fallback.back() == u'\t')) {
    fallback.remove_suffix(1);
  }
  const DWORD copied = CopyValue(fallback, returned, size);
  SetLastError(ERROR_FILE_NOT_FOUND);
  return copied;
}

KVAPI UINT GetPrivateProfileIntW(LPCWSTR appName, LPCWSTR keyName, INT defaultValue,
                                 LPCWSTR fileName) {
  if (appName == nullptr || keyName == nullptr) return static_cast<UINT>(defaultValue);
  auto value = ReadValue(appName, keyName, fileName);
  if (!value || value->empty()) return static_cast<UINT>(defaultValue);
  // Decimal: blanks, an optional sign, then the leading digits ("12ab" is 12).
  std::size_t i = 0;
  while (i < value->size() && ((*value)[i] == ' ' || (*value)[i] == '\t')) ++i;
  bool negative = false;
  if (i < value->size() && ((*value)[i] == '-' || (*value)[i] == '+')) {
    negative = (*value)[i] == '-';
    ++i;
  }
  std::uint32_t result = 0;
  for (; i < value->size() && (*value)[i] >= '0' && (*value)[i] <= '9'; ++i) {
    result = result * 10 + static_cast<std::uint32_t>((*value)[i] - '0');
  }
  return negative ? 0u - result : result;
}

KVAPI BOOL WritePrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR value,
                                      LPCWSTR fileName) {
  if (appName == nullptr) {
    // All null only flushes the (nonexistent) cache.
    if (keyName == nullptr && value == nullptr) return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string path = ProfileHostPath(fileName);
  std::lock_guard guard(ini::FileLock());
  ini::Document doc;
  int err = 0;
  const bool existed = ini::Load(path, &doc, &err);
  if (!existed && err != ENOENT) {
    SetLastError(ErrorFromErrno(err, path));
    return FALSE;
  }
  const std::string section = ToUtf8(appName);
  bool changed;
  if (keyName == nullptr) {
    changed = ini::DeleteSection(doc, section);
  } else if (value == nullptr) {
    changed = ini::DeleteKey(doc, section, ToUtf8(keyName));
  } else {
    ini::Set(doc, section, ToUtf8(keyName), ToUtf8(value));
    changed = true;
  }
  if (!changed) return TRUE;
  if (!ini::Save(path, doc, &err)) {
    SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err, path));
    return FALSE;
  }
  return TRUE;
}

KVAPI UINT GetProfileIntW(LPCWSTR appName, LPCWSTR keyName, INT defaultValue) {
  return GetPrivateProfileIntW(appName, keyName, defaultValue, u"win.ini");
}

KVAPI DWORD GetProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR defaultValue,
                              LPWSTR returned, DWORD size) {
  return GetPrivateProfileStringW(appName, keyName, defaultValue, returned, size, u"win.ini");
}
