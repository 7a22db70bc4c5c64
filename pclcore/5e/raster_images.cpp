#include "pclcore/5e/raster_images.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "kvplat/kernel.h"
#include "pclcore/5e/brushes.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/hpgl_paths.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/raster_compression.h"

namespace kv5e {
namespace {

using kvset::DmField;

constexpr ULONG kImageTag = 0x69355A4B;  // "KZ5i"
constexpr ULONG kOutlineTag = 0x6F355A4B;  // "KZ5o"
constexpr ULONG kWhite = 0xFFFFFFFF;
// Pairs in one "PE" of a region polygon.
constexpr std::uint32_t kPolygonPairsPerPe = 512;

// ---- small helpers ----------------------------------------------------------------

struct Box {  // a rectangle with 64-bit edges, right and bottom exclusive
  std::int64_t left, top, right, bottom;
  std::int64_t Width() const { return right - left; }
  std::int64_t Height() const { return bottom - top; }
  bool Empty() const { return !(left < right && top < bottom); }
};

Box ToBox(const RECTL& r) { return Box{r.left, r.top, r.right, r.bottom}; }
RECTL ToRect(const Box& b) {
  return RECTL{static_cast<LONG>(b.left), static_cast<LONG>(b.top), static_cast<LONG>(b.right),
               static_cast<LONG>(b.bottom)};
}
Box Intersect(const Box& a, const Box& b) {
  return Box{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
             std::min(a.bottom, b.bottom)};
}
bool Inside(const Box& inner, const Box& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}
Box PageBox(const PclPdev* pdev) {
  return Box{0, 0, static_cast<std::int64_t>(pdev->cxSurface),
             static_cast<std::int64_t>(pdev->cySurface)};
}
inline int Mod16(std::int64_t v) { return static_cast<int>(((v % 16) + 16) % 16); }

std::int64_t CyPage(const PclPdev* pdev) { return pdev->surfaceGeometry.printableHeight; }

bool ForcedColour(const PclPdev* pdev) { return (pdev->flags & kFlagForcedColour) != 0; }

// Allocation through the engine, freed on scope exit.
class EngBuffer {
 public:
  EngBuffer() = default;
  EngBuffer(const EngBuffer&) = delete;
  EngBuffer& operator=(const EngBuffer&) = delete;
  ~EngBuffer() { Reset(); }
  BYTE* Allocate(std::uint64_t bytes, bool zeroed) {
    Reset();
    if (bytes == 0 || bytes > 0x7FFFFFF0u) return nullptr;
    data_ = static_cast<BYTE*>(
        EngAllocMem(zeroed ? FL_ZERO_MEMORY : 0, static_cast<ULONG>(bytes), kImageTag));
    return data_;
  }
  void Reset() {
    if (data_ != nullptr) EngFreeMem(data_);
    data_ = nullptr;
  }
  BYTE* get() const { return data_; }

 private:
  BYTE* data_ = nullptr;
};

// `width` dots of `in` starting at dot `offset`, moved to start at bit 0 of
// `out`; the unused bits of the last byte are cleared. `in` holds at least
// ceil((offset + width) / 8) bytes.
void CopyBitsOut(const BYTE* in, std::uint32_t offset, std::uint32_t width, BYTE* out) {
  const std::uint32_t bytes = (width + 7) / 8;
  const std::uint32_t available = (offset + width + 7) / 8;
  const BYTE* from = in + offset / 8;
  const unsigned shift = offset % 8;
  if (shift == 0) {
    std::memcpy(out, from, bytes);
  } else {
    const std::uint32_t last = available - offset / 8;  // bytes readable from `from`
    for (std::uint32_t i = 0; i < bytes; ++i) {
      const unsigned next = i + 1 < last ? from[i + 1] : 0u;
      out[i] = static_cast<BYTE>((from[i] << shift) | (next >> (8 - shift)));
    }
  }
  if (width % 8 != 0) out[bytes - 1] &= static_cast<BYTE>(0xFF00u >> (width % 8));
}

// ORs the bits [a, b) of a row with a pattern whose even bytes are `even` and
// odd bytes `odd`.
inline void OrPattern(BYTE* row, std::uint32_t a, std::uint32_t b, BYTE even, BYTE odd) {
  const std::uint32_t ja = a >> 3;
  const std::uint32_t jb = (b - 1) >> 3;
  const BYTE head = static_cast<BYTE>(0xFFu >> (a & 7));
  const BYTE tail = static_cast<BYTE>(0xFF00u >> (((b - 1) & 7) + 1));
  if (ja == jb) {
    row[ja] |= static_cast<BYTE>((ja & 1 ? odd : even) & head & tail);
    return;
  }
  row[ja] |= static_cast<BYTE>((ja & 1 ? odd : even) & head);
  std::uint32_t j = ja + 1;
  if (j < jb && (j & 1)) row[j++] = odd;
  for (; j + 1 < jb; j += 2) {
    row[j] = even;
    row[j + 1] = odd;
  }
  if (j < jb) row[j] = even;
  row[jb] |= static_cast<BYTE>((jb & 1 ? odd : even) & tail);
}

// ---- the renderer: a source window to one-bit rows ------------------------------------

enum class Pixels : std::uint8_t {
  Mono1,     // gray table, one bit per pixel
  Nibble4,   // gray table, high nibble first
  Index8,    // gray table, run by run
  Rgb16,     // XLATEOBJ_iXlate of each pixel
  Rgb24,     // B, G, R bytes, run by run
  Rgb32Red0, // byte 0 red
  Rgb32Red2, // byte 2 red
  Rgb32Xlate,
};

ULONG BitsOf(ULONG format) {
  switch (format) {
    case BMF_1BPP: return 1;
    case BMF_4BPP: return 4;
    case BMF_8BPP: return 8;
    case BMF_16BPP: return 16;
    case BMF_24BPP: return 24;
    case BMF_32BPP: return 32;
    default: return 0;
  }
}

bool RunBased(Pixels p) { return p == Pixels::Index8 || p == Pixels::Rgb24; }

struct Renderer {
  const BYTE* scan0 = nullptr;
  std::ptrdiff_t delta = 0;
  std::uint32_t sourceRowBytes = 0;  // readable bytes of a source row
  Pixels pixels = Pixels::Mono1;
  std::int64_t sx = 0, sy = 0, cx = 0, cy = 0;  // the source window
  std::int64_t left = 0, top = 0, w = 0, h = 0;  // the ordered destination
  bool upsideDown = false;
  XLATEOBJ* xlate = nullptr;
  BYTE gray[256] = {};
  // Runs of the row last analysed (run-based formats): start dot relative to
  // the first dot asked for, and pattern level k.
  std::uint32_t* runStart = nullptr;
  BYTE* runLevel = nullptr;
  std::uint32_t runCount = 0;
  std::int64_t runRow = -1, runU0 = -1, runU1 = -1;

