#include "crash_journal.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

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

State state_of(const std::vector<FileSeen>& seen) {
  State state;
  for (const FileSeen& file : seen) {
    state.names[file.name] = file.inode;
    state.contents[file.inode] = file.content;
  }
  return state;
}

std::string folder_of(const std::string& path) {
  return std::filesystem::path(path).parent_path().filename() == "logs" ? "logs" : ".";
}

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

void number_files(std::vector<Record>& journal) {
  // A file that comes by a name after it had none is a new one: the file system gives the inodes
  // of removed files to new ones.
  std::map<std::uint64_t, std::uint64_t> numbers;
  std::set<std::uint64_t> named;
  std::uint64_t next = 0;
  const auto renumber = [&numbers, &next](std::uint64_t& inode) {
    inode = inode == 0 ? 0 : numbers.try_emplace(inode, ++next).first->second;
  };
  for (Record& record : journal) {
    std::set<std::uint64_t> named_now;
    for (const FileSeen& file : record.folder) {
      if (named_now.insert(file.inode).second && !named.contains(file.inode)) {
        numbers.erase(file.inode);
      }
    }
    named = named_now;
    renumber(record.inode);
    for (FileSeen& file : record.folder) {
      renumber(file.inode);
    }
  }
}

std::size_t calls_in(const std::vector<Record>& journal) {
  return static_cast<std::size_t>(
      std::count_if(journal.begin(), journal.end(), [](const Record& r) { return r.call != 0; }));
}

Point point_after(const std::vector<Record>& journal, std::size_t calls) {
  auto at = journal.begin();
  for (std::size_t seen = 0; at->call == 0 || seen++ < calls; ++at) {
  }
  return {{journal.begin(), at}, state_of(at->folder)};
}

std::vector<std::pair<std::string, State>> crash_states(const Point& point) {
  const State start = point.done.empty() ? point.now : state_of(point.done.front().folder);
  // What lasts: each file's content at its last sync that reached the disk, each folder's names at
  // its last, everything at the start. Also each file's content when last seen.
  std::map<std::uint64_t, std::string> synced = start.contents;
  std::map<std::string, std::map<std::string, std::uint64_t>> folders;
  std::map<std::uint64_t, std::string> last_seen;
  for (const auto& [name, inode] : start.names) {
    folders[folder_of(name)][name] = inode;
  }
  for (const Record& record : point.done) {
    const State then = state_of(record.folder);
    if (record.call != 0) {
      for (const auto& [inode, content] : then.contents) {
        last_seen[inode] = content;
      }
      continue;
    }
    if (record.name == "sync" && then.contents.contains(record.inode)) {
      synced[record.inode] = then.contents.at(record.inode);
    }
    if (record.name == "sync_folder_of") {
      auto& names = folders[folder_of(record.path)];
      names.clear();
      for (const auto& [name, inode] : then.names) {
        if (folder_of(name) == folder_of(record.path)) {
          names[name] = inode;
        }
      }
    }
  }
  const auto lasting = [&synced](std::uint64_t inode) {
    return synced.contains(inode) ? synced.at(inode) : std::string();
  };
  State lost = point.now;
  State cut = point.now;
  for (auto& [inode, content] : cut.contents) {
    lost.contents[inode] = lasting(inode);
    if (content != lasting(inode)) {
      content.resize(content.size() / 2);
    }
  }
  State undone;
  for (const auto& [folder, names] : folders) {
    for (const auto& [name, inode] : names) {
      undone.names[name] = inode;
      undone.contents[inode] =
          point.now.contents.contains(inode) ? point.now.contents.at(inode) : last_seen[inode];
    }
  }
  State power_cut = undone;
  for (auto& [inode, content] : power_cut.contents) {
    content = lasting(inode);
  }
  return {{"everything kept", point.now},
          {"unsynced data lost", lost},
          {"unsynced data cut short", cut},
          {"unsynced folder changes undone", undone},
          {"power cut", power_cut}};
}

}  // namespace jassrewrite::crash_journal
