#include "app/interrupt_message.h"

#include "os_files/claims_seam.h"

namespace jassrewrite {

namespace {

// What an interrupt says of the script, by InterruptsSay.
constexpr const char* kSays[] = {
    "jassrewrite: interrupted; the script is unchanged",
    "jassrewrite: interrupted after the script was rewritten",
    "jassrewrite: interrupted",
};

}  // namespace

void claim_for_interrupts(InterruptsSay say, const std::string& left) {
  constexpr Claim kClaims[] = {Claim::kUnchanged, Claim::kRewritten, Claim::kNothing};
  interrupt_claims(name_of(kClaims[static_cast<int>(say)]), left);
}

std::string interrupt_message(InterruptsSay say, const std::string& left) {
  std::string message = kSays[static_cast<int>(say)];
  if (!left.empty()) {
    message += "; " + left + " is left beside the script, and the next run removes it";
  }
  return message;
}

}  // namespace jassrewrite