  // Source row index (within the window) of destination row y.
  std::int64_t SourceRowOf(std::int64_t y) const {
    const std::int64_t r = ((y + 1) * cy - 1) / h;
    return upsideDown ? cy - 1 - r : r;
  }
  const BYTE* SourceRow(std::int64_t r) const {
    return scan0 + static_cast<std::ptrdiff_t>(sy + r) * delta;
  }

  int PixelGray(const BYTE* row, std::int64_t column) const {
    const std::int64_t x = sx + column;
    switch (pixels) {
      case Pixels::Mono1: return gray[(row[x >> 3] >> (7 - (x & 7))) & 1];
      case Pixels::Nibble4: {
        const BYTE b = row[x >> 1];
        return gray[(x & 1) ? (b & 0x0F) : (b >> 4)];
      }
      case Pixels::Index8: return gray[row[x]];
      case Pixels::Rgb16: {
        const ULONG v = row[2 * x] | (ULONG{row[2 * x + 1]} << 8);
        return GrayLevel(XLATEOBJ_iXlate(xlate, v));
      }
      case Pixels::Rgb24: {
        const BYTE* p = row + 3 * x;
        return (3 * p[2] + 6 * p[1] + p[0]) / 10;
      }
      case Pixels::Rgb32Red0: {
        const BYTE* p = row + 4 * x;
        return (3 * p[0] + 6 * p[1] + p[2]) / 10;
      }
      case Pixels::Rgb32Red2: {
        const BYTE* p = row + 4 * x;
        return (3 * p[2] + 6 * p[1] + p[0]) / 10;
      }
      case Pixels::Rgb32Xlate: {
        const BYTE* p = row + 4 * x;
        const ULONG v = p[0] | (ULONG{p[1]} << 8) | (ULONG{p[2]} << 16) | (ULONG{p[3]} << 24);
        return GrayLevel(XLATEOBJ_iXlate(xlate, v));
      }
    }
    return 255;
  }

  // Renders destination row y, dots [u0, u1) of the unmirrored destination,
  // into out (ceil((u1 - u0) / 8) bytes, every byte written, unused bits 0).
  void RenderRow(std::int64_t y, std::int64_t u0, std::int64_t u1, BYTE* out) {
    const auto n = static_cast<std::uint32_t>(u1 - u0);
    const std::uint32_t bytes = (n + 7) / 8;
    const std::int64_t sourceRow = SourceRowOf(y);
    const BYTE* row = SourceRow(sourceRow);
    const int r = Mod16(y + top);
    const int phase = Mod16(left + u0);
    if (RunBased(pixels)) {
      if (sourceRow != runRow || u0 != runU0 || u1 != runU1) FindRuns(row, u0, u1, sourceRow);
      std::memset(out, 0, bytes);
      for (std::uint32_t i = 0; i < runCount; ++i) {
        const std::uint32_t a = runStart[i];
        const std::uint32_t b = i + 1 < runCount ? runStart[i + 1] : n;
        const BYTE k = runLevel[i];
        if (k == 0) continue;  // white
        const std::span<const BYTE, 32> pattern = GrayPattern(k);
        const unsigned p = (unsigned{pattern[2 * r]} << 8) | pattern[2 * r + 1];
        const unsigned rotated = ((p << phase) | (p >> (16 - phase))) & 0xFFFF;
        OrPattern(out, a, b, static_cast<BYTE>(rotated >> 8), static_cast<BYTE>(rotated));
      }
      return;
    }
    // Thresholds of this row, rotated so that output dot i uses entry i mod 16.
    BYTE threshold[16];
    for (int i = 0; i < 16; ++i) threshold[i] = kThresholdMatrix[r][(i + phase) & 15];
    if (pixels == Pixels::Mono1 && w == cx) {
      RenderMonoUnscaled(row, u0, n, threshold, out);
      return;
    }
    // Per pixel: destination dot u takes source column ceil((u + 1) cx / w) - 1.
    std::int64_t num = u0 * cx + cx - 1;
    std::int64_t column = num / w;
    std::int64_t rest = num % w;
    const std::int64_t step = cx / w;
    const std::int64_t stepRest = cx % w;
    std::int64_t lastColumn = -1;
    int g = 255;
    unsigned acc = 0;
    std::uint32_t i = 0;
    for (; i < n; ++i) {
      if (column != lastColumn) {
        g = PixelGray(row, column);
        lastColumn = column;
      }
      acc = (acc << 1) | (g < threshold[i & 15] ? 1u : 0u);
      if ((i & 7) == 7) out[i >> 3] = static_cast<BYTE>(acc);
      column += step;
      rest += stepRest;
      if (rest >= w) {
        rest -= w;
        ++column;
      }
    }
    if (n & 7) out[n >> 3] = static_cast<BYTE>(acc << (8 - (n & 7)));
  }

