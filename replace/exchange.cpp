// Settling the swap of names that puts the new file in the script's place on Linux: what each
// name leads to afterwards is checked, and the swap undone where it should not stand.

#include "replace/copying.h"
#include "replace/new_file_commit.h"

namespace jassrewrite {

// After the new file has swapped names with the script, both are checked: the script's name must
// lead to the new file as it was written, and the new file's name, `swapped_out`, to the script as
// it was read.
// When another program saved either in the moment since the last check, the two are swapped back
// and nothing is lost. Either way the folder is synced, so that a power cut cannot bring back a
// state in which another program's save sits where the next run removes leftovers.
std::optional<Error> NewFileCommit::settle_exchange(const std::string& swapped_out) {
  Result<FileStatus> put_in = status_at(script_.target);
  const Result<FileStatus> taken_out = status_at(swapped_out);
  // By what it holds too: where times are kept in whole seconds, a write into it within the second
  // leaves them as they were. One taken away meanwhile is as one taken away before.
  Result<bool> rewrite_put_in;
  if (!put_in.error && !taken_out.error) {
    rewrite_put_in = holds_the_rewrite(put_in.value);
    put_in.error = rewrite_put_in.error;
  }
  if (put_in.error == std::errc::no_such_file_or_directory ||
      taken_out.error == std::errc::no_such_file_or_directory) {
    return settle_taken_away(swapped_out, put_in, taken_out);
  }
  if (put_in.error || taken_out.error) {
    return swap_back(swapped_out,
                     failed(script_.path, put_in.error ? put_in.error : taken_out.error));
  }
  const Result<Content> script_now = content_of(script_.file);
  if (script_now.error) {
    return swap_back(swapped_out, failed(script_.path, script_now.error));
  }
  const bool script_read_out =
      is_as_recorded_after_rename(snapshot_of(taken_out.value), script_.as_read) &&
      script_now.value == script_.content;
  // Another program saved the script over the new file since: its save stands, and what the
  // script was is of no more use than the save made it.
  if (!rewrite_put_in.value) {
    if (script_read_out) {
      static_cast<void>(remove(swapped_out));
    }
    return changed(script_.path);
  }
  if (!script_read_out) {
    return swap_back(swapped_out, changed(script_.path));
  }
  // The script as it was, now under the new file's name, is no longer needed.
  script_state_ = ScriptState::kRewritten;
  const std::error_code removal = remove(swapped_out);
  if (const std::error_code error = sync_folder_of(script_.target)) {
    return claiming(failed(script_.path, error, Note::kRewrittenMayNotLast), Claim::kRewritten);
  }
  // Another program that took it away meanwhile did what the removal was for.
  if (removal && removal != std::errc::no_such_file_or_directory) {
    return claiming(failed(swapped_out, removal, Note::kOldScriptLeft), Claim::kRewritten,
                    swapped_out);
  }
  return std::nullopt;
}

// After the exchange another program took away one of the two files.
std::optional<Error> NewFileCommit::settle_taken_away(const std::string& swapped_out,
                                                      const Result<FileStatus>& put_in,
                                                      const Result<FileStatus>& taken_out) {
  // What the script was: nothing is left to swap back, and the new file has its name.
  if (!put_in.error &&
      is_as_recorded_after_rename(snapshot_of(put_in.value), new_file_.as_written())) {
    script_state_ = ScriptState::kRewritten;
    return claiming(failed(swapped_out, taken_out.error, Note::kOldScriptTakenAway),
                    Claim::kRewritten);
  }
  // The rewrite under the script's name, taken away: nothing else takes that name, which another
  // program emptied on purpose, and what the script was stays beside it, where the message says.
  if (!taken_out.error &&
      is_as_recorded_after_rename(snapshot_of(taken_out.value), script_.as_read)) {
    if (const std::error_code sync_error = sync_folder_of(script_.target)) {
      return claiming(failed(script_.path, sync_error, Note::kTakenAwayMayNotLast), Claim::kMissing,
                      swapped_out);
    }
    return claiming(changed(script_.path, Reason::kTakenAway), Claim::kMissing, swapped_out);
  }
  return swap_back(swapped_out,
                   failed(script_.path, put_in.error ? put_in.error : taken_out.error));
}

// Swaps the two names back after an exchange that settle_exchange did not trust, and returns
// `why`, or why the swap back failed. What the swap back gives the new file's name is taken for
// the new file and removed on rollback: where a check failed before it could tell what the swap
// put under the script's name, a save of another program in that moment would go with it (a
// known limit).
std::optional<Error> NewFileCommit::swap_back(const std::string& swapped_out, Error why) {
  if (const std::error_code back = swap_names(swapped_out, script_.target)) {
    // What another program saved, or what cannot be told apart from it, must not be removed.
    Error error = changed(script_.path, Reason::kOtherVersionNotPutBack);
    error.code = back;
    return claiming(std::move(error), Claim::kChangedOtherKept, swapped_out);
  }
  new_file_ = NewFile::taken_back(swapped_out);
  if (const std::error_code sync_error = sync_folder_of(script_.target)) {
    return claiming(failed(script_.path, sync_error, Note::kLeftAsChangedMayNotLast),
                    Claim::kChanged);
  }
  return why;
}

}  // namespace jassrewrite
