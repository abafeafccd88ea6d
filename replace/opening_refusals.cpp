// What the run refuses of the files it opens, before anything is written, and what it tells the
// user about a file it could not open: the script's state and what the user can do about it where
// doing so loses nothing.

#include "replace/replacement.h"

namespace jassrewrite {

// A script that could not be opened, with what the user can do about it where doing so loses
// nothing.
Error ScriptReplacement::refuse_unopened_script(const std::error_code& error) const {
  const std::string& path = paths_.script;
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
std::optional<Error> ScriptReplacement::refuse_dangling_link() const {
  const Result<bool> dangling = name_exists(paths_.script);
  if (dangling.error) {
    return failed(paths_.script, dangling.error);
  }
  return dangling.value ? std::optional(refused(paths_.script, Reason::kDanglingLink))
                        : std::nullopt;
}

// tempwar3map.j that could not be opened for writing, with what became of the script and what the
// user can do about it where doing so loses nothing.
Error ScriptReplacement::refuse_unopened_temp(const std::error_code& error) const {
  const std::string& path = paths_.temp;
  if (error == std::errc::too_many_symbolic_link_levels) {
    return refused(path, Reason::kSymbolicLink, NextStep::kDeleteItThenRunAgain);
  }
  if (error == std::errc::not_supported) {
    return refused(path, Reason::kNotAFile);
  }
  if (error == std::errc::is_a_directory) {
    return refused(path, Reason::kFolder, NextStep::kMoveItAwayThenRunAgain);
  }
  NextStep next_step = NextStep::kCloseTheHolder;
  if (error == std::errc::permission_denied || error == std::errc::read_only_file_system) {
    const Result<bool> there = name_exists(path);
    if (there.error) {
      return failed(path, error);
    }
    next_step = there.value ? NextStep::kMakeWritableOrDelete : NextStep::kMakeFolderWritable;
  } else if (error != std::errc::device_or_resource_busy) {
    return failed(path, error);
  }
  return telling(failed(path, error), claim_of_state(), {}, next_step);
}

// Refuses, before anything is written, a temporary file that is not a regular file, is the script
// itself, has other hard links, or belongs to a user who could change it between its writing and
// its reading back; gives it the script's permission bits.
std::optional<Error> ScriptReplacement::check_temp(const FileStatus& temp) {
  const std::string& path = paths_.temp;
  if (!temp.regular) {
    return refused(path, Reason::kNotAFile);
  }
  // Emptying the script itself under another name would lose it before a line was read.
  if (script_.present && temp.identity == script_.as_opened.identity) {
    return refused(path, Reason::kTheScriptItself);
  }
  // Without a script to rewrite, its bytes go nowhere.
  if (!script_.to_rewrite()) {
    return std::nullopt;
  }
  if (auto reason = distrust(temp, &script_.as_opened)) {
    return refused(path, *reason, NextStep::kDeleteItThenRunAgain);
  }
  const std::error_code error = copy_permissions(temp_.file(), script_.as_opened, false);
  if (error == std::errc::operation_not_permitted) {
    return refused(path, Reason::kOtherUser, NextStep::kDeleteItThenRunAgain);
  }
  return error ? std::optional(failed(path, error)) : std::nullopt;
}

}  // namespace jassrewrite
