#pragma once

// The journal of a run of the test build, for rebuilding what a crash at each call could leave:
// with JASSREWRITE_JOURNAL=<file> set (a path outside the map folder), the fault seam appends one
// record at every call of the file layer, before the call runs: its number and name, the inode of
// the file it works on and the path it names, where it has them, and the map folder as it is then
// ("." and "logs", regular files only, symbolic links not followed), each file with its inode and
// content; and one more record, numbered 0, after each sync that reached the disk, named "sync" or
// "sync_folder_of" as the call. POSIX only: on Windows nothing is recorded, and the journal reads
// as empty.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace jassrewrite::crash_journal {

struct FileSeen {
  std::string name;  // relative to the map folder, with forward slashes
  std::uint64_t inode = 0;
  std::string content;
};

struct Record {
  long call = 0;  // 0: a sync reached the disk
  std::string name;
  std::uint64_t inode = 0;  // of the file the call works on; 0 where it has none
  std::string path;
  std::vector<FileSeen> folder;
};

// The regular files of `folder` and of its "logs" folder, sorted by name.
std::vector<FileSeen> look_at_folder(const std::string& folder);

// Appends the record of call number `call` to `journal`, with the map folder as the current
// directory. `descriptor` is the file's, or -1.
void append_record(const std::string& journal, long call, std::string_view name, int descriptor,
                   std::string_view path);

std::vector<Record> read_journal(const std::string& journal);

}  // namespace jassrewrite::crash_journal
