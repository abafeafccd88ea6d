#pragma once

// The new file made beside the script to take its place. It owns its name while it is active, and
// the object goes with it removed. Once the name may lead to something else (swapped with the
// script's, given to the script, or found changed by another program), it is deactivated, and
// nothing removes what the name leads to, unless a swap undone gives the name back (taken_back).

#include <string>

#include "os_files/content_digest.h"
#include "os_files/file.h"
#include "replace/snapshot.h"

namespace jassrewrite {

class NewFile {
 public:
  NewFile() = default;
  // Creates `path`, which must not exist yet.
  static Result<NewFile> create(std::string path);
  // The run's new file again, under `path` once more after its name was swapped back. The caller
  // answers for what the name leads to: active, it is removed on rollback.
  static NewFile taken_back(std::string path);
  // A move takes the name over from `other`, which is then inactive; an assignment first removes
  // the file this one owns, as its destructor would.
  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&& other) noexcept;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  // A last resort: the run removes its new file itself, so that it can tell what is left.
  ~NewFile();

  [[nodiscard]] bool active() const { return !path_.empty(); }
  [[nodiscard]] const std::string& path() const { return path_; }
  File& file() { return file_; }
  // The file as finish() recorded it, to tell whether its name still leads to it.
  [[nodiscard]] const Snapshot& as_written() const { return as_written_; }

  // Once written: records the file and reads it back through its handle; whether it holds
  // `expected`, and where it does, closed.
  Result<bool> finish(const Content& expected);
  // Removes it, unless that fails; removed, it is deactivated.
  std::error_code remove();
  // Its name is no longer the run's to remove; returns that name.
  std::string deactivate();

 private:
  std::string path_;
  File file_;
  Snapshot as_written_;
};

}  // namespace jassrewrite