  // One-bit source drawn at its own size: eight dots at a time, each black
  // where the gray of its value is below the threshold.
  void RenderMonoUnscaled(const BYTE* row, std::int64_t u0, std::uint32_t n,
                          const BYTE* threshold, BYTE* out) const {
    unsigned mask0 = 0, mask1 = 0;
    for (int i = 0; i < 16; ++i) {
      mask0 = (mask0 << 1) | (gray[0] < threshold[i] ? 1u : 0u);
      mask1 = (mask1 << 1) | (gray[1] < threshold[i] ? 1u : 0u);
    }
    const BYTE m0[2] = {static_cast<BYTE>(mask0 >> 8), static_cast<BYTE>(mask0)};
    const BYTE m1[2] = {static_cast<BYTE>(mask1 >> 8), static_cast<BYTE>(mask1)};
    const std::int64_t first = sx + u0;
    const BYTE* from = row + (first >> 3);
    const unsigned shift = static_cast<unsigned>(first & 7);
    const std::uint32_t readable =
        static_cast<std::uint32_t>(sourceRowBytes - static_cast<std::uint32_t>(first >> 3));
    const std::uint32_t bytes = (n + 7) / 8;
    for (std::uint32_t j = 0; j < bytes; ++j) {
      unsigned s = from[j];
      if (shift != 0) {
        const unsigned next = j + 1 < readable ? from[j + 1] : 0u;
        s = ((s << shift) | (next >> (8 - shift))) & 0xFF;
      }
      out[j] = static_cast<BYTE>((s & m1[j & 1]) | (~s & m0[j & 1]));
    }
    if (n & 7) out[bytes - 1] &= static_cast<BYTE>(0xFF00u >> (n & 7));
  }

  // Runs of a source row for dots [u0, u1): consecutive dots whose source
  // pixels have equal bytes. Shrinking maps dot u to column floor(u cx / w);
  // otherwise column i covers the dots from floor(i w / cx) to the next one.
  void FindRuns(const BYTE* row, std::int64_t u0, std::int64_t u1, std::int64_t sourceRow) {
    runRow = sourceRow;
    runU0 = u0;
    runU1 = u1;
    runCount = 0;
    const bool rgb = pixels == Pixels::Rgb24;
    const std::int64_t bias = w < cx ? 0 : cx - 1;
    std::int64_t num = u0 * cx + bias;
    std::int64_t column = num / w;
    std::int64_t rest = num % w;
    const std::int64_t step = cx / w;
    const std::int64_t stepRest = cx % w;
    const auto n = static_cast<std::uint32_t>(u1 - u0);
    std::uint32_t key = 0xFFFFFFFF;
    std::int64_t lastColumn = -1;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (column != lastColumn) {
        lastColumn = column;
        std::uint32_t value;
        if (rgb) {
          const BYTE* p = row + 3 * (sx + column);
          value = p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
        } else {
          value = row[sx + column];
        }
        if (value != key) {
          key = value;
          const int g = rgb ? (3 * (value >> 16) + 6 * ((value >> 8) & 0xFF) + (value & 0xFF)) / 10
                            : gray[value];
          runStart[runCount] = i;
          runLevel[runCount] = static_cast<BYTE>(255 - g);
          ++runCount;
        }
      }
      column += step;
      rest += stepRest;
      if (rest >= w) {
        rest -= w;
        ++column;
      }
    }
  }
};

// The work memory of one image: runs for the run-based formats and rows.
struct Work {
  EngBuffer buffer;
  std::uint32_t* runStart = nullptr;
  BYTE* runLevel = nullptr;
  BYTE* rows[3] = {};  // scratch rows of rowBytes each
  std::uint32_t rowBytes = 0;

  // Room for runs over `dots` dots and `rowCount` rows of `rowBytes` bytes.
  bool Make(Renderer& renderer, std::uint32_t dots, std::uint32_t bytesPerRow, int rowCount) {
    const std::uint64_t runs = RunBased(renderer.pixels) ? std::uint64_t{dots} + 1 : 0;
    if (runs == 0 && rowCount == 0) return true;
    const std::uint64_t rowRoom = (std::uint64_t{bytesPerRow} + 8) & ~std::uint64_t{7};
    const std::uint64_t total = runs * 4 + rowRoom * rowCount + runs + 8;
    BYTE* base = buffer.Allocate(total, true);
    if (base == nullptr) return false;
    runStart = reinterpret_cast<std::uint32_t*>(base);
    BYTE* at = base + runs * 4;
    for (int i = 0; i < rowCount; ++i, at += rowRoom) rows[i] = at;
    runLevel = at;
    rowBytes = bytesPerRow;
    renderer.runStart = runStart;
    renderer.runLevel = runLevel;
    renderer.runRow = -1;
    return true;
  }
};

// ---- HP-GL/2 output of the fills ---------------------------------------------------------

// Bytes of a command collected on the stack and handed to the output channel
// in large pieces.
class CommandBytes {
 public:
  explicit CommandBytes(PclPdev* pdev) : pdev_(pdev) {}
  CommandBytes(const CommandBytes&) = delete;
  CommandBytes& operator=(const CommandBytes&) = delete;
  ~CommandBytes() { Flush(); }
  void Text(const char* text) {
    const std::size_t length = std::strlen(text);
    Reserve(length);
    std::memcpy(buffer_ + fill_, text, length);
    fill_ += length;
  }
  void Pair(std::int64_t dx, std::int64_t dy) {
    Reserve(12);
    fill_ += static_cast<std::size_t>(EncodePePair(dx, dy, buffer_ + fill_));
  }
  void Flush() {
    if (fill_ > 0) WriteBytes(pdev_, buffer_, static_cast<std::uint32_t>(fill_));
    fill_ = 0;
  }

