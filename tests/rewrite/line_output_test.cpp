#include "rewrite/line_output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace jassrewrite {
namespace {

using namespace std::chrono_literals;
using testing_support::make_scratch_folder;
using testing_support::NameOfCase;
using testing_support::read_file;

// One line written at a moment of a fake clock, and how many bytes the console shows after it.
struct Step {
  Clock::duration at;
  std::size_t line_size;
  std::size_t shown;
};

struct HandoverCase {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const HandoverCase& row, std::ostream* os) { *os << row.name; }

// Lines of one byte and a line break: two bytes each.
const std::vector<HandoverCase> kHandoverCases = {
    {"FirstLineShowsAtOnce", {{1s, 1, 2}}},
    {"LinesWaitUntilTheIntervalHasPassed",
     {{1s, 1, 2}, {1s + 20ms, 1, 2}, {1s + 49ms, 1, 2}, {1s + 50ms, 1, 8}, {1s + 60ms, 1, 8}}},
    {"TheIntervalCountsFromTheLastHandover",
     {{1s, 1, 2}, {1s + 70ms, 1, 4}, {1s + 110ms, 1, 4}, {1s + 120ms, 1, 8}}},
    {"AFullBlockGoesOutWhateverTheTime",
     {{1s, 1, 2}, {1s, kOutputBlockSize - 2, 2}, {1s, 1, kOutputBlockSize + 1}}},
    {"ALineLongerThanABlockGoesOutAtOnce",
     {{1s, 1, 2}, {1s, 1, 2}, {1s, kOutputBlockSize, 4 + kOutputBlockSize}}},
};

class ConsoleHandover : public testing::TestWithParam<HandoverCase> {};

TEST_P(ConsoleHandover, ShowsLinesAsTheyComeInBlocks) {
  const std::filesystem::path path = make_scratch_folder() / "console";
  auto [file, error] = create_new(path.string());
  ASSERT_FALSE(error) << error.message();
  Clock::time_point fake_now;
  LineOutput console{
      .file = &file, .line_break = "\n", .console = true, .now = [&] { return fake_now; }};

  std::size_t written = 0;
  for (const Step& step : GetParam().steps) {
    fake_now = Clock::time_point(step.at);
    write_line(console, std::string(step.line_size, 'x'));
    written += step.line_size + 1;
    EXPECT_EQ(read_file(path).size(), step.shown) << "after the line at " << step.at.count();
  }
  EXPECT_TRUE(flush_output(console));
  EXPECT_EQ(read_file(path).size(), written);
}

INSTANTIATE_TEST_SUITE_P(LineOutput, ConsoleHandover, testing::ValuesIn(kHandoverCases),
                         NameOfCase());

// Writes each block it is handed between angle brackets, so that the file shows the hand-overs.
std::error_code bracket_blocks(File& file, std::string_view block) {
  std::string bracketed;
  bracketed.reserve(block.size() + 2);
  bracketed.append("<").append(block).append(">");
  return write(file, bracketed);
}

std::error_code refuse_blocks(File&, std::string_view) {
  return std::make_error_code(std::errc::io_error);
}

TEST(LineOutput, HandsBlocksNotLinesToItsHandOver) {
  const std::filesystem::path path = make_scratch_folder() / "console";
  auto [file, error] = create_new(path.string());
  ASSERT_FALSE(error) << error.message();
  LineOutput out{.file = &file, .line_break = "\r\n", .hand_over = bracket_blocks};

  const std::string long_line(kOutputBlockSize, 'x');
  // With the lines before it, one byte too many for a block; with the line after it, too.
  const std::string filler(kOutputBlockSize - 4, 'f');
  write_line(out, "a");
  write_line(out, "b");
  write_line(out, long_line);
  write_line(out, "c");
  write_line(out, filler);
  write_line(out, "d");
  EXPECT_TRUE(flush_output(out));

  EXPECT_EQ(read_file(path),
            "<a\r\nb\r\n><" + long_line + "><\r\nc\r\n><" + filler + "\r\n><d\r\n>");
  // Bytes handed over, not what the hand-over made of them.
  EXPECT_EQ(out.written, 6 + long_line.size() + 5 + filler.size() + 2 + 3);
}

TEST(LineOutput, CountsNothingAHandOverRefused) {
  File no_file;
  LineOutput out{.file = &no_file, .line_break = "\n", .hand_over = refuse_blocks};
  write_line(out, "a");
  EXPECT_FALSE(flush_output(out));
  EXPECT_EQ(out.error, std::errc::io_error);
  EXPECT_EQ(out.written, 0U);
}

}  // namespace
}  // namespace jassrewrite
