// The recovery of an overwrite in place that an earlier run left cut short, and of a mark that
// never took effect, as opening the replacement does them first.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "replace/overwrite_mark.h"
#include "replace/recovery.h"
#include "replace/replacement_runs.h"
#include "test_support.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace jassrewrite {
namespace {

using namespace replacement_runs;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;

// A run that was cut off while overwriting the script in place left its mark behind, made when the
// script was still "the original" and the temporary file held the complete rewrite: on the device
// that the folder is on now, or on another, as a file system mounted again may be given; or with
// the digest of other bytes than the temporary file's. Or made as the script is when the next run
// starts, as a coarse clock has it where the cut came within the tick of the mark.
enum class Mark {
  kNone,
  kOfTheScript,
  kOfTheScriptAsItIsNow,
  kOfTheScriptOnAnotherDevice,
  kOfTheScriptAloneOnAnotherDevice,
  kOfOtherBytes,
  kUnfinished,
  kNotARecord
};

struct RecoveryCase {
  const char* name;
  Mark mark;
  // What the script holds, in the same file, when the next run starts.
  std::string script;
  // What else happened to the folder since.
  std::function<void(const fs::path& folder)> meanwhile;
  bool finished;
  bool refused;
};

void PrintTo(const RecoveryCase& row, std::ostream* os) { *os << row.name; }

const std::string kOriginal = "the original\r\n";
const std::string kComplete = "//!beginusercode\r\n-- comment\r\n//!endusercode\r\n";
const std::string kCut = kComplete.substr(0, 25);

const std::vector<RecoveryCase> kRecoveryCases = {
    {"NothingWasCut", Mark::kNone, "any script\r\n", nullptr, false, false},
    // Regression: a run killed after making its mark, before changing the script, had the next
    // run refuse an intact script.
    {"CutOffBeforeTheFirstByteIsLeftToTheRun", Mark::kOfTheScript, kOriginal, nullptr, false,
     false},
    // Regression: a script cut short within the tick of its mark, at the size recorded, had the
    // mark dropped as if no byte had changed, and was left cut short with nothing to say so.
    {"CutShortWithinTheTickOfTheMarkIsFinished", Mark::kOfTheScriptAsItIsNow,
     kComplete.substr(0, kOriginal.size()), nullptr, true, false},
    // Where another program saved it in place within that tick, its save is not overwritten.
    {"SavedInPlaceWithinTheTickOfTheMarkIsLeftToTheRun", Mark::kOfTheScriptAsItIsNow,
     "another save\r\n", nullptr, false, false},
    {"CutOffWhileMarkingIsLeftToTheRun", Mark::kUnfinished, kOriginal, nullptr, false, false},
    {"CutShortIsFinished", Mark::kOfTheScript, kCut, nullptr, true, false},
    {"EmptiedIsFinished", Mark::kOfTheScript, "", nullptr, true, false},
    {"CompleteButStillMarkedIsSettled", Mark::kOfTheScript, kComplete, nullptr, true, false},
    // Regression: after the file system was mounted again under another device number, every run
    // refused the cut script, though tempwar3map.j was the complete rewrite that the mark records.
    {"RemountedCutShortIsFinished", Mark::kOfTheScriptOnAnotherDevice, kCut, nullptr, true, false},
    {"RemountedBeforeTheFirstByteIsLeftToTheRun", Mark::kOfTheScriptOnAnotherDevice, kOriginal,
     nullptr, false, false},
    // Recorded on another device than tempwar3map.j's: not the same script whatever the mount.
    {"ScriptOfAnotherDeviceIsRefused", Mark::kOfTheScriptAloneOnAnotherDevice, kCut, nullptr, false,
     true},
    // Where sizes and times cannot tell, what tempwar3map.j holds does.
    {"TemporaryFileHoldingOtherBytesIsRefused", Mark::kOfOtherBytes, kCut, nullptr, false, true},
    // A script written anew since the cut is not the earlier rewrite's to overwrite.
    {"ChangedSinceIsRefused", Mark::kOfTheScript, "a new script\r\n", nullptr, false, true},
    // Regression: a hostile folder's mark, tempwar3map.j and link had recovery write its bytes
    // into whatever file the link led to.
    {"AnotherFileIsRefused", Mark::kOfTheScript, kCut,
     [](const fs::path& f) {
       write_file(f / "another.j", "");
       fs::rename(f / "another.j", f / "script.j");
     },
     false, true},
    // Regression: a mark that could not be read, or held anything but a record, was deleted and
    // the cut script kept as if it were whole.
    {"MarkNotARecordIsKept", Mark::kNotARecord, kCut, nullptr, false, true},
    {"MarkUnreadableIsKept", Mark::kNone, kCut,
     [](const fs::path& f) { fs::create_directory(f / "temp.j.copying"); }, false, true},
    // Regression: with tempwar3map.j deleted, recovery made an empty one and "finished" an empty
    // script from it.
    {"TemporaryFileGoneIsRefused", Mark::kOfTheScript, "",
     [](const fs::path& f) { fs::remove(f / "temp.j"); }, false, true},
    {"TemporaryFileChangedIsRefused", Mark::kOfTheScript, kCut,
     [](const fs::path& f) { write_file(f / "temp.j", kComplete + "more\r\n"); }, false, true},
#ifndef _WIN32
    // Regression: a mark and tempwar3map.j planted in a shared folder by another user had their
    // bytes written into a script that user may not write.
    {"MarkOfAnotherUserIsRefused", Mark::kOfTheScript, kCut,
     [](const fs::path& f) {
       if (geteuid() != 0 || chown((f / "temp.j.copying").c_str(), 65534, 65534) != 0) {
         GTEST_SKIP() << "only root can give a file to another user";
       }
     },
     false, true},
#endif
};

class RecoveryTest : public testing::TestWithParam<RecoveryCase> {};

// The mark of an overwrite in place of the script as it is, with temp.j holding `rewrite`.
void mark_overwrite(const fs::path& folder, const std::string& rewrite, Mark mark) {
  write_file(folder / "temp.j", rewrite);
  const Result<FileStatus> script = status_at((folder / "script.j").string());
  const Result<FileStatus> temp = status_at((folder / "temp.j").string());
  ASSERT_FALSE(script.error || temp.error);
  OverwriteRecord record{snapshot_of(script.value), snapshot_of(temp.value)};
  record.rewrite.modified.reset();
  ContentDigest digest;
  digest.add(mark == Mark::kOfOtherBytes ? rewrite + "x" : rewrite);
  record.rewrite_digest = digest.content().digest;
  if (mark == Mark::kOfTheScriptOnAnotherDevice) {
    record.rewrite.identity.device += 1;
  }
  if (mark == Mark::kOfTheScriptOnAnotherDevice || mark == Mark::kOfTheScriptAloneOnAnotherDevice) {
    record.script.identity.device += 1;
  }
  ASSERT_FALSE(write_mark((folder / "temp.j").string(), record).has_value());
}

TEST_P(RecoveryTest, FinishesACutCopyOnlyOfTheFileItWasCopyingTo) {
  const fs::path folder = make_scratch_folder();
  const fs::path script = folder / "script.j";
  const fs::path temp = folder / "temp.j";
  write_file(script,
             GetParam().mark == Mark::kOfTheScriptAsItIsNow ? GetParam().script : kOriginal);
  if (GetParam().mark != Mark::kNone && GetParam().mark != Mark::kUnfinished &&
      GetParam().mark != Mark::kNotARecord) {
    mark_overwrite(folder, kComplete, GetParam().mark);
  } else {
    write_file(temp, kComplete);
  }
  if (GetParam().mark == Mark::kUnfinished) {
    write_file(folder / "temp.j.copying-new", "1 2 14");
  } else if (GetParam().mark == Mark::kNotARecord) {
    write_file(folder / "temp.j.copying", "1 2 14 1 1\n");
  }
  if (GetParam().script != kOriginal && GetParam().mark != Mark::kOfTheScriptAsItIsNow) {
    write_file(script, GetParam().script);
  }
  if (GetParam().meanwhile) {
    GetParam().meanwhile(folder);
  }
  if (IsSkipped()) {
    return;
  }
  const std::string before = read_file(script);
  const std::string temp_before = fs::exists(temp) ? read_file(temp) : "(none)";

  Recovery recovery{.error = drop_unfinished_mark(paths_in(folder))};
  if (!recovery.error) {
    recovery = recover_cut_overwrite(paths_in(folder));
  }

  EXPECT_EQ(recovery.error.has_value(), GetParam().refused);
  EXPECT_EQ(recovery.done == Recovered::kFinishedCutOverwrite, GetParam().finished);
  EXPECT_EQ(read_file(script), GetParam().finished ? kComplete : before);
  if (GetParam().refused) {
    EXPECT_EQ(fs::exists(temp) ? read_file(temp) : "(none)", temp_before);
  }
  EXPECT_EQ(fs::exists(folder / "temp.j.copying"), GetParam().refused);
  EXPECT_FALSE(fs::exists(folder / "temp.j.copying-new"));
}

INSTANTIATE_TEST_SUITE_P(CopyBack, RecoveryTest, testing::ValuesIn(kRecoveryCases),
                         testing_support::NameOfCase());

#ifndef _WIN32
// Regression: a script that was a link to tempwar3map.j.copying-new was removed with it, as the
// leftover of a mark that never took effect.
TEST(CopyBack, AnUnfinishedMarkThatIsTheScriptIsKept) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "temp.j.copying-new", kOriginal);
  fs::create_symlink("temp.j.copying-new", folder / "script.j");

  ASSERT_TRUE(drop_unfinished_mark(paths_in(folder)).has_value());
  EXPECT_EQ(read_file(folder / "script.j"), kOriginal);
}
#endif

}  // namespace
}  // namespace jassrewrite
