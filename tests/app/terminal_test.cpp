// Interrupts of a run on a terminal, which can cut a write there short in the middle of a line.
// POSIX only; Ctrl+C on a Windows console is tested by console_interrupt_test.sh.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/tool_runs.h"
#include "test_support.h"

namespace {

using namespace jassrewrite::end_to_end;
using jassrewrite::testing_support::excerpt;
using jassrewrite::testing_support::NameOfCase;

// A script of about `size` bytes of long comment lines in user-code blocks: the run shows them in
// large writes, which an interrupt cuts in the middle of a line nearly always.
std::string script_of_long_lines(std::size_t size) {
  std::string script;
  for (int block = 0; script.size() < size; ++block) {
    script += "//!beginusercode\r\n// block " + std::to_string(block) + ":";
    for (int word = 0; word < 150; ++word) {
      script += " shown";
    }
    script += "\r\ncall DoNothing()\r\n//!endusercode\r\n";
  }
  return script;
}

struct TerminalCase {
  const char* name;
  int signal_number;
  // Ctrl+C typed on the terminal, which signals the run, drops what it has not shown yet and
  // echoes "^C"; otherwise a program signals the run, and the terminal shows all it was given.
  bool typed;
  // The folder's lock is held, so that the run waits for it, saying so.
  bool folder_locked;
  // Standard error goes to a file, standard output alone to the terminal.
  bool errors_in_file;
  // The interrupt comes once the terminal has shown this.
  std::string_view interrupt_after;
  // What comes right before the line that tells the interrupt.
  std::string_view told_after;
};

void PrintTo(const TerminalCase& row, std::ostream* os) { *os << row.name; }

constexpr std::string_view kWaiting = "waiting for another run in this folder to finish\r\n";

const std::vector<TerminalCase> kTerminalCases = {
    // Told at the start of a line; after an empty one too, when the terminal had taken nothing yet
    // of the block being written.
    {"CtrlCTypedWhileTheScriptIsShown", SIGINT, true, false, false, "block 1000:", "\n"},
    {"TerminatedWhileTheScriptIsShown", SIGTERM, false, false, false, "block 1000:", "\n"},
    // The terminal shows whole lines: the interrupt is told on the next, not after an empty one.
    {"CtrlCTypedWhileWaiting", SIGINT, true, true, false, kWaiting, "finish\r\n^C\r\n"},
    {"TerminatedWhileWaiting", SIGTERM, false, true, false, kWaiting, "finish\r\n"},
    // Standard error in a file gets the line alone, as ever, whatever the terminal shows.
    {"CtrlCTypedWithErrorsInAFile", SIGINT, true, false, true, "block 1000:", ""},
};

// Until the tool sleeps, which after it has said that it waits for the folder's lock means that it
// waits: an interrupt a moment earlier could come before its write to the terminal has returned.
void wait_until_asleep(pid_t pid) {
  const fs::path stat = "/proc/" + std::to_string(pid) + "/stat";
  for (int tries = 0; tries < 100000; ++tries) {
    // "pid (name) state ...", where the name can hold anything but not the last ") ".
    const std::string fields = read_file(stat);
    const std::size_t state = fields.rfind(") ") + 2;
    // Asleep, or ended already.
    if (state >= fields.size() || fields[state] == 'S' || fields[state] == 'Z') {
      return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

struct TerminalRun {
  int status = -1;
  // Everything the terminal showed, with its CR LF line breaks.
  std::string shown;
};

// Runs the tool in `folder` with its standard streams on a new terminal, standard error in
// `error_file` instead unless that is empty, interrupts it as `row` says, and reads what it shows
// until it ends.
TerminalRun interrupt_on_terminal(const fs::path& folder, const TerminalCase& row,
                                  const fs::path& error_file) {
  const std::string tool = tool_path();
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    // As a shell starts a job in the foreground, whatever this test was started with.
    signal(row.signal_number, SIG_DFL);
    const int errors =
        error_file.empty() ? 2 : open(error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(folder.c_str()) == 0 && errors >= 0 && dup2(errors, 2) == 2) {
      execl(tool.c_str(), tool.c_str(), "a", "b", "c", static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  TerminalRun run;
  if (pid < 0) {
    return run;
  }
  bool interrupted = false;
  std::string buffer(std::size_t{1} << 16, '\0');
  for (;;) {
    pollfd readable{.fd = terminal, .events = POLLIN, .revents = 0};
    if (poll(&readable, 1, 20000) <= 0) {
      kill(pid, SIGKILL);  // hangs: the checks fail on its status
      break;
    }
    // Fails (EIO) once the run has ended and nothing is left to show.
    const ssize_t got = read(terminal, buffer.data(), buffer.size());
    if (got <= 0) {
      break;
    }
    const std::size_t searched = run.shown.size() - std::min(run.shown.size(), buffer.size());
    run.shown.append(buffer.data(), static_cast<std::size_t>(got));
    if (!interrupted && run.shown.find(row.interrupt_after, searched) != std::string::npos) {
      if (row.folder_locked) {
        wait_until_asleep(pid);
      }
      interrupted = row.typed ? write(terminal, "\x03", 1) == 1 : kill(pid, row.signal_number) == 0;
    }
  }
  close(terminal);
  waitpid(pid, &run.status, 0);
  return run;
}

class OnATerminal : public testing::TestWithParam<TerminalCase> {};

// Regression: Ctrl+C while a large script was being shown on a terminal told the interrupt at the
// end of half a script line ("... set ifjassrewrite: interrupted; ..."): the write to the terminal
// had been cut short in the middle of a line, or the terminal had echoed "^C" there.
TEST_P(OnATerminal, AnInterruptIsToldOnALineOfItsOwn) {
  const TerminalCase& row = GetParam();
  const std::string original = script_of_long_lines(std::size_t{6} << 20);
  const fs::path folder = make_map_folder(original);
  const fs::path script = folder / "logs/outputwar3map.j";
  const ToolRun reference = run_tool(folder);
  ASSERT_EQ(reference.status, 0) << reference.err;
  const std::string rewritten = read_file(script);
  ASSERT_NE(rewritten, original);
  const fs::path error_file = row.errors_in_file
                                  ? folder.parent_path() / (folder.filename().string() + ".err")
                                  : fs::path();
  // Held as another run would hold it; flock locks end with the descriptor.
  const int folder_lock = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder_lock, 0);
  ASSERT_EQ(row.folder_locked ? flock(folder_lock, LOCK_EX) : 0, 0);

  const std::string line_break = row.errors_in_file ? "\n" : "\r\n";
  const std::string told = "jassrewrite: interrupted";
  const std::string unchanged = told + "; the script is unchanged" + line_break;
  const std::string after_rewrite = told + " after the script was rewritten" + line_break;
  // Most interrupts cut a write short, but not all: each has a few tries.
  for (int trial = 0; trial < 5; ++trial) {
    write_file(script, original);
    const TerminalRun run = interrupt_on_terminal(folder, row, error_file);

    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == row.signal_number)
        << "trial " << trial << ": status " << run.status;
    const std::string errors = row.errors_in_file ? read_file(error_file) : run.shown;
    const std::size_t at = errors.rfind(told);
    ASSERT_NE(at, std::string::npos) << "trial " << trial << ": the interrupt was not told";
    const std::string line = errors.substr(at);
    EXPECT_TRUE(line == unchanged || line == after_rewrite) << "trial " << trial << ": " << line;
    const std::string_view before = std::string_view(errors).substr(0, at);
    EXPECT_TRUE(row.errors_in_file ? before.empty() : before.ends_with(row.told_after))
        << "trial " << trial << ": told after " << excerpt(before, at < 40 ? 0 : at - 40);
    EXPECT_SAME_BYTES(read_file(script), line == after_rewrite ? rewritten : original)
        << "trial " << trial;
  }
  close(folder_lock);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, OnATerminal, testing::ValuesIn(kTerminalCases), NameOfCase());

}  // namespace

#endif  // _WIN32
