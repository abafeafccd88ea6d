#pragma once

// A file as the run read it, and the one question asked of it again and again: is it still that
// file, as it was? Also whose files the run trusts to go into the script.

#include <cstdint>
#include <optional>
#include <string>

#include "os_files/file.h"
#include "replace/error.h"

namespace jassrewrite {

struct Snapshot {
  FileIdentity identity;
  std::uint64_t size = 0;
  // Not recorded for tempwar3map.j in the mark: Windows may move it when the file is closed, long
  // after it was written.
  std::optional<std::int64_t> modified;
  // Zero on Windows, which keeps no change time.
  std::int64_t changed = 0;
  std::uint64_t links = 0;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot snapshot_of(const FileStatus& status);
// A file the run has just written, as it is now through its handle, for the checks that it stays
// so. Its modification time is compared while the run goes on: a program that writes to the file
// by its name and then removes the name moves it, while the change time, which the removal moves
// too, is then not compared. Windows may move it long after the file was written, when it is
// closed, and lets no other program write to the file meanwhile: there it is not recorded.
Result<Snapshot> record_of(const File& file);

// Whether `now` is the file that `then` recorded, with the same contents: identity, size, and the
// times that `then` holds. Removing a name of a file, or renaming another file over it, moves its
// change time and nothing else: where it has fewer names than recorded, the change time is not
// compared. (A program that writes to a file moves its modification time.)
bool is_as_recorded(const Snapshot& now, const Snapshot& then);

// The same for a file that the run itself has just renamed, which moved its change time.
bool is_as_recorded_after_rename(const Snapshot& now, const Snapshot& then);

// Why the bytes of `file` must not go into a script, or nothing. Another user could change such a
// file between its writing and its reading back, into a script that user may not write, and so
// could anyone through another name of it. Only the user the tool runs as and the owner of the
// script (`script`, where there is one) are trusted.
std::optional<Reason> distrust(const FileStatus& file, const FileStatus* script);

// The mark's record of an overwrite in place: the script before its first byte changed, and
// tempwar3map.j holding the complete rewrite, with the digest of what it holds.
struct OverwriteRecord {
  Snapshot script;
  Snapshot rewrite;
  std::uint64_t rewrite_digest = 0;
};

std::string record_text(const OverwriteRecord& record);
// The record that `text` holds, or nothing where it is not one that record_text wrote.
std::optional<OverwriteRecord> parse_record(const std::string& text);
// Longer than any record: what is longer was not written by the tool.
inline constexpr std::size_t kLongestRecord = 512;

}  // namespace jassrewrite
