// The new file takes the script's place only while both names lead to what the run wrote and read:
// another program's file at the new file's name is neither put in place nor removed, and a write
// into the script meanwhile stands; only a commit that holds claims the script rewritten.

#include "replace/new_file_commit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "replace/copying.h"
#include "replace/replacement_runs.h"
#include "test_support.h"

namespace jassrewrite {
namespace {

namespace fs = std::filesystem;
using replacement_runs::content_of_bytes;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;

struct CommitCase {
  const char* name;
  // What another program does right before the commit.
  void (*meanwhile)(const fs::path& folder, const fs::path& new_file);
  std::optional<Reason> stopped_by;
  std::string script_after;
  // What the new file's name leads to once the commit is over, while the object holds it.
  std::optional<std::string> at_new_name;
};

const CommitCase kCommitCases[] = {
    {"PutsTheRewriteInPlace", [](const fs::path&, const fs::path&) {}, {}, "rewrite", {}},
    {"AnotherFileAtTheNewFilesNameStays",
     [](const fs::path& folder, const fs::path& new_file) {
       write_file(folder / "other.j", "another program's");
       fs::rename(folder / "other.j", new_file);
     },
     Reason::kNewFileChanged, "// script\n", "another program's"},
    {"AWriteIntoTheScriptStands",
     [](const fs::path& folder, const fs::path&) {
       write_file(folder / "script.j", "// SCRIPT\n");
     },
     Reason::kChangedWhileRewritten, "// SCRIPT\n", "rewrite"},
};

TEST(NewFileCommit, PutsOnlyTheRunsOwnFileInPlace) {
  for (const CommitCase& row : kCommitCases) {
    SCOPED_TRACE(row.name);
    const fs::path folder = make_scratch_folder() / row.name;
    fs::create_directory(folder);
    write_file(folder / "script.j", "// script\n");
    RunLocks locks;
    Patience patience([](const Notice&) {});
    OpenedScript script{.path = (folder / "script.j").string()};
    ASSERT_FALSE(script.open(locks, patience));
    script.content = content_of(script.file).value;

    TemporaryFile temp((folder / "temp.j").string());
    ASSERT_FALSE(temp.open(script, patience, Claim::kUnchanged));
    ASSERT_FALSE(write(temp.file(), "rewrite"));
    ASSERT_FALSE(temp.record_rewrite(content_of_bytes("rewrite")));
    temp.complete_rewrite();

    const fs::path new_path = folder / "script.j.new";
    Result<NewFile> made = NewFile::create(new_path.string());
    ASSERT_FALSE(made.error) << made.error.message();
    NewFile& new_file = made.value;
    ASSERT_FALSE(write(new_file.file(), "rewrite"));
    ASSERT_TRUE(new_file.finish(temp.rewrite_content()).value);

    row.meanwhile(folder, new_path);
    ScriptState state = ScriptState::kUnchanged;
    const Committed committed = NewFileCommit(new_file, script, temp, patience, state).commit();

    EXPECT_FALSE(committed.refused_its_place);
    if (row.stopped_by) {
      ASSERT_TRUE(committed.error.has_value());
      EXPECT_EQ(committed.error->reason, *row.stopped_by);
      EXPECT_EQ(state, ScriptState::kUnchanged);
    } else {
      ASSERT_FALSE(committed.error.has_value()) << committed.error->code.message();
      EXPECT_EQ(state, ScriptState::kRewritten);
    }
    EXPECT_EQ(read_file(folder / "script.j"), row.script_after);
    EXPECT_EQ(fs::exists(new_path), row.at_new_name.has_value());
    if (row.at_new_name) {
      EXPECT_EQ(read_file(new_path), *row.at_new_name);
      // Only the run's own file is removed with its object.
      EXPECT_EQ(new_file.active(), *row.at_new_name == "rewrite");
    }
  }
}

}  // namespace
}  // namespace jassrewrite
