#pragma once

#include <span>

#include "rewrite/script_passes.h"

namespace jassrewrite {

// The whole run: banner and argument echo on `console`, then the conversion pass and the
// copy-back on the fixed paths in the current folder. Failures go to standard error as
// "jassrewrite: <path>: <reason>". Returns the exit status: 0 when the script was rewritten (or
// there was none), 1 when the run failed.
int run(std::span<char* const> args, LineOutput& console);

}  // namespace jassrewrite
