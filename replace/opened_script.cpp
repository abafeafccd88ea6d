#include "replace/opened_script.h"

#include "replace/copying.h"

namespace jassrewrite {

// Where the script's name no longer leads to the file that was read (or, `and_contents`, to that
// file as it was read), it changed: the check right before each step that replaces it. The name
// the user knows is followed, not the file its links led to when the run began: a link pointed
// elsewhere since, or a file saved over the link, is a change too.
std::optional<Error> OpenedScript::check_name(bool and_contents) const {
  const Result<FileStatus> named = status_at(path);
  if (named.error == std::errc::no_such_file_or_directory) {
    return changed(path);
  }
  if (named.error) {
    return failed(path, named.error);
  }
  const Snapshot now = snapshot_of(named.value);
  if (now.links == 0 || now.identity != as_read.identity ||
      (and_contents && !is_as_recorded(now, as_read))) {
    return changed(path);
  }
  return std::nullopt;
}

std::optional<Error> OpenedScript::take_as_read() {
  const Result<FileStatus> now = status(file);
  if (now.error) {
    return failed(path, now.error);
  }
  as_opened = now.value;
  as_read = snapshot_of(as_opened);
  return std::nullopt;
}

std::optional<Error> OpenedScript::check_opened() const {
  const Result<FileStatus> now = status(file);
  if (now.error) {
    return failed(path, now.error);
  }
  return is_as_recorded(snapshot_of(now.value), as_read) ? std::nullopt
                                                         : std::optional(changed(path));
}

// Where the script's contents are no longer those that were read: another program wrote into it
// in place, within the tick of a file system that keeps coarse times.
std::optional<Error> OpenedScript::check_contents() {
  const Result<Content> now = content_of(file);
  if (now.error) {
    return failed(path, now.error);
  }
  return now.value == content ? std::nullopt : std::optional(changed(path));
}

}  // namespace jassrewrite
