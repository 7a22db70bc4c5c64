#include "pcl_render.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>

#include "render_fonts.h"

namespace kvpclrender {
namespace {

// Whether a byte starts a two-byte character under a text parsing method:
// 21 reads every code as two bytes; 31 (Shift-JIS) and 38 take two bytes
// when the first is 0x80 or above, one byte otherwise.
bool TwoByteLead(int parsing, std::uint32_t first) {
  if (parsing == 21) return true;
  return (parsing == 31 || parsing == 38) && first >= 0x80;
}


constexpr std::uint8_t kEsc = 27;
constexpr double kPlu = 1016.0;  // HP-GL/2 plotter units per inch
constexpr std::size_t kMaxRasterBytes = 1u << 20;
constexpr std::size_t kMaxLabelBytes = 1u << 16;
constexpr std::size_t kMaxPolygonPoints = 1u << 20;

// ---- page sizes ------------------------------------------------------------------

struct PaperSize {
  int code;
  double widthInches, heightInches;
  bool metric;
};
constexpr double Mm(double mm) { return mm / 25.4; }
constexpr PaperSize kPapers[] = {
    {1, 7.25, 10.5, false},        {2, 8.5, 11, false},           {3, 8.5, 14, false},
    {6, 11, 17, false},            {24, Mm(105), Mm(148), true},  {25, Mm(148), Mm(210), true},
    {26, Mm(210), Mm(297), true},  {27, Mm(297), Mm(420), true},  {45, Mm(182), Mm(257), true},
    {46, Mm(257), Mm(364), true},  {71, Mm(100), Mm(148), true},  {72, Mm(148), Mm(200), true},
    {80, 3.875, 7.5, false},       {81, 4.125, 9.5, false},       {90, Mm(110), Mm(220), true},
    {91, Mm(162), Mm(229), true},  {100, Mm(176), Mm(250), true}, {102, 5.5, 8.5, false},
    {114, 8.5, 13, false},
};

const PaperSize& PaperOf(int code) {
  for (const PaperSize& p : kPapers) {
    if (p.code == code) return p;
  }
  return kPapers[6];  // A4
}

// ---- paint -------------------------------------------------------------------------

constexpr std::uint8_t kBayer[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26}, {12, 44, 4, 36, 14, 46, 6, 38},
    {60, 28, 52, 20, 62, 30, 54, 22}, {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37},  {63, 31, 55, 23, 61, 29, 53, 21}};

struct UserPattern {
  int width = 0, height = 0, scale = 1;
  std::vector<std::uint8_t> bits;  // one byte per pixel, 1 black
};

struct Paint {
  enum Kind { Black, White, Shade, Pattern } kind = Black;
  int percent = 100;
  const UserPattern* pattern = nullptr;
  bool opaque = true;  // pattern zeros paint white
};

// 0 leave, 1 black, 2 white.
int PaintAt(const Paint& paint, int x, int y) {
  switch (paint.kind) {
    case Paint::Black: return 1;
    case Paint::White: return 2;
    case Paint::Shade:
      if (kBayer[y & 7][x & 7] < paint.percent * 64 / 100) return 1;
      return paint.opaque ? 2 : 0;
    case Paint::Pattern: {
      const UserPattern* p = paint.pattern;
      if (p == nullptr || p->width <= 0 || p->height <= 0) return 1;
      const int px = (x / p->scale) % p->width, py = (y / p->scale) % p->height;
      if (p->bits[std::size_t(py) * p->width + px]) return 1;
      return paint.opaque ? 2 : 0;
    }
  }
  return 1;
}

struct Clip {
  double x0 = -1e18, y0 = -1e18, x1 = 1e18, y1 = 1e18;  // device dots (PCL coordinates), inclusive
};

struct Point {
  double x, y;
};

// ---- the interpreter ---------------------------------------------------------------

class Interpreter {
 public:
  Interpreter(std::span<const std::uint8_t> s, const Options& o, const std::function<void(const Page&)>& f)
      : s_(s), options_(o), onPage_(f) {
    jobDpi_ = std::clamp(o.defaultDpi, 75, 1200);
    ResetPcl();
  }

  Summary Run();

 private:
  // ---- stream
  std::span<const std::uint8_t> s_;
  std::size_t i_ = 0;
  const Options& options_;
  const std::function<void(const Page&)>& onPage_;
  Summary summary_;
  bool stopped_ = false;

  // ---- job and page
  int jobDpi_ = 600;
  bool dpiFromPjl_ = false;
  int paperCode_ = 2;
  int orientation_ = 0;
  double unitsPerInch_ = 300;  // PCL units
  double vmiInches_ = 1.0 / 6;
  double hmiInches_ = 0.1;
  double UnitDots() const { return Dpi() / unitsPerInch_; }
  double Vmi() const { return vmiInches_ * Dpi(); }
  double topMarginLines_ = -1;  // -1: the default half inch
  double cx_ = 0, cy_ = 0;      // cursor, dots from the PCL origin
  Page page_;
  bool marked_ = false;
  bool allocated_ = false;

  // picture frame (dots, PCL coordinates)
  double frameX_ = 0, frameY_ = 0, frameW_ = 0, frameH_ = 0;
  double frameWDeci_ = -1, frameHDeci_ = -1;

  // ---- print model
  int patternType_ = 0;  // ESC *v#T
  int patternId_ = 0;    // ESC *c#G
  bool sourceOpaque_ = false;
  bool patternOpaque_ = true;
  std::map<int, UserPattern> patterns_;

  // ---- rectangles
  double rectW_ = 0, rectH_ = 0;

  // ---- raster
  bool rasterOn_ = false;
  int rasterDpi_ = 600;
  int compression_ = 0;
  int rasterWidth_ = -1, rasterHeight_ = -1;
  double rasterX_ = 0, rasterY_ = 0;
  int rasterRows_ = 0;
  std::vector<std::uint8_t> seed_;

  // ---- fonts and text
  Fonts fonts_;
  int fontId_ = 0;        // ESC *c#D
  std::uint32_t charCode_ = 0;
  int softSelected_ = -1;  // soft font selected by id, -1 for the resident font
  double softPoints_ = 12;
  ResidentFont resident_;
  int parsing_ = 0;        // ESC &t#P
  int direction_ = 0;      // ESC &a#P
  bool underline_ = false;

  // ---- HP-GL/2
  bool inHpgl_ = false;
  struct Hpgl {
    double p1x = 0, p1y = 0, p2x = 0, p2y = 0;  // plotter units
    int scaleType = -1;                          // -1 off
    double s[4] = {0, 0, 0, 0};                  // SC parameters
    double penX = 0, penY = 0;                   // plotter units
    bool penDown = false;
    bool relative = false;
    bool iw = false;
    Clip window;
    bool polygonMode = false;
    std::vector<std::vector<Point>> polygon;
    double penWidthMm = 0.35;
    int pen = 1;
    Paint fill, screen;
    double dirDegrees = 0;
    int labelMode = 0;
    std::uint8_t terminator = 3;
    int fontId = -1;  // FI
    ResidentFont font;
    bool fontByTypeface = false;
  } hp_;

  // ---- helpers
  void Note(const std::string& text) {
    if (summary_.notes.size() < 32) summary_.notes.push_back(text);
  }
  int Dpi() const { return page_.dpi; }
  double LogicalWidth() const;
  double LogicalHeight() const;
  double TopMargin() const { return topMarginLines_ < 0 ? Dpi() / 2.0 : topMarginLines_ * Vmi(); }
  void Allocate();
  void Mark() {
    if (!allocated_) Allocate();
    marked_ = true;
  }
  void EndPage(bool always);
  void ResetPcl();
  void DefaultFrame();
  void ResetHpgl();
  Paint CurrentPattern() const;
  Paint FillPaint(int type) const;

