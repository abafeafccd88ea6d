#include "replace/patience.h"

#include <algorithm>
#include <thread>

#include "os_files/file.h"

namespace jassrewrite {

namespace {

constexpr std::chrono::milliseconds kFirstPause{10};
constexpr std::chrono::milliseconds kLongestPause{1000};

}  // namespace

std::error_code Patience::retry(const std::string& file,
                                const std::function<std::error_code()>& step) {
  std::error_code error;
  do {
    error = step();
  } while (wait_again(error, file));
  return error;
}

bool Patience::wait_again(const std::error_code& error, const std::string& file,
                          const std::string& or_file) {
  if (!error || !held_for_a_moment(error) || left_ <= left_.zero()) {
    next_pause_ = kFirstPause;
    return false;
  }
  // A sharing violation says that another program holds the file; access denied may say so too
  // (a file that another program is deleting), or that the user may not.
  tell_waiting({error == std::errc::permission_denied ? NoticeKind::kWaitingAccessDenied
                                                      : NoticeKind::kWaitingInUse,
                file, or_file});
  const std::chrono::milliseconds pause = std::min(next_pause_, left_);
  std::this_thread::sleep_for(pause);
  left_ -= pause;
  next_pause_ = std::min(2 * next_pause_, kLongestPause);
  return true;
}

void Patience::tell_waiting(const Notice& notice) {
  if (!said_waiting_) {
    said_waiting_ = true;
    tell_(notice);
  }
}

void Patience::tell(const Notice& notice) const { tell_(notice); }

}  // namespace jassrewrite
