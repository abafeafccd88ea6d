#include "replace/patience.h"

#include <algorithm>
#include <thread>

#include "os_files/file.h"

namespace jassrewrite {

namespace {

constexpr std::chrono::milliseconds kFirstPause{10};
constexpr std::chrono::milliseconds kLongestPause{1000};

}  // namespace

std::error_code Patience::retry(const std::string& subject,
                                const std::function<std::error_code()>& step) {
  std::error_code error;
  do {
    error = step();
  } while (wait_again(subject, error));
  return error;
}

bool Patience::wait_again(const std::string& subject, const std::error_code& error) {
  if (!error || !held_for_a_moment(error) || left_ <= left_.zero()) {
    next_pause_ = kFirstPause;
    return false;
  }
  // A sharing violation says that another program holds the file; access denied may say so too
  // (a file that another program is deleting), or that the user may not.
  tell_waiting(error == std::errc::permission_denied
                   ? subject +
                         ": access denied; trying again for a few seconds, in case another "
                         "program holds it"
                   : subject + ": in use by another program; waiting for it to let go");
  const std::chrono::milliseconds pause = std::min(next_pause_, left_);
  std::this_thread::sleep_for(pause);
  left_ -= pause;
  next_pause_ = std::min(2 * next_pause_, kLongestPause);
  return true;
}

void Patience::tell_waiting(const std::string& message) {
  if (!said_waiting_) {
    said_waiting_ = true;
    tell_(message);
  }
}

void Patience::tell(const std::string& message) const { tell_(message); }

}  // namespace jassrewrite
