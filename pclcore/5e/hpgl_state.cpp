#include "pclcore/5e/hpgl_state.h"

#include <cstring>

#include "kvplat/engine.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/pcl_device.h"

namespace kv5e {

void ResetHpglState(HpglState& state) {
  for (UserLineType*& lineType : state.apUserLineType) {
    EngFreeMem(lineType);
    lineType = nullptr;
  }
  const std::uint8_t mode = state.bInHpgl2;
  const std::uint8_t verticalPathUsed = state.text.verticalPathUsed;
  std::memset(&state, 0, sizeof(state));
  state.bInHpgl2 = mode;
  // The printer keeps its text path over pages; once a job has turned it,
  // where it stands is not known after the reset.
  state.text.verticalPathUsed = verticalPathUsed;
  state.text.verticalPath = verticalPathUsed ? 2 : 0;
  state.iMergeRop = kMergeRopUnset;
  state.iFillTypeKey = -1;
  state.iScreenKey = -1;
  state.iPen = -1;
  state.lPenWidth = -1;
  state.lastFontIndex = -1;
  state.lastFontHeight = -1;
  state.iSourceTransparency = 255;
  state.iPatternTransparency = 255;
  state.iTransparencyMode = 255;
  state.text.xform[0] = 1.0f;
  state.text.xform[3] = 1.0f;
}

int EnterHpgl2(PclPdev* pdev) {
  if (pdev->hpglState.bInHpgl2) return 1;
  pdev->hpglState.bInHpgl2 = 1;
  return WriteText(pdev, "\x1B%1B");
}

int LeaveHpgl2(PclPdev* pdev) {
  if (!pdev->hpglState.bInHpgl2) return 1;
  pdev->hpglState.bInHpgl2 = 0;
  return WriteText(pdev, "\x1B%1A");
}

int EnterPclForPage(PclPdev* pdev) {
  if (!pdev->hpglState.bInHpgl2) return 1;
  pdev->hpglState.bInHpgl2 = 0;
  return WriteText(pdev, "\x1B%0A");
}

int EnterHpgl2ForPage(PclPdev* pdev) {
  if (pdev->hpglState.bInHpgl2) return 1;
  pdev->hpglState.bInHpgl2 = 1;
  return WriteText(pdev, "\x1B%0B");
}

}  // namespace kv5e
