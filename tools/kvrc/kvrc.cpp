// kvrc: the resource compiler.
//
// Script language (UTF-8 text):
//
//   // a line comment            /* a block comment */
//
//   STRINGTABLE
//   BEGIN                        // "{" may stand for BEGIN, "}" for END
//     1001 "text"                // an optional comma may follow the id
//     1002, "two " "pieces"      // adjacent strings are joined
//   END
//
//   1 258 "fonts/font01.bin"     // <id> <type> "<file>": a binary resource of a
//   7 RCDATA "table.bin"         // numeric type (or RCDATA = 10) read from a file
//                                // relative to the script's folder
//
// Numbers are decimal or 0x hexadecimal. Keywords are case-insensitive.
// String escapes: \n \t \r \0 \\ \" \' \xHH (exactly two hex digits: the
// character U+00HH), \uHHHH and \UHHHHHHHH (a code point). Text is stored as
// UTF-16.
//
// Every statement starts either with a keyword (STRINGTABLE) or with a
// resource id followed by the resource's kind; a kind is a number (raw file
// data) or a keyword. New kinds (DIALOG, BITMAP, ...) are added as keywords in
// kResourceKinds, each with its own body parser.
//
// Output: string ids are grouped in blocks of 16; block b (= id / 16 + 1) is a
// resource of type 6 and id b holding 16 entries, each a little-endian uint16
// length followed by that many UTF-16 units. Resources are sorted by type,
// then id.
#include "kvrc.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace kvrc {
namespace {

enum class TokenKind { End, Number, Word, String, OpenBrace, CloseBrace, Comma };

struct Token {
  TokenKind kind = TokenKind::End;
  int line = 0;
  std::uint64_t number = 0;  // Number
  std::string word;          // Word (as written)
  std::u16string text;       // String (decoded)
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendCodePoint(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

class Lexer {
 public:
  Lexer(std::string_view text, std::string_view name) : text_(text), name_(name) {}

  // Reads the next token; false with `error` set on bad input.
  bool Next(Token& token, std::string& error) {
    SkipBlanks();
    if (!error_.empty()) {
      error = error_;
      return false;
    }
    token = Token{};
    token.line = line_;
    if (pos_ >= text_.size()) return true;
    const char c = text_[pos_];
    if (c == '{' || c == '}' || c == ',') {
      ++pos_;
      token.kind = c == '{' ? TokenKind::OpenBrace
                   : c == '}' ? TokenKind::CloseBrace
                              : TokenKind::Comma;
      return true;
    }
    if (c == '"') return ReadString(token, error);
    if (c >= '0' && c <= '9') return ReadNumber(token, error);
    if (IsWordChar(c)) {
      const std::size_t start = pos_;
      while (pos_ < text_.size() && (IsWordChar(text_[pos_]) || IsDigit(text_[pos_]))) ++pos_;
      token.kind = TokenKind::Word;
      token.word = std::string(text_.substr(start, pos_ - start));
      return true;
    }
    error = Message(line_, "unexpected character " + Describe(c));
    return false;
  }

  std::string Message(int line, const std::string& what) const {
    return std::string(name_) + ":" + std::to_string(line) + ": error: " + what;
  }

 private:
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  static bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  }
  static std::string Describe(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u < 0x7F) return std::string("'") + c + "'";
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", u);
    return buf;
  }

