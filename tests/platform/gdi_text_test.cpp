// Text through application GDI: fonts as GDI objects, runs placed by the
// DC's alignment on memory DCs (checked by their pixels), metrics and
// extents, the machine's faces, and what a printer's graphics library
// receives in DrvTextOut (or what the engine draws when it refuses).
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "gdi_draw_fixture.h"
#include "gdi_fixture.h"
#include "kvplat/engine_fonts.h"

namespace {

using gditest::Canvas;
using gditest::Obj;
using kvplat::gdi::CurrentDriverCallCounts;
using kvplat::gdi::DriverCallCounts;
using kvplat::gdi::OverrideDriverEntry;
using kvplat::gdi::ResetDriverCallCounts;

constexpr COLORREF kBlack = 0x000000;
constexpr COLORREF kRed = RGB(255, 0, 0);

LOGFONTW Logical(const char16_t* face, LONG height, LONG escapement = 0) {
  LOGFONTW f{};
  f.lfHeight = height;
  f.lfEscapement = escapement;
  f.lfWeight = FW_NORMAL;
  f.lfCharSet = DEFAULT_CHARSET;
  for (int i = 0; face[i] != 0 && i < LF_FACESIZE - 1; ++i) f.lfFaceName[i] = face[i];
  return f;
}

// The box around the pixels that are not white (empty: left > right).
struct Ink {
  LONG left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
  bool empty() const { return right < left; }
  LONG width() const { return right - left + 1; }
  LONG height() const { return bottom - top + 1; }
};
Ink InkOf(const Canvas& c, COLORREF rgb = kBlack) {
  Ink ink;
  for (LONG y = 0; y < c.height(); ++y) {
    for (LONG x = 0; x < c.width(); ++x) {
      if (c.At(x, y) != rgb) continue;
      ink.left = std::min(ink.left, x), ink.right = std::max(ink.right, x);
      ink.top = std::min(ink.top, y), ink.bottom = std::max(ink.bottom, y);
    }
  }
  return ink;
}

class TextCanvas : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(canvas_.ok());
    SetBkMode(canvas_.dc(), TRANSPARENT);
  }
  // Selects a font for the rest of the test.
  void Use(const LOGFONTW& logical) {
    font_ = CreateFontIndirectW(&logical);
    ASSERT_NE(font_, nullptr);
    SelectObject(canvas_.dc(), font_);
  }
  void TearDown() override {
    SelectObject(canvas_.dc(), GetStockObject(SYSTEM_FONT));
    if (font_ != nullptr) DeleteObject(font_);
  }
  TEXTMETRICW Metrics() {
    TEXTMETRICW tm{};
    EXPECT_TRUE(GetTextMetricsW(canvas_.dc(), &tm));
    return tm;
  }
  SIZE Extent(std::u16string_view text) {
    SIZE size{};
    EXPECT_TRUE(GetTextExtentPoint32W(canvas_.dc(), text.data(), static_cast<int>(text.size()), &size));
    return size;
  }

  Canvas canvas_{480, 240};
  HFONT font_ = nullptr;
};

// ---- placement -------------------------------------------------------------------------

