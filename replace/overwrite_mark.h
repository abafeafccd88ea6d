#pragma once

// The mark of an overwrite of the script in place, the one step that can leave the script cut
// short: while it exists, the script may be cut short and tempwar3map.j holds its complete rewrite.
// Also what an overwrite in place, the run's own or one that finishes a cut one, checks after it.

#include <optional>
#include <string>
#include <system_error>

#include "os_files/content_digest.h"
#include "os_files/file.h"
#include "replace/error.h"
#include "replace/run_paths.h"
#include "replace/snapshot.h"

namespace jassrewrite {

// The mark, beside the temporary file, and the name it is written under before it takes effect
// under its own: a mark is either complete or absent.
inline std::string overwrite_mark_path(const std::string& temp_path) {
  return temp_path + ".copying";
}
inline std::string unfinished_mark_path(const std::string& temp_path) {
  return temp_path + ".copying-new";
}

// Records `record` in the mark, synced, before it takes effect. On failure there is no mark, or
// one that the next run drops because the script is still as it records.
std::optional<Error> write_mark(const std::string& temp_path, const OverwriteRecord& record);

// Removes a file and makes its removal last through a power cut.
std::error_code remove_lasting(const std::string& path);

// A mark as found by a later run: its record and the mark file's own status, for the trust check.
struct FoundMark {
  OverwriteRecord record;
  FileStatus status;
};
// Reads the mark at `path`. A mark that cannot be read, or that holds anything but a record, is
// of a state that cannot be known: an error, never "no mark".
std::optional<Error> read_mark(const std::string& path, FoundMark& found);

// Checks an overwrite in place, the run's own or one that finishes a cut one, before its mark may
// go. What was copied is judged by the file it was read from, through its handle: another program
// that wrote into tempwar3map.j meanwhile would have had its bytes copied, but one that only
// removed or replaced its name did not; `not_the_rewrite` tells where what was copied is not
// `rewrite`. The script may have other names, through which another program may have written into
// it meanwhile: it must hold what was copied, and nothing more.
std::optional<Error> check_copy_in_place(File& temp, File& script, const RunPaths& paths,
                                         const Snapshot& rewrite, const Content& rewrite_content,
                                         const Content& copied, Error not_the_rewrite);

// Another program wrote into the script, by another of its names, while the rewrite was copied
// into it: it holds some of each. The mark stays, so that no run finishes the copy over what that
// program wrote.
Error written_meanwhile(const RunPaths& paths);

}  // namespace jassrewrite
