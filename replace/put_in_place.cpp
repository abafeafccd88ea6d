// The rewrite put in the script's place by a new file, in one step.

#include "replace/copying.h"
#include "replace/replacement.h"

namespace jassrewrite {

// A missing script is created empty, but only where its folder exists: a run in the wrong folder
// must not create one. One that appeared meanwhile is left as it is.
std::optional<Error> ScriptReplacement::create_empty_script() {
  auto [script, error] = open_or_create_unfollowed(paths_.script);
  if (error == std::errc::no_such_file_or_directory) {
    return std::nullopt;
  }
  if (error == std::errc::too_many_symbolic_link_levels) {
    return changed(paths_.script);
  }
  // The run wrote nothing into it: only its name has to last through a power cut.
  if (!error) {
    error = close(script);
  }
  if (!error) {
    error = sync_folder_of(paths_.script);
  }
  return error ? std::optional(failed(paths_.script, error)) : std::nullopt;
}

// Copies the rewrite, read back through the temporary file's own handle, into a new file beside
// the script with the script's permissions and owner, and syncs it. Where a new file cannot take
// the script's place it makes none, and the script is overwritten in place. The script is
// untouched whatever happens here.
std::optional<Error> ScriptReplacement::write_new_file() {
  // A rename would part the script from its other names, which would keep the old content, and
  // would lose its extended attributes and access control lists.
  if (script_.as_opened.links > 1 || script_.as_opened.extended_attributes) {
    placement_ = Placement::kInPlace;
  }
  if (placement_ == Placement::kInPlace) {
    return std::nullopt;
  }
  const std::string path = script_.target + kNewFileSuffix;
  // Several hundred megabytes, for a large script: an interrupt once it is made says it is left.
  // Held meanwhile, so that one never leaves it untold.
  Result<NewFile> made;
  interrupts_.hold_during([&] {
    made = NewFile::create(path);
    return made.error ? std::string() : path;
  });
  const std::error_code error = made.error;
  // The recovery removed what an earlier run left: one there now is another program's.
  if (error == std::errc::file_exists) {
    return in_the_way(path, error);
  }
  // Where no new file can be made beside the script, it is overwritten in place; a disk that is
  // failing or full stops the run, with the script as it was, rather than have it overwritten on
  // such a disk.
  if (error && error != std::errc::no_space_on_device && error != std::errc::io_error) {
    placement_ = Placement::kInPlace;
    return std::nullopt;
  }
  if (error) {
    return failed(paths_.script, error);
  }
  new_file_ = std::move(made.value);
  if (copy_permissions(new_file_.file(), script_.as_opened, true)) {
    // An owner that cannot be kept: overwrite in place, which keeps everything.
    remove_new_file();
    placement_ = Placement::kInPlace;
    return std::nullopt;
  }
  Content copied;
  if (auto failure =
          copy_contents(temp_.file(), paths_.temp, new_file_.file(), paths_.script, copied)) {
    return failure->kind == ErrorKind::kRefused ? refused(path, Reason::kWrittenMeanwhile)
                                                : *failure;
  }
  if (auto changed_meanwhile = temp_.check_copied(copied)) {
    return changed_meanwhile;
  }
  if (auto changed_meanwhile = temp_.check_as_recorded()) {
    return changed_meanwhile;
  }
  const Result<bool> holds_rewrite = new_file_.finish(temp_.rewrite_content());
  if (holds_rewrite.error) {
    return failed(paths_.script, holds_rewrite.error);
  }
  if (!holds_rewrite.value) {
    return refused(path, Reason::kWrittenMeanwhile);
  }
  return std::nullopt;
}

// Puts the new file in the script's place in one step. Where that is refused, the script is as it
// was and is overwritten in place instead.
std::optional<Error> ScriptReplacement::put_new_file_in_place() {
  // What it holds first, which takes a while; then, at the last moment, its name and times.
  if (auto changed_meanwhile = script_.check_contents()) {
    return changed_meanwhile;
  }
  if (auto changed_meanwhile = script_.check_name(true)) {
    return changed_meanwhile;
  }
  if (auto changed_meanwhile = check_new_file_name()) {
    return changed_meanwhile;
  }
  const std::error_code error = swap_names(new_file_.path(), script_.target);
  if (!error) {
    // Its name now leads to what the script was.
    return settle_exchange(new_file_.deactivate());
  }
  if (error == std::errc::not_supported) {
    return rename_over_script();
  }
  return after_refused_rename(error);
}

// Where the system cannot swap names (Windows), the new file is renamed over the script. Another
// program may save the script while the run waits for the rename: it is checked before each try.
std::optional<Error> ScriptReplacement::rename_over_script() {
  // Windows cannot always replace a file that is open, even by this run.
  script_.file = File();
  std::error_code error;
  do {
    if (auto changed_meanwhile = script_.check_name(true)) {
      return changed_meanwhile;
    }
    if (auto changed_meanwhile = check_new_file_name()) {
      return changed_meanwhile;
    }
    error = replace(new_file_.path(), script_.target);
  } while (patience_.wait_again(error, paths_.script, new_file_.path()));
  if (error) {
    return after_refused_rename(error);
  }
  new_file_.deactivate();
  if (error = sync_folder_of(script_.target); error) {
    return failed(paths_.script, error, Note::kReplacedMayNotLast);
  }
  return check_renamed_in();
}

// The rename goes by names: what has the script's name must be the new file. Another program may
// have saved the script over it just after the rename, or, in the moment since the new file's name
// was checked, put a file of its own there, which the rename then gave the script's name; the two
// cannot be told apart, and neither can be undone. Either way another program's file stands.
std::optional<Error> ScriptReplacement::check_renamed_in() {
  const Result<FileStatus> named = status_at(script_.target);
  if (named.error) {
    return failed(paths_.script, named.error, Note::kReplacedByWhatUnknown);
  }
  const Result<bool> rewrite_put_in = holds_the_rewrite(named.value);
  if (rewrite_put_in.error) {
    return failed(paths_.script, rewrite_put_in.error, Note::kReplacedByWhatUnknown);
  }
  if (!rewrite_put_in.value) {
    return changed(paths_.script);
  }
  script_state_ = ScriptState::kRewritten;
  return std::nullopt;
}

// Whether the script's name, `named` as it looks now, leads to the new file as it was written:
// by its times, and by what it holds, which alone tells a write within the file system's tick.
Result<bool> ScriptReplacement::holds_the_rewrite(const FileStatus& named) const {
  if (!is_as_recorded_after_rename(snapshot_of(named), new_file_.as_written())) {
    return {.value = false};
  }
  Result<Opened> opened = look_at(open_for_reading_unfollowed(script_.target));
  if (opened.error) {
    return {.error = opened.error};
  }
  if (opened.value.status.identity != new_file_.as_written().identity) {
    return {.value = false};
  }
  const Result<Content> held = content_of(opened.value.file);
  return {.value = held.value == temp_.rewrite_content(), .error = held.error};
}

// The new file goes before the script is overwritten in place: a run that ends well leaves nothing
// beside the script. Where the rename is refused (another program holds the script open, a folder
// where the user may create but not replace another's file), the script is as it was and can still
// be overwritten in place.
std::optional<Error> ScriptReplacement::after_refused_rename(const std::error_code& error) {
  // Taken away by another program since the last check.
  if (error == std::errc::no_such_file_or_directory) {
    return changed(paths_.script);
  }
  const std::string left = new_file_.path();
  if (const std::error_code removal = patience_.retry(left, [&] { return new_file_.remove(); })) {
    new_file_.deactivate();
    return failed(left, removal);
  }
  if (error != std::errc::device_or_resource_busy && error != std::errc::cross_device_link &&
      error != std::errc::permission_denied && error != std::errc::operation_not_permitted) {
    return failed(paths_.script, error);
  }
  placement_ = Placement::kInPlace;
  return overwrite_in_place();
}

// Refuses where the new file's name no longer leads to the new file as it was written: another
// program's file there must not take the script's place, nor be removed.
std::optional<Error> ScriptReplacement::check_new_file_name() {
  const Result<FileStatus> named = status_at(new_file_.path());
  if (named.error) {
    return failed(new_file_.path(), named.error);
  }
  if (!is_as_recorded(snapshot_of(named.value), new_file_.as_written())) {
    return refused(new_file_.deactivate(), Reason::kNewFileChanged);
  }
  return std::nullopt;
}

void ScriptReplacement::remove_new_file() {
  if (!new_file_.active()) {
    return;
  }
  // Held, so that an interrupt meanwhile says nothing of a file that is going or gone; one that
  // could not be removed is still named.
  interrupts_.hold_during(
      [this] { return new_file_.remove() ? new_file_.deactivate() : std::string(); });
}

}  // namespace jassrewrite
