#include "rewrite/script_passes.h"

#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rewrite/line_splitting.h"
#include "rewrite/user_code_filter.h"

namespace jassrewrite {

namespace {

std::optional<ConversionFailure> convert_lines(File& script, LineOutput& temp, LineOutput& console,
                                               ContentDigest& read_bytes,
                                               std::size_t read_block_size) {
  UserCodeFilter filter;
  const auto convert_line = [&](std::span<char> line) {
    filter.filter_line(line);
    const std::string_view text(line.data(), line.size());
    write_line(console, text);
    write_line(temp, text);
  };
  std::vector<char> block(read_block_size);
  std::string carried;
  std::size_t unsynced = 0;
  for (;;) {
    const auto [got, error] = read(script, block);
    if (error) {
      return ConversionFailure{ConversionFailure::File::kScript, error};
    }
    if (got == 0) {
      break;
    }
    read_bytes.add(std::string_view(block.data(), got));
    split_lines(std::span(block).first(got), carried, convert_line);
    // After a failed write the temporary file takes nothing more, so the rest of a block is
    // wasted work at most.
    if (temp.error) {
      return ConversionFailure{ConversionFailure::File::kTemp, temp.error};
    }
    if (unsynced += got; unsynced >= kWritebackInterval) {
      start_writeback(*temp.file);
      unsynced = 0;
    }
  }
  finish_lines(carried, convert_line);
  return std::nullopt;
}

// The whole pass: a line that memory cannot hold ends it like a failed read, and must not be taken
// for the end of the script.
std::optional<ConversionFailure> convert_whole(File& script, LineOutput& temp, LineOutput& console,
                                               ContentDigest& read_bytes,
                                               std::size_t read_block_size) {
  try {
    if (auto failure = convert_lines(script, temp, console, read_bytes, read_block_size)) {
      return failure;
    }
  } catch (const std::bad_alloc&) {
    return ConversionFailure{ConversionFailure::File::kScript,
                             std::make_error_code(std::errc::not_enough_memory)};
  }
  if (!flush_output(temp)) {
    return ConversionFailure{ConversionFailure::File::kTemp, temp.error};
  }
  return std::nullopt;
}

}  // namespace

std::optional<ConversionFailure> convert_script(File& script, LineOutput& temp, LineOutput& console,
                                                Converted& converted, std::size_t read_block_size) {
  ContentDigest read_bytes;
  ContentDigest written;
  temp.digest = &written;
  auto failure = convert_whole(script, temp, console, read_bytes, read_block_size);
  temp.digest = nullptr;
  if (!failure) {
    converted = {.script = read_bytes.content(), .rewrite = written.content()};
  }
  return failure;
}

}  // namespace jassrewrite
