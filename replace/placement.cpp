// How the rewrite takes the script's place: the choice between a new file beside it and the script
// overwritten in place, the new file written, and a missing script created empty.

#include "replace/copying.h"
#include "replace/new_file_commit.h"
#include "replace/overwrite_in_place.h"
#include "replace/replacement.h"

namespace jassrewrite {

// Where the new file is refused the script's place, the script is as it was and is overwritten in
// place instead.
std::optional<Error> ScriptReplacement::put_in_place() {
  if (placement_ == Placement::kNewFile) {
    Committed committed =
        NewFileCommit(new_file_, script_, temp_, patience_, script_state_).commit();
    if (!committed.refused_its_place) {
      return std::move(committed.error);
    }
    placement_ = Placement::kInPlace;
  }
  return overwrite_in_place(script_, temp_, paths_, patience_, script_state_);
}

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
