#pragma once

// Running the test build of the tool, whose file layer fails, or ends the process, at the call
// that JASSREWRITE_FAULT names (tests/fault_seam.cpp), and the map folders it runs in.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/tool_runs.h"
#include "test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#endif

namespace jassrewrite::end_to_end {

inline const std::string kOriginal =
    "globals\n// generated\nendglobals\n//!beginusercode\n// user\n//!endusercode\n";
inline const std::string kRewritten =
    "globals\r\n// generated\r\nendglobals\r\n//!beginusercode\r\n-- user\r\n//!endusercode\r\n";
inline const fs::path kScript = "logs/outputwar3map.j";
inline const fs::path kReplacement = "logs/outputwar3map.j.jassrewrite-new";
inline const fs::path kTemp = "tempwar3map.j";
inline const fs::path kMark = "tempwar3map.j.copying";
inline const fs::path kUnfinishedMark = "tempwar3map.j.copying-new";
inline const std::string kStaleReplacement = "left by a run that was killed\r\n";

// The test build, found as tool_path() finds the tool: the variable JASSREWRITE_WITH_FAULTS_EXE
// names a copy of it, for a user who cannot reach the build folder.
inline std::string with_faults_path() {
  const char* copy = std::getenv("JASSREWRITE_WITH_FAULTS_EXE");
  const char* path = copy != nullptr ? copy : JASSREWRITE_WITH_FAULTS_EXE;
#ifdef _WIN32
  return fs::absolute(path).make_preferred().string();
#else
  return path;
#endif
}

// Sets a variable of the test build's for the programs the test starts; an empty value removes it.
inline void set_variable(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

inline void set_fault(const std::string& plan) { set_variable("JASSREWRITE_FAULT", plan); }

// While it lives, a switch of the test build is on where `on`; the real tool knows no such
// variable. JASSREWRITE_NO_NAME_SWAP: the new file is renamed over the script, as on Windows,
// instead of swapping the two names. JASSREWRITE_WHOLE_SECOND_TIMES: files' times are seen in
// whole seconds, as FAT, exFAT, many network shares and ext4 with small inodes keep them.
class TestBuildSwitch {
 public:
  TestBuildSwitch(const char* name, bool on) : name_(name) { set_variable(name_, on ? "1" : ""); }
  TestBuildSwitch(const TestBuildSwitch&) = delete;
  TestBuildSwitch& operator=(const TestBuildSwitch&) = delete;
  ~TestBuildSwitch() { set_variable(name_, ""); }

 private:
  const char* name_;
};

struct NameSwapWithheld : TestBuildSwitch {
  explicit NameSwapWithheld(bool withheld)
      : TestBuildSwitch("JASSREWRITE_NO_NAME_SWAP", withheld) {}
};

// Runs `program` with the arguments a, b and c in `folder`. Under Wine a program takes about a
// tenth of a second to start, and cmd.exe in between would double it: the Windows sweep starts
// the tool itself, with its output in files and a time limit, as the shell does elsewhere.
inline ToolRun run_in(const std::string& program, const fs::path& folder,
                      const std::string& run_name) {
#ifdef _WIN32
  const fs::path out = folder.parent_path() / (folder.filename().string() + run_name + ".out");
  const fs::path err = folder.parent_path() / (folder.filename().string() + run_name + ".err");
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const auto create = [&inherited](const fs::path& path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE out_handle = create(out);
  const HANDLE err_handle = create(err);
  const PROCESS_INFORMATION process = start_program(program, folder, out_handle, err_handle);
  const bool started = process.hProcess != nullptr;
  const DWORD start_error = GetLastError();
  CloseHandle(out_handle);
  CloseHandle(err_handle);
  if (!started) {
    ADD_FAILURE() << "cannot start " << program << ": error " << start_error;
    return {};
  }
  const int status = wait_for_process(process, 60000, 124);
  return {status, read_file(out), read_file(err)};
#else
  return run_program(program, folder, {"a", "b", "c"}, "", run_name);
#endif
}

inline void set_claims_file(const fs::path& file) {
  set_variable("JASSREWRITE_CLAIMS", file.string());
}

// Runs the test build, with the fault `plan` if any, and has it record what its messages claim in a
// file beside the folder (tests/app/told_claims.h).
inline ToolRun run_with_claims(const fs::path& folder, const std::string& plan,
                               const std::string& run_name) {
  const fs::path claims =
      folder.parent_path() / (folder.filename().string() + run_name + ".claims");
  fs::remove(claims);
  set_claims_file(claims);
  set_fault(plan);
  ToolRun run = run_in(with_faults_path(), folder, run_name);
  set_fault("");
  set_claims_file({});
  run.claims = fs::exists(claims) ? read_file(claims) : "";
  return run;
}

inline ToolRun run_with_fault(const fs::path& folder, long call, const std::string& fault) {
  return run_with_claims(folder, std::to_string(call) + ":" + fault, ".faulty");
}

// A run without a fault, after a faulty one: the test build, for what its messages claim.
inline ToolRun run_clean(const fs::path& folder) { return run_with_claims(folder, "", ".clean"); }

inline bool reached(const ToolRun& run) {
  return run.err.find("fault seam: call") != std::string::npos;
}

// The lines of standard error that the tool wrote, without the seam's.
inline std::vector<std::string> tool_lines(const std::string& err) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!line.starts_with("fault seam: ")) {
      lines.push_back(line);
    }
  }
  return lines;
}

