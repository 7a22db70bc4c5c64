// Decodes a printer stream (PJL, PCL 5e and embedded HP-GL/2) into a list of
// commands, one per PJL line, escape sequence, HP-GL/2 instruction, text run or
// raster row group. Any byte sequence decodes: bytes that make no sense are
// reported as Unknown commands or as notes on the command they broke, never
// dropped. Memory stays proportional to the input; decoding is one pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvtools::pcl {

enum class Kind : uint8_t {
  Pjl,      // one PJL line ("@PJL ..."), name = the line without its end of line
  Uel,      // ESC %-12345X, name "UEL"
  Pcl,      // one PCL command, name e.g. "ESC &l2A" (combined sequences split)
  Hpgl,     // one HP-GL/2 instruction, name = its mnemonic ("PE", "SC")
  Text,     // printable text run (name "text") or a control code (name "FF", "CR", ...)
  Data,     // decoded raster rows (name "row") or foreign language data (name "data")
  Unknown,  // bytes that are no command of the current mode (name "unknown")
};

std::string_view KindName(Kind kind);

// One operation of a polyline-encoded (PE) instruction.
struct PeOp {
  enum class Type : uint8_t {
    Move,          // pen-up move ('<' flag) to the pair
    Draw,          // pen-down draw to the pair
    FractionBits,  // '>' flag: later coordinates carry frac_bits fractional bits
    SevenBit,      // '7' flag: later numbers use the 7-bit digit ranges
  };
  Type type = Type::Draw;
  bool absolute = false;  // '=' flag: the pair is absolute, not relative
  int64_t x = 0;          // coordinates as encoded (scaled by 2^frac_bits)
  int64_t y = 0;
  int frac_bits = 0;      // fractional bits in force (Move, Draw) or set (FractionBits)
};

// One raster row, or a run of equal rows (empty or duplicate rows of the adaptive method).
struct RasterRows {
  uint32_t session = 0;  // raster graphics session within the stream, from 1
  uint32_t first = 0;    // index of the first row within its session, from 0
  uint32_t count = 1;    // number of rows this entry stands for
  int method = 0;        // compression method in force (ESC *b#M)
  int form = 0;          // how the row was coded: 0 unencoded, 1 run-length, 2 PackBits,
                         // 3 delta row, 4 empty rows, 5 duplicate rows
  size_t encoded = 0;    // encoded bytes of the row (0 for empty and duplicate rows)
  size_t decoded = 0;    // bytes the row holds after decoding (before white padding)
  size_t significant = 0;  // decoded bytes up to the last non-zero byte
  size_t ink = 0;          // number of 1 bits (black dots)
  uint64_t hash = 0;       // RowHash of the row as the printer holds it
  std::string head;        // hex of the first (at most 16) bytes
};

struct Command {
  Kind kind = Kind::Unknown;
  size_t offset = 0;  // first byte of the command in the stream
  size_t size = 0;    // bytes the command takes, payload included
  std::string name;   // canonical name (see Kind)

  // PCL: ESC, parameterized character, group character (0 if none), value,
  // terminator (always the upper-case form).
  char parameterized = 0;
  char group = 0;
  char terminator = 0;
  std::string value_text;  // the value field exactly as written ("" when absent)
  double value = 0;
  bool has_value = false;

  // Binary payload of a PCL command that carries data, or foreign language data.
  size_t data_offset = 0;
  size_t data_size = 0;      // bytes present
  size_t data_declared = 0;  // bytes the command announced
  std::string summary;       // readable description of the payload

  // HP-GL/2: parameters as written; PE operations; label, comment or text bytes.
  std::vector<std::string> params;
  std::vector<PeOp> pe;
  std::string text;  // LB/BL/WD label, CO comment, text run, PJL line (with its end of line)

  RasterRows rows;  // Kind::Data with name "row"

  std::string note;        // remark: what was wrong or ignored
  bool malformed = false;  // the note reports a fault in the stream
};

// Decodes a whole stream. The decoder starts at a job boundary (PJL lines are
// recognised, anything else switches to PCL as a printer does).
std::vector<Command> Decode(std::span<const uint8_t> stream);
inline std::vector<Command> Decode(std::string_view stream) {
  return Decode(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(stream.data()),
                                         stream.size()));
}

// The readable line of a command (without offset), e.g. "ESC &l2A",
// "PE move abs 10,6580; draw 3,-4", "LB \"Hello\"", "@PJL SET QTY=1\n" (escaped).
std::string ToText(const Command& command);
std::string ToText(const PeOp& op);  // "move abs 10,20", "draw -3,4", "frac 2", "7bit"
// All commands, one line each: "<offset>: <text>".
std::string Dump(const std::vector<Command>& commands);

// The generic key of a command: for PCL the name with the value replaced by '#'
// ("ESC &l#A"), for the other kinds the name.
std::string Key(const Command& command);

// Commands whose name or key equals `name`: "ESC &l2A", "ESC &l#A", "PE", "UEL", "FF".
std::vector<const Command*> FindAll(const std::vector<Command>& commands, std::string_view name);
const Command* FindFirst(const std::vector<Command>& commands, std::string_view name);
size_t Count(const std::vector<Command>& commands, std::string_view name);

// PJL lines in order, without their ends of line.
std::vector<std::string> PjlLines(const std::vector<Command>& commands);
// The value of the last "@PJL SET <variable>=<value>" line.
std::optional<std::string> PjlSetting(const std::vector<Command>& commands,
                                      std::string_view variable);
// Names of the commands of one kind, in order (e.g. the PCL sequence).
std::vector<std::string> Names(const std::vector<Command>& commands, Kind kind);
// ToText of every command of one kind, in order.
std::vector<std::string> Lines(const std::vector<Command>& commands, Kind kind);
// The decoded raster rows, in order.
std::vector<RasterRows> Rows(const std::vector<Command>& commands);
// Commands that are Unknown or carry a malformed note.
std::vector<const Command*> Problems(const std::vector<Command>& commands);

// The hash RasterRows::hash uses: independent of trailing white (zero) bytes, so
// a row hashes the same however much white padding it was sent with.
uint64_t RowHash(std::span<const uint8_t> row);

}  // namespace kvtools::pcl