  void Plot(int x, int y, const Paint& paint) {
    const int what = PaintAt(paint, x, y);
    if (what == 0) return;
    page_.gray[std::size_t(y) * page_.width + x] = what == 1 ? 0 : 255;
  }
  void FillRect(double x0, double y0, double x1, double y1, const Paint& paint, const Clip* clip);
  void DrawGlyph(const GlyphImage& g, double x, double y, const Paint& paint, const Clip* clip);
  void FillPolygon(const std::vector<std::vector<Point>>& rings, bool nonzero, const Paint& paint,
                   const Clip* clip);

  // PJL and PCL
  void SkipPjl();
  void Escape();
  void Command(std::uint8_t param, std::uint8_t group, double value, bool hasValue, bool signedValue,
               std::uint8_t letter, std::span<const std::uint8_t> data);
  void Text();
  void PrintCode(std::uint32_t code);
  bool GlyphFor(std::uint32_t code, double degrees, GlyphImage* g, bool label);

  // raster
  void StartRaster(int mode);
  void RasterRow(std::span<const std::uint8_t> data);
  void PaintRow(std::span<const std::uint8_t> row);
  void AdaptiveBlock(std::span<const std::uint8_t> data);
  void DecodeInto(int method, std::span<const std::uint8_t> data, std::vector<std::uint8_t>& row);

