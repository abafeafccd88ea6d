// What only Windows has: file attributes, and other programs (virus scanners, the search indexer,
// sync clients, editors) that hold the script or a fresh file open without sharing all of it.

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/tool_runs.h"
#include "test_support.h"

namespace {

using namespace jassrewrite::end_to_end;
namespace fs = std::filesystem;
using jassrewrite::testing_support::NameOfCase;
using jassrewrite::testing_support::read_file;
using jassrewrite::testing_support::write_file;

constexpr const char* kScript = "logs/outputwar3map.j";
constexpr const char* kNewScript = "logs/outputwar3map.j.jassrewrite-new";

// The script and tempwar3map.j may be hidden or system files, which Windows refuses to open in the
// way that creates a file anew; both keep their attributes through the run.
TEST(EndToEnd, HiddenFilesKeepTheirAttributes) {
  const fs::path folder = make_map_folder("//!beginusercode\r\n// hidden\r\n");
  write_file(folder / "tempwar3map.j", "stale\r\n");
  const std::vector<fs::path> files = {folder / "logs/outputwar3map.j", folder / "tempwar3map.j"};
  for (const fs::path& file : files) {
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  }

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0) << run.err;
  for (const fs::path& file : files) {
    EXPECT_EQ(read_file(file), "//!beginusercode\r\n-- hidden\r\n");
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM})
        << file;
  }
}

// A map folder deep in a project: the script's path, and that of the new file beside it, pass the
// 260 characters that Windows allows a path by default, while the folder itself is within them.
// Wine sets no such limit: under it, this shows that every call takes the long form of the paths,
// and only Windows shows that the form is needed.
TEST(EndToEnd, PathsPastTheOldLimitAreReached) {
  const fs::path scratch = jassrewrite::testing_support::make_scratch_folder();
  const std::size_t folder_length = 245;
  ASSERT_LT(scratch.string().size() + 2, folder_length);
  const fs::path folder = scratch / std::string(folder_length - scratch.string().size() - 1, 'm');
  fs::create_directories(folder / "logs");
  write_file(folder / "logs/outputwar3map.j", "//!beginusercode\r\n// deep\r\n");
  ASSERT_GT((folder / "logs/outputwar3map.j").string().size(), std::size_t{MAX_PATH});

  const ToolRun run = run_tool(folder);

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(folder / "logs/outputwar3map.j"), "//!beginusercode\r\n-- deep\r\n");
  EXPECT_FALSE(fs::exists(folder / "logs/outputwar3map.j.jassrewrite-new"));
  EXPECT_FALSE(fs::exists(folder / "tempwar3map.j.copying"));
}

// Starts the tool in `folder` with its output discarded, as a build script that sends it to NUL.
PROCESS_INFORMATION start_tool(const fs::path& folder) {
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const HANDLE discard = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherited, OPEN_EXISTING, 0, nullptr);
  const PROCESS_INFORMATION process = start_program(tool_path(), folder, discard, discard);
  CloseHandle(discard);
  return process;
}

// Ended as `taskkill /F` or a crash ends it (TerminateProcess), at random moments of a run on a
// script of some megabytes, the replacement among them: the script is the original or the
// complete rewrite (cut short only under the mark, with the complete rewrite in tempwar3map.j), and
// the next run completes it.
TEST(EndToEnd, KilledAtRandomMomentsNeverLosesTheScript) {
  const std::string original = large_script(std::size_t{4} << 20);
  const fs::path folder = make_map_folder(original);
  const auto began = std::chrono::steady_clock::now();
  ASSERT_EQ(run_tool(folder).status, 0);
  const auto run_time = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - began);
  const std::string rewritten = read_file(folder / kScript);
  ASSERT_NE(rewritten, original);

  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  int killed = 0;
  for (int trial = 0; trial < 20; ++trial) {
    write_file(folder / kScript, original);
    const PROCESS_INFORMATION process = start_tool(folder);
    ASSERT_NE(process.hProcess, nullptr) << "cannot start " << tool_path();
    const DWORD moment =
        std::uniform_int_distribution<DWORD>(0, static_cast<DWORD>(run_time.count()))(random);
    killed += wait_for_process(process, moment, 137) == 137 ? 1 : 0;

    const std::string script = read_file(folder / kScript);
    EXPECT_TRUE(script == original || script == rewritten ||
                (fs::exists(folder / "tempwar3map.j.copying") &&
                 read_file(folder / "tempwar3map.j") == rewritten))
        << "trial " << trial << ", seed " << seed << ": the script is lost";
    const ToolRun rerun = run_tool(folder);
    EXPECT_EQ(rerun.status, 0) << "trial " << trial << ", seed " << seed << ": " << rerun.err;
    EXPECT_SAME_BYTES(read_file(folder / kScript), rewritten)
        << "trial " << trial << ", seed " << seed;
    EXPECT_FALSE(fs::exists(folder / kNewScript)) << "trial " << trial;
  }
  EXPECT_GT(killed, 0) << "no kill landed while a run was going";
}

// Another program holds a file of the run open, sharing `sharing`, for a second or for the whole
// run. The tool waits a few seconds for such a program, saying so once, then works around it where
// it can: a script that cannot be replaced is overwritten in place.
struct HeldCase {
  const char* name;
  const char* held;  // relative to the map folder
  DWORD sharing;
  bool for_a_second;    // otherwise for the whole run
  std::string waiting;  // the line that says the run waits
  int status;
  std::string reason;  // said after it
};

void PrintTo(const HeldCase& row, std::ostream* os) { *os << row.name; }