 private:
  static constexpr std::size_t kCapacity = 2048;
  void Reserve(std::size_t bytes) {
    if (fill_ + bytes > kCapacity) Flush();
  }
  PclPdev* pdev_;
  BYTE buffer_[kCapacity];
  std::size_t fill_ = 0;
};

// A polygon of `count` vertices, vertex i given by at(i): a move to the first,
// then relative pairs, closed back to the first, filled with the winding rule.
template <class VertexAt>
void EmitPolygon(PclPdev* pdev, std::uint32_t count, VertexAt&& at) {
  if (count == 0) return;
  const POINTL first = at(0);
  WritePeMove(pdev, first.x, first.y);
  CommandBytes out(pdev);
  out.Text("PM0");
  out.Text("PE");
  std::uint32_t pairs = 0;
  auto pair = [&](const POINTL& from, const POINTL& to) {
    if (pairs == kPolygonPairsPerPe) {
      out.Text(";PE");
      pairs = 0;
    }
    // HP-GL/2 y points up: the relative y is the old y minus the new one.
    out.Pair(std::int64_t{to.x} - from.x, std::int64_t{from.y} - to.y);
    ++pairs;
  };
  POINTL last = first;
  for (std::uint32_t i = 1; i < count; ++i) {
    const POINTL next = at(i);
    pair(last, next);
    last = next;
  }
  if (last.x != first.x || last.y != first.y) pair(last, first);
  out.Text(";");
  out.Text("PM2");
  out.Text("FP1");
}

// A growable list of vertices in engine memory.
class VertexList {
 public:
  VertexList() = default;
  VertexList(const VertexList&) = delete;
  VertexList& operator=(const VertexList&) = delete;
  ~VertexList() {
    if (heap_ != nullptr) EngFreeMem(heap_);
  }
  bool Push(POINTL p) {
    if (count_ == capacity_ && !Grow()) return false;
    data_[count_++] = p;
    return true;
  }
  void Clear() { count_ = 0; }
  std::uint32_t Size() const { return count_; }
  const POINTL& operator[](std::uint32_t i) const { return data_[i]; }
  POINTL* Data() { return data_; }
  // Makes room for `more` vertices; false when memory runs out.
  bool Reserve(std::uint32_t more) {
    while (capacity_ - count_ < more) {
      if (!Grow()) return false;
    }
    return true;
  }

 private:
  bool Grow() {
    if (capacity_ > (1u << 26)) return false;
    const std::uint32_t wanted = capacity_ * 2;
    auto* fresh = static_cast<POINTL*>(
        EngAllocMem(0, static_cast<ULONG>(wanted * sizeof(POINTL)), kOutlineTag));
    if (fresh == nullptr) return false;
    std::memcpy(fresh, data_, count_ * sizeof(POINTL));
    if (heap_ != nullptr) EngFreeMem(heap_);
    heap_ = fresh;
    data_ = fresh;
    capacity_ = wanted;
    return true;
  }
  POINTL local_[256];
  POINTL* heap_ = nullptr;
  POINTL* data_ = local_;
  std::uint32_t count_ = 0;
  std::uint32_t capacity_ = 256;
};

// Clip rectangles top to bottom, left to right, merged into outlines: a
// rectangle that continues the previous one downwards extends the outline,
// one-pixel staircases becoming diagonal edges.
class RegionOutline {
 public:
  explicit RegionOutline(PclPdev* pdev) : pdev_(pdev) {}

  void Add(const RECTL& n) {
    if (!open_) {
      Start(n);
      return;
    }
    const RECTL& p = previous_;
    if (p.right < n.left || n.right < p.left || p.bottom != n.top) {
      Close();
      Start(n);
      return;
    }
    // Up to two vertices on each side; when memory runs out the outline is
    // closed here and the rectangle starts a new one (the same area is filled).
    if (!right_.Reserve(2) || !left_.Reserve(2)) {
      Close();
      Start(n);
      return;
    }
    const bool previousThin = p.bottom - p.top == 1;
    const bool nextThin = n.bottom - n.top == 1;
    if (p.right != n.right) {
      if (!(n.right == p.right + 1 && previousThin)) right_.Push(POINTL{p.right, p.bottom});
      if (!(p.right == n.right + 1 && nextThin)) right_.Push(POINTL{n.right, n.top});
    }
    if (p.left != n.left) {
      if (!(p.left == n.left + 1 && previousThin)) left_.Push(POINTL{p.left, p.bottom});
      if (!(n.left == p.left + 1 && nextThin)) left_.Push(POINTL{n.left, n.top});
    }
    previous_ = n;
  }

  // Closes and emits the open outline: the right side, the bottom edge, then
  // the left side bottom-up.
  void Close() {
    if (!open_) return;
    open_ = false;
    const POINTL bottom[2] = {POINTL{previous_.right, previous_.bottom},
                              POINTL{previous_.left, previous_.bottom}};
    const std::uint32_t rightCount = right_.Size();
    const std::uint32_t leftCount = left_.Size();
    EmitPolygon(pdev_, rightCount + 2 + leftCount, [&](std::uint32_t i) -> const POINTL& {
      if (i < rightCount) return right_[i];
      if (i < rightCount + 2) return bottom[i - rightCount];
      return left_[leftCount - 1 - (i - rightCount - 2)];
    });
  }

 private:
  void Start(const RECTL& n) {
    right_.Clear();
    left_.Clear();
    right_.Push(POINTL{n.left, n.top});
    right_.Push(POINTL{n.right, n.top});
    previous_ = n;
    open_ = true;
  }

