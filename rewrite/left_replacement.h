#pragma once

// The recovery of a replacement that stopped between its two steps.

#include <optional>

#include "rewrite/script_files.h"

namespace jassrewrite {

// Where the script is missing and the new file that was to take its place is still beside it (an
// earlier run, or the system, stopped between the two steps of a replacement), gives that file the
// script's name, but only when it is byte for byte the complete rewrite in the temporary file and
// no overwrite in place is pending; otherwise refuses, with everything as it is.
std::optional<FileError> finish_left_replacement(const ScriptFiles& files);

}  // namespace jassrewrite
