#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace jassrewrite {

// Why a pass stopped, for the message "jassrewrite: <path>: <reason>".
struct FileError {
  std::string path;
  std::string reason;
};

// Scripts are read, and copied back, in blocks of this size: a script of a hundred megabytes then
// costs about a hundred system calls, and memory stays flat whatever the size of the script.
inline constexpr std::size_t kReadBlockSize = std::size_t{1} << 20;

// Output goes out in blocks of at most this size, that of a pipe's buffer: a program reading the
// console then works alongside instead of waiting for bursts of megabytes, which measurably slows
// the whole pipeline, and the blocks stay in the CPU's cache.
inline constexpr std::size_t kOutputBlockSize = std::size_t{64} << 10;

// A stream that takes whole lines and hands them on in blocks of up to kOutputBlockSize bytes.
struct LineOutput {
  std::FILE* stream = nullptr;
  // Written after every line: "\r\n" in the temporary file, the platform's own on a console.
  std::string_view line_break;
  // Hand every line on at once, for a person watching a terminal.
  bool flush_every_line = false;
  // Lines not yet handed to the stream.
  std::string pending;
  // errno of the first write or flush that failed; once set, nothing more is written.
  int error = 0;
};

// Appends `line` and the line break. Failures are recorded in out.error, not returned, so that a
// caller who does not care (a console nobody reads any more) can simply go on.
void write_line(LineOutput& out, std::string_view line);

// Hands every pending byte to the stream and flushes it. Returns false if out.error is set.
bool flush_output(LineOutput& out);

// Splits the next `block` of a script into lines and calls on_line(std::span<char>) for every line
// it completes, without its line break: an LF, and a CR directly before that LF. A line that runs
// past the end of the block waits in `carried` for a later block, or for finish_lines. Lines that
// lie wholly inside the block, nearly all of them, are handed out in place, without copying.
template <class OnLine>
void split_lines(std::span<char> block, std::string& carried, OnLine&& on_line) {
  char* line_start = block.data();
  char* const block_end = block.data() + block.size();
  while (auto* lf = static_cast<char*>(
             std::memchr(line_start, '\n', static_cast<std::size_t>(block_end - line_start)))) {
    std::span<char> line(line_start, lf);
    if (!carried.empty()) {
      carried.append(line_start, lf);
      line = carried;
    }
    if (!line.empty() && line.back() == '\r') {
      line = line.first(line.size() - 1);
    }
    on_line(line);
    carried.clear();
    line_start = lf + 1;
  }
  carried.append(line_start, block_end);
}

// Hands out the script's last line when bytes follow its last LF. A CR among them is an ordinary
// byte: only a CR before an LF belongs to a line break.
template <class OnLine>
void finish_lines(std::string& carried, OnLine&& on_line) {
  if (!carried.empty()) {
    on_line(std::span<char>(carried));
    carried.clear();
  }
}

// The conversion pass. Reads the script at `script_path` in binary, filters each line through a
// fresh UserCodeFilter, shows it on `console` and writes it to `temp_path`, each line ending in
// CR LF. A line ends at LF, and a CR just before that LF is dropped; every other byte, NUL, 0x1A
// and a lone CR included, belongs to its line. A script that does not exist reads as empty.
//
// Returns an error, and leaves the script untouched, when the script is not a regular file or
// cannot be read to its end, when the temporary file is not a regular file, is the script itself,
// or cannot be written and closed in full. The console's own failures are left in console.error.
// `read_block_size` exists for tests that need lines to straddle read blocks.
std::optional<FileError> convert_script(const std::string& script_path,
                                        const std::string& temp_path, LineOutput& console,
                                        std::size_t read_block_size = kReadBlockSize);

// The copy-back pass: copies every byte of `temp_path` over `script_path`, creating or truncating
// the script. Call it only after convert_script succeeded. An error naming the script means the
// script may be cut short, while the temporary file still holds the complete rewrite.
std::optional<FileError> copy_back(const std::string& temp_path, const std::string& script_path);

}  // namespace jassrewrite
