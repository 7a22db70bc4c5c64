#include "pclcore/5e/raster_compression.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvplat/fault.h"
#include "kvplat/spooler.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"
#include "support/test_printer.h"
#include "support/test_root.h"

namespace {

using kv5e::PclPdev;
using Bytes = std::vector<BYTE>;

// --- A reader for what the printer receives ---

// One PCL command: ESC "*b5M" is {"*b", 'M', 5}; a transfer carries its data.
struct Command {
  std::string group;
  char letter;
  long value;
  std::string data;
};

std::vector<Command> ParseCommands(const std::string& stream) {
  std::vector<Command> commands;
  std::size_t at = 0;
  while (at < stream.size()) {
    if (stream[at] != '\x1B' || at + 1 >= stream.size()) {
      ADD_FAILURE() << "stray byte at " << at;
      return commands;
    }
    ++at;
    std::string group(1, stream[at++]);
    if (group != "%") group += stream[at++];
    for (;;) {
      std::size_t digits = at;
      if (digits < stream.size() && stream[digits] == '-') ++digits;
      while (digits < stream.size() && std::isdigit(static_cast<unsigned char>(stream[digits]))) {
        ++digits;
      }
      if (digits >= stream.size()) {
        ADD_FAILURE() << "command cut short at " << at;
        return commands;
      }
      Command c{group, static_cast<char>(std::toupper(stream[digits])),
                digits > at ? std::stol(stream.substr(at, digits - at)) : 0, {}};
      const bool last = std::isupper(static_cast<unsigned char>(stream[digits]));
      at = digits + 1;
      if (c.group == "*b" && c.letter == 'W') {
        if (at + c.value > stream.size()) {
          ADD_FAILURE() << "transfer cut short";
          return commands;
        }
        c.data = stream.substr(at, c.value);
        at += c.value;
      }
      commands.push_back(std::move(c));
      if (last) break;
    }
  }
  return commands;
}

// A raster image as the printer rebuilds it. The printer keeps the previous
// row as the seed row of delta rows and duplicates; it forgets it (all white)
// at an empty-row entry and at the end of every block.
struct Raster {
  long x = -1, y = -1, width = -1, height = -1, method = -1;
  bool started = false, ended = false;
  std::vector<Bytes> rows;
  std::vector<std::size_t> blockSizes;
  std::vector<Bytes> entries;  // method 5: each entry's command, count and data
  std::vector<std::size_t> blockStarts;  // index of each block's first entry
};

void DecodePackBits(const std::string& in, Bytes& row) {
  std::fill(row.begin(), row.end(), 0);
  std::size_t out = 0;
  for (std::size_t i = 0; i < in.size();) {
    const auto control = static_cast<BYTE>(in[i++]);
    if (control < 128) {
      const std::size_t length = control + 1u;
      ASSERT_LE(i + length, in.size()) << "literal runs past the data";
      for (std::size_t k = 0; k < length; ++k, ++out) {
        ASSERT_LT(out, row.size()) << "PackBits runs past the row";
        row[out] = static_cast<BYTE>(in[i + k]);
      }
      i += length;
    } else if (control > 128) {
      ASSERT_LT(i, in.size());
      const std::size_t length = 257u - control;
      for (std::size_t k = 0; k < length; ++k, ++out) {
        ASSERT_LT(out, row.size()) << "PackBits runs past the row";
        row[out] = static_cast<BYTE>(in[i]);
      }
      ++i;
    }
  }
}

void ApplyDelta(const std::string& in, Bytes& row) {
  std::size_t position = 0;
  for (std::size_t i = 0; i < in.size();) {
    const auto command = static_cast<BYTE>(in[i++]);
    const std::size_t count = (command >> 5) + 1u;
    std::size_t offset = command & 31u;
    if (offset == 31) {
      BYTE more;
      do {
        ASSERT_LT(i, in.size()) << "offset bytes run past the data";
        more = static_cast<BYTE>(in[i++]);
        offset += more;
      } while (more == 255);
    }
    position += offset;
    ASSERT_LE(i + count, in.size()) << "replacement runs past the data";
    for (std::size_t k = 0; k < count; ++k, ++position) {
      ASSERT_LT(position, row.size()) << "delta runs past the row";
      row[position] = static_cast<BYTE>(in[i + k]);
    }
    i += count;
  }
}

Raster DecodeRaster(const std::string& stream) {
  Raster r;
  Bytes seed;
  for (const Command& c : ParseCommands(stream)) {
    if (c.group == "*p" && c.letter == 'X') r.x = c.value;
    if (c.group == "*p" && c.letter == 'Y') r.y = c.value;
    if (c.group == "*r" && c.letter == 'S') r.width = c.value;
    if (c.group == "*r" && c.letter == 'T') r.height = c.value;
    if (c.group == "*r" && c.letter == 'A') {
      EXPECT_EQ(c.value, 1) << "raster starts at the cursor";
      r.started = true;
      seed.assign((r.width + 7) / 8, 0);
    }
    if (c.group == "*r" && c.letter == 'C') r.ended = true;
    if (c.group == "*b" && c.letter == 'M') r.method = c.value;
    if (c.group != "*b" || c.letter != 'W') continue;
    EXPECT_TRUE(r.started && !r.ended) << "transfer outside the raster";
    const std::string& data = c.data;
    if (r.method == 0) {
      Bytes row(seed.size(), 0);
      std::memcpy(row.data(), data.data(), std::min(data.size(), row.size()));
      r.rows.push_back(row);
      continue;
    }
    EXPECT_EQ(r.method, 5);
    r.blockSizes.push_back(data.size());
    r.blockStarts.push_back(r.entries.size());
    std::size_t i = 0;
    while (i < data.size()) {
      if (i + 3 > data.size()) {
        ADD_FAILURE() << "entry header cut short";
        break;
      }
      const auto command = static_cast<BYTE>(data[i]);
      const std::size_t value = static_cast<BYTE>(data[i + 1]) * 256u + static_cast<BYTE>(data[i + 2]);
      i += 3;
      const std::size_t n = command <= 3 ? value : 0;
      if (i + n > data.size()) {
        ADD_FAILURE() << "entry data cut short";
        break;
      }
      const std::string payload = data.substr(i, n);
      i += n;
      Bytes entry{command, static_cast<BYTE>(value >> 8), static_cast<BYTE>(value)};
      entry.insert(entry.end(), payload.begin(), payload.end());
      r.entries.push_back(entry);
      switch (command) {
        case 0:
          std::fill(seed.begin(), seed.end(), 0);
          EXPECT_LE(n, seed.size()) << "unencoded row longer than the raster";
          std::memcpy(seed.data(), payload.data(), std::min(n, seed.size()));
          r.rows.push_back(seed);
          break;
        case 2:
          DecodePackBits(payload, seed);
          r.rows.push_back(seed);
          break;
        case 3:
          ApplyDelta(payload, seed);
          r.rows.push_back(seed);
          break;
        case 4:
          std::fill(seed.begin(), seed.end(), 0);
          for (std::size_t k = 0; k < value; ++k) r.rows.push_back(seed);
          break;
        case 5:
          for (std::size_t k = 0; k < value; ++k) r.rows.push_back(seed);
          break;
        default:
          ADD_FAILURE() << "unknown entry " << int(command);
      }
    }
    std::fill(seed.begin(), seed.end(), 0);
  }
  return r;
}

// --- Images ---

struct Image {
  int width = 0, height = 0;
  std::ptrdiff_t stride = 0;
  Bytes bits;
  const BYTE* Row(int y) const { return bits.data() + y * stride; }
  BYTE* Row(int y) { return bits.data() + y * stride; }
  bool Dot(int x, int y) const { return (Row(y)[x / 8] >> (7 - x % 8)) & 1; }
};

Image MakeImage(int width, int height) {
  Image image;
  image.width = width;
  image.height = height;
  image.stride = (width + 7) / 8 + 1;  // as the renderer lays rows out
  image.bits.assign(image.stride * height, 0);
  return image;
}

// Rows of every kind the encoders tell apart: noise, runs, repeats, small
// changes, white rows, trailing white; the unused bits after the width and
// the spare byte of each row hold junk.
Image RandomImage(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  Image image = MakeImage(width, height);
  const int b = (width + 7) / 8;
  for (int y = 0; y < height; ++y) {
    BYTE* row = image.Row(y);
    const int kind = static_cast<int>(random() % 8);
    if (kind == 1 && y > 0) {
      std::memcpy(row, image.Row(y - 1), b);
    } else if (kind == 2) {
      // white
    } else if (kind == 3 && y > 0) {
      std::memcpy(row, image.Row(y - 1), b);
      for (int k = 0, changes = 1 + static_cast<int>(random() % 12); k < changes; ++k) {
        row[random() % b] ^= static_cast<BYTE>(1 + random() % 255);
      }
    } else if (kind == 4) {
      for (int x = 0; x < b;) {
        const int run = 1 + static_cast<int>(random() % 300);
        const BYTE value = random() % 3 == 0 ? static_cast<BYTE>(random()) : BYTE{0};
        for (int k = 0; k < run && x < b; ++k) row[x++] = value;
      }
    } else if (kind == 5) {
      const int used = static_cast<int>(random() % (b + 1));
      for (int x = 0; x < used; ++x) row[x] = static_cast<BYTE>(random());
    } else {
      for (int x = 0; x < b; ++x) row[x] = static_cast<BYTE>(random());
    }
    if (width % 8 != 0 && random() % 2) row[b - 1] |= static_cast<BYTE>(0xFFu >> (width % 8));
    row[b] = static_cast<BYTE>(random());
  }
  return image;
}

// Compares the dots inside the width; a mirrored image is expected reversed.
void ExpectSameDots(const Image& image, const Raster& raster, bool mirrored) {
  ASSERT_EQ(raster.rows.size(), static_cast<std::size_t>(image.height));
  for (int y = 0; y < image.height; ++y) {
    const Bytes& row = raster.rows[y];
    for (int x = 0; x < image.width; ++x) {
      const int source = mirrored ? image.width - 1 - x : x;
      const bool dot = (row[x / 8] >> (7 - x % 8)) & 1;
      if (dot != image.Dot(source, y)) {
        FAIL() << "dot " << x << "," << y << " of " << image.width << "x" << image.height;
      }
    }
  }
}

Bytes Entry(BYTE command, unsigned value, Bytes data = {}) {
  Bytes entry{command, static_cast<BYTE>(value >> 8), static_cast<BYTE>(value)};
  entry.insert(entry.end(), data.begin(), data.end());
  return entry;
}

// --- Fixture: a device instance writing to a spooler job on a file port ---

class RasterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    printer_ = kvtest::AddFilePortPrinter(u"Raster", &port_);
    ASSERT_NE(printer_, nullptr);
    pdev_ = std::make_unique<PclPdev>();
    pdev_->printer = printer_;
    kv5e::ResetOutputBuffer(pdev_.get());
  }
  void TearDown() override {
    kvplat::fault::ClearAll();
    kv5e::FreeRasterBuffers(pdev_->raster);
    if (printer_) ClosePrinter(printer_);
  }
  void SetCompression(int value) {
    kv5e::SetDm(pdev_.get(), kvset::DmField("rasterCompression"), value);
  }
  // Runs `body` in a job of its own and returns what the port received.
  std::string Job(const std::function<void()>& body) {
    DOC_INFO_1W doc{const_cast<LPWSTR>(u"raster"), nullptr, nullptr};
    EXPECT_GT(StartDocPrinterW(printer_, 1, reinterpret_cast<LPBYTE>(&doc)), 0u);
    pdev_->flags = 0;
    kv5e::ResetOutputBuffer(pdev_.get());
    body();
    kvplat::fault::ClearAll();
    EXPECT_EQ(kv5e::FlushOutput(pdev_.get()), 1);
    if (!EndDocPrinter(printer_)) return "<no delivery>";
    std::ifstream in(port_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  Raster Send(const Image& image, int compression, bool mirrored = false, int left = 0,
              int top = 0) {
    SetCompression(compression);
    const std::string stream = Job([&] {
      EXPECT_TRUE(kv5e::SendRaster(pdev_.get(), left, top, image.width, image.height,
                                   image.bits.data(), image.stride, mirrored));
    });
    Raster raster = DecodeRaster(stream);
    EXPECT_TRUE(raster.ended);
    EXPECT_EQ(raster.width, image.width);
    EXPECT_EQ(raster.height, image.height);
    for (std::size_t size : raster.blockSizes) EXPECT_LE(size, kv5e::kRasterBlockLimit);
    return raster;
  }

  kvtest::TempRoot root_;
  HANDLE printer_ = nullptr;
  std::string port_;
  std::unique_ptr<PclPdev> pdev_;
};

// --- Row coders ---

TEST(RasterCoders, PackBitsRunsAndLiterals) {
  struct Case {
    const char* what;
    Bytes in, out;
  };
  Bytes equal130(130, 9);
  Bytes distinct130(130);
  for (int i = 0; i < 130; ++i) distinct130[i] = static_cast<BYTE>(i);
  Bytes literal128Out{127};
  literal128Out.insert(literal128Out.end(), distinct130.begin(), distinct130.begin() + 128);
  literal128Out.insert(literal128Out.end(), {1, 128, 129});
  const Case cases[] = {
      {"four equal bytes", {7, 7, 7, 7}, {253, 7}},
      {"three distinct bytes", {1, 2, 3}, {2, 1, 2, 3}},
      {"a repeat ends the literal", {1, 2, 2, 2}, {0, 1, 254, 2}},
      {"two equal bytes are a run", {5, 5}, {255, 5}},
      {"literal, pair, literal", {1, 2, 3, 3, 4}, {1, 1, 2, 255, 3, 0, 4}},
      {"single byte", {42}, {0, 42}},
      {"run then single last byte", {6, 6, 6, 1}, {254, 6, 0, 1}},
      {"130 equal bytes: 128 then 2", equal130, {129, 9, 255, 9}},
      {"130 distinct bytes: 128 then 2", distinct130, literal128Out},
      {"nothing", {}, {}},
  };
  for (const Case& c : cases) {
    Bytes out(c.in.size() * 2 + 2, 0xEE);
    const std::uint32_t length =
        kv5e::PackBits(c.in.data(), static_cast<std::uint32_t>(c.in.size()), out.data());
    out.resize(length);
    EXPECT_EQ(out, c.out) << c.what;
  }
}

TEST(RasterCoders, DeltaRowCommands) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, BYTE>> changes;  // (byte, new value) against a 600-byte seed
    Bytes out;
  };
  const Case cases[] = {
      {"row equals the seed", {}, {}},
      {"byte 40 differs", {{40, 0xAB}}, {31, 9, 0xAB}},
      {"offset of exactly 31", {{31, 1}}, {31, 0, 1}},
      {"offset 30 needs no extension", {{30, 1}}, {30, 1}},
      {"offset 286: a 255 and a 0", {{286, 2}}, {31, 255, 0, 2}},
      {"offset 300", {{300, 3}}, {31, 255, 14, 3}},
      {"offset 541: two 255 bytes and 0", {{541, 4}}, {31, 255, 255, 0, 4}},
      {"second offset counts from the end of the first command",
       {{0, 1}, {1, 2}, {5, 3}},
       {1 << 5 | 0, 1, 2, 0 << 5 | 3, 3}},
      {"ten changed bytes: 8 then 2",
       {{2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5}, {7, 6}, {8, 7}, {9, 8}, {10, 9}, {11, 10}},
       {7 << 5 | 2, 1, 2, 3, 4, 5, 6, 7, 8, 1 << 5 | 0, 9, 10}},
      {"last byte of the row", {{599, 5}}, {31, 255, 255, 58, 5}},
  };
  for (const Case& c : cases) {
    Bytes seed(600);
    for (int i = 0; i < 600; ++i) seed[i] = static_cast<BYTE>(i * 7);
    Bytes row = seed;
    for (auto [at, value] : c.changes) row[at] = value;
    const Bytes reference = seed;
    Bytes out(1400, 0xEE);
    std::uint32_t length = kv5e::DeltaRow(row.data(), 600, seed.data(), out.data());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + length), c.out) << c.what;
    EXPECT_EQ(seed, row) << c.what << ": the seed becomes the row";

    // The bounded form: the same output within its limit, the reference untouched.
    Bytes bounded(1400, 0xEE);
    Bytes kept = reference;
    length = kv5e::DeltaRowBounded(row.data(), 600, kept.data(), 1000, bounded.data());
    EXPECT_EQ(Bytes(bounded.begin(), bounded.begin() + length), c.out) << c.what;
    EXPECT_EQ(kept, reference) << c.what;
    if (!c.out.empty()) {
      const auto limit = static_cast<std::uint32_t>(c.out.size() - 1);
      EXPECT_EQ(kv5e::DeltaRowBounded(row.data(), 600, kept.data(), limit, bounded.data()),
                kv5e::kDeltaOverLimit)
          << c.what;
      EXPECT_EQ(kv5e::DeltaRowBounded(row.data(), 600, kept.data(), limit + 1, bounded.data()),
                c.out.size())
          << c.what;
    }
  }
}

