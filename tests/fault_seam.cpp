// The fault seam of the test build: JASSREWRITE_FAULT="<call>:<fault>" makes the given call of the
// file layer, counted from 1, fail with an input/output error ("io"), a full disk ("space") or
// access denied ("access"), or end the process there as `kill -9` would ("kill"); or, just before
// that call, has "another program" save the script the way editors do, by renaming its new file
// "another-save.j" over "logs/outputwar3map.j" ("save"). On POSIX it can also raise SIGINT there,
// as a Ctrl+C at that very moment would, and let the call go on ("interrupt") or fail with an
// input/output error ("interrupt-io"). The call is announced on standard error as
// "fault seam: call <n> <function> <name>", with the last name of the file or path it works on
// where it has one (the file behind standard output too), so that a test knows it was reached,
// which call it was and on which file.
//
// JASSREWRITE_NO_NAME_SWAP=1 makes the swap of two names unavailable, as it is on Windows and on
// file systems that cannot swap, so that the run renames its new file over the script instead.
//
// JASSREWRITE_WHOLE_SECOND_TIMES=1 has the file layer see times in whole seconds, as FAT, exFAT,
// many network shares and ext4 with small inodes keep them.
//
// JASSREWRITE_JOURNAL=<file> has every call recorded, with the map folder as it is then, and every
// sync that reached the disk, for the crash states test (tests/crash_journal.h).
//
// "<call>:<action>:<file>" has another program act on one of the run's files just before that
// call (tests/other_program.h).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "crash_journal.h"
#include "os_files/fault_seam.h"
#include "os_files/file.h"
#include "other_program.h"

#ifdef _WIN32
#include <windows.h>

#include "os_files/windows_text.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#endif

namespace jassrewrite {

namespace {

struct Plan {
  long call = 0;
  std::string fault;
  // The file that another program removes or replaces.
  std::string file;
};

Plan read_plan() {
  const char* text = std::getenv("JASSREWRITE_FAULT");
  if (text == nullptr) {
    return {};
  }
  char* rest = nullptr;
  const long call = std::strtol(text, &rest, 10);
  if (*rest != ':') {
    return {call, {}, {}};
  }
  const std::string fault = rest + 1;
  const std::size_t file = fault.find(':');
  if (file == std::string::npos) {
    return {call, fault, {}};
  }
  return {call, fault.substr(0, file), fault.substr(file + 1)};
}

void announce(const std::string& what) {
  const std::string line = "fault seam: " + what + "\n";
#ifdef _WIN32
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
#else
  static_cast<void>(::write(STDERR_FILENO, line.data(), line.size()));
#endif
}

// The last name of what the call works on: `path`, or the file that `file` has open.
std::string last_name(const File* file, std::string_view path) {
  std::string name(path);
  if (name.empty() && file != nullptr && file->is_open()) {
#ifdef _WIN32
    wchar_t target[4096] = {};
    const DWORD length =
        GetFinalPathNameByHandleW(file->native(), target, 4096, FILE_NAME_NORMALIZED);
    name = length > 0 && length < 4096 ? to_utf8(std::wstring_view(target, length)) : "";
#else
    char target[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(file->native());
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    name.assign(target, length > 0 ? static_cast<std::size_t>(length) : 0);
#endif
  }
  return name.substr(name.find_last_of("/\\") + 1);
}

}  // namespace

bool name_swap_withheld() {
  static const bool withheld = std::getenv("JASSREWRITE_NO_NAME_SWAP") != nullptr;
  return withheld;
}

bool whole_second_times() {
  static const bool whole = std::getenv("JASSREWRITE_WHOLE_SECOND_TIMES") != nullptr;
  return whole;
}

std::error_code injected_fault(std::string_view call, const File* file, std::string_view path) {
  // The test build's one piece of process-wide state: the plan, and how far the run has come.
  static const Plan plan = read_plan();
  [[maybe_unused]] static const char* const journal = std::getenv("JASSREWRITE_JOURNAL");
  static long calls = 0;
  ++calls;
#ifndef _WIN32
  if (journal != nullptr) {
    crash_journal::append_record(journal, calls, call, file != nullptr ? file->native() : -1, path);
  }
#endif
  if (plan.call == 0 || calls != plan.call) {
    return {};
  }
  announce("call " + std::to_string(calls) + " " + std::string(call) + " " + last_name(file, path));
  if (other_program::is_action(plan.fault)) {
    if (const std::string done = other_program::act(plan.fault, plan.file); !done.empty()) {
      announce(done);
    }
    return {};
  }
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
