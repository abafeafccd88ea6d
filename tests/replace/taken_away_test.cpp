// What another program takes away while the run works: the script or tempwar3map.j gone or
// replaced before the script is replaced, and a tempwar3map.j that a run must not empty.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/messages.h"
#include "replace/replacement_runs.h"
#include "test_support.h"

namespace jassrewrite {
namespace {

using namespace replacement_runs;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;

// Another program's clean-up step, or an editor saving by delete and create, while the run works.
struct TakenAwayCase {
  const char* name;
  // Whether the script has a second name, and so is overwritten in place under the mark.
  bool in_place;
  const char* taken;
  bool replaced_by_a_new_file;
};

void PrintTo(const TakenAwayCase& row, std::ostream* os) { *os << row.name; }

const std::vector<TakenAwayCase> kTakenAwayCases = {
    // Regression: a script that vanished after the run opened it was taken for a folder without
    // one, and a later run emptied tempwar3map.j, which held its rewrite.
    {"ScriptRemoved", false, "script.j", false},
#ifndef _WIN32
    // On Windows a file that another program deletes while the run holds it keeps its name until
    // the run lets go, and Wine does not say that its deletion is pending.
    {"ScriptRemovedBeforeAnOverwriteInPlace", true, "script.j", false},
    // Regression: with tempwar3map.j removed or replaced during an overwrite in place, which reads
    // it through its open handle, the complete rewrite was called "may be cut short" and the mark
    // kept, which locked the folder until it was deleted by hand. (Windows lets no other program
    // remove it while the run holds it.)
    {"TemporaryFileRemovedDuringAnOverwriteInPlace", true, "temp.j", false},
    {"TemporaryFileReplacedDuringAnOverwriteInPlace", true, "temp.j", true},
    {"TemporaryFileRemovedBeforeARename", false, "temp.j", false},
#endif
};

class TakenAway : public testing::TestWithParam<TakenAwayCase> {};

TEST_P(TakenAway, NeverCostsTheRewriteOrCreatesWhatWasTaken) {
  const fs::path folder = make_scratch_folder();
  const std::string rewritten = "//!beginusercode\r\n-- rewritten\r\n";
  write_file(folder / "script.j", "//!beginusercode\n// rewritten\n");
  if (GetParam().in_place) {
    link_script(folder);
  }
  auto replacement = opened_in(folder);
  convert_to(*replacement, rewritten);
  const fs::path taken = folder / GetParam().taken;
  if (GetParam().replaced_by_a_new_file) {
    write_file(folder / "another.j", "another program's\r\n");
    fs::rename(folder / "another.j", taken);
  } else {
    fs::remove(taken);
  }

  const auto error = replacement->copy_back();

  EXPECT_FALSE(fs::exists(folder / "temp.j.copying"));
  EXPECT_FALSE(fs::exists(folder / "script.j.jassrewrite-new"));
  if (std::string(GetParam().taken) == "script.j") {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, ErrorKind::kChanged);
    EXPECT_FALSE(fs::exists(taken)) << "the script was created again";
    EXPECT_EQ(read_file(folder / "temp.j"), rewritten);
  } else {
    EXPECT_FALSE(error.has_value()) << message_of(*error, paths_in(folder));
    EXPECT_EQ(read_file(folder / "script.j"), rewritten);
  }
}

INSTANTIATE_TEST_SUITE_P(CopyBack, TakenAway, testing::ValuesIn(kTakenAwayCases),
                         testing_support::NameOfCase());

// Regression: beside a missing script, a run emptied a tempwar3map.j that held the only copy of a
// rewrite which an earlier run had been refused to put in the script's place.
TEST(Open, ATemporaryFileBesideAMissingScriptIsKept) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "temp.j", "an earlier rewrite\r\n");

  auto replacement = opened_in(folder);

  EXPECT_EQ(replacement->found_script(), FoundScript::kMissing);
  EXPECT_TRUE(replacement->temp_kept());
  ASSERT_FALSE(replacement->converted({}, {}).has_value());
  ASSERT_FALSE(replacement->copy_back().has_value());
  EXPECT_EQ(read_file(folder / "temp.j"), "an earlier rewrite\r\n");
  EXPECT_EQ(read_file(folder / "script.j"), "");
}

#ifndef _WIN32
// Regression: another program emptying tempwar3map.j by its name while the script was put in
// place (a second run with its output sent there) had the script filled with NUL bytes, or
// emptied, and the run exit 0; one that wrote to it and then removed it had its bytes put in the
// script. Windows lets no other program write to it meanwhile.
TEST(CopyBack, ATemporaryFileChangedMeanwhileIsNotCopied) {
  const std::string rewrite(3 * kReadBlockSize, 'r');
  for (const bool in_place : {false, true}) {
    for (const bool then_removed : {false, true}) {
      const fs::path folder = make_scratch_folder() / (in_place ? "in-place" : "new-file") /
                              (then_removed ? "written-and-removed" : "emptied");
      fs::create_directories(folder);
      write_file(folder / "script.j", "original\r\n");
      if (in_place) {
        link_script(folder);
      }
      auto replacement = opened_in(folder);
      convert_to(*replacement, rewrite);
      const fs::path temp = folder / "temp.j";
      if (then_removed) {
        // As a write a moment later would leave it: the same size, a later time.
        const auto written_at = fs::last_write_time(temp) + std::chrono::seconds(1);
        write_file(temp, std::string(rewrite.size(), 'x'));
        fs::last_write_time(temp, written_at);
        fs::remove(temp);
      } else {
        write_file(temp, "");
      }

      const auto failure = replacement->copy_back();

      ASSERT_TRUE(failure.has_value()) << folder;
      EXPECT_EQ(failure->path, (folder / "temp.j").string());
      EXPECT_EQ(failure->claim, Claim::kUnchanged);
      EXPECT_TRUE(failure->tells_claim);
      EXPECT_EQ(read_file(folder / "script.j"), "original\r\n");
      EXPECT_FALSE(fs::exists(folder / "script.j.jassrewrite-new"));
      EXPECT_FALSE(fs::exists(folder / "temp.j.copying"));
    }
  }
}

#endif

}  // namespace
}  // namespace jassrewrite
