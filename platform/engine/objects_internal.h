// Private records behind the engine's drawing objects and the small tools
// they share (an engine-allocated array, banded regions, edge lists).
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "kvplat/engine.h"
#include "kvplat/engine_objects.h"
#include "kvplat/kernel.h"

namespace kvplat::engine::detail {

inline constexpr ULONG kTag = 0x6A626F6B;  // "kobj"

// A growable array of plain records in engine memory. Growth fails (false)
// when memory runs out or the array would pass `kMaxBytes`.
template <typename T>
class EngArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  static constexpr std::size_t kMaxBytes = std::size_t{1} << 30;
  EngArray() = default;
  EngArray(const EngArray&) = delete;
  EngArray& operator=(const EngArray&) = delete;
  EngArray(EngArray&& other) noexcept { Swap(other); }
  EngArray& operator=(EngArray&& other) noexcept {
    Swap(other);
    return *this;
  }
  ~EngArray() { EngFreeMem(data_); }

  bool Reserve(std::size_t n) {
    if (n <= capacity_) return true;
    if (n > kMaxBytes / sizeof(T)) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    std::size_t grow = capacity_ < 8 ? 8 : capacity_ * 2;
    if (grow > kMaxBytes / sizeof(T)) grow = kMaxBytes / sizeof(T);
    if (grow < n) grow = n;
    auto* block = static_cast<T*>(EngAllocMem(0, static_cast<ULONG>(grow * sizeof(T)), kTag));
    if (block == nullptr) return false;
    if (size_ != 0) std::memcpy(static_cast<void*>(block), data_, size_ * sizeof(T));
    EngFreeMem(data_);
    data_ = block;
    capacity_ = grow;
    return true;
  }
  bool Push(const T& value) {
    if (size_ == capacity_ && !Reserve(size_ + 1)) return false;
    data_[size_++] = value;
    return true;
  }
  bool Resize(std::size_t n) {
    if (!Reserve(n)) return false;
    size_ = n;
    return true;
  }
  void Clear() { size_ = 0; }
  void PopBack() { --size_; }
  T* Data() { return data_; }
  const T* Data() const { return data_; }
  std::size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& Back() { return data_[size_ - 1]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  void Swap(EngArray& other) {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Engine-allocated object with a constructor and destructor.
template <typename T, typename... Args>
T* NewObject(Args&&... args) {
  void* block = EngAllocMem(FL_ZERO_MEMORY, sizeof(T), kTag);
  if (block == nullptr) return nullptr;
  return new (block) T(std::forward<Args>(args)...);
}
template <typename T>
void DeleteObject(T* object) {
  if (object == nullptr) return;
  object->~T();
  EngFreeMem(object);
}

// ---- paths
struct PathRecord {
  FLONG flags;  // PD_BEZIERS or 0; PD_BEGINSUBPATH/PD_ENDSUBPATH/PD_CLOSEFIGURE at enumeration
  std::uint32_t first;
  std::uint32_t count;
  std::uint32_t subpath;
};
struct Subpath {
  std::uint32_t firstRecord;
  std::uint32_t records;
  bool closed;
};

inline constexpr std::uint32_t kPathMagic = 0x48544150;  // "PATH"

struct ClipLineState;
void FreeClipLines(ClipLineState* state);

struct Path {
  PATHOBJ object{};  // first: the library holds a pointer to it
  std::uint32_t magic = kPathMagic;
  EngArray<POINTFIX> points;
  EngArray<PathRecord> records;
  EngArray<Subpath> subpaths;
  bool open = false;        // the last subpath takes more segments
  bool haveCurrent = false; // a current point exists (after a move or a close)
  POINTFIX current{};
  std::size_t enumNext = 0;
  ClipLineState* clipLines = nullptr;
  ~Path();
};
Path* AsPath(PATHOBJ* object);
Path* NewPath();

// A line segment of a flattened path (28.4), in drawing order.
struct Segment {
  POINTFIX a;
  POINTFIX b;
};
// The segments of a path with Beziers flattened and every subpath closed
// (for fills) or left open (for strokes). False on bad data or memory.
bool PathSegments(Path* path, bool closeFigures, EngArray<Segment>* out);

// Pixel i (whole pixels along the major axis from a) of the cosmetic line a-b;
// the line covers i in [0, LinePixelCount) (its last pixel is left out).
std::int64_t LinePixelCount(const POINTFIX& a, const POINTFIX& b);
void LinePixel(const POINTFIX& a, const POINTFIX& b, std::int64_t i, LONG* x, LONG* y);

// Collects runs of pixels row by row (rows ascending, runs left to right)
// into a banded region, joining equal rows into one band.
struct RowRegionBuilder {
  explicit RowRegionBuilder(EngArray<RECTL>* region) : out(region) {}
  void Add(LONG y, LONG left, LONG right);
  bool Finish();
  EngArray<RECTL>* out;
  EngArray<RECTL> row;
  LONG rowY = 0;
  std::size_t previousFirst = 0, previousCount = 0;
  bool ok = true;
  void Flush();
};

// ---- regions: non-overlapping rectangles in bands, top to bottom and left
// to right; rectangles of one band share top and bottom.
using Region = EngArray<RECTL>;
// Builds the banded union of arbitrary rectangles (empty ones dropped).
bool RegionFromRects(const RECTL* rects, std::size_t count, Region* out);
// Banded region of a path's fill.
bool RegionFromPath(Path* path, FLONG fillMode, Region* out);

inline constexpr std::uint32_t kClipMagic = 0x50494C43;  // "CLIP"
struct Clip {
  CLIPOBJ object{};
  std::uint32_t magic = kClipMagic;
  Region rects;  // for DC_TRIVIAL: the bounds only
  // Enumeration state: the band being delivered and the place in it.
  bool enumerating = false;
  bool down = true;
  bool right = true;
  std::size_t bandFirst = 0, bandEnd = 0, inBand = 0;
};
Clip* AsClip(CLIPOBJ* object);
// The band rectangles of a clip; a trivial clip's bounds when trivial.
std::span<const RECTL> Rects(Clip* clip);

inline bool RectEmpty(const RECTL& r) { return r.left >= r.right || r.top >= r.bottom; }
inline RECTL Intersect(const RECTL& a, const RECTL& b) {
  RECTL r{a.left > b.left ? a.left : b.left, a.top > b.top ? a.top : b.top,
          a.right < b.right ? a.right : b.right, a.bottom < b.bottom ? a.bottom : b.bottom};
  if (RectEmpty(r)) return RECTL{0, 0, 0, 0};
  return r;
}

// Pixels covered by a surface (0,0)-(cx,cy).
inline RECTL SurfaceRect(const SURFOBJ* surface) {
  return RECTL{0, 0, surface->sizlBitmap.cx, surface->sizlBitmap.cy};
}

// ---- brushes
struct Brush;
// The colour or pattern pixel of a brush at device pixel (x, y) for a brush
// origin, in the target format.
struct BrushSource {
  bool solid = true;
  ULONG color = 0;
  SURFOBJ* pattern = nullptr;
  POINTL origin{};
  ULONG At(LONG x, LONG y) const;
};
bool BrushSourceOf(BRUSHOBJ* brush, const POINTL* origin, BrushSource* out);

// ---- transforms
struct Xform;
bool XformMatrix(XFORMOBJ* xform, FLOATOBJ_XFORM* out);

}  // namespace kvplat::engine::detail