  PclPdev* pdev_;
  VertexList right_;
  VertexList left_;  // prepended vertices, kept in the order they came
  RECTL previous_{};
  bool open_ = false;
};

// The clip a source-less fill draws through: complexity and bounds, and the
// engine clip to enumerate for a complex one.
struct FillClip {
  BYTE complexity;
  RECTL bounds;
  CLIPOBJ* object;
};

BOOL FillThroughClip(PclPdev* pdev, const FillClip& clip, const Box& limit, BRUSHOBJ* brush,
                     POINTL* origin, std::uint8_t rop) {
  if (!RopUsesPattern(rop)) brush = nullptr;
  const std::uint8_t mergeRop = ForcedColour(pdev) ? kForcedColourRop : rop;
  const std::int64_t cyPage = CyPage(pdev);

  if (clip.complexity == DC_RECT && brush != nullptr) {
    const Box r = Intersect(ToBox(clip.bounds), limit);
    if (r.Empty()) return TRUE;
    EnterHpgl2(pdev);
    SetMergeRop(pdev, mergeRop);
    if (!SelectHpglBrush(pdev, brush, origin, false)) return TRUE;
    ResetClipWindow(pdev);
    WriteFormatted(pdev, "PU%d,%d", r.left, cyPage - r.top);
    WriteFormatted(pdev, "RR%d,%d", r.right - r.left, r.top - r.bottom);
    return TRUE;
  }
  if (clip.complexity == DC_RECT || clip.complexity == DC_TRIVIAL) {
    const Box r = Intersect(ToBox(clip.bounds), limit);
    if (r.Empty()) return TRUE;
    LeaveHpgl2(pdev);
    SetPclPrintModel(pdev, 1, 1, mergeRop);
    if (brush != nullptr) SelectPclBrush(pdev, brush);
    MovePclCursor(pdev, static_cast<std::int32_t>(r.left), static_cast<std::int32_t>(r.top));
    WriteFormatted(pdev, "\x1B*c%da%dB", r.right - r.left + 1, r.bottom - r.top + 1);
    WriteText(pdev, "\x1B*c5P");
    return TRUE;
  }
  if (clip.complexity != DC_COMPLEX || clip.object == nullptr) return TRUE;

  EnterHpgl2(pdev);
  SetMergeRop(pdev, mergeRop);
  if (brush != nullptr && !SelectHpglBrush(pdev, brush, origin, false)) return TRUE;
  ResetClipWindow(pdev);
  RegionOutline outline(pdev);
  CLIPOBJ_cEnumStart(clip.object, FALSE, CT_RECTANGLES, CD_RIGHTDOWN, 0);
  ENUMRECTS batch;
  bool more = true;
  while (more) {
    more = CLIPOBJ_bEnum(clip.object, sizeof(batch), reinterpret_cast<ULONG*>(&batch)) != FALSE;
    if (batch.c == 0) continue;
    const Box r = Intersect(ToBox(batch.arcl[0]), limit);
    if (!r.Empty()) outline.Add(ToRect(r));
  }
  outline.Close();
  return TRUE;
}

// ---- bitmaps -------------------------------------------------------------------------------

// What BlitBitmap settles before rendering.
struct Blit {
  PclPdev* pdev;
  Renderer renderer;
  bool mirrored;
  Box dest;  // ordered
};

// Sends the bits [dots x rows] of `window` rows at `intermediate` starting at
// dot `offset` as one raster image at (x, y), row by row through `scratch`.
BOOL SendFromIntermediate(PclPdev* pdev, const BYTE* rows, std::uint32_t stride,
                          std::uint32_t offset, std::int64_t x, std::int64_t y,
                          std::uint32_t dots, std::uint32_t rowCount, BYTE* scratch) {
  const RowEncoder encoder = EncoderFor(Dm(pdev, DmField("rasterCompression")),
                                        static_cast<RowEncoder>(pdev->raster.analysed));
  if (!BeginRaster(pdev, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y),
                   static_cast<std::int32_t>(dots), static_cast<std::int32_t>(rowCount),
                   encoder)) {
    return FALSE;
  }
  for (std::uint32_t i = 0; i < rowCount; ++i) {
    CopyBitsOut(rows + static_cast<std::size_t>(i) * stride, offset, dots, scratch);
    if (!SendRow(pdev, scratch, i == 0, i + 1 == rowCount)) return FALSE;
  }
  return EndRaster(pdev) ? TRUE : FALSE;
}

// The clipped path: the visible part of the destination (`window`, inside
// the page) rendered into an intermediate image, then each visible rectangle
// copied out and sent on its own. Visible rectangles are `single`, or the
// rectangles of `complexClip`, each cut to the window.
BOOL RenderClipped(Blit& blit, const Box& window, const Box* single, CLIPOBJ* complexClip) {
  PclPdev* pdev = blit.pdev;
  Renderer& rr = blit.renderer;
  if (window.Empty()) return TRUE;
  const auto dots = static_cast<std::uint32_t>(window.Width());
  const auto height = static_cast<std::uint32_t>(window.Height());
  const std::uint32_t stride = ((dots + 7) / 8 + 3) & ~3u;

  // Scratch: a render row (mirrored images) and a send row; runs.
  Work work;
  if (!work.Make(rr, dots, stride + 1, 2)) return FALSE;

  EngBuffer image;
  std::uint32_t bandRows = height;
  if (image.Allocate(std::uint64_t{stride} * height, false) == nullptr) {
    bandRows = std::min<std::uint32_t>(height, kBandBytes / stride + 1);
    if (image.Allocate(std::uint64_t{stride} * bandRows, false) == nullptr) return FALSE;
  }
  BYTE* bits = image.get();
  // Unmirrored destination dots that land on the window's columns.
  const std::int64_t u0 = blit.mirrored ? blit.dest.right - window.right
                                        : window.left - blit.dest.left;
  const std::int64_t u1 = u0 + dots;

  for (std::uint32_t bandTop = 0; bandTop < height; bandTop += bandRows) {
    const std::uint32_t rowsInBand = std::min(bandRows, height - bandTop);
    for (std::uint32_t i = 0; i < rowsInBand; ++i) {
      const std::int64_t y = window.top + bandTop + i - blit.dest.top;
      BYTE* out = bits + static_cast<std::size_t>(i) * stride;
      if (blit.mirrored) {
        rr.RenderRow(y, u0, u1, work.rows[0]);
        ReverseBits(work.rows[0], dots, out);
      } else {
        rr.RenderRow(y, u0, u1, out);
      }
    }
    const Box band{window.left, window.top + bandTop, window.right,
                   window.top + bandTop + rowsInBand};
    auto send = [&](const RECTL& rect) -> BOOL {
      const Box part = Intersect(Intersect(ToBox(rect), window), band);
      if (part.Empty()) return TRUE;
      const BYTE* first = bits + static_cast<std::size_t>(part.top - band.top) * stride;
      return SendFromIntermediate(pdev, first, stride,
                                  static_cast<std::uint32_t>(part.left - window.left), part.left,
                                  part.top, static_cast<std::uint32_t>(part.Width()),
                                  static_cast<std::uint32_t>(part.Height()), work.rows[1]);
    };
    if (single != nullptr) {
      if (!send(ToRect(*single))) return FALSE;
      continue;
    }
    CLIPOBJ_cEnumStart(complexClip, FALSE, CT_RECTANGLES, CD_RIGHTDOWN, 0);
    ENUMRECTS batch;
    bool more = true;
    while (more) {
      more = CLIPOBJ_bEnum(complexClip, sizeof(batch), reinterpret_cast<ULONG*>(&batch)) != FALSE;
      if (batch.c != 0 && !send(batch.arcl[0])) return FALSE;
    }
  }
  return TRUE;
}