TEST_F(TextCanvas, AlignmentPutsTheRunAroundTheReferencePoint) {
  Use(Logical(u"Arial", -40));
  const TEXTMETRICW tm = Metrics();
  const SIZE extent = Extent(u"HHHH");
  // "H" sits on the baseline and reaches the cap height; its sides keep
  // small bearings inside the advance.
  struct Case {
    UINT align;
    LONG inkLeftMin, inkLeftMax;  // relative to the reference x
    LONG inkBottom;               // relative to the reference y (the baseline row is -1)
  };
  const LONG x = 240, y = 120;
  const Case cases[] = {
      {TA_LEFT | TA_BASELINE, 0, 8, -1},
      {TA_LEFT | TA_TOP, 0, 8, tm.tmAscent - 1},
      {TA_LEFT | TA_BOTTOM, 0, 8, -tm.tmDescent - 1},
      {TA_RIGHT | TA_BASELINE, -extent.cx, -extent.cx + 8, -1},
      {TA_CENTER | TA_BASELINE, -extent.cx / 2, -extent.cx / 2 + 8, -1},
  };
  for (const Case& c : cases) {
    canvas_.Clear(Canvas::kWhite);
    SetTextAlign(canvas_.dc(), c.align);
    ASSERT_TRUE(TextOutW(canvas_.dc(), x, y, u"HHHH", 4)) << c.align;
    const Ink ink = InkOf(canvas_);
    ASSERT_FALSE(ink.empty()) << c.align;
    EXPECT_GE(ink.left - x, c.inkLeftMin) << c.align;
    EXPECT_LE(ink.left - x, c.inkLeftMax) << c.align;
    EXPECT_NEAR(ink.bottom - y, c.inkBottom, 1) << c.align;
    // Cap height of Arial: about 0.72 em.
    EXPECT_NEAR(ink.height(), 29, 2) << c.align;
    EXPECT_LE(ink.width(), extent.cx) << c.align;
    EXPECT_GE(ink.width(), extent.cx - 8) << c.align;
  }
}

TEST_F(TextCanvas, EscapementAndWorldTransformTurnTheRun) {
  // 90 degrees counter-clockwise: the run goes up the page from the point.
  Use(Logical(u"Arial", -30, 900));
  ASSERT_TRUE(TextOutW(canvas_.dc(), 100, 200, u"HHHHH", 5));
  Ink ink = InkOf(canvas_);
  ASSERT_FALSE(ink.empty());
  EXPECT_GT(ink.height(), 2 * ink.width());
  EXPECT_LE(ink.bottom, 200);
  // Top alignment: the cells' tops (pointing left) at x = 100, the baseline
  // one ascent to the right.
  const TEXTMETRICW tm = Metrics();
  EXPECT_GE(ink.left, 99);
  EXPECT_LE(ink.right, 100 + tm.tmAscent);
  EXPECT_GT(ink.right, 100 + tm.tmAscent / 2);

  // A world transform turning x onto y: the run goes down the page.
  canvas_.Clear(Canvas::kWhite);
  SelectObject(canvas_.dc(), GetStockObject(SYSTEM_FONT));
  DeleteObject(font_);
  font_ = nullptr;
  Use(Logical(u"Arial", -30));
  ASSERT_EQ(SetGraphicsMode(canvas_.dc(), GM_ADVANCED), GM_COMPATIBLE);
  const XFORM turn{0, 1, -1, 0, 0, 0};
  ASSERT_TRUE(SetWorldTransform(canvas_.dc(), &turn));
  ASSERT_TRUE(TextOutW(canvas_.dc(), 20, -300, u"HHHHH", 5));  // device (300, 20)
  ink = InkOf(canvas_);
  ASSERT_FALSE(ink.empty());
  EXPECT_GT(ink.height(), 2 * ink.width());
  EXPECT_GE(ink.top, 20);
  // The glyphs' tops point right, to x = 300.
  EXPECT_LE(ink.right, 300);
  EXPECT_GE(ink.left, 300 - Metrics().tmAscent);
}