  void SkipBlanks() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
        const int startLine = line_;
        pos_ += 2;
        for (;;) {
          if (pos_ + 1 >= text_.size()) {
            error_ = Message(startLine, "unterminated comment");
            pos_ = text_.size();
            return;
          }
          if (text_[pos_] == '*' && text_[pos_ + 1] == '/') {
            pos_ += 2;
            break;
          }
          if (text_[pos_] == '\n') ++line_;
          ++pos_;
        }
      } else if (pos_ == 0 && text_.substr(0, 3) == "\xEF\xBB\xBF") {
        pos_ = 3;  // byte order mark
      } else {
        return;
      }
    }
  }

  bool ReadNumber(Token& token, std::string& error) {
    const std::size_t start = pos_;
    int base = 10;
    if (text_[pos_] == '0' && pos_ + 1 < text_.size() &&
        (text_[pos_ + 1] == 'x' || text_[pos_ + 1] == 'X')) {
      base = 16;
      pos_ += 2;
    }
    std::uint64_t value = 0;
    std::size_t digits = 0;
    bool overflow = false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      const int d = base == 16 ? HexValue(c) : (IsDigit(c) ? c - '0' : -1);
      if (d < 0) break;
      value = value * base + d;
      if (value > 0xFFFFFFFFull) overflow = true;
      ++digits;
      ++pos_;
    }
    if (pos_ < text_.size() && (IsWordChar(text_[pos_]) || IsDigit(text_[pos_]))) {
      while (pos_ < text_.size() && (IsWordChar(text_[pos_]) || IsDigit(text_[pos_]))) ++pos_;
      error = Message(line_, "malformed number '" +
                                 std::string(text_.substr(start, pos_ - start)) + "'");
      return false;
    }
    if (digits == 0) {
      error = Message(line_, "malformed number '" +
                                 std::string(text_.substr(start, pos_ - start)) + "'");
      return false;
    }
    if (overflow) {
      error = Message(line_, "number '" + std::string(text_.substr(start, pos_ - start)) +
                                 "' is too large");
      return false;
    }
    token.kind = TokenKind::Number;
    token.number = value;
    return true;
  }

  // Decodes one UTF-8 sequence at pos_; false on a malformed one.
  bool DecodeUtf8(char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(text_[pos_]);
    int extra = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      cp = b0 & 0x1F;
      extra = 1;
      min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      cp = b0 & 0x0F;
      extra = 2;
      min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      cp = b0 & 0x07;
      extra = 3;
      min = 0x10000;
    } else {
      return false;
    }
    if (extra > 0 && pos_ + extra >= text_.size()) return false;
    for (int i = 1; i <= extra; ++i) {
      const auto b = static_cast<unsigned char>(text_[pos_ + i]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (extra && cp < min) return false;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    pos_ += 1 + extra;
    return true;
  }

  bool ReadString(Token& token, std::string& error) {
    const int startLine = line_;
    ++pos_;  // opening quote
    std::u16string out;
    for (;;) {
      if (pos_ >= text_.size() || text_[pos_] == '\n') {
        error = Message(startLine, "unterminated string");
        return false;
      }
      const char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        break;
      }
      if (c != '\\') {
        char32_t cp = 0;
        if (!DecodeUtf8(cp)) {
          error = Message(line_, "invalid UTF-8 in string");
          return false;
        }
        AppendCodePoint(out, cp);
        continue;
      }
      ++pos_;
      if (pos_ >= text_.size() || text_[pos_] == '\n') {
        error = Message(startLine, "unterminated string");
        return false;
      }
      const char e = text_[pos_++];
      switch (e) {
        case 'n': out.push_back(u'\n'); break;
        case 't': out.push_back(u'\t'); break;
        case 'r': out.push_back(u'\r'); break;
        case '0': out.push_back(u'\0'); break;
        case '\\': out.push_back(u'\\'); break;
        case '"': out.push_back(u'"'); break;
        case '\'': out.push_back(u'\''); break;
        case 'x':
        case 'u':
        case 'U': {
          const int count = e == 'x' ? 2 : e == 'u' ? 4 : 8;
          char32_t cp = 0;
          for (int i = 0; i < count; ++i) {
            const int d = pos_ < text_.size() ? HexValue(text_[pos_]) : -1;
            if (d < 0) {
              error = Message(line_, std::string("escape \\") + e + " needs " +
                                         std::to_string(count) + " hex digits");
              return false;
            }
            cp = cp * 16 + static_cast<char32_t>(d);
            ++pos_;
          }
          if (e != 'x' && (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) {
            error = Message(line_, std::string("escape \\") + e + " names no character");
            return false;
          }
          AppendCodePoint(out, cp);
          break;
        }
        default:
          error = Message(line_, "unknown escape '\\" + std::string(1, e) + "'");
          return false;
      }
    }
    token.kind = TokenKind::String;
    token.text = std::move(out);
    return true;
  }

  std::string_view text_;
  std::string_view name_;
  std::size_t pos_ = 0;
  int line_ = 1;
  std::string error_;
};

struct StringEntry {
  std::u16string text;
  int line = 0;
};

struct ResourceKey {
  std::uint32_t type;
  std::uint32_t id;
  auto operator<=>(const ResourceKey&) const = default;
};

struct PendingResource {
  std::vector<std::uint8_t> data;
  int line = 0;
};

class Parser;
using KindParser = bool (Parser::*)(std::uint32_t id, std::uint32_t type, int line);

