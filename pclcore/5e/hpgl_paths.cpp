#include "pclcore/5e/hpgl_paths.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "kvplat/kernel.h"
#include "pclcore/5e/brushes.h"
#include "pclcore/5e/devmode_access.h"
#include "pclcore/5e/output_channel.h"

namespace kv5e {
namespace {

constexpr auto kScalePercent = kvset::DmField("scalePercent");

// Foreground and background R2 codes (modulo 16) to raster operations.
constexpr std::uint8_t kMixRops[16] = {255, 0,   5,   10,  15,  80,  85,  90,
                                       95,  160, 165, 170, 175, 240, 245, 250};

// Bytes of a drawing command collected on the stack and handed to the output
// channel in large pieces, so that points cost no call and no allocation.
class CommandWriter {
 public:
  explicit CommandWriter(PclPdev* pdev) : pdev_(pdev) {}
  CommandWriter(const CommandWriter&) = delete;
  CommandWriter& operator=(const CommandWriter&) = delete;
  ~CommandWriter() { Flush(); }

  void Text(std::string_view text) {
    if (text.size() > kRoom) {
      Flush();
      ok_ &= WriteBytes(pdev_, text.data(), static_cast<std::uint32_t>(text.size())) != 0;
      return;
    }
    Reserve(text.size());
    std::memcpy(buffer_ + fill_, text.data(), text.size());
    fill_ += text.size();
  }
  void Char(char c) {
    Reserve(1);
    buffer_[fill_++] = static_cast<BYTE>(c);
  }
  void Number(std::int64_t value) {
    Reserve(12);
    fill_ += IntToDecimal(static_cast<std::int32_t>(value), reinterpret_cast<char*>(buffer_ + fill_));
  }
  void Pair(std::int64_t dx, std::int64_t dy) {
    Reserve(12);
    fill_ += EncodePePair(dx, dy, buffer_ + fill_);
  }
  // A pen-up move to the device point (x, y).
  void Move(std::int64_t x, std::int64_t y) {
    Text("PE=<");
    Pair(x, CyPage() - y);
    Char(';');
  }
  std::int64_t CyPage() const { return pdev_->surfaceGeometry.printableHeight; }
  bool Flush() {
    if (fill_ > 0) {
      ok_ &= WriteBytes(pdev_, buffer_, static_cast<std::uint32_t>(fill_)) != 0;
      fill_ = 0;
    }
    return ok_;
  }

