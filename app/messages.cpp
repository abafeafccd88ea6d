#include "app/messages.h"

#include "replace/overwrite_mark.h"

namespace jassrewrite {

namespace {

constexpr const char* kEarlierCopyCut = "an earlier run was cut off while writing it back, and ";

std::string taken_away(const std::string& kept_in) {
  return "taken away by another program once it was rewritten; what it was is kept in " + kept_in;
}

// The first words of a refused stream's next step, where the shell emptied the script to send
// the stream into it.
std::string emptied_by_the_shell() {
  return "it is empty, since the shell empties the file that a stream is sent to with > before "
         "the run starts: save the map again, then ";
}

// The subject of a message: what stopped the step, or the stream that a file stopped.
const std::string& subject_of(const Error& error) {
  return error.reason == Reason::kStreamFileUnknown ? error.named : error.path;
}

}  // namespace

std::string words_of(Claim claim, const std::string& named) {
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
      break;
  }
  return {};
}

std::string words_of(NextStep step) {
  switch (step) {
    case NextStep::kNone:
      break;
    case NextStep::kMakeReadableAndWritable:
      return "make it readable and writable, then run again";
    case NextStep::kMakeWritable:
      return "make it writable, then run again";
    case NextStep::kMakeWritableOrDelete:
      return "make it writable, or delete it, then run again";
    case NextStep::kMakeFolderWritable:
      return "this user may not create it in the map's folder: make the folder writable, then "
             "run again";
    case NextStep::kGiveAccessToFolder:
      return "this user may not look into a folder on its path: give access to it, then run "
             "again";
    case NextStep::kCloseTheHolder:
      return "close the program that holds it, then run again";
    case NextStep::kFreeSpaceThenRunAgain:
      return "free some space, then run again";
    case NextStep::kFreeSpaceBeforeThen:
      return "free some space before then";
    case NextStep::kDeleteItThenRunAgain:
      return "delete it and run again";
    case NextStep::kMoveItAwayThenRunAgain:
      return "move it away, then run again";
    case NextStep::kRunAgain:
      return "run again";
    case NextStep::kSendOutputElsewhere:
      return "send the output elsewhere";
    case NextStep::kSendMessagesElsewhere:
      return "send the messages elsewhere";
    case NextStep::kSaveMapThenSendOutputElsewhere:
      return emptied_by_the_shell() + "send the output elsewhere";
    case NextStep::kSaveMapThenSendMessagesElsewhere:
      return emptied_by_the_shell() + "send the messages elsewhere";
  }
  return {};
}

std::string words_of(Note note, const RunPaths& paths, const std::string& named) {
  const std::string cut = kEarlierCopyCut + paths.temp + " holds the complete rewrite";
  const std::string mark = overwrite_mark_path(paths.temp);
  switch (note) {
    case Note::kNone:
      break;
    case Note::kEarlierCopyMayBeCut:
      return "an earlier run may have been cut off while writing back " + paths.script +
             "; nothing was changed";
    case Note::kEarlierCopyCut:
      return cut;
    case Note::kEarlierCopyCutNextRunFinishes:
      return cut + ": the next run finishes the copy";
    case Note::kEarlierCopyCutOnceWritable:
      return cut + ": run again once the script can be written";
    case Note::kWrittenMeanwhile:
      return paths.temp + " holds the complete rewrite of the script as it was read, and " + mark +
             " keeps runs from writing over it; to rewrite the script as it is now, keep a copy "
             "of " +
             paths.temp + " and delete " + mark;
    case Note::kCopyUnverified:
      return "the copy into the script is not verified; the next run checks it again";
    case Note::kCopyNotTheRewrite:
      return "what was copied into the script is not the rewrite: it may be cut short";
    case Note::kNothingChanged:
      return "nothing was changed";
    case Note::kRewrittenMayNotLast:
      return "it was rewritten, but the change may not last through a power cut";
    case Note::kReplacedMayNotLast:
      return "it was replaced, but that may not last through a power cut";
    case Note::kLeftAsChangedMayNotLast:
      return "it changed while it was being rewritten and was left as it is, but that may not "
             "last through a power cut";
    case Note::kNamedBackMayNotLast:
      return "it was given back its name, but that may not last through a power cut";
    case Note::kTakenAwayMayNotLast:
      return taken_away(named) + ", but that may not last through a power cut";
    case Note::kReplacedByWhatUnknown:
      return "it was replaced, but whether by its rewrite cannot be told";
    case Note::kOldScriptLeft:
      return "the script was rewritten; this is what it was, and the next run removes it";
    case Note::kOldScriptTakenAway:
      return "another program took away what the script was, so whether it had saved the script "
             "meanwhile cannot be told; the script was rewritten";
    case Note::kRewriteOfMissingScript:
      return "the script is missing, and this is its complete rewrite";
  }
  return {};
}

