#include "app/messages.h"

namespace jassrewrite {

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
  }
  return {};
}

std::string message_of(const Error& error) {
  std::string message = error.path + ": " + error.reason;
  const auto add = [&message](const std::string& part) {
    if (!part.empty()) {
      message.append("; ").append(part);
    }
  };
  if (error.tells_claim) {
    add(words_of(error.claim, error.named));
  }
  add(error.note);
  add(words_of(error.next_step));
  if (!error.partial_rewrite.empty()) {
    add(error.partial_rewrite + " holds part of the rewrite: delete it");
  }
  return message;
}

}  // namespace jassrewrite