 private:
  static constexpr std::size_t kCapacity = 2048;
  static constexpr std::size_t kRoom = 256;
  void Reserve(std::size_t bytes) {
    if (fill_ + bytes > kCapacity) Flush();
  }
  PclPdev* pdev_;
  BYTE buffer_[kCapacity];
  std::size_t fill_ = 0;
  bool ok_ = true;
};

bool ScaledUp(const PclPdev* pdev) { return Dm(pdev, kScalePercent) > 100; }

int JobDpi(const PclPdev* pdev) {
  const int dpi = PublicDevmode(pdev)->dmPrintQuality;
  return dpi > 0 ? dpi : 300;
}

RECTL PageRect(const PclPdev* pdev) {
  return RECTL{0, 0, static_cast<LONG>(pdev->cxSurface), static_cast<LONG>(pdev->cySurface)};
}

RECTL Intersect(const RECTL& a, const RECTL& b) {
  return RECTL{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
               std::min(a.bottom, b.bottom)};
}

bool IsEmpty(const RECTL& r) { return !(r.left < r.right && r.top < r.bottom); }

bool SameRect(const RECTL& a, const RECTL& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// The pixels a path covers: its bounds shifted to pixels, right and bottom
// one past.
RECTL PathRect(PATHOBJ* ppo) {
  RECTFX bounds;
  PATHOBJ_vGetBounds(ppo, &bounds);
  return RECTL{bounds.xLeft >> 4, bounds.yTop >> 4, (bounds.xRight >> 4) + 1,
               (bounds.yBottom >> 4) + 1};
}

// A scaled-up job draws only what touches the page, inside the page window.
// False when the object lies wholly off the page.
bool EnterScaledPage(PclPdev* pdev, const RECTL& object) {
  if (!ScaledUp(pdev)) return true;
  if (IsEmpty(Intersect(object, PageRect(pdev)))) return false;
  EnterHpgl2(pdev);
  SetPageWindow(pdev);
  return true;
}

void ApplyMerge(PclPdev* pdev, MIX mix) {
  if (pdev->flags & kFlagForcedColour) {
    SetMergeRop(pdev, kForcedColourRop);
  } else {
    SetMergeControl(pdev, mix);
  }
}

// Lines drawn with a brush of their own start from the solid PCL pattern.
void ClearPclPattern(PclPdev* pdev) {
  if (!pdev->hpglState.bPclPatternSet) return;
  LeaveHpgl2(pdev);
  WriteText(pdev, "\x1B*v0T");
  pdev->hpglState.bPclPatternSet = 0;
}

void WriteWindow(PclPdev* pdev, const RECTL& window) {
  const std::int64_t cyPage = pdev->surfaceGeometry.printableHeight;
  WriteFormatted(pdev, "IW%d,%d,%d,%d", window.left, cyPage - window.bottom, window.right,
                 cyPage - window.top);
}

// No clipping to do: the default window, or the page when scaled up.
void TrivialClipWindow(PclPdev* pdev) {
  HpglState& state = pdev->hpglState;
  if (!ScaledUp(pdev)) {
    ResetClipWindow(pdev);
  } else if (state.bClipWindowOn) {
    state.rclClipWindow = PageRect(pdev);
    WriteWindow(pdev, state.rclClipWindow);
  }
}

// a * b / c rounded half away from zero (as MulDiv), without overflow.
std::int64_t ScaleOffset(std::int64_t a, std::int64_t b, std::int64_t c) {
  if (c == 0) return 0;
  const __int128 product = static_cast<__int128>(a) * b;
  const __int128 half = c / 2;
  const __int128 rounded = product >= 0 ? (product + half) / c : (product - half) / c;
  return static_cast<std::int64_t>(rounded);
}

std::int64_t Abs64(std::int64_t v) { return v < 0 ? -v : v; }

// A stroke through a complex clip: the engine cuts each line into the runs
// the clip lets through, each drawn as a move and one relative draw.
BOOL StrokeClipLines(PclPdev* pdev, SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, LINEATTRS* pla) {
  if ((pla != nullptr && (pla->fl & LA_GEOMETRIC)) || (ppo->fl & PO_BEZIERS)) return FALSE;
  if (!ScaledUp(pdev) && pdev->hpglState.bClipWindowOn) ResetClipWindow(pdev);

  constexpr std::size_t kRunsPerBuffer = 51;
  alignas(CLIPLINE) BYTE storage[offsetof(CLIPLINE, arun) + kRunsPerBuffer * sizeof(RUN)];
  static_assert(sizeof(storage) == 432);
  auto* line = reinterpret_cast<CLIPLINE*>(storage);
  CommandWriter out(pdev);
  PATHOBJ_vEnumStartClipLines(ppo, pco, pso, pla);
  bool more = true;
  while (more) {
    more = PATHOBJ_bEnumClipLines(ppo, sizeof(storage), line) != FALSE;
    const std::int64_t ax = line->ptfxA.x, ay = line->ptfxA.y;
    const std::int64_t dx = std::int64_t{line->ptfxB.x} - ax;
    const std::int64_t dy = std::int64_t{line->ptfxB.y} - ay;
    const bool xMajor = Abs64(dx) >= Abs64(dy);
    const std::int64_t major = xMajor ? dx : dy;
    const std::int64_t minor = xMajor ? dy : dx;
    const std::size_t runs = std::min<std::size_t>(line->c, kRunsPerBuffer);
    for (std::size_t i = 0; i < runs; ++i) {
      const RUN& run = line->arun[i];
      auto offsets = [&](std::int64_t pixels, std::int64_t* ox, std::int64_t* oy) {
        const std::int64_t along = pixels * 16;
        std::int64_t across = ScaleOffset(along, Abs64(minor), Abs64(major));
        if (minor < 0) across = -across;
        const std::int64_t signedAlong = major < 0 ? -along : along;
        *ox = xMajor ? signedAlong : across;
        *oy = xMajor ? across : signedAlong;
      };
      std::int64_t sx, sy, ex, ey;
      offsets(run.iStart, &sx, &sy);
      offsets(run.iStop, &ex, &ey);
      sx += ax;
      sy += ay;
      ex += ax;
      ey += ay;
      out.Move(sx >> 4, sy >> 4);
      out.Text("PE");
      out.Pair((ex - sx) >> 4, (sy - ey) >> 4);
      out.Char(';');
    }
  }
  return out.Flush() ? TRUE : FALSE;
}

}  // namespace

// ---- encodings -------------------------------------------------------------------

int EncodePeNumber(std::int64_t value, BYTE* out) {
  std::uint64_t u = value >= 0 ? static_cast<std::uint64_t>(value) * 2
                               : (0 - static_cast<std::uint64_t>(value)) * 2 + 1;
  int length = 0;
  while (u >= 64) {
    out[length++] = static_cast<BYTE>(u % 64 + 63);
    u >>= 6;
  }
  out[length++] = static_cast<BYTE>(u + 191);
  return length;
}

int EncodePePair(std::int64_t dx, std::int64_t dy, BYTE* out) {
  // Coordinates are 32-bit on the printer: keep each number within 6 digits.
  dx = std::clamp<std::int64_t>(dx, INT32_MIN, INT32_MAX);
  dy = std::clamp<std::int64_t>(dy, INT32_MIN, INT32_MAX);
  const int first = EncodePeNumber(dx, out);
  return first + EncodePeNumber(dy, out + first);
}

int WritePeMove(PclPdev* pdev, std::int64_t x, std::int64_t y) {
  CommandWriter out(pdev);
  out.Move(x, y);
  return out.Flush() ? 1 : 0;
}

// ---- merge control ---------------------------------------------------------------

std::uint8_t MixToMergeRop(MIX mix) {
  return static_cast<std::uint8_t>(kMixRops[(mix & 0xFF) % 16] & kMixRops[((mix >> 8) & 0xFF) % 16]);
}

int SetMergeControl(PclPdev* pdev, MIX mix) {
  EnterHpgl2(pdev);
  const std::uint8_t rop = MixToMergeRop(mix);
  if (rop == pdev->hpglState.iMergeRop) return 1;
  pdev->hpglState.iMergeRop = rop;
  return WriteFormatted(pdev, "MC1,%d", rop) >= 0;
}

int SetMergeRop(PclPdev* pdev, std::uint8_t rop) {
  if (rop == pdev->hpglState.iMergeRop) return 1;
  EnterHpgl2(pdev);
  pdev->hpglState.iMergeRop = rop;
  return WriteFormatted(pdev, "MC1,%d", rop) >= 0;
}

// ---- windows ---------------------------------------------------------------------

void SetPageWindow(PclPdev* pdev) {
  HpglState& state = pdev->hpglState;
  const RECTL page = PageRect(pdev);
  if (state.bClipWindowOn && state.rclClipWindow.right == page.right &&
      state.rclClipWindow.bottom == page.bottom) {
    return;
  }
  state.rclClipWindow = page;
  state.bClipWindowOn = 1;
  WriteWindow(pdev, page);
}

void ResetClipWindow(PclPdev* pdev) {
  HpglState& state = pdev->hpglState;
  if (!state.bClipWindowOn) return;
  state.rclClipWindow = RECTL{};
  state.bClipWindowOn = 0;
  WriteText(pdev, "IW");
}

void SetClipWindow(PclPdev* pdev, const CLIPOBJ* clip, const RECTL* objectRect) {
  if (clip == nullptr) return;
  HpglState& state = pdev->hpglState;
  switch (clip->iDComplexity) {
    case DC_TRIVIAL:
      TrivialClipWindow(pdev);
      return;
    case DC_RECT:
    case DC_COMPLEX: {
      const RECTL& bounds = clip->rclBounds;
      if (objectRect != nullptr && objectRect->left >= bounds.left &&
          objectRect->top >= bounds.top && objectRect->right <= bounds.right &&
          objectRect->bottom <= bounds.bottom) {
        TrivialClipWindow(pdev);
        return;
      }
      if (SameRect(bounds, state.rclClipWindow)) return;
      const RECTL window = Intersect(bounds, PageRect(pdev));
      if (IsEmpty(window)) return;
      state.rclClipWindow = window;
      state.bClipWindowOn = 1;
      WriteWindow(pdev, window);
      return;
    }
    default:
      return;
  }
}

// ---- line attributes -------------------------------------------------------------

namespace {

// Finds or defines the user line type of a style array: its index (1..8) and
// pattern length in millimetres. -1 when the definition cannot be kept.
int DefineUserLineType(PclPdev* pdev, const FLOAT_LONG* style, std::uint32_t count,
                       std::int32_t* lengthMm, bool* isNew) {
  HpglState& state = pdev->hpglState;
  const int dpi = JobDpi(pdev);
  const std::int64_t perUnit = dpi / 50;
  auto dash = [&](std::uint32_t i) {
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(std::int64_t{style[i].l} * perUnit, INT32_MIN, INT32_MAX));
  };

