#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "rewrite/fault_seam.h"
#include "rewrite/file.h"
#include "rewrite/windows_text.h"

namespace jassrewrite {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::error_code last_error() { return windows_error(GetLastError()); }

std::wstring wide(const std::string& path) {
  std::wstring converted = to_utf16(path);
  // Not every call takes forward slashes (ReplaceFileW does not), and "\\?\" paths never do.
  std::replace(converted.begin(), converted.end(), L'/', L'\\');
  return converted;
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

}  // namespace

File::~File() {
  if (handle_ != kNoHandle) {
    CloseHandle(handle_);
  }
}

File open_existing(const std::string& path, std::error_code& error) {
  File file = open_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, error);
  // Windows refuses write access to a read-only file, except where a user's privilege overrides
  // it (an administrator under Wine): the attribute says the user wants it left alone.
  BY_HANDLE_FILE_INFORMATION info{};
  if (file.is_open() && GetFileInformationByHandle(file.native(), &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    error = windows_error(ERROR_ACCESS_DENIED);
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
  status.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
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

std::error_code copy_permissions(File&, const FileStatus&, bool) { return injected_fault(); }

std::error_code replace(const std::string& replacement, const std::string& target) {
  if (std::error_code fault = injected_fault()) {
    return fault;
  }
  const std::wstring from = wide(replacement);
  const std::wstring to = wide(target);
  // ReplaceFileW gives the replacement the target's attributes, security and creation time. Not
  // every implementation keeps the attributes (Wine's does not), so they are set again after it.
  constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_TEMPORARY;
  const DWORD attributes = GetFileAttributesW(to.c_str());
  if (!ReplaceFileW(to.c_str(), from.c_str(), nullptr,
                    REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                    nullptr)) {
    const DWORD code = GetLastError();
    if (code != ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
      return windows_error(code);
    }
    // The target is gone already and the replacement still has its own name. Another program (a
    // virus scanner) may hold the replacement for a moment; without it, the target is lost.
    bool moved = false;
    for (int attempt = 0; attempt < 50 && !moved; ++attempt) {
      moved = MoveFileExW(from.c_str(), to.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
      if (!moved) {
        Sleep(100);
      }
    }
    if (!moved) {
      return std::make_error_code(std::errc::operation_in_progress);
    }
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kSettable) != 0) {
    SetFileAttributesW(to.c_str(), attributes & kSettable);
  }
  return {};
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

File open_folder(const std::string& path, std::error_code& error) {
  return open_file(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, error);
}

File lock(const File& file, const std::function<void()>& before_waiting, std::error_code& error) {
  if ((error = injected_fault())) {
    return {};
  }
  // Byte-range locks cannot lock a folder, and a lock on the script would stand in the way of
  // replacing it. A mutex named after the file's identity needs neither, and when its owner ends,
  // however it ends, the next waiter gets it.
  const FileStatus locked = status(file, error);
  if (error) {
    return {};
  }
  // Global, so that runs from every session on this machine see one another.
  wchar_t name[64];
  std::swprintf(name, 64, L"Global\\jassrewrite-%llx-%llx",
                static_cast<unsigned long long>(locked.identity.device),
                static_cast<unsigned long long>(locked.identity.index));
  File lock(CreateMutexW(nullptr, FALSE, name));
  // Another user's run made the mutex and holds it closed to others: go on unlocked, as on a
  // file system that cannot lock.
  if (!lock.is_open() && GetLastError() == ERROR_ACCESS_DENIED) {
    return File();
  }
  if (!lock.is_open()) {
    error = last_error();
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
