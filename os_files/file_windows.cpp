#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os_files/fault_seam.h"
#include "os_files/file.h"
#include "os_files/windows_text.h"

namespace jassrewrite {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::error_code last_error() { return windows_error(GetLastError()); }

constexpr std::wstring_view kLongPathPrefix = LR"(\\?\)";

// Paths as every call takes them, however long: a map folder deep in a project passes MAX_PATH
// (260 characters) with the names of the run's files. Only "\\?\" paths may be longer, and they
// must be full paths with backslashes, which the system then takes exactly as they are.
std::wstring wide(const std::string& path) {
  std::wstring converted = to_utf16(path);
  std::replace(converted.begin(), converted.end(), L'/', L'\\');
  if (converted.empty() || converted.starts_with(kLongPathPrefix)) {
    return converted;
  }
  const DWORD needed = GetFullPathNameW(converted.c_str(), 0, nullptr, nullptr);
  std::wstring full(needed, L'\0');
  const DWORD length =
      needed == 0 ? 0 : GetFullPathNameW(converted.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) {
    return converted;
  }
  full.resize(length);
  if (full.starts_with(LR"(\\.\)")) {
    return full;  // a device, such as NUL
  }
  if (full.starts_with(LR"(\\)")) {
    return std::wstring(kLongPathPrefix) + L"UNC" + full.substr(1);  // \\server\share
  }
  return std::wstring(kLongPathPrefix) + full;
}

DWORD attributes_of(const std::string& path) { return GetFileAttributesW(wide(path).c_str()); }

File open_file(const std::string& path, DWORD access, DWORD disposition, DWORD flags,
               std::error_code& error, DWORD sharing = kShareAll) {
  if ((error = injected_fault())) {
    return {};
  }
  const HANDLE handle = CreateFileW(wide(path).c_str(), access, sharing, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL | flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = last_error();
    // A folder cannot be opened as a file, and Windows only says "access denied".
    const DWORD attributes = attributes_of(path);
    if (error == std::errc::permission_denied && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      error = std::make_error_code(std::errc::is_a_directory);
    }
    return {};
  }
  error.clear();
  return File(handle);
}

// A file opened with FILE_FLAG_OPEN_REPARSE_POINT, refused where it is a link. Only reparse points
// that stand for another name are links: OneDrive placeholders, deduplicated and compressed files
// are reparse points too, and are files.
File refuse_links(File file, std::error_code& error) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (file.is_open() &&
      GetFileInformationByHandleEx(file.native(), FileAttributeTagInfo, &info, sizeof info) &&
      (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      IsReparseTagNameSurrogate(info.ReparseTag)) {
    error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    return {};
  }
  return file;
}

// The attributes that a new file in the script's place is given. Read-only scripts are refused.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;

// Errors of a file system that does not have what was asked for at all.
bool not_supported(DWORD code) {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED ||
         code == ERROR_INVALID_FUNCTION || code == ERROR_CALL_NOT_IMPLEMENTED;
}

// Alternate data streams, which a new file would not have. Streams that cannot be listed count as
// present; a file system that has no streams at all (FAT) cannot list them either.
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

// The owner and access control list, as bytes, with whether the list inherits from the folder.
// Empty where they cannot be read.
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

}  // namespace

File::~File() {
  if (handle_ != kNoHandle) {
    CloseHandle(handle_);
  }
}

File open_existing(const std::string& path, std::error_code& error) {
  File file = open_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, error);
  // Windows refuses write access to a read-only file, except where a user's privilege overrides
  // it (an administrator under Wine): the attribute says the user wants it left alone. Said as
  // such, it is not taken for a file that another program holds for a moment.
  BY_HANDLE_FILE_INFORMATION info{};
  const DWORD attributes = error == std::errc::permission_denied ? attributes_of(path) : 0;
  if ((attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) ||
      (file.is_open() && GetFileInformationByHandle(file.native(), &info) &&
       (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)) {
    error = windows_error(ERROR_FILE_READ_ONLY);
    return {};
  }
  return file;
}

File open_or_create_unfollowed(const std::string& path, std::error_code& error) {
  // OPEN_ALWAYS, unlike CREATE_ALWAYS, also opens a hidden or system file.
  return refuse_links(open_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS,
                                FILE_FLAG_OPEN_REPARSE_POINT, error),
                      error);
}

File keep_others_from_writing(File& file, const std::string& path, std::error_code& error) {
  // Sharing is decided when a file is opened, and this run's own handle, which may write, must go
  // first: a handle that shares no writing is refused while another may write.
  file = File();
  return open_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                   error, FILE_SHARE_READ | FILE_SHARE_DELETE);
}

File create_new(const std::string& path, std::error_code& error) {
  return open_file(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, 0, error);
}

File open_for_reading_unfollowed(const std::string& path, std::error_code& error) {
  return refuse_links(
      open_file(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, error), error);
}

