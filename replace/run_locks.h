#pragma once

// The run's two locks, each held until the object goes: the folder's, so that one run at a time
// works on tempwar3map.j and the mark, and the script's, for a script that two map folders share by
// a link. Where a file system, or another user, leaves no lock to be had, the run goes on and says
// so.

#include <optional>
#include <string>

#include "os_files/file.h"
#include "replace/error.h"
#include "replace/patience.h"
#include "replace/run_paths.h"

namespace jassrewrite {

class RunLocks {
 public:
  // Waits for the folder's lock, telling once that it waits.
  std::optional<Error> lock_folder(const RunPaths& paths, Patience& patience);
  // Waits for the lock on `script`, open by `path`, which must be a regular file.
  std::optional<Error> lock_script(const File& script, const std::string& path, Patience& patience);
  // Another run may replace the script while this one waits; the lock is then on a file that has
  // gone, and is given up before the script is opened again: waiting on it while holding it would
  // wait for ever, and every later run with it.
  void release_script() { script_ = File(); }

 private:
  File folder_;
  File script_;
};

}  // namespace jassrewrite
