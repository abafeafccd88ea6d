#pragma once

// Where a test build of the tool makes one call of the file layer fail, or ends the process there
// as `kill -9` or a power cut would, to show that every failure point leaves the script whole. The
// shipped program has no such hook: there the call below is empty and compiled away.

#include <system_error>

namespace jassrewrite {

#ifdef JASSREWRITE_FAULT_SEAM
// Counts the calls of the file layer, and at the one the test chose fails it or ends the process.
std::error_code injected_fault();
#else
inline std::error_code injected_fault() { return {}; }
#endif

}  // namespace jassrewrite