  // HP-GL/2
  void HpglRun();
  bool HpglNumber(double* out);
  std::vector<double> HpglNumbers();
  void HpglCommand(char a, char b);
  void PeCommand();
  void LabelCommand();
  Point UserToPlu(double x, double y, bool delta) const;
  Point PluToDevice(double x, double y) const {
    return {frameX_ + x * Dpi() / kPlu, frameY_ + frameH_ - y * Dpi() / kPlu};
  }
  void PenTo(double x, double y, bool draw);  // plotter units
  void StrokeSegment(Point a, Point b);
  Paint PenPaint() const {
    if (hp_.pen == 0) return Paint{Paint::White};
    return hp_.screen;
  }
  Paint PolyFillPaint() const {
    if (hp_.pen == 0) return Paint{Paint::White};
    return hp_.fill;
  }
};

double Interpreter::LogicalWidth() const {
  const PaperSize& p = PaperOf(paperCode_);
  const bool landscape = orientation_ % 2 == 1;
  const double physical = (landscape ? p.heightInches : p.widthInches) * Dpi();
  const double offset = landscape ? 0.2 : (p.metric ? 71.0 / 300 : 0.25);
  return physical - 2 * offset * Dpi();
}

double Interpreter::LogicalHeight() const {
  const PaperSize& p = PaperOf(paperCode_);
  return (orientation_ % 2 == 1 ? p.widthInches : p.heightInches) * Dpi();
}

void Interpreter::Allocate() {
  const PaperSize& p = PaperOf(paperCode_);
  const bool landscape = orientation_ % 2 == 1;
  const int dpi = Dpi();
  std::int64_t w = std::llround((landscape ? p.heightInches : p.widthInches) * dpi);
  std::int64_t h = std::llround((landscape ? p.widthInches : p.heightInches) * dpi);
  w = std::clamp<std::int64_t>(w, 1, options_.maxSide);
  h = std::clamp<std::int64_t>(h, 1, options_.maxSide);
  if (w * h > options_.maxPixels) {
    h = std::max<std::int64_t>(1, options_.maxPixels / w);
    Note("page cut to the pixel limit");
  }
  page_.width = static_cast<int>(w);
  page_.height = static_cast<int>(h);
  page_.originX = static_cast<int>(std::lround((landscape ? 0.2 : (p.metric ? 71.0 / 300 : 0.25)) * dpi));
  page_.originY = static_cast<int>(std::lround(TopMargin()));
  page_.gray.assign(std::size_t(w) * std::size_t(h), 255);
  allocated_ = true;
}

void Interpreter::EndPage(bool always) {
  if (!marked_ && !always) return;
  if (!allocated_) Allocate();
  if (summary_.pages < options_.maxPages) {
    ++summary_.pages;
    if (onPage_) onPage_(page_);
  } else {
    stopped_ = true;
    Note("page limit reached");
  }
  marked_ = false;
  allocated_ = false;
  page_.gray.clear();
  page_.gray.shrink_to_fit();
  cy_ = 0;
  cx_ = 0;
}

void Interpreter::DefaultFrame() {
  frameX_ = 0;
  frameY_ = 0;
  frameW_ = frameWDeci_ >= 0 ? frameWDeci_ * Dpi() / 720.0 : LogicalWidth();
  frameH_ = frameHDeci_ >= 0 ? frameHDeci_ * Dpi() / 720.0
                             : std::max(1.0, LogicalHeight() - TopMargin() - Dpi() / 2.0);
}

void Interpreter::ResetPcl() {
  page_.dpi = jobDpi_;
  unitsPerInch_ = 300;
  vmiInches_ = 1.0 / 6;
  hmiInches_ = 0.1;
  topMarginLines_ = -1;
  orientation_ = 0;
  cx_ = cy_ = 0;
  patternType_ = 0;
  patternId_ = 0;
  sourceOpaque_ = false;
  patternOpaque_ = true;
  patterns_.clear();
  rectW_ = rectH_ = 0;
  rasterOn_ = false;
  rasterDpi_ = jobDpi_;
  compression_ = 0;
  rasterWidth_ = rasterHeight_ = -1;
  fontId_ = 0;
  charCode_ = 0;
  softSelected_ = -1;
  softPoints_ = 12;
  resident_ = ResidentFont{};
  parsing_ = 0;
  direction_ = 0;
  underline_ = false;
  fonts_.DeleteAll();
  inHpgl_ = false;
  frameWDeci_ = frameHDeci_ = -1;
  DefaultFrame();
  ResetHpgl();
}

void Interpreter::ResetHpgl() {
  const bool relative = false;
  hp_ = Hpgl{};
  hp_.relative = relative;
  hp_.p1x = 0;
  hp_.p1y = 0;
  hp_.p2x = frameW_ * kPlu / Dpi();
  hp_.p2y = frameH_ * kPlu / Dpi();
}

// The pattern in force (ESC *v#T): a fill of that type. Its values never
// name "the current pattern" itself.
Paint Interpreter::CurrentPattern() const { return FillPaint(patternType_ == 5 ? 0 : patternType_); }

Paint Interpreter::FillPaint(int type) const {
  Paint p;
  p.opaque = patternOpaque_;
  switch (type) {
    case 1: p.kind = Paint::White; break;
    case 2:
      p.kind = Paint::Shade;
      p.percent = std::clamp(patternId_, 0, 100);
      break;
    case 4: {
      auto found = patterns_.find(patternId_);
      if (found != patterns_.end()) {
        p.kind = Paint::Pattern;
        p.pattern = &found->second;
      }
      break;
    }
    case 5: return CurrentPattern();
    default: break;
  }
  return p;
}

// ---- drawing --------------------------------------------------------------------

void Interpreter::FillRect(double x0, double y0, double x1, double y1, const Paint& paint,
                           const Clip* clip) {
  Mark();
  if (clip != nullptr) {
    x0 = std::max(x0, clip->x0);
    y0 = std::max(y0, clip->y0);
    x1 = std::min(x1, clip->x1 + 1);
    y1 = std::min(y1, clip->y1 + 1);
  }
  const double ox = page_.originX, oy = page_.originY;
  const auto left = static_cast<std::int64_t>(std::max(0.0, std::floor(x0 + ox + 0.5)));
  const auto top = static_cast<std::int64_t>(std::max(0.0, std::floor(y0 + oy + 0.5)));
  const auto right = static_cast<std::int64_t>(std::min<double>(page_.width, std::floor(x1 + ox + 0.5)));
  const auto bottom = static_cast<std::int64_t>(std::min<double>(page_.height, std::floor(y1 + oy + 0.5)));
  for (std::int64_t y = top; y < bottom; ++y) {
    for (std::int64_t x = left; x < right; ++x) Plot(static_cast<int>(x), static_cast<int>(y), paint);
  }
}

void Interpreter::DrawGlyph(const GlyphImage& g, double x, double y, const Paint& paint,
                            const Clip* clip) {
  Mark();
  const auto baseX = static_cast<std::int64_t>(std::lround(x + page_.originX));
  const auto baseY = static_cast<std::int64_t>(std::lround(y + page_.originY));
  for (int row = 0; row < g.height; ++row) {
    const std::int64_t py = baseY + g.top + row;
    if (py < 0 || py >= page_.height) continue;
    if (clip != nullptr && (py - page_.originY < clip->y0 || py - page_.originY > clip->y1)) continue;
    for (int col = 0; col < g.width; ++col) {
      const std::uint8_t c = g.coverage[std::size_t(row) * g.width + col];
      if (c == 0) continue;
      const std::int64_t px = baseX + g.left + col;
      if (px < 0 || px >= page_.width) continue;
      if (clip != nullptr && (px - page_.originX < clip->x0 || px - page_.originX > clip->x1)) continue;
      std::uint8_t& pixel = page_.gray[std::size_t(py) * page_.width + std::size_t(px)];
      if (paint.kind == Paint::Black) {
        pixel = std::min<std::uint8_t>(pixel, static_cast<std::uint8_t>(255 - c));
      } else if (c >= 128) {
        Plot(static_cast<int>(px), static_cast<int>(py), Paint{paint.kind, paint.percent, paint.pattern, false});
      }
    }
  }
}

void Interpreter::FillPolygon(const std::vector<std::vector<Point>>& rings, bool nonzero,
                              const Paint& paint, const Clip* clip) {
  Mark();
  struct Edge {
    double x0, y0, x1, y1;
    int dir;
  };
  std::vector<Edge> edges;
  double minY = 1e300, maxY = -1e300;
  const double ox = page_.originX, oy = page_.originY;
  for (const auto& ring : rings) {
    if (ring.size() < 2) continue;
    for (std::size_t k = 0; k < ring.size(); ++k) {
      Point a = ring[k], b = ring[(k + 1) % ring.size()];
      a.x += ox, a.y += oy, b.x += ox, b.y += oy;
      if (a.y == b.y) continue;
      if (!std::isfinite(a.x) || !std::isfinite(a.y) || !std::isfinite(b.x) || !std::isfinite(b.y)) continue;
      const int dir = a.y < b.y ? 1 : -1;
      if (a.y > b.y) std::swap(a, b);
      edges.push_back({a.x, a.y, b.x, b.y, dir});
      minY = std::min(minY, a.y);
      maxY = std::max(maxY, b.y);
    }
  }
  if (edges.empty()) return;
  double top = std::max(0.0, std::floor(minY)), bottom = std::min<double>(page_.height, std::ceil(maxY));
  if (clip != nullptr) {
    top = std::max(top, clip->y0 + oy);
    bottom = std::min(bottom, clip->y1 + oy + 1);
  }
  std::vector<std::pair<double, int>> crossings;
  for (auto y = static_cast<std::int64_t>(top); y < static_cast<std::int64_t>(bottom); ++y) {
    const double sy = static_cast<double>(y) + 0.5;
    crossings.clear();
    for (const Edge& e : edges) {
      if (sy < e.y0 || sy >= e.y1) continue;
      crossings.emplace_back(e.x0 + (sy - e.y0) * (e.x1 - e.x0) / (e.y1 - e.y0), e.dir);
    }
    std::sort(crossings.begin(), crossings.end());
    int winding = 0;
    for (std::size_t k = 0; k + 1 < crossings.size(); ++k) {
      winding += nonzero ? crossings[k].second : 1;
      const bool inside = nonzero ? winding != 0 : (winding % 2) != 0;
      if (!inside) continue;
      double x0 = crossings[k].first, x1 = crossings[k + 1].first;
      if (clip != nullptr) {
        x0 = std::max(x0, clip->x0 + ox);
        x1 = std::min(x1, clip->x1 + ox + 1);
      }
      const auto from = static_cast<std::int64_t>(std::max(0.0, std::ceil(x0 - 0.5)));
      const auto to = static_cast<std::int64_t>(std::min<double>(page_.width, std::ceil(x1 - 0.5)));
      for (std::int64_t x = from; x < to; ++x) Plot(static_cast<int>(x), static_cast<int>(y), paint);
    }
  }
}

// ---- stream --------------------------------------------------------------------

Summary Interpreter::Run() {
  while (i_ < s_.size() && !stopped_) {
    if (inHpgl_) {
      HpglRun();
    } else if (s_[i_] == kEsc) {
      Escape();
    } else {
      Text();
    }
  }
  if (!stopped_) EndPage(false);
  return summary_;
}

void Interpreter::SkipPjl() {
  for (;;) {
    std::size_t j = i_;
    while (j < s_.size() && (s_[j] == '\r' || s_[j] == '\n' || s_[j] == ' ' || s_[j] == '\t')) ++j;
    if (j + 4 > s_.size() || std::memcmp(s_.data() + j, "@PJL", 4) != 0) return;
    std::size_t end = j;
    while (end < s_.size() && s_[end] != '\n') ++end;
    const std::string line(reinterpret_cast<const char*>(s_.data() + j), end - j);
    const auto at = line.find("RESOLUTION=");
    if (at != std::string::npos) {
      const int dpi = std::atoi(line.c_str() + at + 11);
      if (dpi >= 75 && dpi <= 1200) {
        jobDpi_ = dpi;
        dpiFromPjl_ = true;
      }
    }
    i_ = end < s_.size() ? end + 1 : end;
  }
}

void Interpreter::Escape() {
  const std::size_t n = s_.size();
  if (i_ + 1 >= n) {
    i_ = n;
    return;
  }
  const std::uint8_t c = s_[i_ + 1];
  if (c >= 0x21 && c <= 0x2F) {
    std::size_t j = i_ + 2;
    std::uint8_t group = 0;
    if (j < n && s_[j] >= 0x60 && s_[j] <= 0x7E) group = s_[j++];
    for (;;) {
      // value
      bool hasValue = false, signedValue = false, negative = false;
      double value = 0, scale = 0;
      int digits = 0;
      if (j < n && (s_[j] == '+' || s_[j] == '-')) {
        signedValue = true;
        negative = s_[j] == '-';
        ++j;
      }
      while (j < n && ((s_[j] >= '0' && s_[j] <= '9') || s_[j] == '.')) {
        if (s_[j] == '.') {
          if (scale == 0) scale = 1;
        } else if (digits < 12) {
          hasValue = true;
          if (scale == 0) {
            value = value * 10 + (s_[j] - '0');
            ++digits;
          } else if (scale < 1e6) {
            scale *= 10;
            value += (s_[j] - '0') / scale;
          }
        }
        ++j;
      }
      if (negative) value = -value;
      if (j >= n) {
        i_ = n;
        return;
      }
      const std::uint8_t t = s_[j];
      const bool lower = t >= 0x60 && t <= 0x7E;
      const bool upper = t >= 0x40 && t <= 0x5E;
      if (!lower && !upper) {
        i_ = j;  // malformed: the byte is read again as data
        return;
      }
      ++j;
      const std::uint8_t letter = lower ? static_cast<std::uint8_t>(t - 0x20) : t;
      std::span<const std::uint8_t> data;
      const bool carries = letter == 'W' || (c == '&' && group == 'p' && letter == 'X') ||
                           (c == '*' && group == 'b' && letter == 'V');
      if (carries) {
        const auto count = static_cast<std::size_t>(std::clamp(value, 0.0, 1e9));
        const std::size_t take = std::min(count, n - j);
        data = s_.subspan(j, take);
        j += take;
      }
      i_ = j;
      Command(c, group, value, hasValue, signedValue, letter, data);
      if (stopped_) return;
      if (i_ != j) return;  // the command moved the stream (PJL)
      if (upper) return;
    }
  }
  i_ += 2;
  switch (c) {
    case 'E':
      EndPage(false);
      ResetPcl();
      break;
    default: break;  // ESC 9, ESC =, ... : nothing that matters here
  }
}

void Interpreter::Command(std::uint8_t param, std::uint8_t group, double v, bool hasValue,
                          bool signedValue, std::uint8_t letter, std::span<const std::uint8_t> data) {
  const int iv = static_cast<int>(std::clamp(v, -2e9, 2e9));
  const double dpi = Dpi();
  switch (param) {
    case '%':
      if (letter == 'X' && iv == -12345) {
        rasterOn_ = false;
        inHpgl_ = false;
        EndPage(false);
        SkipPjl();
      } else if (letter == 'A') {
        if (inHpgl_ && iv % 2 == 1) {
          const Point at = PluToDevice(hp_.penX, hp_.penY);
          cx_ = at.x;
          cy_ = at.y;
        }
        inHpgl_ = false;
      } else if (letter == 'B') {
        inHpgl_ = true;
        if (iv % 2 == 1) {
          hp_.penX = (cx_ - frameX_) * kPlu / dpi;
          hp_.penY = (frameY_ + frameH_ - cy_) * kPlu / dpi;
        }
      }
      return;
    case '&':
      switch (group) {
        case 'l':
          if (letter == 'A') {
            EndPage(false);
            paperCode_ = iv;
            topMarginLines_ = -1;
            cx_ = cy_ = 0;
            frameWDeci_ = frameHDeci_ = -1;
            DefaultFrame();
          } else if (letter == 'O') {
            EndPage(false);
            orientation_ = std::clamp(iv, 0, 3);
            topMarginLines_ = -1;
            cx_ = cy_ = 0;
            DefaultFrame();
          } else if (letter == 'E') {
            if (!marked_ && !allocated_) topMarginLines_ = std::clamp(v, 0.0, 1000.0);
          } else if (letter == 'D') {
            if (v > 0) vmiInches_ = 1.0 / std::min(v, 1000.0);
          } else if (letter == 'C') {
            vmiInches_ = std::clamp(v, 0.0, 10000.0) / 48.0;
          } else if (letter == 'H') {
            EndPage(false);
          }
          return;
        case 'a': {
          double* axis = nullptr;
          double amount = 0;
          if (letter == 'H') axis = &cx_, amount = v * dpi / 720.0;
          if (letter == 'V') axis = &cy_, amount = v * dpi / 720.0;
          if (letter == 'C') axis = &cx_, amount = v * hmiInches_ * dpi;
          if (letter == 'R') axis = &cy_, amount = v * Vmi();
          if (axis != nullptr) {
            *axis = signedValue ? *axis + amount : amount;
            *axis = std::clamp(*axis, -4.0 * options_.maxSide, 4.0 * options_.maxSide);
          }
          if (letter == 'P') direction_ = ((iv / 90) % 4 + 4) % 4 * 90;
          return;
        }
        case 'u':
          if (letter == 'D' && v > 0) unitsPerInch_ = std::clamp(v, 1.0, 7200.0);
          return;
        case 't':
          if (letter == 'P') parsing_ = iv;
          return;
        case 'd':
          if (letter == 'D') underline_ = true;
          if (letter == '@') underline_ = false;
          return;
        case 'p':
          if (letter == 'X') {
            for (std::size_t k = 0; k < data.size(); ++k) {
              std::uint32_t code = data[k];
              const bool two = TwoByteLead(parsing_, code);
              if (two && k + 1 < data.size()) code = code << 8 | data[++k];
              PrintCode(code);
            }
          }
          return;
        case 'k':
          if (letter == 'H') hmiInches_ = std::clamp(v, 0.0, 100000.0) / 120.0;
          return;
        default: return;
      }
    case '*':
      switch (group) {
        case 'p': {
          const double amount = v * UnitDots();
          double* axis = letter == 'X' ? &cx_ : letter == 'Y' ? &cy_ : nullptr;
          if (axis != nullptr) {
            *axis = signedValue ? *axis + amount : amount;
            *axis = std::clamp(*axis, -4.0 * options_.maxSide, 4.0 * options_.maxSide);
          }
          return;
        }
        case 't':
          if (letter == 'R' && iv >= 75 && iv <= 1200) {
            rasterDpi_ = iv;
            if (!dpiFromPjl_ && !allocated_ && iv != jobDpi_) {
              jobDpi_ = iv;
              page_.dpi = iv;
              cx_ = cy_ = 0;
              DefaultFrame();
              ResetHpgl();
            }
          }
          return;
        case 'r':
          if (letter == 'A') StartRaster(iv);
          if (letter == 'S') rasterWidth_ = std::clamp(iv, 0, 65535 * 8);
          if (letter == 'T') rasterHeight_ = std::clamp(iv, 0, 1 << 20);
          if (letter == 'B' || letter == 'C') {
            if (rasterOn_) {
              cx_ = 0;
              cy_ = rasterY_;
            }
            rasterOn_ = false;
            if (letter == 'C') compression_ = 0;
          }
          return;
        case 'b':
          if (letter == 'M') compression_ = iv;
          if (letter == 'W' || letter == 'V') RasterRow(data);
          if (letter == 'Y') {
            if (!rasterOn_) StartRaster(0);
            const double scale = std::max(1, Dpi() / rasterDpi_);
            rasterY_ += std::clamp(v, 0.0, 1e6) * scale;
            rasterRows_ += std::clamp(iv, 0, 1 << 20);
            std::fill(seed_.begin(), seed_.end(), 0);
          }
          return;
        case 'c':
          switch (letter) {
            case 'A': rectW_ = std::max(0.0, v) * UnitDots(); return;
            case 'B': rectH_ = std::max(0.0, v) * UnitDots(); return;
            case 'H': rectW_ = std::max(0.0, v) * dpi / 720.0; return;
            case 'V': rectH_ = std::max(0.0, v) * dpi / 720.0; return;
            case 'P':
              FillRect(cx_, cy_, cx_ + rectW_, cy_ + rectH_, FillPaint(iv), nullptr);
              return;
            case 'G': patternId_ = iv; return;
            case 'D': fontId_ = iv; return;
            case 'E': charCode_ = static_cast<std::uint32_t>(std::clamp(iv, 0, 65535)); return;
            case 'F':
              if (iv == 0 || iv == 1) {
                fonts_.DeleteAll();
                softSelected_ = -1;
              } else if (iv == 2) {
                fonts_.DeleteFont(fontId_);
                if (softSelected_ == fontId_) softSelected_ = -1;
              } else if (iv == 3) {
                fonts_.DeleteCharacter(fontId_, charCode_);
              }
              return;
            case 'X': frameWDeci_ = std::max(0.0, v); frameW_ = frameWDeci_ * dpi / 720.0; return;
            case 'Y': frameHDeci_ = std::max(0.0, v); frameH_ = frameHDeci_ * dpi / 720.0; return;
            case 'T':
              frameX_ = cx_;
              frameY_ = cy_;
              ResetHpgl();
              return;
            case 'W': {
              // A user pattern: format, continuation, encoding, reserved,
              // height, width (then resolutions for format 20), rows.
              if (data.size() < 8) return;
              UserPattern p;
              p.height = data[4] << 8 | data[5];
              p.width = data[6] << 8 | data[7];
              std::size_t start = 8;
              if (data[0] == 20 && data.size() >= 12) {
                start = 12;
                const int xres = data[8] << 8 | data[9];
                if (xres > 0 && Dpi() % xres == 0) p.scale = Dpi() / xres;
              }
              const std::size_t rowBytes = (std::size_t(p.width) + 7) / 8;
              if (p.width == 0 || p.height == 0 || rowBytes * p.height > data.size() - start) {
                patterns_.erase(patternId_);
                return;
              }
              p.bits.resize(std::size_t(p.width) * p.height);
              for (int y = 0; y < p.height; ++y) {
                for (int x = 0; x < p.width; ++x) {
                  p.bits[std::size_t(y) * p.width + x] = (data[start + y * rowBytes + x / 8] >> (7 - x % 8)) & 1;
                }
              }
              patterns_[patternId_] = std::move(p);
              return;
            }
            default: return;
          }
        case 'v':
          if (letter == 'T') patternType_ = iv;
          if (letter == 'N') sourceOpaque_ = iv == 1;
          if (letter == 'O') patternOpaque_ = iv == 1;
          return;
        default: return;
      }
    case '(':
      if (group == 's') {
        switch (letter) {
          case 'W': fonts_.DefineCharacter(fontId_, charCode_, data); return;
          case 'P': resident_.spacing = iv; return;
          case 'H': if (v > 0) resident_.pitch = std::min(v, 1000.0); return;
          case 'V':
            if (v > 0) softPoints_ = resident_.height = std::min(v, 2000.0);
            return;
          case 'S': resident_.style = iv; return;
          case 'B': resident_.weight = iv; return;
          case 'T':
            resident_.typeface = iv;
            softSelected_ = -1;
            return;
          default: return;
        }
      }
      if (group == 0) {
        if (letter == 'X') {
          if (fonts_.Exists(iv)) softSelected_ = iv;
        } else if (letter != '@' && hasValue) {
          resident_.symbolSet = iv * 32 + (letter - 64);
        }
      }
      return;
    case ')':
      if (group == 's' && letter == 'W') fonts_.DefineFont(fontId_, data);
      return;
    default: return;
  }
}

// ---- text ------------------------------------------------------------------------

void Interpreter::Text() {
  const std::uint8_t b = s_[i_++];
  switch (b) {
    case 13: cx_ = 0; return;
    case 10: cy_ += Vmi(); return;
    case 12: EndPage(true); return;
    case 8: cx_ = std::max(0.0, cx_ - hmiInches_ * Dpi()); return;
    case 0: case 7: case 9: case 14: case 15: return;
    default: break;
  }
  std::uint32_t code = b;
  const bool two = TwoByteLead(parsing_, b);
  if (two) {
    if (i_ >= s_.size()) return;
    code = code << 8 | s_[i_++];
  }
  PrintCode(code);
}

bool Interpreter::GlyphFor(std::uint32_t code, double degrees, GlyphImage* g, bool label) {
  if (label) {
    if (hp_.fontId >= 0 && fonts_.Exists(hp_.fontId)) {
      return fonts_.SoftGlyph(hp_.fontId, code, hp_.font.height, Dpi(), degrees, g);
    }
    return fonts_.ResidentGlyph(hp_.font, code, Dpi(), degrees, g);
  }
  if (softSelected_ >= 0 && fonts_.Exists(softSelected_)) {
    return fonts_.SoftGlyph(softSelected_, code, softPoints_, Dpi(), degrees, g);
  }
  return fonts_.ResidentGlyph(resident_, code, Dpi(), degrees, g);
}

void Interpreter::PrintCode(std::uint32_t code) {
  GlyphImage g;
  const bool drawn = GlyphFor(code, direction_, &g, false);
  const Paint paint = CurrentPattern();
  if (drawn) DrawGlyph(g, cx_, cy_, paint, nullptr);
  if (underline_ && direction_ == 0 && g.advanceX > 0) {
    const double below = Dpi() * 5.0 / 300, thick = std::max(1.0, Dpi() * 3.0 / 300);
    FillRect(cx_, cy_ + below, cx_ + g.advanceX, cy_ + below + thick, paint, nullptr);
  }
  cx_ = std::clamp(cx_ + g.advanceX, -4.0 * options_.maxSide, 4.0 * options_.maxSide);
  cy_ = std::clamp(cy_ + g.advanceY, -4.0 * options_.maxSide, 4.0 * options_.maxSide);
}

// ---- raster ----------------------------------------------------------------------

void Interpreter::StartRaster(int mode) {
  rasterOn_ = true;
  rasterX_ = mode % 2 == 1 ? cx_ : 0;
  rasterY_ = cy_;
  rasterRows_ = 0;
  seed_.clear();
}

void Interpreter::DecodeInto(int method, std::span<const std::uint8_t> data, std::vector<std::uint8_t>& row) {
  const std::size_t width = row.size();
  switch (method) {
    case 0: {
      std::fill(row.begin(), row.end(), 0);
      std::copy_n(data.begin(), std::min(width, data.size()), row.begin());
      return;
    }
    case 1: {
      std::fill(row.begin(), row.end(), 0);
      std::size_t out = 0;
      for (std::size_t k = 0; k + 1 < data.size() && out < width; k += 2) {
        const std::size_t count = std::size_t(data[k]) + 1;
        for (std::size_t r = 0; r < count && out < width; ++r) row[out++] = data[k + 1];
      }
      return;
    }
    case 2: {
      std::fill(row.begin(), row.end(), 0);
      std::size_t out = 0, k = 0;
      while (k < data.size() && out < width) {
        const auto control = static_cast<std::int8_t>(data[k++]);
        if (control >= 0) {
          for (int r = 0; r <= control && k < data.size(); ++r, ++k) {
            if (out < width) row[out++] = data[k];
          }
        } else if (control != -128) {
          if (k >= data.size()) break;
          const std::uint8_t value = data[k++];
          for (int r = 0; r < 1 - control && out < width; ++r) row[out++] = value;
        }
      }
      return;
    }
    case 3: {
      // Delta row: changes against the seed row, which `row` holds.
      std::size_t at = 0, k = 0;
      while (k < data.size()) {
        const std::uint8_t command = data[k++];
        const std::size_t count = (command >> 5) + 1;
        std::size_t offset = command & 31;
        if (offset == 31) {
          while (k < data.size()) {
            const std::uint8_t more = data[k++];
            offset += more;
            if (more != 255) break;
          }
        }
        at += offset;
        for (std::size_t r = 0; r < count && k < data.size(); ++r, ++k) {
          if (at < width) row[at] = data[k];
          ++at;
        }
      }
      return;
    }
    default: return;
  }
}

void Interpreter::PaintRow(std::span<const std::uint8_t> row) {
  if (rasterHeight_ >= 0 && rasterRows_ >= rasterHeight_) return;
  const int scale = std::max(1, Dpi() / std::max(1, rasterDpi_));
  Mark();
  const Paint paint = CurrentPattern();
  const std::size_t pixels = rasterWidth_ >= 0 ? std::min<std::size_t>(rasterWidth_, row.size() * 8) : row.size() * 8;
  const std::int64_t baseX = std::llround(rasterX_) + page_.originX;
  const std::int64_t baseY = std::llround(rasterY_) + page_.originY;
  for (int dy = 0; dy < scale; ++dy) {
    const std::int64_t y = baseY + dy;
    if (y < 0 || y >= page_.height) continue;
    for (std::size_t p = 0; p < pixels; ++p) {
      const bool on = (row[p / 8] >> (7 - p % 8)) & 1;
      if (!on && !sourceOpaque_) continue;
      for (int dx = 0; dx < scale; ++dx) {
        const std::int64_t x = baseX + static_cast<std::int64_t>(p) * scale + dx;
        if (x < 0 || x >= page_.width) continue;
        if (on) {
          Plot(static_cast<int>(x), static_cast<int>(y), paint);
        } else {
          page_.gray[std::size_t(y) * page_.width + std::size_t(x)] = 255;
        }
      }
    }
  }
  rasterY_ += scale;
  ++rasterRows_;
}

void Interpreter::RasterRow(std::span<const std::uint8_t> data) {
  if (!rasterOn_) StartRaster(0);
  Mark();
  const int scale = std::max(1, Dpi() / std::max(1, rasterDpi_));
  std::size_t bytes;
  if (rasterWidth_ >= 0) {
    bytes = (std::size_t(rasterWidth_) + 7) / 8;
  } else {
    const double room = std::max(0.0, LogicalWidth() - rasterX_) / scale;
    bytes = (static_cast<std::size_t>(room) + 7) / 8;
  }
  bytes = std::min(bytes, kMaxRasterBytes);
  if (seed_.size() != bytes) seed_.assign(bytes, 0);
  if (compression_ == 5) {
    AdaptiveBlock(data);
    return;
  }
  if (compression_ < 0 || compression_ > 3) return;
  DecodeInto(compression_, data, seed_);
  PaintRow(seed_);
}

void Interpreter::AdaptiveBlock(std::span<const std::uint8_t> data) {
  std::size_t k = 0;
  while (k + 3 <= data.size()) {
    const std::uint8_t command = data[k];
    const std::size_t count = std::size_t(data[k + 1]) << 8 | data[k + 2];
    k += 3;
    if (command <= 3) {
      const std::size_t take = std::min(count, data.size() - k);
      DecodeInto(command, data.subspan(k, take), seed_);
      PaintRow(seed_);
      k += take;
    } else if (command == 4 || command == 5) {
      if (command == 4) std::fill(seed_.begin(), seed_.end(), 0);
      const bool blank = !sourceOpaque_ && std::all_of(seed_.begin(), seed_.end(), [](std::uint8_t b) { return b == 0; });
      for (std::size_t r = 0; r < count && (rasterHeight_ < 0 || rasterRows_ < rasterHeight_); ++r) {
        if (blank || rasterY_ + page_.originY >= page_.height) {
          // Rows that paint nothing only move down.
          const int scale = std::max(1, Dpi() / std::max(1, rasterDpi_));
          std::size_t rows = count - r;
          if (rasterHeight_ >= 0) rows = std::min<std::size_t>(rows, rasterHeight_ - rasterRows_);
          rasterY_ += static_cast<double>(rows) * scale;
          rasterRows_ += static_cast<int>(rows);
          break;
        }
        PaintRow(seed_);
      }
    } else {
      return;
    }
  }
}

// ---- HP-GL/2 ----------------------------------------------------------------------

Point Interpreter::UserToPlu(double x, double y, bool delta) const {
  if (hp_.scaleType < 0) return {x, y};
  const double* s = hp_.s;
  double fx, fy, ox, oy;
  if (hp_.scaleType == 2) {
    fx = s[1], fy = s[3];
    ox = hp_.p1x - s[0] * fx, oy = hp_.p1y - s[2] * fy;
  } else {
    const double dx = s[1] - s[0], dy = s[3] - s[2];
    fx = dx != 0 ? (hp_.p2x - hp_.p1x) / dx : 1;
    fy = dy != 0 ? (hp_.p2y - hp_.p1y) / dy : 1;
    ox = hp_.p1x - s[0] * fx, oy = hp_.p1y - s[2] * fy;
  }
  if (delta) return {x * fx, y * fy};
  return {x * fx + ox, y * fy + oy};
}

void Interpreter::StrokeSegment(Point a, Point b) {
  const double w = std::max(1.0, hp_.penWidthMm * Dpi() / 25.4);
  double dx = b.x - a.x, dy = b.y - a.y;
  const double length = std::hypot(dx, dy);
  if (length < 1e-9) {
    dx = 1, dy = 0;
  } else {
    dx /= length, dy /= length;
  }
  const double h = w / 2;
  // Square ends half a width beyond each end point.
  const Point a2{a.x - dx * h, a.y - dy * h}, b2{b.x + dx * h, b.y + dy * h};
  const double nx = -dy * h, ny = dx * h;
  std::vector<std::vector<Point>> quad{
      {{a2.x + nx, a2.y + ny}, {b2.x + nx, b2.y + ny}, {b2.x - nx, b2.y - ny}, {a2.x - nx, a2.y - ny}}};
  FillPolygon(quad, true, PenPaint(), hp_.iw ? &hp_.window : nullptr);
}

void Interpreter::PenTo(double x, double y, bool draw) {
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  x = std::clamp(x, -1e9, 1e9);
  y = std::clamp(y, -1e9, 1e9);
  const Point from = PluToDevice(hp_.penX, hp_.penY);
  const Point to = PluToDevice(x, y);
  if (hp_.polygonMode) {
    std::size_t total = 0;
    for (const auto& ring : hp_.polygon) total += ring.size();
    if (total < kMaxPolygonPoints) {
      if (!draw || hp_.polygon.empty()) hp_.polygon.push_back({to});
      else hp_.polygon.back().push_back(to);
    }
  } else if (draw) {
    StrokeSegment(from, to);
  }
  hp_.penX = x;
  hp_.penY = y;
}

bool Interpreter::HpglNumber(double* out) {
  std::size_t j = i_;
  const std::size_t n = s_.size();
  while (j < n && (s_[j] == ' ' || s_[j] == ',' || s_[j] == '\t' || s_[j] == '\r' || s_[j] == '\n')) ++j;
  bool negative = false;
  std::size_t k = j;
  if (k < n && (s_[k] == '+' || s_[k] == '-')) negative = s_[k++] == '-';
  double value = 0, scale = 0;
  bool any = false;
  int digits = 0;
  while (k < n && ((s_[k] >= '0' && s_[k] <= '9') || s_[k] == '.')) {
    if (s_[k] == '.') {
      if (scale == 0) scale = 1;
    } else {
      any = true;
      if (scale == 0 && digits < 15) {
        value = value * 10 + (s_[k] - '0');
        ++digits;
      } else if (scale != 0 && scale < 1e9) {
        scale *= 10;
        value += (s_[k] - '0') / scale;
      }
    }
    ++k;
  }
  if (!any) {
    i_ = j;
    return false;
  }
  i_ = k;
  *out = negative ? -value : value;
  return true;
}

std::vector<double> Interpreter::HpglNumbers() {
  std::vector<double> values;
  double v;
  while (HpglNumber(&v)) values.push_back(v);
  if (i_ < s_.size() && s_[i_] == ';') ++i_;
  return values;
}

void Interpreter::HpglRun() {
  const std::size_t n = s_.size();
  while (i_ < n) {
    const std::uint8_t b = s_[i_];
    if (b == kEsc) {
      Escape();
      return;
    }
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) break;
    ++i_;
  }
  if (i_ + 1 >= n) {
    i_ = n;
    return;
  }
  const std::uint8_t second = s_[i_ + 1];
  if (!((second >= 'A' && second <= 'Z') || (second >= 'a' && second <= 'z'))) {
    ++i_;
    return;
  }
  const char a = static_cast<char>(std::toupper(s_[i_]));
  const char c = static_cast<char>(std::toupper(second));
  i_ += 2;
  HpglCommand(a, c);
}