TEST_F(TextCanvas, BackgroundUnderlineAndClip) {
  LOGFONTW logical = Logical(u"Arial", -40);
  logical.lfUnderline = 1;
  Use(logical);
  const TEXTMETRICW tm = Metrics();
  const SIZE extent = Extent(u"HH HH");
  SetBkColor(canvas_.dc(), kRed);

  // OPAQUE background: the run's cells in the background colour.
  SetBkMode(canvas_.dc(), OPAQUE);
  ASSERT_TRUE(TextOutW(canvas_.dc(), 50, 50, u"HH HH", 5));
  const Ink red = InkOf(canvas_, kRed);
  ASSERT_FALSE(red.empty());
  EXPECT_EQ(red.top, 50);
  EXPECT_NEAR(red.height(), tm.tmHeight, 1);
  EXPECT_EQ(red.left, 50);
  EXPECT_NEAR(red.width(), extent.cx, 1);
  // The underline: a row below the baseline inked across the whole run.
  int fullRows = 0;
  for (LONG row = 50 + tm.tmAscent; row < 50 + tm.tmHeight; ++row) {
    if (canvas_.CountRow(row, kBlack) >= extent.cx - 2) ++fullRows;
  }
  EXPECT_GE(fullRows, 1);

  // TRANSPARENT: nothing but the glyphs and the line.
  canvas_.Clear(Canvas::kWhite);
  SetBkMode(canvas_.dc(), TRANSPARENT);
  ASSERT_TRUE(TextOutW(canvas_.dc(), 50, 50, u"HH HH", 5));
  EXPECT_EQ(canvas_.Count(kRed), 0);

  // ETO_CLIPPED keeps everything inside the rectangle; ETO_OPAQUE fills it.
  canvas_.Clear(Canvas::kWhite);
  const RECT box{60, 60, 90, 80};
  ASSERT_TRUE(ExtTextOutW(canvas_.dc(), 50, 50, ETO_CLIPPED | ETO_OPAQUE, &box, u"HH HH", 5, nullptr));
  const Ink drawn = InkOf(canvas_, kBlack);
  ASSERT_FALSE(drawn.empty());
  EXPECT_GE(drawn.left, 60);
  EXPECT_LE(drawn.right, 89);
  EXPECT_GE(drawn.top, 60);
  EXPECT_LE(drawn.bottom, 79);
  EXPECT_EQ(canvas_.Count(kRed) + canvas_.Count(kBlack), 30 * 20);

  // No characters and ETO_OPAQUE: only the rectangle.
  canvas_.Clear(Canvas::kWhite);
  ASSERT_TRUE(ExtTextOutW(canvas_.dc(), 0, 0, ETO_OPAQUE, &box, nullptr, 0, nullptr));
  EXPECT_EQ(canvas_.Count(kRed), 30 * 20);
}

TEST_F(TextCanvas, UpdateCpDrawsAtAndMovesTheCurrentPosition) {
  Use(Logical(u"Arial", -30));
  const SIZE extent = Extent(u"HH");
  SetTextAlign(canvas_.dc(), TA_UPDATECP | TA_BASELINE);
  MoveToEx(canvas_.dc(), 40, 100, nullptr);
  ASSERT_TRUE(TextOutW(canvas_.dc(), 400, 10, u"HH", 2));  // the point given is ignored
  POINT cp{};
  GetCurrentPositionEx(canvas_.dc(), &cp);
  EXPECT_EQ(cp.x, 40 + extent.cx);
  EXPECT_EQ(cp.y, 100);
  const Ink ink = InkOf(canvas_);
  EXPECT_GE(ink.left, 40);
  EXPECT_LT(ink.right, 40 + extent.cx);
  EXPECT_EQ(ink.bottom, 99);
  // Right aligned: the run ends at the position, which moves back.
  SetTextAlign(canvas_.dc(), TA_UPDATECP | TA_RIGHT | TA_BASELINE);
  ASSERT_TRUE(TextOutW(canvas_.dc(), 0, 0, u"HH", 2));
  GetCurrentPositionEx(canvas_.dc(), &cp);
  EXPECT_EQ(cp.x, 40);
  // With offsets in pairs the position follows them across the baseline too,
  // to where the next character would start.
  SetTextAlign(canvas_.dc(), TA_UPDATECP | TA_BASELINE);
  const INT pairs[] = {30, 4, 30, 6};
  ASSERT_TRUE(ExtTextOutW(canvas_.dc(), 0, 0, ETO_PDY, nullptr, u"HH", 2, pairs));
  GetCurrentPositionEx(canvas_.dc(), &cp);
  EXPECT_EQ(cp.x, 100);
  EXPECT_EQ(cp.y, 90);
}

// ---- metrics and extents ----------------------------------------------------------------

