#pragma once

// What the run says while it goes on, and its patience with other programs that hold its files.

#include <chrono>
#include <functional>
#include <string>
#include <system_error>

namespace jassrewrite {

// The one channel for what the run tells the user without stopping: that it waits (said once per
// run, whatever it waits for) and that a lock cannot be had.
using Tell = std::function<void(const std::string& message)>;

class Patience {
 public:
  explicit Patience(Tell tell) : tell_(std::move(tell)) {}

  // Does `step` again while another program holds `subject`, a file or two, for a moment (see
  // held_for_a_moment), as long as the run's patience lasts, telling once that the run waits.
  // Returns the last error.
  std::error_code retry(const std::string& subject, const std::function<std::error_code()>& step);
  // For a caller that loops itself: after `error`, whether to try again, having waited a while.
  bool wait_again(const std::string& subject, const std::error_code& error);

  // Tells that the run waits, unless it said so already.
  void tell_waiting(const std::string& message);
  void tell(const std::string& message) const;

 private:
  Tell tell_;
  bool said_waiting_ = false;
  std::chrono::milliseconds next_pause_{10};
  // How long the run still waits for programs that hold its files, all waits together: tools
  // people trust on Windows wait a few seconds for a file that another program holds.
  std::chrono::milliseconds left_{5000};
};

}  // namespace jassrewrite