struct ResourceKind {
  std::string_view keyword;
  std::uint32_t type;
  KindParser parse;
};

class Parser {
 public:
  Parser(std::string_view text, std::string_view name, const std::filesystem::path& baseDir,
         Compiled& out)
      : lexer_(text, name), baseDir_(baseDir), out_(out) {}

  bool Run(std::string& error);

  bool ParseFileBody(std::uint32_t id, std::uint32_t type, int line);

 private:
  bool Advance() { return lexer_.Next(tok_, error_); }
  bool Fail(int line, const std::string& what) {
    error_ = lexer_.Message(line, what);
    return false;
  }
  static std::string Show(const Token& t) {
    switch (t.kind) {
      case TokenKind::End: return "end of file";
      case TokenKind::Number: return "number " + std::to_string(t.number);
      case TokenKind::Word: return "'" + t.word + "'";
      case TokenKind::String: return "a string";
      case TokenKind::OpenBrace: return "'{'";
      case TokenKind::CloseBrace: return "'}'";
      case TokenKind::Comma: return "','";
    }
    return "?";
  }
  bool IsWord(std::string_view w) const {
    return tok_.kind == TokenKind::Word && EqualsNoCase(tok_.word, w);
  }
  bool ParseStringTable();
  bool ParseResource();
  bool AddResource(std::uint32_t type, std::uint32_t id, int line, std::vector<std::uint8_t> data);
  void BuildStringBlocks();

  Lexer lexer_;
  std::filesystem::path baseDir_;
  Compiled& out_;
  Token tok_;
  std::string error_;
  std::map<std::uint32_t, StringEntry> strings_;
  std::map<ResourceKey, PendingResource> resources_;
};

// Resource kinds named by keyword. A numeric kind is raw file data of that type.
constexpr std::array<ResourceKind, 1> kResourceKinds{{
    {"RCDATA", kTypeRcData, &Parser::ParseFileBody},
}};

bool Parser::Run(std::string& error) {
  if (!Advance()) {
    error = error_;
    return false;
  }
  bool ok = true;
  while (ok && tok_.kind != TokenKind::End) {
    if (IsWord("STRINGTABLE")) {
      ok = ParseStringTable();
    } else if (tok_.kind == TokenKind::Number) {
      ok = ParseResource();
    } else if (tok_.kind == TokenKind::Word) {
      ok = Fail(tok_.line, "unknown keyword '" + tok_.word + "'");
    } else {
      ok = Fail(tok_.line, "expected a keyword or a resource id, found " + Show(tok_));
    }
  }
  if (!ok) {
    error = error_;
    return false;
  }
  BuildStringBlocks();
  out_.resources.clear();
  out_.resources.reserve(resources_.size());
  for (auto& [key, res] : resources_) {
    out_.resources.push_back(Resource{key.type, key.id, std::move(res.data)});
  }
  return true;
}

bool Parser::ParseStringTable() {
  const int tableLine = tok_.line;
  if (!Advance()) return false;
  if (!(IsWord("BEGIN") || tok_.kind == TokenKind::OpenBrace)) {
    return Fail(tok_.line, "expected BEGIN after STRINGTABLE, found " + Show(tok_));
  }
  if (!Advance()) return false;
  for (;;) {
    if (IsWord("END") || tok_.kind == TokenKind::CloseBrace) return Advance();
    if (tok_.kind == TokenKind::End) {
      return Fail(tableLine, "STRINGTABLE without END");
    }
    if (tok_.kind != TokenKind::Number) {
      return Fail(tok_.line, "expected a string id or END, found " + Show(tok_));
    }
    const std::uint64_t id = tok_.number;
    const int line = tok_.line;
    if (id > 0xFFFF) return Fail(line, "string id " + std::to_string(id) + " is out of range (0..65535)");
    if (!Advance()) return false;
    if (tok_.kind == TokenKind::Comma && !Advance()) return false;
    if (tok_.kind != TokenKind::String) {
      return Fail(tok_.line, "expected a string after id " + std::to_string(id) + ", found " + Show(tok_));
    }
    std::u16string text;
    while (tok_.kind == TokenKind::String) {
      text += tok_.text;
      if (!Advance()) return false;
    }
    if (text.size() > 0xFFFF) return Fail(line, "string " + std::to_string(id) + " is too long");
    const auto [it, inserted] =
        strings_.emplace(static_cast<std::uint32_t>(id), StringEntry{std::move(text), line});
    if (!inserted) {
      return Fail(line, "duplicate string id " + std::to_string(id) + " (first defined on line " +
                            std::to_string(it->second.line) + ")");
    }
  }
}

