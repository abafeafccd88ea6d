// libFuzzer target: arbitrary script bytes, cut into arbitrary read blocks, go through the
// conversion pass's line splitting and the user-code filter; the result must equal that of a
// whole-buffer model of the same rules, written here the other way round from the real code, so
// that a rule misread in one is not shared by the other.
//
// Input layout: the low three bits of the first byte give a count N of block-size bytes that
// follow (block sizes 1 to 256, used in turn); the rest is the script. N = 0 reads the script
// as a single block.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "rewrite/line_splitting.h"
#include "rewrite/user_code_filter.h"

namespace {

auto starts_with(std::string_view prefix) {
  return [prefix](const std::string& line) { return line.starts_with(prefix); };
}

// The whole script is split into lines first, then each block is found by its begin and end
// lines, and only the lines strictly between those two are rewritten.
std::string model_rewrite(const std::string& script) {
  // All of the line-end rules: getline ends a line at LF and yields no empty line after a final
  // LF; a CR before that LF is part of the break, while a last line without LF keeps its CR.
  std::vector<std::string> lines;
  std::istringstream in(script);
  for (std::string line; std::getline(in, line);) {
    if (!in.eof() && line.ends_with('\r')) {
      line.pop_back();
    }
    lines.push_back(line);
  }

  auto begin = std::ranges::find_if(lines, starts_with("//!beginusercode"));
  while (begin != lines.end()) {
    const auto end = std::find_if(begin + 1, lines.end(), starts_with("//!endusercode"));
    std::for_each(begin + 1, end, [](std::string& line) {
      if (line.starts_with("//")) {
        line.replace(0, 2, "--");
      }
    });
    begin = std::find_if(end, lines.end(), starts_with("//!beginusercode"));
  }

  std::string out;
  for (const std::string& line : lines) {
    out += line + "\r\n";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t block_size_count = std::min<std::size_t>(data[0] & 7U, size - 1);
  std::vector<std::size_t> block_sizes;
  for (std::size_t i = 0; i < block_size_count; ++i) {
    block_sizes.push_back(std::size_t{data[1 + i]} + 1);
  }
  const std::size_t header = 1 + block_size_count;
  const std::string script(reinterpret_cast<const char*>(data) + header, size - header);

  std::string buffer = script;
  std::string carried;
  std::string rewritten;
  jassrewrite::UserCodeFilter filter;
  const auto on_line = [&](std::span<char> line) {
    filter.filter_line(line);
    rewritten.append(line.data(), line.size());
    rewritten += "\r\n";
  };
  std::size_t offset = 0;
  for (std::size_t block = 0; offset < buffer.size(); ++block) {
    const std::size_t wanted =
        block_sizes.empty() ? buffer.size() : block_sizes[block % block_sizes.size()];
    const std::size_t length = std::min(wanted, buffer.size() - offset);
    jassrewrite::split_lines(std::span(buffer).subspan(offset, length), carried, on_line);
    offset += length;
  }
  jassrewrite::finish_lines(carried, on_line);

  if (rewritten != model_rewrite(script)) {
    std::abort();
  }
  return 0;
}
