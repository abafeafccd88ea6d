// What the new script, or the script overwritten in place, keeps of the old one, and a disk too
// full for the rewrite found before the script is touched.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/tool_runs.h"
#include "test_support.h"

#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace {

using namespace jassrewrite::end_to_end;

// Regression: claiming the space for an empty rewrite failed, and an empty script with a second
// name, which is overwritten in place, could never be rewritten. An empty script is its own
// rewrite, and keeps its names.
TEST(EndToEnd, EmptyScriptWithASecondNameIsLeftAsItIs) {
  const fs::path folder = make_map_folder("");
  fs::create_hard_link(folder / "logs/outputwar3map.j", folder / "other-name.j");

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, message("jassrewrite: logs/outputwar3map.j: empty, nothing to rewrite (is "
                             "this the map's folder?)\n"));
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), "");
#ifndef _WIN32
  // The runtime on Windows counts one link for every file.
  EXPECT_EQ(fs::hard_link_count(folder / "logs/outputwar3map.j"), 2U);
#endif
}

#ifndef _WIN32

// Regression: a script readable by its owner only left a tempwar3map.j that everyone could read.
// The script keeps its bits, and its extended attributes (and access control lists, which are kept
// as such).
TEST(EndToEnd, PermissionsAndAttributesOfTheScriptAreKept) {
  // Neither the 0600 that a new file starts with nor the umask's 0644.
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  // Without extended attributes the script is replaced by a new file; with them, overwritten.
  for (const bool with_attribute : {false, true}) {
    const fs::path folder = make_map_folder("//!beginusercode\n// private\n");
    const fs::path script = folder / "logs/outputwar3map.j";
    fs::permissions(script, mode);
    if (with_attribute && setxattr(script.c_str(), "user.origin", "editor", 6, 0) != 0) {
      GTEST_SKIP() << "the file system here has no extended attributes; only the bits were checked";
    }

    ASSERT_EQ(run_tool(folder).status, 0);

    EXPECT_EQ(read_file(script), "//!beginusercode\r\n-- private\r\n");
    EXPECT_EQ(fs::status(script).permissions(), mode) << with_attribute;
    EXPECT_EQ(fs::status(folder / "tempwar3map.j").permissions(), mode) << with_attribute;
    char value[16] = {};
    EXPECT_EQ(getxattr(script.c_str(), "user.origin", value, sizeof value),
              with_attribute ? 6 : -1);
  }
}

// The new file that replaces the script has the script's owner and group, not those of the user
// who ran the tool (root, for a script of a build user).
TEST(EndToEnd, OwnerAndGroupOfTheScriptAreKept) {
  const fs::path folder = make_map_folder("//!beginusercode\n// owned\n");
  const fs::path script = folder / "logs/outputwar3map.j";
  if (geteuid() != 0 || chown(script.c_str(), 65534, 65534) != 0) {
    GTEST_SKIP() << "only root can give a file to another user";
  }
  struct stat before {};
  ASSERT_EQ(stat(script.c_str(), &before), 0);

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0) << run.err;
  struct stat after {};
  ASSERT_EQ(stat(script.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "overwritten in place, not replaced";
  EXPECT_EQ(after.st_uid, 65534U);
  EXPECT_EQ(after.st_gid, 65534U);
  EXPECT_EQ(read_file(script), "//!beginusercode\r\n-- owned\r\n");
}

// Regression: an overwrite in place on a nearly full disk always left the script cut short under
// its mark: tempwar3map.j fitted, the script's growth from LF to CR LF did not. The space is
// claimed first now, and a disk without it is refused with the script untouched.
TEST(EndToEnd, AFullDiskIsFoundBeforeTheScriptIsOverwrittenInPlace) {
  const fs::path folder = make_scratch_folder();
  if (mount("jassrewrite-test", folder.c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "no small file system can be mounted here: " << std::strerror(errno);
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{folder};
  std::string script;
  std::string rewritten;
  while (script.size() < (std::size_t{1} << 20)) {
    script += "// line\n";
    rewritten += "// line\r\n";
  }
  fs::create_directory(folder / "logs");
  write_file(folder / "logs/outputwar3map.j", script);
  // A second name keeps the script from being replaced by a new file.
  fs::create_hard_link(folder / "logs/outputwar3map.j", folder / "other-name.j");
  // Room for tempwar3map.j, and for half the script's growth besides.
  struct statvfs disk {};
  ASSERT_EQ(statvfs(folder.c_str(), &disk), 0);
  const std::uint64_t room = (rewritten.size() + 4095) / 4096 * 4096;
  write_file(folder / "filler", std::string(disk.f_bavail * disk.f_frsize - room -
                                                (rewritten.size() - script.size()) / 2,
                                            '\0'));

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "jassrewrite: logs/outputwar3map.j: No space left on device; the script is unchanged; "
            "the complete rewritten script is kept in tempwar3map.j\n");
  EXPECT_SAME_BYTES(read_file(folder / "logs/outputwar3map.j"), script);
  EXPECT_FALSE(fs::exists(folder / "tempwar3map.j.copying"));
  fs::remove(folder / "filler");
  EXPECT_EQ(run_tool(folder).status, 0);
  EXPECT_SAME_BYTES(read_file(folder / "logs/outputwar3map.j"), rewritten);
}

#endif  // _WIN32

}  // namespace