// Rendering and encoding in one pass (rasterCompression 4, 8- and 24-bit
// sources not shrunk vertically): each source row is analysed once and every
// destination row it covers is encoded against the row before it.
BOOL RenderCombined(Blit& blit) {
  PclPdev* pdev = blit.pdev;
  Renderer& rr = blit.renderer;
  const auto w = static_cast<std::uint32_t>(rr.w);
  const auto h = static_cast<std::uint32_t>(rr.h);
  const std::uint32_t rowBytes = (w + 7) / 8;
  Work work;
  if (!work.Make(rr, w, rowBytes, 3)) return FALSE;
  if (!BeginRaster(pdev, static_cast<std::int32_t>(blit.dest.left),
                   static_cast<std::int32_t>(blit.dest.top), static_cast<std::int32_t>(w),
                   static_cast<std::int32_t>(h), RowEncoder::Mixed)) {
    return FALSE;
  }
  // Rows too wide for a block go out unencoded (BeginRaster decides).
  const bool mixed = static_cast<RowEncoder>(pdev->raster.encoder) == RowEncoder::Mixed;
  BYTE* current = work.rows[0];
  BYTE* previous = work.rows[1];
  BYTE* unmirrored = work.rows[2];
  for (std::uint32_t y = 0; y < h; ++y) {
    if (blit.mirrored) {
      rr.RenderRow(y, 0, w, unmirrored);
      ReverseBits(unmirrored, w, current);
    } else {
      rr.RenderRow(y, 0, w, current);
    }
    const bool ok = mixed ? EncodeRowMixed(pdev, current, y == 0 ? nullptr : previous, y == 0)
                          : SendRow(pdev, current, y == 0, y + 1 == h);
    if (!ok) return FALSE;
    std::swap(current, previous);
  }
  return EndRaster(pdev) ? TRUE : FALSE;
}

// The direct path: the whole destination as one raster image at its top-left
// corner.
BOOL RenderBitmap(Blit& blit) {
  PclPdev* pdev = blit.pdev;
  Renderer& rr = blit.renderer;
  LeaveHpgl2(pdev);
  if (Dm(pdev, DmField("rasterCompression")) == 4 && RunBased(rr.pixels) && rr.cy <= rr.h) {
    return RenderCombined(blit);
  }
  const auto w = static_cast<std::uint32_t>(rr.w);
  const auto h = static_cast<std::uint32_t>(rr.h);
  const std::uint32_t stride = (w + 7) / 8 + 1;
  Work work;
  if (!work.Make(rr, w, 0, 0)) return FALSE;
  EngBuffer image;
  BYTE* bits = image.Allocate(std::uint64_t{stride} * h, true);
  if (bits == nullptr) return FALSE;
  for (std::uint32_t y = 0; y < h; ++y) rr.RenderRow(y, 0, w, bits + std::size_t{y} * stride);
  return SendRaster(pdev, static_cast<std::int32_t>(blit.dest.left),
                    static_cast<std::int32_t>(blit.dest.top), static_cast<std::int32_t>(w),
                    static_cast<std::int32_t>(h), bits, stride, blit.mirrored ? TRUE : FALSE);
}

bool WholeImageFits(const Box& dest) {
  const std::int64_t w = dest.Width(), h = dest.Height();
  if (w > kMaxWholeImageDots || h > kMaxWholeImageDots) return false;
  return static_cast<std::uint64_t>((w + 7) / 8 + 1) * static_cast<std::uint64_t>(h) <=
         kMaxWholeImageBytes;
}

// The gray levels of the palette entries of an indexed source.
void FillGrayTable(Renderer& rr, ULONG bits, XLATEOBJ* xlate) {
  const std::uint32_t entries = 1u << bits;
  if (xlate != nullptr && (xlate->flXlate & XO_TABLE) && xlate->pulXlate != nullptr) {
    const std::uint32_t n = std::min<std::uint32_t>(xlate->cEntries, entries);
    for (std::uint32_t i = 0; i < n; ++i) rr.gray[i] = static_cast<BYTE>(GrayLevel(xlate->pulXlate[i]));
    return;  // entries beyond the table stay black
  }
  if (xlate != nullptr && !(xlate->flXlate & XO_TRIVIAL)) {
    for (std::uint32_t i = 0; i < entries; ++i) {
      rr.gray[i] = static_cast<BYTE>(GrayLevel(XLATEOBJ_iXlate(xlate, i)));
    }
    return;
  }
  // No colours to go by: the indices are an even ramp from black to white.
  for (std::uint32_t i = 0; i < entries; ++i) {
    rr.gray[i] = static_cast<BYTE>(i * 255 / (entries - 1));
  }
}

Pixels ThirtyTwoBitPixels(XLATEOBJ* xlate) {
  const ULONG red = XLATEOBJ_iXlate(xlate, 0xFF);
  const ULONG green = XLATEOBJ_iXlate(xlate, 0xFF00);
  const ULONG blue = XLATEOBJ_iXlate(xlate, 0xFF0000);
  const ULONG top = XLATEOBJ_iXlate(xlate, 0xFF000000) & 0xFFFFFF;
  if (green == 0xFF00 && top == 0) {
    if (red == 0xFF && blue == 0xFF0000) return Pixels::Rgb32Red0;
    if (red == 0xFF0000 && blue == 0xFF) return Pixels::Rgb32Red2;
  }
  return Pixels::Rgb32Xlate;
}

// Raster drawing starts from the solid PCL pattern.
void ClearPclPattern(PclPdev* pdev) {
  if (!pdev->hpglState.bPclPatternSet) return;
  LeaveHpgl2(pdev);
  WriteText(pdev, "\x1B*v0T");
  pdev->hpglState.bPclPatternSet = 0;
}

BOOL Outcome(const PclPdev* pdev, BOOL drawn) {
  return drawn && !(pdev->flags & kFlagAborted) ? TRUE : FALSE;
}

