// libFuzzer target: arbitrary script bytes, cut into arbitrary read blocks, go through the
// conversion pass's line splitting and the user-code filter; the result must equal that of a
// plain whole-buffer model of the same rules, written separately here.
//
// Input layout: the low three bits of the first byte give a count N of block-size bytes that
// follow (block sizes 1 to 256, used in turn); the rest is the script. N = 0 reads the script
// as a single block.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rewrite/script_passes.h"
#include "rewrite/user_code_filter.h"

namespace {

bool starts_with(const std::string& line, std::string_view prefix) {
  return line.size() >= prefix.size() && line.compare(0, prefix.size(), prefix) == 0;
}

// The rules, applied to the whole script at once: each line ends at LF, a CR right before that LF
// is not part of it, and every line is written back with CR LF.
std::string model_rewrite(const std::string& script) {
  std::string out;
  bool inside = false;
  std::size_t pos = 0;
  while (pos < script.size()) {
    const std::size_t lf = script.find('\n', pos);
    const bool has_lf = lf != std::string::npos;
    std::string line = script.substr(pos, (has_lf ? lf : script.size()) - pos);
    if (has_lf && !line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (starts_with(line, "//!endusercode")) {
      inside = false;
    } else if (inside) {
      if (starts_with(line, "//")) {
        line[0] = '-';
        line[1] = '-';
      }
    } else if (starts_with(line, "//!beginusercode")) {
      inside = true;
    }
    out += line;
    out += "\r\n";
    pos = has_lf ? lf + 1 : script.size();
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
