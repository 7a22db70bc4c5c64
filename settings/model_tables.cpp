#include "settings/model_tables.h"

#include <algorithm>
#include <array>

namespace kvset {

const PaperInfo* FindPaper(int code) {
  for (const PaperInfo& p : kPapers) {
    if (p.code == code) return &p;
  }
  return nullptr;
}

const PaperGeometryRow* FindPaperGeometryRow(int code) {
  for (const PaperGeometryRow& row : kPaperGeometry) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

std::optional<PaperGeometry> TablePaperGeometry(int code, bool landscape, int dpi) {
  const PaperGeometryRow* row = FindPaperGeometryRow(code);
  if (row == nullptr || !row->hasGeometry) return std::nullopt;
  const PaperGeometry& g = landscape ? row->landscape : row->portrait;
  return dpi == 600 ? DoubledGeometry(g) : g;
}

const PaperSource* FindPaperSource(int code) {
  for (const PaperSource& s : kPaperSources) {
    if (s.code == code) return &s;
  }
  return nullptr;
}

bool IsValidSourceCode(int code) { return FindPaperSource(code) != nullptr; }

std::string_view PaperSourceCommand(int code) {
  const PaperSource* s = FindPaperSource(code);
  return s != nullptr ? s->pclCommand : kPaperSources[0].pclCommand;
}

std::string_view SeparatorTrayCommand(std::uint32_t tray) {
  static constexpr std::string_view kCommands[] = {"\x1B&l4H", "\x1B&l5H", "\x1B&l8H",
                                                   "\x1B&l9H"};
  return tray < std::size(kCommands) ? kCommands[tray] : std::string_view{};
}

std::string_view MediaTypePjl(int mediaType) {
  for (const MediaType& m : kMediaTypes) {
    if (m.value == mediaType) return m.pjl;
  }
  return kMediaTypes[0].pjl;
}

std::string_view OutputBinPjl(int outputBin) {
  return outputBin == 0 ? kOutputBins[0].pjl : kOutputBins[1].pjl;
}

bool SourceOffered(int sourceCode, std::uint32_t installedOptions) {
  const PaperSource* s = FindPaperSource(sourceCode);
  if (s == nullptr || !s->offered) return false;
  return s->requiredOption == 0 || (installedOptions & s->requiredOption) != 0;
}

// ---- model rows ---------------------------------------------------------------------

namespace {
constexpr std::size_t kModelNameChars = 32;
struct RuntimeName {
  bool set = false;
  std::array<WCHAR, kModelNameChars> text{};
};
std::array<RuntimeName, std::size(kModelRows)> g_modelNames;
}  // namespace

std::size_t ModelRowCount() { return std::size(kModelRows); }

const ModelRow& GetModelRow(std::size_t index) {
  return index < std::size(kModelRows) ? kModelRows[index] : kModelRows[0];
}

const WCHAR* ModelName(std::size_t index) {
  if (index >= g_modelNames.size()) index = 0;
  RuntimeName& n = g_modelNames[index];
  if (!n.set) SetModelName(index, kModelRows[index].name);
  return n.text.data();
}

void SetModelName(std::size_t index, std::u16string_view name) {
  if (index >= g_modelNames.size()) return;
  RuntimeName& n = g_modelNames[index];
  n.text.fill(0);
  const std::size_t len = std::min(name.size(), kModelNameChars - 1);
  std::copy_n(name.begin(), len, n.text.begin());
  n.set = true;
}

const ModelSourceEntry& FindModelSource(const ModelRow& row, int code) {
  for (const ModelSourceEntry& s : row.sources) {
    if (s.code == code) return s;
  }
  return row.sources.front();
}

const ModelPaperEntry* FindModelPaper(const ModelRow& row, int code) {
  if (IsCustomPaperCode(code)) code = kPaperUserSize;
  for (const ModelPaperEntry& p : row.papers) {
    if (static_cast<int>(p.code) == code) return &p;
  }
  return nullptr;
}

}  // namespace kvset