inline std::string contents(const fs::path& path) {
  return fs::is_regular_file(path) ? read_file(path) : "(none)";
}

inline void link_script(const fs::path& folder) {
  fs::create_hard_link(folder / kScript, folder / "other-name.j");
}

// What a script keeps besides its bytes, which no run may change: its permission bits, owner and
// group, and its extended attributes with their values; "(none)" where there is no script. Windows
// keeps none of these here (its attributes are tested in windows_test.cpp), and gets "".
inline std::string keepings_of([[maybe_unused]] const fs::path& file) {
#ifdef _WIN32
  return "";
#else
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    return "(none)";
  }
  std::ostringstream kept;
  kept << "mode " << std::oct << (info.st_mode & 07777) << std::dec << ", owner " << info.st_uid
       << ":" << info.st_gid;
  char list[1024] = {};
  const ssize_t length = ::listxattr(file.c_str(), list, sizeof list);
  std::vector<std::string> names;
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(names.back().size()) + 1) {
    names.emplace_back(list + at);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    char value[256] = {};
    const ssize_t size = ::getxattr(file.c_str(), name.c_str(), value, sizeof value);
    kept << ", " << name << "="
         << std::string(value, size > 0 ? static_cast<std::size_t>(size) : 0);
  }
  return kept.str();
#endif
}

// Gives the script permission bits that a new file does not get by default and, where the tests
// run as root, another owner and group, so that a run that does not keep them is seen.
inline void give_the_script_keepings([[maybe_unused]] const fs::path& folder) {
#ifndef _WIN32
  fs::permissions(folder / kScript, fs::perms(0640));
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((folder / kScript).c_str(), 65534, 65534), 0);
  }
#endif
}

// The call at which a run that overwrites the script in place has emptied it under the mark.
inline long call_that_cuts_an_overwrite(const fs::path& beside) {
  static const long found = [&beside] {
    const fs::path folder = beside.parent_path() / "finding-the-cut";
    for (long call = 1; call < 1000; ++call) {
      fs::remove_all(folder);
      fs::create_directories(folder / "logs");
      write_file(folder / kScript, kOriginal);
      link_script(folder);
      if (!reached(run_with_fault(folder, call, "kill"))) {
        break;
      }
      if (fs::exists(folder / kMark) && contents(folder / kScript) != kOriginal) {
        return call;
      }
    }
    return 0L;
  }();
  return found;
}

// Leaves the script with a second name, cut short under the mark by a run that was killed there.
inline void leave_a_cut_overwrite(const fs::path& folder) {
  link_script(folder);
  const long cut = call_that_cuts_an_overwrite(folder);
  ASSERT_GT(cut, 0) << "no call left the script cut short under the mark";
  run_with_fault(folder, cut, "kill");
  ASSERT_TRUE(fs::exists(folder / kMark));
}

// What another program puts in place of a file that it replaces, or writes into it (a copy of it
// is in tests/other_program.cpp, a program of its own), and that version rewritten. Longer than
// kRewritten: a copy of the rewrite over it in place leaves its tail.
inline const std::string kOtherVersionLine =
    "// another program's version, longer than the rewrite of the script that the run read, so "
    "that a copy over it leaves its tail";
inline const std::string kOtherVersion = kOtherVersionLine + "\n";
inline const std::string kOtherVersionRewritten = kOtherVersionLine + "\r\n";

// Runs the test build with another program removing or replacing ("remove", "replace") `file`
// just before the given call.
inline ToolRun run_with_other_program(const fs::path& folder, long call, const std::string& action,
                                      const fs::path& file) {
  return run_with_fault(folder, call, action + ":" + file.generic_string());
}

// Whether the other program did anything: a file that is not there is not replaced.
inline bool other_program_acted(const ToolRun& run) {
  for (const char* done : {"removed ", "replaced ", "rewrote ", "wrote the same size into ",
                           "appended to ", "occupied "}) {
    if (run.err.find("fault seam: "s + done) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Whether it took the file from under the run, which had it open.
inline bool taken_from_under_the_run(const ToolRun& run) {
  return run.err.find(" (held open by the run)") != std::string::npos;
}

// The failures that the running test has recorded so far (GoogleTest records no successes): a
// sweep that stops at its first failing trial goes on with its next kind of fault.
inline int failures_so_far() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

}  // namespace jassrewrite::end_to_end
