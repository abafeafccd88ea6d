// Each fault in or around the map folder must leave the script exactly as it was, report the file
// and the reason, and exit 1.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/tool_runs.h"
#include "os_files/content_digest.h"
#include "test_support.h"

#ifndef _WIN32
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace jassrewrite::end_to_end;
using jassrewrite::testing_support::NameOfCase;

// Each fault must leave the script exactly as it was, report the file and the reason, and exit 1.
struct FaultCase {
  const char* name;
  std::function<void(const fs::path& folder)> setup;
  std::string expected_error;
  const char* limits = "";      // POSIX shell commands run just before the tool
  bool needs_non_root = false;  // permission bits do not stop root
};

void PrintTo(const FaultCase& row, std::ostream* os) { *os << row.name; }

// Moves the script aside to "keep" and puts something that is not a file in its place.
std::function<void(const fs::path&)> replace_script(void (*make)(const fs::path& script)) {
  return [make](const fs::path& folder) {
    fs::rename(folder / "logs/outputwar3map.j", folder / "keep");
    make(folder / "logs/outputwar3map.j");
  };
}

const std::string kSameFile =
    "jassrewrite: tempwar3map.j: is the script itself (a link to logs/outputwar3map.j)\n";
const std::string kSymbolicLink =
    "jassrewrite: tempwar3map.j: is a symbolic link; delete it and run again\n";
const std::string kNotAFile = "jassrewrite: tempwar3map.j: not a regular file\n";
const std::string kMarkNotKnown =
    "; an earlier run may have been cut off while writing back logs/outputwar3map.j; nothing was "
    "changed\n";
const std::string kMakeItUsable =
    "; the script is unchanged; make it readable and writable, then run again\n";
// Windows tells a file marked read-only from one the user may not open; Linux cannot. Where Wine
// has no words for the error, the tool gives those of the condition it stands for.
#ifdef _WIN32
const std::string kReadOnly =
    system_reason("The file is marked read-only", 6009 /* read-only file */) +
    "; the script is unchanged; make it writable, then run again\n";
#else
const std::string kReadOnly = "Permission denied" + kMakeItUsable;
#endif
// What links in the folder point to; a link must never lead the tool to write there.
const std::string kOutside = "someone else's file\n";

const std::string kLeftBeside =
    "jassrewrite: logs/outputwar3map.j: not found, but an earlier run left "
    "logs/outputwar3map.j.jassrewrite-new: if that is the complete rewrite, give it the script's "
    "name, otherwise delete it\n";

