// Opening the run's files under their locks, in order, and the recovery of what earlier runs left
// (recovery.h); what is refused of them is in opening_refusals.cpp.

#include "replace/replacement.h"

namespace jassrewrite {

// Opened again where another run replaced the script by a new file while this one waited for its
// lock.
std::optional<Error> ScriptReplacement::open_script() {
  const std::string& path = paths_.script;
  for (;;) {
    locks_.release_script();
    const std::error_code error = patience_.retry(path, [&] {
      Result<File> opened = open_existing(path);
      script_.file = std::move(opened.value);
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
    const Result<FileStatus> named = status_at(path);
    if (named.error) {
      return named.error == std::errc::no_such_file_or_directory ? changed(path)
                                                                 : failed(path, named.error);
    }
    if (named.value.identity == script_.as_opened.identity) {
      script_.present = true;
      return resolve_target();
    }
  }
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
  script_.target = std::move(target.value);
  return std::nullopt;
}

std::optional<Error> ScriptReplacement::lock_script() {
  const std::string& path = paths_.script;
  if (auto failure = locks_.lock_script(script_.file, path, patience_)) {
    return failure;
  }
  const Result<FileStatus> as_locked = status(script_.file);
  if (as_locked.error) {
    return failed(path, as_locked.error);
  }
  script_.as_opened = as_locked.value;
  script_.as_read = snapshot_of(script_.as_opened);
  return std::nullopt;
}

std::optional<Error> ScriptReplacement::open_temp() {
  const std::string& path = paths_.temp;
  std::error_code error = patience_.retry(path, [&] {
    Result<File> opened = open_or_create_unfollowed(path);
    temp_.file() = std::move(opened.value);
    return opened.error;
  });
  if (error) {
    return refuse_unopened_temp(error);
  }
  const Result<FileStatus> checked = status(temp_.file());
  if (checked.error) {
    return failed(path, checked.error);
  }
  if (auto refusal = check_temp(checked.value)) {
    return refusal;
  }
  // On Windows the file is opened once more, so that no other program may write to it; it must
  // still be the file that was checked.
  const std::error_code reopening = patience_.retry(path, [&] {
    Result<File> kept_file = keep_others_from_writing(temp_.file(), path);
    temp_.file() = std::move(kept_file.value);
    return kept_file.error;
  });
  const Result<FileStatus> kept =
      reopening ? Result<FileStatus>{.error = reopening} : status(temp_.file());
  if (kept.error) {
    return failed(path, kept.error);
  }
  if (kept.value.identity != checked.value.identity) {
    return refused(path, Reason::kChangedWhileOpened, NextStep::kRunAgain);
  }
  // Beside a missing or empty script, what is in it may be the only copy of a rewrite that an
  // earlier run was refused to put in the script's place.
  const bool left_as_found = !script_.to_rewrite() && kept.value.size > 0;
  temp_.opened(kept.value.identity, left_as_found);
  if (left_as_found) {
    return std::nullopt;
  }
  if (error = truncate(temp_.file()); error) {
    return failed(path, error);
  }
  return std::nullopt;
}

// The recovery of what earlier runs left, in order, under both locks.
std::optional<Error> ScriptReplacement::recover() {
  if (auto error = drop_unfinished_mark(paths_)) {
    return error;
  }
  if (auto error = took_effect(recover_cut_overwrite(paths_))) {
    return error;
  }
  if (auto error = settle_left_new_file()) {
    return error;
  }
  // What the conversion reads, and what it checks against, is the script as recovered.
  if (recovered_ == Recovered::kFinishedCutOverwrite) {
    const Result<FileStatus> finished = status(script_.file);
    if (finished.error) {
      return failed(paths_.script, finished.error);
    }
    script_.as_opened = finished.value;
    script_.as_read = snapshot_of(script_.as_opened);
  }
  return std::nullopt;
}

std::optional<Error> ScriptReplacement::took_effect(Recovery step) {
  if (step.done != Recovered::kNothing) {
    recovered_ = step.done;
    script_state_ = ScriptState::kFinishedFromEarlierRun;
  }
  return std::move(step.error);
}

// A new file beside the script is left by a run that was killed, or by the system stopping between
// the two steps of a replacement: the script's lock says that no run is using it now.
std::optional<Error> ScriptReplacement::settle_left_new_file() {
  const std::string path = (script_.present ? script_.target : paths_.script) + kNewFileSuffix;
  const Result<bool> left = name_exists(path);
  if (left.error) {
    return failed(path, left.error);
  }
  if (!left.value) {
    return std::nullopt;
  }
  if (!script_.present) {
    // An empty script must not take the place of a rewrite that could not take its name.
    if (auto error = took_effect(name_left_rewrite(paths_))) {
      return error;
    }
    return open_script();
  }
  const std::error_code error = patience_.retry(path, [&] { return remove(path); });
  // One that may not be removed (another user's in a shared folder, a folder where nothing may be
  // removed, a folder with files in it, which are not the run's to remove) has the script
  // overwritten in place instead.
  if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
      error == std::errc::directory_not_empty) {
    placement_ = Placement::kInPlace;
    return std::nullopt;
  }
  return error ? std::optional(in_the_way(path, error)) : std::nullopt;
}

}  // namespace jassrewrite
