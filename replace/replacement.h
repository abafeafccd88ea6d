#pragma once

// The replacement of the script by its rewrite: one object per run holds the locks and the run's
// files, and is the only code that changes the script.
//
// Calling sequence:
//
//   ScriptReplacement replacement(paths, interrupts, tell);
//   if (auto error = replacement.open()) { report; return; }
//   (if replacement.found_script() is kToRewrite: write the rewrite of replacement.script_file(),
//    read from its start, into replacement.temp_file(); if that fails, report
//    replacement.conversion_failed(error) and return)
//   if (auto error = replacement.converted(script_read, rewrite_written)) { report; return; }
//   if (auto error = replacement.copy_back()) { report; return; }
//
// Any return before copy_back() commits rolls back, in the destructor. Every transition returns its
// error, which claims where the script and its rewrite are (script_state()). Calling a transition
// out of order is a bug and fails an assertion.
//
// States, and what holds in each:
//
//   kIdle        Made; nothing held, nothing touched.
//   kOpened      The folder's lock and the script's are held, or were told to be unavailable.
//                Every leftover of earlier runs is settled (recovered() says what was done). The
//                script is open and checked, or there is none (found_script()). tempwar3map.j is
//                open, checked and empty; beside a missing or empty script, whose rewrite is
//                nothing, one that is not empty is left as it is (temp_kept()), since it may hold
//                the only copy of an earlier rewrite.
//   kConverted   A script with bytes in it: tempwar3map.j holds its complete rewrite as it was
//                read, synced, and the object recorded it (its size, times and a digest of its
//                bytes, read back); the script was read to the size recorded and is unchanged
//                since. A missing or empty script has nothing to rewrite.
//   kCommitted   The script is the rewrite, made to last: the new file renamed over it and the
//                old one settled, or the script overwritten in place and the mark removed. An
//                empty script is its own rewrite and is left as it is; where there was no script,
//                an empty one was created, if its folder exists.
//   kRolledBack  A transition failed, or the object went before copy_back() committed. The new
//                file beside the script, if one was made, is removed unless it holds what must
//                not be lost; where a disk was full, an unfinished rewrite in tempwar3map.j is
//                emptied. Locks are given up when the object goes.
//
// Interrupts are held while a step can change the script: while leftovers are recovered, and from
// the replacement until copy_back() succeeds; and for a moment while the new file beside the
// script is made and while it is removed, so that what an interrupt says of it is true. An
// interrupt that arrives meanwhile takes effect when the step ends and says what script_state() is
// then, and names the new file while it is left beside the script; where the step failed,
// interrupts stay held until the object goes, so that the run tells the failure first, and an
// interrupt then says only that the run was interrupted.

#include <cstdint>
#include <optional>
#include <string>

#include "os_files/content_digest.h"
#include "os_files/file.h"
#include "replace/error.h"
#include "replace/interrupt_gate.h"
#include "replace/new_file.h"
#include "replace/opened_script.h"
#include "replace/patience.h"
#include "replace/recovery.h"
#include "replace/run_locks.h"
#include "replace/run_paths.h"
#include "replace/script_state.h"
#include "replace/snapshot.h"
#include "replace/streams.h"
#include "replace/temporary_file.h"

namespace jassrewrite {

// What the run found at the script's name.
enum class FoundScript { kMissing, kEmpty, kToRewrite };

class ScriptReplacement {
 public:
  ScriptReplacement(RunPaths paths, InterruptHold interrupts, Tell tell);
  ScriptReplacement(const ScriptReplacement&) = delete;
  ScriptReplacement& operator=(const ScriptReplacement&) = delete;
  ~ScriptReplacement();

  // kIdle -> kOpened.
  std::optional<Error> open();
  // kOpened -> kConverted, once the rewrite is in temp_file(): `script_read` is what was read of
  // script_file(), `rewrite` what was written.
  std::optional<Error> converted(const Content& script_read, const Content& rewrite);
  // kConverted -> kCommitted: the copy-back, which puts the rewrite in the script's place.
  std::optional<Error> copy_back();

  // From kOpened on:
  [[nodiscard]] FoundScript found_script() const;
  [[nodiscard]] bool temp_kept() const { return temp_.left_as_found(); }
  [[nodiscard]] Recovered recovered() const { return recovered_; }
  File& script_file();
  File& temp_file();
  // Refuses a standard stream that is the script or tempwar3map.j as the run opened them.
  [[nodiscard]] StreamVerdict check_streams(const File& output, const File& errors) const;

  [[nodiscard]] ScriptState script_state() const { return script_state_; }
  // kOpened -> kRolledBack: the caller's conversion failed with `error`, returned with the claim
  // that the state gives.
  [[nodiscard]] Error conversion_failed(Error error);

 private:
  enum class State { kIdle, kOpened, kConverted, kCommitted, kRolledBack };
  // How the rewrite takes the script's place: a new file beside it takes its name in one step, or
  // it is overwritten in place under the mark, where a new file would part it from its other names
  // or lose its extended attributes, or none can be made beside it as the script's.
  enum class Placement { kNewFile, kInPlace };

  // What script_state() claims of the script; the file it names, if any, is tempwar3map.j.
  [[nodiscard]] Claim claim_of_state() const;
  // `error` with the claim that the state gives, and the next step, unless a step claimed already.
  [[nodiscard]] Error explained(Error error) const;
  // Each ends the transition it is part of: the error, explained, and the object rolled back.
  Error fail(Error error);

  // The recovery of what earlier runs left (recovery.h), in order (recovering.cpp).
  std::optional<Error> recover();
  std::optional<Error> settle_left_new_file();
  // What a recovery step did to the script, taken into the object's state; its error, if any.
  std::optional<Error> took_effect(Recovery step);

  // The replacement (placement.cpp): a new file written beside the script and committed over it
  // (new_file_commit.h), or the script overwritten in place (overwrite_in_place.h).
  std::optional<Error> create_empty_script();
  std::optional<Error> write_new_file();
  std::optional<Error> put_in_place();
  void remove_new_file();

  RunPaths paths_;
  InterruptGate interrupts_;
  Patience patience_;
  State state_ = State::kIdle;
  ScriptState script_state_ = ScriptState::kUnchanged;
  Recovered recovered_ = Recovered::kNothing;

  RunLocks locks_;
  OpenedScript script_;

  TemporaryFile temp_;

  // The new file beside the script, while it is the run's to remove; removed on rollback.
  NewFile new_file_;
  // In place where a new file would not keep what the script has, where one left by an earlier run
  // may not be removed, and where a new file cannot be made, given the script's owner, or renamed
  // over the script.
  Placement placement_ = Placement::kNewFile;
};

}  // namespace jassrewrite
