// An overwrite in place cut short by a kill in the test build, and the next run's recovery of it.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/faulty_runs.h"
#include "app/tool_runs.h"
#include "test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace jassrewrite::end_to_end;
using jassrewrite::testing_support::NameOfCase;

#ifndef _WIN32
// A run that finds an overwrite cut short finishes it, and says so, but only from files that no
// one else could have put there: a tempwar3map.j with another name, or of another user, is refused
// even where the mark's record has been made to fit it.
struct RecoveryCase {
  const char* name;
  std::function<void(const fs::path& folder)> tamper;
  std::string told;
};

void PrintTo(const RecoveryCase& row, std::ostream* os) { *os << row.name; }

const std::string kNothingChanged =
    "; an earlier run may have been cut off while writing back logs/outputwar3map.j; nothing was "
    "changed\n";

const std::vector<RecoveryCase> kRecoveryCases = {
    {"Finished", [](const fs::path&) {},
     "jassrewrite: logs/outputwar3map.j: finished writing back the rewrite that an earlier run "
     "left unfinished\n"},
    {"TemporaryFileWithAnotherName",
     [](const fs::path& f) { fs::create_hard_link(f / kTemp, f.parent_path() / "elsewhere.j"); },
     "jassrewrite: tempwar3map.j: has other hard links" + kNothingChanged},
    {"TemporaryFileOfAnotherUser",
     [](const fs::path& f) {
       if (geteuid() != 0 || chown((f / kTemp).c_str(), 65534, 65534) != 0) {
         GTEST_SKIP() << "only root can give a file to another user";
       }
     },
     "jassrewrite: tempwar3map.j: belongs to another user" + kNothingChanged},
};

class CutOverwrite : public testing::TestWithParam<RecoveryCase> {};

TEST_P(CutOverwrite, IsFinishedOnlyFromTrustedFiles) {
  const fs::path folder = make_scratch_folder() / "map";
  fs::create_directories(folder / "logs");
  write_file(folder / kScript, kOriginal);
  link_script(folder);
  run_with_fault(folder, call_that_cuts_an_overwrite(folder), "kill");
  ASSERT_TRUE(fs::exists(folder / kMark));
  const std::string cut = contents(folder / kScript);
  GetParam().tamper(folder);
  if (IsSkipped()) {
    return;
  }
  // The mark records tempwar3map.j's change time, which a new name or owner moves on.
  const std::string mark = contents(folder / kMark);
  struct stat temp {};
  ASSERT_EQ(stat((folder / kTemp).c_str(), &temp), 0);
  const std::size_t script_line_end = mark.find('\n') + 1;
  const std::string digest_line = mark.substr(mark.find('\n', script_line_end) + 1);
  write_file(folder / kMark,
             mark.substr(0, script_line_end) + std::to_string(temp.st_dev) + " " +
                 std::to_string(temp.st_ino) + " " + std::to_string(temp.st_size) + " " +
                 std::to_string(temp.st_ctim.tv_sec * 1000000000LL + temp.st_ctim.tv_nsec) + "\n" +
                 digest_line);

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.err, GetParam().told);
  if (fs::exists(folder / kMark)) {
    EXPECT_EQ(run.status, 1);
    EXPECT_SAME_BYTES(contents(folder / kScript), cut);
  } else {
    EXPECT_EQ(run.status, 0);
    EXPECT_SAME_BYTES(contents(folder / kScript), kRewritten);
  }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, CutOverwrite, testing::ValuesIn(kRecoveryCases), NameOfCase());
#endif

}  // namespace
