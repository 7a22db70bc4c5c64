// The stream decoder behind pcldump: hand-written PJL / PCL / HP-GL/2 streams
// decoded to their lines, raster rows decoded to the same bytes whatever the
// compression, downloads summarised, and broken input shown rather than lost.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pcl_decoder.h"
#include "support/test_root.h"

namespace {

namespace pcl = kvtools::pcl;

const std::string E = "\x1b";

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += char(uint8_t(b));
  return s;
}

std::vector<std::string> AllLines(const std::string& stream) {
  std::vector<std::string> lines;
  for (const pcl::Command& c : pcl::Decode(stream)) lines.push_back(pcl::ToText(c));
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

// Every byte belongs to a command, apart from separators between HP-GL/2
// instructions; commands nested in a data payload (raster rows) stay inside it.
void ExpectCovered(const std::string& s, const std::vector<pcl::Command>& commands) {
  size_t end = 0;
  size_t payload_end = 0;
  for (const pcl::Command& c : commands) {
    ASSERT_LE(c.offset + c.size, s.size()) << pcl::ToText(c);
    if (c.offset < payload_end) {
      ASSERT_LE(c.offset + c.size, payload_end) << pcl::ToText(c);
      continue;
    }
    ASSERT_GE(c.offset, end) << pcl::ToText(c);
    for (size_t i = end; i < c.offset; ++i) {
      ASSERT_NE(std::strchr(" \t\r\n;", s[i]), nullptr)
          << "byte " << i << " (" << int(uint8_t(s[i])) << ") belongs to no command";
      ASSERT_NE(s[i], '\0');
    }
    end = c.offset + c.size;
    if (c.kind == pcl::Kind::Pcl && c.data_size > 0) payload_end = c.data_offset + c.data_size;
  }
  for (size_t i = end; i < s.size(); ++i) {
    ASSERT_NE(std::strchr(" \t\r\n;", s[i]), nullptr) << "trailing byte " << i << " lost";
    ASSERT_NE(s[i], '\0');
  }
}

struct LinesCase {
  const char* name;
  std::string stream;
  std::vector<std::string> lines;
};

TEST(PclDecoder, DecodesStreamsIntoOneLinePerCommand) {
  const LinesCase cases[] = {
      {"PJL job header",
       E + "%-12345X@PJL JOB NAME=\"Report\"\r\n@PJL COMMENT Version For Windows NT4.0\n"
           "@PJL SET QTY=1\n@PJL ENTER LANGUAGE=PCL\r\n" + E + "E",
       {"UEL", "@PJL JOB NAME=\"Report\"\\r\\n", "@PJL COMMENT Version For Windows NT4.0\\n",
        "@PJL SET QTY=1\\n", "@PJL ENTER LANGUAGE=PCL\\r\\n", "ESC E"}},
      {"PJL end of job",
       E + "%-12345X@PJL EOJ NAME=\"Report\"\r\n" + E + "%-12345X",
       {"UEL", "@PJL EOJ NAME=\"Report\"\\r\\n", "UEL"}},
      {"combined sequences split into their commands",
       E + "&l26a0o1E" + E + "&l101a4d1e48F" + E + "*c-5.5x+3Y",
       {"ESC &l26A", "ESC &l0O", "ESC &l1E", "ESC &l101A", "ESC &l4D", "ESC &l1E", "ESC &l48F",
        "ESC *c-5.5X", "ESC *c+3Y"}},
      {"sequences without group or value, two-character sequences",
       E + "(8U" + E + "(s1p12.5v0s3b4148T" + E + "&d@" + E + "9" + E + "*rB",
       {"ESC (8U", "ESC (s1P", "ESC (s12.5V", "ESC (s0S", "ESC (s3B", "ESC (s4148T", "ESC &d@",
        "ESC 9", "ESC *rB"}},
      {"text, control codes and transparent data",
       "AB\r\n\f" + E + "&p1X\r" + "x",
       {"text \"AB\"", "CR", "LF", "FF", "ESC &p1X [1 byte] transparent data 0d", "text \"x\""}},
      {"HP-GL/2 initialisation",
       E + "%0BWUAC16,4SP1PP1LO21PW0TD1IWSC0,3.3868,0,-3.3868,2RO0IR0,100,0,100CF2" + E + "%0A",
       {"ESC %0B", "WU", "AC16,4", "SP1", "PP1", "LO21", "PW0", "TD1", "IW",
        "SC0,3.3868,0,-3.3868,2", "RO0", "IR0,100,0,100", "CF2", "ESC %0A"}},
      {"HP-GL/2 parameters separated by blanks, signs and semicolons",
       E + "%1BPA10 -20;PR5-6 ;IN;MC1,240TR0",
       {"ESC %1B", "PA10,-20", "PR5,-6", "IN", "MC1,240", "TR0"}},
      {"PE moves and draws",
       E + "%1BPE=<" + B({211, 103, 76, 194}) + ";PE" + B({191, 191, 194, 253, 71, 194, 196}) +
           ";",
       {"ESC %1B", "PE move abs 10,6580", "PE draw 0,0; draw -1,31; draw 100,-2"}},
      {"PE with large values",
       E + "%1BPE<" + B({63, 81, 103, 198, 96, 74, 225, 201, 206}) + ";",
       {"ESC %1B", "PE move 1000000,-70000; draw 5,-7"}},
      {"PE in 7-bit mode with fractional bits",
       E + "%1BPE7<" + B({115, 110}) + ">" + B({99}) + B({105, 110}) + "=" + B({81, 66, 119, 95}) +
           ";",
       {"ESC %1B", "PE 7bit; move 10,-7; frac 2; draw 1.25,-1.75; draw abs 3086.25,0"}},
      {"PE ended by semicolons between polygon commands",
       E + "%1BPE=<" + B({191, 191}) + ";PM0PE" + B({201, 206}) + ";PM2FP1",
       {"ESC %1B", "PE move abs 0,0", "PM0", "PE draw 5,-7", "PM2", "FP1"}},
      {"labels, label terminator and comment",
       E + "%1BLBHello, World;\x03" + "DT$,1;LBabc$DT;LBx\x03" + "CO \"note\";SM*;",
       {"ESC %1B", "LB \"Hello, World;\"", "DT \"$\",1", "LB \"abc\"", "DT", "LB \"x\"",
        "CO \"note\"", "SM \"*\""}},
      {"label terminator restored by a reset",
       E + "%1BDT$;" + E + "E" + E + "%1BLBa$\x03" "DT#;INLBb#\x03",
       {"ESC %1B", "DT \"$\"", "ESC E", "ESC %1B", "LB \"a$\"", "DT \"#\"", "IN",
        "LB \"b#\""}},
      {"two-byte labels whose second bytes are the terminator and ESC",
       E + "&t38P" + E + "%1BLM1LB" + B({0x81, 0x03, 0x82, 0x1B}) + "A\x03" + "LM0LBb\x03",
       {"ESC &t38P", "ESC %1B", "LM1", "LB \"\\x81\\x03\\x82\\x1bA\"", "LM0", "LB \"b\""}},
      {"PCL command while in HP-GL/2",
       E + "%1B" + E + "*v0TSP1" + E + "%1A" + E + "*v0T",
       {"ESC %1B", "ESC *v0T  !! PCL command inside HP-GL/2 (ignored by the printer)", "SP1",
        "ESC %1A", "ESC *v0T"}},
      {"PCL without a job header",
       E + "E" + E + "&l1X",
       {"ESC E", "ESC &l1X"}},
      {"data of another language up to the next UEL",
       E + "%-12345X@PJL ENTER LANGUAGE=POSTSCRIPT\r\n%!PS\nshowpage\n" + E + "%-12345X",
       {"UEL", "@PJL ENTER LANGUAGE=POSTSCRIPT\\r\\n", "data [14 bytes] POSTSCRIPT data", "UEL"}},
  };
  for (const LinesCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Joined(AllLines(c.stream)), Joined(c.lines));
    ExpectCovered(c.stream, pcl::Decode(c.stream));
  }
}

