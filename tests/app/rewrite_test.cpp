// Runs the built jassrewrite in scratch folders and compares the exact bytes of its standard
// output, its standard error, "tempwar3map.j" and the script. The same tests run against the
// Windows build under Wine; what needs a POSIX shell is marked.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/faulty_runs.h"
#include "app/told_claims.h"
#include "app/tool_runs.h"
#include "test_support.h"

namespace {

using namespace jassrewrite::end_to_end;
using jassrewrite::testing_support::NameOfCase;

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
};

class Rewrite : public testing::TestWithParam<ScriptCase> {};

TEST_P(Rewrite, RewritesTheScriptInPlace) {
  const fs::path folder = make_map_folder(GetParam().script);

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0);
  EXPECT_SAME_BYTES(run.out, header() + on_console(GetParam().shown));
  EXPECT_EQ(run.err, "");
  EXPECT_SAME_BYTES(read_file(folder / "tempwar3map.j"), GetParam().rewritten);
  EXPECT_SAME_BYTES(read_file(folder / "logs/outputwar3map.j"), GetParam().rewritten);
  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    left.push_back(entry.path().lexically_relative(folder).generic_string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"logs", "logs/outputwar3map.j", "tempwar3map.j"}));
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Rewrite, testing::ValuesIn(kScriptCases), NameOfCase());

// Regression: where a refused run had said that the complete rewritten script was kept in
// tempwar3map.j, and the script was then missing, the next run emptied tempwar3map.j; the run
// after that, finding the empty script that the first one made, emptied it too. A tempwar3map.j
// with anything in it beside a missing or empty script is left as it is, and the run says so; an
// empty one, or none, is the run's to use. An empty script is told like a missing one.
TEST(EndToEnd, MissingOrEmptyScriptWarnsAndLeavesEmptyFiles) {
  for (const char* found : {"not found", "empty"}) {
    const std::string told = message("jassrewrite: logs/outputwar3map.j: "s + found +
                                     ", nothing to rewrite (is this the map's folder?)\n");
    for (const char* left : {"", "(none)", "globals\r\n//!beginusercode\r\n-- kept\r\n"}) {
      const std::string kept = left;
      const std::string where = std::string(found) + ", tempwar3map.j " + kept;
      const fs::path folder = make_scratch_folder();
      fs::create_directory(folder / "logs");
      if (found == "empty"s) {
        write_file(folder / "logs/outputwar3map.j", "");
      }
      if (kept != "(none)") {
        write_file(folder / "tempwar3map.j", kept);
      }

      const ToolRun run = run_tool(folder);

      EXPECT_EQ(run.status, 0) << where;
      EXPECT_EQ(run.out, header()) << where;
      EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), "") << where;
      if (kept.empty() || kept == "(none)") {
        EXPECT_EQ(run.err, told) << where;
        EXPECT_EQ(read_file(folder / "tempwar3map.j"), "") << where;
        continue;
      }
      EXPECT_SAME_BYTES(read_file(folder / "tempwar3map.j"), kept);
      EXPECT_EQ(run.err, told + message("jassrewrite: tempwar3map.j: not emptied, since it may "
                                        "hold the only copy of an earlier rewrite\n"))
          << where;
    }
  }
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

// Regression: once the recovery had given that new file the script's name, a failure or an
// interrupt after that said that the script was unchanged.
TEST(EndToEnd, ARewriteGivenTheScriptsNameIsNeverToldUnchanged) {
#ifdef _WIN32
  const std::vector<std::string> faults = {"io"};
#else
  const std::vector<std::string> faults = {"io", "interrupt"};
#endif
  int failed_once_named = 0;
  for (const std::string& fault : faults) {
    for (long call = 1;; ++call) {
      const std::string where = fault + " at call " + std::to_string(call);
      const fs::path folder = make_scratch_folder() / "map";
      fs::create_directories(folder / "logs");
      write_file(folder / kTemp, kRewritten);
      write_file(folder / kReplacement, kRewritten);

      const ToolRun run = run_with_fault(folder, call, fault);
      if (!reached(run)) {
        break;
      }
      const bool named = fs::exists(folder / kScript);
      expect_only_true_claims(folder, run, where);
      failed_once_named += named && run.status != 0 ? 1 : 0;
      if (HasFailure()) {
        return;
      }
    }
  }
  EXPECT_GT(failed_once_named, 0) << "no run failed once the script had its name";
}

#ifndef _WIN32
// Regression: with standard error appended to that new file, the recovery gave it the script's
// name and then wrote its message into it, at the end of the script, and the run emptied
// tempwar3map.j, which held the only other copy of the rewrite.
TEST(EndToEnd, MessagesIntoTheRewriteLeftBesideAMissingScriptAreRefused) {
  const std::string rewritten = "//!beginusercode\r\n-- c\r\n";
  const fs::path folder = make_map_folder(rewritten);
  write_file(folder / "tempwar3map.j", rewritten);
  fs::rename(folder / "logs/outputwar3map.j", folder / "logs/outputwar3map.j.jassrewrite-new");

  const int status =
      run_shell(folder, "\"$TOOL\" >/dev/null 2>>logs/outputwar3map.j.jassrewrite-new");

  EXPECT_EQ(status, 1);
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j.jassrewrite-new"), rewritten);
  EXPECT_EQ(read_file(folder / "tempwar3map.j"), rewritten);
  EXPECT_FALSE(fs::exists(folder / "logs/outputwar3map.j"));
}
#endif

TEST(EndToEnd, MissingLogsFolderIsNotCreated) {
  const fs::path folder = make_scratch_folder();

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, message("jassrewrite: logs/outputwar3map.j: not found, nothing to rewrite "
                             "(is this the map's folder?)\n"));
  EXPECT_EQ(read_file(folder / "tempwar3map.j"), "");
  EXPECT_FALSE(fs::exists(folder / "logs"));
}

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
  EXPECT_EQ(run.err,
            "jassrewrite: logs/outputwar3map.j: Cannot allocate memory; the script is unchanged\n");
  EXPECT_SAME_BYTES(read_file(folder / "logs/outputwar3map.j"), script);
}

#endif  // _WIN32

}  // namespace
