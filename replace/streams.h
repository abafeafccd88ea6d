#pragma once

// Standard output and standard error must not go into the run's own files: mixed into the rewrite,
// or appended to the script, they would corrupt it or be read back without end.

#include <optional>
#include <span>
#include <string>

#include "os_files/file.h"
#include "replace/error.h"

namespace jassrewrite {

// Why each stream must not be written to; none where it may.
struct StreamVerdict {
  std::optional<Error> output;
  std::optional<Error> errors;
};

// One of the run's files as the check saw it: its identity, or why it could not be looked at.
struct SeenFile {
  std::string path;
  Result<FileIdentity> identity;
  // The script, with no overwrite of it cut short and pending, which leaves it empty too: an empty
  // one that is a stream was emptied by the shell.
  bool emptied_only_by_the_shell = false;
};

// Refuses a stream that is one of `files`; standard output also where it cannot be shown to be
// none of them.
StreamVerdict check_streams(const File& output, const File& errors,
                            std::span<const SeenFile> files);

// The same by the names of the run's files, each looked at once, before any byte is written:
// the script, the new file beside it, the temporary file and the mark of an overwrite in place. A
// name that does not exist is none of the streams.
StreamVerdict check_streams_by_name(const File& output, const File& errors,
                                    const std::string& script_path, const std::string& temp_path);

}  // namespace jassrewrite
