// What a file is: its identity, size, times, owner and attributes, and where a name leads.

#include <sys/stat.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "os_files/fault_seam.h"
#include "os_files/file.h"
#include "os_files/posix_calls.h"

namespace jassrewrite {

using posix::last_error;

namespace {

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
  if (whole_second_times()) {
    status.modified -= status.modified % 1000000000;
    status.changed -= status.changed % 1000000000;
  }
  status.mode = static_cast<std::uint32_t>(info.st_mode & 07777);
  status.owner = static_cast<std::uint32_t>(info.st_uid);
  status.group = static_cast<std::uint32_t>(info.st_gid);
  status.owned_by_caller = info.st_uid == ::geteuid();
  return status;
}

// Attributes that cannot be listed count as present: taking them for none would have the script
// replaced by a new file without them.
bool has_extended_attributes(const File& file) {
#ifdef __linux__
  errno = 0;
  ssize_t size = ::flistxattr(file.native(), nullptr, 0);
  if (const std::error_code fault = injected_fault("has_extended_attributes", &file)) {
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

Result<FileStatus> status(const File& file) {
  if (std::error_code fault = injected_fault("status", &file)) {
    return {.error = fault};
  }
  struct stat info {};
  errno = 0;
  if (::fstat(file.native(), &info) != 0) {
    return {.error = last_error()};
  }
  FileStatus status = to_status(info);
  status.extended_attributes = has_extended_attributes(file);
  return {.value = status};
}

Result<FileStatus> status_at(const std::string& path) {
  if (std::error_code fault = injected_fault("status_at", nullptr, path)) {
    return {.error = fault};
  }
  struct stat info {};
  errno = 0;
  if (::stat(path.c_str(), &info) != 0) {
    return {.error = last_error()};
  }
  return {.value = to_status(info)};
}

bool hidden_by_its_folders(const std::string& path) {
  return status_at(path).error == std::errc::permission_denied;
}

Result<bool> name_exists(const std::string& path) {
  if (std::error_code fault = injected_fault("name_exists", nullptr, path)) {
    return {.error = fault};
  }
  struct stat info {};
  errno = 0;
  if (::lstat(path.c_str(), &info) == 0) {
    return {.value = true};
  }
  return {.error = errno == ENOENT ? std::error_code() : last_error()};
}

Result<std::string> resolve_links(const std::string& path) {
  if (std::error_code fault = injected_fault("resolve_links", nullptr, path)) {
    return {.error = fault};
  }
  // Only a link at the last name would be replaced instead of the file it leads to; a path
  // without one stays as the user knows it, for messages.
  struct stat link {};
  errno = 0;
  if (::lstat(path.c_str(), &link) != 0) {
    return {.error = last_error()};
  }
  if (!S_ISLNK(link.st_mode)) {
    return {.value = path};
  }
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) {
    return {.error = last_error()};
  }
  return {.value = resolved.get()};
}

bool modified_time_moves_at_close() { return false; }

}  // namespace jassrewrite