  int slot = -1;
  for (int k = 0; k < kMaxUserLineTypes; ++k) {
    const UserLineType* known = state.apUserLineType[k];
    if (known == nullptr) {
      slot = k;
      break;
    }
    if (static_cast<std::uint32_t>(known->count) != count) continue;
    bool same = true;
    for (std::uint32_t i = 0; i < count && same; ++i) same = known->dashes[i] == dash(i);
    if (same) {
      *lengthMm = known->lengthMm;
      *isNew = false;
      return k + 1;
    }
  }
  if (slot < 0) {
    slot = static_cast<int>(static_cast<std::uint32_t>(state.cUserLineTypesMade) % kMaxUserLineTypes);
  }

  const std::size_t bytes =
      offsetof(UserLineType, dashes) + sizeof(std::int32_t) * std::max<std::uint32_t>(count, 1);
  auto* made = static_cast<UserLineType*>(
      EngAllocMem(FL_ZERO_MEMORY, static_cast<ULONG>(bytes), 0x6E696C75));
  if (made == nullptr) return -1;
  EngFreeMem(state.apUserLineType[slot]);
  state.apUserLineType[slot] = made;
  ++state.cUserLineTypesMade;

  CommandWriter out(pdev);
  out.Text("UL");
  out.Number(slot + 1);
  std::int64_t sum = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    made->dashes[i] = dash(i);
    sum += made->dashes[i];
    out.Char(',');
    out.Number(made->dashes[i]);
  }
  made->count = static_cast<std::int32_t>(count);
  made->lengthMm = static_cast<std::int32_t>(std::clamp<std::int64_t>(
      sum * 2540 / (std::int64_t{dpi} * 100), INT32_MIN, INT32_MAX));
  *lengthMm = made->lengthMm;
  *isNew = true;
  return slot + 1;
}

}  // namespace

