// The replacement of the script, with what may happen to its files meanwhile, and the recovery of
// what an earlier run left.

#include "replace/replacement.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "replace/overwrite_mark.h"
#include "rewrite/script_passes.h"
#include "test_support.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace jassrewrite {
namespace {

namespace fs = std::filesystem;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;

// An empty file at `path`, open for writing.
File open_empty(const fs::path& path) {
  auto [file, error] = open_or_create_unfollowed(path.string());
  EXPECT_FALSE(error) << path << ": " << error.message();
  EXPECT_FALSE(truncate(file));
  return std::move(file);
}

// The replacement of "script.j" by way of "temp.j" in `folder`, as a run makes it.
std::unique_ptr<ScriptReplacement> replacement_in(const fs::path& folder) {
  return std::make_unique<ScriptReplacement>(
      RunPaths{(folder / "script.j").string(), (folder / "temp.j").string(), folder.string()},
      InterruptHold{}, [](const std::string&) {});
}

std::unique_ptr<ScriptReplacement> opened_in(const fs::path& folder) {
  auto replacement = replacement_in(folder);
  const auto error = replacement->open();
  EXPECT_FALSE(error.has_value()) << message_of(*error);
  return replacement;
}

// Puts `rewrite` in the temporary file as the conversion pass would, and has it recorded.
void convert_to(ScriptReplacement& replacement, const std::string& rewrite) {
  ASSERT_FALSE(write(replacement.temp_file(), rewrite));
  const auto error = replacement.converted(rewrite.size());
  ASSERT_FALSE(error.has_value()) << message_of(*error);
}

// The copy-back and the replacement, with what may happen to the script in between.
struct ReplaceCase {
  const char* name;
  std::function<void(const fs::path& folder)> before;
  std::function<void(const fs::path& script)> meanwhile;
  bool refused;
};

void PrintTo(const ReplaceCase& row, std::ostream* os) { *os << row.name; }

// A second name for the script rules out replacing it by a new file.
void link_script(const fs::path& folder) {
  fs::create_hard_link(folder / "script.j", folder / "other-name.j");
}

const std::vector<ReplaceCase> kReplaceCases = {
    {"ReplacedInOneStep", nullptr, nullptr, false},
    {"HardLinkedScriptIsOverwrittenInPlace", link_script, nullptr, false},
    // Regression: a leftover that could not be removed made every run fail.
    {"LeftoverInTheWayIsWorkedAround",
     [](const fs::path& f) { fs::create_directory(f / "script.j.jassrewrite-new"); }, nullptr,
     false},
// Regression: a script that another program changed during the run was overwritten with the
// rewrite of its old content.
#ifndef _WIN32
    // Regression: a leftover that was a FIFO was never removed, and had every run overwrite the
    // script in place.
    {"LeftoverFifoIsRemoved",
     [](const fs::path& f) {
       ASSERT_EQ(mkfifo((f / "script.j.jassrewrite-new").c_str(), 0600), 0);
     },
     nullptr, false},
#endif
    {"AppendedMeanwhileIsLeftAlone", nullptr,
     [](const fs::path& script) { write_file(script, read_file(script) + "appended\r\n"); }, true},
#ifndef _WIN32
    // Windows lets no other program rename over a file that the tool holds open.
    {"ReplacedMeanwhileIsLeftAlone", nullptr,
     [](const fs::path& script) {
       write_file(script.string() + ".other", "another script\r\n");
       fs::rename(script.string() + ".other", script);
     },
     true},
    // Windows keeps no change time that a program cannot set back.
    {"RewrittenMeanwhileWithItsTimeSetBackIsLeftAlone", nullptr,
     [](const fs::path& script) {
       const auto modified = fs::last_write_time(script);
       write_file(script, std::string(fs::file_size(script), 'y'));
       fs::last_write_time(script, modified);
     },
     true},
#endif
    {"HardLinkedAndChangedMeanwhileIsLeftAlone", link_script,
     [](const fs::path& script) { write_file(script, "edited\r\n"); }, true},
};

class ReplaceTest : public testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceTest, PutsTheExactBytesOfTheTemporaryFileInPlaceOrNothing) {
  const fs::path folder = make_scratch_folder();
  const fs::path script = folder / "script.j";
  std::string rewritten;
  for (std::size_t i = 0; rewritten.size() < 3 * kReadBlockSize + 7; ++i) {
    rewritten.push_back(static_cast<char>((i * 7919) % 256));
  }
  write_file(script, std::string(4 * kReadBlockSize, 'x'));
  if (GetParam().before) {
    GetParam().before(folder);
  }
  auto replacement = opened_in(folder);
  convert_to(*replacement, rewritten);
  if (GetParam().meanwhile) {
    GetParam().meanwhile(script);
  }
  const std::string before = read_file(script);

