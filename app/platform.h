#pragma once

// The few things the standard library cannot express portably. Everything that differs between
// POSIX and Windows lives here, so the rest of the program compiles unchanged on both.

#include <cstdio>
#include <string_view>

namespace jassrewrite {

// The line break of the console: CR LF on Windows, LF elsewhere. Standard output is binary on
// every platform and the break is written out explicitly, so the bytes never depend on a text mode.
#ifdef _WIN32
inline constexpr std::string_view kConsoleLineBreak = "\r\n";
#else
inline constexpr std::string_view kConsoleLineBreak = "\n";
#endif

// Call first thing in main. Makes failed writes come back as errors instead of signals that kill
// the process mid-rewrite (SIGPIPE from a reader that went away, SIGXFSZ past a file-size limit),
// puts standard output in binary mode, and opens the null device on any of descriptors 0 to 2 that
// the caller left closed, so that no file the tool opens can end up as its standard output.
void prepare_process();

// True when `stream` is an interactive terminal, where a person is watching the output.
bool is_terminal(std::FILE* stream);

}  // namespace jassrewrite
