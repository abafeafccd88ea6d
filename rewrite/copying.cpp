#include "rewrite/copying.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace jassrewrite {

std::error_code close_lasting(File& file, const std::string& path) {
  std::error_code error = sync(file);
  if (!error) {
    error = close(file);
  }
  return error ? error : sync_folder_of(path);
}

std::optional<FileError> copy_contents(File& from, const std::string& from_path, File& to,
                                       const std::string& to_path) {
  if (std::error_code error = rewind(from); error) {
    return os_error(from_path, error);
  }
  if (std::error_code error = rewind(to); error) {
    return os_error(to_path, error);
  }
  std::vector<char> block(kReadBlockSize);
  std::size_t unsynced = 0;
  for (;;) {
    const auto [got, error] = read(from, block);
    if (error) {
      return os_error(from_path, error);
    }
    if (got == 0) {
      break;
    }
    if (const std::error_code failed = write(to, std::string_view(block.data(), got))) {
      return os_error(to_path, failed);
    }
    if (unsynced += got; unsynced >= kWritebackInterval) {
      start_writeback(to);
      unsynced = 0;
    }
  }
  if (std::error_code error = sync(to); error) {
    return os_error(to_path, error);
  }
  return std::nullopt;
}

std::optional<FileError> reserve_space(File& file, const std::string& path, std::uint64_t size) {
  const std::error_code error = reserve(file, size);
  return os_error_or_none(path, error == std::errc::not_supported ? std::error_code() : error);
}

std::optional<FileError> overwrite_with(File& from, const std::string& from_path, File& to,
                                        const std::string& to_path, std::uint64_t size) {
  if (std::error_code error = truncate(to); error) {
    return os_error(to_path, error);
  }
  if (auto failure = reserve_space(to, to_path, size)) {
    return failure;
  }
  return copy_contents(from, from_path, to, to_path);
}

}  // namespace jassrewrite
