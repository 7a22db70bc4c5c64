// Placeholder: TrueType fonts as PCL soft fonts.
#include "pclcore/5e/soft_fonts.h"

namespace kv5e {

BOOL SelectSoftFont(PclPdev*, FONTOBJ*, std::span<const GLYPHPOS>, ULONG, std::int32_t,
                    std::int32_t, std::span<WCHAR>) {
  return FALSE;
}
void DeleteSoftFonts(PclPdev*, int) {}
void FreeSoftFonts(PclPdev*) {}
void MoveSoftFonts(PclPdev*, PclPdev*) {}
void ForgetDownloadedCharacters(PclPdev*) {}

}  // namespace kv5e