bool Parser::ParseResource() {
  const std::uint64_t id = tok_.number;
  const int line = tok_.line;
  if (id == 0 || id > 0xFFFF) {
    return Fail(line, "resource id " + std::to_string(id) + " is out of range (1..65535)");
  }
  if (!Advance()) return false;
  if (tok_.kind == TokenKind::Number) {
    const std::uint64_t type = tok_.number;
    if (type == 0 || type > 0xFFFF) {
      return Fail(tok_.line, "resource type " + std::to_string(type) + " is out of range (1..65535)");
    }
    if (type == kTypeStringBlock) {
      return Fail(tok_.line, "resource type 6 is reserved for string tables; use STRINGTABLE");
    }
    if (!Advance()) return false;
    return ParseFileBody(static_cast<std::uint32_t>(id), static_cast<std::uint32_t>(type), line);
  }
  if (tok_.kind == TokenKind::Word) {
    for (const ResourceKind& kind : kResourceKinds) {
      if (EqualsNoCase(tok_.word, kind.keyword)) {
        if (!Advance()) return false;
        return (this->*kind.parse)(static_cast<std::uint32_t>(id), kind.type, line);
      }
    }
    return Fail(tok_.line, "unknown resource kind '" + tok_.word + "'");
  }
  return Fail(tok_.line, "expected a resource type after id " + std::to_string(id) + ", found " + Show(tok_));
}

std::string Narrow(const std::u16string& s) {
  // File names: back to UTF-8.
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size()) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

bool ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& data) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool Parser::ParseFileBody(std::uint32_t id, std::uint32_t type, int line) {
  if (tok_.kind != TokenKind::String) {
    return Fail(tok_.line, "expected a file name for resource " + std::to_string(id) + ", found " + Show(tok_));
  }
  const std::string name = Narrow(tok_.text);
  const int fileLine = tok_.line;
  if (!Advance()) return false;
  if (name.empty()) return Fail(fileLine, "empty file name for resource " + std::to_string(id));
  const std::filesystem::path path = (baseDir_ / std::filesystem::path(name)).lexically_normal();
  std::vector<std::uint8_t> data;
  if (!ReadWholeFile(path, data)) {
    return Fail(fileLine, "cannot read file '" + name + "' (" + path.string() + ")");
  }
  if (data.size() > 0xFFFFFFFFull) return Fail(fileLine, "file '" + name + "' is too large");
  if (std::find(out_.dependencies.begin(), out_.dependencies.end(), path) == out_.dependencies.end()) {
    out_.dependencies.push_back(path);
  }
  return AddResource(type, id, line, std::move(data));
}

bool Parser::AddResource(std::uint32_t type, std::uint32_t id, int line,
                         std::vector<std::uint8_t> data) {
  const auto [it, inserted] = resources_.emplace(ResourceKey{type, id}, PendingResource{std::move(data), line});
  if (!inserted) {
    return Fail(line, "duplicate resource " + std::to_string(id) + " of type " + std::to_string(type) +
                          " (first defined on line " + std::to_string(it->second.line) + ")");
  }
  return true;
}

void Parser::BuildStringBlocks() {
  auto it = strings_.begin();
  while (it != strings_.end()) {
    const std::uint32_t block = it->first / kStringsPerBlock;
    std::array<const std::u16string*, kStringsPerBlock> slots{};
    for (; it != strings_.end() && it->first / kStringsPerBlock == block; ++it) {
      slots[it->first % kStringsPerBlock] = &it->second.text;
    }
    std::vector<std::uint8_t> data;
    for (const std::u16string* s : slots) {
      const std::size_t n = s ? s->size() : 0;
      data.push_back(static_cast<std::uint8_t>(n & 0xFF));
      data.push_back(static_cast<std::uint8_t>(n >> 8));
      for (std::size_t i = 0; i < n; ++i) {
        data.push_back(static_cast<std::uint8_t>((*s)[i] & 0xFF));
        data.push_back(static_cast<std::uint8_t>((*s)[i] >> 8));
      }
    }
    resources_.emplace(ResourceKey{kTypeStringBlock, block + 1}, PendingResource{std::move(data), 0});
  }
}

