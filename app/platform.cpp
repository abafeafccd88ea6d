#include "app/platform.h"

#include <csignal>

#ifdef __MINGW32__
// The MinGW runtime can expand wildcards in arguments; arguments must come through as typed, as
// they do with the Microsoft toolchain.
extern "C" {
int _dowildcard = 0;
}
#endif

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace jassrewrite {

void prepare_process() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#else
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) {
      // open() takes the lowest free descriptor, which is exactly the closed one.
      open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
#endif
}

bool is_terminal(std::FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

}  // namespace jassrewrite
