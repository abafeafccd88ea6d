#pragma once

// The one error type of the layers above the file layer: what stopped a step, told to the user as
// "jassrewrite: <path>: <reason>[; <note>]".

#include <string>
#include <system_error>
#include <utility>

namespace jassrewrite {

enum class ErrorKind {
  // The run will not go on with what it found (a file of the wrong kind, another user's, a
  // stream into its own files, a leftover whose state it cannot know, a temporary file that
  // another program changed).
  kRefused,
  // Another program changed the script while the run worked on it, and it was left as that
  // program made it.
  kChanged,
  // The system refused or failed a call.
  kFailed,
};

struct Error {
  ErrorKind kind = ErrorKind::kFailed;
  std::string path;
  std::string reason;
  // Where the script and its rewrite are, and what to do, claiming only what the code verified.
  // Left empty by a step that cannot know it: the replacement then says what its state is.
  std::string note;
};

inline constexpr const char* kChangedReason =
    "changed while it was being rewritten; left as it is; run again to rewrite it as it is now";
inline constexpr const char* kTempChangedReason =
    "changed by another program while the script was rewritten";

inline Error failed(std::string path, const std::error_code& error, std::string note = {}) {
  return {ErrorKind::kFailed, std::move(path), error.message(), std::move(note)};
}
// A leftover that the run could not remove from where its new file goes.
inline Error in_the_way(std::string path, const std::error_code& error) {
  return {ErrorKind::kFailed,
          std::move(path),
          error.message() + "; it is in the way of the rewrite",
          {}};
}
inline Error refused(std::string path, std::string reason, std::string note = {}) {
  return {ErrorKind::kRefused, std::move(path), std::move(reason), std::move(note)};
}
inline Error changed(std::string path, std::string reason = kChangedReason) {
  return {ErrorKind::kChanged, std::move(path), std::move(reason), {}};
}

inline std::string message_of(const Error& error) {
  std::string message = error.path + ": " + error.reason;
  if (!error.note.empty()) {
    message.append("; ").append(error.note);
  }
  return message;
}

}  // namespace jassrewrite
