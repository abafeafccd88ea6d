// Runs the built jassrewrite in scratch folders and compares the exact bytes of its standard
// output, its standard error, "tempwar3map.j" and the script. The same tests run against the
// Windows build under Wine; what needs a POSIX shell is marked.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/tool_runs.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace {

using namespace jassrewrite::end_to_end;
namespace fs = std::filesystem;
using jassrewrite::testing_support::make_scratch_folder;
using jassrewrite::testing_support::NameOfCase;
using jassrewrite::testing_support::read_file;
using jassrewrite::testing_support::write_file;
using namespace std::string_literals;

struct EchoCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string count;
  std::string entries_one_to_three;
};

void PrintTo(const EchoCase& row, std::ostream* os) { *os << row.name; }

const std::vector<EchoCase> kEchoCases = {
    {"ThreeArguments", {"a", "b", "c"}, "4", "a\nb\nc\n"},
    {"OnlyEntriesZeroToThreeAreShown", {"a", "b", "c", "d", "e"}, "6", "a\nb\nc\n"},
    {"SpacesStayInOneEntry", {"two words", "", " c "}, "4", "two words\n\n c \n"},
    {"WildcardIsPrintedAsTyped", {"*.j", "logs/*", "c"}, "4", "*.j\nlogs/*\nc\n"},
    {"MissingEntriesAreEmptyLines", {"a"}, "2", "a\n\n\n"},
    {"NoArguments", {}, "1", "\n\n\n"},
    // Redirected on Windows, arguments come out in the ANSI code page (here Windows-1252), as they
    // always have: what the code page lacks becomes a look-alike or a question mark. Elsewhere
    // they are bytes, shown as they are.
    {"ArgumentsOutsideTheCodePage",
     {"caf\u00e9", "\u0101", "\u4e2d\u6587"},
     "4",
#ifdef _WIN32
     "caf\xe9\na\n??\n"},
#else
     "caf\u00e9\n\u0101\n\u4e2d\u6587\n"},
#endif
};

class ArgumentEcho : public testing::TestWithParam<EchoCase> {};

TEST_P(ArgumentEcho, ShowsCountAndEntriesZeroToThree) {
#ifdef _WIN32
  if (GetACP() != 1252 && std::string(GetParam().name) == "ArgumentsOutsideTheCodePage") {
    GTEST_SKIP() << "the ANSI code page here is " << GetACP();
  }
#endif
  const fs::path folder = make_map_folder("");
  write_file(folder / "match.j", "");  // something for a wildcard to match

  const ToolRun run = run_tool(folder, GetParam().arguments);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, on_console("Hello Jass!\n" + GetParam().count + "\n" + tool_path() + "\n" +
                                GetParam().entries_one_to_three));
  EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, ArgumentEcho, testing::ValuesIn(kEchoCases), NameOfCase());

// The expected bytes are the same on every platform: only the console's line breaks differ.
struct ScriptCase {
  const char* name;
  std::string script;
  std::string rewritten;
  std::string shown;
};

void PrintTo(const ScriptCase& row, std::ostream* os) { *os << row.name; }

const std::vector<ScriptCase> kScriptCases = {
    {"UserCodeBlocks",
     "globals\n"
     "// generated\n"
     "endglobals\n"
     "//!beginusercode\n"
     "// user comment\n"
     "////\n"
     "    // indented\n"
     "function f takes nothing returns nothing\n"
     "//!endusercode\n"
     "// after\r\n"
     "//!beginusercode extra\r\n"
     "//\r\n"
     "\r\n"
     "//!endusercode",
     "globals\r\n"
     "// generated\r\n"
     "endglobals\r\n"
     "//!beginusercode\r\n"
     "-- user comment\r\n"
     "--//\r\n"
     "    // indented\r\n"
     "function f takes nothing returns nothing\r\n"
     "//!endusercode\r\n"
     "// after\r\n"
     "//!beginusercode extra\r\n"
     "--\r\n"
     "\r\n"
     "//!endusercode\r\n",
     "globals\n// generated\nendglobals\n//!beginusercode\n-- user comment\n--//\n"
     "    // indented\nfunction f takes nothing returns nothing\n//!endusercode\n// after\n"
     "//!beginusercode extra\n--\n\n//!endusercode\n"},
    // Regression: Windows text mode stopped reading at 0x1A, and the copy-back then cut off the
    // rest of the script.
    {"ControlBytesSurvive", "a\x1a b\r\n\0\r\nc\rd\ne\r"s, "a\x1a b\r\n\0\r\nc\rd\r\ne\r\r\n"s,
     "a\x1a b\n\0\nc\rd\ne\r\n"s},
    // UTF-8, a script in a Windows code page and bytes of no encoding reach a file or pipe as
    // they are, on Windows too, where a console shows UTF-8 lines as text.
    {"EncodingsPassAsBytes",
     "BJDebugMsg(\"caf\xC3\xA9 \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\")\n"
     "// caf\xE9\n\xED\xA0\x80 \xFF\x80",
     "BJDebugMsg(\"caf\xC3\xA9 \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\")\r\n"
     "// caf\xE9\r\n\xED\xA0\x80 \xFF\x80\r\n",
     "BJDebugMsg(\"caf\xC3\xA9 \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\")\n"
     "// caf\xE9\n\xED\xA0\x80 \xFF\x80\n"},
    {"EmptyScript", "", "", ""},
};