TEST(RasterCoders, TrailingWhiteIsTrimmed) {
  struct Case {
    Bytes row;
    BYTE mask;
    std::uint32_t trimmed;
  };
  const Case cases[] = {
      {{0, 0, 0, 0}, 0xFF, 0},
      {{0, 0, 0, 1}, 0xFF, 4},
      {{1, 0, 0, 0}, 0xFF, 1},
      {{0, 0, 5, 0}, 0xFF, 3},
      {{0, 9, 0, 0x0F}, 0xF0, 2},  // only junk after the width in the last byte
      {{0, 9, 0, 0x10}, 0xF0, 4},
      {Bytes(40, 0), 0xFF, 0},
      {[] { Bytes r(40, 0); r[3] = 1; return r; }(), 0xFF, 4},
      {[] { Bytes r(40, 0); r[30] = 1; return r; }(), 0xFF, 31},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kv5e::TrimmedLength(c.row.data(), static_cast<std::uint32_t>(c.row.size()), c.mask),
              c.trimmed);
  }
}

// --- Images on the wire ---

TEST_F(RasterTest, FramingAndDeclaredMethod) {
  Image image = MakeImage(10, 1);
  image.Row(0)[0] = 0x80;
  pdev_->layoutCells.originX = 30;
  pdev_->layoutCells.originY = 45;
  struct Case {
    int compression;
    int method;
  };
  const Case cases[] = {{0, 0}, {1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}, {7, 5}, {-1, 5}};
  for (const Case& c : cases) {
    SetCompression(c.compression);
    pdev_->hpglState.bInHpgl2 = 1;
    const std::string stream = Job([&] {
      EXPECT_TRUE(kv5e::SendRaster(pdev_.get(), 100, 200, 10, 1, image.bits.data(), 3, FALSE));
    });
    const std::string start = "\x1B%1A\x1B*p130x245Y\x1B*r10s1t1A\x1B*b" +
                              std::to_string(c.method) + "M\x1B*b";
    EXPECT_EQ(stream.substr(0, start.size()), start) << c.compression;
    EXPECT_EQ(stream.substr(stream.size() - 4), "\x1B*rC") << c.compression;
    EXPECT_EQ(pdev_->hpglState.bInHpgl2, 0);
  }
  // Absolute positioning leaves the cell origin out.
  kv5e::SetDm(pdev_.get(), kvset::DmField("absolutePositioning"), 1);
  SetCompression(0);
  const std::string stream = Job([&] {
    EXPECT_TRUE(kv5e::SendRaster(pdev_.get(), 100, 200, 10, 1, image.bits.data(), 3, FALSE));
  });
  EXPECT_EQ(stream.substr(0, 11), "\x1B*p100x200Y");
}

