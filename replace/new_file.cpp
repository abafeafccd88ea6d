#include "replace/new_file.h"

#include <utility>

#include "replace/copying.h"

namespace jassrewrite {

Result<NewFile> NewFile::create(std::string path) {
  auto [file, error] = create_new(path);
  if (error) {
    return {.error = error};
  }
  NewFile made;
  made.path_ = std::move(path);
  made.file_ = std::move(file);
  return {.value = std::move(made)};
}

NewFile NewFile::taken_back(std::string path) {
  NewFile again;
  again.path_ = std::move(path);
  return again;
}

NewFile::NewFile(NewFile&& other) noexcept
    : path_(other.deactivate()), file_(std::move(other.file_)), as_written_(other.as_written_) {}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
  if (this != &other) {
    static_cast<void>(remove());
    path_ = other.deactivate();
    file_ = std::move(other.file_);
    as_written_ = other.as_written_;
  }
  return *this;
}

NewFile::~NewFile() { static_cast<void>(remove()); }

Result<bool> NewFile::finish(const Content& expected) {
  const Result<Snapshot> written = record_of(file_);
  if (written.error) {
    return {.error = written.error};
  }
  as_written_ = written.value;
  // Read back after the record above, so that a write into it by its name is caught by one of the
  // two: by what it holds until now, by its times from now on.
  const Result<Content> held = content_of(file_);
  if (held.error) {
    return {.error = held.error};
  }
  if (held.value != expected) {
    return {.value = false};
  }
  return {.value = true, .error = close(file_)};
}

std::error_code NewFile::remove() {
  if (!active()) {
    return {};
  }
  // Windows removes no file that is open.
  file_ = File();
  const std::error_code error = jassrewrite::remove(path_);
  if (!error) {
    path_.clear();
  }
  return error;
}

std::string NewFile::deactivate() { return std::exchange(path_, std::string()); }

}  // namespace jassrewrite
