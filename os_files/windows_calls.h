#pragma once

// What the Windows file layer's sources share: paths in the system's long form, how a call's
// failure is told, how a file is opened, and what a file in the script's place must have alike.

#include <windows.h>

#include <string>
#include <string_view>
#include <system_error>

#include "os_files/file.h"

namespace jassrewrite::windows {

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
inline constexpr std::wstring_view kLongPathPrefix = LR"(\\?\)";

// The attributes that a new file in the script's place is given. Read-only scripts are refused.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;

// GetLastError() as an error.
std::error_code last_error();

// Paths as every call takes them, however long: a map folder deep in a project passes MAX_PATH
// (260 characters) with the names of the run's files. Only "\\?\" paths may be longer, and they
// must be full paths with backslashes, which the system then takes exactly as they are.
std::wstring wide(const std::string& path);

DWORD attributes_of(const std::string& path);

Result<File> open_file(const std::string& path, DWORD access, DWORD disposition, DWORD flags,
                       DWORD sharing = kShareAll);
// The same, for a call of the file layer that names itself to the fault seam.
Result<File> create_file(const std::string& path, DWORD access, DWORD disposition, DWORD flags,
                         DWORD sharing = kShareAll);

// Errors of a file system that does not have what was asked for at all.
bool not_supported(DWORD code);

// Alternate data streams, which a new file would not have. Streams that cannot be listed count as
// present.
bool has_other_streams(const File& file);
// The owner and access control list, as bytes, with whether the list inherits from the folder.
// Empty where they cannot be read.
std::string security_of(const File& file);

}  // namespace jassrewrite::windows
