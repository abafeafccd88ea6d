#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "os_files/fault_seam.h"
#include "os_files/file.h"

namespace jassrewrite {

namespace {

std::error_code last_error() {
  // Some calls fail without setting errno; the failure must still be told.
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

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

File open_file(const char* path, int flags, mode_t mode, std::error_code& error) {
  if ((error = injected_fault())) {
    return {};
  }
  // O_EXCL opens nothing that exists, and a folder is opened only to be locked or synced.
  if ((flags & (O_EXCL | O_DIRECTORY)) == 0 &&
      names_a_special_file(path, (flags & O_NOFOLLOW) == 0)) {
    error = std::make_error_code(std::errc::not_supported);
    return {};
  }
  int fd = -1;
  do {
    errno = 0;
    fd = ::open(path, flags | kOpenFlags, mode);
  } while (fd == -1 && errno == EINTR);
  error = fd == -1 ? last_error() : std::error_code();
  return File(fd);
}

FileStatus to_status(const struct stat& info) {
  FileStatus status;
  status.identity = {static_cast<std::uint64_t>(info.st_dev),
                     static_cast<std::uint64_t>(info.st_ino)};
  status.regular = S_ISREG(info.st_mode);
  status.links = static_cast<std::uint64_t>(info.st_nlink);
  status.size = static_cast<std::uint64_t>(info.st_size);
  status.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                    static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  status.changed = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 +
                   static_cast<std::int64_t>(info.st_ctim.tv_nsec);
  status.mode = static_cast<std::uint32_t>(info.st_mode & 07777);
  status.owner = static_cast<std::uint32_t>(info.st_uid);
  status.group = static_cast<std::uint32_t>(info.st_gid);
  status.owned_by_caller = info.st_uid == ::geteuid();
  return status;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Attributes that cannot be listed count as present: taking them for none would have the script
// replaced by a new file without them.
bool has_extended_attributes(const File& file) {
#ifdef __linux__
  errno = 0;
  ssize_t size = ::flistxattr(file.native(), nullptr, 0);
  if (const std::error_code fault = injected_fault()) {
    size = -1;
    errno = fault.value();
  }
  if (size == 0 || (size == -1 && errno == ENOTSUP)) {
    return false;
  }
  if (size < 0) {
    return true;
  }
  std::string names(static_cast<std::size_t>(size), '\0');
  const ssize_t got = ::flistxattr(file.native(), names.data(), names.size());
  if (got <= 0) {
    return got != 0;
  }
  names.resize(static_cast<std::size_t>(got));
  // security.* attributes (SELinux labels and the like) come with any new file made in the same
  // place; only the others, access control lists among them, would be lost.
  for (std::size_t start = 0; start < names.size(); start = names.find('\0', start) + 1) {
    if (names.compare(start, 9, "security.") != 0) {
      return true;
    }
  }
  return false;
#else
  static_cast<void>(file);
  return false;
#endif
}

}  // namespace

File::~File() {
  if (handle_ != kNoHandle) {
    ::close(handle_);
  }
}

File open_existing(const std::string& path, std::error_code& error) {
  return open_file(path.c_str(), O_RDWR, 0, error);
}

File open_or_create_unfollowed(const std::string& path, std::error_code& error) {
  return open_file(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, 0666, error);
}

File keep_others_from_writing(File& file, const std::string&, std::error_code& error) {
  error = injected_fault();
  return std::move(file);
}

File create_new(const std::string& path, std::error_code& error) {
  return open_file(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, error);
}

File open_for_reading_unfollowed(const std::string& path, std::error_code& error) {
  return open_file(path.c_str(), O_RDONLY | O_NOFOLLOW, 0, error);
}

FileStatus status(const File& file, std::error_code& error) {
  if ((error = injected_fault())) {
    return {};
  }
  struct stat info {};
  errno = 0;
  if (::fstat(file.native(), &info) != 0) {
    error = last_error();
    return {};
  }
  error.clear();
  FileStatus status = to_status(info);
  status.extended_attributes = has_extended_attributes(file);
  return status;
}

FileStatus status(const std::string& path, std::error_code& error) {
  if ((error = injected_fault())) {
    return {};
  }
  struct stat info {};
  errno = 0;
  if (::stat(path.c_str(), &info) != 0) {
    error = last_error();
    return {};
  }
  error.clear();
  return to_status(info);
}

bool name_exists(const std::string& path, std::error_code& error) {
  if ((error = injected_fault())) {
    return false;
  }
  struct stat info {};
  errno = 0;
  if (::lstat(path.c_str(), &info) == 0) {
    return true;
  }
  error = errno == ENOENT ? std::error_code() : last_error();
  return false;
}

std::string resolve_links(const std::string& path, std::error_code& error) {
  if ((error = injected_fault())) {
    return {};
  }
  errno = 0;
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) {
    error = last_error();
    return {};
  }
  error.clear();
  return resolved.get();
}

std::size_t read(File& file, std::span<char> buffer, std::error_code& error) {
  if ((error = injected_fault())) {
    return 0;
  }
  ssize_t got = -1;
  do {
    errno = 0;
    got = ::read(file.native(), buffer.data(), buffer.size());
  } while (got == -1 && errno == EINTR);
  if (got == -1) {
    error = last_error();
    return 0;
  }
  error.clear();
  return static_cast<std::size_t>(got);
}

std::error_code write(File& file, std::string_view bytes) {
  if (std::error_code fault = injected_fault()) {
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
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  errno = 0;
  return ::lseek(file.native(), 0, SEEK_SET) == 0 ? std::error_code() : last_error();
}

std::error_code truncate(File& file) {
  if (std::error_code fault = injected_fault()) {
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
  if (std::error_code fault = injected_fault()) {
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
  if (std::error_code fault = injected_fault()) {
    File closing(file.release());
    return fault;
  }
  errno = 0;
  // After a failed close the descriptor is gone all the same: retrying could close another's.
  return ::close(file.release()) == 0 || errno == EINTR ? std::error_code() : last_error();
}

std::error_code reserve(File& file, std::uint64_t size) {
  if (std::error_code fault = injected_fault()) {
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
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  if (with_owner) {
    std::error_code error;
    const FileStatus current = status(file, error);
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

std::error_code replace(const std::string& replacement, const std::string& target) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  errno = 0;
  return ::rename(replacement.c_str(), target.c_str()) == 0 ? std::error_code() : last_error();
}

std::error_code swap_names(const std::string& first, const std::string& second) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
#ifdef RENAME_EXCHANGE
  errno = 0;
  if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0) {
    return {};
  }
  // Older kernels and some file systems (network ones among them) cannot swap.
  return errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP
             ? std::make_error_code(std::errc::not_supported)
             : last_error();
#else
  static_cast<void>(first);
  static_cast<void>(second);
  return std::make_error_code(std::errc::not_supported);
#endif
}

std::error_code rename_new(const std::string& from, const std::string& to) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  errno = 0;
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return {};
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return last_error();
  }
#endif
  // Where the file system cannot refuse an existing name, the caller's lock has made sure of it.
  errno = 0;
  return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code() : last_error();
}

std::error_code remove(const std::string& path) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  errno = 0;
  // ::remove takes a file or an empty folder alike.
  return ::remove(path.c_str()) == 0 ? std::error_code() : last_error();
}

namespace {

File open_folder(const std::string& path, std::error_code& error) {
  return open_file(path.c_str(), O_RDONLY | O_DIRECTORY, 0, error);
}

}  // namespace

bool held_for_a_moment(const std::error_code&) { return false; }

std::error_code sync_folder_of(const std::string& path) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  std::error_code error;
  File folder = open_folder(folder_of(path), error);
  // A folder the user may write but not read cannot be opened to be synced; what was done in it
  // stands, and is on the disk as soon as the system writes it back.
  if (error == std::errc::permission_denied) {
    return {};
  }
  if (error) {
    return error;
  }
  errno = 0;
  return ::fsync(folder.native()) == 0 ? std::error_code() : last_error();
}

File lock(const File& file, const std::function<void()>& before_waiting, std::error_code& error) {
  if ((error = injected_fault())) {
    return {};
  }
  // flock locks belong to the open file, not to its name, and end with its last descriptor: the
  // copy made here keeps the lock however the caller's handle is used, and a run that is killed
  // never leaves anything locked.
  errno = 0;
  File lock(::fcntl(file.native(), F_DUPFD_CLOEXEC, 0));
  if (!lock.is_open()) {
    error = last_error();
    return {};
  }
  error.clear();
  if (::flock(lock.native(), LOCK_EX | LOCK_NB) == 0) {
    return lock;
  }
  // Some network file systems cannot lock a folder.
  if (errno == EBADF || errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) {
    error = std::make_error_code(std::errc::no_lock_available);
    return {};
  }
  if (errno != EWOULDBLOCK) {
    error = last_error();
    return {};
  }
  before_waiting();
  int result = -1;
  do {
    errno = 0;
    result = ::flock(lock.native(), LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    error = last_error();
    return {};
  }
  return lock;
}

File standard_output() { return File(STDOUT_FILENO); }

File standard_error() { return File(STDERR_FILENO); }

File lock_folder(const std::string& folder, const std::string&,
                 const std::function<void()>& before_waiting, std::error_code& error) {
  const File opened = open_folder(folder, error);
  return error ? File() : lock(opened, before_waiting, error);
}

}  // namespace jassrewrite