  const auto error = replacement->commit();

  EXPECT_EQ(error.has_value(), GetParam().refused);
  EXPECT_EQ(read_file(script), GetParam().refused ? before : rewritten);
  if (fs::exists(folder / "other-name.j")) {
    EXPECT_EQ(read_file(folder / "other-name.j"), read_file(script)) << "the link was broken";
  }
  EXPECT_EQ(read_file(folder / "temp.j"), rewritten);
  EXPECT_FALSE(fs::exists(folder / "script.j.jassrewrite-new"));
  EXPECT_FALSE(fs::exists(folder / "temp.j.copying"));
}

INSTANTIATE_TEST_SUITE_P(CopyBack, ReplaceTest, testing::ValuesIn(kReplaceCases),
                         testing_support::NameOfCase());

// A run that was cut off while overwriting the script in place left its mark behind, made when the
// script was still "the original" and the temporary file held the complete rewrite.
enum class Mark { kNone, kOfTheScript, kUnfinished, kNotARecord };

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
    {"CutOffWhileMarkingIsLeftToTheRun", Mark::kUnfinished, kOriginal, nullptr, false, false},
    {"CutShortIsFinished", Mark::kOfTheScript, kCut, nullptr, true, false},
    {"EmptiedIsFinished", Mark::kOfTheScript, "", nullptr, true, false},
    {"CompleteButStillMarkedIsSettled", Mark::kOfTheScript, kComplete, nullptr, true, false},
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
void mark_overwrite(const fs::path& folder, const std::string& rewrite) {
  write_file(folder / "temp.j", rewrite);
  const Result<FileStatus> script = status((folder / "script.j").string());
  const Result<FileStatus> temp = status((folder / "temp.j").string());
  ASSERT_FALSE(script.error || temp.error);
  Snapshot recorded_rewrite = snapshot_of(temp.value);
  recorded_rewrite.modified.reset();
  ASSERT_FALSE(write_mark((folder / "temp.j").string(),
                          {snapshot_of(script.value), recorded_rewrite})
                   .has_value());
}

TEST_P(RecoveryTest, FinishesACutCopyOnlyOfTheFileItWasCopyingTo) {
  const fs::path folder = make_scratch_folder();
  const fs::path script = folder / "script.j";
  const fs::path temp = folder / "temp.j";
  write_file(script, kOriginal);
  if (GetParam().mark == Mark::kOfTheScript) {
    mark_overwrite(folder, kComplete);
  } else {
    write_file(temp, kComplete);
  }
  if (GetParam().mark == Mark::kUnfinished) {
    write_file(folder / "temp.j.copying-new", "1 2 14");
  } else if (GetParam().mark == Mark::kNotARecord) {
    write_file(folder / "temp.j.copying", "1 2 14 1 1\n");
  }
  if (GetParam().script != kOriginal) {
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

  auto replacement = replacement_in(folder);
  const auto error = replacement->open();

  EXPECT_EQ(error.has_value(), GetParam().refused);
  EXPECT_EQ(replacement->recovered() == Recovered::kFinishedCutOverwrite, GetParam().finished);
  EXPECT_EQ(read_file(script), GetParam().finished ? kComplete : before);
  if (GetParam().refused) {
    EXPECT_EQ(fs::exists(temp) ? read_file(temp) : "(none)", temp_before);
  }
  EXPECT_EQ(fs::exists(folder / "temp.j.copying"), GetParam().refused);
  EXPECT_FALSE(fs::exists(folder / "temp.j.copying-new"));
}

INSTANTIATE_TEST_SUITE_P(CopyBack, RecoveryTest, testing::ValuesIn(kRecoveryCases),
                         testing_support::NameOfCase());

// Regression: a script that another program wrote anew while it was read was reported as
// changed, with "the complete rewritten script is kept in tempwar3map.j", which held the rewrite of
// a part of it.
TEST(ConvertScript, AScriptChangedWhileReadIsNotCalledComplete) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "script.j", "//!beginusercode\n// a\n");
  auto replacement = opened_in(folder);
  write_file(folder / "script.j", "// written anew by another program\n");
  File closed;
  LineOutput console{.file = &closed, .line_break = "\n"};
  LineOutput temp{.file = &replacement->temp_file(), .line_break = "\r\n"};
  ASSERT_FALSE(convert_script(replacement->script_file(), temp, console).has_value());

  const auto error = replacement->converted(temp.written);

  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->reason, "changed while it was being rewritten; left as it is");
  EXPECT_EQ(error->note, "");
}

