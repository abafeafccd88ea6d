#pragma once

// The new file beside the script committed over it in one step, and checked after: swapped with the
// script where the system can swap names, so that another program's save in that moment can be
// swapped back, or renamed over it where it cannot (Windows). Committed, the new file's name is no
// longer the run's: the new file is deactivated.

#include <optional>
#include <string>

#include "os_files/file.h"
#include "replace/error.h"
#include "replace/new_file.h"
#include "replace/opened_script.h"
#include "replace/patience.h"
#include "replace/script_state.h"
#include "replace/temporary_file.h"

namespace jassrewrite {

// What committing the new file came to.
struct Committed {
  // The rename was refused (another program holds the script open, a folder where the user may
  // create but not replace another's file): the new file is removed and the script is as it was,
  // so that it can still be overwritten in place.
  bool refused_its_place = false;
  // Otherwise what stopped it, which claims what holds, if anything did.
  std::optional<Error> error;
};

// Commits `new_file`, which holds the complete rewrite in `temp`, over `script`; `script_state`
// follows the script as it changes, so that a failure claims only what holds.
class NewFileCommit {
 public:
  NewFileCommit(NewFile& new_file, OpenedScript& script, const TemporaryFile& temp,
                Patience& patience, ScriptState& script_state)
      : new_file_(new_file),
        script_(script),
        temp_(temp),
        patience_(patience),
        script_state_(script_state) {}

  Committed commit();

 private:
  std::optional<Error> put_in();
  std::optional<Error> rename_over_script();
  // Removes the new file; where the refusal leaves the script as it was, the commit is refused its
  // place.
  std::optional<Error> after_refused_rename(const std::error_code& error);
  std::optional<Error> check_new_file_name();
  std::optional<Error> check_renamed_in();
  [[nodiscard]] Result<bool> holds_the_rewrite(const FileStatus& named) const;
  // After a swap of names (exchange.cpp).
  std::optional<Error> settle_exchange(const std::string& swapped_out);
  std::optional<Error> settle_taken_away(const std::string& swapped_out,
                                         const Result<FileStatus>& put_in,
                                         const Result<FileStatus>& taken_out);
  std::optional<Error> swap_back(const std::string& swapped_out, Error why);

  NewFile& new_file_;
  OpenedScript& script_;
  const TemporaryFile& temp_;
  Patience& patience_;
  ScriptState& script_state_;
  bool refused_its_place_ = false;
};

}  // namespace jassrewrite