class Rewrite : public testing::TestWithParam<ScriptCase> {};

TEST_P(Rewrite, RewritesTheScriptInPlace) {
  const fs::path folder = make_map_folder(GetParam().script);

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, header() + on_console(GetParam().shown));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(folder / "tempwar3map.j"), GetParam().rewritten);
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), GetParam().rewritten);
  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    left.push_back(entry.path().lexically_relative(folder).generic_string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"logs", "logs/outputwar3map.j", "tempwar3map.j"}));
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Rewrite, testing::ValuesIn(kScriptCases), NameOfCase());

TEST(EndToEnd, MissingScriptWarnsAndLeavesEmptyFiles) {
  const fs::path folder = make_scratch_folder();
  fs::create_directory(folder / "logs");

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, header());
  EXPECT_EQ(run.err, message("jassrewrite: logs/outputwar3map.j: not found, nothing to rewrite "
                             "(is this the map's folder?)\n"));
  EXPECT_EQ(read_file(folder / "tempwar3map.j"), "");
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), "");
}

// Regression: claiming the space for an empty rewrite failed, and an empty script with a second
// name, which is overwritten in place, could never be rewritten.
TEST(EndToEnd, EmptyScriptWithASecondNameIsRewritten) {
  const fs::path folder = make_map_folder("");
  fs::create_hard_link(folder / "logs/outputwar3map.j", folder / "other-name.j");

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
#ifndef _WIN32
  // The runtime on Windows counts one link for every file.
  EXPECT_EQ(fs::hard_link_count(folder / "logs/outputwar3map.j"), 2U);
#endif
}

// A run stopped, or a system that stopped, between the two steps of a replacement (the script's
// name gone, the new file not yet under it) leaves the complete rewrite beside the script: the next
// run gives it the script's name, and says so.
TEST(EndToEnd, ScriptMissingWithItsCompleteRewriteBesideIsGivenItsName) {
  const std::string rewritten = "//!beginusercode\r\n-- c\r\n";
  const fs::path folder = make_map_folder(rewritten);
  write_file(folder / "tempwar3map.j", rewritten);
  fs::rename(folder / "logs/outputwar3map.j", folder / "logs/outputwar3map.j.jassrewrite-new");

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, header() + on_console("//!beginusercode\n-- c\n"));
  EXPECT_EQ(run.err, message("jassrewrite: logs/outputwar3map.j: not found, but an earlier run "
                             "left its complete rewrite in logs/outputwar3map.j.jassrewrite-new, "
                             "which now has the script's name\n"));
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), rewritten);
  EXPECT_FALSE(fs::exists(folder / "logs/outputwar3map.j.jassrewrite-new"));
}

TEST(EndToEnd, MissingLogsFolderIsNotCreated) {
  const fs::path folder = make_scratch_folder();

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, message("jassrewrite: logs/outputwar3map.j: not found, nothing to rewrite "
                             "(is this the map's folder?)\n"));
  EXPECT_EQ(read_file(folder / "tempwar3map.j"), "");
  EXPECT_FALSE(fs::exists(folder / "logs"));
}

// Each fault must leave the script exactly as it was, report the file and the reason, and exit 1.
struct FaultCase {
  const char* name;
  std::function<void(const fs::path& folder)> setup;
  std::string expected_error;
  const char* limits = "";      // POSIX shell commands run just before the tool
  bool needs_non_root = false;  // permission bits do not stop root
};

