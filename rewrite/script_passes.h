#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "rewrite/line_output.h"
#include "rewrite/script_files.h"

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

// The conversion pass. Reads the script of `files` from its start, filters each line through a
// fresh UserCodeFilter, shows it on `console` and writes it to the temporary file, each line ending
// in CR LF, then syncs the temporary file. A line ends at LF, and a CR just before that LF is
// dropped; every other byte, NUL, 0x1A and a lone CR included, belongs to its line. A missing
// script reads as empty.
//
// Returns an error, with the script untouched, when the script cannot be read to its end or the
// temporary file cannot be written and synced in full. The console's own failures are left in
// console.error. `read_block_size` exists for tests that need lines to straddle read blocks.
std::optional<FileError> convert_script(ScriptFiles& files, LineOutput& console,
                                        std::size_t read_block_size = kReadBlockSize);

// The copy-back pass, first half: copies the temporary file, read back through its own handle,
// into a new file beside the script with the script's permissions and owner, and syncs it. Where
// a new file cannot take the script's place (the script has other hard links, its owner cannot
// be kept, its folder cannot be written) it makes none, and replace_script overwrites in place.
// The script is untouched whatever happens here.
std::optional<FileError> copy_back(ScriptFiles& files);

// The copy-back pass, second half: checks that the script's name still refers to the file that was
// read, unchanged, and puts the rewrite in its place: in one step where copy_back made a new file,
// otherwise by overwriting it in place under mark_overwrite, so that a run after an
// interrupted overwrite can finish it. A missing script is created empty where its folder exists.
std::optional<FileError> replace_script(ScriptFiles& files);

}  // namespace jassrewrite
