#pragma once

// The recovery of what earlier runs left, which the replacement does first, under both locks, one
// leftover at a time: each function takes the run's paths and says what it did to the script, and
// what stopped it, if anything did. Whenever a step fails or cannot tell, what it found is left as
// it is and the error says where things are.

#include <optional>

#include "replace/error.h"
#include "replace/run_paths.h"

namespace jassrewrite {

// What the recovery did to the script, besides removing what was of no use.
enum class Recovered {
  kNothing,
  // An overwrite in place cut short: the copy was finished.
  kFinishedCutOverwrite,
  // A missing script whose complete rewrite was beside it: the rewrite was given its name.
  kNamedLeftRewrite,
};

// A step can fail after it changed the script: the copy finished, but its mark not removed.
struct Recovery {
  Recovered done = Recovered::kNothing;
  std::optional<Error> error;
};

// A mark that was still being written when its run ended never took effect: it is removed, unless
// it is the script itself under another name.
std::optional<Error> drop_unfinished_mark(const RunPaths& paths);

// An overwrite in place cut short under its mark. When the script is still as it was before that
// overwrite, the mark is dropped; when it is the same file and the start of the complete rewrite,
// which tempwar3map.j still holds as recorded, the copy is finished; anything else is refused.
Recovery recover_cut_overwrite(const RunPaths& paths);

// A new file left beside a missing script is given the script's name, but only when it is byte for
// byte the complete rewrite in tempwar3map.j and no overwrite in place is pending. Where the sync
// of the folder after that fails, the error alone claims what was done.
Recovery name_left_rewrite(const RunPaths& paths);

}  // namespace jassrewrite
