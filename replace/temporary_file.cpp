#include "replace/temporary_file.h"

#include "replace/copying.h"

namespace jassrewrite {

std::optional<Error> TemporaryFile::record_rewrite(const Content& rewrite) {
  if (const std::error_code error = sync(file_)) {
    return failed(path_, error);
  }
  // Its name too, which a run that created it has not put on the disk: a failure from here on
  // says that it keeps the complete rewrite, and that must last through a power cut.
  if (const std::error_code error = sync_folder_of(path_)) {
    return failed(path_, error);
  }
  // The mark never records its modification time.
  const Result<Snapshot> written = record_of(file_);
  if (written.error) {
    return failed(path_, written.error);
  }
  rewrite_ = written.value;
  // Another program that emptied it or wrote to it by its name meanwhile, even within the
  // file system's tick: its size and bytes against what was written.
  const Result<Content> held = content_of(file_);
  if (held.error) {
    return failed(path_, held.error);
  }
  if (held.value != rewrite) {
    return refused(path_, Reason::kTempChanged);
  }
  rewrite_content_ = rewrite;
  return std::nullopt;
}

std::optional<Error> TemporaryFile::check_as_recorded() {
  const Result<FileStatus> now = status(file_);
  if (now.error) {
    holds_rewrite_ = false;
    return failed(path_, now.error);
  }
  return is_as_recorded(snapshot_of(now.value), rewrite_) ? std::nullopt : changed_meanwhile();
}

std::optional<Error> TemporaryFile::check_contents() {
  const Result<Content> now = content_of(file_);
  if (now.error) {
    holds_rewrite_ = false;
    return failed(path_, now.error);
  }
  return check_copied(now.value);
}

std::optional<Error> TemporaryFile::check_copied(const Content& copied) {
  return copied == rewrite_content_ ? std::nullopt : changed_meanwhile();
}

std::error_code TemporaryFile::empty_unless_complete() {
  return holds_rewrite_ ? std::error_code() : truncate(file_);
}

std::optional<Error> TemporaryFile::changed_meanwhile() {
  holds_rewrite_ = false;
  return refused(path_, Reason::kTempChanged);
}

}  // namespace jassrewrite
