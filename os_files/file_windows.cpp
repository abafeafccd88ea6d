// Opening files, reading, writing and syncing them, and the helpers that every Windows source of
// the file layer shares.

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "os_files/fault_seam.h"
#include "os_files/file.h"
#include "os_files/windows_calls.h"
#include "os_files/windows_text.h"

namespace jassrewrite {

namespace windows {

std::error_code last_error() { return windows_error(GetLastError()); }

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

Result<File> open_file(const std::string& path, DWORD access, DWORD disposition, DWORD flags,
                       DWORD sharing) {
  if (std::error_code fault = injected_fault("open", nullptr, path)) {
    return {.error = fault};
  }
  return create_file(path, access, disposition, flags, sharing);
}

Result<File> create_file(const std::string& path, DWORD access, DWORD disposition, DWORD flags,
                         DWORD sharing) {
  const HANDLE handle = CreateFileW(wide(path).c_str(), access, sharing, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL | flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    std::error_code error = last_error();
    // A folder cannot be opened as a file, and Windows only says "access denied".
    const DWORD attributes = attributes_of(path);
    if (error == std::errc::permission_denied && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      error = std::make_error_code(std::errc::is_a_directory);
    }
    return {.error = error};
  }
  return {.value = File(handle)};
}

bool not_supported(DWORD code) {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED ||
         code == ERROR_INVALID_FUNCTION || code == ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace windows

using windows::attributes_of;
using windows::last_error;
using windows::open_file;

namespace {

// A file opened with FILE_FLAG_OPEN_REPARSE_POINT, refused where it is a link. Only reparse points
// that stand for another name are links: OneDrive placeholders, deduplicated and compressed files
// are reparse points too, and are files.
Result<File> refuse_links(Result<File> opened) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (opened.value.is_open() &&
      GetFileInformationByHandleEx(opened.value.native(), FileAttributeTagInfo, &info,
                                   sizeof info) &&
      (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      IsReparseTagNameSurrogate(info.ReparseTag)) {
    return {.error = std::make_error_code(std::errc::too_many_symbolic_link_levels)};
  }
  return opened;
}

}  // namespace

File::~File() {
  if (handle_ != kNoHandle) {
    CloseHandle(handle_);
  }
}

Result<File> open_existing(const std::string& path) {
  Result<File> opened = open_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0);
  const File& file = opened.value;
  // Windows refuses write access to a read-only file, except where a user's privilege overrides
  // it (an administrator under Wine): the attribute says the user wants it left alone. Said as
  // such, it is not taken for a file that another program holds for a moment.
  BY_HANDLE_FILE_INFORMATION info{};
  const DWORD attributes = opened.error == std::errc::permission_denied ? attributes_of(path) : 0;
  if ((attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) ||
      (file.is_open() && GetFileInformationByHandle(file.native(), &info) &&
       (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)) {
    return {.error = windows_error(ERROR_FILE_READ_ONLY)};
  }
  return opened;
}

Result<File> open_or_create_unfollowed(const std::string& path) {
  // OPEN_ALWAYS, unlike CREATE_ALWAYS, also opens a hidden or system file.
  return refuse_links(
      open_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT));
}

Result<File> keep_others_from_writing(File& file, const std::string& path) {
  // Sharing is decided when a file is opened, and this run's own handle, which may write, must go
  // first: a handle that shares no writing is refused while another may write.
  file = File();
  return open_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                   FILE_SHARE_READ | FILE_SHARE_DELETE);
}

Result<File> create_new(const std::string& path) {
  return open_file(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, 0);
}

Result<File> open_for_reading_unfollowed(const std::string& path) {
  return refuse_links(open_file(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT));
}

Result<std::size_t> read(File& file, std::span<char> buffer) {
  if (std::error_code fault = injected_fault("read", &file)) {
    return {.error = fault};
  }
  DWORD got = 0;
  const auto wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1U << 30U));
  if (!ReadFile(file.native(), buffer.data(), wanted, &got, nullptr)) {
    const DWORD code = GetLastError();
    return {.error = code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE ? std::error_code()
                                                                           : windows_error(code)};
  }
  return {.value = got};
}

std::error_code write(File& file, std::string_view bytes) {
  if (std::error_code fault = injected_fault("write", &file)) {
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
  if (std::error_code fault = injected_fault("rewind", &file)) {
    return fault;
  }
  return SetFilePointerEx(file.native(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) ? std::error_code()
                                                                               : last_error();
}

std::error_code truncate(File& file) {
  if (std::error_code fault = injected_fault("truncate", &file)) {
    return fault;
  }
  if (std::error_code error = rewind(file)) {
    return error;
  }
  return SetEndOfFile(file.native()) ? std::error_code() : last_error();
}

void start_writeback(File&) {}

std::error_code sync(File& file) {
  if (std::error_code fault = injected_fault("sync", &file)) {
    return fault;
  }
  return FlushFileBuffers(file.native()) ? std::error_code() : last_error();
}

std::error_code close(File& file) {
  if (std::error_code fault = injected_fault("close", &file)) {
    File closing(file.release());
    return fault;
  }
  return CloseHandle(file.release()) ? std::error_code() : last_error();
}

std::error_code reserve(File& file, std::uint64_t size) {
  if (std::error_code fault = injected_fault("reserve", &file)) {
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
  return windows::not_supported(code) ? std::make_error_code(std::errc::not_supported)
                                      : windows_error(code);
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
