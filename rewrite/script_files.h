#pragma once

// The files one run works on, opened and checked before anything is written, and the copying
// between them.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "os_files/file.h"

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

// The mark of an overwrite in place, beside the temporary file, and the name that it is written
// under before it takes effect under its own: a mark is either complete or absent.
inline std::string overwrite_mark_path(const std::string& temp_path) {
  return temp_path + ".copying";
}
inline std::string unfinished_mark_path(const std::string& temp_path) {
  return temp_path + ".copying-new";
}

// Why a step stopped, for the message "jassrewrite: <path>: <reason>[; <note>]". The note says
// where the script and its rewrite are, and only what the code has verified.
struct FileError {
  std::string path;
  std::string reason;
  std::string note;
};

inline FileError os_error(const std::string& path, const std::error_code& error,
                          std::string note = {}) {
  return {path, error.message(), std::move(note)};
}
// The same where a step may have succeeded: none when `error` is not set.
inline std::optional<FileError> os_error_or_none(const std::string& path,
                                                 const std::error_code& error,
                                                 std::string note = {}) {
  if (!error) {
    return std::nullopt;
  }
  return os_error(path, error, std::move(note));
}

// The new script made beside the old one, which takes its place in one step. Like a lock file it
// is removed when it goes out of scope, unless kept: until it has taken the script's place it is
// only ever a copy of the rewrite in the temporary file.
struct Replacement {
  Replacement() = default;
  explicit Replacement(std::string staged_path) : path(std::move(staged_path)) {}
  Replacement(Replacement&& other) noexcept
      : path(std::exchange(other.path, {})), file(std::move(other.file)) {}
  Replacement& operator=(Replacement&& other) noexcept {
    Replacement discarded(std::move(*this));
    path = std::exchange(other.path, {});
    file = std::move(other.file);
    return *this;
  }
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement() {
    file = File();
    if (!path.empty()) {
      remove(path);
    }
  }
  [[nodiscard]] bool staged() const { return !path.empty(); }
  // Leaves the file at `path`: it has taken the script's place, or holds what must not be lost.
  void keep() { path.clear(); }

  std::string path;
  File file;
};

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
  // The temporary file as the conversion left it, holding the complete rewrite. It is copied only
  // while it is still so: another program may write to it by its name.
  FileStatus temp_status;
  // The new script beside the target, once copy_back made it; none when the script is to be
  // overwritten in place.
  Replacement replacement;
  // Tell the user what is not an error: a line of its own, and that the run waits, which a run
  // says once whatever it waits for.
  std::function<void(const std::string&)> tell = [](const std::string&) {};
  std::function<void(const std::string&)> tell_waiting = [](const std::string&) {};
  // How long the run still waits for other programs that hold its files, all waits together.
  std::chrono::milliseconds patience_left{5000};
};

// Where a file system, or another user, leaves no lock to be had, the run goes on and says so.
inline constexpr const char* kNoLock =
    "cannot be locked here; a run started meanwhile may work on it too";

// Does `step` again while another program holds `subject`, a file or two, for a moment (see
// held_for_a_moment), as long as the run's patience lasts, and tells the user once that it waits.
// Returns the last error.
std::error_code with_patience(ScriptFiles& files, const std::string& subject,
                              const std::function<std::error_code()>& step);

// Opens and locks the script (if there is one), calling `before_waiting` when another run holds
// it. Refuses a script that is not a regular file or is a dangling symbolic link.
std::optional<FileError> open_script(ScriptFiles& files,
                                     const std::function<void()>& before_waiting);
// Opens the temporary file, checks it through its handle, gives it the script's permission bits
// and empties it. Refuses, before anything is written, a temporary file that is not a regular
// file, is a symbolic link, has other hard links, is the script itself, or belongs to a user who
// could change it between its writing and its reading back.
std::optional<FileError> open_temp(ScriptFiles& files);
// Both, one after the other.
std::optional<FileError> open_script_files(ScriptFiles& files,
                                           const std::function<void()>& before_waiting);

// The two streams that must not go into the run's own files, and what their refusal says.
inline constexpr const char* kStandardOutput = "standard output; send the output elsewhere";
inline constexpr const char* kStandardError = "standard error; send the messages elsewhere";

// Refuses standard output or error (`stream`, one of the two above) redirected into the script,
// the temporary file or the mark of an overwrite, where it would be mixed into the rewrite (or,
// appended to the script, be read back without end). By name, before any byte is written to it.
std::optional<FileError> refuse_output_into_own_files(const File& output, const char* stream,
                                                      const std::string& script_path,
                                                      const std::string& temp_path);
// The same, on the files that the run has opened.
std::optional<FileError> refuse_shared_output(const ScriptFiles& files, const File& output,
                                              const char* stream);

// Refuses with "changed while it was being rewritten" where `file` is no longer as `as_read`.
std::optional<FileError> refuse_if_changed(File& file, const FileStatus& as_read,
                                           const std::string& path);
// Refuses where the temporary file is no longer as the conversion left it: size and change time
// (the size alone on Windows, which keeps no change time).
std::optional<FileError> refuse_if_temp_changed(ScriptFiles& files);
inline constexpr const char* kChanged = "changed while it was being rewritten; left as it is";
inline constexpr const char* kTempChanged =
    "changed by another program while the script was rewritten";

// Whether `now` is the file `as_read`, unchanged: identity, size, modification and change times.
bool is_unchanged(const FileStatus& now, const FileStatus& as_read);

// Why the bytes of `file` must not go into the script (`script`, or none where there is no script),
// or nothing: a file of another user's could be changed by that user between its writing and its
// reading back, into a script that user may not write, and so could a file with other names. Only
// the user the tool runs as and the script's owner are trusted.
std::optional<std::string> distrust(const FileStatus& file, const FileStatus* script);

}  // namespace jassrewrite
