// Crash states: a killed process leaves the page cache to the kernel, so a run killed at each call
// shows nothing about syncs. Here the test build journals every call of its file layer with the
// map folder as it is then (tests/crash_journal.h), and for each call the state that a crash right
// after it could leave is rebuilt, as SQLite's crash tests and the ALICE study do: everything kept
// (kill -9); file data not synced lost, or cut short; the creates, renames and removes of a folder
// not synced undone, all of them or all but the first few; and both of these (a power cut). Each
// state is brought about in place, from a run killed at that very call, so that the files keep the
// identities the mark records; the promise is checked there, and the tool then runs on it. After a
// run that ended, what it said of the script holds in every state: the rewrite after a success,
// the claims of a failure that comes after the step they rest on. A sync left out fails here.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "app/faulty_runs.h"
#include "app/told_claims.h"
#include "app/tool_runs.h"
#include "crash_journal.h"
#include "replace/snapshot.h"
#include "test_support.h"

#ifndef _WIN32
namespace {

using namespace jassrewrite::end_to_end;
using jassrewrite::crash_journal::bring_about;
using jassrewrite::crash_journal::call_after;
using jassrewrite::crash_journal::calls_in;
using jassrewrite::crash_journal::crash_states;
using jassrewrite::crash_journal::Point;
using jassrewrite::crash_journal::point_after;
using jassrewrite::crash_journal::Record;
using jassrewrite::crash_journal::State;
using jassrewrite::testing_support::NameOfCase;

struct CrashFolder {
  const char* name;
  std::function<void(const fs::path& folder)> setup;
  // A call ("<name> <path>") after which a run of its own fails with an input/output error: what
  // that run then claims of the script must last. The failure comes at the first call after it
  // that is no part of a sync, so that a sync left out is not skipped over.
  std::string fails_after;
  // The run renames its new file over the script, as on Windows, rather than swap their names.
  bool no_name_swap = false;
  // The script as it was and as it must end up; "(none)" where there is none.
  std::string before = kOriginal;
  std::string after = kRewritten;
  // What happens at that call in place of the error: another program's action on a file.
  std::string fault = "io";
};

void PrintTo(const CrashFolder& row, std::ostream* os) { *os << row.name; }

void leave_a_complete_rewrite_beside(const fs::path& folder) {
  fs::rename(folder / kScript, folder / kReplacement);
  write_file(folder / kReplacement, kRewritten);
  write_file(folder / kTemp, kRewritten);
}

// Their failures claim the script unchanged (swapped back) with its rewrite kept in tempwar3map.j,
// missing (taken away, with what it was kept beside it), rewritten, and finished from an earlier
// run (twice).
const std::vector<CrashFolder> kFolders = {
    {"ReplacedByANewFile", [](const fs::path&) {},
     "swap_names logs/outputwar3map.j.jassrewrite-new"},
    // Another program takes the new file away from the script's name right after the swap: what
    // the script was stays beside it, and nothing else takes the name.
    {"ScriptTakenAwayAfterTheSwap", [](const fs::path&) {},
     "swap_names logs/outputwar3map.j.jassrewrite-new", false, kOriginal, kRewritten,
     "remove:logs/outputwar3map.j"},
    {"RenamedOverTheScript", [](const fs::path&) {}, "", true},
    {"OverwrittenInPlace", link_script, "remove tempwar3map.j.copying"},
    {"CutOverwriteToRecover", leave_a_cut_overwrite, "remove tempwar3map.j.copying"},
    // An empty script is created, to last.
    {"NoScript", [](const fs::path& f) { fs::remove(f / kScript); }, "", false, "(none)", ""},
    // The script gone and its complete rewrite beside it, as another program may leave them: the
    // recovery gives the rewrite the script's name.
    {"CompleteNewFileBesideAMissingScript", leave_a_complete_rewrite_beside,
     "rename_new logs/outputwar3map.j.jassrewrite-new", false, "(none)"},
};

struct JournaledRun {
  std::vector<Record> journal;
  ToolRun run;
};

// Runs the test build on a fresh map folder with the journal, killed at `call` before it runs, or
// to its end (0), failing at `fails` if that is set, after which the folder as left is the last
// record.
JournaledRun run_to(const CrashFolder& row, const fs::path& folder, long call, long fails = 0) {
  fs::remove_all(folder);
  fs::create_directories(folder / "logs");
  write_file(folder / kScript, kOriginal);
  row.setup(folder);
  const fs::path journal = folder.parent_path() / "journal";
  fs::remove(journal);
  setenv("JASSREWRITE_JOURNAL", journal.c_str(), 1);
  if (row.no_name_swap) {
    setenv("JASSREWRITE_NO_NAME_SWAP", "1", 1);
  }
  const ToolRun run = call == 0 && fails != 0 ? run_with_fault(folder, fails, row.fault)
                                              : run_with_fault(folder, call, "kill");
  unsetenv("JASSREWRITE_JOURNAL");
  unsetenv("JASSREWRITE_NO_NAME_SWAP");
  std::vector<Record> records = jassrewrite::crash_journal::read_journal(journal);
  if (call == 0) {
    if (fails == 0) {
      EXPECT_EQ(run.status, 0) << run.err;
    } else {
      // A failure that claims nothing of the script would leave nothing to check.
      const auto claims = told_claims(run);
      EXPECT_TRUE(std::any_of(claims.begin(), claims.end(),
                              [](const ToldClaim& told) { return told.claim != Claim::kNothing; }))
          << "at call " << fails << ": " << run.err;
    }
    records.push_back(
        {.call = -1, .folder = jassrewrite::crash_journal::look_at_folder(folder.string())});
  }
  jassrewrite::crash_journal::number_files(records);
  return {std::move(records), run};
}

// The promise in any state: the script is as it was or completely rewritten, or cut short under
// a mark that the next run can read, with the complete rewrite in tempwar3map.j. A mark that
// stands holds its record. What is broken, or nothing.
std::string broken_promise(const fs::path& folder, const CrashFolder& row) {
  const std::string script = contents(folder / kScript);
  const bool marked = fs::exists(folder / kMark);
  const bool recorded = jassrewrite::parse_record(contents(folder / kMark)).has_value();
  if (marked && !recorded) {
    return "the mark holds no record";
  }
  if (script == row.before || script == row.after ||
      (recorded && contents(folder / kTemp) == row.after)) {
    return "";
  }
  // Where another program took the rewrite away from the script's name, what the script was is
  // kept beside it.
  if (row.fault != "io" && script == "(none)" && contents(folder / kReplacement) == row.before) {
    return "";
  }
  return "the script is lost: " + script;
}

void expect_rewritten(const fs::path& folder, const CrashFolder& row, const std::string& where) {
  EXPECT_SAME_BYTES(contents(folder / kScript), row.after) << where;
  for (const fs::path& left : {kMark, kUnfinishedMark, kReplacement}) {
    EXPECT_FALSE(fs::exists(folder / left)) << where << ": " << left << " is left";
  }
}

// Checks the state, then has the tool run on it. `ended` is the run that the state is after the
// end of, if it is.
void check_state(const fs::path& folder, const CrashFolder& row, const std::string& where,
                 const ToolRun* ended) {
  // What a run said of the script when it ended, it made last: a rewrite where it succeeded.
  if (ended != nullptr && ended->status == 0) {
    expect_rewritten(folder, row, where + ", after the run ended");
  } else if (ended != nullptr) {
    expect_only_true_claims(folder, *ended, where + ", after the run ended");
  }
  EXPECT_EQ(broken_promise(folder, row), "") << where;
  const ToolRun next = run_in(tool_path(), folder, ".next");
  const std::string then = where + ", then a run of the tool";
  if (next.status == 0) {
    expect_rewritten(folder, row, then);
    return;
  }
  EXPECT_EQ(broken_promise(folder, row), "") << then << ": " << next.err;
  EXPECT_TRUE(contents(folder / kTemp) == row.after || contents(folder / kReplacement) == row.after)
      << then << ": the complete rewrite is nowhere: " << next.err;
}

// Checks each state that a crash after each call of a run can leave, or, for a run that fails at
// call `fails`, after its end, and has the tool run on each.
void check_crash_states(const CrashFolder& row, const fs::path& folder, long fails) {
  const std::vector<Record> whole_run = run_to(row, folder, 0, fails).journal;
  // Most calls change nothing that a crash could leave: a state is checked once.
  std::vector<State> checked;
  for (std::size_t calls = fails == 0 ? 0 : calls_in(whole_run) - 1; calls < calls_in(whole_run);
       ++calls) {
    const bool ended = calls + 1 == calls_in(whole_run);
    const Point point = point_after(whole_run, calls);
    const auto models = crash_states(point);
    const auto last = std::find_if(point.done.rbegin(), point.done.rend(),
                                   [](const Record& r) { return r.call != 0; });
    const std::string after =
        calls == 0 ? "at the start"
                   : "after call " + std::to_string(calls) + " " + last->name + " " + last->path;
    // The states after the run ended are checked for more.
    const std::size_t earlier = ended ? checked.size() : 0;
    for (std::size_t model = 0; model < models.size(); ++model) {
      if (std::find(checked.begin() + static_cast<std::ptrdiff_t>(earlier), checked.end(),
                    models[model].second) != checked.end()) {
        continue;
      }
      checked.push_back(models[model].second);
      const std::string where = after + ", " + models[model].first;
      // Brought about from a run stopped at the same point, whose files are those the state names.
      const auto [again, run] =
          run_to(row, folder, ended ? 0 : static_cast<long>(calls) + 1, fails);
      ASSERT_EQ(calls_in(again), calls + 1) << where << ": the runs went differently";
      const Point there = point_after(again, calls);
      ASSERT_EQ(there.now.names, point.now.names) << where << ": the runs went differently";
      // From its own journal: its mark records its own files' inodes and times.
      bring_about(folder, there.now, crash_states(there)[model].second);
      check_state(folder, row, where, ended ? &run : nullptr);
      if (::testing::Test::HasFailure()) {
        std::cout << "the first state that failed: " << where << "\n";
        return;
      }
    }
  }
  std::cout << checked.size() << " crash states from " << calls_in(whole_run) - 1
            << " calls, each followed by a run of the tool\n";
  EXPECT_GT(calls_in(whole_run), 10U) << "the journal was hardly written";
}

class CrashStates : public testing::TestWithParam<CrashFolder> {};

TEST_P(CrashStates, LeaveTheScriptWhole) {
  if (GetParam().fault != "io") {
    GTEST_SKIP() << "until its other program acts, the run of another row";
  }
  check_crash_states(GetParam(), make_scratch_folder() / "map", 0);
}

// A claim about the script is true only if it lasts. Up to its failure, the run goes as the one
// above, whose states are checked there.
TEST_P(CrashStates, KeepWhatAFailureClaimed) {
  const CrashFolder& row = GetParam();
  if (row.fails_after.empty()) {
    GTEST_SKIP() << "no failure for this folder";
  }
  const fs::path folder = make_scratch_folder() / "map";
  const long fails = call_after(run_to(row, folder, 0).journal, row.fails_after);
  ASSERT_NE(fails, 0) << "no call " << row.fails_after;
  check_crash_states(row, folder, fails);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, CrashStates, testing::ValuesIn(kFolders), NameOfCase());

}  // namespace
#endif
