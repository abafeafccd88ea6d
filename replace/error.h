#pragma once

// The one error type of the layers above the file layer: what stopped a step, and what became of
// the script, as values. app/messages.h words it for the user.

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

// What the user can do next, where doing it loses nothing.
enum class NextStep {
  kNone,
  kMakeReadableAndWritable,
  kMakeWritable,
  kMakeWritableOrDelete,
  // The map's folder, for a file the run could not create in it.
  kMakeFolderWritable,
  // A folder on the path that this user may not search.
  kGiveAccessToFolder,
  // Windows: another program holds the file open.
  kCloseTheHolder,
  kFreeSpaceThenRunAgain,
  // Before the next run, which finishes a copy cut short.
  kFreeSpaceBeforeThen,
  // Of a file of the run's that it will not trust, or that is in its way.
  kDeleteItThenRunAgain,
  kMoveItAwayThenRunAgain,
  kRunAgain,
  // Of a standard stream that is one of the run's files; where the shell emptied the script to
  // send the stream into it, the map is saved again first.
  kSendOutputElsewhere,
  kSendMessagesElsewhere,
  kSaveMapThenSendOutputElsewhere,
  kSaveMapThenSendMessagesElsewhere,
};

// A step's own account of where the script and its rewrite are, where the claim's words would not
// tell it; worded where the run tells the user, with the run's paths.
enum class Note {
  kNone,
  // A mark whose state cannot be known: nothing was done.
  kEarlierCopyMayBeCut,
  // Under a mark: the script is cut short, and tempwar3map.j holds the complete rewrite.
  kEarlierCopyCut,
  kEarlierCopyCutNextRunFinishes,
  kEarlierCopyCutOnceWritable,
  // Another program wrote into the script while the rewrite was copied into it; tempwar3map.j
  // holds the complete rewrite and the mark stays.
  kWrittenMeanwhile,
  kCopyUnverified,
  kCopyNotTheRewrite,
  kNothingChanged,
  // The folder sync after a step failed: what the step did may not last through a power cut.
  kRewrittenMayNotLast,
  kReplacedMayNotLast,
  kLeftAsChangedMayNotLast,
  kNamedBackMayNotLast,
  // The rewrite under the script's name, taken away by another program; what the script was is
  // in `named`.
  kTakenAwayMayNotLast,
  // What has the script's name after a rename cannot be looked at.
  kReplacedByWhatUnknown,
  // The script was rewritten; this file is what it was, and the next run removes it.
  kOldScriptLeft,
  // What the script was, taken away by another program after the exchange.
  kOldScriptTakenAway,
  // A new file left beside a missing script, which is its complete rewrite.
  kRewriteOfMissingScript,
};

// Why a step stopped, worded where the run tells the user.
enum class Reason {
  // The system's own, which `code` holds.
  kSystem,
  // A leftover new file that the system would not remove (`code`).
  kInTheWay,
  kNotAFile,
  kFolder,
  kFolderNotScript,
  kSymbolicLink,
  kDanglingLink,
  // A link to the script, under the name of one of the run's other files.
  kTheScriptItself,
  kOtherUser,
  kOtherHardLinks,
  kChangedWhileOpened,
  kNotOurRecord,
  // The script, changed by another program while the run worked on it.
  kChangedWhileRewritten,
  kTempChanged,
  kWrittenMeanwhile,
  kNewFileChanged,
  // After the exchange: the other version could not be put back (`code`), and is in `named`.
  kOtherVersionNotPutBack,
  // After the exchange: the rewrite was taken away, and what the script was is in `named`.
  kTakenAway,
  // A mark of a cut overwrite, whose tempwar3map.j is not as it was left.
  kEarlierCopyTempLost,
  // A mark of a cut overwrite, whose script has changed since.
  kEarlierCopyChangedSince,
  // A missing script, beside the new file `named` that an earlier run left.
  kLeftBesideMissingScript,
  // A standard stream (`path`) that cannot be looked at (`code`).
  kStreamUnknown,
  // One of the run's files (`path`) that cannot be looked at (`code`), where the standard stream
  // `named` may be it.
  kStreamFileUnknown,
  // One of the run's files (`path`) is the standard stream `named`.
  kIsAlsoStream,
};

// An error as values: what stopped a step and what the run verified of the script. The claim, the
// note, the reason and the next step are worded where the run tells the user.
struct Error {
  ErrorKind kind = ErrorKind::kFailed;
  std::string path;
  Reason reason = Reason::kSystem;
  // The step's own account of where the script and its rewrite are, claiming only what the code
  // verified; none where the claim, or the reason, tells it.
  Note note = Note::kNone;
  Claim claim = Claim::kNothing;
  // The file, or stream, that the claim names.
  std::string named;
  // Whether the message words the claim: not where the reason or the note already tells it.
  bool tells_claim = false;
  NextStep next_step = NextStep::kNone;
  // A file that holds part of a rewrite, of no use to anyone, which the user may delete.
  std::string partial_rewrite;
  // The system's error, where a call failed.
  std::error_code code;
};

// `error` with what it claims, its note left as it is.
inline Error claiming(Error error, Claim claim, std::string named = {}) {
  error.claim = claim;
  error.named = std::move(named);
  return error;
}

// `error`, whose note leaves the claim to be told, with its claim and the next step.
inline Error telling(Error error, Claim claim, std::string named, NextStep next_step) {
  error = claiming(std::move(error), claim, std::move(named));
  error.tells_claim = true;
  error.next_step = next_step;
  return error;
}

// What a run that failed for want of space, with the script as it was or cut short under the
// mark, tells the user to do: the next step, which loses nothing.
inline NextStep after_full_disk(Claim claim) {
  switch (claim) {
    case Claim::kUnchanged:
    case Claim::kUnchangedRewriteKept:
      return NextStep::kFreeSpaceThenRunAgain;
    case Claim::kCutShortRewriteKept:
      return NextStep::kFreeSpaceBeforeThen;
    default:
      return NextStep::kNone;
  }
}

inline Error failed(std::string path, const std::error_code& error, Note note = Note::kNone) {
  return {.kind = ErrorKind::kFailed, .path = std::move(path), .note = note, .code = error};
}
// A leftover that the run could not remove from where its new file goes.
inline Error in_the_way(std::string path, const std::error_code& error) {
  return {.kind = ErrorKind::kFailed,
          .path = std::move(path),
          .reason = Reason::kInTheWay,
          .code = error};
}
inline Error refused(std::string path, Reason reason, Note note = Note::kNone) {
  return {.kind = ErrorKind::kRefused, .path = std::move(path), .reason = reason, .note = note};
}
inline Error refused(std::string path, Reason reason, NextStep next_step) {
  Error error = refused(std::move(path), reason);
  error.next_step = next_step;
  return error;
}
inline Error changed(std::string path, Reason reason = Reason::kChangedWhileRewritten) {
  return {.kind = ErrorKind::kChanged,
          .path = std::move(path),
          .reason = reason,
          .claim = Claim::kChanged};
}

}  // namespace jassrewrite
