// Opening the run's files under their locks, with the checks that come before anything is written.

#include <filesystem>

#include "replace/replacement.h"

namespace jassrewrite {

namespace {

// The folder that holds `path`, and the name of `path` in it, by the name alone.
std::string folder_of(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? std::string(".") : folder;
}
std::string name_in_folder(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

constexpr const char* kNotAFile = "not a regular file";
constexpr const char* kFolderNotScript =
    "is a folder, not the map's script; move it away, then run again";
constexpr const char* kFolderNotTemp = "is a folder; move it away, then run again";

constexpr const char* kCloseTheHolder = "close the program that holds it, then run again";

// Where a file system, or another user, leaves no lock to be had, the run goes on and says so.
constexpr const char* kNoLock = "cannot be locked here; a run started meanwhile may work on it too";

}  // namespace

// One run at a time in this folder, for tempwar3map.j and the mark of an overwrite in place.
std::optional<Error> ScriptReplacement::lock_folder() {
  const std::string& lock_path = paths_.folder_lock;
  const std::error_code error = patience_.retry(lock_path, [&] {
    Result<File> locked = jassrewrite::lock_folder(
        folder_of(paths_.temp), name_in_folder(paths_.temp),
        [&] { patience_.tell_waiting("waiting for another run in this folder to finish"); });
    folder_lock_ = std::move(locked.value);
    return locked.error;
  });
  if (error == std::errc::no_lock_available) {
    patience_.tell(lock_path + ": " + kNoLock);
  } else if (error == std::errc::is_a_directory) {
    // Windows locks a range of tempwar3map.j.
    return refused(lock_path, kFolderNotTemp);
  } else if (error) {
    return failed(lock_path, error);
  }
  return std::nullopt;
}

// The script is locked as well as the folder, for a script that two map folders share by a link.
// Another run may replace it while this one waits; the lock is then on a file that has gone, and
// is given up before the script is opened again: waiting on it while holding it would wait for
// ever, and every later run with it.
std::optional<Error> ScriptReplacement::open_script() {
  const std::string& path = paths_.script;
  for (;;) {
    script_lock_ = File();
    const std::error_code error = patience_.retry(path, [&] {
      Result<File> opened = open_existing(path);
      script_ = std::move(opened.value);
      return opened.error;
    });
    if (error == std::errc::no_such_file_or_directory) {
      return refuse_dangling_link();
    }
    if (error) {
      return refuse_unopened_script(error);
    }
    if (auto locking = lock_script()) {
      return locking;
    }
    // Only a script that another run replaced by a new file while this one waited is opened
    // again. One that is gone by its name was taken away by another program after it was opened:
    // a change, not a folder without a script.
    const Result<FileStatus> named = status(path);
    if (named.error) {
      return named.error == std::errc::no_such_file_or_directory ? changed(path)
                                                                 : failed(path, named.error);
    }
    if (named.value.identity == script_status_.identity) {
      has_script_ = true;
      return resolve_target();
    }
  }
}

// A script that could not be opened, with what the user can do about it where doing so loses
// nothing.
Error ScriptReplacement::refuse_unopened_script(const std::error_code& error) const {
  const std::string& path = paths_.script;
  if (error == std::errc::not_supported) {
    return refused(path, kNotAFile);
  }
  if (error == std::errc::is_a_directory) {
    return refused(path, kFolderNotScript);
  }
  // The script is opened for reading and writing before anything else is done.
  const auto unchanged = [&](std::string note) {
    return claiming(failed(path, error, std::move(note)), Claim::kUnchanged);
  };
  if (error == std::errc::permission_denied) {
#ifndef _WIN32
    // A folder on its path that this user may not search denies even a look at its name, and
    // hides whether there is a script at all: the script's own permissions are not the cause.
    if (status(path).error == std::errc::permission_denied) {
      return unchanged(
          "nothing was changed; this user may not look into a folder on its path: give access to "
          "it, then run again");
    }
#endif
    return unchanged(note_of(Claim::kUnchanged, {}) +
                     "; make it readable and writable, then run again");
  }
  if (error == std::errc::read_only_file_system) {
    return unchanged(note_of(Claim::kUnchanged, {}) + "; make it writable, then run again");
  }
  // Windows, once the waits for a program that holds it are over.
  if (error == std::errc::device_or_resource_busy) {
    return unchanged(note_of(Claim::kUnchanged, {}) + "; " + kCloseTheHolder);
  }
  return failed(path, error);
}

// A missing script is none, unless its name is a dangling link: following that would create a
// file wherever it points, outside the map's folder.
std::optional<Error> ScriptReplacement::refuse_dangling_link() const {
  const Result<bool> dangling = name_exists(paths_.script);
  if (dangling.error) {
    return failed(paths_.script, dangling.error);
  }
  return dangling.value ? std::optional(refused(paths_.script,
                                                "a symbolic link to a file that does not exist"))
                        : std::nullopt;
}

// Where the script really is, its last symbolic link resolved: the file that gets replaced.
std::optional<Error> ScriptReplacement::resolve_target() {
  Result<std::string> target = resolve_links(paths_.script);
  if (target.error) {
    // Taken away since it was opened.
    return target.error == std::errc::no_such_file_or_directory
               ? changed(paths_.script)
               : failed(paths_.script, target.error);
  }
  target_path_ = std::move(target.value);
  return std::nullopt;
}

std::optional<Error> ScriptReplacement::lock_script() {
  const std::string& path = paths_.script;
  if (const Result<FileStatus> opened = status(script_); opened.error || !opened.value.regular) {
    return opened.error ? failed(path, opened.error) : refused(path, kNotAFile);
  }
  Result<File> locked = lock(script_, [&] {
    // Any program may hold the lock: a run in another map folder that shares the script by a link,
    // or a program of the map maker's own.
    patience_.tell_waiting(path +
                           ": waiting for the program that holds a lock on it, such as a run in "
                           "another folder that shares it");
  });
  script_lock_ = std::move(locked.value);
  if (locked.error == std::errc::no_lock_available) {
    patience_.tell(path + ": " + kNoLock);
  } else if (locked.error) {
    return failed(path, locked.error);
  }
  const Result<FileStatus> as_locked = status(script_);
  if (as_locked.error) {
    return failed(path, as_locked.error);
  }
  script_status_ = as_locked.value;
  script_as_read_ = snapshot_of(script_status_);
  return std::nullopt;
}

std::optional<Error> ScriptReplacement::open_temp() {
  const std::string& path = paths_.temp;
  std::error_code error = patience_.retry(path, [&] {
    Result<File> opened = open_or_create_unfollowed(path);
    temp_ = std::move(opened.value);
    return opened.error;
  });
  if (error == std::errc::too_many_symbolic_link_levels) {
    return refused(path, "is a symbolic link; delete it and run again");
  }
  if (error == std::errc::not_supported) {
    return refused(path, kNotAFile);
  }
  if (error == std::errc::is_a_directory) {
    return refused(path, kFolderNotTemp);
  }
  if (error) {
    return refuse_unopened_temp(error);
  }
  const Result<FileStatus> checked = status(temp_);
  if (checked.error) {
    return failed(path, checked.error);
  }
  if (auto refusal = check_temp(checked.value)) {
    return refusal;
  }
  // On Windows the file is opened once more, so that no other program may write to it; it must
  // still be the file that was checked.
  const std::error_code reopening = patience_.retry(path, [&] {
    Result<File> kept_file = keep_others_from_writing(temp_, path);
    temp_ = std::move(kept_file.value);
    return kept_file.error;
  });
  const Result<FileStatus> kept =
      reopening ? Result<FileStatus>{.error = reopening} : status(temp_);
  if (kept.error) {
    return failed(path, kept.error);
  }
  if (kept.value.identity != checked.value.identity) {
    return refused(path, "changed while it was being opened; run again");
  }
  temp_identity_ = kept.value.identity;
  // Beside a missing or empty script, what is in it may be the only copy of a rewrite that an
  // earlier run was refused to put in the script's place.
  if (!rewrites_script() && kept.value.size > 0) {
    temp_kept_ = true;
    return std::nullopt;
  }
  if (error = truncate(temp_); error) {
    return failed(path, error);
  }
  return std::nullopt;
}

// tempwar3map.j that could not be opened for writing, with what became of the script and what the
// user can do about it where doing so loses nothing.
Error ScriptReplacement::refuse_unopened_temp(const std::error_code& error) const {
  const std::string& path = paths_.temp;
  std::string next;
  if (error == std::errc::permission_denied || error == std::errc::read_only_file_system) {
    const Result<bool> there = name_exists(path);
    if (there.error) {
      return failed(path, error);
    }
    next = there.value ? "make it writable, or delete it, then run again"
                       : "this user may not create it in the map's folder: make the folder "
                         "writable, then run again";
  } else if (error == std::errc::device_or_resource_busy) {
    next = kCloseTheHolder;
  } else {
    return failed(path, error);
  }
  Error told = claiming(failed(path, error), claim_of_state());
  told.note = note_of(told.claim, told.named) + "; " + next;
  return told;
}

// Refuses, before anything is written, a temporary file that is not a regular file, is the script
// itself, has other hard links, or belongs to a user who could change it between its writing and
// its reading back; gives it the script's permission bits.
std::optional<Error> ScriptReplacement::check_temp(const FileStatus& temp) {
  const std::string& path = paths_.temp;
  if (!temp.regular) {
    return refused(path, kNotAFile);
  }
  // Emptying the script itself under another name would lose it before a line was read.
  if (has_script_ && temp.identity == script_status_.identity) {
    return refused(path, "is the script itself (a link to " + paths_.script + ")");
  }
  // Without a script to rewrite, its bytes go nowhere.
  if (!rewrites_script()) {
    return std::nullopt;
  }
  if (auto reason = distrust(temp, &script_status_)) {
    return refused(path, *reason + "; delete it and run again");
  }
  const std::error_code error = copy_permissions(temp_, script_status_, false);
  if (error == std::errc::operation_not_permitted) {
    return refused(path, "belongs to another user; delete it and run again");
  }
  return error ? std::optional(failed(path, error)) : std::nullopt;
}

}  // namespace jassrewrite
