#include "rewrite/script_passes.h"

#include <new>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

#include "rewrite/line_splitting.h"
#include "rewrite/user_code_filter.h"

namespace jassrewrite {

namespace {

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
    const auto [got, error] = read(files.script, block);
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
  const Result<FileStatus> written = status(files.temp);
  if (written.error) {
    return os_error(files.temp_path, written.error);
  }
  files.temp_status = written.value;
  // Another program that emptied or wrote to it by its name meanwhile.
  if (files.temp_status.size != temp.written) {
    return FileError{files.temp_path, kTempChanged, "the script is unchanged"};
  }
  // Only a script read to its end and unchanged meanwhile has its complete rewrite in the
  // temporary file.
  if (files.script.is_open()) {
    return refuse_if_changed(files.script, files.script_status, files.script_path);
  }
  return std::nullopt;
}

}  // namespace jassrewrite
