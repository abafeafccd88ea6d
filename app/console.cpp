#include "app/console.h"

#include <string>

#ifdef _WIN32
#include <windows.h>

#include <algorithm>

#include "rewrite/windows_text.h"
#else
#include <unistd.h>
#endif

namespace jassrewrite {

namespace {

#ifdef _WIN32
// The runtime calls the null device a terminal too, and a build script that sends the output to
// NUL must not pay a console's price for it.
bool is_console(const File& file) {
  DWORD mode = 0;
  return GetConsoleMode(file.native(), &mode) != 0;
}

std::error_code write_console_text(File& console, std::string_view text) {
  const std::wstring wide = to_utf16(text);
  std::wstring_view rest = wide;
  while (!rest.empty()) {
    // Older consoles refuse large writes; a character made of two UTF-16 units stays whole.
    std::size_t chunk = std::min<std::size_t>(rest.size(), 8192);
    if (chunk < rest.size() && IS_HIGH_SURROGATE(rest[chunk - 1])) {
      --chunk;
    }
    DWORD written = 0;
    if (!WriteConsoleW(console.native(), rest.data(), static_cast<DWORD>(chunk), &written,
                       nullptr)) {
      return windows_error(GetLastError());
    }
    if (written == 0) {
      return windows_error(ERROR_WRITE_FAULT);
    }
    rest.remove_prefix(written);
  }
  return {};
}
#else
bool is_console(const File& file) { return isatty(file.native()) != 0; }
#endif

}  // namespace

LineOutput console_output(File& file) {
  return {.file = &file, .line_break = kConsoleLineBreak, .console = is_console(file)};
}

void write_text_line(LineOutput& out, std::string_view text) {
#ifdef _WIN32
  if (!out.console) {
    write_line(out, to_ansi_code_page(to_utf16(text)));
    return;
  }
  if (flush_output(out)) {
    out.error = write_console_text(*out.file, text);
  }
  write_line(out, {});
#else
  write_line(out, text);
#endif
}

}  // namespace jassrewrite
