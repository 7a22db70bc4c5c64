#include "pclcore/5e/hpgl_state.h"

namespace kv5e {

void ResetHpglState(HpglState& state) {
  state.lastFontIndex = -1;
  state.lastFontHeight = -1;
}

}  // namespace kv5e
