#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>

#include "rewrite/file.h"

namespace jassrewrite {

// Output goes out in blocks of at most this size, that of a pipe's buffer: a program reading the
// console then works alongside instead of waiting for bursts of megabytes, which measurably slows
// the whole pipeline, and the blocks stay in the CPU's cache.
inline constexpr std::size_t kOutputBlockSize = std::size_t{64} << 10;

// A file or console that takes whole lines and hands them on in blocks of up to kOutputBlockSize
// bytes.
struct LineOutput {
  File* file = nullptr;
  // Written after every line: "\r\n" in the temporary file, the platform's own on a console.
  std::string_view line_break;
  // Hand every line on at once, for a person watching a terminal.
  bool flush_every_line = false;
  // Lines not yet handed to the file.
  std::string pending;
  // The first write that failed; once set, nothing more is written.
  std::error_code error;
};

// Appends `line` and the line break. Failures are recorded in out.error, not returned, so that a
// caller who does not care (a console nobody reads any more) can simply go on.
void write_line(LineOutput& out, std::string_view line);

// Hands every pending byte to the file. Returns false if out.error is set.
bool flush_output(LineOutput& out);

}  // namespace jassrewrite
