// The recovery of an unfinished mark and of a complete new file beside a missing script; that of
// an overwrite in place cut short is in cut_overwrite.cpp.

#include "replace/recovery.h"

#include "replace/copying.h"
#include "replace/overwrite_mark.h"

namespace jassrewrite {

// The script is touched only once the mark has its own name. A symbolic link at the unfinished
// mark's name is removed, never what it leads to.
std::optional<Error> drop_unfinished_mark(const RunPaths& paths) {
  const std::string path = unfinished_mark_path(paths.temp);
  const Result<bool> exists = name_exists(path);
  if (exists.error) {
    return failed(path, exists.error);
  }
  if (!exists.value) {
    return std::nullopt;
  }
  Result<File> unfinished = open_for_reading_unfollowed(path);
  std::error_code error = unfinished.error;
  if (error == std::errc::too_many_symbolic_link_levels || error == std::errc::not_supported) {
    error.clear();
  } else if (!error) {
    const Result<FileStatus> mark = status(unfinished.value);
    const Result<FileStatus> script = status_at(paths.script);
    error = mark.error;
    if (script.error && script.error != std::errc::no_such_file_or_directory) {
      return failed(paths.script, script.error);
    }
    if (!error && !script.error && mark.value.identity == script.value.identity) {
      return refused(path, Reason::kTheScriptItself);
    }
  }
  unfinished.value = File();
  if (!error) {
    error = remove(path);
  }
  return error ? std::optional(failed(path, error)) : std::nullopt;
}

namespace {

// Refuses with `refusal` unless the new file at `left` is byte for byte the complete rewrite in
// the temporary file, both trusted; with the error where that cannot be told.
std::optional<Error> refuse_unless_complete(const std::string& left, const std::string& temp_path,
                                            const Error& refusal) {
  Result<Opened> new_file = look_at(open_for_reading_unfollowed(left));
  if (new_file.error) {
    return failed(left, new_file.error);
  }
  Result<Opened> temp = look_at(open_for_reading_unfollowed(temp_path));
  if (temp.error == std::errc::no_such_file_or_directory) {
    return refusal;
  }
  if (temp.error) {
    return failed(temp_path, temp.error);
  }
  const FileStatus& new_status = new_file.value.status;
  const FileStatus& temp_status = temp.value.status;
  // Nor is an empty tempwar3map.j, which a run on Windows makes for its lock, the rewrite.
  if (distrust(new_status, nullptr) || distrust(temp_status, nullptr) || temp_status.size == 0 ||
      new_status.size != temp_status.size) {
    return refusal;
  }
  const Result<bool> same = is_start_of(new_file.value.file, temp.value.file);
  if (same.error || !same.value) {
    return same.error ? failed(left, same.error) : refusal;
  }
  return std::nullopt;
}

}  // namespace

// Refuses, with everything as it is, unless the new file is the complete rewrite.
Recovery name_left_rewrite(const RunPaths& paths) {
  const std::string& path = paths.script;
  const std::string left = path + kNewFileSuffix;
  const Error refusal =
      claiming(refused(path, Reason::kLeftBesideMissingScript), Claim::kMissing, left);
  const std::string mark = overwrite_mark_path(paths.temp);
  if (const auto [marked, error] = name_exists(mark); marked || error) {
    return {.error = error ? failed(mark, error) : refusal};
  }
  if (auto incomplete = refuse_unless_complete(left, paths.temp, refusal)) {
    return {.error = incomplete};
  }
  if (const std::error_code error = rename_new(left, path)) {
    return {.error = claiming(failed(left, error, Note::kRewriteOfMissingScript), Claim::kMissing,
                              left)};
  }
  // Where the sync fails, the error alone tells what was done.
  if (const std::error_code error = sync_folder_of(path)) {
    return {.error = claiming(failed(path, error, Note::kNamedBackMayNotLast),
                              Claim::kFinishedFromEarlierRun)};
  }
  return {.done = Recovered::kNamedLeftRewrite};
}

}  // namespace jassrewrite
