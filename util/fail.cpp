// Ending a run.
#include "util/fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void fail(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  end_run(EXIT_TOOL_ERROR);
}

void end_run(int status) {
  std::exit(status);
}
