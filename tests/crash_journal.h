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
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace jassrewrite::crash_journal {

struct FileSeen {
  std::string name;  // relative to the map folder, with forward slashes
  std::uint64_t inode = 0;
  std::string content;
};

struct Record {
  long call = 0;  // 0: a sync reached the disk; -1: the folder as the run left it
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

// What follows is in crash_states.cpp, for the test alone.

// Numbers the files of a journal, in place of their inodes, in the order the run met them, the
// same in every run of the same steps, so that the states of two runs compare.
void number_files(std::vector<Record>& journal);

// How many calls a journal holds.
std::size_t calls_in(const std::vector<Record>& journal);

// The files of a folder: each name's file, and each file's content.
struct State {
  std::map<std::string, std::uint64_t> names;
  std::map<std::uint64_t, std::string> contents;
  friend bool operator==(const State&, const State&) = default;
};

// A point of a run: what was done before it, and the folder as it is there.
struct Point {
  std::vector<Record> done;
  State now;
};

Point point_after(const std::vector<Record>& journal, std::size_t calls);

// The number of the first call after the first call `call` ("<name> <path>") that is no part of a
// sync, which runs from the sync's call to its record; 0 where there is none.
long call_after(const std::vector<Record>& journal, const std::string& call);

// The states that a crash at `point` can leave, named, in a fixed order: everything kept (kill -9);
// the data that no sync had put on the disk lost, or cut short to half; the creates, renames and
// removes of a folder since it was last synced undone; and both (a power cut); then, for each
// folder, each state of its names that it went through since it was last synced, as a journaling
// file system may keep the first of those changes and not the rest. What lasts is each file's
// content at its last sync, each folder's names at its last, everything at the start; a file made
// since and never synced is empty.
std::vector<std::pair<std::string, State>> crash_states(const Point& point);

// Turns `folder` from `now` into `target`: names linked to the files they lead to where these
// still have a name, otherwise made afresh; contents rewritten in place where they differ.
void bring_about(const std::filesystem::path& folder, const State& now, const State& target);

}  // namespace jassrewrite::crash_journal
