// The recovery of what earlier runs left (recovery.h), in order, as the replacement takes it in.

#include "replace/replacement.h"

namespace jassrewrite {

// The recovery of what earlier runs left, in order, under both locks.
std::optional<Error> ScriptReplacement::recover() {
  if (auto error = drop_unfinished_mark(paths_)) {
    return error;
  }
  if (auto error = took_effect(recover_cut_overwrite(paths_))) {
    return error;
  }
  if (auto error = settle_left_new_file()) {
    return error;
  }
  // What the conversion reads, and what it checks against, is the script as recovered.
  if (recovered_ == Recovered::kFinishedCutOverwrite) {
    return script_.take_as_read();
  }
  return std::nullopt;
}

std::optional<Error> ScriptReplacement::took_effect(Recovery step) {
  if (step.done != Recovered::kNothing) {
    recovered_ = step.done;
    script_state_ = ScriptState::kFinishedFromEarlierRun;
  }
  return std::move(step.error);
}

// A new file beside the script is left by a run that was killed, or by the system stopping between
// the two steps of a replacement: the script's lock says that no run is using it now.
std::optional<Error> ScriptReplacement::settle_left_new_file() {
  const std::string path = (script_.present ? script_.target : paths_.script) + kNewFileSuffix;
  const Result<bool> left = name_exists(path);
  if (left.error) {
    return failed(path, left.error);
  }
  if (!left.value) {
    return std::nullopt;
  }
  if (!script_.present) {
    // An empty script must not take the place of a rewrite that could not take its name.
    if (auto error = took_effect(name_left_rewrite(paths_))) {
      return error;
    }
    return script_.open(locks_, patience_);
  }
  const std::error_code error = patience_.retry(path, [&] { return remove(path); });
  // One that may not be removed (another user's in a shared folder, a folder where nothing may be
  // removed, a folder with files in it, which are not the run's to remove) has the script
  // overwritten in place instead.
  if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
      error == std::errc::directory_not_empty) {
    placement_ = Placement::kInPlace;
    return std::nullopt;
  }
  return error ? std::optional(in_the_way(path, error)) : std::nullopt;
}

}  // namespace jassrewrite
