// What the new script, or the script overwritten in place, keeps of the old one, and a disk too
// full for the rewrite found before the script is touched and left as it was found.

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

struct FullDiskCase {
  const char* name;
  // A second name keeps the script from being replaced by a new file.
  bool second_name;
  // Room left besides tempwar3map.j, in parts of the script's growth from LF to CR LF: less than
  // none leaves tempwar3map.j unfinished.
  double room;
  const char* told;
};

void PrintTo(const FullDiskCase& row, std::ostream* os) { *os << row.name; }

const FullDiskCase kFullDiskCases[] = {
    // Regression: an overwrite in place on a nearly full disk always left the script cut short
    // under its mark: tempwar3map.j fitted, the script's growth did not. The space is claimed
    // first now, and a disk without it is refused with the script untouched.
    {"OverwriteInPlace", true, 0.5,
     "logs/outputwar3map.j: No space left on device; the script is unchanged; the complete "
     "rewritten script is kept in tempwar3map.j; free some space, then run again"},
    {"NewFile", false, 0.5,
     "logs/outputwar3map.j: No space left on device; the script is unchanged; the complete "
     "rewritten script is kept in tempwar3map.j; free some space, then run again"},
    // Regression: the part of the rewrite that fitted stayed in tempwar3map.j, and the disk full.
    {"TemporaryFile", false, -4,
     "tempwar3map.j: No space left on device; the script is unchanged; free some space, then run "
     "again"},
};

class FullDisk : public testing::TestWithParam<FullDiskCase> {};

// A full disk is told with the next step, and a run that failed gives back the space it took but
// for the complete rewrite; with the space freed, a run rewrites the script.
TEST_P(FullDisk, IsToldAndGivenBackWhatTheRunTook) {
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
  if (GetParam().second_name) {
    fs::create_hard_link(folder / "logs/outputwar3map.j", folder / "other-name.j");
  }
  struct statvfs disk {};
  ASSERT_EQ(statvfs(folder.c_str(), &disk), 0);
  const auto room = static_cast<std::int64_t>((rewritten.size() + 4095) / 4096 * 4096) +
                    static_cast<std::int64_t>(
                        GetParam().room * static_cast<double>(rewritten.size() - script.size()));
  write_file(folder / "filler",
             std::string(static_cast<std::size_t>(
                             static_cast<std::int64_t>(disk.f_bavail * disk.f_frsize) - room),
                         '\0'));
  ASSERT_EQ(statvfs(folder.c_str(), &disk), 0);
  const auto free_before = disk.f_bavail;

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "jassrewrite: " + std::string(GetParam().told) + "\n");
  EXPECT_SAME_BYTES(read_file(folder / "logs/outputwar3map.j"), script);
  EXPECT_FALSE(fs::exists(folder / "tempwar3map.j.copying"));
  EXPECT_FALSE(fs::exists(folder / "logs/outputwar3map.j.jassrewrite-new"));
  const std::string temp = read_file(folder / "tempwar3map.j");
  EXPECT_TRUE(temp.empty() || temp == rewritten) << "part of the rewrite kept: " << temp.size();
  ASSERT_EQ(statvfs(folder.c_str(), &disk), 0);
  EXPECT_EQ(disk.f_bavail + (temp.size() + disk.f_frsize - 1) / disk.f_frsize, free_before);
  fs::remove(folder / "filler");
  EXPECT_EQ(run_tool(folder).status, 0);
  EXPECT_SAME_BYTES(read_file(folder / "logs/outputwar3map.j"), rewritten);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, FullDisk, testing::ValuesIn(kFullDiskCases),
                         jassrewrite::testing_support::NameOfCase());

#endif  // _WIN32

}  // namespace
