#include "pclcore/5e/raster_compression.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "kvplat/engine.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/pcl_device.h"

namespace kv5e {
namespace {

using kvset::DmField;

constexpr ULONG kRasterTag = 0x72355A4B;  // "KZ5r"
// The previous PackBits output of EncodeRowTiff is not to be compared with.
constexpr std::uint32_t kNoPrevious = 0xFFFFFFFF;
// The longest row that always fits into a block as one entry, with room for
// the pending count entry written before it.
constexpr std::uint32_t kMaxBlockRow = kRasterBlockLimit - 6;

inline std::uint64_t Load64(const BYTE* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// A delta command: count replacement bytes (1-8) after `offset` unchanged ones.
inline BYTE* PutDeltaCommand(BYTE* out, std::uint32_t count, std::uint32_t offset) {
  *out++ = static_cast<BYTE>(((count - 1) << 5) | std::min<std::uint32_t>(offset, 31));
  if (offset >= 31) {
    std::uint32_t rest = offset - 31;
    while (rest >= 255) {
      *out++ = 255;
      rest -= 255;
    }
    *out++ = static_cast<BYTE>(rest);
  }
  return out;
}

inline std::uint32_t OffsetBytes(std::uint32_t offset) {
  return offset >= 31 ? (offset - 31) / 255 + 1 : 0;
}

// The buffers grow to max(16384, 2 * requested) bytes each and never shrink.
// On failure the old buffers stay as they were.
bool EnsureRowBuffers(RasterBuffers& rb, std::uint64_t requested) {
  const std::uint64_t wanted = std::max<std::uint64_t>(kRasterMinBuffer, 2 * requested);
  if (rb.row != nullptr && rb.capacity >= wanted) return true;
  if (wanted > 0x7FFFFFF0u) return false;
  BYTE* fresh[4] = {};
  for (BYTE*& buffer : fresh) {
    buffer = static_cast<BYTE*>(EngAllocMem(0, static_cast<ULONG>(wanted), kRasterTag));
    if (buffer == nullptr) {
      for (BYTE* made : fresh) {
        if (made != nullptr) EngFreeMem(made);
      }
      return false;
    }
  }
  BYTE* old[4] = {rb.row, rb.packed, rb.delta, rb.seed};
  for (BYTE* buffer : old) {
    if (buffer != nullptr) EngFreeMem(buffer);
  }
  rb.row = fresh[0];
  rb.packed = fresh[1];
  rb.delta = fresh[2];
  rb.seed = fresh[3];
  rb.capacity = static_cast<std::uint32_t>(wanted);
  return true;
}

bool EnsureBlock(RasterBuffers& rb) {
  if (rb.block == nullptr) {
    rb.block = static_cast<BYTE*>(EngAllocMem(0, kRasterBlockCapacity, kRasterTag));
  }
  return rb.block != nullptr;
}

void ClearSeed(RasterBuffers& rb) {
  if (!rb.seedIsWhite) {
    std::memset(rb.seed, 0, rb.rowBytes);
    rb.seedIsWhite = 1;
  }
}

// One ESC "*b#W" transfer of the block. The printer forgets its seed row at
// the end of each block.
bool WriteBlock(PclPdev* pdev) {
  RasterBuffers& rb = pdev->raster;
  const std::uint32_t fill = rb.blockFill;
  if (fill == 0) return true;
  rb.blockFill = 0;
  return WriteFormatted(pdev, "\x1B*b%dW", fill) > 0 && WriteLong(pdev, rb.block, fill) != 0;
}

// Appends an entry: command, 16-bit big-endian value, n data bytes. The block
// goes out first when the entry would take it past the limit.
bool Append(PclPdev* pdev, BYTE command, std::uint32_t value, const BYTE* data, std::uint32_t n) {
  RasterBuffers& rb = pdev->raster;
  if (rb.blockFill + 3 + n > kRasterBlockLimit && !WriteBlock(pdev)) return false;
  BYTE* at = rb.block + rb.blockFill;
  at[0] = command;
  at[1] = static_cast<BYTE>(value >> 8);
  at[2] = static_cast<BYTE>(value);
  if (n != 0) std::memcpy(at + 3, data, n);
  rb.blockFill += 3 + n;
  return true;
}

// A duplicate entry stays in the block of the row it repeats: every encoder
// counts a repeated row only while 3 more bytes fit, so this never starts a
// new block.
bool WritePendingDuplicates(PclPdev* pdev) {
  RasterBuffers& rb = pdev->raster;
  if (rb.duplicates == 0) return true;
  const std::uint32_t count = rb.duplicates;
  rb.duplicates = 0;
  return Append(pdev, kEntryDuplicate, count, nullptr, 0);
}

bool WritePendingEmpties(PclPdev* pdev) {
  RasterBuffers& rb = pdev->raster;
  if (rb.empties == 0) return true;
  const std::uint32_t count = rb.empties;
  rb.empties = 0;
  return Append(pdev, kEntryEmpty, count, nullptr, 0);
}

// Counts stop at what 16 bits hold; a full count is written at once.
bool CountDuplicate(PclPdev* pdev) {
  if (++pdev->raster.duplicates == kMaxEntryCount) return WritePendingDuplicates(pdev);
  return true;
}

bool CountEmpty(PclPdev* pdev) {
  if (++pdev->raster.empties == kMaxEntryCount) return WritePendingEmpties(pdev);
  return true;
}

bool WriteUnencodedRow(PclPdev* pdev, const BYTE* row) {
  const std::uint32_t b = pdev->raster.rowBytes;
  return WriteFormatted(pdev, "\x1B*b%dW", b) > 0 && WriteBytes(pdev, row, b) != 0;
}

}  // namespace

void FreeRasterBuffers(RasterBuffers& rb) {
  for (BYTE* buffer : {rb.row, rb.packed, rb.delta, rb.seed, rb.block}) {
    if (buffer != nullptr) EngFreeMem(buffer);
  }
  rb = RasterBuffers{};
}

std::uint32_t PackBits(const BYTE* in, std::uint32_t n, BYTE* out) {
  BYTE* o = out;
  std::uint32_t i = 0;
  while (i < n) {
    const std::uint32_t limit = std::min(n, i + 128);
    if (i + 1 < n && in[i] == in[i + 1]) {
      // Repeat run: two or more equal bytes.
      const BYTE value = in[i];
      std::uint32_t j = i + 2;
      while (j < limit && in[j] == value) ++j;
      *o++ = static_cast<BYTE>(257 - (j - i));
      *o++ = value;
      i = j;
      continue;
    }
    // Literal run: grows while each byte differs from the one before; a byte
    // equal to its predecessor makes that predecessor start a repeat run.
    std::uint32_t j = i + 1;
    while (j < limit && in[j] != in[j - 1]) ++j;
    const std::uint32_t end = j < limit ? j - 1 : j;
    const std::uint32_t length = end - i;
    *o++ = static_cast<BYTE>(length - 1);
    std::memcpy(o, in + i, length);
    o += length;
    i = end;
  }
  return static_cast<std::uint32_t>(o - out);
}

std::uint32_t DeltaRow(const BYTE* in, std::uint32_t n, BYTE* seed, BYTE* out) {
  BYTE* o = out;
  std::uint32_t i = 0;
  std::uint32_t commandEnd = 0;
  for (;;) {
    while (i + 8 <= n && Load64(in + i) == Load64(seed + i)) i += 8;
    while (i < n && in[i] == seed[i]) ++i;
    if (i >= n) break;
    const std::uint32_t start = i;
    const std::uint32_t limit = std::min(n, i + 8);
    do {
      seed[i] = in[i];
      ++i;
    } while (i < limit && in[i] != seed[i]);
    const std::uint32_t count = i - start;
    o = PutDeltaCommand(o, count, start - commandEnd);
    std::memcpy(o, in + start, count);
    o += count;
    commandEnd = i;
  }
  return static_cast<std::uint32_t>(o - out);
}

std::uint32_t DeltaRowBounded(const BYTE* in, std::uint32_t n, const BYTE* reference,
                              std::uint32_t limit, BYTE* out) {
  std::uint32_t length = 0;
  std::uint32_t i = 0;
  std::uint32_t commandEnd = 0;
  for (;;) {
    while (i + 8 <= n && Load64(in + i) == Load64(reference + i)) i += 8;
    while (i < n && in[i] == reference[i]) ++i;
    if (i >= n) break;
    const std::uint32_t start = i;
    const std::uint32_t stop = std::min(n, i + 8);
    do {
      ++i;
    } while (i < stop && in[i] != reference[i]);
    const std::uint32_t count = i - start;
    const std::uint32_t offset = start - commandEnd;
    const std::uint32_t size = 1 + OffsetBytes(offset) + count;
    if (length + size > limit) return kDeltaOverLimit;
    BYTE* o = PutDeltaCommand(out + length, count, offset);
    std::memcpy(o, in + start, count);
    length += size;
    commandEnd = i;
  }
  return length;
}

std::uint32_t TrimmedLength(const BYTE* row, std::uint32_t rowBytes, BYTE lastMask) {
  if (rowBytes == 0) return 0;
  if (row[rowBytes - 1] & lastMask) return rowBytes;
  std::uint32_t k = rowBytes - 1;
  while (k >= 8 && Load64(row + k - 8) == 0) k -= 8;
  while (k > 0 && row[k - 1] == 0) --k;
  return k;
}

RowEncoder EncoderFor(std::int32_t rasterCompression, RowEncoder analysed) {
  switch (rasterCompression) {
    case 0: return RowEncoder::None;
    case 2: return RowEncoder::Delta;
    case 3: return analysed == RowEncoder::Tiff ? RowEncoder::Tiff : RowEncoder::Delta;
    case 4: return RowEncoder::Mixed;
    default: return RowEncoder::Tiff;
  }
}

int MovePclCursor(PclPdev* pdev, std::int32_t x, std::int32_t y) {
  if (!LeaveHpgl2(pdev)) return 0;
  if (Dm(pdev, DmField("absolutePositioning")) != 1) {
    x += pdev->layoutCells.originX;
    y += pdev->layoutCells.originY;
  }
  return WriteFormatted(pdev, "\x1B*p%dx%dY", x, y) > 0 ? 1 : 0;
}

bool BeginRaster(PclPdev* pdev, std::int32_t left, std::int32_t top, std::int32_t width,
                 std::int32_t height, RowEncoder encoder) {
  RasterBuffers& rb = pdev->raster;
  if (width <= 0 || height <= 0) return false;
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) + 7) / 8;
  // A row that would not fit into a block as one entry goes unencoded.
  if (encoder != RowEncoder::None && rowBytes > kMaxBlockRow) encoder = RowEncoder::None;
  if (!EnsureRowBuffers(rb, rowBytes + 1)) return false;
  if (encoder != RowEncoder::None && !EnsureBlock(rb)) return false;

