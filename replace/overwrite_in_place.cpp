#include "replace/overwrite_in_place.h"

#include "replace/copying.h"
#include "replace/overwrite_mark.h"

namespace jassrewrite {
namespace {

std::optional<Error> copy_in_place(OpenedScript& script, TemporaryFile& temp, const RunPaths& paths,
                                   ScriptState& script_state) {
  Content copied;
  if (auto failure = overwrite_with(temp.file(), paths.temp, script.file, paths.script,
                                    temp.rewrite().size, copied)) {
    return failure->kind == ErrorKind::kRefused ? written_meanwhile(paths) : failure;
  }
  if (auto failure = check_copy_in_place(
          temp.file(), script.file, paths, temp.rewrite(), temp.rewrite_content(), copied,
          refused(paths.temp, Reason::kTempChanged, Note::kCopyNotTheRewrite))) {
    return failure;
  }
  script_state = ScriptState::kRewritten;
  if (const std::error_code removal = remove_lasting(overwrite_mark_path(paths.temp))) {
    return failed(overwrite_mark_path(paths.temp), removal);
  }
  // Let go of first: on Windows a script that another program deleted meanwhile keeps its name
  // until then.
  if (const std::error_code error = close(script.file)) {
    return failed(paths.script, error);
  }
  // Another program that saved the script by a new file since the last check has its save under
  // the script's name; the file overwritten here kept only its other names.
  return script.check_name(false);
}

}  // namespace

// The space is claimed and the mark is on the disk before the first byte of the script changes;
// the script is checked right before that byte, and its name once more at the end.
std::optional<Error> overwrite_in_place(OpenedScript& script, TemporaryFile& temp,
                                        const RunPaths& paths, Patience& patience,
                                        ScriptState& script_state) {
  if (!script.file.is_open()) {
    const std::error_code error = patience.retry(paths.script, [&] {
      Result<File> opened = open_existing(script.target);
      script.file = std::move(opened.value);
      return opened.error;
    });
    if (error) {
      return failed(paths.script, error);
    }
  }
  if (auto changed_meanwhile = temp.check_as_recorded()) {
    return changed_meanwhile;
  }
  if (auto changed_meanwhile = script.check_opened()) {
    return changed_meanwhile;
  }
  if (auto changed_meanwhile = script.check_name(false)) {
    return changed_meanwhile;
  }
  if (auto failure = reserve_space(script.file, paths.script, temp.rewrite().size)) {
    return failure;
  }
  // Claiming space changes the file's times on some file systems: the mark records the script as
  // it is now, so that a run that finds it so knows that no byte of it has changed.
  const auto [reserved, error] = status(script.file);
  if (error || reserved.size != script.as_read.size) {
    return error ? failed(paths.script, error) : changed(paths.script);
  }
  script.as_read = snapshot_of(reserved);
  if (auto failure =
          write_mark(paths.temp, {script.as_read, temp.rewrite(), temp.rewrite_content().digest})) {
    return failure;
  }
  // Checked again right before the first byte changes: the mark's syncs take a while, and what
  // another program wrote into tempwar3map.j meanwhile would be copied over the script. Its
  // contents too, since the record above takes the script's times as they are now; then its
  // times, for what was written while its contents were read.
  auto changed_meanwhile = temp.check_as_recorded();
  if (!changed_meanwhile) {
    changed_meanwhile = temp.check_contents();
  }
  if (!changed_meanwhile) {
    changed_meanwhile = script.check_contents();
  }
  if (!changed_meanwhile) {
    changed_meanwhile = script.check_opened();
  }
  if (!changed_meanwhile) {
    changed_meanwhile = script.check_name(false);
  }
  if (changed_meanwhile) {
    if (const std::error_code removal = remove_lasting(overwrite_mark_path(paths.temp))) {
      return failed(overwrite_mark_path(paths.temp), removal);
    }
    return changed_meanwhile;
  }
  script_state = ScriptState::kCutUnderMark;
  return copy_in_place(script, temp, paths, script_state);
}

}  // namespace jassrewrite
