// The locks that keep runs apart: one for the folder, one for the script.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "os_files/fault_seam.h"
#include "os_files/file.h"
#include "os_files/posix_calls.h"

namespace jassrewrite {

using posix::last_error;

Result<File> lock(const File& file, const std::function<void()>& before_waiting) {
  if (std::error_code fault = injected_fault("lock", &file)) {
    return {.error = fault};
  }
  // flock locks belong to the open file, not to its name, and end with its last descriptor: the
  // copy made here keeps the lock however the caller's handle is used, and a run that is killed
  // never leaves anything locked.
  errno = 0;
  File lock(::fcntl(file.native(), F_DUPFD_CLOEXEC, 0));
  if (!lock.is_open()) {
    return {.error = last_error()};
  }
  if (::flock(lock.native(), LOCK_EX | LOCK_NB) == 0) {
    return {.value = std::move(lock)};
  }
  // Some network file systems cannot lock a folder.
  if (errno == EBADF || errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) {
    return {.error = std::make_error_code(std::errc::no_lock_available)};
  }
  if (errno != EWOULDBLOCK) {
    return {.error = last_error()};
  }
  before_waiting();
  int result = -1;
  do {
    errno = 0;
    result = ::flock(lock.native(), LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    return {.error = last_error()};
  }
  return {.value = std::move(lock)};
}

Result<File> lock_folder_of(const std::string& path, const std::function<void()>& before_waiting) {
  const auto [opened, error] = posix::open_file(posix::folder_of(path), O_RDONLY | O_DIRECTORY, 0);
  if (error) {
    return {.error = error};
  }
  return lock(opened, before_waiting);
}

}  // namespace jassrewrite
