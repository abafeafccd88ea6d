#pragma once

// Where a test build of the tool records what each message it tells claims of the script (see
// Claim in replace/error.h), for a test to hold against the files. Called from above the file
// layer, which is built once for both programs, so these are functions in both: the shipped
// program's, in the file layer, do nothing; the test build's are its own.

#include <string_view>

namespace jassrewrite {

void told_claim(std::string_view claim, std::string_view named);
// The same for an interrupt: what one would claim from now on, and, from the interrupt's handler,
// that it told it.
void interrupt_claims(std::string_view claim, std::string_view named);
void interrupt_told();

}  // namespace jassrewrite
