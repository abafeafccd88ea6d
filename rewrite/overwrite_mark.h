#pragma once

// The mark of an overwrite of the script in place, the one step that can leave the script cut
// short, and the recovery of a script that an earlier run left so.

#include <optional>
#include <string>

#include "rewrite/script_files.h"

namespace jassrewrite {

// Records, in a file beside the temporary file, that the script is about to be overwritten in
// place and how it was before, and makes the record last through a power cut. Only while the
// record exists can the script be cut short.
std::optional<FileError> mark_overwrite(const ScriptFiles& files);
std::optional<FileError> unmark_overwrite(const ScriptFiles& files);

// Settles an overwrite in place that an earlier run left unfinished, before anything else happens.
// When the script is still as it was before that overwrite, the record is dropped. When it is the
// first part of the complete rewrite in the temporary file, the copy is finished and `finished`
// set. When it is anything else, both files are left as they are and an error says so. Without
// an unfinished overwrite it does nothing.
std::optional<FileError> finish_cut_copy_back(const std::string& script_path,
                                              const std::string& temp_path, bool& finished);

}  // namespace jassrewrite
