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
// JASSREWRITE_JOURNAL=<file> has every call recorded, with the map folder as it is then, and every
// sync that reached the disk, for the crash states test (tests/crash_journal.h).
//
// "<call>:remove:<file>" and "<call>:replace:<file>" have another program, just before that call,
// delete one of the run's files, or put a new file with other content (kOtherVersion in
// tests/app/faulty_runs.h) in its place the way editors save, written beside it and renamed over
// it; <file> is relative to the run's folder, with forward slashes, e.g. "logs/outputwar3map.j".
// A file that is not there is not replaced, and one that Windows will not delete while the run
// holds it open stays. What was done is announced as "fault seam: removed <file>" or
// "fault seam: replaced <file>", followed by " (held open by the run)" where the run had the file
// open at that moment, so that a test can tell a file taken from under a run that uses it from one
// that the run had not opened yet. A file removed is copied first to "<file>.as-removed".
//
// Programs that write into a file rather than save a new one: "<call>:rewrite-in-place:<file>"
// empties <file> and writes kOtherVersion into it, "<call>:same-size:<file>" writes over its bytes
// a line of the same size ("//xxx...x\n"), "<call>:append:<file>" appends kOtherVersion, and
// "<call>:occupy:<file>" creates <file> with kOtherVersion where nothing has that name yet. Each
// is announced as "fault seam: rewrote <file> in place", "wrote the same size into <file>",
// "appended to <file>" or "occupied <file>", followed by " (held open by the run)" as above and
// " (under the mark)" where tempwar3map.j.copying was there, and only where it was done.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "crash_journal.h"
#include "os_files/fault_seam.h"
#include "os_files/file.h"

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

// What another program puts in place of a file it replaces.
constexpr std::string_view kOtherVersion = "// another program's version\n";

#ifdef _WIN32
std::wstring native_path(std::string path) {
  for (char& c : path) {
    c = c == '/' ? '\\' : c;
  }
  return to_utf16(path);
}

// A file that no one else has open can be opened with no sharing at all.
bool held_open(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_SHARING_VIOLATION;
  }
  CloseHandle(file);
  return false;
}

bool remove_file(const std::wstring& path) { return DeleteFileW(path.c_str()) != 0; }

bool replace_file(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  const std::wstring beside = path + L".another-program";
  const HANDLE file = CreateFileW(beside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  WriteFile(file, kOtherVersion.data(), static_cast<DWORD>(kOtherVersion.size()), &written,
            nullptr);
  CloseHandle(file);
  if (MoveFileExW(beside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
    DeleteFileW(beside.c_str());
    return false;
  }
  return true;
}
#else
const std::string& native_path(const std::string& path) { return path; }

// Whether any descriptor of the run leads to the file that `path` names.
bool held_open(const std::string& path) {
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0) {
    return false;
  }
  const long most = std::min(::sysconf(_SC_OPEN_MAX), 4096L);
  for (int descriptor = 0; descriptor < most; ++descriptor) {
    struct stat opened {};
    if (::fstat(descriptor, &opened) == 0 && opened.st_dev == named.st_dev &&
        opened.st_ino == named.st_ino) {
      return true;
    }
  }
  return false;
}

bool remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool replace_file(const std::string& path) {
  struct stat named {};
  if (::lstat(path.c_str(), &named) != 0) {
    return false;
  }
  const std::string beside = path + ".another-program";
  const int file = ::open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (file < 0) {
    return false;
  }
  const bool written = ::write(file, kOtherVersion.data(), kOtherVersion.size()) ==
                       static_cast<ssize_t>(kOtherVersion.size());
  ::close(file);
  if (!written || std::rename(beside.c_str(), path.c_str()) != 0) {
    ::unlink(beside.c_str());
    return false;
  }
  return true;
}
#endif

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

// Another program that writes into `path` in place through its name, as programs that do not
// save by a new file do; false where there was nothing to write into, or it could not.
bool write_in_place(const std::filesystem::path& path, const std::string& action) {
  std::error_code none;
  const bool there = std::filesystem::exists(path, none);
  if (action == "occupy") {
    if (there) {
      return false;
    }
    std::ofstream file(path, std::ios::binary);
    return static_cast<bool>(file << kOtherVersion) && (file.close(), !file.fail());
  }
  const std::uintmax_t size = there ? std::filesystem::file_size(path, none) : 0;
  if (!there || none || (action == "same-size" && size < 3)) {
    return false;
  }
  if (action == "same-size") {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    const std::string line = "//" + std::string(size - 3, 'x') + "\n";
    return static_cast<bool>(file << line) && (file.close(), !file.fail());
  }
  std::ofstream file(path,
                     std::ios::binary | (action == "append" ? std::ios::app : std::ios::trunc));
  return static_cast<bool>(file << kOtherVersion) && (file.close(), !file.fail());
}

// What an in-place writer says it did to `file`.
std::string told_in_place(const std::string& action, const std::string& file) {
  if (action == "rewrite-in-place") {
    return "rewrote " + file + " in place";
  }
  if (action == "same-size") {
    return "wrote the same size into " + file;
  }
  return (action == "append" ? "appended to " : "occupied ") + file;
}

bool writes_in_place(const std::string& action) {
  return action == "rewrite-in-place" || action == "same-size" || action == "append" ||
         action == "occupy";
}

// Another program removing or replacing `file` just before the call.
void act_as_another_program(const Plan& plan) {
  const auto path = native_path(plan.file);
  const bool held = held_open(path);
  if (writes_in_place(plan.fault)) {
    // Under the mark the run may be overwriting the script in place.
    std::error_code none;
    const bool marked = std::filesystem::exists(native_path("tempwar3map.j.copying"), none);
    if (write_in_place(path, plan.fault)) {
      announce(told_in_place(plan.fault, plan.file) + (held ? " (held open by the run)" : "") +
               (marked ? " (under the mark)" : ""));
    }
    return;
  }
  if (plan.fault == "remove") {
    // What it held when it went, for a test to judge the run by.
    std::error_code not_there;
    std::filesystem::copy_file(path, std::filesystem::path(path) += ".as-removed",
                               std::filesystem::copy_options::overwrite_existing, not_there);
  }
  const bool done = plan.fault == "remove" ? remove_file(path) : replace_file(path);
  if (done) {
    announce((plan.fault == "remove" ? "removed " : "replaced ") + plan.file +
             (held ? " (held open by the run)" : ""));
  }
}

}  // namespace

bool name_swap_withheld() {
  static const bool withheld = std::getenv("JASSREWRITE_NO_NAME_SWAP") != nullptr;
  return withheld;
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
  if (plan.fault == "remove" || plan.fault == "replace" || writes_in_place(plan.fault)) {
    act_as_another_program(plan);
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
