// Profile (ini) text files as the platform reads and writes them: UTF-8 lines
// (UTF-16LE with a byte order mark is accepted on reading), "[section]"
// headers and "key=value" entries, names compared without regard to case.
// Edits keep every other line, comment and the file's line ending untouched.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvplat::ini {

struct Document {
  std::vector<std::string> lines;  // without line endings
  std::string newline = "\r\n";    // the file's own line ending
};

// Reads a profile file. False when it cannot be read; *error gets errno.
bool Load(const std::string& hostPath, Document* doc, int* error);
// Writes the file whole as UTF-8 (through a temporary file renamed over it).
bool Save(const std::string& hostPath, const Document& doc, int* error);
Document Parse(std::string_view text);

// Held around read-modify-write of any profile file of the process.
std::mutex& FileLock();

bool SameName(std::string_view a, std::string_view b);
std::string_view Trim(std::string_view text);

// The value of a key, trimmed of blanks (quotes are left to the caller).
std::optional<std::string> Get(const Document& doc, std::string_view section,
                               std::string_view key);
// Section names in file order, each once.
std::vector<std::string> Sections(const Document& doc);
// Key names of a section in file order, each once.
std::vector<std::string> Keys(const Document& doc, std::string_view section);
bool HasSection(const Document& doc, std::string_view section);

void Set(Document& doc, std::string_view section, std::string_view key, std::string_view value);
bool DeleteKey(Document& doc, std::string_view section, std::string_view key);
bool DeleteSection(Document& doc, std::string_view section);

}  // namespace kvplat::ini
