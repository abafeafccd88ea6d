// Names in a folder: the replacement of the script, its swaps and renames, removals, and the
// syncs that make them last.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "os_files/fault_seam.h"
#include "os_files/file.h"
#include "os_files/posix_calls.h"

namespace jassrewrite {

using posix::last_error;

std::error_code replace(const std::string& replacement, const std::string& target) {
  if (std::error_code fault = injected_fault("replace", nullptr, replacement)) {
    return fault;
  }
  errno = 0;
  return ::rename(replacement.c_str(), target.c_str()) == 0 ? std::error_code() : last_error();
}

std::error_code swap_names(const std::string& first, const std::string& second) {
  if (std::error_code fault = injected_fault("swap_names", nullptr, first)) {
    return fault;
  }
  if (name_swap_withheld()) {
    return std::make_error_code(std::errc::not_supported);
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
  if (std::error_code fault = injected_fault("rename_new", nullptr, from)) {
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
  if (std::error_code fault = injected_fault("remove", nullptr, path)) {
    return fault;
  }
  errno = 0;
  // ::remove takes a file or an empty folder alike.
  return ::remove(path.c_str()) == 0 ? std::error_code() : last_error();
}

bool held_for_a_moment(const std::error_code&) { return false; }

std::error_code sync_folder_of(const std::string& path) {
  if (std::error_code fault = injected_fault("sync_folder_of", nullptr, path)) {
    return fault;
  }
  const auto [folder, error] = posix::open_file(posix::folder_of(path), O_RDONLY | O_DIRECTORY, 0);
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

}  // namespace jassrewrite
