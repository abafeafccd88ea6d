#include "rewrite/script_passes.h"

#include <new>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

#include "rewrite/overwrite_mark.h"
#include "rewrite/user_code_filter.h"

namespace jassrewrite {

namespace {

constexpr const char* kChanged = "changed while it was being rewritten; left as it is";

std::optional<FileError> convert_lines(ScriptFiles& files, LineOutput& temp, LineOutput& console,
                                       std::size_t read_block_size) {
  UserCodeFilter filter;
  const auto convert_line = [&](std::span<char> line) {
    filter.filter_line(line);
    const std::string_view text(line.data(), line.size());
    write_line(console, text);
    write_line(temp, text);
  };
  std::vector<char> block(read_block_size);
  std::string carried;
  std::size_t unsynced = 0;
  for (;;) {
    std::error_code error;
    const std::size_t got = read(files.script, block, error);
    if (error) {
      return os_error(files.script_path, error);
    }
    if (got == 0) {
      break;
    }
    split_lines(std::span(block).first(got), carried, convert_line);
    // After a failed write the temporary file takes nothing more, so the rest of a block is
    // wasted work at most.
    if (temp.error) {
      return os_error(files.temp_path, temp.error);
    }
    if (unsynced += got; unsynced >= kWritebackInterval) {
      start_writeback(files.temp);
      unsynced = 0;
    }
  }
  finish_lines(carried, convert_line);
  return std::nullopt;
}

// A new file that was not put in place is removed; the script never depended on it.
void discard_replacement(ScriptFiles& files) {
  if (!files.replacement_path.empty()) {
    remove(files.replacement_path);
    files.replacement_path.clear();
  }
}

std::optional<FileError> refuse_if_changed(const ScriptFiles& files) {
  std::error_code error;
  const FileStatus now = status(files.target_path, error);
  if (error || describe(now) != describe(files.script_status)) {
    return FileError{files.script_path, kChanged};
  }
  return std::nullopt;
}

// A missing script is created empty, but only where its folder exists: a run in the wrong folder
// must not create one. One that appeared meanwhile is left as it is.
std::optional<FileError> create_empty_script(const ScriptFiles& files) {
  std::error_code error;
  File script = open_or_create_unfollowed(files.script_path, error);
  if (error == std::errc::no_such_file_or_directory) {
    return std::nullopt;
  }
  if (error == std::errc::too_many_symbolic_link_levels) {
    return FileError{files.script_path, kChanged};
  }
  if (!error) {
    error = close_lasting(script, files.script_path);
  }
  return error ? std::optional(os_error(files.script_path, error)) : std::nullopt;
}

// The fallback where no new file can take the script's place. The mark, on disk before the first
// byte of the script changes, tells a later run that the script may be cut short.
std::optional<FileError> overwrite_in_place(ScriptFiles& files) {
  std::error_code error;
  if (!files.script.is_open()) {
    files.script = open_existing(files.target_path, error);
    if (error || status(files.script, error).identity != files.script_status.identity) {
      return FileError{files.script_path, kChanged};
    }
  }
  if (auto failure = mark_overwrite(files)) {
    return failure;
  }
  if (auto failure = copy_contents(files.temp, files.temp_path, files.script, files.script_path)) {
    return failure;
  }
  return unmark_overwrite(files);
}

}  // namespace

std::optional<FileError> convert_script(ScriptFiles& files, LineOutput& console,
                                        std::size_t read_block_size) {
  LineOutput temp{.file = &files.temp, .line_break = "\r\n"};
  if (files.script.is_open()) {
    try {
      if (auto error = convert_lines(files, temp, console, read_block_size)) {
        return error;
      }
    } catch (const std::bad_alloc&) {
      return os_error(files.script_path, std::make_error_code(std::errc::not_enough_memory));
    }
  }
  if (!flush_output(temp)) {
    return os_error(files.temp_path, temp.error);
  }
  if (const std::error_code error = sync(files.temp)) {
    return os_error(files.temp_path, error);
  }
  return std::nullopt;
}

std::optional<FileError> copy_back(ScriptFiles& files) {
  discard_replacement(files);
  // A rename would part the script from its other names, which would keep the old content, and
  // would lose its extended attributes and access control lists.
  if (!files.script.is_open() || files.script_status.links > 1 ||
      files.script_status.extended_attributes) {
    return std::nullopt;
  }
  const std::string path = files.target_path + kReplacementSuffix;
  std::error_code error;
  File replacement = create_new(path, error);
  if (error == std::errc::file_exists) {
    // Left by a run that was killed: the script's lock says that no run is using it now.
    remove(path);
    replacement = create_new(path, error);
  }
  // Where no new file can be made beside the script, it is overwritten in place; only a disk
  // that is failing or full (where that would go no better) stops the run.
  if (error && error != std::errc::no_space_on_device && error != std::errc::io_error) {
    return std::nullopt;
  }
  if (error) {
    return os_error(files.script_path, error);
  }
  files.replacement_path = path;
  if (copy_permissions(replacement, files.script_status, true)) {
    // An owner that cannot be kept: overwrite in place, which keeps everything.
    replacement = File();
    discard_replacement(files);
    return std::nullopt;
  }
  auto failure = copy_contents(files.temp, files.temp_path, replacement, files.script_path);
  if (!failure) {
    if (error = close(replacement); error) {
      failure = os_error(files.script_path, error);
    }
  }
  if (failure) {
    replacement = File();
    discard_replacement(files);
  }
  return failure;
}

std::optional<FileError> replace_script(ScriptFiles& files) {
  if (!files.script.is_open()) {
    return create_empty_script(files);
  }
  if (auto changed = refuse_if_changed(files)) {
    discard_replacement(files);
    return changed;
  }
  if (!files.replacement_path.empty()) {
    // Windows cannot replace a file that is open without sharing its deletion; the fallback
    // opens the script again.
    files.script = File();
    const std::error_code error = replace(files.replacement_path, files.target_path);
    if (!error) {
      files.replacement_path.clear();
      return std::nullopt;
    }
    if (error == std::errc::operation_in_progress) {
      return FileError{
          files.script_path,
          "gone, and its rewrite could not take its name: it is in " + files.replacement_path};
    }
    discard_replacement(files);
    // Where the rename is refused (another program holds the script open, a folder where the user
    // may create but not replace another's file), the script is as it was and can still be
    // overwritten in place.
    if (error != std::errc::device_or_resource_busy && error != std::errc::cross_device_link &&
        error != std::errc::permission_denied && error != std::errc::operation_not_permitted) {
      return os_error(files.script_path, error);
    }
  }
  return overwrite_in_place(files);
}

}  // namespace jassrewrite
