#pragma once

// What the run says while it goes on, and its patience with other programs that hold its files.

#include <chrono>
#include <functional>
#include <string>
#include <system_error>

namespace jassrewrite {

// What the run tells the user without stopping: that it waits (said once per run, whatever it
// waits for) and that a lock cannot be had. Worded where the run tells the user.
enum class NoticeKind {
  // For another run in this folder, which holds the folder's lock.
  kWaitingForRun,
  // For the program that holds the lock on `file`, such as a run in another folder that shares
  // the script.
  kWaitingForLockHolder,
  // For another program that holds `file` (or `or_file`) for a moment.
  kWaitingInUse,
  // After access to `file` (or `or_file`) was denied, which may be another program's doing.
  kWaitingAccessDenied,
  // `file` cannot be locked on its file system, so the run goes on without.
  kCannotLock,
};

struct Notice {
  NoticeKind kind;
  std::string file;
  // A second file, where either may be the one that another program holds.
  std::string or_file;
};

// The one channel for the notices.
using Tell = std::function<void(const Notice& notice)>;

class Patience {
 public:
  explicit Patience(Tell tell) : tell_(std::move(tell)) {}

  // Does `step` again while another program holds `file` for a moment (see held_for_a_moment),
  // as long as the run's patience lasts, telling once that the run waits. Returns the last error.
  std::error_code retry(const std::string& file, const std::function<std::error_code()>& step);
  // For a caller that loops itself: after `error` on `file` (or `or_file`), whether to try again,
  // having waited a while.
  bool wait_again(const std::error_code& error, const std::string& file,
                  const std::string& or_file = {});

  // Tells that the run waits, unless it said so already.
  void tell_waiting(const Notice& notice);
  void tell(const Notice& notice) const;

 private:
  Tell tell_;
  bool said_waiting_ = false;
  std::chrono::milliseconds next_pause_{10};
  // How long the run still waits for programs that hold its files, all waits together: tools
  // people trust on Windows wait a few seconds for a file that another program holds.
  std::chrono::milliseconds left_{5000};
};

}  // namespace jassrewrite
