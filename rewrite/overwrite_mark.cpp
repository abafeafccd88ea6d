#include "rewrite/overwrite_mark.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace jassrewrite {

namespace {

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

std::string overwrite_mark(const std::string& temp_path) { return temp_path + ".copying"; }

// What mark_overwrite recorded at `path`; empty when it cannot be read.
std::string recorded(const std::string& path) {
  std::error_code error;
  File mark = open_existing(path, error);
  std::string text(256, '\0');
  const std::size_t got = error ? 0 : read_fully(mark, text, error);
  text.resize(error ? 0 : got);
  return text;
}

}  // namespace

std::optional<FileError> mark_overwrite(const ScriptFiles& files) {
  const std::string path = overwrite_mark(files.temp_path);
  std::error_code error;
  File mark = create_new(path, error);
  if (!error) {
    error = write(mark, describe(files.script_status));
  }
  if (!error) {
    error = close_lasting(mark, path);
  }
  return error ? std::optional(os_error(path, error)) : std::nullopt;
}

std::optional<FileError> unmark_overwrite(const ScriptFiles& files) {
  const std::string path = overwrite_mark(files.temp_path);
  const std::error_code error = remove(path);
  return error ? std::optional(os_error(path, error)) : std::nullopt;
}

std::optional<FileError> finish_cut_copy_back(const std::string& script_path,
                                              const std::string& temp_path, bool& finished) {
  finished = false;
  const std::string marker = overwrite_mark(temp_path);
  if (!name_exists(marker)) {
    return std::nullopt;
  }
  const FileError changed{script_path,
                          "an earlier run was cut off while writing it back, and it has changed "
                          "since: delete " +
                              marker + " to rewrite it as it is now (" + temp_path +
                              " holds the complete rewrite of what it was)"};
  std::error_code error;
  File script = open_existing(script_path, error);
  if (error) {
    return changed;
  }
  const FileStatus now = status(script, error);
  if (error || !now.regular) {
    return changed;
  }
  // The script is touched only once its mark is complete on the disk: a mark without its whole
  // record, or with the record of the script as it is, was left before the first byte changed.
  const std::string record = recorded(marker);
  if (!record.ends_with('\n') || describe(now) == record) {
    error = remove(marker);
    return error ? std::optional(os_error(marker, error)) : std::nullopt;
  }
  // Only the file that was being overwritten is finished, never one that a link leads to now.
  if (!record.starts_with(describe(now.identity))) {
    return changed;
  }
  // The temporary file as the run that wrote it left it, not whatever a link would lead to.
  File temp = open_or_create_unfollowed(temp_path, error);
  const FileStatus temp_status = status(temp, error);
  if (error || !temp_status.regular || temp_status.links != 1 ||
      temp_status.identity == now.identity) {
    return changed;
  }
  if (!is_start_of(script, temp, error)) {
    return error ? os_error(script_path, error) : changed;
  }
  if (auto failure = copy_contents(temp, temp_path, script, script_path)) {
    return failure;
  }
  if (error = remove(marker); error) {
    return os_error(marker, error);
  }
  finished = true;
  return std::nullopt;
}

}  // namespace jassrewrite