void Interpreter::HpglCommand(char a, char b) {
  const auto is = [&](const char* m) { return a == m[0] && b == m[1]; };
  if (is("PE")) return PeCommand();
  if (is("LB")) return LabelCommand();
  if (is("DT")) {
    if (i_ < s_.size() && s_[i_] != ';' && s_[i_] != kEsc) hp_.terminator = s_[i_++];
    HpglNumbers();
    return;
  }
  if (is("CO")) {  // comment: a quoted string
    std::size_t j = i_;
    while (j < s_.size() && s_[j] == ' ') ++j;
    if (j < s_.size() && s_[j] == '"') {
      ++j;
      while (j < s_.size() && s_[j] != '"') ++j;
      i_ = std::min(s_.size(), j + 1);
    }
    HpglNumbers();
    return;
  }
  const std::vector<double> v = HpglNumbers();
  const double dpi = Dpi();
  if (is("IN")) {
    ResetHpgl();
  } else if (is("IP")) {
    if (v.size() >= 4) {
      hp_.p1x = v[0], hp_.p1y = v[1], hp_.p2x = v[2], hp_.p2y = v[3];
    } else if (v.size() >= 2) {
      const double w = hp_.p2x - hp_.p1x, h = hp_.p2y - hp_.p1y;
      hp_.p1x = v[0], hp_.p1y = v[1], hp_.p2x = v[0] + w, hp_.p2y = v[1] + h;
    } else {
      hp_.p1x = hp_.p1y = 0;
      hp_.p2x = frameW_ * kPlu / dpi;
      hp_.p2y = frameH_ * kPlu / dpi;
    }
  } else if (is("IR")) {
    const double w = frameW_ * kPlu / dpi, h = frameH_ * kPlu / dpi;
    if (v.size() >= 2) {
      const double pw = hp_.p2x - hp_.p1x, ph = hp_.p2y - hp_.p1y;
      hp_.p1x = w * v[0] / 100, hp_.p1y = h * v[1] / 100;
      if (v.size() >= 4) {
        hp_.p2x = w * v[2] / 100, hp_.p2y = h * v[3] / 100;
      } else {
        hp_.p2x = hp_.p1x + pw, hp_.p2y = hp_.p1y + ph;
      }
    }
  } else if (is("SC")) {
    if (v.size() >= 4) {
      hp_.scaleType = v.size() >= 5 ? static_cast<int>(v[4]) : 0;
      if (hp_.scaleType != 2) hp_.scaleType = 0;
      std::copy_n(v.begin(), 4, hp_.s);
    } else {
      hp_.scaleType = -1;
    }
  } else if (is("IW")) {
    if (v.size() >= 4) {
      const Point p = UserToPlu(v[0], v[1], false), q = UserToPlu(v[2], v[3], false);
      const Point d1 = PluToDevice(p.x, p.y), d2 = PluToDevice(q.x, q.y);
      hp_.iw = true;
      hp_.window = Clip{std::min(d1.x, d2.x), std::min(d1.y, d2.y), std::max(d1.x, d2.x),
                        std::max(d1.y, d2.y)};
    } else {
      hp_.iw = false;
    }
  } else if (is("PU") || is("PD") || is("PA") || is("PR")) {
    if (is("PU")) hp_.penDown = false;
    if (is("PD")) hp_.penDown = true;
    if (is("PA")) hp_.relative = false;
    if (is("PR")) hp_.relative = true;
    for (std::size_t k = 0; k + 1 < v.size(); k += 2) {
      if (hp_.relative) {
        const Point d = UserToPlu(v[k], v[k + 1], true);
        PenTo(hp_.penX + d.x, hp_.penY + d.y, hp_.penDown);
      } else {
        const Point p = UserToPlu(v[k], v[k + 1], false);
        PenTo(p.x, p.y, hp_.penDown);
      }
    }
  } else if (is("BR") || is("BZ")) {
    const bool relative = is("BR");
    for (std::size_t k = 0; k + 5 < v.size(); k += 6) {
      Point p[4] = {{hp_.penX, hp_.penY}, {}, {}, {}};
      for (int m = 0; m < 3; ++m) {
        const Point q = UserToPlu(v[k + 2 * m], v[k + 2 * m + 1], relative);
        p[m + 1] = relative ? Point{p[0].x + q.x, p[0].y + q.y} : q;
      }
      for (int t = 1; t <= 16; ++t) {
        const double u = t / 16.0, r = 1 - u;
        const double x = r * r * r * p[0].x + 3 * r * r * u * p[1].x + 3 * r * u * u * p[2].x + u * u * u * p[3].x;
        const double y = r * r * r * p[0].y + 3 * r * r * u * p[1].y + 3 * r * u * u * p[2].y + u * u * u * p[3].y;
        PenTo(x, y, hp_.penDown);
      }
    }
  } else if (is("PM")) {
    const int mode = v.empty() ? 0 : static_cast<int>(v[0]);
    if (mode == 0) {
      hp_.polygonMode = true;
      hp_.polygon.assign(1, {PluToDevice(hp_.penX, hp_.penY)});
    } else if (mode == 1) {
      hp_.polygon.push_back({PluToDevice(hp_.penX, hp_.penY)});
    } else {
      hp_.polygonMode = false;
    }
  } else if (is("FP")) {
    const bool nonzero = !v.empty() && v[0] == 1;
    FillPolygon(hp_.polygon, nonzero, PolyFillPaint(), hp_.iw ? &hp_.window : nullptr);
  } else if (is("EP")) {
    const auto rings = hp_.polygon;
    for (const auto& ring : rings) {
      for (std::size_t k = 0; ring.size() > 1 && k < ring.size(); ++k) {
        StrokeSegment(ring[k], ring[(k + 1) % ring.size()]);
      }
    }
  } else if (is("RA") || is("RR") || is("EA") || is("ER")) {
    if (v.size() >= 2) {
      const bool relative = b == 'R';
      const Point q = UserToPlu(v[0], v[1], relative);
      const Point corner = relative ? Point{hp_.penX + q.x, hp_.penY + q.y} : q;
      const Point d1 = PluToDevice(hp_.penX, hp_.penY), d2 = PluToDevice(corner.x, corner.y);
      if (a == 'R') {
        std::vector<std::vector<Point>> box{{d1, {d2.x, d1.y}, d2, {d1.x, d2.y}}};
        FillPolygon(box, true, PolyFillPaint(), hp_.iw ? &hp_.window : nullptr);
      } else {
        const Point c1{d2.x, d1.y}, c2{d1.x, d2.y};
        StrokeSegment(d1, c1);
        StrokeSegment(c1, d2);
        StrokeSegment(d2, c2);
        StrokeSegment(c2, d1);
      }
    }
  } else if (is("PW")) {
    hp_.penWidthMm = v.empty() ? 0.35 : std::clamp(v.back(), 0.0, 1000.0);
  } else if (is("SP")) {
    const int pen = v.empty() ? 0 : static_cast<int>(std::clamp(v[0], 0.0, 1e6));
    hp_.pen = pen == 0 ? 0 : 1;
  } else if (is("FT") || is("SV")) {
    Paint p;
    const int type = v.empty() ? 0 : static_cast<int>(v[0]);
    const double option = v.size() >= 2 ? v[1] : 0;
    if ((is("FT") && type == 10) || (is("SV") && type == 1)) {
      p.kind = option <= 0 ? Paint::White : Paint::Shade;
      p.percent = static_cast<int>(std::clamp(option, 0.0, 100.0));
    } else if (type == 22) {
      auto found = patterns_.find(static_cast<int>(option));
      if (found != patterns_.end()) {
        p.kind = Paint::Pattern;
        p.pattern = &found->second;
      }
    }
    (is("FT") ? hp_.fill : hp_.screen) = p;
  } else if (is("TR")) {
    const bool opaque = !v.empty() && v[0] == 0;
    hp_.fill.opaque = hp_.screen.opaque = opaque;
  } else if (is("DI")) {
    hp_.dirDegrees = v.size() >= 2 && (v[0] != 0 || v[1] != 0) ? std::atan2(v[1], v[0]) * 180 / M_PI : 0;
  } else if (is("LM")) {
    hp_.labelMode = v.empty() ? 0 : static_cast<int>(v[0]);
  } else if (is("SD")) {
    hp_.fontId = -1;
    for (std::size_t k = 0; k + 1 < v.size(); k += 2) {
      const int kind = static_cast<int>(v[k]);
      const double value = v[k + 1];
      switch (kind) {
        case 1: hp_.font.symbolSet = static_cast<int>(value); break;
        case 2: hp_.font.spacing = static_cast<int>(value); break;
        case 3: if (value > 0) hp_.font.pitch = std::min(value, 1000.0); break;
        case 4: if (value > 0) hp_.font.height = std::min(value, 2000.0); break;
        case 5: hp_.font.style = static_cast<int>(value); break;
        case 6: hp_.font.weight = static_cast<int>(value); break;
        case 7: hp_.font.typeface = static_cast<int>(value); break;
        default: break;
      }
    }
  } else if (is("FI")) {
    if (!v.empty()) hp_.fontId = static_cast<int>(v[0]);
  }
  // Anything else (LT, UL, MC, CF, AC, RO, WU, PP, LO, TD, SB, ...) changes
  // nothing this renderer draws.
}

