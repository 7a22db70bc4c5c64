#include "pcl_decoder.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kvtools::pcl {
namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kEtx = 0x03;
// Raster rows longer than this are clipped (a PCL raster width cannot describe more).
constexpr size_t kMaxRowBytes = 65536;
// Value fields and HP-GL/2 numbers longer than this are shortened in names.
constexpr size_t kMaxNumberText = 32;
constexpr size_t kHeadBytes = 16;
constexpr char kUel[] = "\x1b%-12345X";
constexpr size_t kUelSize = sizeof(kUel) - 1;

struct ControlCode {
  uint8_t byte;
  const char* name;
};
constexpr ControlCode kControls[] = {
    {0x08, "BS"}, {0x09, "HT"}, {0x0A, "LF"}, {0x0C, "FF"},
    {0x0D, "CR"}, {0x0E, "SO"}, {0x0F, "SI"},
};

const char* ControlName(uint8_t b) {
  for (const ControlCode& c : kControls) {
    if (c.byte == b) return c.name;
  }
  return nullptr;
}

// PCL commands whose value is the byte count of the binary data that follows them.
struct DataCommand {
  char parameterized;
  char group;
  char terminator;
};
constexpr DataCommand kDataCommands[] = {
    {'*', 'b', 'W'},  // raster row or adaptive block
    {'*', 'b', 'V'},  // raster plane
    {'(', 's', 'W'},  // character download
    {')', 's', 'W'},  // font header
    {'*', 'c', 'W'},  // user-defined pattern
    {'&', 'p', 'X'},  // transparent print data
    {'*', 'v', 'W'},  // configure image data
    {'(', 'f', 'W'},  // symbol set definition
    {'&', 'n', 'W'},  // alphanumeric id
    {'*', 'm', 'W'},  // dither matrix
    {'*', 'l', 'W'},  // colour lookup table
    {'*', 'i', 'W'},  // viewing illuminant
    {'*', 'o', 'W'},  // driver configuration
    {'*', 'g', 'W'},  // configure raster data
    {'&', 'b', 'W'},  // AppleTalk configuration
};

bool CarriesData(char parameterized, char group, char terminator) {
  for (const DataCommand& c : kDataCommands) {
    if (c.parameterized == parameterized && c.group == group && c.terminator == terminator) {
      return true;
    }
  }
  return false;
}

constexpr const char* kFormNames[] = {"unencoded", "run-length", "PackBits",
                                      "delta",     "empty",      "duplicate"};

const char* FormName(int form) {
  return form >= 0 && form < 6 ? kFormNames[form] : "unknown";
}

const char* MethodName(int method) {
  switch (method) {
    case 0: return "unencoded";
    case 1: return "run-length";
    case 2: return "PackBits";
    case 3: return "delta row";
    case 5: return "adaptive";
    default: return nullptr;
  }
}

bool IsDigit(uint8_t b) { return b >= '0' && b <= '9'; }
bool IsLetter(uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }
bool IsBlank(uint8_t b) { return b == ' ' || b == '\t' || b == '\r' || b == '\n'; }
char Upper(uint8_t b) { return (b >= 'a' && b <= 'z') ? char(b - 32) : char(b); }

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A zero byte contributes nothing, so white padding never changes a row's hash;
// the sum lets the delta decoder update the hash byte by byte.
uint64_t ByteHash(size_t index, uint8_t b) {
  return b == 0 ? 0 : Mix((uint64_t(index) << 8) | b);
}

std::string Hex(const uint8_t* p, size_t n, size_t max) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  const size_t shown = std::min(n, max);
  s.reserve(shown * 2 + 3);
  for (size_t i = 0; i < shown; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  if (n > max) s += "...";
  return s;
}

std::string ByteName(uint8_t b) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", b);
  return buf;
}

void AppendEscaped(std::string& out, std::string_view bytes, bool quotes = true) {
  for (unsigned char c : bytes) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += quotes ? "\\\"" : "\""; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += char(c);
        } else {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        }
    }
  }
}

std::string Escaped(std::string_view bytes, bool quotes = true) {
  std::string s;
  s.reserve(bytes.size() + 8);
  AppendEscaped(s, bytes, quotes);
  return s;
}

