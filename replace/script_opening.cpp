// The script opened under its lock, and what is refused of it before anything is written, with
// what the user can do about a script that could not be opened where doing so loses nothing.

#include "replace/opened_script.h"

namespace jassrewrite {
namespace {

Error refuse_unopened(const std::string& path, const std::error_code& error) {
  if (error == std::errc::not_supported) {
    return refused(path, Reason::kNotAFile);
  }
  if (error == std::errc::is_a_directory) {
    return refused(path, Reason::kFolderNotScript, NextStep::kMoveItAwayThenRunAgain);
  }
  // The script is opened for reading and writing before anything else is done.
  const auto unchanged = [&](NextStep next_step) {
    return telling(failed(path, error), Claim::kUnchanged, {}, next_step);
  };
  if (error == std::errc::permission_denied) {
    // Then not even whether there is a script is known, and its own permissions are not the cause.
    if (hidden_by_its_folders(path)) {
      Error hidden = claiming(failed(path, error, Note::kNothingChanged), Claim::kUnchanged);
      hidden.next_step = NextStep::kGiveAccessToFolder;
      return hidden;
    }
    return unchanged(NextStep::kMakeReadableAndWritable);
  }
  if (error == std::errc::read_only_file_system) {
    return unchanged(NextStep::kMakeWritable);
  }
  // Windows, once the waits for a program that holds it are over.
  if (error == std::errc::device_or_resource_busy) {
    return unchanged(NextStep::kCloseTheHolder);
  }
  return failed(path, error);
}

// A missing script is none, unless its name is a dangling link: following that would create a
// file wherever it points, outside the map's folder.
std::optional<Error> refuse_dangling_link(const std::string& path) {
  const Result<bool> dangling = name_exists(path);
  if (dangling.error) {
    return failed(path, dangling.error);
  }
  return dangling.value ? std::optional(refused(path, Reason::kDanglingLink)) : std::nullopt;
}

std::optional<Error> lock(OpenedScript& script, RunLocks& locks, Patience& patience) {
  if (auto failure = locks.lock_script(script.file, script.path, patience)) {
    return failure;
  }
  return script.take_as_read();
}

std::optional<Error> resolve_target(OpenedScript& script) {
  Result<std::string> target = resolve_links(script.path);
  if (target.error) {
    // Taken away since it was opened.
    return target.error == std::errc::no_such_file_or_directory ? changed(script.path)
                                                                : failed(script.path, target.error);
  }
  script.target = std::move(target.value);
  return std::nullopt;
}

}  // namespace

std::optional<Error> OpenedScript::open(RunLocks& locks, Patience& patience) {
  for (;;) {
    locks.release_script();
    const std::error_code error = patience.retry(path, [&] {
      Result<File> opened = open_existing(path);
      file = std::move(opened.value);
      return opened.error;
    });
    if (error == std::errc::no_such_file_or_directory) {
      return refuse_dangling_link(path);
    }
    if (error) {
      return refuse_unopened(path, error);
    }
    if (auto locking = lock(*this, locks, patience)) {
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
    if (named.value.identity == as_opened.identity) {
      present = true;
      return resolve_target(*this);
    }
  }
}

}  // namespace jassrewrite
