#pragma once

// Standard output and standard error as the user sees them: a console window or terminal that a
// person watches, or a file or pipe that a build chain reads.

#include <string_view>

#include "os_files/file.h"
#include "rewrite/line_output.h"

namespace jassrewrite {

// The line break of standard output and standard error, whether they are a console, a file or a
// pipe: CR LF on Windows, LF elsewhere. Standard output and standard
// error are both written as bytes, never through a text mode, so the break is written out
// explicitly, and what a build chain captures is the same whatever the runtime's modes.
#ifdef _WIN32
inline constexpr std::string_view kStreamLineBreak = "\r\n";
#else
inline constexpr std::string_view kStreamLineBreak = "\n";
#endif

// Output to `file`, timed for a person watching where it is a console. On a Windows console, lines
// that are UTF-8 show as text through the console's wide-character interface, whatever its code
// page; other lines go out as bytes, which the console shows in its code page. Redirected to a
// file, a pipe or NUL, every line goes out as the bytes it is.
LineOutput standard_stream_output(File& file);

// Appends a line of text: an argument as typed or a message, held as UTF-8 on Windows. On a
// Windows console it shows as it is; written to a file or pipe it is in the ANSI code page, the
// bytes that programs there have always written. Elsewhere the bytes go out as they are. Script
// lines are bytes and go through write_line.
void write_text_line(LineOutput& out, std::string_view text);

}  // namespace jassrewrite