BOOL SetLineAttributes(PclPdev* pdev, const LINEATTRS* attrs) {
  if (attrs == nullptr || (attrs->fl & LA_GEOMETRIC)) return FALSE;
  HpglState& state = pdev->hpglState;
  const std::int32_t width = attrs->elWidth.l;
  if (width != state.lPenWidth) {
    state.lPenWidth = width;
    if (width == 0) {
      WriteText(pdev, "PW0");
    } else {
      const float mm = static_cast<float>(width) * 2540.0f / (static_cast<float>(JobDpi(pdev)) * 100.0f);
      WriteFormatted(pdev, "PW%d", static_cast<std::int32_t>(std::clamp(mm, -2.0e9f, 2.0e9f)));
    }
  }

  if (attrs->pstyle == nullptr || attrs->cstyle == 0) {
    if (state.iLineType != -1) {
      state.iLineType = -1;
      WriteText(pdev, "LT");
    }
    return TRUE;
  }
  if (attrs->cstyle > kMaxStyleEntries) return FALSE;
  std::int32_t lengthMm = 0;
  bool isNew = false;
  const int index = DefineUserLineType(pdev, attrs->pstyle, attrs->cstyle, &lengthMm, &isNew);
  if (index < 0) return FALSE;
  if (isNew || index != state.iLineType) {
    state.iLineType = index;
    WriteFormatted(pdev, "LT%d,%d,1", index, lengthMm);
  }
  return TRUE;
}

