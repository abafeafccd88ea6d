// The sweep of other programs: just before each call of the file layer in turn, another program
// removes one of the run's files, saves another version of it the way editors do (a new file
// renamed over it), writes into it in place or appends to it, or makes the new file before the run
// does, on each kind of map folder where that file is at stake; the test build then runs once more
// on what was left, without a fault. Whatever the other program did, the script is cut short only
// under the mark with the complete rewrite in tempwar3map.j, exit status 0 means the rewrite or the
// other program's own version under the script's name (never the rewrite over what it wrote into
// the script), the script keeps its permission bits and owner, messages claim only what is so, and
// the clean run neither destroys what a message pointed to nor leaves the folder locked for good.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "app/faulty_runs.h"
#include "app/other_program_cases.h"
#include "app/told_claims.h"
#include "app/tool_runs.h"
#include "test_support.h"

namespace {

using namespace jassrewrite::end_to_end;
using jassrewrite::testing_support::NameOfCase;

// The script as the other program left it, `as_before` when the run started: gone, or its own
// version, rewritten or not.
bool is_the_other_programs(const std::string& script, const std::string& action,
                           const std::string& as_before) {
  if (action == "remove") {
    return script == "(none)";
  }
  if (action == "same-size") {
    const std::size_t end = script.find_first_not_of('x', 2);
    return script.starts_with("//") && end != std::string::npos &&
           (script.substr(end) == "\n" || script.substr(end) == "\r\n");
  }
  if (action == "append") {
    return script == as_before + kOtherVersion || script == kRewritten + kOtherVersion ||
           script == kRewritten + kOtherVersionRewritten;
  }
  return script == kOtherVersion || script == kOtherVersionRewritten;
}

// Whether the other program writes into the file that has the name, rather than give the name to
// a file of its own.
bool writes_into_it(const std::string& action) {
  return action == "rewrite-in-place" || action == "same-size" || action == "append";
}

// A script that is still the file the run started with, or the run's rewrite of it, keeps its
// permission bits, owner and extended attributes (`keepings`); one that the other program made, or
// the run made empty where it found none, has its own.
void expect_the_script_kept(const fs::path& folder, const std::string& keepings,
                            const std::string& action, const std::string& as_before,
                            const std::string& where) {
  const std::string script = contents(folder / kScript);
  if (script == "(none)" || script.empty() ||
      ((action == "replace" || action == "occupy") &&
       is_the_other_programs(script, action, as_before))) {
    return;
  }
  EXPECT_EQ(keepings_of(folder / kScript), keepings) << where;
}

// Known limit: a write into the script in the moment between the run's last check of it and the
// step that replaces it is lost: the rename of the new file over the script, once the script's name
// and then the new file's were checked (on Linux only where names cannot be swapped), or, under the
// mark, the overwrite in place (or the finishing of a cut one), once the script was looked at
// through its handle and by its name, until it is emptied, and from each look at how much it holds
// to the write of the next block into it. Where times are seen in whole seconds, that moment starts
// with the last read of what the script holds, right before those looks.
bool in_the_known_moment(const ToolRun& run, bool renamed, bool whole_seconds) {
  const auto at = [&run](const char* call) {
    return run.err.find(std::string(" ") + call + "\n") != std::string::npos;
  };
  if (renamed) {
    return at("status_at outputwar3map.j.jassrewrite-new") ||
           at("replace outputwar3map.j.jassrewrite-new");
  }
  return run.err.find(" (under the mark)") != std::string::npos &&
         (at("has_extended_attributes outputwar3map.j") || at("status outputwar3map.j") ||
          at("status_at outputwar3map.j") || at("reserve outputwar3map.j") ||
          at("truncate outputwar3map.j") || at("write outputwar3map.j") ||
          (whole_seconds && at("read outputwar3map.j")));
}

// What a run may leave of the script, `as_before` when it started, when the other program took
// `file`.
// `past_the_check`: the other program acted after the run's last check of the new file's name.
void expect_after_the_other_program(const fs::path& folder, const ToolRun& run,
                                    const std::string& as_before, const fs::path& file,
                                    const std::string& action, bool renamed, bool whole_seconds,
                                    bool past_the_check, const std::string& where) {
  const std::string script = contents(folder / kScript);
  const bool theirs = file == kScript && is_the_other_programs(script, action, as_before);
  // A script removed before the run found it is none, and is made empty.
  const bool none_found =
      file == kScript && script.empty() && run.err.find("not found") != std::string::npos;
  // Without its mark, a script that a killed run left cut short looks whole: the mark's removal
  // is the other program's to answer for.
  const bool unmarked = file == kMark && action == "remove" && script == as_before;
  // Known limit: another program that puts a file of its own at the new file's name, or writes into
  // the new file, in the moment between the run's last check of that name and the step that puts
  // the new file in the script's place (on Linux a swap of the two names, on Windows a rename)
  // cannot be stopped by a run that goes by names, nor told from one that saves the script just
  // after that step: the run takes it for the save, leaves it under the script's name and says that
  // the script changed.
  const bool taken_for_a_save =
      file == kReplacement && (action == "replace" || writes_into_it(action)) &&
      is_the_other_programs(script, action == "same-size" ? action : "replace", as_before) &&
      run.status == 1 && claimed(run, Claim::kChanged) && (past_the_check || whole_seconds);
  const bool complete =
      script == kRewritten || theirs || none_found || unmarked || taken_for_a_save;
  // Regression: the rewrite taken away right after it took the script's name had what the script
  // was put back under that name, and the run said the script was left as it was. Nothing but the
  // rewrite takes the name; what the script was stays beside it, and the message says where.
  const bool set_aside = file == kScript && action == "remove" && run.status == 1 &&
                         claimed(run, Claim::kMissing) &&
                         contents(folder / kReplacement) == as_before;
  EXPECT_FALSE(file == kScript && action == "remove" && script == as_before &&
               fs::exists(folder / kScript) && claimed(run, Claim::kChanged))
      << where << ": what the script was is back under its name";
  // Known limit: what another program writes into tempwar3map.j under the mark, after the last
  // check of it, is copied over the script (also where that finishes a cut overwrite, whose rest
  // only tempwar3map.j held), which stays cut short under the mark, and the run says so.
  const bool spoiled_under_the_mark =
      file == kTemp && writes_into_it(action) && fs::exists(folder / kMark) &&
      run.err.find(" (under the mark)") != std::string::npos &&
      (run.err.find(": changed by another program while the script was rewritten") !=
           std::string::npos ||
       run.err.find("tempwar3map.j, which held the rest, is not as it left it") !=
           std::string::npos);
  EXPECT_TRUE(complete || script == as_before || set_aside || spoiled_under_the_mark ||
              (fs::exists(folder / kMark) && contents(folder / kTemp) == kRewritten))
      << where << ": the script is lost: " << script;
  // One that a killed run left cut short keeps its mark until it is finished.
  if (script == as_before && as_before != kOriginal && !unmarked) {
    EXPECT_TRUE(fs::exists(folder / kMark)) << where << ": the script is cut short, unmarked";
  }
  if (run.status == 0) {
    EXPECT_TRUE(complete) << where << ": exit status 0 with the script " << script;
    // Whatever the other program wrote into the script, before the run read it or after, is not
    // the rewrite of what the run read: that under the script's name lost the other's write.
    EXPECT_FALSE(file == kScript && writes_into_it(action) && script == kRewritten &&
                 !in_the_known_moment(run, renamed, whole_seconds))
        << where << ": exit status 0, and what the other program wrote into the script is lost";
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
                                  const std::string& action, const std::string& as_before,
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
  // Known limit (above): a copy from a tempwar3map.j written into under the mark cannot be told
  // whole, even where it is.
  const bool spoiled = file == kTemp && writes_into_it(action);
  EXPECT_FALSE(fs::exists(folder / kMark) && after == kRewritten && !spoiled)
      << then
      << ": the folder stays locked, though the script is the complete rewrite: " << clean.err;
  if (clean.status == 0) {
    // The other program's version rewritten: its own bytes, every line ended in CR LF.
    const bool theirs = is_the_other_programs(before, action, as_before) &&
                        is_the_other_programs(after, action, as_before) &&
                        std::count(after.begin(), after.end(), '\n') ==
                            std::count(after.begin(), after.end(), '\r');
    const bool none = before == "(none)" || before.empty();
    EXPECT_TRUE(after == kRewritten || theirs || (none && after.empty())) << then << ": " << after;
    for (const fs::path& left : {kMark, kUnfinishedMark, kReplacement}) {
      EXPECT_FALSE(fs::exists(folder / left)) << then << ": " << left;
    }
    return;
  }
  // A script still cut short, whose rewrite or mark the other program took or spoiled, stays
  // marked, and refused, until the user sees to it.
  if ((file == kTemp || file == kMark) && fs::exists(folder / kMark) &&
      (after != kRewritten || spoiled)) {
    return;
  }
  // A script that is gone, with what it was set aside beside it, stays so until the user decides.
  if (!fs::exists(folder / kScript) && claimed(clean, Claim::kMissing)) {
    return;
  }
  EXPECT_TRUE(names_the_rewrite(folder, clean)) << then << ": " << clean.err;
}

class OtherProgramSweep : public testing::TestWithParam<OtherProgramCase> {};

TEST_P(OtherProgramSweep, NeverLosesTheScriptNorLocksTheFolder) {
  const NameSwapWithheld withheld(GetParam().renamed);
  const TestBuildSwitch whole_seconds("JASSREWRITE_WHOLE_SECOND_TIMES",
                                      GetParam().whole_second_times);
  int trials = 0;
  for (const std::string& action : GetParam().actions) {
    const int failures_before = failures_so_far();
    // Up to the call it acts before, a run goes as it would without the other program: the call
    // that puts the new file in place comes right after the last check of its name.
    bool past_the_check = false;
    for (long call = 1;; ++call) {
      const fs::path folder = make_scratch_folder() / "map";
      fs::create_directories(folder / "logs");
      write_file(folder / kScript, kOriginal);
      give_the_script_keepings(folder);
      GetParam().setup(folder);
      if (HasFatalFailure()) {
        return;
      }
      const std::string keepings = keepings_of(folder / kScript);
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
      past_the_check =
          past_the_check ||
          run.err.find(" swap_names outputwar3map.j.jassrewrite-new\n") != std::string::npos ||
          run.err.find(" replace outputwar3map.j.jassrewrite-new\n") != std::string::npos;
      expect_after_the_other_program(folder, run, as_before, GetParam().file, action,
                                     GetParam().renamed, GetParam().whole_second_times,
                                     past_the_check, where);
      expect_the_script_kept(folder, keepings, action, as_before, where);
      expect_a_clean_run_to_settle(folder, run, GetParam().file, action, as_before, where);
      expect_the_script_kept(folder, keepings, action, as_before, where + ", then a clean run");
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