TEST_F(RasterTest, UncompressedRowsCarryTheirTrailingWhite) {
  Image image = MakeImage(20, 3);
  image.Row(0)[0] = 0x81;
  image.Row(2)[1] = 0x10;
  image.Row(2)[3] = 0x77;  // the spare byte is not sent
  const std::string stream = Job([&] {
    SetCompression(0);
    EXPECT_TRUE(kv5e::SendRaster(pdev_.get(), 0, 0, 20, 3, image.bits.data(), image.stride, FALSE));
  });
  const std::string rows = std::string("\x1B*b3W\x81\0\0", 8) + std::string("\x1B*b3W\0\0\0", 8) +
                           std::string("\x1B*b3W\0\x10\0", 8) + "\x1B*rC";
  ASSERT_GE(stream.size(), rows.size());
  EXPECT_EQ(stream.substr(stream.size() - rows.size()), rows);
}

TEST_F(RasterTest, WhiteImageEntries) {
  const Image image = MakeImage(300, 5);
  // One empty-row entry per row with the PackBits encoder...
  Raster raster = Send(image, 1);
  ASSERT_EQ(raster.blockSizes.size(), 1u);
  EXPECT_EQ(raster.entries, std::vector<Bytes>(5, Entry(4, 1)));
  // ...one for the whole image with the mixed encoder.
  raster = Send(image, 4);
  EXPECT_EQ(raster.entries, std::vector<Bytes>{Entry(4, 5)});
  ExpectSameDots(image, raster, false);
}

