#pragma once

// tempwar3map.j as the run holds it: opened and checked by the replacement, then written with the
// rewrite, which it records so that a later change by another program is seen. It knows whether it
// holds the complete rewrite, which a failure must never claim otherwise.

#include <optional>
#include <string>

#include "os_files/content_digest.h"
#include "os_files/file.h"
#include "replace/error.h"
#include "replace/opened_script.h"
#include "replace/patience.h"
#include "replace/snapshot.h"

namespace jassrewrite {

class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}

  // Opens it, created where it is missing, beside `script` as the run opened it; refuses, before
  // anything is written, one that is not a regular file, is the script itself, or could be changed
  // by someone else between its writing and its reading back. Empties it, but beside a missing or
  // empty script: what is in it then may be the only copy of a rewrite that an earlier run was
  // refused to put in the script's place. A failure to open it claims `claim` of the script.
  std::optional<Error> open(const OpenedScript& script, Patience& patience, Claim claim);

  File& file() { return file_; }
  [[nodiscard]] const FileIdentity& identity() const { return identity_; }
  [[nodiscard]] bool left_as_found() const { return left_as_found_; }

  // Once the conversion has written `rewrite` into it: synced, with its name, recorded, and read
  // back. It holds the complete rewrite only once complete_rewrite() says so as well.
  std::optional<Error> record_rewrite(const Content& rewrite);
  // What the conversion read was the whole script: what it holds is that script's complete
  // rewrite.
  void complete_rewrite() { holds_rewrite_ = true; }
  [[nodiscard]] bool holds_rewrite() const { return holds_rewrite_; }
  [[nodiscard]] const Snapshot& rewrite() const { return rewrite_; }
  [[nodiscard]] const Content& rewrite_content() const { return rewrite_content_; }

  // Each refuses where it is no longer the recorded rewrite, which it then no longer claims to
  // hold: by its times and size, by all of its bytes, or by `copied`, what a copy read out of it.
  std::optional<Error> check_as_recorded();
  std::optional<Error> check_contents();
  std::optional<Error> check_copied(const Content& copied);
  // Empties it, unless it holds the complete rewrite: after a failure for want of space, part of a
  // rewrite is of no use to anyone, and would keep the disk full.
  std::error_code empty_unless_complete();

 private:
  std::optional<Error> changed_meanwhile();
  // Opened in the first place, with what the user can do about a failure where doing so loses
  // nothing.
  std::optional<Error> open_file(Patience& patience, Claim claim);
  std::optional<Error> check(const FileStatus& temp, const OpenedScript& script);
  // On Windows it is opened once more, so that no other program may write to it.
  Result<FileStatus> keep_to_the_run(Patience& patience);

  std::string path_;
  File file_;
  FileIdentity identity_;
  bool left_as_found_ = false;
  bool holds_rewrite_ = false;
  Snapshot rewrite_;
  Content rewrite_content_;
};

}  // namespace jassrewrite