TEST_F(TextCanvas, MetricsFollowTheFaceAndTheMapping) {
  // Liberation Sans: ascent 1854, descent 434, 2048 units per em, average width 1208.
  Use(Logical(u"Arial", -100));
  TEXTMETRICW tm = Metrics();
  EXPECT_EQ(tm.tmAscent, 91);
  EXPECT_EQ(tm.tmDescent, 21);
  EXPECT_EQ(tm.tmHeight, tm.tmAscent + tm.tmDescent);
  EXPECT_EQ(tm.tmInternalLeading, tm.tmHeight - 100);
  EXPECT_NEAR(tm.tmAveCharWidth, 1208 * 100 / 2048, 1);
  EXPECT_EQ(tm.tmWeight, FW_NORMAL);
  EXPECT_EQ(tm.tmCharSet, ANSI_CHARSET);
  EXPECT_EQ(tm.tmPitchAndFamily & (TMPF_FIXED_PITCH | TMPF_TRUETYPE | TMPF_VECTOR),
            TMPF_FIXED_PITCH | TMPF_TRUETYPE | TMPF_VECTOR);
  WCHAR face[LF_FACESIZE] = {};
  EXPECT_EQ(GetTextFaceW(canvas_.dc(), LF_FACESIZE, face), 5);
  EXPECT_EQ(std::u16string(face), u"Arial");
  EXPECT_EQ(GetTextFaceW(canvas_.dc(), 0, nullptr), 6);

  // Logical units: 0.1 mm, so a 100-unit em is 10 mm (about 38 pixels).
  SetMapMode(canvas_.dc(), MM_LOMETRIC);
  tm = Metrics();
  EXPECT_NEAR(tm.tmHeight, 112, 3);
  SetMapMode(canvas_.dc(), MM_TEXT);

  // A fixed-pitch face clears the (variable) pitch bit; simulated bold is bold.
  LOGFONTW courier = Logical(u"Courier New", -20);
  courier.lfWeight = FW_BOLD;
  Obj<HFONT> fixed(CreateFontIndirectW(&courier));
  SelectObject(canvas_.dc(), fixed.get());
  tm = Metrics();
  EXPECT_EQ(tm.tmPitchAndFamily & TMPF_FIXED_PITCH, 0);
  EXPECT_GE(tm.tmWeight, FW_BOLD);
  SelectObject(canvas_.dc(), font_);
}

TEST_F(TextCanvas, CharacterSetIsTheOneAskedForWhenTheFaceCoversIt) {
  struct Case {
    const char16_t* face;
    BYTE asked, realized;
  };
  const Case cases[] = {
      {u"IPAGothic", SHIFTJIS_CHARSET, SHIFTJIS_CHARSET},
      {u"Arial", SHIFTJIS_CHARSET, ANSI_CHARSET},
      {u"Arial", EASTEUROPE_CHARSET, EASTEUROPE_CHARSET},
      {u"IPAGothic", DEFAULT_CHARSET, ANSI_CHARSET},
  };
  for (const Case& c : cases) {
    LOGFONTW logical = Logical(c.face, -20);
    logical.lfCharSet = c.asked;
    Obj<HFONT> font(CreateFontIndirectW(&logical));
    SelectObject(canvas_.dc(), font.get());
    const TEXTMETRICW tm = Metrics();
    EXPECT_EQ(tm.tmCharSet, c.realized) << static_cast<int>(c.asked);
    SelectObject(canvas_.dc(), GetStockObject(SYSTEM_FONT));
  }
}

TEST_F(TextCanvas, ExtentsCountSpacingAndJustification) {
  Use(Logical(u"Arial", -40));
  const SIZE plain = Extent(u"ab cd");
  int prefixes[5] = {};
  int fit = -1;
  SIZE size{};
  ASSERT_TRUE(GetTextExtentExPointW(canvas_.dc(), u"ab cd", 5, 0, nullptr, prefixes, &size));
  EXPECT_EQ(size.cx, plain.cx);
  EXPECT_EQ(prefixes[4], plain.cx);
  EXPECT_TRUE(std::is_sorted(prefixes, prefixes + 5));
  ASSERT_TRUE(GetTextExtentExPointW(canvas_.dc(), u"ab cd", 5, prefixes[2], &fit, nullptr, &size));
  EXPECT_EQ(fit, 3);

  SetTextCharacterExtra(canvas_.dc(), 3);
  EXPECT_EQ(Extent(u"ab cd").cx, plain.cx + 15);
  SetTextCharacterExtra(canvas_.dc(), 0);
  ASSERT_TRUE(SetTextJustification(canvas_.dc(), 11, 1));
  EXPECT_EQ(Extent(u"ab cd").cx, plain.cx + 11);
  ASSERT_TRUE(SetTextJustification(canvas_.dc(), 0, 0));
  EXPECT_EQ(Extent(u"ab cd").cx, plain.cx);
  EXPECT_EQ(Extent(u"").cx, 0);
}