TEST(PclDecoder, CommandsCarryTheirFieldsAndHelpersFindThem) {
  const std::string stream =
      E + "%-12345X@PJL SET QTY=3\n@PJL SET  resolution = 600 \r\n@PJL ENTER LANGUAGE=PCL\r\n" +
      E + "E" + E + "&l26a0o1E" + E + "&l2A" + E + "%1BPE=<" + B({211, 103, 76, 194}) + ";SP1" +
      E + "%1A\f";
  const std::vector<pcl::Command> commands = pcl::Decode(stream);
  EXPECT_EQ(pcl::PjlLines(commands),
            (std::vector<std::string>{"@PJL SET QTY=3", "@PJL SET  resolution = 600 ",
                                      "@PJL ENTER LANGUAGE=PCL"}));
  EXPECT_EQ(pcl::PjlSetting(commands, "QTY"), "3");
  EXPECT_EQ(pcl::PjlSetting(commands, "RESOLUTION"), "600");
  EXPECT_FALSE(pcl::PjlSetting(commands, "COPIES").has_value());
  EXPECT_EQ(pcl::Names(commands, pcl::Kind::Pcl),
            (std::vector<std::string>{"ESC E", "ESC &l26A", "ESC &l0O", "ESC &l1E", "ESC &l2A",
                                      "ESC %1B", "ESC %1A"}));

  const std::vector<const pcl::Command*> sizes = pcl::FindAll(commands, "ESC &l#A");
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[0]->value, 26);
  EXPECT_EQ(sizes[0]->parameterized, '&');
  EXPECT_EQ(sizes[0]->group, 'l');
  EXPECT_EQ(sizes[0]->terminator, 'A');
  EXPECT_EQ(sizes[1]->value_text, "2");
  EXPECT_EQ(pcl::Count(commands, "ESC &l2A"), 1u);
  EXPECT_EQ(pcl::Key(*sizes[0]), "ESC &l#A");

  // Offsets and sizes: the second command of a combined sequence starts at its value.
  const pcl::Command* orientation = pcl::FindFirst(commands, "ESC &l0O");
  ASSERT_NE(orientation, nullptr);
  EXPECT_EQ(stream.substr(orientation->offset, orientation->size), "0o");

  const pcl::Command* move = pcl::FindFirst(commands, "PE");
  ASSERT_NE(move, nullptr);
  ASSERT_EQ(move->pe.size(), 1u);
  EXPECT_EQ(move->pe[0].type, pcl::PeOp::Type::Move);
  EXPECT_TRUE(move->pe[0].absolute);
  EXPECT_EQ(move->pe[0].x, 10);
  EXPECT_EQ(move->pe[0].y, 6580);
  EXPECT_EQ(stream.substr(move->offset, move->size), "PE=<" + B({211, 103, 76, 194}) + ";");
  EXPECT_EQ(pcl::Count(commands, "FF"), 1u);
  EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);

  const std::string dump = pcl::Dump(commands);
  EXPECT_NE(dump.find("       0: UEL\n"), std::string::npos) << dump;
}

