// Standard output and standard error on Windows: a console, shown as text, or a file, pipe or NUL
// that gets the bytes as Windows programs have always written them.

#include <windows.h>

#include <string>

#include "app/console.h"
#include "app/platform.h"
#include "app/utf8.h"
#include "os_files/windows_text.h"

namespace jassrewrite {

namespace {

// The runtime calls the null device a terminal too, and a build script that sends the output to
// NUL must not pay a console's price for it.
bool is_console(const File& file) {
  DWORD mode = 0;
  return GetConsoleMode(file.native(), &mode) != 0;
}

// Older consoles refuse large writes.
constexpr std::size_t kConsoleWriteSize = 8192;

std::error_code write_console_text(File& console, std::string_view text) {
  while (!text.empty()) {
    // A piece of whole characters: at most as many UTF-16 units as bytes, and never half of a pair.
    const std::size_t piece = utf8_piece(text, kConsoleWriteSize);
    const std::wstring wide = to_utf16(text.substr(0, piece));
    std::wstring_view rest = wide;
    while (!rest.empty()) {
      DWORD written = 0;
      if (!WriteConsoleW(console.native(), rest.data(), static_cast<DWORD>(rest.size()), &written,
                         nullptr)) {
        return windows_error(GetLastError());
      }
      if (written == 0) {
        return windows_error(ERROR_WRITE_FAULT);
      }
      rest.remove_prefix(written);
    }
    text.remove_prefix(piece);
  }
  return {};
}

// Written as bytes, the console would show UTF-8 in its own code page, an OEM one, as mojibake
// ("cafÃ©"), so UTF-8 lines go through its wide-character interface as text. Other lines, such as
// an older script in the system's code page, go out as the bytes they are, as they always did. A
// block becomes one write per run of lines of either kind, not one per line.
std::error_code hand_over_to_console(File& console, std::string_view block) {
  std::error_code error;
  begin_block_on_standard_stream();
  for_each_utf8_run(block, [&](std::string_view run, bool utf8) {
    if (!error) {
      error = utf8 ? write_console_text(console, run) : write(console, run);
    }
  });
  end_block_on_standard_stream(!error && block.ends_with(kStreamLineBreak));
  return error;
}

// A file or pipe, as a build chain reads it: no script line after an interrupt's either.
std::error_code hand_over_to_file(File& file, std::string_view block) {
  begin_block_on_standard_stream();
  const std::error_code error = write(file, block);
  end_block_on_standard_stream(!error && block.ends_with(kStreamLineBreak));
  return error;
}

}  // namespace

LineOutput standard_stream_output(File& file) {
  LineOutput out{.file = &file, .line_break = kStreamLineBreak, .console = is_console(file)};
  out.hand_over = out.console ? hand_over_to_console : hand_over_to_file;
  return out;
}

void write_text_line(LineOutput& out, std::string_view text) {
  // On a console, text is UTF-8 (converted from UTF-16, so always well-formed), which the
  // console's hand-over shows as it is.
  if (!out.console) {
    write_line(out, to_ansi_code_page(to_utf16(text)));
    return;
  }
  write_line(out, text);
}

}  // namespace jassrewrite
