#pragma once

// Windows only: the system's error codes in its own words, and text between the UTF-8 that the
// tool holds it in (paths, arguments, messages) and the UTF-16 and code pages of Windows' own
// interfaces.

#include <string>
#include <string_view>
#include <system_error>

namespace jassrewrite {

// A Windows error code whose message is the system's own text in the user's language, and which
// compares equal to the std::errc condition it stands for (ERROR_SHARING_VIOLATION to
// device_or_resource_busy, and so on), the way the portable code tests errors.
std::error_code windows_error(unsigned long code);

std::string to_utf8(std::wstring_view text);
std::wstring to_utf16(std::string_view text);
// In the ANSI code page, as the runtime converts the command line for programs that take it that
// way: a character the code page lacks becomes its nearest look-alike, or a question mark.
std::string to_ansi_code_page(std::wstring_view text);

}  // namespace jassrewrite
