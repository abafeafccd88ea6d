#pragma once

// Where an error becomes a message: the claims of the replacement's own and the next steps are
// worded here; a reason, and a note that tells a step's state in its own words, come from below.

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
