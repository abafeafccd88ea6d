#pragma once

// Script lines as a Windows console shows them: text where they are UTF-8, bytes where they are
// not. Nothing here calls the system, so it is the same, and tested, on every platform.

#include <cstddef>
#include <string_view>

namespace jassrewrite {

// Whether `text` is well-formed UTF-8 as Unicode defines it: no overlong form, no surrogate
// (U+D800 to U+DFFF), nothing past U+10FFFF, no sequence cut short and no stray continuation byte.
// A console converting anything less strict would show other characters than the script holds.
bool is_utf8(std::string_view text);

// Calls on_run(std::string_view run, bool utf8) for each longest run of whole lines of `block`
// that are all UTF-8 or all not, in order; together the runs are exactly `block`. A line ends
// after its LF, and bytes after the last LF make a line of their own.
template <class OnRun>
void for_each_utf8_run(std::string_view block, OnRun&& on_run) {
  std::size_t run_start = 0;
  bool run_is_utf8 = true;
  std::size_t line_start = 0;
  while (line_start < block.size()) {
    const std::size_t lf = block.find('\n', line_start);
    const std::size_t line_end = lf == std::string_view::npos ? block.size() : lf + 1;
    const bool line_is_utf8 = is_utf8(block.substr(line_start, line_end - line_start));
    if (line_start != run_start && line_is_utf8 != run_is_utf8) {
      on_run(block.substr(run_start, line_start - run_start), run_is_utf8);
      run_start = line_start;
    }
    run_is_utf8 = line_is_utf8;
    line_start = line_end;
  }
  if (run_start < block.size()) {
    on_run(block.substr(run_start), run_is_utf8);
  }
}

// The length of a start of the UTF-8 `text` of at most `limit` bytes (at least 4, the longest
// character) to convert and write on its own: up to its last LF within the limit, so that what
// another thread writes meanwhile (a message on standard error) comes between lines; failing that,
// the longest such start that ends between two characters, so that no character, nor the two UTF-16
// units of one past U+FFFF, is ever cut in two.
std::size_t utf8_piece(std::string_view text, std::size_t limit);

}  // namespace jassrewrite
