// The new file that takes the script's place removes only what is its own: a file it did not make,
// or a name it gave up, is never removed.

#include "replace/new_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "replace/replacement_runs.h"
#include "test_support.h"

namespace jassrewrite {
namespace {

using replacement_runs::content_of_bytes;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;

TEST(NewFile, RemovesOnlyWhatItOwns) {
  const std::filesystem::path folder = make_scratch_folder();
  const std::string path = (folder / "script.j.new").string();

  {
    Result<NewFile> made = NewFile::create(path);
    ASSERT_FALSE(made.error) << made.error.message();
    // Moved, it is owned once: by the object it went to.
    NewFile moved = std::move(made.value);
    EXPECT_FALSE(made.value.active());
    EXPECT_TRUE(std::filesystem::exists(path));
  }
  EXPECT_FALSE(std::filesystem::exists(path)) << "an active one goes with its object";

  {
    Result<NewFile> made = NewFile::create(path);
    ASSERT_FALSE(made.error) << made.error.message();
    EXPECT_EQ(made.value.deactivate(), path);
    EXPECT_FALSE(made.value.remove());
  }
  EXPECT_TRUE(std::filesystem::exists(path)) << "a name given up is left as it is";

  {
    // Another program's file at that name: not made, and not removed.
    write_file(path, "another program's");
    const Result<NewFile> refused = NewFile::create(path);
    EXPECT_EQ(refused.error, std::errc::file_exists);
    EXPECT_FALSE(refused.value.active());
  }
  EXPECT_EQ(read_file(path), "another program's");

  std::filesystem::remove(path);
  {
    // Given up when its name was swapped with the script's, then swapped back: the run's again.
    Result<NewFile> made = NewFile::create(path);
    ASSERT_FALSE(made.error) << made.error.message();
    NewFile again = NewFile::taken_back(made.value.deactivate());
    EXPECT_TRUE(again.active());
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(NewFile, FinishTellsWhetherItHoldsWhatWasWritten) {
  const std::filesystem::path folder = make_scratch_folder();
  const std::string path = (folder / "script.j.new").string();
  Result<NewFile> made = NewFile::create(path);
  ASSERT_FALSE(made.error) << made.error.message();
  ASSERT_FALSE(write(made.value.file(), "rewrite"));

  const Result<bool> other = made.value.finish(content_of_bytes("rewritten"));
  EXPECT_FALSE(other.error);
  EXPECT_FALSE(other.value);

  const Result<bool> same = made.value.finish(content_of_bytes("rewrite"));
  ASSERT_FALSE(same.error) << same.error.message();
  EXPECT_TRUE(same.value);
  const Result<FileStatus> named = status_at(path);
  ASSERT_FALSE(named.error);
  EXPECT_TRUE(is_as_recorded(snapshot_of(named.value), made.value.as_written()));
  EXPECT_FALSE(made.value.file().is_open()) << "finished, it is closed";
}

}  // namespace
}  // namespace jassrewrite
