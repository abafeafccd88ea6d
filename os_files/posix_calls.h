#pragma once

// What the POSIX file layer's sources share: how a call's failure is told, and how a file is
// opened.

#include <sys/types.h>

#include <string>
#include <system_error>

#include "os_files/file.h"

namespace jassrewrite::posix {

// errno as an error; some calls fail without setting it, and the failure must still be told.
std::error_code last_error();

// Opens `path` with `flags`, never becoming a controlling terminal, closed on exec, and never
// waiting for a FIFO's writer. What is not a regular file, a folder or a link is refused by its
// name before it is opened, with errc::not_supported: opening a device has effects of its own.
Result<File> open_file(const std::string& path, int flags, mode_t mode);

// The folder that holds `path`.
std::string folder_of(const std::string& path);

}  // namespace jassrewrite::posix
