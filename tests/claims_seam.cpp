// The claims seam of the test build: JASSREWRITE_CLAIMS=<file> has each message that the run tells,
// an interrupt's too, add a line to that file: what it claims of the script and the file it names,
// "<claim> <file>" (see Claim in replace/error.h), for the tests to hold against the files.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "os_files/claims_seam.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace jassrewrite {

void told_claim(std::string_view claim, std::string_view named) {
  const char* path = std::getenv("JASSREWRITE_CLAIMS");
  if (path == nullptr) {
    return;
  }
  if (std::FILE* claims = std::fopen(path, "ab")) {
    const std::string line = std::string(claim) + " " + std::string(named) + "\n";
    std::fwrite(line.data(), 1, line.size(), claims);
    std::fclose(claims);
  }
}

namespace {

// Made ready while interrupts are held, for the handler, which may only make calls that are safe in
// a signal handler.
const char* interrupt_claims_path = nullptr;
char interrupt_line[8192];
std::size_t interrupt_line_length = 0;

}  // namespace

void interrupt_claims(std::string_view claim, std::string_view named) {
  interrupt_claims_path = std::getenv("JASSREWRITE_CLAIMS");
  const std::string line = std::string(claim) + " " + std::string(named) + "\n";
  interrupt_line_length = line.size() < sizeof interrupt_line ? line.size() : 0;
  line.copy(interrupt_line, interrupt_line_length);
}

void interrupt_told() {
  const char* path = interrupt_claims_path;
  if (path == nullptr || interrupt_line_length == 0) {
    return;
  }
#ifdef _WIN32
  if (std::FILE* claims = std::fopen(path, "ab")) {
    std::fwrite(interrupt_line, 1, interrupt_line_length, claims);
    std::fclose(claims);
  }
#else
  const int claims = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (claims >= 0) {
    static_cast<void>(::write(claims, interrupt_line, interrupt_line_length));
    ::close(claims);
  }
#endif
}

}  // namespace jassrewrite
