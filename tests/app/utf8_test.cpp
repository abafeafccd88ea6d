#include "app/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "test_support.h"

namespace jassrewrite {
namespace {

using testing_support::NameOfCase;

struct Utf8Case {
  const char* name;
  std::string text;
  bool utf8;
  // Only this many bytes of `text` are checked: the bytes after them must not count.
  std::size_t checked = std::string::npos;
};

void PrintTo(const Utf8Case& row, std::ostream* os) { *os << row.name; }

// The edges of each range in Unicode's table of well-formed byte sequences, and one step past.
const std::vector<Utf8Case> kUtf8Cases = {
    {"Empty", "", true},
    {"Ascii", "call BJDebugMsg(\"x\")\r\n", true},
    {"Nul", std::string("a\0b", 3), true},
    {"LatinAndCyrillic", "caf\xC3\xA9 \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", true},
    {"TwoBytesLowest", "\xC2\x80", true},
    {"TwoBytesHighest", "\xDF\xBF", true},
    {"OverlongTwoBytesC0", "\xC0\xAF", false},
    {"OverlongTwoBytesC1", "\xC1\xBF", false},
    {"ThreeBytesLowest", "\xE0\xA0\x80", true},
    {"OverlongThreeBytes", "\xE0\x9F\xBF", false},
    {"BeforeSurrogates", "\xED\x9F\xBF", true},
    {"FirstSurrogate", "\xED\xA0\x80", false},
    {"LastSurrogate", "\xED\xBF\xBF", false},
    {"AfterSurrogates", "\xEE\x80\x80", true},
    {"ThreeBytesHighest", "\xEF\xBF\xBF", true},
    {"FourBytesLowest", "\xF0\x90\x80\x80", true},
    {"OverlongFourBytes", "\xF0\x8F\xBF\xBF", false},
    {"HighestCodePoint", "\xF4\x8F\xBF\xBF", true},
    {"PastHighestCodePoint", "\xF4\x90\x80\x80", false},
    {"LeadF5", "\xF5\x80\x80\x80", false},
    {"LeadFF", "\xFF", false},
    {"LoneContinuation", "a\x80z", false},
    {"TwoBytesCutShort", "caf\xC3\xA9", false, 4},
    {"ThreeBytesCutShort", "\xE2\x82\xAC", false, 2},
    {"FourBytesCutShort", "\xF0\x9F\x98\x80", false, 3},
    {"ThirdByteNotContinuation", "\xE2\x82z", false},
    {"FourthByteNotContinuation", "\xF0\x9F\x98z", false},
    {"SecondByteAscii", "\xC3z", false},
    {"Windows1252", "caf\xE9", false},
};

class Utf8Check : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Check, AcceptsOnlyWellFormedUtf8) {
  EXPECT_EQ(is_utf8(std::string_view(GetParam().text).substr(0, GetParam().checked)),
            GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(Utf8, Utf8Check, testing::ValuesIn(kUtf8Cases), NameOfCase());

struct RunsCase {
  const char* name;
  std::string block;
  std::vector<std::pair<std::string, bool>> runs;
};

void PrintTo(const RunsCase& row, std::ostream* os) { *os << row.name; }

const std::vector<RunsCase> kRunsCases = {
    {"EmptyBlockHasNoRuns", "", {}},
    {"AllUtf8IsOneRun", "a\r\ncaf\xC3\xA9\r\nz\r\n", {{"a\r\ncaf\xC3\xA9\r\nz\r\n", true}}},
    {"AllOtherIsOneRun", "\xE9\r\n\xFF\r\n", {{"\xE9\r\n\xFF\r\n", false}}},
    {"KindsAlternate",
     "a\r\n\xE9\r\nb\r\nc\r\n\xFF\r\n",
     {{"a\r\n", true}, {"\xE9\r\n", false}, {"b\r\nc\r\n", true}, {"\xFF\r\n", false}}},
    // A character cut by a line break is no character: each line is judged on its own.
    {"ACharacterCutByALineBreak", "\xC3\n\xA9\n", {{"\xC3\n\xA9\n", false}}},
    {"BytesAfterTheLastLineBreakAreALine", "a\r\n\xE9z", {{"a\r\n", true}, {"\xE9z", false}}},
    {"ALongLineHandedOverAlone", "\xE9xyz", {{"\xE9xyz", false}}},
    {"EmptyLines", "\n\n\xE9\n\n", {{"\n\n", true}, {"\xE9\n", false}, {"\n", true}}},
};

class Utf8Runs : public testing::TestWithParam<RunsCase> {};

TEST_P(Utf8Runs, SplitABlockIntoRunsOfWholeLines) {
  std::vector<std::pair<std::string, bool>> runs;
  for_each_utf8_run(GetParam().block, [&](std::string_view run, bool utf8) {
    runs.emplace_back(std::string(run), utf8);
  });
  EXPECT_EQ(runs, GetParam().runs);
}

INSTANTIATE_TEST_SUITE_P(Utf8, Utf8Runs, testing::ValuesIn(kRunsCases), NameOfCase());

struct PieceCase {
  const char* name;
  std::string text;
  std::size_t limit;
  std::size_t piece;
};

void PrintTo(const PieceCase& row, std::ostream* os) { *os << row.name; }

// "a" then U+1F600, four bytes that make two UTF-16 units.
const std::vector<PieceCase> kPieceCases = {
    {"ShortTextIsOnePiece", "a\xF0\x9F\x98\x80", 8, 5},
    {"TextOfExactlyTheLimit", "a\xF0\x9F\x98\x80", 5, 5},
    {"EndsBeforeACharacterThatWouldBeCut", "a\xF0\x9F\x98\x80z", 4, 1},
    {"EndsBeforeTheNextCharacter", "a\xF0\x9F\x98\x80z", 5, 5},
    {"TwoByteCharacterAtTheLimit", "abc\xC3\xA9", 4, 3},
    {"ThreeByteCharacterAtTheLimit", "ab\xE2\x82\xAC", 4, 2},
    {"AsciiAtTheLimit", "abcdef", 4, 4},
    {"EndsAfterTheLastLineBreakWithinTheLimit", "a\nb\ncdef", 5, 4},
    {"EndsAfterALineBreakAtTheLimit", "abc\ndef", 4, 4},
    {"ALineBreakJustPastTheLimitDoesNotCount", "a\nbcd\n", 5, 2},
};

class Utf8Pieces : public testing::TestWithParam<PieceCase> {};

TEST_P(Utf8Pieces, EndBetweenLinesOrCharacters) {
  EXPECT_EQ(utf8_piece(GetParam().text, GetParam().limit), GetParam().piece);
}

INSTANTIATE_TEST_SUITE_P(Utf8, Utf8Pieces, testing::ValuesIn(kPieceCases), NameOfCase());

}  // namespace
}  // namespace jassrewrite