std::string Bytes(size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

void AddNote(Command& cmd, std::string_view note, bool malformed) {
  if (!cmd.note.empty()) cmd.note += "; ";
  cmd.note += note;
  if (malformed) cmd.malformed = true;
}

uint16_t Be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
int16_t Be16s(const uint8_t* p) { return int16_t(Be16(p)); }
uint32_t Be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

std::string Num(int64_t v) { return std::to_string(v); }

std::string Coordinate(int64_t v, int frac_bits) {
  if (frac_bits <= 0) return Num(v);
  char buf[40];
  const double scaled = std::ldexp(double(v), -frac_bits);
  auto r = std::to_chars(buf, buf + sizeof buf, scaled);
  return std::string(buf, r.ptr);
}

// Sums bytes [from, to) modulo 256.
uint8_t ByteSum(const uint8_t* p, size_t from, size_t to) {
  unsigned sum = 0;
  for (size_t i = from; i < to; ++i) sum += p[i];
  return uint8_t(sum);
}

enum class Mode : uint8_t { Pjl, Pcl, Hpgl, Foreign };

class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> stream) : d_(stream.data()), n_(stream.size()) {}

  std::vector<Command> Run() {
    while (pos_ < n_) {
      const size_t before = pos_;
      const Mode mode = mode_;
      switch (mode_) {
        case Mode::Pjl: StepPjl(); break;
        case Mode::Pcl: StepPcl(); break;
        case Mode::Hpgl: StepHpgl(); break;
        case Mode::Foreign: StepForeign(); break;
      }
      if (pos_ == before && mode_ == mode) {  // never stall
        AddUnknown(pos_, 1, "byte not decoded");
        ++pos_;
      }
    }
    return std::move(out_);
  }

 private:
  Command Make(Kind kind, size_t offset, size_t size) {
    Command c;
    c.kind = kind;
    c.offset = offset;
    c.size = size;
    return c;
  }

  size_t Push(Command&& c) {
    out_.push_back(std::move(c));
    return out_.size() - 1;
  }

  void AddUnknown(size_t offset, size_t size, std::string_view why) {
    Command c = Make(Kind::Unknown, offset, size);
    c.name = "unknown";
    c.data_offset = offset;
    c.data_size = size;
    c.summary = Hex(d_ + offset, size, kHeadBytes);
    AddNote(c, why, true);
    Push(std::move(c));
  }

  bool At(size_t p, const char* s, size_t len) const {
    return p + len <= n_ && std::memcmp(d_ + p, s, len) == 0;
  }

  // ---- PJL ---------------------------------------------------------------

  void StepPjl() {
    if (d_[pos_] == kEsc) {
      if (!At(pos_, kUel, kUelSize)) mode_ = Mode::Pcl;  // implicit switch
      else Escape();
      return;
    }
    if (!At(pos_, "@PJL", 4)) {
      mode_ = Mode::Pcl;  // anything else is data of the default language
      return;
    }
    const size_t start = pos_;
    const void* lf = std::memchr(d_ + start, '\n', n_ - start);
    const size_t end = lf ? size_t(static_cast<const uint8_t*>(lf) - d_) + 1 : n_;
    Command c = Make(Kind::Pjl, start, end - start);
    c.text.assign(reinterpret_cast<const char*>(d_ + start), end - start);
    size_t line_end = c.text.size();
    while (line_end > 0 && (c.text[line_end - 1] == '\n' || c.text[line_end - 1] == '\r')) {
      --line_end;
    }
    c.name = c.text.substr(0, line_end);
    if (!lf) AddNote(c, "PJL line not ended by LF", true);
    pos_ = end;
    const std::string language = EnteredLanguage(c.name);
    if (!language.empty()) {
      if (language == "PCL") {
        mode_ = Mode::Pcl;
      } else if (language == "HPGL2" || language == "HPGL") {
        mode_ = Mode::Hpgl;
      } else {
        mode_ = Mode::Foreign;
        foreign_ = language;
      }
    }
    Push(std::move(c));
  }

  // The language of an "@PJL ENTER LANGUAGE=x" line, upper case, or "".
  static std::string EnteredLanguage(std::string_view line) {
    std::string up;
    up.reserve(line.size());
    for (char ch : line) up += Upper(uint8_t(ch));
    size_t p = 4;  // after "@PJL"
    auto skip = [&] {
      while (p < up.size() && (up[p] == ' ' || up[p] == '\t')) ++p;
    };
    auto word = [&](std::string_view w) {
      skip();
      if (up.compare(p, w.size(), w) != 0) return false;
      p += w.size();
      return true;
    };
    if (!word("ENTER") || !word("LANGUAGE") || !word("=")) return {};
    skip();
    size_t e = p;
    while (e < up.size() && up[e] != ' ' && up[e] != '\t') ++e;
    return up.substr(p, e - p);
  }

  void StepForeign() {
    const size_t start = pos_;
    size_t p = start;
    while (p < n_) {
      const void* esc = std::memchr(d_ + p, kEsc, n_ - p);
      if (!esc) {
        p = n_;
        break;
      }
      p = size_t(static_cast<const uint8_t*>(esc) - d_);
      if (At(p, kUel, kUelSize)) break;
      ++p;
    }
    if (p > start) {
      Command c = Make(Kind::Data, start, p - start);
      c.name = "data";
      c.data_offset = start;
      c.data_size = c.data_declared = p - start;
      c.summary = foreign_ + " data";
      Push(std::move(c));
    }
    pos_ = p;
    if (pos_ < n_) Escape();  // the UEL
  }

  // ---- PCL ---------------------------------------------------------------

  void StepPcl() {
    const uint8_t b = d_[pos_];
    if (b == kEsc) {
      Escape();
      return;
    }
    if (const char* name = ControlName(b)) {
      Command c = Make(Kind::Text, pos_, 1);
      c.name = name;
      c.text.assign(1, char(b));
      Push(std::move(c));
      ++pos_;
      return;
    }
    size_t e = pos_;
    while (e < n_ && d_[e] != kEsc && !ControlName(d_[e])) ++e;
    Command c = Make(Kind::Text, pos_, e - pos_);
    c.name = "text";
    c.text.assign(reinterpret_cast<const char*>(d_ + pos_), e - pos_);
    Push(std::move(c));
    pos_ = e;
  }

  // Decodes the escape sequence at pos_ (PCL and HP-GL/2 modes, and the UEL).
  void Escape() {
    const size_t start = pos_;
    if (start + 1 >= n_) {
      AddUnknown(start, 1, "escape sequence cut off by the end of the data");
      pos_ = n_;
      return;
    }
    const uint8_t c = d_[start + 1];
    if (c >= 0x30 && c <= 0x7E) {
      Command cmd = Make(Kind::Pcl, start, 2);
      cmd.name = "ESC ";
      cmd.name += char(c);
      cmd.terminator = char(c);
      pos_ = start + 2;
      Handle(std::move(cmd));
      return;
    }
    if (c < 0x21 || c > 0x2F) {
      AddUnknown(start, 1, "ESC followed by " + ByteName(c) + " starts no command");
      pos_ = start + 1;
      return;
    }
    const char parameterized = char(c);
    size_t p = start + 2;
    char group = 0;
    if (p < n_ && d_[p] >= 0x60 && d_[p] <= 0x7E) group = char(d_[p++]);
    size_t cmd_start = start;
    bool first = true;
    for (;;) {
      const size_t value_start = p;
      if (p < n_ && (d_[p] == '+' || d_[p] == '-')) ++p;
      while (p < n_ && IsDigit(d_[p])) ++p;
      if (p < n_ && d_[p] == '.') {
        ++p;
        while (p < n_ && IsDigit(d_[p])) ++p;
      }
      if (p >= n_) {
        AddUnknown(cmd_start, n_ - cmd_start,
                   first ? "escape sequence cut off by the end of the data"
                         : "combined escape sequence cut off by the end of the data");
        pos_ = n_;
        return;
      }
      const uint8_t t = d_[p];
      const bool more = t >= 0x60 && t <= 0x7E;
      const bool last = t >= 0x40 && t <= 0x5E;
      if (!more && !last) {
        const std::string why = "escape sequence broken by byte " + ByteName(t);
        if (p > cmd_start) {
          AddUnknown(cmd_start, p - cmd_start, why);
        } else if (!out_.empty()) {
          AddNote(out_.back(), "combined sequence not ended by an upper-case terminator", true);
        }
        pos_ = p;
        return;
      }
      Command cmd = Make(Kind::Pcl, cmd_start, p + 1 - cmd_start);
      cmd.parameterized = parameterized;
      cmd.group = group;
      cmd.terminator = more ? char(t - 0x20) : char(t);
      const size_t value_len = p - value_start;
      const char* value = reinterpret_cast<const char*>(d_ + value_start);
      if (value_len > kMaxNumberText) {
        cmd.value_text.assign(value, kMaxNumberText);
        cmd.value_text += "...";
        AddNote(cmd, "value field of " + std::to_string(value_len) + " characters", true);
      } else {
        cmd.value_text.assign(value, value_len);
      }
      cmd.has_value = std::any_of(value, value + value_len, [](char ch) { return IsDigit(ch); });
      if (cmd.has_value) {
        const char* b = value + (value[0] == '+' ? 1 : 0);
        double v = 0;
        auto r = std::from_chars(b, value + value_len, v);
        cmd.value = r.ec == std::errc() ? v : (value[0] == '-' ? -HUGE_VAL : HUGE_VAL);
      }
      cmd.name = "ESC ";
      cmd.name += parameterized;
      if (group) cmd.name += group;
      cmd.name += cmd.value_text;
      cmd.name += cmd.terminator;
      if (parameterized == '&' && group == 't' && cmd.terminator == 'P' && cmd.has_value) {
        parsing_method_ = static_cast<int>(cmd.value);
      }
      ++p;
      if (CarriesData(parameterized, group, cmd.terminator)) {
        size_t declared = 0;
        if (cmd.value < 0) {
          AddNote(cmd, "negative byte count taken as 0", true);
        } else if (cmd.value >= double(n_) + 1) {
          declared = n_ + 1;  // more than the whole stream: cut off below
        } else {
          declared = size_t(cmd.value);
        }
        const size_t present = std::min(declared, n_ - p);
        cmd.data_offset = p;
        cmd.data_size = present;
        cmd.data_declared = declared;
        if (present < declared) {
          AddNote(cmd, "data cut off: " + std::to_string(present) + " of " + cmd.value_text +
                           " bytes present", true);
        }
        p += present;
        cmd.size = p - cmd_start;
      }
      pos_ = p;
      Handle(std::move(cmd));
      if (last || p >= n_) {
        if (!last && p >= n_ && !out_.empty()) {
          AddNote(out_.back(), "combined sequence not ended by an upper-case terminator", true);
        }
        pos_ = p;
        return;
      }
      first = false;
      cmd_start = p;
    }
  }

  bool IsUel(const Command& c) const {
    return c.parameterized == '%' && c.group == 0 && c.terminator == 'X' &&
           c.value_text == "-12345";
  }

  // Acts on one PCL command: mode switches, state, payload summaries.
  void Handle(Command&& cmd) {
    const char p = cmd.parameterized;
    const char g = cmd.group;
    const char t = cmd.terminator;
    if (IsUel(cmd)) {
      cmd.kind = Kind::Uel;
      cmd.name = "UEL";
      ResetPrinter();
      mode_ = Mode::Pjl;
      Push(std::move(cmd));
      return;
    }
    if (p == 0 && t == 'E') {  // ESC E: printer reset
      ResetPrinter();
      mode_ = Mode::Pcl;
      Push(std::move(cmd));
      return;
    }
    if (p == '%' && g == 0 && (t == 'A' || t == 'B')) {
      EndRaster();
      mode_ = t == 'A' ? Mode::Pcl : Mode::Hpgl;
      Push(std::move(cmd));
      return;
    }
    if (mode_ == Mode::Hpgl) {
      AddNote(cmd, "PCL command inside HP-GL/2 (ignored by the printer)", true);
      if (cmd.data_declared > 0) cmd.summary = "data " + Hex(d_ + cmd.data_offset, cmd.data_size, 16);
      Push(std::move(cmd));
      return;
    }
    const int64_t iv = ClampedValue(cmd.value);
    if (p == '*' && g == 'r') {
      if (t == 'A') {
        StartRaster();
      } else if (t == 'B' || t == 'C') {
        EndRaster();
      } else if (t == 'S') {
        SetRasterWidth(cmd, iv);
      }
    } else if (p == '*' && g == 'b') {
      if (t == 'M') {
        method_ = int(std::clamp<int64_t>(iv, -1, 1000));
        if (!MethodName(method_)) AddNote(cmd, "compression method not decoded here", false);
      } else if (t == 'Y') {
        ClearSeed();
      } else if (t == 'W') {
        RasterTransfer(std::move(cmd));
        return;
      } else if (t == 'V') {
        cmd.summary = "plane data, not decoded";
      }
    } else if (p == '*' && g == 'c') {
      if (t == 'D') font_id_ = iv;
      else if (t == 'E') char_code_ = iv;
      else if (t == 'G') pattern_id_ = iv;
      else if (t == 'W' && cmd.data_declared > 0) SummarisePattern(cmd);
    } else if (p == ')' && g == 's' && t == 'W') {
      if (cmd.data_declared > 0) SummariseFontHeader(cmd);
    } else if (p == '(' && g == 's' && t == 'W') {
      if (cmd.data_declared > 0) SummariseCharacter(cmd);
    } else if (p == '&' && g == 'p' && t == 'X' && cmd.data_declared > 0) {
      cmd.summary = "transparent data " + Hex(d_ + cmd.data_offset, cmd.data_size, 16);
    } else if (cmd.data_declared > 0) {
      cmd.summary = "data " + Hex(d_ + cmd.data_offset, cmd.data_size, 16);
    }
    Push(std::move(cmd));
  }

  static int64_t ClampedValue(double v) {
    if (!(v == v)) return 0;
    if (v > 1e15) return int64_t(1e15);
    if (v < -1e15) return int64_t(-1e15);
    return int64_t(v);
  }

  void ResetPrinter() {
    EndRaster();
    width_bytes_ = 0;
    method_ = 0;
    font_id_ = char_code_ = pattern_id_ = 0;
    label_end_ = kEtx;
    two_byte_labels_ = false;
    parsing_method_ = 0;
  }

  // ---- raster ------------------------------------------------------------

  void StartRaster() {
    raster_ = true;
    ++session_;
    row_ = 0;
    ClearSeed();
  }

  void EndRaster() {
    raster_ = false;
    ClearSeed();
  }

  void SetRasterWidth(Command& cmd, int64_t pixels) {
    ClearSeed();
    if (pixels <= 0) {
      width_bytes_ = 0;
      return;
    }
    const uint64_t bytes = (uint64_t(pixels) + 7) / 8;
    if (bytes > kMaxRowBytes) {
      AddNote(cmd, "raster width beyond " + std::to_string(kMaxRowBytes * 8) +
                       " dots; rows are clipped there", true);
      width_bytes_ = kMaxRowBytes;
    } else {
      width_bytes_ = size_t(bytes);
    }
  }

  size_t Limit() const { return width_bytes_ ? width_bytes_ : kMaxRowBytes; }

  // The seed row lives in seed_; bytes from seed_sig_ on are zero.
  void ClearSeed() {
    std::fill(seed_.begin(), seed_.begin() + std::min(seed_sig_, seed_.size()), uint8_t(0));
    seed_len_ = width_bytes_;
    seed_sig_ = 0;
    seed_ink_ = 0;
    seed_hash_ = 0;
  }

  // Replaces the seed row by a whole new row written with Put/Fill.
  struct RowWriter {
    Decoder& d;
    size_t len = 0;
    size_t limit;
    size_t dropped = 0;
    uint64_t hash = 0;
    size_t ink = 0;
    size_t sig = 0;
    size_t old_sig;

    explicit RowWriter(Decoder& decoder)
        : d(decoder), limit(decoder.Limit()), old_sig(decoder.seed_sig_) {
      if (d.seed_.size() < limit) d.seed_.resize(limit, 0);
    }
    void Put(uint8_t b) {
      if (len >= limit) {
        ++dropped;
        return;
      }
      d.seed_[len] = b;
      if (b) {
        hash += ByteHash(len, b);
        ink += size_t(std::popcount(unsigned(b)));
        sig = len + 1;
      }
      ++len;
    }
    void Fill(uint8_t b, size_t count) {
      const size_t room = limit - len;
      for (size_t i = 0; i < std::min(count, room); ++i) Put(b);
      if (count > room) dropped += count - room;
    }
    void Finish() {
      if (old_sig > len) std::fill(d.seed_.begin() + len, d.seed_.begin() + old_sig, uint8_t(0));
      d.seed_len_ = d.width_bytes_ ? d.width_bytes_ : len;
      d.seed_sig_ = sig;
      d.seed_ink_ = ink;
      d.seed_hash_ = hash;
    }
  };

  struct RowResult {
    size_t decoded = 0;
    size_t dropped = 0;
    std::string problem;
  };

  RowResult DecodeRow(int method, const uint8_t* p, size_t n) {
    RowResult r;
    if (method == 3) return DecodeDelta(p, n);
    RowWriter w(*this);
    if (method == 0) {
      for (size_t i = 0; i < n; ++i) w.Put(p[i]);
    } else if (method == 1) {
      size_t i = 0;
      for (; i + 1 < n; i += 2) w.Fill(p[i + 1], size_t(p[i]) + 1);
      if (i < n) r.problem = "run-length data ends inside a pair";
    } else {  // PackBits
      size_t i = 0;
      while (i < n) {
        const uint8_t c = p[i++];
        if (c < 128) {
          const size_t want = size_t(c) + 1;
          const size_t have = std::min(want, n - i);
          for (size_t k = 0; k < have; ++k) w.Put(p[i + k]);
          i += have;
          if (have < want) r.problem = "PackBits literal cut off";
        } else if (c > 128) {
          if (i >= n) {
            r.problem = "PackBits repeat without its byte";
            break;
          }
          w.Fill(p[i++], 257 - size_t(c));
        }
      }
    }
    w.Finish();
    r.decoded = w.len;
    r.dropped = w.dropped;
    return r;
  }

  RowResult DecodeDelta(const uint8_t* p, size_t n) {
    RowResult r;
    const size_t limit = Limit();
    if (seed_.size() < limit) seed_.resize(limit, 0);
    size_t at = 0;
    size_t end = 0;
    bool rescan = false;
    size_t i = 0;
    while (i < n) {
      const uint8_t c = p[i++];
      const size_t count = size_t(c >> 5) + 1;
      size_t offset = c & 31;
      if (offset == 31) {
        for (;;) {
          if (i >= n) {
            r.problem = "delta offset cut off";
            break;
          }
          const uint8_t e = p[i++];
          offset += e;
          if (e != 255) break;
        }
      }
      at = std::min(at + offset, size_t(1) << 40);
      for (size_t k = 0; k < count; ++k) {
        if (i >= n) {
          r.problem = "delta replacement bytes cut off";
          break;
        }
        const uint8_t b = p[i++];
        if (at >= limit) {
          ++r.dropped;
        } else {
          const uint8_t old = seed_[at];
          seed_hash_ += ByteHash(at, b) - ByteHash(at, old);
          seed_ink_ = seed_ink_ + size_t(std::popcount(unsigned(b))) -
                      size_t(std::popcount(unsigned(old)));
          seed_[at] = b;
          if (b) {
            seed_sig_ = std::max(seed_sig_, at + 1);
          } else if (at + 1 == seed_sig_) {
            rescan = true;
          }
          end = std::max(end, at + 1);
        }
        ++at;
      }
    }
    if (rescan) {
      while (seed_sig_ > 0 && seed_[seed_sig_ - 1] == 0) --seed_sig_;
    }
    seed_len_ = width_bytes_ ? width_bytes_ : std::max(seed_len_, end);
    r.decoded = seed_len_;
    return r;
  }

  void EmptyRows() {
    ClearSeed();
    seed_len_ = width_bytes_;
  }

  void EmitRow(size_t offset, size_t size, int form, uint32_t count, size_t encoded,
               size_t decoded, const RowResult* result) {
    Command c = Make(Kind::Data, offset, size);
    c.name = "row";
    c.data_offset = offset;
    c.data_size = size;
    RasterRows& r = c.rows;
    r.session = session_;
    r.first = row_;
    r.count = count;
    r.method = method_;
    r.form = form;
    r.encoded = encoded;
    r.decoded = decoded;
    r.significant = seed_sig_;
    r.ink = seed_ink_;
    r.hash = seed_hash_;
    r.head = Hex(seed_.data(), std::min(decoded, seed_.size()), kHeadBytes);
    row_ = uint32_t(std::min<uint64_t>(uint64_t(row_) + count, UINT32_MAX));
    if (result) {
      if (!result->problem.empty()) AddNote(c, result->problem, true);
      if (result->dropped) {
        AddNote(c,
                std::to_string(result->dropped) + " bytes beyond the " +
                    (width_bytes_ ? "raster width" : "longest row") + " dropped",
                width_bytes_ == 0);
      }
    }
    Push(std::move(c));
  }

  void RasterTransfer(Command&& cmd) {
    if (!raster_) {
      StartRaster();
      AddNote(cmd, "raster graphics started implicitly", false);
    }
    const size_t data = cmd.data_offset;
    const size_t n = cmd.data_size;
    const int method = method_;
    const char* method_name = MethodName(method);
    cmd.summary = method_name ? std::string(method_name)
                              : "method " + std::to_string(method) + " not decoded";
    Push(std::move(cmd));
    if (!method_name) return;
    const uint8_t* p = d_ + data;
    if (method != 5) {
      RowResult r = DecodeRow(method, p, n);
      EmitRow(data, n, method, 1, n, r.decoded, &r);
      return;
    }
    size_t i = 0;
    while (i < n) {
      const size_t entry = i;
      if (n - i < 3) {
        AddUnknown(data + i, n - i, "adaptive block entry cut off");
        return;
      }
      const uint8_t command = p[i];
      const size_t value = Be16(p + i + 1);
      i += 3;
      if (command <= 3) {
        const size_t have = std::min(value, n - i);
        RowResult r = DecodeRow(command, p + i, have);
        if (have < value) {
          r.problem += r.problem.empty() ? "" : "; ";
          r.problem += "row data cut off: " + std::to_string(have) + " of " +
                       std::to_string(value) + " bytes";
        }
        i += have;
        EmitRow(data + entry, 3 + have, command, 1, have, r.decoded, &r);
      } else if (command == 4) {
        EmptyRows();
        EmitRow(data + entry, 3, 4, uint32_t(value), 0, 0, nullptr);
        if (value == 0) AddNote(out_.back(), "zero empty rows", true);
      } else if (command == 5) {
        EmitRow(data + entry, 3, 5, uint32_t(value), 0, seed_len_, nullptr);
        if (value == 0) AddNote(out_.back(), "zero duplicate rows", true);
      } else {
        AddUnknown(data + entry, n - entry,
                   "adaptive block entry with unknown command " + std::to_string(command));
        return;
      }
    }
  }

  // ---- downloads -----------------------------------------------------------

  void SummarisePattern(Command& cmd) {
    const uint8_t* p = d_ + cmd.data_offset;
    const size_t n = cmd.data_size;
    std::string s = "pattern " + Num(pattern_id_);
    if (n < 8) {
      cmd.summary = s + ": header cut off";
      AddNote(cmd, "pattern header needs 8 bytes", true);
      return;
    }
    const int format = p[0];
    const size_t header = format == 20 ? 12 : 8;
    const unsigned height = Be16(p + 4);
    const unsigned width = Be16(p + 6);
    s += ": format " + Num(format) + ", " + Num(width) + "x" + Num(height) + " dots";
    if (format == 20 && n >= 12) s += ", " + Num(Be16(p + 8)) + "x" + Num(Be16(p + 10)) + " dpi";
    if (p[2] != 1) s += ", encoding " + Num(p[2]);
    if (n >= header) {
      const size_t expected = size_t((width + 7) / 8) * height;
      s += ", " + Num(int64_t(n - header)) + " data bytes";
      if (p[2] == 1 && n - header != expected) {
        AddNote(cmd, "pattern data is " + std::to_string(n - header) + " bytes, " +
                         std::to_string(width) + "x" + std::to_string(height) + " needs " +
                         std::to_string(expected), true);
      }
    } else {
      AddNote(cmd, "pattern header cut off", true);
    }
    cmd.summary = s;
  }

  void SummariseFontHeader(Command& cmd) {
    const uint8_t* p = d_ + cmd.data_offset;
    const size_t n = cmd.data_size;
    std::string s = "font " + Num(font_id_) + " header";
    if (n < 4) {
      cmd.summary = s + ": cut off";
      AddNote(cmd, "font header shorter than 4 bytes", true);
      return;
    }
    const size_t descriptor = Be16(p);
    const int format = p[2];
    s += ": format " + Num(format) + ", type " + Num(p[3]) + ", descriptor " + Num(int64_t(descriptor));
    if (n >= 16) s += ", symbol set " + Num(Be16(p + 14));
    if (descriptor >= 64 && n >= 64) {
      std::string_view name(reinterpret_cast<const char*>(p + 48), 16);
      while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) name.remove_suffix(1);
      s += ", name \"" + Escaped(name) + "\"";
    }
    if (descriptor > n) {
      AddNote(cmd, "descriptor of " + std::to_string(descriptor) + " bytes in " +
                       std::to_string(n) + " bytes of data", true);
    } else if ((format == 15 || format == 16) && descriptor >= 72) {
      s += "; segments";
      const size_t size_bytes = format == 16 ? 4 : 2;
      size_t q = descriptor;
      bool ended = false;
      for (int count = 0; count < 64 && q + 2 + size_bytes <= n; ++count) {
        const uint16_t id = Be16(p + q);
        const size_t size = size_bytes == 4 ? Be32(p + q + 2) : Be16(p + q + 2);
        q += 2 + size_bytes;
        if (id == 0xFFFF) {
          s += " end";
          ended = true;
          break;
        }
        s += ' ';
        if (p[q - 2 - size_bytes] >= 0x20 && p[q - 2 - size_bytes] < 0x7F &&
            p[q - 1 - size_bytes] >= 0x20 && p[q - 1 - size_bytes] < 0x7F) {
          s += char(p[q - 2 - size_bytes]);
          s += char(p[q - 1 - size_bytes]);
        } else {
          s += Hex(p + q - 2 - size_bytes, 2, 2);
        }
        s += ' ' + Num(int64_t(size));
        if (size > n - q) {
          AddNote(cmd, "segment runs past the end of the header data", true);
          q = n;
          break;
        }
        if (Be16(p + q - 2 - size_bytes) == 0x4754) s += CheckTableSegment(cmd, p + q, size);
        q += size;
      }
      if (!ended) {
        AddNote(cmd, "no end segment", true);
      } else if (q + 2 != n) {
        AddNote(cmd, std::to_string(n - std::min(n, q)) +
                         " bytes after the end segment (2 expected: reserved, checksum)", true);
      } else if (ByteSum(p, 64, n) != 0) {
        AddNote(cmd, "checksum wrong", true);
      } else {
        s += ", checksum ok";
      }
    }
    cmd.summary = s;
  }

  // The "GT" segment of a TrueType font header holds an offset table, its
  // directory and the tables: every entry must lie inside the segment and
  // carry the checksum of its bytes. Returns " (n tables)" for the summary.
  static std::string CheckTableSegment(Command& cmd, const uint8_t* p, size_t size) {
    if (size < 12) {
      AddNote(cmd, "GT segment shorter than an offset table", true);
      return "";
    }
    const size_t tables = Be16(p + 4);
    if (12 + 16 * tables > size) {
      AddNote(cmd, "GT directory of " + std::to_string(tables) + " tables runs past the segment", true);
      return "";
    }
    for (size_t i = 0; i < tables; ++i) {
      const uint8_t* e = p + 12 + 16 * i;
      const std::string tag = Escaped(std::string_view(reinterpret_cast<const char*>(e), 4), false);
      const uint32_t checksum = Be32(e + 4), offset = Be32(e + 8), length = Be32(e + 12);
      if (length == 0) continue;
      if (offset > size || length > size - offset) {
        AddNote(cmd, "GT table " + tag + " runs past the segment", true);
        continue;
      }
      uint32_t sum = 0;
      for (size_t k = 0; k < length; k += 4) {
        uint8_t word[4] = {0, 0, 0, 0};
        std::memcpy(word, p + offset + k, std::min<size_t>(4, length - k));
        sum += Be32(word);
      }
      if (sum != checksum) AddNote(cmd, "GT table " + tag + " checksum wrong", true);
    }
    return " (" + std::to_string(tables) + " tables)";
  }

  void SummariseCharacter(Command& cmd) {
    const uint8_t* p = d_ + cmd.data_offset;
    const size_t n = cmd.data_size;
    std::string s = "char " + Num(char_code_) + " of font " + Num(font_id_);
    if (n < 2) {
      cmd.summary = s + ": cut off";
      AddNote(cmd, "character descriptor cut off", true);
      return;
    }
    const int format = p[0];
    if (p[1] != 0) {
      cmd.summary = s + ": continuation, " + Num(int64_t(n - 2)) + " data bytes";
      return;
    }
    if (n < 4) {
      cmd.summary = s + ": format " + Num(format) + ", cut off";
      AddNote(cmd, "character descriptor cut off", true);
      return;
    }
    s += ": format " + Num(format) + ", class " + Num(p[3]);
    if (format == 4 && n >= 16) {
      const unsigned width = Be16(p + 10);
      const unsigned height = Be16(p + 12);
      s += ", " + Num(width) + "x" + Num(height) + " dots, left " + Num(Be16s(p + 6)) +
           ", top " + Num(Be16s(p + 8)) + ", delta x " + Num(Be16s(p + 14)) + ", " +
           Num(int64_t(n - 16)) + " bitmap bytes";
      if (p[3] == 1) {
        const size_t expected = size_t((width + 7) / 8) * height;
        if (n - 16 > expected) {
          AddNote(cmd, "bitmap longer than " + std::to_string(width) + "x" +
                           std::to_string(height) + " needs", true);
        } else if (n - 16 < expected) {
          s += " of " + Num(int64_t(expected));
        }
      }
    } else if (format == 15 && n >= 8) {
      const size_t data_size = Be16(p + 4);
      s += ", glyph " + Num(Be16(p + 6)) + ", glyph data " + Num(int64_t(n >= 10 ? n - 10 : 0)) +
           " bytes";
      if (data_size + 6 != n) {
        AddNote(cmd, "data size field " + std::to_string(data_size) + " does not match " +
                         std::to_string(n) + " bytes", true);
      } else if (ByteSum(p, 4, n) != 0) {
        AddNote(cmd, "checksum wrong", true);
      } else {
        s += ", checksum ok";
      }
    } else {
      s += ", " + Num(int64_t(n)) + " bytes";
    }
    cmd.summary = s;
  }

  // ---- HP-GL/2 -------------------------------------------------------------

  void StepHpgl() {
    const uint8_t b = d_[pos_];
    if (b == kEsc) {
      Escape();
      return;
    }
    if (IsBlank(b) || b == ';') {  // separators between instructions
      ++pos_;
      return;
    }
    if (IsLetter(b)) {
      if (pos_ + 1 < n_ && IsLetter(d_[pos_ + 1])) {
        Instruction();
      } else {
        AddUnknown(pos_, 1, pos_ + 1 < n_ ? "single letter, no HP-GL/2 mnemonic"
                                          : "mnemonic cut off by the end of the data");
        ++pos_;
      }
      return;
    }
    size_t e = pos_ + 1;
    while (e < n_ && d_[e] != kEsc && !IsLetter(d_[e]) && !IsBlank(d_[e]) && d_[e] != ';') ++e;
    AddUnknown(pos_, e - pos_, "bytes outside any HP-GL/2 instruction");
    pos_ = e;
  }

  void Instruction() {
    const size_t start = pos_;
    Command c = Make(Kind::Hpgl, start, 0);
    c.name.assign({Upper(d_[pos_]), Upper(d_[pos_ + 1])});
    pos_ += 2;
    const std::string& m = c.name;
    if (m == "PE") {
      ParsePe(c);
    } else if (m == "LB" || m == "BL" || m == "WD") {
      ParseLabel(c);
    } else if (m == "DT") {
      ParseLabelTerminator(c);
    } else if (m == "SM") {
      ParseSymbolMode(c);
    } else if (m == "CO") {
      ParseComment(c);
    } else {
      ParseNumbers(c);
      if (m == "IN" || m == "DF") label_end_ = kEtx;
      if (m == "IN") two_byte_labels_ = false;
      if (m == "LM") two_byte_labels_ = !c.params.empty() && c.params[0] == "1";
    }
    c.size = pos_ - start;
    Push(std::move(c));
  }

  void SkipBlanks() {
    while (pos_ < n_ && IsBlank(d_[pos_])) ++pos_;
  }

  void ParseNumbers(Command& c) {
    bool after_comma = false;
    for (;;) {
      SkipBlanks();
      if (pos_ >= n_) break;
      const uint8_t b = d_[pos_];
      if (b == ';') {
        ++pos_;
        break;
      }
      if (b == ',') {
        if (after_comma || c.params.empty()) AddNote(c, "empty parameter", true);
        after_comma = true;
        ++pos_;
        continue;
      }
      if (!(IsDigit(b) || b == '+' || b == '-' || b == '.')) break;
      const size_t s = pos_;
      if (b == '+' || b == '-') ++pos_;
      bool digits = false;
      while (pos_ < n_ && IsDigit(d_[pos_])) ++pos_, digits = true;
      if (pos_ < n_ && d_[pos_] == '.') {
        ++pos_;
        while (pos_ < n_ && IsDigit(d_[pos_])) ++pos_, digits = true;
      }
      std::string text(reinterpret_cast<const char*>(d_ + s),
                       std::min(pos_ - s, kMaxNumberText));
      if (pos_ - s > kMaxNumberText) {
        text += "...";
        AddNote(c, "number of " + std::to_string(pos_ - s) + " characters", true);
      }
      if (!digits) AddNote(c, "number without digits \"" + text + "\"", true);
      c.params.push_back(std::move(text));
      after_comma = false;
    }
    if (after_comma) AddNote(c, "parameter list ends with a comma", true);
  }

  void ParseLabel(Command& c) {
    const size_t s = pos_;
    while (pos_ < n_ && d_[pos_] != label_end_ && d_[pos_] != kEsc) {
      // In two-byte label mode a character's second byte may be any value,
      // the terminator's and ESC's included.
      if (two_byte_labels_ && TwoByteLead(d_[pos_]) && pos_ + 1 < n_) ++pos_;
      ++pos_;
    }
    c.text.assign(reinterpret_cast<const char*>(d_ + s), pos_ - s);
    if (pos_ < n_ && d_[pos_] == label_end_) {
      ++pos_;
    } else {
      AddNote(c, pos_ < n_ ? "label broken by ESC before its terminator"
                           : "label cut off by the end of the data",
              true);
    }
  }

  // Whether a byte starts a two-byte character under the text parsing
  // method in force: 21 reads every code as two bytes; 31 (Shift-JIS) and
  // 38 take two bytes when the first is 0x80 or above.
  bool TwoByteLead(uint8_t first) const {
    if (parsing_method_ == 21) return true;
    return (parsing_method_ == 31 || parsing_method_ == 38) && first >= 0x80;
  }

  void ParseLabelTerminator(Command& c) {
    if (pos_ >= n_) {
      AddNote(c, "DT cut off by the end of the data", true);
      return;
    }
    const uint8_t b = d_[pos_];
    if (b == ';') {  // back to the default ETX
      label_end_ = kEtx;
      ++pos_;
      return;
    }
    if (b == kEsc || b == 0) {
      AddNote(c, "DT without its terminator character", true);
      return;
    }
    label_end_ = b;
    c.text.assign(1, char(b));
    ++pos_;
    if (pos_ < n_ && d_[pos_] == ',') {
      ++pos_;
      ParseNumbers(c);
    } else if (pos_ < n_ && d_[pos_] == ';') {
      ++pos_;
    }
  }

  void ParseSymbolMode(Command& c) {
    if (pos_ >= n_ || d_[pos_] == kEsc) return;
    if (d_[pos_] != ';') c.text.assign(1, char(d_[pos_++]));
    if (pos_ < n_ && d_[pos_] == ';') ++pos_;
  }

  void ParseComment(Command& c) {
    SkipBlanks();
    if (pos_ < n_ && d_[pos_] == '"') {
      const size_t s = ++pos_;
      while (pos_ < n_ && d_[pos_] != '"' && d_[pos_] != kEsc) ++pos_;
      c.text.assign(reinterpret_cast<const char*>(d_ + s), pos_ - s);
      if (pos_ < n_ && d_[pos_] == '"') ++pos_;
      else AddNote(c, "comment not closed", true);
    }
    if (pos_ < n_ && d_[pos_] == ';') ++pos_;
  }

  void ParsePe(Command& c) {
    bool seven = false;
    bool pen_up = false;
    bool absolute = false;
    bool want_fraction = false;
    int frac = 0;
    uint64_t acc = 0;
    int shift = 0;
    bool in_number = false;
    bool overflow = false;
    bool have_x = false;
    int64_t x = 0;
    size_t ignored = 0;
    std::string ignored_bytes;
    auto number = [&](int64_t v) {
      if (want_fraction) {
        want_fraction = false;
        if (v < 0 || v > 52) {
          AddNote(c, "fractional bits " + std::to_string(v) + " out of range", true);
          v = std::clamp<int64_t>(v, 0, 52);
        }
        frac = int(v);
        PeOp op;
        op.type = PeOp::Type::FractionBits;
        op.frac_bits = frac;
        c.pe.push_back(op);
        return;
      }
      if (!have_x) {
        x = v;
        have_x = true;
        return;
      }
      PeOp op;
      op.type = pen_up ? PeOp::Type::Move : PeOp::Type::Draw;
      op.absolute = absolute;
      op.x = x;
      op.y = v;
      op.frac_bits = frac;
      c.pe.push_back(op);
      pen_up = absolute = have_x = false;
    };
    for (;;) {
      if (pos_ >= n_) {
        AddNote(c, "PE cut off by the end of the data", true);
        break;
      }
      const uint8_t b = d_[pos_];
      if (b == ';') {
        ++pos_;
        break;
      }
      if (b == kEsc) {
        AddNote(c, "PE not ended by ';'", true);
        break;
      }
      int digit = -1;
      bool terminating = false;
      if (!seven) {
        if (b >= 63 && b <= 126) digit = b - 63;
        else if (b >= 191 && b <= 254) digit = b - 191, terminating = true;
      } else {
        if (b >= 63 && b <= 94) digit = b - 63;
        else if (b >= 95 && b <= 126) digit = b - 95, terminating = true;
      }
      ++pos_;
      if (digit >= 0) {
        if (shift < 58) acc |= uint64_t(digit) << shift;
        else if (digit != 0) overflow = true;
        shift += seven ? 5 : 6;
        in_number = true;
        if (terminating) {
          const uint64_t magnitude = acc >> 1;
          int64_t v = int64_t(magnitude);
          if (acc & 1) v = -v;
          if (overflow) AddNote(c, "PE number too large", true);
          acc = 0;
          shift = 0;
          in_number = overflow = false;
          number(v);
        }
        continue;
      }
      if (b == '<' || b == '=' || b == '>' || b == '7') {
        if (in_number) {
          AddNote(c, "PE flag inside a number; the number is dropped", true);
          acc = 0;
          shift = 0;
          in_number = overflow = false;
        }
        if (have_x && b != '7') AddNote(c, "PE flag between the two coordinates of a pair", true);
        if (b == '<') {
          pen_up = true;
        } else if (b == '=') {
          absolute = true;
        } else if (b == '>') {
          want_fraction = true;
        } else {
          seven = true;
          PeOp op;
          op.type = PeOp::Type::SevenBit;
          op.frac_bits = frac;
          c.pe.push_back(op);
        }
        continue;
      }
      if (ignored < 8) ignored_bytes += (ignored ? " " : "") + ByteName(b);
      ++ignored;
    }
    if (ignored) {
      AddNote(c, std::to_string(ignored) + " bytes ignored in PE data (" + ignored_bytes +
                     (ignored > 8 ? " ..." : "") + ")",
              true);
    }
    if (in_number) AddNote(c, "PE number without its terminating digit", true);
    if (have_x) AddNote(c, "PE coordinate " + std::to_string(x) + " without its partner", true);
    if (pen_up || absolute || want_fraction) AddNote(c, "PE flag without a following value", true);
  }

  const uint8_t* d_;
  size_t n_;
  size_t pos_ = 0;
  Mode mode_ = Mode::Pjl;
  std::string foreign_;
  std::vector<Command> out_;

  // PCL state
  int method_ = 0;
  bool raster_ = false;
  uint32_t session_ = 0;
  uint32_t row_ = 0;
  size_t width_bytes_ = 0;  // 0: raster width not given
  std::vector<uint8_t> seed_;
  size_t seed_len_ = 0;
  size_t seed_sig_ = 0;
  size_t seed_ink_ = 0;
  uint64_t seed_hash_ = 0;
  int64_t font_id_ = 0;
  int64_t char_code_ = 0;
  int64_t pattern_id_ = 0;

  // HP-GL/2 state
  uint8_t label_end_ = kEtx;
  bool two_byte_labels_ = false;  // "LM1" in force
  int parsing_method_ = 0;         // ESC "&t#P" last seen
};

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(uint8_t(a[i])) != Upper(uint8_t(b[i]))) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string RowText(const RasterRows& r) {
  std::string s;
  if (r.count == 1) {
    s = "row " + std::to_string(r.first);
  } else if (r.count == 0) {
    s = "rows (none)";
  } else {
    s = "rows " + std::to_string(r.first) + "-" + std::to_string(uint64_t(r.first) + r.count - 1);
  }
  s += ' ';
  s += FormName(r.form);
  if (r.form == 4) return s;
  char hash[24];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(r.hash));
  s += ": " + Bytes(r.decoded);
  if (r.form != 5) s += " from " + std::to_string(r.encoded);
  s += ", " + std::to_string(r.significant) + " significant, ink " + std::to_string(r.ink) +
       ", hash " + hash;
  if (!r.head.empty()) s += ", " + r.head;
  return s;
}

}  // namespace

