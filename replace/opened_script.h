#pragma once

// The script as the run opened and read it, and what is asked of it again before it is replaced:
// is it still that file, with those bytes, under its name?

#include <optional>
#include <string>

#include "os_files/content_digest.h"
#include "os_files/file.h"
#include "replace/error.h"
#include "replace/patience.h"
#include "replace/run_locks.h"
#include "replace/snapshot.h"

namespace jassrewrite {

struct OpenedScript {
  // As the user knows it, for messages.
  std::string path;
  // Where it really is, its last symbolic link resolved: the file that gets replaced.
  std::string target;
  bool present = false;
  File file;
  // As opened, for what a new file in its place must have.
  FileStatus as_opened;
  // As read, for the checks; moved on where claiming space for an overwrite in place moved its
  // times.
  Snapshot as_read;
  // What the conversion read of it.
  Content content;

  // Opens the script at `path` and takes its lock; a missing one is none (present stays false),
  // unless its name is a dangling link. Opened again where another run replaced the script by a
  // new file while this one waited for its lock.
  std::optional<Error> open(RunLocks& locks, Patience& patience);

  // Takes the script as it is now, by its handle, for what it was opened and read as: once it is
  // locked, and once the recovery has finished a copy into it.
  std::optional<Error> take_as_read();

  // A script with bytes in it: the only kind whose rewrite goes through tempwar3map.j.
  [[nodiscard]] bool to_rewrite() const { return present && as_opened.size > 0; }

  // Each refuses, as changed by another program, a script that is no longer as read: the file
  // opened, by its times and size; by all of its bytes; or the file its name leads to, by its
  // identity and, with `and_contents`, its times and size.
  [[nodiscard]] std::optional<Error> check_opened() const;
  std::optional<Error> check_contents();
  [[nodiscard]] std::optional<Error> check_name(bool and_contents) const;
};

}  // namespace jassrewrite
