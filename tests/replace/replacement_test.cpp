// The replacement of the script, with what may happen to its files meanwhile, and the recovery of
// what an earlier run left.

#include "replace/replacement.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "replace/replacement_runs.h"
#include "rewrite/script_passes.h"
#include "test_support.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace jassrewrite {
namespace {

namespace fs = std::filesystem;
using namespace replacement_runs;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;

// The copy-back and the replacement, with what may happen to the script in between.
struct ReplaceCase {
  const char* name;
  std::function<void(const fs::path& folder)> before;
  std::function<void(const fs::path& script)> meanwhile;
  bool refused;
};

void PrintTo(const ReplaceCase& row, std::ostream* os) { *os << row.name; }

const std::vector<ReplaceCase> kReplaceCases = {
    {"ReplacedInOneStep", nullptr, nullptr, false},
    {"HardLinkedScriptIsOverwrittenInPlace", link_script, nullptr, false},
    // Regression: a leftover that could not be removed made every run fail.
    {"LeftoverInTheWayIsWorkedAround",
     [](const fs::path& f) { fs::create_directory(f / "script.j.jassrewrite-new"); }, nullptr,
     false},
    // Regression: one that was a folder with a file in it made every run fail.
    {"LeftoverFolderWithFilesIsWorkedAround",
     [](const fs::path& f) {
       fs::create_directory(f / "script.j.jassrewrite-new");
       write_file(f / "script.j.jassrewrite-new" / "kept", "");
     },
     nullptr, false},
// Regression: a script that another program changed during the run was overwritten with the
// rewrite of its old content.
#ifndef _WIN32
    // Regression: a leftover that was a FIFO was never removed, and had every run overwrite the
    // script in place.
    {"LeftoverFifoIsRemoved",
     [](const fs::path& f) {
       ASSERT_EQ(mkfifo((f / "script.j.jassrewrite-new").c_str(), 0600), 0);
     },
     nullptr, false},
#endif
    {"AppendedMeanwhileIsLeftAlone", nullptr,
     [](const fs::path& script) { write_file(script, read_file(script) + "appended\r\n"); }, true},
#ifndef _WIN32
    // Windows lets no other program rename over a file that the tool holds open.
    {"ReplacedMeanwhileIsLeftAlone", nullptr,
     [](const fs::path& script) {
       write_file(script.string() + ".other", "another script\r\n");
       fs::rename(script.string() + ".other", script);
     },
     true},
    // Windows keeps no change time that a program cannot set back.
    {"RewrittenMeanwhileWithItsTimeSetBackIsLeftAlone", nullptr,
     [](const fs::path& script) {
       const auto modified = fs::last_write_time(script);
       write_file(script, std::string(fs::file_size(script), 'y'));
       fs::last_write_time(script, modified);
     },
     true},
#endif
#ifndef _WIN32
    // Regression: a script reached by a symbolic link that another program pointed at another file
    // meanwhile (a new link renamed over it, as `ln -sfn` does) had the file it led to before
    // rewritten, with exit status 0, while the script's name led to a file not rewritten.
    {"LinkPointedElsewhereMeanwhileIsLeftAlone",
     [](const fs::path& f) {
       fs::rename(f / "script.j", f / "linked.j");
       fs::create_symlink("linked.j", f / "script.j");
     },
     [](const fs::path& script) {
       write_file(script.parent_path() / "other.j", "another script\r\n");
       fs::create_symlink("other.j", script.string() + ".link");
       fs::rename(script.string() + ".link", script);
     },
     true},
#endif
    {"HardLinkedAndChangedMeanwhileIsLeftAlone", link_script,
     [](const fs::path& script) { write_file(script, "edited\r\n"); }, true},
};

class ReplaceTest : public testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceTest, PutsTheExactBytesOfTheTemporaryFileInPlaceOrNothing) {
  const fs::path folder = make_scratch_folder();
  const fs::path script = folder / "script.j";
  std::string rewritten;
  for (std::size_t i = 0; rewritten.size() < 3 * kReadBlockSize + 7; ++i) {
    rewritten.push_back(static_cast<char>((i * 7919) % 256));
  }
  write_file(script, std::string(4 * kReadBlockSize, 'x'));
  if (GetParam().before) {
    GetParam().before(folder);
  }
  auto replacement = opened_in(folder);
  convert_to(*replacement, rewritten);
  if (GetParam().meanwhile) {
    GetParam().meanwhile(script);
  }
  const std::string before = read_file(script);

  const auto error = replacement->copy_back();

  EXPECT_EQ(error.has_value(), GetParam().refused);
  EXPECT_EQ(read_file(script), GetParam().refused ? before : rewritten);
  if (fs::exists(folder / "other-name.j")) {
    EXPECT_EQ(read_file(folder / "other-name.j"), read_file(script)) << "the link was broken";
  }
  EXPECT_EQ(read_file(folder / "temp.j"), rewritten);
  // Nothing of the run's is left beside the script; a folder with files in it is not the run's.
  const fs::path left = folder / "script.j.jassrewrite-new";
  EXPECT_EQ(fs::exists(left), fs::exists(left / "kept"));
  EXPECT_FALSE(fs::exists(folder / "temp.j.copying"));
}

INSTANTIATE_TEST_SUITE_P(CopyBack, ReplaceTest, testing::ValuesIn(kReplaceCases),
                         testing_support::NameOfCase());

