// The failure that ends a run.
#include "util/fail.h"

#include <cstdarg>
#include <cstdio>

void end_run(int status) {
  throw run_failure(status, "");
}

void fail(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list again;
  va_copy(again, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string message(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  std::vsnprintf(message.data(), message.size() + 1, format, again);
  va_end(again);
  throw run_failure(EXIT_TOOL_ERROR, std::move(message));
}
