#include "replace/run_locks.h"

namespace jassrewrite {

std::optional<Error> RunLocks::lock_folder(const RunPaths& paths, Patience& patience) {
  const std::string& lock_path = paths.folder_lock;
  const std::error_code error = patience.retry(lock_path, [&] {
    Result<File> locked =
        lock_folder_of(paths.temp, [&] { patience.tell_waiting({NoticeKind::kWaitingForRun}); });
    folder_ = std::move(locked.value);
    return locked.error;
  });
  if (error == std::errc::no_lock_available) {
    patience.tell({NoticeKind::kCannotLock, lock_path});
  } else if (error == std::errc::is_a_directory) {
    // Windows locks a range of tempwar3map.j.
    return refused(lock_path, Reason::kFolder, NextStep::kMoveItAwayThenRunAgain);
  } else if (error) {
    return failed(lock_path, error);
  }
  return std::nullopt;
}

std::optional<Error> RunLocks::lock_script(const File& script, const std::string& path,
                                           Patience& patience) {
  if (const Result<FileStatus> opened = status(script); opened.error || !opened.value.regular) {
    return opened.error ? failed(path, opened.error) : refused(path, Reason::kNotAFile);
  }
  Result<File> locked = lock(script, [&] {
    // Any program may hold the lock: a run in another map folder that shares the script by a link,
    // or a program of the map maker's own.
    patience.tell_waiting({NoticeKind::kWaitingForLockHolder, path});
  });
  script_ = std::move(locked.value);
  if (locked.error == std::errc::no_lock_available) {
    patience.tell({NoticeKind::kCannotLock, path});
  } else if (locked.error) {
    return failed(path, locked.error);
  }
  return std::nullopt;
}

}  // namespace jassrewrite