void PrintTo(const FaultCase& row, std::ostream* os) { *os << row.name; }

// Moves the script aside to "keep" and puts something that is not a file in its place.
std::function<void(const fs::path&)> replace_script(void (*make)(const fs::path& script)) {
  return [make](const fs::path& folder) {
    fs::rename(folder / "logs/outputwar3map.j", folder / "keep");
    make(folder / "logs/outputwar3map.j");
  };
}

const std::string kSameFile =
    "jassrewrite: tempwar3map.j: is the script itself (a link to logs/outputwar3map.j)\n";
const std::string kSymbolicLink =
    "jassrewrite: tempwar3map.j: is a symbolic link; delete it and run again\n";
const std::string kNotAFile = "jassrewrite: tempwar3map.j: not a regular file\n";
const std::string kMarkNotKnown =
    "; an earlier run may have been cut off while writing back logs/outputwar3map.j; nothing was "
    "changed\n";
// What links in the folder point to; a link must never lead the tool to write there.
const std::string kOutside = "someone else's file\n";

const std::vector<FaultCase> kFaultCases = {
    {"TemporaryFileIsAFolder", [](const fs::path& f) { fs::create_directory(f / "tempwar3map.j"); },
     "jassrewrite: tempwar3map.j: Is a directory\n"},
    {"TemporaryFileIsAHardLinkToTheScript",
     [](const fs::path& f) {
       fs::create_hard_link(f / "logs/outputwar3map.j", f / "tempwar3map.j");
     },
     kSameFile},
    // Regression: a tempwar3map.j unpacked from someone's archive as a link had the script written
    // into whatever it linked to.
    {"TemporaryFileIsAHardLinkElsewhere",
     [](const fs::path& f) { fs::create_hard_link(f / "outside", f / "tempwar3map.j"); },
     "jassrewrite: tempwar3map.j: has other hard links; delete it and run again\n"},
    // Regression: a stale run had left the script cut short; the script was since written anew and
    // must not be overwritten with the stale rewrite.
    // Regression: a mark that held anything but a record was deleted, and a script that an earlier
    // run had left cut short was kept as if it were whole.
    {"MarkThatIsNotARecord",
     [](const fs::path& f) {
       write_file(f / "tempwar3map.j", "an earlier rewrite\r\n");
       write_file(f / "tempwar3map.j.copying", "1 2 3 4 5\n");
     },
     "jassrewrite: tempwar3map.j.copying: not a record that this tool wrote" + kMarkNotKnown},
    // Regression: where a replacement could not take the script's name, the next run made an
    // empty script and emptied tempwar3map.j. A new file that is not the rewrite in tempwar3map.j
    // byte for byte is not given the script's name.
    {"ScriptMissingButItsRewriteLeftBeside", replace_script([](const fs::path& s) {
       write_file(s.string() + ".jassrewrite-new", "a rewrite\r\n");
       write_file(s.parent_path().parent_path() / "tempwar3map.j", "A rewrite\r\n");
     }),
     "jassrewrite: logs/outputwar3map.j: not found, but an earlier run left "
     "logs/outputwar3map.j.jassrewrite-new: if that is the complete rewrite, give it the script's "
     "name, otherwise delete it\n"},
    // A file the user has made read-only is not the tool's to replace.
    {"ScriptIsReadOnly",
     [](const fs::path& f) {
       fs::permissions(f / "logs/outputwar3map.j",
                       fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                       fs::perm_options::remove);
     },
     "jassrewrite: logs/outputwar3map.j: "s +
         system_reason("Permission denied", 6009 /* read-only file */) + "\n",
     "", true},
    {"ScriptIsAFolder", replace_script([](const fs::path& s) { fs::create_directory(s); }),
     "jassrewrite: logs/outputwar3map.j: Is a directory\n"},
#ifndef _WIN32
    {"TemporaryFileIsASymbolicLinkToTheScript",
     [](const fs::path& f) { fs::create_symlink("logs/outputwar3map.j", f / "tempwar3map.j"); },
     kSymbolicLink},
    {"TemporaryFileIsASymbolicLinkElsewhere",
     [](const fs::path& f) { fs::create_symlink("outside", f / "tempwar3map.j"); }, kSymbolicLink},
    // /dev/null would swallow the script; /dev/full would fail every write.
    {"TemporaryFileIsTheNullDevice",
     [](const fs::path& f) { fs::create_symlink("/dev/null", f / "tempwar3map.j"); },
     kSymbolicLink},
    {"TemporaryFileIsTheFullDevice",
     [](const fs::path& f) { fs::create_symlink("/dev/full", f / "tempwar3map.j"); },
     kSymbolicLink},
    // Regression: a stale mark and a script that was tempwar3map.j by a link had it emptied.
    {"EarlierRunCutShortAndScriptIsTheTemporaryFile",
     [](const fs::path& f) {
       fs::rename(f / "logs/outputwar3map.j", f / "tempwar3map.j");
       fs::create_symlink("../tempwar3map.j", f / "logs/outputwar3map.j");
       struct stat script {};
       ASSERT_EQ(stat((f / "tempwar3map.j").c_str(), &script), 0);
       const std::string identity =
           std::to_string(script.st_dev) + " " + std::to_string(script.st_ino) + " ";
       const long long changed = script.st_ctim.tv_sec * 1000000000LL + script.st_ctim.tv_nsec;
       write_file(f / "tempwar3map.j.copying", identity + "0 0 0\n" + identity +
                                                   std::to_string(script.st_size) + " " +
                                                   std::to_string(changed) + "\n");
     },
     "jassrewrite: tempwar3map.j: is the script itself (a link to logs/outputwar3map.j)" +
         kMarkNotKnown},
    // Regression: opening a FIFO waited for a writer for ever.
    {"TemporaryFileIsAFifo",
     [](const fs::path& f) { ASSERT_EQ(mkfifo((f / "tempwar3map.j").c_str(), 0600), 0); },
     kNotAFile},
    // Regression: following the dangling link created a script where it pointed.
    {"ScriptIsADanglingSymbolicLink",
     replace_script([](const fs::path& s) { fs::create_symlink("../missing", s); }),
     "jassrewrite: logs/outputwar3map.j: a symbolic link to a file that does not exist\n"},
    {"ScriptIsTheZeroDevice",
     replace_script([](const fs::path& s) { fs::create_symlink("/dev/zero", s); }),
     "jassrewrite: logs/outputwar3map.j: not a regular file\n"},
    {"ScriptIsAFifo",
     replace_script([](const fs::path& s) { ASSERT_EQ(mkfifo(s.c_str(), 0600), 0); }),
     "jassrewrite: logs/outputwar3map.j: not a regular file\n"},
    {"TemporaryFileCannotGrowPastTheLimit", [](const fs::path&) {},
     "jassrewrite: tempwar3map.j: File too large\n", "ulimit -f 1; "},
    {"ScriptIsUnreadable",
     [](const fs::path& f) { fs::permissions(f / "logs/outputwar3map.j", fs::perms::none); },
     "jassrewrite: logs/outputwar3map.j: Permission denied\n", "", true},
    // Regression: root took a tempwar3map.j that another user owned, who could then change the
    // rewrite on its way into a script that user may not write.
    {"TemporaryFileOfAnotherUserForRoot",
     [](const fs::path& f) {
       write_file(f / "tempwar3map.j", "stale\r\n");
       if (geteuid() != 0 || chown((f / "tempwar3map.j").c_str(), 65534, 65534) != 0) {
         GTEST_SKIP() << "only root can give a file to another user";
       }
     },
     "jassrewrite: tempwar3map.j: belongs to another user; delete it and run again\n"},
    {"TemporaryFileIsReadOnly",
     [](const fs::path& f) {
       write_file(f / "tempwar3map.j", "stale\r\n");
       fs::permissions(f / "tempwar3map.j", fs::perms::owner_read);
     },
     "jassrewrite: tempwar3map.j: Permission denied\n", "", true},
#endif
};

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, LeaveTheScriptAsItWas) {
  // Larger than the one 512-byte block the file-size case allows.
  std::string script;
  while (script.size() < 4096) {
    script += "//!beginusercode\r\n// comment\r\n//!endusercode\r\n";
  }
#ifndef _WIN32
  if (GetParam().needs_non_root && geteuid() == 0) {
    GTEST_SKIP() << "permission bits do not stop root";
  }
#endif
  const fs::path folder = make_map_folder(script);
  write_file(folder / "outside", kOutside);
  GetParam().setup(folder);
  if (IsSkipped()) {
    return;
  }
  const bool had_temp = fs::exists(fs::symlink_status(folder / "tempwar3map.j"));
  const std::string temp_before = fs::is_regular_file(fs::symlink_status(folder / "tempwar3map.j"))
                                      ? read_file(folder / "tempwar3map.j")
                                      : "";

  const ToolRun run = run_tool(folder, {"a", "b", "c"}, GetParam().limits);
  if (GetParam().needs_non_root) {
    fs::permissions(folder / "logs/outputwar3map.j", fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::add);
  }

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, message(GetParam().expected_error));
  EXPECT_EQ(read_file(folder / "outside"), kOutside);
  EXPECT_FALSE(fs::exists(folder / "missing"));
  if (fs::exists(folder / "keep")) {
    // The script was swapped for something that is not a file: refused before anything was written.
    if (!had_temp) {
#ifdef _WIN32
      // Windows locks the folder by a byte range of tempwar3map.j, which it creates empty.
      EXPECT_EQ(read_file(folder / "tempwar3map.j"), "");
#else
      EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "tempwar3map.j")));
