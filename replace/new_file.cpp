// The rewrite put in the script's place by a new file, in one step.

#include "replace/copying.h"
#include "replace/replacement.h"

namespace jassrewrite {

namespace {

constexpr const char* kMayNotLast =
    "it was rewritten, but the change may not last through a power cut";

}  // namespace

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
  if (!error) {
    error = close_lasting(script, paths_.script);
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
  if (script_status_.links > 1 || script_status_.extended_attributes || new_file_in_the_way_) {
    return std::nullopt;
  }
  const std::string path = target_path_ + kNewFileSuffix;
  auto [file, error] = create_new(path);
  // The recovery removed what an earlier run left: one there now is another program's.
  if (error == std::errc::file_exists) {
    return in_the_way(path, error);
  }
  // Where no new file can be made beside the script, it is overwritten in place; a disk that is
  // failing or full stops the run, with the script as it was, rather than have it overwritten on
  // such a disk.
  if (error && error != std::errc::no_space_on_device && error != std::errc::io_error) {
    return std::nullopt;
  }
  if (error) {
    return failed(paths_.script, error);
  }
  new_path_ = path;
  new_file_ = std::move(file);
  if (copy_permissions(new_file_, script_status_, true)) {
    // An owner that cannot be kept: overwrite in place, which keeps everything.
    remove_new_file();
    return std::nullopt;
  }
  if (auto failure = copy_contents(temp_, paths_.temp, new_file_, paths_.script)) {
    return failure;
  }
  if (auto changed_meanwhile = check_rewrite()) {
    return changed_meanwhile;
  }
  if (error = close(new_file_); error) {
    return failed(paths_.script, error);
  }
  return std::nullopt;
}

// Puts the new file in the script's place in one step. Where that is refused, the script is as it
// was and is overwritten in place instead.
std::optional<Error> ScriptReplacement::put_new_file_in_place() {
  if (auto changed_meanwhile = check_script_name(true)) {
    return changed_meanwhile;
  }
  const std::error_code error = swap_names(new_path_, target_path_);
  if (!error) {
    return settle_exchange();
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
  script_ = File();
  std::error_code error;
  do {
    if (auto changed_meanwhile = check_script_name(true)) {
      return changed_meanwhile;
    }
    error = replace(new_path_, target_path_);
  } while (patience_.wait_again(paths_.script + " or " + new_path_, error));
  if (error) {
    return after_refused_rename(error);
  }
  new_path_.clear();
  script_state_ = ScriptState::kRewritten;
  if (error = sync_folder_of(target_path_); error) {
    return failed(paths_.script, error, kMayNotLast);
  }
  return std::nullopt;
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
  const std::string left = new_path_;
  if (const std::error_code removal = patience_.retry(left, [&] { return remove(left); })) {
    new_path_.clear();
    return failed(left, removal);
  }
  new_path_.clear();
  if (error != std::errc::device_or_resource_busy && error != std::errc::cross_device_link &&
      error != std::errc::permission_denied && error != std::errc::operation_not_permitted) {
    return failed(paths_.script, error);
  }
  return overwrite_in_place();
}

// After the new file has taken the script's name, what had the name is checked: it must be the
// file that was read, unchanged. When another program saved the script in the moment since the
// last check, the two are swapped back and nothing is lost. Either way the folder is synced, so
// that a power cut cannot bring back a state in which another program's save sits where the next
// run removes leftovers.
std::optional<Error> ScriptReplacement::settle_exchange() {
  const Result<FileStatus> swapped = status(new_path_);
  std::error_code error = swapped.error;
  bool read_one = false;
  if (!error && swapped.value.identity == script_as_read_.identity) {
    const Result<FileStatus> now = status(script_);
    error = now.error;
    read_one = !error && is_as_recorded_after_rename(snapshot_of(now.value), script_as_read_);
  }
  if (error || !read_one) {
    if (const std::error_code back = swap_names(new_path_, target_path_)) {
      // What another program saved, or what cannot be told apart from it, must not be removed.
      const std::string other = new_path_;
      new_path_.clear();
      return changed(paths_.script,
                     "changed while it was being rewritten, and the other version could not be "
                     "put back (" +
                         back.message() + "): it is in " + other);
    }
    if (const std::error_code sync_error = sync_folder_of(target_path_)) {
      return failed(paths_.script, sync_error,
                    "it changed while it was being rewritten and was left as it is, but that "
                    "may not last through a power cut");
    }
    return error ? failed(paths_.script, error) : changed(paths_.script);
  }
  // The script as it was, now under the new file's name, is no longer needed.
  script_state_ = ScriptState::kRewritten;
  const std::string old_script = new_path_;
  new_path_.clear();
  const std::error_code removal = remove(old_script);
  if (error = sync_folder_of(target_path_); error) {
    return failed(paths_.script, error, kMayNotLast);
  }
  if (removal) {
    return failed(old_script, removal,
                  "the script was rewritten; this is what it was, and the next run removes it");
  }
  return std::nullopt;
}

void ScriptReplacement::remove_new_file() {
  if (!new_path_.empty()) {
    new_file_ = File();
    remove(new_path_);
    new_path_.clear();
  }
}

}  // namespace jassrewrite
