// The one recovery of what earlier runs left, done first under both locks: an unfinished mark, an
// overwrite in place cut short (cut_overwrite.cpp), a complete new file beside a missing script,
// and a stale new file beside the script.

#include "replace/copying.h"
#include "replace/overwrite_mark.h"
#include "replace/replacement.h"

namespace jassrewrite {

std::optional<Error> ScriptReplacement::recover() {
  if (auto error = drop_unfinished_mark()) {
    return error;
  }
  if (auto error = recover_cut_overwrite()) {
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

// A mark that was still being written when its run ended never took effect: the script is touched
// only once the mark has its own name. What has its name is removed unless it is the script itself
// under another name; a symbolic link is removed, never what it leads to.
std::optional<Error> ScriptReplacement::drop_unfinished_mark() {
  const std::string path = unfinished_mark_path(paths_.temp);
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
    const Result<FileStatus> script = status(paths_.script);
    error = mark.error;
    if (script.error && script.error != std::errc::no_such_file_or_directory) {
      return failed(paths_.script, script.error);
    }
    if (!error && !script.error && mark.value.identity == script.value.identity) {
      return refused(path, "is the script itself (a link to " + paths_.script + ")");
    }
  }
  unfinished.value = File();
  if (!error) {
    error = remove(path);
  }
  return error ? std::optional(failed(path, error)) : std::nullopt;
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
    if (auto error = name_left_rewrite()) {
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

// Gives the new file left beside a missing script the script's name, but only when it is byte for
// byte the complete rewrite in the temporary file and no overwrite in place is pending; otherwise
// refuses, with everything as it is.
std::optional<Error> ScriptReplacement::name_left_rewrite() {
  const std::string& path = paths_.script;
  const std::string left = path + kNewFileSuffix;
  const Error refusal =
      claiming(refused(path, "not found, but an earlier run left " + left +
                                 ": if that is the complete rewrite, give it the script's name, "
                                 "otherwise delete it"),
               Claim::kMissing, left);
  const std::string mark = overwrite_mark_path(paths_.temp);
  if (const auto [marked, error] = name_exists(mark); marked || error) {
    return error ? failed(mark, error) : refusal;
  }
  if (auto incomplete = refuse_unless_complete(left, paths_.temp, refusal)) {
    return incomplete;
  }
  if (const std::error_code error = rename_new(left, path)) {
    return claiming(failed(left, error, "the script is missing, and this is its complete rewrite"),
                    Claim::kMissing, left);
  }
  if (const std::error_code error = sync_folder_of(path)) {
    return claiming(failed(path, error,
                           "it was given back its name, but that may not last through a power cut"),
                    Claim::kFinishedFromEarlierRun);
  }
  // The script is no longer as the run found it: what it says of it from now on says so.
  script_state_ = ScriptState::kFinishedFromEarlierRun;
  recovered_ = Recovered::kNamedLeftRewrite;
  return std::nullopt;
}

}  // namespace jassrewrite
