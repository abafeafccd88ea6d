// Runs the built jassrewrite in scratch folders and compares the exact bytes of its standard
// output, its standard error, "tempwar3map.j" and the script.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using jassrewrite::testing_support::make_scratch_folder;
using jassrewrite::testing_support::read_file;
using jassrewrite::testing_support::write_file;

const std::string kHeader = "Hello Jass!\n4\n" JASSREWRITE_EXE "\na\nb\nc\n";

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

// Runs `command` with the shell in `folder`; "$TOOL" names the program under test. Returns the
// exit status, or -1 if the shell did not exit normally.
int run_shell(const fs::path& folder, const std::string& command) {
  const std::string line =
      "cd " + quoted(folder.string()) + " && TOOL=" + quoted(JASSREWRITE_EXE) + " && " + command;
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

// Runs the tool with `arguments` (shell words) in `folder`, capturing its two output streams.
ToolRun run_tool(const fs::path& folder, const std::string& arguments = "a b c") {
  const fs::path out = folder.parent_path() / (folder.filename().string() + ".out");
  const fs::path err = folder.parent_path() / (folder.filename().string() + ".err");
  const int status = run_shell(folder, "\"$TOOL\" " + arguments + " >" + quoted(out.string()) +
                                           " 2>" + quoted(err.string()));
  return {status, read_file(out), read_file(err)};
}

fs::path make_map_folder(const std::string& script) {
  const fs::path folder = make_scratch_folder();
  fs::create_directory(folder / "logs");
  write_file(folder / "logs/outputwar3map.j", script);
  return folder;
}

struct EchoCase {
  const char* name;
  std::string arguments;
  std::string expected_echo;
};

void PrintTo(const EchoCase& row, std::ostream* os) { *os << row.name; }

const std::vector<EchoCase> kEchoCases = {
    {"ThreeArguments", "a b c", "4\n" JASSREWRITE_EXE "\na\nb\nc\n"},
    {"OnlyEntriesZeroToThreeAreShown", "a b c d e", "6\n" JASSREWRITE_EXE "\na\nb\nc\n"},
    {"SpacesStayInOneEntry", "'two words' '' ' c '", "4\n" JASSREWRITE_EXE "\ntwo words\n\n c \n"},
    {"WildcardIsPrintedAsTyped", "'*.j' 'logs/*' c", "4\n" JASSREWRITE_EXE "\n*.j\nlogs/*\nc\n"},
    {"MissingEntriesAreEmptyLines", "a", "2\n" JASSREWRITE_EXE "\na\n\n\n"},
    {"NoArguments", "", "1\n" JASSREWRITE_EXE "\n\n\n\n"},
};

class ArgumentEcho : public testing::TestWithParam<EchoCase> {};

TEST_P(ArgumentEcho, ShowsCountAndEntriesZeroToThree) {
  const fs::path folder = make_map_folder("");
  write_file(folder / "match.j", "");

  const ToolRun run = run_tool(folder, GetParam().arguments);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Hello Jass!\n" + GetParam().expected_echo);
  EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, ArgumentEcho, testing::ValuesIn(kEchoCases),
                         jassrewrite::testing_support::NameOfCase());

const std::string kScript =
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
    "//!endusercode";
const std::string kRewritten =
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
    "//!endusercode\r\n";
const std::string kShown =
    "globals\n// generated\nendglobals\n//!beginusercode\n-- user comment\n--//\n"
    "    // indented\nfunction f takes nothing returns nothing\n//!endusercode\n// after\n"
    "//!beginusercode extra\n--\n\n//!endusercode\n";

TEST(EndToEnd, RewritesTheScriptInPlace) {
  const fs::path folder = make_map_folder(kScript);

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kHeader + kShown);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(folder / "tempwar3map.j"), kRewritten);
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), kRewritten);
}

TEST(EndToEnd, MissingScriptWarnsAndLeavesEmptyFiles) {
  const fs::path folder = make_scratch_folder();
  fs::create_directory(folder / "logs");

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kHeader);
  EXPECT_EQ(run.err,
            "jassrewrite: logs/outputwar3map.j: not found, nothing to rewrite (is this the map's "
            "folder?)\n");
  EXPECT_EQ(read_file(folder / "tempwar3map.j"), "");
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), "");
}

