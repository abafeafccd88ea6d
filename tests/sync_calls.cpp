// The test build's own fsync and fdatasync, which stand in front of the C library's for every call
// in the program: each runs the system call itself and, when a journal is kept, records a sync that
// reached the disk. What a power cut leaves is rebuilt from these records, so that the crash states
// see a sync left out of the file layer, or one whose system call was taken away, as the disk
// would. Linux only: elsewhere the test build keeps no journal.

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "crash_journal.h"

namespace {

// A folder is named by one of its files' paths, as sync_folder_of names it: "logs/." for the
// script's folder, "." for the map folder.
const char* folder_path(const struct stat& folder) {
  struct stat logs {};
  return ::stat("logs", &logs) == 0 && logs.st_dev == folder.st_dev && logs.st_ino == folder.st_ino
             ? "logs/."
             : ".";
}

int journaled(long call_number, int descriptor) {
  const long result = ::syscall(call_number, descriptor);
  const char* journal = std::getenv("JASSREWRITE_JOURNAL");
  struct stat synced {};
  if (result == 0 && journal != nullptr && ::fstat(descriptor, &synced) == 0) {
    const bool folder = S_ISDIR(synced.st_mode);
    jassrewrite::crash_journal::append_record(journal, 0, folder ? "sync_folder_of" : "sync",
                                              folder ? -1 : descriptor,
                                              folder ? folder_path(synced) : "");
  }
  return static_cast<int>(result);
}

}  // namespace

extern "C" int fsync(int descriptor) { return journaled(SYS_fsync, descriptor); }
extern "C" int fdatasync(int descriptor) { return journaled(SYS_fdatasync, descriptor); }
