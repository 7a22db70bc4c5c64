#include "ini.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kvplat/root.h"

namespace kvplat::ini {
namespace {

constexpr char kBlanks[] = " \t\r\n\f\v";

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// "[name]" -> name; nullopt for other lines.
std::optional<std::string_view> SectionOf(std::string_view line) {
  std::string_view text = Trim(line);
  if (text.empty() || text.front() != '[') return std::nullopt;
  text.remove_prefix(1);
  const std::size_t close = text.find(']');
  if (close != std::string_view::npos) text = text.substr(0, close);
  return Trim(text);
}

struct Entry {
  std::string_view key;
  std::string_view value;
};

// A key line (anything but blanks, comments and headers).
std::optional<Entry> EntryOf(std::string_view line) {
  std::string_view text = Trim(line);
  if (text.empty() || text.front() == ';' || text.front() == '[') return std::nullopt;
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) return Entry{text, {}};
  return Entry{Trim(text.substr(0, eq)), Trim(text.substr(eq + 1))};
}

// Line ranges [begin, end) of every section with the given name (the header
// line is begin - 1).
std::vector<std::pair<std::size_t, std::size_t>> Ranges(const Document& doc,
                                                        std::string_view section) {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  bool inside = false;
  for (std::size_t i = 0; i < doc.lines.size(); ++i) {
    if (auto name = SectionOf(doc.lines[i])) {
      if (inside) ranges.back().second = i;
      inside = SameName(*name, section);
      if (inside) ranges.push_back({i + 1, doc.lines.size()});
    }
  }
  return ranges;
}

}  // namespace

std::mutex& FileLock() {
  static std::mutex lock;
  return lock;
}

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

Document Parse(std::string_view text) {
  Document doc;
  std::string converted;
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
      static_cast<unsigned char>(text[1]) == 0xFE) {
    std::u16string wide((text.size() - 2) / 2, u'\0');
    std::memcpy(wide.data(), text.data() + 2, wide.size() * 2);  // little-endian host
    converted = ToUtf8(wide);
    text = converted;
  } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }
  const std::size_t firstBreak = text.find('\n');
  doc.newline = (firstBreak != std::string_view::npos && firstBreak > 0 &&
                 text[firstBreak - 1] == '\r') ? "\r\n" : (firstBreak == std::string_view::npos ? "\r\n" : "\n");
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    doc.lines.emplace_back(line);
    start = end + 1;
  }
  return doc;
}

bool Load(const std::string& hostPath, Document* doc, int* error) {
  const int fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errno;
    return false;
  }
  std::string text;
  char chunk[8192];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (error) *error = errno;
      close(fd);
      return false;
    }
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  close(fd);
  *doc = Parse(text);
  return true;
}

bool Save(const std::string& hostPath, const Document& doc, int* error) {
  std::string text;
  for (const std::string& line : doc.lines) {
    text += line;
    text += doc.newline;
  }
  // A read-only file stays as it is, even though the rename would replace it.
  if (access(hostPath.c_str(), F_OK) == 0 && access(hostPath.c_str(), W_OK) != 0) {
    if (error) *error = EACCES;
    return false;
  }
  const std::string temp = hostPath + ".kvtmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (error) *error = errno;
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (error) *error = errno;
      close(fd);
      unlink(temp.c_str());
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  if (close(fd) != 0 || rename(temp.c_str(), hostPath.c_str()) != 0) {
    if (error) *error = errno;
    unlink(temp.c_str());
    return false;
  }
  return true;
}

std::optional<std::string> Get(const Document& doc, std::string_view section,
                               std::string_view key) {
  for (auto [begin, end] : Ranges(doc, section)) {
    for (std::size_t i = begin; i < end; ++i) {
      auto entry = EntryOf(doc.lines[i]);
      if (entry && SameName(entry->key, key)) return std::string(entry->value);
    }
  }
  return std::nullopt;
}

std::vector<std::string> Sections(const Document& doc) {
  std::vector<std::string> names;
  for (const std::string& line : doc.lines) {
    auto name = SectionOf(line);
    if (!name) continue;
    bool seen = false;
    for (const std::string& known : names) seen = seen || SameName(known, *name);
    if (!seen) names.emplace_back(*name);
  }
  return names;
}

std::vector<std::string> Keys(const Document& doc, std::string_view section) {
  std::vector<std::string> keys;
  for (auto [begin, end] : Ranges(doc, section)) {
    for (std::size_t i = begin; i < end; ++i) {
      auto entry = EntryOf(doc.lines[i]);
      if (!entry) continue;
      bool seen = false;
      for (const std::string& known : keys) seen = seen || SameName(known, entry->key);
      if (!seen) keys.emplace_back(entry->key);
    }
  }
  return keys;
}

bool HasSection(const Document& doc, std::string_view section) {
  return !Ranges(doc, section).empty();
}

void Set(Document& doc, std::string_view section, std::string_view key, std::string_view value) {
  std::string line = std::string(key) + "=" + std::string(value);
  auto ranges = Ranges(doc, section);
  for (auto [begin, end] : ranges) {
    for (std::size_t i = begin; i < end; ++i) {
      auto entry = EntryOf(doc.lines[i]);
      if (entry && SameName(entry->key, key)) {
        doc.lines[i] = std::string(entry->key) + "=" + std::string(value);
        return;
      }
    }
  }
  if (ranges.empty()) {
    if (!doc.lines.empty() && !Trim(doc.lines.back()).empty()) doc.lines.emplace_back();
    std::string header = "[";
    header.append(section).append("]");
    doc.lines.push_back(std::move(header));
    doc.lines.push_back(std::move(line));
    return;
  }
  // After the last non-blank line of the first section of that name.
  auto [begin, end] = ranges.front();
  std::size_t at = end;
  while (at > begin && Trim(doc.lines[at - 1]).empty()) --at;
  doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

bool DeleteKey(Document& doc, std::string_view section, std::string_view key) {
  bool removed = false;
  auto ranges = Ranges(doc, section);
  for (auto it = ranges.rbegin(); it != ranges.rend(); ++it) {
    for (std::size_t i = it->second; i-- > it->first;) {
      auto entry = EntryOf(doc.lines[i]);
      if (entry && SameName(entry->key, key)) {
        doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(i));
        removed = true;
      }
    }
  }
  return removed;
}

bool DeleteSection(Document& doc, std::string_view section) {
  auto ranges = Ranges(doc, section);
  for (auto it = ranges.rbegin(); it != ranges.rend(); ++it) {
    doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(it->first - 1),
                    doc.lines.begin() + static_cast<std::ptrdiff_t>(it->second));
  }
  return !ranges.empty();
}

}  // namespace kvplat::ini