  rb.rowBytes = static_cast<std::uint32_t>(rowBytes);
  rb.lastMask = width % 8 == 0 ? BYTE{0xFF} : static_cast<BYTE>(0xFF00u >> (width % 8));
  rb.encoder = static_cast<std::uint8_t>(encoder);
  rb.blockFill = 0;
  rb.duplicates = 0;
  rb.empties = 0;
  rb.previousPacked = kNoPrevious;
  std::memset(rb.seed, 0, rb.rowBytes);
  rb.seedIsWhite = 1;

  if (!MovePclCursor(pdev, left, top)) return false;
  if (WriteFormatted(pdev, "\x1B*r%ds%dt1A", width, height) <= 0) return false;
  return WriteFormatted(pdev, "\x1B*b%dM", encoder == RowEncoder::None ? 0 : 5) > 0;
}

bool EndRaster(PclPdev* pdev) {
  if (!WritePendingEmpties(pdev) || !WritePendingDuplicates(pdev)) return false;
  if (!WriteBlock(pdev)) return false;
  return WriteText(pdev, "\x1B*rC") != 0;
}

bool EncodeRowTiff(PclPdev* pdev, const BYTE* row, bool lastRow) {
  RasterBuffers& rb = pdev->raster;
  const std::uint32_t n = TrimmedLength(row, rb.rowBytes, rb.lastMask);
  if (n == 0) {
    if (!WritePendingDuplicates(pdev)) return false;
    rb.previousPacked = 0;
    return Append(pdev, kEntryEmpty, 1, nullptr, 0);
  }
  if (n <= 2) {
    if (!WritePendingDuplicates(pdev)) return false;
    rb.previousPacked = kNoPrevious;
    return Append(pdev, kEntryUnencoded, n, row, n);
  }
  const std::uint32_t p = PackBits(row, n, rb.packed);
  if (!lastRow && p == rb.previousPacked && std::memcmp(rb.packed, rb.delta, p) == 0 &&
      rb.blockFill + 3 <= kRasterBlockLimit) {
    return CountDuplicate(pdev);
  }
  if (!WritePendingDuplicates(pdev)) return false;
  // The output just made becomes the previous output.
  std::swap(rb.packed, rb.delta);
  rb.previousPacked = p;
  return p < n ? Append(pdev, kEntryPackBits, p, rb.delta, p)
               : Append(pdev, kEntryUnencoded, n, row, n);
}

