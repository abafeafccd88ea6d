#include "rewrite/script_passes.h"

#include <cerrno>
#include <filesystem>
#include <memory>
#include <new>
#include <span>
#include <system_error>
#include <vector>

#include "rewrite/user_code_filter.h"

namespace jassrewrite {

namespace {

namespace fs = std::filesystem;

struct FileCloser {
  // Only reached for files that were read, or on a path that already reports an error: a close
  // that fails there cannot lose anything more.
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string describe(int error_number) {
  // Some C libraries leave errno unset on a failed stdio call; the failure still has to be told.
  return std::generic_category().message(error_number != 0 ? error_number : EIO);
}

FileError os_error(const std::string& path, int error_number) {
  return {path, describe(error_number)};
}

FilePtr open_file(const std::string& path, const char* mode) {
  errno = 0;
  return FilePtr(std::fopen(path.c_str(), mode));
}

// Returns 0 or the errno of the failure. A failed close is a failed write: the last block may
// never have reached the disk.
int close_written_file(FilePtr file) {
  errno = 0;
  int error_number = std::fflush(file.get()) == 0 ? 0 : errno;
  if (std::fclose(file.release()) != 0 && error_number == 0) {
    error_number = errno != 0 ? errno : EIO;
  }
  return error_number;
}

bool write_bytes(LineOutput& out, std::string_view bytes) {
  if (out.error != 0) {
    return false;
  }
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), out.stream) != bytes.size()) {
    out.error = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

// A file we are about to read or overwrite must be a plain file: a FIFO or a device would block,
// never end, or (/dev/null as the temporary file) quietly swallow the script. A missing file is
// for the caller to judge.
std::optional<FileError> refuse_unless_regular(const std::string& path,
                                               const fs::file_status& status,
                                               const std::error_code& status_error) {
  switch (status.type()) {
    case fs::file_type::not_found:
    case fs::file_type::regular:
      return std::nullopt;
    case fs::file_type::none:
      return FileError{path, status_error.message()};
    case fs::file_type::directory:
      return FileError{path, describe(EISDIR)};
    default:
      return FileError{path, "not a regular file"};
  }
}

// Everything that would make the run destroy the script is checked before anything is opened for
// writing.
std::optional<FileError> refuse_unsafe_paths(const std::string& script_path,
                                             const std::string& temp_path) {
  std::error_code script_error;
  const fs::file_status script = fs::status(script_path, script_error);
  if (auto refusal = refuse_unless_regular(script_path, script, script_error)) {
    return refusal;
  }
  std::error_code temp_error;
  const fs::file_status temp = fs::status(temp_path, temp_error);
  if (auto refusal = refuse_unless_regular(temp_path, temp, temp_error)) {
    return refusal;
  }
  // A temporary file that is the script under another name (a symbolic or hard link) would be
  // emptied by opening it for writing, before a single line was read.
  std::error_code ignored;
  if (fs::exists(script) && fs::exists(temp) && fs::equivalent(script_path, temp_path, ignored)) {
    return FileError{temp_path, "is the script itself (a link to " + script_path + ")"};
  }
  return std::nullopt;
}

std::optional<FileError> convert_lines(std::FILE* script, const std::string& script_path,
                                       LineOutput& temp, const std::string& temp_path,
                                       LineOutput& console, std::size_t read_block_size) {
  UserCodeFilter filter;
  const auto convert_line = [&](std::span<char> line) {
    filter.filter_line(line);
    const std::string_view text(line.data(), line.size());
    write_line(console, text);
    write_line(temp, text);
  };
  std::vector<char> block(read_block_size);
  std::string carried;
  for (;;) {
    errno = 0;
    const std::size_t got = std::fread(block.data(), 1, block.size(), script);
    if (got == 0) {
      break;
    }
    split_lines(std::span(block).first(got), carried, convert_line);
    // After a failed write the temporary file takes nothing more, so the rest of a block is
    // wasted work at most.
    if (temp.error != 0) {
      return os_error(temp_path, temp.error);
    }
  }
  if (std::ferror(script) != 0) {
    return os_error(script_path, errno);
  }
  finish_lines(carried, convert_line);
  if (!flush_output(temp)) {
    return os_error(temp_path, temp.error);
  }
  return std::nullopt;
}

}  // namespace

void write_line(LineOutput& out, std::string_view line) {
  if (out.error != 0) {
    return;
  }
  if (out.pending.size() + line.size() + out.line_break.size() > kOutputBlockSize) {
    if (!write_bytes(out, out.pending)) {
      return;
    }
    out.pending.clear();
  }
  // A line too long for a block goes out directly instead of growing the block with it.
  if (line.size() >= kOutputBlockSize) {
    if (!write_bytes(out, line)) {
      return;
    }
  } else {
    out.pending.append(line);
  }
  out.pending.append(out.line_break);
  if (out.flush_every_line) {
    flush_output(out);
  }
}

bool flush_output(LineOutput& out) {
  if (!write_bytes(out, out.pending)) {
    return false;
  }
  out.pending.clear();
  errno = 0;
  if (std::fflush(out.stream) != 0) {
    out.error = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

std::optional<FileError> convert_script(const std::string& script_path,
                                        const std::string& temp_path, LineOutput& console,
                                        std::size_t read_block_size) {
  if (auto refusal = refuse_unsafe_paths(script_path, temp_path)) {
    return refusal;
  }
  FilePtr script = open_file(script_path, "rb");
  if (!script && errno != ENOENT) {
    return os_error(script_path, errno);
  }
  FilePtr temp_file = open_file(temp_path, "wb");
  if (!temp_file) {
    return os_error(temp_path, errno);
  }
  LineOutput temp{.stream = temp_file.get(), .line_break = "\r\n"};
  if (script) {
    try {
      if (auto error =
              convert_lines(script.get(), script_path, temp, temp_path, console, read_block_size)) {
        return error;
      }
    } catch (const std::bad_alloc&) {
      return os_error(script_path, ENOMEM);
    }
  }
  script.reset();
  if (const int error_number = close_written_file(std::move(temp_file)); error_number != 0) {
    return os_error(temp_path, error_number);
  }
  return std::nullopt;
}

std::optional<FileError> copy_back(const std::string& temp_path, const std::string& script_path) {
  // The temporary file is opened first, so a failure there leaves the script untouched.
  FilePtr temp = open_file(temp_path, "rb");
  if (!temp) {
    return os_error(temp_path, errno);
  }
  FilePtr script = open_file(script_path, "wb");
  if (!script) {
    return os_error(script_path, errno);
  }
  std::vector<char> block(kReadBlockSize);
  for (;;) {
    errno = 0;
    const std::size_t got = std::fread(block.data(), 1, block.size(), temp.get());
    if (got == 0) {
      break;
    }
    errno = 0;
    if (std::fwrite(block.data(), 1, got, script.get()) != got) {
      return os_error(script_path, errno);
    }
  }
  if (std::ferror(temp.get()) != 0) {
    return os_error(temp_path, errno);
  }
  if (const int error_number = close_written_file(std::move(script)); error_number != 0) {
    return os_error(script_path, error_number);
  }
  return std::nullopt;
}

}  // namespace jassrewrite
