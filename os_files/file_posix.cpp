#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "os_files/fault_seam.h"
#include "os_files/file.h"
#include "os_files/posix_calls.h"

namespace jassrewrite {

namespace posix {

std::error_code last_error() {
  // Some calls fail without setting errno; the failure must still be told.
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

namespace {

// Every descriptor is closed on exec and never becomes a controlling terminal; O_NONBLOCK keeps
// an open of a FIFO from waiting for a writer. Regular files ignore it.
constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Opening a device has effects of its own (a watchdog starts counting, a tape rewinds), so what
// is not a regular file, a folder or a link is refused by its name before it is opened. What was
// opened is checked again through the handle.
bool names_a_special_file(const char* path, bool follow) {
  struct stat info {};
  const int result = follow ? ::stat(path, &info) : ::lstat(path, &info);
  return result == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode) && !S_ISLNK(info.st_mode);
}

}  // namespace

Result<File> open_file(const std::string& path, int flags, mode_t mode) {
  if (std::error_code fault = injected_fault("open", nullptr, path)) {
    return {.error = fault};
  }
  // O_EXCL opens nothing that exists, and a folder is opened only to be locked or synced.
  if ((flags & (O_EXCL | O_DIRECTORY)) == 0 &&
      names_a_special_file(path.c_str(), (flags & O_NOFOLLOW) == 0)) {
    return {.error = std::make_error_code(std::errc::not_supported)};
  }
  int fd = -1;
  do {
    errno = 0;
    fd = ::open(path.c_str(), flags | kOpenFlags, mode);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) {
    return {.error = last_error()};
  }
  return {.value = File(fd)};
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace posix

using posix::last_error;
using posix::open_file;

File::~File() {
  if (handle_ != kNoHandle) {
    ::close(handle_);
  }
}

Result<File> open_existing(const std::string& path) { return open_file(path, O_RDWR, 0); }

Result<File> open_or_create_unfollowed(const std::string& path) {
  return open_file(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, 0666);
}

Result<File> keep_others_from_writing(File& file, const std::string&) {
  return {.value = std::move(file), .error = injected_fault("keep_others_from_writing", &file)};
}

Result<File> create_new(const std::string& path) {
  return open_file(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
}

Result<File> open_for_reading_unfollowed(const std::string& path) {
  return open_file(path, O_RDONLY | O_NOFOLLOW, 0);
}

Result<std::size_t> read(File& file, std::span<char> buffer) {
  if (std::error_code fault = injected_fault("read", &file)) {
    return {.error = fault};
  }
  ssize_t got = -1;
  do {
    errno = 0;
    got = ::read(file.native(), buffer.data(), buffer.size());
  } while (got == -1 && errno == EINTR);
  if (got == -1) {
    return {.error = last_error()};
  }
  return {.value = static_cast<std::size_t>(got)};
}

std::error_code write(File& file, std::string_view bytes) {
  if (std::error_code fault = injected_fault("write", &file)) {
    return fault;
  }
  while (!bytes.empty()) {
    errno = 0;
    const ssize_t written = ::write(file.native(), bytes.data(), bytes.size());
    if (written == -1 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return last_error();
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

std::error_code rewind(File& file) {
  if (std::error_code fault = injected_fault("rewind", &file)) {
    return fault;
  }
  errno = 0;
  return ::lseek(file.native(), 0, SEEK_SET) == 0 ? std::error_code() : last_error();
}

std::error_code truncate(File& file) {
  if (std::error_code fault = injected_fault("truncate", &file)) {
    return fault;
  }
  errno = 0;
  if (::ftruncate(file.native(), 0) != 0) {
    return last_error();
  }
  return rewind(file);
}

void start_writeback(File& file) {
#ifdef __linux__
  // Asks only for the writing to begin; errors show up at the sync.
  ::sync_file_range(file.native(), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  static_cast<void>(file);
#endif
}

std::error_code sync(File& file) {
  if (std::error_code fault = injected_fault("sync", &file)) {
    return fault;
  }
  errno = 0;
#ifdef __linux__
  // The data and what is needed to read it back (the size), without waiting for a journal entry
  // for the modification time: measurably faster when the files are large.
  return ::fdatasync(file.native()) == 0 ? std::error_code() : last_error();
#else
  return ::fsync(file.native()) == 0 ? std::error_code() : last_error();
#endif
}

std::error_code close(File& file) {
  if (std::error_code fault = injected_fault("close", &file)) {
    File closing(file.release());
    return fault;
  }
  errno = 0;
  // After a failed close the descriptor is gone all the same: retrying could close another's.
  return ::close(file.release()) == 0 || errno == EINTR ? std::error_code() : last_error();
}

std::error_code reserve(File& file, std::uint64_t size) {
  if (std::error_code fault = injected_fault("reserve", &file)) {
    return fault;
  }
  if (size == 0) {
    return {};
  }
#ifdef __linux__
  int result = -1;
  do {
    errno = 0;
    result = ::fallocate(file.native(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    return {};
  }
  return errno == EOPNOTSUPP || errno == ENOSYS ? std::make_error_code(std::errc::not_supported)
                                                : last_error();
#else
  static_cast<void>(file);
  static_cast<void>(size);
  return std::make_error_code(std::errc::not_supported);
#endif
}

std::error_code copy_permissions(File& file, const FileStatus& model, bool with_owner) {
  if (std::error_code fault = injected_fault("copy_permissions", &file)) {
    return fault;
  }
  if (with_owner) {
    const auto [current, error] = status(file);
    if (error) {
      return error;
    }
    errno = 0;
    if ((current.owner != model.owner || current.group != model.group) &&
        ::fchown(file.native(), model.owner, model.group) != 0) {
      return last_error();
    }
  }
  // After fchown, which may clear the set-user-ID and set-group-ID bits.
  errno = 0;
  return ::fchmod(file.native(), model.mode) == 0 ? std::error_code() : last_error();
}

File standard_output() { return File(STDOUT_FILENO); }

File standard_error() { return File(STDERR_FILENO); }

}  // namespace jassrewrite