std::string_view KindName(Kind kind) {
  switch (kind) {
    case Kind::Pjl: return "PJL";
    case Kind::Uel: return "UEL";
    case Kind::Pcl: return "PCL";
    case Kind::Hpgl: return "HP-GL/2";
    case Kind::Text: return "text";
    case Kind::Data: return "data";
    case Kind::Unknown: return "unknown";
  }
  return "?";
}

std::vector<Command> Decode(std::span<const uint8_t> stream) {
  return Decoder(stream).Run();
}

uint64_t RowHash(std::span<const uint8_t> row) {
  uint64_t h = 0;
  for (size_t i = 0; i < row.size(); ++i) h += ByteHash(i, row[i]);
  return h;
}

std::string ToText(const PeOp& op) {
  switch (op.type) {
    case PeOp::Type::FractionBits: return "frac " + std::to_string(op.frac_bits);
    case PeOp::Type::SevenBit: return "7bit";
    case PeOp::Type::Move:
    case PeOp::Type::Draw: break;
  }
  std::string s = op.type == PeOp::Type::Move ? "move " : "draw ";
  if (op.absolute) s += "abs ";
  s += Coordinate(op.x, op.frac_bits) + "," + Coordinate(op.y, op.frac_bits);
  return s;
}

std::string ToText(const Command& c) {
  std::string s;
  switch (c.kind) {
    case Kind::Pjl:
      s = Escaped(c.text, false);
      break;
    case Kind::Uel:
      s = "UEL";
      break;
    case Kind::Pcl:
      s = c.name;
      if (c.data_declared > 0 || c.data_size > 0) {
        s += " [" + Bytes(c.data_size) + "]";
      }
      if (!c.summary.empty()) s += " " + c.summary;
      break;
    case Kind::Hpgl:
      s = c.name;
      if (c.name == "PE") {
        for (size_t i = 0; i < c.pe.size(); ++i) {
          s += i ? "; " : " ";
          s += ToText(c.pe[i]);
        }
      } else if (c.name == "LB" || c.name == "BL" || c.name == "WD" || c.name == "CO" ||
                 c.name == "SM" || (c.name == "DT" && !c.text.empty())) {
        if (c.name != "SM" || !c.text.empty()) s += " \"" + Escaped(c.text) + "\"";
        for (const std::string& p : c.params) s += "," + p;
      } else {
        for (size_t i = 0; i < c.params.size(); ++i) {
          if (i) s += ',';
          s += c.params[i];
        }
      }
      break;
    case Kind::Text:
      s = c.name == "text" ? "text \"" + Escaped(c.text) + "\"" : c.name;
      break;
    case Kind::Data:
      if (c.name == "row") {
        s = RowText(c.rows);
      } else {
        s = "data [" + Bytes(c.data_size) + "] " + c.summary;
      }
      break;
    case Kind::Unknown:
      s = "unknown [" + Bytes(c.size) + "] " + c.summary;
      break;
  }
  if (!c.note.empty()) s += (c.malformed ? "  !! " : "  -- ") + c.note;
  return s;
}

