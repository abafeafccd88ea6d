#include "rewrite/overwrite_mark.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rewrite/copying.h"

namespace jassrewrite {

namespace {

// A record is two lines, the script's and the temporary file's description; anything longer than
// this was not written by the tool.
constexpr std::size_t kLongestRecord = 256;

// What tells a script apart from the same script changed, as the mark records it: identity, size,
// modification and change times. The identity alone begins it.
std::string describe(const FileIdentity& identity) {
  // The upper half of a file ID is written only where there is one (ReFS), so that a mark from a
  // run on any other file system reads the same in every version.
  const std::string upper =
      identity.index_high != 0 ? std::to_string(identity.index_high) + ":" : std::string();
  return std::to_string(identity.device) + " " + upper + std::to_string(identity.index) + " ";
}

std::string describe(const FileStatus& script) {
  return describe(script.identity) + std::to_string(script.size) + " " +
         std::to_string(script.modified) + " " + std::to_string(script.changed) + "\n";
}

// How the temporary file was when the mark was made: identity, size and change time (no
// modification time, which Windows may set when the file is closed, long after it was written).
std::string describe_rewrite(const FileStatus& temp) {
  return describe(temp.identity) + std::to_string(temp.size) + " " + std::to_string(temp.changed) +
         "\n";
}

struct Record {
  std::string script;
  std::string temp;
};

// The two lines of a mark, or an error: a mark that cannot be read, or that holds anything else,
// is of a state that cannot be known.
std::optional<FileError> read_record(const std::string& path, const std::string& note,
                                     Record& record, FileStatus& mark_status) {
  Result<File> mark = open_for_reading_unfollowed(path);
  const Result<FileStatus> opened =
      mark.error ? Result<FileStatus>{.error = mark.error} : status(mark.value);
  if (opened.error) {
    return os_error(path, opened.error, note);
  }
  mark_status = opened.value;
  std::string text(kLongestRecord + 1, '\0');
  const Result<std::size_t> got = read_fully(mark.value, text);
  if (got.error) {
    return os_error(path, got.error, note);
  }
  text.resize(got.value);
  const std::size_t first_end = text.find('\n');
  if (first_end != std::string::npos && text.find('\n', first_end + 1) + 1 == text.size()) {
    record = {text.substr(0, first_end + 1), text.substr(first_end + 1)};
    return std::nullopt;
  }
  return FileError{path, "not a record that this tool wrote", note};
}

// Removes a file and makes its removal last through a power cut.
std::error_code remove_lasting(const std::string& path) {
  std::error_code error = remove(path);
  return error ? error : sync_folder_of(path);
}

// A mark that was still being written when its run ended never took effect: the script is
// touched only once the mark has its own name. What has its name is removed unless it is the
// script itself under another name; a symbolic link is removed, never what it leads to.
std::optional<FileError> drop_unfinished_mark(const std::string& temp_path,
                                              const std::string& script_path) {
  const std::string path = unfinished_mark_path(temp_path);
  const Result<bool> exists = name_exists(path);
  if (!exists.value && !exists.error) {
    return std::nullopt;
  }
  Result<File> unfinished =
      exists.error ? Result<File>{.error = exists.error} : open_for_reading_unfollowed(path);
  std::error_code error = unfinished.error;
  if (error == std::errc::too_many_symbolic_link_levels || error == std::errc::not_supported) {
    error.clear();
  } else if (!error) {
    const Result<FileStatus> mark = status(unfinished.value);
    error = mark.error;
    const Result<FileStatus> script = status(script_path);
    if (script.error && script.error != std::errc::no_such_file_or_directory) {
      return os_error(script_path, script.error);
    }
    if (!error && !script.error && mark.value.identity == script.value.identity) {
      return FileError{path, "is the script itself (a link to " + script_path + ")"};
    }
  }
  unfinished.value = File();
  if (!error) {
    error = remove(path);
  }
  return os_error_or_none(path, error);
}

// A mark or temporary file that another user could have made must not have its bytes written
// into a script that user may not write.
std::optional<FileError> refuse_untrusted(const std::string& path, const FileStatus& file,
                                          const FileStatus& script, const std::string& note) {
  if (auto reason = distrust(file, &script)) {
    return FileError{path, *reason, note};
  }
  return std::nullopt;
}

}  // namespace

std::optional<FileError> mark_overwrite(const ScriptFiles& files) {
  const std::string unfinished = unfinished_mark_path(files.temp_path);
  const std::string path = overwrite_mark_path(files.temp_path);
  auto [mark, error] = create_new(unfinished);
  if (error) {
    return os_error(unfinished, error);
  }
  error = write(mark, describe(files.script_status) + describe_rewrite(files.temp_status));
  if (!error) {
    error = sync(mark);
  }
  const std::error_code close_error = close(mark);
  if (!error) {
    error = close_error;
  }
  if (error) {
    remove(unfinished);
    return os_error(unfinished, error);
  }
  if (error = rename_new(unfinished, path); error) {
    remove(unfinished);
    return os_error(path, error);
  }
  if (error = sync_folder_of(path); error) {
    // A mark left here is harmless: the next run finds the script as it records, and drops it.
    remove(path);
    return os_error(path, error);
  }
  return std::nullopt;
}

std::optional<FileError> unmark_overwrite(const std::string& temp_path) {
  const std::string path = overwrite_mark_path(temp_path);
  return os_error_or_none(path, remove_lasting(path));
}

Recovery recover_cut_overwrite(const std::string& script_path, const std::string& temp_path) {
  if (auto failure = drop_unfinished_mark(temp_path, script_path)) {
    return {.error = failure};
  }
  const std::string marker = overwrite_mark_path(temp_path);
  const auto [marked, error] = name_exists(marker);
  const std::string unknown = "an earlier run may have been cut off while writing back " +
                              script_path + "; nothing was changed";
  if (error) {
    return {.error = os_error(marker, error, unknown)};
  }
  if (!marked) {
    return {};
  }
  Record record;
  FileStatus mark_status;
  if (auto failure = read_record(marker, unknown, record, mark_status)) {
    return {.error = failure};
  }

  // The temporary file as the run that wrote it left it, not whatever a link would lead to.
  const std::string temp_lost = "an earlier run was cut off while writing it back, and " +
                                temp_path + ", which held the rest, is not as it left it: the " +
                                "script may be cut short; restore it, then delete " + marker;
  Result<File> temp = open_for_reading_unfollowed(temp_path);
  if (temp.error == std::errc::no_such_file_or_directory ||
      temp.error == std::errc::too_many_symbolic_link_levels) {
    return {.error = FileError{script_path, temp_lost}};
  }
  if (temp.error) {
    return {.error = os_error(temp_path, temp.error, unknown)};
  }
  const Result<FileStatus> temp_checked = status(temp.value);
  if (temp_checked.error) {
    return {.error = os_error(temp_path, temp_checked.error, unknown)};
  }
  const FileStatus& temp_status = temp_checked.value;
  if (describe_rewrite(temp_status) != record.temp) {
    return {.error = FileError{script_path, temp_lost}};
  }

  const std::string kept = "an earlier run was cut off while writing it back, and " + temp_path +
                           " holds the complete rewrite";
  Result<File> script = open_existing(script_path);
  if (script.error) {
    return {.error = os_error(script_path, script.error,
                              kept + ": run again once the script can be written")};
  }
  const Result<FileStatus> script_checked = status(script.value);
  if (script_checked.error) {
    return {.error = os_error(script_path, script_checked.error, kept)};
  }
  const FileStatus& now = script_checked.value;
  if (auto untrusted = refuse_untrusted(marker, mark_status, now, unknown)) {
    return {.error = untrusted};
  }
  if (auto untrusted = refuse_untrusted(temp_path, temp_status, now, unknown)) {
    return {.error = untrusted};
  }
  // A mark with the record of the script as it is was left before its first byte changed.
  if (describe(now) == record.script) {
    return {.error = os_error_or_none(marker, remove_lasting(marker), unknown)};
  }
  // Only the file that was being overwritten is finished, never one that a link leads to now,
  // nor one that another program wrote since.
  const FileError changed{script_path,
                          "an earlier run was cut off while writing it back, and it "
                          "has changed since: " +
                              temp_path +
                              " holds the complete rewrite of what it was; to "
                              "rewrite it as it is now instead, keep a copy of " +
                              temp_path + " and delete " + marker};
  if (!now.regular || !record.script.starts_with(describe(now.identity))) {
    return {.error = changed};
  }
  // Copying a file onto itself would empty it first.
  if (now.identity == temp_status.identity) {
    return {.error = FileError{temp_path, "is the script itself (a link to " + script_path + ")",
                               unknown}};
  }
  if (const Result<bool> start = is_start_of(script.value, temp.value); !start.value) {
    return {.error = start.error ? os_error(script_path, start.error, kept) : changed};
  }
  const std::string again = kept + ": the next run finishes the copy";
  if (auto failure = reserve_space(script.value, script_path, temp_status.size)) {
    failure->note = again;
    return {.error = failure};
  }
  if (auto failure =
          overwrite_with(temp.value, temp_path, script.value, script_path, temp_status.size)) {
    failure->note = again;
    return {.error = failure};
  }
  // Another program writing to the temporary file meanwhile would have had its bytes copied.
  const Result<FileStatus> copied = status(temp.value);
  if (copied.error || describe_rewrite(copied.value) != record.temp) {
    return {.error = copied.error ? os_error(temp_path, copied.error,
                                             "the copy into the script is not verified; the next "
                                             "run checks it again")
                                  : FileError{script_path, temp_lost}};
  }
  if (const std::error_code removal = remove_lasting(marker)) {
    return {.error = os_error(marker, removal, "the script was rewritten")};
  }
  return {.finished = true};
}

}  // namespace jassrewrite
