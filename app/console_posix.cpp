// Standard output and standard error on POSIX: the bytes as they are, on a terminal too.

#include <unistd.h>

#include "app/console.h"
#include "app/platform.h"

namespace jassrewrite {

namespace {

bool is_console(const File& file) { return isatty(file.native()) != 0; }

// Blocks end with a line break, so a terminal shows half a line only while one is being written,
// or after a line too long for a block, which goes out without its line break. Marked before the
// write: an interrupt before the terminal has taken any of the block costs an empty line, where
// the other way round the message could follow half a line.
std::error_code hand_over_to_terminal(File& terminal, std::string_view block) {
  if (!block.empty()) {
    begin_block_on_standard_stream();
  }
  const std::error_code error = write(terminal, block);
  // A write that failed may have shown part of the block.
  end_block_on_standard_stream(!error && block.ends_with(kStreamLineBreak));
  return error;
}

}  // namespace

LineOutput standard_stream_output(File& file) {
  LineOutput out{.file = &file, .line_break = kStreamLineBreak, .console = is_console(file)};
  if (out.console) {
    out.hand_over = hand_over_to_terminal;
  }
  return out;
}

void write_text_line(LineOutput& out, std::string_view text) { write_line(out, text); }

}  // namespace jassrewrite