FileStatus status(const File& file, std::error_code& error) {
  if ((error = injected_fault())) {
    return {};
  }
  // A console, a pipe or the null device has no file information, and is no file.
  error.clear();
  if (GetFileType(file.native()) != FILE_TYPE_DISK) {
    return {};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.native(), &info)) {
    error = last_error();
    return {};
  }
  FileStatus status;
  status.identity = {info.dwVolumeSerialNumber,
                     (std::uint64_t{info.nFileIndexHigh} << 32U) | info.nFileIndexLow};
  // ReFS has 128-bit file IDs, which the index above cuts short.
  FILE_ID_INFO id{};
  if (GetFileInformationByHandleEx(file.native(), FileIdInfo, &id, sizeof id)) {
    status.identity.device = id.VolumeSerialNumber;
    std::memcpy(&status.identity.index, id.FileId.Identifier, sizeof status.identity.index);
    std::memcpy(&status.identity.index_high, id.FileId.Identifier + sizeof status.identity.index,
                sizeof status.identity.index_high);
  }
  status.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  status.mode = info.dwFileAttributes & kKeptAttributes;
  if (status.regular) {
    status.extended_attributes = has_other_streams(file);
    status.security = security_of(file);
  }
  status.links = info.nNumberOfLinks;
  status.size = (std::uint64_t{info.nFileSizeHigh} << 32U) | info.nFileSizeLow;
  status.modified =
      static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32U) |
                                info.ftLastWriteTime.dwLowDateTime);
  return status;
}

FileStatus status(const std::string& path, std::error_code& error) {
  const File file =
      open_file(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, error);
  return error ? FileStatus{} : status(file, error);
}

bool name_exists(const std::string& path, std::error_code& error) {
  if ((error = injected_fault())) {
    return false;
  }
  if (attributes_of(path) != INVALID_FILE_ATTRIBUTES) {
    return true;
  }
  const DWORD code = GetLastError();
  error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? std::error_code()
                                                                       : windows_error(code);
  return false;
}

std::string resolve_links(const std::string& path, std::error_code& error) {
  if ((error = injected_fault())) {
    return {};
  }
  const DWORD attributes = attributes_of(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return path;
  }
  const File file = open_file(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, 0, error);
  if (error) {
    return {};
  }
  std::wstring resolved(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        file.native(), resolved.data(), static_cast<DWORD>(resolved.size()), FILE_NAME_NORMALIZED);
    // Some network and virtual file systems cannot tell; the file is then replaced by its name.
    if (length == 0) {
      return path;
    }
    if (length < resolved.size()) {
      resolved.resize(length);
      return to_utf8(resolved);
    }
    resolved.resize(length);
  }
}

std::size_t read(File& file, std::span<char> buffer, std::error_code& error) {
  if ((error = injected_fault())) {
    return 0;
  }
  DWORD got = 0;
  const auto wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1U << 30U));
  if (!ReadFile(file.native(), buffer.data(), wanted, &got, nullptr)) {
    const DWORD code = GetLastError();
    error = code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE ? std::error_code()
                                                                  : windows_error(code);
    return 0;
  }
  error.clear();
  return got;
}

std::error_code write(File& file, std::string_view bytes) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1U << 30U));
    if (!WriteFile(file.native(), bytes.data(), chunk, &written, nullptr)) {
      return last_error();
    }
    if (written == 0) {
      return windows_error(ERROR_WRITE_FAULT);
    }
    bytes.remove_prefix(written);
  }
  return {};
}

std::error_code rewind(File& file) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  return SetFilePointerEx(file.native(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) ? std::error_code()
                                                                               : last_error();
}

std::error_code truncate(File& file) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  if (std::error_code error = rewind(file)) {
    return error;
  }
  return SetEndOfFile(file.native()) ? std::error_code() : last_error();
}

void start_writeback(File&) {}

std::error_code sync(File& file) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  return FlushFileBuffers(file.native()) ? std::error_code() : last_error();
}

std::error_code close(File& file) {
  if (std::error_code fault = injected_fault()) {
    File closing(file.release());
    return fault;
  }
  return CloseHandle(file.release()) ? std::error_code() : last_error();
}

std::error_code reserve(File& file, std::uint64_t size) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  if (size == 0) {
    return {};
  }
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
  if (SetFileInformationByHandle(file.native(), FileAllocationInfo, &allocation,
                                 sizeof allocation)) {
    return {};
  }
  const DWORD code = GetLastError();
  // Some file systems, and Wine, cannot set a file's allocation.
  return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED ||
                 code == ERROR_INVALID_FUNCTION || code == ERROR_CALL_NOT_IMPLEMENTED
             ? std::make_error_code(std::errc::not_supported)
             : windows_error(code);
}

