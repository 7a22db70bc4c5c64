// One-bit images as PCL raster graphics: cursor positioning, the raster
// start and end commands, and the row encoders behind the device mode's
// `rasterCompression` setting. Compressed images use adaptive compression
// (method 5): rows are packed as PackBits (method 2) or delta row (method 3)
// entries, runs of white rows and of repeated rows become single 3-byte
// entries, and the entries travel in transfer blocks of at most 32764 bytes.
//
// The work buffers belong to the device instance (PclPdev::raster) and are
// reused from image to image; they grow and never shrink, and FreeInstance
// releases them with FreeRasterBuffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvplat/wintypes.h"

namespace kv5e {

struct PclPdev;

// The longest adaptive compression block: one ESC "*b#W" transfer.
inline constexpr std::uint32_t kRasterBlockLimit = 32764;
// Room for the block buffer.
inline constexpr std::uint32_t kRasterBlockCapacity = 65536;
// The smallest size of each row and encoder buffer.
inline constexpr std::uint32_t kRasterMinBuffer = 16384;
// What DeltaRowBounded returns when its output passes the limit.
inline constexpr std::uint32_t kDeltaOverLimit = 1048575;
// Entries count rows in 16 bits.
inline constexpr std::uint32_t kMaxEntryCount = 65535;

// Adaptive compression entry commands.
inline constexpr BYTE kEntryUnencoded = 0;
inline constexpr BYTE kEntryPackBits = 2;
inline constexpr BYTE kEntryDelta = 3;
inline constexpr BYTE kEntryEmpty = 4;
inline constexpr BYTE kEntryDuplicate = 5;

// How the rows of one image are encoded.
enum class RowEncoder : std::uint8_t {
  Delta = 0,  // also what an image gets when no analysis chose otherwise
  Tiff = 1,
  Mixed = 2,
  None = 3,   // method 0: every row unencoded in its own transfer
};

// The raster work buffers and the encoders' per-image state. Part of the
// device instance: plain data, pointers freed by FreeRasterBuffers.
struct RasterBuffers {
  BYTE* row;     // mirrored rows are built here
  BYTE* packed;  // PackBits output
  BYTE* delta;   // delta row output; the previous PackBits output for EncodeRowTiff
  BYTE* seed;    // the seed row: what the printer holds as the previous row
  std::uint32_t capacity;  // bytes in each of the four buffers above
  BYTE* block;             // kRasterBlockCapacity bytes once allocated
  std::uint32_t blockFill;
  // Per image.
  std::uint32_t rowBytes;        // bytes of one row
  std::uint32_t duplicates;      // repeated rows not yet written
  std::uint32_t empties;         // white rows not yet written
  std::uint32_t previousPacked;  // EncodeRowTiff: length of the previous output
  std::uint8_t lastMask;         // the bits of the last byte inside the width
  std::uint8_t encoder;          // RowEncoder of the current image
  std::uint8_t analysed;         // RowEncoder chosen by AnalyseCompression
  std::uint8_t seedIsWhite;      // the seed row holds only zeros
};

void FreeRasterBuffers(RasterBuffers& buffers);

// --- Row coders (pure functions over caller buffers) ---

// TIFF PackBits of n bytes into out (room for n + n / 128 + 1 bytes); the
// output length.
std::uint32_t PackBits(const BYTE* in, std::uint32_t n, BYTE* out);
// Delta row of n bytes against seed into out (room for 2 * n + 16 bytes);
// the output length, 0 when the row equals the seed. The seed becomes the row.
std::uint32_t DeltaRow(const BYTE* in, std::uint32_t n, BYTE* seed, BYTE* out);
// Delta row against a reference that is left alone; kDeltaOverLimit as soon
// as the output would pass `limit` (nothing is written past limit bytes).
std::uint32_t DeltaRowBounded(const BYTE* in, std::uint32_t n, const BYTE* reference,
                              std::uint32_t limit, BYTE* out);
// Bytes of a row that carry black: trailing white is not sent.
std::uint32_t TrimmedLength(const BYTE* row, std::uint32_t rowBytes, BYTE lastMask);

// --- Raster framing and row encoders ---

// The declared compression method and row encoder of a `rasterCompression`
// value (`analysed` stands for value 3).
RowEncoder EncoderFor(std::int32_t rasterCompression, RowEncoder analysed);

// Leaves HP-GL/2 and moves the PCL cursor to device position (x, y), shifted
// by the current cell origin unless the job positions absolutely. 1 / 0.
int MovePclCursor(PclPdev* pdev, std::int32_t x, std::int32_t y);

// Starts a raster image of width x height dots at (left, top): makes sure the
// buffers are there (false before any output when they cannot be had), resets
// the encoders, positions the cursor and writes ESC "*r#s#t1A" and ESC "*b#M".
// False also when a write fails.
bool BeginRaster(PclPdev* pdev, std::int32_t left, std::int32_t top, std::int32_t width,
                 std::int32_t height, RowEncoder encoder);
// Ends it: the pending empty or duplicate count, the last block, ESC "*rC".
bool EndRaster(PclPdev* pdev);

// Row encoders: one row of rowBytes bytes after BeginRaster. False when a
// write fails.
bool EncodeRowTiff(PclPdev* pdev, const BYTE* row, bool lastRow);
bool EncodeRowDelta(PclPdev* pdev, const BYTE* row, bool firstRow, bool lastRow);
// `reference` is the previous destination row in the combined render-and-
// encode path, or null to encode against the seed row.
bool EncodeRowMixed(PclPdev* pdev, const BYTE* row, const BYTE* reference, bool firstRow);

// The next row of the image through the encoder BeginRaster settled on
// (pdev->raster.encoder: rows too wide for a block go unencoded whatever was
// asked); the combined render-and-encode path calls EncodeRowMixed itself.
bool SendRow(PclPdev* pdev, const BYTE* row, bool firstRow, bool lastRow);

// Writes one image of width x height one-bit rows at (left, top). Row y starts
// at rows + y * stride and holds ceil(width / 8) bytes, bit 7 of the first byte
// being the leftmost dot, 1 black. A mirrored image has the bits of each row
// reversed within the width on the way out. FALSE when a buffer cannot be
// allocated (nothing written then) or a write fails (the job is aborted).
BOOL SendRaster(PclPdev* pdev, std::int32_t left, std::int32_t top, std::int32_t width,
                std::int32_t height, const BYTE* rows, std::ptrdiff_t stride, BOOL mirrored);

// Chooses between EncodeRowTiff and EncodeRowDelta for `rasterCompression` 3
// by sampling rows of the source window: cx pixels of bitsPerPixel bits per
// row, cy rows, row i at firstRow + i * stride, taken bottom-up when the image
// is drawn upside down. The choice is kept in pdev->raster.analysed and
// returned; FALSE from `ok` when the buffers cannot be allocated.
RowEncoder AnalyseCompression(PclPdev* pdev, const BYTE* firstRow, std::ptrdiff_t stride,
                              std::int32_t cx, std::int32_t cy, std::uint32_t bitsPerPixel,
                              bool upsideDown, bool* ok = nullptr);

// Bits of a row reversed within `width` dots: dot x goes to width - 1 - x.
void ReverseBits(const BYTE* in, std::uint32_t width, BYTE* out);

}  // namespace kv5e
