#include "tools/common/devmode_options.h"

#include "settings/devmode_fields.h"
#include "settings/devmode_record.h"

namespace kvtools {
namespace {

kvset::DevmodeVariant VariantOf(DriverKind kind) {
  return kind == DriverKind::Pcl5e ? kvset::DevmodeVariant::Pcl5e : kvset::DevmodeVariant::PclXl;
}

}  // namespace

std::vector<BYTE> DefaultDevmode(DriverKind kind, std::u16string_view deviceName) {
  const kvset::DevmodeVariant variant = VariantOf(kind);
  std::vector<BYTE> record(kvset::RecordSize(variant));
  const std::u16string name(deviceName);
  kvset::BuildDefaultDevmode(variant, record, name.c_str(), 0);
  return record;
}

bool ApplyDevmodeOption(std::vector<BYTE>& devmode, DriverKind kind, std::string_view assignment,
                        std::string* error) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string_view::npos || equals == 0) {
    if (error) *error = "\"" + std::string(assignment) + "\" is not FIELD=VALUE";
    return false;
  }
  return kvset::SetDevmodeFieldFromText(devmode, VariantOf(kind), assignment.substr(0, equals),
                                        assignment.substr(equals + 1), error);
}

}  // namespace kvtools
