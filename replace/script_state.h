#pragma once

namespace jassrewrite {

// Where the script is, as the run verified it.
enum class ScriptState {
  kUnchanged,
  kRewritten,
  // Holds the complete rewrite that an earlier run left unfinished, finished by this run.
  kFinishedFromEarlierRun,
  // Cut short under the mark, with its complete rewrite in tempwar3map.j.
  kCutUnderMark,
};

}  // namespace jassrewrite
