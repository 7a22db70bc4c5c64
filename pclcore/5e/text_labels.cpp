// The HP-GL/2 side of text: the angle of a font's baseline, direction
// vectors from the sine table, and the label direction and label font that
// rotated or clipped characters are drawn with.
#include <cstdint>
#include <cstdlib>

#include "kvplat/engine_objects.h"
#include "pclcore/5e/device_fonts.h"
#include "pclcore/5e/hpgl_state.h"
#include "pclcore/5e/output_channel.h"
#include "pclcore/5e/text_output.h"

namespace kv5e {
namespace {

// 10000 sin(k degrees), k = 0..90.
constexpr std::int32_t kSine[91] = {
    0,    175,  349,  523,  698,  872,  1045, 1219, 1392, 1564, 1736, 1908, 2079, 2250,
    2419, 2588, 2756, 2924, 3090, 3256, 3420, 3584, 3746, 3907, 4067, 4226, 4384, 4540,
    4695, 4848, 5000, 5150, 5299, 5446, 5592, 5736, 5878, 6018, 6157, 6293, 6428, 6561,
    6691, 6820, 6947, 7071, 7193, 7314, 7431, 7547, 7660, 7771, 7880, 7986, 8090, 8192,
    8290, 8387, 8480, 8572, 8660, 8746, 8829, 8910, 8988, 9063, 9135, 9205, 9272, 9336,
    9397, 9455, 9511, 9563, 9613, 9659, 9703, 9744, 9781, 9816, 9848, 9877, 9903, 9925,
    9945, 9962, 9976, 9986, 9994, 9998, 10000};

// 10000 tan(k degrees), k = 0..45.
constexpr std::int32_t kTangent[46] = {
    0,    175,  349,  524,  699,  875,  1051, 1228, 1405, 1584, 1763, 1944,
    2126, 2309, 2493, 2679, 2867, 3057, 3249, 3443, 3640, 3839, 4040, 4245,
    4452, 4663, 4877, 5095, 5317, 5543, 5774, 6009, 6249, 6494, 6745, 7002,
    7265, 7536, 7813, 8098, 8391, 8693, 9004, 9325, 9657, 10000};

// 10000 sin(t) for t in tenths of a degree, 0..900, interpolated between
// whole degrees and rounded.
std::int32_t SineTenths(int t) {
  const int degree = t / 10, rest = t % 10;
  if (rest == 0) return kSine[degree];
  const std::int32_t step = kSine[degree + 1] - kSine[degree];
  return kSine[degree] + (step * rest + 5) / 10;
}

// Tenths of a degree (0..450) of the angle whose tangent is 10000 * ratio,
// ratio in 0..10000: bisection in the table, linear between whole degrees.
int ArcTangentTenths(std::int64_t ratio) {
  if (ratio <= 0) return 0;
  if (ratio >= kTangent[45]) return 450;
  int low = 0, high = 45;  // kTangent[low] <= ratio < kTangent[high]
  while (high - low > 1) {
    const int middle = (low + high) / 2;
    if (kTangent[middle] <= ratio) {
      low = middle;
    } else {
      high = middle;
    }
  }
  const std::int64_t span = kTangent[high] - kTangent[low];
  return low * 10 + static_cast<int>((ratio - kTangent[low]) * 10 / span);
}

// a * b / 10000 rounded half away from zero.
int ScaleBy(std::int64_t a, std::int64_t b) {
  const std::int64_t product = a * b;
  return static_cast<int>(product >= 0 ? (product + 5000) / 10000 : (product - 5000) / 10000);
}

const IFIMETRICS* MetricsOf(const PclPdev* pdev, FONTOBJ* font) {
  if (font->flFontType & FO_TYPE_DEVICE) {
    return DeviceFontMetrics(pdev, static_cast<int>(font->iFace));
  }
  return FONTOBJ_pifi(font);
}

}  // namespace

int TextAngle(PclPdev* pdev, FONTOBJ* font) {
  if (font == nullptr) return 0;
  const IFIMETRICS* metrics = MetricsOf(pdev, font);
  XFORMOBJ* xform = FONTOBJ_pxoGetXform(font);
  if (metrics == nullptr || xform == nullptr) return 0;
  POINTL in{metrics->fwdUnitsPerEm, 0};
  POINTL out{0, 0};
  if (!XFORMOBJ_bApplyXform(xform, XF_LTOL, 1, &in, &out)) return 0;
  const std::int64_t x = out.x, y = out.y;
  const std::int64_t ax = std::llabs(x), ay = std::llabs(y);
  if (ax == 0 && ay == 0) return 0;
  // The angle from the x axis towards y (down the page) in the first quadrant.
  int tenths = ay <= ax ? ArcTangentTenths(ay * 10000 / ax)
                        : 900 - ArcTangentTenths(ax * 10000 / ay);
  if (x < 0 && y >= 0) {
    tenths = 1800 - tenths;
  } else if (x < 0) {
    tenths = 1800 + tenths;
  } else if (y < 0) {
    tenths = 3600 - tenths;
  }
  // Clockwise on the page to counter-clockwise.
  int degrees = 360 - (tenths + 5) / 10;
  degrees %= 360;
  if (degrees < 0) degrees += 360;
  return degrees;
}

void DirectionVector(int tenths, int length, int* run, int* rise) {
  int t = tenths % 3600;
  if (t <= 0) t += 3600;  // 1..3600
  const int quadrant = (t - 1) / 900;
  const int within = t - quadrant * 900;  // 1..900
  const std::int32_t s = SineTenths(within), c = SineTenths(900 - within);
  std::int32_t x = 0, y = 0;
  switch (quadrant) {
    case 0: x = c, y = s; break;
    case 1: x = -s, y = c; break;
    case 2: x = -c, y = -s; break;
    default: x = s, y = -c; break;
  }
  *run = ScaleBy(x, length);
  *rise = ScaleBy(y, length);
}

void SetLabelDirection(PclPdev* pdev, int degrees) {
  TextState& text = pdev->hpglState.text;
  if (text.scalable) {
    if (degrees == text.labelDirection) return;
    int run = 0, rise = 0;
    DirectionVector(degrees * 10, 1000, &run, &rise);
    EnterHpgl2(pdev);
    WriteFormatted(pdev, "DI%d,%d", run, rise);
    text.labelDirection = degrees;
  } else if (text.labelDirection != 0) {
    EnterHpgl2(pdev);
    WriteText(pdev, "DI;");
    text.labelDirection = 0;
  }
}

void DefineLabelFont(PclPdev* pdev) {
  TextState& text = pdev->hpglState.text;
  EnterHpgl2(pdev);
  char size[24] = {};
  const char* sizeFormat = "";
  if (text.sizeKind != 0) {
    FormatHundredths(text.sizeValue, size);
    sizeFormat = text.sizeKind == 1 ? ",2,1,4,%s" : ",2,0,3,%s";
  }
  WriteText(pdev, text.scalable ? "SB;" : "SB1;");
  WriteFormatted(pdev, "SD1,%d", text.symbolSet);
  if (*sizeFormat != 0) WriteFormatted(pdev, sizeFormat, static_cast<const char*>(size));
  WriteFormatted(pdev, ",5,%d,6,%d,7,%dFI%d;", text.style, text.strokeWeight, text.typeface,
                 text.typeface);
  text.labelFontState = 2;
}

}  // namespace kv5e
