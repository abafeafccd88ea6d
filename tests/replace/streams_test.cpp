// The check that neither standard stream goes into one of the run's files.

#include "replace/streams.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#endif

namespace jassrewrite {
namespace {

namespace fs = std::filesystem;
using testing_support::make_scratch_folder;
using testing_support::write_file;

// The file layer refuses to open devices; the shell opens the null device for a stream.
File open_null_device() {
#ifdef _WIN32
  return File(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr));
#else
  return File(::open("/dev/null", O_WRONLY | O_CLOEXEC));
#endif
}

File open_for_writing(const std::string& path) {
  Result<File> opened = open_existing(path);
  EXPECT_FALSE(opened.error) << path << ": " << opened.error.message();
  return std::move(opened.value);
}

struct StreamCase {
  const char* name;
  // Standard output: the script, another file, the null device, or a stream that cannot be
  // looked at (a handle that is not open).
  const char* output;
  // Standard error, of the same kinds.
  const char* errors;
  // How the check saw the script: its identity, or an error.
  bool script_seen;
  // What must be refused, why standard output is, and what the user is told to do.
  bool output_refused;
  Reason output_reason;
  NextStep output_advice;
  bool errors_refused;
};

void PrintTo(const StreamCase& row, std::ostream* os) { *os << row.name; }

const std::vector<StreamCase> kStreamCases = {
    {"OutputIntoTheScript", "script", "null", true, true, Reason::kIsAlsoStream,
     NextStep::kSendOutputElsewhere, false},
    // `> logs/outputwar3map.j`: the shell empties the script before the run starts.
    {"OutputIntoTheScriptThatTheShellEmptied", "emptied", "null", true, true, Reason::kIsAlsoStream,
     NextStep::kSaveMapThenSendOutputElsewhere, false},
    {"OutputIntoAnotherFile", "other", "null", true, false, {}, {}, false},
    {"OutputToTheNullDevice", "null", "null", true, false, {}, {}, false},
    // Regression: a script that could not be looked at while one stream was checked was told as a
    // failure of the script, on the other stream, with nothing saying which stream was refused.
    {"ScriptThatCannotBeLookedAt",
     "other",
     "null",
     false,
     true,
     Reason::kStreamFileUnknown,
     {},
     false},
    // Regression: with both streams sent to files (a build log), a look that failed refused both,
    // and the run ended in status 1 without a word. Standard error is refused only where it is
    // shown to be one of the run's files.
    {"ScriptThatCannotBeLookedAtWithBothStreamsInFiles",
     "other",
     "other",
     false,
     true,
     Reason::kStreamFileUnknown,
     {},
     false},
    {"ErrorsIntoTheScript", "null", "script", true, false, {}, {}, true},
    // A stream that is no file at all needs no file looked at.
    {"ScriptThatCannotBeLookedAtBesideTheNullDevice", "null", "null", false, false, {}, {}, false},
#ifndef _WIN32
    // On Windows a process may have no standard stream at all, which is no file.
    {"OutputThatCannotBeLookedAt", "closed", "null", true, true, Reason::kStreamUnknown, {}, false},
    {"ErrorsThatCannotBeLookedAt", "null", "closed", false, false, {}, {}, false},
#endif
};

class CheckStreams : public testing::TestWithParam<StreamCase> {};

TEST_P(CheckStreams, RefusesAStreamThatIsOrMayBeOneOfTheRunsFiles) {
  const fs::path folder = make_scratch_folder();
  const std::string script = (folder / "script.j").string();
  write_file(script, "a script\r\n");
  write_file(folder / "other.j", "");
  const std::string output_name = GetParam().output;
  if (output_name == "emptied") {
    write_file(script, "");
  }
  const auto open_stream = [&](const std::string& kind) {
    return kind == "script" || kind == "emptied" ? open_for_writing(script)
           : kind == "other"                     ? open_for_writing((folder / "other.j").string())
           : kind == "null"                      ? open_null_device()
                                                 : File();
  };
  const File output = open_stream(output_name);
  const File errors = open_stream(GetParam().errors);
  const Result<FileStatus> named = status_at(script);
  ASSERT_FALSE(named.error);
  const std::vector<SeenFile> files = {
      {script,
       GetParam().script_seen
           ? Result<FileIdentity>{named.value.identity}
           : Result<FileIdentity>{.error = std::make_error_code(std::errc::io_error)},
       true}};

  const StreamVerdict verdict = check_streams(output, errors, files);

  EXPECT_EQ(verdict.errors.has_value(), GetParam().errors_refused);
  ASSERT_EQ(verdict.output.has_value(), GetParam().output_refused);
  if (verdict.output) {
    EXPECT_EQ(verdict.output->kind, ErrorKind::kRefused);
    EXPECT_EQ(verdict.output->reason, GetParam().output_reason);
    EXPECT_EQ(verdict.output->next_step, GetParam().output_advice);
    EXPECT_EQ(verdict.output->claim, Claim::kStreamRefused);
    EXPECT_EQ(verdict.output->named, "standard output");
    // A refusal that a failure caused carries the failure.
    EXPECT_EQ(bool(verdict.output->code), GetParam().output_reason != Reason::kIsAlsoStream);
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, CheckStreams, testing::ValuesIn(kStreamCases),
                         testing_support::NameOfCase());

}  // namespace
}  // namespace jassrewrite
