// Finding the font file for a face name, weight and slant with fontconfig.
// Answers are remembered per request: fonts are not installed while a job runs.
#include <fontconfig/fontconfig.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "kvplat/engine_fonts.h"
#include "kvplat/root.h"

namespace kvplat::engine {
namespace {

struct Resolver {
  std::mutex lock;
  FcConfig* config = nullptr;
  bool initialized = false;
  std::map<std::tuple<std::u16string, LONG, bool>, ResolvedFace> answers;
};

Resolver& TheResolver() {
  static Resolver resolver;
  return resolver;
}

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// The best face for a pattern of `family` (none: the default family) and style.
bool Match(FcConfig* config, const std::string& family, LONG weight, bool italic,
           ResolvedFace* out) {
  FcPattern* pattern = FcPatternCreate();
  if (pattern == nullptr) return false;
  FcPatternAddString(pattern, FC_FAMILY,
                     reinterpret_cast<const FcChar8*>(family.empty() ? "sans-serif"
                                                                     : family.c_str()));
  FcPatternAddInteger(pattern, FC_WEIGHT, FcWeightFromOpenType(static_cast<int>(weight)));
  FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  // Only scalable faces FreeType can hand over as outlines.
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(config, pattern, &result);
  FcPatternDestroy(pattern);
  if (match == nullptr) return false;
  FcChar8* file = nullptr;
  FcChar8* name = nullptr;
  int index = 0;
  int fcWeight = FC_WEIGHT_REGULAR;
  int slant = FC_SLANT_ROMAN;
  bool ok = FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file != nullptr;
  if (ok) {
    out->path = reinterpret_cast<const char*>(file);
    FcPatternGetInteger(match, FC_INDEX, 0, &index);
    out->index = index & 0xFFFF;  // the high bits name an instance of a variable font
    if (FcPatternGetString(match, FC_FAMILY, 0, &name) == FcResultMatch && name != nullptr) {
      out->family = ToUtf16(reinterpret_cast<const char*>(name));
    }
    FcPatternGetInteger(match, FC_WEIGHT, 0, &fcWeight);
    FcPatternGetInteger(match, FC_SLANT, 0, &slant);
    out->weight = FcWeightToOpenType(fcWeight);
    out->italic = slant != FC_SLANT_ROMAN;
  }
  FcPatternDestroy(match);
  return ok;
}

}  // namespace

bool ResolveFace(std::u16string_view faceName, LONG weight, bool italic, ResolvedFace* out) {
  if (out == nullptr) return false;
  if (weight <= 0) weight = 400;
  if (weight > 1000) weight = 1000;
  // Windows face names may carry a leading "@" for vertical writing.
  if (!faceName.empty() && faceName.front() == u'@') faceName.remove_prefix(1);
  Resolver& r = TheResolver();
  std::lock_guard guard(r.lock);
  if (!r.initialized) {
    r.initialized = true;
    if (FcInit()) r.config = FcConfigGetCurrent();
  }
  if (r.config == nullptr) return false;
  std::u16string key(faceName);
  for (char16_t& c : key) c = Lower(c);
  auto found = r.answers.find({key, weight, italic});
  if (found != r.answers.end()) {
    *out = found->second;
    return true;
  }
  ResolvedFace face;
  if (!Match(r.config, ToUtf8(faceName), weight, italic, &face)) return false;
  if (faceName.empty()) {
    face.standsFor = false;
  } else if (SameName(face.family, faceName)) {
    face.standsFor = true;
  } else {
    // A face other than the default one is fontconfig's stand-in for the name.
    ResolvedFace fallback;
    face.standsFor = !Match(r.config, std::string(), weight, italic, &fallback) ||
                     fallback.path != face.path || fallback.index != face.index;
  }
  r.answers.emplace(std::make_tuple(std::move(key), weight, italic), face);
  *out = std::move(face);
  return true;
}

}  // namespace kvplat::engine