// Five rows of 64 dots; the third is white and the last two repeat the second.
const std::vector<std::vector<uint8_t>> kRows = {
    {0x00, 0xff, 0xff, 0xff, 0, 0, 0, 0},
    {0x00, 0xff, 0x0f, 0xff, 0, 0, 0, 0x81},
    {0, 0, 0, 0, 0, 0, 0, 0},
    {0x00, 0xff, 0x0f, 0xff, 0, 0, 0, 0x81},
    {0x00, 0xff, 0x0f, 0xff, 0, 0, 0, 0x81},
};

std::string RasterImage(int method, const std::vector<std::string>& transfers) {
  std::string s = E + "*r64s5t1A" + E + "*b" + std::to_string(method) + "M";
  for (const std::string& t : transfers) s += E + "*b" + std::to_string(t.size()) + "W" + t;
  return s + E + "*rC";
}

std::vector<pcl::RasterRows> ExpandedRows(const std::vector<pcl::Command>& commands) {
  std::vector<pcl::RasterRows> rows;
  for (const pcl::RasterRows& r : pcl::Rows(commands)) {
    for (uint32_t i = 0; i < r.count; ++i) rows.push_back(r);
  }
  return rows;
}

TEST(PclDecoder, RasterRowsDecodeToTheSameBytesInEveryMethod) {
  const std::string r1_packbits = B({3, 0x00, 0xff, 0x0f, 0xff, 0xfe, 0x00, 0, 0x81});
  const std::string r1_runs = B({0, 0, 0, 0xff, 0, 0x0f, 0, 0xff, 2, 0, 0, 0x81});
  struct Case {
    const char* name;
    int method;
    std::vector<std::string> transfers;
    std::vector<int> forms;
  };
  const Case cases[] = {
      {"unencoded, trailing white left out",
       0,
       {B({0, 0xff, 0xff, 0xff}), B({0, 0xff, 0x0f, 0xff, 0, 0, 0, 0x81}), "",
        B({0, 0xff, 0x0f, 0xff, 0, 0, 0, 0x81}), B({0, 0xff, 0x0f, 0xff, 0, 0, 0, 0x81})},
       {0, 0, 0, 0, 0}},
      {"run-length", 1, {B({0, 0, 2, 0xff, 3, 0}), r1_runs, B({7, 0}), r1_runs, r1_runs}, {1, 1, 1, 1, 1}},
      {"PackBits", 2, {B({0, 0x00, 0xfe, 0xff}), r1_packbits, "", r1_packbits, r1_packbits},
       {2, 2, 2, 2, 2}},
      {"delta row",
       3,
       {B({0x41, 0xff, 0xff, 0xff}), B({0x02, 0x0f, 0x04, 0x81}), B({0x41, 0, 0, 0, 0x03, 0}),
        B({0x41, 0xff, 0x0f, 0xff, 0x03, 0x81}), ""},
       {3, 3, 3, 3, 3}},
      {"adaptive block",
       5,
       {B({0, 0, 4, 0x00, 0xff, 0xff, 0xff, 3, 0, 4, 0x02, 0x0f, 0x04, 0x81, 4, 0, 1, 2, 0, 9}) +
        r1_packbits + B({5, 0, 1})},
       {0, 3, 4, 2, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stream = RasterImage(c.method, c.transfers);
    const std::vector<pcl::Command> commands = pcl::Decode(stream);
    EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);
    ExpectCovered(stream, commands);
    const std::vector<pcl::RasterRows> rows = ExpandedRows(commands);
    ASSERT_EQ(rows.size(), kRows.size()) << pcl::Dump(commands);
    for (size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE("row " + std::to_string(i));
      size_t significant = kRows[i].size();
      while (significant > 0 && kRows[i][significant - 1] == 0) --significant;
      size_t ink = 0;
      for (uint8_t b : kRows[i]) ink += size_t(__builtin_popcount(b));
      EXPECT_EQ(rows[i].hash, pcl::RowHash(kRows[i]));
      EXPECT_EQ(rows[i].significant, significant);
      EXPECT_EQ(rows[i].ink, ink);
      EXPECT_EQ(rows[i].method, c.method);
      EXPECT_EQ(rows[i].form, c.forms[i]);
      EXPECT_EQ(rows[i].session, 1u);
    }
    EXPECT_EQ(rows[1].head, "00ff0fff00000081");
  }
}

TEST(PclDecoder, RasterEdgeCases) {
  {
    SCOPED_TRACE("delta offset of 40 needs an extension byte");
    const std::string stream = E + "*r384s1A" + E + "*b3m3W" + B({31, 9, 0x55}) + E + "*rC";
    const std::vector<pcl::Command> commands = pcl::Decode(stream);
    const std::vector<pcl::RasterRows> rows = pcl::Rows(commands);
    ASSERT_EQ(rows.size(), 1u);
    std::vector<uint8_t> expected(41, 0);
    expected[40] = 0x55;
    EXPECT_EQ(rows[0].hash, pcl::RowHash(expected));
    EXPECT_EQ(rows[0].significant, 41u);
    EXPECT_EQ(rows[0].ink, 4u);
    EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);
  }
  {
    SCOPED_TRACE("delta offset of 286 continues after an extension byte of 255");
    const std::string stream = E + "*r2400s1A" + E + "*b3m4W" + B({31, 255, 0, 0x55}) + E + "*rC";
    const std::vector<pcl::RasterRows> rows = pcl::Rows(pcl::Decode(stream));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].decoded, 300u);
    EXPECT_EQ(rows[0].significant, 287u);
  }
  {
    SCOPED_TRACE("130 equal bytes in two PackBits runs, no raster width given");
    const std::string stream = E + "*r1A" + E + "*b2m4W" + B({129, 0xaa, 255, 0xaa}) + E + "*rB";
    const std::vector<pcl::RasterRows> rows = pcl::Rows(pcl::Decode(stream));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].decoded, 130u);
    EXPECT_EQ(rows[0].hash, pcl::RowHash(std::vector<uint8_t>(130, 0xaa)));
    EXPECT_EQ(rows[0].head, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa...");
  }
  {
    SCOPED_TRACE("a row longer than the raster width is clipped and said so");
    const std::string stream = E + "*r8s1A" + E + "*b1m2W" + B({3, 0xff});
    const std::vector<pcl::Command> commands = pcl::Decode(stream);
    const pcl::Command* row = pcl::FindFirst(commands, "row");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->rows.decoded, 1u);
    EXPECT_EQ(row->rows.ink, 8u);
    EXPECT_NE(row->note.find("3 bytes beyond the raster width dropped"), std::string::npos)
        << row->note;
  }
  {
    SCOPED_TRACE("a new raster session starts from a white seed row");
    const std::string stream = RasterImage(3, {B({0x41, 0xff, 0xff, 0xff})}) +
                               E + "*r1A" + E + "*b3m2W" + B({0x02, 0x0f}) + E + "*rC";
    const std::vector<pcl::RasterRows> rows = pcl::Rows(pcl::Decode(stream));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].session, 2u);
    EXPECT_EQ(rows[1].first, 0u);
    EXPECT_EQ(rows[1].hash, pcl::RowHash(std::vector<uint8_t>{0, 0, 0x0f}));
  }
  {
    SCOPED_TRACE("empty rows clear the seed row in an adaptive block");
    const std::string stream =
        RasterImage(5, {B({0, 0, 2, 0xf0, 0xf0, 4, 0, 3, 3, 0, 2, 0x01, 0x0f})});
    const std::vector<pcl::Command> commands = pcl::Decode(stream);
    const std::vector<pcl::RasterRows> rows = pcl::Rows(commands);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].first, 1u);
    EXPECT_EQ(rows[1].count, 3u);
    EXPECT_EQ(rows[2].first, 4u);
    EXPECT_EQ(rows[2].hash, pcl::RowHash(std::vector<uint8_t>{0, 0x0f}));
    EXPECT_NE(pcl::Dump(commands).find("rows 1-3 empty"), std::string::npos) << pcl::Dump(commands);
  }
  {
    SCOPED_TRACE("rows without a raster start");
    const std::vector<pcl::Command> commands = pcl::Decode(E + "*b1W" + B({0x80}));
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_NE(commands[0].note.find("started implicitly"), std::string::npos);
    EXPECT_EQ(commands[1].rows.ink, 1u);
  }
}

