#pragma once

// The files one run works on, opened and checked before anything is written, and the copying
// between them.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

#include "rewrite/file.h"

namespace jassrewrite {

// Files are read and copied in blocks of this size: a script of a hundred megabytes then costs
// about a hundred system calls, and memory stays flat whatever the size of the script.
inline constexpr std::size_t kReadBlockSize = std::size_t{1} << 20;

// Every this many bytes written, the disk is asked to start writing them, so that the sync that
// must come before the script is replaced finds little left to do.
inline constexpr std::size_t kWritebackInterval = std::size_t{8} << 20;

// Added to the name of the file that a script is replaced with, which is made beside it so that
// the replacement stays on one file system.
inline constexpr const char* kReplacementSuffix = ".jassrewrite-new";

// Why a step stopped, for the message "jassrewrite: <path>: <reason>".
struct FileError {
  std::string path;
  std::string reason;
};

inline FileError os_error(const std::string& path, const std::error_code& error) {
  return {path, error.message()};
}

// What one run holds open, from the checks to the replacement of the script.
struct ScriptFiles {
  // As the user knows them, for messages.
  std::string script_path;
  std::string temp_path;
  // Not open when there is no script; its lock is held until the run ends.
  File script;
  File script_lock;
  // The script as it was when opened; it is replaced only if its name still refers to this.
  FileStatus script_status;
  // Where the script really is, symbolic links resolved: the file that gets replaced.
  std::string target_path;
  File temp;
  // The new script beside the target, once copy_back made it; empty when the script is to be
  // overwritten in place.
  std::string replacement_path;
};

// Opens and locks the script (if there is one), calling `before_waiting` when another run holds
// it, then opens the temporary file, checks the open handles, gives the temporary file the
// script's permission bits and empties it. Refuses, before anything is written: a script or
// temporary file that is not a regular file, a temporary file that is a symbolic link, has other
// hard links or is the script itself, and a script that is a dangling symbolic link.
std::optional<FileError> open_script_files(ScriptFiles& files,
                                           const std::function<void()>& before_waiting);

// Refuses standard output redirected into the script or the temporary file, where it would be
// mixed into the rewrite (or, appended to the script, be read back without end).
std::optional<FileError> refuse_shared_output(const ScriptFiles& files, const File& output);

// What tells a script apart from the same script changed, as text for the mark of an overwrite:
// identity, size, modification and change times. The identity alone begins it.
std::string describe(const FileIdentity& identity);
std::string describe(const FileStatus& script);

// Syncs and closes a file just created at `path`, then syncs its folder, so that the file and its
// name last through a power cut.
std::error_code close_lasting(File& file, const std::string& path);

// Overwrites `to` with every byte of `from`, from their starts, and syncs `to`.
std::optional<FileError> copy_contents(File& from, const std::string& from_path, File& to,
                                       const std::string& to_path);

}  // namespace jassrewrite
