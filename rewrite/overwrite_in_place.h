#pragma once

// The copy-back's fallback where no new file can take the script's place: the script overwritten
// in place, under the mark.

#include <optional>

#include "rewrite/script_files.h"

namespace jassrewrite {

// The message note of a step that stopped with the script as it was.
inline constexpr const char* kUnchangedKept =
    "the script is unchanged; the complete rewritten script is kept in ";

// Overwrites the script with the complete rewrite in the temporary file. The space is claimed and
// the mark is on the disk before the first byte of the script changes; the mark tells a later run
// that the script may be cut short, and that the temporary file holds the rest. The script is
// checked right before its first byte changes, and its name once more at the end.
std::optional<FileError> overwrite_in_place(ScriptFiles& files);

}  // namespace jassrewrite
