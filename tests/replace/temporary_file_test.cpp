// tempwar3map.j claims the complete rewrite only while it holds it as recorded: once another
// program's write is seen it never claims it again, and only then may it be emptied for space.

#include "replace/temporary_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "replace/replacement_runs.h"
#include "test_support.h"

namespace jassrewrite {
namespace {

using replacement_runs::content_of_bytes;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;

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
