#pragma once

// The mark of an overwrite of the script in place, the one step that can leave the script cut
// short, and the recovery of a script that an earlier run left so.

#include <optional>
#include <string>

#include "rewrite/script_files.h"

namespace jassrewrite {

// Records, in a file beside the temporary file, that the script is about to be overwritten in
// place: how the script was, and how the temporary file with its complete rewrite is. The record
// is on the disk before it takes effect, so a mark is complete or absent. Only while it exists can
// the script be cut short. On failure there is no mark, or one that the next run drops because
// the script is still as it records.
std::optional<FileError> mark_overwrite(const ScriptFiles& files);
// Removes the mark once the overwrite is complete and synced, and makes its removal last.
std::optional<FileError> unmark_overwrite(const std::string& temp_path);

// What the recovery of a cut overwrite did.
struct Recovery {
  // The copy was finished: the script is now the complete rewrite.
  bool finished = false;
  // Everything is as it was, and this says where things are.
  std::optional<FileError> error;
};

// Settles an overwrite in place that an earlier run left unfinished, before anything else happens.
// When the script is still as it was before that overwrite, the mark is dropped. When it is the
// same file and the start of the complete rewrite, which the temporary file still holds as it was
// recorded, the copy is finished. In every other case, and whenever a step of this fails or cannot
// tell, everything is left as it is and the error says where things are. Without a mark it does
// nothing.
Recovery recover_cut_overwrite(const std::string& script_path, const std::string& temp_path);

}  // namespace jassrewrite