const std::vector<FaultCase> kFaultCases = {
    {"TemporaryFileIsAFolder", [](const fs::path& f) { fs::create_directory(f / "tempwar3map.j"); },
     "jassrewrite: tempwar3map.j: is a folder; move it away, then run again\n"},
    {"TemporaryFileIsAHardLinkToTheScript",
     [](const fs::path& f) {
       fs::create_hard_link(f / "logs/outputwar3map.j", f / "tempwar3map.j");
     },
     kSameFile},
    // Regression: a tempwar3map.j unpacked from someone's archive as a link had the script written
    // into whatever it linked to.
    {"TemporaryFileIsAHardLinkElsewhere",
     [](const fs::path& f) { fs::create_hard_link(f / "outside", f / "tempwar3map.j"); },
     "jassrewrite: tempwar3map.j: has other hard links; delete it and run again\n"},
    // Regression: a mark that held anything but a record was deleted, and a script that an earlier
    // run had left cut short was kept as if it were whole.
    {"MarkThatIsNotARecord",
     [](const fs::path& f) {
       write_file(f / "tempwar3map.j", "an earlier rewrite\r\n");
       write_file(f / "tempwar3map.j.copying", "1 2 3 4 5\n");
     },
     "jassrewrite: tempwar3map.j.copying: not a record that this tool wrote" + kMarkNotKnown},
    // Regression: where a replacement could not take the script's name, the next run made an
    // empty script and emptied tempwar3map.j. A new file that is not the rewrite in tempwar3map.j
    // byte for byte is not given the script's name.
    {"ScriptMissingButItsRewriteLeftBeside", replace_script([](const fs::path& s) {
       write_file(s.string() + ".jassrewrite-new", "a rewrite\r\n");
       write_file(s.parent_path().parent_path() / "tempwar3map.j", "A rewrite\r\n");
     }),
     kLeftBeside},
    // One cut short, as a run killed while writing it leaves it, is the start of the rewrite only.
    {"ScriptMissingAndItsRewriteCutShortLeftBeside", replace_script([](const fs::path& s) {
       write_file(s.string() + ".jassrewrite-new", "a rewr");
       write_file(s.parent_path().parent_path() / "tempwar3map.j", "a rewrite\r\n");
     }),
     kLeftBeside},
    // An empty leftover is what a run ended right after making it leaves; on Windows the folder's
    // lock makes an empty tempwar3map.j, so the two would match.
    {"ScriptMissingAndAnEmptyFileLeftBeside",
     replace_script([](const fs::path& s) { write_file(s.string() + ".jassrewrite-new", ""); }),
     kLeftBeside},
    // A leftover that is tempwar3map.j under another name would make the two one file for good.
    {"ScriptMissingAndALinkToTheTemporaryFileLeftBeside", replace_script([](const fs::path& s) {
       const fs::path temp = s.parent_path().parent_path() / "tempwar3map.j";
       write_file(temp, "not a rewrite\r\n");
       fs::create_hard_link(temp, s.string() + ".jassrewrite-new");
     }),
     kLeftBeside},
    // A file the user has made read-only is not the tool's to replace.
    {"ScriptIsReadOnly",
     [](const fs::path& f) {
       fs::permissions(f / "logs/outputwar3map.j",
                       fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                       fs::perm_options::remove);
     },
     "jassrewrite: logs/outputwar3map.j: "s + kReadOnly, "", true},
    {"ScriptIsAFolder", replace_script([](const fs::path& s) { fs::create_directory(s); }),
     "jassrewrite: logs/outputwar3map.j: is a folder, not the map's script; move it away, then "
     "run again\n"},
#ifndef _WIN32
    {"TemporaryFileIsASymbolicLinkToTheScript",
     [](const fs::path& f) { fs::create_symlink("logs/outputwar3map.j", f / "tempwar3map.j"); },
     kSymbolicLink},
    {"TemporaryFileIsASymbolicLinkElsewhere",
     [](const fs::path& f) { fs::create_symlink("outside", f / "tempwar3map.j"); }, kSymbolicLink},
    // /dev/null would swallow the script; /dev/full would fail every write.
    {"TemporaryFileIsTheNullDevice",
     [](const fs::path& f) { fs::create_symlink("/dev/null", f / "tempwar3map.j"); },
     kSymbolicLink},
    {"TemporaryFileIsTheFullDevice",
     [](const fs::path& f) { fs::create_symlink("/dev/full", f / "tempwar3map.j"); },
     kSymbolicLink},
    // Regression: a stale mark and a script that was tempwar3map.j by a link had it emptied.
    {"EarlierRunCutShortAndScriptIsTheTemporaryFile",
     [](const fs::path& f) {
       fs::rename(f / "logs/outputwar3map.j", f / "tempwar3map.j");
       fs::create_symlink("../tempwar3map.j", f / "logs/outputwar3map.j");
       struct stat script {};
       ASSERT_EQ(stat((f / "tempwar3map.j").c_str(), &script), 0);
       const std::string identity =
           std::to_string(script.st_dev) + " " + std::to_string(script.st_ino) + " ";
       const long long changed = script.st_ctim.tv_sec * 1000000000LL + script.st_ctim.tv_nsec;
       jassrewrite::ContentDigest digest;
       digest.add(read_file(f / "tempwar3map.j"));
       write_file(f / "tempwar3map.j.copying", identity + "0 0 0\n" + identity +
                                                   std::to_string(script.st_size) + " " +
                                                   std::to_string(changed) + "\n" +
                                                   std::to_string(digest.content().digest) + "\n");
     },
     "jassrewrite: tempwar3map.j: is the script itself (a link to logs/outputwar3map.j)" +
         kMarkNotKnown},
    // Regression: opening a FIFO waited for a writer for ever.
    {"TemporaryFileIsAFifo",
     [](const fs::path& f) { ASSERT_EQ(mkfifo((f / "tempwar3map.j").c_str(), 0600), 0); },
     kNotAFile},
    // Regression: following the dangling link created a script where it pointed.
    {"ScriptIsADanglingSymbolicLink",
     replace_script([](const fs::path& s) { fs::create_symlink("../missing", s); }),
     "jassrewrite: logs/outputwar3map.j: a symbolic link to a file that does not exist\n"},
    {"ScriptIsTheZeroDevice",
     replace_script([](const fs::path& s) { fs::create_symlink("/dev/zero", s); }),
     "jassrewrite: logs/outputwar3map.j: not a regular file\n"},
    {"ScriptIsAFifo",
     replace_script([](const fs::path& s) { ASSERT_EQ(mkfifo(s.c_str(), 0600), 0); }),
     "jassrewrite: logs/outputwar3map.j: not a regular file\n"},
    {"TemporaryFileCannotGrowPastTheLimit", [](const fs::path&) {},
     "jassrewrite: tempwar3map.j: File too large; the script is unchanged\n", "ulimit -f 1; "},
    // Regression: a script that could be written but not read was said to need making writable.
    {"ScriptIsUnreadable",
     [](const fs::path& f) { fs::permissions(f / "logs/outputwar3map.j", fs::perms::owner_write); },
     "jassrewrite: logs/outputwar3map.j: Permission denied"s + kMakeItUsable, "", true},
    // Regression: root took a tempwar3map.j that another user owned, who could then change the
    // rewrite on its way into a script that user may not write.
    {"TemporaryFileOfAnotherUserForRoot",
     [](const fs::path& f) {
       write_file(f / "tempwar3map.j", "stale\r\n");
       if (geteuid() != 0 || chown((f / "tempwar3map.j").c_str(), 65534, 65534) != 0) {
         GTEST_SKIP() << "only root can give a file to another user";
       }
     },
     "jassrewrite: tempwar3map.j: belongs to another user; delete it and run again\n"},
    {"TemporaryFileIsReadOnly",
     [](const fs::path& f) {
       write_file(f / "tempwar3map.j", "stale\r\n");
       fs::permissions(f / "tempwar3map.j", fs::perms::owner_read);
     },
     "jassrewrite: tempwar3map.j: Permission denied; the script is unchanged; make it writable, or "
     "delete it, then run again\n",
     "", true},
    {"FolderIsReadOnly",
     [](const fs::path& f) {
       fs::permissions(f, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                       fs::perm_options::remove);
     },
     "jassrewrite: tempwar3map.j: Permission denied; the script is unchanged; this user may not "
     "create it in the map's folder: make the folder writable, then run again\n",
     "", true},
#endif
};

