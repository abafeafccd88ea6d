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

// What a message claims of the script, as the code verified it: the tests hold each claim against
// the files, whatever words the message uses.
enum class Claim {
  kNothing,
  // Not changed by this run.
  kUnchanged,
  // Not changed by this run; `named` holds its complete rewrite.
  kUnchangedRewriteKept,
  // The rewrite is in its place; `named`, if any, is what it was.
  kRewritten,
  kFinishedFromEarlierRun,
  // Cut short under the mark; `named` holds the complete rewrite, and the next run finishes it.
  kCutShortRewriteKept,
  // Left as another program made it.
  kChanged,
  // Left as another program made it, but for the other version, which `named` holds.
  kChangedOtherKept,
  // There is none; `named` is what a run left beside it.
  kMissing,
  // `named`, a standard stream, got nothing.
  kStreamRefused,
};

inline constexpr const char* kClaimNames[] = {
    "nothing",
    "unchanged",
    "unchanged-rewrite-kept",
    "rewritten",
    "finished-from-earlier-run",
    "cut-short-rewrite-kept",
    "changed",
    "changed-other-kept",
    "missing",
    "stream-refused",
};
inline constexpr const char* name_of(Claim claim) { return kClaimNames[static_cast<int>(claim)]; }

struct Error {
  ErrorKind kind = ErrorKind::kFailed;
  std::string path;
  std::string reason;
  // Where the script and its rewrite are, and what to do, claiming only what the code verified.
  // Left empty by a step that cannot know it: the replacement then says what its state is.
  std::string note;
  Claim claim = Claim::kNothing;
  // The file, or stream, that the claim names.
  std::string named;
  // The system's error, where a call failed.
  std::error_code code;
};

// The note that tells the replacement's own claims: the one place that words them.
inline std::string note_of(Claim claim, const std::string& named) {
  switch (claim) {
    case Claim::kUnchanged:
      return "the script is unchanged";
    case Claim::kUnchangedRewriteKept:
      return "the script is unchanged; the complete rewritten script is kept in " + named;
    case Claim::kRewritten:
      return "the script was rewritten";
    case Claim::kFinishedFromEarlierRun:
      return "the script holds the rewrite finished from an earlier run";
    case Claim::kCutShortRewriteKept:
      return "the complete rewritten script is kept in " + named +
             ", and the next run finishes the copy";
    case Claim::kNothing:
    case Claim::kChanged:
    case Claim::kChangedOtherKept:
    case Claim::kMissing:
    case Claim::kStreamRefused:
      break;  // told in the reason, or in a note of the step's own
  }
  return {};
}

// What a run that failed for want of space adds to its note, where the script is as it was or cut
// short under the mark: the next step, which loses nothing.
inline std::string space_advice(Claim claim) {
  switch (claim) {
    case Claim::kUnchanged:
    case Claim::kUnchangedRewriteKept:
      return "free some space, then run again";
    case Claim::kCutShortRewriteKept:
      return "free some space before then";
    default:
      return {};
  }
}

// `error` with what it claims, its note left as it is.
inline Error claiming(Error error, Claim claim, std::string named = {}) {
  error.claim = claim;
  error.named = std::move(named);
  return error;
}

inline constexpr const char* kChangedReason =
    "changed while it was being rewritten; left as it is; run again to rewrite it as it is now";
inline constexpr const char* kTempChangedReason =
    "changed by another program while the script was rewritten";
inline constexpr const char* kNotAFileReason = "not a regular file";
inline constexpr const char* kFolderNotTempReason = "is a folder; move it away, then run again";
inline constexpr const char* kWrittenMeanwhileReason =
    "written to by another program while the rewrite was written into it";

inline Error failed(std::string path, const std::error_code& error, std::string note = {}) {
  return {ErrorKind::kFailed,
          std::move(path),
          error.message(),
          std::move(note),
          Claim::kNothing,
          {},
          error};
}
// A leftover that the run could not remove from where its new file goes.
inline Error in_the_way(std::string path, const std::error_code& error) {
  return {ErrorKind::kFailed,
          std::move(path),
          error.message() + "; it is in the way of the rewrite",
          {},
          Claim::kNothing,
          {},
          error};
}
inline Error refused(std::string path, std::string reason, std::string note = {}) {
  return {ErrorKind::kRefused, std::move(path), std::move(reason), std::move(note)};
}
inline Error changed(std::string path, std::string reason = kChangedReason) {
  return {ErrorKind::kChanged, std::move(path), std::move(reason), {}, Claim::kChanged};
}

inline std::string message_of(const Error& error) {
  std::string message = error.path + ": " + error.reason;
  if (!error.note.empty()) {
    message.append("; ").append(error.note);
  }
  return message;
}

}  // namespace jassrewrite
