// The words of what the run tells the user without stopping.

#include "app/messages.h"

namespace jassrewrite {

std::string words_of(const Notice& notice) {
  const std::string subject =
      notice.or_file.empty() ? notice.file : notice.file + " or " + notice.or_file;
  switch (notice.kind) {
    case NoticeKind::kWaitingForRun:
      return "waiting for another run in this folder to finish";
    case NoticeKind::kWaitingForLockHolder:
      return subject +
             ": waiting for the program that holds a lock on it, such as a run in another folder "
             "that shares it";
    case NoticeKind::kWaitingInUse:
      return subject + ": in use by another program; waiting for it to let go";
    case NoticeKind::kWaitingAccessDenied:
      return subject +
             ": access denied; trying again for a few seconds, in case another program holds it";
    case NoticeKind::kCannotLock:
      return subject + ": cannot be locked here; a run started meanwhile may work on it too";
  }
  return {};
}

}  // namespace jassrewrite
