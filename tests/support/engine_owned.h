// Engine objects a test makes, owned and deleted at the end of their scope.
#pragma once

#include <memory>

#include "kvplat/engine_objects.h"

namespace kvtest {

struct PathDeleter {
  void operator()(PATHOBJ* path) const { EngDeletePath(path); }
};
struct ClipDeleter {
  void operator()(CLIPOBJ* clip) const { kvplat::engine::DeleteClip(clip); }
};
struct BrushDeleter {
  void operator()(BRUSHOBJ* brush) const { kvplat::engine::DeleteBrush(brush); }
};
struct XlateDeleter {
  void operator()(XLATEOBJ* xlate) const { kvplat::engine::DeleteXlate(xlate); }
};
struct SurfaceDeleter {
  void operator()(SURFOBJ* surface) const { kvplat::engine::DeleteBitmapSurface(surface); }
};

using Path = std::unique_ptr<PATHOBJ, PathDeleter>;
using Clip = std::unique_ptr<CLIPOBJ, ClipDeleter>;
using Brush = std::unique_ptr<BRUSHOBJ, BrushDeleter>;
using Xlate = std::unique_ptr<XLATEOBJ, XlateDeleter>;
using Surface = std::unique_ptr<SURFOBJ, SurfaceDeleter>;

}  // namespace kvtest
