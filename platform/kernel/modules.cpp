// Modules (dlopen'ed ELF files under their Windows names) and their resources.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "kvplat/fault.h"
#include "kvplat/resources.h"
#include "kvplat/root.h"

namespace kvplat {
namespace {

constexpr std::uint32_t kModuleMagic = 0x4B564D44;  // "DMVK"
constexpr DWORD kDllProcessDetach = 0;
constexpr DWORD kDllProcessAttach = 1;
constexpr DWORD kErrorDllInitFailed = 1114;

using DllMainProc = BOOL (*)(HINSTANCE, DWORD, LPVOID);

struct Module {
  std::uint32_t magic = kModuleMagic;
  void* dl = nullptr;
  link_map* map = nullptr;
  std::string hostPath;
  dev_t device = 0;
  ino_t inode = 0;
  int references = 0;
  bool attached = false;  // DllMain saw DLL_PROCESS_ATTACH
  bool program = false;
  const KvResourceDirectory* resources = nullptr;
};

struct ModuleTable {
  std::recursive_mutex lock;  // held across DllMain, which may load modules itself
  std::vector<Module*> modules;
  Module* program = nullptr;
};

ModuleTable& Table() {
  static ModuleTable* table = new ModuleTable;
  return *table;
}

HINSTANCE AsInstance(Module* module) { return reinterpret_cast<HINSTANCE>(module); }

// A symbol defined by this module itself (not by a library it depends on).
void* OwnSymbol(Module* module, const char* name) {
  void* symbol = dlsym(module->dl, name);
  if (symbol == nullptr) return nullptr;
  Dl_info info;
  link_map* owner = nullptr;
  if (dladdr1(symbol, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0) return nullptr;
  return owner == module->map ? symbol : nullptr;
}

std::string ProgramPath() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

Module* Program() {
  ModuleTable& table = Table();
  std::lock_guard guard(table.lock);
  if (table.program == nullptr) {
    auto* module = new Module;
    module->dl = dlopen(nullptr, RTLD_NOW);
    dlinfo(module->dl, RTLD_DI_LINKMAP, &module->map);
    module->hostPath = ProgramPath();
    module->references = 1;
    module->attached = true;
    module->program = true;
    module->resources = static_cast<const KvResourceDirectory*>(OwnSymbol(module, kKvResourceSymbol));
    table.program = module;
  }
  return table.program;
}

// The module record behind a handle (null: the program), or null when the
// handle is unknown.
Module* Find(HMODULE handle) {
  if (handle == nullptr) return Program();
  auto* module = reinterpret_cast<Module*>(handle);
  ModuleTable& table = Table();
  std::lock_guard guard(table.lock);
  if (module == table.program) return module;
  return std::find(table.modules.begin(), table.modules.end(), module) != table.modules.end()
             ? module
             : nullptr;
}

bool SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::u16string_view BaseName(std::u16string_view path) {
  const std::size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

// "name" -> "name.dll"; "name." -> "name" (a trailing dot means no extension).
std::u16string WithExtension(std::u16string_view name) {
  std::u16string out(name);
  const std::u16string_view base = BaseName(out);
  if (!base.empty() && base.back() == u'.') {
    out.pop_back();
  } else if (base.find(u'.') == std::u16string_view::npos) {
    out += u".dll";
  }
  return out;
}

bool HasFolder(std::u16string_view name) {
  return name.find_first_of(u"\\/") != std::u16string_view::npos ||
         (name.size() >= 2 && name[1] == u':');
}

Module* FindLoadedByName(std::u16string_view name) {
  ModuleTable& table = Table();
  std::lock_guard guard(table.lock);
  for (Module* module : table.modules) {
    if (SameIgnoringCase(BaseName(ToUtf16(module->hostPath)), name)) return module;
  }
  return nullptr;
}

// The host file for a module name: a path as given, a bare name searched in
// the program's folder, the system folder, the Windows folder and the
// current folder.
std::string Resolve(std::u16string_view fileName) {
  const std::u16string name = WithExtension(fileName);
  if (HasFolder(name)) return HostPath(name);
  std::vector<std::string> folders;
  const std::string program = ProgramPath();
  if (const std::size_t slash = program.find_last_of('/'); slash != std::string::npos) {
    folders.push_back(program.substr(0, slash));
  }
  folders.push_back(HostPath(kSystemDir));
  folders.push_back(HostPath(kWindowsDir));
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) != nullptr) folders.emplace_back(cwd);
  for (const std::string& folder : folders) {
    const std::string candidate = HostPath(WinPath(folder) + u"\\" + name);
    if (access(candidate.c_str(), F_OK) == 0) return candidate;
  }
  return HostPath(name);
}

bool Attach(Module* module) {
  if (module->attached) return true;
  module->attached = true;
  auto entry = reinterpret_cast<DllMainProc>(OwnSymbol(module, "DllMain"));
  if (entry == nullptr) return true;
  if (entry(AsInstance(module), kDllProcessAttach, nullptr)) return true;
  // A refused attach is undone at once, as Windows does.
  entry(AsInstance(module), kDllProcessDetach, nullptr);
  module->attached = false;
  return false;
}

void Unload(Module* module) {
  ModuleTable& table = Table();
  table.modules.erase(std::remove(table.modules.begin(), table.modules.end(), module),
                      table.modules.end());
  dlclose(module->dl);
  module->magic = 0;
  delete module;
}

HMODULE Load(LPCWSTR fileName, bool asData) {
  if (fileName == nullptr || fileName[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (fault::ShouldFail(fault::Point::LoadModule)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const std::u16string_view name(fileName);
  ModuleTable& table = Table();
  std::lock_guard guard(table.lock);
  std::string path;
  if (!HasFolder(name)) {
    if (Module* loaded = FindLoadedByName(WithExtension(name))) path = loaded->hostPath;
  }
  if (path.empty()) path = Resolve(name);
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  for (Module* module : table.modules) {
    if (module->device == info.st_dev && module->inode == info.st_ino) {
      if (!asData && !Attach(module)) {
        SetLastError(kErrorDllInitFailed);
        return nullptr;
      }
      ++module->references;
      return AsInstance(module);
    }
  }
  void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (dl == nullptr) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  auto* module = new Module;
  module->dl = dl;
  dlinfo(dl, RTLD_DI_LINKMAP, &module->map);
  module->hostPath = path;
  module->device = info.st_dev;
  module->inode = info.st_ino;
  module->references = 1;
  module->resources = static_cast<const KvResourceDirectory*>(OwnSymbol(module, kKvResourceSymbol));
  table.modules.push_back(module);
  if (!asData && !Attach(module)) {
    Unload(module);
    SetLastError(kErrorDllInitFailed);
    return nullptr;
  }
  return AsInstance(module);
}

// ---- resources ----------------------------------------------------------------

// Integer ids, also written "#123" as text.
bool IntegerId(LPCWSTR name, std::uint32_t* id) {
  if (IS_INTRESOURCE(name)) {
    *id = static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(name));
    return true;
  }
  if (name[0] != u'#' || name[1] == 0) return false;
  std::uint32_t value = 0;
  for (const WCHAR* p = name + 1; *p != 0; ++p) {
    if (*p < u'0' || *p > u'9') return false;
    value = value * 10 + static_cast<std::uint32_t>(*p - u'0');
  }
  *id = value;
  return true;
}

bool Matches(std::uint32_t entryId, const char16_t* entryName, LPCWSTR wanted) {
  std::uint32_t id = 0;
  if (IntegerId(wanted, &id)) return entryName == nullptr && entryId == id;
  return entryName != nullptr && SameIgnoringCase(entryName, wanted);
}

const KvResourceEntry* EntryOf(Module* module, HRSRC resource) {
  if (module == nullptr || module->resources == nullptr || resource == nullptr) return nullptr;
  const auto* entry = reinterpret_cast<const KvResourceEntry*>(resource);
  const KvResourceEntry* first = module->resources->entries;
  if (entry < first || entry >= first + module->resources->count) return nullptr;
  return entry;
}

}  // namespace
}  // namespace kvplat

using namespace kvplat;

KVAPI HMODULE LoadLibraryW(LPCWSTR fileName) { return Load(fileName, false); }

KVAPI HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE /*reserved*/, DWORD flags) {
  return Load(fileName, (flags & LOAD_LIBRARY_AS_DATAFILE) != 0);
}

KVAPI BOOL FreeLibrary(HMODULE handle) {
  ModuleTable& table = Table();
  std::lock_guard guard(table.lock);
  Module* module = handle != nullptr ? Find(handle) : nullptr;
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (module->program) return TRUE;
  if (--module->references > 0) return TRUE;
  if (module->attached) {
    if (auto entry = reinterpret_cast<DllMainProc>(OwnSymbol(module, "DllMain"))) {
      entry(AsInstance(module), kDllProcessDetach, nullptr);
    }
  }
  Unload(module);
  return TRUE;
}

KVAPI FARPROC GetProcAddress(HMODULE handle, LPCSTR procName) {
  Module* module = Find(handle);
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (procName == nullptr || IS_INTRESOURCE(reinterpret_cast<LPCWSTR>(procName))) {
    SetLastError(ERROR_PROC_NOT_FOUND);  // no export ordinals here
    return nullptr;
  }
  void* symbol = dlsym(module->dl, procName);
  if (symbol == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

KVAPI DWORD GetModuleFileNameW(HMODULE handle, LPWSTR fileName, DWORD size) {
  Module* module = Find(handle);
  if (module == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  const std::u16string path = WinPath(module->hostPath);
  if (fileName == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < size) {
    path.copy(fileName, path.size());
    fileName[path.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  // Cut and terminated, as Windows does.
  path.copy(fileName, size - 1);
  fileName[size - 1] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

KVAPI HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  if (moduleName == nullptr) return AsInstance(Program());
  const std::u16string name = WithExtension(moduleName);
  ModuleTable& table = Table();
  std::lock_guard guard(table.lock);
  if (HasFolder(name)) {
    const std::string path = HostPath(name);
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
      for (Module* module : table.modules) {
        if (module->device == info.st_dev && module->inode == info.st_ino) return AsInstance(module);
      }
    }
  } else if (Module* module = FindLoadedByName(name)) {
    return AsInstance(module);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

KVAPI HRSRC FindResourceW(HMODULE handle, LPCWSTR name, LPCWSTR type) {
  Module* module = Find(handle);
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (name == nullptr || type == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (module->resources == nullptr) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  bool typeSeen = false;
  const KvResourceDirectory& directory = *module->resources;
  for (std::uint32_t i = 0; i < directory.count; ++i) {
    const KvResourceEntry& entry = directory.entries[i];
    if (!Matches(entry.type, entry.typeName, type)) continue;
    typeSeen = true;
    if (Matches(entry.id, entry.name, name)) {
      return reinterpret_cast<HRSRC>(const_cast<KvResourceEntry*>(&entry));
    }
  }
  SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

KVAPI DWORD SizeofResource(HMODULE handle, HRSRC resource) {
  const KvResourceEntry* entry = EntryOf(Find(handle), resource);
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return entry->size;
}

KVAPI HGLOBAL LoadResource(HMODULE handle, HRSRC resource) {
  const KvResourceEntry* entry = EntryOf(Find(handle), resource);
  if (entry == nullptr || entry->data == nullptr) {
    SetLastError(entry == nullptr ? ERROR_INVALID_HANDLE : ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  return const_cast<std::uint8_t*>(entry->data);
}

KVAPI LPVOID LockResource(HGLOBAL data) { return data; }

KVAPI int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) {
  if (buffer == nullptr || bufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto missing = [&] {
    if (bufferMax > 0) buffer[0] = 0;
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  };
  HRSRC block = FindResourceW(instance, MAKEINTRESOURCEW(id / 16 + 1), MAKEINTRESOURCEW(RT_STRING));
  const KvResourceEntry* entry = EntryOf(Find(instance), block);
  if (entry == nullptr || entry->data == nullptr) return missing();
  // Sixteen entries: a length in UTF-16 units, then that many units.
  std::size_t offset = 0;
  std::uint16_t length = 0;
  for (UINT index = 0;; ++index) {
    if (offset + 2 > entry->size) return missing();
    std::memcpy(&length, entry->data + offset, 2);
    offset += 2;
    if (index == id % 16) break;
    offset += std::size_t{length} * 2;
  }
  if (offset + std::size_t{length} * 2 > entry->size || length == 0) return missing();
  const std::uint8_t* text = entry->data + offset;
  if (bufferMax == 0) {
    // The read-only text itself, not terminated.
    const auto* pointer = reinterpret_cast<const WCHAR*>(text);
    std::memcpy(buffer, &pointer, sizeof pointer);
    SetLastError(ERROR_SUCCESS);
    return length;
  }
  const int copied = std::min<int>(length, bufferMax - 1);
  std::memcpy(buffer, text, static_cast<std::size_t>(copied) * 2);
  buffer[copied] = 0;
  SetLastError(ERROR_SUCCESS);
  return copied;
}