TEST(EndToEnd, MissingLogsFolderIsNotCreated) {
  const fs::path folder = make_scratch_folder();

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err, "");
  EXPECT_EQ(read_file(folder / "tempwar3map.j"), "");
  EXPECT_FALSE(fs::exists(folder / "logs"));
}

#ifndef _WIN32

// Each fault must leave the script exactly as it was, report the file and the reason, and exit 1.
// The runs are bounded by a file-size limit and a timeout: without the protection, a temporary file
// that is the script grows without end.
struct FaultCase {
  const char* name;
  const char* setup;  // shell commands run in the map folder first
  std::string expected_error;
};

void PrintTo(const FaultCase& row, std::ostream* os) { *os << row.name; }

const std::vector<FaultCase> kFaultCases = {
    {"TemporaryFileIsAFolder", "mkdir tempwar3map.j",
     "jassrewrite: tempwar3map.j: Is a directory\n"},
    {"TemporaryFileIsASymbolicLinkToTheScript", "ln -s logs/outputwar3map.j tempwar3map.j",
     "jassrewrite: tempwar3map.j: is the script itself (a link to logs/outputwar3map.j)\n"},
    {"TemporaryFileIsAHardLinkToTheScript", "ln logs/outputwar3map.j tempwar3map.j",
     "jassrewrite: tempwar3map.j: is the script itself (a link to logs/outputwar3map.j)\n"},
    {"TemporaryFileIsADevice", "ln -s /dev/null tempwar3map.j",
     "jassrewrite: tempwar3map.j: not a regular file\n"},
    {"ScriptIsAFolder", "mv logs/outputwar3map.j keep && mkdir logs/outputwar3map.j",
     "jassrewrite: logs/outputwar3map.j: Is a directory\n"},
    {"ScriptIsAFifo", "mv logs/outputwar3map.j keep && mkfifo logs/outputwar3map.j",
     "jassrewrite: logs/outputwar3map.j: not a regular file\n"},
    {"TemporaryFileCannotGrowPastTheLimit", "ulimit -f 1",
     "jassrewrite: tempwar3map.j: File too large\n"},
};

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, LeaveTheScriptAsItWas) {
  // Larger than the one 512-byte block the file-size case allows.
  std::string script;
  while (script.size() < 4096) {
    script += "//!beginusercode\r\n// comment\r\n//!endusercode\r\n";
  }
  const fs::path folder = make_map_folder(script);
  const fs::path err = folder.parent_path() / (folder.filename().string() + ".err");

  const int status =
      run_shell(folder, std::string("ulimit -f 20000; ") + GetParam().setup +
                            " && timeout 20 \"$TOOL\" a b c >/dev/null 2>" + quoted(err.string()));

  EXPECT_EQ(status, 1);
  EXPECT_EQ(read_file(err), GetParam().expected_error);
  if (fs::exists(folder / "keep")) {
    // The script was swapped for something that is not a file: refused before anything was written.
    EXPECT_FALSE(fs::exists(folder / "tempwar3map.j"));
  } else {
    EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), script);
  }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Faults, testing::ValuesIn(kFaultCases),
                         jassrewrite::testing_support::NameOfCase());

TEST(EndToEnd, UnreadableScriptIsReported) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "permission bits do not stop root";
  }
  const fs::path folder = make_map_folder(kScript);
  fs::permissions(folder / "logs/outputwar3map.j", fs::perms::none);

  const ToolRun run = run_tool(folder);
  fs::permissions(folder / "logs/outputwar3map.j", fs::perms::owner_read | fs::perms::owner_write);

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "jassrewrite: logs/outputwar3map.j: Permission denied\n");
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), kScript);
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
  std::string script = kScript + "\n";
  std::string rewritten = kRewritten;
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

INSTANTIATE_TEST_SUITE_P(EndToEnd, FailingConsole, testing::ValuesIn(kConsoleCases),
                         jassrewrite::testing_support::NameOfCase());

#endif  // _WIN32

}  // namespace