bool EncodeRowDelta(PclPdev* pdev, const BYTE* row, bool firstRow, bool lastRow) {
  RasterBuffers& rb = pdev->raster;
  const std::uint32_t b = rb.rowBytes;
  if (b <= 2) {
    if (!WritePendingDuplicates(pdev)) return false;
    return Append(pdev, kEntryUnencoded, b, row, b);
  }
  if (firstRow) {
    const std::uint32_t d = PackBits(row, b, rb.packed);
    std::memcpy(rb.seed, row, b);
    rb.seedIsWhite = 0;
    if (!WritePendingDuplicates(pdev)) return false;
    return d < b ? Append(pdev, kEntryPackBits, d, rb.packed, d)
                 : Append(pdev, kEntryUnencoded, b, row, b);
  }
  std::uint32_t d = DeltaRow(row, b, rb.seed, rb.delta);
  rb.seedIsWhite = 0;
  // The row and the pending count before it must fit into this block: a new
  // block starts with the printer's seed row cleared, so the row is then
  // encoded against white.
  const std::uint32_t pending = rb.duplicates != 0 ? 3 : 0;
  if (rb.blockFill + pending + 3 + std::min(d, b) > kRasterBlockLimit) {
    if (!WritePendingDuplicates(pdev) || !WriteBlock(pdev)) return false;
    std::memset(rb.seed, 0, b);
    d = DeltaRow(row, b, rb.seed, rb.delta);
  }
  if (d == 0 && !lastRow) return CountDuplicate(pdev);
  if (!WritePendingDuplicates(pdev)) return false;
  return d < b ? Append(pdev, kEntryDelta, d, rb.delta, d)
               : Append(pdev, kEntryUnencoded, b, row, b);
}

