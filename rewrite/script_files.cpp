#include "rewrite/script_files.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include "rewrite/left_replacement.h"

namespace jassrewrite {

namespace {

constexpr const char* kNotAFile = "not a regular file";

// "standard output" or "standard error", for a message about the stream itself.
std::string stream_name(std::string_view stream) {
  return std::string(stream.substr(0, stream.find(';')));
}

// Tools people trust on Windows wait up to a few seconds for a file that another program holds
// (ScriptFiles::patience_left); a program that holds one longer is not letting go soon.
constexpr std::chrono::milliseconds kFirstPause{10};
constexpr std::chrono::milliseconds kLongestPause{1000};

}  // namespace

std::error_code with_patience(ScriptFiles& files, const std::string& subject,
                              const std::function<std::error_code()>& step) {
  for (std::chrono::milliseconds pause = kFirstPause;; pause = std::min(2 * pause, kLongestPause)) {
    std::error_code error = step();
    if (!error || !held_for_a_moment(error) || files.patience_left <= pause.zero()) {
      return error;
    }
    // A sharing violation says that another program holds the file; access denied may say so too
    // (a file that another program is deleting), or that the user may not.
    files.tell_waiting(error == std::errc::permission_denied
                           ? subject +
                                 ": access denied; trying again for a few seconds, in case "
                                 "another program holds it"
                           : subject + ": in use by another program; waiting for it to let go");
    pause = std::min(pause, files.patience_left);
    std::this_thread::sleep_for(pause);
    files.patience_left -= pause;
  }
}

// The script is locked as well as the folder, for a script that two map folders share by a link.
// Another run may replace it while this one waits; the lock is then on a file that has gone, and
// is given up before the script is opened again: waiting on it while holding it would wait for
// ever, and every later run with it.
std::optional<FileError> open_script(ScriptFiles& files,
                                     const std::function<void()>& before_waiting) {
  const std::string& path = files.script_path;
  for (;;) {
    files.script_lock = File();
    std::error_code error = with_patience(files, path, [&] {
      Result<File> opened = open_existing(path);
      files.script = std::move(opened.value);
      return opened.error;
    });
    if (error == std::errc::no_such_file_or_directory) {
      // Following a dangling link would create a file wherever it points, outside the map's
      // folder.
      if (const Result<bool> dangling = name_exists(path); dangling.value || dangling.error) {
        return dangling.error ? os_error(path, dangling.error)
                              : FileError{path, "a symbolic link to a file that does not exist"};
      }
      // An empty script must not take the place of a rewrite that could not take its name.
      const std::string left = path + kReplacementSuffix;
      const Result<bool> left_exists = name_exists(left);
      if (!left_exists.value && !left_exists.error) {
        return std::nullopt;
      }
      if (left_exists.error) {
        return os_error(left, left_exists.error);
      }
      if (auto refusal = finish_left_replacement(files)) {
        return refusal;
      }
      continue;
    }
    if (error == std::errc::not_supported) {
      return FileError{path, kNotAFile};
    }
    if (error) {
      return os_error(path, error);
    }
    if (const Result<FileStatus> opened = status(files.script); !opened.value.regular) {
      return opened.error ? os_error(path, opened.error) : FileError{path, kNotAFile};
    }
    Result<File> locked = lock(files.script, before_waiting);
    files.script_lock = std::move(locked.value);
    if (locked.error == std::errc::no_lock_available) {
      files.tell(path + ": " + kNoLock);
      locked.error.clear();
    }
    if (locked.error) {
      return os_error(path, locked.error);
    }
    const Result<FileStatus> as_opened = status(files.script);
    if (as_opened.error) {
      return os_error(path, as_opened.error);
    }
    files.script_status = as_opened.value;
    // Only a script that another run replaced by a new file, or took away, is opened again.
    const Result<FileStatus> now = status(path);
    if (!now.error && now.value.identity == files.script_status.identity) {
      break;
    }
    if (now.error && now.error != std::errc::no_such_file_or_directory) {
      return os_error(path, now.error);
    }
  }
  Result<std::string> target = resolve_links(path);
  if (target.error) {
    return os_error(path, target.error);
  }
  files.target_path = std::move(target.value);
  return std::nullopt;
}

std::optional<FileError> open_temp(ScriptFiles& files) {
  const std::string& path = files.temp_path;
  std::error_code error = with_patience(files, path, [&] {
    Result<File> opened = open_or_create_unfollowed(path);
    files.temp = std::move(opened.value);
    return opened.error;
  });
  if (error == std::errc::too_many_symbolic_link_levels) {
    return FileError{path, "is a symbolic link; delete it and run again"};
  }
  if (error == std::errc::not_supported) {
    return FileError{path, kNotAFile};
  }
  if (error) {
    return os_error(path, error);
  }
  const Result<FileStatus> checked = status(files.temp);
  if (checked.error) {
    return os_error(path, checked.error);
  }
  const FileStatus& temp = checked.value;
  if (!temp.regular) {
    return FileError{path, kNotAFile};
  }
  // Emptying the script itself under another name would lose it before a line was read.
  if (files.script.is_open() && temp.identity == files.script_status.identity) {
    return FileError{path, "is the script itself (a link to " + files.script_path + ")"};
  }
  // Its bytes become the script's.
  if (auto reason = distrust(temp, files.script.is_open() ? &files.script_status : nullptr)) {
    return FileError{path, *reason + "; delete it and run again"};
  }
  if (files.script.is_open()) {
    error = copy_permissions(files.temp, files.script_status, false);
    if (error == std::errc::operation_not_permitted) {
      return FileError{path, "belongs to another user; delete it and run again"};
    }
    if (error) {
      return os_error(path, error);
    }
  }
  // On Windows the file is opened once more, so that no other program may write to it; it must
  // still be the file that was checked.
  const std::error_code reopening = with_patience(files, path, [&] {
    Result<File> kept_file = keep_others_from_writing(files.temp, path);
    files.temp = std::move(kept_file.value);
    return kept_file.error;
  });
  const Result<FileStatus> kept =
      reopening ? Result<FileStatus>{.error = reopening} : status(files.temp);
  if (kept.error) {
    return os_error(path, kept.error);
  }
  if (kept.value.identity != temp.identity) {
    return FileError{path, "changed while it was being opened; run again"};
  }
  if (error = truncate(files.temp); error) {
    return os_error(path, error);
  }
  return std::nullopt;
}

std::optional<FileError> open_script_files(ScriptFiles& files,
                                           const std::function<void()>& before_waiting) {
  if (auto refusal = open_script(files, before_waiting)) {
    return refusal;
  }
  return open_temp(files);
}

std::optional<FileError> refuse_output_into_own_files(const File& output, const char* stream,
                                                      const std::string& script_path,
                                                      const std::string& temp_path) {
  const std::string shared = std::string("is also ") + stream;
  const auto [shown, error] = status(output);
  if (error) {
    return os_error(stream_name(stream), error);
  }
  // A console, a pipe or the null device is none of the run's files.
  if (!shown.regular) {
    return std::nullopt;
  }
  for (const std::string& path : {script_path, temp_path, overwrite_mark_path(temp_path)}) {
    const Result<FileStatus> named = status(path);
    if (named.error == std::errc::no_such_file_or_directory) {
      continue;
    }
    if (named.error) {
      return os_error(path, named.error);
    }
    if (named.value.identity == shown.identity) {
      return FileError{path, shared};
    }
  }
  return std::nullopt;
}

std::optional<FileError> refuse_shared_output(const ScriptFiles& files, const File& output,
                                              const char* stream) {
  const std::string shared = std::string("is also ") + stream;
  const Result<FileStatus> shown = status(output);
  if (shown.error) {
    return os_error(stream_name(stream), shown.error);
  }
  if (files.script.is_open() && shown.value.identity == files.script_status.identity) {
    return FileError{files.script_path, shared};
  }
  const Result<FileStatus> temp = status(files.temp);
  if (temp.error) {
    return os_error(files.temp_path, temp.error);
  }
  if (shown.value.identity == temp.value.identity) {
    return FileError{files.temp_path, shared};
  }
  return std::nullopt;
}

std::optional<FileError> refuse_if_temp_changed(ScriptFiles& files) {
  const auto [now, error] = status(files.temp);
  if (error) {
    return os_error(files.temp_path, error);
  }
  if (now.size != files.temp_status.size || now.changed != files.temp_status.changed) {
    return FileError{files.temp_path, kTempChanged};
  }
  return std::nullopt;
}

std::optional<FileError> refuse_if_changed(File& file, const FileStatus& as_read,
                                           const std::string& path) {
  const auto [now, error] = status(file);
  if (error) {
    return os_error(path, error);
  }
  if (!is_unchanged(now, as_read)) {
    return FileError{path, kChanged};
  }
  return std::nullopt;
}

bool is_unchanged(const FileStatus& now, const FileStatus& as_read) {
  return now.identity == as_read.identity && now.size == as_read.size &&
         now.modified == as_read.modified && now.changed == as_read.changed;
}

std::optional<std::string> distrust(const FileStatus& file, const FileStatus* script) {
  // Permission bits do not stop root, so the owner is checked.
  if (script != nullptr && !file.owned_by_caller && file.owner != script->owner) {
    return "belongs to another user";
  }
  if (file.links > 1) {
    return "has other hard links";
  }
  return std::nullopt;
}

}  // namespace jassrewrite
