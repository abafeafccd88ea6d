#include "os_files/windows_text.h"

#include <windows.h>

#include <cerrno>
#include <string>

namespace jassrewrite {

namespace {

// The errno condition that a Windows error stands for, which the portable code tests for.
int condition_of(DWORD code) {
  struct Equivalent {
    DWORD code;
    int error_number;
  };
  static constexpr Equivalent kEquivalents[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},
      {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_INVALID_NAME, ENOENT},
      {ERROR_ACCESS_DENIED, EACCES},
      // Marked read-only by the user: no one may write it, as on a read-only disk, whatever the
      // user's rights.
      {ERROR_FILE_READ_ONLY, EROFS},
      {ERROR_FILE_EXISTS, EEXIST},
      {ERROR_ALREADY_EXISTS, EEXIST},
      {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
      {ERROR_SHARING_VIOLATION, EBUSY},
      {ERROR_LOCK_VIOLATION, EBUSY},
      {ERROR_UNABLE_TO_REMOVE_REPLACED, EBUSY},
      {ERROR_DISK_FULL, ENOSPC},
      {ERROR_HANDLE_DISK_FULL, ENOSPC},
      {ERROR_NOT_SAME_DEVICE, EXDEV},
      {ERROR_WRITE_PROTECT, EROFS},
      {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
      {ERROR_OUTOFMEMORY, ENOMEM},
      {ERROR_INVALID_HANDLE, EBADF},
      {ERROR_BROKEN_PIPE, EPIPE},
      {ERROR_NO_DATA, EPIPE},
      {ERROR_CRC, EIO},
      {ERROR_READ_FAULT, EIO},
      {ERROR_WRITE_FAULT, EIO},
      {ERROR_IO_DEVICE, EIO},
  };
  for (const Equivalent& equivalent : kEquivalents) {
    if (equivalent.code == code) {
      return equivalent.error_number;
    }
  }
  return 0;
}

// Windows' error codes, told in the system's own words and in the user's language.
class WindowsErrors final : public std::error_category {
 public:
  [[nodiscard]] const char* name() const noexcept override { return "windows"; }

  [[nodiscard]] std::string message(int code) const override {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    // A system without words for the error (Wine has none for some) still says what it means: in
    // the tool's own words where those of the condition it stands for would mislead, as "Read-only
    // file system" for a file that the user marked read-only.
    if (length == 0 && code == ERROR_FILE_READ_ONLY) {
      return "The file is marked read-only";
    }
    if (length == 0) {
      const int error_number = condition_of(static_cast<DWORD>(code));
      return error_number != 0 ? std::generic_category().message(error_number)
                               : "Windows error " + std::to_string(code);
    }
    std::wstring_view message(text, length);
    // The system ends its sentences with a period and a line break; the tool's messages may go on
    // after the reason.
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.')) {
      message.remove_suffix(1);
    }
    std::string converted = to_utf8(message);
    LocalFree(text);
    return converted;
  }

  [[nodiscard]] std::error_condition default_error_condition(int code) const noexcept override {
    const int error_number = condition_of(static_cast<DWORD>(code));
    return error_number != 0 ? std::error_condition(error_number, std::generic_category())
                             : std::error_condition(code, *this);
  }
};

std::string to_code_page(std::wstring_view text, UINT code_page) {
  const int length = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string converted(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), converted.data(),
                      length, nullptr, nullptr);
  return converted;
}

}  // namespace

std::error_code windows_error(unsigned long code) {
  static const WindowsErrors kWindowsErrors;
  return {static_cast<int>(code), kWindowsErrors};
}

std::wstring to_utf16(std::string_view text) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring converted(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(),
                      length);
  return converted;
}

std::string to_utf8(std::wstring_view text) { return to_code_page(text, CP_UTF8); }

std::string to_ansi_code_page(std::wstring_view text) { return to_code_page(text, CP_ACP); }

}  // namespace jassrewrite
