#pragma once

// The one place that words what the layers below report as values: an error's reason comes from
// the step or the system, and the script's state and the next step are told here.

#include <string>

#include "replace/error.h"

namespace jassrewrite {

// "<path>: <reason>[; <claim>][; <note>][; <next step>][; <partial rewrite>: delete it]"
std::string message_of(const Error& error);

// The words of a claim of the replacement's own; empty for a claim that the reason or a step's
// note tells.
std::string words_of(Claim claim, const std::string& named);
std::string words_of(NextStep step);

}  // namespace jassrewrite
