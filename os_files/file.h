#pragma once

// The file layer: everything the run does with its files through the operating system (opening
// and checking them, reading, writing, replacing, locking), so that the passes above it are
// portable. Each platform has its own sources: *_posix.cpp, or *_windows.cpp with the system's
// messages and text encodings in windows_text.cpp. The process's standard descriptors are app/'s
// own: it opens the null device on a closed one and asks whether one is a console.
//
// Every call returns its error, a std::error_code, and a call that also gives something returns a
// Result with both; none takes an error to fill in. On POSIX the errors are errno values; on
// Windows they keep the system's own error code, so that a message is the one Windows gives in the
// user's language, and they compare equal to the std::errc conditions that the code above tests for
// on every platform.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace jassrewrite {

#ifdef _WIN32
using NativeHandle = void*;  // a Win32 HANDLE; INVALID_HANDLE_VALUE is never stored
inline constexpr NativeHandle kNoHandle = nullptr;
#else
using NativeHandle = int;  // a POSIX file descriptor
inline constexpr NativeHandle kNoHandle = -1;
#endif

// Owns one open file, folder or lock and closes it when it goes. Closing a file that was written
// is done with close(), whose result must be checked; the destructor is for everything else.
class File {
 public:
  File() = default;
  explicit File(NativeHandle handle) : handle_(handle) {}
  File(File&& other) noexcept : handle_(other.release()) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      File closing(handle_);
      handle_ = other.release();
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  [[nodiscard]] bool is_open() const { return handle_ != kNoHandle; }
  [[nodiscard]] NativeHandle native() const { return handle_; }
  NativeHandle release() {
    const NativeHandle handle = handle_;
    handle_ = kNoHandle;
    return handle;
  }

 private:
  NativeHandle handle_ = kNoHandle;
};

// What a call that gives something returns: the value, or, where `error` is set, a default one.
template <class T>
struct [[nodiscard]] Result {
  T value{};
  std::error_code error;
};

// Which file a handle or a name refers to: device and inode, or volume serial and file ID. A file
// ID has 128 bits on ReFS; `index_high` holds the upper half (zero on POSIX and NTFS).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  std::uint64_t index_high = 0;
  friend bool operator==(const FileIdentity& a, const FileIdentity& b) = default;
};

// Whether a standard stream, known by `stream`, may write into the file known by `file`. Windows
// under Wine hands a program the files that the Unix shell opened for its streams as handles that
// tell their file ID but no volume (device zero): such a stream is taken for the file of that ID
// on any volume, so that a stream sent into the script is still refused. At worst a file of the
// same ID on another file system is refused too, which Wine's own volume serials, one for each
// drive letter, already cannot tell apart. Every other question of identity asks for both.
inline bool may_write_into(const FileIdentity& stream, const FileIdentity& file) {
  return stream == file ||
         (stream.device == 0 && stream.index == file.index && stream.index_high == file.index_high);
}

struct FileStatus {
  FileIdentity identity;
  bool regular = false;
  // Names the file has; none once it was removed while it is open (on Windows, once another
  // program deleted it while a handle holds it, though its name stays until that handle goes).
  std::uint64_t links = 0;
  std::uint64_t size = 0;
  // In the platform's own units; only ever compared. `changed` is the time of the last change to
  // the file's data or attributes (zero on Windows), which no program can set back.
  std::int64_t modified = 0;
  std::int64_t changed = 0;
  // Extended attributes or access control lists (on Windows, alternate data streams), which a new
  // file in the script's place would not have.
  bool extended_attributes = false;
  // POSIX permission bits, or the Windows attributes (hidden, system...) that a new file is given.
  std::uint32_t mode = 0;
  // POSIX owner and group; zero on Windows.
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  // Windows: the owner and access control list as the system keeps them, which a new file in the
  // script's place must have alike. Empty on POSIX, and where they cannot be read.
  std::string security;
  // Whether the user the tool runs as owns the file (always on Windows).
  bool owned_by_caller = true;
};

// For reading and writing an existing file, following symbolic links: never creates (a dangling
// link fails as missing), never truncates, never blocks on a FIFO. Asking for write access up
// front refuses a file the user may not change before anything has happened. A FIFO, device or
// socket is refused before it is opened, with errc::not_supported.
Result<File> open_existing(const std::string& path);

// For reading and writing a file that is created when missing, never truncated, never followed:
// a symbolic link at `path` fails with errc::too_many_symbolic_link_levels, and a FIFO, device or
// socket with errc::not_supported. On POSIX writes always go to the end of the file, so that
// another program that empties it meanwhile leaves it shorter than what was written.
Result<File> open_or_create_unfollowed(const std::string& path);
// Keeps other programs from writing to the file while it is open, where the system can: Windows
// opens the file at `path` again in place of `file`, without sharing its writing; elsewhere `file`
// is given back as it is. The caller checks that the handle is still of the same file.
Result<File> keep_others_from_writing(File& file, const std::string& path);

