// Signals at any moment of a run: the script is the original or the complete rewrite, and the run
// says which. POSIX only; Ctrl+C on a Windows console is tested by console_interrupt_test.sh.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/faulty_runs.h"
#include "app/tool_runs.h"
#include "test_support.h"

namespace {

using namespace jassrewrite::end_to_end;
using jassrewrite::testing_support::NameOfCase;

// Starts the tool in `folder` with its standard output discarded and its standard error in
// `error_file`, without a shell in between, so that a signal reaches the tool itself.
pid_t start_tool(const fs::path& folder, const fs::path& error_file) {
  const std::string tool = tool_path();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_device = open("/dev/null", O_WRONLY);
    const int error = open(error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(folder.c_str()) != 0 || null_device < 0 || error < 0 || dup2(null_device, 1) < 0 ||
        dup2(error, 2) < 0) {
      _exit(127);
    }
    execl(tool.c_str(), tool.c_str(), "a", "b", "c", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int wait_for(pid_t pid) {
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return status;
}

// Polls until `reached` holds or the tool has ended; an ended tool is left for wait_for to reap.
void wait_until(pid_t pid, const std::function<bool()>& reached) {
  siginfo_t ended{};
  while (!reached() &&
         waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         ended.si_pid == 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

// Until the tool, started with no tempwar3map.j in `folder`, has begun to write one.
void wait_until_converting(pid_t pid, const fs::path& folder) {
  wait_until(pid, [&folder] {
    std::error_code missing;
    const std::uintmax_t size = fs::file_size(folder / "tempwar3map.j", missing);
    return !missing && size > 0;
  });
}

struct InterruptCase {
  const char* name;
  int signal_number;
  // A second name for the script makes the tool overwrite it in place, where a kill can cut it
  // short; the next run must then finish the copy.
  bool hard_linked;
};

void PrintTo(const InterruptCase& row, std::ostream* os) { *os << row.name; }

const std::vector<InterruptCase> kInterruptCases = {
    {"Kill", SIGKILL, false},
    // Regression: Ctrl+C during the copy-back left the script cut short and said nothing.
    {"Interrupt", SIGINT, false},
    {"Terminate", SIGTERM, false},
    // Regression: a run after a cut copy-back overwrote the only complete rewrite with the rewrite
    // of the cut script.
    {"KillDuringAnOverwriteInPlace", SIGKILL, true},
};

class Interrupted : public testing::TestWithParam<InterruptCase> {};

// Signals the tool at random moments of its run. Whatever the moment, the script is the original or
// the complete rewrite; only an overwrite in place can be cut short, and the next run finishes it.
// The signals that matter most land in the copy-back, a small part of the run: when none of the
// random moments hit it, a few more signals are sent as soon as it has begun.
TEST_P(Interrupted, NeverLeavesTheScriptCutShort) {
  const std::string original = large_script(std::size_t{16} << 20);
  const fs::path folder = make_map_folder(original);
  const fs::path script = folder / "logs/outputwar3map.j";
  const fs::path other_name = folder / "other-name.j";
  const fs::path error_file = folder.parent_path() / (folder.filename().string() + ".err");
  // What a run leaves behind when it ends in its copy-back: the new script it was writing beside
  // the old one, or the mark of an overwrite in place.
  const fs::path replacement = folder / "logs/outputwar3map.j.jassrewrite-new";
  const fs::path mark = folder / "tempwar3map.j.copying";
  if (GetParam().hard_linked) {
    fs::create_hard_link(script, other_name);
  }

  const auto started = std::chrono::steady_clock::now();
  const int reference = wait_for(start_tool(folder, error_file));
  ASSERT_TRUE(WIFEXITED(reference) && WEXITSTATUS(reference) == 0);
  const auto full_run = std::chrono::steady_clock::now() - started;
  const std::string rewritten = read_file(script);
  ASSERT_NE(rewritten, original);

  const std::string unchanged_message = "jassrewrite: interrupted; the script is unchanged\n";
  const std::string leaving_message =
      "jassrewrite: interrupted; the script is unchanged; logs/outputwar3map.j.jassrewrite-new is "
      "left beside the script, and the next run removes it\n";
  const std::string rewritten_message = "jassrewrite: interrupted after the script was rewritten\n";
  std::mt19937 random(20261207);
  std::uniform_int_distribution<long long> moment(
      0, std::chrono::duration_cast<std::chrono::microseconds>(full_run).count());
  constexpr int kTrials = 20;
  constexpr int kAimedTrials = 5;
  int trials = 0;
  int before = 0;
  int in_copy_back = 0;
  int after = 0;
  int cut_short = 0;
  int said = 0;
  for (; trials < kTrials || (in_copy_back == 0 && trials < kTrials + kAimedTrials); ++trials) {
    write_file(script, original);
    const pid_t pid = start_tool(folder, error_file);
    ASSERT_GT(pid, 0);
    if (trials < kTrials) {
      std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    } else {
      wait_until(pid, [&] { return fs::exists(replacement) || fs::exists(mark); });
    }
    kill(pid, GetParam().signal_number);
    const int status = wait_for(pid);

    const std::string now = read_file(script);
    const std::string error = read_file(error_file);
    if (WIFSIGNALED(status) && GetParam().signal_number != SIGKILL) {
      EXPECT_EQ(WTERMSIG(status), GetParam().signal_number);
      // Nothing is said only by a tool signalled before it could set up its handlers. A new
      // script left beside the old one is named.
      const std::string unchanged = fs::exists(replacement) ? leaving_message : unchanged_message;
      if (now != original || !error.empty()) {
        EXPECT_EQ(error, now == original ? unchanged : rewritten_message) << trials;
      }
      said += error.empty() ? 0 : 1;
    }
    if (now != original && now != rewritten) {
      ++cut_short;
      EXPECT_TRUE(GetParam().hard_linked) << "trial " << trials << ": the script is cut short";
    }
    const bool ended_in_copy_back = fs::exists(replacement) || fs::exists(mark);
    if (ended_in_copy_back) {
      ++in_copy_back;
    } else if (now == original) {
      ++before;
    } else {
      ++after;
    }
    // The next run clears what this one left and completes the rewrite.
    if (GetParam().hard_linked || ended_in_copy_back) {
      const int rerun = wait_for(start_tool(folder, error_file));
      EXPECT_TRUE(WIFEXITED(rerun) && WEXITSTATUS(rerun) == 0) << read_file(error_file);
      EXPECT_SAME_BYTES(read_file(script), rewritten) << "trial " << trials << ": not finished";
      EXPECT_FALSE(fs::exists(replacement) || fs::exists(mark)) << "trial " << trials;
    }
    if (GetParam().hard_linked) {
      EXPECT_SAME_BYTES(read_file(other_name), rewritten) << "trial " << trials << ": link broken";
    }
  }
  std::cout << trials << " signals (" << std::max(trials - kTrials, 0)
            << " aimed at the copy-back): " << before << " before the copy-back, " << in_copy_back
            << " in it (" << cut_short << " with the script cut short), " << after << " after\n";
  EXPECT_GT(in_copy_back, 0) << "no signal landed in the copy-back";
  if (GetParam().signal_number != SIGKILL) {
    EXPECT_GT(said, 0) << "no interrupt was ever reported";

    // An interrupt while tempwar3map.j is being written ends the run at once: it is not held
    // until the script has been rewritten.
    write_file(script, original);
    fs::remove(folder / "tempwar3map.j");
    const pid_t pid = start_tool(folder, error_file);
    ASSERT_GT(pid, 0);
    wait_until_converting(pid, folder);
    kill(pid, GetParam().signal_number);
    wait_for(pid);
    EXPECT_SAME_BYTES(read_file(script), original) << "the run went on after the interrupt";
    EXPECT_EQ(read_file(error_file), unchanged_message);
  }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Interrupted, testing::ValuesIn(kInterruptCases), NameOfCase());

// Regression: two interrupts close together (`timeout` signals the process and its group) ended
// the run now and then without a word, or made it say so twice: the second ended it inside the
// handler of the first.
TEST(EndToEnd, TwoInterruptsAtOnceAreToldOnce) {
  const fs::path folder = make_map_folder(large_script(std::size_t{4} << 20));
  const fs::path error_file = folder.parent_path() / (folder.filename().string() + ".err");
  for (int trial = 0; trial < 20; ++trial) {
    fs::remove(folder / "tempwar3map.j");
    const pid_t pid = start_tool(folder, error_file);
    ASSERT_GT(pid, 0);
    wait_until_converting(pid, folder);
    // A burst, so that some arrive while the first is being handled.
    for (int sent = 0; sent < 200; ++sent) {
      kill(pid, sent % 2 == 0 ? SIGTERM : SIGINT);
    }
    const int status = wait_for(pid);

    EXPECT_TRUE(WIFSIGNALED(status)) << "trial " << trial;
    EXPECT_EQ(read_file(error_file), "jassrewrite: interrupted; the script is unchanged\n")
        << "trial " << trial;
  }
}

// Regression: an interrupt that came before standard error was shown to be none of the run's files
// told itself there, and with standard error appended to the script, into the script. (The seam
// announces its call on standard error too: only the tool's own line counts.)
TEST(EndToEnd, AnInterruptBeforeTheStreamsAreCheckedWritesNothingIntoTheScript) {
  const fs::path folder = make_map_folder(kOriginal);

  ASSERT_EQ(run_shell(folder, "JASSREWRITE_FAULT=1:interrupt " + shell_word(with_faults_path()) +
                                  " a b c 2>>logs/outputwar3map.j >out; echo $? >status"),
            0);

  EXPECT_EQ(read_file(folder / "status"), "130\n");
  EXPECT_EQ(read_file(folder / kScript).find("jassrewrite"), std::string::npos)
      << read_file(folder / kScript);
  EXPECT_EQ(read_file(folder / "out"), "");
}

}  // namespace

#endif  // _WIN32
