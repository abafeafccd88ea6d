#include "rewrite/overwrite_mark.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// Reads until `buffer` is full or the file ends; fewer bytes only at the end of the file.
std::size_t read_fully(File& file, std::span<char> buffer, std::error_code& error) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const std::size_t got = read(file, buffer.subspan(filled), error);
    if (error || got == 0) {
      break;
    }
    filled += got;
  }
  return filled;
}

// True when every byte of `script` is the same as the byte at its place in `temp`.
bool is_start_of(File& script, File& temp, std::error_code& error) {
  std::vector<char> script_block(kReadBlockSize);
  std::vector<char> temp_block(kReadBlockSize);
  for (;;) {
    const std::size_t got = read_fully(script, script_block, error);
    if (error || got == 0) {
      return !error;
    }
    const std::size_t expected = read_fully(temp, std::span(temp_block).first(got), error);
    if (error || expected != got ||
        std::string_view(script_block.data(), got) != std::string_view(temp_block.data(), got)) {
      return false;
    }
  }
}

struct Record {
  std::string script;
  std::string temp;
};

// The two lines of a mark, or an error: a mark that cannot be read, or that holds anything else,
// is of a state that cannot be known.
std::optional<FileError> read_record(const std::string& path, const std::string& note,
                                     Record& record, FileStatus& mark_status) {
  std::error_code error;
  File mark = open_for_reading_unfollowed(path, error);
  if (!error) {
    mark_status = status(mark, error);
  }
  if (error) {
    return os_error(path, error, note);
  }
  std::string text(kLongestRecord + 1, '\0');
  text.resize(read_fully(mark, text, error));
  if (error) {
    return os_error(path, error, note);
  }
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
  std::error_code error;
  if (!name_exists(path, error) && !error) {
    return std::nullopt;
  }
  File unfinished;
  if (!error) {
    unfinished = open_for_reading_unfollowed(path, error);
  }
  if (error == std::errc::too_many_symbolic_link_levels || error == std::errc::not_supported) {
    error.clear();
  } else if (!error) {
    const FileIdentity identity = status(unfinished, error).identity;
    std::error_code script_error;
    const FileIdentity script = status(script_path, script_error).identity;
    if (script_error && script_error != std::errc::no_such_file_or_directory) {
      return os_error(script_path, script_error);
    }
    if (!error && !script_error && identity == script) {
      return FileError{path, "is the script itself (a link to " + script_path + ")"};
    }
  }
  unfinished = File();
  if (!error) {
    error = remove(path);
  }
  return error ? std::optional(os_error(path, error)) : std::nullopt;
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
  std::error_code error;
  File mark = create_new(unfinished, error);
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
  const std::error_code error = remove_lasting(path);
  return error ? std::optional(os_error(path, error)) : std::nullopt;
}

Recovery recover_cut_overwrite(const std::string& script_path, const std::string& temp_path) {
  if (auto failure = drop_unfinished_mark(temp_path, script_path)) {
    return {.error = failure};
  }
  const std::string marker = overwrite_mark_path(temp_path);
  std::error_code error;
  const bool marked = name_exists(marker, error);
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
  File temp = open_for_reading_unfollowed(temp_path, error);
  if (error == std::errc::no_such_file_or_directory ||
      error == std::errc::too_many_symbolic_link_levels) {
    return {.error = FileError{script_path, temp_lost}};
  }
  if (error) {
    return {.error = os_error(temp_path, error, unknown)};
  }
  const FileStatus temp_status = status(temp, error);
  if (error) {
    return {.error = os_error(temp_path, error, unknown)};
  }
  if (describe_rewrite(temp_status) != record.temp) {
    return {.error = FileError{script_path, temp_lost}};
  }

  const std::string kept = "an earlier run was cut off while writing it back, and " + temp_path +
                           " holds the complete rewrite";
  File script = open_existing(script_path, error);
  if (error) {
    return {.error =
                os_error(script_path, error, kept + ": run again once the script can be written")};
  }
  const FileStatus now = status(script, error);
  if (error) {
    return {.error = os_error(script_path, error, kept)};
  }
  if (auto untrusted = refuse_untrusted(marker, mark_status, now, unknown)) {
    return {.error = untrusted};
  }
  if (auto untrusted = refuse_untrusted(temp_path, temp_status, now, unknown)) {
    return {.error = untrusted};
  }
  // A mark with the record of the script as it is was left before its first byte changed.
  if (describe(now) == record.script) {
    error = remove_lasting(marker);
    return {.error = error ? std::optional(os_error(marker, error, unknown)) : std::nullopt};
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
  if (!is_start_of(script, temp, error)) {
    return {.error = error ? os_error(script_path, error, kept) : changed};
  }
  const std::string again = kept + ": the next run finishes the copy";
  if (auto failure = reserve_space(script, script_path, temp_status.size)) {
    failure->note = again;
    return {.error = failure};
  }
  if (auto failure = overwrite_with(temp, temp_path, script, script_path, temp_status.size)) {
    failure->note = again;
    return {.error = failure};
  }
  // Another program writing to the temporary file meanwhile would have had its bytes copied.
  const FileStatus copied = status(temp, error);
  if (error || describe_rewrite(copied) != record.temp) {
    return {.error = error ? os_error(temp_path, error,
                                      "the copy into the script is not verified; the next "
                                      "run checks it again")
                           : FileError{script_path, temp_lost}};
  }
  if (error = remove_lasting(marker); error) {
    return {.error = os_error(marker, error, "the script was rewritten")};
  }
  return {.finished = true};
}

std::optional<FileError> finish_left_replacement(const ScriptFiles& files) {
  const std::string& path = files.script_path;
  const std::string left = path + kReplacementSuffix;
  const FileError refusal{path, "not found, but an earlier run left " + left +
                                    ": if that is the complete rewrite, give it the script's "
                                    "name, otherwise delete it"};
  std::error_code error;
  if (name_exists(overwrite_mark_path(files.temp_path), error) || error) {
    return error ? os_error(overwrite_mark_path(files.temp_path), error) : refusal;
  }
  File replacement = open_for_reading_unfollowed(left, error);
  const FileStatus replacement_status = error ? FileStatus{} : status(replacement, error);
  if (error) {
    return os_error(left, error);
  }
  File temp = open_for_reading_unfollowed(files.temp_path, error);
  const FileStatus temp_status = error ? FileStatus{} : status(temp, error);
  if (error == std::errc::no_such_file_or_directory) {
    return refusal;
  }
  if (error) {
    return os_error(files.temp_path, error);
  }
  // Files that another user could have put there are not trusted to be the rewrite.
  if (!replacement_status.regular || !temp_status.regular || !replacement_status.owned_by_caller ||
      !temp_status.owned_by_caller || replacement_status.size != temp_status.size) {
    return refusal;
  }
  const bool same = is_start_of(replacement, temp, error);
  if (error) {
    return os_error(left, error);
  }
  if (!same) {
    return refusal;
  }
  replacement = File();
  if (error = rename_new(left, path); error) {
    return os_error(left, error, "the script is missing, and this is its complete rewrite");
  }
  if (error = sync_folder_of(path); error) {
    return os_error(path, error,
                    "it was given back its name, but that may not last through a power cut");
  }
  files.tell(path + ": not found, but an earlier run left its complete rewrite in " + left +
             ", which now has the script's name");
  return std::nullopt;
}

}  // namespace jassrewrite
