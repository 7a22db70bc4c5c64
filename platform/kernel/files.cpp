// Files, folders, temporary names and the system folders.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "handles.h"
#include "internal.h"
#include "kvplat/fault.h"
#include "kvplat/root.h"

namespace kvplat {
namespace {

struct FileObject {
  HandleObject base;
  std::string hostPath;
  bool deleteOnClose = false;
};

void DestroyFile(HandleObject* object) {
  auto* file = reinterpret_cast<FileObject*>(object);
  if (file->deleteOnClose) unlink(file->hostPath.c_str());
  delete file;
}

bool ParentExists(const std::string& hostPath) {
  const std::size_t slash = hostPath.find_last_of('/');
  if (slash == std::string::npos) return true;
  const std::string parent = slash == 0 ? std::string("/") : hostPath.substr(0, slash);
  struct stat info;
  return stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int FileFd(HANDLE handle) {
  HandleObject* object = LookupHandle(handle, HandleKind::Any);
  if (object == nullptr) return -1;
  if ((object->kind != HandleKind::File && object->kind != HandleKind::Pipe) || object->fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  return object->fd;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

}  // namespace

DWORD ErrorFromErrno(int err, const std::string& hostPath) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
      return (hostPath.empty() || ParentExists(hostPath)) ? ERROR_FILE_NOT_FOUND
                                                         : ERROR_PATH_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EIO: return ERROR_WRITE_FAULT;
    default: return ERROR_INVALID_FUNCTION;
  }
}

DWORD CopyPathOut(std::u16string_view text, LPWSTR buffer, DWORD size) {
  if (buffer == nullptr || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  text.copy(buffer, text.size());
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

}  // namespace kvplat

using namespace kvplat;

KVAPI HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD /*shareMode*/,
                         SECURITY_ATTRIBUTES* security, DWORD creationDisposition,
                         DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
  if (fileName == nullptr || fileName[0] == 0) {
    SetLastError(fileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (fault::ShouldFail(fault::Point::CreateFile)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  constexpr DWORD kGenericAll = 0x10000000u;
  constexpr DWORD kWriteBits = GENERIC_WRITE | kGenericAll | 0x2 /*FILE_WRITE_DATA*/ |
                               0x4 /*FILE_APPEND_DATA*/;
  constexpr DWORD kReadBits = GENERIC_READ | kGenericAll | 0x1 /*FILE_READ_DATA*/;
  const bool wantWrite = (desiredAccess & kWriteBits) != 0;
  const bool wantRead = (desiredAccess & kReadBits) != 0 || !wantWrite;
  int flags = wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  const bool inheritable = security != nullptr && security->bInheritHandle;
  if (!inheritable) flags |= O_CLOEXEC;

  const std::string path = HostPath(fileName);
  struct stat info;
  const bool existed = stat(path.c_str(), &info) == 0;
  if (existed && S_ISDIR(info.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  bool truncate = false;
  switch (creationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT; truncate = true; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!wantWrite) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      truncate = true;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  if (truncate && wantWrite) flags |= O_TRUNC;
  const mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  int fd = open(path.c_str(), flags, mode);
  if (fd < 0) {
    const int err = errno;
    SetLastError(err == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(err, path));
    return INVALID_HANDLE_VALUE;
  }
  if (truncate && !wantWrite && ftruncate(fd, 0) != 0) {
    // A read-only handle on a file to be recreated: truncate through the path.
    if (::truncate(path.c_str(), 0) != 0) {
      const int err = errno;
      close(fd);
      SetLastError(ErrorFromErrno(err, path));
      return INVALID_HANDLE_VALUE;
    }
  }
  fd = RaiseFd(fd, !inheritable);
  if (fd < 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }
  auto* file = new FileObject;
  file->base.kind = HandleKind::File;
  file->base.fd = fd;
  file->base.destroy = DestroyFile;
  file->hostPath = path;
  file->deleteOnClose = (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  HANDLE handle = RegisterHandle(&file->base);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  // Opening over an existing file with CREATE_ALWAYS / OPEN_ALWAYS succeeds
  // and says so through the last error.
  const bool reportsExisting =
      creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
  SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

KVAPI BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, void* /*overlapped*/) {
  if (read != nullptr) *read = 0;
  const int fd = FileFd(file);
  if (fd < 0) return FALSE;
  if (buffer == nullptr && toRead > 0) return Fail(ERROR_INVALID_PARAMETER);
  DWORD done = 0;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (done < toRead) {
    const ssize_t got = ::read(fd, bytes + done, toRead - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (read != nullptr) *read = done;
      return Fail(errno == EISDIR ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
    }
    if (got == 0) break;  // end of file: success with fewer bytes
    done += static_cast<DWORD>(got);
  }
  if (read != nullptr) *read = done;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

KVAPI BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                     void* /*overlapped*/) {
  if (written != nullptr) *written = 0;
  const int fd = FileFd(file);
  if (fd < 0) return FALSE;
  if (buffer == nullptr && toWrite > 0) return Fail(ERROR_INVALID_PARAMETER);
  DWORD done = 0;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  while (done < toWrite) {
    const ssize_t put = ::write(fd, bytes + done, toWrite - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (written != nullptr) *written = done;
      return Fail(errno == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
    }
    done += static_cast<DWORD>(put);
  }
  if (written != nullptr) *written = done;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

KVAPI DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
  const int fd = FileFd(file);
  if (fd < 0) return INVALID_SET_FILE_POINTER;
  std::int64_t offset = distance;
  if (distanceHigh != nullptr) {
    offset = static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceHigh)) << 32) |
                                       static_cast<std::uint32_t>(distance));
  }
  int whence;
  switch (method) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
  }
  const off_t position = lseek(fd, offset, whence);
  if (position < 0) {
    SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : ErrorFromErrno(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh != nullptr) {
    *distanceHigh = static_cast<LONG>(static_cast<std::uint64_t>(position) >> 32);
  } else if (position > 0xFFFFFFFEll) {
    // A 32-bit caller cannot be told a position this large.
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(position);
}

KVAPI DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  const int fd = FileFd(file);
  if (fd < 0) return INVALID_FILE_SIZE;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

KVAPI BOOL SetEndOfFile(HANDLE file) {
  const int fd = FileFd(file);
  if (fd < 0) return FALSE;
  const off_t position = lseek(fd, 0, SEEK_CUR);
  if (position < 0 || ftruncate(fd, position) != 0) {
    return Fail(errno == EINVAL || errno == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
  }
  return TRUE;
}

KVAPI BOOL FlushFileBuffers(HANDLE file) {
  const int fd = FileFd(file);
  if (fd < 0) return FALSE;
  if (fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS) return Fail(ErrorFromErrno(errno));
  return TRUE;
}

KVAPI BOOL DeleteFileW(LPCWSTR fileName) {
  if (fileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const std::string path = HostPath(fileName);
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (unlink(path.c_str()) != 0) return Fail(ErrorFromErrno(errno, path));
  return TRUE;
}

KVAPI BOOL CreateDirectoryW(LPCWSTR pathName, SECURITY_ATTRIBUTES* /*security*/) {
  if (pathName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const std::string path = HostPath(pathName);
  if (mkdir(path.c_str(), 0777) != 0) {
    const int err = errno;
    return Fail(err == EEXIST ? ERROR_ALREADY_EXISTS
                              : err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err, path));
  }
  return TRUE;
}

KVAPI BOOL RemoveDirectoryW(LPCWSTR pathName) {
  if (pathName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const std::string path = HostPath(pathName);
  if (rmdir(path.c_str()) != 0) {
    const int err = errno;
    return Fail(err == ENOTDIR ? ERROR_DIRECTORY : ErrorFromErrno(err, path));
  }
  return TRUE;
}

KVAPI DWORD GetFileAttributesW(LPCWSTR pathName) {
  if (pathName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  const std::string path = HostPath(pathName);
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    SetLastError(ErrorFromErrno(errno, path));
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(info.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return (info.st_mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}

KVAPI BOOL CopyFileW(LPCWSTR existing, LPCWSTR newName, BOOL failIfExists) {
  if (existing == nullptr || newName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const std::string from = HostPath(existing);
  const std::string to = HostPath(newName);
  struct stat info;
  if (stat(from.c_str(), &info) != 0) return Fail(ErrorFromErrno(errno, from));
  if (S_ISDIR(info.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  struct stat target;
  if (stat(to.c_str(), &target) == 0) {
    if (failIfExists) return Fail(ERROR_FILE_EXISTS);
    if (S_ISDIR(target.st_mode) || (target.st_mode & 0222) == 0) return Fail(ERROR_ACCESS_DENIED);
    if (target.st_dev == info.st_dev && target.st_ino == info.st_ino) {
      return Fail(ERROR_SHARING_VIOLATION);
    }
  }
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return Fail(ErrorFromErrno(ec.value(), to));
  return TRUE;
}

// ---- temporary files and system folders -------------------------------------

KVAPI DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer) {
  if (fault::ShouldFail(fault::Point::TempPath)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  return CopyPathOut(kTempDir, buffer, bufferLength);
}

KVAPI UINT GetTempFileNameW(LPCWSTR pathName, LPCWSTR prefix, UINT unique, LPWSTR tempFileName) {
  if (pathName == nullptr || tempFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string base(pathName);
  if (!base.empty() && base.back() != u'\\' && base.back() != u'/') base += u'\\';
  for (std::size_t i = 0; i < 3 && prefix != nullptr && prefix[i] != 0; ++i) base += prefix[i];

  auto nameFor = [&](UINT number) {
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    std::u16string digits;
    do {
      digits.insert(digits.begin(), kHex[number & 0xF]);
      number >>= 4;
    } while (number != 0);
    return base + digits + u".tmp";
  };
  auto store = [&](const std::u16string& name) {
    if (name.size() >= MAX_PATH) {
      SetLastError(ERROR_BUFFER_OVERFLOW);
      return false;
    }
    name.copy(tempFileName, name.size());
    tempFileName[name.size()] = 0;
    return true;
  };

  if (unique != 0) {
    unique &= 0xFFFF;
    if (unique == 0) unique = 1;
    if (!store(nameFor(unique))) return 0;
    SetLastError(ERROR_SUCCESS);
    return unique;
  }
  // Find a free number, starting from the clock, and create the file.
  UINT start = (static_cast<UINT>(GetTickCount()) ^ static_cast<UINT>(getpid())) & 0xFFFF;
  if (start == 0) start = 1;
  UINT number = start;
  do {
    const std::u16string name = nameFor(number);
    const std::string path = HostPath(name);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      if (!store(name)) {
        unlink(path.c_str());
        return 0;
      }
      SetLastError(ERROR_SUCCESS);
      return number;
    }
    if (errno != EEXIST) {
      const int err = errno;
      SetLastError(err == ENOENT ? ERROR_DIRECTORY : ErrorFromErrno(err, path));
      return 0;
    }
    number = (number & 0xFFFF) + 1;
    if (number > 0xFFFF) number = 1;
  } while (number != start);
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

KVAPI UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  return CopyPathOut(kSystemDir, buffer, size);
}

KVAPI UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
  return CopyPathOut(kWindowsDir, buffer, size);
}
