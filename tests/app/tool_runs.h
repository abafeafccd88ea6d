#pragma once

// Running the built program in scratch folders, as the end-to-end tests do: its path, the
// platform's shell, what it shows on a console and says on standard error.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace jassrewrite::end_to_end {

namespace fs = std::filesystem;
using testing_support::make_scratch_folder;
using testing_support::read_file;
using testing_support::write_file;
using namespace std::string_literals;

// The program under test, as it is started and therefore as it shows its own name. The variable
// JASSREWRITE_EXE names a copy of it, for running the tests as a user who cannot reach the build.
inline std::string tool_path() {
  const char* copy = std::getenv("JASSREWRITE_EXE");
#ifdef _WIN32
  // Under Wine the build folder's POSIX path resolves on the current drive.
  return fs::absolute(copy != nullptr ? copy : JASSREWRITE_EXE).make_preferred().string();
#else
  return copy != nullptr ? copy : JASSREWRITE_EXE;
#endif
}

// What the tool shows for `text` written with LF line breaks: Windows consoles get CR LF.
inline std::string on_console(const std::string& text) {
#ifdef _WIN32
  std::string shown;
  for (char c : text) {
    shown += c == '\n' ? "\r\n"s : std::string(1, c);
  }
  return shown;
#else
  return text;
#endif
}

// What the tool says on standard error: Windows users read paths with backslashes.
inline std::string message(const std::string& text) {
#ifdef _WIN32
  std::string shown = text;
  for (std::size_t at = shown.find("logs/"); at != std::string::npos;
       at = shown.find("logs/", at)) {
    shown[at + 4] = '\\';
  }
  return on_console(shown);
#else
  return text;
#endif
}

// The reason a message gives for an error of the system's: its own words on Windows, as the tool
// writes them to a file, without the closing period.
inline std::string system_reason([[maybe_unused]] const char* posix,
                                 [[maybe_unused]] unsigned windows) {
#ifdef _WIN32
  char text[512] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                windows, 0, text, sizeof text, nullptr);
  if (length == 0) {
    return std::string(posix);  // what the tool says where the system has no words
  }
  while (length > 0 && std::string_view(" .\r\n").find(text[length - 1]) != std::string::npos) {
    --length;
  }
  return {text, length};
#else
  return posix;
#endif
}

// One argument as a user would type it into the platform's shell.
inline std::string shell_word(const std::string& text) {
#ifdef _WIN32
  // cmd.exe expands no wildcards, so only spaces and empty words need quotes.
  return text.empty() || text.find(' ') != std::string::npos ? "\"" + text + "\"" : text;
#else
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? "'\\''"s : std::string(1, c);
  }
  return quoted + "'";
#endif
}

// Runs `command` with the platform's shell in `folder` and returns its exit status. POSIX
// commands find the program under test in $TOOL.
inline int run_shell(const fs::path& folder, const std::string& command) {
#ifdef _WIN32
  // In UTF-16, so that arguments reach the tool as typed even where the ANSI code page lacks them.
  const std::string line = "cd /d " + shell_word(folder.string()) + " && " + command;
  std::wstring wide(line.size(), L'\0');
  wide.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(),
                          static_cast<int>(wide.size()))));
  return _wsystem(wide.c_str());
#else
  const std::string line = "cd " + shell_word(folder.string()) +
                           " && TOOL=" + shell_word(tool_path()) + " && " + command;
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

#ifdef _WIN32
// Starts `program a b c` in `folder`, with no shell between, its output going to the inheritable
// handles `out` and `err`. Wine now and then fails to start a program on a loaded machine, and the
// tests are not about that: it tries a few times. No process where it could not start.
inline PROCESS_INFORMATION start_program(const std::string& program, const fs::path& folder,
                                         HANDLE out, HANDLE err) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring command = L"\"" + fs::path(program).wstring() + L"\" a b c";
  PROCESS_INFORMATION process{};
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       folder.wstring().c_str(), &startup, &process)) {
      return process;
    }
    Sleep(200);
  }
  return {};
}

// Waits for a process started so, ending it with status `ended_with` when it takes longer than
// `limit` milliseconds, and returns its exit status.
inline int wait_for_process(const PROCESS_INFORMATION& process, DWORD limit, DWORD ended_with) {
  if (WaitForSingleObject(process.hProcess, limit) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, ended_with);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return static_cast<int>(status);
}
#endif

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
  // What the test build recorded of the claims that its messages make, where it was asked to
  // (tests/app/faulty_runs.h).
  std::string claims;
};

// A sanitized program reserves terabytes of address space and cannot run under a memory limit.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr const char* kMemoryLimit = "";
#else
inline constexpr const char* kMemoryLimit = "ulimit -v 1048576; ";
#endif

// Runs the tool with `arguments` in `folder` and captures its two output streams in files named
// after the folder and `run_name`. On POSIX every run is bounded by a file-size limit, a memory
// limit and a timeout, so that a regression that makes the tool write or grow without end fails the
// test instead of filling the disk or memory; `limits` can tighten them.
inline ToolRun run_program(const std::string& program, const fs::path& folder,
                           const std::vector<std::string>& arguments, const std::string& limits,
                           const std::string& run_name) {
  const std::string base = folder.filename().string() + run_name;
  const fs::path out = folder.parent_path() / (base + ".out");
  const fs::path err = folder.parent_path() / (base + ".err");
  std::string command = shell_word(program);
  for (const std::string& argument : arguments) {
    command.append(" ").append(shell_word(argument));
  }
  command.append(" >").append(shell_word(out.string()));
  command.append(" 2>").append(shell_word(err.string()));
#ifdef _WIN32
  static_cast<void>(limits);
#else
  std::string bounded = "ulimit -f 20000; ";
  command = bounded.append(kMemoryLimit).append(limits).append("timeout 20 ").append(command);
#endif
  const int status = run_shell(folder, command);
  return {status, read_file(out), read_file(err)};
}

inline ToolRun run_tool(const fs::path& folder,
                        const std::vector<std::string>& arguments = {"a", "b", "c"},
                        const std::string& limits = "", const std::string& run_name = "") {
  return run_program(tool_path(), folder, arguments, limits, run_name);
}

// A script of about `size` bytes with user-code blocks all through it.
inline std::string large_script(std::size_t size) {
  std::string script;
  while (script.size() < size) {
    script += "//!beginusercode\r\n// user comment\r\ncall DoNothing()\r\n//!endusercode\r\n";
    script += "// comment outside\r\nfunction main takes nothing returns nothing\r\n";
  }
  return script;
}

inline fs::path make_map_folder(const std::string& script) {
  const fs::path folder = make_scratch_folder();
  fs::create_directory(folder / "logs");
  write_file(folder / "logs/outputwar3map.j", script);
  return folder;
}

inline std::string header() { return on_console("Hello Jass!\n4\n" + tool_path() + "\na\nb\nc\n"); }

}  // namespace jassrewrite::end_to_end
