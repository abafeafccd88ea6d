#pragma once

#include <string>

namespace jassrewrite {

// Added to the name of the new file that takes the script's place, made beside it so that the
// replacement stays on one file system.
inline constexpr const char* kNewFileSuffix = ".jassrewrite-new";

struct RunPaths {
  // As the user knows them, for messages.
  std::string script;
  std::string temp;
  // The folder's lock, as messages name it.
  std::string folder_lock;
};

}  // namespace jassrewrite
