// tempwar3map.j is emptied on opening only where it cannot hold the only copy of an earlier
// rewrite, and never where it is not the run's own; it claims the complete rewrite only while it
// holds it as recorded: once another program's write is seen it never claims it again, and only
// then may it be emptied for space.

#include "replace/temporary_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "replace/replacement_runs.h"
#include "test_support.h"

namespace jassrewrite {
namespace {

using replacement_runs::content_of_bytes;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;

enum class TempIs { kFile, kTheScriptItself, kFolder };

struct OpeningCase {
  const char* name;
  // The script's bytes; none for a missing script.
  std::optional<std::string> script;
  TempIs temp;
  std::optional<Reason> refusal;
  // What a file at its name holds once it is opened.
  std::string temp_after;
  bool left_as_found;
};

const OpeningCase kOpeningCases[] = {
    {"BesideAScriptToRewriteIsEmptied", "// script\n", TempIs::kFile, {}, "", false},
    {"BesideAMissingScriptIsKept", {}, TempIs::kFile, {}, "earlier rewrite", true},
    {"BesideAnEmptyScriptIsKept", "", TempIs::kFile, {}, "earlier rewrite", true},
    {"TheScriptItselfIsRefused", "// script\n", TempIs::kTheScriptItself, Reason::kTheScriptItself,
     "// script\n", false},
    {"AFolderIsRefused", "// script\n", TempIs::kFolder, Reason::kFolder, "", false},
};

TEST(TemporaryFile, OpeningEmptiesOnlyWhatCannotHoldAnEarlierRewrite) {
  for (const OpeningCase& row : kOpeningCases) {
    SCOPED_TRACE(row.name);
    const std::filesystem::path folder = make_scratch_folder() / row.name;
    std::filesystem::create_directory(folder);
    const std::filesystem::path script_path = folder / "script.j";
    const std::filesystem::path temp_path = folder / "temp.j";
    if (row.script) {
      write_file(script_path, *row.script);
    }
    if (row.temp == TempIs::kFile) {
      write_file(temp_path, "earlier rewrite");
    } else if (row.temp == TempIs::kTheScriptItself) {
      std::filesystem::create_hard_link(script_path, temp_path);
    } else {
      std::filesystem::create_directory(temp_path);
    }
    RunLocks locks;
    Patience patience([](const Notice&) {});
    OpenedScript script{.path = script_path.string()};
    ASSERT_FALSE(script.open(locks, patience));

    TemporaryFile temp(temp_path.string());
    const std::optional<Error> error = temp.open(script, patience, Claim::kUnchanged);
    if (row.refusal) {
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->kind, ErrorKind::kRefused);
      EXPECT_EQ(error->reason, *row.refusal);
    } else {
      ASSERT_FALSE(error.has_value()) << error->code.message();
      EXPECT_EQ(temp.left_as_found(), row.left_as_found);
    }
    if (row.temp != TempIs::kFolder) {
      EXPECT_EQ(read_file(temp_path), row.temp_after);
    }
    if (row.script) {
      EXPECT_EQ(read_file(script_path), *row.script);
    }
  }
}

TEST(TemporaryFile, ClaimsTheRewriteOnlyWhileItHoldsItAsRecorded) {
  const std::filesystem::path path = make_scratch_folder() / "temp.j";
  TemporaryFile temp(path.string());
  Result<File> opened = open_or_create_unfollowed(path.string());
  ASSERT_FALSE(opened.error) << opened.error.message();
  temp.file() = std::move(opened.value);
  ASSERT_FALSE(write(temp.file(), "rewrite"));

  const std::optional<Error> other = temp.record_rewrite(content_of_bytes("rewritten"));
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->kind, ErrorKind::kRefused);

  ASSERT_FALSE(temp.record_rewrite(content_of_bytes("rewrite")));
  temp.complete_rewrite();
  EXPECT_FALSE(temp.check_as_recorded());
  EXPECT_FALSE(temp.check_contents());
  EXPECT_FALSE(temp.empty_unless_complete());
  EXPECT_EQ(read_file(path), "rewrite") << "the complete rewrite is never emptied";

  // Another program's write of the same size, which coarse times may not show.
  write_file(path, "REWRITE");
  const std::optional<Error> changed = temp.check_contents();
  ASSERT_TRUE(changed.has_value());
  EXPECT_EQ(changed->kind, ErrorKind::kRefused);
  EXPECT_FALSE(temp.holds_rewrite());
  EXPECT_FALSE(temp.empty_unless_complete());
  EXPECT_EQ(read_file(path), "");
}

}  // namespace
}  // namespace jassrewrite