std::string FontHeader(bool good_checksum) {
  std::string h(72, '\0');
  h[0] = 0;
  h[1] = 72;
  h[2] = 15;  // format
  h[3] = 2;   // font type
  h[14] = 0;
  h[15] = 1;  // symbol set
  const std::string name = "Arial           ";
  h.replace(48, 16, name);
  h[64] = 0x08;  // units per em 2048
  h[66] = char(0xfe);
  h[67] = 0x67;
  h[69] = 102;
  h[70] = 1;
  std::string segments = "PA" + B({0, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}) + B({0xff, 0xff, 0, 0, 0});
  std::string data = h + segments;
  unsigned sum = 0;
  for (size_t i = 64; i < data.size(); ++i) sum += uint8_t(data[i]);
  data += char(uint8_t(256 - sum % 256) + (good_checksum ? 0 : 1));
  return data;
}

TEST(PclDecoder, SummarisesFontAndPatternDownloads) {
  const std::string header = FontHeader(true);
  const std::string bitmap_char =
      B({4, 0, 14, 1, 0, 0, 0, 1, 0, 20, 0, 12, 0, 3, 0, 48}) + B({0xff, 0xf0, 0x80, 0x10, 0xff, 0xf0});
  std::string outline_char = B({15, 0, 2, 15, 0, 8, 0, 36}) + B({0, 1, 0, 2}) + B({0});
  unsigned sum = 0;
  for (size_t i = 4; i < outline_char.size(); ++i) sum += uint8_t(outline_char[i]);
  outline_char += char(uint8_t(256 - sum % 256));
  const std::string pattern = B({20, 0, 1, 0, 0, 16, 0, 16, 2, 88, 2, 88}) + std::string(32, '\x55');
  const std::string stream =
      E + "*c16385D" + E + ")s" + std::to_string(header.size()) + "W" + header + E + "*c65E" +
      E + "(s22W" + bitmap_char + E + "*c66E" + E + "(s14W" + outline_char + E + "*c383g44W" +
      pattern + E + "*c5d2F";
  const std::vector<pcl::Command> commands = pcl::Decode(stream);
  EXPECT_EQ(Joined(pcl::Lines(commands, pcl::Kind::Pcl)),
            Joined({"ESC *c16385D",
                    "ESC )s92W [92 bytes] font 16385 header: format 15, type 2, descriptor 72, "
                    "symbol set 1, name \"Arial\"; segments PA 10 end, checksum ok",
                    "ESC *c65E",
                    "ESC (s22W [22 bytes] char 65 of font 16385: format 4, class 1, 12x3 dots, "
                    "left 1, top 20, delta x 48, 6 bitmap bytes",
                    "ESC *c66E",
                    "ESC (s14W [14 bytes] char 66 of font 16385: format 15, class 15, glyph 36, "
                    "glyph data 4 bytes, checksum ok",
                    "ESC *c383G",
                    "ESC *c44W [44 bytes] pattern 383: format 20, 16x16 dots, 600x600 dpi, 32 data "
                    "bytes",
                    "ESC *c5D", "ESC *c2F"}));
  EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);
  ExpectCovered(stream, commands);

  // Faults inside downloads are flagged.
  const std::string bad = E + ")s92W" + FontHeader(false) + E + "*c1g20W" +
                          B({20, 0, 1, 0, 0, 16, 0, 16, 2, 88, 2, 88}) + "12345678";
  const std::vector<pcl::Command> flagged = pcl::Decode(bad);
  const std::vector<const pcl::Command*> problems = pcl::Problems(flagged);
  ASSERT_EQ(problems.size(), 2u) << pcl::Dump(flagged);
  EXPECT_NE(problems[0]->note.find("checksum wrong"), std::string::npos);
  EXPECT_NE(problems[1]->note.find("pattern data is 8 bytes, 16x16 needs 32"), std::string::npos);
}