// DrvCopyBits and DrvStretchBlt after their own checks.
BOOL CopyImage(SURFOBJ* target, SURFOBJ* source, CLIPOBJ* clip, XLATEOBJ* xlate,
               const RECTL& destination, std::int64_t cx, std::int64_t cy, POINTL origin) {
  PclPdev* pdev = DrawingDevice(target);
  if (pdev == nullptr) return FALSE;
  RECTL clamped;
  const int pageClass = ClampToPage(pdev, destination, &clamped);
  if (pageClass == kClassOffPage) return TRUE;
  ClearPclPattern(pdev);
  LeaveHpgl2(pdev);
  SetPclPrintModel(pdev, 1, 1, ForcedColour(pdev) ? kForcedColourRop : kRopSourceCopy);
  return Outcome(pdev, BlitBitmap(pdev, clip, source, cx, cy, origin, destination, xlate,
                                  pageClass == kClassPartlyOff, clamped));
}

}  // namespace

int ClampToPage(const PclPdev* pdev, const RECTL& rect, RECTL* clamped) {
  Box r{std::min(rect.left, rect.right), std::min(rect.top, rect.bottom),
        std::max(rect.left, rect.right), std::max(rect.top, rect.bottom)};
  const Box page = PageBox(pdev);
  const Box c = Intersect(r, page);
  if (c.Empty()) {
    *clamped = RECTL{0, 0, 0, 0};
    return kClassOffPage;
  }
  *clamped = ToRect(c);
  // A rectangle hanging over any edge of the page reaches off it.
  return Inside(r, page) ? kClassOnPage : kClassPartlyOff;
}

void SetPclPrintModel(PclPdev* pdev, std::uint8_t sourceTransparency,
                      std::uint8_t patternTransparency, std::uint8_t rop) {
  HpglState& state = pdev->hpglState;
  if (state.iSourceTransparency != sourceTransparency) {
    LeaveHpgl2(pdev);
    WriteFormatted(pdev, "\x1B*v%dN", sourceTransparency);
    state.iSourceTransparency = sourceTransparency;
  }
  if (state.iPatternTransparency != patternTransparency) {
    LeaveHpgl2(pdev);
    WriteFormatted(pdev, "\x1B*v%dO", patternTransparency);
    state.iPatternTransparency = patternTransparency;
  }
  if (state.iMergeRop != rop) {
    LeaveHpgl2(pdev);
    WriteFormatted(pdev, "\x1B*l%dO", rop);
    state.iMergeRop = rop;
  }
}

void EmitRegionPolygon(PclPdev* pdev, const POINTL* vertices, std::uint32_t count) {
  EmitPolygon(pdev, count, [&](std::uint32_t i) -> const POINTL& { return vertices[i]; });
}

BOOL FillRectangles(PclPdev* pdev, CLIPOBJ* clip, const RECTL& limit, BRUSHOBJ* brush,
                    POINTL* brushOrigin, std::uint8_t rop) {
  FillClip fill{DC_TRIVIAL, limit, nullptr};
  if (clip != nullptr) fill = FillClip{clip->iDComplexity, clip->rclBounds, clip};
  FillThroughClip(pdev, fill, ToBox(limit), brush, brushOrigin, rop);
  return Outcome(pdev, TRUE);
}

BOOL BlitBitmap(PclPdev* pdev, CLIPOBJ* clip, SURFOBJ* source, std::int64_t cx, std::int64_t cy,
                POINTL origin, const RECTL& destination, XLATEOBJ* xlate, bool partlyOff,
                const RECTL& clamped) {
  if (source == nullptr || source->pvScan0 == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const ULONG bits = BitsOf(source->iBitmapFormat);
  if (bits == 0) return TRUE;  // a format we cannot read draws nothing
  const std::int64_t width = source->sizlBitmap.cx;
  const std::int64_t height = source->sizlBitmap.cy;
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(std::max<std::int64_t>(width, 0)) * bits + 7) / 8;
  const std::uint64_t delta = source->lDelta < 0 ? 0ull - static_cast<std::uint64_t>(std::int64_t{source->lDelta})
                                                 : static_cast<std::uint64_t>(source->lDelta);
  if (width <= 0 || height <= 0 || delta < rowBytes) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  // 1. The source window, inside the bitmap.
  std::int64_t sx = origin.x, sy = origin.y;
  if (sx < 0) {
    cx += sx;
    sx = 0;
  }
  if (sy < 0) {
    cy += sy;
    sy = 0;
  }
  cx = std::min(cx, width - sx);
  cy = std::min(cy, height - sy);
  if (cx <= 0 || cy <= 0) return TRUE;

  // 2. The destination, ordered; the order it came in mirrors or turns it.
  Blit blit{pdev, Renderer{}, destination.right < destination.left, Box{}};
  const bool upsideDown = destination.bottom < destination.top;
  blit.dest = Box{std::min(destination.left, destination.right),
                  std::min(destination.top, destination.bottom),
                  std::max(destination.left, destination.right),
                  std::max(destination.top, destination.bottom)};
  if (blit.dest.Empty()) return TRUE;

  Renderer& rr = blit.renderer;
  rr.scan0 = static_cast<const BYTE*>(source->pvScan0);
  rr.delta = source->lDelta;
  rr.sourceRowBytes = static_cast<std::uint32_t>(rowBytes);
  rr.sx = sx;
  rr.sy = sy;
  rr.cx = cx;
  rr.cy = cy;
  rr.left = blit.dest.left;
  rr.top = blit.dest.top;
  rr.w = blit.dest.Width();
  rr.h = blit.dest.Height();
  rr.upsideDown = upsideDown;
  rr.xlate = xlate;

  // 3. The compression analysis of the window's rows.
  if (Dm(pdev, DmField("rasterCompression")) == 3) {
    bool ok = true;
    AnalyseCompression(pdev, rr.SourceRow(0) + (sx * bits) / 8, rr.delta,
                       static_cast<std::int32_t>(cx), static_cast<std::int32_t>(cy), bits,
                       upsideDown, &ok);
    if (!ok) return FALSE;
  }

  // 4. Gray levels of the source pixels.
  switch (bits) {
    case 1: rr.pixels = Pixels::Mono1; break;
    case 4: rr.pixels = Pixels::Nibble4; break;
    case 8: rr.pixels = Pixels::Index8; break;
    case 16: rr.pixels = Pixels::Rgb16; break;
    case 24: rr.pixels = Pixels::Rgb24; break;
    default: rr.pixels = ThirtyTwoBitPixels(xlate); break;
  }
  if (bits <= 8) FillGrayTable(rr, bits, xlate);

  // 5. Where it goes.
  const Box page = PageBox(pdev);
  const Box clampedBox = ToBox(clamped);
  const BYTE complexity = clip != nullptr ? clip->iDComplexity : DC_TRIVIAL;
  const bool scaledOffPage = Dm(pdev, DmField("scalePercent")) > 100 && partlyOff &&
                             Dm(pdev, DmField("fitActive")) == 0;
  auto unclipped = [&]() -> BOOL {
    // A destination too large to render whole is drawn where it meets the page.
    if (scaledOffPage || !WholeImageFits(blit.dest)) {
      return RenderClipped(blit, clampedBox, &clampedBox, nullptr);
    }
    return RenderBitmap(blit);
  };
  switch (complexity) {
    case DC_TRIVIAL: return unclipped();
    case DC_RECT: {
      const Box bounds = ToBox(clip->rclBounds);
      if (Inside(blit.dest, bounds)) return unclipped();
      const Box visible = Intersect(Intersect(blit.dest, bounds), page);
      if (visible.Empty()) return TRUE;
      return RenderClipped(blit, visible, &visible, nullptr);
    }
    case DC_COMPLEX: {
      const Box window = Intersect(Intersect(blit.dest, ToBox(clip->rclBounds)), page);
      return RenderClipped(blit, window, nullptr, clip);
    }
    default: return TRUE;
  }
}