#ifndef _WIN32
// Regression: a script that was a link to tempwar3map.j.copying-new was removed with it, as the
// leftover of a mark that never took effect.
TEST(CopyBack, AnUnfinishedMarkThatIsTheScriptIsKept) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "temp.j.copying-new", kOriginal);
  fs::create_symlink("temp.j.copying-new", folder / "script.j");

  ASSERT_TRUE(replacement_in(folder)->open().has_value());
  EXPECT_EQ(read_file(folder / "script.j"), kOriginal);
}
#endif

// Regression: another program emptying tempwar3map.j by its name while it was being written (a
// second run with its output sent there) left a hole of NUL bytes at its start, of the full size,
// which became the script with exit status 0. Windows lets no other program write to it meanwhile.
TEST(ConvertScript, ATemporaryFileEmptiedMeanwhileIsRefused) {
  const fs::path folder = make_scratch_folder();
  std::string script;
  while (script.size() < 2 * kOutputBlockSize) {
    script += "// a line of the script\n";
  }
  write_file(folder / "script.j", script);
  File shown = open_empty(folder / "console");
  bool emptied = false;
  // The console asks for the time at every line: the moment to empty tempwar3map.j, once.
  LineOutput console{.file = &shown, .line_break = "\n", .console = true, .now = [&] {
                       if (!emptied && fs::file_size(folder / "temp.j") > 0) {
                         emptied = static_cast<bool>(std::ofstream(folder / "temp.j"));
                       }
                       return Clock::now();
                     }};
  auto replacement = opened_in(folder);
  LineOutput temp{.file = &replacement->temp_file(), .line_break = "\r\n"};
  ASSERT_FALSE(convert_script(replacement->script_file(), temp, console, 4096).has_value());

  const auto error = replacement->converted(temp.written);

#ifdef _WIN32
  EXPECT_FALSE(emptied);
  EXPECT_FALSE(error.has_value());
#else
  ASSERT_TRUE(emptied);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->path, (folder / "temp.j").string());
#endif
}

#ifndef _WIN32
// Regression: another program emptying tempwar3map.j by its name while the script was put in
// place (a second run with its output sent there) had the script filled with NUL bytes, or
// emptied, and the run exit 0. Windows lets no other program write to it meanwhile.
TEST(CopyBack, ATemporaryFileChangedMeanwhileIsNotCopied) {
  for (const bool in_place : {false, true}) {
    const fs::path folder = make_scratch_folder() / (in_place ? "in-place" : "new-file");
    fs::create_directories(folder);
    write_file(folder / "script.j", "original\r\n");
    if (in_place) {
      link_script(folder);
    }
    auto replacement = opened_in(folder);
    convert_to(*replacement, std::string(3 * kReadBlockSize, 'r'));
    write_file(folder / "temp.j", "");

    const auto failure = replacement->commit();

    ASSERT_TRUE(failure.has_value()) << in_place;
    EXPECT_EQ(failure->path, (folder / "temp.j").string());
    EXPECT_EQ(failure->note, "the script is unchanged");
    EXPECT_EQ(read_file(folder / "script.j"), "original\r\n");
    EXPECT_FALSE(fs::exists(folder / "script.j.jassrewrite-new"));
    EXPECT_FALSE(fs::exists(folder / "temp.j.copying"));
  }
}

// A disk that fills up while the new script is written, by way of a file-size limit.
TEST(CopyBack, AFailedWriteLeavesTheScriptAlone) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "script.j", "original\r\n");
  auto replacement = opened_in(folder);
  convert_to(*replacement, std::string(64 << 10, 'r'));
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  const auto error = replacement->commit();

  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->path, (folder / "script.j").string());
  EXPECT_EQ(error->reason, "File too large");
  EXPECT_EQ(read_file(folder / "script.j"), "original\r\n");
  EXPECT_FALSE(fs::exists(folder / "script.j.jassrewrite-new"));
}
#endif

}  // namespace
}  // namespace jassrewrite