// A format 15 header whose "GT" segment holds gdir and one 6-byte table;
// `damage` 1 spoils the table's checksum, 2 points it past the segment.
std::string TrueTypeHeader(int damage) {
  std::string h(72, '\0');
  h[1] = 72;
  h[2] = 15;
  h[3] = 2;
  h[70] = 1;
  const std::string table = B({0, 1, 0, 2, 0, 3, 0, 0});  // 6 bytes and padding
  const uint32_t checksum = 0x00010002u + 0x00030000u + (damage == 1 ? 1 : 0);
  const uint32_t offset = damage == 2 ? 60 : 12 + 32;
  std::string gt = B({0, 1, 0, 0, 0, 2, 0, 32, 0, 1, 0, 0}) + "gdir" + std::string(12, '\0') + "cvt " +
                   B({int(checksum >> 24), int(checksum >> 16 & 0xFF), int(checksum >> 8 & 0xFF),
                      int(checksum & 0xFF), 0, 0, 0, int(offset), 0, 0, 0, 6}) +
                   table;
  std::string data = h + "GT" + B({0, int(gt.size())}) + gt + B({0xff, 0xff, 0, 0, 0});
  unsigned sum = 0;
  for (size_t i = 64; i < data.size(); ++i) sum += uint8_t(data[i]);
  return data + char(uint8_t(256 - sum % 256));
}

