// The HP-GL/2 and PCL print-model state of a device instance. Drawing code
// switches between PCL and HP-GL/2 only through EnterHpgl2/LeaveHpgl2, and
// the per-page reset makes the next command of every kind go out again.
#pragma once

#include <cstdint>

#include "kvplat/wintypes.h"
#include "pclcore/5e/text_state.h"

namespace kv5e {

struct PclPdev;

inline constexpr int kMaxUserLineTypes = 8;
inline constexpr std::uint8_t kMergeRopUnset = 35;  // no mix produces it

// A user line type: dash lengths in device pixels and the pattern length.
struct UserLineType {
  std::int32_t count;
  std::int32_t lengthMm;
  std::int32_t dashes[1];  // `count` entries
};

struct HpglState {
  std::uint8_t bInHpgl2;  // 1 while the printer is in HP-GL/2 mode
  std::uint8_t iMergeRop;
  std::uint8_t bPclPatternSet;
  std::int32_t iLastPatternId;
  RECTL rclClipWindow;
  std::int32_t bClipWindowOn;
  std::int16_t iFillTypeKey;
  std::int16_t iScreenKey;
  std::int16_t iPen;
  POINTL ptlAnchor;
  std::int32_t lPenWidth;
  std::int32_t iLineType;
  std::int32_t cUserLineTypesMade;
  UserLineType* apUserLineType[kMaxUserLineTypes];
  std::int32_t bClampStartX;
  // Gray patterns downloaded in this page: bit k for pattern k (gray 255 - k).
  std::uint8_t grayPatternsSent[32];
  // Resident font last selected (text output) and its height; -1 after a reset.
  std::int32_t lastFontIndex;
  std::int32_t lastFontHeight;
  // PCL print model: source transparency (ESC *v#N) and pattern transparency
  // (ESC *v#O) last sent, 255 when nothing was sent. The PCL logical
  // operation (ESC *l#O) shares iMergeRop with the HP-GL/2 merge control.
  std::uint8_t iSourceTransparency;
  std::uint8_t iPatternTransparency;
  // HP-GL/2 transparency mode last sent: 0 after "TR1", 1 after "TR0", 255
  // when nothing was sent.
  std::uint8_t iTransparencyMode;
  // Text output's run, label and font-selection state.
  TextState text;
};

// Forgets what the printer was last told: frees the user line types, zeroes
// the record but for the mode flag (which also forgets the gray patterns and
// the user pattern sent in the page) and sets the caches to "nothing sent".
void ResetHpglState(HpglState& state);

// Mode switches: ESC "%1B" into HP-GL/2, ESC "%1A" back to PCL, each only when
// the mode changes. 1 / 0 as the write went.
int EnterHpgl2(PclPdev* pdev);
int LeaveHpgl2(PclPdev* pdev);
// Into PCL for the page: ESC "%0A" when in HP-GL/2. Into HP-GL/2 for the page:
// ESC "%0B" when in PCL.
int EnterPclForPage(PclPdev* pdev);
int EnterHpgl2ForPage(PclPdev* pdev);

}  // namespace kv5e