constexpr DWORD kNoDeletion = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The rename cannot tell which of its two files is held. Windows refuses to rename over a file
// that is open without sharing its deletion as access denied, which it also says to a user who
// may not; a held new file is a sharing violation.
const std::string kEitherDenied =
    "jassrewrite: logs/outputwar3map.j or logs/outputwar3map.j.jassrewrite-new: access denied; "
    "trying again for a few seconds, in case another program holds it\n";
const std::string kEitherInUse =
    "jassrewrite: logs/outputwar3map.j or logs/outputwar3map.j.jassrewrite-new: in use by another "
    "program; waiting for it to let go\n";
const std::string kScriptInUse =
    "jassrewrite: logs/outputwar3map.j: in use by another program; waiting for it to let go\n";

const std::vector<HeldCase> kHeldCases = {
    // A virus scanner looks at the new script as soon as it is written.
    {"NewScriptForASecond", kNewScript, kNoDeletion, true, kEitherInUse, 0, ""},
    // An editor that keeps the script open: it cannot be replaced, and is overwritten in place.
    {"ScriptWithoutSharingItsDeletion", kScript, kNoDeletion, false, kEitherDenied, 0, ""},
    {"ScriptWithoutSharingForASecond", kScript, 0, true, kScriptInUse, 0, ""},
    {"ScriptWithoutSharingAtAll", kScript, 0, false, kScriptInUse, 1,
     "jassrewrite: logs/outputwar3map.j: " + system_reason("", ERROR_SHARING_VIOLATION) +
         "; the script is unchanged; close the program that holds it, then run again\n"},
};

class HeldByAnotherProgram : public testing::TestWithParam<HeldCase> {};

TEST_P(HeldByAnotherProgram, IsWaitedForAndLeavesNothingBehind) {
  const HeldCase& row = GetParam();
  // Large enough that the new script exists for a while, to be caught as it appears.
  const std::string script = "//!beginusercode\r\n// held\r\n" + large_script(std::size_t{4} << 20);
  fs::path folder;
  ToolRun run;
  bool caught = false;
  for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
    folder = make_map_folder(script);
    const fs::path held = folder / row.held;
    std::atomic<HANDLE> handle = INVALID_HANDLE_VALUE;
    std::atomic<bool> ended = false;
    std::thread holder([&] {
      HANDLE opened = INVALID_HANDLE_VALUE;
      while (opened == INVALID_HANDLE_VALUE && !ended) {
        opened = CreateFileW(held.c_str(), GENERIC_READ, row.sharing, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
      }
      handle = opened;
      if (opened != INVALID_HANDLE_VALUE && row.for_a_second) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        CloseHandle(handle.exchange(INVALID_HANDLE_VALUE));
      }
    });
    // The script is held before the run begins.
    while (std::string(row.held) == kScript && handle == INVALID_HANDLE_VALUE) {
      std::this_thread::yield();
    }
    run = run_tool(folder);
    ended = true;
    holder.join();
    caught = run.err.find(message(row.waiting)) != std::string::npos;
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }

  ASSERT_TRUE(caught) << "the new script was never caught while it was there";
  EXPECT_EQ(run.status, row.status);
  EXPECT_EQ(run.err, message(row.waiting + row.reason));
  if (row.status == 0) {
    const std::string rewritten = read_file(folder / "tempwar3map.j");
    EXPECT_TRUE(rewritten.starts_with("//!beginusercode\r\n-- held\r\n"));
    EXPECT_SAME_BYTES(read_file(folder / kScript), rewritten);
  } else {
    EXPECT_SAME_BYTES(read_file(folder / kScript), script);
  }
  EXPECT_FALSE(fs::exists(folder / kNewScript));
  EXPECT_FALSE(fs::exists(folder / "tempwar3map.j.copying"));
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, HeldByAnotherProgram, testing::ValuesIn(kHeldCases),
                         NameOfCase());

// Regression: an editor that held the script open and saved it while the run waited to replace
// it had its save overwritten, and the run exited 0. The script is checked again before each try;
// meanwhile no one may delete or replace tempwar3map.j, whose byte range is the folder's lock.
TEST(EndToEnd, ASaveWhileTheRunWaitsIsNeverOverwritten) {
  const std::string saved = "// saved by the editor\r\n";
  const fs::path folder = make_map_folder("//!beginusercode\r\n// held\r\n");
  const fs::path script = folder / kScript;
  const HANDLE editor = CreateFileW(script.c_str(), GENERIC_READ | GENERIC_WRITE, kNoDeletion,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(editor, INVALID_HANDLE_VALUE);
  bool lock_file_deleted = false;
  std::thread save([&] {
    // Once the new script is there, the run waits for the editor to let go of the script.
    while (!fs::exists(folder / kNewScript)) {
      std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    lock_file_deleted = DeleteFileW((folder / "tempwar3map.j").c_str()) != 0;
    DWORD written = 0;
    SetFilePointer(editor, 0, nullptr, FILE_BEGIN);
    WriteFile(editor, saved.data(), static_cast<DWORD>(saved.size()), &written, nullptr);
    SetEndOfFile(editor);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    CloseHandle(editor);
  });
  const ToolRun run = run_tool(folder);
  save.join();

  EXPECT_FALSE(lock_file_deleted);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, message(kEitherDenied +
                             "jassrewrite: logs/outputwar3map.j: changed while it was being "
                             "rewritten; left as it is; run again to rewrite it as it is now\n"));
  EXPECT_EQ(read_file(script), saved);
  EXPECT_FALSE(fs::exists(folder / kNewScript));
}

}  // namespace
