// The root folder that stands for the Windows file system, the mapping of
// Windows paths onto it, and the platform's own settings stored in it.
#include "kvplat/root.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "kernel/ini.h"

namespace kvplat {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

struct RootState {
  std::mutex lock;
  std::string dir;
  bool chosen = false;
};

RootState& State() {
  static RootState state;
  return state;
}

std::string CurrentDir() {
  std::error_code ec;
  std::filesystem::path cwd = std::filesystem::current_path(ec);
  return ec ? std::string("/") : cwd.string();
}

// Absolute, lexically normal host path without a trailing separator.
std::string Absolute(std::string_view hostPath) {
  std::filesystem::path path(hostPath);
  if (!path.is_absolute()) path = std::filesystem::path(CurrentDir()) / path;
  std::string text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::string Join(const std::string& dir, std::string_view name) {
  std::string out = dir;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

// The existing entry of `dir` whose name matches `name` ignoring case.
bool FindIgnoringCase(const std::string& dir, std::string_view name, std::string* found) {
  DIR* stream = opendir(dir.c_str());
  if (stream == nullptr) return false;
  bool matched = false;
  while (dirent* entry = readdir(stream)) {
    if (SameNameIgnoringCase(entry->d_name, name)) {
      *found = entry->d_name;
      matched = true;
      break;
    }
  }
  closedir(stream);
  return matched;
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string RootIniPath() { return RootDir() + "/kvroot.ini"; }

bool WriteWinIniCountry(std::string_view country, std::string* error) {
  const std::string path = HostPath(u"C:\\Windows\\win.ini");
  ini::Document doc;
  int err = 0;
  if (!ini::Load(path, &doc, &err) && err != ENOENT) {
    if (error) *error = "cannot read " + path + ": " + std::strerror(err);
    return false;
  }
  ini::Set(doc, "intl", "iCountry", country);
  if (!ini::Save(path, doc, &err)) {
    if (error) *error = "cannot write " + path + ": " + std::strerror(err);
    return false;
  }
  return true;
}

}  // namespace

std::u16string ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
      extra = 1; c = lead & 0x1F; minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2; c = lead & 0x0F; minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3; c = lead & 0x07; minimum = 0x10000;
    } else {
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    std::size_t used = 1;
    bool valid = true;
    for (int k = 0; k < extra; ++k) {
      if (i + used >= n || (static_cast<unsigned char>(utf8[i + used]) & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(utf8[i + used]) & 0x3F);
      ++used;
    }
    i += used;
    if (!valid || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(static_cast<char16_t>(kReplacement));
    } else if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::string ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::size_t WideLength(const WCHAR* s) {
  if (s == nullptr) return 0;
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

std::string DefaultRootDir() {
  std::string base;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
    base = data;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != 0) {
    base = std::string(home) + "/.local/share";
  } else {
    base = "/tmp";
  }
  return base + "/kelvaro-zt7700/root";
}

const std::string& RootDir() {
  RootState& state = State();
  std::lock_guard guard(state.lock);
  if (!state.chosen) {
    const char* env = std::getenv("KV_ROOT");
    state.dir = Absolute(env != nullptr && env[0] != 0 ? std::string(env) : DefaultRootDir());
    state.chosen = true;
  }
  return state.dir;
}

void SetRoot(std::string_view hostDir) {
  RootState& state = State();
  std::lock_guard guard(state.lock);
  state.dir = Absolute(hostDir);
  state.chosen = true;
}

bool EnsureRoot(std::string* error) {
  const std::string root = RootDir();
  static constexpr const char* kFolders[] = {
      "C/Windows/System32/spool/drivers/x64/3",
      "C/Windows/System32/spool/PRINTERS",
      "C/Windows/Temp",
      "C/Users/Public",
  };
  for (const char* folder : kFolders) {
    std::error_code ec;
    const std::string path = root + "/" + folder;
    std::filesystem::create_directories(path, ec);
    if (ec) {
      if (error) *error = "cannot create the folder " + path + ": " + ec.message();
      return false;
    }
  }
  std::lock_guard guard(ini::FileLock());
  const std::string settings = RootIniPath();
  ini::Document doc;
  doc.newline = "\n";
  int err = 0;
  if (!ini::Load(settings, &doc, &err) && err != ENOENT) {
    if (error) *error = "cannot read " + settings + ": " + std::strerror(err);
    return false;
  }
  auto country = ini::Get(doc, "locale", "country");
  if (!country) {
    ini::Set(doc, "locale", "country", "1");
    country = "1";
    if (!ini::Save(settings, doc, &err)) {
      if (error) *error = "cannot write " + settings + " (is the root folder writable?): " +
                          std::strerror(err);
      return false;
    }
  } else if (access(root.c_str(), W_OK) != 0) {
    if (error) *error = "the root folder " + root + " is not writable: " + std::strerror(errno);
    return false;
  }
  if (!Exists(HostPath(u"C:\\Windows\\win.ini"))) {
    if (!WriteWinIniCountry(*country, error)) return false;
  }
  return true;
}

std::string HostPath(const WCHAR* winPath) {
  return HostPath(std::u16string_view(winPath != nullptr ? winPath : u""));
}

std::string HostPath(std::u16string_view winPath) {
  std::string path = ToUtf8(winPath);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.rfind("//?/", 0) == 0 || path.rfind("//./", 0) == 0) path.erase(0, 4);

  std::string base;
  std::string_view rest(path);
  const bool hasDrive = path.size() >= 2 && path[1] == ':' &&
                        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  if (hasDrive) {
    const char letter = FoldAscii(path[0]);
    base = letter == 'Z' ? std::string("/") : RootDir() + "/" + letter;
    rest.remove_prefix(2);
  } else if (rest.rfind("//", 0) == 0) {
    base = RootDir() + "/UNC";
  } else if (!rest.empty() && rest.front() == '/') {
    base = RootDir() + "/C";
  } else {
    base = CurrentDir();
  }

  // Components, with "." and ".." resolved as Windows does (never above the base).
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find('/', start);
    if (end == std::string_view::npos) end = rest.size();
    std::string_view part = rest.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }

  std::string current = base;
  bool existing = Exists(current);
  std::string found;
  for (std::string_view part : parts) {
    std::string next = Join(current, part);
    if (existing && !Exists(next)) {
      if (FindIgnoringCase(current, part, &found)) {
        next = Join(current, found);
      } else {
        existing = false;
      }
    }
    current = std::move(next);
  }
  return current;
}

std::u16string WinPath(std::string_view hostPath) {
  const std::string path = Absolute(hostPath);
  const std::string& root = RootDir();
  if (path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 &&
      path[root.size()] == '/') {
    std::string_view inside = std::string_view(path).substr(root.size() + 1);
    const char letter = inside[0];
    if (letter >= 'A' && letter <= 'Y' && (inside.size() == 1 || inside[1] == '/')) {
      std::string win(1, letter);
      win += ":\\";
      if (inside.size() > 2) win += inside.substr(2);
      for (char& c : win) {
        if (c == '/') c = '\\';
      }
      return ToUtf16(win);
    }
  }
  std::string win = "Z:" + path;
  for (char& c : win) {
    if (c == '/') c = '\\';
  }
  return ToUtf16(win);
}

std::string RootSetting(std::string_view section, std::string_view key,
                        std::string_view fallback) {
  std::lock_guard guard(ini::FileLock());
  ini::Document doc;
  if (!ini::Load(RootIniPath(), &doc, nullptr)) return std::string(fallback);
  auto value = ini::Get(doc, section, key);
  return value ? *value : std::string(fallback);
}

bool SetRootSetting(std::string_view section, std::string_view key, std::string_view value) {
  std::lock_guard guard(ini::FileLock());
  const std::string path = RootIniPath();
  ini::Document doc;
  doc.newline = "\n";
  int err = 0;
  if (!ini::Load(path, &doc, &err) && err != ENOENT) return false;
  ini::Set(doc, section, key, value);
  if (!ini::Save(path, doc, &err)) return false;
  // Programs read the country from win.ini too; keep both in step.
  if (ini::SameName(section, "locale") && ini::SameName(key, "country") &&
      Exists(RootDir() + "/C/Windows")) {
    return WriteWinIniCountry(value, nullptr);
  }
  return true;
}

}  // namespace kvplat
