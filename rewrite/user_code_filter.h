#pragma once

#include <span>

namespace jassrewrite {

// Follows a JASS map script line by line and rewrites the comment lines of its user-code blocks.
// A block opens at a line that begins with "//!beginusercode" and closes at a line that begins
// with "//!endusercode"; inside it, a line that begins with "//" gets "--" in their place. The
// marker lines themselves and every line outside a block pass unchanged. Blocks do not nest.
class UserCodeFilter {
 public:
  // Takes the next line of the script, without its line break, and rewrites it in place. Only the
  // first two bytes can change, so the caller's buffer serves as the output and nothing is copied.
  void filter_line(std::span<char> line);

 private:
  bool in_user_code_ = false;
};

}  // namespace jassrewrite