#endif
    } else if (fs::is_regular_file(fs::symlink_status(folder / "tempwar3map.j"))) {
      EXPECT_EQ(read_file(folder / "tempwar3map.j"), temp_before);
    }
  } else {
    EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), script);
  }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Faults, testing::ValuesIn(kFaultCases), NameOfCase());

#ifndef _WIN32

// A line longer than memory allows: the tool stops, says so, and leaves the script alone instead
// of writing back a script cut short.
TEST(EndToEnd, LineTooLongForMemoryLeavesTheScriptAlone) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a sanitized program cannot run under a memory limit";
#endif
  const std::string script =
      "//!beginusercode\n//" + std::string(std::size_t{96} << 20, 'x') + "\n";
  const fs::path folder = make_map_folder(script);

  const ToolRun run = run_tool(folder, {"a", "b", "c"}, "ulimit -v 65536; ");

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "jassrewrite: logs/outputwar3map.j: Cannot allocate memory\n");
  EXPECT_TRUE(read_file(folder / "logs/outputwar3map.j") == script);
}

// Whatever becomes of standard output, the script is still rewritten and the run succeeds.
struct ConsoleCase {
  const char* name;
  const char* command;
};

void PrintTo(const ConsoleCase& row, std::ostream* os) { *os << row.name; }

