// Another program taking one of the run's files from under it, aimed at each call of the file
// layer in turn through the fault seam: the script that the run holds open, and tempwar3map.j
// while the script is overwritten in place from it.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/faulty_runs.h"
#include "app/told_claims.h"
#include "app/tool_runs.h"
#include "test_support.h"

namespace {

using namespace jassrewrite::end_to_end;
using jassrewrite::testing_support::NameOfCase;

// The kinds of map folder that a test runs in, each made by its setup.
struct FolderKind {
  const char* name;
  std::function<void(const fs::path& folder)> setup;
};

void PrintTo(const FolderKind& row, std::ostream* os) { *os << row.name; }

// Regression: a script that another program removed after the run had opened it was taken for a
// folder without a script: the run said "not found, nothing to rewrite", made an empty script,
// emptied tempwar3map.j and exited 0. The run refuses instead, says that the script changed, makes
// nothing under its name, and keeps the rewrite, if complete, in tempwar3map.j.
class ScriptRemoved : public testing::TestWithParam<FolderKind> {};

TEST_P(ScriptRemoved, WhileTheRunHoldsItIsNotTakenForNone) {
  int trials = 0;
  for (long call = 1;; ++call) {
    const std::string where = "removed before call " + std::to_string(call);
    const fs::path folder = make_scratch_folder() / "map";
    fs::create_directories(folder / "logs");
    write_file(folder / kScript, kOriginal);
    GetParam().setup(folder);

    const ToolRun run = run_with_other_program(folder, call, "remove", kScript);
    if (!reached(run)) {
      break;
    }
    if (!taken_from_under_the_run(run)) {
      continue;
    }
    ++trials;
    const std::string script = contents(folder / kScript);
    const std::string temp = contents(folder / kTemp);
    EXPECT_EQ(run.err.find("nothing to rewrite"), std::string::npos) << where << ": " << run.err;
    EXPECT_NE(script, "") << where << ": an empty script was made in its place";
    EXPECT_TRUE(temp == "(none)" || temp.empty() || temp == kRewritten) << where << ": " << temp;
    if (run.status == 0) {
      // Removed after the run had put the complete rewrite in its place, which no run can see.
      const bool rewritten_when_removed =
          contents(fs::path(folder / kScript) += ".as-removed") == kRewritten;
      EXPECT_TRUE(script == kRewritten || rewritten_when_removed)
          << where << ": exit status 0 without the script";
    } else {
      EXPECT_EQ(run.status, 1) << where;
      EXPECT_EQ(script, "(none)") << where << ": something was made under the script's name";
      EXPECT_TRUE(claimed(run, Claim::kChanged) || claimed(run, Claim::kChangedOtherKept))
          << where << ": " << run.err;
    }
    expect_only_true_claims(folder, run, where);
    if (HasFailure()) {
      return;
    }
  }
  EXPECT_GT(trials, 0) << "the script was never removed while the run held it";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, ScriptRemoved,
                         testing::Values(FolderKind{"ReplacedByANewFile", [](const fs::path&) {}},
                                         FolderKind{"OverwrittenInPlace", link_script}),
                         NameOfCase());

// Regression: another program that removed or replaced tempwar3map.j while the script was being
// overwritten in place from it, under the mark, had the run say that the script "may be cut
// short" though it held the complete rewrite, which the run reads through the file it has open,
// and leave the mark: every later run was refused ("restore it, then delete
// tempwar3map.j.copying") for good. The same for a run that finishes an overwrite that an earlier
// run left cut short. Where the script is the complete rewrite, the run ends well and leaves no
// mark; where it is not, the next run still finishes the rewrite, unless the other program took the
// rest of it with tempwar3map.j.
class TemporaryFileTaken : public testing::TestWithParam<FolderKind> {};

TEST_P(TemporaryFileTaken, DuringAnOverwriteInPlaceLocksNothing) {
  const bool recovering = std::string(GetParam().name) == "FinishingACutOverwrite";
  int trials = 0;
  for (const std::string action : {"remove", "replace"}) {
    const int failures_before = failures_so_far();
    for (long call = 1;; ++call) {
      const std::string where = action + " tempwar3map.j before call " + std::to_string(call);
      const fs::path folder = make_scratch_folder() / "map";
      fs::create_directories(folder / "logs");
      write_file(folder / kScript, kOriginal);
      GetParam().setup(folder);
      ASSERT_FALSE(HasFatalFailure());
      const std::string as_before = contents(folder / kScript);

      const ToolRun run = run_with_other_program(folder, call, action, kTemp);
      if (!reached(run)) {
        break;
      }
      if (!other_program_acted(run)) {
        continue;
      }
      ++trials;
      const std::string script = contents(folder / kScript);
      EXPECT_TRUE(script == as_before || script == kRewritten) << where << ": " << script;
      if (script == kRewritten) {
        EXPECT_EQ(run.status, 0) << where << ": " << run.err;
        EXPECT_FALSE(fs::exists(folder / kMark)) << where << ": the mark stays";
        EXPECT_EQ(run.err.find("cut short"), std::string::npos) << where << ": " << run.err;
      }
      // The run that had tempwar3map.j open when it was taken has all it needs.
      if (recovering && taken_from_under_the_run(run)) {
        EXPECT_EQ(script, kRewritten) << where << ": the overwrite was not finished: " << run.err;
      }
      const bool rest_taken = script != kOriginal && script != kRewritten;
      const ToolRun clean = run_in(tool_path(), folder, ".clean");
      if (!rest_taken) {
        EXPECT_EQ(clean.status, 0) << where << ", then a clean run: " << clean.err;
        EXPECT_EQ(clean.err.find("restore it"), std::string::npos)
            << where << ", then a clean run: " << clean.err;
        EXPECT_EQ(contents(folder / kScript), kRewritten) << where << ", then a clean run";
      }
      if (failures_so_far() > failures_before) {
        break;
      }
    }
  }
#ifdef _WIN32
  if (trials == 0) {
    GTEST_SKIP() << "Windows lets no other program take tempwar3map.j while the run holds it";
  }
#endif
  EXPECT_GT(trials, 0) << "tempwar3map.j was never taken";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, TemporaryFileTaken,
                         testing::Values(FolderKind{"OverwrittenInPlace", link_script},
                                         FolderKind{"FinishingACutOverwrite",
                                                    leave_a_cut_overwrite}),
                         NameOfCase());

}  // namespace