TEST(PclDecoder, ChecksTheTablesOfTrueTypeFontHeaders) {
  const std::string good = TrueTypeHeader(0);
  const std::vector<pcl::Command> commands =
      pcl::Decode(E + ")s" + std::to_string(good.size()) + "W" + good);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_NE(commands[0].summary.find("segments GT 52 (2 tables) end, checksum ok"), std::string::npos)
      << commands[0].summary;
  EXPECT_TRUE(pcl::Problems(commands).empty()) << pcl::Dump(commands);
  for (int damage : {1, 2}) {
    const std::string bad = TrueTypeHeader(damage);
    const std::vector<pcl::Command> flagged = pcl::Decode(E + ")s" + std::to_string(bad.size()) + "W" + bad);
    ASSERT_EQ(pcl::Problems(flagged).size(), 1u) << pcl::Dump(flagged);
    EXPECT_NE(flagged[0].note.find(damage == 1 ? "GT table cvt  checksum wrong" : "GT table cvt  runs past"),
              std::string::npos)
        << flagged[0].note;
  }
}

TEST(PclDecoder, ShowsMalformedInputInsteadOfSkippingIt) {
  struct Case {
    const char* name;
    std::string stream;
    std::string line;  // expected among the lines
  };
  const Case cases[] = {
      {"escape cut off", "A" + E + "&l", "unknown [3 bytes] 1b266c  !! escape sequence cut off by the end of the data"},
      {"lone ESC at the end", E, "unknown [1 byte] 1b  !! escape sequence cut off by the end of the data"},
      {"ESC before a control byte", E + "\x01", "unknown [1 byte] 1b  !! ESC followed by 0x01 starts no command"},
      {"sequence broken by a comma", E + "&l1,2A",
       "unknown [4 bytes] 1b266c31  !! escape sequence broken by byte 0x2c"},
      {"combined sequence without terminator", E + "&l1a" + E + "E",
       "ESC &l1A  !! combined sequence not ended by an upper-case terminator"},
      {"data count beyond the end", E + "*b100W" + "abcde",
       "ESC *b100W [5 bytes] unencoded  !! data cut off: 5 of 100 bytes present; raster graphics "
       "started implicitly"},
      {"huge data count", E + "(s99999999999999999999W" + "xy",
       "ESC (s99999999999999999999W [2 bytes] char 0 of font 0: continuation, 0 data bytes  !! "
       "data cut off: 2 of 99999999999999999999 bytes present"},
      {"negative data count", E + "*c-5W" + "x", "ESC *c-5W  !! negative byte count taken as 0"},
      {"PJL line without LF", E + "%-12345X@PJL SET QTY=2", "@PJL SET QTY=2  !! PJL line not ended by LF"},
      {"PE broken by ESC", E + "%1BPE" + B({211}) + E + "%1A",
       "PE  !! PE not ended by ';'; PE coordinate 10 without its partner"},
      {"PE with bytes of no meaning", E + "%1BPE " + B({191, 130, 191}) + ";",
       "PE draw 0,0  !! 2 bytes ignored in PE data (0x20 0x82)"},
      {"PE number cut off", E + "%1BPE" + B({63, 63}), "PE  !! PE cut off by the end of the data; PE number without its terminating digit"},
      {"label without terminator", E + "%1BLBabc", "LB \"abc\"  !! label cut off by the end of the data"},
      {"empty HP-GL/2 parameter", E + "%1BPA10,,20;", "PA10,20  !! empty parameter"},
      {"bytes outside HP-GL/2 instructions", E + "%1B\x80\x81SP1", "unknown [2 bytes] 8081  !! bytes outside any HP-GL/2 instruction"},
      {"adaptive block entry cut off", E + "*r1A" + E + "*b5m5W" + B({4, 0, 1, 0, 0}),
       "unknown [2 bytes] 0000  !! adaptive block entry cut off"},
      {"adaptive entry command unknown", E + "*r1A" + E + "*b5m4W" + B({9, 0, 1, 7}),
       "unknown [4 bytes] 09000107  !! adaptive block entry with unknown command 9"},
      {"adaptive row data cut off", E + "*r1A" + E + "*b5m5W" + B({0, 0, 9, 1, 2}),
       "row 0 unencoded: 2 bytes from 2, 2 significant, ink 2, hash "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<pcl::Command> commands = pcl::Decode(c.stream);
    const std::string dump = Joined(AllLines(c.stream));
    EXPECT_NE(dump.find(c.line), std::string::npos) << dump;
    EXPECT_FALSE(pcl::Problems(commands).empty()) << dump;
    ExpectCovered(c.stream, commands);
  }
}

// Streams to mutate: a little of everything the driver writes.
std::vector<std::string> SampleStreams() {
  return {
      E + "%-12345X@PJL JOB NAME=\"x\"\r\n@PJL ENTER LANGUAGE=PCL\r\n" + E + "E" + E +
          "&l26a0o1E" + E + "%0BSC0,1.6934,0,-1.6934,2PE=<" + B({211, 103, 76, 194}) + ";LBab\x03" +
          E + "%0A\f" + E + "%-12345X",
      RasterImage(5, {B({0, 0, 4, 0x00, 0xff, 0xff, 0xff, 3, 0, 4, 0x02, 0x0f, 0x04, 0x81, 4, 0, 1,
                         5, 0, 2})}),
      RasterImage(3, {B({31, 9, 0x55}), B({0x41, 1, 2, 3})}),
      E + "*c16385D" + E + ")s92W" + FontHeader(true) + E + "*c65E" + E + "(s18W" +
          B({4, 0, 14, 1, 0, 0, 0, 1, 0, 1, 0, 8, 0, 2, 0, 8, 0xff, 0x81}),
      E + "%1BPE7<" + B({115, 110}) + ">" + B({99, 105, 110}) + ";DT$;LBx$",
  };
}

TEST(PclDecoder, SurvivesRandomAndMutatedInput) {
  std::mt19937 rng(20240611);
  const std::vector<std::string> samples = SampleStreams();
  const std::vector<std::string> tokens = {
      E, "*b", "*r", "*c", "(s", ")s", "&l", "%1B", "%0A", "%-12345X", "PE", "LB", "DT", "\x03",
      ";", ",", "W", "M", "A", "5", "12", "-", ".", "<", "=", ">", "7", "\r\n", "@PJL",
      "@PJL ENTER LANGUAGE=PCL\r\n", "65535", "99999999999"};
  const auto started = std::chrono::steady_clock::now();
  for (int iteration = 0; iteration < 4000; ++iteration) {
    std::string s;
    switch (iteration % 3) {
      case 0: {  // random bytes
        const size_t n = rng() % 400;
        for (size_t i = 0; i < n; ++i) s += char(rng() & 0xff);
        break;
      }
      case 1: {  // token soup
        const size_t n = rng() % 60;
        for (size_t i = 0; i < n; ++i) {
          if (rng() % 5 == 0) s += char(rng() & 0xff);
          else s += tokens[rng() % tokens.size()];
        }
        break;
      }
      default: {  // a valid stream, mutated
        s = samples[rng() % samples.size()];
        const int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits && !s.empty(); ++e) {
          const size_t at = rng() % s.size();
          switch (rng() % 4) {
            case 0: s[at] = char(rng() & 0xff); break;
            case 1: s.resize(at); break;
            case 2: s.insert(at, tokens[rng() % tokens.size()]); break;
            default: s.erase(at, 1 + rng() % 8); break;
          }
        }
      }
    }
    SCOPED_TRACE("iteration " + std::to_string(iteration));
    const std::vector<pcl::Command> commands = pcl::Decode(s);
    ExpectCovered(s, commands);
    if (::testing::Test::HasFatalFailure()) return;
    const std::string dump = pcl::Dump(commands);
    ASSERT_EQ(s.empty(), dump.empty());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

TEST(PclDecoder, LargeRasterDecodesInLinearTime) {
  // 20000 rows of a 65535-byte raster width, each changing one byte: the
  // decoder must not copy or rescan whole rows per row.
  std::string s = E + "*r524280s1A" + E + "*b3M";
  for (int i = 0; i < 20000; ++i) s += E + "*b2W" + B({i % 31, 0x01 + (i & 0x7f)});
  s += E + "*rC";
  const auto started = std::chrono::steady_clock::now();
  const std::vector<pcl::Command> commands = pcl::Decode(s);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(pcl::Rows(commands).size(), 20000u);
  EXPECT_EQ(pcl::Rows(commands).back().decoded, 65535u);
}

struct Outcome {
  int status = -1;
  std::string output;
};

Outcome Pcldump(const std::string& args) {
  const std::string command = std::string(KV_BUILD_BIN_DIR) + "/pcldump " + args + " 2>&1";
  Outcome run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(PcldumpProgram, PrintsOneLinePerCommandWithItsOffset) {
  const std::string dir = kvtest::MakeTempDir("pcldump-");
  const std::string file = dir + "/job.prn";
  const std::string stream = E + "%-12345X@PJL ENTER LANGUAGE=PCL\r\n" + E + "E" + E +
                             "&l26a1E" + E + "%1BPE=<" + B({211, 103, 76, 194}) + ";" + E + "%1A" +
                             RasterImage(0, {B({0x80})}) + "\f";
  {
    std::ofstream out(file, std::ios::binary);
    out << stream;
  }
  const std::string expected =
      "       0: UEL\n"
      "       9: @PJL ENTER LANGUAGE=PCL\\r\\n\n"
      "      34: ESC E\n"
      "      36: ESC &l26A\n"
      "      42: ESC &l1E\n"
      "      44: ESC %1B\n"
      "      48: PE move abs 10,6580\n"
      "      57: ESC %1A\n"
      "      61: ESC *r64S\n"
      "      67: ESC *r5T\n"
      "      69: ESC *r1A\n"
      "      71: ESC *b0M\n"
      "      76: ESC *b1W [1 byte] unencoded\n"
      "      81: row 0 unencoded: 1 byte from 1, 1 significant, ink 1, hash ";
  Outcome run = Pcldump("'" + file + "'");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.substr(0, expected.size()), expected) << run.output;
  EXPECT_NE(run.output.find("      86: FF\n"), std::string::npos) << run.output;

  Outcome piped = Pcldump("- < '" + file + "'");
  EXPECT_EQ(piped.status, 0) << piped.output;
  EXPECT_EQ(piped.output, run.output);

  Outcome missing = Pcldump("'" + dir + "/absent.prn'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.output.find("cannot open"), std::string::npos) << missing.output;

  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace
