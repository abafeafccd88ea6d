// What the run shows: the arguments as typed, whatever becomes of standard output, and output sent
// into the run's own files refused.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/faulty_runs.h"
#include "app/tool_runs.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace jassrewrite::end_to_end;
using jassrewrite::testing_support::NameOfCase;

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
#ifdef _WIN32
    // The runtime would expand them itself; a POSIX shell that expands them is not the tool's.
    {"WildcardIsPrintedAsTyped", {"*.j", "logs/*", "c"}, "4", "*.j\nlogs/*\nc\n"},
#endif
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
  const fs::path folder = make_map_folder("globals\n");
  write_file(folder / "match.j", "");  // something for a wildcard to match

  const ToolRun run = run_tool(folder, GetParam().arguments);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, on_console("Hello Jass!\n" + GetParam().count + "\n" + tool_path() + "\n" +
                                GetParam().entries_one_to_three + "globals\n"));
  EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, ArgumentEcho, testing::ValuesIn(kEchoCases), NameOfCase());

#ifndef _WIN32

// Whatever becomes of standard output, the script is still rewritten and the run succeeds.
struct ConsoleCase {
  const char* name;
  const char* command;
};

void PrintTo(const ConsoleCase& row, std::ostream* os) { *os << row.name; }

const std::vector<ConsoleCase> kConsoleCases = {
    {"Closed", "\"$TOOL\" a b c >&-; echo $? >status"},
    // Regression: with descriptors 0 and 1 closed, the temporary file was opened as descriptor 1
    // and the console output went into it. The null device opened for descriptor 0 is what makes
    // the next one land on 1: without it, 1 stays closed and the run is refused.
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
  EXPECT_SAME_BYTES(read_file(folder / "logs/outputwar3map.j"), rewritten);
  EXPECT_SAME_BYTES(read_file(folder / "tempwar3map.j"), rewritten);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, FailingConsole, testing::ValuesIn(kConsoleCases), NameOfCase());

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

#ifdef _WIN32

// Build scripts on Windows send the output to NUL, a device that the runtime calls a terminal
// though no console shows it.
TEST(EndToEnd, OutputToTheNullDeviceStillRewrites) {
  const fs::path folder = make_map_folder("//!beginusercode\r\n// c\r\n");

  EXPECT_EQ(run_shell(folder, shell_word(tool_path()) + " a b c >NUL"), 0);
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), "//!beginusercode\r\n-- c\r\n");
}

#endif  // _WIN32

// Regression: with standard output appended to the script while a cut overwrite was pending, the
// recovery finished the script and the banner was then flushed into it, for good; on Windows the
// banner went into the script with no recovery pending at all. Standard error appended to it got
// the recovery's message. Both streams are now decided before any byte of them is written, and
// the refusal of one goes to the other.
TEST(EndToEnd, OutputAppendedToTheScriptIsRefusedBeforeAnythingIsWritten) {
  const std::string script = shell_word(fs::path(kScript).make_preferred().string());
  // Each redirection, and what the run tells on the stream that is none of its files.
  const std::vector<std::pair<std::string, std::string>> redirections = {
      {" >>" + script + " 2>told",
       "jassrewrite: logs/outputwar3map.j: is also standard output; send the output elsewhere\n"},
      {" >told 2>>" + script,
       "jassrewrite: logs/outputwar3map.j: is also standard error; send the messages elsewhere\n"},
      {" >>" + script + " 2>&1", ""},
  };
  // Regression: an argument longer than the output's block sent the banner out before the
  // refusal, and a script of 24 bytes grew by 70,000 (Windows takes no command line that long).
  std::vector<std::pair<std::string, std::string>> argument_lists = {{"a b c", " a b c"}};
#ifndef _WIN32
  argument_lists.emplace_back("a 70,000-byte argument", " " + std::string(70000, 'x') + " b c");
#endif
  for (const auto& [arguments_told, arguments] : argument_lists) {
    for (const auto& [redirection, told] : redirections) {
      for (const bool cut_pending : {false, true}) {
        const std::string where =
            arguments_told + redirection + (cut_pending ? ", a cut overwrite pending" : "");
        const fs::path folder = make_scratch_folder() / "map";
        fs::create_directories(folder / "logs");
        write_file(folder / kScript, kOriginal);
        link_script(folder);
        if (cut_pending) {
          run_with_fault(folder, call_that_cuts_an_overwrite(folder), "kill");
          ASSERT_TRUE(fs::exists(folder / kMark));
        }
        const std::string before = contents(folder / kScript);

        const int status = run_shell(folder, shell_word(tool_path()) + arguments + redirection);

        EXPECT_EQ(status, 1) << where;
        EXPECT_SAME_BYTES(contents(folder / kScript), before) << where;
        if (!told.empty()) {
          EXPECT_TRUE(contents(folder / "told").ends_with(message(told))) << where;
        }
        ASSERT_EQ(run_tool(folder).status, 0) << where;
        EXPECT_SAME_BYTES(contents(folder / kScript), kRewritten) << where;
      }
    }
  }
}

}  // namespace
