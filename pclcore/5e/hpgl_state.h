// The HP-GL/2 and PCL print-model state of a device instance. Drawing code
// switches between PCL and HP-GL/2 only through EnterHpgl2/LeaveHpgl2, and
// resets the per-page caches at every page boundary.
#pragma once

#include <cstdint>

namespace kv5e {

struct HpglState {
  std::int32_t bInHpgl2;  // 1 while the printer is in HP-GL/2 mode
  // Caches and pattern bookkeeping that follow the mode flag; carried over a
  // reset of the device context.
  std::int32_t lastFontIndex;
  std::int32_t lastFontHeight;
};

// Forgets what the printer was last told (a new page, a new instance).
void ResetHpglState(HpglState& state);

}  // namespace kv5e
