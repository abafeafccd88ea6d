#include "rewrite/left_replacement.h"

#include <string>

#include "rewrite/copying.h"

namespace jassrewrite {

std::optional<FileError> finish_left_replacement(const ScriptFiles& files) {
  const std::string& path = files.script_path;
  const std::string left = path + kReplacementSuffix;
  const FileError refusal{path, "not found, but an earlier run left " + left +
                                    ": if that is the complete rewrite, give it the script's "
                                    "name, otherwise delete it"};
  if (const auto [marked, error] = name_exists(overwrite_mark_path(files.temp_path));
      marked || error) {
    return error ? os_error(overwrite_mark_path(files.temp_path), error) : refusal;
  }
  Result<File> replacement = open_for_reading_unfollowed(left);
  const Result<FileStatus> replacement_checked =
      replacement.error ? Result<FileStatus>{.error = replacement.error}
                        : status(replacement.value);
  if (replacement_checked.error) {
    return os_error(left, replacement_checked.error);
  }
  const FileStatus& replacement_status = replacement_checked.value;
  Result<File> temp = open_for_reading_unfollowed(files.temp_path);
  const Result<FileStatus> temp_checked =
      temp.error ? Result<FileStatus>{.error = temp.error} : status(temp.value);
  if (temp_checked.error == std::errc::no_such_file_or_directory) {
    return refusal;
  }
  if (temp_checked.error) {
    return os_error(files.temp_path, temp_checked.error);
  }
  const FileStatus& temp_status = temp_checked.value;
  // Files that another user could have put there, or with other names (one another's among them),
  // are not trusted to be the rewrite; nor is an empty tempwar3map.j, which a run on Windows makes
  // for its lock.
  if (!replacement_status.regular || !temp_status.regular || !replacement_status.owned_by_caller ||
      !temp_status.owned_by_caller || replacement_status.links != 1 || temp_status.links != 1 ||
      temp_status.size == 0 || replacement_status.size != temp_status.size) {
    return refusal;
  }
  const Result<bool> same = is_start_of(replacement.value, temp.value);
  if (same.error) {
    return os_error(left, same.error);
  }
  if (!same.value) {
    return refusal;
  }
  replacement.value = File();
  if (const std::error_code error = rename_new(left, path)) {
    return os_error(left, error, "the script is missing, and this is its complete rewrite");
  }
  if (const std::error_code error = sync_folder_of(path)) {
    return os_error(path, error,
                    "it was given back its name, but that may not last through a power cut");
  }
  files.tell(path + ": not found, but an earlier run left its complete rewrite in " + left +
             ", which now has the script's name");
  return std::nullopt;
}

}  // namespace jassrewrite
