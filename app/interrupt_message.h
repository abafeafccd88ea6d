#pragma once

// The line that an interrupt ends the run with, and what it claims of the script: the same words
// on every platform, whose handlers add their own line break.

#include <string>

#include "replace/replacement.h"

namespace jassrewrite {

std::string interrupt_message(InterruptsSay say, const std::string& left);
// Records what that line claims, for the test build; the shipped program records nothing.
void claim_for_interrupts(InterruptsSay say, const std::string& left);

}  // namespace jassrewrite