std::string Dump(const std::vector<Command>& commands) {
  std::string out;
  char prefix[32];
  for (const Command& c : commands) {
    std::snprintf(prefix, sizeof prefix, "%8zu: ", c.offset);
    out += prefix;
    out += ToText(c);
    out += '\n';
  }
  return out;
}

std::string Key(const Command& c) {
  if (c.kind != Kind::Pcl || c.parameterized == 0) return c.name;
  std::string k = "ESC ";
  k += c.parameterized;
  if (c.group) k += c.group;
  k += '#';
  k += c.terminator;
  return k;
}

std::vector<const Command*> FindAll(const std::vector<Command>& commands, std::string_view name) {
  std::vector<const Command*> found;
  for (const Command& c : commands) {
    if (c.name == name || (c.kind == Kind::Pcl && c.parameterized != 0 && Key(c) == name)) {
      found.push_back(&c);
    }
  }
  return found;
}

const Command* FindFirst(const std::vector<Command>& commands, std::string_view name) {
  for (const Command& c : commands) {
    if (c.name == name || (c.kind == Kind::Pcl && c.parameterized != 0 && Key(c) == name)) {
      return &c;
    }
  }
  return nullptr;
}

size_t Count(const std::vector<Command>& commands, std::string_view name) {
  return FindAll(commands, name).size();
}