void Interpreter::PeCommand() {
  const std::size_t n = s_.size();
  bool up = false, absolute = false, sevenBit = false;
  int fraction = 0;
  // Reads one encoded number; false at the end of the command.
  const auto number = [&](double* out) {
    std::uint64_t value = 0, weight = 1;
    int digits = 0;
    while (i_ < n) {
      const std::uint8_t c = s_[i_];
      if (c == ';' || c == kEsc) return false;
      ++i_;
      int digit;
      bool last;
      if (sevenBit) {
        if (c < 63 || c > 126) continue;
        last = c >= 95;
        digit = last ? c - 95 : c - 63;
      } else {
        if (c >= 63 && c <= 126) {
          last = false, digit = c - 63;
        } else if (c >= 191 && c <= 254) {
          last = true, digit = c - 191;
        } else {
          continue;
        }
      }
      if (digits < 10) value += static_cast<std::uint64_t>(digit) * weight;
      weight *= sevenBit ? 32 : 64;
      ++digits;
      if (last) {
        const double magnitude = static_cast<double>(value >> 1);
        *out = (value & 1) ? -magnitude : magnitude;
        return true;
      }
    }
    return false;
  };
  while (i_ < n) {
    const std::uint8_t c = s_[i_];
    if (c == ';') {
      ++i_;
      return;
    }
    if (c == kEsc) return;
    if (c == '<') { up = true; ++i_; continue; }
    if (c == '=') { absolute = true; ++i_; continue; }
    if (c == '7') { sevenBit = true; ++i_; continue; }
    if (c == '>' || c == ':') {
      ++i_;
      double value = 0;
      if (!number(&value)) return;
      if (c == '>') fraction = static_cast<int>(std::clamp(value, -26.0, 26.0));
      else hp_.pen = value == 0 ? 0 : 1;
      continue;
    }
    const bool digit = sevenBit ? (c >= 63 && c <= 126) : ((c >= 63 && c <= 126) || (c >= 191 && c <= 254));
    if (!digit) {
      ++i_;
      continue;
    }
    double x = 0, y = 0;
    if (!number(&x) || !number(&y)) return;
    const double f = std::ldexp(1.0, -fraction);
    x *= f, y *= f;
    if (absolute) {
      const Point p = UserToPlu(x, y, false);
      PenTo(p.x, p.y, !up);
    } else {
      const Point d = UserToPlu(x, y, true);
      PenTo(hp_.penX + d.x, hp_.penY + d.y, !up);
    }
    up = absolute = false;
  }
}