class Faults : public testing::TestWithParam<FaultCase> {};

#ifndef _WIN32
// Opening a device can have effects of its own (a tape rewinds, a watchdog starts counting), so
// the run refuses one by its name without opening it. The system tells a watch on a FIFO of every
// open of it, as it happens.
int watch_opens_of_fifos(const fs::path& folder) {
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  EXPECT_GE(watch, 0);
  for (const char* name : {"logs/outputwar3map.j", "tempwar3map.j"}) {
    if (fs::is_fifo(fs::symlink_status(folder / name))) {
      EXPECT_GE(inotify_add_watch(watch, (folder / name).c_str(), IN_OPEN), 0);
    }
  }
  return watch;
}
#endif

TEST_P(Faults, LeaveTheScriptAsItWas) {
  // Larger than the one 512-byte block the file-size case allows.
  std::string script;
  while (script.size() < 4096) {
    script += "//!beginusercode\r\n// comment\r\n//!endusercode\r\n";
  }
#ifndef _WIN32
  if (GetParam().needs_non_root && geteuid() == 0) {
    GTEST_SKIP() << "permission bits do not stop root";
  }
#endif
  const fs::path folder = make_map_folder(script);
  write_file(folder / "outside", kOutside);
  GetParam().setup(folder);
  if (IsSkipped()) {
    return;
  }
  const bool had_temp = fs::exists(fs::symlink_status(folder / "tempwar3map.j"));
  const std::string temp_before = fs::is_regular_file(fs::symlink_status(folder / "tempwar3map.j"))
                                      ? read_file(folder / "tempwar3map.j")
                                      : "";

#ifndef _WIN32
  const int opens = watch_opens_of_fifos(folder);
#endif
  const ToolRun run = run_tool(folder, {"a", "b", "c"}, GetParam().limits);
#ifndef _WIN32
  char events[4096];
  EXPECT_EQ(read(opens, events, sizeof events), -1) << "a FIFO was opened";
  close(opens);
#endif
  if (GetParam().needs_non_root) {
    fs::permissions(folder / "logs/outputwar3map.j", fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::add);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
  }

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, message(GetParam().expected_error));
  EXPECT_EQ(read_file(folder / "outside"), kOutside);
  EXPECT_FALSE(fs::exists(folder / "missing"));
  if (fs::exists(folder / "keep")) {
    // The script was swapped for something that is not a file: refused before anything was written.
    if (!had_temp) {
#ifdef _WIN32
      // Windows locks the folder by a byte range of tempwar3map.j, which it creates empty.
      EXPECT_EQ(read_file(folder / "tempwar3map.j"), "");
#else
      EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "tempwar3map.j")));