BOOL DrvCopyBits(SURFOBJ* psoDst, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo, RECTL* prclDest,
                 POINTL* pptlSrc) {
  if (psoDst == nullptr || psoSrc == nullptr || prclDest == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (psoSrc->iType != STYPE_BITMAP) return EngEraseSurface(psoDst, prclDest, kWhite);
  if (psoDst->iType != STYPE_DEVICE) return FALSE;
  const RECTL dest = *prclDest;
  const POINTL origin = pptlSrc != nullptr ? *pptlSrc : POINTL{0, 0};
  const std::int64_t cx = std::int64_t{dest.right} - dest.left;
  const std::int64_t cy = std::int64_t{dest.bottom} - dest.top;
  return CopyImage(psoDst, psoSrc, pco, pxlo, dest, cx < 0 ? -cx : cx, cy < 0 ? -cy : cy, origin);
}

BOOL DrvStretchBlt(SURFOBJ* psoDest, SURFOBJ* psoSrc, SURFOBJ* /*psoMask*/, CLIPOBJ* pco,
                   XLATEOBJ* pxlo, void* /*pca*/, POINTL* /*pptlHTOrg*/, RECTL* prclDest,
                   RECTL* prclSrc, POINTL* /*pptlMask*/, ULONG /*iMode*/) {
  if (psoDest == nullptr || psoSrc == nullptr || prclDest == nullptr || prclSrc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const RECTL source = *prclSrc;
  return CopyImage(psoDest, psoSrc, pco, pxlo, *prclDest,
                   std::int64_t{source.right} - source.left,
                   std::int64_t{source.bottom} - source.top, POINTL{source.left, source.top});
}

BOOL DrvBitBlt(SURFOBJ* psoTrg, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco, XLATEOBJ* pxlo,
               RECTL* prclTrg, POINTL* pptlSrc, POINTL* pptlMask, BRUSHOBJ* pbo,
               POINTL* pptlBrush, ROP4 rop4) {
  if (psoMask != nullptr) {
    return EngBitBlt(psoTrg, psoSrc, psoMask, pco, pxlo, prclTrg, pptlSrc, pptlMask, pbo,
                     pptlBrush, rop4);
  }
  if (rop4 > 0xFFFF) return FALSE;
  if (prclTrg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  PclPdev* pdev = DrawingDevice(psoTrg);
  if (pdev == nullptr) return FALSE;
  const auto rop = static_cast<std::uint8_t>(rop4 & 0xFF);
  const auto background = static_cast<std::uint8_t>((rop4 >> 8) & 0xFF);

  RECTL target = *prclTrg;
  if (target.bottom < target.top) std::swap(target.top, target.bottom);
  RECTL clamped;
  const int pageClass = ClampToPage(pdev, target, &clamped);
  if (pageClass == kClassOffPage) return TRUE;
  ClearPclPattern(pdev);
  const std::uint8_t effective = ForcedColour(pdev) ? kForcedColourRop : rop;

  if (RopUsesSource(rop)) {
    if (psoSrc == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    LeaveHpgl2(pdev);
    SetPclPrintModel(pdev, 1, 1, effective);
    if (RopUsesPattern(rop)) SelectPclBrush(pdev, pbo);
    const POINTL origin = pptlSrc != nullptr ? *pptlSrc : POINTL{0, 0};
    const std::int64_t cx = std::int64_t{target.right} - target.left;
    const std::int64_t cy = std::int64_t{target.bottom} - target.top;
    return Outcome(pdev, BlitBitmap(pdev, pco, psoSrc, cx < 0 ? -cx : cx, cy, origin, target,
                                    pxlo, pageClass == kClassPartlyOff, clamped));
  }

  // No source: filled rectangles, the background left alone around a pattern.
  HpglState& state = pdev->hpglState;
  CLIPOBJ* clip = pco != nullptr && pco->iDComplexity != DC_TRIVIAL ? pco : nullptr;
  FillClip fill{DC_RECT, clamped, nullptr};
  if (clip != nullptr) fill = FillClip{clip->iDComplexity, clip->rclBounds, clip};
  if (background == kRopKeepDestination && RopUsesPattern(rop) && state.iTransparencyMode != 0) {
    EnterHpgl2(pdev);
    WriteText(pdev, "TR1");
    state.iTransparencyMode = 0;
  }
  FillThroughClip(pdev, fill, ToBox(clamped), pbo, pptlBrush, rop);
  if (state.iTransparencyMode != 1) {
    EnterHpgl2(pdev);
    WriteText(pdev, "TR0");
    state.iTransparencyMode = 1;
  }
  return Outcome(pdev, TRUE);
}

}  // namespace kv5e