// ---- objects and errors -----------------------------------------------------------------

TEST_F(TextCanvas, FontsAreGdiObjectsKeptBySaveDc) {
  Use(Logical(u"Arial", -20));
  EXPECT_EQ(GetObjectType(font_), OBJ_FONT);
  EXPECT_EQ(GetCurrentObject(canvas_.dc(), OBJ_FONT), font_);
  const int level = SaveDC(canvas_.dc());
  Obj<HFONT> other(CreateFontW(-30, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0,
                               u"Liberation Serif"));
  EXPECT_EQ(SelectObject(canvas_.dc(), other.get()), font_);
  ASSERT_TRUE(RestoreDC(canvas_.dc(), level));
  EXPECT_EQ(GetCurrentObject(canvas_.dc(), OBJ_FONT), font_);
  // A selected font deleted by its handle stays in use until replaced.
  ASSERT_TRUE(DeleteObject(font_));
  EXPECT_EQ(GetObjectType(font_), 0u);
  EXPECT_TRUE(TextOutW(canvas_.dc(), 10, 10, u"x", 1));
  font_ = nullptr;
}

TEST(GdiTextErrors, HandlesAndArgumentsAreChecked) {
  Canvas canvas(50, 50);
  const HDC bogus = reinterpret_cast<HDC>(static_cast<intptr_t>(0x7FFF0));
  SIZE size{};
  TEXTMETRICW tm{};
  struct Case {
    const char* name;
    BOOL result;
    DWORD error;
  };
  const auto run = [](auto f) {
    SetLastError(0);
    const BOOL result = f();
    return std::make_pair(result, GetLastError());
  };
  const std::pair<const char*, std::pair<BOOL, DWORD>> failures[] = {
      {"TextOutW bad dc", run([&] { return TextOutW(bogus, 0, 0, u"a", 1); })},
      {"ExtTextOutW bad dc", run([&] { return ExtTextOutW(bogus, 0, 0, 0, nullptr, u"a", 1, nullptr); })},
      {"GetTextMetricsW bad dc", run([&] { return GetTextMetricsW(bogus, &tm); })},
      {"GetTextExtentPoint32W bad dc", run([&] { return GetTextExtentPoint32W(bogus, u"a", 1, &size); })},
      {"SelectObject bad font",
       run([&] { return SelectObject(canvas.dc(), reinterpret_cast<HGDIOBJ>(0x7FFF5)) != nullptr; })},
  };
  for (const auto& [name, outcome] : failures) {
    EXPECT_FALSE(outcome.first) << name;
    EXPECT_EQ(outcome.second, static_cast<DWORD>(ERROR_INVALID_HANDLE)) << name;
  }
  const std::pair<const char*, std::pair<BOOL, DWORD>> invalid[] = {
      {"TextOutW null text", run([&] { return TextOutW(canvas.dc(), 0, 0, nullptr, 3); })},
      {"ExtTextOutW null text", run([&] { return ExtTextOutW(canvas.dc(), 0, 0, 0, nullptr, nullptr, 2, nullptr); })},
      {"extent null text", run([&] { return GetTextExtentPoint32W(canvas.dc(), nullptr, 2, &size); })},
      {"extent no size", run([&] { return GetTextExtentPoint32W(canvas.dc(), u"a", 1, nullptr); })},
      {"CreateFontIndirectW null", run([&] { return CreateFontIndirectW(nullptr) != nullptr; })},
  };
  for (const auto& [name, outcome] : invalid) {
    EXPECT_FALSE(outcome.first) << name;
    EXPECT_EQ(outcome.second, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << name;
  }
  // Nothing to draw succeeds and draws nothing.
  EXPECT_TRUE(TextOutW(canvas.dc(), 0, 0, nullptr, 0));
  EXPECT_EQ(canvas.Count(Canvas::kWhite), 50 * 50);
}

// ---- the machine's faces ------------------------------------------------------------------

struct Seen {
  std::vector<std::u16string> names;
  std::vector<LONG> weights;
  bool allTrueType = true;
  bool metrics = true;
  int stopAfter = 1 << 30;
};

int Collect(const LOGFONTW* font, const TEXTMETRICW* tm, DWORD type, LPARAM data) {
  auto* seen = reinterpret_cast<Seen*>(data);
  seen->names.emplace_back(font->lfFaceName);
  seen->weights.push_back(font->lfWeight);
  seen->allTrueType = seen->allTrueType && type == TRUETYPE_FONTTYPE;
  seen->metrics = seen->metrics && tm->tmHeight > 0 && tm->tmHeight == tm->tmAscent + tm->tmDescent;
  return static_cast<int>(seen->names.size()) < seen->stopAfter ? 1 : 0;
}

bool Has(const Seen& s, std::u16string_view name) {
  return std::find(s.names.begin(), s.names.end(), name) != s.names.end();
}

TEST(GdiTextFaces, EnumerationFindsTheMachinesFacesAndStandIns) {
  Canvas canvas(10, 10);
  LOGFONTW all{};
  all.lfCharSet = DEFAULT_CHARSET;
  Seen families;
  EXPECT_EQ(EnumFontFamiliesExW(canvas.dc(), &all, Collect, reinterpret_cast<LPARAM>(&families), 0), 1);
  EXPECT_TRUE(Has(families, u"Liberation Sans"));
  EXPECT_TRUE(Has(families, u"Liberation Mono"));
  EXPECT_TRUE(families.allTrueType);
  EXPECT_TRUE(families.metrics);
  // One call per family.
  std::vector<std::u16string> sorted = families.names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());

  // A stand-in's faces come under the name asked for, one per style.
  Seen arial;
  EnumFontsW(canvas.dc(), u"Arial", Collect, reinterpret_cast<LPARAM>(&arial));
  ASSERT_GE(arial.names.size(), 2u);
  EXPECT_TRUE(std::all_of(arial.names.begin(), arial.names.end(),
                          [](const std::u16string& n) { return n == u"Arial"; }));
  EXPECT_NE(std::find(arial.weights.begin(), arial.weights.end(), FW_BOLD), arial.weights.end());

  Seen none;
  EXPECT_EQ(EnumFontsW(canvas.dc(), u"No Such Face Anywhere", Collect, reinterpret_cast<LPARAM>(&none)), 1);
  EXPECT_TRUE(none.names.empty());

  // The callback's 0 stops the enumeration and is returned.
  Seen first;
  first.stopAfter = 1;
  EXPECT_EQ(EnumFontsW(canvas.dc(), nullptr, Collect, reinterpret_cast<LPARAM>(&first)), 0);
  EXPECT_EQ(first.names.size(), 1u);
  SetLastError(0);
  EXPECT_EQ(EnumFontsW(nullptr, nullptr, Collect, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- printer DCs ---------------------------------------------------------------------------

// What a stand-in DrvTextOut received.
struct Received {
  std::u16string text;
  std::vector<POINTL> positions;
  int glyphImages = 0;
  std::vector<RECTL> clip;
  std::vector<RECTL> extra;
  bool opaque = false;
  RECTL opaqueRect{};
  RECTL background{};
  ULONG fore = 0, back = 0;
  MIX mix = 0;
  ULONG fontUniq = 0;
  FLONG fontType = 0;
  FLONG accel = 0;
};
std::vector<Received> g_received;
BOOL g_answer = TRUE;

BOOL RecordingTextOut(SURFOBJ* surface, STROBJ* str, FONTOBJ* font, CLIPOBJ* clip, RECTL* extra,
                      RECTL* opaque, BRUSHOBJ* fore, BRUSHOBJ* back, POINTL*, MIX mix) {
  Received r;
  EXPECT_NE(surface, nullptr);
  r.text.assign(str->pwszOrg, str->cGlyphs);
  r.background = str->rclBkGround;
  r.accel = str->flAccel;
  STROBJ_vEnumStart(str);
  BOOL more;
  do {
    ULONG count = 0;
    GLYPHPOS* gp = nullptr;
    more = STROBJ_bEnum(str, &count, &gp);
    for (ULONG i = 0; i < count; ++i) {
      r.positions.push_back(gp[i].ptl);
      if (gp[i].pgdf != nullptr && gp[i].pgdf->pgb != nullptr) ++r.glyphImages;
    }
  } while (more);
  for (const RECTL& c : kvplat::engine::ClipRects(clip)) r.clip.push_back(c);
  for (const RECTL* e = extra; e != nullptr && (e->left | e->top | e->right | e->bottom) != 0; ++e) {
    r.extra.push_back(*e);
  }
  r.opaque = opaque != nullptr;
  if (opaque != nullptr) r.opaqueRect = *opaque;
  r.fore = fore != nullptr ? fore->iSolidColor : 0xFFFFFFFF;
  r.back = back != nullptr ? back->iSolidColor : 0xFFFFFFFF;
  r.mix = mix;
  r.fontUniq = font->iUniq;
  r.fontType = font->flFontType;
  g_received.push_back(r);
  return g_answer;
}

class PrinterText : public gditest::GdiTest {
 protected:
  void SetUp() override {
    GdiTest::SetUp();
    g_received.clear();
    g_answer = TRUE;
    OverrideDriverEntry(INDEX_DrvTextOut, reinterpret_cast<PFN>(&RecordingTextOut));
    dc_ = Create();
    ASSERT_NE(dc_, nullptr);
    DOCINFOW doc{sizeof(DOCINFOW), u"text", nullptr, nullptr, 0};
    ASSERT_GT(StartDocW(dc_, &doc), 0);
    ASSERT_GT(StartPage(dc_), 0);
    SetBkMode(dc_, TRANSPARENT);
  }
  void TearDown() override {
    OverrideDriverEntry(INDEX_DrvTextOut, nullptr);
    if (dc_ != nullptr) {
      EXPECT_GT(EndDoc(dc_), 0);
      DeleteDC(dc_);
    }
    GdiTest::TearDown();
  }
  HDC dc_ = nullptr;
};

TEST_F(PrinterText, LibraryReceivesTheLaidOutRun) {
  LOGFONTW logical = Logical(u"Arial", -100);
  logical.lfUnderline = 1;
  logical.lfStrikeOut = 1;
  Obj<HFONT> font(CreateFontIndirectW(&logical));
  SelectObject(dc_, font.get());
  SetTextColor(dc_, RGB(0, 0, 255));
  SetBkColor(dc_, RGB(255, 255, 0));
  const INT dx[] = {70, 80, 90};
  const RECT box{900, 900, 1300, 1100};
  ASSERT_TRUE(ExtTextOutW(dc_, 1000, 1000, ETO_OPAQUE | ETO_CLIPPED, &box, u"abc", 3, dx));
  ASSERT_EQ(g_received.size(), 1u);
  const Received& r = g_received[0];
  EXPECT_EQ(r.text, u"abc");
  ASSERT_EQ(r.positions.size(), 3u);
  // Top-left alignment: the baseline one ascent below the point, at the distances given.
  TEXTMETRICW tm{};
  ASSERT_TRUE(GetTextMetricsW(dc_, &tm));
  EXPECT_EQ(r.positions[0].x, 1000);
  EXPECT_EQ(r.positions[0].y, 1000 + tm.tmAscent);
  EXPECT_EQ(r.positions[1].x - r.positions[0].x, 70);
  EXPECT_EQ(r.positions[2].x - r.positions[1].x, 80);
  EXPECT_EQ(r.glyphImages, 3);
  EXPECT_EQ(r.accel & SO_FLAG_DEFAULT_PLACEMENT, 0u);
  EXPECT_EQ(r.accel & SO_HORIZONTAL, SO_HORIZONTAL);
  EXPECT_EQ(r.background.left, 1000);
  EXPECT_EQ(r.background.right, 1000 + 240);
  EXPECT_EQ(r.background.top, 1000);
  // The clip is the rectangle; it is also the opaque box.
  ASSERT_EQ(r.clip.size(), 1u);
  EXPECT_EQ(r.clip[0].left, 900);
  EXPECT_EQ(r.clip[0].bottom, 1100);
  ASSERT_TRUE(r.opaque);
  EXPECT_EQ(r.opaqueRect.left, 900);
  EXPECT_EQ(r.opaqueRect.right, 1300);
  EXPECT_EQ(r.fore, RGB(0, 0, 255));
  EXPECT_EQ(r.back, RGB(255, 255, 0));
  EXPECT_EQ(r.mix & 0xFF, static_cast<MIX>(R2_COPYPEN));
  // Underline below the baseline, strike-out above it, both along the run.
  ASSERT_EQ(r.extra.size(), 2u);
  const LONG baseline = 1000 + tm.tmAscent;
  EXPECT_GT(r.extra[0].top, baseline);
  EXPECT_LT(r.extra[1].bottom, baseline);
  for (const RECTL& e : r.extra) {
    EXPECT_EQ(e.left, 1000);
    EXPECT_EQ(e.right, 1240);
    EXPECT_GT(e.bottom, e.top);
  }
}

TEST_F(PrinterText, RealizationsAreKeptAcrossRunsAndFallbackDrawsRefusedRuns) {
  const LOGFONTW bodyFont = Logical(u"Arial", -50), headingFont = Logical(u"Liberation Serif", -80);
  Obj<HFONT> body(CreateFontIndirectW(&bodyFont));
  Obj<HFONT> heading(CreateFontIndirectW(&headingFont));
  for (int line = 0; line < 20; ++line) {
    SelectObject(dc_, line % 5 == 0 ? heading.get() : body.get());
    ASSERT_TRUE(TextOutW(dc_, 100, 100 + line * 60, u"The quick brown fox", 19));
  }
  ASSERT_EQ(g_received.size(), 20u);
  std::vector<ULONG> fonts;
  for (const Received& r : g_received) fonts.push_back(r.fontUniq);
  std::sort(fonts.begin(), fonts.end());
  fonts.erase(std::unique(fonts.begin(), fonts.end()), fonts.end());
  EXPECT_EQ(fonts.size(), 2u) << "each font is realized once on the DC";
  EXPECT_EQ(g_received[1].accel & SO_FLAG_DEFAULT_PLACEMENT, SO_FLAG_DEFAULT_PLACEMENT);

  // Refused: the engine draws the glyphs through the library's bitmap calls.
  g_answer = FALSE;
  SetBkMode(dc_, OPAQUE);
  ResetDriverCallCounts();
  ASSERT_TRUE(TextOutW(dc_, 100, 2000, u"Refused", 7));
  const DriverCallCounts n = CurrentDriverCallCounts();
  EXPECT_EQ(n.calls[INDEX_DrvTextOut], 1u);
  EXPECT_EQ(n.refused[INDEX_DrvTextOut], 1u);
  EXPECT_GE(n.calls[INDEX_DrvBitBlt] - n.refused[INDEX_DrvBitBlt] + n.engineRenderings, 1u);
  EXPECT_GE(n.calls[INDEX_DrvPaint] + n.calls[INDEX_DrvBitBlt] + n.engineRenderings, 2u)
      << "the background box and the glyphs";
  EXPECT_EQ(n.lost, 0u);
}

TEST_F(PrinterText, UnicodeRunsReachTheLibraryOnADoubleByteFont) {
  LOGFONTW logical = Logical(u"IPAGothic", -60);
  logical.lfCharSet = SHIFTJIS_CHARSET;
  Obj<HFONT> font(CreateFontIndirectW(&logical));
  SelectObject(dc_, font.get());
  const std::u16string text = u"\u65E5\u672C\u8A9E";
  ASSERT_TRUE(TextOutW(dc_, 200, 200, text.data(), 3));
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0].text, text);
  EXPECT_EQ(g_received[0].glyphImages, 3);
  EXPECT_EQ(g_received[0].fontType & FO_DBCS_FONT, FO_DBCS_FONT);
}

}  // namespace
