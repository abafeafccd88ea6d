#pragma once

#include <span>
#include <string>

#include "rewrite/line_output.h"

namespace jassrewrite {

// The whole run: banner and argument echo on `output`, then, holding the folder's lock, the
// conversion pass and the copy-back on the fixed paths in the current folder. Failures go to
// `errors` as "jassrewrite: <path>: <reason>". Returns the exit status: EXIT_SUCCESS when the
// script was rewritten (or there was none), EXIT_FAILURE when the run failed.
int run(std::span<const std::string> args, LineOutput& output, LineOutput& errors);

}  // namespace jassrewrite
