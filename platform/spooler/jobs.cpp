// Print jobs: StartDocPrinterW opens a spool file, WritePrinter appends to it,
// EndDocPrinter delivers it whole to the port (a file replaced atomically, a
// folder that receives one file per job, the document's output name for
// "FILE:", or a raw TCP socket) and AbortPrinter drops it. A job that lost a
// write is dropped at EndDocPrinter too, which then fails with the write's error.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "kvplat/fault.h"
#include "kvplat/kernel.h"
#include "kvplat/root.h"
#include "spool_internal.h"

namespace fs = std::filesystem;
using namespace kvplat::spool::detail;

namespace {

constexpr int kConnectTimeoutMs = 10000;  // to reach the printer
constexpr int kSendStallMs = 30000;       // without progress while sending
constexpr int kDrainMs = 5000;            // for the printer to close after our end
constexpr std::size_t kCopyChunk = 64 * 1024;

std::atomic<DWORD> gNextJobId{1};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool IsRawDatatype(const WCHAR* datatype) {
  const std::u16string d = FromWide(datatype);
  return d.empty() || (d.size() >= 3 && EqualNoCase(d.substr(0, 3), u"RAW"));
}

// ---- copying the spool file -------------------------------------------------------

// Calls `sink(data, size)` for the whole spool file; the sink returns
// ERROR_SUCCESS or an error that stops the copy.
template <typename Sink>
DWORD ForEachChunk(int spoolFd, Sink&& sink) {
  std::vector<std::uint8_t> chunk(kCopyChunk);
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(spoolFd, chunk.data(), chunk.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ERROR_READ_FAULT;
    }
    if (n == 0) return ERROR_SUCCESS;
    offset += n;
    const DWORD error = sink(chunk.data(), static_cast<std::size_t>(n));
    if (error != ERROR_SUCCESS) return error;
  }
}

DWORD WriteAllFd(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrorFromErrno(errno);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return ERROR_SUCCESS;
}

// Copies the job into a new temporary file `temp`; removes it on failure.
DWORD CopyToNewFile(int spoolFd, const std::string& temp) {
  const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) return ErrorFromErrno(errno);
  DWORD error = ForEachChunk(spoolFd, [out](const std::uint8_t* data, std::size_t size) {
    return WriteAllFd(out, data, size);
  });
  // No fsync: the rename that follows shows the whole job or nothing, and a
  // port file is printer output, not a setting that must survive a power cut
  // (waiting for the disk would double the time of a one-page job).
  if (::close(out) != 0 && error == ERROR_SUCCESS) error = ErrorFromErrno(errno);
  if (error != ERROR_SUCCESS) ::unlink(temp.c_str());
  return error;
}

// ---- ports --------------------------------------------------------------------------

// One file per job in a folder: job<id>.prn, never replacing an earlier one.
DWORD DeliverToFolder(int spoolFd, DWORD jobId, const std::string& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return ERROR_PATH_NOT_FOUND;
  const std::string temp = TempNameFor(folder + "/.job");
  DWORD error = CopyToNewFile(spoolFd, temp);
  if (error != ERROR_SUCCESS) return error;
  error = ERROR_FILE_EXISTS;
  for (int n = 0; n < 10000 && error == ERROR_FILE_EXISTS; ++n) {
    char leaf[64];
    if (n == 0) {
      std::snprintf(leaf, sizeof leaf, "job%05u.prn", static_cast<unsigned>(jobId));
    } else {
      std::snprintf(leaf, sizeof leaf, "job%05u-%d.prn", static_cast<unsigned>(jobId), n);
    }
    // link() never replaces an existing name.
    error = ::link(temp.c_str(), (folder + "/" + leaf).c_str()) == 0 ? ERROR_SUCCESS : ErrorFromErrno(errno);
  }
  ::unlink(temp.c_str());
  return error;
}

