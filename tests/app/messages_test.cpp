#include "app/messages.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#include "test_support.h"

namespace jassrewrite {
namespace {

const RunPaths kPaths{.script = "script.j", .temp = "temp.j", .folder_lock = "."};

// How each claim of the replacement's own is worded, as docs/safety.md quotes it: the sweeps check
// what a message claims by its value, and this the words that tell it.
TEST(Messages, EachClaimIsToldInItsOwnWords) {
  const struct {
    Claim claim;
    const char* words;
    // What a failure for want of space adds: the next step, where there is one that loses nothing.
    const char* space;
  } told[] = {
      {Claim::kUnchanged, "the script is unchanged", "free some space, then run again"},
      {Claim::kUnchangedRewriteKept,
       "the script is unchanged; the complete rewritten script is kept in tempwar3map.j",
       "free some space, then run again"},
      {Claim::kRewritten, "the script was rewritten", ""},
      {Claim::kFinishedFromEarlierRun, "the script holds the rewrite finished from an earlier run",
       ""},
      {Claim::kCutShortRewriteKept,
       "the complete rewritten script is kept in tempwar3map.j, and the next run finishes the "
       "copy",
       "free some space before then"},
      // Told by the reason, or by a note of the step's own.
      {Claim::kNothing, "", ""},
      {Claim::kChanged, "", ""},
  };
  for (const auto& [claim, words, space] : told) {
    EXPECT_EQ(words_of(claim, "tempwar3map.j"), words) << name_of(claim);
    EXPECT_EQ(words_of(after_full_disk(claim)), space) << name_of(claim);
  }
}

// Each part in its place, and none told where the error leaves it out.
TEST(Messages, PartsComeInOrder) {
  Error error = failed("script.j", std::make_error_code(std::errc::no_space_on_device));
  const std::string reason = "script.j: " + error.code.message();
  EXPECT_EQ(message_of(error, kPaths), reason);

  error.claim = Claim::kUnchangedRewriteKept;
  error.named = "temp.j";
  EXPECT_EQ(message_of(error, kPaths), reason) << "a claim that the reason tells";

  error = telling(error, Claim::kUnchanged, {}, NextStep::kFreeSpaceThenRunAgain);
  error.note = Note::kNothingChanged;
  error.partial_rewrite = "temp.j";
  EXPECT_EQ(message_of(error, kPaths),
            reason +
                "; the script is unchanged; nothing was changed; free some space, then run again; "
                "temp.j holds part of the rewrite: delete it");
}

// Each reason, in a message as the run gives it, and each notice is quoted in docs/safety.md's
// fault table word for word: the words live in one place, and the docs must say what the run says.
TEST(Messages, EachReasonAndNoticeIsWordedAsTheDocsQuoteIt) {
#ifdef _WIN32
  GTEST_SKIP() << "the docs quote the messages as Linux shows them";
#else
  const RunPaths paths{
      .script = "logs/outputwar3map.j", .temp = "tempwar3map.j", .folder_lock = "."};
  const std::string new_file = paths.script + kNewFileSuffix;
  const std::string mark = "tempwar3map.j.copying";
  const auto system = [](std::errc error) { return std::make_error_code(error); };
  const auto with = [](Error error, auto change) {
    change(error);
    return error;
  };
  const Error quoted[] = {
      in_the_way(new_file, system(std::errc::io_error)),
      refused(paths.script, Reason::kNotAFile),
      refused(paths.temp, Reason::kFolder, NextStep::kMoveItAwayThenRunAgain),
      refused(paths.script, Reason::kFolderNotScript, NextStep::kMoveItAwayThenRunAgain),
      refused(paths.temp, Reason::kSymbolicLink, NextStep::kDeleteItThenRunAgain),
      refused(paths.script, Reason::kDanglingLink),
      refused(paths.temp, Reason::kTheScriptItself),
      refused(paths.temp, Reason::kOtherUser, NextStep::kDeleteItThenRunAgain),
      refused(paths.temp, Reason::kOtherHardLinks, NextStep::kDeleteItThenRunAgain),
      refused(paths.temp, Reason::kChangedWhileOpened, NextStep::kRunAgain),
      refused(mark, Reason::kNotOurRecord, Note::kEarlierCopyMayBeCut),
      changed(paths.script),
      refused(paths.temp, Reason::kTempChanged),
      with(claiming(refused(paths.script, Reason::kWrittenMeanwhile), Claim::kChangedOtherKept,
                    paths.temp),
           [](Error& error) { error.note = Note::kWrittenMeanwhile; }),
      telling(refused(new_file, Reason::kNewFileChanged), Claim::kUnchangedRewriteKept, paths.temp,
              NextStep::kNone),
      with(changed(paths.script, Reason::kOtherVersionNotPutBack),
           [&](Error& error) {
             error.code = system(std::errc::io_error);
             error.named = new_file;
           }),
      claiming(changed(paths.script, Reason::kTakenAway), Claim::kMissing, new_file),
      refused(paths.script, Reason::kEarlierCopyTempLost),
      refused(paths.script, Reason::kEarlierCopyChangedSince),
      claiming(refused(paths.script, Reason::kLeftBesideMissingScript), Claim::kMissing, new_file),
      with(refused("standard output", Reason::kStreamUnknown),
           [&](Error& error) { error.code = system(std::errc::io_error); }),
      with(claiming(refused(paths.script, Reason::kStreamFileUnknown), Claim::kStreamRefused,
                    "standard output"),
           [&](Error& error) { error.code = system(std::errc::permission_denied); }),
      claiming(refused(paths.temp, Reason::kIsAlsoStream, NextStep::kSendOutputElsewhere),
               Claim::kStreamRefused, "standard output"),
      claiming(
          refused(paths.script, Reason::kIsAlsoStream, NextStep::kSaveMapThenSendOutputElsewhere),
          Claim::kStreamRefused, "standard output"),
      claiming(refused(paths.script, Reason::kIsAlsoStream, NextStep::kSendMessagesElsewhere),
               Claim::kStreamRefused, "standard error"),
  };
  // What the run says without stopping; the waits, where Windows has them, with its paths.
  const Notice notices[] = {
      {NoticeKind::kWaitingForRun},
      {NoticeKind::kWaitingForLockHolder, paths.script},
      {NoticeKind::kWaitingInUse, R"(logs\outputwar3map.j)"},
      {NoticeKind::kWaitingAccessDenied, R"(logs\outputwar3map.j)",
       R"(logs\outputwar3map.j.jassrewrite-new)"},
      {NoticeKind::kCannotLock, paths.temp},
  };
  std::vector<std::string> said;
  for (const Error& error : quoted) {
    said.push_back(message_of(error, paths));
  }
  for (const Notice& notice : notices) {
    said.push_back(words_of(notice));
  }
  const std::string docs = testing_support::read_file(JASSREWRITE_DOCS_DIR "/safety.md");
  for (const std::string& message : said) {
    EXPECT_NE(docs.find("`jassrewrite: " + message), std::string::npos) << message;
  }
#endif
}

}  // namespace
}  // namespace jassrewrite
