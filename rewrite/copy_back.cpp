// The copy-back pass: the rewrite in the temporary file takes the script's place, in one step
// where a new file can, otherwise by an overwrite in place under the mark.

#include <functional>
#include <string>
#include <system_error>

#include "rewrite/copying.h"
#include "rewrite/overwrite_in_place.h"
#include "rewrite/script_passes.h"

namespace jassrewrite {

namespace {

// A missing script is created empty, but only where its folder exists: a run in the wrong folder
// must not create one. One that appeared meanwhile is left as it is.
std::optional<FileError> create_empty_script(const ScriptFiles& files) {
  auto [script, error] = open_or_create_unfollowed(files.script_path);
  if (error == std::errc::no_such_file_or_directory) {
    return std::nullopt;
  }
  if (error == std::errc::too_many_symbolic_link_levels) {
    return FileError{files.script_path, kChanged};
  }
  if (!error) {
    error = close_lasting(script, files.script_path);
  }
  return os_error_or_none(files.script_path, error);
}

constexpr const char* kMayNotLast =
    "it was rewritten, but the change may not last through a power cut";

// After the new file has taken the script's name, what had the name is checked: it must be the
// file that was read, unchanged. When another program saved the script in the moment since the
// last check, the two are swapped back and nothing is lost. Either way the folder is synced, so
// that a power cut cannot bring back a state in which another program's save sits where the next
// run removes leftovers.
std::optional<FileError> settle_exchange(ScriptFiles& files) {
  Replacement& swapped_out = files.replacement;
  const Result<FileStatus> swapped = status(swapped_out.path);
  std::error_code error = swapped.error;
  std::optional<FileError> changed;
  if (!error && swapped.value.identity == files.script_status.identity) {
    const Result<FileStatus> now = status(files.script);
    error = now.error;
    if (!error && (now.value.size != files.script_status.size ||
                   now.value.modified != files.script_status.modified)) {
      changed = FileError{files.script_path, kChanged};
    }
  } else if (!error) {
    changed = FileError{files.script_path, kChanged};
  }
  if (error) {
    changed = os_error(files.script_path, error, kUnchangedKept + files.temp_path);
  }
  if (changed) {
    if (error = swap_names(swapped_out.path, files.target_path); error) {
      // What another program saved, or what cannot be told apart from it, must not be removed.
      swapped_out.keep();
      return FileError{files.script_path,
                       "changed while it was being rewritten, and the other version could not be "
                       "put back (" +
                           error.message() + "): it is in " + swapped_out.path};
    }
    if (error = sync_folder_of(files.target_path); error) {
      return os_error(files.script_path, error,
                      "it changed while it was being rewritten and was left as it is, but that "
                      "may not last through a power cut");
    }
    return changed;
  }
  // The script as it was, now under the new file's name, is no longer needed.
  const std::error_code removal = remove(swapped_out.path);
  const std::string left = swapped_out.path;
  swapped_out.keep();
  if (error = sync_folder_of(files.target_path); error) {
    return os_error(files.script_path, error, kMayNotLast);
  }
  if (removal) {
    return FileError{left, removal.message(),
                     "the script was rewritten; this is what it was, and the next run removes it"};
  }
  return std::nullopt;
}

// Refuses where the script's name no longer leads to the file that was read, as it was read: the
// check right before the step that replaces it.
std::optional<FileError> refuse_if_named_script_changed(const ScriptFiles& files) {
  const Result<FileStatus> now = status(files.target_path);
  if (now.error || !is_unchanged(now.value, files.script_status)) {
    return now.error ? os_error(files.script_path, now.error, kUnchangedKept + files.temp_path)
                     : FileError{files.script_path, kChanged};
  }
  return std::nullopt;
}

// Puts the new file in the script's place in one step. Where that is refused, the script is as it
// was and is overwritten in place instead.
std::optional<FileError> put_replacement_in_place(ScriptFiles& files) {
  if (auto changed = refuse_if_named_script_changed(files)) {
    return changed;
  }
  std::error_code error = swap_names(files.replacement.path, files.target_path);
  if (!error) {
    return settle_exchange(files);
  }
  if (error == std::errc::not_supported) {
    // Windows cannot always replace a file that is open, even by this run; the fallback opens the
    // script again.
    files.script = File();
    // Another program may save the script while the run waits for the rename: checked again right
    // before each try.
    std::optional<FileError> changed;
    error = with_patience(files, files.script_path + " or " + files.replacement.path,
                          [&]() -> std::error_code {
                            if ((changed = refuse_if_named_script_changed(files))) {
                              return std::make_error_code(std::errc::operation_canceled);
                            }
                            return replace(files.replacement.path, files.target_path);
                          });
    if (changed) {
      return changed;
    }
    if (!error) {
      files.replacement.keep();
    }
  }
  if (error) {
    // The new file goes before the script is overwritten in place: a run that ends well leaves
    // nothing beside the script.
    if (const std::error_code removal = with_patience(
            files, files.replacement.path, [&] { return remove(files.replacement.path); })) {
      const std::string left = files.replacement.path;
      files.replacement.keep();
      return os_error(left, removal, kUnchangedKept + files.temp_path);
    }
    files.replacement.keep();
    // Where the rename is refused (another program holds the script open, a folder where the user
    // may create but not replace another's file), the script is as it was and can still be
    // overwritten in place.
    if (error != std::errc::device_or_resource_busy && error != std::errc::cross_device_link &&
        error != std::errc::permission_denied && error != std::errc::operation_not_permitted) {
      return os_error(files.script_path, error, kUnchangedKept + files.temp_path);
    }
    return overwrite_in_place(files);
  }
  if (error = sync_folder_of(files.target_path); error) {
    return os_error(files.script_path, error, kMayNotLast);
  }
  return std::nullopt;
}

// Copies the temporary file, read back through its own handle, into a new file beside the script
// with the script's permissions and owner, and syncs it. Where a new file cannot take the script's
// place (the script has other hard links, its owner cannot be kept, its folder cannot be written)
// it makes none, and the script is overwritten in place. The script is untouched whatever happens
// here.
std::optional<FileError> write_replacement(ScriptFiles& files) {
  files.replacement = Replacement();
  // A rename would part the script from its other names, which would keep the old content, and
  // would lose its extended attributes and access control lists.
  if (!files.script.is_open() || files.script_status.links > 1 ||
      files.script_status.extended_attributes) {
    return std::nullopt;
  }
  const std::string unchanged = kUnchangedKept + files.temp_path;
  const std::string path = files.target_path + kReplacementSuffix;
  auto [file, error] = create_new(path);
  if (error == std::errc::file_exists) {
    // Left by a run that was killed: the script's lock says that no run is using it now. One that
    // may not be removed (another user's in a shared folder, a folder where nothing may be
    // removed) leaves the overwrite in place.
    if (error = with_patience(files, path, [&] { return remove(path); });
        error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
      return std::nullopt;
    }
    if (error) {
      return os_error(path, error, "it is in the way of the rewrite; " + unchanged);
    }
    Result<File> created = create_new(path);
    file = std::move(created.value);
    error = created.error;
  }
  // Where no new file can be made beside the script, it is overwritten in place; a disk that is
  // failing or full stops the run, with the script as it was, rather than have it overwritten on
  // such a disk.
  if (error && error != std::errc::no_space_on_device && error != std::errc::io_error) {
    return std::nullopt;
  }
  if (error) {
    return os_error(files.script_path, error, unchanged);
  }
  Replacement staged(path);
  staged.file = std::move(file);
  if (copy_permissions(staged.file, files.script_status, true)) {
    // An owner that cannot be kept: overwrite in place, which keeps everything.
    return std::nullopt;
  }
  if (auto failure = copy_contents(files.temp, files.temp_path, staged.file, files.script_path)) {
    failure->note = unchanged;
    return failure;
  }
  if (auto changed = refuse_if_temp_changed(files)) {
    changed->note = "the script is unchanged";
    return changed;
  }
  if (error = close(staged.file); error) {
    return os_error(files.script_path, error, unchanged);
  }
  files.replacement = std::move(staged);
  return std::nullopt;
}

// Puts the rewrite in the script's place: in one step where write_replacement made a new file,
// otherwise by overwriting it in place under the mark. A missing script is created empty where its
// folder exists.
std::optional<FileError> replace_script(ScriptFiles& files) {
  if (!files.script.is_open()) {
    return create_empty_script(files);
  }
  if (files.replacement.staged()) {
    auto failure = put_replacement_in_place(files);
    // Whatever became of it, the new file is settled: in place, kept on purpose, or removed here.
    files.replacement = Replacement();
    return failure;
  }
  return overwrite_in_place(files);
}

}  // namespace

std::optional<FileError> copy_back(ScriptFiles& files,
                                   const std::function<void()>& before_changing_script) {
  if (auto failure = write_replacement(files)) {
    return failure;
  }
  before_changing_script();
  return replace_script(files);
}

}  // namespace jassrewrite