void Interpreter::LabelCommand() {
  const std::size_t n = s_.size();
  std::size_t end = i_;
  // In two-byte label mode the terminator is looked for only where a
  // character starts: a code's second byte may be any value.
  while (end < n && s_[end] != hp_.terminator && end - i_ < kMaxLabelBytes) {
    if (hp_.labelMode == 1 && TwoByteLead(parsing_, s_[end]) && end + 1 < n) ++end;
    ++end;
  }
  end = std::min(end, n);
  const std::span<const std::uint8_t> text = s_.subspan(i_, end - i_);
  i_ = end < n && s_[end] == hp_.terminator ? end + 1 : end;
  const double dpi = Dpi();
  const double startX = hp_.penX, startY = hp_.penY;
  for (std::size_t k = 0; k < text.size(); ++k) {
    std::uint32_t code = text[k];
    if (code == 13) {
      hp_.penX = startX, hp_.penY = startY;
      continue;
    }
    if (code == 10) continue;
    if (hp_.labelMode == 1) {
      const bool two = TwoByteLead(parsing_, code);
      if (two && k + 1 < text.size()) code = code << 8 | text[++k];
    }
    GlyphImage g;
    const Point at = PluToDevice(hp_.penX, hp_.penY);
    if (GlyphFor(code, hp_.dirDegrees, &g, true)) {
      DrawGlyph(g, at.x, at.y, PolyFillPaint(), hp_.iw ? &hp_.window : nullptr);
    }
    hp_.penX += g.advanceX * kPlu / dpi;
    hp_.penY -= g.advanceY * kPlu / dpi;
  }
}

}  // namespace

Summary Render(std::span<const std::uint8_t> stream, const Options& options,
               const std::function<void(const Page&)>& onPage) {
  Interpreter interpreter(stream, options, onPage);
  return interpreter.Run();
}

std::vector<Page> RenderAll(std::span<const std::uint8_t> stream, const Options& options) {
  std::vector<Page> pages;
  Render(stream, options, [&](const Page& page) { pages.push_back(page); });
  return pages;
}

}  // namespace kvpclrender
