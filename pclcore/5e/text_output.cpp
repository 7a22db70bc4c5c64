// Placeholder: text on the page.
#include "pclcore/5e/text_output.h"

namespace kv5e {

BOOL DrvTextOut(SURFOBJ*, STROBJ*, FONTOBJ*, CLIPOBJ*, RECTL*, RECTL*, BRUSHOBJ*, BRUSHOBJ*,
                POINTL*, MIX) {
  return FALSE;
}
int TextAngle(PclPdev*, FONTOBJ*) { return 0; }
void DirectionVector(int, int, int* run, int* rise) { *run = 0; *rise = 0; }

}  // namespace kv5e
