#include "rewrite/user_code_filter.h"

#include <algorithm>
#include <string_view>

namespace jassrewrite {

namespace {

// Every test is a byte-exact, case-sensitive prefix test at the very start of the line: leading
// blanks make it fail, and whatever follows the literal does not matter.
constexpr std::string_view kEndMarker = "//!endusercode";
constexpr std::string_view kBeginMarker = "//!beginusercode";
constexpr std::string_view kCommentPrefix = "//";
constexpr std::string_view kReplacementPrefix = "--";

}  // namespace

void UserCodeFilter::filter_line(std::span<char> line) {
  const std::string_view text(line.data(), line.size());
  // The end marker is looked for first and in either state, so the closing line itself is never
  // rewritten even though it begins with "//".
  if (text.starts_with(kEndMarker)) {
    in_user_code_ = false;
  } else if (in_user_code_) {
    if (text.starts_with(kCommentPrefix)) {
      std::ranges::copy(kReplacementPrefix, line.begin());
    }
  } else if (text.starts_with(kBeginMarker)) {
    in_user_code_ = true;
  }
}

}  // namespace jassrewrite