// Regression: a script that another program wrote anew while it was read was reported as
// changed, with "the complete rewritten script is kept in tempwar3map.j", which held the rewrite of
// a part of it.
TEST(ConvertScript, AScriptChangedWhileReadIsNotCalledComplete) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "script.j", "//!beginusercode\n// a\n");
  auto replacement = opened_in(folder);
  write_file(folder / "script.j", "// written anew by another program\n");
  File closed;
  LineOutput console{.file = &closed, .line_break = "\n"};
  LineOutput temp{.file = &replacement->temp_file(), .line_break = "\r\n"};
  Converted converted;
  ASSERT_FALSE(convert_script(replacement->script_file(), temp, console, converted).has_value());

  const auto error = replacement->converted(converted.script, converted.rewrite);

  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->reason, Reason::kChangedWhileRewritten);
  EXPECT_EQ(error->claim, Claim::kChanged);
  EXPECT_EQ(error->note, Note::kNone);
}

// Regression: another program that wrote the script anew (emptied, then every byte written again)
// while it was read ended the pass early; by the checks its size and times were as before, and the
// rewrite of its first part took its place with exit status 0. What was read, short of the size or
// other bytes than those now in the file, is not the script. (The file is rewritten first: what the
// pass read is then told by its record alone.)
TEST(ConvertScript, WhatWasReadMustBeTheWholeScriptAsItIs) {
  const std::string script = "//!beginusercode\n// a\n";
  const struct {
    const char* name;
    std::string read;
  } cases[] = {{"cut short", script.substr(0, 10)}, {"other bytes", "//!beginusercode\n// b\n"}};
  for (const auto& [name, read] : cases) {
    const fs::path folder = make_scratch_folder() / name;
    fs::create_directories(folder);
    write_file(folder / "script.j", script);
    auto replacement = opened_in(folder);
    ASSERT_FALSE(write(replacement->temp_file(), "--"));
    ContentDigest read_bytes;
    ContentDigest written;
    read_bytes.add(read);
    written.add("--");

    auto error = replacement->converted(read_bytes.content(), written.content());
    if (!error) {
      error = replacement->copy_back();
    }

    ASSERT_TRUE(error.has_value()) << name;
    EXPECT_EQ(error->claim, Claim::kChanged) << name;
    EXPECT_EQ(read_file(folder / "script.j"), script) << name;
  }
}

// Regression: another program emptying tempwar3map.j by its name while it was being written (a
// second run with its output sent there) left a hole of NUL bytes at its start, of the full size,
// which became the script with exit status 0. Windows lets no other program write to it meanwhile.
TEST(ConvertScript, ATemporaryFileEmptiedMeanwhileIsRefused) {
  const fs::path folder = make_scratch_folder();
  std::string script;
  while (script.size() < 2 * kOutputBlockSize) {
    script += "// a line of the script\n";
  }
  write_file(folder / "script.j", script);
  File shown = open_empty(folder / "console");
  bool emptied = false;
  // The console asks for the time at every line: the moment to empty tempwar3map.j, once.
  LineOutput console{.file = &shown, .line_break = "\n", .console = true, .now = [&] {
                       if (!emptied && fs::file_size(folder / "temp.j") > 0) {
                         emptied = static_cast<bool>(std::ofstream(folder / "temp.j"));
                       }
                       return Clock::now();
                     }};
  auto replacement = opened_in(folder);
  LineOutput temp{.file = &replacement->temp_file(), .line_break = "\r\n"};
  Converted converted;
  ASSERT_FALSE(
      convert_script(replacement->script_file(), temp, console, converted, 4096).has_value());

  const auto error = replacement->converted(converted.script, converted.rewrite);

#ifdef _WIN32
  EXPECT_FALSE(emptied);
  EXPECT_FALSE(error.has_value());
#else
  ASSERT_TRUE(emptied);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->path, (folder / "temp.j").string());
#endif
}

#ifndef _WIN32
// Another program that writes over tempwar3map.j by its name, to the same size, before the run
// records it leaves the times the run then records: only its bytes tell that it is not the
// rewrite, which a failure from here on would claim it keeps. Windows lets no other program write
// to it meanwhile.
TEST(ConvertScript, ATemporaryFileWrittenOverMeanwhileIsRefused) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "script.j", "// a\n");
  auto replacement = opened_in(folder);
  ASSERT_FALSE(write(replacement->temp_file(), "-- a\r\n"));
  write_file(folder / "temp.j", "-- b\r\n");
  ContentDigest read_bytes;
  ContentDigest written;
  read_bytes.add("// a\n");
  written.add("-- a\r\n");

  const auto error = replacement->converted(read_bytes.content(), written.content());

  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->path, (folder / "temp.j").string());
}

// A disk that fills up while the new script is written, by way of a file-size limit.
TEST(CopyBack, AFailedWriteLeavesTheScriptAlone) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "script.j", "original\r\n");
  auto replacement = opened_in(folder);
  convert_to(*replacement, std::string(64 << 10, 'r'));
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  const auto error = replacement->copy_back();

  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->path, (folder / "script.j").string());
  EXPECT_EQ(error->code, std::errc::file_too_large);
  EXPECT_EQ(read_file(folder / "script.j"), "original\r\n");
  EXPECT_FALSE(fs::exists(folder / "script.j.jassrewrite-new"));
}
#endif

}  // namespace
}  // namespace jassrewrite