// ---- path emission -----------------------------------------------------------------

BOOL DrvCommonPath(PclPdev* pdev, PATHOBJ* ppo, bool strokeOnly, bool* polygonWritten) {
  if (polygonWritten != nullptr) *polygonWritten = false;
  if (ppo == nullptr) return FALSE;
  const bool clampStartX = pdev->hpglState.bClampStartX != 0;
  CommandWriter out(pdev);
  bool first = true;
  bool afterMove = false;
  bool inPe = false;
  bool curveStarted = false;
  bool inCurves = false;      // a "BR" is open
  bool polygonOpen = false;   // "PM0" was written
  int budget = kPePointsPerCommand;
  std::int64_t sx = 0, sy = 0, px = 0, py = 0;  // subpath start and current point, pixels

  PATHOBJ_vEnumStart(ppo);
  PATHDATA data;
  bool more = true;
  while (more) {
    more = PATHOBJ_bEnum(ppo, &data) != FALSE;
    const POINTFIX* points = data.pptfx;
    std::uint32_t count = points != nullptr ? data.count : 0;
    if (count == 0) continue;

    if (data.flags & PD_BEGINSUBPATH) {
      sx = px = points[0].x >> 4;
      sy = py = points[0].y >> 4;
      out.Move(clampStartX && sx == -1 ? 0 : sx, sy);
      afterMove = true;
      inPe = false;
      inCurves = false;
      curveStarted = false;
      ++points;
      --count;
      if (first && !strokeOnly) {
        out.Text("PM0");
        first = false;
        polygonOpen = true;
      }
    }

    if (data.flags & PD_BEZIERS) {
      if (count % 3 != 0) {
        // Close what is open, or the printer would take the next drawing
        // into this command or this polygon.
        if (inPe || inCurves) out.Char(';');
        if (polygonOpen) out.Text("PM2");
        out.Flush();
        return FALSE;
      }
      if (count > 0) {
        if (!afterMove && !inPe && inCurves) {
          out.Char(',');  // the running "BR" goes on
        } else {
          if (inPe) out.Char(';');
          out.Text(curveStarted ? "BR" : "PDBR");
          curveStarted = true;
          afterMove = false;
          inPe = false;
          inCurves = true;
          budget = kPePointsPerCommand;
        }
        for (std::uint32_t i = 0; i < count; i += 3) {
          if (budget <= 0) {
            out.Text("BR");
            budget = kPePointsPerCommand;
          }
          for (std::uint32_t j = 0; j < 3; ++j) {
            if (j > 0) out.Char(',');
            out.Number((points[i + j].x >> 4) - px);
            out.Char(',');
            out.Number(py - (points[i + j].y >> 4));
          }
          if (count - i > 3 && budget > 3) out.Char(',');
          px = points[i + 2].x >> 4;
          py = points[i + 2].y >> 4;
          budget -= 3;
        }
      }
    } else if (count > 0) {
      if (afterMove || !inPe) {
        out.Text("PE");
        inPe = true;
        inCurves = false;
        afterMove = false;
        budget = kPePointsPerCommand;
      }
      for (std::uint32_t i = 0; i < count; ++i) {
        if (budget == 0) {
          out.Text(";PE");
          budget = kPePointsPerCommand;
        }
        const std::int64_t x = points[i].x >> 4, y = points[i].y >> 4;
        out.Pair(x - px, py - y);
        px = x;
        py = y;
        --budget;
      }
    }

    if (count > 0 && (data.flags & PD_ENDSUBPATH)) {
      if (inPe) {
        if ((data.flags & PD_CLOSEFIGURE) && (px != sx || py != sy)) out.Pair(sx - px, py - sy);
        out.Char(';');
        inPe = false;
      }
      if (!more) break;
      if (!strokeOnly && polygonOpen) out.Text("PM1");
    }
  }
  if (!strokeOnly && polygonOpen) out.Text("PM2");
  if (polygonWritten != nullptr) *polygonWritten = polygonOpen;
  return out.Flush() ? TRUE : FALSE;
}

