// The sweep of other programs: just before each call of the file layer in turn, another program
// removes one of the run's files, or saves another version of it the way editors do (a new file
// renamed over it), on each kind of map folder where that file is at stake; the test build then
// runs once more on what was left, without a fault. Whatever the other program did, the script is
// cut short only under the mark with the complete rewrite in tempwar3map.j, exit status 0 means the
// rewrite or the other program's own version under the script's name, messages claim only what is
// so, and the clean run neither destroys what a message pointed to nor leaves the folder locked for
// good.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "app/faulty_runs.h"
#include "app/told_claims.h"
#include "app/tool_runs.h"
#include "test_support.h"

namespace {

using namespace jassrewrite::end_to_end;
using jassrewrite::testing_support::NameOfCase;

struct OtherProgramCase {
  std::string name;
  std::function<void(const fs::path& folder)> setup;
  // The file that the other program takes.
  fs::path file;
};

void PrintTo(const OtherProgramCase& row, std::ostream* os) { *os << row.name; }

// Each kind of folder with the files that a run there has, besides the script and tempwar3map.j.
std::vector<OtherProgramCase> other_program_cases() {
  struct Kind {
    const char* name;
    std::function<void(const fs::path&)> setup;
    fs::path own_file;
    const char* own_file_name;
  };
  const std::vector<Kind> kinds = {
      {"ReplacedByANewFile", [](const fs::path&) {}, kReplacement, "NewFile"},
      {"OverwrittenInPlace", link_script, kMark, "Mark"},
      {"CutOverwriteToRecover", leave_a_cut_overwrite, kMark, "Mark"},
  };
  std::vector<OtherProgramCase> cases;
  for (const Kind& kind : kinds) {
    for (const auto& [file, file_name] :
         {std::pair{kScript, "Script"}, std::pair{kTemp, "TemporaryFile"},
          std::pair{kind.own_file, kind.own_file_name}}) {
      cases.push_back({std::string(kind.name) + "_" + file_name, kind.setup, file});
    }
  }
  return cases;
}

// The script as the other program left it: gone, or its own version, rewritten or not.
bool is_the_other_programs(const std::string& script, const std::string& action) {
  return action == "remove" ? script == "(none)"
                            : script == kOtherVersion || script == kOtherVersionRewritten;
}

// What a run may leave of the script, `as_before` when it started, when the other program took
// `file`.
void expect_after_the_other_program(const fs::path& folder, const ToolRun& run,
                                    const std::string& as_before, const fs::path& file,
                                    const std::string& action, const std::string& where) {
  const std::string script = contents(folder / kScript);
  const bool theirs = file == kScript && is_the_other_programs(script, action);
  // A script removed before the run found it is none, and is made empty.
  const bool none_found =
      file == kScript && script.empty() && run.err.find("not found") != std::string::npos;
  // Without its mark, a script that a killed run left cut short looks whole: the mark's removal
  // is the other program's to answer for.
  const bool unmarked = file == kMark && action == "remove" && script == as_before;
  // Known limit: another program that puts a file of its own at the new file's name in the moment
  // between the run's last check of that name and the step that puts the new file in the script's
  // place (on Linux a swap of the two names, on Windows a rename) cannot be stopped by a run that
  // goes by names, nor told from one that saves the script just after that step: the run takes it
  // for the save, leaves it under the script's name and says that the script changed.
  const bool taken_for_a_save =
      file == kReplacement && action == "replace" && script == kOtherVersion && run.status == 1 &&
      run.err.find("changed while it was being rewritten") != std::string::npos;
  const bool complete =
      script == kRewritten || theirs || none_found || unmarked || taken_for_a_save;
  EXPECT_TRUE(complete || script == as_before ||
              (fs::exists(folder / kMark) && contents(folder / kTemp) == kRewritten))
      << where << ": the script is lost: " << script;
  // One that a killed run left cut short keeps its mark until it is finished.
  if (script == as_before && as_before != kOriginal && !unmarked) {
    EXPECT_TRUE(fs::exists(folder / kMark)) << where << ": the script is cut short, unmarked";
  }
  if (run.status == 0) {
    EXPECT_TRUE(complete) << where << ": exit status 0 with the script " << script;
    for (const fs::path& left : {kMark, kUnfinishedMark}) {
      EXPECT_FALSE(fs::exists(folder / left)) << where << ": exit status 0 left " << left;
    }
  } else {
    EXPECT_EQ(run.status, 1) << where;
    const std::vector<std::string> lines = tool_lines(run.err);
    EXPECT_FALSE(lines.empty()) << where << ": a failure without a word";
    for (const std::string& line : lines) {
      EXPECT_TRUE(line.starts_with("jassrewrite: ")) << where << ": " << line;
    }
  }
  expect_only_true_claims(folder, run, where);
}

// The clean run after it: it rewrites what stands under the script's name, keeps what a message
// pointed to, and refuses only where a file holds the complete rewrite.
void expect_a_clean_run_to_settle(const fs::path& folder, const ToolRun& run, const fs::path& file,
                                  const std::string& where) {
  const bool pointed_to_temp = names_the_rewrite(folder, run, kTemp);
  const std::string before = contents(folder / kScript);
  const ToolRun clean = run_clean(folder);
  const std::string after = contents(folder / kScript);
  const std::string then = where + ", then a clean run";
  expect_only_true_claims(folder, clean, then);
  if (pointed_to_temp) {
    EXPECT_TRUE(after == kRewritten || contents(folder / kTemp) == kRewritten)
        << then << ": the complete rewrite that a message pointed to is gone: " << clean.err;
  }
  EXPECT_FALSE(fs::exists(folder / kMark) && after == kRewritten)
      << then
      << ": the folder stays locked, though the script is the complete rewrite: " << clean.err;
  if (clean.status == 0) {
    const bool theirs = before == kOtherVersion || before == kOtherVersionRewritten;
    const bool none = before == "(none)" || before.empty();
    EXPECT_TRUE(after == kRewritten || (theirs && after == kOtherVersionRewritten) ||
                (none && after.empty()))
        << then << ": " << after;
    for (const fs::path& left : {kMark, kUnfinishedMark, kReplacement}) {
      EXPECT_FALSE(fs::exists(folder / left)) << then << ": " << left;
    }
    return;
  }
  // A script still cut short, whose rewrite or mark the other program took or spoiled, stays
  // marked, and refused, until the user sees to it.
  if ((file == kTemp || file == kMark) && fs::exists(folder / kMark) && after != kRewritten) {
    return;
  }
  EXPECT_TRUE(names_the_rewrite(folder, clean)) << then << ": " << clean.err;
}

class OtherProgramSweep : public testing::TestWithParam<OtherProgramCase> {};

TEST_P(OtherProgramSweep, NeverLosesTheScriptNorLocksTheFolder) {
  int trials = 0;
  for (const std::string action : {"remove", "replace"}) {
    const int failures_before = failures_so_far();
    for (long call = 1;; ++call) {
      const fs::path folder = make_scratch_folder() / "map";
      fs::create_directories(folder / "logs");
      write_file(folder / kScript, kOriginal);
      GetParam().setup(folder);
      if (HasFatalFailure()) {
        return;
      }
      const std::string where =
          action + " " + GetParam().file.generic_string() + " before call " + std::to_string(call);

      const std::string as_before = contents(folder / kScript);
      const ToolRun run = run_with_other_program(folder, call, action, GetParam().file);
      if (!reached(run)) {
        break;
      }
      if (!other_program_acted(run)) {
        continue;  // nothing there to take, or Windows would not let it go
      }
      ++trials;
      expect_after_the_other_program(folder, run, as_before, GetParam().file, action, where);
      expect_a_clean_run_to_settle(folder, run, GetParam().file, where);
      if (failures_so_far() > failures_before) {
        std::cout << "the first trial that failed: " << where << "\n";
        break;
      }
    }
  }
  std::cout << trials << " runs with another program, each followed by a clean one\n";
#ifdef _WIN32
  if (trials == 0) {
    GTEST_SKIP() << "Windows lets no other program remove or replace " << GetParam().file
                 << " while the run holds it, and it is the run's from its start";
  }
#endif
  EXPECT_GT(trials, 5) << "the other program hardly ever acted";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, OtherProgramSweep, testing::ValuesIn(other_program_cases()),
                         NameOfCase());

}  // namespace