std::string words_of(const Error& error, const RunPaths& paths) {
  const std::string nothing_written = "so nothing was written to it";
  const std::string cut = kEarlierCopyCut;
  const std::string mark = overwrite_mark_path(paths.temp);
  switch (error.reason) {
    case Reason::kSystem:
      return error.code.message();
    case Reason::kInTheWay:
      return error.code.message() + "; it is in the way of the rewrite";
    case Reason::kNotAFile:
      return "not a regular file";
    case Reason::kFolder:
      return "is a folder";
    case Reason::kFolderNotScript:
      return "is a folder, not the map's script";
    case Reason::kSymbolicLink:
      return "is a symbolic link";
    case Reason::kDanglingLink:
      return "a symbolic link to a file that does not exist";
    case Reason::kTheScriptItself:
      return "is the script itself (a link to " + paths.script + ")";
    case Reason::kOtherUser:
      return "belongs to another user";
    case Reason::kOtherHardLinks:
      return "has other hard links";
    case Reason::kChangedWhileOpened:
      return "changed while it was being opened";
    case Reason::kNotOurRecord:
      return "not a record that this tool wrote";
    case Reason::kChangedWhileRewritten:
      return "changed while it was being rewritten; left as it is; run again to rewrite it as it "
             "is now";
    case Reason::kTempChanged:
      return "changed by another program while the script was rewritten";
    case Reason::kWrittenMeanwhile:
      return "written to by another program while the rewrite was written into it";
    case Reason::kNewFileChanged:
      return "changed by another program before it took the script's place; left as that "
             "program made it";
    case Reason::kOtherVersionNotPutBack:
      return "changed while it was being rewritten, and the other version could not be put back "
             "(" +
             error.code.message() + "): it is in " + error.named;
    case Reason::kTakenAway:
      return taken_away(error.named);
    case Reason::kEarlierCopyTempLost:
      return cut + paths.temp +
             ", which held the rest, is not as it left it: the script may be cut short; restore "
             "it, then delete " +
             mark;
    case Reason::kEarlierCopyChangedSince:
      return cut + "it has changed since: " + paths.temp +
             " holds the complete rewrite of what it was; to rewrite it as it is now instead, "
             "keep a copy of " +
             paths.temp + " and delete " + mark;
    case Reason::kLeftBesideMissingScript:
      return "not found, but an earlier run left " + error.named +
             ": if that is the complete rewrite, give it the script's name, otherwise delete it";
    case Reason::kStreamUnknown:
      return error.code.message() + "; it cannot be told apart from the run's files, " +
             nothing_written;
    case Reason::kStreamFileUnknown:
      return error.path + " cannot be looked at (" + error.code.message() + "), " + nothing_written;
    case Reason::kIsAlsoStream:
      return "is also " + error.named;
  }
  return {};
}

std::string message_of(const Error& error, const RunPaths& paths) {
  std::string message = subject_of(error) + ": " + words_of(error, paths);
  const auto add = [&message](const std::string& part) {
    if (!part.empty()) {
      message.append("; ").append(part);
    }
  };
  if (error.tells_claim) {
    add(words_of(error.claim, error.named));
  }
  add(words_of(error.note, paths, error.named));
  add(words_of(error.next_step));
  if (!error.partial_rewrite.empty()) {
    add(error.partial_rewrite + " holds part of the rewrite: delete it");
  }
  return message;
}

}  // namespace jassrewrite
