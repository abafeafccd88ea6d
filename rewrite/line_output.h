#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "os_files/content_digest.h"
#include "os_files/file.h"

namespace jassrewrite {

// Lines are gathered into blocks of up to this size, that of a pipe's buffer, before they go out:
// a program reading the console then works alongside instead of waiting for bursts of megabytes,
// which measurably slows the whole pipeline, and the blocks stay in the CPU's cache. A line longer
// than a block goes out whole, on its own.
inline constexpr std::size_t kOutputBlockSize = std::size_t{64} << 10;

// On a console, pending lines are handed on when a line comes this long after the last hand-over:
// a person watching sees them as they come, and a console, which costs far more per write than a
// file, still gets whole blocks.
inline constexpr std::chrono::milliseconds kConsoleHandoverInterval{50};

using Clock = std::chrono::steady_clock;

// A file or console that takes whole lines and hands them on in blocks of up to kOutputBlockSize
// bytes, or a longer line on its own.
struct LineOutput {
  File* file = nullptr;
  // Written after every line: "\r\n" in the temporary file, the platform's own on a console.
  std::string_view line_break;
  // A console that a person watches: pending lines are also handed on once
  // kConsoleHandoverInterval has passed since the last hand-over.
  bool console = false;
  // Takes each block from the pending lines to the file: a block of whole lines, or a line too
  // long for a block on its own. A Windows console has one of its own here
  // (app/console_windows.cpp), which shows UTF-8 lines as text instead of bytes in the console's
  // code page.
  std::error_code (*hand_over)(File& file, std::string_view block) = write;
  // Tells the time of a hand-over to a console; tests put a clock of their own here.
  std::function<Clock::time_point()> now = Clock::now;
  Clock::time_point last_handover;
  // Lines not yet handed to the file.
  std::string pending;
  // The first write that failed; once set, nothing more is written.
  std::error_code error;
  // Takes nothing more, without an error: see mute.
  bool muted = false;
  // Bytes handed over so far, whatever form a console shows them in.
  std::uint64_t written = 0;
  // Where set, takes every byte handed over: what the file holds, to be checked later.
  ContentDigest* digest = nullptr;
};

// Appends `line` and the line break. Failures are recorded in out.error, not returned, so that a
// caller who does not care (a console nobody reads any more) can simply go on.
void write_line(LineOutput& out, std::string_view line);

// Hands every pending byte to the file, as at the end of the output. Returns false if out.error is
// set.
bool flush_output(LineOutput& out);

// Drops the pending lines and every line after them: for an output that turned out to be one of
// the files it must not go into.
void mute(LineOutput& out);

}  // namespace jassrewrite