// Escapes a path for a Make rule.
std::string MakeEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == ' ' || c == '#' || c == '\\') out.push_back('\\');
    if (c == '$') out.push_back('$');
    out.push_back(c);
  }
  return out;
}

}  // namespace

bool CompileText(std::string_view text, std::string_view scriptName,
                 const std::filesystem::path& baseDir, Compiled& out, std::string& error) {
  Parser parser(text, scriptName, baseDir, out);
  return parser.Run(error);
}

bool CompileFile(const std::filesystem::path& script, Compiled& out, std::string& error) {
  std::vector<std::uint8_t> bytes;
  if (!ReadWholeFile(script, bytes)) {
    error = script.string() + ": error: cannot read the resource script";
    return false;
  }
  out.dependencies.clear();
  out.dependencies.push_back(script.lexically_normal());
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return CompileText(text, script.string(), script.parent_path(), out, error);
}

std::string GenerateSource(std::span<const Resource> resources, std::string_view scriptName) {
  std::size_t estimate = 512;
  for (const Resource& r : resources) estimate += 128 + r.data.size() * 6;
  std::string s;
  s.reserve(estimate);
  s += "// Generated by kvrc from ";
  s += scriptName;
  s += ". Do not edit.\n#include <cstdint>\n\n#include \"kvplat/resources.h\"\n\nnamespace {\n\n";
  char buf[64];
  for (std::size_t i = 0; i < resources.size(); ++i) {
    const Resource& r = resources[i];
    std::snprintf(buf, sizeof buf, "// type %u, id %u, %zu bytes\n", r.type, r.id, r.data.size());
    s += buf;
    std::snprintf(buf, sizeof buf, "alignas(8) const std::uint8_t kData%zu[] = {", i);
    s += buf;
    if (r.data.empty()) s += "0";  // arrays cannot be empty; the size stays 0
    for (std::size_t j = 0; j < r.data.size(); ++j) {
      s += (j % 16 == 0) ? "\n    " : " ";
      std::snprintf(buf, sizeof buf, "0x%02x,", r.data[j]);
      s += buf;
    }
    s += "\n};\n\n";
  }
  if (!resources.empty()) {
    s += "const KvResourceEntry kEntries[] = {\n";
    for (std::size_t i = 0; i < resources.size(); ++i) {
      std::snprintf(buf, sizeof buf, "    {%uu, %uu, nullptr, nullptr, kData%zu, %zuu},\n",
                    resources[i].type, resources[i].id, i, resources[i].data.size());
      s += buf;
    }
    s += "};\n\n";
  }
  s += "}  // namespace\n\nextern \"C\" __attribute__((visibility(\"default\"))) const KvResourceDirectory "
       "kv_resource_directory = {";
  std::snprintf(buf, sizeof buf, "%zuu, ", resources.size());
  s += buf;
  s += resources.empty() ? "nullptr};\n" : "kEntries};\n";
  return s;
}

std::string GenerateDepfile(const std::filesystem::path& target,
                            std::span<const std::filesystem::path> deps) {
  std::string s = MakeEscape(target.string()) + ":";
  for (const auto& d : deps) {
    s += " \\\n  ";
    s += MakeEscape(d.string());
  }
  s += "\n";
  return s;
}

const Resource* FindResource(std::span<const Resource> resources, std::uint32_t type,
                             std::uint32_t id) {
  for (const Resource& r : resources) {
    if (r.type == type && r.id == id) return &r;
  }
  return nullptr;
}

std::optional<std::u16string> FindString(std::span<const Resource> resources, std::uint32_t id) {
  const Resource* block = FindResource(resources, kTypeStringBlock, id / kStringsPerBlock + 1);
  if (!block) return std::nullopt;
  std::size_t pos = 0;
  const auto& d = block->data;
  for (std::uint32_t slot = 0;; ++slot) {
    if (pos + 2 > d.size()) return std::nullopt;
    const std::size_t n = d[pos] | (d[pos + 1] << 8);
    pos += 2;
    if (pos + n * 2 > d.size()) return std::nullopt;
    if (slot == id % kStringsPerBlock) {
      if (n == 0) return std::nullopt;
      std::u16string out(n, u'\0');
      for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<char16_t>(d[pos + 2 * i] | (d[pos + 2 * i + 1] << 8));
      }
      return out;
    }
    pos += n * 2;
  }
}

}  // namespace kvrc
