// The locks that keep runs apart: one for the folder, one for the script.

#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <cstdio>
#include <string>
#include <utility>

#include "os_files/fault_seam.h"
#include "os_files/file.h"
#include "os_files/windows_calls.h"
#include "os_files/windows_text.h"

namespace jassrewrite {

using windows::last_error;
using windows::not_supported;
using windows::open_file;

Result<File> lock_folder_of(const std::string& path, const std::function<void()>& before_waiting) {
  if (std::error_code fault = injected_fault("lock_folder_of", nullptr, path)) {
    return {.error = fault};
  }
  // A lock far past any data never stands in the way of reading or writing the file; read access
  // alone leaves the run free to open it again without sharing its writing. Its deletion is not
  // shared: while the lock is held, no one can delete or replace the file, and a new file under
  // its name would have a lock of its own.
  OVERLAPPED range{};
  range.OffsetHigh = 0x40000000;
  for (;;) {
    auto [file, error] = open_file(path, GENERIC_READ, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (error) {
      return {.error = error};
    }
    if (!LockFileEx(file.native(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &range)) {
      const DWORD code = GetLastError();
      if (not_supported(code)) {
        return {.error = std::make_error_code(std::errc::no_lock_available)};
      }
      if (code != ERROR_LOCK_VIOLATION) {
        return {.error = windows_error(code)};
      }
      before_waiting();
      if (!LockFileEx(file.native(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range)) {
        return {.error = last_error()};
      }
    }
    // The lock counts only on the file that has the name: another program may have deleted it
    // and a run made it anew meanwhile.
    const Result<FileStatus> locked = status(file);
    const Result<File> named =
        locked.error ? Result<File>{.error = locked.error}
                     : open_file(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
    const Result<FileStatus> now =
        named.error ? Result<FileStatus>{.error = named.error} : status(named.value);
    if (now.error && now.error != std::errc::no_such_file_or_directory) {
      return {.error = now.error};
    }
    if (!now.error && now.value.identity == locked.value.identity) {
      return {.value = std::move(file)};
    }
  }
}

Result<File> lock(const File& file, const std::function<void()>& before_waiting) {
  if (std::error_code fault = injected_fault("lock", &file)) {
    return {.error = fault};
  }
  // A byte-range lock on the script would stand in the way of replacing it. A mutex named after
  // the file's identity does not, and when its owner ends, however it ends, the next waiter gets
  // it. Global, so that runs from every session on this machine see one another.
  const auto [locked, error] = status(file);
  if (error) {
    return {.error = error};
  }
  wchar_t name[96];
  std::swprintf(name, 96, L"Global\\jassrewrite-%llx-%llx%016llx",
                static_cast<unsigned long long>(locked.identity.device),
                static_cast<unsigned long long>(locked.identity.index_high),
                static_cast<unsigned long long>(locked.identity.index));
  // Every user may wait for the mutex and release it, so that the runs of users and of elevated
  // prompts exclude one another; asking for no more than that opens one that another user made.
  PSECURITY_DESCRIPTOR everyone = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x00100001;;;WD)",
                                                            SDDL_REVISION_1, &everyone, nullptr)) {
    return {.error = last_error()};
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, everyone, FALSE};
  File lock(CreateMutexExW(&attributes, name, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE));
  const DWORD code = GetLastError();
  LocalFree(everyone);
  // A mutex that another user made closed to others (an earlier version of the tool made them
  // so): no lock can be had.
  if (!lock.is_open()) {
    return {.error = code == ERROR_ACCESS_DENIED
                         ? std::make_error_code(std::errc::no_lock_available)
                         : windows_error(code)};
  }
  DWORD result = WaitForSingleObject(lock.native(), 0);
  if (result == WAIT_TIMEOUT) {
    before_waiting();
    result = WaitForSingleObject(lock.native(), INFINITE);
  }
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
    return {.error = last_error()};
  }
  return {.value = std::move(lock)};
}

}  // namespace jassrewrite
