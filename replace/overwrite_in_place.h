#pragma once

// The script overwritten in place under the mark, where no new file can take its place: it keeps
// its other names, its extended attributes and its owner, at the cost of a moment in which it is
// cut short, which the mark lets the next run finish.

#include <optional>

#include "replace/error.h"
#include "replace/opened_script.h"
#include "replace/patience.h"
#include "replace/run_paths.h"
#include "replace/script_state.h"
#include "replace/temporary_file.h"

namespace jassrewrite {

// Copies the complete rewrite in `temp` over `script`, opened again if it is not open, and closes
// it; `script_state` follows the script as it changes, so that a failure claims only what holds.
std::optional<Error> overwrite_in_place(OpenedScript& script, TemporaryFile& temp,
                                        const RunPaths& paths, Patience& patience,
                                        ScriptState& script_state);

}  // namespace jassrewrite