TEST_F(RasterTest, NarrowRowsGoUnencodedWithDeltaRows) {
  Image image = MakeImage(16, 4);
  for (int y = 0; y < 4; ++y) image.Row(y)[0] = 0xF0;  // equal rows too
  const Raster raster = Send(image, 2);
  ASSERT_EQ(raster.entries.size(), 4u);
  for (const Bytes& entry : raster.entries) EXPECT_EQ(entry, Entry(0, 2, {0xF0, 0}));
}

TEST_F(RasterTest, PackBitsEncoderEntries) {
  Image image = MakeImage(128, 7);
  const Bytes a{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  for (int y : {0, 1, 2, 5, 6}) std::memcpy(image.Row(y), a.data(), a.size());
  image.Row(4)[0] = 1;
  image.Row(4)[1] = 2;
  const Raster raster = Send(image, 1);
  const std::vector<Bytes> expected = {
      Entry(2, 2, {247, 0xAA}),  // trimmed to 10 bytes, packed
      Entry(5, 2),               // rows 1 and 2 repeat it
      Entry(4, 1),               // a white row, on its own
      Entry(0, 2, {1, 2}),       // two bytes go unencoded...
      Entry(2, 2, {247, 0xAA}),  // ...and are no base for a duplicate
      Entry(2, 2, {247, 0xAA}),  // the last row is never counted as a duplicate
  };
  EXPECT_EQ(raster.entries, expected);
  ExpectSameDots(image, raster, false);
}

TEST_F(RasterTest, DeltaEncoderEntries) {
  Image image = MakeImage(32, 4);
  const Bytes first{0x11, 0x22, 0x33, 0x44};
  const Bytes next{0x11, 0x22, 0x99, 0x44};
  std::memcpy(image.Row(0), first.data(), 4);
  for (int y = 1; y < 4; ++y) std::memcpy(image.Row(y), next.data(), 4);
  Raster raster = Send(image, 2);
  const std::vector<Bytes> expected = {
      Entry(0, 4, first),     // packing would not make it shorter
      Entry(3, 2, {2, 0x99}),
      Entry(5, 1),
      Entry(3, 0),  // the last row equals its seed
  };
  EXPECT_EQ(raster.entries, expected);
  ExpectSameDots(image, raster, false);

  image = MakeImage(32, 1);
  std::memset(image.Row(0), 0xFF, 4);
  raster = Send(image, 2);
  EXPECT_EQ(raster.entries, std::vector<Bytes>{Entry(2, 2, {253, 0xFF})});
}

TEST_F(RasterTest, MixedEncoderChoosesTheShortestForm) {
  Image image = MakeImage(64, 8);
  std::memset(image.Row(0), 0xFF, 8);
  std::memset(image.Row(1), 0xFF, 8);
  image.Row(1)[3] = 0;
  const Bytes noise{1, 2, 3, 4, 5, 6, 7, 8};
  std::memcpy(image.Row(2), noise.data(), 8);
  std::memcpy(image.Row(3), noise.data(), 8);
  // rows 4 and 5 white
  const Bytes changed{9, 2, 3, 4, 5, 6, 7, 8};  // one byte away from rows 2 and 3
  std::memcpy(image.Row(6), changed.data(), 8);
  image.Row(7)[0] = 0x80;
  const Raster raster = Send(image, 4);
  const std::vector<Bytes> expected = {
      Entry(2, 2, {249, 0xFF}),  // packed: 2 bytes against a 9-byte delta
      Entry(3, 2, {3, 0}),       // delta: 2 bytes against 6 packed
      Entry(0, 8, noise),        // neither is shorter than the row
      Entry(5, 1),
      Entry(4, 2),
      // After white rows the printer's seed row is white: not a delta
      // against row 3.
      Entry(0, 8, changed),
      Entry(0, 1, {0x80}),  // trimmed to one byte
  };
  EXPECT_EQ(raster.entries, expected);
  ExpectSameDots(image, raster, false);
}

TEST_F(RasterTest, MixedEncoderAgainstThePreviousDestinationRow) {
  // The combined render-and-encode path frames the image itself and hands
  // each row with the row before it.
  const Bytes row0{0xF0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes row1{0xF0, 0, 0, 0, 0x0F, 0, 0, 0};
  SetCompression(4);
  const std::string stream = Job([&] {
    ASSERT_TRUE(kv5e::BeginRaster(pdev_.get(), 0, 0, 64, 3, kv5e::RowEncoder::Mixed));
    EXPECT_TRUE(kv5e::EncodeRowMixed(pdev_.get(), row0.data(), nullptr, true));
    EXPECT_TRUE(kv5e::EncodeRowMixed(pdev_.get(), row1.data(), row0.data(), false));
    EXPECT_TRUE(kv5e::EncodeRowMixed(pdev_.get(), row1.data(), row1.data(), false));
    EXPECT_TRUE(kv5e::EndRaster(pdev_.get()));
  });
  const Raster raster = DecodeRaster(stream);
  EXPECT_EQ(raster.method, 5);
  const std::vector<Bytes> expected = {Entry(0, 1, {0xF0}), Entry(3, 2, {4, 0x0F}), Entry(5, 1)};
  EXPECT_EQ(raster.entries, expected);
  ASSERT_EQ(raster.rows.size(), 3u);
  EXPECT_EQ(raster.rows[2], row1);
}

TEST_F(RasterTest, BlocksStopAtTheLimit) {
  // 25000 white rows as 3-byte entries: 10921 entries fill a block.
  Raster raster = Send(MakeImage(64, 25000), 1);
  EXPECT_EQ(raster.blockSizes, (std::vector<std::size_t>{32763, 32763, 9474}));

  // Rows that go unencoded, four of them fill a block exactly; a fifth equal
  // row cannot be a duplicate entry in the next block, where the printer has
  // forgotten the row it would repeat.
  const int b = 8188;
  Image image = MakeImage(b * 8, 7);
  std::mt19937 random(7);
  for (int y = 0; y < 7; ++y) {
    BYTE* row = image.Row(y);
    for (int x = 0; x < b; ++x) {
      do row[x] = static_cast<BYTE>(random()); while (row[x] == 0 || (x > 0 && row[x] == row[x - 1]));
    }
  }
  std::memcpy(image.Row(4), image.Row(3), b);
  std::memcpy(image.Row(5), image.Row(3), b);
  for (int compression : {1, 2, 4}) {
    raster = Send(image, compression);
    ASSERT_GE(raster.blockSizes.size(), 2u) << compression;
    // The mixed encoder reserves room for the packed form, which is longer.
    if (compression != 4) {
      EXPECT_EQ(raster.blockSizes[0], 32764u) << compression;
    }
    for (std::size_t start : raster.blockStarts) {
      EXPECT_NE(raster.entries.at(start)[0], 5) << compression;
    }
    ExpectSameDots(image, raster, false);
  }
}

TEST_F(RasterTest, LongRunsOfRowsSplitTheirCounts) {
  // Counts are 16 bits: 70000 white or repeated rows take two entries.
  Image white = MakeImage(8, 70000);
  Raster raster = Send(white, 4);
  EXPECT_EQ(raster.entries, (std::vector<Bytes>{Entry(4, 65535), Entry(4, 4465)}));

  Image same = MakeImage(8, 70000);
  for (int y = 0; y < same.height; ++y) same.Row(y)[0] = 0xC3;
  raster = Send(same, 4);
  EXPECT_EQ(raster.entries,
            (std::vector<Bytes>{Entry(0, 1, {0xC3}), Entry(5, 65535), Entry(5, 4464)}));
  ExpectSameDots(same, raster, false);

  Image wide = MakeImage(64, 70000);
  for (int y = 0; y < wide.height; ++y) std::memset(wide.Row(y), 0x5A, 8);
  raster = Send(wide, 1);
  EXPECT_EQ(raster.entries, (std::vector<Bytes>{Entry(2, 2, {249, 0x5A}), Entry(5, 65535),
                                                Entry(5, 4463), Entry(2, 2, {249, 0x5A})}));
}

TEST_F(RasterTest, RowsTooWideForABlockGoUnencoded) {
  const Image image = RandomImage(270000, 3, 11);
  const Raster raster = Send(image, 4);
  EXPECT_EQ(raster.method, 0);
  ExpectSameDots(image, raster, false);
}

TEST_F(RasterTest, RoundTrip) {
  for (int width : {1, 7, 8, 9, 620, 4961}) {
    for (unsigned seed : {1u, 2u, 3u}) {
      const int height = width > 1000 ? 60 : 200;
      const Image image = RandomImage(width, height, seed * 1000 + width);
      for (int compression : {0, 1, 2, 3, 4}) {
        for (bool mirrored : {false, true}) {
          for (kv5e::RowEncoder analysed : {kv5e::RowEncoder::Delta, kv5e::RowEncoder::Tiff}) {
            if (compression != 3 && analysed == kv5e::RowEncoder::Tiff) continue;
            pdev_->raster.analysed = static_cast<std::uint8_t>(analysed);
            SCOPED_TRACE(testing::Message() << "width " << width << " seed " << seed
                                            << " compression " << compression
                                            << (mirrored ? " mirrored" : ""));
            const Raster raster = Send(image, compression, mirrored);
            EXPECT_EQ(raster.method, compression == 0 ? 0 : 5);
            ExpectSameDots(image, raster, mirrored);
            if (HasFatalFailure() || HasNonfatalFailure()) return;
          }
        }
      }
    }
  }
}

TEST_F(RasterTest, RoundTripAcrossManyBlocks) {
  const Image image = RandomImage(4961, 1500, 99);
  for (int compression : {1, 2, 4}) {
    const Raster raster = Send(image, compression);
    EXPECT_GT(raster.blockSizes.size(), 10u);
    ExpectSameDots(image, raster, false);
  }
}

TEST_F(RasterTest, BottomUpRows) {
  const Image image = RandomImage(77, 30, 5);
  // The same image stored bottom-up: the last row first, a negative stride.
  Image flipped = MakeImage(77, 30);
  for (int y = 0; y < 30; ++y) std::memcpy(flipped.Row(29 - y), image.Row(y), image.stride);
  SetCompression(4);
  const std::string stream = Job([&] {
    EXPECT_TRUE(kv5e::SendRaster(pdev_.get(), 0, 0, 77, 30, flipped.Row(29), -flipped.stride,
                                 FALSE));
  });
  ExpectSameDots(image, DecodeRaster(stream), false);
}

TEST_F(RasterTest, AnalysisPicksTheShorterEncoding) {
  // 20 rows: the sampled rows are 3,4 8,9 13,14 top-down and 16,15 11,10 6,5
  // bottom-up. Equal noisy pairs favour delta rows, alternating solid rows
  // favour PackBits.
  const int cx = 200, cy = 20;
  const std::ptrdiff_t stride = 3 * cx + 4;
  Bytes pixels(stride * cy, 0);
  std::mt19937 random(3);
  Bytes noise(3 * cx);
  for (BYTE& value : noise) value = static_cast<BYTE>(random());
  for (int y : {3, 4, 8, 9, 13, 14}) std::memcpy(&pixels[y * stride], noise.data(), noise.size());
  for (int y : {5, 10, 15}) std::memset(&pixels[y * stride], 0xFF, 3 * cx);
  const auto analyse = [&](bool upsideDown) {
    bool ok = false;
    const kv5e::RowEncoder choice =
        kv5e::AnalyseCompression(pdev_.get(), pixels.data(), stride, cx, cy, 24, upsideDown, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(pdev_->raster.analysed, static_cast<std::uint8_t>(choice));
    return choice;
  };
  EXPECT_EQ(analyse(false), kv5e::RowEncoder::Delta);
  EXPECT_EQ(analyse(true), kv5e::RowEncoder::Tiff);

  // A short window samples cy / 3 + 1 rows from the top: 3 rows of 8.
  Bytes small(8 * 16, 0);
  for (int y = 0; y < 3; ++y) std::memset(&small[y * 16], y % 2 ? 0xFF : 0, 16);
  for (int y = 3; y < 8; ++y) std::memcpy(&small[y * 16], noise.data(), 16);
  EXPECT_EQ(kv5e::AnalyseCompression(pdev_.get(), small.data(), 16, 128, 8, 1, false),
            kv5e::RowEncoder::Tiff);
  EXPECT_EQ(kv5e::AnalyseCompression(pdev_.get(), small.data(), 16, 128, 8, 1, true),
            kv5e::RowEncoder::Delta);

  // With value 3 the image goes through the encoder the analysis chose: only
  // the delta encoder sends delta rows.
  Image image = MakeImage(64, 3);
  std::memcpy(image.Row(0), noise.data(), 8);
  std::memcpy(image.Row(1), noise.data(), 8);
  image.Row(1)[2] ^= 0xFF;
  std::memcpy(image.Row(2), noise.data(), 8);
  EXPECT_EQ(kv5e::AnalyseCompression(pdev_.get(), pixels.data(), stride, cx, cy, 24, true),
            kv5e::RowEncoder::Tiff);
  Raster raster = Send(image, 3);
  for (const Bytes& entry : raster.entries) EXPECT_NE(entry[0], 3);
  EXPECT_EQ(kv5e::AnalyseCompression(pdev_.get(), pixels.data(), stride, cx, cy, 24, false),
            kv5e::RowEncoder::Delta);
  raster = Send(image, 3);
  EXPECT_EQ(raster.entries[1][0], 3);
}

TEST_F(RasterTest, BuffersGrowAndAreReused) {
  Image small = RandomImage(100, 4, 1);
  Send(small, 4);
  EXPECT_EQ(pdev_->raster.capacity, kv5e::kRasterMinBuffer);
  BYTE* const block = pdev_->raster.block;
  ASSERT_NE(block, nullptr);

  const Image wide = RandomImage(160000, 2, 2);  // 20000 bytes a row
  ExpectSameDots(wide, Send(wide, 4), false);
  EXPECT_EQ(pdev_->raster.capacity, 2u * 20001u);
  BYTE* const row = pdev_->raster.row;

  ExpectSameDots(small, Send(small, 2, true), true);
  EXPECT_EQ(pdev_->raster.capacity, 2u * 20001u);
  EXPECT_EQ(pdev_->raster.row, row);
  EXPECT_EQ(pdev_->raster.block, block);
}

TEST_F(RasterTest, AllocationFailureWritesNothing) {
  const Image image = RandomImage(64, 4, 3);
  for (int compression : {0, 4}) {
    SetCompression(compression);
    const std::string stream = Job([&] {
      kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0);
      EXPECT_FALSE(kv5e::SendRaster(pdev_.get(), 0, 0, 64, 4, image.bits.data(), image.stride,
                                    FALSE));
    });
    EXPECT_EQ(stream, "") << compression;
  }
  // Buffers made for uncompressed rows; the block cannot be had later.
  Send(image, 0);
  SetCompression(1);
  std::string stream = Job([&] {
    kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0);
    EXPECT_FALSE(
        kv5e::SendRaster(pdev_.get(), 0, 0, 64, 4, image.bits.data(), image.stride, FALSE));
  });
  EXPECT_EQ(stream, "");
  kvplat::fault::ClearAll();
  // A wider image cannot grow the buffers: the old ones stay usable.
  kvplat::fault::ClearAll();
  Send(image, 1);
  const Image wide = RandomImage(200000, 2, 4);
  SetCompression(1);
  stream = Job([&] {
    kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 2);
    EXPECT_FALSE(kv5e::SendRaster(pdev_.get(), 0, 0, wide.width, 2, wide.bits.data(), wide.stride,
                                  FALSE));
  });
  EXPECT_EQ(stream, "");
  EXPECT_EQ(pdev_->raster.capacity, kv5e::kRasterMinBuffer);
  ExpectSameDots(image, Send(image, 1), false);

  bool ok = true;
  kvplat::fault::FailAfter(kvplat::fault::Point::Alloc, 0);
  EXPECT_EQ(kv5e::AnalyseCompression(pdev_.get(), wide.bits.data(), wide.stride, wide.width, 2, 1,
                                     false, &ok),
            kv5e::RowEncoder::Delta);
  EXPECT_FALSE(ok);
}

