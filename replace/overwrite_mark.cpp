#include "replace/overwrite_mark.h"

#include "replace/copying.h"

namespace jassrewrite {

std::optional<Error> write_mark(const std::string& temp_path, const OverwriteRecord& record) {
  const std::string unfinished = unfinished_mark_path(temp_path);
  const std::string path = overwrite_mark_path(temp_path);
  auto [mark, error] = create_new(unfinished);
  if (error) {
    return failed(unfinished, error);
  }
  error = write(mark, record_text(record));
  if (!error) {
    error = sync(mark);
  }
  const std::error_code close_error = close(mark);
  if (!error) {
    error = close_error;
  }
  if (error) {
    remove(unfinished);
    return failed(unfinished, error);
  }
  if (error = rename_new(unfinished, path); error) {
    remove(unfinished);
    return failed(path, error);
  }
  if (error = sync_folder_of(path); error) {
    // A mark left here is harmless: the next run finds the script as it records, and drops it.
    remove(path);
    return failed(path, error);
  }
  return std::nullopt;
}

std::error_code remove_lasting(const std::string& path) {
  std::error_code error = remove(path);
  return error ? error : sync_folder_of(path);
}

std::optional<Error> read_mark(const std::string& path, FoundMark& found) {
  Result<Opened> mark = look_at(open_for_reading_unfollowed(path));
  if (mark.error) {
    return failed(path, mark.error);
  }
  found.status = mark.value.status;
  std::string text(kLongestRecord + 1, '\0');
  const Result<std::size_t> got = read_fully(mark.value.file, text);
  if (got.error) {
    return failed(path, got.error);
  }
  text.resize(got.value);
  const std::optional<OverwriteRecord> record = parse_record(text);
  if (!record) {
    return refused(path, Reason::kNotOurRecord);
  }
  found.record = *record;
  return std::nullopt;
}

std::optional<Error> check_copy_in_place(File& temp, File& script, const RunPaths& paths,
                                         const Snapshot& rewrite, const Content& rewrite_content,
                                         const Content& copied, Error not_the_rewrite) {
  const Result<FileStatus> copied_from = status(temp);
  if (copied_from.error) {
    return failed(paths.temp, copied_from.error, Note::kCopyUnverified);
  }
  if (!is_as_recorded(snapshot_of(copied_from.value), rewrite) || copied != rewrite_content) {
    return not_the_rewrite;
  }
  const Result<Content> held = content_of(script);
  if (held.error) {
    return failed(paths.script, held.error, Note::kCopyUnverified);
  }
  return held.value == copied ? std::nullopt : std::optional(written_meanwhile(paths));
}

Error written_meanwhile(const RunPaths& paths) {
  Error error = claiming(refused(paths.script, Reason::kWrittenMeanwhile), Claim::kChangedOtherKept,
                         paths.temp);
  error.note = Note::kWrittenMeanwhile;
  return error;
}

}  // namespace jassrewrite
