#include "rewrite/overwrite_in_place.h"

#include <cstdint>
#include <string>

#include "rewrite/copying.h"
#include "rewrite/overwrite_mark.h"

namespace jassrewrite {

namespace {

// Refuses where the script's name no longer leads to the file that was read.
std::optional<FileError> refuse_if_moved(const ScriptFiles& files) {
  const auto [named, error] = status(files.target_path);
  if (error) {
    return os_error(files.script_path, error);
  }
  if (named.identity != files.script_status.identity) {
    return FileError{files.script_path, kChanged};
  }
  return std::nullopt;
}

// Refuses where the script's name no longer leads to the file that was read, or that file has
// changed since; the script is then as it was.
std::optional<FileError> refuse_if_moved_or_changed(ScriptFiles& files) {
  if (auto changed = refuse_if_changed(files.script, files.script_status, files.script_path)) {
    return changed;
  }
  auto moved = refuse_if_moved(files);
  if (moved && moved->reason != kChanged) {
    moved->note = kUnchangedKept + files.temp_path;
  }
  return moved;
}

}  // namespace

std::optional<FileError> overwrite_in_place(ScriptFiles& files) {
  const std::string unchanged = kUnchangedKept + files.temp_path;
  if (!files.script.is_open()) {
    const std::error_code error = with_patience(files, files.script_path, [&] {
      Result<File> opened = open_existing(files.target_path);
      files.script = std::move(opened.value);
      return opened.error;
    });
    if (error) {
      return os_error(files.script_path, error, unchanged);
    }
  }
  if (auto changed = refuse_if_temp_changed(files)) {
    changed->note = "the script is unchanged";
    return changed;
  }
  if (auto changed = refuse_if_moved_or_changed(files)) {
    return changed;
  }
  const std::uint64_t size = files.temp_status.size;
  if (auto failure = reserve_space(files.script, files.script_path, size)) {
    failure->note = unchanged;
    return failure;
  }
  // Claiming space changes the file's times on some file systems: the mark records the script as
  // it is now, so that a run that finds it so knows that no byte of it has changed.
  const auto [reserved, error] = status(files.script);
  if (error || reserved.size != files.script_status.size) {
    return error ? os_error(files.script_path, error, unchanged)
                 : FileError{files.script_path, kChanged};
  }
  files.script_status = reserved;
  if (auto failure = mark_overwrite(files)) {
    failure->note = unchanged;
    return failure;
  }
  // Checked again right before the first byte changes: the mark's syncs take a while.
  if (auto changed = refuse_if_moved_or_changed(files)) {
    if (auto failure = unmark_overwrite(files.temp_path)) {
      failure->note = "the script is unchanged";
      return failure;
    }
    return changed;
  }
  if (auto failure =
          overwrite_with(files.temp, files.temp_path, files.script, files.script_path, size)) {
    failure->note = "the complete rewritten script is kept in " + files.temp_path +
                    ", and the next run finishes the copy";
    return failure;
  }
  if (auto changed = refuse_if_temp_changed(files)) {
    changed->note = "what was copied into the script is not the rewrite: it may be cut short";
    return changed;
  }
  if (auto failure = unmark_overwrite(files.temp_path)) {
    failure->note = "the script was rewritten";
    return failure;
  }
  // Another program that saved the script by a new file since the last check has its save under
  // the script's name; the file overwritten here kept only its other names.
  return refuse_if_moved(files);
}

}  // namespace jassrewrite