const std::vector<ConsoleCase> kConsoleCases = {
    {"Closed", "\"$TOOL\" a b c >&-; echo $? >status"},
    // Regression: with descriptors 0 and 1 closed, the temporary file was opened as descriptor 1
    // and the console output went into it.
    {"ClosedWithStandardInput", "\"$TOOL\" a b c <&- >&-; echo $? >status"},
    {"Full", "\"$TOOL\" a b c >/dev/full; echo $? >status"},
    {"ReaderGoesAway", "{ \"$TOOL\" a b c; echo $? >status; } | head -1 >/dev/null"},
};

class FailingConsole : public testing::TestWithParam<ConsoleCase> {};

TEST_P(FailingConsole, DoesNotStopTheRewrite) {
  // A megabyte of output, far more than a pipe holds, so the reader is gone long before the end.
  std::string script = "//!beginusercode\n// in\n//!endusercode\n";
  std::string rewritten = "//!beginusercode\r\n-- in\r\n//!endusercode\r\n";
  while (script.size() < 1 << 20) {
    script += "// filler\n";
    rewritten += "// filler\r\n";
  }
  const fs::path folder = make_map_folder(script);

  ASSERT_EQ(run_shell(folder, GetParam().command), 0);

  EXPECT_EQ(read_file(folder / "status"), "0\n");
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), rewritten);
  EXPECT_EQ(read_file(folder / "tempwar3map.j"), rewritten);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, FailingConsole, testing::ValuesIn(kConsoleCases), NameOfCase());

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
      // Nothing is said only by a tool signalled before it could set up its handlers.
      if (now != original || !error.empty()) {
        EXPECT_EQ(error, now == original ? unchanged_message : rewritten_message) << trials;
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
      EXPECT_TRUE(read_file(script) == rewritten) << "trial " << trials << ": not finished";
      EXPECT_FALSE(fs::exists(replacement) || fs::exists(mark)) << "trial " << trials;
    }
    if (GetParam().hard_linked) {
      EXPECT_TRUE(read_file(other_name) == rewritten) << "trial " << trials << ": link broken";
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
    EXPECT_TRUE(read_file(script) == original) << "the run went on after the interrupt";
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

// Regression: another program swapping tempwar3map.j for a link to the script, between the tool's
// checks of the name and its opening it, had the script emptied with exit status 0.
TEST(EndToEnd, SwappingTheTemporaryFileNeverLosesTheScript) {
  const std::string original = large_script(std::size_t{1} << 20);
  const fs::path folder = make_map_folder(original);
  const fs::path script = folder / "logs/outputwar3map.j";
  ASSERT_EQ(run_tool(folder).status, 0);
  const std::string rewritten = read_file(script);

  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    const fs::path staged = folder / "staged";
    for (int i = 0; !stop; ++i) {
      std::error_code ignored;
      fs::remove(staged, ignored);
      // A hard link to the script would change the script's own status, which every run that sees
      // it refuses as a change; the Faults table covers hard links.
      if (i % 2 == 0) {
        fs::create_symlink("logs/outputwar3map.j", staged, ignored);
      } else {
        std::ofstream(staged) << "stale\r\n";
      }
      fs::rename(staged, folder / "tempwar3map.j", ignored);
      // Long enough for a run to find a file under the name as often as a link.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  int succeeded = 0;
  int trial = 0;
  // Until a run has got past the swapped name, for at most 60 trials.
  for (; trial < 20 || (succeeded == 0 && trial < 60); ++trial) {
    write_file(script, original);
    const ToolRun run = run_tool(folder);
    const std::string now = read_file(script);
    EXPECT_TRUE(now == original || now == rewritten) << "trial " << trial << ": script lost";
    if (run.status == 0) {
      ++succeeded;
      EXPECT_TRUE(now == rewritten) << "trial " << trial << ": exit 0 without the rewrite";
    } else {
      EXPECT_EQ(run.status, 1) << run.err;
    }
  }
  stop = true;
  swapper.join();
  std::cout << succeeded << " of " << trial
            << " runs succeeded, the others refused the swapped name\n";
  EXPECT_GT(succeeded, 0) << "no run got past the swapped name: the test saw no race";
}

// Regression: a script readable by its owner only left a tempwar3map.j that everyone could read.
// The script keeps its bits, and its extended attributes (and access control lists, which are kept
// as such).
TEST(EndToEnd, PermissionsAndAttributesOfTheScriptAreKept) {
  // Neither the 0600 that a new file starts with nor the umask's 0644.
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  // Without extended attributes the script is replaced by a new file; with them, overwritten.
  for (const bool with_attribute : {false, true}) {
    const fs::path folder = make_map_folder("//!beginusercode\n// private\n");
    const fs::path script = folder / "logs/outputwar3map.j";
    fs::permissions(script, mode);
    if (with_attribute && setxattr(script.c_str(), "user.origin", "editor", 6, 0) != 0) {
      continue;  // the file system has none
    }

    ASSERT_EQ(run_tool(folder).status, 0);

    EXPECT_EQ(read_file(script), "//!beginusercode\r\n-- private\r\n");
    EXPECT_EQ(fs::status(script).permissions(), mode) << with_attribute;
    EXPECT_EQ(fs::status(folder / "tempwar3map.j").permissions(), mode) << with_attribute;
    char value[16] = {};
    EXPECT_EQ(getxattr(script.c_str(), "user.origin", value, sizeof value),
              with_attribute ? 6 : -1);
  }
}

// Regression: an overwrite in place on a nearly full disk always left the script cut short under
// its mark: tempwar3map.j fitted, the script's growth from LF to CR LF did not. The space is
// claimed first now, and a disk without it is refused with the script untouched.
TEST(EndToEnd, AFullDiskIsFoundBeforeTheScriptIsOverwrittenInPlace) {
  const fs::path folder = make_scratch_folder();
  if (mount("jassrewrite-test", folder.c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "no small file system can be mounted here: " << std::strerror(errno);
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{folder};
  std::string script;
  std::string rewritten;
  while (script.size() < (std::size_t{1} << 20)) {
    script += "// line\n";
    rewritten += "// line\r\n";
  }
  fs::create_directory(folder / "logs");
  write_file(folder / "logs/outputwar3map.j", script);
  // A second name keeps the script from being replaced by a new file.
  fs::create_hard_link(folder / "logs/outputwar3map.j", folder / "other-name.j");
  // Room for tempwar3map.j, and for half the script's growth besides.
  struct statvfs disk {};
  ASSERT_EQ(statvfs(folder.c_str(), &disk), 0);
  const std::uint64_t room = (rewritten.size() + 4095) / 4096 * 4096;
  write_file(folder / "filler", std::string(disk.f_bavail * disk.f_frsize - room -
                                                (rewritten.size() - script.size()) / 2,
                                            '\0'));

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "jassrewrite: logs/outputwar3map.j: No space left on device; the script is unchanged; "
            "the complete rewritten script is kept in tempwar3map.j\n");
  EXPECT_TRUE(read_file(folder / "logs/outputwar3map.j") == script);
  EXPECT_FALSE(fs::exists(folder / "tempwar3map.j.copying"));
  fs::remove(folder / "filler");
  EXPECT_EQ(run_tool(folder).status, 0);
  EXPECT_TRUE(read_file(folder / "logs/outputwar3map.j") == rewritten);
}

// Regression: standard output sent into tempwar3map.j was mixed into the rewrite, and appended to
// the script it was read back without end.
TEST(EndToEnd, OutputIntoItsOwnFilesIsRefused) {
  for (const char* redirect : {">tempwar3map.j", ">>logs/outputwar3map.j"}) {
    const std::string script = "//!beginusercode\n// kept\n";
    const fs::path folder = make_map_folder(script);

    ASSERT_EQ(run_shell(folder, "timeout 20 \"$TOOL\" a b c " + std::string(redirect) +
                                    " 2>err; echo $? >status"),
              0);

    EXPECT_EQ(read_file(folder / "status"), "1\n") << redirect;
    EXPECT_TRUE(read_file(folder / "err").find("is also standard output") != std::string::npos)
        << read_file(folder / "err");
    EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), script) << redirect;
  }
}

#endif  // _WIN32

// Regression: runs started at once in one folder (a build started twice) left the script cut
// short, emptied or mixed from both, and every run exited 0. The same for runs in two map folders
// that share one script by a link.
TEST(EndToEnd, RunsAtOnceGiveTheScriptOfOneRun) {
  const std::string original = large_script(std::size_t{4} << 20);
  const fs::path folder = make_map_folder(original);
  const fs::path script = folder / "logs/outputwar3map.j";
  ASSERT_EQ(run_tool(folder).status, 0);
  const std::string rewritten = read_file(script);
  const fs::path second = folder / "second-map";
  fs::create_directories(second / "logs");
#ifdef _WIN32
  fs::create_hard_link(script, second / "logs/outputwar3map.j");
#else
  fs::create_symlink("../../logs/outputwar3map.j", second / "logs/outputwar3map.j");
#endif
  const std::vector<std::string> waiting = {
      "", message("jassrewrite: waiting for another run in this folder to finish\n"),
      message("jassrewrite: logs/outputwar3map.j: waiting for a run in another folder that is "
              "rewriting it\n")};

  int waited = 0;
  for (const std::size_t runs : {std::size_t{2}, std::size_t{3}}) {
    for (const bool shared : {false, true}) {
      write_file(script, original);
      std::vector<ToolRun> results(runs);
      std::vector<std::thread> threads;
      for (std::size_t i = 0; i < runs; ++i) {
        threads.emplace_back([&, i] {
          results[i] = run_tool(shared && i % 2 == 1 ? second : folder, {"a", "b", "c"}, "",
                                std::string(".").append(std::to_string(i)));
        });
      }
      for (std::thread& thread : threads) {
        thread.join();
      }
      for (const ToolRun& run : results) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(std::find(waiting.begin(), waiting.end(), run.err), waiting.end()) << run.err;
        waited += run.err.empty() ? 0 : 1;
      }
      EXPECT_TRUE(read_file(script) == rewritten) << runs << " runs, shared " << shared;
      EXPECT_TRUE(read_file(folder / "tempwar3map.j") == rewritten) << runs << " runs";
    }
  }
  std::cout << waited << " of 10 runs waited for another\n";
}

// Build scripts on Windows send the output to NUL, a device that the runtime calls a terminal
// though no console shows it.
TEST(EndToEnd, OutputToTheNullDeviceStillRewrites) {
  const fs::path folder = make_map_folder("//!beginusercode\r\n// c\r\n");
#ifdef _WIN32
  const std::string discard = " >NUL";
#else
  const std::string discard = " >/dev/null";
#endif

  EXPECT_EQ(run_shell(folder, shell_word(tool_path()) + " a b c" + discard), 0);
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), "//!beginusercode\r\n-- c\r\n");
}

}  // namespace
