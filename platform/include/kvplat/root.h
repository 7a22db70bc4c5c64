// Where the Windows file system lives on this machine. Every path the drivers
// see is a Windows path ("C:\Windows\System32\..."); drive letters map into one
// root folder (C: -> <root>/C), and Z: maps to the host's "/" so that files
// outside the root (a build tree, a user's document) can still be named.
#pragma once

#include <string>
#include <string_view>

#include "kvplat/wintypes.h"

namespace kvplat {

// UTF-8 <-> UTF-16 (invalid sequences become U+FFFD).
std::u16string ToUtf16(std::string_view utf8);
std::string ToUtf8(std::u16string_view utf16);
// Length of a NUL-terminated UTF-16 string (0 for null).
std::size_t WideLength(const WCHAR* s);

// The root in force for this process. Chosen once: SetRoot(), else KV_ROOT,
// else the default root in the user's data folder ($XDG_DATA_HOME or
// ~/.local/share, then "kelvaro-zt7700/root").
std::string DefaultRootDir();
const std::string& RootDir();
// Sets the root (absolute or relative host path) for the rest of the process.
void SetRoot(std::string_view hostDir);
// Creates the skeleton of a root when missing (Windows, System32, spooler and
// driver folders, temp, Users\Public, win.ini, the platform's kvroot.ini).
// Returns false with a message when the folder cannot be created or written.
bool EnsureRoot(std::string* error);

// Host path for a Windows path. Both separators are accepted; "C:\x" and
// "\x" (current drive C:) map into the root; existing components are matched
// case-insensitively, as Windows would. A path without a drive or leading
// separator is relative to the host's current directory.
std::string HostPath(std::u16string_view winPath);
std::string HostPath(const WCHAR* winPath);
// Windows path for a host path: inside the root "C:\...", else "Z:\...".
std::u16string WinPath(std::string_view hostPath);

// The platform's own settings of the root (<root>/kvroot.ini), such as the
// user's country ([locale] country=44). Reads give `fallback` when absent.
std::string RootSetting(std::string_view section, std::string_view key,
                        std::string_view fallback);
bool SetRootSetting(std::string_view section, std::string_view key, std::string_view value);

}  // namespace kvplat
