#include "rewrite/user_code_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace jassrewrite {
namespace {

using namespace std::string_literals;

struct FilterCase {
  const char* name;
  std::vector<std::string> lines;
  std::vector<std::string> expected;
};

void PrintTo(const FilterCase& row, std::ostream* os) { *os << row.name; }

// Each case is a whole script fed to one fresh filter, so the state carried between lines is
// checked along with each line's rewrite.
const std::vector<FilterCase> kFilterCases = {
    {"CommentsOutsideBlocksStay",
     {"// header", "function main takes nothing returns nothing", "//!endusercode", "// after"},
     {"// header", "function main takes nothing returns nothing", "//!endusercode", "// after"}},
    {"MarkersStayAndCommentsInsideAreRewritten",
     {"//!beginusercode", "// comment", "local integer i = 0", "//!endusercode", "// outside"},
     {"//!beginusercode", "-- comment", "local integer i = 0", "//!endusercode", "// outside"}},
    {"OnlyTheFirstTwoBytesChange",
     {"//!beginusercode", "////", "//", "/", "", "//x//y", "//!endusercode"},
     {"//!beginusercode", "--//", "--", "/", "", "--x//y", "//!endusercode"}},
    {"IndentedCommentsStay",
     {"//!beginusercode", "  // blanks", "\t// tab", "//!endusercode"},
     {"//!beginusercode", "  // blanks", "\t// tab", "//!endusercode"}},
    {"BeginMarkerInsideABlockIsAComment",
     {"//!beginusercode", "//!beginusercode again", "// still inside", "//!endusercode", "// out"},
     {"//!beginusercode", "--!beginusercode again", "-- still inside", "//!endusercode", "// out"}},
    {"TextAfterTheMarkersStillCounts",
     {"//!beginusercode trailing", "// in", "//!endusercode trailing", "// out"},
     {"//!beginusercode trailing", "-- in", "//!endusercode trailing", "// out"}},
    {"MarkersAreCaseSensitiveAndAnchored",
     {"//!BEGINUSERCODE", "// a", " //!beginusercode", "// b", "//!beginuser", "// c"},
     {"//!BEGINUSERCODE", "// a", " //!beginusercode", "// b", "//!beginuser", "// c"}},
    // A UTF-8 byte-order mark is three bytes before the marker like any others.
    {"ByteOrderMarkBeforeTheMarkerKeepsItFromCounting",
     {"\xef\xbb\xbf//!beginusercode", "// a", "//!endusercode"},
     {"\xef\xbb\xbf//!beginusercode", "// a", "//!endusercode"}},
    {"IndentedEndMarkerDoesNotClose",
     {"//!beginusercode", " //!endusercode", "// in", "//!endusercodeX", "// out"},
     {"//!beginusercode", " //!endusercode", "-- in", "//!endusercodeX", "// out"}},
    // Shorter than the marker: a comment inside the block like any other.
    {"TruncatedEndMarkerDoesNotClose",
     {"//!beginusercode", "//!endusercod", "// in", "//!endusercode", "// out"},
     {"//!beginusercode", "--!endusercod", "-- in", "//!endusercode", "// out"}},
    {"UnclosedBlockRunsToTheEnd",
     {"//!beginusercode", "// one", "// two"},
     {"//!beginusercode", "-- one", "-- two"}},
    {"SeveralBlocks",
     {"//!beginusercode", "// a", "//!endusercode", "// b", "//!beginusercode", "// c",
      "//!endusercode"},
     {"//!beginusercode", "-- a", "//!endusercode", "// b", "//!beginusercode", "-- c",
      "//!endusercode"}},
    {"BytesAreNotDecoded",
     {"//!beginusercode", "//\0\x1a\xff"s, "\0//"s, "//\r"},
     {"//!beginusercode", "--\0\x1a\xff"s, "\0//"s, "--\r"}},
};

class FilterTest : public testing::TestWithParam<FilterCase> {};

TEST_P(FilterTest, RewritesEachLineAsTheBlockStateSays) {
  UserCodeFilter filter;
  std::vector<std::string> output;
  for (std::string line : GetParam().lines) {
    filter.filter_line(line);
    output.push_back(line);
  }
  EXPECT_EQ(output, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(StateTable, FilterTest, testing::ValuesIn(kFilterCases),
                         testing_support::NameOfCase());

}  // namespace
}  // namespace jassrewrite
