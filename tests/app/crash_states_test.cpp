// Crash states: a killed process leaves the page cache to the kernel, so a run killed at each call
// shows nothing about syncs. Here the test build journals every call of its file layer with the
// map folder as it is then (tests/crash_journal.h), and for each call the state that a crash right
// after it could leave is rebuilt, as SQLite's crash tests and the ALICE study do: everything kept
// (kill -9); file data not synced lost, or cut short; the creates, renames and removes of a folder
// not synced undone; and both of these (a power cut). Each state is brought about in place, from a
// run killed at that very call, so that the files keep the identities the mark records; the
// promise is checked there, and the tool then runs on it. A sync left out fails here.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "app/faulty_runs.h"
#include "app/tool_runs.h"
#include "crash_journal.h"
#include "replace/snapshot.h"
#include "test_support.h"

#ifndef _WIN32
namespace {

using namespace jassrewrite::end_to_end;
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
  // The run renames its new file over the script, as on Windows, rather than swap their names.
  bool no_name_swap = false;
  // The script as it was and as it must end up; "(none)" where there is none.
  std::string before = kOriginal;
  std::string after = kRewritten;
};

void PrintTo(const CrashFolder& row, std::ostream* os) { *os << row.name; }

const std::vector<CrashFolder> kFolders = {
    {"ReplacedByANewFile", [](const fs::path&) {}},
    {"RenamedOverTheScript", [](const fs::path&) {}, true},
    {"OverwrittenInPlace", link_script},
    {"CutOverwriteToRecover", leave_a_cut_overwrite},
    // An empty script is created, to last.
    {"NoScript", [](const fs::path& f) { fs::remove(f / kScript); }, false, "(none)", ""},
    // The script gone and its complete rewrite beside it, as another program may leave them: the
    // recovery gives the rewrite the script's name.
    {"CompleteNewFileBesideAMissingScript",
     [](const fs::path& f) {
       fs::rename(f / kScript, f / kReplacement);
       write_file(f / kReplacement, kRewritten);
       write_file(f / kTemp, kRewritten);
     },
     false, "(none)"},
};

// Runs the test build on a fresh map folder with the journal, killed at `call` before it runs, or
// to its end (0), after which the folder as left is the last record.
std::vector<Record> run_to(const CrashFolder& row, const fs::path& folder, long call) {
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
  const ToolRun run = run_with_fault(folder, call, "kill");
  unsetenv("JASSREWRITE_JOURNAL");
  unsetenv("JASSREWRITE_NO_NAME_SWAP");
  std::vector<Record> records = jassrewrite::crash_journal::read_journal(journal);
  if (call == 0) {
    EXPECT_EQ(run.status, 0) << run.err;
    records.push_back(
        {.call = -1, .folder = jassrewrite::crash_journal::look_at_folder(folder.string())});
  }
  jassrewrite::crash_journal::number_files(records);
  return records;
}

// Turns the folder from `now` into `target`: names linked to the files they lead to where these
// still have a name, otherwise made afresh; contents rewritten in place where they differ.
void bring_about(const fs::path& folder, const State& now, const State& target) {
  std::map<std::uint64_t, std::string> named;
  for (const auto& [name, inode] : now.names) {
    named.emplace(inode, name);
  }
  std::vector<std::string> staged;
  for (const auto& [name, inode] : target.names) {
    if (const auto at = now.names.find(name); at != now.names.end() && at->second == inode) {
      continue;
    }
    const std::string put = name + ".staged";
    if (const auto from = named.find(inode); from != named.end()) {
      fs::create_hard_link(folder / from->second, folder / put);
    } else {
      write_file(folder / put, target.contents.at(inode));
      named.emplace(inode, put);
    }
    staged.push_back(name);
  }
  for (const auto& [name, inode] : now.names) {
    if (!target.names.contains(name)) {
      fs::remove(folder / name);
    }
  }
  for (const std::string& name : staged) {
    fs::rename(folder / (name + ".staged"), folder / name);
  }
  for (const auto& [name, inode] : target.names) {
    if (read_file(folder / name) != target.contents.at(inode)) {
      write_file(folder / name, target.contents.at(inode));
    }
  }
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
  return "the script is lost: " + script;
}

void expect_rewritten(const fs::path& folder, const CrashFolder& row, const std::string& where) {
  EXPECT_SAME_BYTES(contents(folder / kScript), row.after) << where;
  for (const fs::path& left : {kMark, kUnfinishedMark, kReplacement}) {
    EXPECT_FALSE(fs::exists(folder / left)) << where << ": " << left << " is left";
  }
}

// Checks the state, then has the tool run on it.
void check_state(const fs::path& folder, const CrashFolder& row, const std::string& where,
                 bool run_ended) {
  if (run_ended) {
    // A run that said it rewrote the script made that last.
    expect_rewritten(folder, row, where + ", after the run ended");
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

class CrashStates : public testing::TestWithParam<CrashFolder> {};

TEST_P(CrashStates, LeaveTheScriptWhole) {
  const fs::path folder = make_scratch_folder() / "map";
  const std::vector<Record> whole_run = run_to(GetParam(), folder, 0);
  // Most calls change nothing that a crash could leave: a state is checked once.
  std::vector<State> checked;
  for (std::size_t calls = 0; calls < calls_in(whole_run); ++calls) {
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
      const std::vector<Record> again =
          run_to(GetParam(), folder, ended ? 0 : static_cast<long>(calls) + 1);
      ASSERT_EQ(calls_in(again), calls + 1) << where << ": the runs went differently";
      const Point there = point_after(again, calls);
      ASSERT_EQ(there.now.names, point.now.names) << where << ": the runs went differently";
      // From its own journal: its mark records its own files' inodes and times.
      bring_about(folder, there.now, crash_states(there)[model].second);
      check_state(folder, GetParam(), where, ended);
      if (HasFailure()) {
        std::cout << "the first state that failed: " << where << "\n";
        return;
      }
    }
  }
  std::cout << checked.size() << " crash states from " << calls_in(whole_run) - 1
            << " calls, each followed by a run of the tool\n";
  EXPECT_GT(calls_in(whole_run), 10U) << "the journal was hardly written";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, CrashStates, testing::ValuesIn(kFolders), NameOfCase());

}  // namespace
#endif
