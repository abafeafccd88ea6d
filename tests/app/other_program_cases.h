#pragma once

// The rows of the other-programs sweep (other_programs_sweep_test.cpp): each kind of map folder,
// the file that the other program acts on, and what it does to it.

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "app/faulty_runs.h"

namespace jassrewrite::end_to_end {

struct OtherProgramCase {
  std::string name;
  std::function<void(const fs::path& folder)> setup;
  // The file that the other program takes, and what it does to it, one sweep after another.
  fs::path file;
  std::vector<std::string> actions;
  // Whether the test build renames the new file over the script, as on Windows, rather than swap
  // their names.
  bool renamed = false;
  // Whether it sees files' times in whole seconds: a write within the second changes none.
  bool whole_second_times = false;
};

inline void PrintTo(const OtherProgramCase& row, std::ostream* os) { *os << row.name; }

// Each kind of folder with the files that a run there has, besides the script and tempwar3map.j.
inline std::vector<OtherProgramCase> other_program_cases() {
  struct Kind {
    const char* name;
    std::function<void(const fs::path&)> setup;
    fs::path own_file;
    const char* own_file_name;
    bool renamed = false;
    bool whole_second_times = false;
  };
  const std::vector<Kind> kinds = {
      {"ReplacedByANewFile", [](const fs::path&) {}, kReplacement, "NewFile"},
      {"OverwrittenInPlace", link_script, kMark, "Mark"},
      {"CutOverwriteToRecover", leave_a_cut_overwrite, kMark, "Mark"},
#ifndef _WIN32
      // The path that Windows users run: the new file renamed over the script and checked
      // afterwards. Windows has no swap of names, so there this would only repeat the first.
      {"ReplacedByANewFile_Renamed", [](const fs::path&) {}, kReplacement, "NewFile", true},
      // Where times are kept in whole seconds, only what a file holds tells a write in place.
      {"ReplacedByANewFile_WholeSecondTimes", [](const fs::path&) {}, kReplacement, "NewFile",
       false, true},
      {"OverwrittenInPlace_WholeSecondTimes", link_script, kMark, "Mark", false, true},
#endif
  };
  // Removed, or saved the way editors do (a new file renamed over it); on Linux also written into
  // in place (emptied first, or the same size over the old bytes), appended to while it is read,
  // or, the new file, made by the other program before the run makes its own. (Under Wine each
  // sweep costs minutes, and the run holds its files there so that others may not write to them.)
  std::vector<std::string> saves = {"remove", "replace"};
  std::vector<std::string> on_script = saves;
  std::vector<std::string> on_new_file = saves;
#ifndef _WIN32
  for (const char* in_place : {"rewrite-in-place", "same-size"}) {
    saves.emplace_back(in_place);
  }
  on_script = saves;
  on_script.emplace_back("append");
  on_new_file = saves;
  on_new_file.emplace_back("occupy");
#endif
  std::vector<OtherProgramCase> cases;
  for (const Kind& kind : kinds) {
    const std::vector<std::string>& on_own_file =
        kind.own_file == kReplacement ? on_new_file : saves;
    for (const auto& [file, file_name, actions] :
         {std::tuple{kScript, "Script", on_script}, std::tuple{kTemp, "TemporaryFile", saves},
          std::tuple{kind.own_file, kind.own_file_name, on_own_file}}) {
      cases.push_back({std::string(kind.name) + "_" + file_name, kind.setup, file, actions,
                       kind.renamed, kind.whole_second_times});
    }
  }
  return cases;
}

}  // namespace jassrewrite::end_to_end
