// Another program that acts on one of the run's files just before a call of the file layer, for
// the fault seam of the test build (tests/fault_seam.cpp).

#include "other_program.h"

#include <filesystem>
#include <fstream>
#include <string_view>

#ifdef _WIN32
#include <windows.h>

#include "os_files/windows_text.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#endif

namespace jassrewrite::other_program {

namespace {

// What another program puts in place of a file it replaces.
constexpr std::string_view kOtherVersion =
    "// another program's version, longer than the rewrite of the script that the run read, so "
    "that a copy over it leaves its tail\n";

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

}  // namespace

bool is_action(const std::string& fault) {
  return fault == "remove" || fault == "replace" || writes_in_place(fault);
}

std::string act(const std::string& action, const std::string& file) {
  const auto path = native_path(file);
  const std::string held = held_open(path) ? " (held open by the run)" : "";
  if (writes_in_place(action)) {
    // Under the mark the run may be overwriting the script in place.
    std::error_code none;
    const bool marked = std::filesystem::exists(native_path("tempwar3map.j.copying"), none);
    return write_in_place(path, action)
               ? told_in_place(action, file) + held + (marked ? " (under the mark)" : "")
               : std::string();
  }
  if (action == "remove") {
    // What it held when it went, for a test to judge the run by.
    std::error_code not_there;
    std::filesystem::copy_file(path, std::filesystem::path(path) += ".as-removed",
                               std::filesystem::copy_options::overwrite_existing, not_there);
  }
  const bool done = action == "remove" ? remove_file(path) : replace_file(path);
  return done ? (action == "remove" ? "removed " : "replaced ") + file + held : std::string();
}

}  // namespace jassrewrite::other_program