std::vector<std::string> PjlLines(const std::vector<Command>& commands) {
  return Names(commands, Kind::Pjl);
}

std::optional<std::string> PjlSetting(const std::vector<Command>& commands,
                                      std::string_view variable) {
  std::optional<std::string> value;
  for (const Command& c : commands) {
    if (c.kind != Kind::Pjl) continue;
    std::string_view line = c.name;
    if (line.size() < 9 || !EqualsIgnoreCase(line.substr(0, 9), "@PJL SET ")) continue;
    line.remove_prefix(9);
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (!EqualsIgnoreCase(Trim(line.substr(0, eq)), variable)) continue;
    value = std::string(Trim(line.substr(eq + 1)));
  }
  return value;
}

std::vector<std::string> Names(const std::vector<Command>& commands, Kind kind) {
  std::vector<std::string> names;
  for (const Command& c : commands) {
    if (c.kind == kind) names.push_back(c.name);
  }
  return names;
}

std::vector<std::string> Lines(const std::vector<Command>& commands, Kind kind) {
  std::vector<std::string> lines;
  for (const Command& c : commands) {
    if (c.kind == kind) lines.push_back(ToText(c));
  }
  return lines;
}

std::vector<RasterRows> Rows(const std::vector<Command>& commands) {
  std::vector<RasterRows> rows;
  for (const Command& c : commands) {
    if (c.kind == Kind::Data && c.name == "row") rows.push_back(c.rows);
  }
  return rows;
}

std::vector<const Command*> Problems(const std::vector<Command>& commands) {
  std::vector<const Command*> found;
  for (const Command& c : commands) {
    if (c.kind == Kind::Unknown || c.malformed) found.push_back(&c);
  }
  return found;
}

}  // namespace kvtools::pcl