// ---- segments ------------------------------------------------------------------------

bool ClipSegmentToRect(const RECTL& rect, LONG* x1, LONG* y1, LONG* x2, LONG* y2) {
  std::int64_t ax = *x1, ay = *y1, bx = *x2, by = *y2;
  const std::int64_t left = rect.left, top = rect.top, right = rect.right, bottom = rect.bottom;
  if (ax == bx) {
    if (ax < left || ax > right) return false;
    if ((ay < top && by < top) || (ay > bottom && by > bottom)) return false;
    ay = std::clamp(ay, top, bottom);
    by = std::clamp(by, top, bottom);
  } else if (ay == by) {
    if (ay < top || ay > bottom) return false;
    if ((ax < left && bx < left) || (ax > right && bx > right)) return false;
    ax = std::clamp(ax, left, right);
    bx = std::clamp(bx, left, right);
  } else {
    // x where the segment crosses a given y, and y where it crosses a given x.
    auto xAt = [&](std::int64_t y) {
      return static_cast<std::int64_t>(static_cast<__int128>(y - ay) * (bx - ax) / (by - ay) + ax);
    };
    auto yAt = [&](std::int64_t x) {
      return static_cast<std::int64_t>(static_cast<__int128>(x - ax) * (by - ay) / (bx - ax) + ay);
    };
    if (ax < left && bx < left) return false;
    if (ax < left) {
      ay = yAt(left);
      ax = left;
    } else if (bx < left) {
      by = yAt(left);
      bx = left;
    }
    if (ax > right && bx > right) return false;
    if (ax > right) {
      ay = yAt(right);
      ax = right;
    } else if (bx > right) {
      by = yAt(right);
      bx = right;
    }
    if (ay < top && by < top) return false;
    if (ay < top) {
      ax = xAt(top);
      ay = top;
    } else if (by < top) {
      bx = xAt(top);
      by = top;
    }
    if (ay > bottom && by > bottom) return false;
    if (ay > bottom) {
      ax = xAt(bottom);
      ay = bottom;
    } else if (by > bottom) {
      bx = xAt(bottom);
      by = bottom;
    }
  }
  if (ay > by) {
    std::swap(ax, bx);
    std::swap(ay, by);
  }
  *x1 = static_cast<LONG>(ax);
  *y1 = static_cast<LONG>(ay);
  *x2 = static_cast<LONG>(bx);
  *y2 = static_cast<LONG>(by);
  return true;
}

// ---- drawing calls -------------------------------------------------------------------

BOOL DrvStrokePath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, XFORMOBJ* /*pxo*/, BRUSHOBJ* pbo,
                   POINTL* /*pptlBrushOrg*/, LINEATTRS* plineattrs, MIX mix) {
  PclPdev* pdev = DrawingDevice(pso);
  if (pdev == nullptr) return FALSE;
  // What the engine must draw itself is refused before anything is written.
  if (ppo == nullptr || pbo == nullptr || plineattrs == nullptr ||
      (plineattrs->fl & LA_GEOMETRIC)) {
    return FALSE;
  }
  const RECTL pathRect = PathRect(ppo);
  if (!EnterScaledPage(pdev, pco != nullptr ? pco->rclBounds : pathRect)) return TRUE;

  EnterHpgl2(pdev);
  if (!SetLineAttributes(pdev, plineattrs)) return FALSE;
  ApplyMerge(pdev, mix);
  if (!SelectHpglBrush(pdev, pbo, nullptr, true)) return FALSE;
  if (pco != nullptr && pco->iDComplexity == DC_COMPLEX) {
    return StrokeClipLines(pdev, pso, ppo, pco, plineattrs);
  }
  SetClipWindow(pdev, pco, &pathRect);
  return DrvCommonPath(pdev, ppo, true);
}

