#pragma once

// The process-wide things the standard library cannot express portably: signals, console events,
// closed standard descriptors, and how the run's files are named. Everything here differs between
// POSIX and Windows, so the rest of the program compiles unchanged on both.

#include <string>

#include "replace/replacement.h"

namespace jassrewrite {

// Call first thing in main. Makes failed writes come back as errors instead of signals that kill
// the process mid-rewrite (SIGPIPE from a reader that went away, SIGXFSZ past a file-size limit),
// opens the null device on any of descriptors 0 to 2 that the caller left closed, so that no file
// the tool opens can end up as its standard output, and makes an interrupt (SIGINT, SIGTERM,
// SIGHUP; on Windows Ctrl+C, Ctrl+Break and a closing console) end the run at once with one line on
// standard error saying that the script is unchanged, and the exit status the shell expects.
void prepare_process();

// The run's files, as messages name them: the script's path in the form the platform's users read,
// and what the folder's lock is taken on.
RunPaths run_paths();

// Said by the console around each block it hands to a standard stream, so that the line that an
// interrupt ends the run with is whole and in sight. On Windows console events arrive on a thread
// of their own while the run writes on: the line waits for the block being written, and no script
// line follows it, where it would scroll the line out of sight. A POSIX terminal may show half a
// line while a block is being written (an interrupt can cut the write short anywhere) and after a
// line too long for a block, whose line break goes out with the next block: the line then starts on
// a line of its own, as it does after Ctrl+C typed there, which the terminal echoes as "^C"
// mid-line. `line_ended`: the block was written whole and ends with a line break.
void begin_block_on_standard_stream();
void end_block_on_standard_stream(bool line_ended);

// Whether an interrupt that ends the run says so on standard error: not until the run knows that
// standard error is none of its files, where the line would end up in the script.
void tell_interrupts(bool on_standard_error);

// Holds interrupts while the script, or what the run leaves behind, is being changed: one that
// arrives meanwhile takes effect at release_interrupts, and from then on an interrupt says what
// `say` says of the script, and where `left` is not empty, that the run leaves that file behind
// for the next run to remove.
void hold_interrupts();
void release_interrupts(InterruptsSay say, const std::string& left);

}  // namespace jassrewrite
