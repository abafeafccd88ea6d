#pragma once

// Copying the rewrite between the run's files and comparing them, and making what was written
// last.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "os_files/content_digest.h"
#include "os_files/file.h"
#include "replace/error.h"

namespace jassrewrite {

// Writes every byte of `from`, from its start, into `to`, which is empty, and syncs `to`; `copied`
// records what was copied. Before each block it checks that `to` holds nothing but what it was
// given: another program writing into it meanwhile (an append, a save in place of a script with
// other names) would otherwise have its bytes overwritten. It is refused.
std::optional<Error> copy_contents(File& from, const std::string& from_path, File& to,
                                   const std::string& to_path, Content& copied);

// Overwrites `to` in place with the `size` bytes of `from`: empties it, claims the space for all of
// them where the file system can, copies and syncs. Whoever calls it has claimed the space before,
// so that a full disk is found with `to` untouched; emptying it gives that space back for a moment.
std::optional<Error> overwrite_with(File& from, const std::string& from_path, File& to,
                                    const std::string& to_path, std::uint64_t size,
                                    Content& copied);
// Claims the space for `size` bytes of `file`; where the file system cannot, the run goes on.
std::optional<Error> reserve_space(File& file, const std::string& path, std::uint64_t size);

// A file just opened, and what it is as its handle tells.
struct Opened {
  File file;
  FileStatus status;
};
// Looks at the file that `opened` holds; its error, where it holds none.
Result<Opened> look_at(Result<File> opened);

// What `file` holds from its start, read through its handle: compared with what the run recorded,
// it tells a change that sizes and times cannot.
Result<Content> content_of(File& file);

// Reads until `buffer` is full or the file ends; fewer bytes only at the end of the file.
Result<std::size_t> read_fully(File& file, std::span<char> buffer);
// True when every byte of `start`, read from where it stands, is the same as the byte at its place
// in `file`.
Result<bool> is_start_of(File& start, File& file);

}  // namespace jassrewrite