#endif
    } else if (fs::is_regular_file(fs::symlink_status(folder / "tempwar3map.j"))) {
      EXPECT_EQ(read_file(folder / "tempwar3map.j"), temp_before);
    }
  } else {
    EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), script);
  }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Faults, testing::ValuesIn(kFaultCases), NameOfCase());

#ifndef _WIN32
// Regression: a script in a folder that the user may not look into was said to need making
// writable; and with both streams sent to a build log, the run ended in status 1 without a word.
// Through a pipe, as to a console, the run tells why; into a file, standard output cannot be shown
// to be none of the run's files, and the refusal of it is told on standard error.
TEST(EndToEnd, AScriptInAFolderThatMayNotBeSearchedIsToldSo) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "permission bits do not stop root";
  }
  const fs::path folder = make_map_folder("globals\n");
  const std::string base = folder.string();
  fs::permissions(folder / "logs", fs::perms::owner_read | fs::perms::owner_write);
  run_shell(folder, "{ \"$TOOL\" 2>&1 >/dev/null; echo $? >" + shell_word(base + ".status") +
                        "; } | cat >" + shell_word(base + ".err"));
  run_shell(folder, "\"$TOOL\" a b c >" + shell_word(base + ".log") + " 2>&1; echo $? >>" +
                        shell_word(base + ".status"));
  fs::permissions(folder / "logs", fs::perms::owner_all);

  EXPECT_EQ(read_file(base + ".status"), "1\n1\n");
  EXPECT_EQ(read_file(base + ".err"),
            "jassrewrite: logs/outputwar3map.j: Permission denied; nothing was changed; this user "
            "may not look into a folder on its path: give access to it, then run again\n");
  EXPECT_EQ(read_file(base + ".log"),
            "jassrewrite: standard output: logs/outputwar3map.j cannot be looked at (Permission "
            "denied), so nothing was written to it\n");
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), "globals\n");
}
#endif

}  // namespace
