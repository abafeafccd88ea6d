#pragma once

// The process's interrupts as the replacement holds them: while a step can change the script, an
// interrupt waits for the step to end, and then says what the step left true.

#include <string>

namespace jassrewrite {

// What an interrupt says when it ends the run.
enum class InterruptsSay { kUnchanged, kRewritten, kReported };

// How the process holds interrupts; none in tests that run the replacement in their own process.
// From a release on, an interrupt says what `say` says of the script, and where `left` is not
// empty, that it leaves that file behind, for the next run to remove.
struct InterruptHold {
  void (*hold)() = nullptr;
  void (*release)(InterruptsSay say, const std::string& left) = nullptr;
};

class InterruptGate {
 public:
  explicit InterruptGate(InterruptHold hooks) : hooks_(hooks) {}

  [[nodiscard]] bool held() const { return held_; }
  void hold() {
    if (!held_ && hooks_.hold != nullptr) {
      hooks_.hold();
      held_ = true;
    }
  }
  void release(InterruptsSay say, const std::string& left = {}) {
    if (held_) {
      hooks_.release(say, left);
      held_ = false;
      unheld_say_ = say;
    }
  }
  // Runs `step`, which returns the file it leaves behind, if any, with interrupts held unless they
  // are already: an interrupt then says what it said before, and names that file.
  template <class Step>
  void hold_during(Step&& step) {
    if (held_) {
      static_cast<void>(step());
      return;
    }
    hold();
    const std::string left = step();
    release(unheld_say_, left);
  }

 private:
  InterruptHold hooks_;
  bool held_ = false;
  InterruptsSay unheld_say_ = InterruptsSay::kUnchanged;
};

}  // namespace jassrewrite
