// What an interrupt says follows what the replacement let go of last: a step held only for a
// moment leaves it saying what it said before, and names what the step left behind.

#include "replace/interrupt_gate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace jassrewrite {
namespace {

// The process's side, as the hooks see it; one gate per test.
std::vector<std::string> calls;

void hold() { calls.emplace_back("hold"); }
void release(InterruptsSay say, const std::string& left) {
  calls.push_back("release " + std::to_string(static_cast<int>(say)) + " " + left);
}

TEST(InterruptGate, AMomentsHoldSaysWhatWasSaidBeforeAndNamesWhatIsLeft) {
  calls.clear();
  InterruptGate gate({hold, release});
  gate.hold();
  gate.release(InterruptsSay::kRewritten);
  gate.hold_during([] { return std::string("script.j.new"); });
  // Already held: the step's file is named by the release that ends the longer hold.
  gate.hold();
  gate.hold_during([] { return std::string("never named"); });
  EXPECT_TRUE(gate.held());
  gate.release(InterruptsSay::kReported);
  gate.release(InterruptsSay::kUnchanged);
  EXPECT_EQ(calls, (std::vector<std::string>{"hold", "release 1 ", "hold", "release 1 script.j.new",
                                             "hold", "release 2 "}));
}

}  // namespace
}  // namespace jassrewrite
