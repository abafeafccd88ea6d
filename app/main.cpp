#include <string>
#include <vector>

#include "app/console.h"
#include "app/platform.h"
#include "app/run.h"
#include "os_files/file.h"
#ifdef _WIN32
#include "os_files/windows_text.h"
#endif

namespace {

int start(const std::vector<std::string>& args) {
  jassrewrite::prepare_process();
  jassrewrite::File output_file = jassrewrite::standard_output();
  jassrewrite::File error_file = jassrewrite::standard_error();
  jassrewrite::LineOutput output = jassrewrite::standard_stream_output(output_file);
  jassrewrite::LineOutput errors = jassrewrite::standard_stream_output(error_file);
  const int status = jassrewrite::run(args, output, errors);
  // The standard streams stay open for what the runtime writes at exit (a sanitizer's report).
  output_file.release();
  error_file.release();
  return status;
}

}  // namespace

#ifdef _WIN32
// Windows gives the arguments as typed only in UTF-16; the ANSI form loses what its code page
// lacks.
int wmain(int argc, wchar_t* argv[]) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    args.push_back(jassrewrite::to_utf8(argv[i]));
  }
  return start(args);
}
#else
int main(int argc, char* argv[]) { return start({argv, argv + argc}); }
#endif
