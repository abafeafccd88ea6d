// What a new file in the script's place must have alike (streams, owner, access control list,
// attributes), and the renames and removals that put it there.

#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "os_files/fault_seam.h"
#include "os_files/file.h"
#include "os_files/windows_calls.h"
#include "os_files/windows_text.h"

namespace jassrewrite {

namespace windows {

// A file system that has no streams at all (FAT) cannot list them either.
bool has_other_streams(const File& file) {
  std::vector<std::byte> buffer(64 << 10);
  if (!GetFileInformationByHandleEx(file.native(), FileStreamInfo, buffer.data(),
                                    static_cast<DWORD>(buffer.size()))) {
    const DWORD code = GetLastError();
    return code != ERROR_HANDLE_EOF && !not_supported(code);
  }
  constexpr std::wstring_view kUnnamed = L"::$DATA";
  for (std::size_t at = 0;;) {
    const auto* stream = reinterpret_cast<const FILE_STREAM_INFO*>(buffer.data() + at);
    if (std::wstring_view(stream->StreamName, stream->StreamNameLength / sizeof(WCHAR)) !=
        kUnnamed) {
      return true;
    }
    if (stream->NextEntryOffset == 0) {
      return false;
    }
    at += stream->NextEntryOffset;
  }
}

std::string security_of(const File& file) {
  PSID owner = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file.native(), SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &list, nullptr, &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  std::string security(static_cast<const char*>(owner), GetLengthSid(owner));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  security += (control & SE_DACL_PROTECTED) != 0 ? "protected" : "inherits";
  if (list != nullptr) {
    security.append(reinterpret_cast<const char*>(list), list->AclSize);
  }
  LocalFree(descriptor);
  return security;
}

}  // namespace windows

using windows::kLongPathPrefix;
using windows::last_error;
using windows::not_supported;
using windows::open_file;
using windows::wide;

std::error_code copy_permissions(File& file, const FileStatus& model, bool with_owner) {
  if (std::error_code fault = injected_fault("copy_permissions", &file)) {
    return fault;
  }
  if (!with_owner) {
    return {};
  }
  const auto [current, error] = status(file);
  if (error) {
    return error;
  }
  // A new file gets its owner and permissions from the folder: where the script's differ (set for
  // it alone, or brought along when it was moved here), a new file in its place would lose them.
  if (current.security.empty() || current.security != model.security) {
    return std::make_error_code(std::errc::operation_not_permitted);
  }
  FILE_BASIC_INFO basic{};  // times of zero stay as they are
  basic.FileAttributes = model.mode != 0 ? model.mode : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(file.native(), FileBasicInfo, &basic, sizeof basic)
             ? std::error_code()
             : last_error();
}

namespace {

// Renames with POSIX semantics (Windows 10 and later, on NTFS), which also replaces a file that
// another program holds open while sharing its deletion; that program keeps reading the old one.
// Fails with errc::not_supported where the system or file system cannot.
std::error_code rename_replacing_posix(const std::string& from, const std::wstring& to) {
  // The call takes the system's own form of a full path: "\??\" where "\\?\" stands.
  if (!to.starts_with(kLongPathPrefix)) {
    return std::make_error_code(std::errc::not_supported);
  }
  const auto [file, error] =
      open_file(from, DELETE | SYNCHRONIZE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  if (error) {
    return error;
  }
  const std::wstring name = LR"(\??\)" + to.substr(kLongPathPrefix.size());
  const auto name_bytes = static_cast<DWORD>(name.size() * sizeof(WCHAR));
  std::vector<std::byte> info(offsetof(FILE_RENAME_INFO, FileName) + name_bytes + sizeof(WCHAR));
  // The flags take the place of ReplaceIfExists, which older headers alone know, as they know no
  // FileRenameInfoEx.
  constexpr DWORD kReplaceIfExists = 0x1;
  constexpr DWORD kPosixSemantics = 0x2;
  constexpr DWORD kFlags = kReplaceIfExists | kPosixSemantics;
  constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
  std::memcpy(info.data(), &kFlags, sizeof kFlags);
  std::memcpy(info.data() + offsetof(FILE_RENAME_INFO, FileNameLength), &name_bytes,
              sizeof name_bytes);
  std::memcpy(info.data() + offsetof(FILE_RENAME_INFO, FileName), name.data(), name_bytes);
  if (SetFileInformationByHandle(file.native(), kRenameInfoEx, info.data(),
                                 static_cast<DWORD>(info.size()))) {
    return {};
  }
  const DWORD code = GetLastError();
  return not_supported(code) ? std::make_error_code(std::errc::not_supported) : windows_error(code);
}

}  // namespace

std::error_code replace(const std::string& replacement, const std::string& target) {
  if (std::error_code fault = injected_fault("replace", nullptr, replacement)) {
    return fault;
  }
  const std::wstring to = wide(target);
  if (const std::error_code error = rename_replacing_posix(replacement, to);
      error != std::errc::not_supported) {
    return error;
  }
  // Elsewhere a rename that replaces is still one step of the file system.
  return MoveFileExW(wide(replacement).c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? std::error_code()
             : last_error();
}

std::error_code swap_names(const std::string&, const std::string&) {
  if (std::error_code fault = injected_fault("swap_names")) {
    return fault;
  }
  return std::make_error_code(std::errc::not_supported);
}

std::error_code rename_new(const std::string& from, const std::string& to) {
  if (std::error_code fault = injected_fault("rename_new", nullptr, from)) {
    return fault;
  }
  return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_WRITE_THROUGH)
             ? std::error_code()
             : last_error();
}

std::error_code remove(const std::string& path) {
  if (std::error_code fault = injected_fault("remove", nullptr, path)) {
    return fault;
  }
  const std::wstring name = wide(path);
  if (DeleteFileW(name.c_str())) {
    return {};
  }
  const std::error_code error = last_error();
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return error;
  }
  return RemoveDirectoryW(name.c_str()) ? std::error_code() : last_error();
}

// NTFS records the creation and removal of names in its journal; a folder cannot be flushed.
std::error_code sync_folder_of(const std::string& path) {
  return injected_fault("sync_folder_of", nullptr, path);
}

bool held_for_a_moment(const std::error_code& error) {
  return error.category() == windows_error(ERROR_SHARING_VIOLATION).category() &&
         (error.value() == ERROR_SHARING_VIOLATION || error.value() == ERROR_LOCK_VIOLATION ||
          error.value() == ERROR_ACCESS_DENIED);
}

}  // namespace jassrewrite
