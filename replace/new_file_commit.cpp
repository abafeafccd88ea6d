// The new file put in the script's place in one step, and checked after; the swap of names is
// settled in exchange.cpp.

#include "replace/new_file_commit.h"

#include "replace/copying.h"

namespace jassrewrite {

Committed NewFileCommit::commit() {
  std::optional<Error> error = put_in();
  return {.refused_its_place = refused_its_place_, .error = std::move(error)};
}

std::optional<Error> NewFileCommit::put_in() {
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
std::optional<Error> NewFileCommit::rename_over_script() {
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
  } while (patience_.wait_again(error, script_.path, new_file_.path()));
  if (error) {
    return after_refused_rename(error);
  }
  new_file_.deactivate();
  if (error = sync_folder_of(script_.target); error) {
    return failed(script_.path, error, Note::kReplacedMayNotLast);
  }
  return check_renamed_in();
}

// The rename goes by names: what has the script's name must be the new file. Another program may
// have saved the script over it just after the rename, or, in the moment since the new file's name
// was checked, put a file of its own there, which the rename then gave the script's name; the two
// cannot be told apart, and neither can be undone. Either way another program's file stands.
std::optional<Error> NewFileCommit::check_renamed_in() {
  const Result<FileStatus> named = status_at(script_.target);
  if (named.error) {
    return failed(script_.path, named.error, Note::kReplacedByWhatUnknown);
  }
  const Result<bool> rewrite_put_in = holds_the_rewrite(named.value);
  if (rewrite_put_in.error) {
    return failed(script_.path, rewrite_put_in.error, Note::kReplacedByWhatUnknown);
  }
  if (!rewrite_put_in.value) {
    return changed(script_.path);
  }
  script_state_ = ScriptState::kRewritten;
  return std::nullopt;
}

// Whether the script's name, `named` as it looks now, leads to the new file as it was written:
// by its times, and by what it holds, which alone tells a write within the file system's tick.
Result<bool> NewFileCommit::holds_the_rewrite(const FileStatus& named) const {
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
// beside the script.
std::optional<Error> NewFileCommit::after_refused_rename(const std::error_code& error) {
  // Taken away by another program since the last check.
  if (error == std::errc::no_such_file_or_directory) {
    return changed(script_.path);
  }
  const std::string left = new_file_.path();
  if (const std::error_code removal = patience_.retry(left, [&] { return new_file_.remove(); })) {
    new_file_.deactivate();
    return failed(left, removal);
  }
  if (error != std::errc::device_or_resource_busy && error != std::errc::cross_device_link &&
      error != std::errc::permission_denied && error != std::errc::operation_not_permitted) {
    return failed(script_.path, error);
  }
  refused_its_place_ = true;
  return std::nullopt;
}

// Refuses where the new file's name no longer leads to the new file as it was written: another
// program's file there must not take the script's place, nor be removed.
std::optional<Error> NewFileCommit::check_new_file_name() {
  const Result<FileStatus> named = status_at(new_file_.path());
  if (named.error) {
    return failed(new_file_.path(), named.error);
  }
  if (!is_as_recorded(snapshot_of(named.value), new_file_.as_written())) {
    return refused(new_file_.deactivate(), Reason::kNewFileChanged);
  }
  return std::nullopt;
}

}  // namespace jassrewrite
