// The fault seam of the test build: JASSREWRITE_FAULT="<call>:<fault>" makes the given call of the
// file layer, counted from 1, fail with an input/output error ("io"), a full disk ("space") or
// access denied ("access"), or end the process there as `kill -9` would ("kill"); or, just before
// that call, has "another program" save the script the way editors do, by renaming its new file
// "another-save.j" over "logs/outputwar3map.j" ("save"). On POSIX it can also raise SIGINT there,
// as a Ctrl+C at that very moment would, and let the call go on ("interrupt") or fail with an
// input/output error ("interrupt-io"). The call is announced on standard error as
// "fault seam: call <n>", so that a test knows it was reached.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "os_files/fault_seam.h"

#ifdef _WIN32
#include <windows.h>

#include "os_files/windows_text.h"
#else
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace jassrewrite {

namespace {

struct Plan {
  long call = 0;
  std::string fault;
};

Plan read_plan() {
  const char* text = std::getenv("JASSREWRITE_FAULT");
  if (text == nullptr) {
    return {};
  }
  char* rest = nullptr;
  const long call = std::strtol(text, &rest, 10);
  return {call, *rest == ':' ? std::string(rest + 1) : std::string()};
}

void announce(long call) {
  const std::string line = "fault seam: call " + std::to_string(call) + "\n";
#ifdef _WIN32
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
#else
  static_cast<void>(::write(STDERR_FILENO, line.data(), line.size()));
#endif
}

}  // namespace

std::error_code injected_fault() {
  // The test build's one piece of process-wide state: the plan, and how far the run has come.
  static const Plan plan = read_plan();
  static long calls = 0;
  if (plan.call == 0 || ++calls != plan.call) {
    return {};
  }
  announce(calls);
#ifdef _WIN32
  if (plan.fault == "save") {
    MoveFileExW(L"another-save.j", L"logs\\outputwar3map.j", MOVEFILE_REPLACE_EXISTING);
    return {};
  }
  if (plan.fault == "kill") {
    TerminateProcess(GetCurrentProcess(), 137);
  }
  if (plan.fault == "space") {
    return windows_error(ERROR_DISK_FULL);
  }
  if (plan.fault == "access") {
    return windows_error(ERROR_ACCESS_DENIED);
  }
  return windows_error(ERROR_IO_DEVICE);
#else
  if (plan.fault == "save") {
    std::rename("another-save.j", "logs/outputwar3map.j");
    return {};
  }
  if (plan.fault == "kill") {
    ::kill(::getpid(), SIGKILL);
  }
  if (plan.fault.starts_with("interrupt")) {
    ::raise(SIGINT);
    return plan.fault == "interrupt" ? std::error_code()
                                     : std::error_code(EIO, std::generic_category());
  }
  if (plan.fault == "space") {
    return {ENOSPC, std::generic_category()};
  }
  if (plan.fault == "access") {
    return {EACCES, std::generic_category()};
  }
  return {EIO, std::generic_category()};
#endif
}

}  // namespace jassrewrite
