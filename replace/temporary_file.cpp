#include "replace/temporary_file.h"

#include "replace/copying.h"

namespace jassrewrite {

std::optional<Error> TemporaryFile::open(const OpenedScript& script, Patience& patience,
                                         Claim claim) {
  if (auto error = open_file(patience, claim)) {
    return error;
  }
  const Result<FileStatus> checked = status(file_);
  if (checked.error) {
    return failed(path_, checked.error);
  }
  if (auto refusal = check(checked.value, script)) {
    return refusal;
  }
  const Result<FileStatus> kept = keep_to_the_run(patience);
  if (kept.error) {
    return failed(path_, kept.error);
  }
  if (kept.value.identity != checked.value.identity) {
    return refused(path_, Reason::kChangedWhileOpened, NextStep::kRunAgain);
  }
  identity_ = kept.value.identity;
  left_as_found_ = !script.to_rewrite() && kept.value.size > 0;
  if (left_as_found_) {
    return std::nullopt;
  }
  const std::error_code error = truncate(file_);
  return error ? std::optional(failed(path_, error)) : std::nullopt;
}

std::optional<Error> TemporaryFile::open_file(Patience& patience, Claim claim) {
  const std::error_code error = patience.retry(path_, [&] {
    Result<File> opened = open_or_create_unfollowed(path_);
    file_ = std::move(opened.value);
    return opened.error;
  });
  if (!error) {
    return std::nullopt;
  }
  if (error == std::errc::too_many_symbolic_link_levels) {
    return refused(path_, Reason::kSymbolicLink, NextStep::kDeleteItThenRunAgain);
  }
  if (error == std::errc::not_supported) {
    return refused(path_, Reason::kNotAFile);
  }
  if (error == std::errc::is_a_directory) {
    return refused(path_, Reason::kFolder, NextStep::kMoveItAwayThenRunAgain);
  }
  NextStep next_step = NextStep::kCloseTheHolder;
  if (error == std::errc::permission_denied || error == std::errc::read_only_file_system) {
    const Result<bool> there = name_exists(path_);
    if (there.error) {
      return failed(path_, error);
    }
    next_step = there.value ? NextStep::kMakeWritableOrDelete : NextStep::kMakeFolderWritable;
  } else if (error != std::errc::device_or_resource_busy) {
    return failed(path_, error);
  }
  return telling(failed(path_, error), claim, {}, next_step);
}

// Its permission bits become the script's.
std::optional<Error> TemporaryFile::check(const FileStatus& temp, const OpenedScript& script) {
  if (!temp.regular) {
    return refused(path_, Reason::kNotAFile);
  }
  // Emptying the script itself under another name would lose it before a line was read.
  if (script.present && temp.identity == script.as_opened.identity) {
    return refused(path_, Reason::kTheScriptItself);
  }
  // Without a script to rewrite, its bytes go nowhere.
  if (!script.to_rewrite()) {
    return std::nullopt;
  }
  if (auto reason = distrust(temp, &script.as_opened)) {
    return refused(path_, *reason, NextStep::kDeleteItThenRunAgain);
  }
  const std::error_code error = copy_permissions(file_, script.as_opened, false);
  if (error == std::errc::operation_not_permitted) {
    return refused(path_, Reason::kOtherUser, NextStep::kDeleteItThenRunAgain);
  }
  return error ? std::optional(failed(path_, error)) : std::nullopt;
}

Result<FileStatus> TemporaryFile::keep_to_the_run(Patience& patience) {
  const std::error_code reopening = patience.retry(path_, [&] {
    Result<File> kept = keep_others_from_writing(file_, path_);
    file_ = std::move(kept.value);
    return kept.error;
  });
  return reopening ? Result<FileStatus>{.error = reopening} : status(file_);
}

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