BOOL DrvFillPath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, BRUSHOBJ* pbo, POINTL* pptlBrushOrg,
                 MIX mix, FLONG flOptions) {
  PclPdev* pdev = DrawingDevice(pso);
  if (pdev == nullptr) return FALSE;
  if (pbo == nullptr || ppo == nullptr) return FALSE;
  // The engine breaks fills through complex clips up into simpler calls.
  if (pco != nullptr && pco->iDComplexity == DC_COMPLEX) return FALSE;
  if (!EnterScaledPage(pdev, pco != nullptr ? pco->rclBounds : PathRect(ppo))) return TRUE;

  BRUSHOBJ forced;
  BRUSHOBJ* brush = pbo;
  if (pdev->flags & kFlagForcedColour) {
    forced = *pbo;
    forced.iSolidColor = pdev->watermarkColor;
    brush = &forced;
  }
  EnterHpgl2(pdev);
  ApplyMerge(pdev, mix);

  RECTFX bounds;
  PATHOBJ_vGetBounds(ppo, &bounds);
  const RECTL object{-2, bounds.yTop >> 4, (bounds.xRight >> 4) + 1, (bounds.yBottom >> 4) + 1};
  pdev->hpglState.bClampStartX = object.right == 3 ? 1 : 0;
  if (!SelectHpglBrush(pdev, brush, pptlBrushOrg, false)) return FALSE;
  SetClipWindow(pdev, pco, &object);
  bool polygon = false;
  if (!DrvCommonPath(pdev, ppo, false, &polygon)) return FALSE;
  if (polygon) WriteText(pdev, flOptions == FP_ALTERNATEMODE ? "FP" : "FP1");
  return TRUE;
}

BOOL DrvStrokeAndFillPath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, XFORMOBJ* /*pxo*/,
                          BRUSHOBJ* pboStroke, LINEATTRS* plineattrs, BRUSHOBJ* pboFill,
                          POINTL* pptlBrushOrg, MIX mixFill, FLONG flOptions) {
  PclPdev* pdev = DrawingDevice(pso);
  if (pdev == nullptr) return FALSE;
  if (ppo == nullptr || plineattrs == nullptr || (plineattrs->fl & LA_GEOMETRIC)) return FALSE;
  if (pco != nullptr && pco->iDComplexity == DC_COMPLEX) return FALSE;
  const RECTL pathRect = PathRect(ppo);
  if (!EnterScaledPage(pdev, pco != nullptr ? pco->rclBounds : pathRect)) return TRUE;

  EnterHpgl2(pdev);
  if (!SetLineAttributes(pdev, plineattrs)) return FALSE;
  ApplyMerge(pdev, mixFill);
  SetClipWindow(pdev, pco, &pathRect);
  bool polygon = false;
  if (!DrvCommonPath(pdev, ppo, false, &polygon)) return FALSE;
  if (pboFill == nullptr || !SelectHpglBrush(pdev, pboFill, pptlBrushOrg, false)) return FALSE;
  if (polygon) WriteText(pdev, flOptions == FP_ALTERNATEMODE ? "FP" : "FP1");
  if (pboStroke == nullptr || !SelectHpglBrush(pdev, pboStroke, nullptr, true)) return FALSE;
  if (polygon) WriteText(pdev, "EP");
  return TRUE;
}

