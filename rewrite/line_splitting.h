#pragma once

// A script's bytes cut into lines as they are read, block by block, without decoding them.

#include <cstddef>
#include <cstring>
#include <span>
#include <string>

namespace jassrewrite {

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

}  // namespace jassrewrite
