// Console events, and what the Windows runtime would do to the arguments.

#include <windows.h>

#include <atomic>
#include <string>

#include "app/interrupt_message.h"
#include "app/platform.h"
#include "os_files/claims_seam.h"

#ifdef __MINGW32__
// The MinGW runtime can expand wildcards in arguments; arguments must come through as typed, as
// they do with the Microsoft toolchain.
extern "C" {
int _dowildcard = 0;
}
#endif

namespace jassrewrite {

namespace {

std::string message_line(InterruptsSay say, const std::string& left) {
  return interrupt_message(say, left) + "\r\n";
}

// Console events arrive on a thread of their own, the one place where state must be shared: the
// main thread holds `changing` while it changes the script, and sets `message` only then.
SRWLOCK changing = SRWLOCK_INIT;
// Held by the main thread while it hands a block to a standard stream (see
// begin_block_on_standard_stream).
SRWLOCK writing = SRWLOCK_INIT;
std::string message = message_line(InterruptsSay::kUnchanged, {});
// Whether standard error is known to be none of the run's files (see tell_interrupts).
std::atomic<bool> may_tell{false};

BOOL WINAPI end_run(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  // Waits for a change of the script to be complete, then for the block being written; the locks
  // are never given back, since the process ends here.
  AcquireSRWLockExclusive(&changing);
  AcquireSRWLockExclusive(&writing);
  DWORD written = 0;
  if (may_tell.load()) {
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), message.data(), static_cast<DWORD>(message.size()),
              &written, nullptr);
    interrupt_told();
  }
  // The status cmd.exe shows for a program ended by Ctrl+C. TerminateProcess, unlike ExitProcess,
  // runs no clean-up that could wait for a lock the main thread holds.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

}  // namespace

void prepare_process() {
  claim_for_interrupts(InterruptsSay::kUnchanged, {});
  SetConsoleCtrlHandler(end_run, TRUE);
}

void begin_block_on_standard_stream() { AcquireSRWLockExclusive(&writing); }
void end_block_on_standard_stream(bool /*line_ended*/) { ReleaseSRWLockExclusive(&writing); }

void tell_interrupts(bool on_standard_error) { may_tell = on_standard_error; }

void hold_interrupts() { AcquireSRWLockExclusive(&changing); }

void release_interrupts(InterruptsSay say, const std::string& left) {
  message = message_line(say, left);
  claim_for_interrupts(say, left);
  ReleaseSRWLockExclusive(&changing);
}

// Windows users read paths with backslashes; the file layer takes either. Windows cannot lock a
// folder, and locks a byte range of the temporary file instead.
RunPaths run_paths() { return {"logs\\outputwar3map.j", "tempwar3map.j", "tempwar3map.j"}; }

}  // namespace jassrewrite