bool EncodeRowMixed(PclPdev* pdev, const BYTE* row, const BYTE* reference, bool firstRow) {
  RasterBuffers& rb = pdev->raster;
  const std::uint32_t b = rb.rowBytes;
  const std::uint32_t n = TrimmedLength(row, b, rb.lastMask);
  std::uint32_t p = 4;
  std::uint32_t d = 4;
  if (n != 0) {
    p = PackBits(row, n, rb.packed);
    if (reference == nullptr || firstRow) {
      d = DeltaRow(row, b, rb.seed, rb.delta);
      rb.seedIsWhite = 0;
    } else {
      d = DeltaRowBounded(row, b, reference, p, rb.delta);
    }
  }
  // The pending count goes into the block before the row.
  const std::uint32_t pending = (rb.duplicates | rb.empties) != 0 ? 3 : 0;
  if (rb.blockFill + pending + 3 + p > kRasterBlockLimit) {
    if (!WritePendingDuplicates(pdev) || !WriteBlock(pdev)) return false;
    d = p + 1;  // the printer's seed row is gone: no delta for this row
  }
  if (n == 0) {
    if (!WritePendingDuplicates(pdev)) return false;
    // An empty row clears the printer's seed row; ours follows.
    ClearSeed(rb);
    return CountEmpty(pdev);
  }
  if (d == 0) {
    if (!WritePendingEmpties(pdev)) return false;
    return CountDuplicate(pdev);
  }
  if (!WritePendingEmpties(pdev) || !WritePendingDuplicates(pdev)) return false;
  if (p < n && p <= d) return Append(pdev, kEntryPackBits, p, rb.packed, p);
  if (d < n) return Append(pdev, kEntryDelta, d, rb.delta, d);
  return Append(pdev, kEntryUnencoded, n, row, n);
}

bool SendRow(PclPdev* pdev, const BYTE* row, bool firstRow, bool lastRow) {
  switch (static_cast<RowEncoder>(pdev->raster.encoder)) {
    case RowEncoder::None: return WriteUnencodedRow(pdev, row);
    case RowEncoder::Tiff: return EncodeRowTiff(pdev, row, lastRow);
    case RowEncoder::Delta: return EncodeRowDelta(pdev, row, firstRow, lastRow);
    case RowEncoder::Mixed: return EncodeRowMixed(pdev, row, nullptr, firstRow);
  }
  return false;
}

