#pragma once

// Where an error becomes a message: its reason, its claim, the step's note and the next step are
// worded here.

#include <string>

#include "replace/error.h"
#include "replace/patience.h"
#include "replace/run_paths.h"

namespace jassrewrite {

// "<path>: <reason>[; <claim>][; <note>][; <next step>][; <partial rewrite>: delete it]"
std::string message_of(const Error& error, const RunPaths& paths);

// The words of a claim of the replacement's own; empty for a claim that the reason or a step's
// note tells.
std::string words_of(Claim claim, const std::string& named);
std::string words_of(NextStep step);
// The words of the error's reason, which may name the run's files, the error's `named` file and
// the system's error.
std::string words_of(const Error& error, const RunPaths& paths);
// The words of what the run tells without stopping.
std::string words_of(const Notice& notice);
// `named` is the file that the error's claim names.
std::string words_of(Note note, const RunPaths& paths, const std::string& named);

}  // namespace jassrewrite
