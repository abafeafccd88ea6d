#include "rewrite/script_passes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace jassrewrite {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;

Content content_of_bytes(std::string_view bytes) {
  ContentDigest digest;
  digest.add(bytes);
  return digest.content();
}

// An empty file at `path`, open for writing.
File open_empty(const fs::path& path) {
  auto [file, error] = open_or_create_unfollowed(path.string());
  EXPECT_FALSE(error) << path << ": " << error.message();
  EXPECT_FALSE(truncate(file));
  return std::move(file);
}

File open_script(const fs::path& path) {
  auto [file, error] = open_existing(path.string());
  EXPECT_FALSE(error) << path << ": " << error.message();
  return std::move(file);
}

// The console shows the same lines as the temporary file, each ending in LF.
std::string console_bytes(const std::string& temp_bytes) {
  std::string shown;
  for (std::size_t i = 0; i < temp_bytes.size(); ++i) {
    if (temp_bytes.compare(i, 2, "\r\n") == 0) {
      shown.push_back('\n');
      ++i;
    } else {
      shown.push_back(temp_bytes[i]);
    }
  }
  return shown;
}

struct LineCase {
  const char* name;
  std::string script;
  std::string temp;
};

void PrintTo(const LineCase& row, std::ostream* os) { *os << row.name; }

std::string repeated(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) {
    out += piece;
  }
  return out;
}

const std::string kLongLine = repeated("0123456789abcdef", (kReadBlockSize * 5 / 2) / 16);

const std::vector<LineCase> kLineCases = {
    {"LfEnds", "a\nb\n", "a\r\nb\r\n"},
    {"CrLfEnds", "a\r\nb\r\n", "a\r\nb\r\n"},
    {"MissingFinalLineBreak", "a\r\nb", "a\r\nb\r\n"},
    {"EmptyScript", "", ""},
    {"BlankLines", "\n\r\n\nx\n\n", "\r\n\r\n\r\nx\r\n\r\n"},
    {"LoneCrIsAByteOfTheLine", "a\rb\n\rc\n", "a\rb\r\n\rc\r\n"},
    {"CrAtEndOfFileIsKept", "a\nb\r", "a\r\nb\r\r\n"},
    {"OnlyOneCrBeforeLfIsDropped", "a\r\r\n", "a\r\r\n"},
    // Regression: a 0x1A byte once ended the read on Windows and the copy-back cut off the rest.
    {"NulAndSubstituteBytesAreKept", "a\0b\n\x1a\nc\x1a d\n\0"s,
     "a\0b\r\n\x1a\r\nc\x1a d\r\n\0\r\n"s},
    {"BlocksAreRewritten",
     "// top\r\n//!beginusercode\r\n// in\r\n  // indented\r\n//!endusercode\r\n// out",
     "// top\r\n//!beginusercode\r\n-- in\r\n  // indented\r\n//!endusercode\r\n// out\r\n"},
    {"LineLongerThanAnyBuffer", "//!beginusercode\n//" + kLongLine + "\r\nend",
     "//!beginusercode\r\n--" + kLongLine + "\r\nend\r\n"},
};

class ConvertScriptTest : public testing::TestWithParam<LineCase> {};

// Every case runs with read blocks so small that lines, and CR LF pairs, straddle block
// boundaries at every possible offset, and once with the real block size.
TEST_P(ConvertScriptTest, WritesEveryLineFilteredWithCrLf) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "script.j", GetParam().script);
  const bool long_case = GetParam().script.size() > kReadBlockSize;
  const std::vector<std::size_t> block_sizes =
      long_case ? std::vector<std::size_t>{4096, kReadBlockSize}
                : std::vector<std::size_t>{1, 2, 3, 5, kReadBlockSize};
  for (std::size_t block_size : block_sizes) {
    SCOPED_TRACE("read block of " + std::to_string(block_size) + " bytes");
    File shown = open_empty(folder / "console");
    LineOutput console{.file = &shown, .line_break = "\n"};
    File script = open_script(folder / "script.j");
    File temp_file = open_empty(folder / "temp.j");
    LineOutput temp{.file = &temp_file, .line_break = "\r\n"};

    Converted converted;
    const auto failure = convert_script(script, temp, console, converted, block_size);

    EXPECT_FALSE(failure.has_value()) << failure->error.message();
    // What was read and written, whatever the blocks: the files are checked against it later.
    EXPECT_EQ(converted.script, content_of_bytes(GetParam().script));
    EXPECT_EQ(converted.rewrite, content_of_bytes(GetParam().temp));
    EXPECT_TRUE(flush_output(console));
    EXPECT_EQ(temp.written, GetParam().temp.size());
    EXPECT_SAME_BYTES(read_file(folder / "temp.j"), GetParam().temp);
    EXPECT_SAME_BYTES(read_file(folder / "console"), console_bytes(GetParam().temp));
    EXPECT_SAME_BYTES(read_file(folder / "script.j"), GetParam().script)
        << "the conversion must not touch the script";
  }
}

INSTANTIATE_TEST_SUITE_P(LineHandling, ConvertScriptTest, testing::ValuesIn(kLineCases),
                         testing_support::NameOfCase());

TEST(ConvertScript, AFailingConsoleDoesNotStopTheRewrite) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "script.j", "//!beginusercode\n// a\n");
  File closed;  // refuses every write, like a closed pipe
  LineOutput console{.file = &closed, .line_break = "\n", .console = true};
  File script = open_script(folder / "script.j");
  File temp_file = open_empty(folder / "temp.j");
  LineOutput temp{.file = &temp_file, .line_break = "\r\n"};

  Converted converted;
  const auto failure = convert_script(script, temp, console, converted);

  EXPECT_FALSE(failure.has_value());
  EXPECT_TRUE(console.error);
  EXPECT_EQ(read_file(folder / "temp.j"), "//!beginusercode\r\n-- a\r\n");
}

#ifndef _WIN32
// /proc/self/mem is a regular file whose reads fail with EIO: a stand-in for a failing disk.
TEST(ConvertScript, AReadErrorIsReportedNotTakenForTheEnd) {
  const fs::path folder = make_scratch_folder();
  File shown = open_empty(folder / "console");
  LineOutput console{.file = &shown, .line_break = "\n"};
  File script = open_script("/proc/self/mem");
  File temp_file = open_empty(folder / "temp.j");
  LineOutput temp{.file = &temp_file, .line_break = "\r\n"};

  Converted converted;
  const auto failure = convert_script(script, temp, console, converted);

  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->file, ConversionFailure::File::kScript);
  EXPECT_EQ(failure->error, std::errc::io_error);
}
#endif

}  // namespace
}  // namespace jassrewrite
