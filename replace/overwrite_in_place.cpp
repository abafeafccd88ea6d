// The replacement's fallback where no new file can take the script's place: the script
// overwritten in place, under the mark.

#include "replace/copying.h"
#include "replace/overwrite_mark.h"
#include "replace/replacement.h"

namespace jassrewrite {

// The space is claimed and the mark is on the disk before the first byte of the script changes;
// the script is checked right before that byte, and its name once more at the end.
std::optional<Error> ScriptReplacement::overwrite_in_place() {
  if (!script_.file.is_open()) {
    const std::error_code error = patience_.retry(paths_.script, [&] {
      Result<File> opened = open_existing(script_.target);
      script_.file = std::move(opened.value);
      return opened.error;
    });
    if (error) {
      return failed(paths_.script, error);
    }
  }
  if (auto changed_meanwhile = temp_.check_as_recorded()) {
    return changed_meanwhile;
  }
  if (auto changed_meanwhile = script_.check_opened()) {
    return changed_meanwhile;
  }
  if (auto changed_meanwhile = script_.check_name(false)) {
    return changed_meanwhile;
  }
  if (auto failure = reserve_space(script_.file, paths_.script, temp_.rewrite().size)) {
    return failure;
  }
  // Claiming space changes the file's times on some file systems: the mark records the script as
  // it is now, so that a run that finds it so knows that no byte of it has changed.
  const auto [reserved, error] = status(script_.file);
  if (error || reserved.size != script_.as_read.size) {
    return error ? failed(paths_.script, error) : changed(paths_.script);
  }
  script_.as_read = snapshot_of(reserved);
  if (auto failure = write_mark(
          paths_.temp, {script_.as_read, temp_.rewrite(), temp_.rewrite_content().digest})) {
    return failure;
  }
  // Checked again right before the first byte changes: the mark's syncs take a while, and what
  // another program wrote into tempwar3map.j meanwhile would be copied over the script. Its
  // contents too, since the record above takes the script's times as they are now; then its
  // times, for what was written while its contents were read.
  auto changed_meanwhile = temp_.check_as_recorded();
  if (!changed_meanwhile) {
    changed_meanwhile = temp_.check_contents();
  }
  if (!changed_meanwhile) {
    changed_meanwhile = script_.check_contents();
  }
  if (!changed_meanwhile) {
    changed_meanwhile = script_.check_opened();
  }
  if (!changed_meanwhile) {
    changed_meanwhile = script_.check_name(false);
  }
  if (changed_meanwhile) {
    if (const std::error_code removal = remove_lasting(overwrite_mark_path(paths_.temp))) {
      return failed(overwrite_mark_path(paths_.temp), removal);
    }
    return changed_meanwhile;
  }
  script_state_ = ScriptState::kCutUnderMark;
  return copy_in_place();
}

std::optional<Error> ScriptReplacement::copy_in_place() {
  Content copied;
  if (auto failure = overwrite_with(temp_.file(), paths_.temp, script_.file, paths_.script,
                                    temp_.rewrite().size, copied)) {
    return failure->kind == ErrorKind::kRefused ? written_meanwhile(paths_) : failure;
  }
  if (auto failure = check_copy_in_place(
          temp_.file(), script_.file, paths_, temp_.rewrite(), temp_.rewrite_content(), copied,
          refused(paths_.temp, Reason::kTempChanged, Note::kCopyNotTheRewrite))) {
    return failure;
  }
  script_state_ = ScriptState::kRewritten;
  if (const std::error_code removal = remove_lasting(overwrite_mark_path(paths_.temp))) {
    return failed(overwrite_mark_path(paths_.temp), removal);
  }
  // Let go of first: on Windows a script that another program deleted meanwhile keeps its name
  // until then.
  if (const std::error_code error = close(script_.file)) {
    return failed(paths_.script, error);
  }
  // Another program that saved the script by a new file since the last check has its save under
  // the script's name; the file overwritten here kept only its other names.
  return script_.check_name(false);
}

}  // namespace jassrewrite
