#include "app/messages.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace jassrewrite
