#pragma once

#include <cstddef>
#include <functional>
#include <optional>

#include "rewrite/line_output.h"
#include "rewrite/script_files.h"

namespace jassrewrite {

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

// The copy-back pass: puts the rewrite in the temporary file in the script's place. First it writes
// the rewrite, read back through the temporary file's own handle, into a new file beside the script
// with the script's permissions and owner, and syncs it; the script is untouched whatever happens
// there. Then it calls `before_changing_script`, always before any step that can change the script
// and before it returns without error, and replaces the script: it checks that the script's name
// still refers to the file that was read, unchanged, and puts the new file in its place in one
// step. Where a new file cannot take the script's place (the script has other hard links, its
// owner cannot be kept, its folder cannot be written) it overwrites the script in place under
// mark_overwrite, so that a run after an interrupted overwrite can finish it. A missing script is
// created empty where its folder exists.
std::optional<FileError> copy_back(ScriptFiles& files,
                                   const std::function<void()>& before_changing_script);

}  // namespace jassrewrite