TEST_F(RasterTest, FailedWriteAbortsTheJob) {
  const Image image = RandomImage(4961, 400, 8);
  for (int compression : {0, 4}) {
    SetCompression(compression);
    DOC_INFO_1W doc{const_cast<LPWSTR>(u"raster"), nullptr, nullptr};
    ASSERT_GT(StartDocPrinterW(printer_, 1, reinterpret_cast<LPBYTE>(&doc)), 0u);
    pdev_->flags = 0;
    kv5e::ResetOutputBuffer(pdev_.get());
    kvplat::fault::FailAfter(kvplat::fault::Point::WritePrinter, 20000);
    EXPECT_FALSE(kv5e::SendRaster(pdev_.get(), 0, 0, image.width, image.height, image.bits.data(),
                                  image.stride, FALSE));
    EXPECT_TRUE(pdev_->flags & kv5e::kFlagAborted);
    kvplat::fault::ClearAll();
    // An aborted job sends nothing more.
    EXPECT_FALSE(kv5e::SendRaster(pdev_.get(), 0, 0, image.width, 2, image.bits.data(),
                                  image.stride, FALSE));
    AbortPrinter(printer_);
  }
}

TEST_F(RasterTest, EmptyImageWritesNothing) {
  const std::string stream = Job([&] {
    EXPECT_TRUE(kv5e::SendRaster(pdev_.get(), 0, 0, 0, 5, nullptr, 0, FALSE));
    EXPECT_TRUE(kv5e::SendRaster(pdev_.get(), 0, 0, 5, 0, nullptr, 0, FALSE));
  });
  EXPECT_EQ(stream, "");
}

}  // namespace
