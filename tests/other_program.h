#pragma once

// Another program, as the fault seam of the test build has it act on one of the run's files just
// before a chosen call (JASSREWRITE_FAULT="<call>:<action>:<file>", tests/fault_seam.cpp); <file>
// is relative to the run's folder, with forward slashes, e.g. "logs/outputwar3map.j".
//
// "remove" and "replace" delete the file, or put a new file with other content (kOtherVersion in
// tests/app/faulty_runs.h) in its place the way editors save, written beside it and renamed over
// it. A file that is not there is not replaced, and one that Windows will not delete while the run
// holds it open stays. What was done is announced as "fault seam: removed <file>" or
// "fault seam: replaced <file>", followed by " (held open by the run)" where the run had the file
// open at that moment, so that a test can tell a file taken from under a run that uses it from one
// that the run had not opened yet. A file removed is copied first to "<file>.as-removed".
//
// Programs that write into a file rather than save a new one: "<call>:rewrite-in-place:<file>"
// empties <file> and writes kOtherVersion into it, "<call>:same-size:<file>" writes over its bytes
// a line of the same size ("//xxx...x\n"), "<call>:append:<file>" appends kOtherVersion, and
// "<call>:occupy:<file>" creates <file> with kOtherVersion where nothing has that name yet. Each
// is announced as "fault seam: rewrote <file> in place", "wrote the same size into <file>",
// "appended to <file>" or "occupied <file>", followed by " (held open by the run)" as above and
// " (under the mark)" where tempwar3map.j.copying was there, and only where it was done.

#include <string>

namespace jassrewrite::other_program {

// Whether `fault` is something another program does, rather than a failure of the call.
bool is_action(const std::string& fault);

// Does `action` to `file`, and returns what was done, to be announced, or nothing where it did
// nothing.
std::string act(const std::string& action, const std::string& file);

}  // namespace jassrewrite::other_program