// For reading and writing a file that must not exist yet, readable by its owner only until
// copy_permissions says otherwise.
Result<File> create_new(const std::string& path);

// For reading a file that must exist: never creates, never follows a symbolic link at `path`
// (errc::too_many_symbolic_link_levels), refuses a FIFO, device or socket (errc::not_supported).
Result<File> open_for_reading_unfollowed(const std::string& path);

// What the open file is now, all of it.
Result<FileStatus> status(const File& file);
// What the name `path` leads to now, symbolic links followed: all but extended attributes and
// security, which only the handle of a file that is to be replaced is asked for.
Result<FileStatus> status_at(const std::string& path);
// Whether the system may move a file's modification time when a handle to it is closed, long after
// it was written (Windows): then only the file's own handle tells its time as written.
bool modified_time_moves_at_close();
// True when a folder on `path` denies this user even a look at the names in it, which hides
// whether `path` exists at all: then the file's own permissions are not what refused it. Never on
// Windows, where every user may pass through folders.
bool hidden_by_its_folders(const std::string& path);
// True when anything has the name `path`, a dangling symbolic link included. An error means that
// it cannot be told, never that there is nothing.
Result<bool> name_exists(const std::string& path);
// The path of the file that `path` refers to: itself, unless its last name is a symbolic link,
// which is then resolved.
Result<std::string> resolve_links(const std::string& path);

// Files are read and copied in blocks of this size: a script of a hundred megabytes then costs
// about a hundred system calls, and memory stays flat whatever the size of the script.
inline constexpr std::size_t kReadBlockSize = std::size_t{1} << 20;

// Every this many bytes written, the disk is asked to start writing them (start_writeback), so
// that the sync that must come before the script is replaced finds little left to do.
inline constexpr std::size_t kWritebackInterval = std::size_t{8} << 20;

// Reads up to buffer.size() bytes; 0 at the end of the file.
Result<std::size_t> read(File& file, std::span<char> buffer);
std::error_code write(File& file, std::string_view bytes);
std::error_code rewind(File& file);
std::error_code truncate(File& file);
// Starts moving what was written so far to the disk without waiting for it, so that the sync at
// the end has less left to wait for. Does nothing where the platform cannot.
void start_writeback(File& file);
std::error_code sync(File& file);
// A failed close is a failed write: the last data may never have reached the disk.
std::error_code close(File& file);

// Claims the disk space for `size` bytes of `file` without changing its size or content, so that a
// full disk is found before anything is overwritten. Fails with errc::not_supported where the file
// system cannot.
std::error_code reserve(File& file, std::uint64_t size);

// Gives `file` the permission bits of `model` and, with `with_owner`, its owner and group: what a
// new file must have to take the place of `model`'s. On Windows, with `with_owner` only, it gets
// `model`'s attributes, and where its owner or access control list differ from `model`'s, which
// only the system can set, it fails with errc::operation_not_permitted.
std::error_code copy_permissions(File& file, const FileStatus& model, bool with_owner);
// Puts the closed file `replacement` in the place of `target` in one step of the file system;
// sync_folder_of makes that last through a power cut. Fails with errc::device_or_resource_busy
// where Windows cannot replace a file that another program holds open, and with
// errc::cross_device_link across file systems; both files are then as they were. On Windows no
// handle of this process may be open on `target`.
std::error_code replace(const std::string& replacement, const std::string& target);
// Swaps the names of two files in one step. Fails with errc::not_supported where the system or
// file system cannot; both names are then as they were.
std::error_code swap_names(const std::string& first, const std::string& second);
// Gives the file `from` the name `to`, which must not exist.
std::error_code rename_new(const std::string& from, const std::string& to);
// Removes a file, or a folder if it is empty.
std::error_code remove(const std::string& path);
// True for an error that another program holding the file for a moment causes: on Windows, virus
// scanners, the search indexer and sync clients open fresh files without sharing them. Never on
// POSIX.
bool held_for_a_moment(const std::error_code& error);
// Makes the creation or removal of a file in the folder of `path` last through a power cut.
std::error_code sync_folder_of(const std::string& path);

// Takes the lock of the folder that holds `path`, which one run holds at a time, calling
// `before_waiting` once when another process holds it. Windows cannot lock a folder: it locks a
// byte range of the file `path` itself, past any data, creating it where it is missing; such locks
// reach the runs of every user and of every machine that shares a network folder. A lock is held
// at least as long as the returned handle and never past the end of the process, however it ends.
// Fails with errc::no_lock_available where the file system cannot lock.
Result<File> lock_folder_of(const std::string& path, const std::function<void()>& before_waiting);
// The same for the open file `file`, without keeping anything open on it that would stand in the
// way of its replacement.
Result<File> lock(const File& file, const std::function<void()>& before_waiting);

// Standard output and standard error, for writing whole blocks to.
File standard_output();
File standard_error();

}  // namespace jassrewrite
