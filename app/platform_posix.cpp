// Signals, and standard descriptors that the caller left closed.

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/interrupt_message.h"
#include "app/platform.h"
#include "os_files/claims_seam.h"

namespace jassrewrite {

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

void end_by_default(int signal_number) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  // Pending until it is unblocked below: then the process ends by the signal itself, and the shell
  // sees the status it expects (130 for SIGINT). The other interrupts stay blocked, so a second
  // one (`timeout` signals the process and its group) can neither cut this short nor say it again.
  ::raise(signal_number);
  sigset_t only_this;
  sigemptyset(&only_this);
  sigaddset(&only_this, signal_number);
  sigprocmask(SIG_UNBLOCK, &only_this, nullptr);
}

// Set by the console while a terminal may show half a line. The handler can learn nothing else of
// the program's state safely: this type is one it can read whole at whatever point the signal
// interrupted the program.
volatile std::sig_atomic_t half_line_on_terminal = 0;
// Set by the run once standard error is known to be none of its files (see tell_interrupts).
volatile std::sig_atomic_t may_tell = 0;

// Whether the terminal sent the interrupt, for Ctrl+C typed there, rather than a program (kill,
// timeout). The terminal has then dropped the output it had not shown yet and echoed "^C" where the
// rest stopped, so its cursor stands in a line however the run's last write ended.
bool sent_by_terminal(const siginfo_t* info) {
#ifdef SI_KERNEL
  return info != nullptr && info->si_code == SI_KERNEL;
#else
  // Where the system does not tell, the console's mark alone decides.
  static_cast<void>(info);
  return false;
#endif
}

void tell_and_end(int signal_number, const siginfo_t* info, const char* message,
                  std::size_t length) {
  // The message starts on a line of its own. Only on a terminal: standard error in a file or pipe
  // gets the message alone, as it always did. tcgetattr, unlike isatty, is async-signal-safe.
  if (may_tell == 0) {
    end_by_default(signal_number);
    return;
  }
  termios terminal{};
  if ((half_line_on_terminal != 0 || sent_by_terminal(info)) &&
      tcgetattr(STDERR_FILENO, &terminal) == 0) {
    static_cast<void>(::write(STDERR_FILENO, "\n", 1));
  }
  static_cast<void>(::write(STDERR_FILENO, message, length));
  interrupt_told();
  end_by_default(signal_number);
}

// What the handler says, set only while interrupts are blocked or before the handler is
// installed, so that it never reads a message half written.
char message[8192];
std::size_t message_length = 0;

void end_run(int signal_number, siginfo_t* info, void* /*context*/) {
  tell_and_end(signal_number, info, message, message_length);
}

void set_message(InterruptsSay say, const std::string& left) {
  std::string said = interrupt_message(say, left) + "\n";
  // A path too long for the message is not named.
  const bool named = said.size() <= sizeof message;
  if (!named) {
    said = interrupt_message(say, {}) + "\n";
  }
  std::memcpy(message, said.data(), said.size());
  message_length = said.size();
  claim_for_interrupts(say, named ? left : std::string());
}

void on_interrupt(void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO;
  // Every interrupt is blocked while the handler runs.
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kInterrupts) {
    sigaddset(&action.sa_mask, signal_number);
  }
  for (const int signal_number : kInterrupts) {
    // An interrupt the caller chose to ignore (nohup, a background job) stays ignored.
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) == 0 &&
        ((previous.sa_flags & SA_SIGINFO) != 0 || previous.sa_handler != SIG_IGN)) {
      sigaction(signal_number, &action, nullptr);
    }
  }
}

void mask_interrupts(int how) {
  sigset_t interrupts;
  sigemptyset(&interrupts);
  for (const int signal_number : kInterrupts) {
    sigaddset(&interrupts, signal_number);
  }
  sigprocmask(how, &interrupts, nullptr);
}

}  // namespace

void prepare_process() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) {
      // open() takes the lowest free descriptor, which is exactly the closed one.
      open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
  set_message(InterruptsSay::kUnchanged, {});
  on_interrupt(end_run);
}

void begin_block_on_standard_stream() { half_line_on_terminal = 1; }

void end_block_on_standard_stream(bool line_ended) {
  if (line_ended) {
    half_line_on_terminal = 0;
  }
}

void tell_interrupts(bool on_standard_error) { may_tell = on_standard_error ? 1 : 0; }

void hold_interrupts() { mask_interrupts(SIG_BLOCK); }

void release_interrupts(InterruptsSay say, const std::string& left) {
  set_message(say, left);
  mask_interrupts(SIG_UNBLOCK);
}

// The folder's lock is taken on the folder itself, named by its full path, which the user knows
// better than ".".
RunPaths run_paths() {
  std::error_code unknown;
  const std::filesystem::path folder = std::filesystem::current_path(unknown);
  return {"logs/outputwar3map.j", "tempwar3map.j", unknown ? std::string(".") : folder.string()};
}

}  // namespace jassrewrite