std::error_code copy_permissions(File& file, const FileStatus& model, bool with_owner) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  if (!with_owner) {
    return {};
  }
  std::error_code error;
  const FileStatus current = status(file, error);
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
  std::error_code error;
  const File file =
      open_file(from, DELETE | SYNCHRONIZE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, error);
  if (error) {
    return error;
  }
  // The call takes the system's own form of a full path: "\??\" where "\\?\" stands.
  if (!to.starts_with(kLongPathPrefix)) {
    return std::make_error_code(std::errc::not_supported);
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
  if (std::error_code fault = injected_fault()) {
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
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  return std::make_error_code(std::errc::not_supported);
}

std::error_code rename_new(const std::string& from, const std::string& to) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_WRITE_THROUGH)
             ? std::error_code()
             : last_error();
}

std::error_code remove(const std::string& path) {
  if (std::error_code fault = injected_fault()) {
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
std::error_code sync_folder_of(const std::string&) { return injected_fault(); }

bool held_for_a_moment(const std::error_code& error) {
  return error.category() == windows_error(ERROR_SHARING_VIOLATION).category() &&
         (error.value() == ERROR_SHARING_VIOLATION || error.value() == ERROR_LOCK_VIOLATION ||
          error.value() == ERROR_ACCESS_DENIED);
}

File lock_folder(const std::string& folder, const std::string& stand_in,
                 const std::function<void()>& before_waiting, std::error_code& error) {
  if ((error = injected_fault())) {
    return {};
  }
  const std::string path = folder + "\\" + stand_in;
  // A lock far past any data never stands in the way of reading or writing the file; read access
  // alone leaves the run free to open it again without sharing its writing.
  OVERLAPPED range{};
  range.OffsetHigh = 0x40000000;
  for (;;) {
    File file = open_file(path, GENERIC_READ, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, error);
    if (error) {
      return {};
    }
    if (!LockFileEx(file.native(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &range)) {
      const DWORD code = GetLastError();
      if (not_supported(code)) {
        error = std::make_error_code(std::errc::no_lock_available);
        return {};
      }
      if (code != ERROR_LOCK_VIOLATION) {
        error = windows_error(code);
        return {};
      }
      before_waiting();
      if (!LockFileEx(file.native(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range)) {
        error = last_error();
        return {};
      }
    }
    // The lock counts only on the file that has the name: another program may have deleted it
    // and a run made it anew meanwhile.
    const FileIdentity locked = status(file, error).identity;
    const File named =
        error ? File()
              : open_file(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, error);
    const FileIdentity now = error ? FileIdentity{} : status(named, error).identity;
    if (error && error != std::errc::no_such_file_or_directory) {
      return {};
    }
    if (!error && now == locked) {
      return file;
    }
  }
}

File lock(const File& file, const std::function<void()>& before_waiting, std::error_code& error) {
  if ((error = injected_fault())) {
    return {};
  }
  // A byte-range lock on the script would stand in the way of replacing it. A mutex named after
  // the file's identity does not, and when its owner ends, however it ends, the next waiter gets
  // it. Global, so that runs from every session on this machine see one another.
  const FileStatus locked = status(file, error);
  if (error) {
    return {};
  }
  wchar_t name[96];
  std::swprintf(name, 96, L"Global\\jassrewrite-%llx-%llx%016llx",
                static_cast<unsigned long long>(locked.identity.device),
                static_cast<unsigned long long>(locked.identity.index_high),
                static_cast<unsigned long long>(locked.identity.index));
  // Every user may wait for the mutex and release it, so that the runs of users and of elevated
  // prompts exclude one another; asking for no more than that opens one that another user made.
  PSECURITY_DESCRIPTOR everyone = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x00100001;;;WD)",
                                                            SDDL_REVISION_1, &everyone, nullptr)) {
    error = last_error();
    return {};
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, everyone, FALSE};
  File lock(CreateMutexExW(&attributes, name, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE));
  const DWORD code = GetLastError();
  LocalFree(everyone);
  // A mutex that another user made closed to others (an earlier version of the tool made them
  // so): no lock can be had.
  if (!lock.is_open()) {
    error = code == ERROR_ACCESS_DENIED ? std::make_error_code(std::errc::no_lock_available)
                                        : windows_error(code);
    return {};
  }
  DWORD result = WaitForSingleObject(lock.native(), 0);
  if (result == WAIT_TIMEOUT) {
    before_waiting();
    result = WaitForSingleObject(lock.native(), INFINITE);
  }
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
    error = last_error();
    return {};
  }
  return lock;
}

namespace {

File standard_handle(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return File(handle == INVALID_HANDLE_VALUE ? kNoHandle : handle);
}

}  // namespace

File standard_output() { return standard_handle(STD_OUTPUT_HANDLE); }

File standard_error() { return standard_handle(STD_ERROR_HANDLE); }

}  // namespace jassrewrite
