// The script is opened where its name leads to a file, found missing where nothing is at its name,
// and refused otherwise; it is still the one that was read only while each of its checks says so:
// another program's save by a new file, a write that changes its size, and a write of the same
// size that only its bytes show are each told as a change.

#include "replace/opened_script.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "replace/copying.h"
#include "test_support.h"

namespace jassrewrite {
namespace {

using testing_support::make_scratch_folder;
using testing_support::write_file;

OpenedScript open_as_read(const std::filesystem::path& path) {
  OpenedScript script{.path = path.string(), .target = path.string(), .present = true};
  Result<File> opened = open_existing(path.string());
  EXPECT_FALSE(opened.error) << opened.error.message();
  script.file = std::move(opened.value);
  const Result<FileStatus> as_opened = status(script.file);
  EXPECT_FALSE(as_opened.error);
  script.as_opened = as_opened.value;
  script.as_read = snapshot_of(as_opened.value);
  script.content = content_of(script.file).value;
  return script;
}

struct OpeningCase {
  const char* name;
  // What is put at the script's name in the folder given.
  std::function<void(const std::filesystem::path& folder)> make;
  std::optional<Reason> refusal;
  bool present;
  // Where the script really is, relative to the folder.
  const char* target;
};

const OpeningCase kOpeningCases[] = {
    {"Missing", [](const std::filesystem::path&) {}, {}, false, ""},
    {"AFile",
     [](const std::filesystem::path& f) { write_file(f / "script.j", "// s\n"); },
     {},
     true,
     "script.j"},
    {"AFolder",
     [](const std::filesystem::path& f) { std::filesystem::create_directory(f / "script.j"); },
     Reason::kFolderNotScript, false, ""},
#ifndef _WIN32
    {"ALinkToAFile",
     [](const std::filesystem::path& f) {
       write_file(f / "linked.j", "// s\n");
       std::filesystem::create_symlink("linked.j", f / "script.j");
     },
     {},
     true,
     "linked.j"},
    {"ADanglingLink",
     [](const std::filesystem::path& f) {
       std::filesystem::create_symlink("gone.j", f / "script.j");
     },
     Reason::kDanglingLink, false, ""},
#endif
};

TEST(OpenedScript, OpensAFileAtItsNameFindsNoneOrRefuses) {
  for (const OpeningCase& row : kOpeningCases) {
    SCOPED_TRACE(row.name);
    const std::filesystem::path folder = make_scratch_folder() / row.name;
    std::filesystem::create_directory(folder);
    row.make(folder);
    RunLocks locks;
    Patience patience([](const Notice&) {});
    OpenedScript script{.path = (folder / "script.j").string()};
    const std::optional<Error> error = script.open(locks, patience);
    if (row.refusal) {
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->kind, ErrorKind::kRefused);
      EXPECT_EQ(error->reason, *row.refusal);
      continue;
    }
    ASSERT_FALSE(error.has_value()) << error->code.message();
    EXPECT_EQ(script.present, row.present);
    if (row.present) {
      EXPECT_EQ(std::filesystem::path(script.target), folder / row.target);
      EXPECT_EQ(script.as_opened.size, 5U);
    }
  }
}

bool told_changed(const std::optional<Error>& error) {
  return error.has_value() && error->kind == ErrorKind::kChanged;
}

TEST(OpenedScript, EachCheckTellsTheChangeItCanSee) {
  const std::filesystem::path folder = make_scratch_folder();
  const std::filesystem::path path = folder / "script.j";
  write_file(path, "// script\n");
  OpenedScript script = open_as_read(path);
  EXPECT_FALSE(script.check_opened());
  EXPECT_FALSE(script.check_contents());
  EXPECT_FALSE(script.check_name(true));

  // Saved by a new file: the name leads elsewhere. (Windows replaces no file that is open.)
  script.file = File();
  write_file(folder / "saved.j", "// script\n");
  ASSERT_FALSE(replace((folder / "saved.j").string(), path.string()));
  EXPECT_TRUE(told_changed(script.check_name(false)));

  // Written into in place, with the same size: the bytes tell, whatever the times say.
  script = open_as_read(path);
  write_file(path, "// SCRIPT\n");
  EXPECT_TRUE(told_changed(script.check_contents()));
  write_file(path, "// script, longer\n");
  EXPECT_TRUE(told_changed(script.check_opened()));
  EXPECT_TRUE(told_changed(script.check_name(true)));
  EXPECT_FALSE(script.check_name(false)) << "the same file, under the same name";
}

}  // namespace
}  // namespace jassrewrite
