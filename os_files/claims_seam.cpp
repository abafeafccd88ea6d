// The shipped program's claims seam, which records nothing; the test build has its own.

#include "os_files/claims_seam.h"

namespace jassrewrite {

void told_claim(std::string_view, std::string_view) {}
void interrupt_claims(std::string_view, std::string_view) {}
void interrupt_told() {}

}  // namespace jassrewrite
