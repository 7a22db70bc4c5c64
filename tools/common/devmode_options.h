// Device mode records for the tools: the drivers' defaults, and fields set by
// name from the command line ("dmPaperSize=9", "nupPages=4").
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kvplat/wintypes.h"
#include "tools/common/driver_install.h"

namespace kvtools {

// The default record of a driver kind, with the device name filled in.
std::vector<BYTE> DefaultDevmode(DriverKind kind, std::u16string_view deviceName);

// Applies "FIELD=VALUE" to a whole record of that kind. FIELD is any field of
// the record by its own name; setting a public member also sets its dmFields
// bit. Numbers may be decimal or 0x-hex; string fields take the text.
bool ApplyDevmodeOption(std::vector<BYTE>& devmode, DriverKind kind, std::string_view assignment,
                        std::string* error);

}  // namespace kvtools
