#pragma once

// The new file made beside the script to take its place. It owns its name while it is active:
// removing it then loses nothing, and the object goes with it removed. Once its name may lead to
// anything but the rewrite that the run wrote there (the name swapped with the script's, given to
// the script, or found changed by another program), it is deactivated, and nothing removes what
// that name leads to.

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
  // The run's new file again, under `path` once more after its name was swapped back.
  static NewFile taken_back(std::string path);
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

  // Once written: records the file, reads it back through its handle, and closes it. Whether it
  // holds `expected`.
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
