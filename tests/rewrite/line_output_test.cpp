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
  std::error_code error;
  File file = create_new(path.string(), error);
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

}  // namespace
}  // namespace jassrewrite
