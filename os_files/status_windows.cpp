// What a file is: its identity, size, times and attributes, and where a name leads.

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "os_files/fault_seam.h"
#include "os_files/file.h"
#include "os_files/windows_calls.h"
#include "os_files/windows_text.h"

namespace jassrewrite {

using windows::attributes_of;
using windows::create_file;
using windows::last_error;
using windows::open_file;

namespace {

// A time in the system's units of 100 ns, as the test build may have it seen: in whole seconds.
std::int64_t as_seen(std::int64_t time) {
  return whole_second_times() ? time - time % 10000000 : time;
}

// ReFS has 128-bit file IDs, which the older call's 64-bit index cuts short.
bool read_file_id(HANDLE handle, FileIdentity& identity) {
  FILE_ID_INFO id{};
  if (!GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    return false;
  }
  identity.device = id.VolumeSerialNumber;
  std::memcpy(&identity.index, id.FileId.Identifier, sizeof identity.index);
  std::memcpy(&identity.index_high, id.FileId.Identifier + sizeof identity.index,
              sizeof identity.index_high);
  return true;
}

// Wine hands a program the files that the Unix shell opened for its standard streams (`>log`) as
// handles that it knows no name of, and the older call fails on them for want of one. The newer
// classes each tell their part; the file ID comes without its volume, whose serial is then zero.
// Where one of them fails too, what is told is the older call's failure.
Result<FileStatus> status_from_classes(HANDLE handle, std::error_code failure) {
  FileStatus status;
  FILE_STANDARD_INFO standard{};
  FILE_BASIC_INFO basic{};
  if (!read_file_id(handle, status.identity) ||
      !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
      !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
    return {.error = failure};
  }
  status.regular = !standard.Directory && (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  status.mode = basic.FileAttributes & windows::kKeptAttributes;
  status.links = standard.DeletePending ? 0 : standard.NumberOfLinks;
  status.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
  status.modified = as_seen(basic.LastWriteTime.QuadPart);
  return {.value = status};
}

// What a handle tells of any file; the status of the script's own handle adds what a new file in
// its place must have alike, which checks by name never ask for.
Result<FileStatus> basic_status(const File& file) {
  // A console, a pipe or the null device has no file information, and is no file.
  if (GetFileType(file.native()) != FILE_TYPE_DISK) {
    return {};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.native(), &info)) {
    return status_from_classes(file.native(), last_error());
  }
  FileStatus status;
  status.identity = {info.dwVolumeSerialNumber,
                     (std::uint64_t{info.nFileIndexHigh} << 32U) | info.nFileIndexLow};
  read_file_id(file.native(), status.identity);
  status.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  status.mode = info.dwFileAttributes & windows::kKeptAttributes;
  status.links = info.nNumberOfLinks;
  // A file that another program deleted while a handle holds it keeps its name until the last
  // handle goes: it has no name left to keep, like a removed file on POSIX.
  FILE_STANDARD_INFO standard{};
  if (GetFileInformationByHandleEx(file.native(), FileStandardInfo, &standard, sizeof standard) &&
      standard.DeletePending) {
    status.links = 0;
  }
  status.size = (std::uint64_t{info.nFileSizeHigh} << 32U) | info.nFileSizeLow;
  status.modified = as_seen(
      static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32U) |
                                info.ftLastWriteTime.dwLowDateTime));
  return {.value = status};
}

}  // namespace

Result<FileStatus> status(const File& file) {
  if (std::error_code fault = injected_fault("status", &file)) {
    return {.error = fault};
  }
  Result<FileStatus> status = basic_status(file);
  if (!status.error && status.value.regular) {
    status.value.extended_attributes = windows::has_other_streams(file);
    status.value.security = windows::security_of(file);
  }
  return status;
}

// One call, as on POSIX systems, whatever it takes here.
Result<FileStatus> status_at(const std::string& path) {
  if (std::error_code fault = injected_fault("status_at", nullptr, path)) {
    return {.error = fault};
  }
  const auto [file, error] =
      create_file(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (error) {
    return {.error = error};
  }
  return basic_status(file);
}

bool hidden_by_its_folders(const std::string&) { return false; }

Result<bool> name_exists(const std::string& path) {
  if (std::error_code fault = injected_fault("name_exists", nullptr, path)) {
    return {.error = fault};
  }
  if (attributes_of(path) != INVALID_FILE_ATTRIBUTES) {
    return {.value = true};
  }
  const DWORD code = GetLastError();
  return {.error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                       ? std::error_code()
                       : windows_error(code)};
}

Result<std::string> resolve_links(const std::string& path) {
  if (std::error_code fault = injected_fault("resolve_links", nullptr, path)) {
    return {.error = fault};
  }
  const DWORD attributes = attributes_of(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return {.value = path};
  }
  const auto [file, error] = open_file(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, 0);
  if (error) {
    return {.error = error};
  }
  std::wstring resolved(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        file.native(), resolved.data(), static_cast<DWORD>(resolved.size()), FILE_NAME_NORMALIZED);
    // Some network and virtual file systems cannot tell; the file is then replaced by its name.
    if (length == 0) {
      return {.value = path};
    }
    if (length < resolved.size()) {
      resolved.resize(length);
      return {.value = to_utf8(resolved)};
    }
    resolved.resize(length);
  }
}

bool modified_time_moves_at_close() { return true; }

}  // namespace jassrewrite