BOOL SendRaster(PclPdev* pdev, std::int32_t left, std::int32_t top, std::int32_t width,
                std::int32_t height, const BYTE* rows, std::ptrdiff_t stride, BOOL mirrored) {
  if (width <= 0 || height <= 0) return TRUE;  // nothing to print
  if (rows == nullptr) return FALSE;
  const RowEncoder encoder = EncoderFor(Dm(pdev, DmField("rasterCompression")),
                                        static_cast<RowEncoder>(pdev->raster.analysed));
  if (!BeginRaster(pdev, left, top, width, height, encoder)) return FALSE;
  RasterBuffers& rb = pdev->raster;
  for (std::int32_t y = 0; y < height; ++y) {
    const BYTE* row = rows + static_cast<std::ptrdiff_t>(y) * stride;
    if (mirrored) {
      ReverseBits(row, static_cast<std::uint32_t>(width), rb.row);
      row = rb.row;
    }
    if (!SendRow(pdev, row, y == 0, y == height - 1)) return FALSE;
  }
  return EndRaster(pdev) ? TRUE : FALSE;
}

RowEncoder AnalyseCompression(PclPdev* pdev, const BYTE* firstRow, std::ptrdiff_t stride,
                              std::int32_t cx, std::int32_t cy, std::uint32_t bitsPerPixel,
                              bool upsideDown, bool* ok) {
  RasterBuffers& rb = pdev->raster;
  if (ok != nullptr) *ok = true;
  rb.analysed = static_cast<std::uint8_t>(RowEncoder::Delta);
  if (cx <= 0 || cy <= 0 || firstRow == nullptr) return RowEncoder::Delta;
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(cx) * bitsPerPixel + 7) / 8;
  if (!EnsureRowBuffers(rb, rowBytes)) {
    if (ok != nullptr) *ok = false;
    return RowEncoder::Delta;
  }
  const auto r = static_cast<std::uint32_t>(rowBytes);
  auto rowAt = [&](std::int32_t i) {
    const std::int32_t index = upsideDown ? cy - 1 - i : i;
    return firstRow + static_cast<std::ptrdiff_t>(index) * stride;
  };

  struct Group {
    std::int32_t first, count;
  };
  Group groups[3];
  int groupCount = 0;
  if (cy < 11) {
    groups[groupCount++] = {0, cy / 3 + 1};
  } else {
    const std::int32_t q = (cy - 6) / 4;
    groups[groupCount++] = {q, 2};
    groups[groupCount++] = {2 * q + 2, 2};
    groups[groupCount++] = {3 * q + 4, 2};
  }

  std::uint64_t packed = 0;
  std::uint64_t delta = 0;
  for (int g = 0; g < groupCount; ++g) {
    for (std::int32_t k = 0; k < groups[g].count; ++k) {
      packed += PackBits(rowAt(groups[g].first + k), r, rb.packed);
    }
    std::memset(rb.seed, 0, r);
    for (std::int32_t k = 0; k < groups[g].count; ++k) {
      delta += DeltaRow(rowAt(groups[g].first + k), r, rb.seed, rb.delta) + 3;
    }
  }
  // The seed row no longer holds what the next image expects.
  rb.seedIsWhite = 0;
  const RowEncoder choice = packed < delta ? RowEncoder::Tiff : RowEncoder::Delta;
  rb.analysed = static_cast<std::uint8_t>(choice);
  return choice;
}

// Bits of a row reversed within `width` dots: dot x goes to width - 1 - x.
void ReverseBits(const BYTE* in, std::uint32_t width, BYTE* out) {
  static constexpr std::array<BYTE, 256> kReversedBits = [] {
    std::array<BYTE, 256> table{};
    for (int value = 0; value < 256; ++value) {
      int reversed = 0;
      for (int bit = 0; bit < 8; ++bit) {
        if (value & (1 << bit)) reversed |= 0x80 >> bit;
      }
      table[value] = static_cast<BYTE>(reversed);
    }
    return table;
  }();
  const std::uint32_t bytes = (width + 7) / 8;
  const unsigned shift = (8 - width % 8) % 8;  // unused low bits of the last byte
  if (shift == 0) {
    for (std::uint32_t i = 0; i < bytes; ++i) out[i] = kReversedBits[in[bytes - 1 - i]];
    return;
  }
  for (std::uint32_t i = 0; i < bytes; ++i) {
    const unsigned high = kReversedBits[in[bytes - 1 - i]];
    const unsigned low = i + 1 < bytes ? kReversedBits[in[bytes - 2 - i]] : 0u;
    out[i] = static_cast<BYTE>((high << shift) | (low >> (8 - shift)));
  }
}

}  // namespace kv5e