BOOL DrvPaint(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, POINTL* pptlBrushOrg, MIX mix) {
  PclPdev* pdev = DrawingDevice(pso);
  if (pdev == nullptr) return FALSE;
  if (EngPaint(pso, pco, pbo, pptlBrushOrg, mix)) return TRUE;

  PATHOBJ* region = pco != nullptr ? CLIPOBJ_ppoGetPath(pco) : nullptr;
  if (region == nullptr) return FALSE;
  if (!EnterScaledPage(pdev, pco->rclBounds)) {
    EngDeletePath(region);
    return TRUE;
  }
  ClearPclPattern(pdev);
  ApplyMerge(pdev, mix);
  SetClipWindow(pdev, pco, nullptr);
  if (pdev->hpglState.iPen != 2) {
    pdev->hpglState.iPen = 2;
    WriteText(pdev, "SP2");
  }
  bool polygon = false;
  const BOOL drawn = DrvCommonPath(pdev, region, false, &polygon);
  EngDeletePath(region);
  if (!drawn) return FALSE;
  if (pbo != nullptr) SelectHpglBrush(pdev, pbo, pptlBrushOrg, false);
  if (polygon) WriteText(pdev, "FP");
  return TRUE;
}

BOOL DrvLineTo(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, LONG x1, LONG y1, LONG x2, LONG y2,
               RECTL* /*prclBounds*/, MIX mix) {
  PclPdev* pdev = DrawingDevice(pso);
  if (pdev == nullptr) return FALSE;
  if (pbo == nullptr) return FALSE;
  if (pco != nullptr && !EnterScaledPage(pdev, pco->rclBounds)) return TRUE;

  ClearPclPattern(pdev);
  EnterHpgl2(pdev);
  ApplyMerge(pdev, mix);
  if (!SelectHpglBrush(pdev, pbo, nullptr, true)) return FALSE;
  HpglState& state = pdev->hpglState;
  if (state.lPenWidth != 1) {
    state.lPenWidth = 1;
    WriteText(pdev, "PW0");
  }
  if (state.iLineType != -1) {
    state.iLineType = -1;
    WriteText(pdev, "LT");
  }
  if (!ScaledUp(pdev)) ResetClipWindow(pdev);

  if (x2 < x1) {
    std::swap(x1, x2);
    std::swap(y1, y2);
  }
  CommandWriter out(pdev);
  // A line leaves out its last pixel: one pixel less in x (a vertical line
  // has no x extent to give up).
  auto line = [&](LONG ax, LONG ay, LONG bx, LONG by) {
    std::int64_t dx = std::int64_t{bx} - ax;
    dx += dx > 0 ? -1 : (dx < 0 ? 1 : 0);
    out.Move(ax, ay);
    out.Text("PE");
    out.Pair(dx, std::int64_t{ay} - by);
    out.Char(';');
  };

  if (pco == nullptr || pco->iDComplexity == DC_TRIVIAL) {
    line(x1, y1, x2, y2);
  } else if (pco->iDComplexity == DC_RECT) {
    LONG ax = x1, ay = y1, bx = x2, by = y2;
    if (!ClipSegmentToRect(pco->rclBounds, &ax, &ay, &bx, &by)) return TRUE;
    line(ax, ay, bx, by);
  } else if (pco->iDComplexity == DC_COMPLEX) {
    // The visible parts rectangle by rectangle; parts that meet are joined.
    CLIPOBJ_cEnumStart(pco, FALSE, CT_RECTANGLES, CD_ANY, 64);
    bool open = false;
    std::int64_t sx = 0, sy = 0, ex = 0, ey = 0;
    auto finish = [&]() {
      out.Text("PE");
      out.Pair(ex - sx, sy - ey);
      out.Char(';');
    };
    ENUMRECTS rects;
    bool more = true;
    while (more) {
      more = CLIPOBJ_bEnum(pco, sizeof(rects), reinterpret_cast<ULONG*>(&rects)) != FALSE;
      if (rects.c == 0) continue;
      LONG ax = x1, ay = y1, bx = x2, by = y2;
      if (!ClipSegmentToRect(rects.arcl[0], &ax, &ay, &bx, &by)) continue;
      if (open && Abs64(ax - ex) <= 1 && Abs64(ay - ey) <= 1) {
        ex = bx;
        ey = by;
        continue;
      }
      if (open) finish();
      out.Move(ax, ay);
      sx = ax;
      sy = ay;
      ex = bx;
      ey = by;
      open = true;
    }
    if (open) finish();
  }
  return out.Flush() ? TRUE : FALSE;
}

}  // namespace kv5e
