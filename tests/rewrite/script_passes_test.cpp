#include "rewrite/script_passes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace jassrewrite {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;

// A file in `folder` that stands in for the console. (std::tmpfile would do, but the Windows C
// runtime puts it in the root folder of the drive, where a user may not write.)
std::FILE* open_console_file(const fs::path& folder) {
  return std::fopen((folder / "console").string().c_str(), "w+b");
}

// The whole content of a stream the test wrote to.
std::string read_back(std::FILE* stream) {
  std::rewind(stream);
  std::string bytes;
  for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
    bytes.push_back(static_cast<char>(c));
  }
  return bytes;
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
  const std::string script_path = (folder / "script.j").string();
  const std::string temp_path = (folder / "temp.j").string();
  write_file(script_path, GetParam().script);
  const bool long_case = GetParam().script.size() > kReadBlockSize;
  const std::vector<std::size_t> block_sizes =
      long_case ? std::vector<std::size_t>{4096, kReadBlockSize}
                : std::vector<std::size_t>{1, 2, 3, 5, kReadBlockSize};
  for (std::size_t block_size : block_sizes) {
    SCOPED_TRACE("read block of " + std::to_string(block_size) + " bytes");
    std::FILE* shown = open_console_file(folder);
    ASSERT_NE(shown, nullptr);
    LineOutput console{.stream = shown, .line_break = "\n"};

    const auto error = convert_script(script_path, temp_path, console, block_size);

    EXPECT_FALSE(error.has_value()) << error->path << ": " << error->reason;
    EXPECT_TRUE(flush_output(console));
    EXPECT_EQ(read_file(temp_path), GetParam().temp);
    EXPECT_EQ(read_back(shown), console_bytes(GetParam().temp));
    EXPECT_EQ(read_file(script_path), GetParam().script)
        << "the conversion must not touch the script";
    std::fclose(shown);
  }
}

INSTANTIATE_TEST_SUITE_P(LineHandling, ConvertScriptTest, testing::ValuesIn(kLineCases),
                         testing_support::NameOfCase());

TEST(ConvertScript, AFailingConsoleDoesNotStopTheRewrite) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "script.j", "//!beginusercode\n// a\n");
  write_file(folder / "console", "");
  // A stream opened for reading refuses every write, like a closed pipe.
  std::FILE* unwritable = std::fopen((folder / "console").string().c_str(), "rb");
  ASSERT_NE(unwritable, nullptr);
  LineOutput console{.stream = unwritable, .line_break = "\n", .flush_every_line = true};

  const auto error =
      convert_script((folder / "script.j").string(), (folder / "temp.j").string(), console);

  EXPECT_FALSE(error.has_value());
  EXPECT_NE(console.error, 0);
  EXPECT_EQ(read_file(folder / "temp.j"), "//!beginusercode\r\n-- a\r\n");
  std::fclose(unwritable);
}

TEST(CopyBack, ReplacesTheScriptWithTheExactBytesOfTheTemporaryFile) {
  const fs::path folder = make_scratch_folder();
  std::string rewritten;
  for (std::size_t i = 0; rewritten.size() < 3 * kReadBlockSize + 7; ++i) {
    rewritten.push_back(static_cast<char>((i * 7919) % 256));
  }
  write_file(folder / "temp.j", rewritten);
  write_file(folder / "script.j", std::string(4 * kReadBlockSize, 'x'));

  const auto error = copy_back((folder / "temp.j").string(), (folder / "script.j").string());

  EXPECT_FALSE(error.has_value());
  EXPECT_EQ(read_file(folder / "script.j"), rewritten);
  EXPECT_EQ(read_file(folder / "temp.j"), rewritten);
}

TEST(CopyBack, AMissingTemporaryFileLeavesTheScriptAlone) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "script.j", "original\r\n");

  const auto error = copy_back((folder / "temp.j").string(), (folder / "script.j").string());

  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->path, (folder / "temp.j").string());
  EXPECT_EQ(read_file(folder / "script.j"), "original\r\n");
}

#ifndef _WIN32
// /proc/self/mem is a regular file whose reads fail with EIO: a stand-in for a failing disk.
TEST(ConvertScript, AReadErrorIsReportedNotTakenForTheEnd) {
  const fs::path folder = make_scratch_folder();
  std::FILE* shown = open_console_file(folder);
  ASSERT_NE(shown, nullptr);
  LineOutput console{.stream = shown, .line_break = "\n"};

  const auto error = convert_script("/proc/self/mem", (folder / "temp.j").string(), console);

  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->path, "/proc/self/mem");
  EXPECT_EQ(error->reason, "Input/output error");
  std::fclose(shown);
}

TEST(CopyBack, AFailedWriteNamesTheScript) {
  const fs::path folder = make_scratch_folder();
  write_file(folder / "temp.j", "rewritten\r\n");

  const auto error = copy_back((folder / "temp.j").string(), "/dev/full");

  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->path, "/dev/full");
  EXPECT_EQ(error->reason, "No space left on device");
  EXPECT_EQ(read_file(folder / "temp.j"), "rewritten\r\n");
}
#endif

}  // namespace
}  // namespace jassrewrite
