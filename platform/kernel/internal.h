// Small helpers shared by the kernel services.
#pragma once

#include <string>
#include <string_view>

#include "kvplat/kernel.h"

namespace kvplat {

// Windows error code for an errno of a call on `hostPath` (ENOENT becomes
// ERROR_PATH_NOT_FOUND when the parent folder is missing too).
DWORD ErrorFromErrno(int err, const std::string& hostPath = {});

// Copies text and NUL into buffer when it fits (returns the length without
// the NUL); otherwise returns the size needed including the NUL, as the
// Windows directory queries do.
DWORD CopyPathOut(std::u16string_view text, LPWSTR buffer, DWORD size);

// The Windows directory of the root, "C:\Windows".
inline constexpr std::u16string_view kWindowsDir = u"C:\\Windows";
inline constexpr std::u16string_view kSystemDir = u"C:\\Windows\\System32";
inline constexpr std::u16string_view kTempDir = u"C:\\Windows\\Temp\\";

}  // namespace kvplat
