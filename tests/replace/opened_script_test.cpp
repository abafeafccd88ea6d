// The script is still the one that was read only while each of its checks says so: another
// program's save by a new file, a write that changes its size, and a write of the same size that
// only its bytes show are each told as a change.

#include "replace/opened_script.h"

#include <gtest/gtest.h>

#include <filesystem>
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
