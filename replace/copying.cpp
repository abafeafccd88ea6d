#include "replace/copying.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace jassrewrite {

std::optional<Error> copy_contents(File& from, const std::string& from_path, File& to,
                                   const std::string& to_path, Content& copied) {
  if (std::error_code error = rewind(from); error) {
    return failed(from_path, error);
  }
  if (std::error_code error = rewind(to); error) {
    return failed(to_path, error);
  }
  std::vector<char> block(kReadBlockSize);
  ContentDigest digest;
  std::size_t unsynced = 0;
  for (;;) {
    const auto [got, error] = read(from, block);
    if (error) {
      return failed(from_path, error);
    }
    if (got == 0) {
      break;
    }
    const Result<FileStatus> now = status(to);
    if (now.error) {
      return failed(to_path, now.error);
    }
    if (now.value.size != digest.content().size) {
      return refused(to_path, Reason::kWrittenMeanwhile);
    }
    digest.add(std::string_view(block.data(), got));
    if (const std::error_code refused = write(to, std::string_view(block.data(), got))) {
      return failed(to_path, refused);
    }
    if (unsynced += got; unsynced >= kWritebackInterval) {
      start_writeback(to);
      unsynced = 0;
    }
  }
  if (std::error_code error = sync(to); error) {
    return failed(to_path, error);
  }
  copied = digest.content();
  return std::nullopt;
}

std::optional<Error> reserve_space(File& file, const std::string& path, std::uint64_t size) {
  const std::error_code error = reserve(file, size);
  return error && error != std::errc::not_supported ? std::optional<Error>(failed(path, error))
                                                    : std::nullopt;
}

std::optional<Error> overwrite_with(File& from, const std::string& from_path, File& to,
                                    const std::string& to_path, std::uint64_t size,
                                    Content& copied) {
  if (std::error_code error = truncate(to); error) {
    return failed(to_path, error);
  }
  if (auto failure = reserve_space(to, to_path, size)) {
    return failure;
  }
  return copy_contents(from, from_path, to, to_path, copied);
}

Result<Content> content_of(File& file) {
  if (std::error_code error = rewind(file); error) {
    return {.error = error};
  }
  std::vector<char> block(kReadBlockSize);
  ContentDigest digest;
  for (;;) {
    const auto [got, error] = read(file, block);
    if (error) {
      return {.error = error};
    }
    if (got == 0) {
      return {.value = digest.content()};
    }
    digest.add(std::string_view(block.data(), got));
  }
}

Result<Opened> look_at(Result<File> opened) {
  if (opened.error) {
    return {.error = opened.error};
  }
  const Result<FileStatus> seen = status(opened.value);
  return {.value = {std::move(opened.value), seen.value}, .error = seen.error};
}

Result<std::size_t> read_fully(File& file, std::span<char> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const auto [got, error] = read(file, buffer.subspan(filled));
    if (error) {
      return {.value = filled, .error = error};
    }
    if (got == 0) {
      break;
    }
    filled += got;
  }
  return {.value = filled};
}

Result<bool> is_start_of(File& start, File& file) {
  std::vector<char> start_block(kReadBlockSize);
  std::vector<char> file_block(kReadBlockSize);
  for (;;) {
    const auto [got, error] = read_fully(start, start_block);
    if (error) {
      return {.error = error};
    }
    if (got == 0) {
      return {.value = true};
    }
    const Result<std::size_t> expected = read_fully(file, std::span(file_block).first(got));
    if (expected.error) {
      return {.error = expected.error};
    }
    if (expected.value != got ||
        std::string_view(start_block.data(), got) != std::string_view(file_block.data(), got)) {
      return {.value = false};
    }
  }
}

}  // namespace jassrewrite