// Replaces the file whole: a failed job leaves the old file (or none), never
// half of the new one.
DWORD DeliverToFile(int spoolFd, DWORD jobId, const std::u16string& winPath) {
  const std::string path = kvplat::HostPath(winPath);
  std::error_code ec;
  if (fs::is_directory(path, ec)) return DeliverToFolder(spoolFd, jobId, path);
  const std::string temp = TempNameFor(path);
  const DWORD error = CopyToNewFile(spoolFd, temp);
  if (error != ERROR_SUCCESS) return error;
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return ErrorFromErrno(err);
  }
  return ERROR_SUCCESS;
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `events` on `fd`; false with *error set on timeout or failure.
bool WaitFor(int fd, short events, int timeoutMs, DWORD* error) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, timeoutMs);
    if (n > 0) return true;
    if (n == 0) {
      *error = ERROR_TIMEOUT;
      return false;
    }
    if (errno != EINTR) {
      *error = ErrorFromErrno(errno);
      return false;
    }
  }
}

// Connects to host:port within the connect timeout; returns the socket or -1.
int Connect(const std::string& host, std::uint16_t port, DWORD* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
    *error = ERROR_BAD_NETPATH;
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
  int connected = -1;
  *error = ERROR_BAD_NETPATH;
  for (addrinfo* ai = found; ai != nullptr && connected < 0; ai = ai->ai_next) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      *error = ErrorFromErrno(errno);
      continue;
    }
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      if (WaitFor(fd, POLLOUT, MsLeft(deadline), error)) {
        int soError = 0;
        socklen_t len = sizeof soError;
        rc = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0 ? 0 : -1;
        if (rc != 0) *error = ErrorFromErrno(soError != 0 ? soError : errno);
      }
    } else if (rc != 0) {
      *error = ErrorFromErrno(errno);
    }
    if (rc == 0) {
      connected = fd;
    } else {
      ::close(fd);
    }
  }
  ::freeaddrinfo(found);
  return connected;
}

