#pragma once

#include <cstddef>
#include <optional>
#include <system_error>

#include "os_files/content_digest.h"
#include "os_files/file.h"
#include "rewrite/line_output.h"

namespace jassrewrite {

// Where the conversion pass stopped short of the end.
struct ConversionFailure {
  enum class File { kScript, kTemp } file;
  std::error_code error;
};

// What the conversion pass read and wrote: a file that still holds it is the one converted.
struct Converted {
  Content script;
  Content rewrite;
};

// The conversion pass. Reads `script` from where it stands to its end, filters each line through a
// fresh UserCodeFilter, shows it on `console` and writes it to `temp`, each line ending in CR LF,
// and hands every byte of `temp` to its file. `converted` records what was read and written. A line
// ends at LF, and a CR just before that LF is dropped; every other byte, NUL, 0x1A and a lone CR
// included, belongs to its line.
//
// Fails when the script cannot be read to its end, memory runs out for a line, or `temp` cannot
// take every line; `temp.written` then counts what it took. The console's own failures are left in
// console.error: a console nobody reads does not stop the rewrite. `read_block_size` exists for
// tests that need lines to straddle read blocks.
std::optional<ConversionFailure> convert_script(File& script, LineOutput& temp, LineOutput& console,
                                                Converted& converted,
                                                std::size_t read_block_size = kReadBlockSize);

}  // namespace jassrewrite
