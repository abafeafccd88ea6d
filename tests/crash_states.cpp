// The states that a crash at each point of a journaled run can leave, and how one is brought about
// (tests/crash_journal.h).

#include <algorithm>
#include <filesystem>
#include <set>

#include "crash_journal.h"
#include "test_support.h"

namespace jassrewrite::crash_journal {

namespace {

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

std::map<std::string, std::uint64_t> names_in(const State& state, const std::string& folder) {
  std::map<std::string, std::uint64_t> names;
  for (const auto& [name, inode] : state.names) {
    if (folder_of(name) == folder) {
      names[name] = inode;
    }
  }
  return names;
}

}  // namespace

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

long call_after(const std::vector<Record>& journal, const std::string& call) {
  auto at = std::find_if(journal.begin(), journal.end(), [&call](const Record& r) {
    return r.call > 0 && r.name + " " + r.path == call;
  });
  for (bool in_sync = false; at != journal.end() && ++at != journal.end();) {
    in_sync = at->call != 0 && (in_sync || at->name.starts_with("sync"));
    if (!in_sync && at->call > 0) {
      return at->call;
    }
  }
  return 0;
}

std::vector<std::pair<std::string, State>> crash_states(const Point& point) {
  const State start = point.done.empty() ? point.now : state_of(point.done.front().folder);
  // What lasts: each file's content at its last sync that reached the disk, each folder's names at
  // its last, everything at the start. Also each file's content when last seen.
  std::map<std::uint64_t, std::string> synced = start.contents;
  std::map<std::string, std::map<std::string, std::uint64_t>> folders = {{".", {}}, {"logs", {}}};
  std::map<std::uint64_t, std::string> last_seen;
  // The names each folder went through since its last sync: journaling file systems keep a prefix
  // of a folder's changes, in their order.
  std::map<std::string, std::vector<std::map<std::string, std::uint64_t>>> passed;
  for (const auto& [name, inode] : start.names) {
    folders[folder_of(name)][name] = inode;
  }
  for (const Record& record : point.done) {
    const State then = state_of(record.folder);
    if (record.call != 0) {
      for (const auto& [inode, content] : then.contents) {
        last_seen[inode] = content;
      }
      for (const std::string folder : {".", "logs"}) {
        if (auto names = names_in(then, folder);
            passed[folder].empty() || passed[folder].back() != names) {
          passed[folder].push_back(std::move(names));
        }
      }
      continue;
    }
    if (record.name == "sync" && then.contents.contains(record.inode)) {
      synced[record.inode] = then.contents.at(record.inode);
    }
    if (record.name == "sync_folder_of") {
      passed[folder_of(record.path)].clear();
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
  // The names given, in place of those of their folders now; each file as now, or as last seen.
  const auto with_names = [&](const auto& given) {
    State state;
    for (const auto& [name, inode] : point.now.names) {
      if (!given.contains(folder_of(name))) {
        state.names[name] = inode;
      }
    }
    for (const auto& [folder, names] : given) {
      state.names.insert(names.begin(), names.end());
    }
    for (const auto& [name, inode] : state.names) {
      state.contents[inode] =
          point.now.contents.contains(inode) ? point.now.contents.at(inode) : last_seen[inode];
    }
    return state;
  };
  const State undone = with_names(folders);
  State power_cut = undone;
  for (auto& [inode, content] : power_cut.contents) {
    content = lasting(inode);
  }
  std::vector<std::pair<std::string, State>> states = {{"everything kept", point.now},
                                                       {"unsynced data lost", lost},
                                                       {"unsynced data cut short", cut},
                                                       {"unsynced folder changes undone", undone},
                                                       {"power cut", power_cut}};
  for (const auto& [folder, names_then] : passed) {
    for (std::size_t kept = 1; kept < names_then.size(); ++kept) {
      states.emplace_back("the unsynced changes of folder " + folder + " kept in part (" +
                              std::to_string(kept) + " of " + std::to_string(names_then.size()) +
                              ")",
                          with_names(std::map{std::pair{folder, names_then[kept]}}));
    }
  }
  return states;
}

void bring_about(const std::filesystem::path& folder, const State& now, const State& target) {
  std::map<std::uint64_t, std::string> named;
  for (const auto& [name, inode] : now.names) {
    named.emplace(inode, name);
  }
  std::vector<std::string> staged;
  for (const auto& [name, inode] : target.names) {
    if (const auto at = now.names.find(name); at != now.names.end() && at->second == inode) {
      continue;
    }
    const std::string put = name + ".staged";
    if (const auto from = named.find(inode); from != named.end()) {
      std::filesystem::create_hard_link(folder / from->second, folder / put);
    } else {
      testing_support::write_file(folder / put, target.contents.at(inode));
      named.emplace(inode, put);
    }
    staged.push_back(name);
  }
  for (const auto& [name, inode] : now.names) {
    if (!target.names.contains(name)) {
      std::filesystem::remove(folder / name);
    }
  }
  for (const std::string& name : staged) {
    std::filesystem::rename(folder / (name + ".staged"), folder / name);
  }
  for (const auto& [name, inode] : target.names) {
    if (testing_support::read_file(folder / name) != target.contents.at(inode)) {
      testing_support::write_file(folder / name, target.contents.at(inode));
    }
  }
}

}  // namespace jassrewrite::crash_journal