// Sends the job over a raw TCP connection (as network printers take jobs on
// port 9100): connect, send everything, end our side, let the printer close.
DWORD DeliverToSocket(int spoolFd, const std::string& host, std::uint16_t port) {
  DWORD error = ERROR_SUCCESS;
  const int fd = Connect(host, port, &error);
  if (fd < 0) return error;
  error = ForEachChunk(spoolFd, [fd](const std::uint8_t* data, std::size_t size) -> DWORD {
    while (size > 0) {
      const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
      if (n >= 0) {
        data += n;
        size -= static_cast<std::size_t>(n);
        continue;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return ErrorFromErrno(errno);
      DWORD waitError = ERROR_SUCCESS;
      if (!WaitFor(fd, POLLOUT, kSendStallMs, &waitError)) return waitError;
    }
    return ERROR_SUCCESS;
  });
  if (error == ERROR_SUCCESS && ::shutdown(fd, SHUT_WR) != 0) error = ErrorFromErrno(errno);
  if (error == ERROR_SUCCESS) {
    // Read (and drop) what the printer sends until it closes, so that closing
    // with unread data does not reset the connection under the last bytes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMs);
    std::uint8_t sink[4096];
    for (;;) {
      DWORD waitError = ERROR_SUCCESS;
      if (!WaitFor(fd, POLLIN, MsLeft(deadline), &waitError)) break;
      const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
  }
  ::close(fd);
  return error;
}

DWORD Deliver(const Job& job) {
  // A document's output name overrides the port, as printing to a file does.
  if (!job.outputFile.empty()) return DeliverToFile(job.fd, job.id, job.outputFile);
  const PortTarget target = ParsePort(job.port);
  switch (target.kind) {
    case PortKind::OutputName: return ERROR_INVALID_PARAMETER;  // "FILE:" needs an output name
    case PortKind::File: return DeliverToFile(job.fd, job.id, target.path);
    case PortKind::Folder: return DeliverToFolder(job.fd, job.id, kvplat::HostPath(target.path));
    case PortKind::Socket: return DeliverToSocket(job.fd, target.host, target.port);
    case PortKind::Invalid: break;
  }
  return ERROR_UNKNOWN_PORT;
}

}  // namespace

DWORD StartDocPrinterW(HANDLE printer, DWORD level, LPBYTE docInfo) {
  const auto handle = FindHandle(printer);
  if (!handle) return 0;
  if (level != 1) return Fail(ERROR_INVALID_LEVEL);
  if (docInfo == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto* info = reinterpret_cast<const DOC_INFO_1W*>(docInfo);
  if (!IsRawDatatype(info->pDatatype)) return Fail(ERROR_INVALID_DATATYPE);
  std::lock_guard lock(handle->mutex);
  if (handle->job) return Fail(ERROR_INVALID_PRINTER_STATE);
  const auto record = LoadPrinter(handle->name);
  if (!record) return Fail(ERROR_INVALID_PRINTER_NAME);

  const std::string dir = JobsDir();
  std::error_code ec;
  fs::create_directories(dir, ec);
  Job job;
  for (int attempt = 0; attempt < 100000 && job.fd < 0; ++attempt) {
    DWORD id = gNextJobId++;
    if (id == 0) id = gNextJobId++;
    char leaf[32];
    std::snprintf(leaf, sizeof leaf, "/%05u.SPL", static_cast<unsigned>(id));
    const std::string path = dir + leaf;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      job.id = id;
      job.fd = fd;
      job.spoolPath = path;
    } else if (errno != EEXIST) {
      return Fail(ErrorFromErrno(errno));
    }
  }
  if (job.fd < 0) return Fail(ERROR_TOO_MANY_OPEN_FILES);
  job.docName = FromWide(info->pDocName);
  job.outputFile = FromWide(info->pOutputFile);
  job.port = record->port;
  handle->job = std::move(job);
  return handle->job->id;
}

BOOL StartPagePrinter(HANDLE printer) {
  const auto handle = FindHandle(printer);
  if (!handle) return FALSE;
  std::lock_guard lock(handle->mutex);
  if (!handle->job) return Fail(ERROR_SPL_NO_STARTDOC);
  handle->job->pageOpen = true;
  ++handle->job->pages;
  return TRUE;
}

BOOL EndPagePrinter(HANDLE printer) {
  const auto handle = FindHandle(printer);
  if (!handle) return FALSE;
  std::lock_guard lock(handle->mutex);
  if (!handle->job) return Fail(ERROR_SPL_NO_STARTDOC);
  handle->job->pageOpen = false;
  return TRUE;
}

BOOL WritePrinter(HANDLE printer, LPVOID buffer, DWORD size, LPDWORD written) {
  if (written != nullptr) *written = 0;
  const auto handle = FindHandle(printer);
  if (!handle) return FALSE;
  if (written == nullptr || (buffer == nullptr && size > 0)) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(handle->mutex);
  if (!handle->job) return Fail(ERROR_SPL_NO_STARTDOC);
  if (size == 0) return TRUE;

  std::uint64_t allowed = size;
  const bool injected = kvplat::fault::ShouldFail(kvplat::fault::Point::WritePrinter, size, &allowed);
  const std::size_t toWrite = injected ? static_cast<std::size_t>(std::min<std::uint64_t>(allowed, size)) : size;
  const auto* data = static_cast<const std::uint8_t*>(buffer);
  std::size_t done = 0;
  DWORD error = ERROR_SUCCESS;
  while (done < toWrite) {
    const ssize_t n = ::write(handle->job->fd, data + done, toWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = ErrorFromErrno(errno);
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  handle->job->bytes += done;
  *written = static_cast<DWORD>(done);
  if (error == ERROR_SUCCESS && injected) error = ERROR_WRITE_FAULT;
  if (error != ERROR_SUCCESS) {
    // The spool file now lacks bytes the printer was meant to get.
    if (handle->job->writeError == ERROR_SUCCESS) handle->job->writeError = error;
    return Fail(error);
  }
  return TRUE;
}

BOOL EndDocPrinter(HANDLE printer) {
  const auto handle = FindHandle(printer);
  if (!handle) return FALSE;
  std::lock_guard lock(handle->mutex);
  if (!handle->job) return Fail(ERROR_SPL_NO_STARTDOC);
  // A job that lost a write is never delivered: the printer gets the whole job or nothing.
  const DWORD writeError = handle->job->writeError;
  const DWORD error = writeError != ERROR_SUCCESS ? writeError : Deliver(*handle->job);
  DropJob(*handle);  // delivered or not, the job is over
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL AbortPrinter(HANDLE printer) {
  const auto handle = FindHandle(printer);
  if (!handle) return FALSE;
  std::lock_guard lock(handle->mutex);
  if (!handle->job) return Fail(ERROR_SPL_NO_STARTDOC);
  DropJob(*handle);
  return TRUE;
}
