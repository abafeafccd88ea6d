#include "crash_journal.h"

#include <algorithm>
#include <fstream>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace jassrewrite::crash_journal {

namespace {

// Every name and content is written with its length first, so that any bytes can be read back.
std::string get_counted(std::istream& in) {
  std::size_t size = 0;
  in >> size;
  in.get();
  std::string text(size, '\0');
  in.read(text.data(), static_cast<std::streamsize>(size));
  in.get();
  return text;
}

#ifndef _WIN32
void put_counted(std::string& out, std::string_view text) {
  out.append(std::to_string(text.size())).append(" ").append(text).append(" ");
}

std::string read_unfollowed(const std::string& path) {
  std::string content;
  const int file = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) {
    return content;
  }
  char block[4096];
  for (ssize_t got = 0; (got = ::read(file, block, sizeof block)) > 0;) {
    content.append(block, static_cast<std::size_t>(got));
  }
  ::close(file);
  return content;
}

void look_into(const std::string& folder, const std::string& prefix, std::vector<FileSeen>& seen) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) {
    return;
  }
  while (const dirent* entry = ::readdir(listing)) {
    const std::string path = folder + "/" + entry->d_name;
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      seen.push_back({prefix + entry->d_name, status.st_ino, read_unfollowed(path)});
    }
  }
  ::closedir(listing);
}
#endif

}  // namespace

std::vector<FileSeen> look_at_folder([[maybe_unused]] const std::string& folder) {
  std::vector<FileSeen> seen;
#ifndef _WIN32
  look_into(folder, "", seen);
  look_into(folder + "/logs", "logs/", seen);
  std::sort(seen.begin(), seen.end(),
            [](const FileSeen& a, const FileSeen& b) { return a.name < b.name; });
#endif
  return seen;
}

void append_record([[maybe_unused]] const std::string& journal, [[maybe_unused]] long call,
                   [[maybe_unused]] std::string_view name, [[maybe_unused]] int descriptor,
                   [[maybe_unused]] std::string_view path) {
#ifndef _WIN32
  struct stat status {};
  const std::uint64_t inode =
      descriptor >= 0 && ::fstat(descriptor, &status) == 0 ? status.st_ino : 0;
  std::string out = "call " + std::to_string(call) + " " + std::to_string(inode) + " ";
  put_counted(out, name);
  put_counted(out, path);
  for (const FileSeen& file : look_at_folder(".")) {
    out += "file " + std::to_string(file.inode) + " ";
    put_counted(out, file.name);
    put_counted(out, file.content);
  }
  out += "end\n";
  // Written whole before the call runs, so that a run killed at it leaves its record complete.
  const int written = ::open(journal.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (written >= 0) {
    static_cast<void>(::write(written, out.data(), out.size()));
    ::close(written);
  }
#endif
}

std::vector<Record> read_journal(const std::string& journal) {
  std::vector<Record> records;
  std::ifstream in(journal, std::ios::binary);
  for (std::string word; in >> word;) {
    if (word == "call") {
      Record& record = records.emplace_back();
      in >> record.call >> record.inode;
      in.get();
      record.name = get_counted(in);
      record.path = get_counted(in);
    } else if (word == "file" && !records.empty()) {
      FileSeen& file = records.back().folder.emplace_back();
      in >> file.inode;
      in.get();
      file.name = get_counted(in);
      file.content = get_counted(in);
    }
  }
  return records;
}

}  // namespace jassrewrite::crash_journal
