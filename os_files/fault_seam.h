#pragma once

// Where a test build of the tool makes one call of the file layer fail, or ends the process there
// as `kill -9` or a power cut would, to show that every failure point leaves the script whole. Each
// call names itself and the file or path it works on, so that a test can tell which call failed and
// record what the run did to its files. The shipped program has no such hook: there the calls below
// are empty and compiled away.

#include <string_view>
#include <system_error>

namespace jassrewrite {

class File;

#ifdef JASSREWRITE_FAULT_SEAM
// Counts the calls of the file layer, and at the one the test chose fails it or ends the process.
// `call` names the function; `file` or `path` is what it works on, where it has one.
std::error_code injected_fault(std::string_view call, const File* file = nullptr,
                               std::string_view path = {});
// True where the test has the swap of two names be unavailable, as on Windows and on file systems
// that cannot swap, so that the run takes the path that renames the new file over the script.
bool name_swap_withheld();
// True where the test has files' times seen in whole seconds, as some file systems keep them, so
// that a write within the same second leaves them as they were.
bool whole_second_times();
#else
inline std::error_code injected_fault(std::string_view, const File* = nullptr,
                                      std::string_view = {}) {
  return {};
}
inline bool name_swap_withheld() { return false; }
inline bool whole_second_times() { return false; }
#endif

}  // namespace jassrewrite
