// Kernel services of the platform layer: last error, heaps, files, file
// mappings, temporary names, profile (ini) files, locale, modules, resources.
#pragma once

#include "kvplat/wintypes.h"

// ---- last error -----------------------------------------------------------
KVAPI void SetLastError(DWORD code);
KVAPI DWORD GetLastError();

// ---- memory ---------------------------------------------------------------
inline constexpr DWORD HEAP_NO_SERIALIZE = 0x1;
inline constexpr DWORD HEAP_GENERATE_EXCEPTIONS = 0x4;
inline constexpr DWORD HEAP_ZERO_MEMORY = 0x8;
KVAPI HANDLE GetProcessHeap();
KVAPI HANDLE HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize);
KVAPI BOOL HeapDestroy(HANDLE heap);
KVAPI LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
KVAPI LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID mem, SIZE_T bytes);
KVAPI BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID mem);
KVAPI SIZE_T HeapSize(HANDLE heap, DWORD flags, LPCVOID mem);
inline constexpr UINT LMEM_FIXED = 0x0;
inline constexpr UINT LMEM_ZEROINIT = 0x40;
inline constexpr UINT LPTR = 0x40;
KVAPI HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
KVAPI HLOCAL LocalFree(HLOCAL mem);

// ---- handles, files -------------------------------------------------------
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD FILE_SHARE_DELETE = 0x4;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
inline constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
inline constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_CURRENT = 1;
inline constexpr DWORD FILE_END = 2;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};

KVAPI BOOL CloseHandle(HANDLE handle);
KVAPI HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                         SECURITY_ATTRIBUTES* security, DWORD creationDisposition,
                         DWORD flagsAndAttributes, HANDLE templateFile);
KVAPI BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, void* overlapped);
KVAPI BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                     void* overlapped);
KVAPI DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
KVAPI DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
KVAPI BOOL SetEndOfFile(HANDLE file);
KVAPI BOOL FlushFileBuffers(HANDLE file);
KVAPI BOOL DeleteFileW(LPCWSTR fileName);
KVAPI BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security);
KVAPI BOOL RemoveDirectoryW(LPCWSTR path);
KVAPI DWORD GetFileAttributesW(LPCWSTR path);
KVAPI BOOL CopyFileW(LPCWSTR existing, LPCWSTR newName, BOOL failIfExists);

// ---- file mappings --------------------------------------------------------
inline constexpr DWORD PAGE_READONLY = 0x02;
inline constexpr DWORD PAGE_READWRITE = 0x04;
inline constexpr DWORD FILE_MAP_WRITE = 0x0002;
inline constexpr DWORD FILE_MAP_READ = 0x0004;
inline constexpr DWORD FILE_MAP_ALL_ACCESS = 0xF001F;
// file may be INVALID_HANDLE_VALUE: an anonymous (memfd-backed) mapping of the given size.
KVAPI HANDLE CreateFileMappingW(HANDLE file, SECURITY_ATTRIBUTES* security, DWORD protect,
                                DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name);
KVAPI LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh,
                           DWORD offsetLow, SIZE_T bytesToMap);
KVAPI BOOL UnmapViewOfFile(LPCVOID baseAddress);

// ---- temporary files, system folders ----------------------------------------
KVAPI DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer);
KVAPI UINT GetTempFileNameW(LPCWSTR pathName, LPCWSTR prefix, UINT unique, LPWSTR tempFileName);
KVAPI UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
KVAPI UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size);

// ---- profile files ----------------------------------------------------------
// fileName without a folder is taken in the Windows directory, as Windows does.
KVAPI DWORD GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR defaultValue,
                                     LPWSTR returned, DWORD size, LPCWSTR fileName);
KVAPI UINT GetPrivateProfileIntW(LPCWSTR appName, LPCWSTR keyName, INT defaultValue,
                                 LPCWSTR fileName);
KVAPI BOOL WritePrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR value,
                                      LPCWSTR fileName);
// The same on win.ini of the Windows directory.
KVAPI UINT GetProfileIntW(LPCWSTR appName, LPCWSTR keyName, INT defaultValue);
KVAPI DWORD GetProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR defaultValue,
                              LPWSTR returned, DWORD size);

// ---- locale -----------------------------------------------------------------
inline constexpr LCID LOCALE_USER_DEFAULT = 0x400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x800;
inline constexpr LCTYPE LOCALE_ICOUNTRY = 0x5;
inline constexpr LCTYPE LOCALE_IDEFAULTANSICODEPAGE = 0x1004;
inline constexpr LCTYPE LOCALE_IMEASURE = 0xD;
// The country comes from the root's configuration ([locale] country=, default 1).
KVAPI int GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int size);
KVAPI UINT GetACP();

// ---- time -----------------------------------------------------------------
KVAPI void GetLocalTime(SYSTEMTIME* time);
KVAPI DWORD GetTickCount();
KVAPI void Sleep(DWORD milliseconds);
KVAPI int MulDiv(int number, int numerator, int denominator);

// ---- modules and resources --------------------------------------------------
inline constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x2;
using FARPROC = void (*)();
KVAPI HMODULE LoadLibraryW(LPCWSTR fileName);
KVAPI HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE reserved, DWORD flags);
KVAPI BOOL FreeLibrary(HMODULE module);
KVAPI FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
// module null: the running program.
KVAPI DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
KVAPI HMODULE GetModuleHandleW(LPCWSTR moduleName);

// Integer resource names and types, as MAKEINTRESOURCEW makes them.
inline LPCWSTR MAKEINTRESOURCEW(ULONG_PTR id) { return reinterpret_cast<LPCWSTR>(id); }
inline bool IS_INTRESOURCE(LPCWSTR p) { return (reinterpret_cast<ULONG_PTR>(p) >> 16) == 0; }
inline constexpr ULONG RT_BITMAP = 2;
inline constexpr ULONG RT_DIALOG = 5;
inline constexpr ULONG RT_STRING = 6;
inline constexpr ULONG RT_RCDATA = 10;
KVAPI HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
KVAPI DWORD SizeofResource(HMODULE module, HRSRC resource);
KVAPI HGLOBAL LoadResource(HMODULE module, HRSRC resource);
KVAPI LPVOID LockResource(HGLOBAL data);
// Copies string `id` of the module's string table; bufferMax 0 returns a pointer
// to the read-only string in *buffer (as Windows does) and its length.
KVAPI int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax);
