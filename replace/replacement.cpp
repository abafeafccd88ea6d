#include "replace/replacement.h"

#include <cassert>
#include <utility>
#include <vector>

#include "replace/copying.h"

namespace jassrewrite {

ScriptReplacement::ScriptReplacement(RunPaths paths, InterruptHold interrupts, Tell tell)
    : paths_(std::move(paths)),
      interrupts_(interrupts),
      patience_(std::move(tell)),
      script_{.path = paths_.script},
      temp_(paths_.temp) {}

ScriptReplacement::~ScriptReplacement() {
  if (state_ != State::kCommitted && state_ != State::kRolledBack) {
    state_ = State::kRolledBack;
    remove_new_file();
  }
  interrupts_.release(InterruptsSay::kReported);
}

std::optional<Error> ScriptReplacement::open() {
  assert(state_ == State::kIdle);
  if (auto error = locks_.lock_folder(paths_, patience_)) {
    return fail(*error);
  }
  if (auto error = script_.open(locks_, patience_)) {
    return fail(*error);
  }
  // Under the script's lock too: a run in another folder that shares the script must not rewrite
  // it while it is being finished.
  interrupts_.hold();
  if (auto error = recover()) {
    return fail(*error);
  }
  interrupts_.release(script_state_ == ScriptState::kUnchanged ? InterruptsSay::kUnchanged
                                                               : InterruptsSay::kRewritten);
  if (auto error = temp_.open(script_, patience_, claim_of_state())) {
    return fail(*error);
  }
  state_ = State::kOpened;
  return std::nullopt;
}

std::optional<Error> ScriptReplacement::converted(const Content& script_read,
                                                  const Content& rewrite) {
  assert(state_ == State::kOpened);
  if (script_.to_rewrite()) {
    // What was read is compared with the script as it is before it is replaced: one that another
    // program wrote anew meanwhile may have ended the pass early, with the same size and times
    // again by the end.
    script_.content = script_read;
    if (auto error = temp_.record_rewrite(rewrite)) {
      return fail(*error);
    }
    // Only a script read to its end and unchanged meanwhile has its complete rewrite here.
    if (auto error = script_.check_opened()) {
      return fail(*error);
    }
    temp_.complete_rewrite();
  }
  state_ = State::kConverted;
  return std::nullopt;
}

std::optional<Error> ScriptReplacement::copy_back() {
  assert(state_ == State::kConverted);
  if (!script_.to_rewrite()) {
    // An empty script is its own rewrite only while it stays empty: one that another program
    // saved meanwhile is told, as a script with bytes in it would be.
    auto error = script_.present ? script_.check_opened() : create_empty_script();
    if (!error && script_.present) {
      error = script_.check_name(true);
    }
    if (error) {
      return fail(*error);
    }
    state_ = State::kCommitted;
    return std::nullopt;
  }
  // An interrupt while the new script is written beside the old one ends the run at once, the
  // script unchanged.
  if (auto error = write_new_file()) {
    return fail(*error);
  }
  interrupts_.hold();
  if (auto error = put_in_place()) {
    return fail(*error);
  }
  script_state_ = ScriptState::kRewritten;
  state_ = State::kCommitted;
  interrupts_.release(InterruptsSay::kRewritten);
  return std::nullopt;
}

FoundScript ScriptReplacement::found_script() const {
  assert(state_ != State::kIdle);
  if (!script_.present) {
    return FoundScript::kMissing;
  }
  return script_.to_rewrite() ? FoundScript::kToRewrite : FoundScript::kEmpty;
}

File& ScriptReplacement::script_file() {
  assert(state_ == State::kOpened && script_.to_rewrite());
  return script_.file;
}

File& ScriptReplacement::temp_file() {
  assert(state_ == State::kOpened);
  return temp_.file();
}

StreamVerdict ScriptReplacement::check_streams(const File& output, const File& errors) const {
  assert(state_ == State::kOpened);
  std::vector<SeenFile> files;
  if (script_.present) {
    files.push_back({paths_.script, {script_.as_read.identity}, true});
  }
  files.push_back({paths_.temp, {temp_.identity()}});
  return jassrewrite::check_streams(output, errors, files);
}

Error ScriptReplacement::explained(Error error) const {
  // A script that another program changed is left as that program made it, as the reason says;
  // a step that claims something itself says so in its own words.
  if (error.note != Note::kNone || error.claim != Claim::kNothing) {
    return error;
  }
  const Claim claim = claim_of_state();
  // Until the run's files are open, a failure says nothing of a script that it left as it was:
  // there may be none.
  if (claim == Claim::kUnchanged && state_ == State::kIdle) {
    return error;
  }
  const bool names_temp =
      claim == Claim::kUnchangedRewriteKept || claim == Claim::kCutShortRewriteKept;
  const NextStep next_step =
      error.code == std::errc::no_space_on_device ? after_full_disk(claim) : NextStep::kNone;
  return telling(std::move(error), claim, names_temp ? paths_.temp : std::string(), next_step);
}

Claim ScriptReplacement::claim_of_state() const {
  switch (script_state_) {
    case ScriptState::kUnchanged:
      return temp_.holds_rewrite() ? Claim::kUnchangedRewriteKept : Claim::kUnchanged;
    case ScriptState::kRewritten:
      return Claim::kRewritten;
    case ScriptState::kFinishedFromEarlierRun:
      return Claim::kFinishedFromEarlierRun;
    case ScriptState::kCutUnderMark:
      return Claim::kCutShortRewriteKept;
  }
  return Claim::kNothing;
}

Error ScriptReplacement::conversion_failed(Error error) {
  assert(state_ == State::kOpened);
  return fail(std::move(error));
}

Error ScriptReplacement::fail(Error error) {
  Error told = explained(std::move(error));
  // A run that failed for want of space gives back what it took, but for what must not be lost:
  // part of a rewrite is of no use to anyone, and would keep the disk full.
  if (told.code == std::errc::no_space_on_device && state_ == State::kOpened &&
      script_.to_rewrite() && temp_.empty_unless_complete()) {
    told.partial_rewrite = paths_.temp;
  }
  state_ = State::kRolledBack;
  remove_new_file();
  return told;
}

}  // namespace jassrewrite
